"""librosa-compatible onset detection: ``qorva.onset.onset_strength``."""

import numbers

import numpy as np

from ._common import power_to_db

__all__ = ["onset_strength"]


def _positive_int(name, value):
    if not isinstance(value, (numbers.Integral, np.integer)) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name}={value!r} must be a positive integer")
    return int(value)


def _max_filter(S, size):
    """scipy.ndimage.maximum_filter1d(S, size, axis=-2) with its default 'reflect' (half-sample) edges."""
    left = size // 2
    right = size - 1 - left
    pad = [(0, 0)] * S.ndim
    pad[-2] = (left, right)
    padded = np.pad(S, pad, mode="symmetric")
    return np.lib.stride_tricks.sliding_window_view(padded, size, axis=-2).max(axis=-1)


def _detrend(env):
    # librosa's lfilter([1, -1], [1, -0.99]): a leaky differentiator, run frame by frame over the batch.
    # float64 whatever the envelope's type, as scipy's lfilter returns with float64 coefficients.
    out = np.empty(env.shape, dtype=np.float64)
    prev_x = np.zeros(env.shape[:-1])
    prev_y = np.zeros_like(prev_x)
    for t in range(env.shape[-1]):
        x = env[..., t]
        prev_y = x - prev_x + 0.99 * prev_y
        out[..., t] = prev_y
        prev_x = x
    return out


def onset_strength(*, y=None, sr=22050, S=None, lag=1, max_size=1, ref=None, detrend=False, center=True,
                   feature=None, aggregate=None, n_fft=2048, hop_length=512, **kwargs):
    """Spectral flux onset strength envelope, as ``librosa.onset.onset_strength``.

    ``mean_f max(0, S[f, t] - ref[f, t - lag])`` over the log-power mel
    spectrogram ``S = power_to_db(melspectrogram(y, ...))`` (dB relative to
    1, floored at 1e-10, clipped 80 dB below the maximum of the whole array,
    all channels of a batch together, as in librosa).  The mel spectrogram
    comes from the mel engine.  When centred, ``lag + n_fft // (2 *
    hop_length)`` leading zeros align the envelope with the frames of
    ``S``, and it is cut to ``S``'s frame count.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64; leading axes are kept.
    sr : number > 0
        Sampling rate; default 22050.
    S : np.ndarray [shape=(..., d, m)] or None
        A precomputed (log-power) spectrogram to use instead of ``y``.
    lag : int > 0
        Time lag for the differences; default 1.
    max_size : int > 0
        Size of the maximum filter along frequency applied to the reference
        (vibrato suppression); default 1 (none).
    ref : np.ndarray [shape=(..., d, m)] or None
        Reference spectrum; None means ``S`` (after the maximum filter).
    detrend : bool
        Remove the DC component with librosa's leaky differentiator; default False.
    center : bool
        Align the envelope with centred frames (default True).
    feature : callable or None
        Spectrogram function called as ``feature(y=y, sr=sr, n_fft=n_fft,
        hop_length=hop_length, **kwargs)``; None means
        `qorva.feature.melspectrogram` with ``fmax = sr / 2``.
    aggregate : callable, False or None
        Aggregation over frequency, called with ``axis=-2``; None means
        ``np.mean``; False keeps the first band only.
    n_fft : int > 0
        Default 2048.
    hop_length : int > 0
        Default 512.
    **kwargs
        Passed to ``feature`` (e.g. ``n_mels``, ``fmin``); unknown ones raise
        ``TypeError`` there.

    Returns
    -------
    onset_envelope : np.ndarray [shape=(..., m)]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``; non-positive ``lag``/``max_size``; a
        ``ref`` whose shape differs from ``S``.
    """
    from .feature import melspectrogram

    if aggregate is None:
        aggregate = np.mean
    lag = _positive_int("lag", lag)
    max_size = _positive_int("max_size", max_size)
    if S is None:
        if y is None:
            raise ValueError("Either y or S must be provided")
        if feature is None:
            feature = melspectrogram
            kwargs.setdefault("fmax", 0.5 * sr)
        S = power_to_db(np.abs(feature(y=y, sr=sr, n_fft=n_fft, hop_length=hop_length, **kwargs)))
    elif kwargs:
        # With a precomputed S the feature arguments go nowhere; refuse them as
        # librosa's signature would only accept them for the feature call.
        raise TypeError(f"onset_strength got feature arguments {sorted(kwargs)} together with S")
    S = np.atleast_2d(np.asarray(S))
    if ref is None:
        ref = S if max_size == 1 else _max_filter(S, max_size)
    elif np.shape(ref) != S.shape:
        raise ValueError(f"Reference spectrum shape {np.shape(ref)} must match input spectrum {S.shape}")
    env = np.maximum(0.0, S[..., lag:] - np.asarray(ref)[..., :-lag])
    if callable(aggregate):
        env = aggregate(env, axis=-2)
    else:
        env = env[..., 0, :]
    pad_width = lag + (n_fft // (2 * hop_length) if center else 0)
    env = np.pad(env, [(0, 0)] * (env.ndim - 1) + [(int(pad_width), 0)])
    if detrend:
        env = _detrend(env)
    if center:
        env = env[..., :S.shape[-1]]
    return env
