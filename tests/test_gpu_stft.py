"""GPU STFT and ISTFT: the answers without a GPU, the DLPack exchange rules
(checked with hand-made capsules, so they run anywhere), and, where a GPU
exists, the staged and resident paths against the CPU engines."""

import ctypes

import numpy as np
import pytest

import qorva
from qorva import _native
from conftest import rel_l2

HAS_GPU = qorva.gpu_available()
needs_gpu = pytest.mark.skipif(not HAS_GPU, reason="needs a CUDA GPU")
without_gpu = pytest.mark.skipif(HAS_GPU, reason="checks the answers of a machine without a GPU")

MODES = ("complex", "magnitude", "power", "db")


# --- without a GPU --------------------------------------------------------------


@without_gpu
@pytest.mark.parametrize("n_fft", [64, 96, 1025, 8192, 16384])
def test_no_gpu_engine_and_clean_refusals(n_fft):
    stft = qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", True, "reflect")
    flags = ("gpu_supported", "gpu_resident_supported", "gpu_resident_f16_supported", "gpu_staged_f16_supported",
             "gpu_staged_f64_supported", "gpu_resident_f64_supported")
    assert [getattr(stft, f)() for f in flags] == [False] * 6
    capsule = np.zeros((1, 4 * n_fft), np.float32).__dlpack__()
    with pytest.raises(RuntimeError, match="^no resident GPU path for these parameters$"):
        stft.forward_dlpack(capsule, "power", 0)
    with pytest.raises(RuntimeError, match="^no resident GPU path for these parameters$"):
        stft.backward_dlpack(capsule, capsule, "power", 0)
    with pytest.raises(RuntimeError, match="^no resident f64 GPU path for these parameters$"):
        stft.forward_dlpack_f64(capsule, "power")
    if n_fft % 2 == 0:
        istft = qorva.IstftEngine(n_fft, n_fft // 4, n_fft, "hann", True)
        assert [istft.gpu_supported(), istft.gpu_resident_supported(), istft.gpu_resident_f16_supported()] == [
            False] * 3
        with pytest.raises(RuntimeError, match="^no resident GPU path for these parameters$"):
            istft.forward_dlpack(capsule, -1, 0)
        with pytest.raises(RuntimeError, match="^no resident GPU path for these parameters$"):
            istft.backward_dlpack(capsule, 3, 0)
    # The engine still works on the CPU afterwards.
    assert stft.forward(np.ones((1, 2 * n_fft), np.float32), "power").shape[1] == n_fft // 2 + 1


# --- DLPack exchange rules --------------------------------------------------------


class _DLDevice(ctypes.Structure):
    _fields_ = [("device_type", ctypes.c_int32), ("device_id", ctypes.c_int32)]


class _DLDataType(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class _DLTensor(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("device", _DLDevice), ("ndim", ctypes.c_int32), ("dtype", _DLDataType),
                ("shape", ctypes.POINTER(ctypes.c_int64)), ("strides", ctypes.POINTER(ctypes.c_int64)),
                ("byte_offset", ctypes.c_uint64)]


_DELETER = ctypes.CFUNCTYPE(None, ctypes.c_void_p)


class _DLManagedTensor(ctypes.Structure):
    _fields_ = [("dl_tensor", _DLTensor), ("manager_ctx", ctypes.c_void_p), ("deleter", _DELETER)]


_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]
_NAME = ctypes.create_string_buffer(b"dltensor")


class FakeDeviceTensor:
    """A "dltensor" capsule describing a tensor on CUDA device 0 (nothing is
    ever read from its data pointer); counts how often its deleter runs."""

    def __init__(self, shape, strides=None, code=2, bits=32, lanes=1, device_type=2, device_id=0, byte_offset=0):
        self.deleted = 0
        self._shape = (ctypes.c_int64 * max(len(shape), 1))(*shape)
        self._strides = None if strides is None else (ctypes.c_int64 * len(strides))(*strides)

        def deleter(_):
            self.deleted += 1

        self._deleter = _DELETER(deleter)
        self._managed = _DLManagedTensor()
        t = self._managed.dl_tensor
        t.data = 0x1000
        t.device = _DLDevice(device_type, device_id)
        t.ndim = len(shape)
        t.dtype = _DLDataType(code, bits, lanes)
        t.shape = ctypes.cast(self._shape, ctypes.POINTER(ctypes.c_int64))
        t.strides = None if strides is None else ctypes.cast(self._strides, ctypes.POINTER(ctypes.c_int64))
        t.byte_offset = byte_offset
        self._managed.deleter = self._deleter
        self.capsule = _capsule_new(ctypes.addressof(self._managed), _NAME, None)

    @property
    def name(self):
        return _capsule_name(self.capsule).decode()


def test_dlpack_import_accepts_contiguous_and_frame_major_tensors():
    view = _native._dlpack_view(FakeDeviceTensor((2, 1000), byte_offset=64).capsule, 2, 32)
    assert view == {"shape": [2, 1000], "frame_major": False, "half": False, "byte_offset": 64}
    # Explicit C strides, and any stride on axes of extent 1.
    assert not _native._dlpack_view(FakeDeviceTensor((2, 5, 7), strides=(35, 7, 1)).capsule, 2, 32)["frame_major"]
    assert _native._dlpack_view(FakeDeviceTensor((1, 1000), strides=(99, 1)).capsule, 2, 32)["shape"] == [1, 1000]
    # (B, K, F) with strides (K F, 1, K): the frame-major complex spectrum.
    fm = FakeDeviceTensor((2, 33, 9), strides=(33 * 9, 1, 33), code=5, bits=64)
    assert _native._dlpack_view(fm.capsule, 5, 64, complex=True)["frame_major"]
    # Half-width elements only where allowed.
    half = FakeDeviceTensor((2, 100), bits=16)
    assert _native._dlpack_view(half.capsule, 2, 32, allow_half=True)["half"]
    with pytest.raises(ValueError, match="^unexpected tensor dtype for the resident path$"):
        _native._dlpack_view(half.capsule, 2, 32)


@pytest.mark.parametrize(
    "tensor, args, message",
    [
        (dict(shape=(2, 100), device_type=1), (2, 32), "tensor is not resident on this build's GPU backend"),
        (dict(shape=(2, 100), device_id=1), (2, 32), "only GPU device 0 is supported"),
        (dict(shape=(2, 100), bits=64), (2, 32), "unexpected tensor dtype for the resident path"),
        (dict(shape=(2, 100), code=5, bits=64), (2, 32), "unexpected tensor dtype for the resident path"),
        (dict(shape=(2, 100), lanes=2), (2, 32), "unexpected tensor dtype for the resident path"),
        (dict(shape=()), (2, 32), "expected 1-3 dimensions"),
        (dict(shape=(1, 2, 3, 4)), (2, 32), "expected 1-3 dimensions"),
        (dict(shape=(2, 100), strides=(1, 2)), (2, 32), "resident tensors must be contiguous"),
        (dict(shape=(2, 33, 9), strides=(33 * 9, 1, 33)), (2, 32), "resident tensors must be contiguous"),
        (dict(shape=(2, 33, 9), strides=(1, 2, 66), code=5, bits=64), (5, 64, True),
         "complex spectra must be contiguous or frame-major"),
    ],
)
def test_dlpack_import_refusals(tensor, args, message):
    fake = FakeDeviceTensor(**tensor)
    with pytest.raises(ValueError, match=f"^{message}$"):
        _native._dlpack_view(fake.capsule, *args)
    assert fake.name == "dltensor" and fake.deleted == 0  # a refused capsule is left alone


def test_dlpack_consumption_renames_once_and_runs_the_deleter():
    fake = FakeDeviceTensor((2, 100))
    _native._dlpack_view(fake.capsule, 2, 32, consume=True)
    assert fake.name == "used_dltensor" and fake.deleted == 1
    with pytest.raises(ValueError, match="^expected a DLPack 'dltensor' capsule$"):
        _native._dlpack_view(fake.capsule, 2, 32)
    for not_a_capsule in (np.zeros(3, np.float32), None, "dltensor"):
        with pytest.raises(ValueError, match="^expected a DLPack 'dltensor' capsule$"):
            _native._dlpack_view(not_a_capsule, 2, 32)
    assert fake.deleted == 1
    # A host tensor's capsule (NumPy's) is refused for its device.
    with pytest.raises(ValueError, match="not resident on this build's GPU backend"):
        _native._dlpack_view(np.zeros((2, 3), np.float32).__dlpack__(), 2, 32)


# --- with a GPU -------------------------------------------------------------------------

SIZES = [64, 96, 400, 1025, 2048, 8192, 16386]
PADDINGS = [(True, "reflect"), (True, "constant"), (False, "constant")]


def _signal(batch, length, seed=0, dtype=np.float32):
    return np.random.default_rng(seed).standard_normal((batch, length)).astype(dtype)


@needs_gpu
def test_factory_size_classes():
    def stft(n):
        return qorva.StftEngine(n, n // 4, n, "hann", True, "reflect").gpu_supported()

    def istft(n):
        return qorva.IstftEngine(n, n // 4, n, "hann", True).gpu_supported()

    assert [stft(n) for n in (63, 64, 1025, 8192, 16384, 16386)] == [False, True, True, True, False, True]
    assert [istft(n) for n in (62, 64, 96, 1026, 8192, 16384)] == [False, True, True, True, True, False]
    assert not qorva.IstftEngine(1025, 256, 1025, "hann", True).gpu_supported()
    e = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
    assert e.gpu_resident_supported() and e.gpu_staged_f16_supported() and e.gpu_staged_f64_supported()
    assert e.gpu_resident_f64_supported() and not e.gpu_resident_f16_supported()


@needs_gpu
@pytest.mark.parametrize("n_fft", SIZES)
@pytest.mark.parametrize("center, pad_mode", PADDINGS)
def test_staged_stft_matches_cpu(n_fft, center, pad_mode):
    e = qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", center, pad_mode)
    x = _signal(3, 3 * n_fft + 17)
    F = e.n_frames(x.shape[1])
    rng = np.random.default_rng(1)
    for mode in MODES:
        got, want = e.forward(x, mode, backend="cuda"), e.forward(x, mode)
        assert got.dtype == want.dtype and got.shape == want.shape == (3, n_fft // 2 + 1, F)
        assert rel_l2(got, want) < 1e-4, mode
        if mode == "complex":
            grad = (rng.standard_normal(want.shape) + 1j * rng.standard_normal(want.shape)).astype(np.complex64)
        else:
            grad = rng.standard_normal(want.shape).astype(np.float32)
        assert rel_l2(e.backward(grad, x, mode, backend="cuda"), e.backward(grad, x, mode)) < 1e-4, mode


@needs_gpu
@pytest.mark.parametrize("n_fft", [64, 400, 1025, 2048])
def test_staged_float64_and_float16(n_fft):
    e = qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", True, "reflect")
    x = _signal(2, 4 * n_fft, dtype=np.float64)
    for mode in MODES:
        got = e.forward(x, mode, backend="cuda")
        assert got.dtype == (np.complex128 if mode == "complex" else np.float64)
        assert rel_l2(got, e.forward(x, mode)) < 1e-10, mode
    h = x.astype(np.float16)
    for mode in ("magnitude", "power", "db"):
        got = e.forward(h, mode, backend="cuda")
        assert got.dtype == np.float16
        assert rel_l2(got.astype(np.float32), e.forward(h.astype(np.float32), mode)) < 2e-3, mode
    with pytest.raises(TypeError, match="float16 input is not supported"):
        e.forward(h, "complex", backend="cuda")


@needs_gpu
def test_staged_copies_larger_than_the_pinned_buffers():
    # 12.8 MB in, ~26 MB out: several 4 MiB chunks through both pinned buffers.
    e = qorva.StftEngine(512, 128, 512, "hann", True, "reflect")
    x = _signal(64, 50000, seed=5)
    for mode in ("complex", "power"):
        assert rel_l2(e.forward(x, mode, backend="cuda"), e.forward(x, mode)) < 1e-4
    g = np.ones((64, 257, e.n_frames(50000)), np.float32)
    assert rel_l2(e.backward(g, x, "power", backend="cuda"), e.backward(g, x, "power")) < 1e-4


@needs_gpu
def test_db_of_silence_is_the_floor():
    e = qorva.StftEngine(256, 64, 256, "hann", True, "constant")
    out = e.forward(np.zeros((1, 1000), np.float32), "db", backend="cuda")
    np.testing.assert_allclose(out, -100.0, atol=1e-4)


@needs_gpu
@pytest.mark.parametrize("n_fft", [64, 96, 400, 2048, 8192])
@pytest.mark.parametrize("center", [True, False])
def test_staged_istft_matches_cpu(n_fft, center):
    e = qorva.IstftEngine(n_fft, n_fft // 4, n_fft, "hann", center)
    rng = np.random.default_rng(2)
    K, F = n_fft // 2 + 1, 9
    Z = (rng.standard_normal((2, K, F)) + 1j * rng.standard_normal((2, K, F))).astype(np.complex64)
    natural = n_fft // 4 * (F - 1) + n_fft - (n_fft if center else 0)
    for length in (-1, natural // 2, natural + 100):
        got, want = e.forward(Z, length, backend="cuda"), e.forward(Z, length)
        assert got.shape == want.shape and rel_l2(got, want) < 1e-4
        g = rng.standard_normal(want.shape).astype(np.float32)
        assert rel_l2(e.backward(g, F, backend="cuda"), e.backward(g, F)) < 1e-4


try:
    import torch
except ImportError:
    torch = None
needs_torch_cuda = pytest.mark.skipif(
    not HAS_GPU or torch is None or not torch.cuda.is_available(), reason="needs PyTorch with CUDA"
)


def _capsule_of(t):
    return torch.utils.dlpack.to_dlpack(t)


def _frame_major(t):
    """(B, K, F) complex tensor laid out frame-major, as the resident paths take it."""
    return t.transpose(1, 2).contiguous().transpose(1, 2)


@needs_torch_cuda
@pytest.mark.parametrize("n_fft", [64, 400, 1025, 2048])
def test_resident_stft_matches_cpu(n_fft):
    e = qorva.StftEngine(n_fft, n_fft // 4, n_fft, "hann", True, "reflect")
    x = _signal(2, 5 * n_fft)
    xc = torch.from_numpy(x).cuda()
    stream = torch.cuda.current_stream().cuda_stream
    rng = np.random.default_rng(3)
    for mode in MODES:
        capsule = _capsule_of(xc)
        out = torch.utils.dlpack.from_dlpack(e.forward_dlpack(capsule, mode, stream))
        assert _capsule_name(capsule).decode() == "used_dltensor"
        want = e.forward(x, mode)
        assert tuple(out.shape) == want.shape
        if mode == "complex":
            assert out.dtype == torch.complex64 and out.stride() == (want.shape[1] * want.shape[2], 1, want.shape[1])
            grad = torch.from_numpy((rng.standard_normal(want.shape) + 1j * rng.standard_normal(want.shape))
                                    .astype(np.complex64)).cuda()
            with pytest.raises(ValueError, match="^complex gradients must be frame-major spectra$"):
                e.backward_dlpack(_capsule_of(grad.contiguous()), _capsule_of(xc), mode, stream)
            gcap = _capsule_of(_frame_major(grad))
        else:
            grad = torch.from_numpy(rng.standard_normal(want.shape).astype(np.float32)).cuda()
            gcap = _capsule_of(grad)
        assert rel_l2(out.cpu().numpy(), want) < 1e-4, mode
        gx = torch.utils.dlpack.from_dlpack(e.backward_dlpack(gcap, _capsule_of(xc), mode, stream))
        assert rel_l2(gx.cpu().numpy(), e.backward(grad.cpu().numpy(), x, mode)) < 1e-4, mode
    out64 = torch.utils.dlpack.from_dlpack(e.forward_dlpack_f64(_capsule_of(xc.double()), "power", stream))
    assert out64.dtype == torch.float64
    assert rel_l2(out64.cpu().numpy(), e.forward(x.astype(np.float64), "power")) < 1e-10
    with pytest.raises(ValueError, match="^unexpected tensor dtype for the resident path$"):
        e.forward_dlpack(_capsule_of(xc.double()), "power", stream)
    with pytest.raises(ValueError, match="^expected a 2-D \\(batch, samples\\) tensor$"):
        e.forward_dlpack(_capsule_of(xc[0]), "power", stream)
    with pytest.raises(ValueError, match="not resident on this build's GPU backend"):
        e.forward_dlpack(_capsule_of(torch.from_numpy(x)), "power", stream)


@needs_torch_cuda
@pytest.mark.parametrize("n_fft", [64, 96, 2048])
def test_resident_istft_matches_cpu(n_fft):
    e = qorva.IstftEngine(n_fft, n_fft // 4, n_fft, "hann", True)
    rng = np.random.default_rng(4)
    K, F = n_fft // 2 + 1, 7
    Z = (rng.standard_normal((2, K, F)) + 1j * rng.standard_normal((2, K, F))).astype(np.complex64)
    Zc = torch.from_numpy(Z).cuda()
    stream = torch.cuda.current_stream().cuda_stream
    with pytest.raises(ValueError, match="^complex spectra must be frame-major$"):
        e.forward_dlpack(_capsule_of(Zc.contiguous()), -1, stream)
    y = torch.utils.dlpack.from_dlpack(e.forward_dlpack(_capsule_of(_frame_major(Zc)), -1, stream))
    want = e.forward(Z, -1)
    assert rel_l2(y.cpu().numpy(), want) < 1e-4
    g = torch.from_numpy(rng.standard_normal(want.shape).astype(np.float32)).cuda()
    gz = torch.utils.dlpack.from_dlpack(e.backward_dlpack(_capsule_of(g), F, stream))
    assert gz.stride() == (K * F, 1, K)
    assert rel_l2(gz.cpu().numpy(), e.backward(g.cpu().numpy(), F)) < 1e-4
