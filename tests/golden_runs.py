"""Golden runs shared by the Python package's tests and talvex-geo's: the
real TALVEX-V1, run on DN scenes written as raw band-sequential files, gives
the outputs every test compares with."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

REPO = pathlib.Path(__file__).resolve().parents[1]

# The example run's parameter file (the stream from its line 3 on).
EXAMPLE_PARAMETERS = """320 320        lines samples
0.0 52.5       lmin lmax of band 2
0.0 40.8       lmin lmax of band 3
0.0 33.6       lmin lmax of band 4
0.0 7.2        lmin lmax of band 5
45             day of the year
38.6           solar zenith angle
142            solar azimuth
12.5           view zenith angle
101            view azimuth
1              correction option
55             elevation
0.25           aerosol optical depth
2.9            water vapour
0.27           ozone
"""

# A second run far from the first: low sun, oblique view, non-zero lmin,
# a high and hazy site, day 366; CR LF line ends.
HAZY_PARAMETERS = (
    "\r\n".join(
        [
            "256 256",
            "1.25 61.75",
            "-0.5 47.3",
            "0.75 30.1",
            "0.05 6.9",
            "366",
            "71.3",
            "251.5",
            "38.25",
            "12",
            "1",
            "2750.5",
            "1.35",
            "5.4",
            "0.41",
        ]
    )
    + "\r\n"
)

# A TOA-only run.
TOA_ONLY_PARAMETERS = """8 8
0 52.5
0 40.8
0 33.6
0 7.2
180
20.5
120
0
0
0
"""


@pytest.fixture(scope="session")
def talvex_v1() -> pathlib.Path:
    path = os.environ.get("TALVEX_V1") or REPO / "build" / "bin" / "TALVEX-V1"
    path = pathlib.Path(path)
    if not path.is_file():
        pytest.fail(f"TALVEX-V1 not found at {path}: build it, or set TALVEX_V1 to its path")
    return path


def with_size(parameter_text: str, lines: int, samples: int) -> str:
    """The parameter file with its first line set to another scene size."""
    rest = parameter_text.split("\n", 1)[1]
    return f"{lines} {samples}\n{rest}"


def run_talvex_v1(talvex_v1, folder: pathlib.Path, dn: np.ndarray, parameter_text: str):
    """TOA and surface reflectance (None for a TOA-only run) that TALVEX-V1
    writes for a (4, lines, samples) DN scene, as arrays of that shape."""
    bands, lines, samples = dn.shape
    folder.mkdir(parents=True, exist_ok=True)
    image = folder / "scene.dn"
    dn.astype("<u2").tofile(image)
    base = folder / "out"
    stream = f"{image}\n{base}\n{with_size(parameter_text, lines, samples)}"
    done = subprocess.run([str(talvex_v1)], input=stream.encode(), capture_output=True)
    assert done.returncode == 0, done.stdout.decode()

    def read(suffix):
        path = pathlib.Path(f"{base}{suffix}")
        if not path.exists():
            return None
        return np.fromfile(path, dtype="<f4").reshape(bands, lines, samples)

    return read("-TOA-Ref-bands-2345"), read("-Atm-Corr-Ref-bands-2345")


def every_dn_scene(seed: int = 12) -> np.ndarray:
    """A (4, 256, 256) scene in which every band holds each of the 65536 DNs
    once, in its own shuffled order: every table entry is checked."""
    rng = np.random.default_rng(seed)
    every = np.arange(65536, dtype=np.uint16)
    return np.stack([rng.permutation(every) for _ in range(4)]).reshape(4, 256, 256)


def write_parameters(folder: pathlib.Path, text: str, name: str = "parameters.txt"):
    path = folder / name
    path.write_bytes(text.encode())
    return path


def assert_same_bits(actual: np.ndarray, expected: np.ndarray):
    """Equal bit for bit, NaNs and signed zeros included."""
    assert actual.dtype == np.float32 and expected.dtype.itemsize == 4
    assert actual.shape == expected.shape
    differ = actual.view(np.uint32) != expected.astype(np.float32).view(np.uint32)
    assert not differ.any(), f"{int(differ.sum())} values differ, first at {np.argwhere(differ)[0]}"
