"""Accuracy of the raw transforms against numpy.fft and a direct DFT, as relative
L2 errors against a float64 reference computed from the same rounded input."""

import numpy as np
import pytest
from conftest import rel_l2

from qorva import _native

SIZES = list(range(1, 601)) + [1000, 1024, 2048, 4096, 4099, 8191, 65536]
TOLERANCE = {np.float32: 1e-5, np.float64: 1e-12}


def rfft(x, n, backend):
    re, im = _native._rfft(x[:n], backend=backend)
    assert re.dtype == im.dtype == x.dtype and re.shape == (n // 2 + 1,)
    return re + 1j * im.astype(np.float64), np.fft.rfft(x[:n].astype(np.float64))


def irfft(x, n, backend):
    re, im = np.split(x[: 2 * (n // 2 + 1)], 2)
    out = _native._irfft(re, im, backend=backend, n=n)
    assert out.dtype == x.dtype and out.shape == (n,)
    im = im.astype(np.float64)
    im[[0, -1] if n % 2 == 0 else 0] = 0  # the imaginary parts of DC and Nyquist carry nothing
    return out, n * np.fft.irfft(re + 1j * im, n)


def cfft(inverse):
    def check(x, n, backend):
        z = x[:n] + 1j * x[n : 2 * n]
        out = _native._cfft(z, inverse=inverse, backend=backend)
        assert out.dtype == z.dtype and out.shape == (n,)
        return out, n * np.fft.ifft(z.astype(np.complex128)) if inverse else np.fft.fft(z.astype(np.complex128))
    return check


@pytest.mark.parametrize("transform", [rfft, irfft, cfft(False), cfft(True)], ids=["rfft", "irfft", "cfft", "icfft"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("backend", ["", "bluestein"])  # "" is the automatic choice (fftw)
def test_matches_numpy_at_every_size(transform, backend, dtype):
    rng = np.random.default_rng(7)
    bad = []
    for n in SIZES if backend != "bluestein" else [n for n in SIZES if n >= 4]:
        err = rel_l2(*transform(rng.standard_normal(2 * n + 2).astype(dtype), n, backend))
        if not err < TOLERANCE[dtype]:
            bad.append((n, err))
    assert bad == []


def direct_dft(X):
    """O(n^2) DFT of the columns of X in float64; angles reduced exactly with (j*k) mod n."""
    n = len(X)
    j = np.arange(n, dtype=np.int64)
    out = np.empty(X.shape, dtype=np.complex128)
    for start in range(0, n, 256):
        k = np.arange(start, min(n, start + 256), dtype=np.int64)
        out[start : start + len(k)] = np.exp(-2j * np.pi / n * (np.outer(k, j) % n)) @ X
    return out


@pytest.mark.parametrize("n", [4, 5, 17, 400, 1000, 3063, 4099, 8191])
def test_bluestein_matches_direct_dft(n):
    rng = np.random.default_rng(n)
    x = rng.standard_normal(n) + 1j * rng.standard_normal(n)
    x32 = x.astype(np.complex64)
    # The inverse transform is the conjugate of the forward one of the conjugate.
    fwd, conj_fwd, real_fwd, fwd32 = direct_dft(np.stack([x, x.conj(), x.real, x32.astype(np.complex128)], 1)).T
    assert rel_l2(_native._cfft(x, backend="bluestein"), fwd) < 1e-12
    assert rel_l2(_native._cfft(x, inverse=True, backend="bluestein"), conj_fwd.conj()) < 1e-12
    re, im = _native._rfft(x.real.copy(), backend="bluestein")
    assert rel_l2(re + 1j * im, real_fwd[: n // 2 + 1]) < 1e-12
    assert rel_l2(_native._cfft(x32, backend="bluestein"), fwd32) < 1e-5
    # Lengths the automatic choice gives to Bluestein must stay as accurate as
    # FFTW in float32 (both about 2e-7 here), well inside the 1e-5 allowed above.
    if _native._fft_backend_for(n) == "bluestein":
        x32 = x.real.astype(np.float32)
        re, im = _native._rfft(x32)
        want = direct_dft(x32.astype(np.float64)[:, None])[: n // 2 + 1, 0]
        re_f, im_f = _native._rfft(x32, backend="fftw")
        fftw_err = rel_l2(re_f + 1j * im_f.astype(np.float64), want)
        assert rel_l2(re + 1j * im.astype(np.float64), want) < max(2 * fftw_err, 5e-7)
