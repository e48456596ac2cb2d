"""GPU CQT and chromagram against the CPU engines: staged and resident, every output mode, the size limits of the
GPU engines, and through qorva.torch. Skipped without a GPU; the kernels' arithmetic runs on the host in
test_gpu_cqt_math."""

import numpy as np
import pytest

import qorva
from conftest import C1, needs_gpu, needs_torch_cuda, noise, rel_l2

try:
    import torch
    from torch.utils.dlpack import from_dlpack, to_dlpack
    import qorva.torch as qt
except ImportError:
    torch = None

F32_TOL = 1e-4  # relative L2 distance from the CPU engine
MODES = ("complex", "magnitude", "power", "db")
# (sr, hop, fmin, n_bins, bins_per_octave, gamma): seven octaves on seven levels, variable Q with early decimation
# and a short lowest octave, an odd hop (one octave at the full rate)
CQTS = [(22050.0, 512, C1, 84, 12, 0.0), (16000.0, 256, 100.0, 40, 12, 20.0), (22050.0, 255, 500.0, 24, 24, 0.0)]


def gradient_for(y, seed):
    g = noise(*y.shape, seed=seed)
    return (g + 1j * noise(*y.shape, seed=seed + 1)).astype(np.complex64) if np.iscomplexobj(y) else g


@needs_gpu
def test_gpu_engines_exist_exactly_where_the_limits_allow():
    assert qorva.CqtEngine(22050.0, 512, C1, 84, 12).gpu_resident_supported()
    assert not qorva.CqtEngine(22050.0, 3, 100.0, 12, 12).gpu_supported()  # a 4096-point octave FFT
    assert qorva.CqtEngine(22050.0, 512, 2500.0, 128, 128).gpu_supported()
    assert not qorva.CqtEngine(22050.0, 512, 2500.0, 129, 129).gpu_supported()  # 129 filters in one octave
    assert qorva.ChromaEngine(22050.0, 512, 32, 2, 32, 1000.0).gpu_resident_supported()
    assert not qorva.ChromaEngine(22050.0, 512, 33, 2, 33, 1000.0).gpu_supported()


@needs_gpu
@pytest.mark.parametrize("params", CQTS)
def test_staged_cqt_matches_cpu(params):
    e, x = qorva.CqtEngine(*params), noise(3, 20 * params[1] + 11)
    x[2] = 0.0
    for mode in MODES:
        want = e.forward(x, mode)
        assert rel_l2(e.forward(x, mode, backend="cuda"), want) < F32_TOL, mode
        g = gradient_for(want, 2)
        assert rel_l2(e.backward(g, x, mode, backend="cuda"), e.backward(g, x, mode)) < F32_TOL, mode


@needs_gpu
def test_staged_chroma_matches_cpu_and_silent_columns_are_zero():
    e, x = qorva.ChromaEngine(22050.0, 512, 36, 7, 12, C1), noise(3, 30000)
    x[2] = 0.0  # every column silent: the normaliser's floor, chroma 0
    want, got = e.forward(x), e.forward(x, backend="cuda")
    assert rel_l2(got, want) < F32_TOL and np.all(got[2] == 0.0)
    g = noise(*want.shape, seed=4)
    assert rel_l2(e.backward(g, x, backend="cuda"), e.backward(g, x)) < F32_TOL


@needs_torch_cuda
def test_resident_cqt_chroma_and_the_torch_layers_match_cpu():
    x = noise(2, 40000)
    xc, stream = torch.from_numpy(x).cuda(), torch.cuda.current_stream().cuda_stream
    e = qorva.CqtEngine(*CQTS[0])
    for mode in MODES:
        out = from_dlpack(e.forward_dlpack(to_dlpack(xc), mode, stream))
        assert rel_l2(out.cpu().numpy(), e.forward(x, mode)) < F32_TOL, mode
        g = gradient_for(out.cpu().numpy(), 3)
        gx = from_dlpack(e.backward_dlpack(to_dlpack(torch.from_numpy(g).cuda()), to_dlpack(xc), mode, stream))
        assert rel_l2(gx.cpu().numpy(), e.backward(g, x, mode)) < F32_TOL, mode
    c = qorva.ChromaEngine(22050.0, 512, 36, 7, 12, C1)
    out = from_dlpack(c.forward_dlpack(to_dlpack(xc), stream))
    assert rel_l2(out.cpu().numpy(), c.forward(x)) < F32_TOL
    g = noise(*out.shape, seed=5)
    gx = from_dlpack(c.backward_dlpack(to_dlpack(torch.from_numpy(g).cuda()), to_dlpack(xc), stream))
    assert rel_l2(gx.cpu().numpy(), c.backward(g, x)) < F32_TOL
    for layer in (qt.CQT(), qt.Chroma()):
        xt = torch.from_numpy(x).requires_grad_()
        xg = xt.detach().cuda().requires_grad_()
        y, yg = layer(xt), layer(xg)
        torch.testing.assert_close(yg.cpu(), y.detach(), rtol=1e-4, atol=1e-4)
        w = torch.randn_like(y)
        (gc,) = torch.autograd.grad((y * w).sum(), xt)
        (gg,) = torch.autograd.grad((yg * w.cuda()).sum(), xg)
        torch.testing.assert_close(gg.cpu(), gc, rtol=1e-3, atol=1e-4)
