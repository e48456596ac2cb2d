"""Shared plumbing of the librosa-style function layer: argument checks,
(..., n) <-> (batch, n) reshaping, the engine cache, windows and the small
NumPy post-processing steps (dB conversion, normalisation) that several
functions apply to engine results."""

import contextlib
import contextvars
import functools
import numbers

import numpy as np

from . import _native

# Window names the engines compute themselves; other specifications are
# turned into arrays here or refused.
ENGINE_WINDOWS = ("hann", "hamming", "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar")
_COSINE_TERMS = {
    "hann": (0.5, 0.5),
    "hamming": (0.54, 0.46),
    "blackman": (0.42, 0.5, 0.08),
    "blackmanharris": (0.35875, 0.48829, 0.14128, 0.01168),
    "nuttall": (0.3635819, 0.4891775, 0.1365995, 0.0106411),
}
# SciPy's short names for the same windows, which librosa users may pass.
_WINDOW_ALIASES = {"han": "hann", "rect": "boxcar", "rectangular": "boxcar", "ones": "boxcar", "box": "boxcar",
                   "bart": "bartlett", "brt": "bartlett", "hamm": "hamming", "ham": "hamming",
                   "black": "blackman", "blk": "blackman", "blackharr": "blackmanharris",
                   "bkh": "blackmanharris", "nutl": "nuttall", "nut": "nuttall"}


def unsupported(func, **given):
    """Refuse librosa arguments this layer cannot honour, naming each one."""
    bad = [f"{name}={value!r}" for name, value in given.items()]
    if bad:
        raise ValueError(f"qorva.{func} does not support {', '.join(bad)}; "
                         "leave these arguments at librosa's defaults")


def as_audio(y, name="y"):
    """y as a float32/float64 array of shape (..., n) with n >= 1, like librosa's valid_audio."""
    y = np.asarray(y)
    if not np.issubdtype(y.dtype, np.floating):
        raise ValueError(f"{name} must be floating-point audio; got dtype {y.dtype}")
    if y.ndim == 0:
        raise ValueError(f"{name} must have at least one dimension; got a scalar")
    if y.dtype != np.float64:
        # float16 and other narrow floats are computed in float32, as librosa's results are
        y = y.astype(np.float32, copy=False)
    if not np.isfinite(y).all():
        raise ValueError(f"{name} is not finite everywhere")
    return y


def batched(y):
    """(..., n) -> ((B, n) C-contiguous view, leading shape)."""
    lead = y.shape[:-1]
    return np.ascontiguousarray(y.reshape((-1, y.shape[-1]))), lead


def unbatch(out, lead):
    """(B, ...) -> (*lead, ...)."""
    return out.reshape(lead + out.shape[1:])


def window_spec(window, win_length):
    """A hashable window argument for the engines: a name they know or a tuple of samples.

    Mirrors librosa's get_window(window, win_length, fftbins=True) for names
    (periodic windows), callables (called with the length) and arrays (their
    length must be win_length); SciPy-only windows (tuples such as
    ('kaiser', 4.0), other names) are refused since SciPy is not a runtime
    dependency.
    """
    if callable(window):
        return tuple(np.asarray(window(win_length), dtype=np.float64).ravel())
    if isinstance(window, str):
        name = _WINDOW_ALIASES.get(window, window)
        if name in ENGINE_WINDOWS:
            return name
        raise ValueError(f"window {window!r} is not supported; use one of {ENGINE_WINDOWS}, "
                         "a callable or an array of win_length samples")
    if isinstance(window, (np.ndarray, list)):
        w = np.asarray(window, dtype=np.float64)
        if w.ndim != 1 or len(w) != win_length:
            raise ValueError(f"window size mismatch: {w.shape} samples for win_length={win_length}")
        return tuple(w)
    raise ValueError(f"window {window!r} is not supported; use one of {ENGINE_WINDOWS}, "
                     "a callable or an array of win_length samples")


def window_array(spec, n):
    """The samples of a window_spec() result, periodic like scipy's get_window(fftbins=True)."""
    if isinstance(spec, tuple):
        return np.asarray(spec, dtype=np.float64)
    if spec == "boxcar":
        return np.ones(n)
    if spec == "bartlett":
        return np.bartlett(n + 1)[:-1]
    # A periodic window of n samples is the symmetric one of n + 1 without its last sample.
    phase = 2.0 * np.pi * np.arange(n) / n
    return sum((-1) ** k * a * np.cos(k * phase) for k, a in enumerate(_COSINE_TERMS[spec]))


