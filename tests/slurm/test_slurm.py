"""The cluster scripts on a real one-node Slurm: a job array over a scene
list, bit for bit as TALVEX-V1; bad lines that fail alone and are
resubmitted alone; a task stopped by its time limit, then requeued and
completed; a Dask cluster started with srun inside an allocation.

The time-limited task is submitted first and checked last: Slurm's shortest
time limit is a minute, which the other cases use meanwhile."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import time

import numpy as np
import pytest
from conftest import geo_scenes, log_of, status_of, write_held_scene, write_scene
from golden_runs import (
    EXAMPLE_PARAMETERS,
    HAZY_PARAMETERS,
    TOA_ONLY_PARAMETERS,
    assert_same_bits,
    run_talvex_v1,
)

TOA = "-TOA-Ref-bands-2345.tif"
SURFACE = "-Atm-Corr-Ref-bands-2345.tif"
# How long a time-limited task may take to be stopped (a one-minute limit,
# checked by the controller every half minute or so) and then to complete.
TIME_LIMIT_SECONDS = 150.0
# How long a task may take to start.
JOB_START_SECONDS = 30.0


def submit(slurm, folder, scene_list, *options):
    done = slurm.run(slurm.bin / "talvex-array", "submit", scene_list, *options, cwd=folder)
    return slurm.submitted(done)


def read(path):
    return geo_scenes.read_raster(path)


@pytest.fixture(scope="session")
def time_limited(slurm, tmp_path_factory, talvex_v1):
    """The time-limited task, submitted before the other cases run."""
    folder = tmp_path_factory.mktemp("time-limit")
    (folder / "out").mkdir()
    dn = geo_scenes.dn_scene(40, 56, seed=7)
    scene_list = folder / "scenes.txt"
    scene_list.write_text(" ".join(write_held_scene(folder, "held", dn, EXAMPLE_PARAMETERS)) + "\n")
    done = slurm.run(
        slurm.bin / "talvex-array",
        "submit",
        scene_list,
        "--time=1",
        cwd=folder,
        extra_env={"GDAL_VRT_ENABLE_PYTHON": "YES"},
    )
    return {
        "job": slurm.submitted(done),
        "folder": folder,
        "list": scene_list,
        "golden": run_talvex_v1(talvex_v1, folder / "golden", dn, EXAMPLE_PARAMETERS),
    }


@pytest.fixture(autouse=True)
def time_limited_first(time_limited):
    """Every case starts after the time-limited task is submitted."""


def test_an_array_of_scenes_of_random_sizes_matches_talvex_v1_and_skips_what_is_done(
    slurm, talvex_v1, tmp_path
):
    seed = int.from_bytes(os.urandom(4), "little")
    rng = np.random.default_rng(seed)
    (tmp_path / "out").mkdir()
    runs = [
        (EXAMPLE_PARAMETERS, False),
        (EXAMPLE_PARAMETERS, True),
        (HAZY_PARAMETERS, False),
        (TOA_ONLY_PARAMETERS, False),
        (EXAMPLE_PARAMETERS, False),
    ]
    scenes = []
    for i, (parameters, single_bands) in enumerate(runs):
        lines, samples = (int(n) for n in rng.integers(1, 200, 2))
        dn = geo_scenes.dn_scene(lines, samples, seed=seed + i, zeros=lines > 3)
        fields = write_scene(tmp_path, f"scene{i}", dn, parameters, single_bands)
        scenes.append((fields, run_talvex_v1(talvex_v1, tmp_path / f"golden{i}", dn, parameters)))
    # Comments, blank lines, tabs, a CR LF line end and an absolute path.
    text = ["# five scenes", ""]
    text.append(" ".join(scenes[0][0]))
    text.append("\t".join(scenes[1][0]))
    text.append("   # a comment")
    text.append(" ".join(scenes[2][0]) + "\r")
    text.append("")
    text.append(" ".join(scenes[3][0]))
    text.append(" ".join([str(tmp_path / scenes[4][0][0]), *scenes[4][0][1:]]))
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text("\n".join(text) + "\n")
    scene_lines = [3, 4, 6, 8, 9]

    # At most two tasks at a time; talvex-geo's options after "--".
    geo_options = ["--", "-co", "COMPRESS=DEFLATE"]
    job = submit(slurm, tmp_path, scene_list, "--array=%2", *geo_options)
    slurm.wait(job)
    tasks = slurm.tasks(job)
    assert sorted(tasks) == scene_lines, f"seed {seed}"
    assert {task["ArrayTaskThrottle"] for task in tasks.values()} == {"2"}
    for line, (fields, (toa, surface)) in zip(scene_lines, scenes):
        assert (
            tasks[line]["JobState"] == "COMPLETED"
        ), f"seed {seed}, line {line}: {log_of(scene_list, line)}"
        assert status_of(scene_list, line)["outcome"] == "complete"
        base = tmp_path / fields[-1]
        assert (
            geo_scenes.gdalinfo(f"{base}{TOA}")["metadata"]["IMAGE_STRUCTURE"]["COMPRESSION"]
            == "DEFLATE"
        )
        assert_same_bits(read(f"{base}{TOA}"), toa)
        if surface is None:
            assert not pathlib.Path(f"{base}{SURFACE}").exists()
        else:
            assert_same_bits(read(f"{base}{SURFACE}"), surface)
    listed = slurm.run(slurm.bin / "talvex-array", "failed", scene_list)
    assert listed.stdout == ""
    assert "5 scenes: 5 complete, 0 failed, 0 not run or running" in listed.stderr

    # The whole array again, one input newer than its outputs: only that
    # scene is made anew; the others are up to date and left alone.
    written = {
        line: os.stat(f"{tmp_path / fields[-1]}{TOA}").st_mtime_ns
        for line, (fields, _) in zip(scene_lines, scenes)
    }
    time.sleep(0.01)
    (tmp_path / scenes[2][0][1]).touch()
    again = submit(slurm, tmp_path, scene_list, *geo_options)
    slurm.wait(again)
    for line, (fields, golden) in zip(scene_lines, scenes):
        outcome = status_of(scene_list, line)["outcome"]
        now = os.stat(f"{tmp_path / fields[-1]}{TOA}").st_mtime_ns
        if line == 6:
            assert outcome == "complete" and now > written[line]
            assert_same_bits(read(f"{tmp_path / fields[-1]}{TOA}"), golden[0])
        else:
            assert (
                outcome == "up to date" and now == written[line]
            ), f"line {line}: {log_of(scene_list, line)}"


def test_bad_lines_fail_alone_with_their_messages_and_only_they_are_resubmitted(
    slurm, talvex_v1, tmp_path
):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(24, 30, seed=11)
    good = write_scene(tmp_path, "good", dn, EXAMPLE_PARAMETERS)
    other = write_scene(tmp_path, "other", geo_scenes.dn_scene(30, 24, seed=12), EXAMPLE_PARAMETERS)
    bad_lines = {
        2: (
            " ".join(good[:2]),
            "expected PARAMETER_FILE, one or four INPUT rasters and OUTPUT_BASE",
        ),
        3: (f"{other[0]} {good[1]} out/mismatch", "is it the parameter file of another scene?"),
        4: (f"{good[0]} missing.tif out/missing", "missing.tif"),
        5: (f"-of {good[1]} out/option", "-of"),
    }
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text(
        "\n".join([" ".join(good), *(text for text, _ in bad_lines.values()), " ".join(other)])
        + "\n"
    )

    job = submit(slurm, tmp_path, scene_list)
    slurm.wait(job)
    tasks = slurm.tasks(job)
    for line in (1, 6):
        assert tasks[line]["JobState"] == "COMPLETED", log_of(scene_list, line)
    for line, (_, message) in bad_lines.items():
        status = status_of(scene_list, line)
        assert status["outcome"] == "failed"
        assert int(status["status"]) in (2, 3)
        # Slurm keeps the task's exit status too.
        assert tasks[line]["JobState"] == "FAILED"
        assert tasks[line]["ExitCode"] == f"{status['status']}:0"
        assert message in status["message"] and message in log_of(scene_list, line)
    assert not list((tmp_path / "out").glob("mismatch*")) and not list(tmp_path.glob("out/.*"))
    assert_same_bits(
        read(f"{tmp_path / good[-1]}{SURFACE}"),
        run_talvex_v1(talvex_v1, tmp_path / "golden", dn, EXAMPLE_PARAMETERS)[1],
    )

    listed = slurm.run(slurm.bin / "talvex-array", "failed", scene_list)
    assert [row.split(":")[0] for row in listed.stdout.splitlines()] == [
        f"line {n}" for n in bad_lines
    ]
    for row, (_, message) in zip(listed.stdout.splitlines(), bad_lines.values()):
        assert message in row
    assert "6 scenes: 2 complete, 4 failed" in listed.stderr

    # Mended, the failed lines alone run again.
    mended = scene_list.read_text().splitlines()
    mended[1:5] = [
        " ".join(good[:2] + ["out/mended"]),
        f"{other[0]} {other[1]} out/mismatch",
        f"{good[0]} {good[1]} out/missing",
        f"{good[0]} {good[1]} out/option",
    ]
    scene_list.write_text("\n".join(mended) + "\n")
    done = slurm.run(slurm.bin / "talvex-array", "resubmit", scene_list)
    assert "resubmitting lines 2-5" in done.stderr
    again = slurm.submitted(done)
    slurm.wait(again)
    assert sorted(slurm.tasks(again)) == [2, 3, 4, 5]
    assert slurm.run(slurm.bin / "talvex-array", "failed", scene_list).stdout == ""
    nothing = slurm.run(slurm.bin / "talvex-array", "resubmit", scene_list)
    assert "nothing to resubmit" in nothing.stderr and nothing.stdout == ""


def processes_of_job(slurm, job: str) -> list[int]:
    """The processes of a job's tasks (the batch script and its children)."""
    marks = {
        f"SLURM_ARRAY_JOB_ID={job}".encode(),
        f"SLURM_CONF={slurm.folder / 'slurm.conf'}".encode(),
    }
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and marks <= set((entry / "environ").read_bytes().split(b"\0")):
                found.append(int(entry.name))
        except OSError:
            continue
    assert found, f"no process of job {job}"
    return found


