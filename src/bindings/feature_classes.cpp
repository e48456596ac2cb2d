// The frame-feature engine classes: SpectralMomentsEngine, RmsEngine,
// SpectralFluxEngine, OnsetStrengthEngine, TempogramEngine and MfccEngine.  They share one
// handle over their engine family and one member set.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "bindings/array_exchange.hpp"
#include "bindings/engine_options.hpp"
#include "bindings/engine_set.hpp"
#include "bindings/module_parts.hpp"
#include "gpu/feature_gpu.hpp"
#include "ops/flux.hpp"
#include "ops/mfcc.hpp"
#include "ops/moments.hpp"
#include "ops/onset.hpp"
#include "ops/rms.hpp"
#include "ops/tempogram.hpp"

namespace qorva::dsp::bindings {

namespace {

// A feature class over the engines Engine<float> and Engine<double>, whose
// output has `rows` values per frame.  `output` is accepted for symmetry with
// the spectrogram classes and changes nothing: every feature has a single form.
template <template <typename> class Engine>
class FeatureHandle : public EngineSet<Engine<float>, Engine<double>, gpu::FeatureGpu> {
    using Base = EngineSet<Engine<float>, Engine<double>, gpu::FeatureGpu>;

public:
    // Builds both precisions' engines from `options` (the double one on first
    // use) and the GPU engine through `make_gpu`.
    template <typename Options, typename... Extra>
    FeatureHandle(int64_t rows, std::shared_ptr<gpu::FeatureGpu> (*make_gpu)(const Options&, Extra...),
                  const Options& options, Extra... extra)
        : Base(
              Engine<float>(options, extra...), [=] { return Engine<double>(options, extra...); },
              [=](const Engine<float>&) { return make_gpu(options, extra...); }, kTransformRefusal),
          rows_(rows) {}

    py::array forward(py::handle y, const std::string& /*output*/, const std::string& backend) {
        return route(*this, y, backend, [&](const auto& e, gpu::FeatureGpu* gpu) { return forward_impl(e, y, gpu); });
    }

    py::array backward(py::handle grad, py::handle y, const std::string& /*output*/, const std::string& backend) {
        return route(*this, y, backend,
                     [&](const auto& e, gpu::FeatureGpu* gpu) { return backward_impl(e, grad, y, gpu); });
    }

    py::object forward_dlpack(py::handle y, const std::string& /*output*/, uint64_t stream) {
        return resident_forward(this->resident_engine(), y, {rows_}, this->single(),
                                [&](gpu::FeatureGpu& e, auto x, int64_t B, int64_t L) {
                                    return e.forward_resident(x, B, L, stream);
                                });
    }

    py::object backward_dlpack(py::handle grad, py::handle y, const std::string& /*output*/, uint64_t stream) {
        return resident_backward(this->resident_engine(), grad, y, {rows_}, this->single(),
                                 [&](gpu::FeatureGpu& e, auto g, auto x, int64_t B, int64_t L) {
                                     return e.backward_resident(g, x, B, L, stream);
                                 });
    }

    int64_t n_frames(int64_t n) const { return this->single().n_frames(n); }

private:

    template <typename T>
    py::array forward_impl(const Engine<T>& engine, py::handle y, gpu::FeatureGpu* gpu) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto out = pooled_array<T>({B, rows_, engine.n_frames(L)});
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            gpu, [&](auto& staged) { staged.forward_staged(src, B, L, dst); },
            [&] { engine.forward(src, B, L, dst); });
        return out;
    }

    template <typename T>
    py::array backward_impl(const Engine<T>& engine, py::handle grad, py::handle y, gpu::FeatureGpu* gpu) {
        auto x = as_signal<T>(y);
        const int64_t B = x.shape(0), L = x.shape(1);
        auto g = as_real_gradient<T>(grad, {B, rows_, engine.n_frames(L)});
        auto out = pooled_array<T>({B, L});
        const T* gp = g.data();
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            gpu, [&](auto& staged) { staged.backward_staged(gp, src, B, L, dst); },
            [&] { engine.backward(gp, src, B, L, dst); });
        return out;
    }

    int64_t rows_;
};

