"""talvex.Parameters and talvex.read_parameters: values stored as TALVEX-V1
stores them, its messages for bad files and impossible values."""

import dataclasses
import decimal
import io
import os
import pickle
import re
import subprocess
import warnings

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


def test_parameters_give_the_same_bits_as_talvex_v1_for_a_value_between_floats(talvex_v1, tmp_path):
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


def test_keyword_range_checks_are_talvex_v1s_in_python_names(talvex_v1, tmp_path):
    text = EXAMPLE_PARAMETERS.replace("12.5           view zenith", "91 view zenith")
    with pytest.raises(talvex.ParameterError) as raised:
        talvex.Parameters(**{**EXAMPLE_KEYWORDS, "view_zenith_deg": 91})
    stream_message = talvex_v1_message(talvex_v1, tmp_path, text)
    assert stream_message == "Error in the run parameters: " + str(raised.value).replace(
        "view_zenith_deg", "viewZenithDeg"
    )
    assert raised.value.field == "view_zenith_deg" and raised.value.line is None
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
        ({"solar_azimuth_deg": b"142"}, TypeError, "solar_azimuth_deg must be a number"),
        ({"solar_azimuth_deg": "142 degrees"}, ValueError, "solar_azimuth_deg must be a 32-bit"),
        ({"solar_azimuth_deg": "1e39"}, ValueError, "solar_azimuth_deg = 1e39 is out of the range"),
        ({"day_of_year": "45.5"}, ValueError, "day_of_year must be a 32-bit integer"),
        ({"lmin": {2, 3, 4, 5}}, TypeError, "lmin must be a sequence of 4 numbers"),
        ({"lmin": {1: 0, 2: 0, 3: 0, 4: 0}}, ValueError, "keyed by the band numbers 2, 3, 4, 5"),
        ({"lmin": {2: 0, 3: 0, 4: 0}}, ValueError, "keyed by the band numbers"),
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


def test_errors_carry_the_python_field_and_the_file_line(tmp_path):
    with pytest.raises(talvex.ParameterError) as raised:
        talvex.Parameters(**{**EXAMPLE_KEYWORDS, "lmax": [1, 2, "x", 4]})
    assert raised.value.field == "lmax" and isinstance(raised.value, ValueError)
    lines = EXAMPLE_PARAMETERS.splitlines()
    lines[9] = "ninety"  # the view azimuth, line 10 of the file
    with pytest.raises(talvex.ParameterError) as raised:
        talvex.read_parameters(write_parameters(tmp_path, "\n".join(lines) + "\n"))
    assert (raised.value.field, raised.value.line) == ("view_azimuth_deg", 10)
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (str(copy), copy.field, copy.line) == (str(raised.value), "view_azimuth_deg", 10)


def test_band_values_by_band_number():
    by_band = {5: 7.2, 3: 40.8, 2: 52.5, 4: 33.6}
    zeros = {2: 0, 3: 0, 4: 0, 5: 0}
    params = talvex.Parameters(**{**EXAMPLE_KEYWORDS, "lmax": by_band, "lmin": zeros})
    assert params == talvex.Parameters(**EXAMPLE_KEYWORDS)
    # A pandas Series goes by its labels when they are band numbers, by
    # position when they are only positions, and is refused otherwise.
    pandas = pytest.importorskip("pandas")
    for lmax in (pandas.Series(by_band), pandas.Series([52.5, 40.8, 33.6, 7.2])):
        assert talvex.Parameters(**{**EXAMPLE_KEYWORDS, "lmax": lmax}) == params
    with pytest.raises(talvex.ParameterError, match="keyed by the band numbers") as raised:
        talvex.Parameters(
            **{**EXAMPLE_KEYWORDS, "lmax": pandas.Series(by_band).set_axis([1, 2, 3, 4])}
        )
    assert raised.value.field == "lmax"


# Decimals just above the midpoint of two neighbouring 32-bit floats: the
# nearest float of the decimal is the upper one, but the nearest double is
# the midpoint itself, which then rounds (to even) to the lower one.
def above_midpoints():
    below = np.float32(0.3)
    above = np.nextafter(below, np.float32(1))
    midpoint = (decimal.Decimal(float(below)) + decimal.Decimal(float(above))) / 2
    yield str(midpoint + decimal.Decimal("1e-25"))
    below = np.float32(2.9)
    above = np.nextafter(below, np.float32(3))
    midpoint = (decimal.Decimal(float(below)) + decimal.Decimal(float(above))) / 2
    yield str(midpoint + decimal.Decimal("1e-24"))


@pytest.mark.parametrize("text", list(above_midpoints()))
def test_decimal_keywords_read_as_the_file_reads_them(tmp_path, text):
    in_file = EXAMPLE_PARAMETERS.replace("2.9", text, 1)
    assert in_file != EXAMPLE_PARAMETERS
    from_file = talvex.read_parameters(write_parameters(tmp_path, in_file))
    for value in (text, decimal.Decimal(text)):
        from_keyword = talvex.Parameters(
            line_count=320, sample_count=320, **{**EXAMPLE_KEYWORDS, "water_vapour_column": value}
        )
        assert from_keyword == from_file
    # Text as a line of a file gives it, around its line end and blanks.
    from_line = talvex.Parameters(
        line_count=320,
        sample_count=320,
        **{**EXAMPLE_KEYWORDS, "water_vapour_column": f"  {text}\r\n"},
    )
    assert from_line == from_file
    # The double route rounds twice and lands on the other float.
    assert np.float32(float(text)) != from_file.water_vapour_column


