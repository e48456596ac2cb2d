"""CqtEngine and ChromaEngine: tones peak at their bins, agreement with
librosa.cqt, exact backward passes (adjoint identity and finite differences),
the chromagram's pitch classes, and bad input."""

import numpy as np
import pytest
from conftest import rel_l2

import qorva

C1 = 32.70319566257483
SR = 22050


def tone(freq, seconds=2.0, sr=SR):
    t = np.arange(int(seconds * sr)) / sr
    return np.sin(2 * np.pi * freq * t)[None, :]


def test_tones_at_bin_centres_peak_at_their_bin_in_every_octave():
    eng = qorva.CqtEngine(SR, 512, C1, 84, 12)
    for k in (2, 17, 30, 41, 55, 66, 79):  # one bin in each of the seven octaves
        C = eng.forward(tone(C1 * 2 ** (k / 12)).astype(np.float32), "magnitude")
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


def test_float32_and_float64_agree_and_n_frames_matches():
    eng = qorva.CqtEngine(SR, 256, 55.0, 60, 12, gamma=-1.0)
    x = np.random.default_rng(1).standard_normal((2, 5000))
    c64 = eng.forward(x, "complex")
    c32 = eng.forward(x.astype(np.float32), "complex")
    assert c64.dtype == np.complex128 and c32.dtype == np.complex64
    assert c64.shape == (2, 60, eng.n_frames(5000)) and c64.flags.c_contiguous
    assert rel_l2(c32, c64) < 1e-5
    for output in ("magnitude", "power", "db"):
        got = eng.forward(x, output)
        want = {"magnitude": np.abs(c64), "power": np.abs(c64) ** 2,
                "db": 10 * np.log10(np.maximum(np.abs(c64) ** 2, 1e-10))}[output]
        assert rel_l2(got, want) < 1e-12


CONFIGS = [  # (hop, fmin, n_bins, bins_per_octave, gamma, length)
    (64, 200.0, 30, 12, 0.0, 900),      # even hop: halving octaves, partial lowest octave
    (63, 300.0, 24, 12, -1.0, 700),     # odd hop: every octave at the full rate, automatic gamma
    (128, 110.0, 20, 10, 5.0, 300),     # signal shorter than the longest filter
]


@pytest.mark.parametrize("cfg", CONFIGS, ids=lambda c: f"hop{c[0]}-g{c[4]}-L{c[5]}")
def test_complex_backward_is_the_adjoint(cfg):
    hop, fmin, n_bins, bpo, gamma, L = cfg
    eng = qorva.CqtEngine(8000, hop, fmin, n_bins, bpo, gamma)
    rng = np.random.default_rng(hop)
    x = rng.standard_normal((2, L))
    C = eng.forward(x, "complex")
    g = rng.standard_normal(C.shape) + 1j * rng.standard_normal(C.shape)
    lhs = float(np.real(np.vdot(g, C)))
    rhs = float(np.sum(x * eng.backward(g, x, "complex")))
    assert abs(lhs - rhs) < 1e-10 * abs(lhs)


@pytest.mark.parametrize("output", ["magnitude", "power", "db"])
@pytest.mark.parametrize("cfg", CONFIGS, ids=lambda c: f"hop{c[0]}-g{c[4]}-L{c[5]}")
def test_backward_matches_finite_differences(cfg, output):
    hop, fmin, n_bins, bpo, gamma, L = cfg
    eng = qorva.CqtEngine(8000, hop, fmin, n_bins, bpo, gamma)
    rng = np.random.default_rng(L)
    x = rng.standard_normal((1, L))
    R = rng.standard_normal(eng.forward(x, output).shape)
    grad = eng.backward(R, x, output)
    eps = 1e-6
    for _ in range(3):
        d = rng.standard_normal(x.shape)
        fd = (np.sum(R * eng.forward(x + eps * d, output)) - np.sum(R * eng.forward(x - eps * d, output))) / (2 * eps)
        assert abs(fd - np.sum(grad * d)) < 1e-5 * max(1.0, abs(fd))
    g32 = eng.backward(R.astype(np.float32), x.astype(np.float32), output)
    assert g32.dtype == np.float32 and rel_l2(g32, grad) < (1e-3 if output == "db" else 1e-4)


def test_silence():
    eng = qorva.CqtEngine(SR, 512, C1, 36, 12)
    silent = np.zeros((1, 4000), np.float32)
    db = eng.forward(silent, "db")
    assert np.allclose(db, -100.0)
    g = np.ones(db.shape, np.float32)
    assert np.all(eng.backward(g, silent, "db") == 0)
    assert np.all(eng.backward(g, silent, "magnitude") == 0)


