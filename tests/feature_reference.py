"""NumPy references for the frame features, written from their definitions in
float64, and the finite-difference check their backward passes are held to."""

import numpy as np
from framing_reference import frames as ref_frames
from framing_reference import stft as ref_stft
from framing_reference import window as ref_window

MOMENT_FEATURES = ("centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest",
                   "entropy")


def rms(x, frame_length, hop, center, pad_mode):
    fr = ref_frames(np.asarray(x, np.float64), frame_length, hop, center, pad_mode, np.ones(frame_length))
    return np.sqrt(np.mean(fr**2, axis=-1))[:, None, :]  # (B, 1, F)


def moments(x, sr, n_fft, hop, win_length, win, center, pad_mode, features):
    """(B, len(features), F): each statistic of the magnitude (or power) spectrum."""
    X = ref_stft(x, n_fft, hop, win, win_length, center, pad_mode, "complex").transpose(0, 2, 1)  # (B, F, K)
    a = np.abs(X)
    K = a.shape[-1]
    f = np.arange(K) * sr / n_fft
    S = a.sum(-1)
    live = S > 1e-12
    q = a / np.where(live, S, 1.0)[..., None]  # magnitude as a distribution over frequency
    mu = np.where(live, (q * f).sum(-1), 0.0)
    dev = f - mu[..., None]
    m2, m3, m4 = ((q * dev**p).sum(-1) for p in (2, 3, 4))
    sigma = np.sqrt(np.maximum(m2, 0))
    p = np.maximum(np.abs(X) ** 2, 1e-10)
    P = p.sum(-1)
    fc = f - f.mean()
    dec_den = S - a[..., 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        values = {
            "centroid": mu,
            "bandwidth": np.where(live, sigma, 0.0),
            "skewness": np.where(live & (sigma > 1e-6), m3 / sigma**3, 0.0),
            "kurtosis": np.where(live & (m2 > 1e-12), m4 / m2**2, 0.0),
            "flatness": np.exp(np.log(p).mean(-1)) / p.mean(-1),
            # least-squares slope of a against f
            "slope": (fc * (a - a.mean(-1, keepdims=True))).sum(-1) / (fc**2).sum(),
            "decrease": np.where(dec_den > 1e-12,
                                 ((a[..., 1:] - a[..., :1]) / np.arange(1, K)).sum(-1) / dec_den, 0.0),
            "crest": np.where(live, a.max(-1) / a.mean(-1), 0.0),
            "entropy": -(p / P[..., None] * np.log(p / P[..., None])).sum(-1) / np.log(K),
        }
    return np.stack([values[name] for name in features], axis=1)


def flux(x, n_fft, hop, win_length, win, center, pad_mode):
    a = np.abs(ref_stft(x, n_fft, hop, win, win_length, center, pad_mode, "complex"))  # (B, K, F)
    rise = np.maximum(np.diff(a, axis=-1), 0.0)
    out = np.zeros((a.shape[0], 1, a.shape[-1]))
    out[:, 0, 1:] = np.sqrt((rise**2).sum(1))
    return out


def onset(mel_power):
    """(B, 1, F) from a (B, M, F) mel power spectrogram."""
    D = 10 * np.log10(np.maximum(mel_power, 1e-10))
    out = np.zeros((D.shape[0], 1, D.shape[-1]))
    out[:, 0, 1:] = np.maximum(np.diff(D, axis=-1), 0.0).mean(1)
    return out


def tempogram(env, W):
    """(B, W, F) from a (B, F) envelope: lag-0-normalised autocorrelation of
    Hann-windowed stretches centred on each frame (zeros beyond the ends)."""
    B, F = env.shape
    w = ref_window("hann", W, W)
    padded = np.concatenate([np.zeros((B, W)), env, np.zeros((B, W))], axis=1)
    out = np.zeros((B, W, F))
    for t in range(F):
        seg = padded[:, W + t - W // 2: W + t - W // 2 + W] * w
        ac = np.stack([(seg[:, : W - lag] * seg[:, lag:]).sum(-1) for lag in range(W)], axis=1)
        live = ac[:, 0] > 0
        out[:, :, t] = np.where(live[:, None], ac / np.where(live, ac[:, 0], 1.0)[:, None], 0.0)
    return out


def check_gradient(engine, x, mask=None, directions=3, eps=1e-6, tol=1e-6, seed=0):
    """Compares backward with central differences of sum(R * forward) along
    random directions (zeroed where mask is 0, so that silent stretches stay
    silent: features jump there, and the guards define the gradient as 0).
    Returns the gradient and the weights R."""
    rng = np.random.default_rng(seed)
    R = rng.standard_normal(engine.forward(x, "").shape)
    grad = engine.backward(R, x, "")
    assert grad.shape == x.shape and grad.dtype == np.float64
    for _ in range(directions):
        d = rng.standard_normal(x.shape) * (1.0 if mask is None else mask)
        fd = (np.sum(R * engine.forward(x + eps * d, "")) - np.sum(R * engine.forward(x - eps * d, ""))) / (2 * eps)
        analytic = np.sum(grad * d)
        assert abs(fd - analytic) <= tol * max(abs(fd), abs(analytic), 1.0), (fd, analytic)
    return grad, R
