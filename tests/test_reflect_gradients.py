"""Gradients through reflect padding of any length: with centred frames the
padding (n_fft // 2) reaches past signals this short, which are then mirrored
several times (a one-sample signal fills every frame).  Every engine that
folds frame gradients back onto the signal must count each mirror image."""

import numpy as np
import pytest
from feature_reference import check_gradient

import qorva

HOP = 4


def lengths(n_fft):
    half = n_fft // 2
    return [1, 2, 3, half - 1, half, half + 1, 3 * n_fft]


CASES = [(n_fft, L) for n_fft in (16, 15) for L in lengths(n_fft)]
IDS = [f"n{n}-L{L}" for n, L in CASES]


def window(n_fft):
    # Random positive weights: a Hann window would leave exact spectral zeros
    # in the frames of a constant (one-sample) signal, where |X| has no derivative.
    return np.random.default_rng(n_fft).uniform(0.5, 1.5, n_fft)


def signal(n_fft, L):
    return np.random.default_rng(100 * n_fft + L).standard_normal((2, L))


def stft_engine(n_fft):
    return qorva.StftEngine(n_fft, HOP, n_fft, window(n_fft), True, "reflect")


@pytest.mark.parametrize("output", ["complex", "magnitude", "power", "db"])
@pytest.mark.parametrize("n_fft, L", CASES, ids=IDS)
def test_stft_gradient(n_fft, L, output):
    check_gradient("stft", stft_engine(n_fft), signal(n_fft, L), output)


@pytest.mark.parametrize("n_fft, L", CASES, ids=IDS)
def test_complex_stft_adjoint(n_fft, L):
    eng = stft_engine(n_fft)
    x = signal(n_fft, L)
    Z = eng.forward(x, "complex")
    rng = np.random.default_rng(L)
    R = rng.standard_normal(Z.shape) + 1j * rng.standard_normal(Z.shape)
    lhs = float(np.real(np.vdot(R, Z)))
    rhs = float(np.sum(x * eng.backward(R, x, "complex")))
    assert abs(lhs - rhs) <= 1e-12 * max(abs(lhs), 1.0)


@pytest.mark.parametrize("output", ["power", "db"])
@pytest.mark.parametrize("n_fft, L", CASES, ids=IDS)
def test_mel_gradient(n_fft, L, output):
    eng = qorva.MelEngine(8000.0, n_fft, HOP, n_fft, window(n_fft), True, "reflect", 4, 0.0, 4000.0,
                          "slaney", "slaney")
    check_gradient("mel", eng, signal(n_fft, L), output)


@pytest.mark.parametrize("n_fft, L", CASES, ids=IDS)
def test_feature_gradients(n_fft, L):
    x = signal(n_fft, L)
    moments = qorva.SpectralMomentsEngine(8000.0, n_fft, HOP, n_fft, window(n_fft), True, "reflect",
                                          ["centroid", "flatness"])
    flux = qorva.SpectralFluxEngine(n_fft, HOP, n_fft, window(n_fft), True, "reflect")
    for name, eng in (("moments", moments), ("flux", flux)):
        check_gradient(name, eng, x, tol=1e-5)
