"""SpectralFluxEngine and OnsetStrengthEngine against NumPy definitions and librosa."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import flux as ref_flux
from feature_reference import mel as ref_mel
from feature_reference import onset as ref_onset

import qorva

FLUX_CONFIGS = [  # (n_fft, hop, win_length, window, center, pad_mode, batch, length)
    (512, 128, 512, "hann", True, "reflect", 2, 4000),
    (301, 64, 256, "blackman", False, "constant", 1, 2000),  # odd n_fft
    (64, 16, 64, "hann", True, "constant", 3, 40),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("cfg", FLUX_CONFIGS, ids=lambda c: f"{c[0]}-{c[5]}-c{int(c[4])}")
def test_flux_matches_reference(cfg, dtype):
    n_fft, hop, win_length, win, center, pad_mode, B, L = cfg
    eng = qorva.SpectralFluxEngine(n_fft, hop, win_length, win, center, pad_mode)
    x = np.random.default_rng(n_fft).standard_normal((B, L)).astype(dtype)
    got = eng.forward(x, "")
    assert got.dtype == dtype and got.shape == (B, 1, eng.n_frames(L)) and np.all(got[:, 0, 0] == 0)
    want = ref_flux(x, n_fft, hop, win_length, win, center, pad_mode)
    assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12)


ONSET_CONFIGS = [
    (22050.0, 1024, 256, 1024, "hann", True, "reflect", 64, 0.0, 11025.0, "slaney", "slaney"),
    (16000.0, 400, 160, 400, "hamming", False, "constant", 40, 20.0, 7600.0, "htk", "none"),
]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("cfg", ONSET_CONFIGS, ids=lambda c: f"{c[1]}-{c[6]}-{c[10]}")
def test_onset_matches_reference(cfg, dtype):
    eng = qorva.OnsetStrengthEngine(*cfg)
    x = np.random.default_rng(cfg[1]).standard_normal((2, 6000)).astype(dtype)
    x[1, 2000:4000] = 0.0  # silence: the dB floor
    got = eng.forward(x, "")
    assert got.dtype == dtype and got.shape == (2, 1, eng.n_frames(6000)) and np.all(got[:, 0, 0] == 0)
    assert rel_l2(got, ref_onset(ref_mel(x, *cfg, "power"))) < (2e-5 if dtype == np.float32 else 1e-10)


def test_onset_librosa_agrees():
    # With lag=1, no maximum filter, no detrending, mean aggregation and unclipped
    # dB of the power mel spectrogram, librosa's onset strength is this definition.
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(8).standard_normal((2, 22050)).astype(np.float32)
    x[:, 8000:12000] *= 1e-4  # a quiet stretch
    mel = librosa.feature.melspectrogram(y=x, sr=22050, n_fft=2048, hop_length=512, center=True,
                                         pad_mode="constant", power=2.0, n_mels=128, fmin=0.0, fmax=11025.0)
    want = librosa.onset.onset_strength(S=librosa.power_to_db(mel, amin=1e-10, top_db=None), sr=22050, lag=1,
                                        max_size=1, detrend=False, center=False, aggregate=np.mean)
    eng = qorva.OnsetStrengthEngine(22050.0, 2048, 512, 2048, "hann", True, "constant", 128, 0.0, 11025.0,
                                    "slaney", "slaney")
    assert rel_l2(eng.forward(x, "")[:, 0], want) < 1e-5


@pytest.mark.parametrize("eng", [
    qorva.SpectralFluxEngine(256, 64, 256, "hann", False, "constant"),
    qorva.OnsetStrengthEngine(8000.0, 256, 64, 256, "hann", False, "constant", 16, 0.0, 4000.0, "slaney", "slaney"),
], ids=["flux", "onset"])
def test_spectra_that_never_rise(eng):
    # Row 0 repeats every hop (identical frames); row 1 shrinks by a constant factor per hop.
    t = np.arange(2048)
    period = np.random.default_rng(0).standard_normal(64)
    x = np.stack([np.tile(period, 32), 0.8 ** (t / 64) * period[t % 64]])
    out = eng.forward(x, "")
    assert np.all(np.abs(out) <= 1e-9 * np.abs(x).max())
    assert np.all(eng.backward(np.ones_like(out), x, "") == 0)
