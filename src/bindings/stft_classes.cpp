// StftEngine and IstftEngine: argument conversion and routing between the CPU
// engines and a GPU engine when one exists.
#include <complex>
#include <cstdint>
#include <optional>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/dlpack_exchange.hpp"
#include "bindings/gpu_slot.hpp"
#include "bindings/module_parts.hpp"
#include "bindings/unlocked.hpp"
#include "gpu/gpu_engines.hpp"
#include "ops/istft.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::bindings {

namespace {

using ops::OutputMode;

template <typename T>
ops::StftParams<T> make_stft_params(const gpu::FrameConfig& c) {
    return ops::StftParams<T>(c.n_fft, c.hop_length, c.win_length, c.window, c.center, c.pad_mode);
}

template <typename T>
ops::IstftParams<T> make_istft_params(const gpu::FrameConfig& c) {
    return ops::IstftParams<T>(c.n_fft, c.hop_length, c.win_length, c.window, c.center);
}

class StftHandle : public EngineSet<ops::StftParams<float>, ops::StftParams<double>, gpu::StftGpu> {
public:
    StftHandle(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
               const std::string& pad_mode)
        : StftHandle(gpu::FrameConfig{n_fft, hop_length, win_length, parse_window(window), center,
                                      ops::parse_pad_mode(pad_mode)}) {}

    // --- forward -------------------------------------------------------
    py::array forward(py::handle y, const std::string& output, const std::string& backend) {
        gpu::StftGpu* engine = resolve_backend(*this, backend);
        const OutputMode mode = ops::parse_output(output);
        if (engine && engine->supports_staged_f16() && mode != OutputMode::complex && is_half_input(y)) {
            return forward_half(*engine, y, mode);
        }
        if (is_double_input(y)) {
            if (engine && engine->supports_f64()) return forward_gpu<double>(*engine, y, mode);
            if (backend != "cpu") throw float64_cpu_only(backend);
            return forward_cpu(dbl(), y, mode);
        }
        if (engine) return forward_gpu<float>(*engine, y, mode);
        return forward_cpu(single(), y, mode);
    }

    // --- backward ------------------------------------------------------
    py::array backward(py::handle grad, py::handle y, const std::string& output, const std::string& backend) {
        return route_by_precision(*this, y, backend, [&](const auto& p, gpu::StftGpu* engine) {
            return backward_impl(p, grad, y, output, engine);
        });
    }

    int64_t n_frames(int64_t n) const { return single().n_frames(n); }

    // --- resident (DLPack) ---------------------------------------------
    py::object forward_dlpack(py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu* engine = resident_engine(*this);
        const OutputMode mode = ops::parse_output(output);
        const TensorView v = import_dlpack(y, kDlFloat, 32, gpu::kDlpackDeviceType, false,
                                           engine->supports_resident_f16());
        return forward_resident(*engine, y, v, mode, stream, false);
    }

    py::object forward_dlpack_f64(py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu* engine = gpu_engine();
        if (engine == nullptr || !engine->supports_resident() || !engine->supports_f64()) {
            throw std::runtime_error("no resident f64 GPU path for these parameters");
        }
        const OutputMode mode = ops::parse_output(output);
        const TensorView v = import_dlpack(y, kDlFloat, 64, gpu::kDlpackDeviceType, false, false);
        return forward_resident(*engine, y, v, mode, stream, true);
    }