def test_a_task_killed_outright_is_listed_as_lost_and_resubmitted(slurm, tmp_path):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(16, 16, seed=9)
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text(
        " ".join(write_held_scene(tmp_path, "held", dn, EXAMPLE_PARAMETERS)) + "\n"
    )
    job = slurm.submitted(
        slurm.run(
            slurm.bin / "talvex-array",
            "submit",
            scene_list,
            cwd=tmp_path,
            extra_env={"GDAL_VRT_ENABLE_PYTHON": "YES"},
        )
    )
    deadline = time.monotonic() + JOB_START_SECONDS
    while not list((tmp_path / "out").glob(".*.tmp-talvex-*")):
        assert time.monotonic() < deadline, "the task did not start writing"
        time.sleep(0.2)
    # No TERM, no time to record anything: as the kernel's OOM killer would
    # (scancel's KILL comes after a TERM).
    for pid in processes_of_job(slurm, job):
        os.kill(pid, signal.SIGKILL)
    slurm.wait(job)
    assert status_of(scene_list, 1)["outcome"] == "running"
    listed = slurm.run(slurm.bin / "talvex-array", "failed", scene_list)
    assert listed.stdout.startswith(f"line 1: lost (status none): started on ")
    assert f"as job {job}_1, then ended without a status" in listed.stdout
    resubmitted = slurm.run(slurm.bin / "talvex-array", "resubmit", scene_list, "--test-only")
    assert "resubmitting lines 1" in resubmitted.stderr


