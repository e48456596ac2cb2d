"""SpectralFluxEngine and OnsetStrengthEngine: forwards against NumPy
definitions (and librosa's onset strength), spectra that never rise, backward
passes against finite differences, and the constructor messages."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import check_gradient
from feature_reference import flux as ref_flux
from feature_reference import onset as ref_onset
from test_mel import ref_mel

import qorva

# (n_fft, hop, win_length, window, center, pad_mode, batch, length)
FLUX_CONFIGS = [
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
    assert got.dtype == dtype and got.shape == (B, 1, eng.n_frames(L))
    assert np.all(got[:, 0, 0] == 0)
    want = ref_flux(x, n_fft, hop, win_length, win, center, pad_mode)
    assert rel_l2(got, want) < (1e-5 if dtype == np.float32 else 1e-12)


def falling_and_stationary():
    """Row 0 repeats every 64 samples (identical frames); row 1 shrinks by a
    constant factor per hop (every bin falls from frame to frame)."""
    t = np.arange(2048)
    period = np.random.default_rng(0).standard_normal(64)
    return np.stack([np.tile(period, 32), 0.8 ** (t / 64) * period[t % 64]])


@pytest.mark.parametrize("cls", ["flux", "onset"])
def test_spectra_that_never_rise(cls):
    if cls == "flux":
        eng = qorva.SpectralFluxEngine(256, 64, 256, "hann", False, "constant")
    else:
        eng = qorva.OnsetStrengthEngine(8000.0, 256, 64, 256, "hann", False, "constant", 16, 0.0, 4000.0,
                                        "slaney", "slaney")
    x = falling_and_stationary()
    out = eng.forward(x, "")
    assert np.all(np.abs(out) <= 1e-9 * np.abs(x).max())
    assert np.all(eng.backward(np.ones_like(out), x, "") == 0)
    # One frame: one value, 0.
    assert eng.forward(x[:, :256], "").tolist() == [[[0.0]], [[0.0]]]


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
    assert got.dtype == dtype and got.shape == (2, 1, eng.n_frames(6000))
    want = ref_onset(ref_mel(x, *cfg[:6], cfg[6], *cfg[7:], "power"))
    assert np.all(got[:, 0, 0] == 0)
    assert rel_l2(got, want) < (2e-5 if dtype == np.float32 else 1e-10)


def test_onset_librosa_agrees():
    # librosa.onset.onset_strength with lag=1, max_size=1 (no maximum filter),
    # detrend=False, center=False and aggregate=np.mean is the mean rectified
    # rise of its S; given S = power_to_db(melspectrogram, top_db=None) (no
    # clipping, ref 1, amin 1e-10) it is this engine's definition.
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(8).standard_normal((2, 22050)).astype(np.float32)
    x[:, 8000:12000] *= 1e-4  # a quiet stretch
    mel = librosa.feature.melspectrogram(y=x, sr=22050, n_fft=2048, hop_length=512, center=True,
                                         pad_mode="constant", power=2.0, n_mels=128, fmin=0.0, fmax=11025.0)
    want = librosa.onset.onset_strength(S=librosa.power_to_db(mel, amin=1e-10, top_db=None), sr=22050, lag=1,
                                        max_size=1, detrend=False, center=False, aggregate=np.mean)
    eng = qorva.OnsetStrengthEngine(22050.0, 2048, 512, 2048, "hann", True, "constant", 128, 0.0, 11025.0,
                                    "slaney", "slaney")
    got = eng.forward(x, "")[:, 0]
    assert got.shape == want.shape and rel_l2(got, want) < 1e-5


def flux_engine(center, pad_mode):
    return qorva.SpectralFluxEngine(32, 12, 30, "hann", center, pad_mode)


def onset_engine(center, pad_mode):
    return qorva.OnsetStrengthEngine(8000.0, 64, 16, 60, "hann", center, pad_mode, 10, 100.0, 3500.0, "htk",
                                     "slaney")


@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
@pytest.mark.parametrize("center", [True, False])
@pytest.mark.parametrize("make", [flux_engine, onset_engine], ids=["flux", "onset"])
def test_backward_matches_finite_differences(make, center, pad_mode):
    eng = make(center, pad_mode)
    x = np.random.default_rng(9).standard_normal((2, 400))
    x[0, 150:300] = 0.0  # silent frames; the directions leave them silent
    mask = np.ones_like(x)
    mask[0, 150:300] = 0.0
    grad, R = check_gradient(eng, x, mask)
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), "")
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < 1e-4


@pytest.mark.parametrize("make", [flux_engine, onset_engine], ids=["flux", "onset"])
def test_first_frame_and_silence_pass_no_gradient(make):
    eng = make(True, "constant")
    x = np.random.default_rng(10).standard_normal((1, 400))
    x[0, :200] = 0.0
    out = eng.forward(x, "")
    silent = np.flatnonzero(out[0, 0] == 0)
    assert silent[0] == 0 and len(silent) >= 8  # the first frame and the silent stretch
    R = np.zeros_like(out)
    R[0, 0, silent] = 1.0
    assert np.all(eng.backward(R, x, "") == 0)


@pytest.mark.parametrize(
    "make, kwargs, message",
    [
        ("flux", dict(hop_length=0), "hop_length must be positive"),
        ("flux", dict(win_length=600, hop_length=0), "win_length must be in [1, n_fft], got 600"),
        ("flux", dict(pad_mode="Reflect"), "pad_mode must be 'constant' or 'reflect'; got 'Reflect'"),
        ("onset", dict(hop_length=0), "hop_length must be positive"),
        ("onset", dict(n_mels=0), "n_mels must be positive, got 0"),
        ("onset", dict(n_mels=-1), "n_mels must be non-negative, got -1"),
        ("onset", dict(mel_scale="HTK"), "mel_scale must be 'slaney' or 'htk'; got 'HTK'"),
        ("onset", dict(sr=-1.0), "sr must be positive"),
    ],
)
def test_constructor_errors(make, kwargs, message):
    args = dict(n_fft=512, hop_length=128, win_length=512, window="hann", center=True, pad_mode="reflect")
    if make == "onset":
        args.update(sr=22050.0, n_mels=32, fmin=0.0, fmax=8000.0, mel_scale="slaney", mel_norm="slaney")
    args.update(kwargs)
    cls = qorva.SpectralFluxEngine if make == "flux" else qorva.OnsetStrengthEngine
    with pytest.raises(ValueError) as info:
        cls(**args)
    assert str(info.value) == message
