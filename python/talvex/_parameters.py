"""The run parameters of a correction, stored as TALVEX-V1 stores them."""

from __future__ import annotations

import dataclasses
import functools
import math
import numbers
import os
from typing import Optional, Tuple

import numpy as np

from . import _talvex

#: The band numbers, in the order of the first axis of every DN array.
BANDS = tuple(range(_talvex.FIRST_BAND, _talvex.LAST_BAND + 1))
#: ``correction_option`` of a run that gives top-of-atmosphere reflectance only.
CORRECTION_OFF = _talvex.CORRECTION_OFF
#: ``correction_option`` of a run that gives surface reflectance too.
CORRECTION_ON = _talvex.CORRECTION_ON

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

# The most a parameter file's reader can consume: 19 numbers, each behind
# at most MAX_BLANK_LINES blank lines, every line at most MAX_LINE_CHARACTERS
# long plus its CR LF. Reading no further than this changes no result and
# keeps a wrong path (a device, a huge file) from filling memory.
_NUMBERS_IN_FILE = 19
_PARAMETER_FILE_READ_LIMIT = (
    _NUMBERS_IN_FILE * (_talvex.MAX_BLANK_LINES + 2) * (_talvex.MAX_LINE_CHARACTERS + 2)
)

_ATMOSPHERE_FIELDS = (
    "elevation_metres",
    "aerosol_optical_depth",
    "water_vapour_column",
    "ozone_column",
)
_ANGLE_FIELDS = ("solar_zenith_deg", "solar_azimuth_deg", "view_zenith_deg", "view_azimuth_deg")


def _int32(name: str, value, optional: bool = False) -> Optional[int]:
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, found {type(value).__name__} {value!r}")
    value = int(value)
    if not _INT32_MIN <= value <= _INT32_MAX:
        raise ValueError(f"{name} = {value} is out of the range of a 32-bit integer.")
    return value


def _float32(name: str, value, optional: bool = False) -> Optional[np.float32]:
    """The 32-bit float nearest to a number, as TALVEX-V1 stores every value."""
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, found {type(value).__name__} {value!r}")
    try:
        wide = float(value)
    except OverflowError:
        raise ValueError(f"{name} = {value} is too large for a 32-bit float.") from None
    if not math.isfinite(wide):
        raise ValueError(f"{name} must be a finite number, found {wide}.")
    with np.errstate(over="ignore"):
        stored = np.float32(wide)
    if not np.isfinite(stored):
        raise ValueError(f"{name} = {value} is too large for a 32-bit float.")
    return stored


def _band_values(name: str, values) -> Tuple[np.float32, ...]:
    if isinstance(values, (str, bytes)) or not hasattr(values, "__len__"):
        raise TypeError(
            f"{name} must be a sequence of {len(BANDS)} numbers, one per band "
            f"{', '.join(map(str, BANDS))}; found {type(values).__name__}"
        )
    if len(values) != len(BANDS):
        raise ValueError(
            f"{name} must hold {len(BANDS)} values, one per band "
            f"{', '.join(map(str, BANDS))}; found {len(values)}"
        )
    return tuple(_float32(f"{name} of band {band}", v) for band, v in zip(BANDS, values))


@dataclasses.dataclass(frozen=True, kw_only=True)
class Parameters:
    """The run parameters of TALVEX-V1, with every value stored as it stores it.

    Numbers are rounded to the nearest 32-bit float and integers must fit 32
    bits, so that a result depends only on what TALVEX-V1 would have read.
    ``lmin`` and ``lmax`` hold one value per band 2, 3, 4, 5. The four
    atmosphere values are needed when ``correction_option`` is 1 (TOA and
    surface reflectance) and unused otherwise. ``line_count`` and
    ``sample_count`` describe the whole scene of a parameter file: the array
    functions convert any tile or chunk and ignore them, and
    :func:`talvex.xarray.correct` checks them when they are given.

    The checks of TALVEX-V1 apply: the sun must be above the horizon and,
    with correction, the sensor too, and the aerosol optical depth, water
    vapour and ozone must not be negative; a ValueError says what is wrong.
    """

    line_count: Optional[int] = None
    sample_count: Optional[int] = None
    lmin: Tuple[np.float32, ...]
    lmax: Tuple[np.float32, ...]
    day_of_year: int
    solar_zenith_deg: np.float32
    solar_azimuth_deg: np.float32
    view_zenith_deg: np.float32
    view_azimuth_deg: np.float32
    correction_option: int
    elevation_metres: Optional[np.float32] = None
    aerosol_optical_depth: Optional[np.float32] = None
    water_vapour_column: Optional[np.float32] = None
    ozone_column: Optional[np.float32] = None

    def __post_init__(self):
        stored = {
            "line_count": _int32("line_count", self.line_count, optional=True),
            "sample_count": _int32("sample_count", self.sample_count, optional=True),
            "lmin": _band_values("lmin", self.lmin),
            "lmax": _band_values("lmax", self.lmax),
            "day_of_year": _int32("day_of_year", self.day_of_year),
            "correction_option": _int32("correction_option", self.correction_option),
        }
        for name in _ANGLE_FIELDS:
            stored[name] = _float32(name, getattr(self, name))
        for name in _ATMOSPHERE_FIELDS:
            stored[name] = _float32(name, getattr(self, name), optional=True)
        for name, value in stored.items():
            object.__setattr__(self, name, value)
        if self.correction_option == CORRECTION_ON:
            missing = [name for name in _ATMOSPHERE_FIELDS if getattr(self, name) is None]
            if missing:
                raise ValueError(
                    f"correction_option {CORRECTION_ON} (surface reflectance) needs "
                    f"{', '.join(missing)}"
                )
        _talvex.check_physical_range(self)

    # The four tables of each reflectance, made once per object on first use
    # and left out of pickles (a copy remakes them where it is used).
    @functools.cached_property
    def _toa_tables(self) -> np.ndarray:
        return _talvex.band_tables(self, surface=False)

    @functools.cached_property
    def _surface_tables(self) -> np.ndarray:
        return _talvex.band_tables(self, surface=True)

    def __getstate__(self):
        state = dict(self.__dict__)
        state.pop("_toa_tables", None)
        state.pop("_surface_tables", None)
        return state


def read_parameters(path) -> Parameters:
    """Reads a parameter file: the stream of TALVEX-V1 from its line 3 on.

    The reading rules are TALVEX-V1's: blank lines before a number are
    skipped, text after the numbers of a line is ignored, CR LF line ends
    are fine. A field that cannot be read, or a value out of its physical
    range, raises a ValueError with TALVEX-V1's message (lines counted in the
    file); a file that cannot be opened raises the OSError of ``open``.
    """
    with open(path, "rb") as stream:
        text = stream.read(_PARAMETER_FILE_READ_LIMIT)
    try:
        return Parameters(**_talvex.read_parameter_text(text))
    except ValueError as error:
        error.add_note(f"in the parameter file {os.fsdecode(path)}")
        raise
