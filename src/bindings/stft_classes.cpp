// StftEngine and IstftEngine: argument conversion and routing between the CPU
// engines and a GPU engine when one exists.
#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/array_exchange.hpp"
#include "bindings/dlpack_exchange.hpp"
#include "bindings/engine_options.hpp"
#include "bindings/engine_set.hpp"
#include "bindings/module_parts.hpp"
#include "bindings/unlocked.hpp"
#include "gpu/gpu_engines.hpp"
#include "ops/istft.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::bindings {

namespace {

using ops::OutputMode;

class StftHandle : public EngineSet<ops::StftParams<float>, ops::StftParams<double>, gpu::StftGpu> {
public:
    StftHandle(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
               const std::string& pad_mode)
        : StftHandle(frame_options(n_fft, hop_length, win_length, window, center, pad_mode)) {}

    // float16 signals reach the GPU engine's staged half-precision entry for
    // real outputs, float64 its double-precision one where it offers them.
    py::array forward(py::handle y, const std::string& output, const std::string& backend) {
        return route(
            *this, y, backend,
            [&](const auto& p, gpu::StftGpu* gpu) {
                const OutputMode mode = ops::parse_output(output);
                if (is_half_input(y)) {
                    if (gpu == nullptr || !gpu->supports_staged_f16() || mode == OutputMode::complex) {
                        throw py::type_error("float16 input is not supported; cast to float32");
                    }
                    return forward_half(*gpu, y, mode);
                }
                return forward_impl(p, y, mode, gpu);
            },
            {.gpu_double = true, .gpu_half = true});
    }

    py::array backward(py::handle grad, py::handle y, const std::string& output, const std::string& backend) {
        return route(*this, y, backend, [&](const auto& p, gpu::StftGpu* gpu) {
            return backward_impl(p, grad, y, output, gpu);
        });
    }

    int64_t n_frames(int64_t n) const { return single().n_frames(n); }

    // --- resident (DLPack) ---------------------------------------------
    py::object forward_dlpack(py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_output(output);
        return resident_forward_with_mode(engine, y, mode, layout(mode), single(), stream);
    }

    py::object forward_dlpack_f64(py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu* engine = gpu_engine();
        if (engine == nullptr || !engine->supports_resident() || !engine->supports_f64()) {
            throw std::runtime_error("no resident f64 GPU path for these parameters");
        }
        const OutputMode mode = ops::parse_output(output);
        return resident_forward_with_mode(*engine, y, mode, layout(mode), single(), stream, true);
    }

    py::object backward_dlpack(py::handle grad, py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_output(output);
        return resident_backward_with_mode(engine, grad, y, mode, layout(mode), single(), stream);
    }

private:
    explicit StftHandle(const ops::FrameOptions& o)
        : EngineSet(ops::StftParams<float>(o), [o] { return ops::StftParams<double>(o); },
                    [o](const ops::StftParams<float>&) { return gpu::make_stft_gpu(o); }) {}

    SignalLayout layout(OutputMode mode) const {
        return {single().n_bins(), mode == OutputMode::complex, mode == OutputMode::complex};
    }

    // The output array of a forward call: real (B, K, F) C-contiguous, or
    // complex (B, K, F) over frame-major memory.
    template <typename T>
    static py::array new_output(OutputMode mode, py::ssize_t B, py::ssize_t K, py::ssize_t F) {
        if (mode == OutputMode::complex) return frame_major_array<T>(B, K, F);
        return pooled_array<T>({B, K, F});
    }

    // engine == nullptr runs the CPU engine; a GPU engine runs a float32 or
    // (where it offers it) float64 signal through its staged entries.
    template <typename T>
    py::array forward_impl(const ops::StftParams<T>& p, py::handle y, OutputMode mode, gpu::StftGpu* engine) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        py::array out = new_output<T>(mode, B, p.n_bins(), p.n_frames(L));
        const T* src = x.data();
        void* dst = out.mutable_data();
        {
            Unlocked unlocked;
            if (engine == nullptr) {
                ops::stft_forward(p, src, B, L, mode, static_cast<T*>(dst));
            } else if constexpr (std::is_same_v<T, double>) {
                engine->forward_staged_f64(src, B, L, mode, dst);
            } else {
                engine->forward_staged(src, B, L, mode, dst);
            }
        }
        return out;
    }

