"""The ``qorva`` command.

``qorva show [AUDIO] --feature stft`` (also what ``qorva`` runs without a
command name) computes a feature of an audio file, mixed down to mono, or of
a built-in demo signal when no file is given; it prints a short summary and
draws the result as a picture (``--png``, default ``qorva-<feature>.png``).

``qorva check`` is a short self-check of the installed build: which FFT
backends it has, the FFTW version, the worker count, and a forward/inverse
round trip of an embedded test signal per backend.

``qorva extract INPUT... --out DIR --feature NAME`` computes features of many
audio files into a Parquet dataset (see ``qorva.extract``).

Reading audio files needs ``soundfile`` and drawing needs ``matplotlib``
(``pip install 'qorva[demo]'``); both are imported only when used.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

from . import __version__, _native, get_num_threads

# Lengths that exercise both backends: a power of two, a length with a large
# prime factor, and a prime.
_CHECK_SIZES = (2048, 1000, 4099)


def _test_signal(n: int) -> np.ndarray:
    """A chirp plus a decaying tone: deterministic and broadband."""
    t = np.arange(n) / 22050.0
    chirp = np.sin(2 * np.pi * (110.0 + 2000.0 * t) * t)
    tone = 0.5 * np.exp(-3.0 * t) * np.cos(2 * np.pi * 440.0 * t)
    return chirp + tone


def _round_trip(n: int, backend: str, dtype) -> tuple[float, float]:
    """Relative L2 error of irfft(rfft(x)) / n, and microseconds per warm rfft call."""
    x = _test_signal(n).astype(dtype)
    re, im = _native._rfft(x, backend=backend)  # the first call also plans
    back = _native._irfft(re, im, backend=backend, n=n) / n
    err = float(np.linalg.norm(back - x) / np.linalg.norm(x))
    calls = 20
    start = time.perf_counter()
    for _ in range(calls):
        _native._rfft(x, backend=backend)
    elapsed_us = (time.perf_counter() - start) * 1e6 / calls
    return err, elapsed_us


def run_check(out=sys.stdout) -> int:
    print(f"qorva {__version__} (interface {_native.abi_version()})", file=out)
    print(f"FFT backends: {', '.join(_native._fft_backends())}", file=out)
    print(f"FFTW: {_native._fftw_version()}", file=out)
    threads = get_num_threads()
    print(f"worker chunks: {threads if threads else 'automatic'}", file=out)
    failures = 0
    for n in _CHECK_SIZES:
        for backend in _native._fft_backends():
            for dtype, tol in ((np.float32, 1e-5), (np.float64, 1e-12)):
                err, us = _round_trip(n, backend, dtype)
                ok = err < tol
                failures += not ok
                print(
                    f"  n={n:5d} {backend:9s} {np.dtype(dtype).name:7s} "
                    f"round-trip error {err:.2e} {'ok' if ok else 'FAILED'} ({us:.1f} us per rfft)",
                    file=out,
                )
    print("self-check passed" if failures == 0 else f"self-check FAILED ({failures})", file=out)
    return 0 if failures == 0 else 1


# --- qorva show -------------------------------------------------------------

DEMO_RATE = 22050
WINDOWS = ("hann", "hamming", "blackman", "blackmanharris", "nuttall", "bartlett", "boxcar")


class UsageError(Exception):
    """A problem with the command's input or environment, reported in one line."""


