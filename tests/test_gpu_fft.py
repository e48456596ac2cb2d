"""GPU FFT functions: refusals run everywhere, the transforms (against NumPy in float64) only on a GPU."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import rel_l2, without_gpu

import qorva
from qorva import _native

HAS_GPU = qorva.gpu_available()
needs_gpu = pytest.mark.skipif(not HAS_GPU, reason="no usable CUDA GPU")
UNAVAILABLE = "GPU FFT unavailable for this build/size"
TOL = {np.complex64: 1e-5, np.complex128: 1e-12}  # relative L2 error against NumPy in float64


def complex_signal(rng, shape, dtype=np.complex64):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(dtype)


def test_device_queries():
    assert (qorva.gpu_backend(), qorva.gpu_device_name() != "") == (("cuda", True) if HAS_GPU else ("none", False))


@pytest.mark.parametrize("call, exc, message", [
    # float64 is refused before anything else, GPU or not.
    (lambda: _native._gpu_rfft(np.zeros((3, 512))), TypeError,
     "GPU FFT is float32-only; float64 runs on the CPU (_rfft)"),
    (lambda: _native._gpu_rfft(np.zeros((), np.float32)), ValueError, "gpu_rfft requires >= 1 dimension"),
    (lambda: _native._gpu_cfft(np.complex64(1)), ValueError, "gpu_cfft requires >= 1 dimension"),
    (lambda: _native._gpu_cfft(np.complex128(1), inverse=True), ValueError, "gpu_cfft requires >= 1 dimension"),
    # No transform of length 0 exists on any machine.
    (lambda: _native._gpu_rfft(np.zeros((3, 0), np.float32)), RuntimeError, UNAVAILABLE),
    (lambda: _native._gpu_cfft(np.zeros((3, 0), np.complex64)), RuntimeError, UNAVAILABLE),
    *[pytest.param(call, RuntimeError, UNAVAILABLE, marks=without_gpu) for call in (
        lambda: _native._gpu_rfft(np.zeros((3, 512), np.float32)),
        lambda: _native._gpu_rfft(np.zeros((0, 512), np.float32)),  # the plan is looked up even for no rows
        lambda: _native._gpu_cfft(np.zeros((3, 512), np.complex64)),
        lambda: _native._gpu_cfft(np.zeros(17, np.complex128), inverse=True))],
])
def test_refusals(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("n, supported", [(2, False), (3, False), (4, True), (17, True), (1024, True), (6145, True)])
def test_fft_available(n, supported):
    assert _native._gpu_fft_available(n) is (supported and HAS_GPU)


@needs_gpu
@pytest.mark.parametrize("shape", [(3, 512), (2, 3, 96), (8192,), (4, 1000), (0, 512)])
def test_rfft_matches_numpy(rng, shape):
    x = rng.standard_normal(shape).astype(np.float32)
    got = _native._gpu_rfft(x)
    assert got.dtype == np.complex64 and got.shape == shape[:-1] + (shape[-1] // 2 + 1,)
    assert rel_l2(got, np.fft.rfft(x.astype(np.float64))) < TOL[np.complex64]
    with pytest.raises(RuntimeError, match="complex-only"):  # no real transforms of non-smooth lengths
        _native._gpu_rfft(np.zeros((2, 17), np.float32))


@needs_gpu
@pytest.mark.parametrize("n", [64, 96, 1000, 2560, 6144, 6160, 8192,  # shared-memory and multi-pass kernels
                               17, 1031, 4099, 6145])  # Bluestein
@pytest.mark.parametrize("dtype", [np.complex64, np.complex128])
def test_cfft_forward_and_inverse_match_numpy(rng, n, dtype):
    x = complex_signal(rng, (3, n), dtype)
    forward, inverse = _native._gpu_cfft(x), _native._gpu_cfft(x, inverse=True)
    assert forward.dtype == inverse.dtype == dtype and forward.shape == inverse.shape == x.shape
    x64 = x.astype(np.complex128)
    assert rel_l2(forward, np.fft.fft(x64)) < TOL[dtype]
    assert rel_l2(inverse, np.fft.ifft(x64) * n) < TOL[dtype]  # unnormalised
    assert rel_l2(_native._gpu_cfft(forward, inverse=True), n * x64) < 4 * TOL[dtype]


@needs_gpu
def test_cfft_batches_and_conversions(rng):
    for x in (complex_signal(rng, (70000, 17)),  # Bluestein over more rows than one grid dimension holds
              complex_signal(rng, (4096, 1024)),  # shared-memory kernel, staged in several pinned chunks
              complex_signal(rng, (300, 8192)),  # multi-pass kernels
              complex_signal(rng, (96, 5)).T,  # not C-contiguous
              rng.standard_normal((2, 64)).astype(np.float32),  # real input is converted
              np.zeros((0, 64), np.complex64)):
        assert rel_l2(_native._gpu_cfft(x), np.fft.fft(x.astype(np.complex128))) < TOL[np.complex64]


@needs_gpu
def test_plans_follow_length_and_precision_changes_and_threads(rng):
    signals = {n: complex_signal(rng, (4, n)) for n in (512, 1024, 17)}
    want = {n: np.fft.fft(x.astype(np.complex128)) for n, x in signals.items()}
    for n in (512, 1024, 512, 1024, 17, 512):
        assert rel_l2(_native._gpu_cfft(signals[n]), want[n]) < TOL[np.complex64]
    assert rel_l2(_native._gpu_cfft(signals[512].astype(np.complex128)), want[512]) < TOL[np.complex128]
    assert rel_l2(_native._gpu_cfft(signals[512]), want[512]) < TOL[np.complex64]
    with ThreadPoolExecutor(3) as pool:  # concurrent calls on different plans
        worst = pool.map(lambda n: max(rel_l2(_native._gpu_cfft(signals[n]), want[n]) for _ in range(20)), want)
        assert max(worst) < TOL[np.complex64]
