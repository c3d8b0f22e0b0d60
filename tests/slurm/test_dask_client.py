"""The Dask client alone, in one process: what it refuses, with talvex-geo's
statuses, and that a failure leaves no file behind."""

from __future__ import annotations

import os
import subprocess

import pytest
from conftest import geo_scenes, write_scene
from golden_runs import EXAMPLE_PARAMETERS


def run_client(slurm_bin, *arguments):
    env = dict(os.environ, PYTHONPATH=str(slurm_bin.parent / "python"))
    return subprocess.run(
        [str(slurm_bin / "talvex-dask-correct"), *map(str, arguments)],
        capture_output=True,
        text=True,
        env=env,
    )


@pytest.mark.parametrize(
    "case, status, message",
    [
        ("missing parameters", 2, "No such file"),
        ("another scene's parameters", 3, "the parameters are for a scene of"),
        ("missing input", 3, "cannot open the input"),
        ("three bands", 3, "has 3 bands; it must have the 4 bands 2, 3, 4, 5"),
        ("no such folder", 4, "cannot write"),
        ("no scheduler", 2, "no Dask cluster of 1 workers"),
    ],
)
def test_a_refused_run_says_why_and_leaves_nothing(slurm_bin, tmp_path, case, status, message):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(20, 24, seed=2)
    parameters, scene, _ = (
        tmp_path / f for f in write_scene(tmp_path, "scene", dn, EXAMPLE_PARAMETERS)
    )
    output = tmp_path / "out" / "run"
    arguments = {
        "missing parameters": [tmp_path / "missing.txt", scene, output],
        "another scene's parameters": [
            write_scene(tmp_path, "other", dn[:, :10], EXAMPLE_PARAMETERS)
            and tmp_path / "other.parameters.txt",
            scene,
            output,
        ],
        "missing input": [parameters, tmp_path / "missing.tif", output],
        "three bands": [
            parameters,
            geo_scenes.write_raster(tmp_path / "three.tif", dn[:3]),
            output,
        ],
        "no such folder": [parameters, scene, tmp_path / "absent" / "run"],
        "no scheduler": [
            "--scheduler-file",
            tmp_path / "none.json",
            "--wait",
            "1",
            parameters,
            scene,
            output,
        ],
    }[case]
    done = run_client(slurm_bin, *arguments)
    assert done.returncode == status, done.stderr
    assert message in done.stderr and done.stderr.startswith("talvex-dask-correct: ")
    assert list((tmp_path / "out").iterdir()) == []
