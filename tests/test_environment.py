"""QORVA_FFT, QORVA_FFT_PLANNING and QORVA_DSP_NUM_THREADS are read once per process, so every case runs in a
fresh interpreter."""

import numpy as np
import pytest
from conftest import run_isolated

FFT_PROBE = """
import os
from qorva import _native
def attempt(f):
    try:
        return f()
    except Exception as e:
        return f"{type(e).__name__}: {e}"
print(_native._fft_backends())
print(attempt(lambda: _native._fft_backend_for(512)))
print(attempt(lambda: _native._fft_backend_for(3)))
print(attempt(lambda: _native._rfft([1.0, 2.0, 3.0])[0].tolist()))
print(attempt(lambda: _native._cfft([1.0] * 8, backend="fftw")[0]))
os.environ["QORVA_FFT"] = "vdsp"
print(attempt(lambda: _native._fft_backend_for(512)))
"""
FFTW = ("fftw", "fftw", "[6.0, -1.5]")
NO_3 = "RuntimeError: bluestein does not support real FFT size 3"
NO_VDSP = "RuntimeError: QORVA_FFT=vdsp is not compiled into this build"


@pytest.mark.parametrize("value, expected", [*[(v, FFTW) for v in (None, "", "FFTW", "auto", "fftw")],
                                             ("bluestein", ("bluestein", NO_3, NO_3)), ("vdsp", (NO_VDSP,) * 3)])
def test_fft_override(value, expected):
    lines = run_isolated(FFT_PROBE, QORVA_FFT=value).splitlines()
    assert lines[0] == "['fftw', 'bluestein']"  # the list never follows the override
    assert tuple(lines[1:4]) == expected
    assert lines[4] == "(8+0j)"  # an explicit backend bypasses the override
    assert lines[5] == lines[1]  # changing the variable later has no effect


@pytest.mark.parametrize(
    "value, expected",
    [(None, 0), ("", 0), ("abc", 0), ("-2", 0), ("5000", 0), ("8", 8), ("4096", 4096), ("12abc", 12), (" 3", 3)],
)
def test_thread_count_from_environment(value, expected):
    code = ("import os, qorva; n = qorva.get_num_threads(); os.environ['QORVA_DSP_NUM_THREADS'] = '7'; "
            "print(n, qorva.get_num_threads())")
    assert run_isolated(code, QORVA_DSP_NUM_THREADS=value).split() == [str(expected)] * 2


PLANNING_PROBE = """
import numpy as np
from qorva import _native
x = np.random.default_rng(0).standard_normal(1024).astype(np.float32)
try:
    print(_native._rfft(x)[0][:4].tolist(), _native._rfft(x[:300])[0][:2].tolist())
except Exception as e:
    print(f"{type(e).__name__}: {e}")
"""


def test_measured_plans_are_kept_as_wisdom_for_later_processes(tmp_path):
    # The first process measures the 1024-point plan and saves it; the next plans from the file without
    # rewriting it and computes the same values; a damaged file is replaced; "estimate" writes nothing.
    def run(**env):
        return run_isolated(PLANNING_PROBE, XDG_CACHE_HOME=str(tmp_path), **env)

    first = run(QORVA_FFT_PLANNING=None)
    (wisdom,) = (tmp_path / "qorva").glob("fftw-wisdom-f32-*.txt")
    before = (wisdom.read_bytes(), wisdom.stat().st_mtime_ns)
    assert before[0].startswith(b"(fftw-") and run(QORVA_FFT_PLANNING="measure") == first
    assert (wisdom.read_bytes(), wisdom.stat().st_mtime_ns) == before
    wisdom.write_bytes(b"not wisdom")
    run(QORVA_FFT_PLANNING="patient")  # patient plans may differ from measured ones in the last bits
    assert wisdom.read_bytes().startswith(b"(fftw-")
    wisdom.unlink()
    estimated = run(QORVA_FFT_PLANNING="estimate")
    assert not wisdom.exists() and np.allclose(eval(estimated.split("] ")[0] + "]"), eval(first.split("] ")[0] + "]"),
                                               rtol=1e-5)
    assert run(QORVA_FFT_PLANNING="fast") == \
        "ValueError: QORVA_FFT_PLANNING must be 'estimate', 'measure' or 'patient'; got 'fast'"
