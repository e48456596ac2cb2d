"""Raw FFT speed: qorva's _rfft/_cfft against numpy.fft.

For each length, two workloads:
  single  - one transform per call (call overhead included on both sides);
  looped  - 1000 transforms of different signals in a Python loop.
Times are medians over repeats; the ratio is numpy time / qorva time, so a
ratio above 1 means qorva is faster.

    python bench/fft.py [--repeats N]
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from qorva import _native

SIZES = (512, 2048, 4096, 1000, 4099)


def median_ns(fn, repeats: int, inner: int) -> float:
    fn()  # warm-up: plans, pooled buffers
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        for _ in range(inner):
            fn()
        samples.append((time.perf_counter_ns() - start) / inner)
    return statistics.median(samples)


def bench_pair(ours, theirs, repeats: int, inner: int) -> tuple[float, float]:
    return median_ns(ours, repeats, inner), median_ns(theirs, repeats, inner)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    print(f"FFTW {_native._fftw_version()}, numpy {np.__version__}")
    print(f"{'transform':10s} {'dtype':8s} {'n':>6s} {'workload':8s} "
          f"{'qorva ns':>12s} {'numpy ns':>12s} {'ratio':>7s}")
    for dtype, cdtype in ((np.float32, np.complex64), (np.float64, np.complex128)):
        for n in SIZES:
            x = rng.standard_normal(n).astype(dtype)
            z = (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(cdtype)
            xs = rng.standard_normal((1000, n)).astype(dtype)
            zs = (xs + 1j * xs[::-1]).astype(cdtype)
            rows = {
                ("rfft", "single"): (lambda: _native._rfft(x), lambda: np.fft.rfft(x), 200),
                ("cfft", "single"): (lambda: _native._cfft(z), lambda: np.fft.fft(z), 200),
                ("rfft", "looped"): (lambda: [_native._rfft(r) for r in xs],
                                     lambda: [np.fft.rfft(r) for r in xs], 1),
                ("cfft", "looped"): (lambda: [_native._cfft(r) for r in zs],
                                     lambda: [np.fft.fft(r) for r in zs], 1),
            }
            for (kind, workload), (ours, theirs, inner) in rows.items():
                t_ours, t_np = bench_pair(ours, theirs, args.repeats, inner)
                per = 1000 if workload == "looped" else 1
                print(f"{kind:10s} {np.dtype(dtype).name:8s} {n:6d} {workload:8s} "
                      f"{t_ours / per:12.0f} {t_np / per:12.0f} {t_np / t_ours:7.2f}")


if __name__ == "__main__":
    main()
