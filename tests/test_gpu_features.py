"""GPU feature engines against the CPU: staged, resident through qorva.torch, gradients, silence and NaN, the factory
limits. Skipped without a GPU; the kernels' arithmetic runs on the host in test_gpu_feature_math."""

import numpy as np
import pytest

import qorva
from conftest import ENGINES, FEATURES, MEL_ARGS, SR, needs_gpu, needs_torch_cuda, noise, rel_l2

try:
    import torch
    import qorva.torch as qt
except ImportError:
    torch = None

TOL = 1e-4  # relative L2 distance from the CPU engine
ALL_MOMENTS = ["centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"]
# The catalogue's features (its flux's odd n_fft has no GPU engine), halves off the in-kernel FFT, every statistic.
GPU_ENGINES = {**{n: ENGINES[n] for n in FEATURES if n not in ("flux", "mfcc")},
               "flux": lambda: qorva.SpectralFluxEngine(256, 64, 256, "hamming", True, "reflect"),
               "flux400": lambda: qorva.SpectralFluxEngine(400, 100, 400, "hann", False, "constant"),
               "moments400": lambda: qorva.SpectralMomentsEngine(SR, 400, 100, 400, "hann", True, "reflect",
                                                                 ALL_MOMENTS + ["centroid"])}


def assert_close(got, want):
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    assert rel_l2(np.nan_to_num(got), np.nan_to_num(want)) < TOL


@needs_gpu
@pytest.mark.parametrize("name", GPU_ENGINES)
def test_staged_features_match_cpu_with_silent_and_nan_rows(name):
    e, x = GPU_ENGINES[name](), noise(3, 3000)
    x[2] = 0.0
    assert e.gpu_supported() and e.gpu_resident_supported()
    want = e.forward(x, "")
    assert_close(e.forward(x, "", backend="cuda"), want)
    g = noise(*want.shape, seed=2)
    assert rel_l2(e.backward(g, x, "", backend="cuda"), e.backward(g, x, "")) < TOL
    x[0, 1500] = np.nan  # reported as NaN where the CPU reports it, nowhere else
    assert_close(e.forward(x, "", backend="cuda"), e.forward(x, ""))


@needs_gpu
def test_gpu_engine_exists_exactly_where_the_limits_allow():
    assert qorva.RmsEngine(1, 1, True, "reflect").gpu_supported()
    moments = lambda n_fft, names: qorva.SpectralMomentsEngine(SR, n_fft, 16, n_fft, "hann", True, "reflect", names)
    assert moments(64, (ALL_MOMENTS * 2)[:16]).gpu_supported() and not ENGINES["flux"]().gpu_supported()
    assert not moments(64, (ALL_MOMENTS * 2)[:17]).gpu_supported() and not moments(62, ["centroid"]).gpu_supported()
    tempogram = lambda win: qorva.TempogramEngine(*MEL_ARGS, win)
    assert tempogram(4096).gpu_supported() and not tempogram(4097).gpu_supported()


@needs_torch_cuda
@pytest.mark.parametrize("layer", [lambda: qt.RMS(256, 64), lambda: qt.SpectralMoments(features=ALL_MOMENTS),
                                   lambda: qt.SpectralMoments(n_fft=400, pad_mode="reflect", features=ALL_MOMENTS),
                                   lambda: qt.SpectralFlux(), lambda: qt.OnsetStrength(), lambda: qt.Tempogram()])
def test_resident_path_through_the_torch_layers(layer):
    m, xt = layer(), torch.from_numpy(noise(2, 30000)).requires_grad_()
    xg = xt.detach().cuda().requires_grad_()
    y, yg = m(xt), m(xg)
    torch.testing.assert_close(yg.cpu(), y.detach(), rtol=1e-3, atol=1e-4)
    w = torch.randn_like(y)
    (gc,) = torch.autograd.grad((y * w).sum(), xt)
    (gg,) = torch.autograd.grad((yg * w.cuda()).sum(), xg)
    torch.testing.assert_close(gg.cpu(), gc, rtol=1e-3, atol=1e-4)
