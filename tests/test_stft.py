"""StftEngine against a NumPy reference written from the formulas, and its
backward pass against float64 finite differences."""

import numpy as np
import pytest
from conftest import OUTPUTS, rel_l2
from feature_reference import check_gradient
from framing_reference import stft as ref_stft

import qorva

# (n_fft, hop, win_length, window, center, pad_mode, batch, length); every window name appears once
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


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("geometry", GEOMETRIES, ids=lambda g: f"{g[0]}-{g[3]}-{g[5]}-c{int(g[4])}-L{g[7]}")
def test_forward_matches_reference(geometry, dtype):
    n_fft, hop, win_length, win, center, pad_mode, B, L = geometry
    if win == "custom":
        win = np.random.default_rng(win_length).uniform(0.1, 1.0, win_length)
    eng = qorva.StftEngine(n_fft, hop, win_length, win, center, pad_mode)
    x = np.random.default_rng(L).standard_normal((B, L)).astype(dtype)
    K, F = n_fft // 2 + 1, eng.n_frames(L)
    for output in OUTPUTS["stft"]:
        got = eng.forward(x, output)
        want = ref_stft(x, n_fft, hop, win, win_length, center, pad_mode, output)
        assert got.shape == (B, K, F)
        if output == "complex":  # frame-major memory: all bins of a frame are adjacent
            assert got.dtype == np.result_type(dtype, np.complex64)
            assert got.strides[1:] == (got.itemsize, K * got.itemsize)
        else:
            assert got.dtype == dtype and got.flags.c_contiguous
        if output == "db":  # decibels magnify the rounding of tiny powers; compare as powers
            got, want = 10.0 ** (got / 10.0), 10.0 ** (want / 10.0)
        assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12), output


# F = 8, 28 and 1026 frames; the last output (8.4 MB) is large enough to be streamed.
@pytest.mark.parametrize("B, L", [(3, 2000), (2, 7000), (4, 262_500)])
def test_real_outputs_store_the_complex_spectrum_bin_major(B, L, restore_threads):
    # The complex output is written frame by frame, the real ones bin-major in
    # whole lines where a task's frames cover them and in pieces where a
    # task's frames start or end.  One transform feeds both, so the power is
    # |Z|^2 of the complex output to the bit, however the frames are split.
    eng = qorva.StftEngine(1024, 256, 1024, "hann", True, "reflect")
    x = np.random.default_rng(B).standard_normal((B, L)).astype(np.float32)
    Z = eng.forward(x, "complex")
    want = Z.real * Z.real + Z.imag * Z.imag
    results = []  # kept, so that each output reuses the block just left with other values
    for threads in (1, 2, 3):
        qorva.set_num_threads(threads)
        eng.forward(x + 1, "power")
        results.append(eng.forward(x, "power"))
        np.testing.assert_array_equal(results[-1], want)


@pytest.mark.parametrize("output", OUTPUTS["stft"])
@pytest.mark.parametrize("n_fft, hop, center, pad_mode, L", [
    (64, 16, True, "reflect", 300), (64, 16, True, "constant", 300), (63, 20, False, "reflect", 200),
    (48, 7, True, "reflect", 100)])
def test_backward_matches_finite_differences(output, n_fft, hop, center, pad_mode, L):
    eng = qorva.StftEngine(n_fft, hop, n_fft - 4, "hann", center, pad_mode)
    x = np.random.default_rng(n_fft + L).standard_normal((2, L))
    x[1, :120] = 0.0  # silent frames, where the magnitude and db guards fire
    # The db gradient scales with 1/power, which magnifies float32 rounding of small powers.
    check_gradient("stft", eng, x, output, tol=1e-5, f32_tol=1e-3 if output == "db" else 1e-4)


# The backward pass overlap-adds frames in fixed chunks of frames, the chunks
# in parallel; these rows span many chunks, with frames that overlap, touch,
# and leave gaps, mirrored at both ends or not.
@pytest.mark.parametrize("n_fft, hop, center, pad_mode", [
    (64, 16, True, "reflect"), (33, 40, False, "constant"), (32, 32, True, "reflect"), (50, 7, True, "constant")])
def test_backward_over_many_chunks(n_fft, hop, center, pad_mode, restore_threads):
    eng = qorva.StftEngine(n_fft, hop, n_fft, "hann", center, pad_mode)
    x = np.random.default_rng(hop).standard_normal((2, 150 * hop + 11))
    assert eng.n_frames(x.shape[1]) > 100
    check_gradient("stft", eng, x, "magnitude", tol=1e-5)
    Z = eng.forward(x, "complex")
    R = np.random.default_rng(1).standard_normal(Z.shape) + 1j * np.random.default_rng(2).standard_normal(Z.shape)
    grads = []
    for threads in (1, 2, 3):
        qorva.set_num_threads(threads)
        grads.append(eng.backward(R, x, "complex"))
    assert abs(np.real(np.vdot(R, Z)) - np.sum(x * grads[0])) <= 1e-11 * np.abs(Z).sum()
    # The chunks, and so every sum's order, do not depend on the thread count.
    assert all(np.array_equal(g, grads[0]) for g in grads[1:])


# Gradients arrive as views more often than not: broadcast from a sum, transposed from a (frames, bins)
# layout, reversed or stepped.  Each must give what its contiguous copy gives.
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.complex64, np.complex128])
def test_backward_takes_gradient_views(dtype, restore_threads):
    eng = qorva.StftEngine(256, 64, 256, "hann", True, "reflect")
    x = np.random.default_rng(0).standard_normal((3, 5000)).astype(np.finfo(dtype).dtype)
    output = "complex" if np.issubdtype(dtype, np.complexfloating) else "magnitude"
    shape = eng.forward(x, output).shape  # (3, 129, 79): several 32-square tiles, a partial one at each edge
    rng = np.random.default_rng(1)
    g = rng.standard_normal(shape[::-1]) + 1j * rng.standard_normal(shape[::-1])
    g = (g if output == "complex" else g.real).astype(dtype)
    views = {"transposed": lambda g: g.T,
             "batch-transposed": lambda g: np.ascontiguousarray(g.T.transpose(0, 2, 1)).transpose(0, 2, 1),
             "broadcast": lambda g: np.broadcast_to(g[:1, :1, :1].T, shape),
             "row broadcast": lambda g: np.broadcast_to(g.T[:, :1], shape),
             "reversed": lambda g: np.flip(np.ascontiguousarray(g.T)),
             "stepped": lambda g: np.repeat(g.T, 2, axis=-1)[..., ::2]}
    for threads in (1, 3):
        qorva.set_num_threads(threads)
        for i, (name, make) in enumerate(views.items()):
            view = make(g + i)  # values of their own: a pooled block left by the view before must not pass
            assert not view.flags.c_contiguous
            want = eng.backward(np.ascontiguousarray(view), x, output)
            assert np.array_equal(eng.backward(view, x, output), want), name
