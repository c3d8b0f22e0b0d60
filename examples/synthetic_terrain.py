"""A synthetic terrain for the example scene, and the picture that shows
what it changes.

    synthetic_terrain.py dem SCENE_BAND.tif DEM.tif
        Writes an elevation map (metres) that covers the scene: a ridge
        rising from a valley at 150 m to about 2600 m, on a 1.5-arc-second
        grid in EPSG:4326, so that talvex-geo reprojects it onto the scene.
    synthetic_terrain.py picture FLAT.tif TERRAIN.tif PICTURE.png
        Draws the surface reflectance of the flat scene (near infrared, red,
        green as red, green, blue), the same with the terrain, and the
        difference of band 2 (green), side by side.
"""

import sys

import numpy as np
from osgeo import gdal, osr

gdal.UseExceptions()

DEGREES_PER_PIXEL = 1.5 / 3600.0
MARGIN_DEGREES = 0.005
STRETCH_MAX = 0.45  # reflectance shown as full brightness, as example.sh's quick-looks
DIFFERENCE_MAX = 0.02  # band 2 change shown as full brightness
GAP = 12  # pixels between the panels


def write_dem(scene_path: str, dem_path: str) -> None:
    scene = gdal.Open(scene_path)
    x0, px, _, y0, _, py = scene.GetGeoTransform()
    x1, y1 = x0 + px * scene.RasterXSize, y0 + py * scene.RasterYSize
    scene_srs = scene.GetSpatialRef()
    wgs84 = osr.SpatialReference()
    wgs84.ImportFromEPSG(4326)
    for srs in (scene_srs, wgs84):
        srs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    west, south, east, north = osr.CoordinateTransformation(scene_srs, wgs84).TransformBounds(
        x0, min(y0, y1), x1, max(y0, y1), 21
    )
    west, south, east, north = (
        west - MARGIN_DEGREES,
        south - MARGIN_DEGREES,
        east + MARGIN_DEGREES,
        north + MARGIN_DEGREES,
    )
    samples = int(np.ceil((east - west) / DEGREES_PER_PIXEL))
    lines = int(np.ceil((north - south) / DEGREES_PER_PIXEL))
    u = (np.arange(samples) + 0.5)[np.newaxis, :] / samples
    v = (np.arange(lines) + 0.5)[:, np.newaxis] / lines
    ridge = np.exp(-(((u - 0.3 - 0.4 * v) / 0.22) ** 2))
    elevation = 150.0 + 2200.0 * ridge * (0.6 + 0.4 * v) + 250.0 * np.sin(9.0 * u) * np.cos(7.0 * v)
    ds = gdal.GetDriverByName("GTiff").Create(dem_path, samples, lines, 1, gdal.GDT_Float32)
    ds.SetGeoTransform((west, DEGREES_PER_PIXEL, 0.0, north, 0.0, -DEGREES_PER_PIXEL))
    ds.SetSpatialRef(wgs84)
    ds.GetRasterBand(1).WriteArray(elevation.astype(np.float32))
    ds = None


def to_bytes(values: np.ndarray, maximum: float) -> np.ndarray:
    return (np.clip(np.nan_to_num(values) / maximum, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)


def write_picture(flat_path: str, terrain_path: str, picture_path: str) -> None:
    flat = gdal.Open(flat_path).ReadAsArray()
    terrain = gdal.Open(terrain_path).ReadAsArray()
    _, lines, samples = flat.shape
    picture = np.full((3, lines, 3 * samples + 2 * GAP), 255, np.uint8)
    false_colour = [2, 1, 0]  # bands 4, 3, 2 as red, green, blue
    picture[:, :, :samples] = to_bytes(flat[false_colour], STRETCH_MAX)
    picture[:, :, samples + GAP : 2 * samples + GAP] = to_bytes(terrain[false_colour], STRETCH_MAX)
    picture[:, :, 2 * samples + 2 * GAP :] = to_bytes(np.abs(terrain[0] - flat[0]), DIFFERENCE_MAX)
    memory = gdal.GetDriverByName("MEM").Create("", picture.shape[2], lines, 3, gdal.GDT_Byte)
    for i in range(3):
        memory.GetRasterBand(i + 1).WriteArray(picture[i])
    gdal.GetDriverByName("PNG").CreateCopy(picture_path, memory)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "dem":
        write_dem(*sys.argv[2:])
    elif len(sys.argv) == 5 and sys.argv[1] == "picture":
        write_picture(*sys.argv[2:])
    else:
        sys.exit(__doc__)
