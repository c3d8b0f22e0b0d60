"""talvex.Parameters and talvex.read_parameters: values stored as TALVEX-V1
stores them, its messages for bad files and impossible values."""

import dataclasses
import pickle
import re
import subprocess

import numpy as np
import pytest

import talvex
from conftest import EXAMPLE_PARAMETERS, run_talvex_v1, write_parameters

EXAMPLE_KEYWORDS = dict(
    lmin=[0.0, 0.0, 0.0, 0.0],
    lmax=[52.5, 40.8, 33.6, 7.2],
    day_of_year=45,
    solar_zenith_deg=38.6,
    solar_azimuth_deg=142,
    view_zenith_deg=12.5,
    view_azimuth_deg=101,
    correction_option=1,
    elevation_metres=55,
    aerosol_optical_depth=0.25,
    water_vapour_column=2.9,
    ozone_column=0.27,
)


def talvex_v1_message(talvex_v1, tmp_path, parameter_text):
    """The last line TALVEX-V1 prints for a stream made of a parameter file."""
    stream = f"{tmp_path / 'missing.dn'}\n{tmp_path / 'out'}\n{parameter_text}"
    done = subprocess.run([str(talvex_v1)], input=stream.encode(), capture_output=True)
    assert done.returncode == 2
    return done.stdout.decode().rstrip("\n").split("\n")[-1]


def test_keywords_and_file_give_the_same_parameters(tmp_path):
    from_file = talvex.read_parameters(write_parameters(tmp_path, EXAMPLE_PARAMETERS))
    from_keywords = talvex.Parameters(line_count=320, sample_count=320, **EXAMPLE_KEYWORDS)
    assert from_file == from_keywords
    # Numbers are the nearest 32-bit floats, as reading "%f" stores them.
    assert from_keywords.solar_zenith_deg == np.float32(38.6)
    assert float(from_keywords.solar_zenith_deg) != 38.6
    assert from_keywords.lmax[3] == np.float32(7.2)
    assert isinstance(from_keywords.day_of_year, int)


def test_parameters_give_the_same_bits_as_talvex_v1_for_a_value_between_floats(
    talvex_v1, tmp_path
):
    # 0.1 + 2**-30 lies between two 32-bit floats; Python keeps it exactly,
    # TALVEX-V1 reads the printed decimal. Both must land on the same float.
    aod = 0.1 + 2**-30
    text = EXAMPLE_PARAMETERS.replace("0.25           aerosol", f"{aod!r} aerosol")
    dn = np.arange(1, 4 * 9 * 7 + 1, dtype=np.uint16).reshape(4, 9, 7) * 150
    _, surface = run_talvex_v1(talvex_v1, tmp_path, dn, text)
    params = talvex.Parameters(**{**EXAMPLE_KEYWORDS, "aerosol_optical_depth": aod})
    assert np.array_equal(
        talvex.surface_reflectance(dn, params).view(np.uint32), surface.view(np.uint32)
    )


def test_a_bad_field_gets_talvex_v1s_message_with_file_lines(talvex_v1, tmp_path):
    lines = EXAMPLE_PARAMETERS.splitlines()
    lines[6] = "thirty-eight degrees"  # the solar zenith, line 7 of the file
    text = "\n".join(lines) + "\n"
    with pytest.raises(ValueError) as raised:
        talvex.read_parameters(write_parameters(tmp_path, text))
    stream_message = talvex_v1_message(talvex_v1, tmp_path, text)
    # TALVEX-V1 counts lines in the stream, whose line 3 is the file's line 1.
    assert stream_message.startswith("Error in the run parameters, line 9: ")
    assert str(raised.value) == stream_message.replace("line 9:", "line 7:")
    assert str(tmp_path / "parameters.txt") in "\n".join(raised.value.__notes__)


