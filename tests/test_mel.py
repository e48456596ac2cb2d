"""Mel scales, the filterbank (against the formulas and librosa), MelEngine
forward against filterbank @ |rfft(frames)|^p, and its backward by finite
differences."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import check_gradient
from feature_reference import filterbank as ref_filterbank
from feature_reference import hz_to_mel as ref_hz_to_mel
from feature_reference import mel as ref_mel

import qorva


def test_scale_constants():
    assert qorva.hz_to_mel(1000.0, "slaney") == 14.999999999999998
    assert qorva.hz_to_mel(500.0, "slaney") == 7.5
    assert qorva.mel_to_hz(15.0, "slaney") == 1000.0000000000002
    assert qorva.hz_to_mel(700.0, "htk") == 781.1728387480312
    for scale in ("slaney", "htk"):
        for hz in (0.0, 123.4, 999.9, 1000.0, 4410.0, 20000.0):
            assert qorva.mel_to_hz(qorva.hz_to_mel(hz, scale), scale) == pytest.approx(hz, rel=1e-12, abs=1e-9)
            assert qorva.hz_to_mel(hz, scale) == pytest.approx(float(ref_hz_to_mel(hz, scale)), rel=1e-13)


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
    librosa = pytest.importorskip("librosa")
    ref = librosa.filters.mel(sr=sr, n_fft=n_fft, n_mels=n_mels, fmin=fmin, fmax=fmax, htk=scale == "htk",
                              norm="slaney" if norm == "slaney" else None, dtype=np.float64)
    np.testing.assert_allclose(fb, ref, rtol=2e-6, atol=1e-7 * ref.max())


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
        want = ref_mel(x, *cfg, output)
        if output == "db":  # decibels magnify the rounding of tiny powers; compare as powers
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
    # fmin/fmax leave bins below and above every filter.
    eng = qorva.MelEngine(8000, 128, 32, 120, "hann", True, pad_mode, 12, 300.0, 3000.0, "slaney", "slaney")
    x = np.random.default_rng(7).standard_normal((2, 600))
    x[0, 200:420] = 0.0  # silent frames: the db floor and the zero-magnitude guard fire
    check_gradient("mel", eng, x, output, tol=1e-5, f32_tol=1e-3 if output == "db" else 1e-4)
