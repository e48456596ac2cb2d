"""NumPy references for the mel filterbank and the frame features in float64, and
the finite-difference check every backward pass is held to."""

import numpy as np
from conftest import backward, forward, rel_l2
from framing_reference import frames as ref_frames
from framing_reference import stft as ref_stft
from framing_reference import window as ref_window

MOMENT_FEATURES = ("centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest",
                   "entropy")
F_SP, MIN_LOG_MEL, LOGSTEP = 200.0 / 3, 14.999999999999998, 0.06875177742094912  # the slaney scale, exactly


def hz_to_mel(hz, scale):
    if scale == "htk":
        return 2595.0 * np.log10(1.0 + hz / 700.0)
    hz = np.asarray(hz, dtype=np.float64)
    return np.where(hz >= 1000, MIN_LOG_MEL + np.log(np.maximum(hz, 1e-300) / 1000) / LOGSTEP, hz / F_SP)


def mel_to_hz(mel, scale):
    if scale == "htk":
        return 700.0 * (10.0 ** (mel / 2595.0) - 1.0)
    return np.where(mel >= MIN_LOG_MEL, 1000 * np.exp(LOGSTEP * (mel - MIN_LOG_MEL)), F_SP * mel)


def filterbank(sr, n_fft, n_mels, fmin, fmax, scale, norm):
    edges = mel_to_hz(np.linspace(hz_to_mel(fmin, scale), hz_to_mel(fmax, scale), n_mels + 2), scale)
    freqs = np.arange(n_fft // 2 + 1) * sr / n_fft
    lo, c, hi = edges[:-2, None], edges[1:-1, None], edges[2:, None]
    fb = np.maximum(0, np.minimum((freqs - lo) / (c - lo), (hi - freqs) / (hi - c)))
    return fb * (2.0 / (hi - lo)) if norm == "slaney" else fb


def mel(x, sr, n_fft, hop, win_length, win, center, pad_mode, n_mels, fmin, fmax, scale, norm, output):
    """(B, M, F): filterbank @ |rfft(frames)|^p, in dB for output 'db'."""
    w = ref_window(win, win_length, n_fft)
    spec = np.fft.rfft(ref_frames(np.asarray(x, np.float64), n_fft, hop, center, pad_mode, w), axis=-1)
    S = np.abs(spec) if output == "magnitude" else np.abs(spec) ** 2
    M = np.einsum("mk,bfk->bmf", filterbank(sr, n_fft, n_mels, fmin, fmax, scale, norm), S)
    return 10 * np.log10(np.maximum(M, 1e-10)) if output == "db" else M


def rms(x, frame_length, hop, center, pad_mode):
    fr = ref_frames(np.asarray(x, np.float64), frame_length, hop, center, pad_mode, np.ones(frame_length))
    return np.sqrt(np.mean(fr**2, axis=-1))[:, None, :]


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
    m2, m3, m4 = ((q * (f - mu[..., None]) ** p).sum(-1) for p in (2, 3, 4))
    sigma = np.sqrt(np.maximum(m2, 0))
    p = np.maximum(a**2, 1e-10)
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
            "slope": (fc * (a - a.mean(-1, keepdims=True))).sum(-1) / (fc**2).sum(),  # least squares
            "decrease": np.where(dec_den > 1e-12,
                                 ((a[..., 1:] - a[..., :1]) / np.arange(1, K)).sum(-1) / dec_den, 0.0),
            "crest": np.where(live, a.max(-1) / a.mean(-1), 0.0),
            "entropy": -(p / P[..., None] * np.log(p / P[..., None])).sum(-1) / np.log(K),
        }
    return np.stack([values[name] for name in features], axis=1)


def flux(x, n_fft, hop, win_length, win, center, pad_mode):
    a = np.abs(ref_stft(x, n_fft, hop, win, win_length, center, pad_mode, "complex"))  # (B, K, F)
    out = np.zeros((a.shape[0], 1, a.shape[-1]))
    out[:, 0, 1:] = np.sqrt((np.maximum(np.diff(a, axis=-1), 0.0) ** 2).sum(1))
    return out


def onset(mel_power):
    """(B, 1, F): mean rectified rise of the dB mel spectrogram."""
    D = 10 * np.log10(np.maximum(mel_power, 1e-10))
    out = np.zeros((D.shape[0], 1, D.shape[-1]))
    out[:, 0, 1:] = np.maximum(np.diff(D, axis=-1), 0.0).mean(1)
    return out


def tempogram(env, W):
    """(B, W, F): lag-0-normalised autocorrelation of Hann-windowed stretches of the envelope."""
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


def check_gradient(name, engine, x, output=None, mask=None, tol=1e-6, f32_tol=None):
    """Backward against central differences of Re<R, forward> along random directions
    (zero where mask is 0: features jump at silence), and float32 against float64."""
    rng = np.random.default_rng(0)
    y = forward(name, engine, x, output)
    R = rng.standard_normal(y.shape) + (1j * rng.standard_normal(y.shape) if np.iscomplexobj(y) else 0.0)
    grad = backward(name, engine, R, x, output)
    assert grad.shape == x.shape and grad.dtype == np.float64
    eps = 1e-6
    for _ in range(3):
        d = eps * rng.standard_normal(x.shape) * (1.0 if mask is None else mask)
        diff = forward(name, engine, x + d, output) - forward(name, engine, x - d, output)
        fd, analytic = float(np.real(np.vdot(R, diff))) / (2 * eps), float(np.sum(grad * d)) / eps
        assert abs(fd - analytic) <= tol * max(abs(fd), abs(analytic), 1.0), (fd, analytic)
    if f32_tol is not None:
        g32 = backward(name, engine, R.astype(np.complex64 if np.iscomplexobj(R) else np.float32),
                       x.astype(np.float32), output)
        assert g32.dtype == np.float32 and rel_l2(g32, grad) < f32_tol
    return grad
