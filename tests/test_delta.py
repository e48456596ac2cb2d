"""DeltaEngine against SciPy's Savitzky-Golay filter (what librosa.feature.delta runs) for both edge modes, and
its backward by the adjoint identity."""

import numpy as np
import pytest

import qorva

signal = pytest.importorskip("scipy.signal")


@pytest.mark.parametrize("width, order", [(9, 1), (5, 2), (7, 3), (3, 1)])
@pytest.mark.parametrize("mode", ["interp", "nearest"])
@pytest.mark.parametrize("shape", [(12,), (3, 20), (2, 3, 9)])
def test_matches_savgol_and_its_transpose(width, order, mode, shape):
    x = np.random.default_rng(width * order).standard_normal(shape)
    e = qorva.DeltaEngine(width, order, mode)
    want = signal.savgol_filter(x, width, order, deriv=order, axis=-1, mode=mode)
    got, got32 = e.forward(x), e.forward(x.astype(np.float32))
    assert got.shape == shape and got32.dtype == np.float32
    np.testing.assert_allclose(got, want, atol=1e-12 * np.abs(x).max() * 10 ** order)
    np.testing.assert_allclose(got32, want, rtol=1e-4, atol=1e-5 * 10 ** order)
    g = np.random.default_rng(1).standard_normal(shape)
    assert np.isclose(np.vdot(g, got), np.vdot(e.backward(g), x), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("call, exc, message", [
    (lambda: qorva.DeltaEngine(4), ValueError, "^width must be an odd integer >= 3, got 4$"),
    (lambda: qorva.DeltaEngine(5, 5), ValueError, r"^order must be between 1 and width - 1 \(4\), got 5$"),
    (lambda: qorva.DeltaEngine(mode="wrap"), ValueError, "^mode must be 'interp' or 'nearest'; got 'wrap'$"),
    (lambda: qorva.DeltaEngine(9).forward(np.ones((2, 8))), ValueError,
     r"^mode 'interp' needs at least width \(9\) frames, got 8$"),
    (lambda: qorva.DeltaEngine().forward(np.ones(20), backend="cuda"), (ValueError, RuntimeError), "cuda"),
])
def test_bad_arguments(call, exc, message):
    with pytest.raises(exc, match=message):
        call()
