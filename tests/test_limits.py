"""Sizes at and beyond the library's limits.  Every oversized input is a zero-stride view or a plain integer,
so nothing here allocates more than a few kilobytes: such sizes must be refused before anything is
converted or allocated."""

import re

import numpy as np
import pytest
from conftest import ENGINES, SIGNAL_FAMILIES, backward, forward

import qorva
from qorva import _native

INT32_MAX, INT64_MAX = 2**31 - 1, 2**63 - 1
LIMIT = re.escape("exceeds the largest supported array of 2147483647 elements")
E = re.escape


def huge(shape, dtype=np.float32):
    """A read-only zero-stride view: no memory behind it."""
    return np.broadcast_to(np.zeros((), dtype=dtype), shape)


@pytest.mark.parametrize("name", SIGNAL_FAMILIES)
def test_oversized_signals_are_refused_before_conversion(name):
    engine = ENGINES[name]()
    for shape in [(2**16, 2**16), (1, 2**31 + 5), (0, 2**40), (3, 2**59)]:
        for call in (lambda y: forward(name, engine, y), lambda y: backward(name, engine, np.zeros((1, 1, 1)), y)):
            with pytest.raises(ValueError, match=f"^{E(f'input of shape {shape}')} {LIMIT}"):
                call(huge(shape))
    with pytest.raises(ValueError, match=LIMIT):  # an oversized gradient of a small signal
        backward(name, engine, huge((1, 2**16, 2**16)), np.zeros((1, 64), np.float32))
    x = np.sin(np.arange(400.0))[None].astype(np.float32)
    np.testing.assert_array_equal(forward(name, engine, x), forward(name, ENGINES[name](), x))


_istft = qorva.IstftEngine(16, 4, 16, "hann", True)
_Z, _g = np.ones((1, 9, 3), np.complex64), np.ones((1, 10), np.float32)
_MEL = (22050.0, 512, 128, 512, "hann", True, "reflect")
_TOO_MANY_BANDS = ("n_mels={} is more than twice the 257 FFT bins, so some mel band covers no FFT bins; "
                   "raise n_fft or lower n_mels")


