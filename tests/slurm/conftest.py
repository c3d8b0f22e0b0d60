"""Fixtures of the cluster tests: a real one-node Slurm (the one CTest's
fixture started, or one started here when pytest runs alone), the cluster
scripts of the build tree, georeferenced scenes and TALVEX-V1's golden runs."""

from __future__ import annotations

import dataclasses
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import time

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
sys.path.insert(0, str(HERE))

import one_node_slurm  # noqa: E402
from golden_runs import REPO, talvex_v1  # noqa: E402,F401  (a fixture, re-exported)


def _load_geo_scenes():
    """talvex-geo's test helpers (scenes written with GDAL), under a name of their own."""
    module_spec = importlib.util.spec_from_file_location(
        "geo_scenes", HERE.parent / "geo" / "conftest.py"
    )
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


geo_scenes = _load_geo_scenes()

# Longest wait for a job that should be quick.
JOB_SECONDS = 60.0


@dataclasses.dataclass
class Slurm:
    """The one-node cluster, seen by its clients."""

    folder: pathlib.Path
    bin: pathlib.Path

    def env(self, **extra: str) -> dict:
        env = one_node_slurm.client_env(self.folder)
        env["PATH"] = f"{self.bin}:{env.get('PATH', '')}"
        env.update(extra)
        return env

    def run(self, *command, check=True, extra_env: dict | None = None, **kwargs):
        done = subprocess.run(
            [str(c) for c in command],
            capture_output=True,
            text=True,
            env=self.env(**(extra_env or {})),
            **kwargs,
        )
        if check:
            assert (
                done.returncode == 0
            ), f"{command}: {done.returncode}\n{done.stdout}\n{done.stderr}"
        return done

    def submitted(self, done: subprocess.CompletedProcess) -> str:
        """The job id that sbatch --parsable printed."""
        match = re.search(r"^(\d+)", done.stdout.strip().splitlines()[-1])
        assert match, f"no job id in {done.stdout!r} {done.stderr!r}"
        return match.group(1)

    def job(self, job_id: str) -> dict:
        """scontrol's fields of one job (or array task): JobState, ExitCode, ..."""
        done = self.run("scontrol", "-o", "show", "job", job_id)
        return dict(re.findall(r"(\w+)=(\S*)", done.stdout.splitlines()[0]))

    def tasks(self, job_id: str) -> dict[int, dict]:
        """The fields of every task of an array, by its index."""
        done = self.run("scontrol", "-o", "show", "job", job_id)
        found = {}
        for line in done.stdout.splitlines():
            fields = dict(re.findall(r"(\w+)=(\S*)", line))
            if fields.get("ArrayTaskId", "").isdigit():
                found[int(fields["ArrayTaskId"])] = fields
        return found

    def wait(self, job_id: str, seconds: float = JOB_SECONDS) -> None:
        """Returns once no task of the job is pending or running."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            listed = self.run("squeue", "-h", "-j", job_id, "-o", "%i %T", check=False)
            if listed.returncode == 0 and listed.stdout.strip() == "":
                return
            time.sleep(0.3)
        raise AssertionError(
            f"job {job_id} still queued after {seconds:.0f} s: {listed.stdout}\n"
            f"{one_node_slurm.log_tail(self.folder / 'log' / 'slurmctld.log')}"
        )


@pytest.fixture(scope="session")
def slurm_bin() -> pathlib.Path:
    """The build tree's folder of programs, with the cluster scripts beside talvex-geo."""
    bin_folder = pathlib.Path(os.environ.get("TALVEX_CLUSTER_BIN") or REPO / "build" / "bin")
    if not (bin_folder / "talvex-array").is_file():
        pytest.fail(f"talvex-array not found in {bin_folder}: build it, or set TALVEX_CLUSTER_BIN")
    return bin_folder


