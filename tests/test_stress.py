"""Concurrency stress: one shared engine per family, called from many threads
with mixed shapes, precisions and directions while the thread count changes
underneath; runs whose parallel chunks fail; daemon threads still computing
when the interpreter exits; and forks while other threads compute.

Every engine cuts its work so that each output value is computed by the same
operations in the same order however the work is split, so results must match
the serial ones bit for bit, whatever the thread count and whoever else is
calling.

QORVA_STRESS=long runs many more rounds with more threads and larger inputs
(about a minute on two cores) instead of the few seconds the default takes.
"""

import json
import os
import sys
import threading
import time

import numpy as np
import pytest
from conftest import _asan_runtime_loaded, needs_plain_allocator, run_isolated

import qorva

LONG = os.environ.get("QORVA_STRESS") == "long"
CALLERS = 16 if LONG else 8
ROUNDS = 12 if LONG else 3
# (batch, samples): one row and several; batches of 3 and 5 sit on both sides
# of the row-parallel threshold as the width moves between 1 and 4.
SHAPES = [(1, 700), (3, 1500), (5, 420)] + ([(8, 6000), (2, 22050)] if LONG else [])

C1 = 32.70319566257483


def make_engines():
    return {
        "stft": qorva.StftEngine(256, 64, 200, "hann", True, "reflect"),
        "istft": qorva.IstftEngine(256, 64, 200, "hann", True),
        "mel": qorva.MelEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0, "slaney", "slaney"),
        "cqt": qorva.CqtEngine(8000.0, 64, 4 * C1, 24, 12),
        "chroma": qorva.ChromaEngine(8000.0, 64, 12, 2, 12, 4 * C1),
        "rms": qorva.RmsEngine(256, 64, True, "reflect"),
        "moments": qorva.SpectralMomentsEngine(8000.0, 256, 64, 256, "hann", True, "constant",
                                               ["centroid", "bandwidth", "flatness", "entropy"]),
        "flux": qorva.SpectralFluxEngine(255, 64, 255, "hamming", True, "reflect"),
        "onset": qorva.OnsetStrengthEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                           "htk", "none"),
        "tempogram": qorva.TempogramEngine(8000.0, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                           "slaney", "slaney", 16),
    }


MODES = {"stft": ["complex", "db"], "cqt": ["complex", "magnitude"], "mel": ["power", "db"]}


def gradient_for(y):
    g = np.cos(0.37 * np.arange(y.size)).reshape(y.shape)
    return (g - 0.5j * g[..., ::-1]).astype(y.dtype) if np.iscomplexobj(y) else g.astype(y.dtype)


