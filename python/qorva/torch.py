"""PyTorch layers over the qorva engines.

Every transform is a ``torch.autograd.Function`` whose forward calls the
engine's ``forward`` and whose backward calls the engine's ``backward`` (the
exact gradient the engine computes; nothing is re-derived in torch), wrapped in
an ``nn.Module`` whose arguments follow torchaudio's where torchaudio has the
same transform.

Tensors:

* CPU tensors (float32 or float64) reach the engines through NumPy without a
  copy when they are contiguous; results come back as tensors over the
  engines' memory (the complex STFT keeps its frame-major strides).
* A 1-D input is one signal; an input of shape (..., samples) is flattened to
  (batch, samples) and the leading dimensions are restored on the output.
* CUDA tensors stay on the device: they go through the engine's resident
  DLPack path on the current CUDA stream of their own device when the engine
  has one, and are refused with a clear error otherwise (never copied to the
  host behind your back).  They are float32 (complex64 spectra); float16
  where the engine's resident path takes it; float64 for the forward where
  the engine has a float64 resident forward (the STFT).
* Double backward (gradients of gradients) is not supported and raises.

Modules hold only their arguments: the engine is built on first use, is not
part of ``state_dict`` and is rebuilt after unpickling.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

import numpy as np
import torch
from torch import nn

from . import _native

__all__ = [
    "Spectrogram",
    "InverseSpectrogram",
    "MelSpectrogram",
    "CQT",
    "Chroma",
    "RMS",
    "SpectralMoments",
    "SpectralFlux",
    "OnsetStrength",
    "Tempogram",
]

C1_HZ = 32.70319566257483


# --- tensor exchange ---------------------------------------------------------

def _as_batch(x: torch.Tensor, core_dims: int) -> tuple[torch.Tensor, tuple[int, ...]]:
    """(..., *core) -> (B, *core) and the leading shape to restore."""
    if x.dim() < core_dims:
        raise ValueError(f"expected at least {core_dims} dimension(s), got a tensor of shape {tuple(x.shape)}")
    lead = tuple(x.shape[: x.dim() - core_dims])
    return x.reshape((-1,) + tuple(x.shape[x.dim() - core_dims:])), lead


def _restore(y: torch.Tensor, lead: tuple[int, ...]) -> torch.Tensor:
    return y.reshape(lead + tuple(y.shape[1:]))


def _to_numpy(t: torch.Tensor) -> np.ndarray:
    """A NumPy view of a CPU tensor (a copy only when it is not contiguous)."""
    return t.detach().contiguous().numpy()


def _from_numpy(a: np.ndarray) -> torch.Tensor:
    return torch.from_numpy(a)


def _resident(engine, name: str) -> None:
    if not engine.gpu_resident_supported():
        raise RuntimeError(
            f"{name}: CUDA tensors need a resident GPU engine and there is none for these parameters on this "
            "build or machine; move the input to the CPU (.cpu()) to run it there"
        )


def _stream(t: torch.Tensor) -> int:
    """The current stream of the tensor's device (not of the current device)."""
    return torch.cuda.current_stream(t.device).cuda_stream


def _check_cuda_dtypes(engine, name: str, tensors, f64: bool = False) -> None:
    """Refuses CUDA tensors of a dtype the engine's resident path does not take,
    naming the ones it does."""
    allowed = [torch.float32, torch.complex64]
    if engine.gpu_resident_f16_supported():
        allowed += [torch.float16, torch.complex32]
    if f64:
        allowed.append(torch.float64)
    for t in tensors:
        if t.dtype not in allowed:
            names = ", ".join(str(d).replace("torch.", "") for d in allowed)
            raise TypeError(f"{name}: CUDA tensors of dtype {str(t.dtype).replace('torch.', '')} are not supported "
                            f"here; use {names}, or move the input to the CPU (.cpu()), where float64 runs too")


def _dlpack(t: torch.Tensor):
    t = t.detach()
    if t.is_complex() and t.dim() == 3:
        # Complex spectra travel frame-major: (B, K, F) with the bins fastest.
        t = t.transpose(1, 2).contiguous().transpose(1, 2)
    else:
        t = t.contiguous()
    return torch.utils.dlpack.to_dlpack(t)


def _from_dlpack(capsule) -> torch.Tensor:
    return torch.utils.dlpack.from_dlpack(capsule)


