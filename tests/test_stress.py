"""Concurrency stress: shared engines called from many threads while the thread count changes, parallel
chunks that fail, daemon threads computing at exit, and forks while other threads compute.  Each output
value is computed by the same operations in the same order however the work is split, so results must
match the serial ones bit for bit.  QORVA_STRESS=long runs longer, with more threads and larger inputs."""

import json
import os
import sys
import threading
import time

import numpy as np
import pytest
from conftest import ENGINES, _asan_runtime_loaded, calls_of, make_engines, needs_plain_allocator, run_isolated

import qorva

LONG = os.environ.get("QORVA_STRESS") == "long"
CALLERS, ROUNDS = (16, 12) if LONG else (8, 3)
# One row and several: batches of 3 and 5 sit on both sides of the row-parallel threshold as the width
# moves between 1 and 4.
SHAPES = [(1, 700), (3, 1500), (5, 420)] + ([(8, 6000), (2, 22050)] if LONG else [])


def run_job(call, want, engines):
    """None when the call reproduces `want` (a result, or an error type and message), else what went wrong."""
    try:
        got = call(engines)
    except Exception as e:  # noqa: BLE001 - compared with the expected refusal
        return None if (type(e), str(e)) == want else f"raised {e!r}"
    if not isinstance(want, tuple) and (got.dtype, got.shape, got.strides) == (want.dtype, want.shape, want.strides):
        return None if np.array_equal(got, want, equal_nan=True) else "values differ"
    return f"gave {got.dtype}{got.shape}{got.strides}"


def test_shared_engines_under_concurrent_callers_and_changing_thread_counts(restore_threads):
    reference = make_engines()
    qorva.set_num_threads(3)
    rng = np.random.default_rng(7)
    jobs = []
    for shape in SHAPES:
        for dtype in (np.float32, np.float64):
            x = rng.standard_normal(shape).astype(dtype)
            jobs += [(f"{name} call {i} {shape} {dtype.__name__}", call, call(reference))
                     for name in ENGINES for i, call in enumerate(calls_of(reference, name, x))]
    x = rng.standard_normal((2, 900)).astype(np.float32)
    jobs += [(f"refused call {i}", call, want) for i, (call, want) in enumerate([
        (lambda e: e["stft"].backward(np.ones((2, 129, 3), np.float32), x, "power"),
         (ValueError, "gradient shape does not match the signal")),
        (lambda e: e["mel"].forward(x.astype(np.float16), "power"),
         (TypeError, "float16 input is not supported; cast to float32")),
        (lambda e: e["istft"].forward(np.ones((1, 7, 4), np.complex64), 100),
         (ValueError, "expected 129 frequency bins, got 7")),
        (lambda e: e["tempogram"].forward(x[0], ""), (ValueError, "expected a 2-D (batch, samples) array"))])]
    # Fresh engines: their float64 engines are built by whichever thread asks first while others compute.
    shared, failures, done = make_engines(), [], threading.Event()

    def caller(t):
        order = np.random.default_rng(100 + t).permutation(len(jobs))
        for _ in range(ROUNDS):
            for i in order:
                label, call, want = jobs[i]
                problem = run_job(call, want, shared)
                if problem:
                    failures.append(f"caller {t}, {label}: {problem}")

    def width_changer():
        i = 0
        while not done.is_set():
            qorva.set_num_threads(1 + i % 4)
            i += 1
            time.sleep(0.0005)

    threads = [threading.Thread(target=caller, args=(t,)) for t in range(CALLERS)]
    changer = threading.Thread(target=width_changer)
    for t in [changer, *threads]:
        t.start()
    for t in threads:
        t.join()
    done.set()
    changer.join()
    assert not failures, "\n".join(failures[:20])


_PRELUDE = "import json, os, resource, threading, time\nimport numpy as np\nimport qorva\nfrom qorva import _native\n"


