"""Helpers shared by the benchmarks: timing, agreement and the header."""

from __future__ import annotations

import os
import platform
import statistics
import time

import numpy as np

import qorva
from qorva import _native


def median_ms(fn, repeats: int) -> float:
    """Median wall time of fn() in ms, after one warm-up call (plans, pooled buffers)."""
    fn()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1e6


def fft_floor_ms(n_fft: int, count: int, repeats: int, transform: str = "engine") -> float:
    """Median time of `count` float32 real FFTs of length n_fft spread over the
    current qorva thread count, with the data in cache: the least work a framed
    transform of `count` frames can do (_native._fft_floor).  transform
    "fftw_r2c" times FFTW's own real transform instead of the engines' packed one."""
    return median_ms(lambda: _native._fft_floor(n_fft, count, transform), repeats)


def rel_l2(got, want) -> float:
    got, want = np.asarray(got, np.float64), np.asarray(want, np.float64)
    return float(np.linalg.norm(got - want) / np.linalg.norm(want))


def optional(name: str):
    try:
        return __import__(name)
    except ImportError:
        return None


def print_header(*peers) -> None:
    """Cores, Python and library versions; peers are modules or None."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    versions = [f"qorva {qorva.__version__}", _native._fftw_version(), f"numpy {np.__version__}"]
    versions += [f"{m.__name__} {m.__version__}" for m in peers if m is not None]
    print(f"{cores} cores available ({os.cpu_count()} in the machine), Python {platform.python_version()}")
    print(", ".join(versions))


def run_rows(rows: dict, threads: tuple, repeats: int, torch=None, floor: tuple | None = None) -> None:
    """rows: name -> (ours, peer name, peer callable or None).  Prints our time,
    the peer's and the ratio peer / ours (above 1: qorva is faster) per thread
    count.  All of our rows are timed before any peer row, after a pause: BLAS
    and OpenMP worker threads of the peers keep spinning for a while after
    their work and would otherwise steal a core from us.

    floor: (n_fft, count) adds an "fft floor" row per thread count, the time of
    `count` bare FFTs of length n_fft (fft_floor_ms), and a column "/floor"
    with each of our times over it: how far the row is from doing nothing but
    its FFTs.  An "fftw floor" row and column "/fftw" do the same with FFTW's
    own real transform, about twice the engines' packed one."""
    w = max([12] + [len(name) for name in rows])  # the row column fits the longest name
    print(f"{'threads':>7s} {'row':{w}s} {'qorva ms':>9s} {'/floor':>6s} {'/fftw':>6s} {'peer':12s} {'peer ms':>9s} {'ratio':>7s}")
    saved = (qorva.get_num_threads(), torch.get_num_threads() if torch else None)
    try:
        for n in threads:
            qorva.set_num_threads(n)
            if torch is not None:
                torch.set_num_threads(n)
            time.sleep(0.5)
            t_floor = fft_floor_ms(*floor, repeats) if floor else None
            t_fftw = fft_floor_ms(*floor, repeats, "fftw_r2c") if floor else None
            ours = {}
            for name, (fn, _, _) in rows.items():
                if fn not in ours:
                    ours[fn] = median_ms(fn, repeats)
            if t_floor is not None:
                print(f"{n:7d} {'fft floor':{w}s} {t_floor:9.2f} {1.0:6.2f} {t_floor / t_fftw:6.2f} {'-':12s} {'-':>9s} {'-':>7s}")
                print(f"{n:7d} {'fftw floor':{w}s} {t_fftw:9.2f} {t_fftw / t_floor:6.2f} {1.0:6.2f} {'-':12s} {'-':>9s} {'-':>7s}")
            for name, (fn, peer_name, peer) in rows.items():
                t_ours = ours[fn]
                over = f"{t_ours / t_floor:6.2f} {t_ours / t_fftw:6.2f}" if t_floor else f"{'-':>6s} {'-':>6s}"
                if peer is None:
                    print(f"{n:7d} {name:{w}s} {t_ours:9.2f} {over} {'-':12s} {'-':>9s} {'-':>7s}")
                    continue
                t_peer = median_ms(peer, repeats)
                print(f"{n:7d} {name:{w}s} {t_ours:9.2f} {over} {peer_name:12s} {t_peer:9.2f} {t_peer / t_ours:7.2f}")
    finally:
        qorva.set_num_threads(saved[0])
        if torch is not None:
            torch.set_num_threads(saved[1])


def median_gpu_ms(fn, repeats: int, torch) -> float:
    """Median wall time of fn() in ms with the device synchronised around it."""
    fn()
    torch.cuda.synchronize()
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        fn()
        torch.cuda.synchronize()
        samples.append(time.perf_counter_ns() - start)
    return statistics.median(samples) / 1e6


def gpu_header(torch) -> bool:
    """Prints the header of a GPU run; False (with the reason) when there is nothing to run on."""
    if torch is None or not torch.cuda.is_available() or not qorva.gpu_available():
        print("--gpu needs a CUDA GPU, qorva's CUDA backend and PyTorch with CUDA; skipped")
        return False
    print_header(torch)
    print(f"GPU: {qorva.gpu_device_name()} (torch sees {torch.cuda.get_device_name(0)})")
    return True


def run_gpu_rows(rows: list, repeats: int, torch) -> None:
    """rows: (name, ours, torch's); prints both times and the ratio torch / ours."""
    print(f"{'row':20s} {'qorva ms':>9s} {'torch ms':>9s} {'ratio':>7s}")
    for name, mine, peer in rows:
        ours_ms = median_gpu_ms(mine, repeats, torch)
        peer_ms = median_gpu_ms(peer, repeats, torch)
        print(f"{name:20s} {ours_ms:9.2f} {peer_ms:9.2f} {peer_ms / ours_ms:7.2f}")
