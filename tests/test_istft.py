"""IstftEngine: reconstruction, a NumPy overlap-add reference and the exact adjoint backward."""

import numpy as np
import pytest
from conftest import rel_l2
from framing_reference import istft as ref_istft

import qorva


@pytest.mark.parametrize("center", [True, False])
@pytest.mark.parametrize("window, n_fft, hop", [("hann", 512, 128), ("hann", 512, 256), ("boxcar", 256, 256),
                                                ("hamming", 1000, 250), ("hann", 401, 100)])
def test_reconstruction_from_the_complex_stft(window, n_fft, hop, center):
    x = np.random.default_rng(n_fft + hop).standard_normal((2, 6000)).astype(np.float32)
    stft = qorva.StftEngine(n_fft, hop, n_fft, window, center, "reflect")
    y = qorva.IstftEngine(n_fft, hop, n_fft, window, center).forward(stft.forward(x, "complex"), x.shape[1])
    assert y.shape == x.shape and y.dtype == np.float32
    # Without centring the edges see a single tapered frame; compare where frames overlap fully.
    inner = slice(None) if center else slice(n_fft, hop * (stft.n_frames(x.shape[1]) - 1))
    assert rel_l2(y[:, inner], x[:, inner]) < 1e-5


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("n_fft, center, length", [(256, True, -1), (256, False, -1), (256, True, 1000),
                                                   (256, True, 5000), (256, False, 3), (255, True, -1)])
def test_forward_matches_overlap_add_reference(dtype, n_fft, center, length):
    rng = np.random.default_rng(1)
    K = n_fft // 2 + 1
    Z = (rng.standard_normal((2, K, 20)) + 1j * rng.standard_normal((2, K, 20))).astype(dtype)
    got = qorva.IstftEngine(n_fft, 100, 200, "blackman", center).forward(Z, length)
    natural = 100 * 19 + n_fft - (2 * (n_fft // 2) if center else 0)
    want_len = natural if length < 0 else length
    assert got.shape == (2, want_len) and got.dtype == (np.float32 if dtype == np.complex64 else np.float64)
    want = ref_istft(Z.astype(np.complex128), n_fft, 100, "blackman", 200, center, want_len)
    assert rel_l2(got, want) < (1e-5 if dtype == np.complex64 else 1e-12)


@pytest.mark.parametrize("n_fft, hop, center", [(256, 64, True), (255, 64, True), (128, 100, False)])
def test_backward_is_the_exact_adjoint(n_fft, hop, center):
    rng = np.random.default_rng(n_fft)
    eng = qorva.IstftEngine(n_fft, hop, n_fft, "hann", center)
    K, F = n_fft // 2 + 1, 12
    Z = rng.standard_normal((2, K, F)) + 1j * rng.standard_normal((2, K, F))
    for length in (-1, 500, 3000):
        y = eng.forward(Z, length)
        g = rng.standard_normal(y.shape)
        gz = eng.backward(g, F)
        assert gz.shape == (2, K, F) and gz.dtype == np.complex128
        lhs = float(np.sum(g * y))
        assert abs(lhs - np.real(np.vdot(gz, Z))) < 1e-10 * abs(lhs)
        g32 = eng.backward(g.astype(np.float32), F)
        assert g32.dtype == np.complex64 and rel_l2(g32, gz) < 1e-5
