"""GPU STFT/ISTFT: refusals without a GPU, DLPack import rules (on hand-made capsules), GPU paths against the CPU."""

import ctypes

import numpy as np
import pytest

import qorva
from qorva import _native
from conftest import needs_gpu, needs_torch_cuda, noise, rel_l2, without_gpu

try:
    import torch
    from torch.utils.dlpack import from_dlpack, to_dlpack
except ImportError:
    torch = None

MODES = ("complex", "magnitude", "power", "db")
F32_TOL, F64_TOL, F16_TOL = 1e-4, 1e-10, 2e-3  # relative L2 distance from the CPU engines
FLAGS = ("gpu_supported", "gpu_resident_supported", "gpu_resident_f16_supported", "gpu_staged_f16_supported",
         "gpu_staged_f64_supported", "gpu_resident_f64_supported")  # the ISTFT has the first three


def stft(n_fft, center=True, pad_mode="reflect"):
    return qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", center, pad_mode)


def istft(n_fft, center=True):
    return qorva.IstftEngine(n_fft, n_fft // 4, n_fft, "hann", center)


@without_gpu
@pytest.mark.parametrize("n_fft", [64, 96, 1025, 8192, 16384])  # every size class of the GPU factory
def test_no_gpu_paths_without_a_gpu(n_fft):
    e, i, cap = stft(n_fft), istft(n_fft), np.zeros((1, 4 * n_fft), np.float32).__dlpack__()
    assert [getattr(e, f)() for f in FLAGS] == [False] * 6 and [getattr(i, f)() for f in FLAGS[:3]] == [False] * 3
    # Refused before the capsule is looked at (a host tensor would be refused for its device otherwise).
    for call, path in [(lambda: e.forward_dlpack(cap, "power", 0), "GPU"),
                       (lambda: e.forward_dlpack_f64(cap, "power"), "f64 GPU"),
                       (lambda: e.backward_dlpack(cap, cap, "power", 0), "GPU"),
                       (lambda: i.forward_dlpack(cap, -1, 0), "GPU"), (lambda: i.backward_dlpack(cap, 3, 0), "GPU")]:
        with pytest.raises(RuntimeError, match=f"^no resident {path} path for these parameters$"):
            call()
    assert e.forward(np.ones((1, 2 * n_fft), np.float32), "power").shape[1] == n_fft // 2 + 1  # the CPU still runs


_DELETER = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class _ManagedTensor(ctypes.Structure):
    # DLManagedTensor with its DLTensor, DLDevice and DLDataType flattened in: the same memory layout.
    _fields_ = [("data", ctypes.c_void_p), ("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32),
                ("ndim", ctypes.c_int32), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("shape", ctypes.POINTER(ctypes.c_int64)),
                ("strides", ctypes.POINTER(ctypes.c_int64)), ("byte_offset", ctypes.c_uint64),
                ("manager_ctx", ctypes.c_void_p), ("deleter", _DELETER)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype, _capsule_new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_NAME = ctypes.create_string_buffer(b"dltensor")  # a capsule keeps a pointer to its name


class FakeDeviceTensor:
    """A "dltensor" capsule of a tensor on CUDA device 0 whose data is never read; counts its deleter's runs."""

    def __init__(self, shape, strides=None, code=2, bits=32, lanes=1, device_type=2, device_id=0, byte_offset=0):
        self.deleted = 0
        self._deleter = _DELETER(lambda _: setattr(self, "deleted", self.deleted + 1))
        self._dims = [(ctypes.c_int64 * max(len(d), 1))(*d) for d in (shape, strides or ())]
        shape_p, strides_p = (ctypes.cast(d, ctypes.POINTER(ctypes.c_int64)) for d in self._dims)
        self._managed = _ManagedTensor(0x1000, device_type, device_id, len(shape), code, bits, lanes, shape_p,
                                       strides_p if strides else None, byte_offset, None, self._deleter)
        self.capsule = _capsule_new(ctypes.addressof(self._managed), _NAME, None)

    @property
    def name(self):
        return repr(self.capsule).split('"')[1]


BAD_DTYPE = "unexpected tensor dtype for the resident path"


@pytest.mark.parametrize("tensor, args, expected", [  # a description of the view, or the refusal
    (dict(shape=(2, 1000), byte_offset=64), (2, 32),
     dict(shape=[2, 1000], frame_major=False, half=False, byte_offset=64)),
    (dict(shape=(2, 5, 7), strides=(35, 7, 1)), (2, 32), dict(frame_major=False)),
    (dict(shape=(1, 1000), strides=(99, 1)), (2, 32), dict(shape=[1, 1000])),  # any stride on an axis of extent 1
    (dict(shape=(2, 33, 9), strides=(297, 1, 33), code=5, bits=64), (5, 64, True), dict(frame_major=True)),
    (dict(shape=(2, 100), bits=16), (2, 32, False, True), dict(half=True)),
    (dict(shape=(2, 100), bits=16), (2, 32), BAD_DTYPE),
    (dict(shape=(2, 100), device_type=1), (2, 32), "tensor is not resident on this build's GPU backend"),
    (dict(shape=(2, 100), device_id=1), (2, 32), "only GPU device 0 is supported"),
    (dict(shape=(2, 100), bits=64), (2, 32), BAD_DTYPE),
    (dict(shape=(2, 100), code=5, bits=64), (2, 32), BAD_DTYPE),
    (dict(shape=(2, 100), lanes=2), (2, 32), BAD_DTYPE),
    (dict(shape=()), (2, 32), "expected 1-3 dimensions"),
    (dict(shape=(1, 2, 3, 4)), (2, 32), "expected 1-3 dimensions"),
    (dict(shape=(2, 100), strides=(1, 2)), (2, 32), "resident tensors must be contiguous"),
    (dict(shape=(2, 33, 9), strides=(297, 1, 33)), (2, 32), "resident tensors must be contiguous"),
    (dict(shape=(2, 33, 9), strides=(1, 2, 66), code=5, bits=64), (5, 64, True),
     "complex spectra must be contiguous or frame-major"),
])
def test_dlpack_import(tensor, args, expected):
    fake = FakeDeviceTensor(**tensor)
    if isinstance(expected, dict):
        assert _native._dlpack_view(fake.capsule, *args).items() >= expected.items()
        return
    with pytest.raises(ValueError, match=f"^{expected}$"):
        _native._dlpack_view(fake.capsule, *args)
    assert fake.name == "dltensor" and fake.deleted == 0  # a refused capsule is left alone


def test_dlpack_consumption_renames_once_and_runs_the_deleter():
    fake = FakeDeviceTensor((2, 100))
    _native._dlpack_view(fake.capsule, 2, 32, consume=True)
    assert fake.name == "used_dltensor" and fake.deleted == 1
    for not_a_live_capsule in (fake.capsule, np.zeros(3, np.float32), None, "dltensor"):
        with pytest.raises(ValueError, match="^expected a DLPack 'dltensor' capsule$"):
            _native._dlpack_view(not_a_live_capsule, 2, 32)
    assert fake.deleted == 1
    with pytest.raises(ValueError, match="not resident on this build's GPU backend"):  # NumPy's host capsule
        _native._dlpack_view(np.zeros((2, 3), np.float32).__dlpack__(), 2, 32)


@needs_gpu
def test_factory_size_classes():
    assert [stft(n).gpu_supported() for n in (63, 64, 1025, 8192, 16384, 16386)] == [0, 1, 1, 1, 0, 1]
    assert [istft(n).gpu_supported() for n in (62, 64, 96, 1025, 1026, 8192, 16384)] == [0, 1, 1, 0, 1, 1, 0]
    assert [getattr(stft(512), f)() for f in FLAGS[1:]] == [True, False, True, True, True]


@needs_gpu
@pytest.mark.parametrize("n_fft", [64, 96, 400, 1025, 2048, 8192, 16386])
@pytest.mark.parametrize("center, pad_mode", [(True, "reflect"), (True, "constant"), (False, "constant")])
def test_staged_stft_matches_cpu(n_fft, center, pad_mode):
    e, x = stft(n_fft, center, pad_mode), noise(3, 3 * n_fft + 17)
    for mode in MODES:
        got, want = e.forward(x, mode, backend="cuda"), e.forward(x, mode)
        assert got.dtype == want.dtype and got.shape == want.shape == (3, n_fft // 2 + 1, e.n_frames(x.shape[1]))
        assert rel_l2(got, want) < F32_TOL, mode
        grad = noise(*want.shape, seed=1, dtype=want.dtype)
        assert rel_l2(e.backward(grad, x, mode, backend="cuda"), e.backward(grad, x, mode)) < F32_TOL, mode


@needs_gpu
@pytest.mark.parametrize("n_fft", [64, 400, 1025, 2048])
def test_staged_float64_and_float16(n_fft):
    e, x = stft(n_fft), noise(2, 4 * n_fft, dtype=np.float64)
    for mode in MODES:
        got = e.forward(x, mode, backend="cuda")
        assert got.dtype == (np.complex128 if mode == "complex" else np.float64)
        assert rel_l2(got, e.forward(x, mode)) < F64_TOL, mode
    h = x.astype(np.float16)
    for mode in MODES[1:]:
        got = e.forward(h, mode, backend="cuda")
        assert got.dtype == np.float16 and rel_l2(got, e.forward(h.astype(np.float32), mode)) < F16_TOL, mode
    with pytest.raises(TypeError, match="float16 input is not supported"):
        e.forward(h, "complex", backend="cuda")


@needs_gpu
def test_staged_copies_beyond_the_pinned_buffers_and_silence():
    e, x = stft(512), noise(64, 50000, seed=5)  # 12.8 MB in, ~26 MB out: several 4 MiB chunks each way
    for mode in ("complex", "power"):
        assert rel_l2(e.forward(x, mode, backend="cuda"), e.forward(x, mode)) < F32_TOL
    g = np.ones((64, 257, e.n_frames(50000)), np.float32)
    assert rel_l2(e.backward(g, x, "power", backend="cuda"), e.backward(g, x, "power")) < F32_TOL
    silence = stft(256, True, "constant").forward(np.zeros((1, 1000), np.float32), "db", backend="cuda")
    np.testing.assert_allclose(silence, -100.0, atol=1e-4)  # the dB floor


@needs_gpu
@pytest.mark.parametrize("n_fft", [64, 96, 400, 2048, 8192])
@pytest.mark.parametrize("center", [True, False])
def test_staged_istft_matches_cpu(n_fft, center):
    e, F = istft(n_fft, center), 9
    Z = noise(2, n_fft // 2 + 1, F, seed=2, dtype=np.complex64)
    natural = n_fft // 4 * (F - 1) + n_fft - (n_fft if center else 0)
    for length in (-1, natural // 2, natural + 100):
        got, want = e.forward(Z, length, backend="cuda"), e.forward(Z, length)
        assert got.shape == want.shape and rel_l2(got, want) < F32_TOL
        g = noise(*want.shape, seed=3)
        assert rel_l2(e.backward(g, F, backend="cuda"), e.backward(g, F)) < F32_TOL


def frame_major(t):
    return t.transpose(1, 2).contiguous().transpose(1, 2)


@needs_torch_cuda
@pytest.mark.parametrize("n_fft", [64, 400, 1025, 2048])
def test_resident_stft_matches_cpu(n_fft):
    e, x = stft(n_fft), noise(2, 5 * n_fft)
    xc, stream = torch.from_numpy(x).cuda(), torch.cuda.current_stream().cuda_stream
    for mode in MODES:
        capsule = to_dlpack(xc)
        out, want = from_dlpack(e.forward_dlpack(capsule, mode, stream)), e.forward(x, mode)
        assert '"used_dltensor"' in repr(capsule) and tuple(out.shape) == want.shape
        assert rel_l2(out.cpu().numpy(), want) < F32_TOL, mode
        grad = torch.from_numpy(noise(*want.shape, seed=3, dtype=want.dtype)).cuda()
        if mode == "complex":
            assert out.dtype == torch.complex64 and out.stride() == (want.shape[1] * want.shape[2], 1, want.shape[1])
            with pytest.raises(ValueError, match="^complex gradients must be frame-major spectra$"):
                e.backward_dlpack(to_dlpack(grad), to_dlpack(xc), mode, stream)
        gcap = to_dlpack(frame_major(grad) if mode == "complex" else grad)
        gx = from_dlpack(e.backward_dlpack(gcap, to_dlpack(xc), mode, stream))
        assert rel_l2(gx.cpu().numpy(), e.backward(grad.cpu().numpy(), x, mode)) < F32_TOL, mode
    out64 = from_dlpack(e.forward_dlpack_f64(to_dlpack(xc.double()), "power", stream))
    assert out64.dtype == torch.float64
    assert rel_l2(out64.cpu().numpy(), e.forward(x.astype(np.float64), "power")) < F64_TOL
    for bad, message in ((xc.double(), f"^{BAD_DTYPE}$"), (xc[0], r"^expected a 2-D \(batch, samples\) tensor$"),
                         (xc.cpu(), "not resident on this build's GPU backend")):
        with pytest.raises(ValueError, match=message):
            e.forward_dlpack(to_dlpack(bad), "power", stream)


@needs_torch_cuda
@pytest.mark.parametrize("n_fft", [64, 96, 2048])
def test_resident_istft_matches_cpu(n_fft):
    e, K, F = istft(n_fft), n_fft // 2 + 1, 7
    Z = noise(2, K, F, seed=4, dtype=np.complex64)
    Zc, stream = torch.from_numpy(Z).cuda(), torch.cuda.current_stream().cuda_stream
    with pytest.raises(ValueError, match="^complex spectra must be frame-major$"):
        e.forward_dlpack(to_dlpack(Zc), -1, stream)
    y, want = from_dlpack(e.forward_dlpack(to_dlpack(frame_major(Zc)), -1, stream)), e.forward(Z, -1)
    assert rel_l2(y.cpu().numpy(), want) < F32_TOL
    g = torch.from_numpy(noise(*want.shape, seed=5)).cuda()
    gz = from_dlpack(e.backward_dlpack(to_dlpack(g), F, stream))
    assert gz.stride() == (K * F, 1, K) and rel_l2(gz.cpu().numpy(), e.backward(g.cpu().numpy(), F)) < F32_TOL


@needs_torch_cuda
def test_calls_on_different_streams_do_not_share_scratch_while_queued():
    # One engine, calls queued on two non-blocking streams with a staged call between them: each call's
    # scratch must not be touched until the previous call is done on the device.
    e, streams = stft(1024), (torch.cuda.Stream(), torch.cuda.Stream())
    xs = [noise(64 if i % 2 == 0 else 3, 40_000, seed=10 + i) for i in range(6)]
    results = []
    for i, x in enumerate(xs):
        s = streams[i % 2]
        with torch.cuda.stream(s):
            xc = torch.from_numpy(x).cuda()
            results.append((s, from_dlpack(e.forward_dlpack(to_dlpack(xc), "magnitude", s.cuda_stream))))
        staged = e.forward(xs[0][:2], "magnitude", backend="cuda")
        assert rel_l2(staged, e.forward(xs[0][:2], "magnitude")) < F32_TOL
    for x, (s, out) in zip(xs, results):
        with torch.cuda.stream(s):
            assert rel_l2(out.cpu().numpy(), e.forward(x, "magnitude")) < F32_TOL
