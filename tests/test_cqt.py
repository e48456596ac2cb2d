"""CqtEngine and ChromaEngine: tones peak at their bins, agreement with
librosa.cqt, the chromagram as the fold of the CQT, and exact backward passes."""

import numpy as np
import pytest
from conftest import C1, rel_l2
from feature_reference import check_gradient

import qorva

SR = 22050


def tone(*freqs, seconds=2.0):
    t = np.arange(int(seconds * SR)) / SR
    return sum(np.sin(2 * np.pi * f * t) for f in freqs)[None, :].astype(np.float32)


def test_tones_at_bin_centres_peak_at_their_bin_in_every_octave():
    eng = qorva.CqtEngine(SR, 512, C1, 84, 12)
    for k in (2, 17, 30, 41, 55, 66, 79):  # one bin in each of the seven octaves
        C = eng.forward(tone(C1 * 2 ** (k / 12)), "magnitude")
        assert C.shape == (1, 84, eng.n_frames(2 * SR))
        assert np.argmax(C[0, :, C.shape[2] // 2]) == k


def test_agrees_with_librosa_cqt():
    librosa = pytest.importorskip("librosa")
    x = np.random.default_rng(0).standard_normal(3 * SR)
    ours = np.abs(qorva.CqtEngine(SR, 512, C1, 84, 12).forward(x[None], "complex")[0])
    ref = np.abs(librosa.cqt(x, sr=SR, hop_length=512, fmin=C1, n_bins=84, bins_per_octave=12, filter_scale=1,
                             norm=1, sparsity=0.01, window="hann", scale=True))
    inner = slice(4, -4)  # away from the edges, where padding conventions differ
    errors = [rel_l2(ours[lo:lo + 12, inner], ref[lo:lo + 12, inner]) for lo in range(72, -1, -12)]
    # Measured: 5e-8 in the top octave (no resampling), 3e-5 .. 5e-4 below it.
    assert errors[0] < 1e-6
    assert max(errors) < 2e-3


def test_precisions_and_outputs_agree():
    eng = qorva.CqtEngine(SR, 256, 55.0, 60, 12, gamma=-1.0)
    x = np.random.default_rng(1).standard_normal((2, 5000))
    c64, c32 = eng.forward(x, "complex"), eng.forward(x.astype(np.float32), "complex")
    assert c64.dtype == np.complex128 and c32.dtype == np.complex64 and rel_l2(c32, c64) < 1e-5
    power = np.abs(c64) ** 2
    for output, want in [("magnitude", np.abs(c64)), ("power", power), ("db", 10 * np.log10(np.maximum(power, 1e-10)))]:
        assert rel_l2(eng.forward(x, output), want) < 1e-12


CONFIGS = [  # (hop, fmin, n_bins, bins_per_octave, gamma, length)
    (64, 200.0, 30, 12, 0.0, 900),      # even hop: halving octaves, partial lowest octave
    (63, 300.0, 24, 12, -1.0, 700),     # odd hop: every octave at the full rate, automatic gamma
    (128, 110.0, 20, 10, 5.0, 300),     # signal shorter than the longest filter
    (64, 1000.0, 24, 12, 0.0, 600),     # the top filters reach the Nyquist bin
]


@pytest.mark.parametrize("output", ["complex", "magnitude", "power", "db"])
@pytest.mark.parametrize("cfg", CONFIGS, ids=lambda c: f"hop{c[0]}-g{c[4]}-L{c[5]}")
def test_backward_matches_finite_differences(cfg, output):
    hop, fmin, n_bins, bpo, gamma, L = cfg
    eng = qorva.CqtEngine(8000, hop, fmin, n_bins, bpo, gamma)
    x = np.random.default_rng(L).standard_normal((2, L))
    check_gradient("cqt", eng, x, output, tol=1e-5, f32_tol=1e-3 if output == "db" else 1e-4)


def test_c_major_chord_peaks_at_c_e_g():
    eng = qorva.ChromaEngine(SR, 512, 36, 7, 12, qorva.ChromaEngine.c1_hz())
    c4 = C1 * 8
    chroma = eng.forward(tone(c4, c4 * 2 ** (4 / 12), c4 * 2 ** (7 / 12)))
    assert chroma.shape == (1, 12, eng.n_frames(2 * SR))
    mid = chroma[0, :, chroma.shape[2] // 2]
    assert set(np.argsort(mid)[-3:]) == {0, 4, 7}
    assert mid.max() == pytest.approx(1.0)  # every frame is divided by its largest class


def test_chroma_is_the_normalised_fold_of_the_cqt():
    assert qorva.ChromaEngine.c1_hz() == C1
    x = np.random.default_rng(2).standard_normal((2, 6000))
    S = np.abs(qorva.CqtEngine(8000, 128, C1, 60, 12).forward(x, "complex")).reshape(2, 5, 12, -1).sum(axis=1)
    got = qorva.ChromaEngine(8000, 128, 12, 5, 12, C1).forward(x)
    assert got.dtype == np.float64 and rel_l2(got, S / S.max(axis=1, keepdims=True)) < 1e-12


def test_chroma_backward_matches_finite_differences():
    # The per-frame normaliser is differentiated as well.
    x = np.random.default_rng(5).standard_normal((2, 800))
    check_gradient("chroma", qorva.ChromaEngine(8000, 64, 24, 3, 12, 110.0), x, tol=1e-5, f32_tol=1e-4)