using MomentsHandle = FeatureHandle<ops::MomentsEngine>;
using RmsHandle = FeatureHandle<ops::RmsEngine>;
using FluxHandle = FeatureHandle<ops::FluxEngine>;
using OnsetHandle = FeatureHandle<ops::OnsetEngine>;
using TempogramHandle = FeatureHandle<ops::TempogramEngine>;
using MfccHandle = FeatureHandle<ops::MfccEngine>;

// MFCCs have no GPU engine: their classes refuse GPU backends.
std::shared_ptr<gpu::FeatureGpu> no_mfcc_gpu(const ops::MfccOptions&) { return nullptr; }

int32_t feature_code(const std::string& name) {
    for (int32_t k = 0; k < ops::kMomentFeatureCount; ++k) {
        if (name == ops::kMomentFeatureNames[k]) return k;
    }
    throw std::invalid_argument(
        "feature must be one of ('centroid', 'bandwidth', 'skewness', 'kurtosis', 'flatness', 'slope', "
        "'decrease', 'crest', 'entropy'); got '" +
        name + "'");
}

template <typename Handle>
void add_common_members(py::class_<Handle>& cls) {
    cls.def("forward", &Handle::forward, py::arg("y"), py::arg("output"), py::arg("backend") = "cpu",
            "Feature of y (B, L) as a (B, rows, frames) array; `output` is accepted and ignored.")
        .def("backward", &Handle::backward, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("backend") = "cpu",
             "Gradient (B, L) with respect to y of a loss whose gradient for forward(y) is grad.")
        .def("forward_dlpack", &Handle::forward_dlpack, py::arg("y"), py::arg("output"), py::arg("stream"),
             "Forward of a (batch, samples) CUDA tensor y (a DLPack capsule), queued on `stream` (a cudaStream_t as an integer, 0 for the legacy stream); returns a capsule of the result. RuntimeError without a resident GPU engine.")
        .def("backward_dlpack", &Handle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("stream"), "Gradient with respect to a CUDA tensor y (DLPack capsules for grad and y), queued on `stream`; returns a capsule. RuntimeError without a resident GPU engine.")
        .def("n_frames", &Handle::n_frames, py::arg("n"), "Number of frames for a signal of n samples (ValueError for a negative n, or n < n_fft with center=False).");
    add_gpu_flags<Handle>(cls);
}

}  // namespace