@pytest.mark.parametrize(
    "text_edit",
    [
        lambda lines: lines[:9],  # ends after the view zenith
        lambda lines: lines[:12],  # option 1 and the stream ends in the atmosphere
        lambda lines: [lines[0], "0.0, 52.5"] + lines[2:],  # a comma between lmin and lmax
        lambda lines: ["99999999999 10"] + lines[1:],  # lines beyond 32 bits
        lambda lines: lines[:14] + ["-0.1"],  # negative ozone
        lambda lines: lines[:6] + ["95"] + lines[7:],  # sun below the horizon
    ],
    ids=["early end", "end in atmosphere", "comma", "integer range", "negative ozone", "sun"],
)
def test_reading_and_range_failures_match_talvex_v1(talvex_v1, tmp_path, text_edit):
    text = "\n".join(text_edit(EXAMPLE_PARAMETERS.splitlines())) + "\n"
    with pytest.raises(ValueError) as raised:
        talvex.read_parameters(write_parameters(tmp_path, text))
    expected = talvex_v1_message(talvex_v1, tmp_path, text)
    # TALVEX-V1 counts lines in the stream, whose line 3 is the file's line 1.
    expected = re.sub(r"\bline (\d+)\b", lambda m: f"line {int(m[1]) - 2}", expected)
    assert str(raised.value) == expected


def test_keyword_range_checks_are_talvex_v1s(talvex_v1, tmp_path):
    text = EXAMPLE_PARAMETERS.replace("12.5           view zenith", "91 view zenith")
    with pytest.raises(ValueError) as raised:
        talvex.Parameters(**{**EXAMPLE_KEYWORDS, "view_zenith_deg": 91})
    assert str(raised.value) == talvex_v1_message(talvex_v1, tmp_path, text)
    # Without correction the sensor's angle is not used, so it is not checked.
    toa_only = {**EXAMPLE_KEYWORDS, "correction_option": 0, "view_zenith_deg": 91}
    assert talvex.Parameters(**toa_only).view_zenith_deg == 91


def test_options_other_than_one_read_no_atmosphere(tmp_path):
    text = "\n".join(EXAMPLE_PARAMETERS.splitlines()[:10] + ["2 an invalid option", "junk"])
    params = talvex.read_parameters(write_parameters(tmp_path, text))
    assert params.correction_option == 2
    assert params.elevation_metres is None and params.ozone_column is None


def test_files_that_cannot_be_opened_raise_oserror(tmp_path):
    with pytest.raises(FileNotFoundError):
        talvex.read_parameters(tmp_path / "no such file.txt")
    with pytest.raises(IsADirectoryError):
        talvex.read_parameters(tmp_path)


@pytest.mark.parametrize(
    "change, error, words",
    [
        ({"day_of_year": 45.9}, TypeError, "day_of_year must be an integer, found float"),
        ({"correction_option": 2**31}, ValueError, "out of the range of a 32-bit integer"),
        ({"solar_azimuth_deg": "142"}, TypeError, "solar_azimuth_deg must be a number"),
        ({"ozone_column": float("nan")}, ValueError, "ozone_column must be a finite number"),
        ({"elevation_metres": 1e39}, ValueError, "too large for a 32-bit float"),
        ({"lmax": [52.5, 40.8, 33.6]}, ValueError, "lmax must hold 4 values.*found 3"),
        ({"lmin": 0.0}, TypeError, "lmin must be a sequence of 4 numbers"),
        ({"aerosol_optical_depth": None}, ValueError, "needs aerosol_optical_depth"),
    ],
)
def test_wrong_keywords_name_the_field(change, error, words):
    with pytest.raises(error, match=words):
        talvex.Parameters(**{**EXAMPLE_KEYWORDS, **change})


def test_parameters_are_frozen_and_survive_pickling():
    params = talvex.Parameters(**EXAMPLE_KEYWORDS)
    dn = np.arange(4 * 6, dtype=np.uint16).reshape(4, 6) * 1000
    expected = talvex.surface_reflectance(dn, params)
    with pytest.raises(dataclasses.FrozenInstanceError):
        params.solar_zenith_deg = 10.0
    copy = pickle.loads(pickle.dumps(params))
    assert copy == params and hash(copy) == hash(params)
    assert len(pickle.dumps(params)) < 4096  # the cached tables stay behind
    assert np.array_equal(talvex.surface_reflectance(dn, copy), expected)
    # A changed copy gets its own tables.
    hazier = dataclasses.replace(params, aerosol_optical_depth=0.8)
    assert not np.array_equal(talvex.surface_reflectance(dn, hazier), expected)
