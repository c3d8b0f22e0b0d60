"""Correction of xarray DataArrays: a DN array with a band dimension in, a
Dataset of TOA and surface reflectance out, lazily with Dask when the input
is chunked (one task per chunk, on any Dask scheduler or cluster).

    import rioxarray
    import talvex, talvex.xarray

    dn = rioxarray.open_rasterio("scene.tif", chunks={"x": 2048, "y": 2048})
    ds = talvex.xarray.correct(dn, talvex.read_parameters("my-parameters.txt"))
    ds.surface_reflectance.rio.to_raster("scene-sr.tif", driver="COG")
"""

from __future__ import annotations

import numpy as np
import xarray as xr

from . import _talvex
from ._parameters import BANDS, CORRECTION_OFF, CORRECTION_ON, Parameters
from ._reflectance import _check_parameters, _look_up, surface_reflectance

#: Names of the variables of the Dataset that :func:`correct` returns.
TOA_NAME = "toa_reflectance"
SURFACE_NAME = "surface_reflectance"

_LONG_NAMES = {
    TOA_NAME: "top-of-atmosphere reflectance",
    SURFACE_NAME: "surface reflectance",
}
# Attributes of a DN array that say how to read its integers, and would be
# wrong on reflectances.
_DN_ONLY_ATTRS = ("scale_factor", "add_offset", "units", "long_name", "valid_range", "_FillValue")
# Dimensions of the tables of one reflectance inside apply_ufunc.
_TABLE_DIMS = ("talvex_band", "talvex_dn")


def _convert_block(dn: np.ndarray, *tables_and_maps: np.ndarray, band_axis: int, maps: tuple,
                   params: Parameters):
    """One block holding all four bands along ``band_axis``, through each table set.

    ``maps`` names the per-pixel maps that follow the tables ("elevation",
    "aerosol"); with maps, the surface reflectance is computed per pixel.
    """
    tables = tables_and_maps[: len(tables_and_maps) - len(maps)]
    map_blocks = dict(zip(maps, tables_and_maps[len(tables) :]))
    dn_bands = np.moveaxis(dn, band_axis, 0)
    outputs = []
    for index, table in enumerate(tables):
        if dn.size == 0:
            out = np.empty(dn.shape, dtype=np.float32)
        elif index == 1 and map_blocks:
            # A map block lacks the band axis, or has it with length 1
            # (xarray leaves out leading axes that a block does not have).
            per_pixel = {
                name: np.moveaxis(block.reshape((1,) * (dn.ndim - block.ndim) + block.shape), band_axis, 0)[0]
                for name, block in map_blocks.items()
            }
            out = np.moveaxis(
                surface_reflectance(
                    dn_bands,
                    params,
                    elevation_metres=per_pixel.get("elevation"),
                    aerosol_optical_depth=per_pixel.get("aerosol"),
                ),
                0,
                band_axis,
            )
        else:
            out = np.moveaxis(_look_up(dn_bands, table, None), 0, band_axis)
        outputs.append(out)
    return outputs[0] if len(outputs) == 1 else tuple(outputs)


def _on_scene_grid(values, name: str, da: xr.DataArray, band_dim: str) -> xr.DataArray:
    """A map DataArray selected on the scene's coordinates, in its dimension order."""
    if not isinstance(values, xr.DataArray):
        raise TypeError(f"{name} must be an xarray.DataArray on the scene's grid, found {type(values).__name__}")
    spatial = [dim for dim in da.dims if dim != band_dim]
    if set(values.dims) != set(spatial):
        raise ValueError(
            f"{name} must have the scene's dimensions {tuple(spatial)}, found {values.dims}; "
            f"put it on the scene's grid first, e.g. with {name}.rio.reproject_match(da)"
        )
    try:
        labels = {dim: da.indexes[dim] for dim in spatial if dim in da.indexes}
        if any(dim not in values.indexes for dim in labels):
            raise KeyError("no coordinates")
        values = values.sel(labels)
    except KeyError:
        raise ValueError(
            f"{name} is not on the scene's grid: its coordinates do not hold every pixel of "
            f"the scene; put it on the grid first, e.g. with {name}.rio.reproject_match(da)"
        ) from None
    if tuple(values.sizes[dim] for dim in spatial) != tuple(da.sizes[dim] for dim in spatial):
        raise ValueError(
            f"{name} is not on the scene's grid: it has {dict(values.sizes)}, the scene "
            f"{ {dim: da.sizes[dim] for dim in spatial} }; put it on the grid first, e.g. with "
            f"{name}.rio.reproject_match(da)"
        )
    values = values.transpose(*spatial).drop_vars(
        [coord for coord in values.coords if coord not in values.dims]
    )
    if values.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers, found dtype {values.dtype}")
    return values.astype(np.float32)


def _check_scene_size(da: xr.DataArray, band_dim: str, params: Parameters) -> None:
    if params.line_count is None or params.sample_count is None:
        return
    spatial = [dim for dim in da.dims if dim != band_dim]
    if len(spatial) != 2:
        return
    found = (da.sizes[spatial[0]], da.sizes[spatial[1]])
    if found != (params.line_count, params.sample_count):
        raise ValueError(
            f"the parameters are for a scene of {params.line_count} lines x "
            f"{params.sample_count} samples, the DataArray has {found[0]} x {found[1]} "
            f"({spatial[0]}, {spatial[1]}); to correct a part of a scene, make the "
            f"Parameters with line_count=None and sample_count=None"
        )


