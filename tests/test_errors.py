"""Every error message of the engines, the mel functions and the FFT functions,
word for word: the messages are part of the public interface."""

import numpy as np
import pytest
from conftest import C1, CUDA_BUILT, ENGINES, FEATURES, OUTPUTS, SIGNAL_FAMILIES, SR, backward, forward, without_gpu

import qorva
from qorva import _native

X = np.zeros((1, 700), np.float32)
NYQUIST = "the top CQT bin exceeds Nyquist; lower n_bins or fmin"
FEATURE_NAMES = "('centroid', 'bandwidth', 'skewness', 'kurtosis', 'flatness', 'slope', 'decrease', 'crest', 'entropy')"
STFT = dict(n_fft=512, hop_length=128, win_length=512, window="hann", center=True, pad_mode="reflect")
ISTFT = {k: v for k, v in STFT.items() if k != "pad_mode"}
MEL = dict(sr=22050.0, **STFT, n_mels=32, fmin=0.0, fmax=8000.0, mel_scale="slaney", mel_norm="slaney")
CQT = dict(sr=SR, hop_length=256, fmin=200.0, n_bins=24, bins_per_octave=12)
CHROMA = dict(sr=SR, hop_length=256, bins_per_octave=12, n_octaves=3, n_chroma=12, fmin=C1)
MOMENTS = dict(sr=22050.0, **STFT, features=["centroid"])


def make(cls, base, **changes):
    return lambda: cls(**{**base, **changes})


def on(name, call):
    """call(engine) on a fresh engine of the catalogue."""
    return lambda: call(ENGINES[name]())


def row(call, exc, message, gpu_free=False):
    return pytest.param(call, exc, message, marks=without_gpu) if gpu_free else (call, exc, message)


def family_rows(n):
    """The argument checks every signal family shares; GPU refusals hold without a GPU, MFCC's always."""
    g = np.ones(forward(n, ENGINES[n](), X).shape, np.float32)
    kind = () if n == "chroma" else (OUTPUTS[n][-1],)
    no_gpu, f16 = "no resident GPU path for these parameters", "float16 input is not supported; cast to float32"
    return [row(on(n, call), exc, message, gpu and n != "mfcc") for call, exc, message, gpu in [
        (lambda e: forward(n, e, X.astype(np.float16)), TypeError, f16, 0),
        (lambda e: forward(n, e, X[0]), ValueError, "expected a 2-D (batch, samples) array", 0),
        (lambda e: backward(n, e, g, X[None]), ValueError, "expected a 2-D (batch, samples) array", 0),
        (lambda e: forward(n, e, None), TypeError, "expected a numeric array; got 'None'", 0),
        (lambda e: backward(n, e, g[:, :, :-1], X), ValueError, "gradient shape does not match the signal", 0),
        (lambda e: backward(n, e, g[0], X, *kind), ValueError, "gradient shape does not match the signal", 0),
        (lambda e: backward(n, e, g, X.astype(np.float64), backend="cuda"), RuntimeError,
         "float64 input runs on the CPU only; cast to float32 for cuda", 0),
        (lambda e: e.n_frames(-1), ValueError, "signal length must be non-negative, got -1", 0),
        (lambda e: forward(n, e, X, backend="cuda"), RuntimeError,
         "cuda backend does not support " + ("this transform" if n in FEATURES else "these parameters"), 1),
        (lambda e: e.forward_dlpack(None, *kind, 0), RuntimeError, no_gpu, 1),
        (lambda e: e.backward_dlpack(None, None, *kind, 0), RuntimeError, no_gpu, 1),
    ]]


