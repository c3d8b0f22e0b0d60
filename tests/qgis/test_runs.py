"""Runs of both algorithms through Processing on the example scene and on
generated scenes: the values, CRS and mask of talvex-geo bit for bit, fields
and parameter file alike, talvex-geo's messages, and nothing left behind by a
failed or cancelled run."""

import hashlib
import numpy as np
import pytest
from conftest import (
    assert_same_bits,
    folder_names,
    gdal,
    qgis_core,
    read_mask,
    read_raster,
    run_algorithm,
    run_geo,
    run_talvex_v1,
)

# SHA-256 of the example scene's surface reflectance as little-endian
# float32, band after band, as TALVEX-V1 writes it.
EXAMPLE_SURFACE_SHA256 = "8ea665ac889fc940de97baec55b9a6d954cd9fbb3d32368af850198329e6cef5"


def scene_parameters(inputs, **more):
    parameters = {"INPUT": str(inputs[0])}
    for band, path in zip((3, 4, 5), inputs[1:]):
        parameters[f"BAND{band}"] = str(path)
    parameters.update(more)
    return parameters


@pytest.fixture(scope="module")
def geo_outputs(talvex_geo, example_bands, example_parameters, tmp_path_factory):
    """talvex-geo's own outputs for the example scene."""
    folder = tmp_path_factory.mktemp("geo")
    run_geo(talvex_geo, example_parameters, *example_bands, folder / "example")
    return folder / "example-TOA-Ref-bands-2345.tif", folder / "example-Atm-Corr-Ref-bands-2345.tif"


def assert_same_raster(actual, expected):
    assert_same_bits(read_raster(actual), read_raster(expected))
    np.testing.assert_array_equal(read_mask(actual), read_mask(expected))
    a, e = gdal.Open(str(actual)), gdal.Open(str(expected))
    assert a.GetSpatialRef().IsSame(e.GetSpatialRef())
    assert a.GetGeoTransform() == e.GetGeoTransform()
    assert [a.GetRasterBand(i + 1).GetDescription() for i in range(4)] == [
        e.GetRasterBand(i + 1).GetDescription() for i in range(4)
    ]


def test_example_scene_equals_talvex_geo_and_talvex_v1(
    provider, example_bands, example_parameters, geo_outputs, talvex_v1, tmp_path
):
    results = run_algorithm(
        "surfacereflectance",
        scene_parameters(
            example_bands,
            PARAMETER_FILE=str(example_parameters),
            OUTPUT=str(tmp_path / "surface.tif"),
            TOA_OUTPUT=str(tmp_path / "toa.tif"),
        ),
    )
    assert results == {
        "OUTPUT": str(tmp_path / "surface.tif"),
        "TOA_OUTPUT": str(tmp_path / "toa.tif"),
    }
    assert folder_names(tmp_path) == ["surface.tif", "toa.tif"]
    assert_same_raster(tmp_path / "toa.tif", geo_outputs[0])
    assert_same_raster(tmp_path / "surface.tif", geo_outputs[1])
    assert (
        read_mask(tmp_path / "surface.tif").min() == 0
    ), "the example's pixels without data are masked"

    surface = read_raster(tmp_path / "surface.tif")
    assert hashlib.sha256(surface.astype("<f4").tobytes()).hexdigest() == EXAMPLE_SURFACE_SHA256
    dn = np.stack([read_raster(f) for f in example_bands])
    toa_v1, surface_v1 = run_talvex_v1(
        talvex_v1, tmp_path / "v1", dn, example_parameters.read_text()
    )
    assert_same_bits(read_raster(tmp_path / "toa.tif"), toa_v1)
    assert_same_bits(surface, surface_v1)


