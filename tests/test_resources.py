"""Memory and lifetime: pooled blocks come back after every call and the pool
stops growing once warm, resident memory stays flat over many calls of every
engine, and output arrays (and tensors) stay valid after their engine, or the
module itself, is gone."""

import gc
import json
import threading

import numpy as np
import pytest
from conftest import needs_plain_allocator, run_isolated

import qorva
from qorva import _native

C1 = 32.70319566257483


def make_engines():
    """One small engine per family."""
    return {
        "stft": qorva.StftEngine(128, 32, 128, "hann", True, "reflect"),
        "istft": qorva.IstftEngine(128, 32, 128, "hann", True),
        "mel": qorva.MelEngine(8000.0, 128, 32, 128, "hann", True, "reflect", 16, 0.0, 4000.0, "slaney", "slaney"),
        "cqt": qorva.CqtEngine(8000.0, 32, 8 * C1, 12, 12),
        "chroma": qorva.ChromaEngine(8000.0, 32, 12, 1, 12, 8 * C1),
        "rms": qorva.RmsEngine(128, 32, True, "reflect"),
        "moments": qorva.SpectralMomentsEngine(8000.0, 128, 32, 128, "hann", True, "constant",
                                               ["centroid", "flatness", "entropy"]),
        "flux": qorva.SpectralFluxEngine(128, 32, 128, "hann", True, "reflect"),
        "onset": qorva.OnsetStrengthEngine(8000.0, 128, 32, 128, "hann", True, "reflect", 16, 0.0, 4000.0,
                                           "slaney", "slaney"),
        "tempogram": qorva.TempogramEngine(8000.0, 128, 32, 128, "hann", True, "reflect", 16, 0.0, 4000.0,
                                           "slaney", "slaney", 8),
    }


FAMILIES = list(make_engines())


def calls_of(name, engines, x):
    """The forward and backward calls of one family on signal x, as
    zero-argument functions; the complex STFT spectrum goes into the inverse
    both frame-major (as the STFT returns it) and C-ordered (copied first)."""
    e = engines[name]
    if name == "istft":
        z = engines["stft"].forward(x, "complex")
        zc = np.ascontiguousarray(z)
        g = np.cos(np.arange(x.size)).reshape(x.shape).astype(x.dtype)
        n = z.shape[2]
        return [lambda: e.forward(z, x.shape[1]), lambda: e.forward(zc, -1), lambda: e.backward(g, n)]
    if name == "chroma":
        g = np.ones(e.forward(x).shape, x.dtype)
        return [lambda: e.forward(x), lambda: e.backward(g, x)]
    modes = {"stft": ["complex", "db"], "cqt": ["complex", "magnitude"], "mel": ["db"]}.get(name, [""])
    calls = []
    for mode in modes:
        y = e.forward(x, mode)
        g = np.full(y.shape, 0.5, y.dtype)
        calls += [lambda m=mode: e.forward(x, m), lambda g=g, m=mode: e.backward(g, x, m)]
    return calls


def signals(batch=2, length=300):
    rng = np.random.default_rng(3)
    return [rng.standard_normal((batch, length)).astype(t) for t in (np.float32, np.float64)]


def in_use_blocks():
    s = _native._pool_stats()
    return s["owned_blocks"] - s["cached_blocks"]


@pytest.mark.parametrize("name", FAMILIES)
def test_pooled_blocks_come_back_and_warm_calls_take_no_new_ones(name, restore_threads):
    engines = make_engines()
    for threads in (1, 4):
        qorva.set_num_threads(threads)
        # Three rows: with four chunks the rows run side by side.
        calls = [c for x in signals(batch=3, length=700) for c in calls_of(name, engines, x)]
        for call in calls * 2:  # warm-up: plans, double engines, cached blocks
            call()
        # No collection in between: garbage of earlier tests must not give
        # blocks back while these are counted.
        gc.collect()
        gc.disable()
        try:
            baseline = in_use_blocks()
            owned = _native._pool_stats()["owned_blocks"]
            for _ in range(5):
                for call in calls:
                    out = call()
                    assert in_use_blocks() == baseline + 1  # the output, and nothing else
                    del out
                    assert in_use_blocks() == baseline
        finally:
            gc.enable()
        if threads == 1:
            # Run one after another, the same calls find the same cached blocks
            # (side by side, how many rows overlap is up to the scheduler).
            assert _native._pool_stats()["owned_blocks"] == owned


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4


