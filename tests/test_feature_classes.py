"""What the five feature classes share: routing of dtypes and backends, the
messages of bad calls, the ignored `output` argument, identical results
across Python threads and thread counts, and flat memory over repeated calls."""

import threading

import numpy as np
import pytest

import qorva

MEL = (8000.0, 256, 64, 256, "hann", True, "reflect", 20, 0.0, 4000.0, "slaney", "slaney")
ENGINES = {
    "moments": lambda: qorva.SpectralMomentsEngine(8000.0, 256, 64, 256, "hann", True, "reflect",
                                                   ["crest", "centroid"]),
    "rms": lambda: qorva.RmsEngine(256, 64, True, "reflect"),
    "flux": lambda: qorva.SpectralFluxEngine(256, 64, 256, "hann", True, "reflect"),
    "onset": lambda: qorva.OnsetStrengthEngine(*MEL),
    "tempogram": lambda: qorva.TempogramEngine(*MEL, 12),
}
ROWS = {"moments": 2, "rms": 1, "flux": 1, "onset": 1, "tempogram": 12}


def signal(dtype=np.float32, length=2000):
    return np.random.default_rng(0).standard_normal((2, length)).astype(dtype)


@pytest.mark.parametrize("name", ENGINES)
def test_shapes_dtypes_and_output_argument(name):
    eng = ENGINES[name]()
    F = eng.n_frames(2000)
    assert F == 2000 // 64 + 1
    x = signal()
    out = eng.forward(x, "power")
    assert out.shape == (2, ROWS[name], F) and out.dtype == np.float32 and out.flags.c_contiguous
    assert np.array_equal(eng.forward(x, "anything at all"), out)
    x64 = x.astype(np.float64)
    out64 = eng.forward(x64, "", backend="cpu")
    assert out64.dtype == np.float64 and np.allclose(out64, out, rtol=1e-3, atol=1e-3 * np.abs(out).max())
    g = eng.backward(np.ones(out.shape, np.float64), x64, "db")
    assert g.shape == x.shape and g.dtype == np.float64
    # The gradient's dtype does not choose the path; the signal's does.
    assert eng.backward(np.ones(out.shape), x, "").dtype == np.float32
    # Integer signals are cast to float32.
    assert eng.forward((x * 1000).astype(np.int16), "").dtype == np.float32
    assert not (eng.gpu_supported() or eng.gpu_resident_supported() or eng.gpu_resident_f16_supported())


BAD_CALLS = [
    (lambda e, x, g: e.forward(x, "", backend="cuda"), RuntimeError, "cuda backend does not support this transform"),
    (lambda e, x, g: e.backward(g, x, "", backend="gpu"), RuntimeError, "gpu backend does not support this transform"),
    (lambda e, x, g: e.forward(x.astype(np.float64), "", backend="cuda"), RuntimeError,
     "float64 input runs on the CPU only; cast to float32 for cuda"),
    (lambda e, x, g: e.backward(g.astype(np.float32), x.astype(np.float64), "", backend="cuda"), RuntimeError,
     "float64 input runs on the CPU only; cast to float32 for cuda"),
    (lambda e, x, g: e.forward(x.astype(np.float16), ""), TypeError, "float16 input is not supported; cast to float32"),
    (lambda e, x, g: e.backward(g, x.astype(np.float16), ""), TypeError,
     "float16 input is not supported; cast to float32"),
    (lambda e, x, g: e.forward(x[0], ""), ValueError, "expected a 2-D (batch, samples) array"),
    (lambda e, x, g: e.backward(g, x[None], ""), ValueError, "expected a 2-D (batch, samples) array"),
    (lambda e, x, g: e.backward(g[:, :, :-1], x, ""), ValueError, "gradient shape does not match the signal"),
    (lambda e, x, g: e.backward(g[0], x, ""), ValueError, "gradient shape does not match the signal"),
    (lambda e, x, g: e.backward(g, x[:1], ""), ValueError, "gradient shape does not match the signal"),
    (lambda e, x, g: e.forward(None, ""), TypeError, "expected a numeric array; got 'None'"),
    (lambda e, x, g: e.forward_dlpack(None, "", 0), RuntimeError, "no resident GPU path for these parameters"),
    (lambda e, x, g: e.backward_dlpack(None, None, "", 0), RuntimeError, "no resident GPU path for these parameters"),
    (lambda e, x, g: e.n_frames(-1), ValueError, "signal length must be non-negative, got -1"),
]


