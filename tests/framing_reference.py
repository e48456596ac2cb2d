"""NumPy references for framed transforms, written from the formulas in float64."""

import numpy as np

WINDOW_COEFFS = {"hann": (0.5, 0.5), "hamming": (0.54, 0.46), "blackman": (0.42, 0.5, 0.08),
                 "blackmanharris": (0.35875, 0.48829, 0.14128, 0.01168),
                 "nuttall": (0.3635819, 0.4891775, 0.1365995, 0.0106411)}


def window(name_or_values, win_length, n_fft):
    """Periodic window (or the given values) centred in an n_fft frame."""
    i = np.arange(win_length, dtype=np.float64)
    if not isinstance(name_or_values, str):
        w = np.asarray(name_or_values, dtype=np.float64)
    elif name_or_values in WINDOW_COEFFS:
        c = WINDOW_COEFFS[name_or_values]
        w = sum((-1) ** m * c[m] * np.cos(2 * np.pi * m * i / win_length) for m in range(len(c)))
    else:
        w = 1 - np.abs(2 * i / win_length - 1) if name_or_values == "bartlett" else np.ones(win_length)
    full = np.zeros(n_fft)
    offset = (n_fft - win_length) // 2
    full[offset : offset + win_length] = w
    return full


def frames(x, n_fft, hop, center, pad_mode, w):
    """(B, F, n_fft) windowed frames of the rows of x; NumPy's pad reflects repeatedly."""
    if center:
        x = np.pad(x, ((0, 0), (n_fft // 2, n_fft - n_fft // 2)), mode=pad_mode)
    F = (x.shape[1] - n_fft) // hop + 1
    return x[:, np.arange(F)[:, None] * hop + np.arange(n_fft)] * w


def stft(x, n_fft, hop, win, win_length, center, pad_mode, output):
    """(B, K, F) spectrum of the given output kind."""
    w = window(win, win_length, n_fft)
    spec = np.fft.rfft(frames(np.asarray(x, np.float64), n_fft, hop, center, pad_mode, w), axis=-1)
    spec = spec.transpose(0, 2, 1)
    power = spec.real**2 + spec.imag**2
    return {"complex": spec, "magnitude": np.sqrt(power), "power": power,
            "db": 10 * np.log10(np.maximum(power, 1e-10))}[output]


def istft(Z, n_fft, hop, win, win_length, center, length):
    """Overlap-add of the windowed inverse frames, divided by the summed squared window."""
    w = window(win, win_length, n_fft)
    B, K, F = Z.shape
    pad = n_fft // 2 if center else 0
    Lf = hop * (F - 1) + n_fft
    y = np.zeros((B, Lf))
    env = np.zeros(Lf)
    frames_t = np.fft.irfft(Z.transpose(0, 2, 1), n=n_fft, axis=-1) * w
    for f in range(F):
        y[:, f * hop : f * hop + n_fft] += frames_t[:, f]
        env[f * hop : f * hop + n_fft] += w**2
    tiny = np.finfo(np.float64).tiny
    y = np.where(env > tiny, y / np.where(env > tiny, env, 1), y)
    out = np.zeros((B, length))
    M = max(0, min(Lf - pad, length))
    out[:, :M] = y[:, pad : pad + M]
    return out
