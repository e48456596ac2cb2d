"""Memory and lifetime: pooled blocks come back after every call and a warm pool stops growing, resident
memory stays flat, and outputs (and tensors) stay valid after their engine, or the module, is gone."""

import ctypes
import gc
import json
import os
import threading

import numpy as np
import pytest
from conftest import C1, ENGINES, calls_of, make_engines, needs_plain_allocator, run_isolated

import qorva
from qorva import _native


def signals(batch=2, length=300):
    rng = np.random.default_rng(3)
    return [rng.standard_normal((batch, length)).astype(t) for t in (np.float32, np.float64)]


def in_use_blocks():
    s = _native._pool_stats()
    return s["owned_blocks"] - s["cached_blocks"]


@pytest.mark.parametrize("name", ENGINES)
def test_pooled_blocks_come_back_and_warm_calls_take_no_new_ones(name, restore_threads):
    engines = make_engines()
    for threads in (1, 4):
        qorva.set_num_threads(threads)
        # Three rows: with four chunks the rows run side by side.
        calls = [c for x in signals(batch=3, length=700) for c in calls_of(engines, name, x)]
        for call in calls * 2:  # warm-up: plans, double engines, cached blocks
            call(engines)
        gc.collect()
        gc.disable()  # garbage of earlier tests must not give blocks back while these are counted
        try:
            baseline, owned = in_use_blocks(), _native._pool_stats()["owned_blocks"]
            for _ in range(5):
                for call in calls:
                    out = call(engines)
                    assert in_use_blocks() == baseline + 1  # the output, and nothing else
                    del out
                    assert in_use_blocks() == baseline
        finally:
            gc.enable()
        if threads == 1:  # side by side, how many rows overlap is up to the scheduler
            assert _native._pool_stats()["owned_blocks"] == owned


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@needs_plain_allocator
def test_resident_memory_stays_flat_over_thousands_of_calls_of_every_engine():
    # A leak of a few dozen bytes per call would show as a hundred KiB or more in each of two rounds; the
    # allowance covers the interpreter's own bookkeeping, and the second round a one-time step (glibc
    # giving a worker thread's arena room it then keeps), which is not a leak.
    engines, grown = make_engines(), {}
    for name in ENGINES:
        calls = [c for x in signals() for c in calls_of(engines, name, x)]
        for call in calls * 50:
            call(engines)
        rounds = []
        for _ in range(2):
            before = resident_kib()
            for _ in range(4000 // len(calls)):
                for call in calls:
                    call(engines)
            rounds.append(resident_kib() - before)
        grown[name] = min(rounds)
    assert all(kib < 128 for kib in grown.values()), f"resident memory grew (KiB): {grown}"


def heap_in_use():
    """Bytes glibc's allocator has handed out and not had back."""
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                                    "fsmblks", "uordblks", "fordblks", "keepcost")]

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@needs_plain_allocator
def test_threads_keep_no_scratch_after_their_calls(restore_threads):
    # Scratch goes back to the buffer pool (whose idle blocks are counted) or to the allocator when a call
    # ends, never stays with its thread: a decimating CQT runs inline on four threads that stay alive.
    if not hasattr(ctypes.CDLL(None), "mallinfo2"):
        pytest.skip("needs glibc's mallinfo2")
    qorva.set_num_threads(1)
    e = qorva.CqtEngine(22050.0, 512, 8 * C1, 36, 12)
    x = np.random.default_rng(5).standard_normal((1, 800_000)).astype(np.float32)
    g = np.ones(e.forward(x, "magnitude").shape, np.float32)

    def call():
        e.forward(x, "magnitude")
        e.backward(g, x, "magnitude")

    def unaccounted():
        return heap_in_use() - _native._pool_stats()["cached_bytes"]

    call()
    gc.collect()
    before = unaccounted()
    done, stop = threading.Barrier(5), threading.Event()

    def worker():
        call()
        done.wait()
        stop.wait()

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    done.wait()
    kept = unaccounted() - before
    stop.set()
    for t in threads:
        t.join()
    assert kept < 2 << 20, f"{kept / 2**20:.1f} MiB stayed with the calling threads"  # a level's scratch: ~5 MB


