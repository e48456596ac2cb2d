"""How every engine class routes a call: the backend argument is checked
before the input is looked at, and the framed families report bad framing
with one message each."""

import re

import numpy as np
import pytest

import qorva
from conftest import C1, ENGINES, SIGNAL_FAMILIES, SR, backward, forward

# The CUDA choice is listed only in builds that have the backend.
BACKEND_ERROR = r"^backend must be one of \('cpu',( 'cuda')?\); got '{}'$"
BAD_BACKENDS = ["gpu", "CUDA", "", "cpu "]

# Not an array: converting it would raise a TypeError of its own.
NOT_AN_ARRAY = object()

CALLS = {
    **{(name, "forward"): (lambda name: lambda e, b: forward(name, e, NOT_AN_ARRAY, backend=b))(name)
       for name in SIGNAL_FAMILIES},
    **{(name, "backward"): (lambda name: lambda e, b: backward(name, e, NOT_AN_ARRAY, NOT_AN_ARRAY, backend=b))(name)
       for name in SIGNAL_FAMILIES},
    ("istft", "forward"): lambda e, b: e.forward(NOT_AN_ARRAY, -1, backend=b),
    ("istft", "backward"): lambda e, b: e.backward(NOT_AN_ARRAY, 4, backend=b),
}


@pytest.mark.parametrize("name, direction", sorted(CALLS), ids=lambda v: str(v))
def test_bad_backend_is_refused_before_the_input_is_read(name, direction):
    engine = ENGINES[name]()
    for bad in BAD_BACKENDS:
        with pytest.raises(ValueError, match=BACKEND_ERROR.format(re.escape(bad))):
            CALLS[name, direction](engine, bad)
    # A valid backend gets as far as the input.
    with pytest.raises(TypeError):
        CALLS[name, direction](engine, "cpu")


# Every framed family built with hop_length -3.
WITH_HOP = {
    "stft": lambda hop: qorva.StftEngine(256, hop, 256, "hann", True, "reflect"),
    "istft": lambda hop: qorva.IstftEngine(256, hop, 256, "hann", True),
    "mel": lambda hop: qorva.MelEngine(SR, 256, hop, 256, "hann", True, "reflect", 24, 0.0, 4000.0, "slaney",
                                       "slaney"),
    "cqt": lambda hop: qorva.CqtEngine(SR, hop, 4 * C1, 24, 12),
    "chroma": lambda hop: qorva.ChromaEngine(SR, hop, 12, 2, 12, 4 * C1),
    "rms": lambda hop: qorva.RmsEngine(256, hop, True, "reflect"),
    "moments": lambda hop: qorva.SpectralMomentsEngine(SR, 256, hop, 256, "hann", True, "reflect", ["centroid"]),
    "flux": lambda hop: qorva.SpectralFluxEngine(256, hop, 256, "hann", True, "reflect"),
    "onset": lambda hop: qorva.OnsetStrengthEngine(SR, 256, hop, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                                   "slaney", "slaney"),
    "tempogram": lambda hop: qorva.TempogramEngine(SR, 256, hop, 256, "hann", True, "reflect", 24, 0.0, 4000.0,
                                                   "slaney", "slaney", 16),
}

# Every family whose frames need n_fft (RMS: frame_length) samples, uncentred.
UNCENTRED = {
    "stft": (lambda: qorva.StftEngine(256, 64, 256, "hann", False, "reflect"), "n_fft"),
    "mel": (lambda: qorva.MelEngine(SR, 256, 64, 256, "hann", False, "reflect", 24, 0.0, 4000.0, "slaney",
                                    "slaney"), "n_fft"),
    "rms": (lambda: qorva.RmsEngine(256, 64, False, "reflect"), "frame_length"),
    "moments": (lambda: qorva.SpectralMomentsEngine(SR, 256, 64, 256, "hann", False, "reflect", ["centroid"]),
                "n_fft"),
    "flux": (lambda: qorva.SpectralFluxEngine(256, 64, 256, "hann", False, "reflect"), "n_fft"),
    "onset": (lambda: qorva.OnsetStrengthEngine(SR, 256, 64, 256, "hann", False, "reflect", 24, 0.0, 4000.0,
                                                "slaney", "slaney"), "n_fft"),
    "tempogram": (lambda: qorva.TempogramEngine(SR, 256, 64, 256, "hann", False, "reflect", 24, 0.0, 4000.0,
                                                "slaney", "slaney", 16), "n_fft"),
}


@pytest.mark.parametrize("name", sorted(WITH_HOP))
def test_hop_length_message_names_the_value(name):
    with pytest.raises(ValueError, match=r"^hop_length must be positive, got -3$"):
        WITH_HOP[name](-3)
    with pytest.raises(ValueError, match=r"^hop_length must be positive, got 0$"):
        WITH_HOP[name](0)


@pytest.mark.parametrize("name", sorted(UNCENTRED))
def test_short_uncentred_input_message_names_the_count(name):
    make, frame = UNCENTRED[name]
    engine = make()
    message = rf"^input of 255 samples is shorter than {frame} with center=False$"
    x = np.zeros((1, 255), np.float32)
    for call in (lambda: engine.n_frames(255), lambda: forward(name, engine, x)):
        with pytest.raises(ValueError, match=message):
            call()
    assert engine.n_frames(256) == 1
