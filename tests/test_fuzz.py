"""Fuzzing of every engine family, the FFT functions and the mel helpers: mostly valid arguments, some out
of range, and inputs of random shapes, dtypes, layouts and contents.  A call returns the documented shape
and dtype with exactly the values of the same call on a C-contiguous copy of its input in the working
precision, or raises one of ALLOWED with a message; well-formed calls succeed, and an engine still agrees
bit for bit with a fresh one afterwards.  Example counts: the Hypothesis profiles in conftest.py."""

import numpy as np
import pytest
from conftest import FEATURES, OUTPUTS, SIGNAL_FAMILIES, backward, forward
from hypothesis import event, given, note, strategies as st

import qorva
from qorva import _native

INT32_MAX, INT64_MAX = 2**31 - 1, 2**63 - 1
ALLOWED = (ValueError, TypeError, RuntimeError, OverflowError, MemoryError)
DTYPES = ["float32", "float64", "float16", "int8", "int16", "int32", "int64", "uint8", "complex64", "complex128",
          "bool", "object", "str"]
CONTENTS = ["normal", "tiny", "huge", "nan", "inf", "zeros"]
WINDOWS = ["hann", "hamming", "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar"]
# Out-of-range replacements for a constructor argument, by the type of its valid value.
BAD = {int: [0, -1, -(2**31), 2**31, 2**63], float: [0.0, -1.0, np.nan, np.inf, -np.inf, 1e300, 5e-324],
       bool: [None, 2, "yes"], list: [[], ["rolloff"], "centroid", [1, 2]],
       str: ["", "Hann", "wrap", None, 3.0, np.ones(3), np.ones((1, 4)), np.array(["x", "y"])]}
pytestmark = pytest.mark.filterwarnings("ignore")  # complex-to-real and overflowing casts warn


def attempt(fn, *args, ok=None, **kw):
    """fn(*args, **kw), or None after an allowed error; ok=True: it must succeed, ok=False: it must raise."""
    label = getattr(fn, "__name__", "call")
    try:
        result = fn(*args, **kw)
    except ALLOWED as error:
        assert str(error), f"{type(error).__name__} without a message"
        note(f"{label} raised {type(error).__name__}: {error}")
        event(f"{label}: {type(error).__name__}")
        if ok:
            raise
        return None
    assert ok is not False, f"{label} returned instead of raising"
    event(f"{label}: result")
    return result


def assert_same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)  # NaNs compare equal


def precision(a):
    return np.float64 if a.dtype in (np.float64, np.complex128) else np.float32


def as_working(a, dtype):
    """a as the engines read it: C-contiguous in dtype (the real part of complex input)."""
    with np.errstate(over="ignore", invalid="ignore"):
        return np.ascontiguousarray(a.real if a.dtype.kind == "c" != np.dtype(dtype).kind else a, dtype=dtype)


def plain(a, complex_ok=False):
    """Input every call takes: integers, bools, float32 and float64 (and complex where asked)."""
    return a.dtype.kind in "biu" or a.dtype in (np.float32, np.float64) or (complex_ok and a.dtype.kind == "c")


def bounded(*arrays_):
    """Finite numbers of moderate size, for which bounded transforms give finite output."""
    if any(a.dtype.kind not in "biufc" for a in arrays_):
        return False
    with np.errstate(invalid="ignore", over="ignore"):
        v = [np.abs(np.asarray(a, dtype=np.complex128)) for a in arrays_]
    return all(np.all(x <= 1e4) for x in v)  # False for NaN too


# --- inputs ---------------------------------------------------------------------