def test_dask_workers_started_with_srun_write_the_bits_of_one_process(slurm, talvex_v1, tmp_path):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(
        150, 260, seed=5, zeros=False
    )  # no masked pixel: TALVEX-V1 has every value
    fields = write_scene(tmp_path, "scene", dn, HAZY_PARAMETERS)
    parameters, scene = (tmp_path / f for f in fields[:2])
    toa, surface = run_talvex_v1(talvex_v1, tmp_path / "golden", dn, HAZY_PARAMETERS)

    # Two workers on one CPU (-O): the time-limited task holds the other.
    done = slurm.run(
        "sbatch",
        "--parsable",
        "-O",
        "--ntasks=2",
        "--time=2",
        slurm.bin / "talvex-dask.sbatch",
        parameters,
        scene,
        tmp_path / "out/cluster",
        "--chunk",
        "64",
        cwd=tmp_path,
    )
    job = slurm.submitted(done)
    slurm.wait(job)
    log = (tmp_path / f"talvex-dask-{job}.out").read_text()
    assert slurm.job(job)["JobState"] == "COMPLETED", log
    assert "Traceback" not in log

    alone = subprocess.run(
        [
            slurm.bin / "talvex-dask-correct",
            "--chunk",
            "64",
            parameters,
            scene,
            tmp_path / "out/alone",
        ],
        capture_output=True,
        text=True,
        env=slurm.env(PYTHONPATH=str(slurm.bin.parent / "python")),
    )
    assert alone.returncode == 0, alone.stderr
    for name, golden in (("toa_reflectance", toa), ("surface_reflectance", surface)):
        cluster = tmp_path / f"out/cluster-{name}.tif"
        info = geo_scenes.gdalinfo(cluster)
        assert info["metadata"]["IMAGE_STRUCTURE"]["LAYOUT"] == "COG"
        assert (
            info["coordinateSystem"]["wkt"] == geo_scenes.gdalinfo(scene)["coordinateSystem"]["wkt"]
        )
        assert info["geoTransform"] == list(geo_scenes.GEOTRANSFORM)
        assert_same_bits(read(cluster), read(tmp_path / f"out/alone-{name}.tif"))
        assert_same_bits(read(cluster), golden)
    # Nothing left behind: neither the scheduler's file nor a temporary.
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(
        f"{run}-{name}.tif"
        for run in ("alone", "cluster")
        for name in ("toa_reflectance", "surface_reflectance")
    )


