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

Importing this module runs the engines' parallel work on PyTorch's OpenMP
threads where PyTorch has them (see ``share_torch_threads``).

Modules hold only their arguments: the engine is built on first use, is not
part of ``state_dict`` and is rebuilt after unpickling.
"""

from __future__ import annotations

import ctypes
import os
import re
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
    "MFCC",
    "Delta",
    "MultiResolutionSTFTLoss",
    "share_torch_threads",
]

C1_HZ = 32.70319566257483


# --- threads -------------------------------------------------------------------

def _torch_openmp_parallel() -> Optional[int]:
    """The address of GOMP_parallel in the OpenMP runtime PyTorch runs its CPU
    operators on, or None (another parallel backend, no such runtime loaded,
    or a system without /proc)."""
    if "ATen parallel backend: OpenMP" not in torch.__config__.parallel_info():
        return None
    try:
        with open("/proc/self/maps") as maps:
            fields = (line.split(None, 5) for line in maps)
            loaded = {f[5].strip() for f in fields if len(f) == 6}
    except OSError:
        return None
    runtimes = [p for p in loaded if re.fullmatch(r"lib(gomp|iomp5|omp)\b.*\.so.*", os.path.basename(p))]
    # PyTorch's own copy first, should the process hold more than one.
    torch_dir = os.path.dirname(os.path.realpath(torch.__file__))
    for path in sorted(runtimes, key=lambda p: (not os.path.realpath(p).startswith(torch_dir), p)):
        try:
            return ctypes.cast(ctypes.CDLL(path).GOMP_parallel, ctypes.c_void_p).value
        except (OSError, AttributeError):
            continue
    return None


def share_torch_threads(enabled: bool = True) -> bool:
    """Runs the engines' parallel work on PyTorch's OpenMP threads (``True``,
    the default once ``qorva.torch`` is imported) or on qorva's own threads
    (``False``); returns whether they are shared now.

    PyTorch's OpenMP threads keep spinning for a few milliseconds after each
    parallel operator. An engine call that follows one on qorva's own threads
    competes with them for the cores; on PyTorch's threads it finds them
    awake. No more threads run than ``qorva.set_num_threads`` asks for or the
    machine has, and results are the same either way. Sharing needs PyTorch's
    OpenMP backend on Linux (``torch.__config__.parallel_info()``); elsewhere
    this returns ``False`` and the engines keep their own threads. A child
    made by ``fork()`` goes back to qorva's threads.
    """
    address = _torch_openmp_parallel() if enabled else None
    _native._share_openmp_threads(address or 0)
    return address is not None


if os.environ.get("QORVA_DSP_SHARE_TORCH_THREADS", "1") != "0":
    share_torch_threads()


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
    """A NumPy view of a CPU tensor, strides and all: the engines copy strided
    input (the broadcast gradient of a sum, say) into pooled memory, where a
    contiguous torch copy would be a fresh allocation on every step."""
    return t.detach().resolve_conj().resolve_neg().numpy()


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


def _dlpack(t: torch.Tensor, engine=None):
    """The STFT engines exchange complex spectra frame-major ((B, K, F) with the
    bins fastest); every other tensor, the CQT's complex values included, C-ordered."""
    t = t.detach()
    if t.is_complex() and t.dim() == 3 and isinstance(engine, (_native.StftEngine, _native.IstftEngine)):
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
            return _from_dlpack(call(_dlpack(x, engine), *args, _stream(x)))
    return _from_numpy(engine.forward(_to_numpy(x), *args))


def _call_backward(engine, name: str, grad: torch.Tensor, x: Optional[torch.Tensor], args: tuple) -> torch.Tensor:
    """engine.backward(grad, x, *args) (or (grad, *args) when x is None)."""
    inputs = (grad,) if x is None else (grad, x)
    if grad.is_cuda:
        _resident(engine, name)
        _check_cuda_dtypes(engine, name, inputs)
        with torch.cuda.device(grad.device):
            return _from_dlpack(engine.backward_dlpack(*(_dlpack(t, engine) for t in inputs), *args, _stream(grad)))
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


# --- cepstra, deltas and the multi-resolution STFT loss --------------------------

class MFCC(_EngineModule):
    """Mel-frequency cepstral coefficients of (..., time) signals, as
    ``torchaudio.transforms.MFCC`` computes them: the orthonormal DCT-II of the
    mel power spectrogram in dB, floored 80 dB below its maximum, which spans
    the whole batch for a (batch, time) input and each leading entry's channels
    for (..., channel, time), as torchaudio's does. Arguments: ``sample_rate``
    (16000), ``n_mfcc`` (40), ``dct_type`` (2 only), ``norm`` ("ortho" only),
    ``log_mels`` (False only), ``melkwargs`` (the arguments of
    ``MelSpectrogram``, whose defaults apply; power 2.0). Returns
    (..., n_mfcc, frames), with the exact backward pass (through the floor's
    dependence on the maximum too)."""

    top_db = 80.0

    def __init__(self, sample_rate: int = 16000, n_mfcc: int = 40, dct_type: int = 2, norm: str = "ortho",
                 log_mels: bool = False, melkwargs: Optional[dict] = None) -> None:
        super().__init__()
        unsupported = {k: v for k, v in (("dct_type", dct_type), ("norm", norm), ("log_mels", log_mels))
                       if v != {"dct_type": 2, "norm": "ortho", "log_mels": False}[k]}
        if unsupported:
            raise ValueError(f"MFCC supports dct_type=2, norm='ortho' and log_mels=False only; got {unsupported}")
        self.sample_rate, self.n_mfcc = sample_rate, n_mfcc
        self.mel = MelSpectrogram(sample_rate=sample_rate, **(melkwargs or {}))
        if self.mel.output != "power":
            raise ValueError("MFCC needs the mel power spectrogram (power=2.0)")

    def _build(self):
        m = self.mel
        return _native.MfccEngine(float(self.sample_rate), m.n_fft, m.hop_length, m.win_length, m.window, m.center,
                                  m.pad_mode, m.n_mels, float(m.f_min), float(m.f_max), m.mel_scale, m.norm,
                                  self.n_mfcc, self.top_db, 0.0)

    def forward(self, waveform: torch.Tensor) -> torch.Tensor:
        if waveform.dim() <= 2:
            return self._signal_call(waveform, "")
        # One floor per leading entry, over its channels.
        groups = waveform.reshape((-1,) + tuple(waveform.shape[-2:]))
        out = torch.stack([self._signal_call(g, "") for g in groups.unbind(0)])
        return out.reshape(tuple(waveform.shape[:-1]) + tuple(out.shape[-2:]))


