"""IstftEngine: reconstruction, agreement with a NumPy overlap-add reference,
the exact adjoint backward, and parameter checks."""

import numpy as np
import pytest
from conftest import rel_l2, without_gpu
from framing_reference import istft as ref_istft

import qorva


@pytest.mark.parametrize("center", [True, False])
@pytest.mark.parametrize("window, n_fft, hop", [("hann", 512, 128), ("hann", 512, 256), ("boxcar", 256, 256),
                                                ("hamming", 1000, 250), ("hann", 401, 100)])
def test_reconstruction_from_the_complex_stft(window, n_fft, hop, center):
    rng = np.random.default_rng(n_fft + hop)
    x = rng.standard_normal((2, 6000)).astype(np.float32)
    stft = qorva.StftEngine(n_fft, hop, n_fft, window, center, "reflect")
    istft = qorva.IstftEngine(n_fft, hop, n_fft, window, center)
    y = istft.forward(stft.forward(x, "complex"), x.shape[1])
    assert y.shape == x.shape and y.dtype == np.float32
    if center:
        assert rel_l2(y, x) < 1e-5
    else:
        # Without centring, the edges are covered by a single tapered frame only;
        # compare where the frames overlap fully.
        F = stft.n_frames(x.shape[1])
        end = hop * (F - 1)
        assert rel_l2(y[:, n_fft:end], x[:, n_fft:end]) < 1e-5


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
@pytest.mark.parametrize("center, length", [(True, -1), (False, -1), (True, 1000), (True, 5000), (False, 3)])
def test_forward_matches_overlap_add_reference(dtype, center, length):
    rng = np.random.default_rng(1)
    Z = (rng.standard_normal((2, 129, 20)) + 1j * rng.standard_normal((2, 129, 20))).astype(dtype)
    eng = qorva.IstftEngine(256, 100, 200, "blackman", center)
    got = eng.forward(Z, length)
    natural = 100 * 19 + 256 - (256 if center else 0)
    want_len = natural if length < 0 else length
    assert got.shape == (2, want_len)
    assert got.dtype == (np.float32 if dtype == np.complex64 else np.float64)
    want = ref_istft(Z.astype(np.complex128), 256, 100, "blackman", 200, center, want_len)
    assert rel_l2(got, want) < (1e-5 if dtype == np.complex64 else 1e-12)
    # Arbitrary strides are accepted and give the same result.
    strided = np.ascontiguousarray(Z.transpose(2, 0, 1)).transpose(1, 2, 0)
    np.testing.assert_array_equal(eng.forward(strided, length), got)


def test_natural_length_with_odd_n_fft():
    eng = qorva.IstftEngine(255, 64, 255, "hann", True)
    Z = np.zeros((1, 128, 10), np.complex64)
    assert eng.forward(Z, -1).shape == (1, 64 * 9 + 255 - 254)


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
        rhs = float(np.sum(gz.real * Z.real + gz.imag * Z.imag))
        assert abs(lhs - rhs) < 1e-10 * abs(lhs)


def test_backward_float32_and_finite_differences():
    rng = np.random.default_rng(3)
    eng = qorva.IstftEngine(128, 32, 128, "hann", True)
    Z = rng.standard_normal((1, 65, 9)) + 1j * rng.standard_normal((1, 65, 9))
    g = rng.standard_normal(eng.forward(Z, -1).shape)
    gz = eng.backward(g, 9)
    # A few coordinates by central differences of <g, istft(Z)>.
    eps = 1e-6
    for b, k, f, part in [(0, 0, 0, 1.0), (0, 5, 3, 1.0), (0, 5, 3, 1j), (0, 64, 8, 1.0), (0, 64, 8, 1j)]:
        dZ = np.zeros_like(Z)
        dZ[b, k, f] = part
        fd = (np.sum(g * eng.forward(Z + eps * dZ, -1)) - np.sum(g * eng.forward(Z - eps * dZ, -1))) / (2 * eps)
        an = gz[b, k, f].real if part == 1.0 else gz[b, k, f].imag
        assert abs(fd - an) < 1e-6 * max(1.0, abs(fd))
    g32 = eng.backward(g.astype(np.float32), 9)
    assert g32.dtype == np.complex64 and rel_l2(g32, gz) < 1e-5
    assert g32.strides == (65 * 9 * 8, 8, 65 * 8)


@pytest.mark.parametrize(
    "args, message",
    [
        ((512, 512, 512, "hann", True), "window/hop combination violates NOLA; inversion is not possible"),
        ((512, 513, 512, "hann", True), "window/hop combination violates NOLA; inversion is not possible"),
        ((512, 513, 512, "boxcar", True), "hop_length > n_fft leaves gaps; inversion is not possible"),
        ((512, 128, 100, "boxcar", True), "window/hop combination violates NOLA; inversion is not possible"),
        ((512, -1, 512, "hann", True), "hop_length must be positive, got -1"),
        ((512, 128, 513, "hann", True), "win_length must be in [1, n_fft], got 513"),
    ],
)
def test_constructor_checks_in_order(args, message):
    with pytest.raises(ValueError) as info:
        qorva.IstftEngine(*args)
    assert str(info.value) == message


def test_boxcar_at_hop_n_fft_is_accepted():
    eng = qorva.IstftEngine(64, 64, 64, "boxcar", False)
    x = np.random.default_rng(0).standard_normal((1, 640))
    Z = qorva.StftEngine(64, 64, 64, "boxcar", False, "constant").forward(x, "complex")
    assert rel_l2(eng.forward(Z, 640), x) < 1e-12


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e: e.forward(np.ones((1, 33, 0), np.complex64), -1), ValueError, "expected at least one frame"),
        (lambda e: e.forward(np.ones((1, 32, 4), np.complex64), -1), ValueError, "expected 33 frequency bins, got 32"),
        (lambda e: e.forward(np.ones((33, 4), np.complex64), -1), ValueError, "expected a 3-D (batch, bins, frames) array"),
        (lambda e: e.forward(np.ones((1, 33, 4), np.complex128), -1, backend="cuda"), RuntimeError,
         "complex128 input runs on the CPU only; cast to complex64 for cuda"),
        pytest.param(lambda e: e.forward(np.ones((1, 33, 4), np.complex64), -1, backend="cuda"), RuntimeError,
                     "cuda backend does not support these parameters", marks=without_gpu),
        (lambda e: e.backward(np.ones(100), 4), ValueError, "expected a 2-D (batch, samples) gradient"),
        (lambda e: e.backward(np.ones((1, 100)), 4, backend="cuda"), RuntimeError,
         "float64 input runs on the CPU only; cast to float32 for cuda"),
        (lambda e: e.backward(np.ones((1, 100), np.float32), 0), ValueError, "n_frames must be at least 1, got 0"),
        pytest.param(lambda e: e.forward_dlpack(None, -1, 0), RuntimeError,
                     "no resident GPU path for these parameters", marks=without_gpu),
        pytest.param(lambda e: e.backward_dlpack(None, 4, 0), RuntimeError,
                     "no resident GPU path for these parameters", marks=without_gpu),
    ],
)
def test_bad_calls(call, exc, message):
    eng = qorva.IstftEngine(64, 16, 64, "hann", True)
    with pytest.raises(exc) as info:
        call(eng)
    assert str(info.value) == message
    assert eng.forward(np.ones((1, 33, 4), np.complex64), -1).shape == (1, 48)
    if not qorva.gpu_available():
        assert not (eng.gpu_supported() or eng.gpu_resident_supported() or eng.gpu_resident_f16_supported())