def demo_signal(sr: int = DEMO_RATE) -> np.ndarray:
    """Six seconds of music-like sound, float32 in [-1, 1]: the opening of
    "Ode to Joy" in harmonic notes, three noise bursts over it, then a
    rising exponential chirp.  Deterministic; the noise has a fixed seed."""
    total = 6.0
    y = np.zeros(int(total * sr))

    # Melody: E E F G G F E D C C D E E D D (MIDI numbers), quarter notes at
    # 240 bpm with the last one held; six harmonics at 1/k amplitude.
    notes = (64, 64, 65, 67, 67, 65, 64, 62, 60, 60, 62, 64, 64, 62, 62)
    beat = 0.25
    for i, note in enumerate(notes):
        length = beat * (2 if i == len(notes) - 1 else 1)
        n = int(length * sr)
        t = np.arange(n) / sr
        f0 = 440.0 * 2.0 ** ((note - 69) / 12)
        tone = sum(np.sin(2 * np.pi * k * f0 * t) / k for k in range(1, 7))
        envelope = np.minimum(t / 0.01, 1.0) * np.exp(-3.0 * t) * np.minimum((length - t) / 0.02, 1.0)
        start = int(i * beat * sr)
        y[start:start + n] += 0.3 * envelope * tone

    # Percussion: short bursts of white noise with a fast decay.
    rng = np.random.default_rng(20240601)
    for onset in (1.0, 2.0, 3.0):
        n = int(0.15 * sr)
        t = np.arange(n) / sr
        start = int(onset * sr)
        y[start:start + n] += 0.5 * np.exp(-t / 0.03) * rng.standard_normal(n)

    # Chirp from 100 Hz to 8 kHz between 4.25 s and 5.75 s, faded in and out.
    t0, t1, f_lo, f_hi = 4.25, 5.75, 100.0, 8000.0
    n = int((t1 - t0) * sr)
    t = np.arange(n) / sr
    rate = np.log(f_hi / f_lo) / (t1 - t0)
    phase = 2 * np.pi * f_lo * (np.exp(rate * t) - 1.0) / rate
    fade = np.minimum(np.minimum(t, t[-1] - t) / 0.05, 1.0)
    start = int(t0 * sr)
    y[start:start + n] += 0.4 * fade * np.sin(phase)

    return (0.9 * y / np.max(np.abs(y))).astype(np.float32)


def load_audio(path: str) -> tuple[np.ndarray, int, str]:
    """Reads an audio file as float32 mono (channels averaged); returns the
    samples, the sample rate and a one-line description of the file."""
    if not os.path.isfile(path):
        raise UsageError(f"no such audio file: {path}")
    sf = _optional_import("soundfile", "reading audio files")
    try:
        data, sr = sf.read(path, dtype="float32", always_2d=True)
        info = sf.info(path)
    except (RuntimeError, OSError, ValueError) as e:  # LibsndfileError is a RuntimeError
        raise UsageError(f"cannot read {path} as audio: {e}") from None
    if data.shape[0] == 0:
        raise UsageError(f"{path} holds no samples")
    channels = data.shape[1]
    mono = data.mean(axis=1, dtype=np.float32) if channels > 1 else data[:, 0]
    mix = ", mixed down to mono" if channels > 1 else ""
    desc = f"{path} ({info.format} {info.subtype}, {channels} channel{'s' if channels > 1 else ''}{mix})"
    return np.ascontiguousarray(mono), int(sr), desc


def _optional_import(name: str, purpose: str):
    try:
        return __import__(name)
    except (ImportError, OSError):
        raise UsageError(
            f"{purpose} needs the '{name}' package: pip install {name} (or pip install 'qorva[demo]')"
        ) from None


@dataclass
class Computed:
    """What a feature hands back to ``show``: the engine's output and the
    picture of it, rows ordered from the lowest frequency up."""

    output: np.ndarray            # (B, K, F) as the engine returned it
    image: np.ndarray | None      # (rows, F), drawn with the colour range below; None draws a line
    colour_range: tuple[float, float] | None
    colour_label: str | None
    y_range: tuple[float, float] | None  # y value at the centre of the first and of the last row
    y_label: str
    first_frame_s: float          # time of the first frame's centre
    frame_step_s: float
    params: dict
    elapsed_ms: tuple[float, float]  # the transform alone: first call (plans FFTs), second call
    y_ticks: list[tuple[float, str]] | None = None  # labelled rows (note names), else numeric
    line: np.ndarray | None = None  # (F,) values of a one-value-per-frame feature, drawn as a line


@dataclass(frozen=True)
class Feature:
    name: str
    title: str
    compute: Callable[[np.ndarray, int, argparse.Namespace], Computed]


FEATURES: dict[str, Feature] = {}


def _timed(transform):
    """Runs ``transform`` twice: the first call also plans the FFTs, the second
    shows the steady cost. Returns the result and both times in ms."""
    times = []
    for _ in range(2):
        start = time.perf_counter()
        result = transform()
        times.append((time.perf_counter() - start) * 1e3)
    return result, (times[0], times[1])


def feature(name: str, title: str):
    """Registers ``compute(y, sr, args)`` as the feature ``name`` of ``qorva show``."""

    def register(compute):
        FEATURES[name] = Feature(name, title, compute)
        return compute

    return register


