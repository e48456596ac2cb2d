"""Sizes at and beyond the library's limits: arrays of more than 2^31 - 1
elements, lengths and frame counts near the ends of the integer range,
parameters whose designs would not fit, and memory layouts the engines must
not read in place.  Every oversized case is a zero-stride view or a plain
integer, so nothing here allocates more than a few kilobytes: the library
must refuse these sizes before it converts or allocates anything."""

import re

import numpy as np
import pytest

import qorva
from qorva import _native

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1
LIMIT = "exceeds the largest supported array of 2147483647 elements"

MEL = (8000.0, 64, 16, 64, "hann", True, "reflect", 8, 0.0, 4000.0, "slaney", "slaney")
ENGINES = {
    "stft": (lambda: qorva.StftEngine(64, 16, 64, "hann", True, "reflect"), "power"),
    "mel": (lambda: qorva.MelEngine(*MEL), "power"),
    "cqt": (lambda: qorva.CqtEngine(8000.0, 16, 1000.0, 6, 6), "power"),
    "chroma": (lambda: qorva.ChromaEngine(8000.0, 16, 6, 1, 6, 1000.0), None),
    "rms": (lambda: qorva.RmsEngine(64, 16, True, "reflect"), ""),
    "moments": (lambda: qorva.SpectralMomentsEngine(8000.0, 64, 16, 64, "hann", True, "reflect", ["centroid"]), ""),
    "flux": (lambda: qorva.SpectralFluxEngine(64, 16, 64, "hann", True, "reflect"), ""),
    "onset": (lambda: qorva.OnsetStrengthEngine(*MEL), ""),
    "tempogram": (lambda: qorva.TempogramEngine(*MEL, 8), ""),
}


def forward(engine, output, y):
    return engine.forward(y) if output is None else engine.forward(y, output)


def backward(engine, output, g, y):
    return engine.backward(g, y) if output is None else engine.backward(g, y, output)


def huge(shape, dtype=np.float32):
    """A read-only zero-stride view of the given shape: no memory behind it."""
    return np.broadcast_to(np.zeros((), dtype=dtype), shape)


# --- arrays beyond 2^31 - 1 elements ----------------------------------------

@pytest.mark.parametrize("name", ENGINES)
@pytest.mark.parametrize("shape", [(2**16, 2**16), (1, 2**31 + 5), (0, 2**40), (3, 2**59)],
                         ids=["square", "one-row", "empty-batch", "int64-row"])
def test_oversized_signals_are_refused_before_conversion(name, shape):
    make, output = ENGINES[name]
    engine = make()
    y = huge(shape)
    message = "^" + re.escape(f"input of shape ({shape[0]}, {shape[1]}) {LIMIT}")
    with pytest.raises(ValueError, match=message):
        forward(engine, output, y)
    with pytest.raises(ValueError, match=message):
        backward(engine, output, np.zeros((1, 1, 1), np.float32), y)
    with pytest.raises(ValueError, match=LIMIT):  # an oversized gradient of a small signal
        backward(engine, output, huge((1, 2**16, 2**16)), np.zeros((1, 64), np.float32))
    # The engine is untouched.
    x = np.sin(np.arange(400.0))[None].astype(np.float32)
    np.testing.assert_array_equal(forward(engine, output, x), forward(make(), output, x))


def test_oversized_inputs_of_the_fft_functions_and_windows_are_refused():
    with pytest.raises(ValueError, match=f"input of shape \\(2147483653,\\) {LIMIT}"):
        _native._rfft(huge((2**31 + 5,)))
    with pytest.raises(ValueError, match=LIMIT):
        _native._cfft(huge((2**16, 2**16), np.complex64))
    with pytest.raises(ValueError, match=LIMIT):
        _native._irfft(huge((2**31,)), huge((2**31,)))
    with pytest.raises(ValueError, match=f"window of shape \\(8589934592,\\) {LIMIT}"):
        qorva.StftEngine(16, 4, 16, huge((2**33,), np.float64), True, "reflect")
    with pytest.raises(ValueError, match=LIMIT):
        qorva.IstftEngine(16, 4, 16, huge((2**16, 2**16), np.float64), True)


