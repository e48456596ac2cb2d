"""qorva.torch: float64 gradcheck, agreement with the NumPy-level engines, and the nn.Module behaviour users rely on."""

import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys

import numpy as np
import pytest

torch = pytest.importorskip("torch")
qt = pytest.importorskip("qorva.torch")

import qorva  # noqa: E402
from conftest import without_gpu  # noqa: E402


def signal(*shape, dtype=torch.float64, seed=0):
    return torch.randn(*shape, generator=torch.Generator().manual_seed(seed), dtype=dtype)


def gradcheck(fn, x):
    return torch.autograd.gradcheck(fn, (x.clone().requires_grad_(),), eps=1e-6, atol=1e-6, rtol=1e-4)


MOMENTS = ["centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"]
PADDED = [  # (layer, arguments, signal length), checked with either pad_mode
    *[(qt.Spectrogram, dict(n_fft=32, hop_length=8, power=p, output=o), 80)
      for p, o in [(None, None), (1.0, None), (2.0, None), (2.0, "db")]],
    *[(qt.MelSpectrogram, dict(sample_rate=8000, n_fft=64, hop_length=16, n_mels=10, power=p, output=o), 160)
      for p, o in [(1.0, None), (2.0, None), (2.0, "db")]],
    (qt.RMS, dict(frame_length=32, hop_length=8), 200),
    (qt.SpectralMoments, dict(sr=8000, n_fft=32, hop_length=8, features=MOMENTS), 200),
    (qt.SpectralFlux, dict(n_fft=32, hop_length=8), 200),
    (qt.OnsetStrength, dict(sr=8000, n_fft=64, hop_length=16, n_mels=12), 200),
    (qt.Tempogram, dict(sr=8000, n_fft=64, hop_length=16, n_mels=12, tempo_win=6), 200),
]
UNPADDED = [
    *[(qt.CQT, dict(sr=8000, hop_length=64, fmin=200.0, n_bins=24, bins_per_octave=12, output=o), 400)
      for o in ("complex", "magnitude", "power", "db")],
    (qt.Chroma, dict(sr=8000, hop_length=64, bins_per_octave=12, n_octaves=2, n_chroma=12, fmin=200.0), 400),
]


@pytest.mark.parametrize("layer, kwargs, length", [(c, {**k, "pad_mode": pm}, n) for c, k, n in PADDED
                                                   for pm in ("reflect", "constant")] + UNPADDED)
def test_gradcheck(layer, kwargs, length):
    assert gradcheck(layer(**kwargs), signal(2, length, seed=3))


def test_inverse_spectrogram_gradcheck():
    Z = qt.Spectrogram(n_fft=32, hop_length=8, power=None)(signal(2, 80)).detach()
    assert gradcheck(lambda z: qt.InverseSpectrogram(n_fft=32, hop_length=8)(z, length=80), Z)


@pytest.mark.parametrize("module, engine, output", [
    (qt.Spectrogram(n_fft=256, hop_length=64, power=None), qorva.StftEngine(256, 64, 256, "hann", True, "reflect"),
     "complex"),
    (qt.MelSpectrogram(sample_rate=16000, n_fft=400, hop_length=160, n_mels=40),
     qorva.MelEngine(16000.0, 400, 160, 400, "hann", True, "reflect", 40, 0.0, 8000.0, "htk", "none"), "power"),
    (qt.CQT(sr=16000, hop_length=128, fmin=65.0, n_bins=48), qorva.CqtEngine(16000, 128, 65.0, 48, 12), "magnitude"),
    (qt.OnsetStrength(sr=16000, n_fft=512, hop_length=128),
     qorva.OnsetStrengthEngine(16000.0, 512, 128, 512, "hann", True, "constant", 128, 0.0, 8000.0, "slaney",
                               "slaney"), "power"),
])
def test_layers_equal_the_engines_bit_for_bit(module, engine, output):
    x = signal(3, 4000, dtype=torch.float32).requires_grad_()
    y = module(x)
    np.testing.assert_array_equal(y.detach().numpy(), engine.forward(x.detach().numpy(), output))
    g = torch.randn_like(y)
    y.backward(g)
    np.testing.assert_array_equal(x.grad.numpy(), engine.backward(g.numpy(), x.detach().numpy(), output))


