"""The ``qorva`` command.

``qorva check`` (also what a bare ``qorva`` runs) is a short self-check of the
installed build: which FFT backends it has, the FFTW version, the worker count,
and a forward/inverse round trip of an embedded test signal per backend.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

from . import __version__, _native, get_num_threads

# Lengths that exercise both backends: a power of two, a length with a large
# prime factor, and a prime.
_CHECK_SIZES = (2048, 1000, 4099)


def _test_signal(n: int) -> np.ndarray:
    """A chirp plus a decaying tone: deterministic and broadband."""
    t = np.arange(n) / 22050.0
    chirp = np.sin(2 * np.pi * (110.0 + 2000.0 * t) * t)
    tone = 0.5 * np.exp(-3.0 * t) * np.cos(2 * np.pi * 440.0 * t)
    return chirp + tone


def _round_trip(n: int, backend: str, dtype) -> tuple[float, float]:
    """Relative L2 error of irfft(rfft(x)) / n, and microseconds per warm rfft call."""
    x = _test_signal(n).astype(dtype)
    re, im = _native._rfft(x, backend=backend)  # the first call also plans
    back = _native._irfft(re, im, backend=backend, n=n) / n
    err = float(np.linalg.norm(back - x) / np.linalg.norm(x))
    calls = 20
    start = time.perf_counter()
    for _ in range(calls):
        _native._rfft(x, backend=backend)
    elapsed_us = (time.perf_counter() - start) * 1e6 / calls
    return err, elapsed_us


def run_check(out=sys.stdout) -> int:
    print(f"qorva {__version__} (interface {_native.abi_version()})", file=out)
    print(f"FFT backends: {', '.join(_native._fft_backends())}", file=out)
    print(f"FFTW: {_native._fftw_version()}", file=out)
    threads = get_num_threads()
    print(f"worker chunks: {threads if threads else 'automatic'}", file=out)
    failures = 0
    for n in _CHECK_SIZES:
        for backend in _native._fft_backends():
            for dtype, tol in ((np.float32, 1e-5), (np.float64, 1e-12)):
                err, us = _round_trip(n, backend, dtype)
                ok = err < tol
                failures += not ok
                print(
                    f"  n={n:5d} {backend:9s} {np.dtype(dtype).name:7s} "
                    f"round-trip error {err:.2e} {'ok' if ok else 'FAILED'} ({us:.1f} us per rfft)",
                    file=out,
                )
    print("self-check passed" if failures == 0 else f"self-check FAILED ({failures})", file=out)
    return 0 if failures == 0 else 1


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="qorva", description="Qorva DSP command line")
    sub = parser.add_subparsers(dest="command")
    sub.add_parser("check", help="self-check of the installed build (default)")
    args = parser.parse_args(argv)
    if args.command in (None, "check"):
        return run_check()
    parser.error(f"unknown command {args.command!r}")
    return 2


if __name__ == "__main__":
    sys.exit(main())
