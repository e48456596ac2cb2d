"""First-call cost: the first STFT of a new frame size in a fresh process, against torch.stft's.

Each row runs fresh interpreters and times the first forward of an StftEngine (construction included) on
4 x 1 s of float32 audio, minus the fastest of three steady-state calls in the same process, for each n_fft:
  qorva, no wisdom   - an empty cache directory: the planner measures the size (once per machine);
  qorva, wisdom      - the cache the previous row left: the plan comes from saved wisdom;
  qorva, estimate    - QORVA_FFT_PLANNING=estimate: never measured;
  torch.stft         - torch's first call (when torch is installed).
Ratios are torch's extra cost / ours (above 1: our first call is cheaper).

    python bench/first_call.py
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile

from common import optional

PROBE = """
import sys, time
import numpy as np
n = int(sys.argv[1])
x = np.random.default_rng(0).standard_normal((4, 22050)).astype(np.float32)
if sys.argv[2] == "torch":
    import torch
    xt, w = torch.from_numpy(x), torch.hann_window(n)
    make = lambda: lambda: torch.stft(xt, n, n // 4, window=w, center=True, return_complex=True)
else:
    import qorva
    make = lambda: (lambda e: lambda: e.forward(x))(qorva.StftEngine(n))
def seconds(fn):
    t = time.perf_counter(); fn(); return time.perf_counter() - t
t0 = time.perf_counter(); call = make(); call(); first = time.perf_counter() - t0
# The steady state is the fastest of a few calls: one slow call on a busy machine would
# otherwise be taken for it (and the first call could read cheaper than free).
print(first - min(seconds(call) for _ in range(3)))
"""
SIZES = (1024, 2048, 4096, 8192, 16384)


def first_call_ms(n: int, kind: str, env: dict) -> float:
    out = subprocess.run([sys.executable, "-c", PROBE, str(n), kind], env=env, capture_output=True, text=True,
                         check=True)
    return 1e3 * float(out.stdout)


def main() -> None:
    torch = optional("torch")
    print(f"{'n_fft':>6s} {'no wisdom':>10s} {'wisdom':>8s} {'estimate':>9s} {'torch':>7s} {'ratio':>6s}  (ms)")
    with tempfile.TemporaryDirectory() as cache:
        env = {**os.environ, "XDG_CACHE_HOME": cache}
        env.pop("QORVA_FFT_PLANNING", None)
        for n in SIZES:
            cold = first_call_ms(n, "qorva", env)
            warm = first_call_ms(n, "qorva", env)
            estimate = first_call_ms(n, "qorva", {**env, "QORVA_FFT_PLANNING": "estimate"})
            peer = first_call_ms(n, "torch", env) if torch is not None else float("nan")
            print(f"{n:6d} {cold:10.1f} {warm:8.1f} {estimate:9.1f} {peer:7.1f} {peer / max(warm, 1e-3):6.2f}")


if __name__ == "__main__":
    main()
