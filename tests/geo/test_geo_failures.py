"""talvex-geo's failures: each names the file and the reason, ends with the
status of TALVEX-V1 for the same side (2 arguments or parameters, 3 input,
4 output), and leaves no temporary and no partial file under a final name,
an earlier output of that name whole."""

import os
import pathlib
import re
import signal
import subprocess
import time

import numpy as np
import pytest
from osgeo import gdal

from conftest import (
    EXAMPLE_PARAMETERS,
    GEOTRANSFORM,
    TOA_SUFFIX,
    dn_scene,
    leftovers,
    run_geo,
    single_band_files,
    with_size,
    write_parameters,
    write_raster,
)

LINES, SAMPLES = 40, 50


@pytest.fixture
def good(tmp_path):
    """A parameter file and a stack of the same size, in a fresh folder."""
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES))
    stack = write_raster(tmp_path / "stack.tif", dn_scene(LINES, SAMPLES))
    return tmp_path, parameters, stack


def assert_failed(done, status, *words):
    assert done.returncode == status, done.stderr
    assert done.stderr.startswith("talvex-geo: "), done.stderr
    for word in words:
        assert word in done.stderr, done.stderr


def outputs(folder: pathlib.Path):
    """Files under final output names."""
    return sorted(
        p.name
        for p in folder.iterdir()
        if "-Ref-bands-2345" in p.name and ".tmp-talvex-" not in p.name
    )


def test_help_version_and_bad_command_lines(tmp_path, talvex_geo, good):
    folder, parameters, stack = good
    assert run_geo(talvex_geo, "--help").stdout.startswith("Usage: talvex-geo")
    assert re.match(r"talvex-geo \d+\.\d+\.\d+ \(GDAL \d", run_geo(talvex_geo, "--version").stdout)
    for args, words in (
        ((parameters, stack, stack, folder / "out"), ["one or four INPUT", "found 4"]),
        (("-of", "PNG", parameters, stack, folder / "out"), ["-of PNG", "GTiff, COG or ENVI"]),
        (("-co", "COMPRESS", parameters, stack, folder / "out"), ["NAME=VALUE"]),
        (("-x", parameters, stack, folder / "out"), ["unknown option -x", "--help"]),
        (("-of", "ENVI", "-co", "SUFFIX=REPLACE", parameters, stack, folder / "out"), ["SUFFIX"]),
    ):
        assert_failed(run_geo(talvex_geo, *args, check=False), 2, *words)
    assert outputs(folder) == []


def test_parameter_files_are_read_by_the_rules_and_messages_of_talvex_v1(
    tmp_path, talvex_geo, talvex_v1, good
):
    folder, _, stack = good
    bad = with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES).replace("38.6", "sun 38.6", 1)
    parameters = write_parameters(folder, bad, "bad.txt")
    done = run_geo(talvex_geo, parameters, stack, folder / "out", check=False)
    stream = f"{stack}\n{folder / 'v1'}\n{bad}"
    v1 = subprocess.run([str(talvex_v1)], input=stream, capture_output=True, text=True)
    v1_message = v1.stdout.splitlines()[-1]
    assert v1.returncode == 2 and v1_message.startswith("Error in the run parameters, line 9")
    # The same message, with the line counted in the parameter file.
    assert_failed(done, 2, str(parameters), v1_message.replace("line 9", "line 7"))

    negative = with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES).replace("0.25", "-0.25", 1)
    done = run_geo(
        talvex_geo, write_parameters(folder, negative, "n.txt"), stack, folder / "out", check=False
    )
    assert_failed(done, 2, "aerosolOpticalDepth")
    assert_failed(
        run_geo(talvex_geo, folder / "none.txt", stack, folder / "out", check=False),
        2,
        '"' + str(folder / "none.txt") + '"',
        "No such file",
    )
    assert outputs(folder) == []


def test_a_parameter_file_of_another_scene_names_both_sizes(talvex_geo, good):
    folder, _, stack = good
    other = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, 320, 320), "other.txt")
    done = run_geo(talvex_geo, other, stack, folder / "out", check=False)
    assert_failed(
        done, 2, str(stack), f"{LINES} lines of {SAMPLES} samples", str(other), "320 lines of 320"
    )
    assert outputs(folder) == []


def test_inputs_that_cannot_be_used_are_named_with_their_fault(talvex_geo, good):
    folder, parameters, _ = good
    dn = dn_scene(LINES, SAMPLES)
    files = single_band_files(folder, dn)
    shifted = write_raster(
        folder / "shifted.tif", dn[2:3], geotransform=(GEOTRANSFORM[0] + 30,) + GEOTRANSFORM[1:]
    )
    small = write_raster(folder / "small.tif", dn[2:3, :, :-1])
    signed = write_raster(folder / "signed.tif", dn[2:3].astype(np.int16), dtype=gdal.GDT_Int16)
    three = write_raster(folder / "three.tif", dn[:3])
    (folder / "junk.tif").write_text("not a raster")
    cases = (
        (
            (files[0], files[1], shifted, files[3]),
            ["shifted.tif", "geotransform", "band2.tif", "412375"],
        ),
        ((files[0], files[1], small, files[3]), ["small.tif", "size", "49 x 40"]),
        ((files[0], files[1], signed, files[3]), ["signed.tif", "Int16", "Byte or UInt16"]),
        ((three,), ["three.tif", "3 bands"]),
        ((files[0],), ["band2.tif", "1 band"]),
        ((folder / "missing.tif",), ["missing.tif", "No such file"]),
        ((folder / "junk.tif",), ["junk.tif", "not recognized"]),
    )
    for inputs, words in cases:
        assert_failed(
            run_geo(talvex_geo, parameters, *inputs, folder / "out", check=False), 3, *words
        )
    assert outputs(folder) == [] and leftovers(folder) == []