def test_istft_lengths_and_frame_counts_beyond_the_largest_array():
    # These used to reach the allocator (or, for n_frames, overflow the
    # product K * F of the output's strides).
    engine = qorva.IstftEngine(16, 4, 16, "hann", True)
    Z = np.ones((1, 9, 3), np.complex64)
    g = np.ones((1, 10), np.float32)
    with pytest.raises(ValueError, match=f"^output of shape \\(1, 1099511627776\\) {LIMIT}$"):
        engine.forward(Z, 2**40)
    with pytest.raises(ValueError, match=f"output of shape \\(1, 9223372036854775807\\) {LIMIT}"):
        engine.forward(Z, INT64_MAX)
    with pytest.raises(ValueError, match=f"^output of shape \\(1, 9, 2147483648\\) {LIMIT}$"):
        engine.backward(g, 2**31)
    with pytest.raises(ValueError, match=f"output of shape \\(1, 9, 4611686018427387904\\) {LIMIT}"):
        engine.backward(g, 2**62)
    with pytest.raises(ValueError, match=r"\(an empty axis counts as one\)"):
        engine.backward(np.ones((0, 10), np.float32), INT64_MAX)
    with pytest.raises(TypeError):  # beyond int64: refused by the argument conversion
        engine.backward(g, 2**63)
    # Still usable, and the same as a fresh engine.
    fresh = qorva.IstftEngine(16, 4, 16, "hann", True)
    np.testing.assert_array_equal(engine.forward(Z, -1), fresh.forward(Z, -1))
    np.testing.assert_array_equal(engine.backward(g, 3), fresh.backward(g, 3))


# --- frame counts over the whole int64 range ---------------------------------

@pytest.mark.parametrize("name", ENGINES)
def test_n_frames_refuses_negative_lengths(name):
    # STFT, mel and CQT (and so chroma) used to return a negative count.
    engine = ENGINES[name][0]()
    for n in (-1, -2000, -(2**63)):
        with pytest.raises(ValueError, match=f"^signal length must be non-negative, got {n}$"):
            engine.n_frames(n)


@pytest.mark.parametrize("hop", [1, 3, 512, INT32_MAX])
@pytest.mark.parametrize("center", [True, False])
def test_frame_counts_of_the_longest_signals(hop, center):
    engines = [
        qorva.StftEngine(64, hop, 64, "hann", center, "reflect"),
        qorva.MelEngine(8000.0, 64, hop, 64, "hann", center, "reflect", 8, 0.0, 4000.0, "slaney", "slaney"),
        qorva.RmsEngine(64, hop, center, "reflect"),
        qorva.SpectralMomentsEngine(8000.0, 64, hop, 64, "hann", center, "reflect", ["centroid"]),
        qorva.SpectralFluxEngine(64, hop, 64, "hann", center, "reflect"),
        qorva.OnsetStrengthEngine(8000.0, 64, hop, 64, "hann", center, "reflect", 8, 0.0, 4000.0, "slaney",
                                  "slaney"),
        qorva.TempogramEngine(8000.0, 64, hop, 64, "hann", center, "reflect", 8, 0.0, 4000.0, "slaney",
                              "slaney", 4),
    ]
    for n in (INT32_MAX, 2**31, 2**62, INT64_MAX - 1, INT64_MAX):
        want = (n if center else n - 64) // hop + 1
        for engine in engines:
            if want > INT64_MAX:
                # Only (2^63 - 1) // 1 + 1 does not fit; it used to wrap.
                with pytest.raises(OverflowError, match="does not fit a 64-bit integer"):
                    engine.n_frames(n)
            else:
                assert engine.n_frames(n) == want


