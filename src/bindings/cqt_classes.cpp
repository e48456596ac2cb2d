// CqtEngine and ChromaEngine: argument conversion and routing between the CPU
// engines and a GPU engine when one exists.
#include <complex>
#include <cstdint>
#include <optional>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/gpu_slot.hpp"
#include "bindings/module_parts.hpp"
#include "gpu/cqt_gpu.hpp"
#include "ops/chroma.hpp"
#include "ops/cqt.hpp"

namespace qorva::dsp::bindings {

namespace {

using ops::OutputMode;

template <typename T>
ops::CqtEngine<T> make_cqt(double sr, int32_t hop_length, double fmin, int32_t n_bins, int32_t bins_per_octave,
                           double gamma) {
    return ops::CqtEngine<T>(ops::CqtConfig{sr, hop_length, fmin, n_bins, bins_per_octave, 1.0, 0.01, gamma});
}

class CqtHandle {
public:
    CqtHandle(double sr, int32_t hop_length, double fmin, int32_t n_bins, int32_t bins_per_octave, double gamma)
        : sr_(sr), hop_(hop_length), fmin_(fmin), n_bins_(n_bins), bpo_(bins_per_octave), gamma_(gamma),
          single_(make_cqt<float>(sr, hop_length, fmin, n_bins, bins_per_octave, gamma)) {}

    const ops::CqtEngine<double>& dbl() {
        if (!double_) double_.emplace(make_cqt<double>(sr_, hop_, fmin_, n_bins_, bpo_, gamma_));
        return *double_;
    }
    gpu::CqtGpu* gpu_engine() {
        return gpu_.get([this] { return gpu::make_cqt_gpu(single_); });
    }

    const ops::CqtEngine<float>& single() const { return single_; }