    py::object backward_dlpack(py::handle grad, py::handle y, const std::string& output, uint64_t stream) {
        gpu::StftGpu* engine = resident_engine(*this);
        const OutputMode mode = ops::parse_output(output);
        const bool complex = mode == OutputMode::complex;
        const bool allow_half = engine->supports_resident_f16();
        const TensorView g = complex ? import_dlpack(grad, kDlComplex, 64, gpu::kDlpackDeviceType, true, allow_half)
                                     : import_dlpack(grad, kDlFloat, 32, gpu::kDlpackDeviceType, false, allow_half);
        const TensorView x = import_dlpack(y, kDlFloat, 32, gpu::kDlpackDeviceType, false, allow_half);
        if (g.half != x.half) throw std::invalid_argument("gradient and signal dtypes must match on the resident path");
        if (x.ndim != 2 || g.ndim != 3) throw std::invalid_argument("unexpected tensor rank");
        if (complex && !g.frame_major && g.shape[1] > 1 && g.shape[2] > 1) {
            throw std::invalid_argument("complex gradients must be frame-major spectra");
        }
        const int64_t B = x.shape[0], L = x.shape[1];
        const int64_t K = single().n_bins(), F = single().n_frames(L);
        if (g.shape[0] != B || g.shape[1] != K || g.shape[2] != F) {
            throw std::invalid_argument("gradient shape does not match the signal");
        }
        void* out;
        {
            Unlocked unlocked;
            out = engine->backward_resident(g.ref(), x.ref(), B, L, mode, stream);
        }
        return finish_resident(out, {grad, y}, {B, L}, {}, kDlFloat, x.half ? 16 : 32);
    }

private:
    py::object forward_resident(gpu::StftGpu& engine, py::handle y, const TensorView& v, OutputMode mode,
                                uint64_t stream, bool dbl) {
        if (v.ndim != 2) throw std::invalid_argument("expected a 2-D (batch, samples) tensor");
        const int64_t B = v.shape[0], L = v.shape[1];
        const int64_t K = single().n_bins(), F = single().n_frames(L);
        void* out;
        {
            Unlocked unlocked;
            out = engine.forward_resident(v.ref(dbl), B, L, mode, stream);
        }
        const int scale = dbl ? 2 : (v.half ? 0 : 1);  // element width relative to float32
        if (mode == OutputMode::complex) {
            return finish_resident(out, {y}, {B, K, F}, {K * F, 1, K}, kDlComplex,
                                   static_cast<uint8_t>(scale == 0 ? 32 : 64 * scale));
        }
        return finish_resident(out, {y}, {B, K, F}, {}, kDlFloat, static_cast<uint8_t>(scale == 0 ? 16 : 32 * scale));
    }

    explicit StftHandle(const gpu::FrameConfig& c)
        : EngineSet(make_stft_params<float>(c), [c] { return make_stft_params<double>(c); },
                    [c](const ops::StftParams<float>&) { return gpu::make_stft_gpu(c); }) {}

    // The output array of a forward call: real (B, K, F) C-contiguous, or
    // complex (B, K, F) over frame-major memory.
    template <typename T>
    static py::array new_output(OutputMode mode, py::ssize_t B, py::ssize_t K, py::ssize_t F) {
        if (mode == OutputMode::complex) return frame_major_array<T>(B, K, F);
        return pooled_array<T>({B, K, F});
    }

    template <typename T>
    py::array forward_cpu(const ops::StftParams<T>& p, py::handle y, OutputMode mode) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        const int64_t F = p.n_frames(L);
        py::array out = new_output<T>(mode, B, p.n_bins(), F);
        const T* src = x.data();
        T* dst = static_cast<T*>(out.mutable_data());
        {
            Unlocked unlocked;
            ops::stft_forward(p, src, B, L, mode, dst);
        }
        return out;
    }

    // Staged GPU forward of a float32 or (where the engine offers it) float64 signal.
    template <typename T>
    py::array forward_gpu(gpu::StftGpu& engine, py::handle y, OutputMode mode) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        py::array out = new_output<T>(mode, B, single().n_bins(), single().n_frames(L));
        const T* src = x.data();
        void* dst = out.mutable_data();
        {
            Unlocked unlocked;
            if constexpr (std::is_same_v<T, double>) {
                engine.forward_staged_f64(src, B, L, mode, dst);
            } else {
                engine.forward_staged(src, B, L, mode, dst);
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
        // Read without the lock: a complex gradient is made frame-major there.
        auto g = [&] {
            return complex_grad ? reinterpret_cast<const T*>(complex_grad->frame_major()) : real_grad.data();
        };
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(g(), src, B, L, mode, dst); },
            [&] { ops::stft_backward(p, g(), B, L, mode, src, dst); });
        return out;
    }
};

