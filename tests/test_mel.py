"""Mel scales, the filterbank (against a NumPy construction from the formulas
and against librosa when it is installed), MelEngine forward against
filterbank @ |rfft(frames)|^p, and its backward by finite differences."""

import numpy as np
import pytest
from conftest import rel_l2
from framing_reference import frames as ref_frames
from framing_reference import window as ref_window

import qorva

# Exact double constants of the two scales.
F_SP, MIN_LOG_MEL, LOGSTEP = 200.0 / 3, 14.999999999999998, 0.06875177742094912


def ref_hz_to_mel(hz, scale):
    if scale == "htk":
        return 2595.0 * np.log10(1.0 + hz / 700.0)
    hz = np.asarray(hz, dtype=np.float64)
    return np.where(hz >= 1000, MIN_LOG_MEL + np.log(np.maximum(hz, 1e-300) / 1000) / LOGSTEP, hz / F_SP)


def ref_mel_to_hz(mel, scale):
    if scale == "htk":
        return 700.0 * (10.0 ** (mel / 2595.0) - 1.0)
    return np.where(mel >= MIN_LOG_MEL, 1000 * np.exp(LOGSTEP * (mel - MIN_LOG_MEL)), F_SP * mel)


def ref_filterbank(sr, n_fft, n_mels, fmin, fmax, scale, norm):
    edges = ref_mel_to_hz(np.linspace(ref_hz_to_mel(fmin, scale), ref_hz_to_mel(fmax, scale), n_mels + 2), scale)
    freqs = np.arange(n_fft // 2 + 1) * sr / n_fft
    lo, c, hi = edges[:-2, None], edges[1:-1, None], edges[2:, None]
    fb = np.maximum(0, np.minimum((freqs - lo) / (c - lo), (hi - freqs) / (hi - c)))
    if norm == "slaney":
        fb *= 2.0 / (hi - lo)
    return fb


def test_scale_constants():
    assert qorva.hz_to_mel(1000.0, "slaney") == 14.999999999999998
    assert qorva.hz_to_mel(500.0, "slaney") == 7.5
    assert qorva.mel_to_hz(15.0, "slaney") == 1000.0000000000002
    assert qorva.hz_to_mel(700.0, "htk") == 781.1728387480312
    for scale in ("slaney", "htk"):
        for hz in (0.0, 123.4, 999.9, 1000.0, 4410.0, 20000.0):
            assert qorva.mel_to_hz(qorva.hz_to_mel(hz, scale), scale) == pytest.approx(hz, rel=1e-12, abs=1e-9)
            assert qorva.hz_to_mel(hz, scale) == pytest.approx(float(ref_hz_to_mel(hz, scale)), rel=1e-13)
    with pytest.raises(ValueError, match=r"^mel_scale must be 'slaney' or 'htk'; got 'HTK'$"):
        qorva.hz_to_mel(440.0, "HTK")
    with pytest.raises(TypeError):
        qorva.hz_to_mel(hz=440.0, scale="htk")  # positional-only


FILTERBANKS = [
    (22050, 2048, 128, 0.0, 11025.0, "slaney", "slaney"),
    (22050, 2048, 128, 0.0, 11025.0, "slaney", "none"),
    (16000, 512, 40, 20.0, 7600.0, "htk", "slaney"),
    (16000, 400, 80, 0.0, 8000.0, "htk", "none"),
    (44100, 4096, 256, 30.0, 16000.0, "slaney", "slaney"),
    (8000, 256, 20, 100.0, 3000.0, "htk", "slaney"),
]


@pytest.mark.parametrize("args", FILTERBANKS)
def test_filterbank_matches_the_formula_and_librosa(args):
    sr, n_fft, n_mels, fmin, fmax, scale, norm = args
    fb = qorva.mel_filterbank(sr, n_fft, n_mels, fmin, fmax, scale, norm)
    assert fb.shape == (n_mels, n_fft // 2 + 1) and fb.dtype == np.float32
    want = ref_filterbank(*args)
    np.testing.assert_allclose(fb, want, rtol=2e-6, atol=1e-7 * want.max())
    for row in fb:
        nz = np.flatnonzero(row)
        assert len(nz) > 0 and np.all(np.diff(nz) == 1)  # one contiguous run per band
    if norm == "none":
        assert fb.max() <= 1.0
    librosa = pytest.importorskip("librosa")
    ref = librosa.filters.mel(sr=sr, n_fft=n_fft, n_mels=n_mels, fmin=fmin, fmax=fmax, htk=scale == "htk",
                              norm="slaney" if norm == "slaney" else None, dtype=np.float64)
    np.testing.assert_allclose(fb, ref, rtol=2e-6, atol=1e-7 * ref.max())


@pytest.mark.parametrize(
    "args, exc, message",
    [
        ((22050, 2048, 128, 0, 22050, "slaney", "slaney"), ValueError,
         "mel band 108 covers no FFT bins; raise n_fft or lower n_mels"),
        ((16000, 256, 128, 0, 8000, "htk", "none"), ValueError,
         "mel band 0 covers no FFT bins; raise n_fft or lower n_mels"),
        ((22050, 2048, 10, 5000, 1000, "slaney", "slaney"), ValueError,
         "mel band 0 covers no FFT bins; raise n_fft or lower n_mels"),
        ((22050, 2048, 10, 0, 8000, "Slaney", "slaney"), ValueError, "mel_scale must be 'slaney' or 'htk'; got 'Slaney'"),
        ((22050, 2048, 10, 0, 8000, "x", "y"), ValueError, "mel_norm must be 'slaney' or 'none'; got 'y'"),
        ((22050, 2048, -1, 0, 8000, "htk", "none"), ValueError, "n_mels must be non-negative, got -1"),
        ((22050, 0, 10, 0, 8000, "htk", "none"), ValueError, "n_fft must be positive, got 0"),
        ((0.0, 2048, 10, 0, 8000, "htk", "none"), ValueError, "sr must be positive"),
        ((-8000.0, 2048, 10, 0, 8000, "htk", "none"), ValueError, "sr must be positive"),
    ],
)
def test_filterbank_errors(args, exc, message):
    with pytest.raises(exc) as info:
        qorva.mel_filterbank(*args)
    assert str(info.value) == message


def test_empty_filterbank():
    assert qorva.mel_filterbank(22050, 2048, 0, 0, 11025, "slaney", "slaney").shape == (0, 1025)


def ref_mel(x, sr, n_fft, hop, win_length, win, center, pad_mode, n_mels, fmin, fmax, scale, norm, output):
    w = ref_window(win, win_length, n_fft)
    spec = np.fft.rfft(ref_frames(np.asarray(x, np.float64), n_fft, hop, center, pad_mode, w), axis=-1)
    S = np.abs(spec) if output == "magnitude" else np.abs(spec) ** 2
    mel = np.einsum("mk,bfk->bmf", ref_filterbank(sr, n_fft, n_mels, fmin, fmax, scale, norm), S)
    return 10 * np.log10(np.maximum(mel, 1e-10)) if output == "db" else mel


MEL_CONFIGS = [
    (22050, 1024, 256, 1024, "hann", True, "constant", 64, 0.0, 11025.0, "slaney", "slaney"),
    (16000, 400, 160, 400, "hamming", True, "reflect", 40, 20.0, 7600.0, "htk", "none"),
    (16000, 511, 128, 400, "hann", False, "reflect", 32, 300.0, 3000.0, "slaney", "slaney"),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("cfg", MEL_CONFIGS, ids=lambda c: f"{c[1]}-{c[6]}-{c[10]}")
def test_forward_matches_reference(cfg, dtype):
    eng = qorva.MelEngine(*cfg)
    x = np.random.default_rng(cfg[1]).standard_normal((2, 6000)).astype(dtype)
    for output in ("power", "magnitude", "db"):
        got = eng.forward(x, output)
        assert got.dtype == dtype and got.shape == (2, cfg[7], eng.n_frames(6000))
        want = ref_mel(x, *cfg[:6], cfg[6], *cfg[7:], output)
        if output == "db":
            got, want = 10.0 ** (got / 10.0), 10.0 ** (want / 10.0)
        assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12), output


def test_librosa_melspectrogram_agrees():
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(0).standard_normal((1, 22050))
    eng = qorva.MelEngine(22050, 2048, 512, 2048, "hann", True, "constant", 128, 0.0, 11025.0, "slaney", "slaney")
    ref = librosa.feature.melspectrogram(y=x, sr=22050, n_fft=2048, hop_length=512, center=True, pad_mode="constant",
                                         power=2.0, n_mels=128, fmin=0.0, fmax=11025.0)
    assert rel_l2(eng.forward(x.astype(np.float32), "power"), ref) < 1e-5


@pytest.mark.parametrize("output", ["power", "magnitude", "db"])
@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
def test_backward_matches_finite_differences(output, pad_mode):
    rng = np.random.default_rng(7)
    # fmin/fmax leave bins below and above every filter.
    eng = qorva.MelEngine(8000, 128, 32, 120, "hann", True, pad_mode, 12, 300.0, 3000.0, "slaney", "slaney")
    x = rng.standard_normal((2, 600))
    x[0, 200:420] = 0.0  # silent frames: the db floor and the zero-magnitude guard fire
    out = eng.forward(x, output)
    R = rng.standard_normal(out.shape)
    grad = eng.backward(R, x, output)
    assert grad.shape == x.shape and grad.dtype == np.float64
    eps = 1e-6
    for _ in range(3):
        d = rng.standard_normal(x.shape)
        fd = (np.sum(R * eng.forward(x + eps * d, output)) - np.sum(R * eng.forward(x - eps * d, output))) / (2 * eps)
        assert abs(fd - np.sum(grad * d)) < 1e-5 * max(1.0, abs(fd))
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), output)
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < (1e-3 if output == "db" else 1e-4)


