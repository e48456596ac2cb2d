"""TempogramEngine: the autocorrelation stage against a direct NumPy
computation on the engine's own onset envelope and against librosa, the
normalisation, silent frames, the backward pass against finite differences
(the lag-0 normaliser is differentiated too) and the tempo_win message."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import check_gradient
from feature_reference import tempogram as ref_tempogram

import qorva

MEL = (8000.0, 128, 32, 128, "hann", True, "reflect", 16, 50.0, 3800.0, "slaney", "slaney")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("W", [1, 2, 9, 16, 40])
def test_forward_matches_reference(W, dtype):
    eng = qorva.TempogramEngine(*MEL, W)
    onset = qorva.OnsetStrengthEngine(*MEL)
    x = np.random.default_rng(W).standard_normal((2, 1500)).astype(dtype)
    got = eng.forward(x, "")
    F = eng.n_frames(1500)
    assert got.dtype == dtype and got.shape == (2, W, F)
    want = ref_tempogram(onset.forward(x.astype(np.float64), "")[:, 0], W)
    assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12)
    # Lag 0 is the normaliser: 1 wherever the windowed stretch is not silent
    # (W = 1 windows everything to 0; W = 2 sees only the envelope's first 0 at t = 0).
    live = want[:, 0] > 0
    assert live.sum() >= (0 if W == 1 else live.size - 2)
    np.testing.assert_allclose(got[:, 0][live], 1.0, rtol=1e-6)


def test_interior_frames_agree_with_librosa():
    # librosa.feature.tempogram (centred, periodic Hann window, norm=np.inf) is
    # the same lag-0-normalised autocorrelation: an autocorrelation peaks at lag
    # 0.  librosa ramps the envelope down to 0 beyond its ends where this engine
    # reads zeros, so only frames whose window stays inside the envelope agree.
    librosa = pytest.importorskip("librosa")
    W = 64
    x = np.random.default_rng(11).standard_normal((1, 8000 * 3))
    env = qorva.OnsetStrengthEngine(*MEL).forward(x, "")[0, 0]
    got = qorva.TempogramEngine(*MEL, W).forward(x, "")[0]
    want = librosa.feature.tempogram(onset_envelope=env, sr=8000, hop_length=32, win_length=W, center=True,
                                     window="hann", norm=np.inf)
    inner = slice(W // 2, len(env) - W // 2)
    assert rel_l2(got[:, inner], want[:, inner]) < 1e-12


@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
@pytest.mark.parametrize("center", [True, False])
def test_backward_matches_finite_differences(pad_mode, center):
    mel = (8000.0, 64, 16, 60, "hann", center, pad_mode, 10, 100.0, 3500.0, "htk", "slaney")
    eng = qorva.TempogramEngine(*mel, 6)
    x = np.random.default_rng(12).standard_normal((2, 500))
    x[1, 100:400] = 0.0  # a silent stretch long enough for silent tempogram frames
    mask = np.ones_like(x)
    mask[1, 100:400] = 0.0
    out = eng.forward(x, "")
    assert np.any(np.all(out[1] == 0, axis=0))
    grad, R = check_gradient(eng, x, mask)
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), "")
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < 1e-3


def test_silent_frames_pass_no_gradient():
    eng = qorva.TempogramEngine(*MEL, 8)
    x = np.random.default_rng(13).standard_normal((1, 2000))
    x[0, 500:1500] = 0.0
    out = eng.forward(x, "")
    silent = np.all(out[0] == 0, axis=0)
    assert silent.sum() > 5
    R = np.zeros_like(out)
    R[0][:, silent] = 1.0
    assert np.all(eng.backward(R, x, "") == 0)
    assert np.all(eng.forward(np.zeros((1, 700)), "") == 0)


@pytest.mark.parametrize("tempo_win, message", [
    (0, "win_length must be positive"),
    (-3, "win_length must be positive"),
    (2**29 + 1, "tempo_win must be at most 536870912, got 536870913"),
])
def test_tempo_win_errors(tempo_win, message):
    with pytest.raises(ValueError) as info:
        qorva.TempogramEngine(*MEL, tempo_win)
    assert str(info.value) == message
    # The onset engine's checks come first.
    with pytest.raises(ValueError, match=r"^hop_length must be positive$"):
        qorva.TempogramEngine(*MEL[:2], 0, *MEL[3:], tempo_win)