def outputs_of_every_engine(engines):
    """Forward and backward outputs of every family in both precisions, each followed by a view of it."""
    outs = []
    for x in signals(length=500):
        for name in ENGINES:
            for call in calls_of(engines, name, x):
                out = call(engines)
                outs += [out, out[:, 1:, ...]]
    return outs


# Outputs (whole, or only a view of them) and an engine outlive the other engines and every qorva module
# (CPython never unloads the extension itself, but the package is collected); new engines of the same shapes
# then take every block the pool has free, so a block given back too early is overwritten.  Outputs alive at
# exit must not trouble the shutdown.
_OUTLIVE = r"""
import gc, json, sys, weakref
import numpy as np

def run():
    sys.path.insert(0, {tests!r})
    from test_resources import make_engines, outputs_of_every_engine
    sys.path.pop(0)
    engines = make_engines()
    return outputs_of_every_engine(engines), engines["stft"]

outs, stft = run()
kept = [o for i, o in enumerate(outs) if i % 2 == (i // 2) % 2]  # no two kept arrays share memory
want = [o.copy() for o in kept]
x = np.random.default_rng(1).standard_normal((2, 500)).astype(np.float32)
spectrum = stft.forward(x, "complex")
package = weakref.ref(sys.modules["qorva"])
del outs
for name in [m for m in sys.modules if m.split(".")[0] in ("qorva", "test_resources", "conftest")]:
    del sys.modules[name]
gc.collect()
checks = {{"package collected": package() is None}}
for _ in range(4):
    churn = run()
checks["outputs intact"] = all(np.array_equal(o, w) for o, w in zip(kept, want))
for o in kept:
    o *= 2
checks["outputs changed in place only"] = all(np.array_equal(o, 2 * w) for o, w in zip(kept, want))
checks["old and new engines agree"] = bool(np.array_equal(stft.forward(x, "complex"), spectrum)
                                           and np.array_equal(churn[1].forward(x, "complex"), spectrum))
print(json.dumps(checks))
_alive_at_exit = (kept, stft, churn)
"""


def test_outputs_outlive_their_engines_the_module_and_the_interpreter():
    checks = json.loads(run_isolated(_OUTLIVE.format(tests=os.path.dirname(os.path.abspath(__file__)))))
    assert checks == dict.fromkeys(checks, True) and len(checks) == 4, checks


def test_torch_outputs_outlive_their_modules():
    torch = pytest.importorskip("torch")
    from qorva import torch as qt

    common = dict(n_fft=128, hop_length=32)  # every module wraps its engine's outputs the same way
    modules = [qt.Spectrogram(**common, power=None), qt.MelSpectrogram(sample_rate=8000, **common, n_mels=16),
               qt.Chroma(sr=8000, hop_length=32, bins_per_octave=12, n_octaves=1, fmin=8 * C1),
               qt.RMS(frame_length=128, hop_length=32), qt.Tempogram(sr=8000, **common, n_mels=16, tempo_win=8)]
    inverse = qt.InverseSpectrogram(**common)
    kept = []
    for dtype in (torch.float32, torch.float64):
        x = torch.randn(2, 500, dtype=dtype, generator=torch.Generator().manual_seed(0), requires_grad=True)
        for m in modules:
            y = m(x)
            y.abs().sum().backward()
            kept += [y.detach(), x.grad]
            x.grad = None
        z = modules[0](x).detach().requires_grad_(True)
        w = inverse(z, length=500)
        w.sum().backward()
        kept += [w.detach(), z.grad]
    copies = [t.clone() for t in kept]
    del modules, inverse, x, y, z, w
    gc.collect()
    churn = make_engines()
    for _ in range(3):
        outputs_of_every_engine(churn)
    for t, want in zip(kept, copies):
        torch.testing.assert_close(t, want, rtol=0, atol=0)
        t.mul_(2)
        torch.testing.assert_close(t, want * 2, rtol=0, atol=0)
