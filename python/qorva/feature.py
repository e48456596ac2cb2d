"""librosa-compatible features: ``qorva.feature.melspectrogram`` and friends.

Names, arguments and results follow ``librosa.feature`` (0.11).  The
spectrograms, mel bands, CQT, RMS and spectral statistics come from the
compiled engines; the steps librosa adds on top of them (its dB clipping,
DCT, chroma folding, normalisation, derivative filters, autocorrelation) are
cheap NumPy on the engines' much smaller outputs.
"""

import math
import numbers

import numpy as np

from . import core
from ._common import (as_audio, batched, check_positive_int, engine, fft_frequencies, mel_basis, normalize,
                      power_to_db, unbatch, unsupported, window_array, window_spec)

__all__ = ["melspectrogram", "mfcc", "chroma_cqt", "rms", "spectral_centroid", "spectral_bandwidth",
           "spectral_flatness", "delta", "tempogram"]


def _spectrum_input(func, y, S, n_fft):
    """librosa's _spectrogram for a precomputed S: returns (S, n_fft), n_fft inferred from S if it mismatches."""
    if S is None:
        if y is None:
            raise ValueError(f"qorva.feature.{func}: either y or S must be given")
        return None, n_fft
    S = np.asarray(S)
    if S.ndim < 2:
        raise ValueError(f"qorva.feature.{func}: S must have shape (..., bins, frames)")
    if n_fft is None or n_fft // 2 + 1 != S.shape[-2]:
        n_fft = 2 * (S.shape[-2] - 1)
    return S, n_fft


def _mel_args(sr, n_fft, n_mels, fmin, fmax, htk, norm, dtype):
    n_mels = check_positive_int("n_mels", n_mels)
    fmax = float(sr) / 2 if fmax is None else float(fmax)
    if norm not in ("slaney", None):
        unsupported("feature.melspectrogram", norm=norm)
    if not np.issubdtype(np.dtype(dtype), np.floating):
        unsupported("feature.melspectrogram", dtype=dtype)
    return n_mels, float(fmin), fmax


def melspectrogram(*, y=None, sr=22050, S=None, n_fft=2048, hop_length=512, win_length=None, window="hann",
                   center=True, pad_mode="constant", power=2.0, n_mels=128, fmin=0.0, fmax=None, htk=False,
                   norm="slaney", dtype=np.float32):
    """Mel-scaled spectrogram, as ``librosa.feature.melspectrogram``.

    With the default ``power=2.0`` the whole computation (STFT, power,
    filterbank) runs in the mel engine; other powers take the magnitude STFT
    from the STFT engine and apply the filterbank in NumPy.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64; leading axes are kept.
    sr : number > 0
        Sampling rate; default 22050.
    S : np.ndarray [shape=(..., 1 + n_fft // 2, t)] or None
        A precomputed (power) spectrogram; used instead of ``y`` when given,
        with ``n_fft`` inferred from its bin count.
    n_fft : int > 0
        FFT length; default 2048.
    hop_length : int > 0
        Samples between frames; default 512.
    win_length : int <= n_fft or None
        None means ``n_fft``.
    window : str, callable or np.ndarray
        Default 'hann'; see `qorva.stft`.
    center : bool
        Centre the frames (default True).
    pad_mode : str
        Padding for centred frames; default 'constant'.
    power : float > 0
        Exponent of the magnitude: 1 for energy, 2 (default) for power.
    n_mels : int > 0
        Number of mel bands; default 128.
    fmin, fmax : float >= 0
        Band limits in Hz; defaults 0 and ``sr / 2`` (None).
    htk : bool
        HTK mel scale instead of Slaney's (default False).
    norm : 'slaney' or None
        Divide each triangle by its width in Hz ('slaney', default) or not.
        Other values (p-norms) raise ``ValueError``.
    dtype : floating dtype
        Type of the filterbank (default float32); the result has the wider
        of it and the input's type, as in librosa.

    Returns
    -------
    S : np.ndarray [shape=(..., n_mels, t)]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``, unsupported ``norm``/``dtype``/window/pad
        mode, invalid sizes.
    TypeError
        Unknown keyword arguments.
    """
    S, n_fft = _spectrum_input("melspectrogram", y, S, n_fft)
    n_mels, fmin, fmax = _mel_args(sr, n_fft, n_mels, fmin, fmax, htk, norm, dtype)
    if S is not None:
        fb = mel_basis(sr, n_fft, n_mels, fmin, fmax, bool(htk), norm).astype(dtype)
        return np.einsum("...ft,mf->...mt", S, fb, optimize=True)
    y = as_audio(y)
    out_dtype = np.result_type(y.dtype, dtype)
    if power == 2.0:
        eng, flat, lead = core.spectrogram_engine(
            "MelEngine", y, n_fft, hop_length, win_length, window, center, pad_mode, float(sr), n_mels, fmin,
            fmax, "htk" if htk else "slaney", "slaney" if norm == "slaney" else "none")
        M = unbatch(eng.forward(flat, "power"), lead)
    else:
        power = float(power)
        if not power > 0:
            raise ValueError(f"power={power} must be positive")
        S = core.magnitude_spectrogram(y, n_fft, hop_length, win_length, window, center, pad_mode, power)
        fb = mel_basis(sr, n_fft, n_mels, fmin, fmax, bool(htk), norm).astype(S.dtype)
        M = np.einsum("...ft,mf->...mt", S, fb, optimize=True)
    return M.astype(out_dtype, copy=False)