def _call_forward(engine, name: str, x: torch.Tensor, args: tuple) -> torch.Tensor:
    if x.is_cuda:
        _resident(engine, name)
        # float64 has a resident forward of its own where the engine offers one.
        f64 = x.dtype == torch.float64 and getattr(engine, "gpu_resident_f64_supported", lambda: False)()
        _check_cuda_dtypes(engine, name, (x,), f64)
        call = engine.forward_dlpack_f64 if f64 else engine.forward_dlpack
        with torch.cuda.device(x.device):
            return _from_dlpack(call(_dlpack(x), *args, _stream(x)))
    return _from_numpy(engine.forward(_to_numpy(x), *args))


def _call_backward(engine, name: str, grad: torch.Tensor, x: Optional[torch.Tensor], args: tuple) -> torch.Tensor:
    """engine.backward(grad, x, *args) (or (grad, *args) when x is None)."""
    inputs = (grad,) if x is None else (grad, x)
    if grad.is_cuda:
        _resident(engine, name)
        _check_cuda_dtypes(engine, name, inputs)
        with torch.cuda.device(grad.device):
            return _from_dlpack(engine.backward_dlpack(*(_dlpack(t) for t in inputs), *args, _stream(grad)))
    return _from_numpy(engine.backward(*(_to_numpy(t) for t in inputs), *args))


class _NoSecondOrder(torch.autograd.Function):
    """Marks a gradient computed by an engine: it can be used as a value, but
    differentiating it again (double backward, gradient penalties) raises
    instead of silently treating it as a constant."""

    @staticmethod
    def forward(ctx, grad: torch.Tensor, *depends_on: torch.Tensor):
        return grad.clone()

    @staticmethod
    def backward(ctx, *unused):
        raise RuntimeError("qorva: double backward (the derivative of a qorva gradient) is not supported")


def _guard_second_order(grad_in: torch.Tensor, *depends_on: torch.Tensor) -> torch.Tensor:
    if torch.is_grad_enabled() and any(t.requires_grad for t in depends_on):
        return _NoSecondOrder.apply(grad_in, *depends_on)
    return grad_in


class _SignalTransform(torch.autograd.Function):
    """y = engine.forward(x, *args) for signals x of shape (B, L); the backward
    is engine.backward(grad, x, *args)."""

    @staticmethod
    def forward(ctx, x: torch.Tensor, engine, name: str, *args):
        ctx.engine, ctx.name, ctx.args = engine, name, args
        ctx.save_for_backward(x)
        return _call_forward(engine, name, x, args)

    @staticmethod
    def backward(ctx, grad: torch.Tensor):
        (x,) = ctx.saved_tensors
        with torch.no_grad():
            grad_x = _call_backward(ctx.engine, ctx.name, grad, x, ctx.args)
        return (_guard_second_order(grad_x, x, grad), None, None) + (None,) * len(ctx.args)


class _SpectrumToSignal(torch.autograd.Function):
    """The inverse STFT: y = engine.forward(Z, length); linear, so its backward
    needs only the frame count."""

    @staticmethod
    def forward(ctx, Z: torch.Tensor, engine, name: str, length: int):
        ctx.engine, ctx.name, ctx.n_frames = engine, name, Z.shape[-1]
        return _call_forward(engine, name, Z, (length,))

    @staticmethod
    def backward(ctx, grad: torch.Tensor):
        with torch.no_grad():
            grad_Z = _call_backward(ctx.engine, ctx.name, grad, None, (ctx.n_frames,))
        # Linear: the gradient depends on nothing but `grad`.
        return _guard_second_order(grad_Z, grad), None, None, None


# --- modules -----------------------------------------------------------------

class _EngineModule(nn.Module):
    """A module whose engine is built lazily from plain constructor arguments
    and is never pickled or put into state_dict."""

    def __init__(self) -> None:
        super().__init__()
        self._engine = None

    def _build(self):
        raise NotImplementedError

    @property
    def engine(self):
        if self._engine is None:
            self._engine = self._build()
        return self._engine

    def __getstate__(self):
        state = self.__dict__.copy()
        state["_engine"] = None
        return state

    def _signal_call(self, waveform: torch.Tensor, *args) -> torch.Tensor:
        x, lead = _as_batch(waveform, 1)
        return _restore(_SignalTransform.apply(x, self.engine, type(self).__name__, *args), lead)