    py::array forward_half(gpu::StftGpu& engine, py::handle y, OutputMode mode) {
        auto x = py::array::ensure(y, py::array::c_style);
        if (!x) throw py::error_already_set();
        if (x.ndim() != 2) throw std::invalid_argument("expected a 2-D (batch, samples) array");
        const int64_t B = x.shape(0), L = x.shape(1);
        const py::ssize_t K = single().n_bins(), F = single().n_frames(L);
        py::array out(py::dtype("float16"), std::vector<py::ssize_t>{B, K, F});
        const auto* src = static_cast<const uint16_t*>(x.data());
        auto* dst = static_cast<uint16_t*>(out.mutable_data());
        {
            Unlocked unlocked;
            engine.forward_staged_f16(src, B, L, mode, dst);
        }
        return out;
    }

    // engine == nullptr runs the CPU engine.
    template <typename T>
    py::array backward_impl(const ops::StftParams<T>& p, py::handle grad, py::handle y, const std::string& output,
                            gpu::StftGpu* engine) {
        auto x = as_signal<T>(y);
        const OutputMode mode = ops::parse_output(output);
        const int64_t B = x.shape(0), L = x.shape(1);
        const int64_t K = p.n_bins(), F = p.n_frames(L);
        std::optional<SpectrumInput<T>> complex_grad;
        py::array_t<T, py::array::c_style> real_grad;
        if (mode == OutputMode::complex) {
            complex_grad.emplace(grad, K);
            if (complex_grad->batch() != B || complex_grad->frames() != F) {
                throw std::invalid_argument("gradient shape does not match the signal");
            }
        } else {
            real_grad = as_real_gradient<T>(grad, {B, K, F});
        }
        auto out = pooled_array<T>({B, L});
        const T* src = x.data();
        T* dst = out.mutable_data();
        // Read without the lock: a complex gradient is made frame-major there,
        // unless the CPU engine reads it in C order as it lies.
        auto g = [&] {
            return complex_grad ? reinterpret_cast<const T*>(complex_grad->frame_major()) : real_grad.data();
        };
        const T* bin_major = complex_grad ? reinterpret_cast<const T*>(complex_grad->bin_major()) : nullptr;
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(g(), src, B, L, mode, dst); },
            [&] {
                if (bin_major != nullptr) return ops::stft_backward(p, bin_major, src, B, L, mode, dst, true);
                ops::stft_backward(p, g(), src, B, L, mode, dst);
            });
        return out;
    }
};

class IstftHandle : public EngineSet<ops::IstftParams<float>, ops::IstftParams<double>, gpu::IstftGpu> {
public:
    IstftHandle(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center)
        : IstftHandle(ops::FrameOptions{n_fft, hop_length, win_length, parse_window(window), center}) {}

    py::array forward(py::handle Z, int64_t length, const std::string& backend) {
        return route(
            *this, Z, backend,
            [&](const auto& p, gpu::IstftGpu* engine) { return forward_impl(p, Z, length, engine); },
            {.double_refusal = "complex128 input runs on the CPU only; cast to complex64 for "});
    }

    py::array backward(py::handle grad, int64_t n_frames, const std::string& backend) {
        return route(*this, grad, backend, [&](const auto& p, gpu::IstftGpu* engine) {
            return backward_impl(p, grad, n_frames, engine);
        });
    }

