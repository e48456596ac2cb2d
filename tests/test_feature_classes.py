"""What the engine families share: silence and NaN samples for every family, and
the backward passes of the five feature classes against float64 finite differences."""

import numpy as np
import pytest
from conftest import ENGINES, OUTPUTS, SIGNAL_FAMILIES, backward, forward
from feature_reference import MOMENT_FEATURES, check_gradient

import qorva


@pytest.mark.parametrize("name", SIGNAL_FAMILIES)
def test_silence_and_nan_samples(name):
    # Silence takes the 1e-10 power floor in dB and passes no gradient through the
    # guards; a NaN sample spoils only frames of its own row, and none where values
    # pass through the floor.
    eng = ENGINES[name]()
    silent = np.zeros((2, 700), np.float32)
    x = np.random.default_rng(0).standard_normal((2, 3000)).astype(np.float32)
    x[0, 1500] = np.nan
    for output in OUTPUTS[name]:
        out = forward(name, eng, silent, output)
        assert np.all(out == np.float32(-100.0)) if output == "db" else np.all(np.isfinite(out))
        if output != "complex":  # the complex backward does not depend on the signal
            assert np.all(backward(name, eng, np.ones(out.shape, np.float32), silent, output) == 0)
        out = forward(name, eng, x, output)
        np.testing.assert_array_equal(out[1], forward(name, eng, np.nan_to_num(x), output)[1])
        assert np.isnan(out[0]).any() != (output == "db" or name in ("onset", "tempogram", "mfcc")), output


def feature_engine(name, center, pad_mode):
    mel = (8000.0, 64, 16, 60, "hann", center, pad_mode, 10, 100.0, 3500.0, "htk", "slaney")
    if name in MOMENT_FEATURES:
        return qorva.SpectralMomentsEngine(8000.0, 32, 12, 30, "hann", center, pad_mode, [name])
    return {"rms": lambda: qorva.RmsEngine(48, 20, center, pad_mode),
            "flux": lambda: qorva.SpectralFluxEngine(32, 12, 30, "hann", center, pad_mode),
            "onset": lambda: qorva.OnsetStrengthEngine(*mel),
            "tempogram": lambda: qorva.TempogramEngine(*mel, 6)}[name]()


F32_TOL = {"rms": 1e-5, "flux": 1e-4, "onset": 1e-4}  # the statistics and the tempogram amplify rounding more


@pytest.mark.parametrize("pad_mode", ["reflect", "constant"])
@pytest.mark.parametrize("center", [True, False])
@pytest.mark.parametrize("name", ["rms", "flux", "onset", "tempogram", *MOMENT_FEATURES])
def test_backward_matches_finite_differences(name, center, pad_mode):
    # Long enough for the backward pass's frame chunks to meet (over 64 frames).
    mask = np.ones((2, 1200))
    mask[1, 100:400] = 0.0  # silent frames, which the directions leave silent: features jump there
    x = np.random.default_rng(6).standard_normal((2, 1200)) * mask
    family = "moments" if name in MOMENT_FEATURES else name
    check_gradient(family, feature_engine(name, center, pad_mode), x, mask=mask, f32_tol=F32_TOL.get(name, 1e-3))


@pytest.mark.parametrize("length", [1, 2, 5, 31])
def test_rms_backward_when_padding_exceeds_the_signal(length):
    # Centred frames reflect a short signal many times over; every mirror image carries its gradient back.
    x = np.random.default_rng(length).standard_normal((1, length)) + 0.5
    check_gradient("rms", qorva.RmsEngine(64, 16, True, "reflect"), x)
