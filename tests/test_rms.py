"""RmsEngine against sqrt(mean(frame^2)) on NumPy frames and against librosa."""

import numpy as np
import pytest
from conftest import rel_l2
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
    assert got.dtype == dtype and got.shape == (B, 1, eng.n_frames(L))
    assert rel_l2(got, ref_rms(x, n, hop, center, pad_mode)) < (1e-6 if dtype == np.float32 else 1e-14)


@pytest.mark.parametrize("center", [True, False])
@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
def test_librosa_agrees(pad_mode, center):
    # librosa pads centred frames with numpy's 'constant' or 'reflect', this engine's two modes.
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(1).standard_normal((2, 5000)).astype(np.float32)
    want = librosa.feature.rms(y=x, frame_length=1024, hop_length=256, center=center, pad_mode=pad_mode)
    got = qorva.RmsEngine(1024, 256, center, pad_mode).forward(x, "")
    assert got.shape == want.shape and rel_l2(got, want) < 1e-6
