"""Property-based fuzzing of every public entry point.

Each test draws constructor arguments (valid ones and out-of-range ones),
inputs of random shapes (empty and single-element axes included), dtypes and
memory layouts (transposed, stepped, reversed, read-only, misaligned,
byte-swapped, zero-stride) holding ordinary, tiny, huge, NaN and infinite
values, and checks that every call either

* returns the documented result: the right shape and dtype, the same values
  as for a C-contiguous copy of the input in the working precision, and
  finite values for moderate finite input where the transform is bounded; or
* raises one of ValueError, TypeError, RuntimeError or OverflowError with a
  message, of the type the bad argument calls for;

and that the engine still gives a fresh engine's result afterwards.  Sizes
stay small so that each call takes milliseconds.  The number of examples comes
from the Hypothesis profile chosen in conftest.py (QORVA_FUZZ=long for long
runs).
"""

import warnings
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import pytest
from hypothesis import event, given, note, strategies as st

import qorva
from qorva import _native

INT32_MAX = 2**31 - 1
INT64_MAX = 2**63 - 1
ALLOWED = (ValueError, TypeError, RuntimeError, OverflowError)
MAYBE = None  # an outcome the test does not predict: a result or an allowed error

_ComplexWarning = getattr(np, "exceptions", np).ComplexWarning

WINDOW_NAMES = ["hann", "hamming", "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar"]
DTYPES = ["float32", "float64", "float16", "int8", "int16", "int32", "int64", "uint8",
          "complex64", "complex128", "bool", "object", "str"]
LAYOUTS = ["c", "fortran", "stepped", "reversed", "readonly", "misaligned", "swapped", "zero_stride", "list"]
CONTENTS = ["normal", "tiny", "huge", "nan", "inf", "zeros"]


# --- calling and judging ------------------------------------------------------

def attempt(fn, *args, expected=MAYBE):
    """fn(*args), or None when it raised an allowed error.

    `expected` says what the arguments call for: () the call must succeed, a
    tuple of exception types it must raise one of them, MAYBE either.  Anything
    outside ALLOWED (SystemError, IndexError, ...) propagates and fails the test.
    """
    try:
        with warnings.catch_warnings():
            # Complex input to a real transform is cast with NumPy's warning,
            # huge values to a narrower type with an overflow warning.
            warnings.simplefilter("ignore", _ComplexWarning)
            warnings.simplefilter("ignore", RuntimeWarning)
            result = fn(*args)
    except ALLOWED as error:
        assert str(error), f"{type(error).__name__} without a message"
        name = getattr(fn, "__name__", "call")
        note(f"{name} raised {type(error).__name__}: {error}")
        event(f"{name}: {type(error).__name__}")
        if expected == ():
            raise
        if expected is not MAYBE:
            assert isinstance(error, expected), f"{type(error).__name__}: {error} (expected {expected})"
        return None
    if expected is not MAYBE:
        assert expected == (), f"{getattr(fn, '__name__', fn)} returned instead of raising {expected}"
    event(f"{getattr(fn, '__name__', 'call')}: result")
    return result


def expect(*types):
    """The outcome for a set of argument faults: () when there are none."""
    return tuple(sorted(set(types), key=lambda t: t.__name__))


def construction(*fault_lists):
    """Faults of a constructor call.  Arguments are converted before any is
    checked, so a conversion TypeError is all that can be seen when there is
    one; a None list means the arguments' validity is not predicted."""
    faults = [f for fl in fault_lists if fl for f in fl]
    if TypeError in faults:
        return [TypeError]
    if faults:
        return faults
    return None if any(fl is None for fl in fault_lists) else []


def assert_same(got, want):
    """Bit-for-bit equal arrays (NaNs equal), same dtype and shape."""
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


# --- arrays -------------------------------------------------------------------

@dataclass
class Drawn:
    value: Any          # what the call receives (an array view or a list)
    array: np.ndarray   # the same values as NumPy sees them


def _contents(rng, shape, dtype, kind):
    return np.asarray(_values(rng, shape, dtype, kind))


def _values(rng, shape, dtype, kind):
    dt = np.dtype(dtype) if dtype not in ("object", "str") else np.dtype("float64")
    if dt.kind in "iu":
        info = np.iinfo(dt)
        if kind == "huge":
            return rng.choice(np.array([info.min, info.max, 0], dtype=dt), size=shape)
        return rng.integers(max(info.min, -100), min(info.max, 100), size=shape, endpoint=True).astype(dt)
    if dt.kind == "b":
        return rng.random(shape) < 0.5
    values = rng.standard_normal(shape)
    width = dt.itemsize if dt.kind == "f" else dt.itemsize // 2
    if kind == "tiny":
        values *= {2: 1e-7, 4: 1e-42}.get(width, 1e-310)
    elif kind == "huge":
        values *= {2: 6e4, 4: 1e38}.get(width, 1e300)
    elif kind == "zeros":
        values[...] = 0.0
    elif kind in ("nan", "inf") and values.size:
        special = [np.nan] if kind == "nan" else [np.inf, -np.inf]
        mask = rng.random(shape) < 0.2
        values[mask] = rng.choice(special, size=int(mask.sum()))
    if dt.kind == "c":
        values = values + 1j * rng.standard_normal(shape)
    with np.errstate(over="ignore", invalid="ignore"):
        out = values.astype(dt)
    if dtype == "object":
        return out.astype(object)
    if dtype == "str":
        return out.astype(str)
    return out