def test_silence_gives_the_floor_and_no_gradient():
    eng = qorva.MelEngine(8000, 128, 32, 128, "hann", True, "constant", 8, 1000.0, 2000.0, "htk", "none")
    silent = np.zeros((1, 400), np.float32)
    assert np.all(eng.forward(silent, "db") == np.float32(-100.0))
    assert np.all(eng.backward(np.ones((1, 8, 13), np.float32), silent, "db") == 0)
    assert np.all(eng.backward(np.ones((1, 8, 13), np.float32), silent, "magnitude") == 0)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e, x: e.forward(x, "complex"), ValueError, "output must be one of ('power', 'magnitude', 'db'); got 'complex'"),
        (lambda e, x: e.forward(x, "spectrum"), ValueError, "output must be one of ('power', 'magnitude', 'db'); got 'spectrum'"),
        (lambda e, x: e.forward(x, "power", backend="cuda"), RuntimeError, "cuda backend does not support these parameters"),
        (lambda e, x: e.forward(x.astype(np.float64), "power", backend="cuda"), RuntimeError,
         "float64 input runs on the CPU only; cast to float32 for cuda"),
        (lambda e, x: e.forward(x.astype(np.float16), "power"), TypeError, "float16 input is not supported; cast to float32"),
        (lambda e, x: e.forward(x[0], "power"), ValueError, "expected a 2-D (batch, samples) array"),
        (lambda e, x: e.forward(x[:, :100], "power"), ValueError, "input is shorter than n_fft with center=False"),
        (lambda e, x: e.backward(np.ones((1, 10, 6), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.backward(np.ones((1, 10, 5), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.forward_dlpack(None, "power", 0), RuntimeError, "no resident GPU path for these parameters"),
        (lambda e, x: e.backward_dlpack(None, None, "power", 0), RuntimeError, "no resident GPU path for these parameters"),
    ],
)
def test_bad_calls(call, exc, message):
    eng = qorva.MelEngine(8000, 128, 32, 128, "hann", False, "reflect", 12, 0.0, 4000.0, "slaney", "slaney")
    x = np.random.default_rng(0).standard_normal((1, 288)).astype(np.float32)
    with pytest.raises(exc) as info:
        call(eng, x)
    assert str(info.value) == message
    assert eng.forward(x, "power").shape == (1, 12, 6)
    assert not (eng.gpu_supported() or eng.gpu_resident_supported() or eng.gpu_resident_f16_supported())


@pytest.mark.parametrize(
    "kwargs, message",
    [
        (dict(mel_scale="Slaney"), "mel_scale must be 'slaney' or 'htk'; got 'Slaney'"),
        (dict(mel_norm="area"), "mel_norm must be 'slaney' or 'none'; got 'area'"),
        (dict(n_mels=-3), "n_mels must be non-negative, got -3"),
        (dict(n_mels=512), "mel band 0 covers no FFT bins; raise n_fft or lower n_mels"),
        (dict(hop_length=0), "hop_length must be positive"),
        (dict(sr=0.0), "sr must be positive"),
        (dict(n_fft=0, win_length=0), "win_length must be in [1, n_fft], got 0"),
        (dict(pad_mode="wrap", mel_scale="bad"), "pad_mode must be 'constant' or 'reflect'; got 'wrap'"),
    ],
)
def test_constructor_errors(kwargs, message):
    args = dict(sr=22050.0, n_fft=1024, hop_length=256, win_length=1024, window="hann", center=True,
                pad_mode="constant", n_mels=64, fmin=0.0, fmax=11025.0, mel_scale="slaney", mel_norm="slaney")
    args.update(kwargs)
    with pytest.raises(ValueError) as info:
        qorva.MelEngine(**args)
    assert str(info.value) == message
