"""qorva.torch: autograd layers over the engines, checked with
torch.autograd.gradcheck in float64, bit-for-bit against the NumPy-level
engines, and for the module conveniences PyTorch users rely on."""

import io
import pickle

import numpy as np
import pytest

torch = pytest.importorskip("torch")
qt = pytest.importorskip("qorva.torch")

import qorva  # noqa: E402


def small_signal(batch=(2,), length=300, dtype=torch.float64, seed=0):
    g = torch.Generator().manual_seed(seed)
    return torch.randn(*batch, length, generator=g, dtype=dtype)


def gradcheck(module, x):
    x = x.clone().requires_grad_()
    return torch.autograd.gradcheck(module, (x,), eps=1e-6, atol=1e-6, rtol=1e-4)


@pytest.mark.parametrize("pad_mode", ["reflect", "constant"])
@pytest.mark.parametrize("power, output", [(None, None), (1.0, None), (2.0, None), (2.0, "db")])
def test_spectrogram_gradcheck(power, output, pad_mode):
    m = qt.Spectrogram(n_fft=32, hop_length=8, power=power, pad_mode=pad_mode, output=output)
    assert gradcheck(m, small_signal(length=80))


def test_inverse_spectrogram_gradcheck():
    m = qt.InverseSpectrogram(n_fft=32, hop_length=8)
    Z = qt.Spectrogram(n_fft=32, hop_length=8, power=None)(small_signal(length=80)).detach()
    Z = Z.clone().requires_grad_()
    assert torch.autograd.gradcheck(lambda z: m(z, length=80), (Z,), eps=1e-6, atol=1e-6, rtol=1e-4)


@pytest.mark.parametrize("pad_mode", ["reflect", "constant"])
@pytest.mark.parametrize("power, output", [(1.0, None), (2.0, None), (2.0, "db")])
def test_mel_gradcheck(power, output, pad_mode):
    m = qt.MelSpectrogram(sample_rate=8000, n_fft=64, hop_length=16, n_mels=10, power=power, pad_mode=pad_mode,
                          output=output)
    assert gradcheck(m, small_signal(length=160))


@pytest.mark.parametrize("output", ["complex", "magnitude", "power", "db"])
def test_cqt_gradcheck(output):
    m = qt.CQT(sr=8000, hop_length=64, fmin=200.0, n_bins=24, bins_per_octave=12, output=output)
    assert gradcheck(m, small_signal(length=400))


def test_chroma_gradcheck():
    m = qt.Chroma(sr=8000, hop_length=64, bins_per_octave=12, n_octaves=2, n_chroma=12, fmin=200.0)
    assert gradcheck(m, small_signal(length=400))


FEATURES = ["centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"]


@pytest.mark.parametrize("pad_mode", ["constant", "reflect"])
@pytest.mark.parametrize("make", [
    lambda pm: qt.RMS(frame_length=32, hop_length=8, pad_mode=pm),
    lambda pm: qt.SpectralMoments(sr=8000, n_fft=32, hop_length=8, pad_mode=pm, features=FEATURES),
    lambda pm: qt.SpectralFlux(n_fft=32, hop_length=8, pad_mode=pm),
    lambda pm: qt.OnsetStrength(sr=8000, n_fft=64, hop_length=16, n_mels=12, pad_mode=pm),
    lambda pm: qt.Tempogram(sr=8000, n_fft=64, hop_length=16, n_mels=12, pad_mode=pm, tempo_win=6),
], ids=["rms", "moments", "flux", "onset", "tempogram"])
def test_feature_gradcheck(make, pad_mode):
    assert gradcheck(make(pad_mode), small_signal(length=200, seed=3))


def test_results_equal_the_numpy_engines_bit_for_bit():
    x = small_signal(batch=(3,), length=4000, dtype=torch.float32)
    xn = x.numpy()
    cases = [
        (qt.Spectrogram(n_fft=256, hop_length=64, power=None), qorva.StftEngine(256, 64, 256, "hann", True, "reflect"),
         ("complex",)),
        (qt.MelSpectrogram(sample_rate=16000, n_fft=400, hop_length=160, n_mels=40),
         qorva.MelEngine(16000.0, 400, 160, 400, "hann", True, "reflect", 40, 0.0, 8000.0, "htk", "none"), ("power",)),
        (qt.CQT(sr=16000, hop_length=128, fmin=65.0, n_bins=48), qorva.CqtEngine(16000, 128, 65.0, 48, 12),
         ("magnitude",)),
        (qt.OnsetStrength(sr=16000, n_fft=512, hop_length=128),
         qorva.OnsetStrengthEngine(16000.0, 512, 128, 512, "hann", True, "constant", 128, 0.0, 8000.0, "slaney",
                                   "slaney"), ("power",)),
    ]
    for module, engine, args in cases:
        xr = x.clone().requires_grad_()
        y = module(xr)
        np.testing.assert_array_equal(y.detach().numpy(), engine.forward(xn, *args))
        g = torch.randn_like(y)
        y.backward(g)
        np.testing.assert_array_equal(xr.grad.numpy(), engine.backward(g.numpy(), xn, *args))


