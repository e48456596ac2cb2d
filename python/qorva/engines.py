"""The engine classes as users meet them: the compiled engines with defaults
for every constructor argument after the first, keyword arguments, a repr,
read-only parameters, equality and pickling.

Each class here is a subclass of the compiled engine of the same name in
``qorva._native``; computation, threading and the GPU paths are the compiled
engine's, so one engine may be shared between threads.  Defaults follow
librosa where librosa has the parameter (``pad_mode="constant"``, a hop of a
quarter of the window, ``fmax`` half the sample rate).  Signals are
(batch, samples) arrays of float32 or float64; the function layer
(``qorva.stft``, ``qorva.feature``) takes any leading axes.
"""

from __future__ import annotations

from typing import Any, Sequence

import numpy as np

from . import _native

#: C1, the lowest default frequency of the constant-Q engines, in Hz.
C1_HZ: float = _native.ChromaEngine.c1_hz()

#: Every statistic of SpectralMomentsEngine, in its default order.
MOMENT_FEATURES = ("centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest",
                   "entropy")


def _same(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and np.array_equal(a, b)
    return type(a) is type(b) and a == b


class _Parameters:
    """Keeps the constructor arguments (after defaults are resolved) for the
    repr, the read-only properties, equality and pickling."""

    _names: tuple[str, ...] = ()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        for i, name in enumerate(cls._names):
            setattr(cls, name, property(lambda self, i=i: self._values[i], doc=f"The engine's {name} (read-only)."))

    def _keep(self, *values: Any) -> None:
        self._values = tuple(np.array(v, copy=True) if isinstance(v, np.ndarray) else v for v in values)

    def __repr__(self) -> str:
        args = ", ".join(f"{n}={v!r}" for n, v in zip(self._names, self._values))
        return f"{type(self).__name__}({args})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return all(_same(a, b) for a, b in zip(self._values, other._values))  # type: ignore[attr-defined]

    __hash__ = None  # type: ignore[assignment]  # windows may be arrays

    def __reduce__(self):
        return type(self), self._values


def _frame_lengths(n_fft: int, hop_length: int | None, win_length: int | None) -> tuple[int, int]:
    """librosa's rule: the window spans n_fft unless given; the hop is a quarter of the window."""
    win = n_fft if win_length is None else win_length
    return (win // 4 if hop_length is None else hop_length), win


class StftEngine(_Parameters, _native.StftEngine):
    """Short-time Fourier transform of (batch, samples) signals with an exact backward pass.

    Parameters
    ----------
    n_fft : int
        Frame length and FFT size (>= 1); spectra have n_fft // 2 + 1 bins.
    hop_length : int, optional
        Samples between frame starts (>= 1). Default: win_length // 4.
    win_length : int, optional
        Window length (<= n_fft), centred in the frame. Default: n_fft.
    window : str, tuple or array, default "hann"
        A window name ("hann", "hamming", "blackman", ...), a (name, parameter) tuple or win_length values.
    center : bool, default True
        Pad n_fft // 2 samples at both ends so that frame t is centred on sample t * hop_length.
    pad_mode : {"constant", "reflect"}, default "constant"
        Padding used when centred.

    Raises
    ------
    ValueError
        On an invalid length, hop, window or pad mode, with a message naming it.
    """

    _names = ("n_fft", "hop_length", "win_length", "window", "center", "pad_mode")

    def __init__(self, n_fft: int, hop_length: int | None = None, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant") -> None:
        hop_length, win_length = _frame_lengths(n_fft, hop_length, win_length)
        super().__init__(n_fft, hop_length, win_length, window, center, pad_mode)
        self._keep(n_fft, hop_length, win_length, window, center, pad_mode)

    def forward(self, y: Any, output: str = "complex", backend: str = "cpu") -> np.ndarray:
        """Spectrum (B, n_fft // 2 + 1, frames) of y (B, samples).

        output is "complex" (complex64, or complex128 for float64 y), "magnitude", "power" or "db"
        (10 log10(max(power, 1e-10))); backend is "cpu" or a GPU backend of this build ("cuda").
        """
        return super().forward(y, output, backend)

    def backward(self, grad: Any, y: Any, output: str = "complex", backend: str = "cpu") -> np.ndarray:
        """Gradient (B, samples) with respect to y of a loss whose gradient for forward(y, output) is grad."""
        return super().backward(grad, y, output, backend)


class IstftEngine(_Parameters, _native.IstftEngine):
    """Inverse short-time Fourier transform (weighted overlap-add) with an exact backward pass.

    Parameters as for StftEngine (no pad_mode): n_fft, hop_length (default win_length // 4), win_length
    (default n_fft), window (default "hann"), center (default True).
    """

    _names = ("n_fft", "hop_length", "win_length", "window", "center")

    def __init__(self, n_fft: int, hop_length: int | None = None, win_length: int | None = None,
                 window: Any = "hann", center: bool = True) -> None:
        hop_length, win_length = _frame_lengths(n_fft, hop_length, win_length)
        super().__init__(n_fft, hop_length, win_length, window, center)
        self._keep(n_fft, hop_length, win_length, window, center)

    def forward(self, Z: Any, length: int = -1, backend: str = "cpu") -> np.ndarray:
        """Signals (B, length) from complex spectra Z (B, n_fft // 2 + 1, frames); a negative length
        (the default) gives the natural length."""
        return super().forward(Z, length, backend)


class MelEngine(_Parameters, _native.MelEngine):
    """Mel spectrogram of (batch, samples) signals with an exact backward pass.

    Parameters
    ----------
    sr : float
        Sample rate in Hz.
    n_fft, hop_length, win_length, window, center, pad_mode
        Framing as for StftEngine; defaults 2048, 512, n_fft, "hann", True, "constant".
    n_mels : int, default 128
        Number of mel bands.
    fmin : float, default 0.0
        Lowest band edge in Hz.
    fmax : float, optional
        Highest band edge in Hz. Default: sr / 2.
    mel_scale : {"slaney", "htk"}, default "slaney"
    mel_norm : {"slaney", "none"}, default "slaney"
        "slaney" scales each band to unit area (librosa's norm="slaney").

    Raises
    ------
    ValueError
        On invalid framing, an unknown scale or norm, or a band that covers no FFT bin.
    """

    _names = ("sr", "n_fft", "hop_length", "win_length", "window", "center", "pad_mode", "n_mels", "fmin", "fmax",
              "mel_scale", "mel_norm")

    def __init__(self, sr: float, n_fft: int = 2048, hop_length: int = 512, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant", n_mels: int = 128,
                 fmin: float = 0.0, fmax: float | None = None, mel_scale: str = "slaney",
                 mel_norm: str = "slaney") -> None:
        win_length = n_fft if win_length is None else win_length
        fmax = sr / 2.0 if fmax is None else fmax
        super().__init__(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale,
                         mel_norm)
        self._keep(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale,
                   mel_norm)

    def forward(self, y: Any, output: str = "power", backend: str = "cpu") -> np.ndarray:
        """Mel spectrogram (B, n_mels, frames) of y (B, samples): "power", "magnitude" or "db"
        (10 log10(max(mel power, 1e-10)))."""
        return super().forward(y, output, backend)

    def backward(self, grad: Any, y: Any, output: str = "power", backend: str = "cpu") -> np.ndarray:
        """Gradient (B, samples) with respect to y of a loss whose gradient for forward(y, output) is grad."""
        return super().backward(grad, y, output, backend)


class CqtEngine(_Parameters, _native.CqtEngine):
    """Constant-Q transform (librosa's cqt with filter_scale 1, norm 1, sparsity 0.01, a Hann window and
    scale=True) with an exact backward pass.

    Parameters
    ----------
    sr : float
        Sample rate in Hz.
    hop_length : int, default 512
    fmin : float, default C1_HZ (32.70 Hz)
        Centre frequency of the lowest bin.
    n_bins : int, default 84
    bins_per_octave : int, default 12
    gamma : float, default 0.0
        Bandwidth offset in Hz (variable-Q); negative selects the ERB-like automatic offset.
    """

    _names = ("sr", "hop_length", "fmin", "n_bins", "bins_per_octave", "gamma")

    def __init__(self, sr: float, hop_length: int = 512, fmin: float = C1_HZ, n_bins: int = 84,
                 bins_per_octave: int = 12, gamma: float = 0.0) -> None:
        super().__init__(sr, hop_length, fmin, n_bins, bins_per_octave, gamma)
        self._keep(sr, hop_length, fmin, n_bins, bins_per_octave, gamma)

    def forward(self, y: Any, output: str = "complex", backend: str = "cpu") -> np.ndarray:
        """CQT (B, n_bins, frames) of y (B, samples): "complex", "magnitude", "power" or "db"."""
        return super().forward(y, output, backend)

    def backward(self, grad: Any, y: Any, output: str = "complex", backend: str = "cpu") -> np.ndarray:
        """Gradient (B, samples) with respect to y of a loss whose gradient for forward(y, output) is grad."""
        return super().backward(grad, y, output, backend)


class ChromaEngine(_Parameters, _native.ChromaEngine):
    """Chromagram: the CQT magnitude folded onto n_chroma pitch classes and divided by each frame's maximum
    (librosa's chroma_cqt with tuning 0 and norm=inf), with an exact backward pass through that maximum.

    Parameters
    ----------
    sr : float
    hop_length : int, default 512
    bins_per_octave : int, default 36
    n_octaves : int, default 7
    n_chroma : int, default 12
    fmin : float, default C1_HZ
    """

    _names = ("sr", "hop_length", "bins_per_octave", "n_octaves", "n_chroma", "fmin")

    def __init__(self, sr: float, hop_length: int = 512, bins_per_octave: int = 36, n_octaves: int = 7,
                 n_chroma: int = 12, fmin: float = C1_HZ) -> None:
        super().__init__(sr, hop_length, bins_per_octave, n_octaves, n_chroma, fmin)
        self._keep(sr, hop_length, bins_per_octave, n_octaves, n_chroma, fmin)


class _Feature(_Parameters):
    """The feature engines take an `output` argument only for a uniform call shape; it is ignored."""

    def forward(self, y: Any, output: str = "", backend: str = "cpu") -> np.ndarray:
        """Feature (B, rows, frames) of y (B, samples)."""
        return super().forward(y, output, backend)  # type: ignore[misc]

    def backward(self, grad: Any, y: Any, output: str = "", backend: str = "cpu") -> np.ndarray:
        """Gradient (B, samples) with respect to y of a loss whose gradient for forward(y) is grad."""
        return super().backward(grad, y, output, backend)  # type: ignore[misc]


class RmsEngine(_Feature, _native.RmsEngine):
    """Frame root-mean-square energy, (B, 1, frames), with an exact backward pass.

    Parameters
    ----------
    frame_length : int
    hop_length : int, default 512
    center : bool, default True
    pad_mode : {"constant", "reflect"}, default "constant"
    """

    _names = ("frame_length", "hop_length", "center", "pad_mode")

    def __init__(self, frame_length: int, hop_length: int = 512, center: bool = True,
                 pad_mode: str = "constant") -> None:
        super().__init__(frame_length, hop_length, center, pad_mode)
        self._keep(frame_length, hop_length, center, pad_mode)


class SpectralMomentsEngine(_Feature, _native.SpectralMomentsEngine):
    """Statistics of each frame's magnitude spectrum, (B, len(features), frames), with an exact backward pass.

    Parameters
    ----------
    sr : float
    n_fft, hop_length, win_length, window, center, pad_mode
        Framing as for MelEngine; defaults 2048, 512, n_fft, "hann", True, "constant".
    features : sequence of str, default MOMENT_FEATURES (all nine)
        Any of "centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest",
        "entropy", in the order of the output rows (repetitions allowed).
    """

    _names = ("sr", "n_fft", "hop_length", "win_length", "window", "center", "pad_mode", "features")

    def __init__(self, sr: float, n_fft: int = 2048, hop_length: int = 512, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant",
                 features: Sequence[str] = MOMENT_FEATURES) -> None:
        win_length = n_fft if win_length is None else win_length
        features = tuple(features)
        super().__init__(sr, n_fft, hop_length, win_length, window, center, pad_mode, list(features))
        self._keep(sr, n_fft, hop_length, win_length, window, center, pad_mode, features)


class SpectralFluxEngine(_Feature, _native.SpectralFluxEngine):
    """Spectral flux of the magnitude spectrum, (B, 1, frames), with an exact backward pass.

    Parameters: n_fft, then hop_length (default 512), win_length (default n_fft), window ("hann"),
    center (True), pad_mode ("constant").
    """

    _names = ("n_fft", "hop_length", "win_length", "window", "center", "pad_mode")

    def __init__(self, n_fft: int, hop_length: int = 512, win_length: int | None = None, window: Any = "hann",
                 center: bool = True, pad_mode: str = "constant") -> None:
        win_length = n_fft if win_length is None else win_length
        super().__init__(n_fft, hop_length, win_length, window, center, pad_mode)
        self._keep(n_fft, hop_length, win_length, window, center, pad_mode)


_MEL_NAMES = ("sr", "n_fft", "hop_length", "win_length", "window", "center", "pad_mode", "n_mels", "fmin", "fmax",
              "mel_scale", "mel_norm")


def _mel_args(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale, mel_norm):
    return (sr, n_fft, hop_length, n_fft if win_length is None else win_length, window, center, pad_mode, n_mels,
            fmin, sr / 2.0 if fmax is None else fmax, mel_scale, mel_norm)


class OnsetStrengthEngine(_Feature, _native.OnsetStrengthEngine):
    """Onset strength: the mean over mel bands of the positive rise of the mel power in dB from the previous
    frame (0 for the first), (B, 1, frames), with an exact backward pass. Parameters as for MelEngine."""

    _names = _MEL_NAMES

    def __init__(self, sr: float, n_fft: int = 2048, hop_length: int = 512, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant", n_mels: int = 128,
                 fmin: float = 0.0, fmax: float | None = None, mel_scale: str = "slaney",
                 mel_norm: str = "slaney") -> None:
        args = _mel_args(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale,
                         mel_norm)
        super().__init__(*args)
        self._keep(*args)


class TempogramEngine(_Feature, _native.TempogramEngine):
    """Autocorrelation tempogram of the onset strength, (B, tempo_win, frames), each frame normalised by its
    lag-0 value, with an exact backward pass through that normaliser. Parameters as for MelEngine, then
    tempo_win (default 384 frames)."""

    _names = _MEL_NAMES + ("tempo_win",)

    def __init__(self, sr: float, n_fft: int = 2048, hop_length: int = 512, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant", n_mels: int = 128,
                 fmin: float = 0.0, fmax: float | None = None, mel_scale: str = "slaney", mel_norm: str = "slaney",
                 tempo_win: int = 384) -> None:
        args = _mel_args(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale,
                         mel_norm) + (tempo_win,)
        super().__init__(*args)
        self._keep(*args)


class MfccEngine(_Feature, _native.MfccEngine):
    """Mel-frequency cepstral coefficients, (B, n_mfcc, frames), as librosa.feature.mfcc computes them: the
    orthonormal DCT-II of the mel power spectrogram in dB, floored top_db below the loudest value of the whole
    call, optionally liftered; with an exact backward pass (the floor's dependence on that loudest value
    included).

    Parameters as for MelEngine, then
    n_mfcc : int, default 20
        Coefficients kept (1 .. n_mels).
    top_db : float or None, default 80.0
        Floor below the loudest dB value of the call; None for no floor.
    lifter : float, default 0.0
        Cepstral liftering 1 + (lifter / 2) sin(pi (k + 1) / lifter) of coefficient k; 0 for none.
    """

    _names = _MEL_NAMES + ("n_mfcc", "top_db", "lifter")

    def __init__(self, sr: float, n_fft: int = 2048, hop_length: int = 512, win_length: int | None = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant", n_mels: int = 128,
                 fmin: float = 0.0, fmax: float | None = None, mel_scale: str = "slaney", mel_norm: str = "slaney",
                 n_mfcc: int = 20, top_db: float | None = 80.0, lifter: float = 0.0) -> None:
        args = _mel_args(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax, mel_scale,
                         mel_norm)
        super().__init__(*args, n_mfcc, -1.0 if top_db is None else top_db, lifter)
        self._keep(*args, n_mfcc, top_db, lifter)


class DeltaEngine(_Parameters, _native.DeltaEngine):
    """Delta features: the Savitzky-Golay derivative along the last axis (frames) of any (..., frames) array,
    as librosa.feature.delta computes it, with an exact backward pass (the transpose of this linear map).

    Parameters
    ----------
    width : int, default 9
        Frames per local fit; odd, >= 3.
    order : int, default 1
        Derivative order, also the degree of the fitted polynomial (1 .. width - 1).
    mode : {"interp", "nearest"}, default "interp"
        Edges: "interp" fits the first and last `width` frames (needs at least `width` frames); "nearest"
        repeats the edge frames (with order 1, torchaudio's ComputeDeltas).
    """

    _names = ("width", "order", "mode")

    def __init__(self, width: int = 9, order: int = 1, mode: str = "interp") -> None:
        super().__init__(width, order, mode)
        self._keep(width, order, mode)


ENGINES = (StftEngine, IstftEngine, MelEngine, CqtEngine, ChromaEngine, RmsEngine, SpectralMomentsEngine,
           SpectralFluxEngine, OnsetStrengthEngine, TempogramEngine, MfccEngine, DeltaEngine)