def _dct_matrix(n_in, n_out, dct_type, norm):
    """Rows of scipy.fftpack.dct(type=dct_type, norm=norm) for the first n_out coefficients."""
    k = np.arange(n_out)[:, None]
    n = np.arange(n_in)[None, :]
    if dct_type == 2:
        D = 2.0 * np.cos(np.pi * k * (2 * n + 1) / (2 * n_in))
        if norm == "ortho":
            D *= np.where(k == 0, np.sqrt(1.0 / (4 * n_in)), np.sqrt(1.0 / (2 * n_in)))
    elif dct_type == 3:
        D = 2.0 * np.cos(np.pi * (2 * k + 1) * n / (2 * n_in))
        if norm == "ortho":
            D *= np.where(n == 0, 0.5 / np.sqrt(n_in), 1.0 / np.sqrt(2 * n_in))
        else:
            D[:, 0] = 1.0
    else:  # type 1
        if n_in < 2:
            raise ValueError("a type-1 DCT needs at least 2 inputs")
        D = 2.0 * np.cos(np.pi * k * n / (n_in - 1))
        D[:, 0] = 1.0
        D[:, -1] = np.where(np.arange(n_out) % 2 == 0, 1.0, -1.0)
    return D


def mfcc(*, y=None, sr=22050, S=None, n_mfcc=20, dct_type=2, norm="ortho", lifter=0, mel_norm="slaney",
         n_fft=2048, hop_length=512, win_length=None, window="hann", center=True, pad_mode="constant", power=2.0,
         n_mels=128, fmin=0.0, fmax=None, htk=False, dtype=np.float32):
    """Mel-frequency cepstral coefficients, as ``librosa.feature.mfcc``.

    ``S`` defaults to ``librosa.power_to_db(melspectrogram(y, ...))``: dB
    relative to 1 with a 1e-10 floor, clipped 80 dB below the maximum of the
    whole array (all channels of a batch together, as librosa does).  The DCT
    is taken along the mel axis and the first ``n_mfcc`` coefficients kept.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64.
    sr : number > 0
        Sampling rate; default 22050.
    S : np.ndarray [shape=(..., d, t)] or None
        A log-power mel spectrogram to use instead of ``y``.
    n_mfcc : int > 0
        Number of coefficients; default 20.
    dct_type : {1, 2, 3}
        DCT type as in ``scipy.fftpack.dct``; default 2.
    norm : None or 'ortho'
        DCT normalisation; 'ortho' (default) for types 2 and 3.
    lifter : float >= 0
        Cepstral liftering ``1 + (lifter / 2) sin(pi (k + 1) / lifter)``; 0 (default) for none.
    mel_norm : 'slaney' or None
        ``norm`` of the mel filterbank; default 'slaney'.
    n_fft, hop_length, win_length, window, center, pad_mode, power, n_mels, fmin, fmax, htk, dtype :
        Passed to `melspectrogram` (librosa's ``**kwargs``).

    Returns
    -------
    M : np.ndarray [shape=(..., n_mfcc, t)], the dtype of the mel spectrogram

    Raises
    ------
    ValueError
        Negative ``lifter``, unsupported ``dct_type``/``norm``, and what
        `melspectrogram` raises.
    TypeError
        Unknown keyword arguments.
    """
    if dct_type not in (1, 2, 3):
        unsupported("feature.mfcc", dct_type=dct_type)
    if norm not in (None, "ortho") or (dct_type == 1 and norm is not None):
        unsupported("feature.mfcc", norm=norm)
    if not lifter >= 0:
        raise ValueError(f"MFCC lifter={lifter} must be a non-negative number")
    n_mfcc = check_positive_int("n_mfcc", n_mfcc)
    if S is None:
        S = power_to_db(melspectrogram(y=y, sr=sr, n_fft=n_fft, hop_length=hop_length, win_length=win_length,
                                       window=window, center=center, pad_mode=pad_mode, power=power,
                                       n_mels=n_mels, fmin=fmin, fmax=fmax, htk=htk, norm=mel_norm, dtype=dtype))
    S = np.asarray(S)
    out_dtype = S.dtype if np.issubdtype(S.dtype, np.floating) else np.float64
    D = _dct_matrix(S.shape[-2], min(n_mfcc, S.shape[-2]), dct_type, norm).astype(out_dtype)
    M = np.einsum("cf,...ft->...ct", D, S, optimize=True)
    if lifter > 0:
        LI = np.sin(np.pi * np.arange(1, 1 + M.shape[-2], dtype=M.dtype) / lifter)
        M *= (1 + (lifter / 2) * LI)[:, None]
    return M


