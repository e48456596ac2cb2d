"""The GPU FFT module functions and device queries.

Argument checks and the answers of a machine without a usable GPU run
everywhere; the transforms themselves run only where qorva.gpu_available()."""

import threading

import numpy as np
import pytest
from conftest import rel_l2

import qorva
from qorva import _native

HAS_GPU = qorva.gpu_available()
needs_gpu = pytest.mark.skipif(not HAS_GPU, reason="no usable CUDA GPU")
without_gpu = pytest.mark.skipif(HAS_GPU, reason="answers of a machine without a usable GPU")

UNAVAILABLE = "GPU FFT unavailable for this build/size"


def complex_signal(rng, shape, dtype=np.complex64):
    return (rng.standard_normal(shape) + 1j * rng.standard_normal(shape)).astype(dtype)


# --- everywhere -------------------------------------------------------------------------


def test_registration_order_and_public_names():
    expected = [
        "_rfft", "_irfft", "_cfft", "_gpu_cfft", "_gpu_rfft", "_gpu_fft_available",
        "_fft_backends", "_fft_backend_for", "get_num_threads",
        "gpu_available", "gpu_backend", "gpu_device_name", "_fftw_version",
    ]
    registered = [name for name in vars(_native) if not name.startswith("__")]
    assert [name for name in registered if name in expected] == expected
    public = {"gpu_available", "gpu_backend", "gpu_device_name"}
    assert public <= set(qorva.__all__)
    assert not {"_gpu_cfft", "_gpu_rfft", "_gpu_fft_available"} & set(qorva.__all__)


def test_device_queries_agree():
    if HAS_GPU:
        assert qorva.gpu_backend() == "cuda"
        assert qorva.gpu_device_name() != ""
    else:
        assert qorva.gpu_backend() == "none"
        assert qorva.gpu_device_name() == ""


