"""NumPy references for framed transforms, written from the formulas: periodic
windows centred in the frame, centre padding, constant or repeated-reflection
padding, frame extraction, and overlap-add with squared-window normalisation."""

import numpy as np

WINDOW_NAMES = ("hann", "hamming", "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar")


def window(name_or_values, win_length, n_fft):
    if isinstance(name_or_values, str):
        i = np.arange(win_length, dtype=np.float64)
        x = 2 * np.pi * i / win_length
        coeffs = {
            "hann": (0.5, 0.5),
            "hamming": (0.54, 0.46),
            "blackman": (0.42, 0.5, 0.08),
            "blackmanharris": (0.35875, 0.48829, 0.14128, 0.01168),
            "nuttall": (0.3635819, 0.4891775, 0.1365995, 0.0106411),
        }
        if name_or_values == "bartlett":
            w = 1 - np.abs(2 * i / win_length - 1)
        elif name_or_values == "boxcar":
            w = np.ones(win_length)
        else:
            c = coeffs[name_or_values]
            w = sum((-1) ** m * c[m] * np.cos(m * x) for m in range(len(c)))
    else:
        w = np.asarray(name_or_values, dtype=np.float64)
    full = np.zeros(n_fft)
    offset = (n_fft - win_length) // 2
    full[offset : offset + win_length] = w
    return full


def n_frames(L, n_fft, hop, center):
    return (L if center else L - n_fft) // hop + 1


def source_index(t, L, pad_mode):
    """Sample read at unpadded position t, or -1 for a zero."""
    if 0 <= t < L:
        return t
    if pad_mode == "constant" or L == 0:
        return -1
    if L == 1:
        return 0
    period = 2 * L - 2
    r = t % period
    return period - r if r >= L else r


def frames(x, n_fft, hop, center, pad_mode, w):
    """(B, F, n_fft) windowed frames of the rows of x."""
    B, L = x.shape
    pad = n_fft // 2 if center else 0
    F = n_frames(L, n_fft, hop, center)
    out = np.zeros((B, F, n_fft))
    for f in range(F):
        for k in range(n_fft):
            src = source_index(f * hop - pad + k, L, pad_mode)
            if src >= 0:
                out[:, f, k] = x[:, src] * w[k]
    return out


def stft(x, n_fft, hop, win, win_length, center, pad_mode, output):
    w = window(win, win_length, n_fft)
    spec = np.fft.rfft(frames(np.asarray(x, np.float64), n_fft, hop, center, pad_mode, w), axis=-1)
    spec = spec.transpose(0, 2, 1)  # (B, K, F)
    power = spec.real**2 + spec.imag**2
    return {
        "complex": spec,
        "magnitude": np.sqrt(power),
        "power": power,
        "db": 10 * np.log10(np.maximum(power, 1e-10)),
    }[output]


def istft(Z, n_fft, hop, win, win_length, center, length):
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