@pytest.mark.parametrize("hop", [1, 2, 16, 512, 3 * 2**20])
def test_cqt_frame_counts_of_the_longest_signals(hop):
    # The halving of the signal length per octave used to overflow at the
    # largest lengths ((L + 1) / 2), giving negative counts.
    cqt = qorva.CqtEngine(22050.0, hop, 1000.0, 36, 12)
    chroma = qorva.ChromaEngine(22050.0, hop, 12, 3, 12, 1000.0)
    for engine in (cqt, chroma):
        for n in (INT32_MAX, 2**62, INT64_MAX - 1, INT64_MAX):
            if hop == 1 and n == INT64_MAX:
                with pytest.raises(OverflowError, match="does not fit a 64-bit integer"):
                    engine.n_frames(n)
            elif hop == 1:
                assert engine.n_frames(n) == n + 1
            else:
                assert n // hop + 1 <= engine.n_frames(n) <= -(-n // hop) + 1
    # Short signals: the count is the forward's.
    for n in (0, 1, 70):
        assert cqt.forward(np.zeros((1, n), np.float32), "power").shape == (1, 36, cqt.n_frames(n))


# --- parameters whose designs would not fit ----------------------------------

@pytest.mark.parametrize(
    "args, message",
    [
        # The filter length doubling used to overflow a 32-bit length and loop forever.
        ((22050.0, 512, 1e-6, 12, 12), "the CQT filter at 1e-06 Hz needs 7.46409e+08 samples, more than the "
                                        "longest supported (16777216); raise fmin or lower bins_per_octave"),
        # A rate near the largest double: the octaves above the cutoff used
        # to overflow the float-to-int conversion.
        ((1.7e308, 512, 5e-324, 1, 12), "the CQT filter at 4.94066e-324 Hz needs inf samples"),
        # Non-finite rates and fmin used to hang or slip NaNs past the Nyquist check.
        ((float("inf"), 512, 32.7, 12, 12), "sr must be finite"),
        ((float("nan"), 512, 32.7, 12, 12), "sr must be finite"),
        ((22050.0, 512, float("inf"), 12, 12), "fmin must be finite"),
        # Absurd bin counts used to allocate the per-bin design first.
        ((22050.0, 512, 1.0, INT32_MAX, 2**30), "a CQT of 2147483647 bins is more than the 65536 supported"),
        ((22050.0, 512, 32.7, INT32_MAX, INT32_MAX), "a CQT of 2147483647 bins is more than the 65536 supported"),
        ((22050.0, 512, 32.7, 65537, 12), "a CQT of 65537 bins is more than the 65536 supported"),
        # Bins per octave so many that one octave's dense design is out of reach.
        ((22050.0, 512, 5000.0, 40000, 2**20), "the CQT octave from"),
    ],
)
def test_cqt_designs_beyond_the_limits(args, message):
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        qorva.CqtEngine(*args)


def test_chroma_inherits_the_cqt_limits():
    with pytest.raises(ValueError, match="fmin must be finite"):
        qorva.ChromaEngine(22050.0, 512, 12, 7, 12, float("inf"))
    with pytest.raises(ValueError, match="a CQT of 1200000 bins is more than the 65536 supported"):
        qorva.ChromaEngine(22050.0, 512, 12, 100000, 12, 1.0)


def test_mel_band_counts_beyond_twice_the_bins_are_refused_early():
    # Each FFT bin lies inside at most two bands, so n_mels > 2 (n_fft//2 + 1)
    # leaves a band empty; such counts used to allocate every band edge first.
    message = ("n_mels=2147483647 is more than twice the 257 FFT bins, so some mel band covers no FFT bins; "
               "raise n_fft or lower n_mels")
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        qorva.MelEngine(22050.0, 512, 128, 512, "hann", True, "reflect", INT32_MAX, 0.0, 8000.0, "slaney",
                        "slaney")
    with pytest.raises(ValueError, match="^" + re.escape(message.replace("2147483647", "100000")) + "$"):
        qorva.mel_filterbank(22050.0, 512, 100000, 0.0, 8000.0, "slaney", "slaney")
    # The dense filterbank's size is checked before any band is built.
    for n_fft, n_mels in ((INT32_MAX, 3), (512, INT32_MAX)):
        with pytest.raises(ValueError, match=re.escape(f"filterbank of shape ({n_mels}, {n_fft // 2 + 1}) {LIMIT}")):
            qorva.mel_filterbank(22050.0, n_fft, n_mels, 0.0, 8000.0, "slaney", "slaney")
    # Just inside the bound the usual band check speaks.
    with pytest.raises(ValueError, match="covers no FFT bins"):
        qorva.mel_filterbank(22050.0, 512, 514, 0.0, 8000.0, "slaney", "slaney")