def _cq_to_chroma(n_input, bins_per_octave, n_chroma, fmin):
    """librosa.filters.cq_to_chroma without a window: which CQT bins add up to each chroma class."""
    n_merge = float(bins_per_octave) / n_chroma
    if np.mod(n_merge, 1) != 0:
        raise ValueError(f"Incompatible CQ merge: bins_per_octave={bins_per_octave} is not a multiple of "
                         f"n_chroma={n_chroma}")
    n_merge = int(n_merge)
    cq_to_ch = np.repeat(np.eye(n_chroma), n_merge, axis=1)
    # Centre each class's group of bins on its nominal pitch.
    cq_to_ch = np.roll(cq_to_ch, -(n_merge // 2), axis=1)
    n_octaves = np.ceil(float(n_input) / bins_per_octave)
    cq_to_ch = np.tile(cq_to_ch, int(n_octaves))[:, :n_input]
    midi_0 = np.mod(12 * (np.log2(fmin) - np.log2(440.0)) + 69, 12)
    roll = int(np.round(midi_0 * (n_chroma / 12.0)))
    return np.roll(cq_to_ch, roll, axis=0).astype(np.float32)


def chroma_cqt(*, y=None, sr=22050, C=None, hop_length=512, fmin=None, norm=np.inf, threshold=0.0, tuning=None,
               n_chroma=12, n_octaves=7, window=None, bins_per_octave=36, cqt_mode="full"):
    """Constant-Q chromagram, as ``librosa.feature.chroma_cqt``.

    The CQT magnitude (``n_octaves * bins_per_octave`` bins from ``fmin``,
    tuned by ``tuning``) comes from the CQT engine; the fold into pitch
    classes, thresholding and normalisation are librosa's, in NumPy.  With
    the default ``tuning=None`` the tuning is estimated from ``y`` as
    ``librosa.estimate_tuning`` does (parabolic peaks of the magnitude STFT,
    a histogram of their offsets), one estimate for the whole batch.

    Agreement with librosa 0.11 follows that of `qorva.cqt` (the lower
    octaves are decimated by a fixed halfband filter where librosa resamples
    with soxr): measured on recorded speech and on a synthetic chord
    sequence, chroma values (in [0, 1] with the default norm) differ by at
    most 1e-3 away from the signal's ends and 4e-3 within a filter length of
    them.  The estimated tuning itself agrees exactly.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64.
    sr : number > 0
        Sampling rate; default 22050.
    C : np.ndarray [shape=(..., d, t)] or None
        A precomputed CQT magnitude to use instead of ``y``.
    hop_length : int > 0
        Default 512.
    fmin : float > 0 or None
        Lowest frequency; None means C1.
    norm : float or None
        Column norm for ``librosa.util.normalize``; default ``np.inf`` (each
        frame divided by its largest class).
    threshold : float or None
        Values below it are set to 0 before normalising; default 0.0.
    tuning : float or None
        Tuning offset in fractions of a CQT bin; None (default) estimates it.
    n_chroma : int > 0
        Number of chroma classes; default 12.
    n_octaves : int > 0
        Octaves of CQT analysis; default 7.
    window : None
        A window over the chroma bins is not supported; other values raise
        ``ValueError``.
    bins_per_octave : int > 0
        CQT bins per octave, a multiple of ``n_chroma``; default 36.
    cqt_mode : 'full'
        Only the full CQT; 'hybrid' raises ``ValueError``.

    Returns
    -------
    chromagram : np.ndarray [shape=(..., n_chroma, t)], the CQT's real dtype

    Raises
    ------
    ValueError
        Neither ``y`` nor ``C``, unsupported ``window``/``cqt_mode``, and
        what `qorva.cqt` raises.
    """
    bad = {}
    if window is not None:
        bad["window"] = "<array>" if isinstance(window, np.ndarray) else window
    if cqt_mode != "full":
        bad["cqt_mode"] = cqt_mode
    unsupported("feature.chroma_cqt", **bad)
    if C is None:
        if y is None:
            raise ValueError("At least one of C or y must be provided to compute chroma")
        C = np.abs(core.cqt(y, sr=sr, hop_length=hop_length, fmin=fmin, n_bins=n_octaves * bins_per_octave,
                            bins_per_octave=bins_per_octave, tuning=tuning))
    C = np.asarray(C)
    fold = _cq_to_chroma(C.shape[-2], bins_per_octave, n_chroma, core.C1_HZ if fmin is None else fmin)
    chroma = np.einsum("cf,...ft->...ct", fold, C, optimize=True)
    if threshold is not None:
        chroma[chroma < threshold] = 0.0
    return normalize(chroma, norm=norm, axis=-2)


def rms(*, y=None, S=None, frame_length=2048, hop_length=512, center=True, pad_mode="constant", dtype=np.float32):
    """Root-mean-square value of each frame, as ``librosa.feature.rms``.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64; computed in its precision by
        the RMS engine.
    S : np.ndarray [shape=(..., 1 + frame_length // 2, t)] or None
        A spectrogram magnitude to use instead of ``y`` (Parseval's sum).
    frame_length : int > 0
        Default 2048.
    hop_length : int > 0
        Default 512.
    center : bool
        Centre frames, padding ``frame_length // 2`` samples each side
        (default True).
    pad_mode : str
        ``np.pad`` mode for centred frames; default 'constant'.
    dtype : floating dtype or None
        Output type; float32 by default as in librosa (None keeps the
        input's type).

    Returns
    -------
    rms : np.ndarray [shape=(..., 1, t)]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``; a bin count of ``S`` that does not match
        ``frame_length``.
    """
    frame_length = check_positive_int("frame_length", frame_length)
    hop_length = check_positive_int("hop_length", hop_length)
    if y is not None:
        y = as_audio(y)
        out_dtype = y.dtype if dtype is None else np.dtype(dtype)
        y, center, pad_mode = core._prepad(y, frame_length, center, pad_mode)
        if y.shape[-1] < frame_length and not center:
            raise ValueError(f"Input is too short (n={y.shape[-1]}) for frame_length={frame_length}")
        flat, lead = batched(y)
        out = engine("RmsEngine", frame_length, hop_length, bool(center), pad_mode).forward(flat, "")
        return unbatch(out, lead).astype(out_dtype, copy=False)
    if S is None:
        raise ValueError("Either `y` or `S` must be input.")
    S = np.asarray(S)
    if S.shape[-2] != frame_length // 2 + 1:
        raise ValueError(f"Since S.shape[-2] is {S.shape[-2]}, frame_length is expected to be "
                         f"{S.shape[-2] * 2 - 2} or {S.shape[-2] * 2 - 1}; found {frame_length}")
    x = np.abs(S).astype(dtype) ** 2 if dtype is not None else np.abs(S) ** 2
    x[..., 0, :] *= 0.5
    if frame_length % 2 == 0:
        x[..., -1, :] *= 0.5
    return np.sqrt(2 * np.sum(x, axis=-2, keepdims=True) / frame_length**2)


def _nonnegative(func, S):
    if not np.isrealobj(S):
        raise ValueError(f"Spectral {func} is only defined with real-valued input")
    if np.any(S < 0):
        raise ValueError(f"Spectral {func} is only defined with non-negative energies")


def _moment(feature, y, sr, n_fft, hop_length, win_length, window, center, pad_mode):
    eng, flat, lead = core.spectrogram_engine("SpectralMomentsEngine", as_audio(y), n_fft, hop_length, win_length,
                                              window, center, pad_mode, float(sr), (feature,))
    out = unbatch(eng.forward(flat, ""), lead)
    # librosa weighs float64 bin frequencies, so its centroid and bandwidth are float64 for any input.
    return out if feature == "flatness" else out.astype(np.float64, copy=False)


def _centroid_of(S, sr, n_fft, freq):
    _nonnegative("centroid", S)
    if freq is None:
        freq = fft_frequencies(sr, n_fft)
    freq = np.asarray(freq)
    if freq.ndim == 1:
        freq = freq[:, None]
    return np.sum(freq * normalize(S, norm=1, axis=-2), axis=-2, keepdims=True)


def spectral_centroid(*, y=None, sr=22050, S=None, n_fft=2048, hop_length=512, freq=None, win_length=None,
                      window="hann", center=True, pad_mode="constant"):
    """Spectral centroid of each frame, as ``librosa.feature.spectral_centroid``.

    The magnitude-weighted mean frequency ``sum_k S[k, t] freq[k] / sum_k S[k, t]``
    (0 for silent frames).

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64; the spectral-moments engine
        computes the result from it.
    sr : number > 0
        Sampling rate; default 22050.
    S : np.ndarray [shape=(..., d, t)] or None
        A non-negative (magnitude) spectrogram to use instead of ``y``.
    n_fft, hop_length, win_length, window, center, pad_mode :
        STFT parameters as in `qorva.stft` (defaults 2048, 512, None, 'hann',
        True, 'constant').
    freq : np.ndarray [shape=(d,) or (..., d, t)] or None
        Bin centre frequencies; None uses the FFT bin frequencies.

    Returns
    -------
    centroid : np.ndarray [shape=(..., 1, t)], the input's real dtype

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``; complex or negative ``S``.
    """
    S, n_fft = _spectrum_input("spectral_centroid", y, S, n_fft)
    if S is None and freq is None:
        return _moment("centroid", y, sr, n_fft, hop_length, win_length, window, center, pad_mode)
    if S is None:
        S = core.magnitude_spectrogram(as_audio(y), n_fft, hop_length, win_length, window, center, pad_mode)
    return _centroid_of(S, sr, n_fft, freq)


def spectral_bandwidth(*, y=None, sr=22050, S=None, n_fft=2048, hop_length=512, win_length=None, window="hann",
                       center=True, pad_mode="constant", freq=None, centroid=None, norm=True, p=2):
    """p'th-order spectral bandwidth, as ``librosa.feature.spectral_bandwidth``.

    ``(sum_k S[k, t] |freq[k] - centroid[t]|^p) ^ (1 / p)`` with ``S``
    normalised to sum to 1 per frame when ``norm`` is True.  The defaults
    (``p=2``, ``norm=True``, no ``freq``/``centroid``) run in the
    spectral-moments engine; other choices use the magnitude STFT from the
    STFT engine and NumPy.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64.
    sr : number > 0
        Sampling rate; default 22050.
    S : np.ndarray [shape=(..., d, t)] or None
        A non-negative (magnitude) spectrogram to use instead of ``y``.
    n_fft, hop_length, win_length, window, center, pad_mode :
        STFT parameters as in `qorva.stft`.
    freq : np.ndarray [shape=(d,) or (..., d, t)] or None
        Bin centre frequencies; None uses the FFT bin frequencies.
    centroid : np.ndarray [shape=(..., 1, t)] or None
        Precomputed centroid; None computes it.
    norm : bool
        Normalise each frame of ``S`` to sum 1 (default True).
    p : float > 0
        Order; default 2.

    Returns
    -------
    bandwidth : np.ndarray [shape=(..., 1, t)]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``; complex or negative ``S``.
    """
    S, n_fft = _spectrum_input("spectral_bandwidth", y, S, n_fft)
    if S is None and freq is None and centroid is None and norm is True and p == 2:
        return _moment("bandwidth", y, sr, n_fft, hop_length, win_length, window, center, pad_mode)
    if S is None:
        S = core.magnitude_spectrogram(as_audio(y), n_fft, hop_length, win_length, window, center, pad_mode)
    _nonnegative("bandwidth", S)
    if centroid is None:
        centroid = _centroid_of(S, sr, n_fft, freq)
    if freq is None:
        freq = fft_frequencies(sr, n_fft)
    freq = np.asarray(freq)
    if freq.ndim == 1:
        deviation = np.abs(np.subtract.outer(centroid[..., 0, :], freq).swapaxes(-2, -1))
    else:
        deviation = np.abs(freq - centroid)
    if norm:
        S = normalize(S, norm=1, axis=-2)
    return np.sum(S * deviation**p, axis=-2, keepdims=True) ** (1.0 / p)


def spectral_flatness(*, y=None, S=None, n_fft=2048, hop_length=512, win_length=None, window="hann", center=True,
                      pad_mode="constant", amin=1e-10, power=2.0):
    """Spectral flatness (Wiener entropy), as ``librosa.feature.spectral_flatness``.

    The ratio of the geometric to the arithmetic mean of
    ``max(amin, S ** power)`` over frequency, per frame.  The defaults
    (``amin=1e-10``, ``power=2.0``) run in the spectral-moments engine.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64.
    S : np.ndarray [shape=(..., d, t)] or None
        A non-negative magnitude spectrogram to use instead of ``y``.
    n_fft, hop_length, win_length, window, center, pad_mode :
        STFT parameters as in `qorva.stft`.
    amin : float > 0
        Floor of the power; default 1e-10.
    power : float > 0
        Exponent of the magnitude; default 2.0.

    Returns
    -------
    flatness : np.ndarray [shape=(..., 1, t)], in [0, 1]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``S``; ``amin <= 0``; complex or negative ``S``.
    """
    if amin <= 0:
        raise ValueError("amin must be strictly positive")
    S, n_fft = _spectrum_input("spectral_flatness", y, S, n_fft)
    if S is None and amin == 1e-10 and power == 2.0:
        return _moment("flatness", y, 22050.0, n_fft, hop_length, win_length, window, center, pad_mode)
    if S is None:
        S = core.magnitude_spectrogram(as_audio(y), n_fft, hop_length, win_length, window, center, pad_mode)
    _nonnegative("flatness", S)
    S_thresh = np.maximum(amin, S**power)
    gmean = np.exp(np.mean(np.log(S_thresh), axis=-2, keepdims=True))
    return gmean / np.mean(S_thresh, axis=-2, keepdims=True)


def _savgol_coeffs(width, order):
    """scipy.signal.savgol_coeffs(width, order, deriv=order) in convolution order."""
    half = width // 2
    x = np.arange(half, -half - 1, -1.0)  # reversed: convolution, not correlation
    A = x[None, :] ** np.arange(order + 1)[:, None]
    rhs = np.zeros(order + 1)
    rhs[order] = math.factorial(order)
    return np.linalg.lstsq(A, rhs, rcond=None)[0]


_DELTA_PAD = {"mirror": "reflect", "nearest": "edge", "wrap": "wrap", "constant": "constant"}


def delta(data, *, width=9, order=1, axis=-1, mode="interp", cval=0.0):
    """Local derivative estimate, as ``librosa.feature.delta``.

    A Savitzky-Golay filter of ``width`` points fitting polynomials of degree
    ``order`` and returning their ``order``-th derivative (scipy's
    ``savgol_filter(data, width, order, deriv=order, mode=mode)``).  With
    the default ``mode='interp'`` the first and last ``width // 2`` points
    come from a polynomial fitted to the first and last ``width`` samples
    instead of from padding.

    Parameters
    ----------
    data : np.ndarray
        The input, e.g. an MFCC matrix.
    width : int, odd, >= 3
        Window length; default 9.
    order : int > 0
        Order of the derivative; default 1.
    axis : int
        Axis along which to differentiate; default -1 (frames).
    mode : 'interp', 'mirror', 'nearest', 'constant' or 'wrap'
        Edge handling, as in ``scipy.signal.savgol_filter``; default 'interp'.
    cval : float
        Fill value for ``mode='constant'``; default 0.

    Returns
    -------
    delta_data : np.ndarray, the shape of ``data`` (float64 for integer input)

    Raises
    ------
    ValueError
        Even or too small ``width``, non-positive ``order``, ``mode='interp'``
        with ``width`` larger than ``data`` along ``axis``, unknown mode.
    TypeError
        Unknown keyword arguments.
    """
    data = np.atleast_1d(data)
    if mode == "interp" and width > data.shape[axis]:
        raise ValueError(f"when mode='interp', width={width} cannot exceed data.shape[axis]={data.shape[axis]}")
    if width < 3 or np.mod(width, 2) != 1:
        raise ValueError("width must be an odd integer >= 3")
    if order <= 0 or not isinstance(order, (numbers.Integral, np.integer)):
        raise ValueError("order must be a positive integer")
    if mode != "interp" and mode not in _DELTA_PAD:
        raise ValueError(f"mode={mode!r} must be one of 'interp', {', '.join(map(repr, _DELTA_PAD))}")
    if order >= width:
        raise ValueError("order must be less than width")
    width, order = int(width), int(order)
    x = np.moveaxis(data, axis, -1)
    dtype = x.dtype if np.issubdtype(x.dtype, np.floating) else np.float64
    x = x.astype(np.float64)
    h = _savgol_coeffs(width, order)
    half = width // 2
    pad = [(0, 0)] * (x.ndim - 1) + [(half, half)]
    if mode == "interp":
        padded = np.pad(x, pad)
    else:
        kw = {"constant_values": cval} if mode == "constant" else {}
        padded = np.pad(x, pad, mode=_DELTA_PAD[mode], **kw)
    windows = np.lib.stride_tricks.sliding_window_view(padded, width, axis=-1)
    out = windows @ h[::-1]
    if mode == "interp":
        # Edges: fit a degree-`order` polynomial to the first and last `width`
        # samples; its order-th derivative is the constant order! * leading coefficient.
        t = np.arange(width, dtype=np.float64)
        V = t[:, None] ** np.arange(order, -1, -1)[None, :]
        lead = np.linalg.pinv(V)[0] * math.factorial(order)
        out[..., :half] = (x[..., :width] @ lead)[..., None]
        out[..., -half:] = (x[..., -width:] @ lead)[..., None]
    return np.moveaxis(out.astype(dtype, copy=False), -1, axis)


def tempogram(*, y=None, sr=22050, onset_envelope=None, hop_length=512, win_length=384, center=True, window="hann",
              norm=np.inf):
    """Autocorrelation tempogram, as ``librosa.feature.tempogram``.

    The onset envelope (by default `qorva.onset.onset_strength` of ``y``
    with ``hop_length``, its mel spectrogram from the mel engine) is cut
    into windows of ``win_length`` frames, one per frame (padded with
    librosa's linear ramp to zero beyond the ends when centred), each
    windowed, autocorrelated and normalised.

    Parameters
    ----------
    y : np.ndarray [shape=(..., n)] or None
        Audio time series, float32 or float64.
    sr : number > 0
        Sampling rate; default 22050.
    onset_envelope : np.ndarray [shape=(..., m)] or None
        A precomputed onset strength envelope to use instead of ``y``.
    hop_length : int > 0
        Samples between onset frames; default 512.
    win_length : int > 0
        Autocorrelation window length in frames; default 384.
    center : bool
        Centre the windows on the frames (default True).
    window : str, callable or np.ndarray [shape=(win_length,)]
        Window applied before autocorrelating; default 'hann'.
    norm : float or None
        Column norm as in ``librosa.util.normalize``; default ``np.inf``.

    Returns
    -------
    tempogram : np.ndarray [shape=(..., win_length, m)]

    Raises
    ------
    ValueError
        Neither ``y`` nor ``onset_envelope``; ``win_length < 1``; a window
        that is not supported.
    """
    if not isinstance(win_length, numbers.Integral) or win_length < 1:
        raise ValueError("win_length must be a positive integer")
    ac_window = window_array(window_spec(window, win_length), win_length)
    if onset_envelope is None:
        if y is None:
            raise ValueError("Either y or onset_envelope must be provided")
        from .onset import onset_strength
        onset_envelope = onset_strength(y=y, sr=sr, hop_length=hop_length)
    env = np.asarray(onset_envelope)
    n = env.shape[-1]
    if center:
        pad = [(0, 0)] * (env.ndim - 1) + [(win_length // 2, win_length // 2)]
        env = np.pad(env, pad, mode="linear_ramp", end_values=[0, 0])
    if env.shape[-1] < win_length:
        raise ValueError(f"Input is too short (n={env.shape[-1]}) for frame_length={win_length}")
    frames = np.lib.stride_tricks.sliding_window_view(env, win_length, axis=-1)  # (..., m, win_length)
    if center:
        frames = frames[..., :n, :]
    # The float64 window makes the result float64 whatever the envelope's type, as in librosa.
    frames = frames * ac_window
    n_pad = 2 * win_length - 1
    spec = np.fft.rfft(frames, n=n_pad, axis=-1)
    ac = np.swapaxes(np.fft.irfft(spec.real**2 + spec.imag**2, n=n_pad, axis=-1)[..., :win_length], -1, -2)
    return normalize(ac, norm=norm, axis=-2)
