"""librosa-compatible spectral transforms: stft, istft and cqt.

Each function takes librosa's arguments (names, keyword-only markers,
defaults) and returns librosa's shapes and dtypes, with the transform itself
computed by the compiled engines.  Inputs of shape (..., n) are run as one
(batch, n) call and reshaped back.
"""

import numpy as np

from ._common import (as_audio, batched, check_positive_int, engine, fft_frequencies, unbatch, unsupported,
                      window_spec)

__all__ = ["stft", "istft", "cqt"]

# librosa.note_to_hz("C1")
C1_HZ = 32.70319566257483
_ENGINE_PAD_MODES = ("constant", "reflect")


def _frame_params(n_fft, hop_length, win_length):
    n_fft = check_positive_int("n_fft", n_fft)
    win_length = n_fft if win_length is None else check_positive_int("win_length", win_length)
    if win_length > n_fft:
        raise ValueError(f"win_length={win_length} must be at most n_fft={n_fft}")
    hop_length = win_length // 4 if hop_length is None else check_positive_int("hop_length", hop_length)
    return n_fft, hop_length, win_length


def _prepad(y, n_fft, center, pad_mode):
    """Pad for centred frames in NumPy when the engines lack the pad mode.

    The engines pad 'constant' and 'reflect' themselves; any other np.pad
    mode librosa accepts is applied here and the engine runs uncentred.
    Returns (y, center, pad_mode) for the engine.
    """
    if not center or pad_mode in _ENGINE_PAD_MODES:
        return y, center, pad_mode
    if callable(pad_mode) or pad_mode not in ("edge", "linear_ramp", "maximum", "mean", "median", "minimum",
                                              "symmetric", "wrap", "empty"):
        raise ValueError(f"pad_mode={pad_mode!r} is not supported")
    pad = [(0, 0)] * (y.ndim - 1) + [(n_fft // 2, n_fft // 2)]
    return np.pad(y, pad, mode=pad_mode), False, "constant"


def spectrogram_engine(kind, y, n_fft, hop_length, win_length, window, center, pad_mode, *extra):
    """Run a framed engine (Stft, Mel, SpectralMoments, ...) on y (..., n) and return (..., rows, frames)."""
    n_fft, hop_length, win_length = _frame_params(n_fft, hop_length, win_length)
    spec = window_spec(window, win_length)
    y, center, pad_mode = _prepad(y, n_fft, center, pad_mode)
    if not center and y.shape[-1] < n_fft:
        raise ValueError(f"n_fft={n_fft} is too large for uncentered analysis of input signal of length="
                         f"{y.shape[-1]}")
    flat, lead = batched(y)
    if kind == "StftEngine":
        eng = engine(kind, n_fft, hop_length, win_length, spec, center, pad_mode)
        return eng, flat, lead
    eng = engine(kind, extra[0], n_fft, hop_length, win_length, spec, center, pad_mode, *extra[1:])
    return eng, flat, lead


def magnitude_spectrogram(y, n_fft, hop_length, win_length, window, center, pad_mode, power=1.0):
    """librosa's _spectrogram(y=...): |stft(y)| ** power, on the STFT engine."""
    eng, flat, lead = spectrogram_engine("StftEngine", y, n_fft, hop_length, win_length, window, center,
                                         pad_mode)
    if power == 2.0:
        S = eng.forward(flat, "power")
    else:
        S = eng.forward(flat, "magnitude")
        if power != 1.0:
            S = S**power
    return unbatch(S, lead)


def stft(y, *, n_fft=2048, hop_length=None, win_length=None, window="hann", center=True, dtype=None,
         pad_mode="constant", out=None):
    """Short-time Fourier transform (STFT), as ``librosa.stft``.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)], float32 or float64
        Audio time series; leading axes (channels, batches) are kept.  Other
        floating types are computed in float32.
    n_fft : int > 0 [scalar]
        Length of the windowed signal after padding with zeros; default 2048.
    hop_length : int > 0 [scalar] or None
        Samples between frames; None means ``win_length // 4``.
    win_length : int <= n_fft [scalar] or None
        Window length; the window is zero-padded to ``n_fft`` in the centre.
        None means ``n_fft``.
    window : str, callable or np.ndarray [shape=(win_length,)]
        'hann' (default), 'hamming', 'blackman', 'blackmanharris', 'nuttall',
        'bartlett', 'boxcar' (periodic, as ``scipy.signal.get_window(...,
        fftbins=True)``), a callable of the length, or the window samples.
        Other SciPy windows raise ``ValueError``.
    center : bool
        If True (default), frame ``t`` is centred at ``y[t * hop_length]``
        and the signal is padded with ``pad_mode``.
    dtype : complex dtype or None
        Output type; None (default) gives complex64 for float32 input and
        complex128 for float64 input.
    pad_mode : str
        'constant' (default, zeros) and 'reflect' are padded by the engine;
        the other ``np.pad`` modes are padded in NumPy first.
    out : None
        Writing into a preallocated array is not supported; any value but
        None raises ``ValueError``.

    Returns
    -------
    D : np.ndarray [shape=(..., 1 + n_fft // 2, 1 + (n - n_fft) // hop_length) uncentred or
        (..., 1 + n_fft // 2, 1 + n // hop_length) centred], complex

    Raises
    ------
    ValueError
        Non-floating or non-finite ``y``, invalid sizes, an unsupported
        window, pad mode, ``dtype`` or ``out``.
    """
    if out is not None:
        unsupported("stft", out="<array>")
    if dtype is not None and not np.issubdtype(np.dtype(dtype), np.complexfloating):
        unsupported("stft", dtype=dtype)
    y = as_audio(y)
    eng, flat, lead = spectrogram_engine("StftEngine", y, n_fft, hop_length, win_length, window, center,
                                         pad_mode)
    D = unbatch(eng.forward(flat, "complex"), lead)
    return D if dtype is None else D.astype(dtype, copy=False)


def istft(stft_matrix, *, hop_length=None, win_length=None, n_fft=None, window="hann", center=True, dtype=None,
          length=None, out=None):
    """Inverse short-time Fourier transform (ISTFT), as ``librosa.istft``.

    Least-squares overlap-add: frames are inverse-transformed, windowed,
    summed and divided by the summed squared window where that sum is not
    negligible.

    Parameters
    ----------
    stft_matrix : np.ndarray [shape=(..., 1 + n_fft // 2, t)], complex
        STFT matrix, as from `stft`.
    hop_length : int > 0 or None
        None means ``win_length // 4``.
    win_length : int <= n_fft or None
        None means ``n_fft``.
    n_fft : int > 0 or None
        None means ``2 * (stft_matrix.shape[-2] - 1)``.
    window : str, callable or np.ndarray [shape=(win_length,)]
        As in `stft`; default 'hann'.
    center : bool
        True (default) if the frames were centred; the padding is removed.
    dtype : real floating dtype or None
        None (default): float32 for complex64 input, float64 for complex128.
    length : int > 0 or None
        Output length in samples (zero-padded or truncated); None gives
        ``hop_length * (t - 1)`` when centred, ``n_fft + hop_length * (t - 1)``
        otherwise.
    out : None
        Not supported; any other value raises ``ValueError``.

    Returns
    -------
    y : np.ndarray [shape=(..., n)], float32 or float64

    Raises
    ------
    ValueError
        A real ``stft_matrix``, a bin count that does not match ``n_fft``,
        an unsupported window, ``dtype`` or ``out``.
    """
    if out is not None:
        unsupported("istft", out="<array>")
    Z = np.asarray(stft_matrix)
    if not np.iscomplexobj(Z) or Z.ndim < 2:
        raise ValueError("stft_matrix must be a complex array of shape (..., 1 + n_fft // 2, t)")
    Z = Z.astype(np.complex128 if Z.dtype == np.complex128 else np.complex64, copy=False)
    if dtype is None:
        dtype = np.float64 if Z.dtype == np.complex128 else np.float32
    elif not np.issubdtype(np.dtype(dtype), np.floating):
        unsupported("istft", dtype=dtype)
    if n_fft is None:
        n_fft = 2 * (Z.shape[-2] - 1)
    n_fft, hop_length, win_length = _frame_params(n_fft, hop_length, win_length)
    if Z.shape[-2] != n_fft // 2 + 1:
        raise ValueError(f"stft_matrix has {Z.shape[-2]} bins where n_fft={n_fft} needs {n_fft // 2 + 1}")
    n_frames = Z.shape[-1]
    if length:
        length = check_positive_int("length", length)
        padded = length + 2 * (n_fft // 2) if center else length
        n_frames = min(n_frames, int(np.ceil(padded / hop_length)))
    else:
        length = -1
    eng = engine("IstftEngine", n_fft, hop_length, win_length, window_spec(window, win_length), bool(center))
    flat = np.ascontiguousarray(Z[..., :n_frames].reshape((-1,) + Z.shape[-2:-1] + (n_frames,)))
    y = eng.forward(flat, length)
    return unbatch(y, Z.shape[:-2]).astype(dtype, copy=False)


def _relative_bandwidth(bins_per_octave):
    # librosa's alpha for equal-tempered bins: constant over the bins
    r = 2.0 ** (1.0 / bins_per_octave)
    return (r**2 - 1) / (r**2 + 1)


def cqt(y, *, sr=22050, hop_length=512, fmin=None, n_bins=84, bins_per_octave=12, tuning=0.0, filter_scale=1,
        norm=1, sparsity=0.01, window="hann", scale=True, pad_mode="constant", res_type="soxr_hq", dtype=None):
    """Constant-Q transform of an audio signal, as ``librosa.cqt``.

    Octaves are computed from the top down on successively halved signals,
    as in librosa; the halving here is a fixed halfband low-pass filter where
    librosa resamples with soxr ('soxr_hq'), so the two agree to the accuracy
    of those filters.  Measured against librosa 0.11 (default arguments) on
    recorded speech and on a synthetic chord sequence: the top octave agrees
    to 1e-5 relative (L2 over the octave; float32 rounding), lower octaves to
    6e-4; the largest difference of any coefficient is 1e-4 of the array's
    maximum away from the signal's ends and 8e-4 within a filter length of
    them, where the two resamplers treat the ends differently.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)], float32 or float64
        Audio time series; leading axes are kept.
    sr : number > 0
        Sampling rate of ``y``; default 22050.
    hop_length : int > 0
        Samples between frames; default 512.  A hop divisible by
        ``2 ** (n_octaves - 1)`` keeps every octave on a halved signal.
    fmin : float > 0 or None
        Lowest frequency; None means C1 (about 32.70 Hz).
    n_bins : int > 0
        Number of frequency bins; default 84.
    bins_per_octave : int > 0
        Default 12.
    tuning : float or None
        Tuning offset in fractions of a bin (default 0.0); None estimates it
        from ``y`` as ``librosa.estimate_tuning`` does.
    filter_scale, norm, sparsity, window, scale, pad_mode, res_type :
        Only librosa's defaults (1, 1, 0.01, 'hann', True, 'constant',
        'soxr_hq') are supported; other values raise ``ValueError``.
        ``res_type=None`` is accepted as librosa reads it ('soxr_hq').
    dtype : complex dtype or None
        None (default): complex64 for float32 input, complex128 for float64.

    Returns
    -------
    C : np.ndarray [shape=(..., n_bins, 1 + n // hop_length)], complex
        The CQT, scaled by the square root of each filter's length
        (``scale=True``).

    Raises
    ------
    ValueError
        Unsupported arguments (named in the message), filters reaching beyond
        the Nyquist frequency, non-floating or non-finite ``y``.
    """
    bad = {}
    for name, value, default in (("filter_scale", filter_scale, 1), ("norm", norm, 1),
                                 ("sparsity", sparsity, 0.01), ("scale", scale, True),
                                 ("pad_mode", pad_mode, "constant")):
        if not (value == default and type(value) is not bool or value is default):
            bad[name] = value
    if not (isinstance(window, str) and window in ("hann", "han")):
        bad["window"] = window
    if res_type not in (None, "soxr_hq"):
        bad["res_type"] = res_type
    if dtype is not None and not np.issubdtype(np.dtype(dtype), np.complexfloating):
        bad["dtype"] = dtype
    unsupported("cqt", **bad)
    y = as_audio(y)
    hop_length = check_positive_int("hop_length", hop_length)
    n_bins = check_positive_int("n_bins", n_bins)
    bins_per_octave = check_positive_int("bins_per_octave", bins_per_octave)
    fmin = C1_HZ if fmin is None else float(fmin)
    if tuning is None:
        tuning = estimate_tuning(y, sr=sr, bins_per_octave=bins_per_octave)
    fmin = fmin * 2.0 ** (tuning / bins_per_octave)
    # librosa's check: the top filter's upper band edge must stay below Nyquist.
    f_top = fmin * 2.0 ** ((n_bins - 1) / bins_per_octave)
    if f_top * (1 + 0.5 * 1.50018310546875 / (1 / _relative_bandwidth(bins_per_octave))) > sr / 2.0:
        raise ValueError(f"Wavelet basis with max frequency={f_top} would exceed the Nyquist frequency="
                         f"{sr / 2.0}. Try reducing the number of frequency bins.")
    flat, lead = batched(y)
    C = engine("CqtEngine", float(sr), hop_length, fmin, n_bins, bins_per_octave, 0.0).forward(flat, "complex")
    C = unbatch(C, lead)
    return C if dtype is None else C.astype(dtype, copy=False)


def _parabolic_shift(S):
    """librosa's parabolic peak offset along axis -2 (0 where the peak would move more than a bin)."""
    shift = np.zeros_like(S)
    lo, mid, hi = S[..., :-2, :], S[..., 1:-1, :], S[..., 2:, :]
    a = hi + lo - 2 * mid
    b = (hi - lo) / 2
    ok = np.abs(b) < np.abs(a)
    with np.errstate(divide="ignore", invalid="ignore"):
        shift[..., 1:-1, :] = np.where(ok, -b / np.where(ok, a, 1), 0)
    return shift


def estimate_tuning(y, *, sr=22050, n_fft=2048, resolution=0.01, bins_per_octave=12):
    """Tuning offset of y in fractions of a bin, as ``librosa.estimate_tuning`` with its defaults.

    Peaks of the magnitude STFT (hop n_fft // 4, 150-4000 Hz, above a tenth
    of their frame's maximum) are located by parabolic interpolation; those
    at least as strong as the median peak vote in a histogram of their
    offsets from equal temperament.  One estimate covers every channel of a
    batch, as in librosa.
    """
    S = magnitude_spectrogram(as_audio(y), n_fft, None, None, "hann", True, "constant")
    freqs = fft_frequencies(sr, n_fft)
    avg = np.gradient(S, axis=-2)
    shift = _parabolic_shift(S)
    freq_mask = ((150.0 <= freqs) & (freqs < min(4000.0, sr / 2.0)))[:, None]
    gated = S * (S > 0.1 * S.max(axis=-2, keepdims=True))
    peak = np.zeros(S.shape, dtype=bool)
    peak[..., 1:-1, :] = (gated[..., 1:-1, :] > gated[..., :-2, :]) & (gated[..., 1:-1, :] >= gated[..., 2:, :])
    peak[..., -1, :] = gated[..., -1, :] > gated[..., -2, :]
    idx = np.nonzero(freq_mask & peak)
    pitch = (idx[-2] + shift[idx]) * float(sr) / n_fft
    mag = S[idx] + 0.5 * avg[idx] * shift[idx]
    live = pitch > 0
    threshold = np.median(mag[live]) if live.any() else 0.0
    freqs = pitch[(mag >= threshold) & live]
    if not freqs.size:
        return 0.0
    residual = np.mod(bins_per_octave * np.log2(freqs / (440.0 / 16)), 1.0)
    residual[residual >= 0.5] -= 1.0
    counts, edges = np.histogram(residual, np.linspace(-0.5, 0.5, int(np.ceil(1.0 / resolution)) + 1))
    return float(edges[np.argmax(counts)])
