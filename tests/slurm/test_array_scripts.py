"""The array's batch script and its companion without a cluster: the scene
lines of a list, arguments refused, a stop signal in the middle of a run,
and a task that vanished without a word."""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import time

import pytest
from conftest import geo_scenes, log_of, status_of, write_held_scene, write_scene
from golden_runs import EXAMPLE_PARAMETERS, assert_same_bits, run_talvex_v1

# How long a direct run may take to reach talvex-geo, and to end.
RUN_SECONDS = 30.0


@pytest.fixture
def sessions():
    """Tasks started in sessions of their own, ended whatever the outcome of the test."""
    started = []
    yield started
    for task in started:
        if task.poll() is None:
            os.killpg(task.pid, signal.SIGKILL)
            task.communicate()


def array_command(slurm_bin, *arguments, **kwargs):
    env = {name: value for name, value in os.environ.items() if not name.startswith("SLURM_")}
    return subprocess.run(
        [str(slurm_bin / "talvex-array"), *map(str, arguments)],
        capture_output=True,
        text=True,
        env=env,
        **kwargs,
    )


def batch_script(slurm_bin, scene_list, line, **kwargs):
    """The batch script as Slurm would start it for one array task."""
    env = {name: value for name, value in os.environ.items() if not name.startswith("SLURM_")}
    env.update(
        SLURM_ARRAY_TASK_ID=str(line),
        TALVEX_GEO=str(slurm_bin / "talvex-geo"),
        GDAL_VRT_ENABLE_PYTHON="YES",
    )
    return subprocess.Popen(
        ["bash", str(slurm_bin / "talvex-array.sbatch"), str(scene_list)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        **kwargs,
    )


def test_scene_lines_skip_comments_and_blank_lines_whatever_their_line_ends(slurm_bin, tmp_path):
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_bytes(
        b"# header\n\na b c\r\n  \t\n\tp i o\n   # indented comment\r\nx#y i o\nlast a b"
    )
    done = subprocess.run(
        ["bash", str(slurm_bin / "talvex-array.sbatch"), "--scene-lines", str(scene_list)],
        capture_output=True,
        text=True,
        check=True,
    )
    assert done.stdout.split() == ["3", "5", "7", "8"]


@pytest.mark.parametrize(
    "arguments, text, message",
    [
        (["submit", "{missing}"], None, "cannot read the scene list"),
        (["submit", "{list}"], "# only a comment\n\n", "has no scene line"),
        (["submit", "{list}", "--array=1-3"], "p i o\n", "give only a limit: --array=%N"),
        (["resend", "{list}"], "p i o\n", "unknown command 'resend'"),
        (["submit"], None, "Usage: talvex-array submit"),
    ],
)
def test_the_companion_refuses_what_it_cannot_do(slurm_bin, tmp_path, arguments, text, message):
    scene_list = tmp_path / "scenes.txt"
    if text is not None:
        scene_list.write_text(text)
    arguments = [a.format(list=scene_list, missing=tmp_path / "missing.txt") for a in arguments]
    done = array_command(slurm_bin, *arguments)
    assert done.returncode == 2 and message in done.stderr and done.stdout == ""


def test_a_task_started_outside_an_array_says_so(slurm_bin, tmp_path):
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text("p i o\n")
    for line in ("", "0", "1x"):
        task = batch_script(slurm_bin, scene_list, line)
        _, stderr = task.communicate(timeout=RUN_SECONDS)
        assert task.returncode == 2 and "SLURM_ARRAY_TASK_ID" in stderr
    task = batch_script(slurm_bin, scene_list, 2)
    task.communicate(timeout=RUN_SECONDS)
    assert (
        task.returncode == 2 and "the list has only 1 lines" in status_of(scene_list, 2)["message"]
    )


def holding(session: int) -> bool:
    """Whether the held scene's reader waits in the session (its sleeping child is there)."""
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if (
                entry.name.isdigit()
                and (entry / "cmdline").read_bytes() == b"sleep\x00600\x00"
                and os.getsid(int(entry.name)) == session
            ):
                return True
        except (OSError, ProcessLookupError):
            continue
    return False


def wait_until_held(folder, session: int):
    """Returns once talvex-geo has reserved its outputs and waits for the scene's pixels."""
    deadline = time.monotonic() + RUN_SECONDS
    while not (geo_scenes.leftovers(folder) and holding(session)):
        assert time.monotonic() < deadline, "talvex-geo did not start writing"
        time.sleep(0.1)


def test_a_stop_signal_ends_a_task_cleanly_and_its_rerun_completes(
    slurm_bin, talvex_v1, tmp_path, sessions
):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(20, 36, seed=3)
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text(
        " ".join(write_held_scene(tmp_path, "held", dn, EXAMPLE_PARAMETERS)) + "\n"
    )

    # A TERM to every process of the task, as Slurm sends at a time limit.
    task = batch_script(slurm_bin, scene_list, 1, start_new_session=True)
    sessions.append(task)
    wait_until_held(tmp_path / "out", task.pid)
    assert status_of(scene_list, 1)["outcome"] == "running"
    os.killpg(task.pid, signal.SIGTERM)
    task.communicate(timeout=RUN_SECONDS)
    assert task.returncode == 128 + signal.SIGTERM
    status = status_of(scene_list, 1)
    assert status["outcome"] == "stopped" and status["status"] == "143"
    assert "stopped by SIGTERM" in status["message"]
    assert list((tmp_path / "out").iterdir()) == []
    listed = array_command(slurm_bin, "failed", scene_list)
    assert listed.stdout.startswith("line 1: stopped (status 143): ")

    # The same line again (a requeued attempt reads the scene at once).
    env = {name: value for name, value in os.environ.items() if not name.startswith("SLURM_")}
    env.update(
        SLURM_ARRAY_TASK_ID="1",
        SLURM_RESTART_COUNT="1",
        TALVEX_GEO=str(slurm_bin / "talvex-geo"),
        GDAL_VRT_ENABLE_PYTHON="YES",
    )
    rerun = subprocess.run(
        ["bash", str(slurm_bin / "talvex-array.sbatch"), str(scene_list)],
        env=env,
        capture_output=True,
        text=True,
        timeout=RUN_SECONDS,
    )
    assert rerun.returncode == 0, log_of(scene_list, 1)
    assert status_of(scene_list, 1)["outcome"] == "complete"
    toa, surface = run_talvex_v1(talvex_v1, tmp_path / "golden", dn, EXAMPLE_PARAMETERS)
    assert_same_bits(geo_scenes.read_raster(tmp_path / "out/held-TOA-Ref-bands-2345.tif"), toa)
    assert_same_bits(
        geo_scenes.read_raster(tmp_path / "out/held-Atm-Corr-Ref-bands-2345.tif"), surface
    )


def test_a_task_killed_without_a_word_is_listed_as_lost(slurm_bin, tmp_path, sessions):
    (tmp_path / "out").mkdir()
    dn = geo_scenes.dn_scene(12, 12, seed=4)
    good = write_scene(tmp_path, "good", dn, EXAMPLE_PARAMETERS)
    held = write_held_scene(tmp_path, "held", dn, EXAMPLE_PARAMETERS)
    scene_list = tmp_path / "scenes.txt"
    scene_list.write_text(f"{' '.join(good)}\n{' '.join(held)}\n")
    task = batch_script(slurm_bin, scene_list, 2, start_new_session=True)
    sessions.append(task)
    wait_until_held(tmp_path / "out", task.pid)
    os.killpg(task.pid, signal.SIGKILL)
    task.communicate(timeout=RUN_SECONDS)

    listed = array_command(slurm_bin, "failed", scene_list)
    assert listed.stdout.startswith("line 2: lost (status none): started on ")
    assert "1 failed, 1 not run or running" in listed.stderr