def test_fields_and_one_raster_give_the_same_result(provider, example_stack, geo_outputs, tmp_path):
    # The fields start at the example parameter file's values.
    run_algorithm(
        "surfacereflectance",
        scene_parameters([example_stack], OUTPUT=str(tmp_path / "surface.tif")),
    )
    run_algorithm(
        "toareflectance",
        scene_parameters(
            [example_stack],
            OUTPUT=str(tmp_path / "toa.tif"),
            FORMAT=1,
            OPTIONS="COMPRESS=DEFLATE|LEVEL=1",
        ),
    )
    assert folder_names(tmp_path) == ["surface.tif", "toa.tif"]
    assert_same_bits(read_raster(tmp_path / "surface.tif"), read_raster(geo_outputs[1]))
    assert_same_bits(read_raster(tmp_path / "toa.tif"), read_raster(geo_outputs[0]))
    layout = gdal.Open(str(tmp_path / "toa.tif")).GetMetadataItem("LAYOUT", "IMAGE_STRUCTURE")
    assert layout == "COG"
    compression = gdal.Open(str(tmp_path / "toa.tif")).GetMetadataItem(
        "COMPRESSION", "IMAGE_STRUCTURE"
    )
    assert compression == "DEFLATE"


def test_fields_other_than_the_defaults(provider, talvex_geo, example_stack, tmp_path):
    fields = {
        "LMIN_BAND2": 1.25,
        "LMAX_BAND2": 61.75,
        "LMIN_BAND3": -0.5,
        "LMAX_BAND3": 47.3,
        "LMIN_BAND4": 0.75,
        "LMAX_BAND4": 30.1,
        "LMIN_BAND5": 0.05,
        "LMAX_BAND5": 6.9,
        "DAY_OF_YEAR": 366,
        "SOLAR_ZENITH_DEG": 71.3,
        "SOLAR_AZIMUTH_DEG": 251.5,
        "VIEW_ZENITH_DEG": 38.25,
        "VIEW_AZIMUTH_DEG": 12,
        "ELEVATION_METRES": 2750.5,
        "AEROSOL_OPTICAL_DEPTH": 1.35,
        "WATER_VAPOUR_COLUMN": 5.4,
        "OZONE_COLUMN": 0.41,
    }
    run_algorithm(
        "surfacereflectance",
        scene_parameters([example_stack], OUTPUT=str(tmp_path / "s.tif"), **fields),
    )
    file = tmp_path / "hazy.txt"
    file.write_text(
        "320 320\n1.25 61.75\n-0.5 47.3\n0.75 30.1\n0.05 6.9\n366\n71.3\n251.5\n38.25\n12\n1\n"
        "2750.5\n1.35\n5.4\n0.41\n"
    )
    run_geo(talvex_geo, file, example_stack, tmp_path / "geo")
    assert_same_bits(
        read_raster(tmp_path / "s.tif"), read_raster(tmp_path / "geo-Atm-Corr-Ref-bands-2345.tif")
    )


def bad_zenith(folder, example_parameters, example_bands):
    text = example_parameters.read_text().replace("38.6 ", "95.0 ")
    (folder / "bad.txt").write_text(text)
    return folder / "bad.txt", example_bands


def three_bands(folder, example_parameters, example_bands):
    vrt = gdal.BuildVRT("", [str(f) for f in example_bands[:3]], separate=True)
    gdal.Translate(str(folder / "three.tif"), vrt)
    return example_parameters, [folder / "three.tif"]


def other_size(folder, example_parameters, example_bands):
    (folder / "size.txt").write_text(
        example_parameters.read_text().replace("320 320", "300 320", 1)
    )
    return folder / "size.txt", example_bands


def toa_only_file(folder, example_parameters, example_bands):
    (folder / "toa.txt").write_text(
        "320 320\n0 52.5\n0 40.8\n0 33.6\n0 7.2\n45\n38.6\n142\n12.5\n101\n0\n"
    )
    return folder / "toa.txt", example_bands


@pytest.mark.parametrize("make_fault", [bad_zenith, three_bands, other_size])
def test_a_fault_raises_talvex_geo_message(
    provider, talvex_geo, example_parameters, example_bands, tmp_path, make_fault
):
    inputs_folder = tmp_path / "in"
    inputs_folder.mkdir()
    parameter_file, inputs = make_fault(inputs_folder, example_parameters, example_bands)
    done = run_geo(talvex_geo, parameter_file, *inputs, inputs_folder / "geo", check=False)
    assert done.returncode != 0
    expected = done.stderr.strip().removeprefix("talvex-geo: ")
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(qgis_core.QgsProcessingException) as raised:
        run_algorithm(
            "surfacereflectance",
            scene_parameters(inputs, PARAMETER_FILE=str(parameter_file), OUTPUT=str(out / "s.tif")),
        )
    assert str(raised.value) == expected
    assert folder_names(out) == []