@needs_plain_allocator
def test_resident_memory_stays_flat_over_ten_thousand_calls_of_every_engine():
    # A leak of a few dozen bytes per call would show as hundreds of KiB here;
    # the allowance covers the interpreter's own bookkeeping.
    engines = make_engines()
    grown = {}
    for name in FAMILIES:
        calls = [c for x in signals() for c in calls_of(name, engines, x)]
        for call in calls * 50:
            call()
        before = resident_kib()
        for _ in range(10_000 // len(calls)):
            for call in calls:
                call()
        grown[name] = resident_kib() - before
    assert all(kib < 256 for kib in grown.values()), f"resident memory grew (KiB): {grown}"


def heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), or None."""
    import ctypes

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]

    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return None
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


@needs_plain_allocator
def test_threads_keep_no_scratch_after_their_calls(restore_threads):
    # Scratch either goes back to the buffer pool (whose idle blocks are
    # counted and capped) or to the allocator when a call ends; none may stay
    # with the thread that made the call.  A decimating CQT (three octaves)
    # runs inline on four threads that stay alive afterwards.
    if heap_in_use() is None:
        pytest.skip("needs glibc's mallinfo2")
    qorva.set_num_threads(1)
    e = qorva.CqtEngine(22050.0, 512, 8 * C1, 36, 12)
    x = np.random.default_rng(5).standard_normal((1, 800_000)).astype(np.float32)
    g = np.ones(e.forward(x, "magnitude").shape, np.float32)

    def call():
        e.forward(x, "magnitude")
        e.backward(g, x, "magnitude")

    call()
    gc.collect()

    def unaccounted():
        return heap_in_use() - _native._pool_stats()["cached_bytes"]

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
    # A level's worth of scratch per thread would be about 5 MB each.
    assert kept < 2 << 20, f"{kept / 2**20:.1f} MiB stayed with the calling threads"


def outputs_of_every_engine(engines):
    """Forward and backward outputs of every family in both precisions,
    complex (frame-major) spectra included, with a view of each."""
    outs = []
    for x in signals(length=500):
        for name in FAMILIES:
            for call in calls_of(name, engines, x):
                out = call()
                outs += [out, out[:, 1:, ...]]
    return outs


def test_outputs_outlive_their_engines():
    engines = make_engines()
    outs = outputs_of_every_engine(engines)
    copies = [o.copy() for o in outs]
    # outs alternates output, view of it: keep every other output whole and,
    # of the rest, only the view (no two kept arrays share memory).
    keep = [i % 2 == (i // 2) % 2 for i in range(len(outs))]
    kept = [o for o, k in zip(outs, keep) if k]
    want = [c for c, k in zip(copies, keep) if k]
    del engines, outs
    gc.collect()
    # New engines with the same shapes take every block the pool has free; a
    # block given back too early would now be overwritten.
    churn = make_engines()
    for _ in range(3):
        outputs_of_every_engine(churn)
    held = outputs_of_every_engine(churn)
    for out, w in zip(kept, want):
        np.testing.assert_array_equal(out, w)
    for out, w in zip(kept, want):
        out *= 2
        np.testing.assert_array_equal(out, 2 * w)
    del held


# The same across the module's lifetime, in a fresh interpreter: outputs and an
# engine are kept while every qorva module is dropped from sys.modules and the
# package is collected (the extension module itself stays loaded: CPython
# never unloads one), then checked and used after a new import; outputs still
# alive at exit must not trouble the shutdown.
_MODULE_DROPPED = r"""
import gc, json, sys, weakref
import numpy as np

def run():
    helpers = {{}}
    sys.path.insert(0, {tests!r})
    exec("from test_resources import make_engines, outputs_of_every_engine", helpers)
    sys.path.pop(0)
    engines = helpers["make_engines"]()
    outs = helpers["outputs_of_every_engine"](engines)
    return outs, engines["stft"]

outs, kept_engine = run()
copies = [o.copy() for o in outs]
x = np.random.default_rng(1).standard_normal((2, 500)).astype(np.float32)
spectrum = kept_engine.forward(x, "complex")
package = weakref.ref(sys.modules["qorva"])
for name in [m for m in sys.modules if m == "qorva" or m.startswith("qorva.") or m in ("test_resources", "conftest")]:
    del sys.modules[name]
gc.collect()
checks = {{"package collected": package() is None}}
checks["outputs intact"] = all(np.array_equal(o, c) for o, c in zip(outs, copies))
for o in outs[0::2]:  # whole outputs; the odd entries are views of them
    o += 1

import qorva
again = qorva.StftEngine(128, 32, 128, "hann", True, "reflect").forward(x, "complex")
for _ in range(3):
    [qorva.StftEngine(128, 32, 128, "hann", True, "reflect").forward(np.ones(o.shape[:1] + (500,), o.real.dtype), "db")
     for o in copies]
checks["outputs changed in place only"] = all(np.array_equal(o, c + 1) for o, c in zip(outs, copies))
checks["old and new engines agree"] = bool(np.array_equal(kept_engine.forward(x, "complex"), spectrum)
                                           and np.array_equal(again, spectrum))
print(json.dumps(checks))
_alive_at_exit = (outs, kept_engine, again)
"""


def test_outputs_outlive_the_module_and_the_interpreter():
    import os

    tests = os.path.dirname(os.path.abspath(__file__))
    checks = json.loads(run_isolated(_MODULE_DROPPED.format(tests=tests)))
    assert checks == dict.fromkeys(checks, True) and len(checks) == 4, checks


def test_torch_outputs_outlive_their_modules():
    torch = pytest.importorskip("torch")
    from qorva import torch as qt

    modules = [
        qt.Spectrogram(n_fft=128, hop_length=32, power=None),
        qt.Spectrogram(n_fft=128, hop_length=32, output="db"),
        qt.MelSpectrogram(sample_rate=8000, n_fft=128, hop_length=32, n_mels=16),
        qt.CQT(sr=8000, hop_length=32, fmin=8 * C1, n_bins=12, bins_per_octave=12, output="complex"),
        qt.Chroma(sr=8000, hop_length=32, bins_per_octave=12, n_octaves=1, fmin=8 * C1),
        qt.RMS(frame_length=128, hop_length=32),
        qt.SpectralMoments(sr=8000, n_fft=128, hop_length=32, features=["centroid", "entropy"]),
        qt.SpectralFlux(n_fft=128, hop_length=32),
        qt.OnsetStrength(sr=8000, n_fft=128, hop_length=32, n_mels=16),
        qt.Tempogram(sr=8000, n_fft=128, hop_length=32, n_mels=16, tempo_win=8),
    ]
    inverse = qt.InverseSpectrogram(n_fft=128, hop_length=32)
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