def _engine_arg(a):
    # Cache keys hold tuples: window samples become an array, feature names a list.
    if not isinstance(a, tuple):
        return a
    if a and all(isinstance(v, str) for v in a):
        return list(a)
    return np.asarray(a, dtype=np.float64)


@functools.lru_cache(maxsize=64)
def _cached_engine(kind, *args):
    cls = getattr(_native, kind)
    return cls(*(_engine_arg(a) for a in args))


# The backend the function layer's engine calls run on in this context.  The
# dataset extractor sets it per worker thread for --device cuda, so that the
# same functions, and so the same post-processing, serve both devices.
_backend = contextvars.ContextVar("qorva_backend", default="cpu")


class _OnBackend:
    """An engine whose forward calls run on a GPU backend; refuses engines that have none."""

    def __init__(self, eng, backend):
        if not eng.gpu_supported():
            raise ValueError(f"{type(eng).__name__} has no {backend} backend in this build of qorva")
        self._eng, self._backend = eng, backend

    def forward(self, *args):
        return self._eng.forward(*args, backend=self._backend)

    def __getattr__(self, name):
        return getattr(self._eng, name)


@contextlib.contextmanager
def use_backend(backend):
    """Run the function layer's engine calls on ``backend`` ("cpu" or "cuda") within the block."""
    token = _backend.set(backend)
    try:
        yield
    finally:
        _backend.reset(token)


def engine(kind, *args):
    """One engine per parameter tuple, built on first use and reused after.

    Building an engine plans its FFTs and filters, which costs far more than a
    short call; the cache keeps a loop of calls at the cost of the calls.
    Windows and feature lists arrive as tuples so that the key is hashable.
    """
    eng = _cached_engine(kind, *args)
    backend = _backend.get()
    return eng if backend == "cpu" else _OnBackend(eng, backend)


engine.cache_info = _cached_engine.cache_info


@functools.lru_cache(maxsize=32)
def mel_basis(sr, n_fft, n_mels, fmin, fmax, htk, norm):
    return _native.mel_filterbank(float(sr), int(n_fft), int(n_mels), float(fmin), float(fmax),
                                  "htk" if htk else "slaney", "slaney" if norm == "slaney" else "none")


def check_positive_int(name, value):
    if not isinstance(value, numbers.Integral) or isinstance(value, bool) or value < 1:
        raise ValueError(f"{name}={value!r} must be a positive integer")
    return int(value)


def tiny(x):
    dtype = np.asarray(x).dtype
    if not np.issubdtype(dtype, np.floating) and not np.issubdtype(dtype, np.complexfloating):
        dtype = np.float32
    return np.finfo(dtype).tiny


def power_to_db(S, ref=1.0, amin=1e-10, top_db=80.0):
    """librosa.power_to_db: 10 log10(S / ref) floored at amin, clipped top_db below the maximum.

    The clip is relative to the maximum over the whole array, every channel
    of a batch included, as librosa computes it.
    """
    magnitude = np.abs(S)
    ref_value = ref(magnitude) if callable(ref) else np.abs(ref)
    log_spec = 10.0 * np.log10(np.maximum(amin, magnitude))
    log_spec -= 10.0 * np.log10(np.maximum(amin, ref_value))
    if top_db is not None:
        log_spec = np.maximum(log_spec, log_spec.max() - top_db)
    return log_spec


def normalize(S, norm=np.inf, axis=-2, threshold=None):
    """librosa.util.normalize with fill=None: columns whose norm is below threshold stay as they are."""
    if norm is None:
        return S
    if threshold is None:
        threshold = tiny(S)
    if not np.all(np.isfinite(S)):
        raise ValueError("Input must be finite")
    mag = np.abs(S).astype(float)
    if norm == np.inf:
        length = np.max(mag, axis=axis, keepdims=True)
    elif norm == -np.inf:
        length = np.min(mag, axis=axis, keepdims=True)
    elif norm == 0:
        length = np.sum(mag > 0, axis=axis, keepdims=True, dtype=mag.dtype)
    elif isinstance(norm, numbers.Real) and norm > 0:
        length = np.sum(mag**norm, axis=axis, keepdims=True) ** (1.0 / norm)
    else:
        raise ValueError(f"Unsupported norm: {norm!r}")
    length[length < threshold] = 1.0
    out = np.empty_like(S)
    out[:] = S / length
    return out


def fft_frequencies(sr, n_fft):
    return np.fft.rfftfreq(n=n_fft, d=1.0 / sr)
