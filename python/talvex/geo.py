"""talvex-geo from Python: georeferenced DN rasters in, reflectance rasters out.

The same conversion as the ``talvex-geo`` program, without a process: any
raster GDAL reads as input, GeoTIFF, COG or ENVI outputs with the input's
georeference, band descriptions, run metadata and mask, written under
temporary names and committed together once both are complete.

This module needs the GDAL part of the package, which a build without GDAL
(``TALVEX_BUILD_GEO=OFF``, as in a pip build) leaves out; importing it then
raises :class:`ImportError`.
"""

from __future__ import annotations

import os
import pathlib
import warnings
from typing import Callable, Optional, Protocol, Sequence, Union

try:
    from . import _geo
except ImportError as missing:  # pragma: no cover - depends on the build
    raise ImportError(
        "talvex.geo needs the GDAL part of talvex, which this build left out "
        "(built without GDAL, e.g. by pip or with TALVEX_BUILD_GEO=OFF): install GDAL's "
        "development files (Debian: libgdal-dev) and build talvex with CMake, or run the "
        "talvex-geo program"
    ) from missing

__all__ = ["FORMATS", "GeoError", "correct_files"]

#: Output formats, by the names of their GDAL drivers.
FORMATS: tuple[str, ...] = tuple(_geo.FORMATS)

PathLike = Union[str, os.PathLike]


class _Cancel(Protocol):
    def is_set(self) -> bool:
        ...


class GeoError(Exception):
    """A conversion that failed, as talvex-geo reports it.

    Attributes
    ----------
    message : str
        The whole message, naming the file or field and what is wrong.
    kind : str
        The side that failed: ``"parameters"``, ``"input"``, ``"output"`` or
        ``"interrupted"`` (cancelled).
    subject : str
        The file or field that failed.
    status : int
        The exit status talvex-geo would have ended with.
    """

    def __init__(self, message: str, kind: str, subject: str, status: int) -> None:
        super().__init__(message)
        self.message = message
        self.kind = kind
        self.subject = subject
        self.status = status


def correct_files(
    parameter_file: PathLike,
    inputs: Union[PathLike, Sequence[PathLike]],
    output_base: PathLike,
    *,
    output_format: str = "GTiff",
    creation_options: Optional[Sequence[str]] = None,
    progress: Optional[Callable[[float], Optional[bool]]] = None,
    cancel: Optional[_Cancel] = None,
    elevation_map: Optional[PathLike] = None,
    aerosol_map: Optional[PathLike] = None,
    map_resampling: Optional[str] = None,
) -> list[pathlib.Path]:
    """Convert a georeferenced DN scene into TOA and surface reflectance rasters.

    Parameters
    ----------
    parameter_file : str or path-like
        The run parameters: the launcher's parameter file (sizes,
        calibration radiances in mW/(cm2 sr um), day, angles in degrees,
        correction option, and with option 1 the elevation in metres, the
        aerosol optical depth, water vapour in g/cm2 and ozone in atm-cm).
    inputs : path-like or sequence of path-like
        One raster of the four bands 2, 3, 4, 5, or four one-band rasters in
        that order, in any format GDAL reads (Byte or UInt16 DNs).
    output_base : str or path-like
        The outputs are ``<output_base>-TOA-Ref-bands-2345.tif`` and
        ``<output_base>-Atm-Corr-Ref-bands-2345.tif`` (ENVI: no ``.tif``).
    output_format : {'GTiff', 'COG', 'ENVI'}
        The output driver; tiled GeoTIFF by default.
    creation_options : sequence of str, optional
        ``NAME=VALUE`` creation options of the driver, as for
        ``gdal_translate -co``.
    progress : callable, optional
        Called with the share of the whole run done, from 0.0 to 1.0;
        returning ``False`` cancels the run. An exception it raises cancels
        the run and is raised again here.
    cancel : threading.Event, optional
        Cancels the run once set (checked at each progress step).
    elevation_map, aerosol_map : str or path-like, optional
        Rasters of surface elevation (metres) and aerosol optical depth per
        pixel, used instead of the parameter file's values (option 1). Any
        one-band raster GDAL reads, in any CRS, resolution and extent that
        covers the scene; warped onto the scene's grid, then quantised to
        whole metres and 0.001. A map pixel without data masks the output.
    map_resampling : str, optional
        GDAL's resampling of the maps, as ``gdalwarp -r`` names it;
        bilinear by default.

    Returns
    -------
    list of pathlib.Path
        The images written: the TOA output, then the surface output when the
        parameter file asks for correction.

    Raises
    ------
    GeoError
        The parameters, an input or an output cannot be used, or the run was
        cancelled; nothing is then left under an output name, and earlier
        outputs of those names are as they were.
    ValueError
        An unknown output format or a wrong number of inputs.

    Warns
    -----
    UserWarning
        Values almost surely in another unit (ozone in Dobson units, water
        vapour in mm), DNs above 4095, GDAL's warnings, and a correction
        option neither 0 nor 1 (only the TOA output is written).

    Examples
    --------
    >>> from talvex.geo import correct_files
    >>> outputs = correct_files("parameters.txt", "scene.tif", "out/scene",  # doctest: +SKIP
    ...                         output_format="COG", creation_options=["COMPRESS=DEFLATE"])
    """
    paths = [inputs] if isinstance(inputs, (str, os.PathLike)) else list(inputs)

    def step(complete: float) -> bool:
        if cancel is not None and cancel.is_set():
            return False
        return progress is None or progress(complete) is not False

    status, outputs, notice, told = _geo.correct_files(
        os.fspath(parameter_file),
        [os.fspath(p) for p in paths],
        os.fspath(output_base),
        output_format,
        [str(o) for o in creation_options or ()],
        step,
        GeoError,
        os.fspath(elevation_map) if elevation_map is not None else "",
        os.fspath(aerosol_map) if aerosol_map is not None else "",
        map_resampling or _geo.DEFAULT_MAP_RESAMPLING,
    )
    for warning in told:
        warnings.warn(warning, UserWarning, stacklevel=2)
    if status != _geo.STATUS_COMPLETE:
        warnings.warn(notice, UserWarning, stacklevel=2)
    return [pathlib.Path(p) for p in outputs]
