#!/usr/bin/env python3
"""Leak check of the extension under LeakSanitizer.

    scripts/leak-check.py [PYTHON]

runs a representative workload (every engine family, forward and backward in
float32 and float64, complex outputs and strided spectra, refused calls whose
errors are caught, engines created and dropped, calls from several threads
while the thread count changes, the private FFT functions) with PYTHON, an
interpreter whose qorva was built with QORVA_SANITIZE=address (default
.venv-asan/bin/python, as built by `scripts/dev.sh sanitize`), the ASan
runtime and libstdc++ preloaded and leak detection on.

CPython and NumPy keep many allocations to the end of the process by design,
so LeakSanitizer reports plenty that is not ours.  The check keeps only leak
records with a frame in the qorva extension (its shared object, or its C++ or
pybind11 symbols), prints them and fails when there are any.  What the
extension keeps for the life of the process on purpose (the buffer pool, FFTW
plans, the worker threads) stays reachable through static pointers and is not
reported.  Objects come from malloc rather than pymalloc's arenas during the
run, so a reference the extension loses to an array it made shows up too.
`scripts/leak-check.py --workload` runs the workload alone in the current
interpreter.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# A leak record: the header line and the stack frames under it.
_RECORD = re.compile(r"^(Direct|Indirect) leak of (\d+) byte\(s\) in (\d+) object\(s\) allocated from:\n((?:[ \t]+#.*\n?)+)",
                     re.MULTILINE)
_OURS = re.compile(r"qorva::|qorva/_native|pybind11::")


def workload(rounds: int = 3) -> None:
    import threading

    import numpy as np

    import qorva
    from qorva import _native

    c1 = qorva.ChromaEngine.c1_hz()
    rng = np.random.default_rng(0)

    def make_engines():
        return {
            "stft": qorva.StftEngine(256, 64, 200, "hann", True, "reflect"),
            "istft": qorva.IstftEngine(256, 64, 200, "hann", True),
            "mel": qorva.MelEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0, "slaney",
                                   "slaney"),
            "cqt": qorva.CqtEngine(8000.0, 64, 4 * c1, 24, 12),
            "chroma": qorva.ChromaEngine(8000.0, 64, 12, 2, 12, 4 * c1),
            "rms": qorva.RmsEngine(256, 64, True, "reflect"),
            "moments": qorva.SpectralMomentsEngine(8000.0, 256, 64, 256, np.hanning(256), True, "constant",
                                                   ["centroid", "bandwidth", "skewness", "kurtosis", "flatness",
                                                    "slope", "decrease", "crest", "entropy"]),
            "flux": qorva.SpectralFluxEngine(255, 64, 255, "hamming", False, "reflect"),
            "onset": qorva.OnsetStrengthEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                               "htk", "none"),
            "tempogram": qorva.TempogramEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                               "slaney", "slaney", 16),
        }

    def grad_like(y):
        g = np.cos(np.arange(y.size)).reshape(y.shape)
        return (g + 1j * g).astype(y.dtype) if np.iscomplexobj(y) else g.astype(y.dtype)

    def exercise(engines, x):
        kept = []
        for name, e in engines.items():
            if name == "istft":
                z = engines["stft"].forward(x, "complex")
                y = e.forward(z, x.shape[1])
                # The spectrum as the STFT returns it (frame-major) and C-ordered (copied).
                kept += [y, e.forward(np.ascontiguousarray(z), -1), e.backward(grad_like(y), z.shape[2])]
            elif name == "chroma":
                y = e.forward(x)
                kept += [y, e.backward(grad_like(y), x)]
            else:
                modes = ["complex", "magnitude", "power", "db"] if name in ("stft", "cqt") else ["power"]
                for mode in modes:
                    y = e.forward(x, mode)
                    # A C-ordered complex gradient takes the backward's
                    # frame-major copy.
                    kept += [y, e.backward(grad_like(y), x, mode)]
        return kept

    def refused(engines, x):
        calls = [
            lambda: engines["stft"].forward(x, "Power"),
            lambda: engines["stft"].forward(x.astype(np.float16), "power"),
            lambda: engines["stft"].forward(x[0], "power"),
            lambda: engines["stft"].backward(np.ones((1, 3, 3), x.dtype), x, "power"),
            lambda: engines["stft"].backward(np.ones((x.shape[0], 12, 3), np.complex64), x, "complex"),
            lambda: engines["stft"].forward(x, "power", backend="cuda"),
            lambda: engines["istft"].backward(np.ones((1, 100)), 0),
            lambda: engines["mel"].forward(x, "complex"),
            lambda: engines["cqt"].backward(np.ones((1, 2, 3)), x, "magnitude"),
            lambda: engines["chroma"].forward(None),
            lambda: engines["flux"].forward(x[:, :100], ""),
            lambda: engines["tempogram"].forward(np.array([["a", "b"]]), ""),
            lambda: qorva.StftEngine(256, 0, 256, "hann", True, "reflect"),
            lambda: qorva.MelEngine(8000.0, 256, 64, 256, "nope", True, "reflect", 24, 0.0, 4000.0, "slaney",
                                    "slaney"),
            lambda: qorva.CqtEngine(8000.0, 64, 3000.0, 48, 12),
            lambda: qorva.SpectralMomentsEngine(8000.0, 256, 64, 256, "hann", True, "constant", ["nope"]),
            lambda: qorva.TempogramEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0, "slaney",
                                          "slaney", 1 << 30),
            lambda: _native._rfft(np.ones(8), backend="vdsp"),
        ]
        for call in calls:
            try:
                call()
            except (ValueError, TypeError, RuntimeError, OverflowError, MemoryError):
                pass
            else:
                raise AssertionError("a refused call succeeded")

    def ffts():
        for n in (1, 7, 64, 1000):
            v = rng.standard_normal(n)
            re, im = _native._rfft(v)
            _native._irfft(re, im, n=n)
            _native._cfft(v + 1j, inverse=True)
            _native._cfft((v + 1j).astype(np.complex64), backend="bluestein" if n >= 4 else "")

    shared = make_engines()
    for rnd in range(rounds):
        for dtype in (np.float32, np.float64):
            x = rng.standard_normal((3, 1500 + 37 * rnd)).astype(dtype)
            engines = make_engines()  # built, used in both precisions, dropped
            kept = exercise(engines, x)
            refused(engines, x)
            del engines, kept
        ffts()

        def worker(t):
            for i in range(2):
                exercise(shared, rng.standard_normal((1 + t, 900)).astype(np.float32 if i else np.float64))

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
        for th in threads:
            th.start()
        for n in (1, 3, 2, 0):
            qorva.set_num_threads(n)
        for th in threads:
            th.join()
    # Outputs alive when the interpreter exits must not count as leaks either.
    globals()["_kept_to_exit"] = exercise(shared, np.ones((2, 700), np.float32))


def our_leaks(report: str) -> list[str]:
    return [m.group(0).rstrip() for m in _RECORD.finditer(report) if _OURS.search(m.group(4))]


def main(argv: list[str]) -> int:
    if argv[1:2] == ["--workload"]:
        workload()
        return 0
    # Absolute but not resolved: a virtual environment's python is a symbolic link.
    python = os.path.abspath(argv[1]) if len(argv) > 1 else str(ROOT / ".venv-asan" / "bin" / "python")
    libasan, libstdcxx = (subprocess.run(["gcc", f"-print-file-name={lib}"], capture_output=True, text=True,
                                         check=True).stdout.strip() for lib in ("libasan.so", "libstdc++.so.6"))
    if not os.path.isabs(libasan) or not os.path.exists(libasan):
        print(f"the ASan runtime was not found ({libasan})", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        log = Path(tmp) / "lsan"
        env = dict(os.environ)
        env.update({
            "LD_PRELOAD": f"{libasan}:{libstdcxx}",
            # Deep, exact stacks so that a leak made through NumPy or CPython
            # still shows the extension frame that asked for it.
            "ASAN_OPTIONS": f"detect_leaks=1:exitcode=23:fast_unwind_on_malloc=0:malloc_context_size=40:log_path={log}",
            # Thread-local storage is not scanned for roots: the dynamic-TLS
            # scan of GCC 12's LeakSanitizer crashes on the extension's small
            # TLS block under glibc 2.36 ("Tracer caught signal 11"), and the
            # extension keeps no heap pointers in thread-local variables.
            "LSAN_OPTIONS": "use_tls=0",
            "UBSAN_OPTIONS": "print_stacktrace=1:halt_on_error=1",
            # Every object from malloc, not from pymalloc's arenas, so that a
            # lost reference to an object the extension made is seen as well.
            "PYTHONMALLOC": "malloc",
        })
        # Run from outside the tree so that the installed package is imported.
        proc = subprocess.run([python, str(Path(__file__).resolve()), "--workload"], env=env, cwd=tmp,
                              capture_output=True, text=True)
        report = "".join(p.read_text() for p in sorted(Path(tmp).glob("lsan*")))
    if (proc.returncode not in (0, 23) or "ERROR: AddressSanitizer" in report
            or "LeakSanitizer has encountered a fatal error" in report):
        # 23 is the exit status chosen for leaks; anything else is a crash, a
        # failed workload or a leak scan that did not finish.
        sys.stderr.write(proc.stdout + proc.stderr + report)
        print(f"leak check: the workload or the leak scan failed (exit status {proc.returncode})", file=sys.stderr)
        return 1
    if proc.returncode == 23 and not _RECORD.search(report):
        sys.stderr.write(report)
        print("leak check: leaks were reported in a form this script does not read", file=sys.stderr)
        return 1
    leaks = our_leaks(report)
    for record in leaks:
        print(record + "\n")
    print(f"leak check: {len(leaks)} leak record(s) with qorva frames"
          f" ({len(_RECORD.findall(report))} in all, the rest from the interpreter and NumPy)")
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
