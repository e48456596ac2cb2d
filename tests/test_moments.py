"""SpectralMomentsEngine: NumPy definitions, librosa, degenerate spectra and repeated features."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import MOMENT_FEATURES
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
    tol = 2e-5 if dtype == np.float32 else 1e-11
    for i, name in enumerate(ALL):
        assert rel_l2(got[:, i], want[:, i]) < tol, name
    # Without entropy, flatness takes its logarithm of a product instead of per-bin logarithms.
    flat = qorva.SpectralMomentsEngine(sr, n_fft, hop, win_length, win, center, pad_mode, ["flatness"])
    assert rel_l2(flat.forward(x, "")[:, 0], want[:, 4]) < tol


def test_librosa_agrees():
    # librosa's centroid and bandwidth (p=2, norm=True) and flatness (power=2, amin=1e-10) share these definitions.
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
    x[0, 64 + 5] = 2.0  # frame 1: an impulse, flat magnitude spectrum
    x[0, 128:192] = 0.5  # frame 2: a constant, energy only at DC
    x[0, 192:] = np.cos(np.pi * np.arange(64) / 4)  # frame 3: one line at 1000 Hz
    out = eng.forward(x, "")
    v = dict(zip(ALL, out[0]))
    # Silence: every magnitude statistic is 0; flatness and entropy see equal clamped powers.
    assert all(v[name][0] == 0 for name in ALL if name not in ("flatness", "entropy"))
    np.testing.assert_allclose([v["flatness"][0], v["entropy"][0], v["crest"][1], v["flatness"][1], v["entropy"][1]],
                               1.0, rtol=1e-12)
    assert v["decrease"][2] == 0 and abs(v["centroid"][2]) < 1e-9 and v["bandwidth"][3] < 1e-3
    assert v["centroid"][3] == pytest.approx(1000.0)
    # The silent frame and the guarded decrease of the DC-only frame pass no gradient.
    R = np.zeros_like(out)
    R[0, :, 0] = R[0, ALL.index("decrease"), 2] = 1.0
    assert np.all(eng.backward(R, x, "") == 0)


def test_repeated_features_repeat_rows_and_add_gradients():
    x = np.random.default_rng(4).standard_normal((2, 1500))
    rep, one = (qorva.SpectralMomentsEngine(16000.0, 256, 64, 256, "hann", True, "reflect", f)
                for f in (["centroid", "flatness", "centroid"], ["centroid", "flatness"]))
    out = rep.forward(x, "")
    assert np.array_equal(out[:, 0], out[:, 2]) and np.array_equal(out[:, :2], one.forward(x, ""))
    R = np.random.default_rng(5).standard_normal(out.shape)
    merged = np.stack([R[:, 0] + R[:, 2], R[:, 1]], axis=1)
    assert rel_l2(rep.backward(R, x, ""), one.backward(merged, x, "")) < 1e-13
