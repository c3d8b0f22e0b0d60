"""The package as `cmake --install` leaves it: importable, typed, and known
to importlib.metadata under its version."""

import os
import pathlib
import subprocess
import sys

import pytest

import talvex


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    build = os.environ.get("TALVEX_BUILD_DIR")
    if not build:
        pytest.skip("TALVEX_BUILD_DIR names no build tree")
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run(
        ["cmake", "--install", build, "--prefix", str(prefix), "--component", "python"],
        check=True,
        capture_output=True,
    )
    (package,) = prefix.glob("lib/python3*/*-packages/talvex")
    return package.parent


def test_installed_package_knows_its_version(installed):
    assert (installed / "talvex" / "py.typed").is_file()
    probe = (
        "import importlib.metadata, talvex, talvex.xarray; "
        "print(importlib.metadata.version('talvex'), talvex.__version__, talvex.__file__)"
    )
    done = subprocess.run(
        [sys.executable, "-c", probe],
        env={**os.environ, "PYTHONPATH": str(installed)},
        capture_output=True,
        text=True,
        check=True,
        cwd=installed.parent,
    )
    metadata_version, module_version, path = done.stdout.split()
    assert metadata_version == module_version == talvex.__version__
    assert pathlib.Path(path).is_relative_to(installed)