def test_a_task_stopped_by_its_time_limit_leaves_nothing_and_completes_when_requeued(
    slurm, time_limited
):
    job, folder, scene_list = time_limited["job"], time_limited["folder"], time_limited["list"]
    task = f"{job}_1"
    slurm.wait(job, TIME_LIMIT_SECONDS)
    assert slurm.job(task)["JobState"] == "TIMEOUT"
    status = status_of(scene_list, 1)
    assert status["outcome"] == "stopped" and status["status"] == "143"
    assert "stopped by SIGTERM (the job's time limit)" in status["message"]
    assert "interrupted" in log_of(scene_list, 1)
    # talvex-geo removed its temporaries: no output under any name.
    assert list((folder / "out").iterdir()) == []
    failed = slurm.run(slurm.bin / "talvex-array", "failed", scene_list).stdout
    assert failed.startswith("line 1: stopped (status 143)")

    # Requeued (a requeued job waits two minutes unless told to start) with
    # a longer limit: the same task completes, its log holds both attempts.
    slurm.run("scontrol", "requeue", task)
    slurm.run("scontrol", "update", f"JobId={task}", "TimeLimit=5", "StartTime=now")
    slurm.wait(job)
    assert slurm.job(task)["JobState"] == "COMPLETED", log_of(scene_list, 1)
    assert status_of(scene_list, 1)["outcome"] == "complete"
    assert "attempt 2" in log_of(scene_list, 1)
    toa, surface = time_limited["golden"]
    assert_same_bits(read(folder / f"out/held{TOA}"), toa)
    assert_same_bits(read(folder / f"out/held{SURFACE}"), surface)
    assert sorted(p.name for p in (folder / "out").iterdir()) == [f"held{SURFACE}", f"held{TOA}"]
