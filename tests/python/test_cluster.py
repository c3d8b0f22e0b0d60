"""A real Dask cluster: two worker processes correct a chunked scene through
talvex.xarray.correct, bit for bit as TALVEX-V1."""

import dataclasses
import os

import numpy as np
import pytest
import rasterio.shutil
import rioxarray
import xarray as xr
from distributed import Client, LocalCluster, Lock, get_task_stream
from rasterio.transform import from_origin

import talvex
import talvex.xarray
from conftest import EXAMPLE_PARAMETERS, assert_same_bits, run_talvex_v1, write_parameters

LINES, SAMPLES = 600, 800
CHUNKS = {"y": 200, "x": 200}  # 12 chunks per band


def package_folder():
    return os.path.dirname(talvex.__file__)


@pytest.fixture(scope="module")
def client():
    with LocalCluster(
        n_workers=2,
        processes=True,
        threads_per_worker=1,
        dashboard_address=None,
        host="127.0.0.1",
    ) as cluster, Client(cluster) as client:
        yield client


def test_two_worker_processes_match_talvex_v1(client, talvex_v1, tmp_path):
    rng = np.random.default_rng(2026)
    dn = rng.integers(0, 65536, (4, LINES, SAMPLES), dtype=np.uint16)
    dn[:, :, :7] = 0
    toa, surface = run_talvex_v1(talvex_v1, tmp_path, dn, EXAMPLE_PARAMETERS)
    # Pixels with DN 0 in any band have no data in every band.
    toa[:, (dn == 0).any(axis=0)] = np.nan
    surface[:, (dn == 0).any(axis=0)] = np.nan
    params = talvex.read_parameters(write_parameters(tmp_path, EXAMPLE_PARAMETERS))
    params = dataclasses.replace(params, line_count=LINES, sample_count=SAMPLES)

    # Each worker is a process of its own that imports this very package.
    folders = client.run(package_folder)
    assert len(folders) == 2 and set(folders.values()) == {package_folder()}

    # The README's cluster recipe: a GeoTIFF that the workers read in chunks ...
    source = tmp_path / "scene.tif"
    (
        xr.DataArray(dn, dims=("band", "y", "x"))
        .rio.write_crs("EPSG:32643")
        .rio.write_transform(from_origin(500000.0, 1500000.0, 30.0, 30.0))
        .rio.to_raster(source, tiled=True)
    )
    da = rioxarray.open_rasterio(source, chunks=CHUNKS, lock=False).assign_coords(band=[2, 3, 4, 5])
    ds = talvex.xarray.correct(da, params)
    assert ds.surface_reflectance.data.npartitions == 12
    with get_task_stream(client) as stream:
        computed_toa, computed_surface = client.gather(
            client.compute([ds.toa_reflectance.data, ds.surface_reflectance.data])
        )
    assert_same_bits(computed_toa, toa)
    assert_same_bits(computed_surface, surface)
    # The blocks were shared out between both workers.
    assert len({task["worker"] for task in stream.data}) == 2

    # ... and write their blocks into one tiled GeoTIFF under a cluster-wide
    # lock, which then becomes a COG.
    tiled = tmp_path / "surface-tiled.tif"
    ds.surface_reflectance.rio.to_raster(tiled, tiled=True, lock=Lock("rio-write", client=client))
    cog = tmp_path / "surface-cog.tif"
    rasterio.shutil.copy(tiled, cog, driver="COG")
    written = rioxarray.open_rasterio(cog)
    assert written.rio.crs == da.rio.crs
    assert written.rio.transform() == da.rio.transform()
    assert_same_bits(written.values, surface)
