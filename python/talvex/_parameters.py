"""The run parameters of a correction, stored as TALVEX-V1 stores them."""

from __future__ import annotations

import dataclasses
import decimal
import functools
import math
import numbers
import os
import warnings
from collections.abc import Mapping, Set
import sys
import types
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from . import _talvex
from ._errors import ParameterError

__all__ = [
    "BANDS",
    "CORRECTION_OFF",
    "CORRECTION_ON",
    "PARAMETER_FIELDS",
    "BandValues",
    "Number",
    "Parameters",
    "read_parameters",
]

#: The band numbers, in the order of the first axis of every DN array.
BANDS = tuple(range(_talvex.FIRST_BAND, _talvex.LAST_BAND + 1))
#: ``correction_option`` of a run that gives top-of-atmosphere reflectance only.
CORRECTION_OFF = _talvex.CORRECTION_OFF
#: ``correction_option`` of a run that gives surface reflectance too.
CORRECTION_ON = _talvex.CORRECTION_ON

#: A value as a caller may give it: a number, or the decimal text a
#: parameter file would hold (``str`` or :class:`decimal.Decimal`), which is
#: read exactly as the file's reader reads it.
Number = Union[float, int, np.floating, np.integer, decimal.Decimal, str]
#: One value per band: four in the order 2, 3, 4, 5 (a sequence or a
#: one-dimensional array), or a mapping keyed by the band numbers 2 to 5.
BandValues = Union[Sequence[Number], "np.ndarray[Any, Any]", Mapping[int, Number]]

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

#: The processor library's table of the run parameters' fields, in the order
#: of a parameter file: for each its Python keyword (``python_name``), the
#: name the reader's messages use, the metadata key, the unit, its kind
#: (``"integer"``, ``"number"`` or ``"per band"``) and whether only a run
#: with correction reads it.
PARAMETER_FIELDS = _talvex.PARAMETER_FIELDS
# The atmosphere: needed by a run with correction only.
_ATMOSPHERE_FIELDS = tuple(f["python_name"] for f in PARAMETER_FIELDS if f["correction_only"])
# What the reader says of a value longer than it reads, before the limit.
_TOO_LONG_MARK = " has more than "
# The prefix of the library's messages about the run parameters, which the
# keyword route replaces by the Python name of the field.
_LIBRARY_PREFIX = "Error in the run parameters: "


def _bands_text() -> str:
    return ", ".join(map(str, BANDS))


def _from_text(name: str, value, reader, what: str):
    """A value given as text, read by the parameter file's own reader."""
    text = str(value).strip()
    try:
        return reader(text)
    except ValueError as error:
        detail = str(error)
        if _TOO_LONG_MARK in detail:
            # The reader's own limit, in its words, without the long text.
            reason = name + _TOO_LONG_MARK + detail.split(_TOO_LONG_MARK, 1)[1]
        elif "too large" in detail or "out of the range" in detail:
            reason = f"{name} = {text} is out of the range of {what}"
        else:
            reason = f"{name} must be {what} as a parameter file writes it, found {value!r}"
        raise ParameterError(reason, field=name.split(" ")[0]) from None