@pytest.mark.parametrize(
    "args, message",
    [
        ((SR, 0, -1.0, 0, 0), "hop_length must be positive"),
        ((SR, 512, -1.0, 0, 0), "n_bins must be positive"),
        ((SR, 512, -1.0, 84, 0), "bins_per_octave must be positive"),
        ((SR, 512, 0.0, 84, 12), "fmin must be positive"),
        ((SR, 512, C1, 120, 12), "the top CQT bin exceeds Nyquist; lower n_bins or fmin"),
        ((SR, 512, 8000.0, 12, 12, 500.0), "the top CQT bin exceeds Nyquist; lower n_bins or fmin"),
    ],
)
def test_cqt_constructor_errors(args, message):
    with pytest.raises(ValueError) as info:
        qorva.CqtEngine(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda e, x: e.forward(x, "Magnitude"), ValueError,
         "output must be one of ('complex', 'magnitude', 'power', 'db'); got 'Magnitude'"),
        (lambda e, x: e.forward(x[0], "power"), ValueError, "expected a 2-D (batch, samples) array"),
        (lambda e, x: e.forward(x.astype(np.float64), "power", backend="cuda"), RuntimeError,
         "float64 input runs on the CPU only; cast to float32 for cuda"),
        (lambda e, x: e.forward(x, "power", backend="cuda"), RuntimeError, "cuda backend does not support these parameters"),
        (lambda e, x: e.backward(np.ones((1, 24, 7), np.float32), x, "power"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.backward(np.ones((1, 23, 3), np.complex64), x, "complex"), ValueError,
         "gradient shape does not match the signal"),
        (lambda e, x: e.forward_dlpack(None, "power", 0), RuntimeError, "no resident GPU path for these parameters"),
        (lambda e, x: e.backward_dlpack(None, None, "power", 0), RuntimeError, "no resident GPU path for these parameters"),
    ],
)
def test_cqt_bad_calls(call, exc, message):
    eng = qorva.CqtEngine(8000, 256, 200.0, 24, 12)
    x = np.random.default_rng(0).standard_normal((1, 600)).astype(np.float32)
    with pytest.raises(exc) as info:
        call(eng, x)
    assert str(info.value) == message
    assert eng.forward(x, "power").shape == (1, 24, eng.n_frames(600))
    assert not (eng.gpu_supported() or eng.gpu_resident_supported() or eng.gpu_resident_f16_supported())


# --- chroma -----------------------------------------------------------------

def chord(freqs, seconds=2.0):
    return sum(tone(f, seconds) for f in freqs)


def test_c_major_chord_peaks_at_c_e_g():
    eng = qorva.ChromaEngine(SR, 512, 36, 7, 12, qorva.ChromaEngine.c1_hz())
    c4 = C1 * 8
    chroma = eng.forward(chord([c4, c4 * 2 ** (4 / 12), c4 * 2 ** (7 / 12)]).astype(np.float32))
    assert chroma.shape == (1, 12, eng.n_frames(2 * SR))
    mid = chroma[0, :, chroma.shape[2] // 2]
    assert set(np.argsort(mid)[-3:]) == {0, 4, 7}
    assert mid.max() == pytest.approx(1.0)  # every frame is divided by its largest class


def test_chroma_matches_the_fold_of_the_cqt():
    # The fold of CqtEngine's magnitudes (bins with k mod 12 = c, fmin at C1) divided by
    # the frame maximum.
    x = np.random.default_rng(2).standard_normal((2, 6000))
    cq = np.abs(qorva.CqtEngine(8000, 128, C1, 60, 12).forward(x, "complex"))
    S = cq.reshape(2, 5, 12, -1).sum(axis=1)
    want = S / S.max(axis=1, keepdims=True)
    got = qorva.ChromaEngine(8000, 128, 12, 5, 12, C1).forward(x)
    assert rel_l2(got, want) < 1e-12


def test_chroma_backward_is_exact():
    # The per-frame normaliser is differentiated as well, so finite differences agree.
    eng = qorva.ChromaEngine(8000, 64, 24, 3, 12, 110.0)
    rng = np.random.default_rng(5)
    x = rng.standard_normal((2, 800))
    R = rng.standard_normal(eng.forward(x).shape)
    grad = eng.backward(R, x)
    eps = 1e-6
    for _ in range(3):
        d = rng.standard_normal(x.shape)
        fd = (np.sum(R * eng.forward(x + eps * d)) - np.sum(R * eng.forward(x - eps * d))) / (2 * eps)
        assert abs(fd - np.sum(grad * d)) < 1e-5 * max(1.0, abs(fd))
    assert rel_l2(eng.backward(R.astype(np.float32), x.astype(np.float32)), grad) < 1e-4


def test_chroma_of_silence_is_zero_with_zero_gradient():
    eng = qorva.ChromaEngine(SR, 512, 12, 7, 12, C1)
    silent = np.zeros((1, 5000), np.float32)
    out = eng.forward(silent)
    assert np.all(out == 0)
    assert np.all(eng.backward(np.ones_like(out), silent) == 0)


@pytest.mark.parametrize(
    "args, message",
    [
        ((SR, 512, 12, 0, 12, C1), "n_bins must be positive"),
        ((SR, 512, 12, 3, 0, C1), "n_chroma must be positive"),
        ((SR, 512, 12, 3, 5, C1), "bins_per_octave must be a multiple of n_chroma"),
        ((SR, 0, 12, 3, 12, C1), "hop_length must be positive"),
        ((SR, 512, 12, 12, 12, C1), "the top CQT bin exceeds Nyquist; lower n_bins or fmin"),
    ],
)
def test_chroma_constructor_errors(args, message):
    with pytest.raises(ValueError) as info:
        qorva.ChromaEngine(*args)
    assert str(info.value) == message


def test_chroma_calls():
    eng = qorva.ChromaEngine(8000, 256, 12, 3, 12, 110.0)
    x = np.random.default_rng(0).standard_normal((1, 900))
    assert qorva.ChromaEngine.c1_hz() == 32.70319566257483
    assert eng.forward(x).dtype == np.float64 and eng.forward(x).shape == (1, 12, eng.n_frames(900))
    with pytest.raises(ValueError, match="^gradient shape does not match the signal$"):
        eng.backward(np.ones((1, 12, 1)), x)
    with pytest.raises(RuntimeError, match="^float64 input runs on the CPU only; cast to float32 for cuda$"):
        eng.forward(x, backend="cuda")
    with pytest.raises(RuntimeError, match="^no resident GPU path for these parameters$"):
        eng.forward_dlpack(None, 0)
    assert not eng.gpu_supported()