class IstftHandle : public EngineSet<ops::IstftParams<float>, ops::IstftParams<double>, gpu::IstftGpu> {
public:
    IstftHandle(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center)
        : IstftHandle(gpu::FrameConfig{n_fft, hop_length, win_length, parse_window(window), center,
                                       ops::PadMode::constant}) {}

    py::array forward(py::handle Z, int64_t length, const std::string& backend) {
        return route_by_precision(
            *this, Z, backend,
            [&](const auto& p, gpu::IstftGpu* engine) { return forward_impl(p, Z, length, engine); },
            "complex128 input runs on the CPU only; cast to complex64 for ");
    }

    py::array backward(py::handle grad, int64_t n_frames, const std::string& backend) {
        return route_by_precision(*this, grad, backend, [&](const auto& p, gpu::IstftGpu* engine) {
            return backward_impl(p, grad, n_frames, engine);
        });
    }

    py::object forward_dlpack(py::handle Z, int64_t length, uint64_t stream) {
        gpu::IstftGpu* engine = resident_engine(*this);
        const TensorView v = import_dlpack(Z, kDlComplex, 64, gpu::kDlpackDeviceType, true,
                                           engine->supports_resident_f16());
        if (v.ndim != 3) throw std::invalid_argument("expected a 3-D (batch, bins, frames) tensor");
        const auto& p = single();
        if (v.shape[1] != p.n_bins()) throw std::invalid_argument("unexpected bin count");
        if (!v.frame_major && v.shape[1] >= 2 && v.shape[2] > 1) {
            throw std::invalid_argument("complex spectra must be frame-major");
        }
        const int64_t B = v.shape[0], F = v.shape[2];
        if (F < 1) throw std::invalid_argument("expected at least one frame");
        if (length < 0) length = p.natural_length(F);
        check_array_extents("output", {B, length});  // before the device allocation
        void* out;
        {
            Unlocked unlocked;
            out = engine->forward_resident(v.ref(), B, F, length, stream);
        }
        return finish_resident(out, {Z}, {B, length}, {}, kDlFloat, v.half ? 16 : 32);
    }

    py::object backward_dlpack(py::handle grad, int64_t n_frames, uint64_t stream) {
        gpu::IstftGpu* engine = resident_engine(*this);
        const TensorView v = import_dlpack(grad, kDlFloat, 32, gpu::kDlpackDeviceType, false,
                                           engine->supports_resident_f16());
        if (v.ndim != 2) throw std::invalid_argument("expected a 2-D (batch, samples) gradient");
        if (n_frames < 1) throw std::invalid_argument("n_frames must be at least 1, got " + std::to_string(n_frames));
        const int64_t B = v.shape[0], L = v.shape[1], K = single().n_bins();
        check_array_extents("output", {B, K, n_frames});  // before K * n_frames and the device allocation
        void* out;
        {
            Unlocked unlocked;
            out = engine->backward_resident(v.ref(), B, L, n_frames, stream);
        }
        return finish_resident(out, {grad}, {B, K, n_frames}, {K * n_frames, 1, K}, kDlComplex, v.half ? 32 : 64);
    }

private:
    explicit IstftHandle(const gpu::FrameConfig& c)
        : EngineSet(make_istft_params<float>(c), [c] { return make_istft_params<double>(c); },
                    [c](const ops::IstftParams<float>&) { return gpu::make_istft_gpu(c); }) {}

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
        .def("n_frames", &StftHandle::n_frames, py::arg("n"))
        .def("gpu_staged_f16_supported",
             [](StftHandle& h) {
                 auto* e = h.gpu_engine();
                 return e && e->supports_staged_f16();
             })
        .def("gpu_staged_f64_supported",
             [](StftHandle& h) {
                 auto* e = h.gpu_engine();
                 return e && e->supports_f64();
             })
        .def("gpu_resident_f64_supported",
             [](StftHandle& h) {
                 auto* e = h.gpu_engine();
                 return e && e->supports_resident() && e->supports_f64();
             })
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