def test_a_file_without_correction_gives_no_surface_reflectance(
    provider, example_parameters, example_bands, tmp_path
):
    parameter_file, inputs = toa_only_file(tmp_path, example_parameters, example_bands)
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(
        qgis_core.QgsProcessingException, match="does not ask for surface reflectance"
    ):
        run_algorithm(
            "surfacereflectance",
            scene_parameters(inputs, PARAMETER_FILE=str(parameter_file), OUTPUT=str(out / "s.tif")),
        )
    assert folder_names(out) == []


def test_an_invalid_option_keeps_the_complete_toa_reflectance(
    provider, talvex_geo, example_parameters, example_bands, geo_outputs, tmp_path
):
    parameter_file = tmp_path / "option2.txt"
    parameter_file.write_text(example_parameters.read_text().replace("\n1 ", "\n2 ", 1))
    done = run_geo(talvex_geo, parameter_file, *example_bands, tmp_path / "geo", check=False)
    assert done.returncode == 1 and "Invalid Option" in done.stderr
    out = tmp_path / "out"
    out.mkdir()
    feedback = qgis_core.QgsProcessingFeedback()
    warnings = []
    feedback.pushWarning = warnings.append
    run_algorithm(
        "toareflectance",
        scene_parameters(
            example_bands, PARAMETER_FILE=str(parameter_file), OUTPUT=str(out / "t.tif")
        ),
        feedback,
    )
    assert warnings == [done.stderr.strip().removeprefix("talvex-geo: ")]
    assert_same_bits(read_raster(out / "t.tif"), read_raster(geo_outputs[0]))
    with pytest.raises(qgis_core.QgsProcessingException, match="Invalid Option"):
        run_algorithm(
            "surfacereflectance",
            scene_parameters(
                example_bands,
                PARAMETER_FILE=str(parameter_file),
                OUTPUT=str(out / "s.tif"),
                TOA_OUTPUT=str(out / "t2.tif"),
            ),
        )
    assert folder_names(out) == ["t.tif", "t2.tif"]


def test_outputs_replace_earlier_ones_and_never_an_input(provider, example_stack, tmp_path):
    output = tmp_path / "toa.tif"
    run_algorithm(
        "toareflectance", scene_parameters([example_stack], OUTPUT=str(output), LMAX_BAND2=99.0)
    )
    # What QGIS adds to an output it shows: statistics and external pyramids.
    earlier = gdal.Open(str(output), gdal.GA_ReadOnly)
    earlier.BuildOverviews("NEAREST", [2, 4])
    earlier.GetRasterBand(1).ComputeStatistics(False)
    earlier = None
    assert folder_names(tmp_path) == ["toa.tif", "toa.tif.aux.xml", "toa.tif.ovr"]
    run_algorithm("toareflectance", scene_parameters([example_stack], OUTPUT=str(output)))
    assert folder_names(tmp_path) == ["toa.tif"]
    replaced = gdal.Open(str(output))
    assert replaced.GetRasterBand(1).GetOverviewCount() == 0
    assert replaced.GetMetadataItem("talvex_lmax") == "52.5 40.8 33.6 7.2"

    before = example_stack.read_bytes()
    with pytest.raises(qgis_core.QgsProcessingException, match="is one of the input files"):
        run_algorithm(
            "toareflectance", scene_parameters([example_stack], OUTPUT=str(example_stack))
        )
    assert example_stack.read_bytes() == before


def test_progress_of_both_outputs_reaches_the_dialog(provider, talvex_geo, example_stack, tmp_path):
    import talvex_processing.talvex_geo as runner

    if runner.PROGRESS_SWITCH not in runner.switches(str(talvex_geo)):
        pytest.skip("this talvex-geo has no -progress switch")
    feedback = qgis_core.QgsProcessingFeedback()
    seen = []
    feedback.setProgress = seen.append
    run_algorithm(
        "surfacereflectance",
        scene_parameters([example_stack], OUTPUT=str(tmp_path / "s.tif")),
        feedback,
    )
    assert seen == sorted(seen) and seen[-1] == 100.0
    assert len(set(seen)) >= 3 and any(0 < p < 100 for p in seen), seen


