"""toa_reflectance and surface_reflectance against TALVEX-V1, bit for bit,
on every DN and on arrays of many shapes and strides; and their errors."""

import threading
import time
import warnings

import numpy as np
import pytest

import talvex
from conftest import (
    EXAMPLE_PARAMETERS,
    HAZY_PARAMETERS,
    TOA_ONLY_PARAMETERS,
    assert_same_bits,
    every_dn_scene,
    run_talvex_v1,
    write_parameters,
)


@pytest.fixture(scope="module", params=["example", "hazy"])
def golden(request, talvex_v1, tmp_path_factory):
    """A scene of every DN in every band, its parameters, and TALVEX-V1's outputs."""
    text = {"example": EXAMPLE_PARAMETERS, "hazy": HAZY_PARAMETERS}[request.param]
    folder = tmp_path_factory.mktemp(request.param)
    dn = every_dn_scene()
    toa, surface = run_talvex_v1(talvex_v1, folder, dn, text)
    params = talvex.read_parameters(write_parameters(folder, text))
    return dn, params, toa, surface


def test_every_dn_of_every_band_matches_talvex_v1(golden):
    dn, params, toa, surface = golden
    assert_same_bits(talvex.toa_reflectance(dn, params), toa)
    assert_same_bits(talvex.surface_reflectance(dn, params), surface)
    # DN 0 is no data in both outputs.
    assert np.all(talvex.surface_reflectance(np.zeros((4, 3), np.uint16), params) == 0.0)