def test_text_longer_than_the_reader_takes_is_refused_with_its_limit(tmp_path):
    text = "55." + "0" * 300 + "1"
    in_file = EXAMPLE_PARAMETERS.replace("55 ", text + " ", 1)
    with pytest.raises(talvex.ParameterError, match=r"more than \d+ characters"):
        talvex.read_parameters(write_parameters(tmp_path, in_file))
    with pytest.raises(talvex.ParameterError) as raised:
        talvex.Parameters(**{**EXAMPLE_KEYWORDS, "elevation_metres": text})
    assert re.fullmatch(r"elevation_metres has more than \d+ characters\.", str(raised.value))


@pytest.mark.parametrize(
    "content, shown",
    [
        (b"320 320\n\xe9t\xe9 0.0 52.5\n", "\\xe9t\\xe9 0.0 52.5"),  # Latin-1 label
        (b"320 320\nx\x00y 0 1\n", "x\\x00y 0 1"),  # NUL byte
        (b"320 320\n" + "\u20ac".encode() * 30 + b"\n", "\u20ac" * 20 + "..."),  # cut by the quote
        (b"\x89PNG\r\n\x1a\n\x00\x00", "\\x89PNG"),  # binary
        # Characters that would not show: a byte-order mark hiding in front of
        # a good number, a C1 control, a right-to-left override.
        (b"\xef\xbb\xbf320 320\n", '"\\xef\\xbb\\xbf320 320"'),
        (b"320 320\n\xc2\x9b31m 0 1\n", '"\\xc2\\x9b31m 0 1"'),
        ("320 320\n\u202e0 1\n".encode(), '"\\xe2\\x80\\xae0 1"'),
    ],
    ids=["latin-1", "nul", "cut utf-8", "binary", "byte-order mark", "c1 control", "override"],
)
def test_messages_show_every_byte(tmp_path, content, shown):
    path = tmp_path / "parameters.txt"
    path.write_bytes(content)
    with pytest.raises(talvex.ParameterError) as raised:
        talvex.read_parameters(path)
    message = str(raised.value)
    assert message.startswith("Error in the run parameters, line ") and shown in message
    assert message.isprintable()


def test_a_file_descriptor_is_read_and_left_open(tmp_path):
    path = write_parameters(tmp_path, EXAMPLE_PARAMETERS)
    with open(path, "rb") as caller:
        params = talvex.read_parameters(caller.fileno())
        assert params.day_of_year == 45
        os.fstat(caller.fileno())  # still open
    bad = write_parameters(tmp_path, "320 320\nnot a number\n", name="bad.txt")
    with open(bad, "rb") as caller:
        with pytest.raises(talvex.ParameterError, match="line 2") as raised:
            talvex.read_parameters(caller.fileno())
        assert "file descriptor" in raised.value.__notes__[-1]
    with pytest.raises(TypeError, match="a path or a file descriptor"):
        talvex.read_parameters(io.BytesIO(b"320 320\n"))


def test_a_file_with_every_number_behind_its_blank_lines_is_read(tmp_path):
    # Twenty numbers, each on its own line behind 99 blank lines of 4000
    # spaces: a valid file longer than nineteen numbers' worth of such lines.
    numbers = [
        "320",
        "320",
        *sum((["0", v] for v in ("52.5", "40.8", "33.6", "7.2")), []),
        "45",
        "38.6",
        "142",
        "12.5",
        "101",
        "1",
        "55",
        "0.25",
        "2.9",
        "0.27",
    ]
    blanks = (" " * 4000 + "\n") * 99
    text = "".join(blanks + number + "\n" for number in numbers)
    assert len(text) > 19 * 101 * 4001
    params = talvex.read_parameters(write_parameters(tmp_path, text))
    assert params.ozone_column == np.float32(0.27)


def test_a_device_is_read_no_further_than_the_reader_needs():
    with pytest.raises(talvex.ParameterError, match=r"line 1: expected an integer.*\\x00"):
        talvex.read_parameters("/dev/zero")


@pytest.mark.parametrize(
    "change, words",
    [
        ({"ozone_column": 300}, "300 Dobson units"),
        ({"water_vapour_column": 25}, r"g/cm"),
    ],
    ids=["ozone in Dobson units", "water vapour in millimetres"],
)
def test_values_in_another_unit_warn_and_are_kept(tmp_path, change, words):
    with pytest.warns(UserWarning, match=words) as caught:
        params = talvex.Parameters(**{**EXAMPLE_KEYWORDS, **change})
    assert caught[0].filename == __file__  # points at the caller
    ((name, value),) = change.items()
    assert getattr(params, name) == value
    # The same from a file.
    text = (
        EXAMPLE_PARAMETERS.replace("0.27", "300")
        if "ozone" in name
        else (EXAMPLE_PARAMETERS.replace("2.9", "25", 1))
    )
    with pytest.warns(UserWarning, match=words):
        talvex.read_parameters(write_parameters(tmp_path, text))


def test_plausible_values_do_not_warn():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        talvex.Parameters(**EXAMPLE_KEYWORDS)


def test_the_dataclass_has_the_librarys_fields_in_its_order():
    table = [field["python_name"] for field in talvex.PARAMETER_FIELDS]
    assert [field.name for field in dataclasses.fields(talvex.Parameters)] == table
    assert (
        "ozone_column" in table
        and talvex.PARAMETER_FIELDS[table.index("ozone_column")]["unit"] == "atm-cm"
    )