@pytest.mark.parametrize("call, exc, message", BAD_CALLS)
@pytest.mark.parametrize("name", ENGINES)
def test_bad_calls(name, call, exc, message):
    eng = ENGINES[name]()
    x = signal(length=700)
    g = np.ones((2, ROWS[name], eng.n_frames(700)))
    with pytest.raises(exc) as info:
        call(eng, x, g)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ENGINES)
def test_short_input_without_centring(name):
    if name == "rms":
        eng, message = qorva.RmsEngine(256, 64, False, "reflect"), "input is shorter than frame_length with center=False"
    elif name in ("onset", "tempogram"):
        args = MEL[:5] + (False,) + MEL[6:]
        eng = qorva.OnsetStrengthEngine(*args) if name == "onset" else qorva.TempogramEngine(*args, 12)
        message = "input is shorter than n_fft with center=False"
    elif name == "flux":
        eng, message = qorva.SpectralFluxEngine(256, 64, 256, "hann", False, "reflect"), \
            "input is shorter than n_fft with center=False"
    else:
        eng = qorva.SpectralMomentsEngine(8000.0, 256, 64, 256, "hann", False, "reflect", ["slope"])
        message = "input is shorter than n_fft with center=False"
    x = signal(length=255)
    for call in (lambda: eng.forward(x, ""), lambda: eng.backward(np.ones((2, 1, 1)), x, ""),
                 lambda: eng.n_frames(255)):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert eng.n_frames(256) == 1


def test_shared_engines_across_threads_and_thread_counts(restore_threads):
    engines = {name: make() for name, make in ENGINES.items()}
    inputs = [signal(np.float32 if i % 2 else np.float64, 3000 + 131 * i) for i in range(4)]

    def run(eng, x):
        out = eng.forward(x, "")
        return out, eng.backward(np.cos(np.arange(out.size)).reshape(out.shape), x, "")

    serial = {(name, i): run(eng, x) for name, eng in engines.items() for i, x in enumerate(inputs)}
    results = {}

    def work(i):
        for name, eng in engines.items():
            results[(name, i)] = run(eng, inputs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    qorva.set_num_threads(1)
    single = {(name, 1): run(eng, inputs[1]) for name, eng in engines.items()}
    for key, (out, grad) in serial.items():
        np.testing.assert_array_equal(results[key][0], out)
        np.testing.assert_array_equal(results[key][1], grad)
        if key in single:  # the split of the work over threads changes nothing
            np.testing.assert_array_equal(single[key][0], out)
            np.testing.assert_array_equal(single[key][1], grad)


@pytest.mark.parametrize("name", ENGINES)
def test_nan_samples(name):
    # Frames that read a NaN sample report NaN, other frames are unaffected.
    # Onset strength (and the tempogram built on it) follows the library's
    # decibel rule instead: a NaN power takes the 1e-10 floor.
    eng = ENGINES[name]()
    x = signal(length=3000)
    x[0, 1500] = np.nan
    out = eng.forward(x, "")
    clean = eng.forward(np.nan_to_num(x), "")
    bad = np.isnan(out)
    if name in ("onset", "tempogram"):
        assert not bad.any()
    else:
        assert bad[0].any() and not bad[1].any()
        np.testing.assert_array_equal(out[~bad], clean[~bad])