def test_an_output_that_is_an_input_is_refused_before_anything_is_written(talvex_geo, good):
    folder, parameters, stack = good
    before = stack.read_bytes()
    os.link(stack, folder / f"x{TOA_SUFFIX}.tif")
    done = run_geo(talvex_geo, parameters, stack, folder / "x", check=False)
    assert_failed(done, 3, "is the Input File itself")
    assert stack.read_bytes() == before and leftovers(folder) == []


def test_unwritable_outputs_and_a_full_disk_leave_earlier_outputs_whole(talvex_geo, good):
    folder, parameters, stack = good
    done = run_geo(talvex_geo, parameters, stack, folder / "missing" / "out", check=False)
    assert_failed(
        done,
        4,
        "missing/out-TOA-Ref-bands-2345.tif",
        f"the folder \"{folder / 'missing'}\" does not exist",
    )

    run_geo(talvex_geo, parameters, stack, folder / "out")
    earlier = {name: (folder / name).read_bytes() for name in outputs(folder)}
    bigger = write_raster(folder / "big.tif", dn_scene(400, 500))
    big_parameters = write_parameters(folder, with_size(EXAMPLE_PARAMETERS, 400, 500), "big.txt")
    done = run_geo(
        talvex_geo,
        big_parameters,
        bigger,
        folder / "out",
        check=False,
        preexec_fn=lambda: __import__("resource").setrlimit(
            __import__("resource").RLIMIT_FSIZE, (1 << 20, 1 << 20)
        ),
    )
    assert_failed(done, 4, "out-TOA-Ref-bands-2345.tif")
    assert {name: (folder / name).read_bytes() for name in outputs(folder)} == earlier
    assert leftovers(folder) == []


def test_an_earlier_outputs_companions_do_not_outlive_it(talvex_geo, good):
    folder, parameters, stack = good
    stale = folder / f"out{TOA_SUFFIX}.tif.aux.xml"
    stale.write_text(
        '<PAMDataset><Metadata><MDI key="talvex_product">old</MDI></Metadata></PAMDataset>'
    )
    (folder / f"out{TOA_SUFFIX}.tif.msk").write_text("an old mask")
    run_geo(talvex_geo, parameters, stack, folder / "out")
    assert not stale.exists() and not (folder / f"out{TOA_SUFFIX}.tif.msk").exists()
    assert (
        gdal.Info(str(folder / f"out{TOA_SUFFIX}.tif"), format="json")["metadata"][""][
            "talvex_product"
        ]
        == "top-of-atmosphere reflectance"
    )


def test_an_invalid_option_writes_the_toa_output_only(talvex_geo, good):
    folder, _, stack = good
    text = with_size(EXAMPLE_PARAMETERS, LINES, SAMPLES).replace(
        "1              correction option", "7", 1
    )
    done = run_geo(
        talvex_geo, write_parameters(folder, text, "seven.txt"), stack, folder / "out", check=False
    )
    assert_failed(done, 1, "Invalid Option", "7")
    assert outputs(folder) == [f"out{TOA_SUFFIX}.tif"]


def test_a_stop_signal_removes_the_runs_temporaries_and_a_later_run_those_of_killed_ones(
    tmp_path, talvex_geo
):
    lines = samples = 2500
    parameters = write_parameters(tmp_path, with_size(EXAMPLE_PARAMETERS, lines, samples))
    stack = write_raster(
        tmp_path / "stack.tif", dn_scene(lines, samples, zeros=False), options=["TILED=YES"]
    )
    args = [
        str(talvex_geo),
        "-of",
        "COG",
        "-co",
        "COMPRESS=DEFLATE",
        parameters,
        stack,
        tmp_path / "out",
    ]
    for stop, kind in ((signal.SIGTERM, "caught"), (signal.SIGKILL, "killed")):
        run = subprocess.Popen(list(map(str, args)), stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 60
        while not leftovers(tmp_path) and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(0.3)  # well into the copy
        run.send_signal(stop)
        stderr = run.communicate(timeout=60)[1]
        assert run.returncode == -stop, stderr
        assert outputs(tmp_path) == []
        if kind == "caught":
            assert "interrupted by signal 15" in stderr
            assert leftovers(tmp_path) == []
        else:
            assert leftovers(tmp_path), "a killed run leaves its temporaries"
    # The next run into the folder removes what the killed one left.
    run_geo(talvex_geo, "-of", "ENVI", parameters, stack, tmp_path / "next")
    assert leftovers(tmp_path) == []
