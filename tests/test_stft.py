"""StftEngine against a NumPy reference written from the formulas, its backward
pass against float64 finite differences and the adjoint identity, and its
handling of bad input."""

import threading

import numpy as np
import pytest
from conftest import rel_l2, without_gpu
from framing_reference import WINDOW_NAMES
from framing_reference import stft as ref_stft

import qorva

OUTPUTS = ("complex", "magnitude", "power", "db")
TOL = {np.float32: 1e-5, np.float64: 1e-12}

# (n_fft, hop, win_length, window, center, pad_mode, batch, length)
GEOMETRIES = [
    (512, 128, 512, "hann", True, "reflect", 3, 4000),
    (400, 160, 400, "hamming", True, "constant", 1, 3000),
    (1000, 250, 800, "blackman", False, "reflect", 2, 5001),
    (1025, 256, 1025, "nuttall", True, "reflect", 1, 3000),   # odd n_fft
    (64, 17, 48, "bartlett", True, "reflect", 3, 40),         # signal shorter than n_fft
    (64, 64, 64, "boxcar", False, "constant", 2, 64),         # exactly one frame
    (96, 30, 90, "blackmanharris", True, "constant", 1, 96),  # length equal to n_fft
    (32, 5, 20, "custom", True, "reflect", 2, 12),            # repeated reflection
]