def _window_arg(window: Any):
    """A window name, or values as a float64 NumPy array (from a tensor or sequence)."""
    if isinstance(window, str):
        return window
    if isinstance(window, torch.Tensor):
        return window.detach().cpu().double().numpy()
    return np.asarray(window, dtype=np.float64)


def _power_output(power: Optional[float], allow_complex: bool) -> str:
    if power is None:
        if not allow_complex:
            raise ValueError("power=None (a complex result) is not available for this transform")
        return "complex"
    if power == 1.0:
        return "magnitude"
    if power == 2.0:
        return "power"
    raise ValueError(f"power must be 1.0 or 2.0 (or None for a complex spectrum), got {power!r}")


class Spectrogram(_EngineModule):
    """Short-time Fourier transform of (..., time) signals.

    Arguments follow ``torchaudio.transforms.Spectrogram``: ``n_fft`` (400),
    ``win_length`` (n_fft), ``hop_length`` (win_length // 2), ``power``
    (2.0 power, 1.0 magnitude, None complex), ``center`` (True), ``pad_mode``
    ("reflect", or "constant"). ``window`` is a name ("hann", "hamming",
    "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar") or
    win_length values. ``output="db"`` returns 10*log10(max(power, 1e-10))
    instead and overrides ``power``. Returns (..., n_fft // 2 + 1, frames).
    """

    def __init__(self, n_fft: int = 400, win_length: Optional[int] = None, hop_length: Optional[int] = None,
                 power: Optional[float] = 2.0, center: bool = True, pad_mode: str = "reflect",
                 window: Any = "hann", output: Optional[str] = None) -> None:
        super().__init__()
        self.n_fft = n_fft
        self.win_length = win_length if win_length is not None else n_fft
        self.hop_length = hop_length if hop_length is not None else self.win_length // 2
        self.center, self.pad_mode, self.window = center, pad_mode, _window_arg(window)
        self.output = output if output is not None else _power_output(power, allow_complex=True)

    def _build(self):
        return _native.StftEngine(self.n_fft, self.hop_length, self.win_length, self.window, self.center,
                                  self.pad_mode)

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        return self._signal_call(waveform, self.output)


class InverseSpectrogram(_EngineModule):
    """Inverse STFT of complex (..., n_fft // 2 + 1, frames) spectra by
    windowed overlap-add (arguments as ``torchaudio.transforms.InverseSpectrogram``:
    ``n_fft``, ``win_length``, ``hop_length``, ``center``; ``window`` as in
    ``Spectrogram``). ``forward(spectrogram, length=None)``: None gives the
    natural length."""

    def __init__(self, n_fft: int = 400, win_length: Optional[int] = None, hop_length: Optional[int] = None,
                 center: bool = True, window: Any = "hann") -> None:
        super().__init__()
        self.n_fft = n_fft
        self.win_length = win_length if win_length is not None else n_fft
        self.hop_length = hop_length if hop_length is not None else self.win_length // 2
        self.center, self.window = center, _window_arg(window)

    def _build(self):
        return _native.IstftEngine(self.n_fft, self.hop_length, self.win_length, self.window, self.center)

    def forward(self, spectrogram: torch.Tensor, length: Optional[int] = None) -> torch.Tensor:
        if not spectrogram.is_complex():
            raise TypeError(f"InverseSpectrogram expects a complex spectrogram, got {spectrogram.dtype}")
        Z, lead = _as_batch(spectrogram, 2)
        y = _SpectrumToSignal.apply(Z, self.engine, type(self).__name__, -1 if length is None else int(length))
        return _restore(y, lead)


