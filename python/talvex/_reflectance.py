"""DN arrays to reflectance, bit for bit as TALVEX-V1 writes it."""

from __future__ import annotations

import dataclasses
import warnings
from typing import Dict, Optional

import numpy as np
import numpy.typing as npt

from . import _talvex
from ._parameters import BANDS, Parameters, require_correction

__all__ = [
    "BandTerms",
    "band_terms",
    "check_parameters",
    "look_up",
    "surface_reflectance",
    "toa_reflectance",
    "warn_above_full_scale",
]


def check_parameters(params) -> Parameters:
    """``params`` itself when it is a :class:`Parameters`.

    Parameters
    ----------
    params : Parameters
        What a caller gave as the run parameters.

    Returns
    -------
    Parameters
        ``params``.

    Raises
    ------
    TypeError
        ``params`` is something else.

    Examples
    --------
    >>> check_parameters({"day_of_year": 45})
    Traceback (most recent call last):
    ...
    TypeError: params must be a talvex.Parameters, found dict
    """
    if not isinstance(params, Parameters):
        raise TypeError(f"params must be a talvex.Parameters, found {type(params).__name__}")
    return params


def _dn_array(dn) -> np.ndarray:
    dn = np.asarray(dn)
    if dn.dtype.kind != "u" or dn.dtype.itemsize != 2:
        raise TypeError(f"dn must be an array of uint16 DNs, found dtype {dn.dtype}")
    if dn.ndim == 0 or dn.shape[0] != len(BANDS):
        found = "a scalar" if dn.ndim == 0 else f"{dn.shape[0]} (shape {dn.shape})"
        raise ValueError(
            f"dn must have the {len(BANDS)} bands {', '.join(map(str, BANDS))} on its "
            f"first axis, found {found}"
        )
    if not dn.dtype.isnative or not dn.flags.aligned:
        dn = dn.astype(np.uint16)  # a native, aligned copy
    return dn


