"""The FFT functions under the engines: backend choice, unnormalised conventions,
pooled output arrays and concurrent use."""

import threading

import numpy as np
import pytest
from conftest import rel_l2, run_isolated

import qorva
from qorva import _native

# Lengths on both sides of each bound of the automatic choice: Bluestein for odd
# real float32 lengths up to 8192 whose largest prime factor p is >= 67 and >= n/15.
BLUESTEIN = [67, 131, 1005, 2049, 3063, 4099, 4965, 8191]  # 1005 = 15*67, 4965 = 15*331
FFTW = [1, 2, 3, 61, 400, 441, 512, 1323, 2048, 4097, 4489, 5275, 8198, 8209, 16411]  # 4097 = 17*241, 4489 = 67^2


def test_backends():
    assert _native.abi_version() == 15 == qorva.ABI_VERSION
    assert _native._fft_backends() == ["fftw", "bluestein"]


def test_automatic_choice_takes_bluestein_only_where_the_rule_says():
    assert [_native._fft_backend_for(n) for n in BLUESTEIN] == ["bluestein"] * len(BLUESTEIN)
    assert [_native._fft_backend_for(n) for n in FFTW] == ["fftw"] * len(FFTW)
    # Double precision and complex transforms keep FFTW at every length.
    for n in BLUESTEIN:
        assert _native._fft_backend_for(n, double=True) == _native._fft_backend_for(n, complex=True) == "fftw"
        assert _native._fft_backend_for(n, complex=True, double=True) == "fftw"
    # The choice is what the transforms run: Bluestein's output equals its explicit run bit for bit.
    x = np.random.default_rng(0).standard_normal(4099).astype(np.float32)
    for got, want in zip(_native._rfft(x), _native._rfft(x, backend="bluestein")):
        np.testing.assert_array_equal(got, want)
    for got, want in zip(_native._rfft(x.astype(np.float64)), _native._rfft(x.astype(np.float64), backend="fftw")):
        np.testing.assert_array_equal(got, want)


def test_qorva_fft_still_forces_fftw():
    code = "from qorva import _native; print(_native._fft_backend_for(4099), _native._fft_backend_for(4097))"
    assert run_isolated(code, QORVA_FFT="fftw") == "fftw fftw"
    assert run_isolated(code, QORVA_FFT="bluestein") == "bluestein bluestein"


def test_fft_floor():
    assert _native._fft_floor(2048, 100) is None
    _native._fft_floor(2048, 100, "fftw_r2c")
    _native._fft_floor(4099, 0)  # Bluestein length, nothing to do
    _native._fft_floor(1, 3)
    with pytest.raises(ValueError, match="n must be at least 1, got 0"):
        _native._fft_floor(0, 10)
    with pytest.raises(ValueError, match="count must be non-negative, got -1"):
        _native._fft_floor(2048, -1)
    with pytest.raises(ValueError, match="transform must be one of"):
        _native._fft_floor(2048, 1, "pffft")


def test_unnormalised_conventions():
    re, im = _native._rfft(np.ones(512))
    assert re[0] == 512 and np.all(im == 0) and np.allclose(re[1:], 0, atol=1e-12)
    x = np.random.default_rng(1).standard_normal(1000)
    re, im = _native._rfft(x)
    assert rel_l2(_native._irfft(re, im, n=1000), 1000 * x) < 1e-14
    # The length follows from the bins unless n says otherwise; the precision follows re.
    assert _native._irfft(re, im).shape == (1000,) and _native._irfft(re, im, n=1001).shape == (1001,)
    assert _native._irfft(re.astype(np.float32), im).dtype == np.float32
    assert _native._irfft(re, im.astype(np.float32)).dtype == np.float64
    # Imaginary parts at DC and Nyquist have no effect.
    im2 = im.copy()
    im2[0], im2[-1] = 5.0, -3.0
    np.testing.assert_array_equal(_native._irfft(re, im2), _native._irfft(re, im))


def test_outputs_are_independent_writable_arrays():
    x = np.arange(64, dtype=np.float32)
    re1, im1 = _native._rfft(x)
    re2, _ = _native._rfft(x)
    assert re1.flags.writeable and not np.shares_memory(re1, re2) and not np.shares_memory(re1, im1)
    re1[:] = 0
    del re2
    re3, _ = _native._rfft(x)  # reuses pooled memory without disturbing live arrays
    assert re3[0] == x.sum() and np.all(re1 == 0)


def test_concurrent_calls_match_serial_results():
    rng = np.random.default_rng(3)
    jobs = []
    for i, n in enumerate([64, 400, 511, 1024, 2048, 4099, 777, 96] * 6):
        x = rng.standard_normal(n).astype(np.float32 if i % 3 else np.float64)
        z = x + 1j * x[::-1]
        jobs.append((lambda x=x: np.stack(_native._rfft(x))) if i % 2 else (lambda z=z: _native._cfft(z)))
    serial = [job() for job in jobs]
    results = [[None] * len(jobs) for _ in range(8)]

    def worker(t):
        for i in range(3 * len(jobs)):
            j = (i + t * 5) % len(jobs)
            results[t][j] = jobs[j]()

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for got, want in zip((r for rs in results for r in rs), serial * 8):
        np.testing.assert_array_equal(got, want)
