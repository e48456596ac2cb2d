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
}
FEATURES = ("rms", "moments", "flux", "onset", "tempogram")
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
