"""The engine classes as users meet them: librosa's defaults, keywords, repr, read-only parameters, equality and
pickling, each checked against the compiled engine built with every argument spelt out."""

import pickle

import numpy as np
import pytest
from conftest import ENGINES, SR, forward

import qorva
from qorva import _native

X = np.random.default_rng(0).standard_normal((2, 3000)).astype(np.float32)


@pytest.mark.parametrize("name", ENGINES)
def test_repr_and_pickle_round_trip_to_an_equal_engine(name):
    e = ENGINES[name]()
    again = eval(repr(e), vars(qorva))
    restored = pickle.loads(pickle.dumps(e))
    assert again == e and restored == e and not (restored != e) and repr(restored) == repr(e)
    if name != "istft":
        np.testing.assert_array_equal(forward(name, restored, X), forward(name, e, X))
    param = type(e)._names[0]
    with pytest.raises(AttributeError):
        setattr(e, param, getattr(e, param))


@pytest.mark.parametrize("short, full", [
    # librosa's rules: the window spans n_fft, the hop is a quarter of the window, fmax is sr / 2
    (lambda: qorva.StftEngine(1024), lambda: _native.StftEngine(1024, 256, 1024, "hann", True, "constant")),
    (lambda: qorva.StftEngine(1024, win_length=800), lambda: _native.StftEngine(1024, 200, 800, "hann", True,
                                                                                "constant")),
    (lambda: qorva.MelEngine(SR, n_mels=40), lambda: _native.MelEngine(SR, 2048, 512, 2048, "hann", True, "constant",
                                                                     40, 0.0, SR / 2, "slaney", "slaney")),
    (lambda: qorva.CqtEngine(SR, n_bins=60), lambda: _native.CqtEngine(SR, 512, qorva.C1_HZ, 60, 12, 0.0)),
    (lambda: qorva.ChromaEngine(SR, n_octaves=5), lambda: _native.ChromaEngine(SR, 512, 36, 5, 12, qorva.C1_HZ)),
    (lambda: qorva.RmsEngine(1024), lambda: _native.RmsEngine(1024, 512, True, "constant")),
    (lambda: qorva.SpectralMomentsEngine(SR), lambda: _native.SpectralMomentsEngine(
        SR, 2048, 512, 2048, "hann", True, "constant", list(qorva.MOMENT_FEATURES))),
    (lambda: qorva.TempogramEngine(SR, n_mels=40, tempo_win=32), lambda: _native.TempogramEngine(
        SR, 2048, 512, 2048, "hann", True, "constant", 40, 0.0, SR / 2, "slaney", "slaney", 32)),
])
def test_defaults_and_keywords_build_the_engine_spelt_out(short, full):
    a, b = short(), full()
    y = np.random.default_rng(1).standard_normal((1, 9000)).astype(np.float32)
    out = ("complex",) if isinstance(b, (_native.StftEngine, _native.CqtEngine)) else \
        ("power",) if isinstance(b, _native.MelEngine) else ("",) if not isinstance(b, _native.ChromaEngine) else ()
    np.testing.assert_array_equal(a.forward(y), b.forward(y, *out))


def test_equality_sees_every_parameter_and_windows_by_value():
    w = np.hanning(256).astype(np.float32)
    assert qorva.StftEngine(256, window=w) == qorva.StftEngine(256, window=w.copy())
    assert qorva.StftEngine(256, window=w) != qorva.StftEngine(256, window=w * 2)
    assert qorva.StftEngine(256) != qorva.StftEngine(256, center=False) and qorva.StftEngine(256) != 1
    e = qorva.StftEngine(256, window=w)
    w[0] = 5.0  # the engine keeps its own copy of the window it was built with
    assert e.window[0] == 0.0 and e == qorva.StftEngine(256, window=np.hanning(256).astype(np.float32))
