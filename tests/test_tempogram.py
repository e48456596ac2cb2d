"""TempogramEngine against NumPy autocorrelations of its own onset envelope, and librosa."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import tempogram as ref_tempogram

import qorva

MEL = (8000.0, 128, 32, 128, "hann", True, "reflect", 16, 50.0, 3800.0, "slaney", "slaney")


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("W", [1, 2, 9, 16, 40])
def test_forward_matches_reference(W, dtype):
    eng = qorva.TempogramEngine(*MEL, W)
    x = np.random.default_rng(W).standard_normal((2, 1500)).astype(dtype)
    x[1, 300:1200] = 0.0  # silent frames
    got = eng.forward(x, "")
    assert got.dtype == dtype and got.shape == (2, W, eng.n_frames(1500))
    want = ref_tempogram(qorva.OnsetStrengthEngine(*MEL).forward(x.astype(np.float64), "")[:, 0], W)
    assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12)


def test_interior_frames_agree_with_librosa():
    # librosa ramps the envelope down to 0 beyond its ends where this engine
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
