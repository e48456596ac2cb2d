"""The librosa-style function layer (qorva.stft, qorva.feature.*, qorva.onset.*) against librosa itself,
on recorded speech and on a synthetic chord sequence, in both precisions and for batched inputs."""

import glob
import warnings

import numpy as np
import pytest
from conftest import run_isolated

import qorva

librosa = pytest.importorskip("librosa")
sf = pytest.importorskip("soundfile")
SPEECH = sorted(glob.glob("/usr/share/sounds/alsa/*.wav"))
# Debian's alsa-utils ships these short speech recordings; scripts/dev.sh installs it.
needs_speech = pytest.mark.skipif(not SPEECH, reason="no recordings in /usr/share/sounds/alsa (alsa-utils)")


def speech(i=0):
    y, sr = sf.read(next(p for p in SPEECH if "Front_Center" in p) if i == 0 else SPEECH[i], dtype="float32")
    return (y if y.ndim == 1 else y.mean(axis=1)), sr


def music(sr=22050, seconds=3.0):
    """Decaying harmonic notes entering every half second, one of them 30 cents sharp."""
    t = np.arange(int(sr * seconds)) / sr
    out = np.zeros_like(t)
    for i, f in enumerate([261.63, 329.63, 392.0, 440.0 * 2 ** (0.3 / 12), 196.0, 523.25]):
        env = np.where(t >= i * 0.5, np.exp(-(t - i * 0.5) * 2.0), 0.0)
        out += env * sum(np.sin(2 * np.pi * f * h * t) / h for h in (1, 2, 3))
    return (0.2 * out).astype(np.float32), sr


def max_rel(got, want):
    return float(np.max(np.abs(got - want)) / np.max(np.abs(want)))


# (name, keyword arguments, tolerance on max |qorva - librosa| / max |librosa|, librosa run in float64): float32
# rounding (bandwidth weighs the float32 noise floor of high bins by the squared distance to the centroid), or,
# for CQT and chroma, the octave decimation (measured about 8e-4 and 4e-3 next to the signal's ends, 1e-4 and
# 1e-3 inside them).  float64 inputs are held to 1e-6 elsewhere (librosa's mel filterbank is float32).
CASES = [
    ("stft", {}, 1e-5),
    ("stft", dict(n_fft=1024, hop_length=300, win_length=800, window="hamming", pad_mode="reflect"), 1e-5),
    ("stft", dict(n_fft=512, pad_mode="edge", window=np.hanning), 1e-5),
    ("feature.melspectrogram", {}, 1e-5),
    ("feature.melspectrogram", dict(power=1.0, htk=True, n_mels=40, norm=None, fmin=100.0, fmax=5000.0), 1e-5),
    ("feature.mfcc", {}, 1e-5),
    ("feature.mfcc", dict(n_mfcc=13, lifter=22, dct_type=3, n_mels=64), 1e-5),
    ("feature.rms", {}, 1e-5),
    ("feature.rms", dict(frame_length=1000, hop_length=128, pad_mode="reflect", dtype=None), 1e-5),
    ("feature.spectral_centroid", {}, 1e-5),
    ("feature.spectral_bandwidth", {}, 1e-4),
    ("feature.spectral_bandwidth", dict(p=3, norm=False), 1e-3),
    ("feature.spectral_flatness", {}, 1e-5),
    ("onset.onset_strength", {}, 1e-5),
    ("onset.onset_strength", dict(lag=2, max_size=3, detrend=True, n_mels=64), 1e-5),
    ("feature.tempogram", {}, 1e-5),
    ("feature.tempogram", dict(win_length=100, hop_length=256, center=False, norm=1), 1e-5),
    ("cqt", {}, 2e-3),
    ("cqt", dict(n_bins=48, fmin=110.0, hop_length=256, tuning=None), 2e-3),
    ("feature.chroma_cqt", {}, 1e-2),
    ("feature.chroma_cqt", dict(tuning=0.0, n_chroma=12, bins_per_octave=24, n_octaves=6, norm=2), 1e-2),
]