# An address-space limit just above what the process uses makes every chunk's scratch allocation fail (the
# output and the cached blocks need nothing new), so each caller gets MemoryError from inside parallel_for;
# with the limit lifted the same engine, pool and workers compute again, for several callers at once.  The
# environment of the run keeps workers from serving the scratch from address space reserved earlier.
_CHUNK_FAILURE = _PRELUDE + r"""
qorva.set_num_threads(4)
n_fft = 1 << 18                     # about 10 MB of scratch per chunk
eng = qorva.SpectralFluxEngine(n_fft, 16, n_fft, "hann", True, "constant")
x = np.random.default_rng(0).standard_normal((1, 1024)).astype(np.float32)
assert eng.n_frames(1024) > 64      # more than one chunk
want = eng.forward(x, "")           # plans the transform, caches the output block

def in_use():
    s = _native._pool_stats()
    return s["owned_blocks"] - s["cached_blocks"]

def run_callers(fn):
    callers = [threading.Thread(target=fn, args=(i,)) for i in range(4)]
    for c in callers:
        c.start()
    return callers

before, go, outcomes, again = in_use(), threading.Event(), [], [None] * 4

def call(i):
    go.wait()
    try:
        eng.forward(x, "")
        outcomes.append("no error")
    except BaseException as e:
        outcomes.append(type(e).__name__)

callers = run_callers(call)          # stacks exist before the limit
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    resource.setrlimit(resource.RLIMIT_AS, (int(f.read().split()[0]) * resource.getpagesize() + (3 << 20), hard))
go.set()
for c in callers:
    c.join()
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
leaked_blocks = in_use() - before
for c in run_callers(lambda i: again.__setitem__(i, bool(np.array_equal(eng.forward(x, ""), want)))):
    c.join()
print(json.dumps({"outcomes": outcomes, "leaked_blocks": leaked_blocks, "again": again}))
"""


@needs_plain_allocator
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits as Linux applies them")
def test_failed_chunks_reach_each_caller_and_leave_the_pool_usable():
    out = json.loads(run_isolated(_CHUNK_FAILURE, MALLOC_ARENA_MAX="1", MALLOC_MMAP_THRESHOLD_="131072",
                                  QORVA_DSP_NUM_THREADS=None, QORVA_FFT=None))
    assert out == {"outcomes": ["MemoryError"] * 4, "leaked_blocks": 0, "again": [True] * 4}


# Daemon threads still inside engine calls when the main thread returns: the process must exit cleanly.
_DAEMONS_AT_EXIT = _PRELUDE + r"""
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


# fork() while other threads keep the workers, the buffer pool and the plan caches busy: the child has only
# the forking thread and must still compute (on a pool of its own) instead of waiting for what was left.
_FORK_WHILE_BUSY = _PRELUDE + r"""
qorva.set_num_threads(4)
rng = np.random.default_rng(0)
stft = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
x = rng.standard_normal((4, 20000)).astype(np.float32)
z = rng.standard_normal(3001) + 1j
compute = lambda: (stft.forward(x, "magnitude"), _native._cfft(z, backend="bluestein"),
                   stft.forward(x.astype(np.float64), "db"))
want = compute()
stop = threading.Event()

def busy(n):
    while not stop.is_set():
        stft.forward(x, "magnitude")
        _native._rfft(np.ones(n))                     # a new length: plans under the cache's lock
        _native._cfft(np.ones(n) + 0j, backend="bluestein")
        n += 2

threads = [threading.Thread(target=busy, args=(first,)) for first in (5001, 5002)]
for t in threads:
    t.start()
outcomes = []
while len(outcomes) < 8 and outcomes.count(0) == len(outcomes):
    time.sleep(0.01)
    pid = os.fork()
    if pid == 0:
        os._exit(0 if all(np.array_equal(g, w) for g, w in zip(compute(), want)) else 3)
    deadline = time.monotonic() + 20
    while not (done := os.waitpid(pid, os.WNOHANG))[0] and time.monotonic() < deadline:
        time.sleep(0.005)
    if done[0]:
        outcomes.append(os.waitstatus_to_exitcode(done[1]))
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        outcomes.append("hung")
stop.set()
for t in threads:
    t.join()
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.skipif(_asan_runtime_loaded(), reason="the ASan runtime leaves its allocator's locks to a child as is")
def test_forked_children_compute_while_the_parent_is_busy():
    assert json.loads(run_isolated(_FORK_WHILE_BUSY)) == [0] * 8