@feature("stft", "Power spectrogram")
def _stft(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    win_length = args.win_length or args.n_fft
    params = dict(n_fft=args.n_fft, hop_length=args.hop_length, win_length=win_length,
                  window=args.window, center=True, pad_mode="reflect")
    engine = _native.StftEngine(args.n_fft, args.hop_length, win_length, args.window, True, "reflect")
    db, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "db"))
    top = float(db.max())
    return Computed(
        output=db, image=db[0], colour_range=(top - 80.0, top), colour_label="power (dB)",
        y_range=(0.0, sr / 2), y_label="frequency (Hz)",
        first_frame_s=0.0, frame_step_s=args.hop_length / sr,
        params=params, elapsed_ms=elapsed_ms,
    )


@feature("mel", "Mel spectrogram")
def _mel(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    win_length = args.win_length or args.n_fft
    fmax = sr / 2
    params = dict(n_fft=args.n_fft, hop_length=args.hop_length, win_length=win_length, window=args.window,
                  n_mels=args.n_mels, fmin=0.0, fmax=fmax, mel_scale="slaney", mel_norm="slaney")
    engine = _native.MelEngine(float(sr), args.n_fft, args.hop_length, win_length, args.window, True, "reflect",
                               args.n_mels, 0.0, fmax, "slaney", "slaney")
    db, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "db"))
    top = float(db.max())
    # Band m is centred on mel edge m + 1 of n_mels + 2 equally spaced edges.
    mel_hi = _native.hz_to_mel(fmax, "slaney")
    step = mel_hi / (args.n_mels + 1)
    return Computed(
        output=db, image=db[0], colour_range=(top - 80.0, top), colour_label="mel power (dB)",
        y_range=(step, step * args.n_mels), y_label="frequency (mel, slaney scale)",
        first_frame_s=0.0, frame_step_s=args.hop_length / sr,
        params=params, elapsed_ms=elapsed_ms,
    )


NOTE_NAMES = ("C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B")
C1_HZ = 32.70319566257483


@feature("cqt", "Constant-Q transform")
def _cqt(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    # From C1 up to the last whole octave below Nyquist (at most seven octaves).
    bins_per_octave = 12
    octaves = 7
    while octaves > 1 and C1_HZ * 2 ** octaves * 1.1 > sr / 2:
        octaves -= 1
    n_bins = octaves * bins_per_octave
    params = dict(hop_length=args.hop_length, fmin="C1", n_bins=n_bins, bins_per_octave=bins_per_octave)
    engine = _native.CqtEngine(float(sr), args.hop_length, C1_HZ, n_bins, bins_per_octave)
    db, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "db"))
    top = float(db.max())
    return Computed(
        output=db, image=db[0], colour_range=(top - 80.0, top), colour_label="power (dB)",
        y_range=(0.0, n_bins - 1.0), y_label="note",
        first_frame_s=0.0, frame_step_s=args.hop_length / sr,
        params=params, elapsed_ms=elapsed_ms,
        y_ticks=[(12.0 * o, f"C{o + 1}") for o in range(octaves)],
    )


@feature("chroma", "Chromagram")
def _chroma(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    octaves = 7
    while octaves > 1 and C1_HZ * 2 ** octaves * 1.1 > sr / 2:
        octaves -= 1
    params = dict(hop_length=args.hop_length, bins_per_octave=36, n_octaves=octaves, n_chroma=12, fmin="C1")
    engine = _native.ChromaEngine(float(sr), args.hop_length, 36, octaves, 12, _native.ChromaEngine.c1_hz())
    chroma, elapsed_ms = _timed(lambda: engine.forward(y[None, :]))
    return Computed(
        output=chroma, image=chroma[0], colour_range=(0.0, 1.0), colour_label="relative energy",
        y_range=(0.0, 11.0), y_label="pitch class",
        first_frame_s=0.0, frame_step_s=args.hop_length / sr,
        params=params, elapsed_ms=elapsed_ms,
        y_ticks=[(float(c), name) for c, name in enumerate(NOTE_NAMES)],
    )


SPECTRAL_STATISTICS = ("centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest",
                       "entropy")
FEATURE_UNITS = {"centroid": "Hz", "bandwidth": "Hz", "slope": "per Hz", "decrease": "", "rms": ""}


def _frame_line(values: np.ndarray, elapsed_ms, params: dict, label: str, hop: int, sr: int) -> Computed:
    return Computed(output=values, image=None, colour_range=None, colour_label=None, y_range=None, y_label=label,
                    first_frame_s=0.0, frame_step_s=hop / sr, params=params, elapsed_ms=elapsed_ms,
                    line=values[0, 0])


@feature("rms", "Frame RMS")
def _rms(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    win_length = args.win_length or args.n_fft
    params = dict(frame_length=win_length, hop_length=args.hop_length, center=True, pad_mode="constant")
    engine = _native.RmsEngine(win_length, args.hop_length, True, "constant")
    out, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "power"))
    return _frame_line(out, elapsed_ms, params, "RMS", args.hop_length, sr)