def _with_layout(base, layout, rng):
    """A view holding base's values in the given memory layout."""
    if layout == "list":
        return base.tolist()
    if base.dtype.kind in "OU" and layout in ("misaligned", "swapped"):
        layout = "c"
    if layout == "fortran":
        return np.asfortranarray(base)
    if layout == "stepped" and base.ndim:
        steps = tuple(int(s) for s in rng.integers(1, 4, size=base.ndim))
        buf = np.zeros(tuple(max(1, n) * s for n, s in zip(base.shape, steps)), dtype=base.dtype)
        view = buf[tuple(slice(0, n * s, s) for n, s in zip(base.shape, steps))]
        view[...] = base
        return view
    if layout == "reversed" and base.ndim:
        flip = tuple(slice(None, None, -1) for _ in range(base.ndim))
        return base[flip].copy()[flip]
    if layout == "readonly":
        view = base.copy()
        view.flags.writeable = False
        return view
    if layout == "misaligned" and base.size and base.dtype.itemsize > 1:
        raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
        view = np.frombuffer(raw.data, dtype=base.dtype, count=base.size, offset=1).reshape(base.shape)
        view[...] = base
        return view
    if layout == "swapped" and base.dtype.itemsize > 1:
        return base.astype(base.dtype.newbyteorder())
    return base.copy()


@st.composite
def arrays(draw, shape, dtypes=DTYPES, layouts=LAYOUTS):
    """An input of the given shape with a random dtype (float32 and float64
    more often than the rest), content and layout."""
    dtype = draw(st.one_of(st.sampled_from(dtypes), st.sampled_from([d for d in ("float32", "float64")
                                                                      if d in dtypes])))
    kind = draw(st.sampled_from(CONTENTS))
    layout = draw(st.sampled_from(layouts))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    shape = tuple(shape)
    if layout == "zero_stride" and shape:
        row = _contents(rng, shape[1:], dtype, kind)
        view = np.broadcast_to(row, shape)
        return Drawn(view, np.ascontiguousarray(view))
    base = _contents(rng, shape, dtype, kind)
    view = _with_layout(base, layout, rng)
    return Drawn(view, np.asarray(view) if layout == "list" else base)


def is_double(a):
    return a.dtype.kind in "fc" and a.dtype.itemsize == (8 if a.dtype.kind == "f" else 16)


def precision(a):
    return np.float64 if is_double(a) else np.float32


def as_working(a, dtype):
    """a as the engines read it: C-contiguous in `dtype` (the real part of complex input)."""
    if a.dtype.kind == "c" and np.dtype(dtype).kind != "c":
        a = a.real
    with np.errstate(over="ignore", invalid="ignore"):
        return np.ascontiguousarray(a, dtype=dtype)


def numeric_fault(a):
    """TypeError for input that is not a number array, else None."""
    return None if a.dtype.kind in "biufc" else TypeError


def real_cast_fault(drawn):
    """[TypeError] when NumPy cannot cast the value to a real array: Python
    complex numbers (in lists or alone) are refused, complex arrays are cast
    with a warning."""
    a = drawn.array
    return [TypeError] if a.dtype.kind == "c" and not isinstance(drawn.value, np.ndarray) and a.size else []


def signal_faults(drawn):
    """Faults of a (batch, samples) signal: non-numeric and float16 input are
    refused with TypeError, other ranks with ValueError."""
    a = drawn.array
    faults = real_cast_fault(drawn)
    if numeric_fault(a) or (a.dtype.kind == "f" and a.dtype.itemsize == 2):
        faults.append(TypeError)
    elif a.ndim != 2:
        faults.append(ValueError)
    return faults


def bounded(*arrays_):
    """True when every array is finite and moderate, so bounded transforms give finite output."""
    for a in arrays_:
        if a.dtype.kind not in "biufc":
            return False
        with np.errstate(invalid="ignore", over="ignore"):
            v = np.asarray(a, dtype=np.complex128)
        if v.size and not (np.all(np.isfinite(v)) and np.abs(v).max() <= 1e4):
            return False
    return True


@st.composite
def signal_shapes(draw, max_len):
    """(batch, samples) shapes, and now and then another rank."""
    rank = draw(st.sampled_from([2] * 10 + [0, 1, 3]))
    samples = draw(st.integers(0, max_len))
    if rank == 2:
        return (draw(st.integers(0, 3)), samples)
    if rank == 1:
        return (samples,)
    if rank == 3:
        return (draw(st.integers(0, 2)), draw(st.integers(0, 2)), samples)
    return ()


# --- constructor arguments ----------------------------------------------------

def int32_fault(*values):
    """TypeError when an integer argument does not fit the engine's 32-bit parameter."""
    return [TypeError] if any(not -(2**31) <= v <= INT32_MAX for v in values) else []


# Each constructor strategy draws valid arguments and then, in about one case
# in three, spoils one of them (FAULT_ODDS: how many clean draws per spoiled one).
FAULT_ODDS = 2


def spoil(draw, *names):
    """The argument to spoil, or None."""
    return draw(st.sampled_from([None] * (FAULT_ODDS * len(names)) + list(names)))


@st.composite
def windows(draw, win_length):
    """A valid window argument for win_length: a name, values or an empty array (the default)."""
    choice = draw(st.sampled_from(["name", "name", "name", "array", "empty"]))
    if choice == "name":
        return draw(st.sampled_from(WINDOW_NAMES))
    if choice == "empty":
        return np.array([], dtype=np.float64)  # an empty array means the default (Hann)
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    dtype = draw(st.sampled_from(["float64", "float32", "float16", "int16", "bool", "complex64", "object"]))
    return _contents(rng, (win_length,), dtype, draw(st.sampled_from(["normal", "nan", "zeros"])))