    py::array forward(py::handle y, const std::string& output, const std::string& backend) {
        return route_by_precision(*this, y, backend,
                                  [&](const auto& e, gpu::CqtGpu* engine) { return forward_impl(e, y, output, engine); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& output, const std::string& backend) {
        return route_by_precision(*this, y, backend, [&](const auto& e, gpu::CqtGpu* engine) {
            return backward_impl(e, grad, y, output, engine);
        });
    }

    int64_t n_frames(int64_t n) const { return single_.n_frames(n); }

private:
    template <typename T>
    py::array forward_impl(const ops::CqtEngine<T>& e, py::handle y, const std::string& output, gpu::CqtGpu* engine) {
        auto x = as_signal<T>(y);
        const OutputMode mode = ops::parse_output(output);
        const int64_t B = x.shape(0), L = x.shape(1);
        const int64_t F = e.n_frames(L);
        py::array out = mode == OutputMode::complex ? py::array(pooled_array<std::complex<T>>({B, e.n_bins(), F}))
                                                    : py::array(pooled_array<T>({B, e.n_bins(), F}));
        const T* src = x.data();
        void* dst = out.mutable_data();
        {
            py::gil_scoped_release unlocked;
            if constexpr (std::is_same_v<T, float>) {
                if (engine) {
                    engine->forward_staged(src, B, L, mode, dst);
                    return out;
                }
            }
            e.forward(src, B, L, mode, static_cast<T*>(dst));
        }
        return out;
    }

    template <typename T>
    py::array backward_impl(const ops::CqtEngine<T>& e, py::handle grad, py::handle y, const std::string& output,
                            gpu::CqtGpu* engine) {
        auto x = as_signal<T>(y);
        const OutputMode mode = ops::parse_output(output);
        const int64_t B = x.shape(0), L = x.shape(1);
        const int64_t F = e.n_frames(L);
        py::array g = mode == OutputMode::complex
                          ? py::array(as_real_gradient<std::complex<T>>(grad, {B, e.n_bins(), F}))
                          : py::array(as_real_gradient<T>(grad, {B, e.n_bins(), F}));
        auto out = pooled_array<T>({B, L});
        const T* src = x.data();
        const void* gp = g.data();
        T* dst = out.mutable_data();
        {
            py::gil_scoped_release unlocked;
            if constexpr (std::is_same_v<T, float>) {
                if (engine) {
                    engine->backward_staged(gp, src, B, L, mode, dst);
                    return out;
                }
            }
            e.backward(src, static_cast<const T*>(gp), B, L, mode, dst);
        }
        return out;
    }

    double sr_;
    int32_t hop_;
    double fmin_;
    int32_t n_bins_, bpo_;
    double gamma_;
    ops::CqtEngine<float> single_;
    std::optional<ops::CqtEngine<double>> double_;
    GpuSlot<gpu::CqtGpu> gpu_;
};

class ChromaHandle {
public:
    ChromaHandle(double sr, int32_t hop_length, int32_t bins_per_octave, int32_t n_octaves, int32_t n_chroma,
                 double fmin)
        : sr_(sr), hop_(hop_length), bpo_(bins_per_octave), n_octaves_(n_octaves), n_chroma_(n_chroma), fmin_(fmin),
          single_(sr, hop_length, bins_per_octave, n_octaves, n_chroma, fmin) {}

    const ops::ChromaEngine<double>& dbl() {
        if (!double_) double_.emplace(sr_, hop_, bpo_, n_octaves_, n_chroma_, fmin_);
        return *double_;
    }
    gpu::ChromaGpu* gpu_engine() {
        return gpu_.get([this] { return gpu::make_chroma_gpu(single_); });
    }

    const ops::ChromaEngine<float>& single() const { return single_; }

    py::array forward(py::handle y, const std::string& backend) {
        return route_by_precision(*this, y, backend,
                                  [&](const auto& e, gpu::ChromaGpu* engine) { return forward_impl(e, y, engine); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& backend) {
        return route_by_precision(*this, y, backend, [&](const auto& e, gpu::ChromaGpu* engine) {
            return backward_impl(e, grad, y, engine);
        });
    }

    int64_t n_frames(int64_t n) const { return single_.n_frames(n); }

private:
    template <typename T>
    py::array forward_impl(const ops::ChromaEngine<T>& e, py::handle y, gpu::ChromaGpu* engine) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto out = pooled_array<T>({B, e.n_chroma(), e.n_frames(L)});
        const T* src = x.data();
        T* dst = out.mutable_data();
        {
            py::gil_scoped_release unlocked;
            if constexpr (std::is_same_v<T, float>) {
                if (engine) {
                    engine->forward_staged(src, B, L, dst);
                    return out;
                }
            }
            e.forward(src, B, L, dst);
        }
        return out;
    }

    template <typename T>
    py::array backward_impl(const ops::ChromaEngine<T>& e, py::handle grad, py::handle y, gpu::ChromaGpu* engine) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto g = as_real_gradient<T>(grad, {B, e.n_chroma(), e.n_frames(L)});
        auto out = pooled_array<T>({B, L});
        const T* src = x.data();
        const T* gp = g.data();
        T* dst = out.mutable_data();
        {
            py::gil_scoped_release unlocked;
            if constexpr (std::is_same_v<T, float>) {
                if (engine) {
                    engine->backward_staged(gp, src, B, L, dst);
                    return out;
                }
            }
            e.backward(src, gp, B, L, dst);
        }
        return out;
    }

    double sr_;
    int32_t hop_, bpo_, n_octaves_, n_chroma_;
    double fmin_;
    ops::ChromaEngine<float> single_;
    std::optional<ops::ChromaEngine<double>> double_;
    GpuSlot<gpu::ChromaGpu> gpu_;
};

[[noreturn]] void resident_exchange_unavailable() {
    throw std::runtime_error("no resident GPU path for these parameters");
}

}  // namespace

void register_cqt(py::module_& m) {
    py::class_<CqtHandle> cqt(m, "CqtEngine",
                              "Constant-Q (variable-Q) transform of (batch, samples) signals with an exact backward "
                              "pass; octaves below the top one run on halfband-decimated signals.");
    cqt.def(py::init<double, int32_t, double, int32_t, int32_t, double>(), py::arg("sr"), py::arg("hop_length"),
            py::arg("fmin"), py::arg("n_bins"), py::arg("bins_per_octave"), py::arg("gamma") = 0.0)
        .def("forward", &CqtHandle::forward, py::arg("y"), py::arg("output"), py::arg("backend") = "cpu",
             "CQT (B, n_bins, frames) of y (B, L): 'complex', 'magnitude', 'power' or 'db'.")
        .def("backward", &CqtHandle::backward, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("backend") = "cpu", "Gradient with respect to y of a loss whose gradient for forward(y) is grad.")
        .def(
            "forward_dlpack",
            [](CqtHandle& h, py::handle, const std::string&, uint64_t) -> py::object {
                require_resident(h.gpu_engine());
                resident_exchange_unavailable();
            },
            py::arg("y"), py::arg("output"), py::arg("stream"))
        .def(
            "backward_dlpack",
            [](CqtHandle& h, py::handle, py::handle, const std::string&, uint64_t) -> py::object {
                require_resident(h.gpu_engine());
                resident_exchange_unavailable();
            },
            py::arg("grad"), py::arg("y"), py::arg("output"), py::arg("stream"))
        .def("n_frames", &CqtHandle::n_frames, py::arg("n"));
    add_gpu_flags<CqtHandle>(cqt);

    py::class_<ChromaHandle> chroma(m, "ChromaEngine",
                                    "Chromagram from the CQT magnitude: pitch classes summed, each frame divided by "
                                    "its largest class; exact backward pass.");
    chroma
        .def(py::init<double, int32_t, int32_t, int32_t, int32_t, double>(), py::arg("sr"), py::arg("hop_length"),
             py::arg("bins_per_octave"), py::arg("n_octaves"), py::arg("n_chroma"), py::arg("fmin"))
        .def("forward", &ChromaHandle::forward, py::arg("y"), py::arg("backend") = "cpu",
             "Chromagram (B, n_chroma, frames) of y (B, L).")
        .def("backward", &ChromaHandle::backward, py::arg("grad"), py::arg("y"), py::arg("backend") = "cpu",
             "Gradient with respect to y of a loss whose gradient for forward(y) is grad.")
        .def(
            "forward_dlpack",
            [](ChromaHandle& h, py::handle, uint64_t) -> py::object {
                require_resident(h.gpu_engine());
                resident_exchange_unavailable();
            },
            py::arg("y"), py::arg("stream"))
        .def(
            "backward_dlpack",
            [](ChromaHandle& h, py::handle, py::handle, uint64_t) -> py::object {
                require_resident(h.gpu_engine());
                resident_exchange_unavailable();
            },
            py::arg("grad"), py::arg("y"), py::arg("stream"))
        .def("n_frames", &ChromaHandle::n_frames, py::arg("n"))
        .def_static("c1_hz", [] { return ops::ChromaEngine<float>::kC1Hz; });
    add_gpu_flags<ChromaHandle>(chroma);
}

}  // namespace qorva::dsp::bindings