def _statistic(name: str):
    def compute(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
        win_length = args.win_length or args.n_fft
        params = dict(n_fft=args.n_fft, hop_length=args.hop_length, win_length=win_length, window=args.window)
        engine = _native.SpectralMomentsEngine(float(sr), args.n_fft, args.hop_length, win_length, args.window,
                                               True, "constant", [name])
        out, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "power"))
        unit = FEATURE_UNITS.get(name, "")
        return _frame_line(out, elapsed_ms, params, f"spectral {name}" + (f" ({unit})" if unit else ""),
                           args.hop_length, sr)

    return compute


for _name in SPECTRAL_STATISTICS:
    feature(_name, f"Spectral {_name}")(_statistic(_name))


@feature("flux", "Spectral flux")
def _flux(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    win_length = args.win_length or args.n_fft
    params = dict(n_fft=args.n_fft, hop_length=args.hop_length, win_length=win_length, window=args.window)
    engine = _native.SpectralFluxEngine(args.n_fft, args.hop_length, win_length, args.window, True, "constant")
    out, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "power"))
    return _frame_line(out, elapsed_ms, params, "spectral flux", args.hop_length, sr)


def _onset_args(sr: int, args: argparse.Namespace) -> tuple[tuple, dict]:
    win_length = args.win_length or args.n_fft
    fmax = sr / 2
    params = dict(n_fft=args.n_fft, hop_length=args.hop_length, win_length=win_length, window=args.window,
                  n_mels=args.n_mels, fmin=0.0, fmax=fmax)
    return (float(sr), args.n_fft, args.hop_length, win_length, args.window, True, "constant", args.n_mels, 0.0,
            fmax, "slaney", "slaney"), params


@feature("onset", "Onset strength")
def _onset(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    engine_args, params = _onset_args(sr, args)
    engine = _native.OnsetStrengthEngine(*engine_args)
    out, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "power"))
    return _frame_line(out, elapsed_ms, params, "onset strength", args.hop_length, sr)


@feature("tempogram", "Tempogram")
def _tempogram(y: np.ndarray, sr: int, args: argparse.Namespace) -> Computed:
    engine_args, params = _onset_args(sr, args)
    params["tempo_win"] = args.tempo_win
    engine = _native.TempogramEngine(*engine_args, args.tempo_win)
    out, elapsed_ms = _timed(lambda: engine.forward(y[None, :], "power"))
    # Row l is the autocorrelation at a lag of l frames, a tempo of
    # 60 * sr / (hop * l) BPM; the picture stops at 30 BPM, where musical
    # tempi end.
    frames_per_minute = 60.0 * sr / args.hop_length
    rows = int(min(args.tempo_win - 1, frames_per_minute / 30)) + 1
    ticks = [(frames_per_minute / bpm, f"{bpm:g}") for bpm in (480, 240, 160, 120, 90, 60, 45, 30)
             if 1 <= frames_per_minute / bpm <= rows - 1]
    return Computed(
        output=out, image=out[0, :rows], colour_range=(0.0, 1.0), colour_label="autocorrelation (lag 0 = 1)",
        y_range=(0.0, rows - 1.0), y_label="tempo (BPM)",
        first_frame_s=0.0, frame_step_s=args.hop_length / sr, params=params, elapsed_ms=elapsed_ms,
        y_ticks=ticks,
    )


