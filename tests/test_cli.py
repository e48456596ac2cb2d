import subprocess
import sys


def test_check_command_reports_the_build_and_passes():
    proc = subprocess.run([sys.executable, "-m", "qorva", "check"], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "FFT backends: fftw, bluestein" in out
    assert "FFTW: fftw-3" in out
    assert "self-check passed" in out
    assert out.count(" ok ") == 12 and "FAILED" not in out