def _values(rng, shape, dtype, kind):
    dt = np.dtype("float64" if dtype in ("object", "str") else dtype)
    if dt.kind in "iu":
        info = np.iinfo(dt)
        if kind == "huge":
            return rng.choice(np.array([info.min, info.max, 0], dtype=dt), size=shape)
        return rng.integers(max(info.min, -100), min(info.max, 100), size=shape, endpoint=True).astype(dt)
    if dt.kind == "b":
        return rng.random(shape) < 0.5
    v = rng.standard_normal(shape)
    width = dt.itemsize if dt.kind == "f" else dt.itemsize // 2
    if kind in ("tiny", "huge"):
        v *= {2: (1e-7, 6e4), 4: (1e-42, 1e38)}.get(width, (1e-310, 1e300))[kind == "huge"]
    elif kind == "zeros":
        v[...] = 0.0
    elif kind in ("nan", "inf") and v.size:
        mask = rng.random(shape) < 0.2
        v[mask] = rng.choice([np.nan] if kind == "nan" else [np.inf, -np.inf], size=int(mask.sum()))
    if dt.kind == "c":
        v = v + 1j * rng.standard_normal(shape)
    with np.errstate(over="ignore", invalid="ignore"):
        v = v.astype(dt)
    return v.astype(object if dtype == "object" else str) if dtype in ("object", "str") else v


def _misaligned(b):
    if not b.size or b.dtype.itemsize < 2 or b.dtype.kind in "OU":
        return b
    view = np.frombuffer(np.zeros(b.nbytes + 1, np.uint8).data, b.dtype, count=b.size, offset=1).reshape(b.shape)
    view[...] = b
    return view


LAYOUTS = {
    "c": lambda b: b, "fortran": np.asfortranarray, "misaligned": _misaligned,
    "readonly": lambda b: np.lib.stride_tricks.as_strided(b, writeable=False),
    "stepped": lambda b: np.repeat(b, 3, axis=-1)[..., ::3] if b.ndim else b,
    "reversed": lambda b: np.flip(np.flip(b).copy()) if b.ndim else b,
    "swapped": lambda b: b if b.dtype.kind in "OU" else b.astype(b.dtype.newbyteorder()),
    "zero_stride": lambda b: np.broadcast_to(b[:1], b.shape) if b.ndim and len(b) else b,
    "list": lambda b: b.tolist(),
}


@st.composite
def arrays(draw, shape, dtypes=DTYPES):
    """(what the call receives, its values as a native array); float32 and float64 come more often."""
    dtype = draw(st.sampled_from(dtypes) | st.sampled_from(["float32", "float64"]))
    kind, layout = draw(st.sampled_from(CONTENTS)), draw(st.sampled_from(list(LAYOUTS)))
    base = np.asarray(_values(np.random.default_rng(draw(st.integers(0, 2**32 - 1))), tuple(shape), dtype, kind))
    value = LAYOUTS[layout](base)
    return value, (np.array(value) if layout in ("list", "zero_stride") else base)


@st.composite
def signal_shapes(draw):
    """(batch, samples), and now and then another rank."""
    shape = (draw(st.integers(0, 3)), draw(st.integers(0, 300)))
    return {0: (), 1: shape[1:], 2: shape, 3: (2, *shape)}[draw(st.sampled_from([2] * 16 + [0, 1, 3]))]


# --- constructor arguments ------------------------------------------------------

@st.composite
def windows(draw, n):
    kind = draw(st.sampled_from(WINDOWS + ["array", "array", "default"]))
    if kind == "default":
        return np.array([], dtype=np.float64)  # an empty array means Hann
    if kind != "array":
        return kind
    dtype = draw(st.sampled_from(["float64", "float32", "float16", "int16", "bool", "object"]))
    w = np.random.default_rng(draw(st.integers(0, 2**16))).uniform(0.25, 2.0, n)
    return (np.ceil(w) if dtype in ("int16", "bool") else w).astype(dtype)


@st.composite
def framing(draw, lo=1, hi=48):
    """[n_fft, hop_length, win_length, window, center, pad_mode]."""
    n_fft = draw(st.sampled_from([None] * 8 + [127, 129, 200])) or draw(st.integers(lo, hi))
    win = draw(st.sampled_from([None, n_fft])) or draw(st.integers(1, n_fft))
    hop = draw(st.sampled_from([None] * 12 + [INT32_MAX])) or draw(st.integers(1, max(n_fft, 8)))
    return [n_fft, hop, win, draw(windows(win)), draw(st.booleans()), draw(st.sampled_from(["reflect", "constant"]))]