    py::object forward_dlpack(py::handle Z, int64_t length, uint64_t stream) {
        const std::array<DeviceInput, 1> inputs{
            DeviceInput{Z, kDlComplex, 64, 3, "expected a 3-D (batch, bins, frames) tensor"}};
        return run_resident(
            resident_engine(), inputs,
            [&](const std::array<TensorView, 1>& v) {
                const auto& p = single();
                if (v[0].shape[1] != p.n_bins()) throw std::invalid_argument("unexpected bin count");
                if (!v[0].frame_major && v[0].shape[1] >= 2 && v[0].shape[2] > 1) {
                    throw std::invalid_argument("complex spectra must be frame-major");
                }
                if (v[0].shape[2] < 1) throw std::invalid_argument("expected at least one frame");
                if (length < 0) length = p.natural_length(v[0].shape[2]);
                check_array_extents("output", {v[0].shape[0], length});  // before the device allocation
                return DeviceOutput{{v[0].shape[0], length}, {}, kDlFloat, width_for(v[0], 32)};
            },
            [&](gpu::IstftGpu& e, const std::array<TensorView, 1>& v) {
                return e.forward_resident(v[0].ref(), v[0].shape[0], v[0].shape[2], length, stream);
            });
    }

    py::object backward_dlpack(py::handle grad, int64_t n_frames, uint64_t stream) {
        const std::array<DeviceInput, 1> inputs{
            DeviceInput{grad, kDlFloat, 32, 2, "expected a 2-D (batch, samples) gradient"}};
        const int64_t K = single().n_bins();
        return run_resident(
            resident_engine(), inputs,
            [&](const std::array<TensorView, 1>& v) {
                if (n_frames < 1) {
                    throw std::invalid_argument("n_frames must be at least 1, got " + std::to_string(n_frames));
                }
                const int64_t B = v[0].shape[0];
                check_array_extents("output", {B, K, n_frames});  // before K * n_frames and the device allocation
                return DeviceOutput{{B, K, n_frames}, {K * n_frames, 1, K}, kDlComplex, width_for(v[0], 64)};
            },
            [&](gpu::IstftGpu& e, const std::array<TensorView, 1>& v) {
                return e.backward_resident(v[0].ref(), v[0].shape[0], v[0].shape[1], n_frames, stream);
            });
    }

private:
    explicit IstftHandle(const ops::FrameOptions& o)
        : EngineSet(ops::IstftParams<float>(o), [o] { return ops::IstftParams<double>(o); },
                    [o](const ops::IstftParams<float>&) { return gpu::make_istft_gpu(o); }) {}

    template <typename T>
    py::array forward_impl(const ops::IstftParams<T>& p, py::handle Z, int64_t length, gpu::IstftGpu* engine) {
        SpectrumInput<T> spec(Z, p.n_bins());
        const int64_t B = spec.batch(), F = spec.frames();
        if (F < 1) throw std::invalid_argument("expected at least one frame");
        if (length < 0) length = p.natural_length(F);
        auto out = pooled_array<T>({B, length});
        T* dst = out.mutable_data();
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.forward_staged(spec.frame_major(), B, F, dst, length); },
            [&] { ops::istft_forward(p, spec.frame_major(), B, F, dst, length); });
        return out;
    }

    template <typename T>
    py::array backward_impl(const ops::IstftParams<T>& p, py::handle grad, int64_t n_frames, gpu::IstftGpu* engine) {
        auto g = as_c_array<T>(grad);
        if (g.ndim() != 2) throw std::invalid_argument("expected a 2-D (batch, samples) gradient");
        if (n_frames < 1) throw std::invalid_argument("n_frames must be at least 1, got " + std::to_string(n_frames));
        const int64_t B = g.shape(0), L = g.shape(1);
        py::array out = frame_major_array<T>(B, p.n_bins(), n_frames);
        const T* src = g.data();
        auto* dst = static_cast<std::complex<T>*>(out.mutable_data());
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(src, B, L, n_frames, dst); },
            [&] { ops::istft_backward(p, src, B, L, n_frames, dst); });
        return out;
    }
};

}  // namespace