class _DeltaTransform(torch.autograd.Function):
    """Deltas along the last axis; linear, so the backward is the engine's transpose of grad alone."""

    @staticmethod
    def forward(ctx, x: torch.Tensor, engine):
        ctx.engine = engine
        return _from_numpy(engine.forward(_to_numpy(x)))

    @staticmethod
    def backward(ctx, grad: torch.Tensor):
        with torch.no_grad():
            grad_x = _from_numpy(ctx.engine.backward(_to_numpy(grad)))
        return _guard_second_order(grad_x, grad), None


class Delta(_EngineModule):
    """Delta coefficients along the last axis of (..., time) features, as
    ``torchaudio.transforms.ComputeDeltas`` computes them: the least-squares
    slope over ``win_length`` (5) frames with the edge frames repeated
    (``mode="replicate"``, the only mode); an even ``win_length`` uses
    win_length - 1 frames, as torchaudio's does. Pass ``order`` > 1 for
    higher derivatives of a degree-``order`` fit (qorva's extension). CPU
    tensors only."""

    def __init__(self, win_length: int = 5, mode: str = "replicate", order: int = 1) -> None:
        super().__init__()
        if mode != "replicate":
            raise ValueError(f"Delta supports mode='replicate' only; got {mode!r}")
        if win_length < 3:
            raise ValueError(f"win_length must be at least 3, got {win_length}")
        self.win_length, self.mode, self.order = win_length, mode, order

    def _build(self):
        return _native.DeltaEngine(2 * ((self.win_length - 1) // 2) + 1, self.order, "nearest")

    def forward(self, specgram: torch.Tensor) -> torch.Tensor:
        if specgram.is_cuda:
            raise RuntimeError("Delta: CUDA tensors are not supported; move the input to the CPU (.cpu())")
        return _DeltaTransform.apply(specgram, self.engine)


class MultiResolutionSTFTLoss(nn.Module):
    """The multi-resolution STFT loss of neural vocoder training: for each
    (n_fft, hop_length, win_length) the spectral convergence
    ||S_y - S_x||_F / ||S_y||_F plus the mean absolute difference of log
    magnitudes, with S = sqrt(max(|STFT|^2, 1e-7)) over Hann-windowed, centred,
    reflect-padded frames; averaged over the resolutions and weighted by
    ``factor_sc`` and ``factor_mag``. ``forward(x, y)`` takes the estimate x and
    the target y, (..., time), CPU or CUDA (where the GPU STFT exists), and
    returns a scalar; gradients reach x (and y) through the STFT's exact backward."""

    def __init__(self, fft_sizes: Sequence[int] = (1024, 2048, 512), hop_sizes: Sequence[int] = (120, 240, 50),
                 win_lengths: Sequence[int] = (600, 1200, 240), window: Any = "hann", factor_sc: float = 1.0,
                 factor_mag: float = 1.0, eps: float = 1e-7) -> None:
        super().__init__()
        if not (len(fft_sizes) == len(hop_sizes) == len(win_lengths)) or len(fft_sizes) == 0:
            raise ValueError("fft_sizes, hop_sizes and win_lengths must be non-empty and of equal length")
        self.spectrograms = nn.ModuleList(
            Spectrogram(n_fft=n, hop_length=h, win_length=w, window=window, power=2.0)
            for n, h, w in zip(fft_sizes, hop_sizes, win_lengths))
        self.factor_sc, self.factor_mag, self.eps = factor_sc, factor_mag, eps

    def forward(self, x: torch.Tensor, y: torch.Tensor) -> torch.Tensor:
        if x.shape != y.shape:
            raise ValueError(f"x and y must have the same shape, got {tuple(x.shape)} and {tuple(y.shape)}")
        sc = mag = 0.0
        for spec in self.spectrograms:
            sx = torch.sqrt(torch.clamp(spec(x), min=self.eps))
            sy = torch.sqrt(torch.clamp(spec(y), min=self.eps))
            sc = sc + torch.linalg.vector_norm(sy - sx) / torch.linalg.vector_norm(sy)
            mag = mag + torch.mean(torch.abs(torch.log(sy) - torch.log(sx)))
        n = len(self.spectrograms)
        return self.factor_sc * sc / n + self.factor_mag * mag / n