def draw(result: Computed, title: str, path: str) -> None:
    """Writes the picture of ``result`` as a PNG (Agg canvas, no display)."""
    _optional_import("matplotlib", "drawing the picture")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(10, 5), dpi=100, layout="constrained")
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    if result.line is not None:
        times = result.first_frame_s + np.arange(len(result.line)) * result.frame_step_s
        ax.plot(times, result.line, linewidth=1.0)
        ax.set_xlim(times[0], times[-1] if len(times) > 1 else times[0] + result.frame_step_s)
        ax.grid(alpha=0.3)
    else:
        rows, frames = result.image.shape
        lo, hi = result.y_range
        half_row = (hi - lo) / (rows - 1) / 2 if rows > 1 else 0.5
        left = result.first_frame_s - result.frame_step_s / 2
        extent = (left, left + frames * result.frame_step_s, lo - half_row, hi + half_row)
        im = ax.imshow(result.image, origin="lower", aspect="auto", extent=extent, cmap="magma",
                       vmin=result.colour_range[0], vmax=result.colour_range[1], interpolation="nearest")
        fig.colorbar(im, ax=ax, label=result.colour_label)
    if result.y_ticks:
        ax.set_yticks([pos for pos, _ in result.y_ticks], [label for _, label in result.y_ticks])
    ax.set_xlabel("time (s)")
    ax.set_ylabel(result.y_label)
    ax.set_title(title)
    try:
        fig.savefig(path, format="png")
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror or e}") from None


def run_show(args: argparse.Namespace, out=sys.stdout) -> int:
    feat = FEATURES[args.feature]
    if min(args.n_fft, args.hop_length, args.n_mels, args.tempo_win, args.win_length or 1) < 1:
        raise UsageError("--n-fft, --hop-length, --win-length, --n-mels and --tempo-win must be positive")
    if args.audio is None:
        y, sr = demo_signal(), DEMO_RATE
        source = "built-in demo signal (melody, noise bursts and a chirp)"
    else:
        y, sr, source = load_audio(args.audio)
    png = None if args.no_png else (args.png or f"qorva-{feat.name}.png")
    if png is not None:
        _optional_import("matplotlib", "drawing the picture")  # fail before computing

    try:
        result = feat.compute(y, sr, args)
    except (ValueError, RuntimeError) as e:
        raise UsageError(f"{feat.name} of this input failed: {e}") from None

    b, k, f = result.output.shape
    print(f"input: {source}", file=out)
    print(f"sample rate: {sr} Hz", file=out)
    print(f"duration: {len(y) / sr:.3f} s ({len(y)} samples)", file=out)
    print(f"feature: {feat.name} ({', '.join(f'{key}={value}' for key, value in result.params.items())})",
          file=out)
    print(f"shape: ({b}, {k}, {f}) (batch, bins, frames)", file=out)
    print(f"frames: {f}", file=out)
    first, again = result.elapsed_ms
    print(f"transform: {again:.2f} ms (first call {first:.2f} ms, with FFT planning)", file=out)
    if png is not None:
        name = "the built-in demo signal" if args.audio is None else os.path.basename(args.audio)
        draw(result, f"{feat.title} of {name}", png)
        print(f"wrote {png}", file=out)
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="qorva", description="Qorva DSP command line")
    sub = parser.add_subparsers(dest="command")
    sub.add_parser("check", help="self-check of the installed build")
    from . import extract
    extract.add_parser(sub)
    show = sub.add_parser("show", help="compute a feature of an audio file and draw it (default)",
                          description="Compute a feature of an audio file (mixed down to mono) "
                                      "or of a built-in demo signal, print a summary and draw it.")
    show.add_argument("audio", nargs="?", help="audio file (any format soundfile reads); "
                                              "default: a built-in demo signal at 22050 Hz")
    show.add_argument("--feature", choices=sorted(FEATURES), default="stft")
    show.add_argument("--n-fft", type=int, default=2048)
    show.add_argument("--hop-length", type=int, default=512)
    show.add_argument("--win-length", type=int, default=None, help="default: n_fft")
    show.add_argument("--window", choices=WINDOWS, default="hann")
    show.add_argument("--n-mels", type=int, default=128, help="mel bands (--feature mel, onset, tempogram)")
    show.add_argument("--tempo-win", type=int, default=384, help="autocorrelation lags (--feature tempogram)")
    dest = show.add_mutually_exclusive_group()
    dest.add_argument("--png", metavar="PATH", help="picture to write (default: qorva-FEATURE.png)")
    dest.add_argument("--no-png", action="store_true", help="print the summary only")

    argv = sys.argv[1:] if argv is None else list(argv)
    if not argv or argv[0] not in ("check", "show", "extract", "-h", "--help"):
        argv = ["show", *argv]  # `qorva`, `qorva song.wav --n-fft 1024`: show is the default
    args = parser.parse_args(argv)
    if args.command == "check":
        return run_check()
    if args.command == "extract":
        try:
            return extract.run(args)
        except extract.UsageError as e:
            print(f"qorva: error: {e}", file=sys.stderr)
            return 2
    try:
        return run_show(args)
    except UsageError as e:
        print(f"qorva: error: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