@pytest.fixture(scope="session")
def slurm(slurm_bin) -> Slurm:
    bin_folder = slurm_bin
    record = os.environ.get("TALVEX_SLURM_RECORD")
    if record and pathlib.Path(record).is_file():
        folder = pathlib.Path(pathlib.Path(record).read_text().strip())
        if (folder / "slurm.conf").is_file():
            yield Slurm(folder, bin_folder)
            return
    reason = one_node_slurm.why_not_runnable()
    if reason:
        pytest.skip(reason)
    folder = pathlib.Path(tempfile.mkdtemp(prefix="talvex-slurm-"))
    try:
        one_node_slurm.start(folder)
        yield Slurm(folder, bin_folder)
    finally:
        one_node_slurm.stop(folder)


def write_scene(
    folder: pathlib.Path, name: str, dn, parameter_text: str, single_bands: bool = False
):
    """A georeferenced scene and its parameter file in ``folder``; the
    fields of its scene line, relative to ``folder``."""
    lines, samples = dn.shape[1:]
    parameters = f"{name}.parameters.txt"
    (folder / parameters).write_bytes(geo_scenes.with_size(parameter_text, lines, samples).encode())
    if single_bands:
        inputs = []
        for i, band in enumerate((2, 3, 4, 5)):
            geo_scenes.write_raster(folder / f"{name}.band{band}.tif", dn[i : i + 1])
            inputs.append(f"{name}.band{band}.tif")
    else:
        geo_scenes.write_raster(folder / f"{name}.tif", dn)
        inputs = [f"{name}.tif"]
    return [parameters, *inputs, f"out/{name}"]


# A held scene: a VRT whose pixels come through a Python function that, on
# a task's first attempt, waits until the whole job is signalled (a sleeping
# child of talvex-geo, a process of the job, dies then), once for all
# bands; a requeued attempt goes straight through.
HELD_BAND = """  <VRTRasterBand dataType="UInt16" band="{band}" subClass="VRTDerivedRasterBand">
    <PixelFunctionType>held</PixelFunctionType>
    <PixelFunctionLanguage>Python</PixelFunctionLanguage>
    <PixelFunctionCode><![CDATA[
import os, subprocess, time
def held(in_ar, out_ar, *args, **kwargs):
    first_attempt = os.environ.get("SLURM_RESTART_COUNT", "0") == "0"
    if first_attempt and "TALVEX_TEST_RELEASED" not in os.environ:
        canary = subprocess.Popen(["sleep", "600"])
        while canary.poll() is None:
            time.sleep(0.1)
        os.environ["TALVEX_TEST_RELEASED"] = "1"
    out_ar[:] = in_ar[0]
]]></PixelFunctionCode>
    <SimpleSource><SourceFilename relativeToVRT="1">{source}</SourceFilename><SourceBand>{band}</SourceBand></SimpleSource>
  </VRTRasterBand>
"""


def write_held_scene(folder: pathlib.Path, name: str, dn, parameter_text: str):
    """A scene whose reading is held until its job is signalled (see
    HELD_BAND); the fields of its scene line. Runs that read it need
    GDAL_VRT_ENABLE_PYTHON=YES."""
    fields = write_scene(folder, name, dn, parameter_text)
    lines, samples = dn.shape[1:]
    bands = "".join(HELD_BAND.format(band=b, source=fields[1]) for b in range(1, 5))
    (folder / f"{name}.vrt").write_text(
        f'<VRTDataset rasterXSize="{samples}" rasterYSize="{lines}">\n{bands}</VRTDataset>\n'
    )
    return [fields[0], f"{name}.vrt", fields[-1]]


def status_of(list_path: pathlib.Path, line: int) -> dict:
    """A line's recorded outcome (line-N.status beside its log)."""
    text = (list_path.parent / f"{list_path.name}.logs" / f"line-{line}.status").read_text()
    return dict(entry.split("=", 1) for entry in text.splitlines())


def log_of(list_path: pathlib.Path, line: int) -> str:
    return (list_path.parent / f"{list_path.name}.logs" / f"line-{line}.log").read_text()