class MelSpectrogram(_EngineModule):
    """Mel spectrogram of (..., time) signals.

    Arguments follow ``torchaudio.transforms.MelSpectrogram``: ``sample_rate``
    (16000), ``n_fft`` (400), ``win_length`` (n_fft), ``hop_length``
    (win_length // 2), ``f_min`` (0), ``f_max`` (sample_rate / 2), ``n_mels``
    (128), ``power`` (2.0; 1.0 for magnitudes), ``center`` (True), ``pad_mode``
    ("reflect"), ``norm`` (None or "slaney"), ``mel_scale`` ("htk" or
    "slaney"); ``window`` as in ``Spectrogram``. ``output="db"`` returns
    10*log10(max(mel power, 1e-10)). Returns (..., n_mels, frames).
    """

    def __init__(self, sample_rate: int = 16000, n_fft: int = 400, win_length: Optional[int] = None,
                 hop_length: Optional[int] = None, f_min: float = 0.0, f_max: Optional[float] = None,
                 n_mels: int = 128, power: float = 2.0, center: bool = True, pad_mode: str = "reflect",
                 norm: Optional[str] = None, mel_scale: str = "htk", window: Any = "hann",
                 output: Optional[str] = None) -> None:
        super().__init__()
        self.sample_rate, self.n_fft, self.n_mels = sample_rate, n_fft, n_mels
        self.win_length = win_length if win_length is not None else n_fft
        self.hop_length = hop_length if hop_length is not None else self.win_length // 2
        self.f_min = f_min
        self.f_max = f_max if f_max is not None else float(sample_rate) / 2
        self.center, self.pad_mode, self.window = center, pad_mode, _window_arg(window)
        self.norm = "none" if norm is None else norm
        self.mel_scale = mel_scale
        self.output = output if output is not None else _power_output(power, allow_complex=False)

    def _build(self):
        return _native.MelEngine(float(self.sample_rate), self.n_fft, self.hop_length, self.win_length, self.window,
                                 self.center, self.pad_mode, self.n_mels, float(self.f_min), float(self.f_max),
                                 self.mel_scale, self.norm)

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        return self._signal_call(waveform, self.output)


class CQT(_EngineModule):
    """Constant-Q (variable-Q with ``gamma``) transform of (..., time) signals:
    ``sr`` (22050), ``hop_length`` (512), ``fmin`` (C1, 32.70 Hz), ``n_bins``
    (84), ``bins_per_octave`` (12), ``gamma`` (0: constant Q; negative: the
    automatic ERB-like offset), ``output`` ("magnitude", "power", "db" or
    "complex"). Returns (..., n_bins, frames)."""

    def __init__(self, sr: float = 22050, hop_length: int = 512, fmin: float = C1_HZ, n_bins: int = 84,
                 bins_per_octave: int = 12, gamma: float = 0.0, output: str = "magnitude") -> None:
        super().__init__()
        self.sr, self.hop_length, self.fmin = sr, hop_length, fmin
        self.n_bins, self.bins_per_octave, self.gamma, self.output = n_bins, bins_per_octave, gamma, output

    def _build(self):
        return _native.CqtEngine(float(self.sr), self.hop_length, float(self.fmin), self.n_bins,
                                 self.bins_per_octave, float(self.gamma))

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        return self._signal_call(waveform, self.output)


class Chroma(_EngineModule):
    """Chromagram from the CQT magnitude, each frame divided by its largest
    pitch class: ``sr`` (22050), ``hop_length`` (512), ``bins_per_octave``
    (36), ``n_octaves`` (7), ``n_chroma`` (12), ``fmin`` (C1). Returns
    (..., n_chroma, frames)."""

    def __init__(self, sr: float = 22050, hop_length: int = 512, bins_per_octave: int = 36, n_octaves: int = 7,
                 n_chroma: int = 12, fmin: float = C1_HZ) -> None:
        super().__init__()
        self.sr, self.hop_length, self.bins_per_octave = sr, hop_length, bins_per_octave
        self.n_octaves, self.n_chroma, self.fmin = n_octaves, n_chroma, fmin

    def _build(self):
        return _native.ChromaEngine(float(self.sr), self.hop_length, self.bins_per_octave, self.n_octaves,
                                    self.n_chroma, float(self.fmin))

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        return self._signal_call(waveform)


# --- frame features ------------------------------------------------------------
#
# torchaudio has none of these transforms (SpectralCentroid aside), so their
# arguments are the engines' own, with librosa's defaults. Each returns
# (..., rows, frames): one row for RMS, flux and onset strength, one per
# requested statistic for SpectralMoments, tempo_win lags for Tempogram.

class _FeatureModule(_EngineModule):
    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        # The feature engines take an `output` argument for symmetry and ignore it.
        return self._signal_call(waveform, "power")


class RMS(_FeatureModule):
    """Frame root-mean-square energy: ``frame_length`` (2048), ``hop_length``
    (512), ``center`` (True), ``pad_mode`` ("constant" or "reflect")."""

    def __init__(self, frame_length: int = 2048, hop_length: int = 512, center: bool = True,
                 pad_mode: str = "constant") -> None:
        super().__init__()
        self.frame_length, self.hop_length, self.center, self.pad_mode = frame_length, hop_length, center, pad_mode

    def _build(self):
        return _native.RmsEngine(self.frame_length, self.hop_length, self.center, self.pad_mode)