def engine_and_window(n_fft, hop, win_length, win, center, pad_mode):
    if win == "custom":
        win = np.random.default_rng(win_length).uniform(0.1, 1.0, win_length)
    return qorva.StftEngine(n_fft, hop, win_length, win, center, pad_mode), win


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("geometry", GEOMETRIES, ids=lambda g: f"{g[0]}-{g[1]}-{g[3]}-{g[5]}-c{int(g[4])}-L{g[7]}")
def test_forward_matches_reference(geometry, dtype):
    n_fft, hop, win_length, win, center, pad_mode, B, L = geometry
    eng, win = engine_and_window(n_fft, hop, win_length, win, center, pad_mode)
    x = np.random.default_rng(L).standard_normal((B, L)).astype(dtype)
    F = eng.n_frames(L)
    for output in OUTPUTS:
        got = eng.forward(x, output)
        want = ref_stft(x, n_fft, hop, win, win_length, center, pad_mode, output)
        assert got.shape == (B, n_fft // 2 + 1, F)
        cdtype = np.complex64 if dtype == np.float32 else np.complex128
        assert got.dtype == (cdtype if output == "complex" else dtype)
        if output == "db":
            # Decibels magnify the rounding of tiny powers; compare as powers.
            got, want = 10.0 ** (got / 10.0), 10.0 ** (want / 10.0)
        assert rel_l2(got, want) < TOL[dtype], output


def test_layouts_and_named_windows():
    x = np.random.default_rng(0).standard_normal((2, 3000)).astype(np.float32)
    eng = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
    Z = eng.forward(x, "complex")
    B, K, F = Z.shape
    # Frame-major memory seen as (B, K, F): all bins of a frame are adjacent.
    assert Z.strides == (K * F * 8, 8, K * 8)
    assert eng.forward(x, "magnitude").flags.c_contiguous
    for name in WINDOW_NAMES:
        got = qorva.StftEngine(256, 64, 200, name, True, "reflect").forward(x, "power")
        assert rel_l2(got, ref_stft(x, 256, 64, name, 200, True, "reflect", "power")) < 1e-5, name


def test_guards_silence_and_nan():
    eng = qorva.StftEngine(64, 16, 64, "hann", True, "constant")
    x = np.zeros((1, 256), np.float32)
    x[0, 200] = np.nan
    db = eng.forward(x, "db")
    assert np.all(db[:, :, 0] == np.float32(-100.0))  # silence: the 1e-10 floor
    assert np.all(np.isnan(eng.forward(x, "power")[:, :, -3]))
    assert np.all(db[:, :, -3] == np.float32(-100.0))  # a NaN power takes the floor too
    x[0, 200] = np.inf
    assert np.isinf(eng.forward(x, "magnitude")[0, 0, -3])
    grad = eng.backward(np.ones_like(db), np.zeros((1, 256), np.float32), "db")
    assert np.all(grad == 0)  # silent frames pass no gradient through the floor
    grad = eng.backward(np.ones((1, 33, 17), np.float32), np.zeros((1, 256), np.float32), "magnitude")
    assert np.all(grad == 0)  # and no division by a zero magnitude


def directional_check(eng, x, output, rng, directions=3):
    """Compare backward with central differences of <R, forward(x)> along random directions."""
    out = eng.forward(x, output)
    R = rng.standard_normal(out.shape)
    if output == "complex":
        R = R + 1j * rng.standard_normal(out.shape)

    def loss(v):
        y = eng.forward(v, output)
        return float(np.sum(R.real * y.real) + (np.sum(R.imag * y.imag) if output == "complex" else 0.0))

    grad = eng.backward(R, x, output)
    assert grad.shape == x.shape and grad.dtype == np.float64
    eps = 1e-6
    worst = 0.0
    for _ in range(directions):
        d = rng.standard_normal(x.shape)
        fd = (loss(x + eps * d) - loss(x - eps * d)) / (2 * eps)
        an = float(np.sum(grad * d))
        worst = max(worst, abs(fd - an) / max(abs(fd), 1e-3))
    return worst, grad


@pytest.mark.parametrize("output", OUTPUTS)
@pytest.mark.parametrize(
    "n_fft, hop, center, pad_mode, L",
    [(64, 16, True, "reflect", 300), (64, 16, True, "constant", 300), (63, 20, False, "reflect", 200),
     (48, 7, True, "reflect", 100)],
)
def test_backward_matches_finite_differences(output, n_fft, hop, center, pad_mode, L):
    rng = np.random.default_rng(n_fft + L)
    eng = qorva.StftEngine(n_fft, hop, n_fft - 4, "hann", center, pad_mode)
    x = rng.standard_normal((2, L))
    x[1, :120] = 0.0  # silent frames, where the magnitude and db guards fire
    worst, _ = directional_check(eng, x, output, rng)
    assert worst < 1e-5


@pytest.mark.parametrize("n_fft, pad_mode", [(256, "reflect"), (255, "constant"), (100, "reflect")])
def test_complex_backward_is_the_adjoint(n_fft, pad_mode):
    rng = np.random.default_rng(n_fft)
    eng = qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", True, pad_mode)
    x = rng.standard_normal((3, 1500))
    Z = eng.forward(x, "complex")
    R = rng.standard_normal(Z.shape) + 1j * rng.standard_normal(Z.shape)
    lhs = float(np.sum(x * eng.backward(R, x, "complex")))
    rhs = float(np.real(np.vdot(R, Z)))
    assert abs(lhs - rhs) < 1e-10 * abs(rhs)
    # Only the signal's shape matters for the complex backward.
    np.testing.assert_array_equal(eng.backward(R, np.zeros_like(x), "complex"), eng.backward(R, x, "complex"))
    # Any strides of the gradient give the same result as frame-major memory.
    strided = np.ascontiguousarray(R.transpose(0, 2, 1)).transpose(0, 2, 1)
    np.testing.assert_array_equal(eng.backward(strided, x, "complex"), eng.backward(R, x, "complex"))


@pytest.mark.parametrize("output", OUTPUTS)
def test_float32_backward_tracks_float64(output):
    rng = np.random.default_rng(11)
    eng = qorva.StftEngine(256, 64, 256, "hann", True, "reflect")
    x = rng.standard_normal((2, 2000))
    out = eng.forward(x, output)
    g = rng.standard_normal(out.shape) + (1j * rng.standard_normal(out.shape) if output == "complex" else 0)
    g64 = eng.backward(g, x, output)
    g32 = eng.backward(g.astype(np.complex64 if output == "complex" else np.float32), x.astype(np.float32), output)
    assert g32.dtype == np.float32
    # The db gradient scales with 1/power, which magnifies float32 rounding of small powers.
    assert rel_l2(g32, g64) < (1e-3 if output == "db" else 1e-4)


def test_float64_signal_with_float32_gradient_runs_in_double():
    eng = qorva.StftEngine(128, 32, 128, "hann", True, "reflect")
    x = np.random.default_rng(2).standard_normal((1, 700))
    g = np.ones(eng.forward(x, "power").shape, np.float32)
    assert eng.backward(g, x, "power").dtype == np.float64


def test_shared_engine_across_threads_and_thread_counts(restore_threads):
    rng = np.random.default_rng(4)
    eng = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
    inputs = [rng.standard_normal((2, 3000 + 97 * i)).astype(np.float32 if i % 2 else np.float64) for i in range(8)]
    serial = [(eng.forward(x, "magnitude"), eng.backward(np.ones(eng.forward(x, "magnitude").shape), x, "magnitude"))
              for x in inputs]
    results = [None] * 8

    def work(i):
        x = inputs[i]
        out = []
        for _ in range(5):
            m = eng.forward(x, "magnitude")
            out.append((m, eng.backward(np.ones(m.shape), x, "magnitude")))
        results[i] = out

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(8):
        for m, g in results[i]:
            np.testing.assert_array_equal(m, serial[i][0])
            np.testing.assert_array_equal(g, serial[i][1])
    x = inputs[1]
    qorva.set_num_threads(1)
    one = eng.forward(x, "complex"), eng.backward(np.ones((2, 257, eng.n_frames(x.shape[1]))), x, "db")
    qorva.set_num_threads(2)
    two = eng.forward(x, "complex"), eng.backward(np.ones((2, 257, eng.n_frames(x.shape[1]))), x, "db")
    np.testing.assert_array_equal(one[0], two[0])
    np.testing.assert_array_equal(one[1], two[1])


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e, x: e.forward(x, "Power"), ValueError,
         "output must be one of ('complex', 'magnitude', 'power', 'db'); got 'Power'"),
        pytest.param(lambda e, x: e.forward(x, "power", backend="cuda"), RuntimeError,
                     "cuda backend does not support these parameters", marks=without_gpu),
        pytest.param(lambda e, x: e.forward(x, "nope", backend="cuda"), RuntimeError,
                     "cuda backend does not support these parameters", marks=without_gpu),
        pytest.param(lambda e, x: e.forward(x.astype(np.float64), "power", backend="gpu"), RuntimeError,
                     "gpu backend does not support these parameters", marks=without_gpu),
        (lambda e, x: e.backward(np.ones((1, 33, 5)), x.astype(np.float64), "power", backend="cuda"), RuntimeError,
         "float64 input runs on the CPU only; cast to float32 for cuda"),
        (lambda e, x: e.forward(x.astype(np.float16), "power"), TypeError, "float16 input is not supported; cast to float32"),
        (lambda e, x: e.forward(x[0], "power"), ValueError, "expected a 2-D (batch, samples) array"),
        (lambda e, x: e.forward(x[:, :10], "power"), ValueError, "input of 10 samples is shorter than n_fft with center=False"),
        (lambda e, x: e.backward(np.ones((1, 33, 6), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.backward(np.ones((33, 5), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.backward(np.ones((1, 32, 5), np.complex64), x, "complex"), ValueError,
         "expected 33 frequency bins, got 32"),
        (lambda e, x: e.backward(np.ones((33, 5), np.complex64), x, "complex"), ValueError,
         "expected a 3-D (batch, bins, frames) array"),
        (lambda e, x: e.backward(np.ones((2, 33, 5), np.complex64), x, "complex"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.forward("signal", "power"), TypeError, "expected a numeric array; got '<U6'"),
        pytest.param(lambda e, x: e.forward_dlpack(None, "power", 0), RuntimeError,
                     "no resident GPU path for these parameters", marks=without_gpu),
        pytest.param(lambda e, x: e.backward_dlpack(None, None, "power", 0), RuntimeError,
                     "no resident GPU path for these parameters", marks=without_gpu),
        pytest.param(lambda e, x: e.forward_dlpack_f64(None, "power"), RuntimeError,
                     "no resident f64 GPU path for these parameters", marks=without_gpu),
    ],
)
def test_bad_calls_raise_and_leave_the_engine_usable(call, exc, message):
    eng = qorva.StftEngine(64, 16, 64, "hann", False, "reflect")
    x = np.random.default_rng(0).standard_normal((1, 128)).astype(np.float32)
    with pytest.raises(exc) as info:
        call(eng, x)
    assert str(info.value) == message
    assert eng.forward(x, "power").shape == (1, 33, 5)


@pytest.mark.parametrize(
    "args, message",
    [
        ((512, 128, 600, "hann", True, "reflect"), "win_length must be in [1, n_fft], got 600"),
        ((512, 0, 512, "hann", True, "reflect"), "hop_length must be positive, got 0"),
        ((512, 128, 512, "Hann", True, "reflect"),
         "window must be one of ('hann', 'hamming', 'blackman', 'blackmanharris', 'nuttall', 'bartlett', 'boxcar') "
         "or a float array; got 'Hann'"),
        ((512, 128, 4, np.ones((2, 2)), True, "reflect"), "window must be a name or a 1-D float array"),
        ((512, 128, 4, np.ones(3), True, "reflect"), "window array must have win_length (4) samples, got 3"),
        ((512, 128, 512, "hann", True, "edge"), "pad_mode must be 'constant' or 'reflect'; got 'edge'"),
        ((0, 1, 1, "hann", True, "reflect"), "win_length must be in [1, n_fft], got 1"),
    ],
)
def test_constructor_errors(args, message):
    with pytest.raises(ValueError) as info:
        qorva.StftEngine(*args)
    assert str(info.value) == message


def test_degenerate_shapes():
    eng = qorva.StftEngine(64, 16, 64, "hann", True, "reflect")
    empty = eng.forward(np.zeros((0, 100), np.float32), "complex")
    assert empty.shape == (0, 33, 7)
    assert eng.backward(np.zeros((0, 33, 7), np.float32), np.zeros((0, 100), np.float32), "power").shape == (0, 100)
    for pad_mode in ("reflect", "constant"):
        e = qorva.StftEngine(64, 16, 64, "hann", True, pad_mode)
        out = e.forward(np.zeros((2, 0), np.float32), "db")
        assert out.shape == (2, 33, 1) and np.all(out == np.float32(-100.0))
        assert e.backward(np.ones((2, 33, 1), np.float32), np.zeros((2, 0), np.float32), "power").shape == (2, 0)
    assert not any(getattr(eng, f)() for f in (
        "gpu_supported", "gpu_resident_supported", "gpu_resident_f16_supported",
        "gpu_staged_f16_supported", "gpu_staged_f64_supported", "gpu_resident_f64_supported"))
