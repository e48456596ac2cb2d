import re
import subprocess
import sys

import numpy as np
import pytest


def qorva(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "qorva", *args], capture_output=True, text=True,
                          timeout=300, cwd=cwd)


def summary_value(out, key):
    match = re.search(rf"^{key}: (.*)$", out, re.MULTILINE)
    assert match, f"no {key!r} line in:\n{out}"
    return match.group(1)


def test_check_command_reports_the_build_and_passes():
    proc = qorva("check")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "FFT backends: fftw, bluestein" in out
    assert "FFTW: fftw-3" in out
    assert "self-check passed" in out
    assert out.count(" ok ") == 12 and "FAILED" not in out


def test_show_draws_the_demo_signal(tmp_path):
    png = tmp_path / "demo.png"
    proc = qorva("show", "--n-fft", "1024", "--hop-length", "256", "--png", str(png), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert summary_value(out, "sample rate") == "22050 Hz"
    samples = int(re.search(r"\((\d+) samples\)", summary_value(out, "duration")).group(1))
    frames = 1 + samples // 256  # centred frames
    assert summary_value(out, "shape").startswith(f"(1, 513, {frames})")
    assert summary_value(out, "frames") == str(frames)
    assert re.fullmatch(r"\d+\.\d\d ms \(first call \d+\.\d\d ms, with FFT planning\)",
                        summary_value(out, "transform"))
    data = png.read_bytes()
    assert data.startswith(b"\x89PNG\r\n\x1a\n") and len(data) > 20_000
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
    proc = qorva("show", "tones.wav", "--no-png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "2 channels, mixed down to mono" in summary_value(out, "input")
    assert summary_value(out, "sample rate") == "16000 Hz"
    assert summary_value(out, "duration").startswith("1.500 s (24000 samples)")
    assert summary_value(out, "shape").startswith(f"(1, 1025, {1 + 24_000 // 512})")
    assert list(tmp_path.iterdir()) == [tmp_path / "tones.wav"]  # --no-png writes nothing


@pytest.mark.parametrize("content", [None, b"not audio at all"], ids=["missing", "not-audio"])
def test_show_rejects_unreadable_input_in_one_line(tmp_path, content):
    path = tmp_path / "song.wav"
    if content is not None:
        pytest.importorskip("soundfile")
        path.write_bytes(content)
    proc = qorva("show", str(path), "--no-png")
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("qorva: error:") and "song.wav" in lines[0]


@pytest.mark.parametrize("feature, extra, rows, label", [
    ("mel", ["--n-mels", "64"], 64, "n_mels=64"),
    ("cqt", [], 84, "bins_per_octave=12"),
    ("chroma", [], 12, "n_chroma=12"),
    ("rms", [], 1, "frame_length=2048"),       # one value a frame: a line plot
    ("flatness", [], 1, "n_fft=2048"),
    ("onset", ["--n-mels", "40"], 1, "n_mels=40"),
    ("tempogram", ["--tempo-win", "64"], 64, "tempo_win=64"),
])
def test_show_other_features(tmp_path, feature, extra, rows, label):
    png = tmp_path / f"{feature}.png"
    proc = qorva("show", "--feature", feature, *extra, "--hop-length", "256", "--png", str(png), cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    samples = int(re.search(r"\((\d+) samples\)", summary_value(out, "duration")).group(1))
    assert summary_value(out, "shape").startswith(f"(1, {rows}, {1 + samples // 256})")
    assert label in summary_value(out, "feature")
    assert png.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