class _SpectralArgs(_FeatureModule):
    def __init__(self, n_fft: int, hop_length: int, win_length: Optional[int], window: Any, center: bool,
                 pad_mode: str) -> None:
        super().__init__()
        self.n_fft, self.hop_length = n_fft, hop_length
        self.win_length = win_length if win_length is not None else n_fft
        self.window, self.center, self.pad_mode = _window_arg(window), center, pad_mode

    def _frame_args(self) -> tuple:
        return (self.n_fft, self.hop_length, self.win_length, self.window, self.center, self.pad_mode)


class SpectralMoments(_SpectralArgs):
    """Spectral shape statistics per frame, one output row per entry of
    ``features`` (any of "centroid", "bandwidth", "skewness", "kurtosis",
    "flatness", "slope", "decrease", "crest", "entropy"; repeats allowed):
    ``sr`` (22050), ``n_fft`` (2048), ``hop_length`` (512), ``win_length``
    (n_fft), ``window`` ("hann"), ``center`` (True), ``pad_mode`` ("constant")."""

    def __init__(self, sr: float = 22050, n_fft: int = 2048, hop_length: int = 512,
                 win_length: Optional[int] = None, window: Any = "hann", center: bool = True,
                 pad_mode: str = "constant", features: Sequence[str] = ("centroid",)) -> None:
        super().__init__(n_fft, hop_length, win_length, window, center, pad_mode)
        self.sr, self.features = sr, list(features)

    def _build(self):
        return _native.SpectralMomentsEngine(float(self.sr), *self._frame_args(), self.features)


class SpectralFlux(_SpectralArgs):
    """Spectral flux per frame: ``n_fft`` (2048), ``hop_length`` (512),
    ``win_length`` (n_fft), ``window`` ("hann"), ``center`` (True),
    ``pad_mode`` ("constant")."""

    def __init__(self, n_fft: int = 2048, hop_length: int = 512, win_length: Optional[int] = None,
                 window: Any = "hann", center: bool = True, pad_mode: str = "constant") -> None:
        super().__init__(n_fft, hop_length, win_length, window, center, pad_mode)

    def _build(self):
        return _native.SpectralFluxEngine(*self._frame_args())


class OnsetStrength(_SpectralArgs):
    """Mel-based onset strength per frame: ``sr`` (22050), ``n_fft`` (2048),
    ``hop_length`` (512), ``win_length`` (n_fft), ``window`` ("hann"),
    ``center`` (True), ``pad_mode`` ("constant"), ``n_mels`` (128), ``fmin``
    (0), ``fmax`` (sr / 2), ``mel_scale`` ("slaney"), ``mel_norm`` ("slaney")."""

    def __init__(self, sr: float = 22050, n_fft: int = 2048, hop_length: int = 512,
                 win_length: Optional[int] = None, window: Any = "hann", center: bool = True,
                 pad_mode: str = "constant", n_mels: int = 128, fmin: float = 0.0, fmax: Optional[float] = None,
                 mel_scale: str = "slaney", mel_norm: str = "slaney") -> None:
        super().__init__(n_fft, hop_length, win_length, window, center, pad_mode)
        self.sr, self.n_mels, self.fmin = sr, n_mels, fmin
        self.fmax = fmax if fmax is not None else float(sr) / 2
        self.mel_scale, self.mel_norm = mel_scale, mel_norm

    def _mel_args(self) -> tuple:
        return (float(self.sr), *self._frame_args(), self.n_mels, float(self.fmin), float(self.fmax),
                self.mel_scale, self.mel_norm)

    def _build(self):
        return _native.OnsetStrengthEngine(*self._mel_args())


class Tempogram(OnsetStrength):
    """Autocorrelation tempogram of the onset strength: the arguments of
    ``OnsetStrength`` and ``tempo_win`` (384 lags)."""

    def __init__(self, sr: float = 22050, n_fft: int = 2048, hop_length: int = 512,
                 win_length: Optional[int] = None, window: Any = "hann", center: bool = True,
                 pad_mode: str = "constant", n_mels: int = 128, fmin: float = 0.0, fmax: Optional[float] = None,
                 mel_scale: str = "slaney", mel_norm: str = "slaney", tempo_win: int = 384) -> None:
        super().__init__(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax,
                         mel_scale, mel_norm)
        self.tempo_win = tempo_win

    def _build(self):
        return _native.TempogramEngine(*self._mel_args(), self.tempo_win)
