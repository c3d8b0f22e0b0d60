"""Correction of xarray DataArrays: a DN array with a band dimension in, a
Dataset of TOA and surface reflectance out, lazily with Dask when the input
is chunked (one task per chunk, on any Dask scheduler or cluster).

    import rioxarray
    import talvex, talvex.xarray

    dn = rioxarray.open_rasterio("scene.tif", chunks={"x": 2048, "y": 2048})
    dn = dn.assign_coords(band=[2, 3, 4, 5])  # the file's bands 1 to 4
    ds = talvex.xarray.correct(dn, talvex.read_parameters("my-parameters.txt"))
    talvex.xarray.to_raster(ds.surface_reflectance, "scene-sr.tif", driver="COG")

A pixel is masked (NaN, declared as the no-data value) in every band when
any band has DN 0, the input's no-data value or a masked (NaN) value: the
same pixels that talvex-geo masks. A valid reflectance of 0.0 stays 0.0.
"""

from __future__ import annotations

import numbers
import os
from typing import Hashable, List, Sequence, Union

import numpy as np
import xarray as xr

from . import _talvex
from ._parameters import BANDS, CORRECTION_OFF, CORRECTION_ON, PARAMETER_FIELDS, Parameters
from ._reflectance import check_parameters, look_up, surface_reflectance, warn_above_full_scale

__all__ = ["SURFACE_NAME", "TOA_NAME", "correct", "to_raster"]

#: Names of the variables of the Dataset that :func:`correct` returns.
TOA_NAME = "toa_reflectance"
SURFACE_NAME = "surface_reflectance"

# What each variable holds, as talvex-geo names its product.
_PRODUCTS = {
    TOA_NAME: "top-of-atmosphere reflectance",
    SURFACE_NAME: "surface reflectance",
}
# Attributes of a DN array that say how to read its integers, and would be
# wrong on reflectances.
_DN_ONLY_ATTRS = (
    "scale_factor",
    "add_offset",
    "units",
    "long_name",
    "valid_range",
    "_FillValue",
    "missing_value",
    "nodatavals",
)
# The metadata item that gives the unit of a run parameter's item: its key
# followed by this, as talvex-geo writes it.
_UNIT_ITEM_SUFFIX = "_unit"
# Dimensions of the tables of one reflectance inside apply_ufunc.
_TABLE_DIMS = ("talvex_band", "talvex_dn")
# The values a DN can take.
_DN_MAX = np.iinfo(np.uint16).max
# What masked pixels hold, and the no-data value the output declares.
_MASKED = np.float32(np.nan)


def _band_description(band: int) -> str:
    return f"Band {band} ({_talvex.BAND_COLOURS[BANDS.index(band)]})"


def _band_labels(da: xr.DataArray, band_dim: Hashable) -> List[int]:
    """The band number of each position along ``band_dim``."""
    if band_dim not in da.coords:
        return list(BANDS)
    labels = da[band_dim].values.tolist()
    numbered = all(
        isinstance(label, numbers.Integral) and not isinstance(label, bool) for label in labels
    )
    if not numbered or sorted(labels) != list(BANDS):
        bands = ", ".join(map(str, BANDS))
        raise ValueError(
            f"the labels of {band_dim!r} are {labels}; they must be the band numbers {bands} "
            f"(in any order). If the bands are {bands} in this order, relabel them with "
            f"da.assign_coords({band_dim}=[{bands}]) (rioxarray numbers a file's bands 1, 2, 3, 4)"
        )
    return [int(label) for label in labels]


def _fill_values(da: xr.DataArray, band_count: int) -> List[List[float]]:
    """The input's no-data value of each position along the band dimension.

    ``_FillValue``, ``missing_value`` or ``nodatavals`` (as the older
    ``xarray.open_rasterio`` named it) in the attributes or the encoding, a
    scalar or an array of one value or one per band; each position's list
    is empty where the input declares none.
    """
    found = []
    for source in (da.attrs, da.encoding):
        for key in ("_FillValue", "missing_value", "nodatavals"):
            if key in source and source[key] is not None:
                found.append((key, source[key]))
    per_band: List[set] = [set() for _ in range(band_count)]
    for key, value in found:
        values = np.asarray(value).ravel()
        if values.size == 1:
            values = np.repeat(values, band_count)
        if values.size != band_count or values.dtype.kind not in "uifb":
            raise ValueError(
                f"the input's {key} must be one number or one per band ({band_count}), "
                f"found {value!r}"
            )
        for position, number in enumerate(values.tolist()):
            per_band[position].add(float(number))
    return [sorted(values) for values in per_band]