void register_stft_classes(py::module_& m) {
    py::class_<StftHandle> stft(m, "StftEngine",
                                "Short-time Fourier transform of (batch, samples) signals with an exact backward pass.");
    add_gpu_flags<StftHandle>(stft);
    stft.def(py::init<int32_t, int32_t, int32_t, py::handle, bool, const std::string&>(), py::arg("n_fft"),
             py::arg("hop_length"), py::arg("win_length"), py::arg("window"), py::arg("center"),
             py::arg("pad_mode"))
        .def("forward", &StftHandle::forward, py::arg("y"), py::arg("output"), py::arg("backend") = "cpu",
             "Spectrum of y (B, L) as a (B, n_fft//2+1, frames) array: 'complex', 'magnitude', 'power' or "
             "'db' (10*log10(max(power, 1e-10))).")
        .def("backward", &StftHandle::backward, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("backend") = "cpu", "Gradient with respect to y of a loss whose gradient for forward(y) is grad.")
        .def("forward_dlpack", &StftHandle::forward_dlpack, py::arg("y"), py::arg("output"), py::arg("stream"),
             "Spectrum of a CUDA tensor y (a DLPack capsule), computed on `stream`; returns a capsule.")
        .def("backward_dlpack", &StftHandle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("stream"), "Gradient with respect to a CUDA tensor y (DLPack capsules), on `stream`.")
        .def("n_frames", &StftHandle::n_frames, py::arg("n"), "Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).")
        .def(
            "gpu_staged_f16_supported",
            [](StftHandle& h) {
                auto* e = h.gpu_engine();
                return e && e->supports_staged_f16();
            },
            "Whether forward with backend='cuda' takes float16 signals (real outputs, returned as float16).")
        .def(
            "gpu_staged_f64_supported",
            [](StftHandle& h) {
                auto* e = h.gpu_engine();
                return e && e->supports_f64();
            },
            "Whether forward with backend='cuda' takes float64 signals (computed in double).")
        .def(
            "gpu_resident_f64_supported",
            [](StftHandle& h) {
                auto* e = h.gpu_engine();
                return e && e->supports_resident() && e->supports_f64();
            },
            "Whether forward_dlpack_f64 runs for these parameters on this machine.")
        .def("forward_dlpack_f64", &StftHandle::forward_dlpack_f64, py::arg("y"), py::arg("output"),
             py::arg("stream") = 0, "forward_dlpack for a float64 CUDA tensor, computed in double precision.");

    py::class_<IstftHandle> istft(m, "IstftEngine", "Inverse STFT by windowed overlap-add, with an exact backward pass.");
    istft.def(py::init<int32_t, int32_t, int32_t, py::handle, bool>(), py::arg("n_fft"), py::arg("hop_length"),
             py::arg("win_length"), py::arg("window"), py::arg("center"))
        .def("forward", &IstftHandle::forward, py::arg("Z"), py::arg("length"), py::arg("backend") = "cpu",
             "Signals (B, length) from complex spectra Z (B, n_fft//2+1, frames); a negative length means the "
             "natural length.")
        .def("backward", &IstftHandle::backward, py::arg("grad"), py::arg("n_frames"), py::arg("backend") = "cpu",
             "Gradient with respect to Z (B, n_fft//2+1, n_frames) of a loss whose gradient for forward is grad.")
        .def("forward_dlpack", &IstftHandle::forward_dlpack, py::arg("Z"), py::arg("length"), py::arg("stream"),
             "Signals from a frame-major complex CUDA spectrum (a DLPack capsule), on `stream`.")
        .def("backward_dlpack", &IstftHandle::backward_dlpack, py::arg("grad"), py::arg("n_frames"),
             py::arg("stream"), "Gradient with respect to the spectrum for a CUDA gradient (DLPack), on `stream`.");
    add_gpu_flags<IstftHandle>(istft);
}

}  // namespace qorva::dsp::bindings