@pytest.mark.parametrize(
    "call, exc, message",
    [
        # float64 is refused before anything else, GPU or not.
        (lambda: _native._gpu_rfft(np.zeros((3, 512))), TypeError,
         "GPU FFT is float32-only; float64 runs on the CPU (_rfft)"),
        (lambda: _native._gpu_rfft(np.zeros((), np.float32)), ValueError, "gpu_rfft requires >= 1 dimension"),
        (lambda: _native._gpu_cfft(np.complex64(1)), ValueError, "gpu_cfft requires >= 1 dimension"),
        (lambda: _native._gpu_cfft(np.complex128(1), inverse=True), ValueError,
         "gpu_cfft requires >= 1 dimension"),
        # No transform of length 0 exists on any machine.
        (lambda: _native._gpu_rfft(np.zeros((3, 0), np.float32)), RuntimeError, UNAVAILABLE),
        (lambda: _native._gpu_cfft(np.zeros((3, 0), np.complex64)), RuntimeError, UNAVAILABLE),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("n, supported", [(2, False), (3, False), (4, True), (17, True), (1024, True), (6145, True)])
def test_fft_available(n, supported):
    assert _native._gpu_fft_available(n) is (supported and HAS_GPU)


# --- without a GPU ----------------------------------------------------------------------


@without_gpu
@pytest.mark.parametrize(
    "call",
    [
        lambda: _native._gpu_rfft(np.zeros((3, 512), np.float32)),
        lambda: _native._gpu_rfft(np.zeros((0, 512), np.float32)),  # the plan is looked up even for no rows
        lambda: _native._gpu_cfft(np.zeros((3, 512), np.complex64)),
        lambda: _native._gpu_cfft(np.zeros(17, np.complex128), inverse=True),
    ],
)
def test_transforms_refused_without_gpu(call):
    with pytest.raises(RuntimeError, match=f"^{UNAVAILABLE}$"):
        call()


# --- on a GPU ---------------------------------------------------------------------------

SMOOTH = [64, 96, 1000, 2560, 6144, 6160, 8192]  # shared-memory and multi-pass kernels
BLUESTEIN = [17, 1031, 4099, 6145]


@needs_gpu
@pytest.mark.parametrize("shape", [(3, 512), (2, 3, 96), (8192,), (4, 1000)])
def test_rfft_matches_numpy(rng, shape):
    x = rng.standard_normal(shape).astype(np.float32)
    got = _native._gpu_rfft(x)
    assert got.dtype == np.complex64
    assert got.shape == shape[:-1] + (shape[-1] // 2 + 1,)
    assert rel_l2(got, np.fft.rfft(x.astype(np.float64))) < 1e-5


@needs_gpu
def test_rfft_edge_cases(rng):
    assert _native._gpu_rfft(np.zeros((0, 512), np.float32)).shape == (0, 257)
    # Real transforms of non-smooth lengths are not offered on the GPU.
    with pytest.raises(RuntimeError, match="complex-only"):
        _native._gpu_rfft(np.zeros((2, 17), np.float32))


@needs_gpu
@pytest.mark.parametrize("n", SMOOTH + BLUESTEIN)
@pytest.mark.parametrize("dtype, tol", [(np.complex64, 1e-5), (np.complex128, 1e-12)])
def test_cfft_forward_and_inverse_match_numpy(rng, n, dtype, tol):
    x = complex_signal(rng, (3, n), dtype)
    forward = _native._gpu_cfft(x)
    inverse = _native._gpu_cfft(x, inverse=True)
    assert forward.dtype == inverse.dtype == dtype
    assert forward.shape == inverse.shape == x.shape
    x64 = x.astype(np.complex128)
    assert rel_l2(forward, np.fft.fft(x64)) < tol
    assert rel_l2(inverse, np.fft.ifft(x64) * n) < tol
    # The inverse is unnormalised: inverse(forward(x)) = n x.
    assert rel_l2(_native._gpu_cfft(forward, inverse=True), n * x64) < 4 * tol


@needs_gpu
def test_cfft_converts_strided_and_real_input(rng):
    x = complex_signal(rng, (96, 5)).T  # not C-contiguous: rows of 96 after conversion
    assert rel_l2(_native._gpu_cfft(x), np.fft.fft(x.astype(np.complex128))) < 1e-5
    r = rng.standard_normal((2, 64)).astype(np.float32)
    assert rel_l2(_native._gpu_cfft(r), np.fft.fft(r.astype(np.float64))) < 1e-5
    assert _native._gpu_cfft(np.zeros((0, 64), np.complex64)).shape == (0, 64)


@needs_gpu
@pytest.mark.parametrize(
    "shape",
    [
        (70000, 17),   # Bluestein kernels over more rows than one grid dimension holds
        (4096, 1024),  # shared-memory kernel, staged in several pinned chunks
        (300, 8192),   # multi-pass kernels
    ],
)
def test_large_batches(rng, shape):
    x = complex_signal(rng, shape)
    assert rel_l2(_native._gpu_cfft(x), np.fft.fft(x.astype(np.complex128), axis=-1)) < 1e-5


@needs_gpu
def test_plans_follow_length_changes_and_threads(rng):
    signals = {n: complex_signal(rng, (4, n)) for n in (512, 1024, 17)}
    want = {n: np.fft.fft(x.astype(np.complex128)) for n, x in signals.items()}
    for n in (512, 1024, 512, 1024, 17, 512):
        assert rel_l2(_native._gpu_cfft(signals[n]), want[n]) < 1e-5
    # A precision change on the same length replaces the plan too.
    x128 = signals[512].astype(np.complex128)
    assert rel_l2(_native._gpu_cfft(x128), want[512]) < 1e-12
    assert rel_l2(_native._gpu_cfft(signals[512]), want[512]) < 1e-5

    errors = []

    def worker(n):
        try:
            for _ in range(20):
                if rel_l2(_native._gpu_cfft(signals[n]), want[n]) >= 1e-5:
                    errors.append(n)
        except Exception as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(n,)) for n in (512, 1024, 17)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
