"""The plugin as installed by `cmake --install` (and as zipped for QGIS's
"Install from ZIP"), run headless by qgis_process."""

import os
import shutil
import subprocess
import zipfile

import pytest
from conftest import BUILD, assert_same_bits, read_raster, run_geo

PLUGIN = "talvex_processing"


def qgis_process_command(environment) -> list:
    """qgis_process, or the program it wraps where Debian's wrapper passes
    an option that qgis_process refuses."""
    for program in ("qgis_process", "qgis_process.bin"):
        if shutil.which(program) is None:
            continue
        done = subprocess.run(
            [program, "--version"], capture_output=True, text=True, env=environment
        )
        if done.returncode == 0:
            return [program]
    pytest.skip("qgis_process is not installed (Debian: qgis)")


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    done = subprocess.run(
        ["cmake", "--install", str(BUILD), "--prefix", str(prefix)], capture_output=True, text=True
    )
    assert done.returncode == 0, done.stderr
    return prefix


def test_qgis_process_runs_the_installed_plugin(
    installed, qgis_app, talvex_geo, example_bands, example_parameters, tmp_path
):
    plugins = installed / "share" / "qgis" / "python" / "plugins"
    assert (plugins / PLUGIN / "metadata.txt").is_file()
    assert (
        str(installed / "bin" / "talvex-geo") in (plugins / PLUGIN / "build_paths.py").read_text()
    )
    environment = dict(os.environ)
    environment.update(
        HOME=str(tmp_path / "home"),
        QGIS_CUSTOM_CONFIG_PATH=str(tmp_path / "profile"),
        QGIS_PLUGINPATH=str(plugins),
        QT_QPA_PLATFORM="offscreen",
        # Nothing of the build tree: the installed plugin runs the installed talvex-geo.
        PATH="/usr/bin:/bin",
    )
    qgis_process = qgis_process_command(environment)
    done = subprocess.run(
        qgis_process + ["plugins", "enable", PLUGIN],
        capture_output=True,
        text=True,
        env=environment,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    done = subprocess.run(
        qgis_process + ["help", "talvex:surfacereflectance"],
        capture_output=True,
        text=True,
        env=environment,
    )
    assert done.returncode == 0 and "ELEVATION_METRES" in done.stdout, done.stdout + done.stderr

    scene = [f"INPUT={example_bands[0]}"] + [
        f"BAND{band}={path}" for band, path in zip((3, 4, 5), example_bands[1:])
    ]
    output = tmp_path / "surface.tif"
    done = subprocess.run(
        qgis_process
        + ["run", "talvex:surfacereflectance", "--", *scene]
        + [f"PARAMETER_FILE={example_parameters}", f"OUTPUT={output}"],
        capture_output=True,
        text=True,
        env=environment,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    run_geo(talvex_geo, example_parameters, *example_bands, tmp_path / "geo")
    assert_same_bits(read_raster(output), read_raster(tmp_path / "geo-Atm-Corr-Ref-bands-2345.tif"))

    # A failure is a non-zero status with talvex-geo's message.
    done = subprocess.run(
        qgis_process
        + [
            "run",
            "talvex:toareflectance",
            "--",
            *scene,
            "SOLAR_ZENITH_DEG=95",
            f"OUTPUT={tmp_path / 'toa.tif'}",
        ],
        capture_output=True,
        text=True,
        env=environment,
    )
    assert done.returncode != 0
    assert "solarZenithDeg" in done.stdout + done.stderr
    assert not (tmp_path / "toa.tif").exists()


def test_zip_holds_the_plugin_for_install_from_zip():
    archive = BUILD / "qgis" / f"{PLUGIN}.zip"
    with zipfile.ZipFile(archive) as z:
        names = set(z.namelist())
        assert {
            f"{PLUGIN}/metadata.txt",
            f"{PLUGIN}/__init__.py",
            f"{PLUGIN}/parameter_fields.json",
            f"{PLUGIN}/icon.svg",
        } <= names
        assert all(name.startswith(f"{PLUGIN}/") for name in names)
        assert 'TALVEX_GEO = ""' in z.read(f"{PLUGIN}/build_paths.py").decode()
