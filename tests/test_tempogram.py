"""TempogramEngine against NumPy autocorrelations of its own onset envelope, and librosa; its backward
against finite differences, both of the signal and of the envelope."""

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


# 1500 samples make 47 frames: blocks of 16, 16 and 15 frames, so the last
# block ends on an unpaired frame.
@pytest.mark.parametrize("W", [2, 9, 40, 64])
def test_backward_is_the_envelope_jacobian_through_the_onset_backward(W):
    # The tempogram's own part, checked apart from the onset engine's: the
    # transposed Jacobian of the NumPy tempogram in the envelope, by central
    # differences at every envelope value, sent back through onset.backward.
    onset, eng = qorva.OnsetStrengthEngine(*MEL), qorva.TempogramEngine(*MEL, W)
    x = np.random.default_rng(W).standard_normal((2, 1500))
    env = onset.forward(x, "")[:, 0]
    B, F = env.shape
    g = np.random.default_rng(100 + W).standard_normal((B, W, F))
    eps = 1e-6
    bumps = np.repeat(env, F, axis=0).reshape(B, F, F) + eps * np.eye(F)  # [b, p] = env[b] + eps e_p
    rise = ref_tempogram(bumps.reshape(B * F, F), W) - ref_tempogram((bumps - 2 * eps * np.eye(F)).reshape(B * F, F), W)
    env_grad = np.einsum("bpwf,bwf->bp", rise.reshape(B, F, W, F), g) / (2 * eps)
    want = onset.backward(env_grad[:, None, :], x, "")
    assert rel_l2(eng.backward(g, x, ""), want) < 1e-7


@pytest.mark.parametrize("silence_from", [300, 332])  # one hop apart: silent runs start on either frame of a pair
@pytest.mark.parametrize("W", [9, 40])
def test_backward_matches_finite_differences_around_silence(W, silence_from):
    mask = np.ones((2, 1500))
    mask[1, silence_from:1200] = 0.0  # the directions leave it silent: the output jumps there
    x = np.random.default_rng(W).standard_normal((2, 1500)) * mask
    check_gradient("tempogram", qorva.TempogramEngine(*MEL, W), x, mask=mask, f32_tol=1e-4)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_results_do_not_depend_on_the_thread_count(dtype, restore_threads):
    eng = qorva.TempogramEngine(*MEL, 40)
    x = np.random.default_rng(5).standard_normal((3, 3000)).astype(dtype)
    x[2, 1000:2200] = 0.0
    g = np.random.default_rng(6).standard_normal((3, 40, eng.n_frames(3000))).astype(dtype)
    results = []
    for threads in (1, 2, 3):
        qorva.set_num_threads(threads)
        results.append((eng.forward(x, ""), eng.backward(g, x, "")))
    for y, dx in results[1:]:
        assert np.array_equal(y, results[0][0]) and np.array_equal(dx, results[0][1])