def _check_not_scaled(da: xr.DataArray) -> None:
    """Refuses DNs that a reader has already scaled: the encoding keeps the
    scale and offset it applied (rioxarray's and xarray's mask_and_scale)."""
    scale = da.encoding.get("scale_factor", 1)
    offset = da.encoding.get("add_offset", 0)
    if np.any(np.asarray(scale) != 1) or np.any(np.asarray(offset) != 0):
        raise ValueError(
            f"da holds DNs scaled by the file's scale_factor {scale!r} and add_offset "
            f"{offset!r}, not the raw DNs; open the scene without mask_and_scale=True "
            f"(rioxarray: masked=True alone is fine)"
        )


def _valid_pixels(dn: np.ndarray, fills: Sequence[Sequence[float]]) -> np.ndarray:
    """Pixels with data in every band: no DN 0, no fill value, no NaN.

    ``dn`` has the bands on its first axis; the result drops that axis.
    """
    valid = np.ones(dn.shape[1:], dtype=bool)
    for position, band_dn in enumerate(dn):
        valid &= band_dn != 0
        if band_dn.dtype.kind == "f":
            valid &= ~np.isnan(band_dn)
        for fill in fills[position]:
            if band_dn.dtype.kind == "f" or (float(fill).is_integer() and 0 <= fill <= _DN_MAX):
                valid &= band_dn != fill
    return valid


