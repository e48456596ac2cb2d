"""MfccEngine against librosa.feature.mfcc (the dB floor below the loudest value active), and its backward,
through that floor, against float64 finite differences."""

import numpy as np
import pytest
from conftest import rel_l2
from feature_reference import check_gradient

import qorva

SR = 16000


def loud_then_quiet(n=12000, seed=0):
    # The quiet half sits more than 80 dB below the loud one, so the floor is in force there.
    x = np.random.default_rng(seed).standard_normal((2, n))
    x[:, n // 2:] *= 1e-5
    return x


@pytest.mark.parametrize("n_mfcc, top_db, lifter", [(20, 80.0, 0.0), (13, 40.0, 22.0), (7, None, 0.0)])
def test_agrees_with_librosa(n_mfcc, top_db, lifter):
    librosa = pytest.importorskip("librosa")
    x = loud_then_quiet()
    e = qorva.MfccEngine(SR, n_fft=512, hop_length=128, n_mels=40, n_mfcc=n_mfcc, top_db=top_db, lifter=lifter)
    mel = librosa.feature.melspectrogram(y=x, sr=SR, n_fft=512, hop_length=128, n_mels=40)
    want = librosa.feature.mfcc(S=librosa.power_to_db(mel, top_db=top_db), n_mfcc=n_mfcc, lifter=lifter)
    # librosa's filterbank is float32, which bounds the float64 agreement
    assert rel_l2(e.forward(x), want) < 1e-7 and rel_l2(e.forward(x.astype(np.float32)), want) < 1e-5


def test_backward_matches_finite_differences_through_the_floor():
    x = loud_then_quiet(3000, seed=1)
    e = qorva.MfccEngine(SR, n_fft=256, hop_length=64, n_mels=16, n_mfcc=10, top_db=60.0, lifter=5.0)
    check_gradient("mfcc", e, x, tol=1e-5, f32_tol=2e-3)


@pytest.mark.parametrize("kwargs, message", [
    ({"n_mfcc": 0}, r"^n_mfcc must be between 1 and n_mels \(16\), got 0$"),
    ({"n_mfcc": 17}, r"^n_mfcc must be between 1 and n_mels \(16\), got 17$"),
    ({"lifter": -1.0}, "^lifter must be non-negative$"),
    ({"top_db": float("nan")}, r"^top_db must be a number \(negative for no floor\)$"),
])
def test_bad_arguments(kwargs, message):
    with pytest.raises(ValueError, match=message):
        qorva.MfccEngine(SR, n_fft=256, n_mels=16, **{"n_mfcc": 13, **kwargs})
