"""Accuracy of the raw transforms against numpy.fft and a direct DFT.

Errors are relative L2 norms, ||ours - reference|| / ||reference||, with the
reference computed in float64 from the same (already rounded) input.
"""

import numpy as np
import pytest
from conftest import rel_l2

from qorva import _native

SIZES = list(range(1, 601)) + [1000, 1024, 2048, 4096, 4099, 8191, 65536]
TOLERANCE = {np.float32: 1e-5, np.float64: 1e-12}
BACKENDS = ["", "bluestein"]  # "" is the automatic choice (fftw)


def sizes_for(backend):
    return [n for n in SIZES if backend != "bluestein" or n >= 4]


def failures_of(check, backend, dtype):
    tol = TOLERANCE[dtype]
    rng = np.random.default_rng(7)
    bad = []
    for n in sizes_for(backend):
        err = check(n, rng)
        if not err < tol:
            bad.append((n, err))
    return bad


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("backend", BACKENDS)
def test_rfft_matches_numpy(backend, dtype):
    def check(n, rng):
        x = rng.standard_normal(n).astype(dtype)
        re, im = _native._rfft(x, backend=backend)
        assert re.dtype == dtype and im.dtype == dtype and re.shape == (n // 2 + 1,)
        return rel_l2(re + 1j * im.astype(np.float64), np.fft.rfft(x.astype(np.float64)))

    assert failures_of(check, backend, dtype) == []


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("backend", BACKENDS)
def test_irfft_matches_numpy(backend, dtype):
    def check(n, rng):
        bins = n // 2 + 1
        re = rng.standard_normal(bins).astype(dtype)
        im = rng.standard_normal(bins).astype(dtype)
        out = _native._irfft(re, im, backend=backend, n=n)
        assert out.dtype == dtype and out.shape == (n,)
        spec = re.astype(np.float64) + 1j * im.astype(np.float64)
        spec[0] = spec[0].real  # the imaginary parts of DC and Nyquist carry nothing
        if n % 2 == 0:
            spec[-1] = spec[-1].real
        return rel_l2(out, n * np.fft.irfft(spec, n))

    assert failures_of(check, backend, dtype) == []


@pytest.mark.parametrize("inverse", [False, True])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("backend", BACKENDS)
def test_cfft_matches_numpy(backend, dtype, inverse):
    cdtype = np.complex64 if dtype == np.float32 else np.complex128

    def check(n, rng):
        x = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(cdtype)
        out = _native._cfft(x, inverse=inverse, backend=backend)
        assert out.dtype == cdtype and out.shape == (n,)
        x64 = x.astype(np.complex128)
        want = n * np.fft.ifft(x64) if inverse else np.fft.fft(x64)
        return rel_l2(out, want)

    assert failures_of(check, backend, dtype) == []


def direct_dft(x, sign=-1):
    """O(n^2) DFT in float64; angles reduced exactly with (j*k) mod n."""
    n = len(x)
    j = np.arange(n, dtype=np.int64)
    out = np.empty(n, dtype=np.complex128)
    for start in range(0, n, 256):
        k = np.arange(start, min(n, start + 256), dtype=np.int64)
        phase = (np.outer(k, j) % n) * (sign * 2.0 * np.pi / n)
        out[start : start + len(k)] = np.exp(1j * phase) @ x
    return out


@pytest.mark.parametrize("n", [4, 5, 17, 400, 1000, 4099, 8191])
def test_bluestein_matches_direct_dft(n):
    rng = np.random.default_rng(n)
    x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    assert rel_l2(_native._cfft(x, backend="bluestein"), direct_dft(x)) < 1e-12
    assert rel_l2(_native._cfft(x, inverse=True, backend="bluestein"), direct_dft(x, +1)) < 1e-12
    xr = x.real.copy()
    re, im = _native._rfft(xr, backend="bluestein")
    assert rel_l2(re + 1j * im, direct_dft(xr)[: n // 2 + 1]) < 1e-12
    # float32 keeps its own precision against the same float64 reference
    x32 = x.astype(np.complex64)
    assert rel_l2(_native._cfft(x32, backend="bluestein"), direct_dft(x32.astype(np.complex128))) < 1e-5


def test_bluestein_edge_lengths():
    # n = 4: an impulse transforms to all ones.
    out = _native._cfft(np.array([1, 0, 0, 0], dtype=np.complex128), backend="bluestein")
    np.testing.assert_allclose(out, np.ones(4), atol=1e-15)
    # n = 5 real: 3 bins, and the inverse returns 5 times the input.
    x = np.array([0.5, -1.0, 2.0, 0.25, 3.0])
    re, im = _native._rfft(x, backend="bluestein")
    assert re.shape == (3,)
    np.testing.assert_allclose(_native._irfft(re, im, backend="bluestein", n=5), 5 * x, rtol=1e-13)
