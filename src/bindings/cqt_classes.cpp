// CqtEngine and ChromaEngine: argument conversion and routing between the CPU
// engines and a GPU engine when one exists.
#include <complex>
#include <cstdint>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/engine_set.hpp"
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

class CqtHandle : public EngineSet<ops::CqtEngine<float>, ops::CqtEngine<double>, gpu::CqtGpu> {
public:
    CqtHandle(double sr, int32_t hop_length, double fmin, int32_t n_bins, int32_t bins_per_octave, double gamma)
        : EngineSet(make_cqt<float>(sr, hop_length, fmin, n_bins, bins_per_octave, gamma),
                    [=] { return make_cqt<double>(sr, hop_length, fmin, n_bins, bins_per_octave, gamma); },
                    [](const ops::CqtEngine<float>& e) { return gpu::make_cqt_gpu(e); }) {}

    py::array forward(py::handle y, const std::string& output, const std::string& backend) {
        return route(*this, y, backend,
                     [&](const auto& e, gpu::CqtGpu* engine) { return forward_impl(e, y, output, engine); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& output, const std::string& backend) {
        return route(*this, y, backend, [&](const auto& e, gpu::CqtGpu* engine) {
            return backward_impl(e, grad, y, output, engine);
        });
    }

    py::object forward_dlpack(py::handle y, const std::string& output, uint64_t stream) {
        gpu::CqtGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_output(output);
        return resident_forward_with_mode(engine, y, mode, layout(mode), single(), stream);
    }

    py::object backward_dlpack(py::handle grad, py::handle y, const std::string& output, uint64_t stream) {
        gpu::CqtGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_output(output);
        return resident_backward_with_mode(engine, grad, y, mode, layout(mode), single(), stream);
    }

    int64_t n_frames(int64_t n) const { return single().n_frames(n); }

private:
    // Complex CQT values are [b][k][f] in memory, as on the CPU.
    SignalLayout layout(OutputMode mode) const { return {single().n_bins(), mode == OutputMode::complex}; }

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
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.forward_staged(src, B, L, mode, dst); },
            [&] { e.forward(src, B, L, mode, static_cast<T*>(dst)); });
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
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(gp, src, B, L, mode, dst); },
            [&] { e.backward(static_cast<const T*>(gp), src, B, L, mode, dst); });
        return out;
    }
};

class ChromaHandle : public EngineSet<ops::ChromaEngine<float>, ops::ChromaEngine<double>, gpu::ChromaGpu> {
public:
    ChromaHandle(double sr, int32_t hop_length, int32_t bins_per_octave, int32_t n_octaves, int32_t n_chroma,
                 double fmin)
        : EngineSet(ops::ChromaEngine<float>(sr, hop_length, bins_per_octave, n_octaves, n_chroma, fmin),
                    [=] { return ops::ChromaEngine<double>(sr, hop_length, bins_per_octave, n_octaves, n_chroma, fmin); },
                    [](const ops::ChromaEngine<float>& e) { return gpu::make_chroma_gpu(e); }) {}

    py::array forward(py::handle y, const std::string& backend) {
        return route(*this, y, backend,
                     [&](const auto& e, gpu::ChromaGpu* engine) { return forward_impl(e, y, engine); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& backend) {
        return route(*this, y, backend, [&](const auto& e, gpu::ChromaGpu* engine) {
            return backward_impl(e, grad, y, engine);
        });
    }

    py::object forward_dlpack(py::handle y, uint64_t stream) {
        return resident_forward(resident_engine(), y, {single().n_chroma()}, single(),
                                [&](gpu::ChromaGpu& e, auto x, int64_t B, int64_t L) {
                                    return e.forward_resident(x, B, L, stream);
                                });
    }

    py::object backward_dlpack(py::handle grad, py::handle y, uint64_t stream) {
        return resident_backward(resident_engine(), grad, y, {single().n_chroma()}, single(),
                                 [&](gpu::ChromaGpu& e, auto g, auto x, int64_t B, int64_t L) {
                                     return e.backward_resident(g, x, B, L, stream);
                                 });
    }

    int64_t n_frames(int64_t n) const { return single().n_frames(n); }

private:

    template <typename T>
    py::array forward_impl(const ops::ChromaEngine<T>& e, py::handle y, gpu::ChromaGpu* engine) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto out = pooled_array<T>({B, e.n_chroma(), e.n_frames(L)});
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.forward_staged(src, B, L, dst); },
            [&] { e.forward(src, B, L, dst); });
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
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(gp, src, B, L, dst); },
            [&] { e.backward(gp, src, B, L, dst); });
        return out;
    }
};

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
        .def("forward_dlpack", &CqtHandle::forward_dlpack, py::arg("y"), py::arg("output"), py::arg("stream"),
             "Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.")
        .def("backward_dlpack", &CqtHandle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("stream"), "Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.")
        .def("n_frames", &CqtHandle::n_frames, py::arg("n"), "Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).");
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
        .def("forward_dlpack", &ChromaHandle::forward_dlpack, py::arg("y"), py::arg("stream"), "Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.")
        .def("backward_dlpack", &ChromaHandle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("stream"),
             "Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.")
        .def("n_frames", &ChromaHandle::n_frames, py::arg("n"), "Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).")
        .def_static("c1_hz", [] { return ops::ChromaEngine<float>::kC1Hz; }, "C1 in Hz (32.703...), the default fmin.");
    add_gpu_flags<ChromaHandle>(chroma);
}

}  // namespace qorva::dsp::bindings
