import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, settings


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
