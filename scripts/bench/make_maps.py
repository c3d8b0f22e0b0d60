"""Synthetic elevation and aerosol optical depth maps around a scene, for
talvex-geo's map benchmark: hills from about 150 to 3500 m on a 2-arc-second
grid in EPSG:4326, and a haze from 0.05 to 0.65 on a 600 m grid in Web
Mercator (EPSG:3857); both extend past the scene on every side.

Usage: make_maps.py SCENE ELEVATION_OUT AEROSOL_OUT
"""

import sys

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()

ELEVATION_DEGREES = 2.0 / 3600.0
AEROSOL_METRES = 600.0
MARGIN = 0.05  # share of the scene's extent added on each side


def srs(epsg: int) -> osr.SpatialReference:
    s = osr.SpatialReference()
    s.ImportFromEPSG(epsg)
    s.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    return s


def write_map(path, epsg, bounds, step, values_at):
    xmin, ymin, xmax, ymax = bounds
    dx, dy = (xmax - xmin) * MARGIN, (ymax - ymin) * MARGIN
    xmin, xmax, ymin, ymax = xmin - dx, xmax + dx, ymin - dy, ymax + dy
    samples, lines = int(np.ceil((xmax - xmin) / step)), int(np.ceil((ymax - ymin) / step))
    u = (np.arange(samples) + 0.5)[np.newaxis, :] / samples  # 0 to 1, west to east
    v = (np.arange(lines) + 0.5)[:, np.newaxis] / lines  # 0 to 1, north to south
    ds = gdal.GetDriverByName("GTiff").Create(
        path, samples, lines, 1, gdal.GDT_Float32, ["TILED=YES", "COMPRESS=DEFLATE"]
    )
    ds.SetGeoTransform((xmin, step, 0.0, ymax, 0.0, -step))
    ds.SetSpatialRef(srs(epsg))
    ds.GetRasterBand(1).WriteArray(values_at(u, v).astype(np.float32))
    ds = None


def main(scene_path, elevation_path, aerosol_path):
    scene = gdal.Open(scene_path)
    x0, px, _, y0, _, py = scene.GetGeoTransform()
    xmax, ymin = x0 + px * scene.RasterXSize, y0 + py * scene.RasterYSize
    scene_srs = scene.GetSpatialRef()
    scene_srs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    for path, epsg, step, values_at in (
        (
            elevation_path,
            4326,
            ELEVATION_DEGREES,
            lambda u, v: 150.0 + 3200.0 * (u + v) / 2.0 + 300.0 * np.sin(7.0 * u) * np.cos(5.0 * v),
        ),
        (
            aerosol_path,
            3857,
            AEROSOL_METRES,
            lambda u, v: 0.05 + 0.6 * (0.5 + 0.5 * np.cos(4.0 * u + 3.0 * v)) * (1.0 - 0.5 * v),
        ),
    ):
        bounds = osr.CoordinateTransformation(scene_srs, srs(epsg)).TransformBounds(
            x0, ymin, xmax, y0, 21
        )
        write_map(path, epsg, bounds, step, values_at)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