def _engine_matches_in_a_forked_child(engine, x, y):
    os._exit(0 if np.array_equal(engine.forward(x, "power"), y) else 3)


def test_engines_on_torchs_openmp_threads_compute_the_same():
    openmp = sys.platform == "linux" and "ATen parallel backend: OpenMP" in torch.__config__.parallel_info()
    engine = qorva.MelEngine(16000.0, 400, 160, 400, "hann", True, "reflect", 40, 0.0, 8000.0, "htk", "none")
    x = signal(5, 20000, dtype=torch.float32).numpy()
    saved = qorva.get_num_threads()
    try:
        qorva.set_num_threads(3)
        results = []
        for shared in (False, True):
            assert qt.share_torch_threads(shared) == (shared and openmp)
            torch.ones(1 << 18).sum()  # PyTorch's team was just busy
            y = engine.forward(x, "power")
            results.append((y, engine.backward(np.cos(y), x, "power")))
        for own, on_torch in zip(*results):
            np.testing.assert_array_equal(own, on_torch)
        # A child made by fork() leaves the OpenMP team behind (it would hang on it).
        child = multiprocessing.get_context("fork").Process(target=_engine_matches_in_a_forked_child,
                                                            args=(engine, x, results[0][0]))
        child.start()
        child.join(60)
        if child.is_alive():
            child.kill()
        assert child.exitcode == 0
    finally:
        qorva.set_num_threads(saved)
        qt.share_torch_threads()


def test_shapes_layouts_and_round_trip():
    layer = qt.Spectrogram(n_fft=64, hop_length=16, power=None)
    one = layer(signal(256, dtype=torch.float32))
    assert one.shape == (33, 17) and one.dtype == torch.complex64
    many = layer(signal(2, 3, 256))
    assert many.shape == (2, 3, 33, 17) and many.dtype == torch.complex128
    assert layer(signal(4, 256)).stride() == (33 * 17, 1, 33)  # frame-major memory kept as a view
    back = qt.InverseSpectrogram(n_fft=64, hop_length=16)(many, length=256)
    torch.testing.assert_close(back, signal(2, 3, 256), rtol=1e-10, atol=1e-10)


def test_sequential_no_grad_and_pickling():
    seq = torch.nn.Sequential(qt.MelSpectrogram(sample_rate=8000, n_fft=128, hop_length=32, n_mels=16),
                              torch.nn.Flatten(1))
    x = signal(2, 512, dtype=torch.float32)
    with torch.no_grad():
        y = seq(x)
    assert y.shape == (2, 16 * 17) and not y.requires_grad
    torch.testing.assert_close(pickle.loads(pickle.dumps(seq))(x), seq(x), rtol=0, atol=0)


def test_double_backward_is_refused():
    # A gradient penalty needs d/dx of the gradient: refused, not silently wrong.
    m = qt.Spectrogram(n_fft=32, hop_length=8, power=1.0)
    x = signal(64).requires_grad_()
    (g,) = torch.autograd.grad(m(x).sum(), x, create_graph=True)
    with pytest.raises(RuntimeError, match=r"double backward .* is not supported"):
        (g ** 2).sum().backward()
    assert not torch.autograd.grad(m(x).sum(), x)[0].requires_grad  # plain without create_graph


@pytest.mark.parametrize("call, exc, message", [
    (lambda: qt.Spectrogram(power=3.0), ValueError, "power must be 1.0 or 2.0"),
    (lambda: qt.MelSpectrogram(power=None), ValueError, "complex"),
    (lambda: qt.InverseSpectrogram(n_fft=32)(torch.zeros(17, 4)), TypeError, "complex spectrogram"),
    (lambda: qt.Spectrogram()(torch.tensor(1.0)), ValueError, "at least 1 dimension"),
    pytest.param(lambda: qt._resident(qorva.StftEngine(64, 16, 64, "hann", True, "reflect"), "Spectrogram"),
                 RuntimeError, "^Spectrogram: CUDA tensors need a resident GPU engine", marks=without_gpu),
])
def test_bad_arguments(call, exc, message):
    with pytest.raises(exc, match=message):
        call()


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a CUDA device")
def test_cuda_tensors_use_the_resident_path():
    m = qt.Spectrogram(n_fft=256, hop_length=64)
    x = signal(2048, dtype=torch.float32)
    if not m.engine.gpu_resident_supported():
        with pytest.raises(RuntimeError, match="resident GPU engine"):
            m(x.cuda())
    else:
        torch.testing.assert_close(m(x.cuda()).cpu(), m(x), rtol=1e-4, atol=1e-4)
        if m.engine.gpu_resident_f64_supported():  # the float64 resident forward against the CPU's
            x64 = x.double()
            torch.testing.assert_close(m(x64.cuda()).cpu(), m(x64), rtol=1e-10, atol=1e-10)
        with pytest.raises(TypeError, match="CUDA tensors of dtype int32 are not supported here; use float32"):
            m(x.to(torch.int32).cuda())


