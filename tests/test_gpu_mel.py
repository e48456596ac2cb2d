"""GPU mel spectrogram against the CPU engine: staged and resident, every output mode, padding and size class,
and through qorva.torch. Skipped without a GPU; the kernels' arithmetic runs on the host in test_gpu_mel_math."""

import numpy as np
import pytest

import qorva
from conftest import needs_gpu, needs_torch_cuda, noise, rel_l2

try:
    import torch
    from torch.utils.dlpack import from_dlpack, to_dlpack
    import qorva.torch as qt
except ImportError:
    torch = None

F32_TOL = 1e-4  # relative L2 distance from the CPU engine
MODES = ("magnitude", "power", "db")


def mel(n_fft, center=True, pad_mode="reflect", n_mels=40):
    return qorva.MelEngine(16000.0, n_fft, n_fft // 4, n_fft, "hann", center, pad_mode, n_mels, 0.0, 8000.0,
                           "slaney", "slaney")


@needs_gpu
def test_gpu_engine_exists_exactly_where_the_size_rules_allow():
    assert mel(8192, n_mels=1024).gpu_resident_supported() and not mel(8192, n_mels=1025).gpu_supported()
    assert mel(64, n_mels=8).gpu_supported() and mel(96, n_mels=8).gpu_supported()
    assert not mel(401).gpu_supported() and not mel(32, n_mels=4).gpu_supported()


@needs_gpu
@pytest.mark.parametrize("n_fft, center, pad_mode", [(64, True, "reflect"), (96, True, "constant"),
                                                     (400, False, "constant"), (2048, True, "reflect"),
                                                     (8192, True, "reflect")])
def test_staged_mel_matches_cpu(n_fft, center, pad_mode):
    e, x = mel(n_fft, center, pad_mode, n_mels=16 if n_fft < 128 else 64), noise(3, 4 * n_fft + 11)
    x[2] = 0.0  # silence: -100 dB, zero gradients
    for mode in MODES:
        want = e.forward(x, mode)
        assert rel_l2(e.forward(x, mode, backend="cuda"), want) < F32_TOL, mode
        g = noise(*want.shape, seed=2)
        assert rel_l2(e.backward(g, x, mode, backend="cuda"), e.backward(g, x, mode)) < F32_TOL, mode
    assert np.all(e.forward(x[2:], "db", backend="cuda") == -100.0)


@needs_torch_cuda
@pytest.mark.parametrize("n_fft", [512, 400])
def test_resident_mel_and_the_torch_layer_match_cpu(n_fft):
    e, x = mel(n_fft), noise(2, 6 * n_fft)
    xc, stream = torch.from_numpy(x).cuda(), torch.cuda.current_stream().cuda_stream
    for mode in MODES:
        out = from_dlpack(e.forward_dlpack(to_dlpack(xc), mode, stream))
        assert rel_l2(out.cpu().numpy(), e.forward(x, mode)) < F32_TOL, mode
        g = torch.from_numpy(noise(*out.shape, seed=3)).cuda()
        gx = from_dlpack(e.backward_dlpack(to_dlpack(g), to_dlpack(xc), mode, stream))
        assert rel_l2(gx.cpu().numpy(), e.backward(g.cpu().numpy(), x, mode)) < F32_TOL, mode
    m = qt.MelSpectrogram(sample_rate=16000, n_fft=n_fft, n_mels=40)
    xt = torch.from_numpy(x).requires_grad_()
    xg = xt.detach().cuda().requires_grad_()
    y, yg = m(xt), m(xg)
    torch.testing.assert_close(yg.cpu(), y.detach(), rtol=1e-4, atol=1e-4)
    w = torch.randn_like(y)
    (gc,) = torch.autograd.grad((y * w).sum(), xt)
    (gg,) = torch.autograd.grad((yg * w.cuda()).sum(), xg)
    torch.testing.assert_close(gg.cpu(), gc, rtol=1e-3, atol=1e-4)