Z = np.ones((1, 129, 4), np.complex64)  # a spectrum for the catalogue's ISTFT
CASES = [
    *(r for n in SIGNAL_FAMILIES for r in family_rows(n)),
    # --- StftEngine
    (make(qorva.StftEngine, STFT, win_length=600), ValueError, "win_length must be in [1, n_fft], got 600"),
    (make(qorva.StftEngine, STFT, hop_length=0), ValueError, "hop_length must be positive, got 0"),
    (make(qorva.StftEngine, STFT, window="Hann"), ValueError,
     "window must be one of ('hann', 'hamming', 'blackman', 'blackmanharris', 'nuttall', 'bartlett', 'boxcar') "
     "or a float array; got 'Hann'"),
    (make(qorva.StftEngine, STFT, window=np.ones((2, 2))), ValueError, "window must be a name or a 1-D float array"),
    (make(qorva.StftEngine, STFT, win_length=4, window=np.ones(3)), ValueError,
     "window array must have win_length (4) samples, got 3"),
    (make(qorva.StftEngine, STFT, pad_mode="edge"), ValueError, "pad_mode must be 'constant' or 'reflect'; got 'edge'"),
    (on("stft", lambda e: e.forward(X, "Power")), ValueError,
     "output must be one of ('complex', 'magnitude', 'power', 'db'); got 'Power'"),
    (lambda: qorva.StftEngine(64, 16, 64, "hann", False, "reflect").forward(X[:, :10], "power"), ValueError,
     "input of 10 samples is shorter than n_fft with center=False"),
    (on("stft", lambda e: e.backward(np.ones((129, 6), np.complex64), X, "complex")), ValueError,
     "expected a 3-D (batch, bins, frames) array"),
    row(on("stft", lambda e: e.forward_dlpack_f64(None, "power")), RuntimeError,
        "no resident f64 GPU path for these parameters", gpu_free=True),
    # --- IstftEngine
    (make(qorva.IstftEngine, ISTFT, hop_length=512), ValueError,
     "window/hop combination violates NOLA; inversion is not possible"),
    (make(qorva.IstftEngine, ISTFT, window="boxcar", hop_length=513), ValueError,
     "hop_length > n_fft leaves gaps; inversion is not possible"),
    (on("istft", lambda e: e.forward(Z[:, :, :0], -1)), ValueError, "expected at least one frame"),
    (on("istft", lambda e: e.forward(Z[:, 1:], -1)), ValueError, "expected 129 frequency bins, got 128"),
    (on("istft", lambda e: e.forward(Z.astype(np.complex128), -1, backend="cuda")), RuntimeError,
     "complex128 input runs on the CPU only; cast to complex64 for cuda"),
    row(on("istft", lambda e: e.forward(Z, -1, backend="cuda")), RuntimeError,
        "cuda backend does not support these parameters", gpu_free=True),
    (on("istft", lambda e: e.backward(np.ones(100), 4)), ValueError, "expected a 2-D (batch, samples) gradient"),
    (on("istft", lambda e: e.backward(np.ones((1, 100)), 4, backend="cuda")), RuntimeError,
     "float64 input runs on the CPU only; cast to float32 for cuda"),
    (on("istft", lambda e: e.backward(np.ones((1, 100), np.float32), 0)), ValueError,
     "n_frames must be at least 1, got 0"),
    row(on("istft", lambda e: e.forward_dlpack(None, -1, 0)), RuntimeError,
        "no resident GPU path for these parameters", gpu_free=True),
    row(on("istft", lambda e: e.backward_dlpack(None, 4, 0)), RuntimeError,
        "no resident GPU path for these parameters", gpu_free=True),
    # --- mel scales, filterbank and MelEngine
    (lambda: qorva.hz_to_mel(440.0, "HTK"), ValueError, "mel_scale must be 'slaney' or 'htk'; got 'HTK'"),
    (lambda: qorva.mel_filterbank(22050, 2048, 128, 0, 22050, "slaney", "slaney"), ValueError,
     "mel band 108 covers no FFT bins; raise n_fft or lower n_mels"),
    (lambda: qorva.mel_filterbank(22050, 2048, 10, 0, 8000, "x", "y"), ValueError,
     "mel_norm must be 'slaney' or 'none'; got 'y'"),
    (lambda: qorva.mel_filterbank(22050, 2048, -1, 0, 8000, "htk", "none"), ValueError,
     "n_mels must be non-negative, got -1"),
    (lambda: qorva.mel_filterbank(22050, 0, 10, 0, 8000, "htk", "none"), ValueError, "n_fft must be positive, got 0"),
    (lambda: qorva.mel_filterbank(-8000.0, 2048, 10, 0, 8000, "htk", "none"), ValueError, "sr must be positive"),
    (make(qorva.MelEngine, MEL, mel_scale="Slaney"), ValueError, "mel_scale must be 'slaney' or 'htk'; got 'Slaney'"),
    (make(qorva.MelEngine, MEL, n_mels=512), ValueError, "mel band 0 covers no FFT bins; raise n_fft or lower n_mels"),
    (make(qorva.MelEngine, MEL, pad_mode="wrap", mel_scale="bad"), ValueError,
     "pad_mode must be 'constant' or 'reflect'; got 'wrap'"),
    (on("mel", lambda e: e.forward(X, "complex")), ValueError,
     "output must be one of ('power', 'magnitude', 'db'); got 'complex'"),
    (lambda: qorva.MelEngine(**{**MEL, "center": False}).forward(X[:, :100], "power"), ValueError,
     "input of 100 samples is shorter than n_fft with center=False"),
    # --- CqtEngine and ChromaEngine
    (make(qorva.CqtEngine, CQT, hop_length=0, n_bins=0), ValueError, "hop_length must be positive, got 0"),
    (make(qorva.CqtEngine, CQT, n_bins=0, bins_per_octave=0), ValueError, "n_bins must be positive"),
    (make(qorva.CqtEngine, CQT, bins_per_octave=0), ValueError, "bins_per_octave must be positive"),
    (make(qorva.CqtEngine, CQT, fmin=0.0), ValueError, "fmin must be positive"),
    (make(qorva.CqtEngine, CQT, fmin=float("inf")), ValueError, "fmin must be finite"),
    (make(qorva.CqtEngine, CQT, sr=float("nan")), ValueError, "sr must be finite"),
    (make(qorva.CqtEngine, CQT, fmin=C1, n_bins=120), ValueError, NYQUIST),
    (on("cqt", lambda e: e.forward(X, "Magnitude")), ValueError,
     "output must be one of ('complex', 'magnitude', 'power', 'db'); got 'Magnitude'"),
    (make(qorva.ChromaEngine, CHROMA, n_chroma=0), ValueError, "n_chroma must be positive"),
    (make(qorva.ChromaEngine, CHROMA, n_chroma=5), ValueError, "bins_per_octave must be a multiple of n_chroma"),
    (make(qorva.ChromaEngine, CHROMA, n_octaves=12), ValueError, NYQUIST),
    # --- the feature classes
    (make(qorva.RmsEngine, dict(frame_length=-5, hop_length=512, center=True, pad_mode="reflect")), ValueError,
     "frame_length must be positive"),
    (lambda: qorva.RmsEngine(0, 0, True, "reflect"), ValueError, "hop_length must be positive, got 0"),
    (lambda: qorva.RmsEngine(256, 64, False, "reflect").forward(X[:, :255], ""), ValueError,
     "input of 255 samples is shorter than frame_length with center=False"),
    (make(qorva.SpectralMomentsEngine, MOMENTS, features=[]), ValueError, "at least one feature is required"),
    (make(qorva.SpectralMomentsEngine, MOMENTS, features=["centroid", "Centroid"]), ValueError,
     f"feature must be one of {FEATURE_NAMES}; got 'Centroid'"),
    (lambda: qorva.SpectralMomentsEngine(**{**MOMENTS, "center": False}).n_frames(511), ValueError,
     "input of 511 samples is shorter than n_fft with center=False"),
    (make(qorva.SpectralFluxEngine, STFT, win_length=600, hop_length=0), ValueError,
     "win_length must be in [1, n_fft], got 600"),
    (lambda: qorva.SpectralFluxEngine(**{**STFT, "center": False}).backward(np.ones((1, 1, 1)), X[:, :511], ""),
     ValueError, "input of 511 samples is shorter than n_fft with center=False"),
    (make(qorva.OnsetStrengthEngine, MEL, n_mels=0), ValueError, "n_mels must be positive, got 0"),
    (make(qorva.TempogramEngine, MEL, tempo_win=0), ValueError, "win_length must be positive"),
    (make(qorva.TempogramEngine, MEL, tempo_win=2**29 + 1), ValueError,
     "tempo_win must be at most 536870912, got 536870913"),
    (make(qorva.TempogramEngine, MEL, hop_length=0, tempo_win=-3), ValueError, "hop_length must be positive, got 0"),
    # --- the FFT functions
    (lambda: _native._fft_backend_for(-7), ValueError, "no FFT backend supports real FFT size -7 (need n >= 1)"),
    (lambda: _native._cfft(np.zeros(0)), ValueError, "no FFT backend supports complex FFT size 0 (need n >= 1)"),
    (lambda: _native._rfft(np.zeros(8), backend="FFTW"), ValueError, "unknown FFT backend 'FFTW'"),
    (lambda: _native._rfft(np.zeros(3), backend="bluestein"), ValueError, "bluestein does not support real FFT size 3"),
    (lambda: _native._rfft(np.zeros(100), backend="vdsp"), ValueError, "vdsp does not support real FFT size 100"),
    (lambda: _native._rfft(np.zeros(1024), backend="vdsp"), RuntimeError, "vdsp is not compiled into this build"),
    (lambda: _native._irfft(np.zeros(5), np.zeros(4)), ValueError, "re and im must have the same length"),
    (lambda: _native._irfft(np.zeros(5), np.zeros(5), n=10), ValueError,
     "n=10 is inconsistent with 5 spectrum bins (need n/2+1 == bins)"),
    (lambda: _native._irfft(np.zeros(0), np.zeros(0)), ValueError,
     "no FFT backend supports real FFT size -2 (need n >= 1)"),
    (lambda: _native._cfft(["1", "2"]), TypeError, "expected a numeric array; got '<U1'"),
]


@pytest.mark.parametrize("call, exc, message", CASES)
def test_error_messages(call, exc, message):
    if not CUDA_BUILT and (message.startswith("cuda ") or message.endswith(" for cuda")):
        exc, message = ValueError, "backend must be one of ('cpu',); got 'cuda'"
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