def test_mel_weights_that_round_to_zero_cover_nothing():
    # At a rate of 1e-300 Hz the one band's only weight is about 8e-306: a
    # bin in double, zero in float32.  It used to pass the coverage check and
    # give an all-zero filter.
    with pytest.raises(ValueError, match="^mel band 0 covers no FFT bins; raise n_fft or lower n_mels$"):
        qorva.mel_filterbank(1e-300, 2, 1, 0.0, 500.0, "slaney", "slaney")
    with pytest.raises(ValueError, match="^mel band 0 covers no FFT bins"):
        qorva.MelEngine(1e-300, 2, 1, 2, "hann", True, "reflect", 1, 0.0, 500.0, "slaney", "slaney")


# --- layouts the engines must not read in place ------------------------------

def misaligned_copy(a):
    """a's values in memory that starts one byte past an element boundary."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    view[...] = a
    assert not view.flags.aligned
    return view


@pytest.mark.parametrize("name", ENGINES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_misaligned_signals_give_the_aligned_results(name, dtype):
    # Misaligned buffers used to be read in place (undefined behaviour, which
    # the sanitizer build reports).
    make, output = ENGINES[name]
    engine = make()
    y = np.random.default_rng(3).standard_normal((2, 300)).astype(dtype)
    out = forward(engine, output, y)
    np.testing.assert_array_equal(forward(engine, output, misaligned_copy(y)), out)
    g = np.random.default_rng(4).standard_normal(out.shape).astype(dtype)
    want = backward(engine, output, g, y)
    np.testing.assert_array_equal(backward(engine, output, misaligned_copy(g), misaligned_copy(y)), want)


def test_misaligned_fft_input():
    x = np.random.default_rng(5).standard_normal(50)
    for got, want in zip(_native._rfft(misaligned_copy(x)), _native._rfft(x)):
        np.testing.assert_array_equal(got, want)
    z = x.astype(np.complex64)
    np.testing.assert_array_equal(_native._cfft(misaligned_copy(z)), _native._cfft(z))


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_spectra_with_strides_that_split_elements(dtype):
    # A complex view whose strides are not whole elements used to be read with
    # the strides rounded down to elements: wrong values, no error.
    rng = np.random.default_rng(6)
    base = (rng.standard_normal((2, 9, 8)) + 1j * rng.standard_normal((2, 9, 8))).astype(dtype)
    item = base.itemsize
    odd = np.lib.stride_tricks.as_strided(base, shape=(2, 9, 4), strides=(base.strides[0], base.strides[1],
                                                                          item + item // 2))
    istft = qorva.IstftEngine(16, 4, 16, "hann", True)
    np.testing.assert_array_equal(istft.forward(odd, -1), istft.forward(np.ascontiguousarray(odd), -1))
    stft = qorva.StftEngine(16, 4, 16, "hann", True, "reflect")
    y = rng.standard_normal((2, 12)).astype(np.float32 if dtype == np.complex64 else np.float64)
    np.testing.assert_array_equal(stft.backward(odd, y, "complex"),
                                  stft.backward(np.ascontiguousarray(odd), y, "complex"))
    misaligned = misaligned_copy(base)
    np.testing.assert_array_equal(istft.forward(misaligned, -1), istft.forward(base, -1))
