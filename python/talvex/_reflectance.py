"""DN arrays to reflectance, bit for bit as TALVEX-V1 writes it."""

from __future__ import annotations

import dataclasses
from typing import Dict, Optional

import numpy as np

from . import _talvex
from ._parameters import BANDS, CORRECTION_ON, Parameters


def _check_parameters(params) -> Parameters:
    if not isinstance(params, Parameters):
        raise TypeError(
            f"params must be a talvex.Parameters, found {type(params).__name__}"
        )
    return params


def _require_correction(params: Parameters, what: str) -> None:
    if params.correction_option != CORRECTION_ON:
        raise ValueError(
            f"{what} needs correction_option {CORRECTION_ON} (TOA and surface reflectance); "
            f"these parameters have correction_option {params.correction_option}"
        )


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


def _look_up(dn, tables: np.ndarray, out) -> np.ndarray:
    """Every DN through the table of its band, into ``out`` or a new array."""
    dn = _dn_array(dn)
    fresh = out is None
    if fresh:
        out = np.empty(dn.shape, dtype=np.float32)
    out = _out_array(out, dn.shape)
    if np.may_share_memory(dn, out):
        dn = dn.copy()
    if out.flags.aligned:
        _talvex.apply_band_tables(tables, dn, out, fresh)
    else:
        aligned = np.empty(dn.shape, dtype=np.float32)
        _talvex.apply_band_tables(tables, dn, aligned, True)
        out[...] = aligned
    return out


def toa_reflectance(dn, params: Parameters, out: Optional[np.ndarray] = None) -> np.ndarray:
    """Top-of-atmosphere reflectance of every DN, as TALVEX-V1 writes it.

    ``dn`` is a uint16 array whose first axis holds the bands 2, 3, 4, 5;
    its other axes may have any shape and strides (a tile, a chunk, a whole
    scene). The result is float32 of the same shape, written into ``out``
    when given. DN 0 (no data) gives 0.0. The GIL is released while the
    pixels are converted.
    """
    params = _check_parameters(params)
    return _look_up(dn, params._toa_tables, out)


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


def surface_reflectance(
    dn,
    params: Parameters,
    elevation_metres=None,
    aerosol_optical_depth=None,
    out: Optional[np.ndarray] = None,
) -> np.ndarray:
    """Surface reflectance of every DN, as TALVEX-V1 writes it.

    As :func:`toa_reflectance`, through the atmospheric correction; needs
    ``params.correction_option`` 1. DN 0 (no data) gives 0.0.

    Parameters
    ----------
    dn : array of uint16
        The bands 2, 3, 4, 5 on the first axis, any shape after it.
    params : Parameters
        The run parameters.
    elevation_metres, aerosol_optical_depth : scalar or array, optional
        Per-pixel surface elevation (metres) and aerosol optical depth, each
        a scalar or an array that broadcasts to one band's shape
        ``dn.shape[1:]``; None takes the value of ``params``. Given values
        are taken as float32 and quantised, elevations to whole metres and
        optical depths to 0.001 (halves away from zero); each pixel is then
        bit for bit what TALVEX-V1 writes with its quantised values as scene
        values. A NaN marks a pixel without a value, which gives 0.0. A value
        outside -1000 to 9000 m or 0 to 10 raises ValueError.
    out : array of float32, optional
        Receives the result, of the shape of ``dn``.

    Returns
    -------
    numpy.ndarray
        float32 surface reflectance of the shape of ``dn``.
    """
    params = _check_parameters(params)
    _require_correction(params, "surface reflectance")
    if elevation_metres is None and aerosol_optical_depth is None:
        return _look_up(dn, params._surface_tables, out)
    dn = np.ascontiguousarray(_dn_array(dn))
    band_shape = dn.shape[1:]
    elevation = _map_array(elevation_metres, "elevation_metres", band_shape)
    aerosol = _map_array(aerosol_optical_depth, "aerosol_optical_depth", band_shape)
    if out is not None:
        out = _out_array(out, dn.shape)
    direct = out is not None and out.flags.c_contiguous and not np.may_share_memory(dn, out)
    result = out if direct else np.empty(dn.shape, dtype=np.float32)
    pixels = int(np.prod(band_shape, dtype=np.int64))
    if pixels > 0:
        _talvex.surface_reflectance_maps(
            params,
            params._toa_tables,
            dn.reshape(len(BANDS), pixels),
            elevation,
            aerosol,
            result.reshape(len(BANDS), pixels),
        )
    if out is None or direct:
        return result
    out[...] = result
    return out


@dataclasses.dataclass(frozen=True)
class BandTerms:
    """The terms of the correction model for one band.

    Every value is the single-precision value the model stores, except
    ``zenith_sine_product``, which it keeps in double precision.
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
    reflectance of each band is computed from. Needs ``correction_option`` 1.
    """
    params = _check_parameters(params)
    _require_correction(params, "band_terms")
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
