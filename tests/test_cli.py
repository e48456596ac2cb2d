import re
import subprocess
import sys

import numpy as np
import pytest

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def qorva(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "qorva", *args], capture_output=True, text=True, timeout=300, cwd=cwd)


def summary(proc):
    """The `key: value` lines of a run that must have succeeded."""
    assert proc.returncode == 0, proc.stderr
    return dict(re.findall(r"^(\w[\w ]*): (.*)$", proc.stdout, re.MULTILINE))


def test_check_reports_the_build_and_passes():
    proc = qorva("check")
    info = summary(proc)
    assert info["FFT backends"] == "fftw, bluestein" and info["FFTW"].startswith("fftw-3")
    assert "self-check passed" in proc.stdout
    assert proc.stdout.count(" ok ") == 12 and "FAILED" not in proc.stdout


@pytest.mark.parametrize("feature, extra, rows, label", [
    ("stft", ["--n-fft", "1024"], 513, "n_fft=1024"),
    ("mel", ["--n-mels", "64"], 64, "n_mels=64"),
    ("cqt", [], 84, "bins_per_octave=12"),
    ("chroma", [], 12, "n_chroma=12"),
    ("rms", [], 1, "frame_length=2048"),  # one value a frame: a line plot
    ("flatness", [], 1, "n_fft=2048"),
    ("onset", ["--n-mels", "40"], 1, "n_mels=40"),
    ("tempogram", ["--tempo-win", "64"], 64, "tempo_win=64"),
])
def test_show_draws_the_demo_signal(tmp_path, feature, extra, rows, label):
    png = tmp_path / f"{feature}.png"
    info = summary(qorva("show", "--feature", feature, *extra, "--hop-length", "256", "--png", str(png), cwd=tmp_path))
    assert info["sample rate"] == "22050 Hz" and label in info["feature"]
    frames = 1 + int(re.search(r"\((\d+) samples\)", info["duration"]).group(1)) // 256  # centred frames
    assert info["shape"].startswith(f"(1, {rows}, {frames})") and info["frames"] == str(frames)
    assert re.fullmatch(r"\d+\.\d\d ms \(first call \d+\.\d\d ms, with FFT planning\)", info["transform"])
    assert png.read_bytes().startswith(PNG_MAGIC) and png.stat().st_size > 20_000
    assert list(tmp_path.iterdir()) == [png]  # --png replaces the default name


def test_show_reads_a_stereo_file_at_its_own_rate(tmp_path):
    sf = pytest.importorskip("soundfile")
    from qorva.cli import load_audio

    t = np.arange(24_000) / 16_000
    stereo = np.stack([np.sin(2000 * t), np.sin(7000 * t)], axis=1) * 0.5
    sf.write(tmp_path / "tones.wav", stereo, 16_000)
    mono, rate, _ = load_audio(str(tmp_path / "tones.wav"))
    assert rate == 16_000 and mono.dtype == np.float32
    np.testing.assert_allclose(mono, stereo.mean(axis=1), atol=1e-4)  # 16-bit PCM
    info = summary(qorva("show", "tones.wav", "--no-png", cwd=tmp_path))
    assert "2 channels, mixed down to mono" in info["input"] and info["sample rate"] == "16000 Hz"
    assert info["duration"].startswith("1.500 s (24000 samples)")
    assert info["shape"].startswith(f"(1, 1025, {1 + 24_000 // 512})")
    assert list(tmp_path.iterdir()) == [tmp_path / "tones.wav"]  # --no-png writes nothing


@pytest.mark.parametrize("content", [None, b"not audio at all"], ids=["missing", "not-audio"])
def test_show_rejects_unreadable_input_in_one_line(tmp_path, content):
    path = tmp_path / "song.wav"
    if content is not None:
        pytest.importorskip("soundfile")
        path.write_bytes(content)
    proc = qorva("show", str(path), "--no-png")
    assert proc.returncode == 2 and proc.stdout == ""
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("qorva: error:") and "song.wav" in lines[0]