def test_training_example_lowers_the_loss():
    script = pathlib.Path(__file__).resolve().parent.parent / "examples" / "train_mel_loss.py"
    proc = subprocess.run([sys.executable, str(script), "--steps", "60"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    losses = [float(line.split()[3]) for line in proc.stdout.splitlines() if line.startswith("step")]
    assert len(losses) == 11 and losses[-1] < 0.8 * losses[0]


def test_mfcc_is_the_floored_db_mel_through_an_orthonormal_dct():
    # The reference is written in torch from the mel layer: dB, floor 80 dB below the maximum of each group
    # (the whole batch of a (batch, time) input; each leading entry's channels beyond), DCT-II (ortho).
    x = signal(2, 3, 1200)
    x[..., 600:] *= 1e-5  # quiet halves well below the floor
    kw = dict(n_fft=128, hop_length=32, n_mels=20)
    mel, mfcc = qt.MelSpectrogram(sample_rate=8000, **kw), qt.MFCC(sample_rate=8000, n_mfcc=12, melkwargs=kw)
    m = torch.arange(20, dtype=torch.float64)
    dct = torch.cos(torch.pi * torch.arange(12, dtype=torch.float64)[:, None] * (2 * m + 1) / 40) * 0.1 ** 0.5
    dct[0] /= 2 ** 0.5
    for group in (x[0], x):  # (channel, time): one floor; (batch, channel, time): one per batch entry
        db = 10 * torch.log10(torch.clamp(mel(group), min=1e-10))
        floor = db.amax(dim=(-3, -2, -1), keepdim=True) - 80.0
        torch.testing.assert_close(mfcc(group), dct @ torch.maximum(db, floor), rtol=1e-9, atol=1e-9)
    gradcheck(mfcc, x[0, :, :300] * torch.linspace(1e-5, 1, 300, dtype=torch.float64))


def test_delta_is_torchaudios_regression_slope_and_the_loss_is_torch_stfts():
    x = signal(3, 4, 30)
    pad = torch.nn.functional.pad(x, (2, 2), mode="replicate")
    want = sum(n * (pad[..., 2 + n:32 + n] - pad[..., 2 - n:32 - n]) for n in (1, 2)) / 10
    torch.testing.assert_close(qt.Delta(win_length=5)(x), want, rtol=1e-12, atol=1e-12)
    gradcheck(qt.Delta(win_length=7), x)

    a, b = signal(2, 3000, seed=1).requires_grad_(), signal(2, 3000, seed=2)
    sizes = dict(fft_sizes=(256, 128), hop_sizes=(32, 16), win_lengths=(200, 100))
    loss = qt.MultiResolutionSTFTLoss(**sizes)(a, b)
    ref = 0.0
    for n, h, w in zip(*sizes.values()):
        def mag(v):
            z = torch.stft(v, n, h, w, torch.hann_window(w, dtype=v.dtype), center=True, pad_mode="reflect",
                           return_complex=True)
            return torch.sqrt(torch.clamp(z.abs() ** 2, min=1e-7))
        sa, sb = mag(a), mag(b)
        ref = ref + (torch.linalg.vector_norm(sb - sa) / torch.linalg.vector_norm(sb)
                     + torch.mean(torch.abs(torch.log(sb) - torch.log(sa)))) / 2
    torch.testing.assert_close(loss, ref, rtol=1e-10, atol=1e-12)
    (g,), (g_ref,) = torch.autograd.grad(loss, a), torch.autograd.grad(ref, a)
    torch.testing.assert_close(g, g_ref, rtol=1e-8, atol=1e-12)
