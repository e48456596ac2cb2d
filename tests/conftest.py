import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

import qorva


# Hypothesis profiles of the property-based tests (test_fuzz.py).  "ci", the
# default, is small and reproducible (the same examples on every run);
# QORVA_FUZZ=long draws many thousands of fresh examples per test and keeps
# failing ones in .hypothesis/ so that a rerun replays them first.
_FUZZ_SETTINGS = dict(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("ci", max_examples=200, derandomize=True, database=None, print_blob=False,
                          **_FUZZ_SETTINGS)
settings.register_profile("long", max_examples=10000, print_blob=True, **_FUZZ_SETTINGS)
settings.load_profile("long" if os.environ.get("QORVA_FUZZ") == "long" else "ci")


def rel_l2(got, want):
    """Relative error in the L2 norm: ||got - want|| / ||want|| (want computed in float64)."""
    got = np.asarray(got, dtype=np.complex128)
    want = np.asarray(want, dtype=np.complex128)
    den = np.linalg.norm(want)
    return float(np.linalg.norm(got - want) / (den if den > 0 else 1.0))


def run_isolated(code, **env_overrides):
    """Runs `code` in a fresh interpreter (environment variables are read once per
    process) and returns its stripped stdout; a None value removes the variable."""
    env = dict(os.environ)
    for key, value in env_overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    proc = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )
    if proc.returncode != 0:
        pytest.fail(f"subprocess failed:\n{proc.stderr}")
    return proc.stdout.strip()


def _asan_runtime_loaded():
    try:
        with open("/proc/self/maps") as f:
            return "libasan" in f.read()
    except OSError:
        return False


# Under AddressSanitizer (scripts/dev.sh sanitize) freed blocks wait in a
# quarantine before they are reused, so the resident size grows with every
# allocation anywhere in the process and says nothing about the buffer pool.
needs_plain_allocator = pytest.mark.skipif(
    _asan_runtime_loaded(), reason="resident size is meaningless under AddressSanitizer"
)


def _gpu_available():
    import qorva

    return qorva.gpu_available()


# Answers that only a machine without a usable GPU gives (refusals of GPU
# backends and resident calls).
without_gpu = pytest.mark.skipif(_gpu_available(), reason="checks the answers of a machine without a GPU")

# Whether this build has the CUDA backend: without it, "cuda" is no backend name at all.
CUDA_BUILT = "cuda" in qorva._native._engine_backends()


def _torch_cuda_available():
    try:
        import torch
    except ImportError:
        return False
    return torch.cuda.is_available()


needs_gpu = pytest.mark.skipif(not _gpu_available(), reason="needs a CUDA GPU")
needs_torch_cuda = pytest.mark.skipif(not (_gpu_available() and _torch_cuda_available()),
                                      reason="needs PyTorch with CUDA")


def noise(*shape, seed=0, dtype=np.float32):
    """Standard normal values (complex for a complex dtype) of a fixed seed."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(shape)
    return (x + 1j * rng.standard_normal(shape) if np.dtype(dtype).kind == "c" else x).astype(dtype)


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


@pytest.fixture
def restore_threads():
    import qorva

    saved = qorva.get_num_threads()
    yield
    qorva.set_num_threads(saved)


# --- the engine catalogue ----------------------------------------------------
# One small engine of every family, and how to call it, so that tests that
# sweep over every engine (routing, errors, resources, stress, fuzzing) share
# one list instead of keeping their own.

C1 = 32.70319566257483  # Hz, the lowest C of the piano's octave numbering
SR = 8000.0
MEL_ARGS = (SR, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0, "slaney", "slaney")

ENGINES = {
    "stft": lambda: qorva.StftEngine(256, 64, 200, "hann", True, "reflect"),
    "istft": lambda: qorva.IstftEngine(256, 64, 200, "hann", True),
    "mel": lambda: qorva.MelEngine(*MEL_ARGS),
    "cqt": lambda: qorva.CqtEngine(SR, 64, 4 * C1, 24, 12),
    "chroma": lambda: qorva.ChromaEngine(SR, 64, 12, 2, 12, 4 * C1),
    "rms": lambda: qorva.RmsEngine(256, 64, True, "reflect"),
    "moments": lambda: qorva.SpectralMomentsEngine(SR, 256, 64, 256, "hann", True, "constant",
                                                   ["centroid", "bandwidth", "flatness", "entropy"]),
    "flux": lambda: qorva.SpectralFluxEngine(255, 64, 255, "hamming", True, "reflect"),
    "onset": lambda: qorva.OnsetStrengthEngine(SR, 256, 64, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                               "htk", "none"),
    "tempogram": lambda: qorva.TempogramEngine(*MEL_ARGS, 16),
    "mfcc": lambda: qorva.MfccEngine(*MEL_ARGS, 13, None, 0.0),  # no dB floor: rows stay independent
}
FEATURES = ("rms", "moments", "flux", "onset", "tempogram", "mfcc")
# Families whose forward takes a (batch, samples) signal (all but the ISTFT).
SIGNAL_FAMILIES = tuple(name for name in ENGINES if name != "istft")
# The output kinds each family's forward and backward take; the feature
# classes accept any string and give the same result for each.
OUTPUTS = {"stft": ("complex", "magnitude", "power", "db"), "mel": ("magnitude", "power", "db"),
           "cqt": ("complex", "magnitude", "power", "db"), "chroma": (None,),
           **{name: ("",) for name in FEATURES}}


def forward(name, engine, x, output=None, **kw):
    """engine.forward for a signal family; `output` defaults to the family's first kind."""
    output = OUTPUTS[name][0] if output is None else output
    return engine.forward(x, **kw) if name == "chroma" else engine.forward(x, output, **kw)


def backward(name, engine, grad, x, output=None, **kw):
    output = OUTPUTS[name][0] if output is None else output
    return engine.backward(grad, x, **kw) if name == "chroma" else engine.backward(grad, x, output, **kw)


def make_engines():
    return {name: make() for name, make in ENGINES.items()}


def gradient_like(y):
    """A fixed, non-constant gradient of y's shape and dtype."""
    g = np.cos(0.37 * np.arange(y.size)).reshape(y.shape)
    return (g - 0.5j * g[..., ::-1]).astype(y.dtype) if np.iscomplexobj(y) else g.astype(y.dtype)


def calls_of(engines, name, x):
    """A family's forward and backward calls on signal x, for its first and last output kinds, as functions
    of an engine dict like make_engines()'s.  The ISTFT inverts the STFT's spectrum both as the STFT returns
    it (frame-major) and C-ordered."""
    if name == "istft":
        z = engines["stft"].forward(x, "complex")
        zc, g = np.ascontiguousarray(z), gradient_like(x)
        return [lambda e: e["istft"].forward(z, x.shape[1]), lambda e: e["istft"].forward(zc, -1),
                lambda e: e["istft"].backward(g, z.shape[2])]
    calls = []
    for output in dict.fromkeys((OUTPUTS[name][0], OUTPUTS[name][-1])):
        g = gradient_like(forward(name, engines[name], x, output))
        calls += [lambda e, o=output: forward(name, e[name], x, o),
                  lambda e, o=output, g=g: backward(name, e[name], g, x, o)]
    return calls