@st.composite
def bad_windows(draw, win_length):
    return draw(st.sampled_from([
        "Hann", "", "kaiser", "hann ", np.ones(win_length + 1), np.ones(max(win_length - 1, 1) + 7),
        np.ones((1, win_length)), np.array(["x"] * win_length), None, 3.0]))


@dataclass
class FrameArgs:
    n_fft: int
    hop_length: int
    win_length: int
    window: Any
    center: bool
    pad_mode: str
    faults: list

    def frame_args(self):
        return (self.n_fft, self.hop_length, self.win_length, self.window, self.center, self.pad_mode)


@st.composite
def frame_args(draw, min_n_fft=1, max_n_fft=48, with_pad_mode=True):
    """Framing arguments.  Very large transform lengths come only with a bad
    window length, which is refused before the window is built."""
    n_fft = draw(st.sampled_from([None] * 8 + [127, 129, 200])) or draw(st.integers(min_n_fft, max_n_fft))
    win_length = draw(st.sampled_from([None, n_fft])) or draw(st.integers(1, n_fft))
    hop_length = draw(st.sampled_from([None] * 8 + [INT32_MAX])) or draw(st.integers(1, max(n_fft, 8)))
    window = draw(windows(win_length))
    center = draw(st.sampled_from([True, False, np.bool_(True), 0, 1]))
    pad_mode = draw(st.sampled_from(["reflect", "constant"]))
    faults = []
    bad = spoil(draw, "n_fft", "huge n_fft", "win_length", "hop_length", "window",
                *(["pad_mode"] if with_pad_mode else []))
    if bad == "n_fft":
        n_fft = draw(st.sampled_from([0, -1, -(2**31), 2**31]))
        win_length = min(win_length, max(n_fft, 1))
    elif bad == "huge n_fft":
        n_fft = draw(st.sampled_from([INT32_MAX, 2**31, -(2**31) - 1]))
        win_length = draw(st.sampled_from([0, -1, -(2**31)]))
    elif bad == "win_length":
        win_length = draw(st.sampled_from([0, -1, n_fft + 1, 2**31, -(2**31) - 1]))
    elif bad == "hop_length":
        hop_length = draw(st.sampled_from([0, -1, -(2**31), 2**31]))
    elif bad == "window":
        window = draw(bad_windows(win_length))
    elif bad == "pad_mode":
        pad_mode = draw(st.sampled_from(["wrap", "Reflect", ""]))
    if bad:
        faults = int32_fault(n_fft, hop_length, win_length) or [ValueError]
    return FrameArgs(n_fft, hop_length, win_length, window, center, pad_mode, faults)


FINITE_OR_ODD_FLOATS = st.one_of(
    st.floats(1.0, 96000.0), st.floats(1.0, 96000.0),
    st.sampled_from([0.0, -1.0, float("nan"), float("inf"), -float("inf"), 1e300, 1e-300, 5e-324]))


@dataclass
class MelArgs:
    sr: float
    n_mels: int
    fmin: float
    fmax: float
    mel_scale: str
    mel_norm: str
    faults: Optional[list]