def test_shapes_layouts_and_dtypes():
    spec = qt.Spectrogram(n_fft=64, hop_length=16, power=None)
    one = spec(small_signal(batch=(), length=256, dtype=torch.float32))
    assert one.shape == (33, 17) and one.dtype == torch.complex64
    many = spec(small_signal(batch=(2, 3), length=256))
    assert many.shape == (2, 3, 33, 17) and many.dtype == torch.complex128
    flat = spec(small_signal(batch=(4,), length=256))
    assert flat.stride() == (33 * 17, 1, 33)  # frame-major memory kept as a view
    back = qt.InverseSpectrogram(n_fft=64, hop_length=16)(many, length=256)
    assert back.shape == (2, 3, 256)
    torch.testing.assert_close(back, small_signal(batch=(2, 3), length=256), rtol=1e-10, atol=1e-10)


def test_module_conveniences():
    seq = torch.nn.Sequential(qt.MelSpectrogram(sample_rate=8000, n_fft=128, hop_length=32, n_mels=16),
                              torch.nn.Flatten(1))
    x = small_signal(batch=(2,), length=512, dtype=torch.float32)
    with torch.no_grad():
        y = seq(x)
    assert y.shape == (2, 16 * 17) and not y.requires_grad
    assert seq.state_dict() == {} or all(isinstance(v, torch.Tensor) for v in seq.state_dict().values())
    y64 = seq.to(torch.float64)(x.double())
    assert y64.dtype == torch.float64
    clone = pickle.loads(pickle.dumps(seq))
    torch.testing.assert_close(clone(x), seq(x), rtol=0, atol=0)
    buf = io.BytesIO()
    torch.save(seq.state_dict(), buf)  # nothing in it refers to an engine


def test_double_backward_is_refused():
    # A gradient penalty needs d/dx of the gradient: refused, not silently wrong.
    m = qt.Spectrogram(n_fft=32, hop_length=8, power=1.0)
    x = small_signal(length=64).requires_grad_()
    (g,) = torch.autograd.grad(m(x).sum(), x, create_graph=True)
    with pytest.raises(RuntimeError, match=r"double backward .* is not supported"):
        (g ** 2).sum().backward()
    # Without create_graph the gradient is a plain tensor.
    (g,) = torch.autograd.grad(m(x).sum(), x)
    assert not g.requires_grad


def test_cuda_tensors_are_refused_without_a_resident_engine():
    engine = qorva.StftEngine(64, 16, 64, "hann", True, "reflect")
    with pytest.raises(RuntimeError, match=r"^Spectrogram: CUDA tensors need a resident GPU engine"):
        qt._resident(engine, "Spectrogram")


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_cuda_tensors_use_the_resident_path():
    m = qt.Spectrogram(n_fft=256, hop_length=64)
    x = small_signal(length=2048, dtype=torch.float32)
    if not m.engine.gpu_resident_supported():
        with pytest.raises(RuntimeError, match="resident GPU engine"):
            m(x.cuda())
        return
    torch.testing.assert_close(m(x.cuda()).cpu(), m(x), rtol=1e-4, atol=1e-4)


def test_bad_arguments():
    with pytest.raises(ValueError, match="power must be 1.0 or 2.0"):
        qt.Spectrogram(power=3.0)
    with pytest.raises(ValueError, match="complex"):
        qt.MelSpectrogram(power=None)
    with pytest.raises(TypeError, match="complex spectrogram"):
        qt.InverseSpectrogram(n_fft=32)(torch.zeros(17, 4))
    with pytest.raises(ValueError, match="at least 1 dimension"):
        qt.Spectrogram()(torch.tensor(1.0))


def test_training_example_lowers_the_loss():
    import pathlib
    import subprocess
    import sys

    script = pathlib.Path(__file__).resolve().parent.parent / "examples" / "train_mel_loss.py"
    proc = subprocess.run([sys.executable, str(script), "--steps", "60"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    losses = [float(line.split()[3]) for line in proc.stdout.splitlines() if line.startswith("step")]
    assert len(losses) == 11 and losses[-1] < 0.8 * losses[0]
