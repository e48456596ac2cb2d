"""The module functions around the raw transforms: backend choice, argument
conversion, messages, output arrays and concurrent use."""

import threading

import numpy as np
import pytest
from conftest import rel_l2

import qorva
from qorva import _native


def test_module_identity_and_registration_order():
    assert _native.abi_version() == 15 == qorva.ABI_VERSION
    assert _native._fftw_version().startswith("fftw-3")
    assert _native._fft_backends() == ["fftw", "bluestein"]
    expected = [
        "_rfft", "_irfft", "_cfft", "_fft_backends", "_fft_backend_for",
        "abi_version", "set_num_threads", "get_num_threads", "_fftw_version",
    ]
    registered = [name for name in vars(_native) if not name.startswith("__")]
    assert [name for name in registered if name in expected] == expected


@pytest.mark.parametrize("n", [1, 2, 3, 400, 512, 4099])
def test_automatic_backend_is_fftw_for_every_positive_length(n):
    assert _native._fft_backend_for(n) == "fftw"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: _native._fft_backend_for(0), ValueError,
         "no FFT backend supports real FFT size 0 (need n >= 1)"),
        (lambda: _native._fft_backend_for(-7), ValueError,
         "no FFT backend supports real FFT size -7 (need n >= 1)"),
        (lambda: _native._rfft(np.zeros(0)), ValueError,
         "no FFT backend supports real FFT size 0 (need n >= 1)"),
        (lambda: _native._cfft(np.zeros(0)), ValueError,
         "no FFT backend supports complex FFT size 0 (need n >= 1)"),
        (lambda: _native._rfft(np.zeros(8), backend="FFTW"), ValueError, "unknown FFT backend 'FFTW'"),
        (lambda: _native._cfft(np.zeros(8), backend="auto"), ValueError, "unknown FFT backend 'auto'"),
        (lambda: _native._rfft(np.zeros(3), backend="bluestein"), ValueError,
         "bluestein does not support real FFT size 3"),
        (lambda: _native._cfft(np.zeros(2), backend="bluestein"), ValueError,
         "bluestein does not support complex FFT size 2"),
        (lambda: _native._rfft(np.zeros(100), backend="vdsp"), ValueError,
         "vdsp does not support real FFT size 100"),
        (lambda: _native._rfft(np.zeros(1024), backend="vdsp"), RuntimeError,
         "vdsp is not compiled into this build"),
        (lambda: _native._irfft(np.zeros(5), np.zeros(4)), ValueError, "re and im must have the same length"),
        (lambda: _native._irfft(np.zeros(5), np.zeros(5), n=10), ValueError,
         "n=10 is inconsistent with 5 spectrum bins (need n/2+1 == bins)"),
        (lambda: _native._irfft(np.zeros(1), np.zeros(1)), ValueError,
         "no FFT backend supports real FFT size 0 (need n >= 1)"),
        (lambda: _native._irfft(np.zeros(0), np.zeros(0)), ValueError,
         "no FFT backend supports real FFT size -2 (need n >= 1)"),
    ],
)
def test_errors_carry_their_messages(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_irfft_length_from_bins_or_n():
    re = np.arange(5, dtype=np.float64)
    im = np.zeros(5)
    assert _native._irfft(re, im).shape == (8,)
    assert _native._irfft(re, im, n=9).shape == (9,)
    assert _native._irfft(re, im, n=8).shape == (8,)


def test_precision_routing():
    f32, f64 = np.ones(8, np.float32), np.ones(8, np.float64)
    assert _native._irfft(f64[:5], f32[:5]).dtype == np.float64  # follows re
    assert _native._irfft(f32[:5], f64[:5]).dtype == np.float32
    assert _native._cfft(np.arange(8, dtype=np.int64)).dtype == np.complex64
    assert _native._cfft(f64).dtype == np.complex128
    assert _native._cfft(f32).dtype == np.complex64
    assert _native._cfft(np.ones(8, np.complex128)).dtype == np.complex128
    for dtype in (np.int16, np.uint8, np.bool_, np.float16):
        re, im = _native._rfft(np.ones(16, dtype))
        assert re.dtype == np.float32 and re[0] == 16
    re, _ = _native._rfft([1.0, 2.0, 3.0, 4.0])  # Python floats are float64
    assert re.dtype == np.float64


def test_inputs_are_flat_and_layout_independent(rng):
    x = rng.standard_normal((2, 256)).astype(np.float32)
    re, im = _native._rfft(x)
    assert re.shape == im.shape == (257,) and re.dtype == np.float32
    assert rel_l2(re + 1j * im, np.fft.rfft(x.ravel().astype(np.float64))) < 1e-6
    base = rng.standard_normal(2048)
    for view in (base[::2], base[::-2], base.reshape(32, 64).T, base[1:1025]):
        frozen = view.copy()
        view.flags.writeable = False if view.base is None else view.flags.writeable
        got = _native._cfft(view)
        assert rel_l2(got, np.fft.fft(frozen.ravel())) < 1e-13
        np.testing.assert_array_equal(view, frozen)  # input untouched
    ro = base.copy()
    ro.flags.writeable = False
    assert rel_l2(np.complex128(1) * _native._rfft(ro)[0], np.fft.rfft(ro).real) < 1e-13


def test_unnormalised_conventions():
    ones = np.ones(512)
    re, im = _native._rfft(ones)
    assert re[0] == 512 and np.all(im == 0) and np.allclose(re[1:], 0, atol=1e-12)
    np.testing.assert_allclose(_native._irfft(re, im), np.full(512, 512.0))
    x = np.random.default_rng(1).standard_normal(1000)
    assert rel_l2(_native._irfft(*_native._rfft(x), n=1000), 1000 * x) < 1e-14
    # Non-zero imaginary parts at DC and Nyquist have no effect.
    re, im = _native._rfft(x)
    im2 = im.copy()
    im2[0], im2[-1] = 5.0, -3.0
    np.testing.assert_array_equal(_native._irfft(re, im2), _native._irfft(re, im))


@pytest.mark.parametrize(
    "bad, exc",
    [
        (None, TypeError),
        ("abc", TypeError),
        (b"\x00\x01", TypeError),
        (["1", "2"], TypeError),
        (np.array([{}, {}], dtype=object), TypeError),
        (np.array(["2020-01-01"], dtype="datetime64[D]"), TypeError),
        ([[1.0, 2.0], [3.0]], ValueError),
        (object(), TypeError),
    ],
)
def test_non_numeric_input_is_refused(bad, exc):
    for call in (lambda: _native._rfft(bad), lambda: _native._cfft(bad),
                 lambda: _native._irfft(bad, bad)):
        with pytest.raises(exc):
            call()
    assert _native._rfft(np.ones(4))[0][0] == 4  # still usable


def test_outputs_are_independent_writable_arrays():
    x = np.arange(64, dtype=np.float32)
    re1, im1 = _native._rfft(x)
    re2, _ = _native._rfft(x)
    assert re1.flags.writeable and re1.flags.c_contiguous and re1.flags.owndata is False
    assert not np.shares_memory(re1, re2) and not np.shares_memory(re1, im1)
    re1[:] = 0
    assert re2[0] == x.sum()
    del re2
    re3, _ = _native._rfft(x)  # reuses pooled memory without disturbing live arrays
    assert re3[0] == x.sum() and np.all(re1 == 0)


def test_concurrent_calls_match_serial_results():
    rng = np.random.default_rng(3)
    lengths = [64, 400, 511, 1024, 2048, 4099, 777, 96]
    jobs = []
    for i in range(48):
        n = lengths[i % len(lengths)]
        dtype = np.float32 if i % 3 else np.float64
        x = rng.standard_normal(n).astype(dtype)
        jobs.append(("r", x) if i % 2 else ("c", x + 1j * x[::-1]))

    def run(job):
        kind, x = job
        if kind == "r":
            re, im = _native._rfft(x)
            return re + 1j * im
        return _native._cfft(x)

    serial = [run(job) for job in jobs]
    results = [[None] * len(jobs) for _ in range(8)]

    def worker(t):
        for rep in range(3):
            for i in range(len(jobs)):
                j = (i + t * 5 + rep) % len(jobs)
                results[t][j] = run(jobs[j])

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for t in range(8):
        for i in range(len(jobs)):
            np.testing.assert_array_equal(results[t][i], serial[i])


def test_thread_count_functions(restore_threads):
    qorva.set_num_threads(-3)
    assert qorva.get_num_threads() == 0
    qorva.set_num_threads(64)
    assert qorva.get_num_threads() == 64
    qorva.set_num_threads(2**40)
    assert qorva.get_num_threads() == 2**31 - 1
    with pytest.raises(TypeError):
        qorva.set_num_threads("4")