@st.composite
def mel_args(draw, n_fft):
    """Mel arguments for n_fft.  Clean draws are a few bands from a low
    frequency to near Nyquist; whether every band covers an FFT bin is left to
    the engine (faults None), except where an argument is plainly bad."""
    sr = draw(st.floats(1000.0, 96000.0))
    fmin = draw(st.floats(0.0, sr / 8))
    fmax = sr / 2 * draw(st.floats(0.6, 1.0))
    n_mels = draw(st.sampled_from([None] * 9 + [0]))
    if n_mels is None:
        n_mels = draw(st.integers(1, max(1, min(8, n_fft // 6))))
    scale = draw(st.sampled_from(["slaney", "htk"]))
    norm = draw(st.sampled_from(["slaney", "none"]))
    faults = None
    bad = spoil(draw, "sr", "n_mels", "range", "scale", "norm")
    if bad == "sr":
        sr = draw(st.sampled_from([0.0, -1.0, float("nan"), -float("inf")]))
        faults = [ValueError]
    elif bad == "n_mels":
        n_mels = draw(st.sampled_from([-1, 2**31, INT32_MAX, 4 * n_fft]))
        faults = int32_fault(n_mels) or [ValueError]
    elif bad == "range":
        fmin, fmax = draw(st.sampled_from([(float("nan"), fmax), (fmin, float("nan")), (fmax, fmin),
                                           (-50.0, fmax), (fmin, 1e300), (float("inf"), fmax)]))
    elif bad == "scale":
        scale, faults = draw(st.sampled_from(["Slaney", "mel", ""])), [ValueError]
    elif bad == "norm":
        norm, faults = draw(st.sampled_from(["area", "None"])), [ValueError]
    return MelArgs(sr, n_mels, fmin, fmax, scale, norm, faults)


# --- the engines --------------------------------------------------------------

@dataclass
class EngineCase:
    """One drawn engine: how to build it, what its output looks like, and the
    faults of its arguments (empty: construction must succeed; None: the
    test does not predict it)."""
    engine: Any              # the class
    args: tuple              # its constructor arguments
    rows: int
    outputs: list            # valid `output` strings of forward/backward (None: no output argument)
    frame_length: Optional[int]  # samples a frame needs with center=False (None: no minimum)
    hop: int
    center: bool
    faults: Optional[list]
    linear_backward: tuple = ()  # output modes whose gradient is bounded for bounded input
    complex_modes: tuple = ()
    n_frames_exact: bool = True  # n_frames follows the framing formula

    def build(self):
        return self.engine(*self.args)

    def finite_args(self):
        """False when a window array holds NaNs or infinities, or the rate is
        too large for frequencies in float32: the output may then be too."""
        for a in self.args:
            if isinstance(a, np.ndarray) and a.dtype.kind in "biufcO" and a.size:
                if not np.all(np.isfinite(np.asarray(a, dtype=np.complex128))):
                    return False
            elif isinstance(a, float) and abs(a) > 1e30:
                return False
        return True


BAD_OUTPUTS = ["Power", "", "complex ", "mag"]


@st.composite
def stft_cases(draw):
    a = draw(frame_args())
    return EngineCase(qorva.StftEngine, a.frame_args(), a.n_fft // 2 + 1, ["complex", "magnitude", "power", "db"],
                      a.n_fft, a.hop_length, a.center, a.faults, linear_backward=("complex", "power"),
                      complex_modes=("complex",))


@st.composite
def mel_cases(draw):
    a = draw(frame_args(min_n_fft=16, max_n_fft=64))
    m = draw(mel_args(a.n_fft))
    faults = construction(a.faults, m.faults, None)  # band coverage is not predicted
    return EngineCase(qorva.MelEngine,
                      (m.sr, *a.frame_args(), m.n_mels, m.fmin, m.fmax, m.mel_scale, m.mel_norm),
                      m.n_mels, ["magnitude", "power", "db"], a.n_fft, a.hop_length, a.center, faults,
                      linear_backward=("power",))


@st.composite
def moments_cases(draw):
    a = draw(frame_args())
    sr = draw(FINITE_OR_ODD_FLOATS)
    names = ["centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"]
    features = draw(st.one_of(st.lists(st.sampled_from(names), min_size=1, max_size=4),
                              st.sampled_from([[], ["rolloff"], "centroid", [1, 2]])))
    if not isinstance(features, list) or any(not isinstance(f, str) for f in features):
        feature_faults = [TypeError]
    elif not features or any(f not in names for f in features) or not (0 < sr < float("inf")):
        feature_faults = [ValueError]
    else:
        feature_faults = []
    faults = construction(a.faults, feature_faults)
    rows = len(features) if isinstance(features, list) else 0
    return EngineCase(qorva.SpectralMomentsEngine, (sr, *a.frame_args(), features), rows, [None],
                      a.n_fft, a.hop_length, a.center, faults)


@st.composite
def rms_cases(draw):
    frame_length = draw(st.one_of(st.integers(1, 64), st.sampled_from([0, -1])))
    hop = draw(st.one_of(st.integers(1, 64), st.sampled_from([0, -1, INT32_MAX])))
    if hop < 1:
        frame_length = draw(st.sampled_from([frame_length, INT32_MAX, 2**31]))  # refused at the hop first
    center = draw(st.booleans())
    pad_mode = draw(st.sampled_from(["reflect", "constant", "edge"]))
    faults = int32_fault(frame_length, hop)
    if not faults and (frame_length < 1 or hop < 1 or pad_mode == "edge"):
        faults.append(ValueError)
    return EngineCase(qorva.RmsEngine, (frame_length, hop, center, pad_mode), 1, [None], frame_length, hop,
                      center, faults, linear_backward=(None,))


@st.composite
def flux_cases(draw):
    a = draw(frame_args())
    return EngineCase(qorva.SpectralFluxEngine, a.frame_args(), 1, [None], a.n_fft, a.hop_length,
                      a.center, a.faults)


@st.composite
def onset_cases(draw):
    a = draw(frame_args(min_n_fft=16, max_n_fft=64))
    m = draw(mel_args(a.n_fft))
    faults = construction(a.faults, m.faults, [ValueError] if m.n_mels == 0 else None)
    return EngineCase(qorva.OnsetStrengthEngine,
                      (m.sr, *a.frame_args(), m.n_mels, m.fmin, m.fmax, m.mel_scale, m.mel_norm),
                      1, [None], a.n_fft, a.hop_length, a.center, faults)


@st.composite
def tempogram_cases(draw):
    a = draw(frame_args(min_n_fft=16, max_n_fft=64))
    m = draw(mel_args(a.n_fft))
    tempo_win = draw(st.sampled_from([None] * 25 + [0, -1, 2**29 + 1, INT32_MAX, 2**31])) or draw(
        st.integers(1, 24))
    win_faults = [ValueError] if m.n_mels == 0 or tempo_win < 1 or tempo_win > 2**29 else None
    faults = construction(a.faults, m.faults, int32_fault(tempo_win), win_faults)
    return EngineCase(qorva.TempogramEngine,
                      (m.sr, *a.frame_args(), m.n_mels, m.fmin, m.fmax, m.mel_scale, m.mel_norm, tempo_win),
                      tempo_win, [None], a.n_fft, a.hop_length, a.center, faults)


def cqt_alpha(bpo, n_bins):
    if n_bins == 1:
        return 0.2
    r = 2.0 ** (2.0 / bpo)
    return (r - 1.0) / (r + 1.0)


@st.composite
def cqt_geometry(draw, max_filter):
    """(sr, fmin, n_bins, bins_per_octave) with filters of at most about
    max_filter samples at the full rate and the top bin's band edge a random
    factor below Nyquist (above it now and then)."""
    sr = draw(st.floats(100.0, 96000.0))
    bpo = draw(st.integers(1, 12))
    q = 1.0 / cqt_alpha(bpo, 2)
    margin = draw(st.floats(1.0, 3.0)) * (1.0 + 0.75 / q) * draw(st.sampled_from([1.0] * 5 + [0.97]))
    # The longest filter is about q * sr / fmin = 2 q margin 2^(span in octaves).
    max_span = max(0.0, np.log2(max_filter / (2.0 * q * margin)))
    n_bins = draw(st.integers(1, max(1, int(max_span * bpo) + 1)))
    fmin = sr / 2.0 / margin / 2.0 ** ((n_bins - 1) / bpo)
    return sr, fmin, n_bins, bpo


@st.composite
def cqt_cases(draw):
    sr, fmin, n_bins, bpo = draw(cqt_geometry(max_filter=draw(st.sampled_from([64, 120]))))
    hop = draw(st.sampled_from([1, 2, 3, 4, 8, 16, 33, 64, 512]))
    # gamma widens the top band by gamma / 2 (an ERB offset for negative gamma)
    gamma = draw(st.sampled_from([0.0, 0.0, 0.0, 1e-3 * fmin, -1.0, float("nan"), float("inf"), -float("inf")]))
    bad = draw(st.sampled_from([None] * 6 + ["sr", "fmin", "n_bins", "bpo", "hop"]))
    faults = MAYBE
    if bad == "sr":
        sr = draw(st.sampled_from([float("nan"), float("inf"), 0.0, -sr]))
        faults = [ValueError]
    elif bad == "fmin":
        fmin = draw(st.sampled_from([0.0, -fmin, float("nan"), 1e-9, float("inf")]))
        gamma = 0.0  # (an offset would keep the filters of a tiny fmin short)
        faults = [ValueError]
    elif bad == "n_bins":
        n_bins = draw(st.sampled_from([0, -1, 2**16 + 1, INT32_MAX, 2**31]))
        faults = [ValueError] if n_bins < 2**31 else [TypeError]
    elif bad == "bpo":
        bpo = draw(st.sampled_from([0, -12, 2**31]))
        faults = [ValueError] if bpo < 2**31 else [TypeError]
    elif bad == "hop":
        hop = draw(st.sampled_from([0, -512, 2**31]))
        faults = [ValueError] if hop < 2**31 else [TypeError]
    elif gamma == float("inf"):
        faults = [ValueError]
    return EngineCase(qorva.CqtEngine, (sr, hop, fmin, n_bins, bpo, gamma), n_bins,
                      ["complex", "magnitude", "power", "db"], None, hop, True, faults,
                      linear_backward=("complex", "power"), complex_modes=("complex",), n_frames_exact=False)


@st.composite
def chroma_cases(draw):
    n_chroma = draw(st.integers(1, 12))
    bpo = n_chroma * draw(st.integers(1, 2))
    n_octaves = draw(st.integers(1, 2))
    sr = draw(st.floats(1000.0, 48000.0))
    margin = draw(st.floats(1.2, 3.0))
    fmin = sr / 2.0 / margin / 2.0 ** (n_octaves - 1.0 / bpo)
    hop = draw(st.sampled_from([1, 4, 16, 64, 512]))
    bad = draw(st.sampled_from([None] * 6 + ["n_chroma", "multiple", "n_octaves", "fmin"]))
    faults = [] if margin > 1.5 else MAYBE
    while n_octaves > 1 and 2 * margin * 2.0**n_octaves / cqt_alpha(bpo, 2) > 300:
        n_octaves -= 1  # filters short enough to keep the kernel design quick
    fmin = sr / 2.0 / margin / 2.0 ** (n_octaves - 1.0 / bpo)
    if bad == "n_chroma":
        n_chroma, faults = draw(st.sampled_from([0, -1])), [ValueError]
    elif bad == "multiple" and n_chroma > 1:
        bpo, faults = bpo + 1, [ValueError]
    elif bad == "n_octaves":
        n_octaves, faults = draw(st.sampled_from([0, -3, 2**20])), [ValueError]
    elif bad == "fmin":
        fmin, faults = draw(st.sampled_from([0.0, float("nan"), -1.0])), [ValueError]
    return EngineCase(qorva.ChromaEngine, (sr, hop, bpo, n_octaves, n_chroma, fmin), n_chroma, [None],
                      None, hop, True, faults, n_frames_exact=False)


def frames_for(case, L):
    if case.center:
        return L // case.hop + 1
    return (L - case.frame_length) // case.hop + 1


def call_forward(engine, y, output, backend):
    if isinstance(engine, qorva.ChromaEngine):
        return engine.forward(y, backend)
    return engine.forward(y, output if output is not None else "", backend)


def call_backward(engine, g, y, output, backend):
    if isinstance(engine, qorva.ChromaEngine):
        return engine.backward(g, y, backend)
    return engine.backward(g, y, output if output is not None else "", backend)


def probe_signal(case, dtype):
    n = 2 * (case.frame_length or 1) + 37 if case.frame_length and case.frame_length < 1000 else 301
    t = np.arange(n)
    return np.stack([np.sin(0.05 * t), np.cos(0.31 * t) * 0.5]).astype(dtype)


def exercise_engine(data, case):
    """The shared property of the (batch, samples) engines: construction,
    forward, backward, n_frames and the resident members.  Returns the engine,
    or None when its construction was refused."""
    engine = attempt(case.build, expected=case.faults if case.faults is None else expect(*case.faults))
    if engine is None:
        return None
    for flag in ("gpu_supported", "gpu_resident_supported", "gpu_resident_f16_supported"):
        assert isinstance(getattr(engine, flag)(), bool)
    has_gpu = engine.gpu_supported()

    # forward on a random signal
    shape = data.draw(signal_shapes(300), label="signal shape")
    y = data.draw(arrays(shape), label="signal")
    output = data.draw(st.sampled_from(case.outputs * 4 + (BAD_OUTPUTS if case.outputs != [None] else [])),
                       label="output")
    backend = data.draw(st.sampled_from(["cpu"] * 20 + ["cuda", "", "CPU"]), label="backend")
    faults = signal_faults(y)
    if output not in case.outputs:
        faults.append(ValueError)
    if not faults:
        L = y.array.shape[1]
        if case.frame_length is not None and not case.center and L < case.frame_length:
            faults.append(ValueError)
    if backend != "cpu":
        expected = MAYBE if has_gpu else expect(RuntimeError, *faults)
    else:
        expected = expect(*faults)
    result = attempt(call_forward, engine, y.value, output, backend, expected=expected)
    if result is not None and backend == "cpu":
        B, L = y.array.shape
        dtype = precision(y.array)
        F = engine.n_frames(L)
        if case.n_frames_exact:
            assert F == frames_for(case, L)
        assert result.shape == (B, case.rows, F)
        want_dtype = np.result_type(dtype, np.complex64) if output in case.complex_modes else dtype
        assert result.dtype == want_dtype
        assert_same(result, call_forward(engine, as_working(y.array, dtype), output, "cpu"))
        if bounded(y.array) and case.finite_args():
            assert np.all(np.isfinite(result)), "non-finite output for bounded finite input"

        # backward with a gradient of the forward's shape (sometimes not)
        g_shape = list(result.shape)
        if data.draw(st.integers(0, 9), label="grad shape fault") == 0:
            g_shape[data.draw(st.integers(0, 2))] += 1
        g = data.draw(arrays(g_shape, dtypes=[d for d in DTYPES if d not in ("str",)]), label="grad")
        g_faults = [numeric_fault(g.array)] if numeric_fault(g.array) else []
        if output not in case.complex_modes:
            g_faults += real_cast_fault(g)
        if g.array.shape != result.shape:
            g_faults.append(ValueError)
        grad = attempt(call_backward, engine, g.value, y.value, output, "cpu", expected=expect(*g_faults))
        if grad is not None:
            assert grad.shape == (B, L) and grad.dtype == dtype
            g_dtype = want_dtype
            want = call_backward(engine, as_working(g.array, g_dtype), as_working(y.array, dtype), output, "cpu")
            assert_same(grad, want)
            if output in case.linear_backward and bounded(y.array, g.array) and case.finite_args():
                assert np.all(np.isfinite(grad)), "non-finite gradient for bounded finite input"

    # n_frames over the whole integer range, and beyond it
    n = data.draw(st.sampled_from([
        st.integers(-3, 400), st.integers(-(2**63), -1), st.integers(2**31, INT64_MAX),
        st.sampled_from([INT32_MAX, 2**31, INT64_MAX - 1, INT64_MAX, -(2**63), 2**63, -(2**63) - 1])]).flatmap(
            lambda s: s), label="n_frames(n)")
    if not -(2**63) <= n <= INT64_MAX:
        attempt(engine.n_frames, n, expected=(TypeError,))
    elif n < 0 or (case.frame_length is not None and not case.center and n < case.frame_length):
        attempt(engine.n_frames, n, expected=(ValueError,))
    elif case.n_frames_exact:
        if frames_for(case, n) > INT64_MAX:
            attempt(engine.n_frames, n, expected=(OverflowError,))
        else:
            assert engine.n_frames(n) == frames_for(case, n)
    else:
        # Octaves below the top one count frames on the halved signal, which
        # can add one frame to the top octave's count.
        F = attempt(engine.n_frames, n, expected=MAYBE if n // case.hop + 1 > INT64_MAX else ())
        if F is not None:
            assert 1 <= F <= -(-n // case.hop) + 1

    # resident members refuse host arrays
    resident_args = data.draw(st.sampled_from([None, np.zeros((1, 8), np.float32), "capsule", 3]),
                              label="resident argument")
    for name in ("forward_dlpack", "backward_dlpack", "forward_dlpack_f64"):
        member = getattr(engine, name, None)
        if member is None:
            continue
        args = {"forward_dlpack": (resident_args, "power", 0), "backward_dlpack": (resident_args, resident_args,
                                                                                    "power", 0),
                "forward_dlpack_f64": (resident_args, "power", 0)}[name]
        if isinstance(engine, qorva.ChromaEngine):
            args = args[:-2] + args[-1:]
        attempt(member, *args, expected=MAYBE if has_gpu else expect(RuntimeError, TypeError, ValueError))
    return engine


@pytest.mark.parametrize(
    "cases",
    [stft_cases, mel_cases, cqt_cases, chroma_cases, rms_cases, moments_cases, flux_cases, onset_cases,
     tempogram_cases],
    ids=["stft", "mel", "cqt", "chroma", "rms", "moments", "flux", "onset", "tempogram"],
)
@given(data=st.data())
def test_engine(cases, data):
    case = data.draw(cases(), label="engine")
    engine = exercise_engine(data, case)
    if engine is None:
        return
    # After everything above, the engine still works and agrees with a fresh
    # one bit for bit, in both precisions.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", _ComplexWarning)
        fresh = case.build()
    output = case.outputs[0]
    for dtype in (np.float32, np.float64):
        probe = probe_signal(case, dtype)
        got, want = call_forward(engine, probe, output, "cpu"), call_forward(fresh, probe, output, "cpu")
        assert got.dtype == want.dtype and got.shape == want.shape
        assert np.array_equal(got, want, equal_nan=True)


# --- the inverse STFT ---------------------------------------------------------

@given(a=frame_args(with_pad_mode=False), data=st.data())
def test_istft(a, data):
    faults = construction(a.faults, None)  # NOLA and gaps are not predicted here
    engine = attempt(qorva.IstftEngine, *a.frame_args()[:5], expected=faults and expect(*faults))
    if engine is None:
        return
    K = a.n_fft // 2 + 1
    has_gpu = engine.gpu_supported()

    kind = data.draw(st.sampled_from(["good"] * 6 + ["bins", "rank"]), label="spectrum kind")
    if kind == "good":
        shape = (data.draw(st.integers(0, 3)), K, data.draw(st.integers(0, 12)))
    elif kind == "bins":
        shape = (data.draw(st.integers(0, 2)), data.draw(st.integers(0, K + 2)), data.draw(st.integers(0, 4)))
    else:
        shape = (data.draw(st.integers(0, 8)),)
    Z = data.draw(arrays(shape), label="spectrum")
    length = data.draw(st.one_of(st.integers(-3, 300), st.sampled_from(
        [-(2**63), 2**31, 2**40, INT64_MAX, 2**63])), label="length")
    faults = []
    if numeric_fault(Z.array) or (Z.array.dtype.kind == "f" and Z.array.dtype.itemsize == 2):
        faults.append(TypeError)
    elif Z.array.ndim != 3 or Z.array.shape[1] != K or Z.array.shape[2] < 1:
        faults.append(ValueError)
    if not -(2**63) <= length <= INT64_MAX:
        faults.append(TypeError)
    elif length >= 2**31:
        faults.append(ValueError)  # beyond the largest array
    result = attempt(engine.forward, Z.value, length, "cpu", expected=expect(*faults))
    if result is not None:
        B, _, F = Z.array.shape
        dtype = precision(Z.array)
        natural = a.hop_length * (F - 1) + a.n_fft - 2 * (a.n_fft // 2 if a.center else 0)
        assert result.shape == (B, length if length >= 0 else natural) and result.dtype == dtype
        assert_same(result, engine.forward(as_working(Z.array, np.result_type(dtype, np.complex64)), length))
        if bounded(Z.array, *([a.window] if isinstance(a.window, np.ndarray) else [])):
            assert np.all(np.isfinite(result))

    g_shape = data.draw(signal_shapes(200), label="gradient shape")
    g = data.draw(arrays(g_shape), label="gradient")
    n_frames = data.draw(st.sampled_from([None] * 8 + [0, -2, 2**31, INT64_MAX, 2**63, -(2**63)]),
                         label="odd n_frames")
    if n_frames is None:
        n_frames = data.draw(st.integers(1, 12), label="n_frames")
    faults = signal_faults(g)
    if not -(2**63) <= n_frames <= INT64_MAX:
        faults.append(TypeError)
    elif n_frames < 1 or K * n_frames > INT32_MAX:
        faults.append(ValueError)
    grad = attempt(engine.backward, g.value, n_frames, "cpu", expected=expect(*faults))
    if grad is not None:
        dtype = precision(g.array)
        assert grad.shape == (g.array.shape[0], K, n_frames)
        assert grad.dtype == np.result_type(dtype, np.complex64)
        assert_same(grad, engine.backward(as_working(g.array, dtype), n_frames))
        if bounded(g.array, *([a.window] if isinstance(a.window, np.ndarray) else [])):
            assert np.all(np.isfinite(grad))

    for name, args in (("forward_dlpack", (None, 10, 0)), ("backward_dlpack", (np.zeros((1, 4)), 2, 0))):
        attempt(getattr(engine, name), *args, expected=MAYBE if has_gpu else expect(RuntimeError, TypeError,
                                                                                      ValueError))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", _ComplexWarning)
        fresh = qorva.IstftEngine(*a.frame_args()[:5])
    probe = np.exp(1j * np.outer(np.arange(K), np.arange(5)))[None].astype(np.complex64)
    assert_same(engine.forward(probe, -1), fresh.forward(probe, -1))
    assert_same(engine.backward(np.ones((1, 40)), 3), fresh.backward(np.ones((1, 40)), 3))


# --- the FFT functions ---------------------------------------------------------

FFT_BACKENDS = ["", "", "", "fftw", "bluestein", "vdsp", "FFTW", "radix2"]


def backend_faults(backend, n):
    if backend == "vdsp":
        return [RuntimeError, ValueError]  # known, not compiled (or not for this size)
    if backend not in ("", "fftw", "bluestein"):
        return [ValueError]
    if n < 1 or (backend == "bluestein" and n < 4):
        return [ValueError, RuntimeError]  # RuntimeError when QORVA_FFT forces a backend
    return []


@given(data=st.data())
def test_fft_functions(data):
    shape = data.draw(st.one_of(st.tuples(st.integers(0, 70)), st.tuples(st.integers(0, 4), st.integers(0, 9))),
                      label="shape")
    x = data.draw(arrays(shape), label="x")
    backend = data.draw(st.sampled_from(FFT_BACKENDS), label="backend")
    n = int(np.prod(shape))
    faults = [numeric_fault(x.array)] if numeric_fault(x.array) else backend_faults(backend, n)
    faults = faults + real_cast_fault(x)
    dtype = precision(x.array)

    spectrum = attempt(_native._rfft, x.value, backend, expected=MAYBE if not faults else expect(*faults))
    if not faults:
        assert spectrum is not None or backend == ""  # QORVA_FFT may force a backend that refuses n
    if spectrum is not None:
        re, im = spectrum
        assert re.shape == im.shape == (n // 2 + 1,) and re.dtype == im.dtype == dtype
        want = _native._rfft(as_working(x.array, dtype).ravel(), backend)
        assert_same(re, want[0])
        assert_same(im, want[1])
        if bounded(x.array):
            ref = np.fft.rfft(as_working(x.array, np.float64).ravel())
            scale = max(1.0, np.abs(ref).max())
            assert np.abs(re + 1j * im - ref).max() <= 1e-3 * scale

        # the inverse, with the length given or implied
        n_arg = data.draw(st.sampled_from([0, n, n + 1, -5, INT32_MAX, 2**31]), label="n")
        bins = n // 2 + 1
        implied = n_arg if n_arg >= 1 else 2 * bins - 2
        inv_faults = int32_fault(n_arg) or ([] if implied // 2 + 1 == bins else [ValueError])
        if not inv_faults:
            inv_faults = backend_faults(backend, implied)
        back = attempt(_native._irfft, re, im, backend, n_arg, expected=MAYBE if not inv_faults else
                       expect(*inv_faults))
        if back is not None:
            assert back.shape == (implied,) and back.dtype == dtype

    inverse = data.draw(st.booleans(), label="inverse")
    cfaults = [numeric_fault(x.array)] if numeric_fault(x.array) else backend_faults(backend, n)
    out = attempt(_native._cfft, x.value, inverse, backend, expected=MAYBE if not cfaults else expect(*cfaults))
    if out is not None:
        cdtype = np.result_type(dtype, np.complex64)
        assert out.shape == (n,) and out.dtype == cdtype
        assert_same(out, _native._cfft(np.ascontiguousarray(x.array, dtype=cdtype).ravel(), inverse, backend))
        if bounded(x.array):
            v = np.ascontiguousarray(x.array, dtype=np.complex128).ravel()
            ref = np.fft.ifft(v) * n if inverse else np.fft.fft(v)
            assert np.abs(out - ref).max() <= 1e-3 * max(1.0, np.abs(ref).max())

    # mismatched or bad halves of a spectrum
    re2 = data.draw(arrays((data.draw(st.integers(0, 9)),)), label="re")
    im2 = data.draw(arrays((data.draw(st.integers(0, 9)),)), label="im")
    attempt(_native._irfft, re2.value, im2.value, "", 0)

    m = data.draw(st.one_of(st.integers(-5, 5000), st.sampled_from([INT32_MAX, -(2**31), 2**31])), label="m")
    name = attempt(_native._fft_backend_for, m, expected=MAYBE if m >= 1 and m <= INT32_MAX else
                   expect(*(int32_fault(m) or [ValueError, RuntimeError])))
    if name is not None:
        assert name in _native._fft_backends()


# --- module functions -----------------------------------------------------------

@given(data=st.data())
def test_module_functions(data):
    value = data.draw(st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.floats(-1e4, 1e5)),
                      label="value")
    scale = data.draw(st.sampled_from(["slaney", "htk", "HTK", ""]), label="scale")
    for fn in (qorva.hz_to_mel, qorva.mel_to_hz):
        got = attempt(fn, value, scale, expected=expect() if scale in ("slaney", "htk") else expect(ValueError))
        if got is not None:
            assert isinstance(got, float)
    if scale in ("slaney", "htk") and 0.0 <= value <= 1e5:
        assert qorva.mel_to_hz(qorva.hz_to_mel(value, scale), scale) == pytest.approx(value, rel=1e-9, abs=1e-9)

    n_fft = data.draw(st.sampled_from([None] * 8 + [0, -1, INT32_MAX, 2**31]), label="odd n_fft") or data.draw(
        st.integers(8, 300), label="n_fft")
    m = data.draw(mel_args(max(n_fft, 1)), label="mel")
    if n_fft > 2**20 and 0 < m.n_mels < 3:
        m.n_mels = 3  # with so many bins only the size check keeps the dense result small
    faults = int32_fault(n_fft, m.n_mels)
    if not faults and (n_fft < 1 or not m.sr > 0 or m.n_mels < 0 or m.mel_scale not in ("slaney", "htk")
                       or m.mel_norm not in ("slaney", "none")):
        faults.append(ValueError)
    fb = attempt(qorva.mel_filterbank, m.sr, n_fft, m.n_mels, m.fmin, m.fmax, m.mel_scale, m.mel_norm,
                 expected=MAYBE if not faults else expect(*faults))
    if fb is not None:
        assert fb.shape == (m.n_mels, n_fft // 2 + 1) and fb.dtype == np.float32
        assert np.all(np.isfinite(fb)) and np.all(fb >= 0)
        assert np.all(fb.max(axis=1) > 0)  # every band covers a bin

    threads = data.draw(st.one_of(st.integers(-5, 8), st.sampled_from([INT32_MAX, 2**40, -(2**63), 2**63])),
                        label="threads")
    saved = qorva.get_num_threads()
    try:
        if -(2**63) <= threads <= INT64_MAX:
            qorva.set_num_threads(threads)
            assert qorva.get_num_threads() == min(max(threads, 0), INT32_MAX)
        else:
            attempt(qorva.set_num_threads, threads, expected=(TypeError,))
        x = np.sin(np.arange(3000.0)).reshape(3, 1000).astype(np.float32)
        got = qorva.StftEngine(64, 16, 64, "hann", True, "reflect").forward(x, "power")
    finally:
        qorva.set_num_threads(saved)
    assert_same(got, qorva.StftEngine(64, 16, 64, "hann", True, "reflect").forward(x, "power"))

    assert qorva.abi_version() == qorva.ABI_VERSION
    assert isinstance(_native._fftw_version(), str)
    assert qorva.ChromaEngine.c1_hz() == pytest.approx(32.70319566257483)