def _int32(name: str, value) -> int:
    if isinstance(value, (str, decimal.Decimal)):
        return _from_text(name, value, _talvex.read_integer_text, "a 32-bit integer")
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, found {type(value).__name__} {value!r}")
    value = int(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ParameterError(
            f"{name} = {value} is out of the range of a 32-bit integer.", field=name
        )
    return value


def _float32(name: str, value) -> np.float32:
    """The 32-bit float nearest to a number, as TALVEX-V1 stores every value."""
    field = name.split(" ")[0]
    if isinstance(value, (str, decimal.Decimal)):
        return np.float32(_from_text(name, value, _talvex.read_number_text, "a 32-bit float"))
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, found {type(value).__name__} {value!r}")
    try:
        wide = float(value)
    except OverflowError:
        raise ParameterError(f"{name} = {value} is too large for a 32-bit float.", field) from None
    if not math.isfinite(wide):
        raise ParameterError(f"{name} must be a finite number, found {wide}.", field)
    with np.errstate(over="ignore"):
        stored = np.float32(wide)
    if not np.isfinite(stored):
        raise ParameterError(f"{name} = {value} is too large for a 32-bit float.", field)
    return stored


def _band_values(name: str, values) -> Tuple[np.float32, ...]:
    """Four values in band order, from a sequence of four or a mapping by band."""
    keys = getattr(values, "keys", None)
    if not isinstance(values, (Mapping, np.ndarray)) and callable(keys):
        # Labelled values that are not a Mapping (a pandas Series): by their
        # labels, unless the labels are only the positions 0, 1, 2, 3.
        labels = list(keys())
        if labels != list(range(len(labels))):
            values = {label: values[label] for label in labels}
    if isinstance(values, Mapping):
        keys = set(values)
        if keys != set(BANDS):
            raise ParameterError(
                f"{name} as a mapping must be keyed by the band numbers {_bands_text()}; "
                f"found the keys {sorted(map(repr, keys))}",
                field=name,
            )
        ordered = [values[band] for band in BANDS]
    elif isinstance(values, (str, bytes, Set)) or not hasattr(values, "__len__"):
        raise TypeError(
            f"{name} must be a sequence of {len(BANDS)} numbers, one per band "
            f"{_bands_text()}, or a mapping keyed by the band numbers; "
            f"found {type(values).__name__}"
        )
    else:
        if len(values) != len(BANDS):
            raise ParameterError(
                f"{name} must hold {len(BANDS)} values, one per band {_bands_text()}; "
                f"found {len(values)}",
                field=name,
            )
        ordered = list(values)
    return tuple(_float32(f"{name} of band {band}", v) for band, v in zip(BANDS, ordered))


def _python_message(error: ParameterError) -> ParameterError:
    """A library message about one field, in the Python name of the field."""
    detail = str(error)
    if detail.startswith(_LIBRARY_PREFIX):
        detail = detail[len(_LIBRARY_PREFIX) :]
    _, _, rest = detail.partition(" ")
    if error.field is not None and rest:
        detail = f"{error.field} {rest}"
    return ParameterError(detail, field=error.field, line=error.line)


@dataclasses.dataclass(frozen=True, kw_only=True)
class Parameters:
    """The run parameters of TALVEX-V1, with every value stored as it stores it.

    Numbers are rounded to the nearest 32-bit float and integers must fit 32
    bits, so that a result depends only on what TALVEX-V1 would have read.
    A number may also be given as the text a parameter file would hold
    (``"0.27"``, ``Decimal("38.6")``): it is then read by the file's own
    reader, so that the keyword and the file give the same value for every
    decimal.

    Parameters
    ----------
    line_count, sample_count : int, optional
        Lines and samples per band of the whole scene of a parameter file.
        The array functions convert any tile or chunk and ignore them;
        :func:`talvex.xarray.correct` checks them when they are given.
    lmin, lmax : sequence of 4 numbers, or mapping {band: number}
        The calibration of bands 2, 3, 4, 5: the spectral radiance that DN 0
        and full scale (DN 4095) stand for, in mW/(cm² sr µm). A sequence
        lists them in band order; a mapping is keyed by the band numbers 2 to 5.
    day_of_year : int
        Day of the acquisition, from 1 (1 January).
    solar_zenith_deg, solar_azimuth_deg : float
        Sun's zenith angle and azimuth, in degrees.
    view_zenith_deg, view_azimuth_deg : float
        Sensor's zenith angle and azimuth, in degrees.
    correction_option : int
        ``0`` (:data:`CORRECTION_OFF`) for top-of-atmosphere reflectance
        only, ``1`` (:data:`CORRECTION_ON`) for surface reflectance too.
    elevation_metres : float, optional
        Surface elevation, in metres above sea level.
    aerosol_optical_depth : float, optional
        Reference aerosol optical depth (dimensionless).
    water_vapour_column : float, optional
        Water vapour column, in g/cm² (1 g/cm² is 10 mm of precipitable water).
    ozone_column : float, optional
        Ozone column, in atm-cm (0.3 atm-cm is 300 Dobson units).

    The four atmosphere values are needed when ``correction_option`` is 1
    and unused otherwise.

    Raises
    ------
    ParameterError
        A value out of its range: the checks of TALVEX-V1 apply (the sun
        above the horizon and, with correction, the sensor too; aerosol
        optical depth, water vapour and ozone not negative), a value beyond
        32 bits, text that is not a number, a missing atmosphere value.
        Its ``field`` names the keyword.
    TypeError
        A value of a type that is not a number.

    Warns
    -----
    UserWarning
        A value almost certainly given in another unit (ozone in Dobson
        units, water vapour in millimetres); the value is used as given.

    Examples
    --------
    >>> params = Parameters(
    ...     lmin={2: 0.0, 3: 0.0, 4: 0.0, 5: 0.0}, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=1,
    ...     elevation_metres=55, aerosol_optical_depth="0.25",
    ...     water_vapour_column=2.9, ozone_column=0.27)
    >>> params.solar_zenith_deg
    38.6
    >>> params.lmax[3] == np.float32(7.2)
    True
    """

    line_count: Optional[int] = None
    sample_count: Optional[int] = None
    lmin: BandValues
    lmax: BandValues
    day_of_year: Union[int, str, decimal.Decimal]
    solar_zenith_deg: Number
    solar_azimuth_deg: Number
    view_zenith_deg: Number
    view_azimuth_deg: Number
    correction_option: Union[int, str, decimal.Decimal]
    elevation_metres: Optional[Number] = None
    aerosol_optical_depth: Optional[Number] = None
    water_vapour_column: Optional[Number] = None
    ozone_column: Optional[Number] = None

    def __post_init__(self) -> None:
        optional = {f.name for f in dataclasses.fields(self) if f.default is None}
        stored: Dict[str, object] = {}
        for field in PARAMETER_FIELDS:
            name = field["python_name"]
            value = getattr(self, name)
            if value is None and name in optional:
                stored[name] = None
            elif field["kind"] == "integer":
                stored[name] = _int32(name, value)
            elif field["kind"] == "number":
                stored[name] = _float32(name, value)
            else:
                stored[name] = _band_values(name, value)
        for name, value in stored.items():
            object.__setattr__(self, name, value)
        if self.correction_option == CORRECTION_ON:
            missing = [name for name in _ATMOSPHERE_FIELDS if getattr(self, name) is None]
            if missing:
                raise ParameterError(
                    f"correction_option {CORRECTION_ON} (surface reflectance) needs "
                    f"{', '.join(missing)}",
                    field=missing[0],
                )
        try:
            _talvex.check_physical_range(self)
        except ParameterError as error:
            raise _python_message(error) from None
        for message in _talvex.unit_warnings(self):
            warnings.warn(message, UserWarning, stacklevel=_caller_stack_level())

    # The four tables of each reflectance, made once per object on first use
    # and left out of pickles (a copy remakes them where it is used).
    @functools.cached_property
    def _toa_tables(self) -> np.ndarray:
        return _talvex.band_tables(self, surface=False)

    @functools.cached_property
    def _surface_tables(self) -> np.ndarray:
        return _talvex.band_tables(self, surface=True)

    # The terms of the per-pixel elevations and aerosol optical depths met
    # so far, kept from call to call, and likewise left out of pickles.
    @functools.cached_property
    def _map_terms(self) -> _talvex.MapTerms:
        return _talvex.MapTerms(self)

    def __getstate__(self):
        state = dict(self.__dict__)
        for cached in ("_toa_tables", "_surface_tables", "_map_terms"):
            state.pop(cached, None)
        return state

    def toa_tables(self) -> np.ndarray:
        """The top-of-atmosphere reflectance of every DN, per band.

        Returns
        -------
        numpy.ndarray
            float32 of shape (4, 65536), bands 2, 3, 4, 5 in order, indexed
            by DN; made once per object, read-only.

        Examples
        --------
        >>> params = Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
        ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
        ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=0)
        >>> tables = params.toa_tables()
        >>> tables.shape, tables[:, 0].tolist()
        ((4, 65536), [0.0, 0.0, 0.0, 0.0])
        """
        return _read_only(self._toa_tables)

    def surface_tables(self) -> np.ndarray:
        """The surface reflectance of every DN, per band.

        Returns
        -------
        numpy.ndarray
            float32 of shape (4, 65536), as :meth:`toa_tables`.

        Raises
        ------
        ParameterError
            ``correction_option`` is not 1.

        Examples
        --------
        >>> params = Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
        ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
        ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=1,
        ...     elevation_metres=55, aerosol_optical_depth=0.25,
        ...     water_vapour_column=2.9, ozone_column=0.27)
        >>> params.surface_tables().dtype
        dtype('float32')
        """
        require_correction(self, "surface reflectance")
        return _read_only(self._surface_tables)


def _read_only(tables: np.ndarray) -> np.ndarray:
    view = tables.view()
    view.flags.writeable = False
    return view


def _caller_stack_level() -> int:
    """The stack level of the first frame outside the package, for warnings."""
    package = os.path.dirname(__file__)
    frame: Optional[types.FrameType] = sys._getframe(1)
    level = 1
    while frame is not None and (
        os.path.dirname(frame.f_code.co_filename) == package
        or frame.f_code.co_filename.startswith("<string>")
    ):
        frame = frame.f_back
        level += 1
    return level


def require_correction(params: Parameters, what: str) -> None:
    """Refuses parameters without atmospheric correction for ``what``.

    Parameters
    ----------
    params : Parameters
        The run parameters.
    what : str
        What needs the correction, for the message.

    Raises
    ------
    ParameterError
        ``params.correction_option`` is not 1.

    Examples
    --------
    >>> params = Parameters(lmin=[0] * 4, lmax=[1] * 4, day_of_year=1,
    ...     solar_zenith_deg=30, solar_azimuth_deg=0, view_zenith_deg=0,
    ...     view_azimuth_deg=0, correction_option=0)
    >>> require_correction(params, "surface reflectance")
    Traceback (most recent call last):
    ...
    talvex.ParameterError: surface reflectance needs correction_option 1 ...
    """
    if params.correction_option != CORRECTION_ON:
        raise ParameterError(
            f"{what} needs correction_option {CORRECTION_ON} (TOA and surface reflectance); "
            f"these parameters have correction_option {params.correction_option}",
            field="correction_option",
        )


def read_parameters(path: Union[str, bytes, os.PathLike, int]) -> Parameters:
    """Reads a parameter file: the stream of TALVEX-V1 from its line 3 on.

    The reading rules are TALVEX-V1's: blank lines before a number are
    skipped, text after the numbers of a line (a label, a unit) is ignored,
    CR LF line ends are fine. Only what the reader needs is read.

    Parameters
    ----------
    path : str, bytes, os.PathLike or int
        The parameter file. An open file descriptor is read from its
        current position and left open.

    Returns
    -------
    Parameters
        The run parameters, with ``line_count`` and ``sample_count`` of the
        file's scene.

    Raises
    ------
    ParameterError
        A field that cannot be read, or a value out of its physical range,
        with TALVEX-V1's message (lines counted in the file; bytes that are
        not text shown as ``\\xNN``); its ``field`` and ``line`` say where,
        and a note names the file.
    OSError
        The file cannot be opened or read (the error of :func:`open`).
    TypeError
        ``path`` is not a path or a file descriptor.

    Warns
    -----
    UserWarning
        A value almost certainly given in another unit.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> folder = pathlib.Path(tempfile.mkdtemp())
    >>> _ = (folder / "params.txt").write_text(
    ...     "320 320  lines samples\\n0 52.5\\n0 40.8\\n0 33.6\\n0 7.2\\n45\\n38.6\\n"
    ...     "142\\n12.5\\n101\\n0  TOA only\\n")
    >>> read_parameters(folder / "params.txt").lmax[1] == np.float32(40.8)
    True
    """
    if isinstance(path, bool) or not isinstance(path, (str, bytes, os.PathLike, int)):
        raise TypeError(
            f"read_parameters needs a path or a file descriptor, found {type(path).__name__}"
        )
    descriptor = isinstance(path, int)
    where = f"file descriptor {path}" if isinstance(path, int) else os.fsdecode(path)
    with open(path, "rb", closefd=not descriptor) as stream:
        try:
            fields = _talvex.read_parameter_file(stream)
        except ParameterError as error:
            error.add_note(f"in the parameter file {where}")
            raise
    try:
        return Parameters(**fields)
    except ParameterError as error:
        error.add_note(f"in the parameter file {where}")
        raise