@st.composite
def mel_args(draw):
    """[sr, *framing, n_mels, fmin, fmax, scale, norm]: few enough bands that each covers an FFT bin."""
    frame, sr = draw(framing(64, 256)), draw(st.floats(1000.0, 96000.0))
    return [sr, *frame, draw(st.integers(1, max(1, min(8, frame[0] // 32)))), draw(st.floats(0.0, sr / 8)),
            sr / 2 * draw(st.floats(0.6, 1.0)), draw(st.sampled_from(["slaney", "htk"])),
            draw(st.sampled_from(["slaney", "none"]))]


def _q(bpo):
    r = 2.0 ** (2.0 / bpo)
    return (r + 1.0) / (r - 1.0)


@st.composite
def cqt_args(draw):
    """[sr, hop, fmin, n_bins, bins_per_octave, gamma]: filters of at most about 120 samples, and the top
    band (at most 1.45 times its centre) below Nyquist."""
    sr, bpo, margin = draw(st.floats(100.0, 96000.0)), draw(st.integers(1, 12)), draw(st.floats(1.5, 4.0))
    n_bins = draw(st.integers(1, max(1, int(np.log2(120 / (2 * _q(bpo) * margin)) * bpo) + 1)))
    fmin = sr / 2.0 / margin / 2.0 ** ((n_bins - 1) / bpo)
    return [sr, draw(st.sampled_from([1, 2, 3, 4, 8, 16, 33, 64, 512])), fmin, n_bins, bpo,
            draw(st.sampled_from([0.0, 0.0, 1e-3 * fmin]))]


@st.composite
def chroma_args(draw):
    """[sr, hop, bins_per_octave, n_octaves, n_chroma, fmin] with short filters."""
    n_chroma, margin, sr = draw(st.integers(1, 12)), draw(st.floats(1.6, 3.0)), draw(st.floats(1000.0, 48000.0))
    bpo, n_octaves = n_chroma * draw(st.integers(1, 2)), draw(st.integers(1, 2))
    if 2 * margin * 2.0**n_octaves * _q(bpo) > 300:
        n_octaves = 1
    return [sr, draw(st.sampled_from([1, 4, 16, 64, 512])), bpo, n_octaves, n_chroma,
            sr / 2.0 / margin / 2.0 ** (n_octaves - 1.0 / bpo)]


MOMENTS = ["centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"]
# name: (class, arguments, output rows and (frame length, center) from the arguments)
FAMILIES = {
    "stft": (qorva.StftEngine, framing(), lambda a: (a[0] // 2 + 1, a[0], a[4])),
    "mel": (qorva.MelEngine, mel_args(), lambda a: (a[7], a[1], a[5])),
    "cqt": (qorva.CqtEngine, cqt_args(), lambda a: (a[3], 0, True)),
    "chroma": (qorva.ChromaEngine, chroma_args(), lambda a: (a[4], 0, True)),
    "rms": (qorva.RmsEngine, st.tuples(st.integers(1, 64), st.integers(1, 64), st.booleans(),
                                       st.sampled_from(["reflect", "constant"])), lambda a: (1, a[0], a[2])),
    "moments": (qorva.SpectralMomentsEngine, st.tuples(st.floats(1.0, 96000.0), framing(), st.lists(
        st.sampled_from(MOMENTS), min_size=1, max_size=4)).map(lambda t: [t[0], *t[1], t[2]]),
        lambda a: (len(a[7]), a[1], a[5])),
    "flux": (qorva.SpectralFluxEngine, framing(), lambda a: (1, a[0], a[4])),
    "onset": (qorva.OnsetStrengthEngine, mel_args(), lambda a: (1, a[1], a[5])),
    "tempogram": (qorva.TempogramEngine, st.tuples(mel_args(), st.integers(1, 24)).map(lambda t: [*t[0], t[1]]),
                  lambda a: (a[12], a[1], a[5])),
    "mfcc": (qorva.MfccEngine, st.tuples(mel_args(), st.integers(1, 8), st.sampled_from([-1.0, 0.0, 80.0]),
                                         st.sampled_from([0.0, 22.0])).map(
        lambda t: [*t[0], min(t[1], t[0][7]), t[2], t[3]]), lambda a: (a[12], a[1], a[5])),
}


@st.composite
def spoiled(draw, strategy):
    """(arguments, clean): about one time in three one argument is replaced by an out-of-range value."""
    args = list(draw(strategy))
    i = draw(st.sampled_from([None] * 2 * len(args) + list(range(len(args)))))
    if i is not None:
        pool = list(BAD.get(type(args[i]), BAD[str]))
        if isinstance(args[i], np.ndarray) or args[i] in WINDOWS:  # windows that are none
            pool += [np.full(args[i - 1], np.nan), np.zeros(args[i - 1]), np.ones(args[i - 1] + 1)]
        args[i] = draw(st.sampled_from(pool))
    return args, i is None


def resident_members_refuse(data, engine, calls):
    """The GPU-resident members refuse host arrays and other non-tensors."""
    junk = data.draw(st.sampled_from([None, np.zeros((1, 8), np.float32), "capsule", 3]), label="resident argument")
    for member, args in calls(junk).items():
        if hasattr(engine, member):
            attempt(getattr(engine, member), *args, ok=None if engine.gpu_supported() else False)


# --- the engines -------------------------------------------------------------------

@pytest.mark.parametrize("name", SIGNAL_FAMILIES)
@given(data=st.data())
def test_engine(name, data):
    cls, strategy, layout_of = FAMILIES[name]
    args, clean = data.draw(spoiled(strategy), label="arguments")
    engine = attempt(cls, *args, ok=clean or None)
    if engine is None:
        return
    rows, frame_length, center = layout_of(args)
    y, ya = data.draw(arrays(data.draw(signal_shapes(), label="signal shape")), label="signal")
    output = data.draw(st.sampled_from(OUTPUTS[name] * 8 + (("Power", "", "complex ") if name != "chroma" else ())),
                       label="output")
    backend = data.draw(st.sampled_from(["cpu"] * 20 + ["cuda", "", "CPU"]), label="backend")
    good = (clean and plain(ya) and ya.ndim == 2 and (output in OUTPUTS[name] or name in FEATURES)
            and (center or ya.shape[1] >= frame_length))
    result = attempt(forward, name, engine, y, output, backend=backend, ok=(good and backend == "cpu") or None)
    if result is not None:
        B, L = ya.shape
        dtype = precision(ya)
        out_dtype = np.result_type(dtype, np.complex64) if output == "complex" else dtype
        assert result.shape == (B, rows, engine.n_frames(L)) and result.dtype == out_dtype
    if result is not None and backend == "cpu":
        assert_same(result, forward(name, engine, as_working(ya, dtype), output))
        if clean and bounded(ya):
            assert np.all(np.isfinite(result)), "non-finite output for moderate finite input"
        g_shape = list(result.shape)
        if data.draw(st.integers(0, 9), label="gradient shape fault") == 0:
            g_shape[data.draw(st.integers(0, 2))] += 1
        g, ga = data.draw(arrays(g_shape, dtypes=DTYPES[:-1]), label="gradient")
        good = good and ga.shape == result.shape and plain(ga, complex_ok=output == "complex")
        grad = attempt(backward, name, engine, g, y, output, ok=good or None)
        if grad is not None:
            assert grad.shape == (B, L) and grad.dtype == dtype
            assert_same(grad, backward(name, engine, as_working(ga, out_dtype), as_working(ya, dtype), output))
            if clean and bounded(ya, ga) and (output in ("complex", "power") or name == "rms"):
                assert np.all(np.isfinite(grad)), "non-finite gradient for moderate finite input"

    n = data.draw(st.integers(-3, 400) | st.sampled_from([2**31, 2**62, INT64_MAX, 2**63, -(2**63)]), label="n")
    F = attempt(engine.n_frames, n, ok=(clean and (center or n >= frame_length) and 0 <= n < 2**62) or None)
    assert F is None or (n >= 0 and F >= 0)
    out = () if name == "chroma" else ("power",)
    resident_members_refuse(data, engine, lambda j: {"forward_dlpack": (j, *out, 0), "backward_dlpack": (j, j, *out, 0),
                                                     "forward_dlpack_f64": (j, *out, 0)})
    fresh, t = cls(*args), np.arange(2 * frame_length + 301)
    for dtype in (np.float32, np.float64):
        probe = np.stack([np.sin(0.05 * t), np.cos(0.31 * t) * 0.5]).astype(dtype)
        assert_same(forward(name, engine, probe), forward(name, fresh, probe))


@given(data=st.data())
def test_istft(data):
    # Frames overlapping by half a window or more, of windows with no zeros, satisfy NOLA.
    nola = framing().map(lambda a: [a[0], min(a[1], max(1, a[2] // 2)), a[2], a[3] if a[2] > 1 else "boxcar", a[4]])
    args, clean = data.draw(spoiled(nola), label="arguments")
    engine = attempt(qorva.IstftEngine, *args, ok=clean or None)
    if engine is None:
        return
    n_fft, hop, _, _, center = args
    K = n_fft // 2 + 1
    shape = data.draw(st.one_of(*[st.tuples(st.integers(0, 3), st.just(K), st.integers(1, 12))] * 6,
                                st.tuples(st.integers(0, 2), st.integers(0, K + 2), st.integers(0, 4)),
                                st.tuples(st.integers(0, 8))), label="spectrum shape")
    Z, Za = data.draw(arrays(shape), label="spectrum")
    length = data.draw(st.integers(-3, 300) | st.sampled_from([-(2**63), 2**31, 2**40, INT64_MAX, 2**63]),
                       label="length")
    good = clean and plain(Za, complex_ok=True) and Za.ndim == 3 and Za.shape[1] == K and Za.shape[2] >= 1
    result = attempt(engine.forward, Z, length, ok=(good and length <= 300) or None)
    if result is not None:
        B, _, F = Za.shape
        dtype = precision(Za)
        natural = hop * (F - 1) + n_fft - 2 * (n_fft // 2 if center else 0)
        assert result.shape == (B, length if length >= 0 else natural) and result.dtype == dtype
        assert_same(result, engine.forward(as_working(Za, np.result_type(dtype, np.complex64)), length))
        assert not (clean and bounded(Za)) or np.all(np.isfinite(result))

    g, ga = data.draw(arrays(data.draw(signal_shapes(), label="gradient shape")), label="gradient")
    n_frames = data.draw(st.integers(1, 12) | st.sampled_from([0, -2, 2**31, INT64_MAX, 2**63]), label="n_frames")
    good = clean and plain(ga) and ga.ndim == 2 and 1 <= n_frames <= 12
    grad = attempt(engine.backward, g, n_frames, ok=good or None)
    if grad is not None:
        dtype = precision(ga)
        assert grad.shape == (ga.shape[0], K, n_frames) and grad.dtype == np.result_type(dtype, np.complex64)
        assert_same(grad, engine.backward(as_working(ga, dtype), n_frames))
        assert not (clean and bounded(ga)) or np.all(np.isfinite(grad))

    resident_members_refuse(data, engine, lambda j: {"forward_dlpack": (j, 10, 0), "backward_dlpack": (j, 2, 0)})
    fresh = qorva.IstftEngine(*args)
    probe = np.exp(1j * np.outer(np.arange(K), np.arange(5)))[None].astype(np.complex64)
    assert_same(engine.forward(probe, -1), fresh.forward(probe, -1))
    assert_same(engine.backward(np.ones((1, 40)), 3), fresh.backward(np.ones((1, 40)), 3))


# --- the FFT functions and the mel helpers --------------------------------------------

def assert_near(got, want):
    assert np.abs(got - want).max(initial=0) <= 1e-3 * max(1.0, np.abs(want).max(initial=0))


@given(data=st.data())
def test_fft_functions(data):
    shape = data.draw(st.tuples(st.integers(0, 70)) | st.tuples(st.integers(0, 4), st.integers(0, 9)), label="shape")
    x, xa = data.draw(arrays(shape), label="x")
    backend = data.draw(st.sampled_from(["", "", "fftw", "fftw", "bluestein", "vdsp", "FFTW"]), label="backend")
    n, dtype = int(np.prod(shape)), precision(xa)
    fftw = backend == "fftw" and n >= 1  # takes every length ("" picks a backend, unless QORVA_FFT forces one)
    spectrum = attempt(_native._rfft, x, backend, ok=(fftw and plain(xa)) or None)
    if spectrum is not None:
        re, im = spectrum
        assert re.shape == im.shape == (n // 2 + 1,) and re.dtype == im.dtype == dtype
        for got, want in zip(spectrum, _native._rfft(as_working(xa, dtype).ravel(), backend)):
            assert_same(got, want)
        if bounded(xa):
            assert_near(re + 1j * im, np.fft.rfft(as_working(xa, np.float64).ravel()))
        n_arg = data.draw(st.sampled_from([0, n, n + 1, -5, INT32_MAX, 2**31]), label="n")
        back = attempt(_native._irfft, re, im, backend, n_arg, ok=(fftw and (n_arg == n or n_arg == 0 < n - 1)) or None)
        if back is not None:
            assert back.shape == (n_arg if n_arg >= 1 else 2 * (n // 2),) and back.dtype == dtype
            if bounded(xa) and n_arg == n:  # unnormalised: the round trip scales by n
                assert_near(back, n * as_working(xa, np.float64).ravel())

    inverse = data.draw(st.booleans(), label="inverse")
    out = attempt(_native._cfft, x, inverse, backend, ok=(fftw and plain(xa, complex_ok=True)) or None)
    if out is not None:
        cdtype = np.result_type(dtype, np.complex64)
        assert out.shape == (n,) and out.dtype == cdtype
        assert_same(out, _native._cfft(np.ascontiguousarray(xa, dtype=cdtype).ravel(), inverse, backend))
        if bounded(xa):
            v = as_working(xa, np.complex128).ravel()
            assert_near(out, np.fft.ifft(v) * n if inverse else np.fft.fft(v))

    re2, _ = data.draw(arrays((data.draw(st.integers(0, 9)),)), label="re")  # halves that may not match
    im2, _ = data.draw(arrays((data.draw(st.integers(0, 9)),)), label="im")
    attempt(_native._irfft, re2, im2, "", 0)
    m = data.draw(st.integers(-5, 5000) | st.sampled_from([INT32_MAX, -(2**31), 2**31]), label="m")
    name = attempt(_native._fft_backend_for, m)
    assert name is None or (1 <= m <= INT32_MAX and name in _native._fft_backends())


@given(data=st.data())
def test_mel_helpers(data):
    value = data.draw(st.floats() | st.floats(-1e4, 1e5), label="value")
    scale = data.draw(st.sampled_from(["slaney", "htk", "HTK", ""]), label="scale")
    for fn in (qorva.hz_to_mel, qorva.mel_to_hz):
        got = attempt(fn, value, scale, ok=scale in ("slaney", "htk"))
        assert got is None or isinstance(got, float)
    if scale in ("slaney", "htk") and 0.0 <= value <= 1e5:
        assert qorva.mel_to_hz(qorva.hz_to_mel(value, scale), scale) == pytest.approx(value, rel=1e-9, abs=1e-9)

    args, clean = data.draw(spoiled(mel_args()), label="mel arguments")
    sr, n_fft, n_mels = args[0], args[1], args[7]
    fb = attempt(qorva.mel_filterbank, sr, n_fft, n_mels, *args[8:], ok=clean or None)
    if fb is not None:
        assert fb.shape == (n_mels, n_fft // 2 + 1) and fb.dtype == np.float32
        assert np.all(np.isfinite(fb)) and np.all(fb >= 0) and np.all(fb.max(axis=1) > 0)
