"""SpectralMomentsEngine: the nine statistics against NumPy definitions and
librosa, their guards on degenerate spectra, the backward pass of each against
finite differences, repeated features and the constructor messages."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import MOMENT_FEATURES, check_gradient
from feature_reference import moments as ref_moments

import qorva

ALL = list(MOMENT_FEATURES)

# (sr, n_fft, hop, win_length, window, center, pad_mode, batch, length)
CONFIGS = [
    (22050.0, 512, 128, 512, "hann", True, "reflect", 2, 3000),
    (16000.0, 401, 100, 300, "hamming", False, "constant", 1, 2000),  # odd n_fft
    (8000.0, 2, 1, 2, "boxcar", True, "constant", 1, 40),             # two bins
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("cfg", CONFIGS, ids=lambda c: f"{c[1]}-{c[4]}-c{int(c[5])}")
def test_forward_matches_reference(cfg, dtype):
    sr, n_fft, hop, win_length, win, center, pad_mode, B, L = cfg
    eng = qorva.SpectralMomentsEngine(sr, n_fft, hop, win_length, win, center, pad_mode, ALL)
    x = np.random.default_rng(n_fft).standard_normal((B, L)).astype(dtype)
    got = eng.forward(x, "")
    assert got.dtype == dtype and got.shape == (B, 9, eng.n_frames(L))
    want = ref_moments(x, sr, n_fft, hop, win_length, win, center, pad_mode, ALL)
    for i, name in enumerate(ALL):
        assert rel_l2(got[:, i], want[:, i]) < (2e-5 if dtype == np.float32 else 1e-11), name
    # Without entropy, flatness takes its logarithm of a product instead of per-bin logarithms.
    flat = qorva.SpectralMomentsEngine(sr, n_fft, hop, win_length, win, center, pad_mode, ["flatness"])
    assert rel_l2(flat.forward(x, "")[:, 0], want[:, 4]) < (2e-5 if dtype == np.float32 else 1e-11)


def test_librosa_agrees():
    # Same definitions: librosa's centroid and bandwidth (p=2, norm=True) are the
    # mean and standard deviation of frequency under the normalised magnitude
    # spectrum, and its flatness (power=2, amin=1e-10) is the geometric over the
    # arithmetic mean of the clamped power; same periodic Hann, framing and padding.
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(2).standard_normal((2, 8000)).astype(np.float32)
    kw = dict(n_fft=1024, hop_length=256, center=True, pad_mode="constant")
    eng = qorva.SpectralMomentsEngine(22050.0, 1024, 256, 1024, "hann", True, "constant",
                                      ["centroid", "bandwidth", "flatness"])
    got = eng.forward(x, "")
    want = [librosa.feature.spectral_centroid(y=x, sr=22050, **kw)[:, 0],
            librosa.feature.spectral_bandwidth(y=x, sr=22050, **kw)[:, 0],
            librosa.feature.spectral_flatness(y=x, amin=1e-10, power=2.0, **kw)[:, 0]]
    for i, w in enumerate(want):
        assert got.shape[-1] == w.shape[-1] and rel_l2(got[:, i], w) < 1e-5, i


def test_degenerate_spectra():
    eng = qorva.SpectralMomentsEngine(8000.0, 64, 64, 64, "boxcar", False, "constant", ALL)
    x = np.zeros((1, 64 * 4))
    x[0, 64 + 5] = 2.0            # frame 1: an impulse, flat magnitude spectrum
    x[0, 128:192] = 0.5           # frame 2: a constant, energy only at DC
    x[0, 192:] = np.cos(np.pi * np.arange(64) / 4)  # frame 3: one line at 1000 Hz
    v = dict(zip(ALL, eng.forward(x, "")[0]))
    # Silence: every magnitude statistic is 0; flatness and entropy see equal
    # clamped powers and are 1.
    for name in ("centroid", "bandwidth", "skewness", "kurtosis", "slope", "decrease", "crest"):
        assert v[name][0] == 0, name
    np.testing.assert_allclose([v["flatness"][0], v["entropy"][0]], 1.0, rtol=1e-12)
    np.testing.assert_allclose([v["crest"][1], v["flatness"][1], v["entropy"][1]], 1.0, rtol=1e-12)
    assert v["decrease"][2] == pytest.approx(0.0, abs=1e-12) and v["centroid"][2] == pytest.approx(0.0, abs=1e-9)
    # A single line: centroid at its frequency, bandwidth 0 up to rounding.
    assert v["centroid"][3] == pytest.approx(1000.0) and v["bandwidth"][3] < 1e-3


def test_repeated_features_repeat_rows_and_add_gradients():
    x = np.random.default_rng(4).standard_normal((2, 1500))
    rep = qorva.SpectralMomentsEngine(16000.0, 256, 64, 256, "hann", True, "reflect",
                                      ["centroid", "flatness", "centroid"])
    one = qorva.SpectralMomentsEngine(16000.0, 256, 64, 256, "hann", True, "reflect", ["centroid", "flatness"])
    out = rep.forward(x, "")
    assert np.array_equal(out[:, 0], out[:, 2]) and np.array_equal(out[:, :2], one.forward(x, ""))
    R = np.random.default_rng(5).standard_normal(out.shape)
    merged = np.stack([R[:, 0] + R[:, 2], R[:, 1]], axis=1)
    assert rel_l2(rep.backward(R, x, ""), one.backward(merged, x, "")) < 1e-13


@pytest.mark.parametrize("pad_mode, center", [("reflect", True), ("constant", True), ("reflect", False),
                                              ("constant", False)])
@pytest.mark.parametrize("feature", ALL)
def test_backward_matches_finite_differences(feature, pad_mode, center):
    eng = qorva.SpectralMomentsEngine(8000.0, 32, 12, 30, "hann", center, pad_mode, [feature])
    x = np.random.default_rng(6).standard_normal((2, 300))
    x[1, 120:200] = 0.0  # silent frames; the directions leave them silent (the statistics jump there)
    mask = np.ones_like(x)
    mask[1, 120:200] = 0.0
    grad, R = check_gradient(eng, x, mask)
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), "")
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < 1e-3


def test_guarded_frames_pass_no_gradient():
    # Silent frames, and frames whose magnitude sits in the DC bin only (the
    # decrease guard) report 0 and give no gradient to any sample.
    eng = qorva.SpectralMomentsEngine(8000.0, 64, 64, 64, "boxcar", False, "constant", ALL)
    x = np.zeros((1, 64 * 3))
    x[0, 128:] = 0.25  # frame 2: DC only
    out = eng.forward(x, "")
    R = np.zeros_like(out)
    R[0, :, :2] = 1.0                      # every statistic of the silent frames
    R[0, ALL.index("decrease"), 2] = 1.0   # and the guarded decrease
    assert out[0, ALL.index("decrease"), 2] == 0
    assert np.all(eng.backward(R, x, "") == 0)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(features=[]), "at least one feature is required"),
        (dict(features=["centroid", "Centroid"]),
         "feature must be one of ('centroid', 'bandwidth', 'skewness', 'kurtosis', 'flatness', 'slope', "
         "'decrease', 'crest', 'entropy'); got 'Centroid'"),
        (dict(features=["rolloff"]),
         "feature must be one of ('centroid', 'bandwidth', 'skewness', 'kurtosis', 'flatness', 'slope', "
         "'decrease', 'crest', 'entropy'); got 'rolloff'"),
        (dict(hop_length=0, features=[]), "hop_length must be positive"),
        (dict(win_length=0, hop_length=0), "win_length must be in [1, n_fft], got 0"),
        (dict(window="Hann"), "window must be one of ('hann', 'hamming', 'blackman', 'blackmanharris', 'nuttall', "
                              "'bartlett', 'boxcar') or a float array; got 'Hann'"),
        (dict(sr=0.0), "sr must be positive"),
        (dict(sr=float("inf")), "sr must be finite"),
    ],
)
def test_constructor_errors(kwargs, message):
    args = dict(sr=22050.0, n_fft=512, hop_length=128, win_length=512, window="hann", center=True,
                pad_mode="reflect", features=["centroid"])
    args.update(kwargs)
    with pytest.raises(ValueError) as info:
        qorva.SpectralMomentsEngine(**args)
    assert str(info.value) == message


def test_short_input_without_centring():
    eng = qorva.SpectralMomentsEngine(22050.0, 512, 128, 512, "hann", False, "reflect", ["crest"])
    with pytest.raises(ValueError, match=r"^input is shorter than n_fft with center=False$"):
        eng.forward(np.ones((1, 511), np.float32), "")
    assert eng.n_frames(512) == 1