# Views of the (4, 256, 256) scene: reshaped, sliced, reversed, transposed,
# Fortran-ordered, a single pixel per band.
VIEWS = {
    "flat": lambda a: a.reshape(4, -1),
    "four axes": lambda a: a.reshape(4, 16, 16, 256),
    "every third sample": lambda a: a[:, 5:200, ::3],
    "reversed lines": lambda a: a[:, ::-1, :],
    "transposed": lambda a: a.transpose(0, 2, 1),
    "bands reversed then back": lambda a: a[::-1][::-1],
    "fortran": lambda a: np.asfortranarray(a),
    "one pixel": lambda a: a[:, 17, 33],
    "one line": lambda a: a[:, 9:10, :],
    "empty": lambda a: a[:, :0, :],
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
def test_views_of_any_strides_match_talvex_v1(golden, view):
    dn, params, toa, surface = golden
    assert_same_bits(talvex.toa_reflectance(view(dn), params), view(toa))
    assert_same_bits(talvex.surface_reflectance(view(dn), params), view(surface))


def test_out_receives_the_values_and_is_returned(golden):
    dn, params, _, surface = golden
    # A strided window of a larger array: only the window is written.
    canvas = np.full((4, 300, 600), -1.0, np.float32)
    window = canvas[:, 10:266, 20:532:2]
    result = talvex.surface_reflectance(dn, params, out=window)
    assert result is window
    assert_same_bits(window, surface)
    untouched = np.ones(canvas.shape, bool)
    untouched[:, 10:266, 20:532:2] = False
    assert np.all(canvas[untouched] == -1.0)


def test_long_runs_into_an_existing_out_at_any_offset(golden):
    """Bands long enough to be written past the caches, starting off the
    16-byte boundary and ending in a partial group of four."""
    dn, params, _, surface = golden
    long_dn = np.tile(dn, (1, 3, 3)).reshape(4, -1)
    expected = np.tile(surface, (1, 3, 3)).reshape(4, -1)
    canvas = np.zeros((4, long_dn.shape[1] + 2), np.float32)
    for offset in (0, 1, 2):
        out = canvas[:, offset : offset + long_dn.shape[1] - 1]
        talvex.surface_reflectance(long_dn[:, :-1], params, out=out)
        assert_same_bits(out, expected[:, :-1])


def test_out_sharing_memory_with_dn_still_gives_the_values(golden):
    dn, params, toa, _ = golden
    # The DNs stored in the low halves of the very floats being written.
    buffer = np.zeros((4, 256, 256), np.float32)
    dn_view = buffer.view(np.uint16)[:, :, ::2]
    dn_view[...] = dn
    talvex.toa_reflectance(dn_view, params, out=buffer)
    assert_same_bits(buffer, toa)


def test_big_endian_and_unaligned_dn_are_converted(golden):
    dn, params, toa, _ = golden
    assert_same_bits(talvex.toa_reflectance(dn.astype(">u2"), params), toa)
    raw = np.zeros(dn.nbytes + 1, np.uint8)
    unaligned = np.ndarray(dn.shape, np.uint16, buffer=raw, offset=1)
    unaligned[...] = dn
    assert not unaligned.flags.aligned
    assert_same_bits(talvex.toa_reflectance(unaligned, params), toa)


def test_threads_convert_side_by_side(golden):
    dn, params, _, surface = golden
    outputs = [np.empty(dn.shape, np.float32) for _ in range(4)]
    threads = [
        threading.Thread(target=talvex.surface_reflectance, args=(dn, params), kwargs={"out": out})
        for out in outputs
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for out in outputs:
        assert_same_bits(out, surface)


def test_toa_only_parameters(talvex_v1, tmp_path):
    dn = every_dn_scene(seed=3)[:, :40, :50]
    toa, surface = run_talvex_v1(talvex_v1, tmp_path, dn, TOA_ONLY_PARAMETERS)
    assert surface is None
    params = talvex.read_parameters(write_parameters(tmp_path, TOA_ONLY_PARAMETERS))
    assert params.correction_option == 0 and params.aerosol_optical_depth is None
    assert_same_bits(talvex.toa_reflectance(dn, params), toa)
    with pytest.raises(ValueError, match="needs correction_option 1.*correction_option 0"):
        talvex.surface_reflectance(dn, params)
    with pytest.raises(ValueError, match="correction_option 0"):
        talvex.band_terms(params)


def test_band_terms_are_the_terms_the_surface_reflectance_uses(golden):
    """Inverting a TOA reflectance with the reported terms gives the value
    the package computes: the terms are the ones in use, not a copy."""
    dn, params, toa, surface = golden
    terms = talvex.band_terms(params)
    assert sorted(terms) == [2, 3, 4, 5]
    for i, band in enumerate(talvex.BANDS):
        t = terms[band]
        assert isinstance(t.path_reflectance, np.float32)
        for k in (1, 1000, 4095, 30000):
            rho = float(toa[i].flat[np.flatnonzero(dn[i] == k)[0]])
            n = rho - float(t.path_reflectance) * float(t.gas_transmittance)
            d = (float(t.down_transmission) * float(t.up_transmission)) * float(
                t.gas_transmittance
            ) + n * float(t.spherical_albedo)
            expected = surface[i].flat[np.flatnonzero(dn[i] == k)[0]]
            assert np.float32(n / d) == expected


# ---- errors ---------------------------------------------------------------


@pytest.fixture(scope="module")
def params(tmp_path_factory):
    folder = tmp_path_factory.mktemp("parameters")
    return talvex.read_parameters(write_parameters(folder, EXAMPLE_PARAMETERS))


@pytest.mark.parametrize(
    "dn, error, words",
    [
        (np.zeros((4, 5), np.int32), TypeError, "uint16.*int32"),
        (np.zeros((4, 5), np.float32), TypeError, "uint16.*float32"),
        ([[1, 2], [3, 4], [5, 6], [7, 8]], TypeError, "uint16.*int64"),
        (
            np.zeros((3, 5), np.uint16),
            ValueError,
            r"4 bands 2, 3, 4, 5 on its first axis, found 3 \(shape \(3, 5\)\)",
        ),
        (np.zeros((5, 4), np.uint16), ValueError, "found 5"),
        (np.uint16(7), ValueError, "found a scalar"),
    ],
)
def test_wrong_dn_names_what_was_found(params, dn, error, words):
    with pytest.raises(error, match=words):
        talvex.toa_reflectance(dn, params)


@pytest.mark.parametrize(
    "out, error, words",
    [
        (np.zeros((4, 5), np.float64), TypeError, "float32.*float64"),
        (np.zeros((4, 6), np.float32), ValueError, r"shape of dn, \(4, 5\), found \(4, 6\)"),
        ([0.0] * 20, TypeError, "numpy array.*list"),
        (np.zeros((4, 5), ">f4"), TypeError, "float32"),
    ],
)
def test_wrong_out_names_what_was_found(params, out, error, words):
    with pytest.raises(error, match=words):
        talvex.surface_reflectance(np.ones((4, 5), np.uint16), params, out=out)


def test_read_only_out_and_wrong_params_are_refused(params):
    out = np.zeros((4, 5), np.float32)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        talvex.toa_reflectance(np.ones((4, 5), np.uint16), params, out=out)
    with pytest.raises(TypeError, match="talvex.Parameters, found dict"):
        talvex.toa_reflectance(np.ones((4, 5), np.uint16), {"solar_zenith_deg": 30})


def test_arrays_numpy_calls_aligned_are_taken(golden):
    dn, params, toa, _ = golden
    row = np.ascontiguousarray(dn[:, :1, :])  # one line of every band
    # A length-1 axis of odd byte stride: numpy ignores its stride.
    odd = np.lib.stride_tricks.as_strided(row, shape=row.shape, strides=(row.strides[0], 3, 2))
    assert odd.flags.aligned
    out_memory = np.empty(row.shape, np.float32)
    out = np.lib.stride_tricks.as_strided(
        out_memory, shape=row.shape, strides=(out_memory.strides[0], 5, 4), writeable=True
    )
    assert out.flags.aligned
    talvex.toa_reflectance(odd, params, out=out)
    assert_same_bits(out_memory, toa[:, :1, :])


def test_the_look_up_lets_other_threads_run(params):
    """The main thread keeps running while a long conversion runs in another."""
    pixels = 10_000
    # A long conversion in little memory: every pixel reads the same DN and
    # writes the same value (steps of 0 bytes).
    dn_memory = np.full(4, 1000, np.uint16)
    dn = np.lib.stride_tricks.as_strided(dn_memory, (4, pixels, pixels), (2, 0, 0))
    out_memory = np.empty(4, np.float32)
    out = np.lib.stride_tricks.as_strided(
        out_memory, (4, pixels, pixels), (4, 0, 0), writeable=True
    )
    started = threading.Event()
    timing = {}

    def convert():
        started.set()
        begin = time.perf_counter()
        talvex.toa_reflectance(dn, params, out=out)
        timing["seconds"] = time.perf_counter() - begin

    worker = threading.Thread(target=convert)
    worker.start()
    started.wait()
    longest_pause = 0.0
    last = time.perf_counter()
    while worker.is_alive():
        now = time.perf_counter()
        longest_pause = max(longest_pause, now - last)
        last = now
    worker.join()
    assert out_memory[0] == talvex.toa_reflectance(np.full((4, 1), 1000, np.uint16), params)[0, 0]
    assert timing["seconds"] > 0.2, "the conversion is too short to tell"
    assert longest_pause < timing["seconds"] / 3


def test_dns_above_full_scale_warn_with_their_count(params):
    dn = np.full((4, 3, 5), 1000, np.uint16)
    dn[1, 0, :3] = 4096
    dn[3, 2, 4] = 65535
    with pytest.warns(UserWarning) as caught:
        talvex.toa_reflectance(dn[:, :, ::-1], params)  # strided
    messages = [str(w.message) for w in caught]
    assert len(messages) == 2
    assert "3 pixels of band 3" in messages[0] and "1 pixel" in messages[1]
    assert "band 5" in messages[1]
    assert all(w.filename == __file__ for w in caught)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        talvex.surface_reflectance(np.full((4, 9), 4095, np.uint16), params)


def test_counts_above_full_scale_of_bands_converted_on_several_threads(params):
    """A scene large enough to share its bands among threads counts each
    band's DNs above full scale, whichever thread converted it."""
    dn = np.full((4, 600, 1000), 1000, np.uint16)
    dn[0, 0, :4] = 4096
    dn[1, -1, -1] = 65535
    dn[3, 300, 10:12] = 5000
    with pytest.warns(UserWarning) as caught:
        talvex.toa_reflectance(dn, params)
    messages = [str(w.message) for w in caught]
    assert len(messages) == 3
    assert "4 pixels of band 2" in messages[0]
    assert "1 pixel of band 3" in messages[1]
    assert "2 pixels of band 5" in messages[2]