def _out_array(out, shape) -> np.ndarray:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a numpy array of float32, found {type(out).__name__}")
    if out.dtype != np.float32 or not out.dtype.isnative:
        raise TypeError(f"out must be an array of float32, found dtype {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out must have the shape of dn, {shape}, found {out.shape}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def warn_above_full_scale(counts, stacklevel: int = 2) -> None:
    """A UserWarning for each band with DNs above the calibration's full scale.

    Parameters
    ----------
    counts : sequence of int
        How many DNs of bands 2, 3, 4, 5 lie above the full scale.
    stacklevel : int
        As for :func:`warnings.warn`, from the caller.

    Examples
    --------
    >>> warn_above_full_scale([0, 0, 0, 0])
    """
    for band, count in zip(BANDS, counts):
        if count:
            message = _talvex.dn_above_full_scale_warning(count, band)
            if message:
                warnings.warn(message, UserWarning, stacklevel=stacklevel + 1)


def look_up(dn, tables: np.ndarray, out: Optional[np.ndarray]) -> tuple[np.ndarray, list[int]]:
    """Every DN through the table of its band, into ``out`` or a new array.

    Parameters
    ----------
    dn : array_like of uint16
        DNs with the bands 2, 3, 4, 5 on the first axis.
    tables : numpy.ndarray
        float32 of shape (4, 65536), one table per band.
    out : numpy.ndarray or None
        float32 of the shape of ``dn``, or None for a new array.

    Returns
    -------
    values : numpy.ndarray
        ``out``, or the new array.
    counts : list of int
        How many DNs of each band lie above the full scale of the calibration.

    Examples
    --------
    >>> tables = np.tile(np.arange(65536, dtype=np.float32), (4, 1))
    >>> look_up(np.full((4, 2), 7, np.uint16), tables, None)[0].tolist()
    [[7.0, 7.0], [7.0, 7.0], [7.0, 7.0], [7.0, 7.0]]
    """
    dn = _dn_array(dn)
    fresh = out is None
    if fresh:
        out = np.empty(dn.shape, dtype=np.float32)
    out = _out_array(out, dn.shape)
    if np.may_share_memory(dn, out):
        dn = dn.copy()
    if out.flags.aligned:
        counts = _talvex.apply_band_tables(tables, dn, out, fresh)
    else:
        aligned = np.empty(dn.shape, dtype=np.float32)
        counts = _talvex.apply_band_tables(tables, dn, aligned, True)
        out[...] = aligned
    return out, counts


def toa_reflectance(
    dn: npt.ArrayLike, params: Parameters, out: Optional[np.ndarray] = None
) -> np.ndarray:
    """Top-of-atmosphere reflectance of every DN, as TALVEX-V1 writes it.

    Parameters
    ----------
    dn : array_like of uint16
        Raw DNs whose first axis holds the bands 2, 3, 4, 5; the other axes
        may have any shape and strides (a tile, a chunk, a whole scene).
    params : Parameters
        The run parameters.
    out : numpy.ndarray, optional
        float32 array of the shape of ``dn`` to write into.

    Returns
    -------
    numpy.ndarray
        float32 reflectance (dimensionless) of the shape of ``dn``; ``out``
        when given. DN 0 (no data) gives 0.0.

    Raises
    ------
    TypeError
        ``dn`` is not uint16, ``out`` not float32, ``params`` not Parameters.
    ValueError
        ``dn`` has not four bands on its first axis, ``out`` another shape
        or is read-only.

    Warns
    -----
    UserWarning
        DNs above the calibration's full scale (4095), with how many per band.

    Notes
    -----
    The GIL is released while the pixels are converted.

    Examples
    --------
    >>> import talvex
    >>> params = talvex.Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=0)
    >>> dn = np.array([[0, 1000], [0, 1000], [0, 1000], [0, 1000]], dtype=np.uint16)
    >>> toa = toa_reflectance(dn, params)
    >>> toa.dtype, toa[:, 0].tolist()
    (dtype('float32'), [0.0, 0.0, 0.0, 0.0])
    """
    params = check_parameters(params)
    values, counts = look_up(dn, params.toa_tables(), out)
    warn_above_full_scale(counts)
    return values


def _map_array(values, name: str, shape) -> Optional[np.ndarray]:
    """A per-pixel map as contiguous float32 of one band's shape, or None."""
    if values is None:
        return None
    values = np.asarray(values)
    if values.dtype.kind not in "fiu":
        raise TypeError(f"{name} must be real numbers, found dtype {values.dtype}")
    try:
        values = np.broadcast_to(values, shape)
    except ValueError:
        raise ValueError(
            f"{name} must be a scalar or an array that broadcasts to one band's shape "
            f"{shape}, found shape {values.shape}"
        ) from None
    return np.ascontiguousarray(values, dtype=np.float32).reshape(-1)


def _surface_with_maps(dn, params: Parameters, elevation_metres, aerosol_optical_depth, out):
    """The surface reflectance with per-pixel values, and the DNs above full scale."""
    require_correction(params, "surface reflectance")
    dn = np.ascontiguousarray(_dn_array(dn))
    band_shape = dn.shape[1:]
    elevation = _map_array(elevation_metres, "elevation_metres", band_shape)
    aerosol = _map_array(aerosol_optical_depth, "aerosol_optical_depth", band_shape)
    if out is not None:
        out = _out_array(out, dn.shape)
    direct = out is not None and out.flags.c_contiguous and not np.may_share_memory(dn, out)
    result = out if direct else np.empty(dn.shape, dtype=np.float32)
    pixels = int(np.prod(band_shape, dtype=np.int64))
    counts = [0] * len(BANDS)
    if pixels > 0:
        counts = _talvex.surface_reflectance_maps(
            params._map_terms,
            params.toa_tables(),
            dn.reshape(len(BANDS), pixels),
            elevation,
            aerosol,
            result.reshape(len(BANDS), pixels),
        )
    if out is not None and not direct:
        out[...] = result
        result = out
    return result, counts


def surface_reflectance(
    dn: npt.ArrayLike,
    params: Parameters,
    elevation_metres: Optional[npt.ArrayLike] = None,
    aerosol_optical_depth: Optional[npt.ArrayLike] = None,
    out: Optional[np.ndarray] = None,
) -> np.ndarray:
    """Surface reflectance of every DN, as TALVEX-V1 writes it.

    As :func:`toa_reflectance`, through the atmospheric correction, with the
    surface elevation and the aerosol optical depth of ``params`` or of
    each pixel.

    Parameters
    ----------
    dn : array_like of uint16
        Raw DNs whose first axis holds the bands 2, 3, 4, 5.
    params : Parameters
        The run parameters, with ``correction_option`` 1.
    elevation_metres, aerosol_optical_depth : array_like, optional
        Per-pixel surface elevation (metres) and aerosol optical depth, each
        a scalar or an array that broadcasts to one band's shape
        ``dn.shape[1:]``; None takes the value of ``params``. Given values
        are taken as float32 and quantised, elevations to whole metres and
        optical depths to 0.001 (halves away from zero); each pixel is then
        bit for bit what TALVEX-V1 writes with its quantised values as scene
        values. A NaN marks a pixel without a value, which gives 0.0.
    out : numpy.ndarray, optional
        float32 array of the shape of ``dn`` to write into.

    Returns
    -------
    numpy.ndarray
        float32 surface reflectance (dimensionless); DN 0 gives 0.0.

    Raises
    ------
    ParameterError
        ``params.correction_option`` is not 1.
    ValueError
        A per-pixel value outside -1000 to 9000 m or 0 to 10, or an array
        that does not broadcast to one band; otherwise as
        :func:`toa_reflectance`.
    TypeError
        Per-pixel values that are not real numbers; otherwise as
        :func:`toa_reflectance`.

    Warns
    -----
    UserWarning
        DNs above the calibration's full scale (4095), with how many per band.

    Notes
    -----
    With per-pixel values the band terms are computed once per distinct
    quantised value; the GIL is released while the pixels are converted.

    Examples
    --------
    >>> import talvex
    >>> params = talvex.Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=1,
    ...     elevation_metres=55, aerosol_optical_depth=0.25,
    ...     water_vapour_column=2.9, ozone_column=0.27)
    >>> surface_reflectance(np.zeros((4, 3), np.uint16), params).tolist()[0]
    [0.0, 0.0, 0.0]
    >>> hills = np.array([0.0, 1500.0, 3000.0], np.float32)
    >>> values = surface_reflectance(np.full((4, 3), 800, np.uint16), params, hills)
    >>> [round(float(v), 4) for v in values[0]]
    [0.2153, 0.222, 0.2288]
    """
    params = check_parameters(params)
    if elevation_metres is None and aerosol_optical_depth is None:
        values, counts = look_up(dn, params.surface_tables(), out)
    else:
        values, counts = _surface_with_maps(
            dn, params, elevation_metres, aerosol_optical_depth, out
        )
    warn_above_full_scale(counts)
    return values


@dataclasses.dataclass(frozen=True)
class BandTerms:
    """The terms of the correction model for one band.

    Every value is the single-precision value the model stores, except
    ``zenith_sine_product``, which it keeps in double precision. Angles are
    in degrees; every other term is dimensionless (transmittances,
    optical depths, phase functions, reflectances).
    """

    water_vapour_transmittance: np.float32
    ozone_transmittance: np.float32
    gas_transmittance: np.float32
    spherical_albedo: np.float32
    down_transmission: np.float32
    up_transmission: np.float32
    relative_azimuth_deg: np.float32
    zenith_sine_product: float
    cos_scattering: np.float32
    scattering_angle_deg: np.float32
    rayleigh_optical_depth: np.float32
    rayleigh_phase: np.float32
    rayleigh_reflectance: np.float32
    aerosol_optical_depth_band: np.float32
    aerosol_phase: np.float32
    aerosol_reflectance: np.float32
    rayleigh_residual: np.float32
    aerosol_residual: np.float32
    path_reflectance: np.float32


def band_terms(params: Parameters) -> Dict[int, BandTerms]:
    """The band-level terms of the correction model, by band number 2 to 5.

    Gas transmittances, downward and upward transmissions, spherical
    albedo, scattering geometry, Rayleigh and aerosol optical depth, phase
    and reflectance, the two residuals and the path reflectance (what the
    sensor would see over a black surface): the values the surface
    reflectance of each band is computed from.

    Parameters
    ----------
    params : Parameters
        The run parameters, with ``correction_option`` 1.

    Returns
    -------
    dict of int to BandTerms
        The terms of bands 2, 3, 4, 5, keyed by band number.

    Raises
    ------
    ParameterError
        ``params.correction_option`` is not 1.

    Examples
    --------
    >>> import talvex
    >>> params = talvex.Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=1,
    ...     elevation_metres=55, aerosol_optical_depth=0.25,
    ...     water_vapour_column=2.9, ozone_column=0.27)
    >>> terms = band_terms(params)
    >>> sorted(terms), terms[5].ozone_transmittance
    ([2, 3, 4, 5], 1.0)
    """
    params = check_parameters(params)
    require_correction(params, "band_terms")
    kept_double = {"zenith_sine_product"}
    return {
        band: BandTerms(
            **{
                name: (value if name in kept_double else np.float32(value))
                for name, value in terms.items()
            }
        )
        for band, terms in _talvex.band_terms(params).items()
    }