def _output_attrs(attrs: dict, name: str) -> dict:
    kept = {key: value for key, value in attrs.items() if key not in _DN_ONLY_ATTRS}
    # DN 0 marks no data and becomes 0.0, so a no-data value of 0 still holds.
    if attrs.get("_FillValue") == 0:
        kept["_FillValue"] = np.float32(0.0)
    kept["long_name"] = _LONG_NAMES[name]
    kept["units"] = "1"
    return kept


def _parameter_attrs(params: Parameters) -> dict:
    attrs = {}
    for field in params.__dataclass_fields__:
        value = getattr(params, field)
        if value is None:
            continue
        attrs[f"talvex_{field}"] = np.array(value, np.float32) if isinstance(value, tuple) else value
    return attrs


def correct(
    da: xr.DataArray,
    params: Parameters,
    band_dim: str = "band",
    elevation_metres: xr.DataArray | None = None,
    aerosol_optical_depth: xr.DataArray | None = None,
) -> xr.Dataset:
    """TOA and surface reflectance of a DN DataArray, as TALVEX-V1 computes them.

    ``da`` holds uint16 DNs and a dimension ``band_dim`` of the four bands
    2, 3, 4, 5, in that order; its other dimensions are free. The Dataset
    has ``toa_reflectance`` and, when ``params.correction_option`` is 1,
    ``surface_reflectance``, float32 with the dimensions, coordinates and
    attributes of ``da`` (less those that describe DN) and its rioxarray CRS;
    the run parameters are in the Dataset's attributes.

    A chunked (Dask) input gives a lazy result of the same chunks, through
    ``xarray.apply_ufunc(..., dask="parallelized")``; the band dimension is
    brought into one chunk first. When ``params`` gives ``line_count`` and
    ``sample_count``, a two-dimensional scene must have that size.

    ``elevation_metres`` and ``aerosol_optical_depth`` are optional
    DataArrays of per-pixel values on the scene's grid (the dimensions of
    ``da`` other than the band, matched by coordinates), quantised and
    applied as :func:`talvex.surface_reflectance` does; a map on another
    grid is refused (``map.rio.reproject_match(da)`` puts it on the grid).
    Their use is recorded in the attributes ``talvex_elevation_map`` and
    ``talvex_aerosol_optical_depth_map`` with the quantisation step.
    """
    if not isinstance(da, xr.DataArray):
        raise TypeError(f"da must be an xarray.DataArray, found {type(da).__name__}")
    params = _check_parameters(params)
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
    if da.dtype.kind != "u" or da.dtype.itemsize != 2:
        raise TypeError(
            f"da must hold uint16 DNs, found dtype {da.dtype} (rioxarray: open the "
            f"scene without masked=True or mask_and_scale=True)"
        )
    if params.correction_option not in (CORRECTION_OFF, CORRECTION_ON):
        raise ValueError(
            f"correction_option must be {CORRECTION_OFF} (TOA reflectance) or "
            f"{CORRECTION_ON} (TOA and surface reflectance), found {params.correction_option}"
        )
    _check_scene_size(da, band_dim, params)

    names = [TOA_NAME]
    tables = [params._toa_tables]
    if params.correction_option == CORRECTION_ON:
        names.append(SURFACE_NAME)
        tables.append(params._surface_tables)

    maps = {}
    for key, name, values in (
        ("elevation", "elevation_metres", elevation_metres),
        ("aerosol", "aerosol_optical_depth", aerosol_optical_depth),
    ):
        if values is not None:
            if params.correction_option != CORRECTION_ON:
                raise ValueError(f"{name} needs correction_option {CORRECTION_ON}")
            maps[key] = _on_scene_grid(values, name, da, band_dim)

    chunked = da.chunks is not None
    dn = da
    if chunked:
        maps = {
            key: values.chunk({dim: da.chunksizes[dim] for dim in values.dims})
            for key, values in maps.items()
        }
        import dask.array

        dn = da.chunk({band_dim: -1})
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
        kwargs={"band_axis": da.get_axis_num(band_dim), "maps": tuple(maps), "params": params},
        keep_attrs=True,  # the attributes of the coordinates too
    )
    if len(names) == 1:
        results = (results,)

    variables = {}
    for name, result in zip(names, results):
        result.attrs = _output_attrs(da.attrs, name)
        variables[name] = result
    attrs = _parameter_attrs(params)
    steps = {"elevation": _talvex.MAP_ELEVATION_STEP_METRES, "aerosol": _talvex.MAP_AEROSOL_DEPTH_STEP}
    for key, attr in (("elevation", "talvex_elevation"), ("aerosol", "talvex_aerosol_optical_depth")):
        if key in maps:
            attrs[f"{attr}_map"] = str(maps[key].name) if maps[key].name is not None else "DataArray"
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
