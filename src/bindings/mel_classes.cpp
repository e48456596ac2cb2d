// MelEngine and the mel-scale functions hz_to_mel, mel_to_hz, mel_filterbank.
#include <cstdint>
#include <optional>
#include <string>

#include "bindings/array_exchange.hpp"
#include "bindings/engine_options.hpp"
#include "bindings/engine_set.hpp"
#include "bindings/module_parts.hpp"
#include "gpu/gpu_engines.hpp"
#include "ops/mel.hpp"

namespace qorva::dsp::bindings {

namespace {

using ops::OutputMode;

class MelHandle : public EngineSet<ops::MelParams<float>, ops::MelParams<double>, gpu::MelGpu> {
public:
    MelHandle(double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
              const std::string& pad_mode, int32_t n_mels, double fmin, double fmax, const std::string& mel_scale,
              const std::string& mel_norm)
        : MelHandle(mel_options(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels, fmin, fmax,
                                mel_scale, mel_norm)) {}

    py::array forward(py::handle y, const std::string& output, const std::string& backend) {
        return route(*this, y, backend,
                     [&](const auto& p, gpu::MelGpu* engine) { return forward_impl(p, y, output, engine); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& output, const std::string& backend) {
        return route(*this, y, backend, [&](const auto& p, gpu::MelGpu* engine) {
            return backward_impl(p, grad, y, output, engine);
        });
    }

    py::object forward_dlpack(py::handle y, const std::string& output, uint64_t stream) {
        gpu::MelGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_mel_output(output);
        return resident_forward_with_mode(engine, y, mode, {single().n_mels}, single(), stream);
    }

    py::object backward_dlpack(py::handle grad, py::handle y, const std::string& output, uint64_t stream) {
        gpu::MelGpu& engine = resident_engine();
        const OutputMode mode = ops::parse_mel_output(output);
        return resident_backward_with_mode(engine, grad, y, mode, {single().n_mels}, single(), stream);
    }

    int64_t n_frames(int64_t n) const { return single().n_frames(n); }

private:
    explicit MelHandle(const ops::MelOptions& o)
        : EngineSet(ops::MelParams<float>(o), [o] { return ops::MelParams<double>(o); },
                    [o](const ops::MelParams<float>&) { return gpu::make_mel_gpu(o); }) {}


    template <typename T>
    py::array forward_impl(const ops::MelParams<T>& p, py::handle y, const std::string& output, gpu::MelGpu* engine) {
        auto x = as_signal<T>(y);
        const OutputMode mode = ops::parse_mel_output(output);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto out = pooled_array<T>({B, p.n_mels, p.n_frames(L)});
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.forward_staged(src, B, L, mode, dst); },
            [&] { ops::mel_forward(p, src, B, L, mode, dst); });
        return out;
    }

    template <typename T>
    py::array backward_impl(const ops::MelParams<T>& p, py::handle grad, py::handle y, const std::string& output,
                            gpu::MelGpu* engine) {
        auto g_any = as_c_array<T>(grad);
        auto x = as_signal<T>(y);
        const OutputMode mode = ops::parse_mel_output(output);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto g = as_real_gradient<T>(g_any, {B, p.n_mels, p.n_frames(L)});
        auto out = pooled_array<T>({B, L});
        const T* gp = g.data();
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            engine, [&](auto& gpu) { gpu.backward_staged(gp, src, B, L, mode, dst); },
            [&] { ops::mel_backward(p, gp, src, B, L, mode, dst); });
        return out;
    }
};

py::array mel_filterbank(double sr, int32_t n_fft, int32_t n_mels, double fmin, double fmax, const std::string& scale,
                         const std::string& norm) {
    const ops::MelNorm mel_norm = ops::parse_mel_norm(norm);  // norm is checked first
    const ops::MelScale mel_scale = ops::parse_mel_scale(scale);
    // The dense result's size is checked before any band is built.
    if (n_fft >= 1 && n_mels >= 0) check_array_extents("filterbank", {n_mels, n_fft / 2 + 1});
    const auto bands = ops::build_mel_bands<float>(sr, n_fft, n_mels, fmin, fmax, mel_scale, mel_norm);
    const py::ssize_t K = n_fft / 2 + 1;
    auto dense = pooled_array<float>({n_mels, K});
    float* d = dense.mutable_data();
    std::fill(d, d + static_cast<std::size_t>(n_mels) * K, 0.0f);
    for (int32_t m = 0; m < n_mels; ++m) {
        std::copy(bands[m].weights.begin(), bands[m].weights.end(), d + m * K + bands[m].start);
    }
    return dense;
}

}  // namespace

void register_mel(py::module_& m) {
    py::class_<MelHandle> mel(m, "MelEngine", "Mel spectrogram of (batch, samples) signals with an exact backward pass.");
    mel.def(py::init<double, int32_t, int32_t, int32_t, py::handle, bool, const std::string&, int32_t, double, double,
                      const std::string&, const std::string&>(),
             py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
             py::arg("center"), py::arg("pad_mode"), py::arg("n_mels"), py::arg("fmin"), py::arg("fmax"),
             py::arg("mel_scale"), py::arg("mel_norm"))
        .def("forward", &MelHandle::forward, py::arg("y"), py::arg("output"), py::arg("backend") = "cpu",
             "Mel spectrogram (B, n_mels, frames) of y (B, L): 'power', 'magnitude' or 'db' "
             "(10*log10(max(mel power, 1e-10))).")
        .def("backward", &MelHandle::backward, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("backend") = "cpu", "Gradient with respect to y of a loss whose gradient for forward(y) is grad.")
        .def("forward_dlpack", &MelHandle::forward_dlpack, py::arg("y"), py::arg("output"), py::arg("stream"),
             "Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.")
        .def("backward_dlpack", &MelHandle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("stream"), "Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.")
        .def("n_frames", &MelHandle::n_frames, py::arg("n"), "Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).");
    add_gpu_flags<MelHandle>(mel);

    m.def(
        "hz_to_mel", [](double hz, const std::string& scale) { return ops::hz_to_mel(hz, ops::parse_mel_scale(scale)); },
        py::arg("hz"), py::arg("scale"), py::pos_only(), "Frequency in Hz to mel ('slaney' or 'htk' scale).");
    m.def(
        "mel_to_hz", [](double mel, const std::string& scale) { return ops::mel_to_hz(mel, ops::parse_mel_scale(scale)); },
        py::arg("mel"), py::arg("scale"), py::pos_only(), "Mel value to Hz ('slaney' or 'htk' scale).");
    m.def("mel_filterbank", &mel_filterbank, py::arg("sr"), py::arg("n_fft"), py::arg("n_mels"), py::arg("fmin"),
          py::arg("fmax"), py::arg("scale"), py::arg("norm"),
          "Dense (n_mels, n_fft//2+1) float32 mel filterbank, as used by MelEngine.");
}

}  // namespace qorva::dsp::bindings