@pytest.mark.parametrize("call, message", [
    (lambda: _native._rfft(huge((2**31 + 5,))), f"^{E('input of shape (2147483653,)')} {LIMIT}"),
    (lambda: _native._cfft(huge((2**16, 2**16), np.complex64)), LIMIT),
    (lambda: _native._irfft(huge((2**31,)), huge((2**31,))), LIMIT),
    (lambda: qorva.StftEngine(16, 4, 16, huge((2**33,), np.float64), True, "reflect"),
     f"^{E('window of shape (8589934592,)')} {LIMIT}"),
    (lambda: qorva.IstftEngine(16, 4, 16, huge((2**16, 2**16), np.float64), True), LIMIT),
    # Lengths and frame counts that used to reach the allocator, or overflow the output's strides.
    (lambda: _istft.forward(_Z, 2**40), f"^{E('output of shape (1, 1099511627776)')} {LIMIT}$"),
    (lambda: _istft.forward(_Z, INT64_MAX), f"^{E('output of shape (1, 9223372036854775807)')} {LIMIT}"),
    (lambda: _istft.backward(_g, 2**31), f"^{E('output of shape (1, 9, 2147483648)')} {LIMIT}$"),
    (lambda: _istft.backward(_g, 2**62), f"^{E('output of shape (1, 9, 4611686018427387904)')} {LIMIT}"),
    (lambda: _istft.backward(np.ones((0, 10), np.float32), INT64_MAX), E("(an empty axis counts as one)")),
    # Band counts beyond twice the bins (each bin lies in at most two bands) used to allocate every band edge
    # first; the dense filterbank's size is checked before any band is built.
    (lambda: qorva.MelEngine(*_MEL, INT32_MAX, 0.0, 8000.0, "slaney", "slaney"),
     f"^{E(_TOO_MANY_BANDS.format(INT32_MAX))}$"),
    (lambda: qorva.mel_filterbank(22050.0, 512, 100000, 0.0, 8000.0, "slaney", "slaney"),
     f"^{E(_TOO_MANY_BANDS.format(100000))}$"),
    (lambda: qorva.mel_filterbank(22050.0, INT32_MAX, 3, 0.0, 8000.0, "slaney", "slaney"),
     f"{E('filterbank of shape (3, 1073741824)')} {LIMIT}"),
    (lambda: qorva.mel_filterbank(22050.0, 512, INT32_MAX, 0.0, 8000.0, "slaney", "slaney"),
     f"{E('filterbank of shape (2147483647, 257)')} {LIMIT}"),
    (lambda: qorva.mel_filterbank(22050.0, 512, 514, 0.0, 8000.0, "slaney", "slaney"), "covers no FFT bins"),
    # At 1e-300 Hz the one band's only weight is about 8e-306: a bin in double, zero in float32.
    (lambda: qorva.mel_filterbank(1e-300, 2, 1, 0.0, 500.0, "slaney", "slaney"),
     "^mel band 0 covers no FFT bins; raise n_fft or lower n_mels$"),
    (lambda: qorva.MelEngine(1e-300, 2, 1, 2, "hann", True, "reflect", 1, 0.0, 500.0, "slaney", "slaney"),
     "^mel band 0 covers no FFT bins"),
    # CQT designs: filter lengths that used to overflow and loop forever, float-to-int overflows near the
    # largest double, non-finite rates that hung, bin counts whose design was allocated first.
    (lambda: qorva.CqtEngine(22050.0, 512, 1e-6, 12, 12), "^" + E(
        "the CQT filter at 1e-06 Hz needs 7.46409e+08 samples, more than the longest supported (16777216); "
        "raise fmin or lower bins_per_octave")),
    (lambda: qorva.CqtEngine(1.7e308, 512, 5e-324, 1, 12), "^" + E("the CQT filter at 4.94066e-324 Hz needs inf")),
    (lambda: qorva.CqtEngine(float("inf"), 512, 32.7, 12, 12), "^sr must be finite"),
    (lambda: qorva.CqtEngine(float("nan"), 512, 32.7, 12, 12), "^sr must be finite"),
    (lambda: qorva.CqtEngine(22050.0, 512, float("inf"), 12, 12), "^fmin must be finite"),
    (lambda: qorva.CqtEngine(22050.0, 512, 1.0, INT32_MAX, 2**30), "^a CQT of 2147483647 bins is more than the 65536"),
    (lambda: qorva.CqtEngine(22050.0, 512, 32.7, INT32_MAX, INT32_MAX), "^a CQT of 2147483647 bins is more than"),
    (lambda: qorva.CqtEngine(22050.0, 512, 32.7, 65537, 12), "^a CQT of 65537 bins is more than the 65536 supported"),
    (lambda: qorva.CqtEngine(22050.0, 512, 5000.0, 40000, 2**20), "^the CQT octave from"),
    (lambda: qorva.ChromaEngine(22050.0, 512, 12, 7, 12, float("inf")), "^fmin must be finite"),
    (lambda: qorva.ChromaEngine(22050.0, 512, 12, 100000, 12, 1.0), "^a CQT of 1200000 bins is more than the 65536"),
    # The STFT, mel and CQT families used to count frames of negative lengths.
    *[(lambda n=name: ENGINES[n]().n_frames(-(2**63)), "^signal length must be non-negative, got -9223372036854775808$")
      for name in SIGNAL_FAMILIES],
])
def test_sizes_beyond_the_limits_are_refused(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("hop", [1, 3, 512, INT32_MAX])
@pytest.mark.parametrize("center", [True, False])
def test_frame_counts_of_the_longest_signals(hop, center):
    frame = (64, hop, 64, "hann", center, "reflect")
    mel = (8000.0, *frame, 8, 0.0, 4000.0, "slaney", "slaney")
    engines = [qorva.StftEngine(*frame), qorva.MelEngine(*mel), qorva.RmsEngine(64, hop, center, "reflect"),
               qorva.SpectralMomentsEngine(8000.0, *frame, ["centroid"]), qorva.SpectralFluxEngine(*frame),
               qorva.OnsetStrengthEngine(*mel), qorva.TempogramEngine(*mel, 4)]
    for n in (INT32_MAX, 2**31, 2**62, INT64_MAX - 1, INT64_MAX):
        want = (n if center else n - 64) // hop + 1
        for engine in engines:
            if want > INT64_MAX:  # only (2^63 - 1) // 1 + 1; it used to wrap
                with pytest.raises(OverflowError, match="does not fit a 64-bit integer"):
                    engine.n_frames(n)
            else:
                assert engine.n_frames(n) == want


@pytest.mark.parametrize("hop", [1, 2, 16, 512, 3 * 2**20])
def test_cqt_frame_counts_of_the_longest_signals(hop):
    # Halving the length per octave used to overflow at the largest lengths, giving negative counts.
    cqt = qorva.CqtEngine(22050.0, hop, 1000.0, 36, 12)
    for engine in (cqt, qorva.ChromaEngine(22050.0, hop, 12, 3, 12, 1000.0)):
        for n in (INT32_MAX, 2**62, INT64_MAX - 1, INT64_MAX):
            if hop == 1 and n == INT64_MAX:
                with pytest.raises(OverflowError, match="does not fit a 64-bit integer"):
                    engine.n_frames(n)
            else:
                assert n // hop + 1 <= engine.n_frames(n) <= -(-n // hop) + 1
    for n in (0, 1, 70):  # short signals: the forward's count
        assert cqt.forward(np.zeros((1, n), np.float32), "power").shape == (1, 36, cqt.n_frames(n))


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_spectra_with_strides_that_split_elements(dtype):
    # Strides that are not whole elements used to be rounded down to elements: wrong values, no error.
    rng = np.random.default_rng(6)
    base = (rng.standard_normal((2, 9, 8)) + 1j * rng.standard_normal((2, 9, 8))).astype(dtype)
    odd = np.lib.stride_tricks.as_strided(base, (2, 9, 4), (*base.strides[:2], base.itemsize * 3 // 2))
    istft, stft = qorva.IstftEngine(16, 4, 16, "hann", True), qorva.StftEngine(16, 4, 16, "hann", True, "reflect")
    np.testing.assert_array_equal(istft.forward(odd, -1), istft.forward(np.ascontiguousarray(odd), -1))
    y = rng.standard_normal((2, 12)).astype(np.float32 if dtype == np.complex64 else np.float64)
    want = stft.backward(np.ascontiguousarray(odd), y, "complex")
    np.testing.assert_array_equal(stft.backward(odd, y, "complex"), want)
