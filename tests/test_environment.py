"""QORVA_FFT and QORVA_DSP_NUM_THREADS are read once per process, so every
case runs in a fresh interpreter."""

import pytest
from conftest import run_isolated

BACKENDS_PROBE = """
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
"""


@pytest.mark.parametrize(
    "value, for_512, for_3, rfft_3",
    [
        (None, "fftw", "fftw", "[6.0, -1.5]"),
        ("", "fftw", "fftw", "[6.0, -1.5]"),
        ("FFTW", "fftw", "fftw", "[6.0, -1.5]"),
        ("auto", "fftw", "fftw", "[6.0, -1.5]"),
        ("fftw", "fftw", "fftw", "[6.0, -1.5]"),
        ("bluestein", "bluestein", "RuntimeError: bluestein does not support real FFT size 3",
         "RuntimeError: bluestein does not support real FFT size 3"),
        ("vdsp", "RuntimeError: QORVA_FFT=vdsp is not compiled into this build",
         "RuntimeError: QORVA_FFT=vdsp is not compiled into this build",
         "RuntimeError: QORVA_FFT=vdsp is not compiled into this build"),
    ],
)
def test_fft_override(value, for_512, for_3, rfft_3):
    lines = run_isolated(BACKENDS_PROBE, QORVA_FFT=value).splitlines()
    assert lines[0] == "['fftw', 'bluestein']"  # the list never follows the override
    assert lines[1:4] == [for_512, for_3, rfft_3]
    assert lines[4] == "(8+0j)"  # an explicit backend bypasses the override


def test_fft_override_is_read_once():
    code = (
        "import os\nfrom qorva import _native\n"
        "print(_native._fft_backend_for(64))\n"
        "os.environ['QORVA_FFT'] = 'fftw'\n"
        "print(_native._fft_backend_for(64))"
    )
    assert run_isolated(code, QORVA_FFT="bluestein").splitlines() == ["bluestein", "bluestein"]


@pytest.mark.parametrize(
    "value, expected",
    [(None, 0), ("", 0), ("abc", 0), ("-2", 0), ("5000", 0), ("8", 8), ("4096", 4096), ("12abc", 12), (" 3", 3)],
)
def test_thread_count_from_environment(value, expected):
    out = run_isolated("import qorva; print(qorva.get_num_threads())", QORVA_DSP_NUM_THREADS=value)
    assert int(out) == expected