def build_jobs(reference):
    """(label, call, expected) triples; call(engines) repeats the computation
    on another set of engines with the same parameters."""
    rng = np.random.default_rng(7)
    jobs = []
    for shape in SHAPES:
        for dtype in (np.float32, np.float64):
            x = rng.standard_normal(shape).astype(dtype)
            for name in reference:
                if name == "istft":
                    z = reference["stft"].forward(x, "complex")
                    length = shape[1]
                    y = reference["istft"].forward(z, length)
                    g = gradient_for(y)
                    jobs.append((f"istft forward {shape} {dtype.__name__}",
                                 lambda e, z=z, n=length: e["istft"].forward(z, n), y))
                    jobs.append((f"istft backward {shape} {dtype.__name__}",
                                 lambda e, g=g, f=z.shape[2]: e["istft"].backward(g, f),
                                 reference["istft"].backward(g, z.shape[2])))
                    continue
                if name == "chroma":
                    y = reference["chroma"].forward(x)
                    g = gradient_for(y)
                    jobs.append((f"chroma forward {shape} {dtype.__name__}",
                                 lambda e, x=x: e["chroma"].forward(x), y))
                    jobs.append((f"chroma backward {shape} {dtype.__name__}",
                                 lambda e, g=g, x=x: e["chroma"].backward(g, x),
                                 reference["chroma"].backward(g, x)))
                    continue
                for mode in MODES.get(name, [""]):
                    y = reference[name].forward(x, mode)
                    g = gradient_for(y)
                    tag = f"{name} {mode or 'forward'} {shape} {dtype.__name__}"
                    jobs.append((tag + " forward", lambda e, n=name, x=x, m=mode: e[n].forward(x, m), y))
                    jobs.append((tag + " backward", lambda e, n=name, g=g, x=x, m=mode: e[n].backward(g, x, m),
                                 reference[name].backward(g, x, mode)))
    # Refused calls, raised on some threads while others compute.
    x = rng.standard_normal((2, 900)).astype(np.float32)
    refused = [
        (lambda e: e["stft"].backward(np.ones((2, 129, 3), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e: e["mel"].forward(x.astype(np.float16), "power"), TypeError,
         "float16 input is not supported; cast to float32"),
        (lambda e: e["istft"].forward(np.ones((1, 7, 4), np.complex64), 100), ValueError,
         "expected 129 frequency bins, got 7"),
        (lambda e: e["cqt"].forward(x, "Power"), ValueError,
         "output must be one of ('complex', 'magnitude', 'power', 'db'); got 'Power'"),
        (lambda e: e["tempogram"].forward(x[0], ""), ValueError, "expected a 2-D (batch, samples) array"),
    ]
    for i, (call, exc, message) in enumerate(refused):
        jobs.append((f"refused call {i}", call, (exc, message)))
    return jobs


def run_job(call, want, engines):
    """None when the call reproduces `want`, else what went wrong."""
    if isinstance(want, tuple):
        exc, message = want
        try:
            call(engines)
        except exc as e:
            return None if str(e) == message else f"raised {e!r}"
        return "was not refused"
    got = call(engines)
    if got.dtype != want.dtype or got.shape != want.shape or got.strides != want.strides:
        return f"{got.dtype}{got.shape}{got.strides} instead of {want.dtype}{want.shape}{want.strides}"
    if not np.array_equal(got, want, equal_nan=True):
        return f"values differ by up to {np.nanmax(np.abs(got - want))}"
    return None


def test_shared_engines_under_concurrent_callers_and_changing_thread_counts(restore_threads):
    reference = make_engines()
    qorva.set_num_threads(3)
    jobs = build_jobs(reference)
    del reference
    # Fresh engines: their float64 engines are built by whichever thread asks
    # first, while the others already compute.
    shared = make_engines()
    failures = []
    done = threading.Event()

    def caller(t):
        order = np.random.default_rng(100 + t).permutation(len(jobs))
        try:
            for _ in range(ROUNDS):
                for i in order:
                    label, call, want = jobs[i]
                    problem = run_job(call, want, shared)
                    if problem:
                        failures.append(f"caller {t}, {label}: {problem}")
        except Exception as e:  # noqa: BLE001 - reported with the others
            failures.append(f"caller {t}: {e!r}")

    def width_changer():
        i = 0
        while not done.is_set():
            qorva.set_num_threads(1 + i % 4)
            i += 1
            time.sleep(0.0005)

    changer = threading.Thread(target=width_changer)
    callers = [threading.Thread(target=caller, args=(t,)) for t in range(CALLERS)]
    changer.start()
    for c in callers:
        c.start()
    for c in callers:
        c.join()
    done.set()
    changer.join()
    assert not failures, "\n".join(failures[:20])


# A parallel chunk that fails: an address-space limit just above what the
# process uses makes every chunk's scratch allocation fail (the output and the
# cached blocks need nothing new), so each caller gets MemoryError from inside
# parallel_for.  With the limit lifted the same engine, pool and workers must
# compute again, for several callers at once.  Without the environment below
# a worker could still serve the scratch from address space its malloc arena
# reserved earlier.
_CHUNK_FAILURE = r"""
import json, resource, threading
import numpy as np
import qorva
from qorva import _native

qorva.set_num_threads(4)
n_fft = 1 << 18                     # about 10 MB of scratch per chunk
eng = qorva.SpectralFluxEngine(n_fft, 16, n_fft, "hann", True, "constant")
x = np.random.default_rng(0).standard_normal((1, 1024)).astype(np.float32)
assert eng.n_frames(1024) > 64      # more than one chunk
want = eng.forward(x, "")           # plans the transform, caches the output block

def in_use():
    s = _native._pool_stats()
    return s["owned_blocks"] - s["cached_blocks"]

def vm_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

before = in_use()
go = threading.Event()
outcomes = []

def call():
    go.wait()
    try:
        eng.forward(x, "")
        outcomes.append("no error")
    except MemoryError:
        outcomes.append("MemoryError")
    except BaseException as e:
        outcomes.append(repr(e))

callers = [threading.Thread(target=call) for _ in range(4)]
for c in callers:
    c.start()                        # stacks exist before the limit
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (3 << 20), hard))
go.set()
for c in callers:
    c.join()
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
leaked_blocks = in_use() - before

results = [None] * 4
def again(i):
    results[i] = bool(np.array_equal(eng.forward(x, ""), want))
callers = [threading.Thread(target=again, args=(i,)) for i in range(4)]
for c in callers:
    c.start()
for c in callers:
    c.join()
print(json.dumps({"outcomes": outcomes, "leaked_blocks": leaked_blocks, "again": results}))
"""


@needs_plain_allocator
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits as Linux applies them")
def test_failed_chunks_reach_each_caller_and_leave_the_pool_usable():
    out = json.loads(run_isolated(_CHUNK_FAILURE, MALLOC_ARENA_MAX="1", MALLOC_MMAP_THRESHOLD_="131072",
                                  QORVA_DSP_NUM_THREADS=None, QORVA_FFT=None))
    assert out["outcomes"] == ["MemoryError"] * 4
    assert out["leaked_blocks"] == 0
    assert out["again"] == [True] * 4


# Daemon threads still inside engine calls when the main thread returns: the
# interpreter shuts down around them, and the process must still exit cleanly.
_DAEMONS_AT_EXIT = r"""
import threading
import numpy as np
import qorva
from qorva import _native

x = np.random.default_rng(0).standard_normal((4, 120000)).astype(np.float32)
stft = qorva.StftEngine(2048, 256, 2048, "hann", True, "reflect")
mel = qorva.MelEngine(22050.0, 2048, 256, 2048, "hann", True, "reflect", 64, 0.0, 11025.0, "slaney", "slaney")
g = np.ones(mel.forward(x, "power").shape, np.float32)
calls = [lambda: stft.forward(x, "magnitude"),            # unlocked in the STFT class itself
         lambda: mel.backward(g, x, "power"),             # through the shared CPU runner
         lambda: _native._cfft(x.ravel() + 0j)]           # the private FFT functions
started = [threading.Event() for _ in calls]

def loop(i):
    while True:
        calls[i]()
        started[i].set()

for i in range(len(calls)):
    threading.Thread(target=loop, args=(i,), daemon=True).start()
for e in started:
    e.wait()
print("exiting")
"""


def test_daemon_threads_inside_calls_at_exit_leave_the_process_cleanly():
    assert run_isolated(_DAEMONS_AT_EXIT) == "exiting"


# fork() while other threads keep the workers, the buffer pool and the plan
# caches busy: the child has only the forking thread, and must still compute
# (on a pool of its own) instead of waiting for workers or locks left behind.
_FORK_WHILE_BUSY = r"""
import json, os, threading, time
import numpy as np
import qorva
from qorva import _native

qorva.set_num_threads(4)
rng = np.random.default_rng(0)
stft = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
x = rng.standard_normal((4, 20000)).astype(np.float32)
z = rng.standard_normal(3001) + 1j
want = stft.forward(x, "magnitude"), _native._cfft(z, backend="bluestein"), stft.forward(x.astype(np.float64), "db")
stop = threading.Event()

def busy(first):
    n = first
    while not stop.is_set():
        stft.forward(x, "magnitude")
        _native._rfft(np.ones(n))                     # a new length: plans under the cache's lock
        _native._cfft(np.ones(n) + 0j, backend="bluestein")
        n += 2

threads = [threading.Thread(target=busy, args=(first,)) for first in (5001, 5002)]
for t in threads:
    t.start()
outcomes = []
for _ in range(8):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        got = stft.forward(x, "magnitude"), _native._cfft(z, backend="bluestein"), stft.forward(x.astype(np.float64), "db")
        os._exit(0 if all(np.array_equal(g, w) for g, w in zip(got, want)) else 3)
    deadline = time.monotonic() + 20
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            outcomes.append(os.waitstatus_to_exitcode(status))
            break
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            outcomes.append("hung")
            break
        time.sleep(0.005)
    if outcomes[-1] != 0:
        break
stop.set()
for t in threads:
    t.join()
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.skipif(_asan_runtime_loaded(),
                    reason="the ASan runtime leaves its allocator's locks to a forked child as they were")
def test_forked_children_compute_while_the_parent_is_busy():
    assert json.loads(run_isolated(_FORK_WHILE_BUSY)) == [0] * 8
