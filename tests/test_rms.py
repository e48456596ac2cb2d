"""RmsEngine: forward against sqrt(mean(frame^2)) on NumPy frames, frame
counts, agreement with librosa, the backward pass against finite differences
(including padding longer than the signal), the silence guard and the
constructor messages."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import check_gradient
from feature_reference import rms as ref_rms

import qorva

# (frame_length, hop, center, pad_mode, batch, length)
GEOMETRIES = [
    (2048, 512, True, "reflect", 2, 22050),
    (400, 160, True, "constant", 1, 3000),
    (301, 100, False, "reflect", 3, 1000),
    (64, 100, False, "constant", 2, 1000),  # hop longer than the frame: samples no frame reads
    (64, 7, True, "reflect", 2, 10),        # padding longer than the signal: repeated reflection
    (16, 4, True, "reflect", 1, 1),         # one sample mirrors onto itself
    (32, 8, False, "constant", 1, 32),      # exactly one frame
    (1, 1, True, "constant", 1, 50),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("geometry", GEOMETRIES, ids=lambda g: f"{g[0]}-{g[1]}-c{int(g[2])}-{g[3]}-L{g[5]}")
def test_forward_matches_reference(geometry, dtype):
    n, hop, center, pad_mode, B, L = geometry
    eng = qorva.RmsEngine(n, hop, center, pad_mode)
    x = np.random.default_rng(L).standard_normal((B, L)).astype(dtype)
    got = eng.forward(x, "")
    assert got.dtype == dtype and got.shape == (B, 1, eng.n_frames(L)) and got.flags.c_contiguous
    assert rel_l2(got, ref_rms(x, n, hop, center, pad_mode)) < (1e-6 if dtype == np.float32 else 1e-14)


def test_frame_counts_and_constant_signal():
    assert qorva.RmsEngine(2048, 512, True, "reflect").n_frames(22050) == 44
    assert qorva.RmsEngine(2048, 512, False, "reflect").n_frames(22050) == 40
    eng = qorva.RmsEngine(100, 30, False, "constant")
    assert eng.n_frames(100) == 1 and eng.forward(np.ones((1, 100)), "").shape == (1, 1, 1)
    # Reflect padding of a constant is the constant: |a| in every frame.
    got = qorva.RmsEngine(256, 64, True, "reflect").forward(np.full((2, 1000), -0.75, np.float32), "")
    np.testing.assert_allclose(got, 0.75, rtol=1e-7)


@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
def test_librosa_agrees(pad_mode):
    # librosa.feature.rms is sqrt(mean(|frame|^2)) over the same frames: centred
    # frames padded by frame_length // 2 with numpy's 'constant' or 'reflect'
    # (mirror without repeating the edge), which are this engine's two modes.
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(1).standard_normal((2, 5000)).astype(np.float32)
    for center in (True, False):
        want = librosa.feature.rms(y=x, frame_length=1024, hop_length=256, center=center, pad_mode=pad_mode)
        got = qorva.RmsEngine(1024, 256, center, pad_mode).forward(x, "")
        assert got.shape == want.shape and rel_l2(got, want) < 1e-6


@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
@pytest.mark.parametrize("center", [True, False])
def test_backward_matches_finite_differences(pad_mode, center):
    eng = qorva.RmsEngine(48, 20, center, pad_mode)
    x = np.random.default_rng(3).standard_normal((2, 400))
    x[1, 100:260] = 0.0  # silent frames
    mask = np.ones_like(x)
    mask[1, 100:260] = 0.0  # keep them silent: sqrt is not differentiable at 0
    grad, R = check_gradient(eng, x, mask)
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), "")
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < 1e-5


@pytest.mark.parametrize("length", [1, 2, 5, 31])
def test_backward_exact_when_padding_exceeds_the_signal(length):
    # Centred frames of 64 samples reflect a short signal many times over;
    # every mirror image of a sample must carry its gradient back.
    eng = qorva.RmsEngine(64, 16, True, "reflect")
    x = np.random.default_rng(length).standard_normal((1, length)) + 0.5
    check_gradient(eng, x)


def test_silent_frames_pass_no_gradient():
    eng = qorva.RmsEngine(32, 16, False, "constant")
    x = np.zeros((1, 320), np.float32)
    x[0, 200:] = 1.0
    r = eng.forward(x, "")
    silent = r[0, 0] == 0  # frames 0..10 see only zeros
    assert silent.sum() == 11
    grad = np.zeros_like(r)
    grad[0, 0, silent] = 1.0
    assert np.all(eng.backward(grad, x, "") == 0)  # no division by zero, no NaN


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 512, True, "reflect"), "frame_length must be positive"),
        ((-5, 512, True, "reflect"), "frame_length must be positive"),
        ((0, 0, True, "reflect"), "hop_length must be positive"),
        ((2048, -1, True, "reflect"), "hop_length must be positive"),
        ((2048, 512, True, "edge"), "pad_mode must be 'constant' or 'reflect'; got 'edge'"),
    ],
)
def test_constructor_errors(args, message):
    with pytest.raises(ValueError) as info:
        qorva.RmsEngine(*args)
    assert str(info.value) == message


def test_short_input_without_centring():
    eng = qorva.RmsEngine(256, 64, False, "reflect")
    x = np.ones((1, 255), np.float32)
    for call in (lambda: eng.forward(x, ""), lambda: eng.backward(np.ones((1, 1, 1)), x, ""),
                 lambda: eng.n_frames(255)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "input is shorter than frame_length with center=False"
    assert eng.forward(np.ones((1, 256), np.float32), "").shape == (1, 1, 1)