def call(module, name, y, sr, kw):
    f = module
    for part in name.split("."):
        f = getattr(f, part)
    kw = dict(kw)
    if name not in ("stft", "feature.rms", "feature.spectral_flatness"):
        kw["sr"] = sr
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return f(y, **kw) if name in ("stft", "cqt") else f(y=y, **kw)


@needs_speech
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("source", ["speech", "music"])
@pytest.mark.parametrize("name,kw,tol", CASES, ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_agrees_with_librosa(name, kw, tol, source, dtype):
    y, sr = speech() if source == "speech" else music()
    got, want = call(qorva, name, y.astype(dtype), sr, kw), call(librosa, name, y.astype(dtype), sr, kw)
    assert got.shape == want.shape and got.dtype == want.dtype
    exact = call(librosa, name, y.astype(np.float64), sr, kw) if dtype == np.float32 else want
    assert max_rel(got, exact) < (tol if dtype == np.float32 or tol > 1e-4 else 1e-6)


@needs_speech
@pytest.mark.parametrize("lead", [(2,), (2, 3)], ids=["b-n", "a-b-n"])
@pytest.mark.parametrize("name,kw,tol", [c for c in CASES if not c[1]], ids=[c[0] for c in CASES if not c[1]])
def test_leading_axes_are_kept(name, kw, tol, lead):
    # librosa's dB clip (mfcc, onset strength) and tuning estimate (chroma) span the whole batch; so must ours.
    rows = [speech(i)[0][:20000] for i in range(int(np.prod(lead)))]
    y = (np.stack(rows) * np.linspace(1.0, 1e-3, len(rows))[:, None]).astype(np.float32).reshape(lead + (-1,))
    got, want = call(qorva, name, y, 22050, kw), call(librosa, name, y.astype(np.float64), 22050, kw)
    assert got.shape == want.shape and got.shape[:len(lead)] == lead
    assert max_rel(got, want) < tol


def test_precomputed_inputs():
    y, sr = music()
    P = np.abs(librosa.stft(y)) ** 2
    mel_db = librosa.power_to_db(librosa.feature.melspectrogram(S=P, sr=sr))
    env = librosa.onset.onset_strength(y=y, sr=sr)
    C = np.abs(librosa.cqt(y, sr=sr, n_bins=84, bins_per_octave=12))
    for name, kw in [("feature.melspectrogram", dict(S=P, n_mels=40)), ("feature.mfcc", dict(S=mel_db, lifter=5)),
                     ("onset.onset_strength", dict(S=mel_db, lag=2)), ("feature.rms", dict(S=np.sqrt(P))),
                     ("feature.spectral_centroid", dict(S=np.sqrt(P))),
                     ("feature.spectral_bandwidth", dict(S=np.sqrt(P), centroid=np.full((1, P.shape[1]), 900.0))),
                     ("feature.spectral_flatness", dict(S=np.sqrt(P), power=1.0)),
                     ("feature.tempogram", dict(onset_envelope=env)),
                     ("feature.chroma_cqt", dict(C=C, bins_per_octave=12, threshold=0.1))]:
        got, want = call(qorva, name, None, sr, kw), call(librosa, name, None, sr, kw)
        assert got.shape == want.shape and got.dtype == want.dtype, name
        assert max_rel(got, want) < 1e-5, name


@pytest.mark.parametrize("mode", ["interp", "nearest", "mirror", "wrap", "constant"])
def test_delta_matches_savitzky_golay(mode):
    M = librosa.feature.mfcc(y=music()[0], sr=22050)
    for order, width, axis in [(1, 9, -1), (2, 5, -1), (1, 3, 0)]:
        want = librosa.feature.delta(M, order=order, width=width, axis=axis, mode=mode)
        got = qorva.feature.delta(M, order=order, width=width, axis=axis, mode=mode)
        assert got.dtype == want.dtype and max_rel(got, want) < 1e-5
    with pytest.raises(ValueError, match="width"):
        qorva.feature.delta(M[:, :4], mode="interp")


@pytest.mark.parametrize("kw", [{}, dict(length=30001), dict(length=36000), dict(hop_length=256, win_length=1024),
                                dict(center=False, window="hamming")])
def test_istft_agrees_and_inverts(kw):
    y = music()[0][:30001].reshape(1, -1).astype(np.float64)
    skw = {k: v for k, v in kw.items() if k != "length"}
    D = librosa.stft(y, **skw)
    got, want = qorva.istft(D, **kw), librosa.istft(D, **kw)
    assert got.shape == want.shape and got.dtype == want.dtype and max_rel(got, want) < 1e-10
    assert max_rel(qorva.istft(qorva.stft(y, **skw), length=30001, **skw)[:, 5000:-5000], y[:, 5000:-5000]) < 1e-10


def test_engines_are_built_once_per_parameter_set():
    from qorva._common import engine
    y = music()[0][:8000]
    qorva.feature.mfcc(y=y, n_fft=1024)
    before = engine.cache_info()
    for _ in range(3):
        qorva.feature.mfcc(y=y, n_fft=1024)
    after = engine.cache_info()
    assert after.misses == before.misses and after.hits == before.hits + 3


def test_import_stays_light():
    out = run_isolated("import sys, qorva; qorva.feature.mfcc(y=__import__('numpy').ones(4096));"
                       "print(sorted(m for m in ('librosa', 'scipy', 'torch', 'numba') if m in sys.modules))")
    assert out == "[]"


Y = np.zeros(4096, dtype=np.float32)


@pytest.mark.parametrize("call_,exc,match", [
    (lambda: qorva.stft(Y, out=np.zeros((1025, 9), np.complex64)), ValueError, "out="),
    (lambda: qorva.stft(Y, dtype=np.float32), ValueError, "dtype="),
    (lambda: qorva.stft(Y, window=("kaiser", 4.0)), ValueError, "window"),
    (lambda: qorva.istft(np.zeros((1025, 3), np.complex64), out=np.zeros(1024)), ValueError, "out="),
    (lambda: qorva.cqt(Y, res_type="kaiser_best"), ValueError, "res_type='kaiser_best'"),
    (lambda: qorva.cqt(Y, filter_scale=2, sparsity=0.0), ValueError, "filter_scale=2, sparsity=0.0"),
    (lambda: qorva.cqt(Y, scale=False, window="hamming", norm=2), ValueError, "norm=2, scale=False, window"),
    (lambda: qorva.feature.chroma_cqt(y=Y, cqt_mode="hybrid"), ValueError, "cqt_mode='hybrid'"),
    (lambda: qorva.feature.chroma_cqt(y=Y, window=np.ones(12)), ValueError, "window="),
    (lambda: qorva.feature.melspectrogram(y=Y, norm=1.0), ValueError, "norm=1.0"),
    (lambda: qorva.feature.mfcc(y=Y, dct_type=4), ValueError, "dct_type=4"),
    (lambda: qorva.feature.mfcc(y=Y, lifter=-1), ValueError, "lifter"),
    (lambda: qorva.feature.rms(y=Y.astype(np.int16)), ValueError, "floating"),
    (lambda: qorva.feature.spectral_centroid(S=-np.ones((5, 3))), ValueError, "non-negative"),
    (lambda: qorva.feature.melspectrogram(), ValueError, "y or S"),
    (lambda: qorva.stft(np.full(4096, np.nan)), ValueError, "finite"),
    (lambda: qorva.feature.melspectrogram(y=Y, n_mel=40), TypeError, "n_mel"),
    (lambda: qorva.feature.mfcc(y=Y, res_type="fft"), TypeError, "res_type"),
    (lambda: qorva.onset.onset_strength(y=Y, bogus=1), TypeError, "bogus"),
    (lambda: qorva.feature.tempogram(Y), TypeError, "positional"),
])
def test_refused_arguments(call_, exc, match):
    with pytest.raises(exc, match=match):
        call_()
