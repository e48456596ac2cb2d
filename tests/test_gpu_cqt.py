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
CQT_MODES = [(m,) for m in ("complex", "magnitude", "power", "db")]
# Seven octaves on seven levels; variable Q with early decimation and a short lowest octave; an odd hop (one octave
# at the full rate); the chromagram with qorva.torch.Chroma's defaults.
ENGINES = [(qorva.CqtEngine, (22050.0, 512, C1, 84, 12, 0.0), CQT_MODES),
           (qorva.CqtEngine, (16000.0, 256, 100.0, 40, 12, 20.0), CQT_MODES),
           (qorva.CqtEngine, (22050.0, 255, 500.0, 24, 24, 0.0), CQT_MODES),
           (qorva.ChromaEngine, (22050.0, 512, 36, 7, 12, C1), [()])]


@needs_gpu
def test_gpu_engines_exist_exactly_where_the_limits_allow():
    assert not qorva.CqtEngine(22050.0, 3, 100.0, 12, 12).gpu_supported()  # a 4096-point octave FFT
    assert qorva.CqtEngine(22050.0, 512, 2500.0, 128, 128).gpu_supported()
    assert not qorva.CqtEngine(22050.0, 512, 2500.0, 129, 129).gpu_supported()  # 129 filters in one octave
    assert qorva.ChromaEngine(22050.0, 512, 32, 2, 32, 1000.0).gpu_resident_supported()
    assert not qorva.ChromaEngine(22050.0, 512, 33, 2, 33, 1000.0).gpu_supported()


@needs_gpu
@pytest.mark.parametrize("cls, args, modes", ENGINES)
def test_staged_and_resident_engines_match_cpu(cls, args, modes):
    e, x = cls(*args), noise(3, 30000)
    x[2] = 0.0  # every column silent: chroma 0 (the normaliser's floor), no gradient
    resident = torch is not None and torch.cuda.is_available()
    xc = torch.from_numpy(x).cuda() if resident else None
    for mode in modes:
        want, got = e.forward(x, *mode), e.forward(x, *mode, backend="cuda")
        g = noise(*want.shape, seed=2, dtype=want.dtype)
        want_grad = e.backward(g, x, *mode)
        assert rel_l2(got, want) < F32_TOL, mode
        assert rel_l2(e.backward(g, x, *mode, backend="cuda"), want_grad) < F32_TOL, mode
        if resident:
            stream = torch.cuda.current_stream().cuda_stream
            out = from_dlpack(e.forward_dlpack(to_dlpack(xc), *mode, stream))
            gx = from_dlpack(e.backward_dlpack(to_dlpack(torch.from_numpy(g).cuda()), to_dlpack(xc), *mode, stream))
            assert rel_l2(out.cpu().numpy(), want) < F32_TOL and rel_l2(gx.cpu().numpy(), want_grad) < F32_TOL, mode
    assert cls is qorva.CqtEngine or np.all(got[2] == 0.0)


@needs_torch_cuda
def test_the_torch_layers_take_cuda_tensors():
    # CUDA against the same layer on the CPU; the complex CQT's gradient is C-ordered, unlike the STFT's.
    x = torch.from_numpy(noise(2, 40000))
    for layer in (qt.CQT(), qt.CQT(output="complex"), qt.Chroma()):
        results = []
        for xd in (x, x.cuda()):
            xg = xd.clone().requires_grad_()
            y = layer(xg)
            w = torch.ones_like(y) * torch.linspace(-1, 1, y.shape[-1], device=y.device)
            (gx,) = torch.autograd.grad(torch.real(y * w).sum(), xg)
            results.append((y.detach().cpu().numpy(), gx.cpu().numpy()))
        (y_cpu, g_cpu), (y_gpu, g_gpu) = results
        assert rel_l2(y_gpu, y_cpu) < F32_TOL and rel_l2(g_gpu, g_cpu) < F32_TOL