def _as_dn(dn: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """DNs as uint16 (native or not); a float array (read with its mask applied) must hold
    whole numbers from 0 to 65535 wherever it has data."""
    if dn.dtype.kind == "u":
        return dn.astype(np.uint16, copy=False)
    kept = np.where(valid, dn, 0)
    if not np.array_equal(kept, np.clip(np.trunc(kept), 0, _DN_MAX)):
        raise ValueError(
            "the DNs must be whole numbers from 0 to 65535 where they are not masked; "
            "open the scene without mask_and_scale (rioxarray: masked=True alone is fine)"
        )
    return kept.astype(np.uint16)


def _convert_block(
    dn: np.ndarray,
    *tables_and_maps: np.ndarray,
    band_axis: int,
    fills,
    labels: Sequence[int],
    maps: Sequence[str] = (),
    params: Parameters | None = None,
):
    """One block holding all four bands along ``band_axis``, through each table set.

    ``maps`` names the per-pixel maps that follow the tables ("elevation",
    "aerosol"); with maps, the surface reflectance (the second table set)
    is computed per pixel from ``params``.
    """
    tables = tables_and_maps[: len(tables_and_maps) - len(maps)]
    dn_bands = np.moveaxis(dn, band_axis, 0)
    valid = _valid_pixels(dn_bands, fills)
    dn_bands = _as_dn(dn_bands, valid)
    per_pixel = {}
    for name, block in zip(maps, tables_and_maps[len(tables) :]):
        # A map block lacks the band axis, or has it with length 1 (xarray
        # leaves out leading axes that a block does not have).
        block = block.reshape((1,) * (dn.ndim - block.ndim) + block.shape)
        per_pixel[name] = np.moveaxis(block, band_axis, 0)[0]
        valid &= ~np.isnan(per_pixel[name])
    outputs = []
    for index, table in enumerate(tables):
        if index == 1 and per_pixel and params is not None:
            # In the order 2, 3, 4, 5 and back to the block's own.
            in_band_order = dn_bands[[labels.index(band) for band in BANDS]]
            values = surface_reflectance(
                in_band_order,
                params,
                elevation_metres=per_pixel.get("elevation"),
                aerosol_optical_depth=per_pixel.get("aerosol"),
            )[[BANDS.index(label) for label in labels]]
        else:
            values, counts = look_up(dn_bands, table, None)
        values[:, ~valid] = _MASKED
        outputs.append(np.moveaxis(values, 0, band_axis))
    # Every table set sees the same DNs: warn once, by band number.
    by_band = dict(zip(labels, counts))
    warn_above_full_scale([by_band[band] for band in BANDS])
    return outputs[0] if len(outputs) == 1 else tuple(outputs)


def _on_scene_grid(values, name: str, da: xr.DataArray, band_dim: Hashable) -> xr.DataArray:
    """A map DataArray selected on the scene's coordinates, in its dimension order."""
    if not isinstance(values, xr.DataArray):
        raise TypeError(
            f"{name} must be an xarray.DataArray on the scene's grid, found {type(values).__name__}"
        )
    spatial = [dim for dim in da.dims if dim != band_dim]
    advice = f"put it on the scene's grid first, e.g. with {name}.rio.reproject_match(da)"
    if set(values.dims) != set(spatial):
        raise ValueError(
            f"{name} must have the scene's dimensions {tuple(spatial)}, found {values.dims}; {advice}"
        )
    try:
        labels = {dim: da.indexes[dim] for dim in spatial if dim in da.indexes}
        if any(dim not in values.indexes for dim in labels):
            raise KeyError("no coordinates")
        values = values.sel(labels)
    except KeyError:
        raise ValueError(
            f"{name} is not on the scene's grid: its coordinates do not hold every pixel of "
            f"the scene; {advice}"
        ) from None
    if tuple(values.sizes[dim] for dim in spatial) != tuple(da.sizes[dim] for dim in spatial):
        scene = {dim: da.sizes[dim] for dim in spatial}
        raise ValueError(
            f"{name} is not on the scene's grid: it has {dict(values.sizes)}, the scene {scene}; {advice}"
        )
    if values.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, found dtype {values.dtype}")
    values = values.transpose(*spatial)
    return values.drop_vars([coord for coord in values.coords if coord not in values.dims]).astype(
        np.float32
    )


def _spatial_size(da: xr.DataArray, band_dim: Hashable):
    spatial = [dim for dim in da.dims if dim != band_dim]
    if len(spatial) != 2:
        return None
    return spatial, (da.sizes[spatial[0]], da.sizes[spatial[1]])


def _check_scene_size(da: xr.DataArray, band_dim: Hashable, params: Parameters) -> None:
    if params.line_count is None or params.sample_count is None:
        return
    size = _spatial_size(da, band_dim)
    if size is None:
        return
    spatial, found = size
    if found != (params.line_count, params.sample_count):
        raise ValueError(
            f"the parameters are for a scene of {params.line_count} lines x "
            f"{params.sample_count} samples, the DataArray has {found[0]} x {found[1]} "
            f"({spatial[0]}, {spatial[1]}); to correct a part of a scene, make the "
            f"Parameters with line_count=None and sample_count=None"
        )


def _metadata(params: Parameters, name: str, scene_size) -> dict:
    """The run's metadata as talvex-geo writes it: text values, the floats
    as the shortest decimals that read back the same, and beside each value
    that has a unit an item that names it."""

    def text(value) -> str:
        if isinstance(value, tuple):
            return " ".join(text(v) for v in value)
        if isinstance(value, np.float32):
            return _talvex.float_text(value)
        return str(value)

    # A scene's size is its array's when the parameters do not give it.
    size = dict(zip(("line_count", "sample_count"), scene_size or (None, None)))
    tags = {"talvex_version": _talvex.__version__, "talvex_product": _PRODUCTS[name]}
    for field in PARAMETER_FIELDS:
        value = getattr(params, field["python_name"])
        if value is None:
            value = size.get(field["python_name"])
        if value is not None:
            tags[field["metadata_key"]] = text(value)
            if field["unit"]:
                tags[field["metadata_key"] + _UNIT_ITEM_SUFFIX] = field["unit"]
    return tags


def _output_attrs(attrs: dict, name: str, metadata: dict, labels: Sequence[int]) -> dict:
    kept = {key: value for key, value in attrs.items() if key not in _DN_ONLY_ATTRS}
    kept.update(metadata)
    # A tuple of band descriptions, as rioxarray reads and writes them.
    kept["long_name"] = tuple(_band_description(band) for band in labels)
    kept["units"] = "1"
    kept["_FillValue"] = _MASKED
    return kept


def _parameter_attrs(params: Parameters) -> dict:
    attrs = {}
    for field in PARAMETER_FIELDS:
        value = getattr(params, field["python_name"])
        if value is None:
            continue
        if isinstance(value, tuple):
            value = np.array(value, np.float32)
        attrs[field["metadata_key"]] = value
    return attrs


def correct(
    da: xr.DataArray,
    params: Parameters,
    band_dim: Hashable = "band",
    elevation_metres: xr.DataArray | None = None,
    aerosol_optical_depth: xr.DataArray | None = None,
) -> xr.Dataset:
    """TOA and surface reflectance of a DN DataArray, as TALVEX-V1 computes them.

    Parameters
    ----------
    da : xarray.DataArray
        Raw DNs: uint16 (or uint8), or floats with NaN where the input is masked (as
        ``rioxarray.open_rasterio(..., masked=True)`` reads a file with its
        no-data value or mask). It has a dimension ``band_dim`` of the four
        bands; its other dimensions are free.
    params : Parameters
        The run parameters. When they give ``line_count`` and
        ``sample_count``, a two-dimensional scene must have that size.
    band_dim : hashable
        The band dimension. Its coordinate, when there is one, must hold the
        band numbers 2, 3, 4, 5 in any order; each band gets its own
        calibration and the output keeps the order and the labels. Without a
        coordinate the order is 2, 3, 4, 5.
    elevation_metres, aerosol_optical_depth : xarray.DataArray, optional
        Per-pixel surface elevation (metres) and aerosol optical depth on
        the scene's grid (the dimensions of ``da`` other than the band,
        matched by coordinates), quantised and applied as
        :func:`talvex.surface_reflectance` does; NaN masks the pixel. A map
        on another grid is refused: ``map.rio.reproject_match(da)`` puts it
        on the grid. The Dataset's attributes name each map
        (``talvex_elevation_map``, ``talvex_aerosol_optical_depth_map``) and
        its quantisation step.

    Returns
    -------
    xarray.Dataset
        ``toa_reflectance`` and, when ``params.correction_option`` is 1,
        ``surface_reflectance``: float32 reflectance (dimensionless) with the
        dimensions, coordinates and attributes of ``da`` (less those that
        describe DN) and its rioxarray CRS. A pixel is NaN in every band
        where any band has DN 0, the input's no-data value (``_FillValue``
        , ``missing_value`` or ``nodatavals``, one value or one per band) or
        NaN; NaN is the
        declared no-data value (``_FillValue``), so ``rio.to_raster``
        writes it as the file's no-data. Each variable's attributes hold
        the band descriptions (``long_name``) and the run's metadata as
        talvex-geo writes them; the Dataset's attributes hold the run
        parameters as numbers.

    Raises
    ------
    TypeError
        ``da`` is not a DataArray of uint16 or float DNs, ``params`` not
        Parameters.
    ValueError
        No band dimension of four bands, band labels other than 2 to 5, DNs
        that a reader scaled (``mask_and_scale=True`` on a file with a scale
        or an offset), a
        scene of another size, a correction option other than 0 or 1, a
        no-data value of another shape; at compute time, float DNs that
        are not whole numbers from 0 to 65535.

    Warns
    -----
    UserWarning
        DNs above the calibration's full scale (4095), per block converted.

    Notes
    -----
    A chunked (Dask) input gives a lazy result of the same chunks, through
    ``xarray.apply_ufunc(..., dask="parallelized")``; the band dimension is
    brought into one chunk first.

    Examples
    --------
    >>> import talvex
    >>> params = talvex.Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=0)
    >>> dn = xr.DataArray(np.array([[[0, 900]], [[700, 900]], [[700, 900]], [[700, 900]]],
    ...     dtype=np.uint16), dims=("band", "y", "x"), coords={"band": [5, 4, 3, 2]})
    >>> toa = correct(dn, params).toa_reflectance
    >>> bool(np.isnan(toa[:, 0, 0]).all()), toa.sel(band=2).shape, toa.long_name[0]
    (True, (1, 2), 'Band 5 (short-wave infrared)')
    """
    if not isinstance(da, xr.DataArray):
        raise TypeError(f"da must be an xarray.DataArray, found {type(da).__name__}")
    params = check_parameters(params)
    if band_dim not in da.dims:
        raise ValueError(
            f"da has no dimension {band_dim!r} (its dimensions are {da.dims}); "
            f"name the band dimension with band_dim="
        )
    if da.sizes[band_dim] != len(BANDS):
        raise ValueError(
            f"da must have the {len(BANDS)} bands {', '.join(map(str, BANDS))} along "
            f"{band_dim!r}, found {da.sizes[band_dim]}"
        )
    if not ((da.dtype.kind == "u" and da.dtype.itemsize <= 2) or da.dtype.kind == "f"):
        raise TypeError(
            f"da must hold uint16 or uint8 DNs (or floats with NaN where masked), found dtype "
            f"{da.dtype} (rioxarray: open the scene without mask_and_scale=True)"
        )
    _check_not_scaled(da)
    if params.correction_option not in (CORRECTION_OFF, CORRECTION_ON):
        raise ValueError(
            f"correction_option must be {CORRECTION_OFF} (TOA reflectance) or "
            f"{CORRECTION_ON} (TOA and surface reflectance), found {params.correction_option}"
        )
    labels = _band_labels(da, band_dim)
    fills = _fill_values(da, len(labels))
    _check_scene_size(da, band_dim, params)
    maps = {}
    for key, name, values in (
        ("elevation", "elevation_metres", elevation_metres),
        ("aerosol", "aerosol_optical_depth", aerosol_optical_depth),
    ):
        if values is not None:
            if params.correction_option != CORRECTION_ON:
                raise ValueError(f"{name} needs correction_option {CORRECTION_ON}")
            maps[key] = _on_scene_grid(values, name, da, band_dim)

    names = [TOA_NAME]
    tables = [params.toa_tables()]
    if params.correction_option == CORRECTION_ON:
        names.append(SURFACE_NAME)
        tables.append(params.surface_tables())
    # Each position along the band dimension through its own band's table.
    order = [BANDS.index(band) for band in labels]
    tables = [np.ascontiguousarray(table[order]) for table in tables]

    chunked = da.chunks is not None
    dn = da
    if chunked:
        import dask.array

        dn = da.chunk({band_dim: -1})
        maps = {
            key: values.chunk({dim: da.chunksizes[dim] for dim in values.dims})
            for key, values in maps.items()
        }
        # One task per table set, shipped once to each worker that needs it,
        # rather than a copy inside every block's task.
        tables = [dask.array.from_array(table, chunks=-1) for table in tables]
    table_arrays = [xr.DataArray(table, dims=_TABLE_DIMS) for table in tables]

    # The band dimension is not a core dimension of apply_ufunc: Dask would
    # then copy every block into a new array with the bands last, a
    # pixel-interleaved copy that costs more than the conversion itself.
    # Each block holds all four bands all the same (the band dimension is one
    # chunk, see above), and the function finds them by their axis.
    results = xr.apply_ufunc(
        _convert_block,
        dn,
        *table_arrays,
        *maps.values(),
        input_core_dims=[[]] + [list(_TABLE_DIMS)] * len(table_arrays) + [[]] * len(maps),
        output_core_dims=[[]] * len(table_arrays),
        dask="parallelized",
        output_dtypes=[np.float32] * len(table_arrays),
        kwargs={
            "band_axis": da.get_axis_num(band_dim),
            "fills": fills,
            "labels": labels,
            "maps": tuple(maps),
            "params": params,
        },
        keep_attrs=True,  # the attributes of the coordinates too
    )
    if len(names) == 1:
        results = (results,)

    size = _spatial_size(da, band_dim)
    variables = {}
    for name, result in zip(names, results):
        metadata = _metadata(params, name, size[1] if size else None)
        result.attrs = _output_attrs(da.attrs, name, metadata, labels)
        result.encoding = {}
        variables[name] = result
    attrs = _parameter_attrs(params)
    steps = {
        "elevation": _talvex.MAP_ELEVATION_STEP_METRES,
        "aerosol": _talvex.MAP_AEROSOL_DEPTH_STEP,
    }
    for key, attr in (
        ("elevation", "talvex_elevation"),
        ("aerosol", "talvex_aerosol_optical_depth"),
    ):
        if key in maps:
            attrs[f"{attr}_map"] = (
                str(maps[key].name) if maps[key].name is not None else "DataArray"
            )
            attrs[f"{attr}_quantisation"] = steps[key]
    ds = xr.Dataset(variables, attrs=attrs)
    return _keep_crs(da, ds)


def _keep_crs(da: xr.DataArray, ds: xr.Dataset) -> xr.Dataset:
    try:
        import rioxarray  # noqa: F401  (registers the .rio accessor)
    except ImportError:
        return ds
    crs = da.rio.crs
    if crs is None:
        return ds
    grid_mapping = da.rio.grid_mapping
    if grid_mapping in ds.coords and ds.coords[grid_mapping].attrs:
        # The grid-mapping coordinate came along with the others, with the
        # CRS and the transform in it, which writing the CRS again would drop.
        for variable in ds.data_vars.values():
            variable.encoding["grid_mapping"] = grid_mapping
        return ds
    return ds.rio.write_crs(crs)


def to_raster(reflectance: xr.DataArray, path: Union[str, "os.PathLike[str]"], **kwargs) -> None:
    """Writes a reflectance of :func:`correct` as a georeferenced raster file.

    The file is what talvex-geo writes for the same scene: the band
    descriptions ("Band 2 (green)", ...), the run's metadata (the dataset's
    and each band's ``talvex_band``, ``talvex_lmin``, ``talvex_lmax``), and
    the same masked pixels, declared by the no-data value NaN.

    Parameters
    ----------
    reflectance : xarray.DataArray
        ``toa_reflectance`` or ``surface_reflectance`` of a Dataset that
        :func:`correct` returned, with the band dimension first and a
        rioxarray georeference.
    path : str or os.PathLike
        The file to write.
    **kwargs
        Passed on to ``reflectance.rio.to_raster``, e.g. ``driver="COG"``,
        ``compress="deflate"``, ``windowed=True``.

    Raises
    ------
    ValueError
        ``reflectance`` is not a reflectance of :func:`correct`.

    Examples
    --------
    >>> import pathlib, tempfile, rioxarray, talvex
    >>> params = talvex.Parameters(lmin=[0] * 4, lmax=[52.5, 40.8, 33.6, 7.2],
    ...     day_of_year=45, solar_zenith_deg=38.6, solar_azimuth_deg=142,
    ...     view_zenith_deg=12.5, view_azimuth_deg=101, correction_option=0)
    >>> dn = xr.DataArray(np.full((4, 2, 3), 800, np.uint16), dims=("band", "y", "x"))
    >>> toa = correct(dn, params).toa_reflectance
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "toa.tif"
    >>> to_raster(toa, path)
    >>> rioxarray.open_rasterio(path).long_name[0]
    'Band 2 (green)'
    """
    attrs = reflectance.attrs
    if "talvex_product" not in attrs or "talvex_lmin" not in attrs:
        raise ValueError(
            "to_raster writes a reflectance that talvex.xarray.correct returned, "
            "with its attributes"
        )
    labels = _band_labels(reflectance, reflectance.dims[0]) if reflectance.ndim == 3 else []
    lmin = attrs["talvex_lmin"].split()
    lmax = attrs["talvex_lmax"].split()
    band_tags = [
        {
            "talvex_band": str(band),
            "talvex_lmin": lmin[BANDS.index(band)],
            "talvex_lmax": lmax[BANDS.index(band)],
        }
        for band in labels
    ]
    import rioxarray  # noqa: F401  (registers the .rio accessor)

    reflectance.rio.to_raster(path, tags={"band_tags": band_tags}, **kwargs)