void register_features(py::module_& m) {
    py::class_<MomentsHandle> moments(
        m, "SpectralMomentsEngine",
        "Per-frame spectral statistics (centroid, bandwidth, skewness, kurtosis, flatness, slope, decrease, "
        "crest, entropy) of (batch, samples) signals with an exact backward pass.");
    moments.def(py::init([](double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                            bool center, const std::string& pad_mode, const std::vector<std::string>& features) {
                    ops::MomentsParams p{frame_options(n_fft, hop_length, win_length, window, center, pad_mode), sr};
                    p.features.reserve(features.size());
                    for (const std::string& name : features) p.features.push_back(feature_code(name));
                    return MomentsHandle(static_cast<int64_t>(p.features.size()), gpu::make_moments_gpu, p);
                }),
                py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
                py::arg("center"), py::arg("pad_mode"), py::arg("features"));
    add_common_members(moments);

    py::class_<RmsHandle> rms(m, "RmsEngine",
                              "Frame-wise root-mean-square energy of (batch, samples) signals, shape (B, 1, frames), "
                              "with an exact backward pass.");
    rms.def(py::init([](int32_t frame_length, int32_t hop_length, bool center, const std::string& pad_mode) {
                const ops::RmsParams p{frame_length, hop_length, center, ops::parse_pad_mode(pad_mode)};
                return RmsHandle(1, gpu::make_rms_gpu, p);
            }),
            py::arg("frame_length"), py::arg("hop_length"), py::arg("center"), py::arg("pad_mode"));
    add_common_members(rms);

    py::class_<FluxHandle> flux(m, "SpectralFluxEngine",
                                "Spectral flux (norm of the rectified increase of the STFT magnitude) per frame, "
                                "shape (B, 1, frames), with an exact backward pass.");
    flux.def(py::init([](int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
                         const std::string& pad_mode) {
                 return FluxHandle(1, gpu::make_flux_gpu,
                                   frame_options(n_fft, hop_length, win_length, window, center, pad_mode));
             }),
             py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"), py::arg("center"),
             py::arg("pad_mode"));
    add_common_members(flux);

    py::class_<OnsetHandle> onset(m, "OnsetStrengthEngine",
                                  "Onset strength (mean rectified rise of the mel power in dB) per frame, shape "
                                  "(B, 1, frames), with an exact backward pass.");
    onset.def(py::init([](double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                          bool center, const std::string& pad_mode, int32_t n_mels, double fmin, double fmax,
                          const std::string& mel_scale, const std::string& mel_norm) {
                  return OnsetHandle(1, gpu::make_onset_gpu,
                                     mel_options(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels,
                                                 fmin, fmax, mel_scale, mel_norm));
              }),
              py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
              py::arg("center"), py::arg("pad_mode"), py::arg("n_mels"), py::arg("fmin"), py::arg("fmax"),
              py::arg("mel_scale"), py::arg("mel_norm"));
    add_common_members(onset);

    py::class_<TempogramHandle> tempogram(m, "TempogramEngine",
                                          "Autocorrelation tempogram of the onset strength, shape (B, tempo_win, "
                                          "frames), with an exact backward pass.");
    tempogram.def(py::init([](double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                              bool center, const std::string& pad_mode, int32_t n_mels, double fmin, double fmax,
                              const std::string& mel_scale, const std::string& mel_norm, int32_t tempo_win) {
                      return TempogramHandle(tempo_win, gpu::make_tempogram_gpu,
                                             mel_options(sr, n_fft, hop_length, win_length, window, center,
                                                         pad_mode, n_mels, fmin, fmax, mel_scale, mel_norm),
                                             tempo_win);
                  }),
                  py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
                  py::arg("center"), py::arg("pad_mode"), py::arg("n_mels"), py::arg("fmin"), py::arg("fmax"),
                  py::arg("mel_scale"), py::arg("mel_norm"), py::arg("tempo_win"));
    add_common_members(tempogram);

    py::class_<MfccHandle> mfcc(m, "MfccEngine",
                                "Mel-frequency cepstral coefficients (orthonormal DCT-II of the dB mel power "
                                "spectrogram, floored top_db below the loudest value of the call, liftered), shape "
                                "(B, n_mfcc, frames), with an exact backward pass.");
    mfcc.def(py::init([](double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                         bool center, const std::string& pad_mode, int32_t n_mels, double fmin, double fmax,
                         const std::string& mel_scale, const std::string& mel_norm, int32_t n_mfcc, double top_db,
                         double lifter) {
                 const ops::MfccOptions o{mel_options(sr, n_fft, hop_length, win_length, window, center, pad_mode,
                                                      n_mels, fmin, fmax, mel_scale, mel_norm),
                                          n_mfcc, top_db, lifter};
                 return MfccHandle(n_mfcc, no_mfcc_gpu, o);
             }),
             py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
             py::arg("center"), py::arg("pad_mode"), py::arg("n_mels"), py::arg("fmin"), py::arg("fmax"),
             py::arg("mel_scale"), py::arg("mel_norm"), py::arg("n_mfcc"), py::arg("top_db"), py::arg("lifter"));
    add_common_members(mfcc);
}

}  // namespace qorva::dsp::bindings