def test_elevation_and_aerosol_maps_as_talvex_geo_takes_them(
    provider, talvex_geo, example_stack, example_parameters, tmp_path
):
    import talvex_processing.talvex_geo as runner

    if runner.ELEVATION_MAP_SWITCH not in runner.switches(str(talvex_geo)):
        pytest.skip("this talvex-geo takes no elevation or aerosol maps")
    # Maps on a coarser grid than the scene's, over the same area, with
    # values that vary from pixel to pixel.
    scene = gdal.Open(str(example_stack))
    x0, dx, _, y0, _, dy = scene.GetGeoTransform()
    maps = {}
    for name, values in (
        ("elevation", np.linspace(0, 2500, 40 * 40)),
        ("aod", np.linspace(0.05, 1.2, 40 * 40)),
    ):
        path = tmp_path / f"{name}.tif"
        ds = gdal.GetDriverByName("GTiff").Create(str(path), 40, 40, 1, gdal.GDT_Float32)
        ds.SetGeoTransform((x0, dx * 8, 0.0, y0, 0.0, dy * 8))
        ds.SetSpatialRef(scene.GetSpatialRef())
        ds.GetRasterBand(1).WriteArray(values.reshape(40, 40).astype(np.float32))
        ds = None
        maps[name] = path
    scene = None
    run_algorithm(
        "surfacereflectance",
        scene_parameters(
            [example_stack],
            PARAMETER_FILE=str(example_parameters),
            OUTPUT=str(tmp_path / "s.tif"),
            ELEVATION_MAP=str(maps["elevation"]),
            AOD_MAP=str(maps["aod"]),
        ),
    )
    run_geo(
        talvex_geo,
        "-elevation",
        maps["elevation"],
        "-aod",
        maps["aod"],
        example_parameters,
        example_stack,
        tmp_path / "geo",
    )
    expected = read_raster(tmp_path / "geo-Atm-Corr-Ref-bands-2345.tif")
    assert_same_bits(read_raster(tmp_path / "s.tif"), expected)
    constant = tmp_path / "constant"
    run_geo(talvex_geo, example_parameters, example_stack, constant)
    assert not np.array_equal(
        expected, read_raster(f"{constant}-Atm-Corr-Ref-bands-2345.tif")
    ), "the maps are used"


class CancelOnceWriting(qgis_core.QgsProcessingFeedback):
    """Asks to stop as soon as talvex-geo has begun to write an output
    (a temporary of its own is under the output folder)."""

    def __init__(self, folder):
        super().__init__()
        self.folder = folder
        self.seen_writing = False

    def isCanceled(self):  # noqa: N802 (Qt's name)
        if not self.seen_writing:
            self.seen_writing = any(".tmp-talvex-" in p.name for p in self.folder.rglob("*"))
        return self.seen_writing


def test_cancel_leaves_nothing_behind(provider, tmp_path):
    rng = np.random.default_rng(5)
    lines = samples = 3000
    scene = tmp_path / "in" / "large.tif"
    scene.parent.mkdir()
    ds = gdal.GetDriverByName("GTiff").Create(
        str(scene), samples, lines, 4, gdal.GDT_UInt16, ["TILED=YES"]
    )
    ds.SetGeoTransform((500000.0, 30.0, 0.0, 1500000.0, 0.0, -30.0))
    ds.GetRasterBand(1).SetDescription("band 2")
    block = rng.integers(1, 4096, size=(lines, samples), dtype=np.uint16)
    for band in range(4):
        ds.GetRasterBand(band + 1).WriteArray(block)
    ds = None
    out = tmp_path / "out"
    out.mkdir()
    feedback = CancelOnceWriting(out)
    with pytest.raises(qgis_core.QgsProcessingException, match="Cancelled"):
        run_algorithm(
            "surfacereflectance",
            scene_parameters([scene], OUTPUT=str(out / "s.tif"), TOA_OUTPUT=str(out / "t.tif")),
            feedback,
        )
    assert feedback.seen_writing
    assert folder_names(out) == []
    assert folder_names(scene.parent) == ["large.tif"]
