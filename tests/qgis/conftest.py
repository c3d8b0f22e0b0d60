"""Fixtures of the QGIS plugin's tests: a headless QGIS with Processing and
the plugin of the build tree, the real talvex-geo and TALVEX-V1, and the
example scene. Skipped, with the reason, where QGIS is not installed."""

import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

from golden_runs import (
    EXAMPLE_PARAMETERS,
    REPO,
    assert_same_bits,
    run_talvex_v1,
    talvex_v1,
)  # noqa: E402,F401

os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

qgis_core = pytest.importorskip(
    "qgis.core",
    reason="QGIS is not installed (Debian: qgis python3-qgis); the plugin's tests need it",
)
gdal = pytest.importorskip(
    "osgeo.gdal", reason="GDAL's Python bindings are not installed (python3-gdal)"
)
gdal.UseExceptions()

BUILD = pathlib.Path(os.environ.get("TALVEX_BUILD") or REPO / "build")
PLUGIN_PATH = pathlib.Path(os.environ.get("TALVEX_QGIS_PLUGIN_PATH") or BUILD / "qgis" / "plugins")
EXAMPLES = pathlib.Path(os.environ.get("TALVEX_EXAMPLES") or BUILD / "examples")
BANDS = (2, 3, 4, 5)


@pytest.fixture(scope="session")
def talvex_geo() -> pathlib.Path:
    path = pathlib.Path(os.environ.get("TALVEX_GEO") or BUILD / "bin" / "talvex-geo")
    if not path.is_file():
        pytest.fail(f"talvex-geo not found at {path}: build it, or set TALVEX_GEO to its path")
    return path


@pytest.fixture(scope="session")
def qgis_app(tmp_path_factory):
    """One QGIS application for the session, with Processing and the plugin's
    provider registered; its profile lives in a temporary folder."""
    profile = tmp_path_factory.mktemp("qgis-profile")
    os.environ["QGIS_CUSTOM_CONFIG_PATH"] = str(profile)
    app = qgis_core.QgsApplication([], False, str(profile))
    qgis_core.QgsApplication.setPrefixPath("/usr", True)
    app.initQgis()
    sys.path.insert(0, "/usr/share/qgis/python/plugins")
    sys.path.insert(0, str(PLUGIN_PATH))
    from processing.core.Processing import Processing

    Processing.initialize()
    import talvex_processing

    plugin = talvex_processing.classFactory(None)
    plugin.initProcessing()
    yield app
    plugin.unload()


@pytest.fixture(scope="session")
def provider(qgis_app):
    return qgis_core.QgsApplication.processingRegistry().providerById("talvex")


@pytest.fixture(scope="session")
def example_bands() -> list:
    files = [EXAMPLES / f"example-band{band}.tif" for band in BANDS]
    missing = [str(f) for f in files if not f.is_file()]
    if missing:
        pytest.fail(
            f"the example scene's GeoTIFFs are missing ({', '.join(missing)}): build the project"
        )
    return files


@pytest.fixture(scope="session")
def example_stack(example_bands, tmp_path_factory) -> pathlib.Path:
    """The example scene as one four-band GeoTIFF."""
    path = tmp_path_factory.mktemp("stack") / "example-stack.tif"
    vrt = gdal.BuildVRT("", [str(f) for f in example_bands], separate=True)
    gdal.Translate(str(path), vrt, creationOptions=["TILED=YES"])
    return path


@pytest.fixture(scope="session")
def example_parameters(tmp_path_factory) -> pathlib.Path:
    path = tmp_path_factory.mktemp("parameters") / "example-parameters.txt"
    path.write_text(EXAMPLE_PARAMETERS)
    return path


def run_geo(talvex_geo, *args, check=True):
    """talvex-geo on the arguments; with check, a complete run is asserted."""
    done = subprocess.run([str(talvex_geo), "-q", *map(str, args)], capture_output=True, text=True)
    if check:
        assert done.returncode == 0, done.stderr
    return done


def run_algorithm(name: str, parameters: dict, feedback=None) -> dict:
    """Runs talvex:NAME through Processing, as the toolbox does."""
    context = qgis_core.QgsProcessingContext()
    feedback = feedback or qgis_core.QgsProcessingFeedback()
    algorithm = qgis_core.QgsApplication.processingRegistry().createAlgorithmById(f"talvex:{name}")
    assert algorithm is not None, f"talvex:{name} is not registered"
    ok, message = algorithm.checkParameterValues(parameters, context)
    if not ok:
        raise qgis_core.QgsProcessingException(message)
    results, ok = algorithm.run(parameters, context, feedback, catchExceptions=False)
    assert ok
    return results


def read_raster(path) -> np.ndarray:
    dataset = gdal.Open(str(path))
    return dataset.ReadAsArray()


def read_mask(path) -> np.ndarray:
    dataset = gdal.Open(str(path))  # kept open while its band is read
    return dataset.GetRasterBand(1).GetMaskBand().ReadAsArray()


def folder_names(folder: pathlib.Path) -> list:
    return sorted(p.name for p in folder.iterdir())
