// The frame-feature engine classes: SpectralMomentsEngine, RmsEngine,
// SpectralFluxEngine, OnsetStrengthEngine and TempogramEngine.  They share one
// member set and one routing scheme (FeatureHandle); each handle owns the
// single-precision CPU engine, builds the double-precision one on the first
// float64 call and probes its GPU factory once, on first need.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "bindings/array_exchange.hpp"
#include "bindings/gpu_slot.hpp"
#include "bindings/module_parts.hpp"
#include "gpu/feature_gpu.hpp"
#include "ops/flux.hpp"
#include "ops/moments.hpp"
#include "ops/onset.hpp"
#include "ops/rms.hpp"
#include "ops/tempogram.hpp"

namespace qorva::dsp::bindings {

namespace {

using FeatureFactory = std::function<std::shared_ptr<gpu::FeatureGpu>()>;

// Routing shared by the five classes.  Derived supplies rows() (output rows
// per frame), engine<T>() (the CPU engine of a precision) and the engine
// calls run_forward / run_backward.
template <typename Derived>
class FeatureHandle {
public:
    // `output` is accepted for symmetry with the spectrogram classes and
    // changes nothing: every feature has a single form.
    py::array forward(py::handle y, const std::string& /*output*/, const std::string& backend) {
        if (is_double_input(y)) {
            if (backend != "cpu") throw float64_cpu_only(backend);
            return forward_impl<double>(y, nullptr);
        }
        return forward_impl<float>(y, resolve(backend));
    }

    py::array backward(py::handle grad, py::handle y, const std::string& /*output*/, const std::string& backend) {
        if (is_double_input(y)) {
            if (backend != "cpu") throw float64_cpu_only(backend);
            return backward_impl<double>(grad, y, nullptr);
        }
        return backward_impl<float>(grad, y, resolve(backend));
    }

    int64_t n_frames(int64_t n) { return self().template engine<float>().n_frames(n); }

    gpu::FeatureGpu* gpu_engine() { return gpu_.get(factory_); }

    py::object forward_dlpack(py::handle, const std::string&, uint64_t) {
        refuse_resident();
    }
    py::object backward_dlpack(py::handle, py::handle, const std::string&, uint64_t) {
        refuse_resident();
    }

protected:
    explicit FeatureHandle(FeatureFactory factory) : factory_(std::move(factory)) {}

private:
    Derived& self() { return static_cast<Derived&>(*this); }

    // The feature classes name the transform, not the parameters, when a GPU
    // backend has no engine for them.
    gpu::FeatureGpu* resolve(const std::string& backend) {
        return resolve_backend(*this, backend, " backend does not support this transform");
    }

    template <typename T>
    py::array forward_impl(py::handle y, gpu::FeatureGpu* gpu) {
        auto x = as_signal<T>(y);
        const auto& engine = self().template engine<T>();
        const int64_t B = x.shape(0), L = x.shape(1);
        auto out = pooled_array<T>({B, self().rows(), engine.n_frames(L)});
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            gpu, [&](auto& staged) { staged.forward_staged(src, B, L, dst); },
            [&] { Derived::run_forward(engine, src, B, L, dst); });
        return out;
    }

    template <typename T>
    py::array backward_impl(py::handle grad, py::handle y, gpu::FeatureGpu* gpu) {
        auto x = as_signal<T>(y);
        const auto& engine = self().template engine<T>();
        const int64_t B = x.shape(0), L = x.shape(1);
        auto g = as_real_gradient<T>(grad, {B, self().rows(), engine.n_frames(L)});
        auto out = pooled_array<T>({B, L});
        const T* gp = g.data();
        const T* src = x.data();
        T* dst = out.mutable_data();
        run_unlocked<T>(
            gpu, [&](auto& staged) { staged.backward_staged(gp, src, B, L, dst); },
            [&] { Derived::run_backward(engine, gp, src, B, L, dst); });
        return out;
    }

    FeatureFactory factory_;
    GpuSlot<gpu::FeatureGpu> gpu_;
};

// CPU engines of the one-value-per-frame families, built from the record the
// handle keeps.
template <typename T>
ops::RmsEngine<T> make_engine(const ops::RmsParams& p) {
    return ops::RmsEngine<T>(p);
}
template <typename T>
ops::FluxEngine<T> make_engine(const gpu::FrameConfig& c) {
    return ops::FluxEngine<T>(c.n_fft, c.hop_length, c.win_length, c.window, c.center, c.pad_mode);
}
template <typename T>
ops::MelParams<T> make_mel_params(const gpu::MelConfig& c) {
    const gpu::FrameConfig& f = c.frame;
    return ops::MelParams<T>(f.n_fft, f.hop_length, f.win_length, f.window, f.center, f.pad_mode, c.sr, c.n_mels,
                             c.fmin, c.fmax, c.mel_scale, c.mel_norm);
}
template <typename T>
ops::OnsetEngine<T> make_engine(const gpu::MelConfig& c) {
    return ops::OnsetEngine<T>(make_mel_params<T>(c));
}

// One handle for the engines with one value per frame (RMS, flux, onset
// strength).  The GPU factory is held as a callable over a copy of the
// parameters.
template <template <typename> class Engine, typename Params>
class ScalarHandle : public FeatureHandle<ScalarHandle<Engine, Params>> {
public:
    ScalarHandle(Params params, std::function<std::shared_ptr<gpu::FeatureGpu>(const Params&)> factory)
        : FeatureHandle<ScalarHandle>([p = params, factory] { return factory(p); }),
          params_(std::move(params)),
          single_(make_engine<float>(params_)) {}

    static constexpr int64_t rows() { return 1; }

    template <typename T>
    const Engine<T>& engine() {
        if constexpr (std::is_same_v<T, float>) {
            return single_;
        } else {
            if (!double_) double_.emplace(make_engine<double>(params_));
            return *double_;
        }
    }

    template <typename T>
    static void run_forward(const Engine<T>& e, const T* x, int64_t B, int64_t L, T* out) {
        e.forward(x, B, L, out);
    }
    template <typename T>
    static void run_backward(const Engine<T>& e, const T* grad, const T* x, int64_t B, int64_t L, T* out) {
        if constexpr (std::is_same_v<Engine<T>, ops::RmsEngine<T>>) {
            e.backward(grad, x, B, L, out);
        } else {
            e.backward(x, grad, B, L, out);
        }
    }

private:
    Params params_;
    Engine<float> single_;
    std::optional<Engine<double>> double_;
};

using RmsHandle = ScalarHandle<ops::RmsEngine, ops::RmsParams>;
using FluxHandle = ScalarHandle<ops::FluxEngine, gpu::FrameConfig>;
using OnsetHandle = ScalarHandle<ops::OnsetEngine, gpu::MelConfig>;

class MomentsHandle : public FeatureHandle<MomentsHandle> {
public:
    explicit MomentsHandle(ops::MomentsParams params)
        : FeatureHandle([p = params] { return gpu::make_moments_gpu(p); }),
          params_(std::move(params)),
          single_(params_) {}

    int64_t rows() const { return static_cast<int64_t>(params_.features.size()); }

    template <typename T>
    const ops::MomentsEngine<T>& engine() {
        if constexpr (std::is_same_v<T, float>) {
            return single_;
        } else {
            if (!double_) double_.emplace(params_);
            return *double_;
        }
    }

    template <typename T>
    static void run_forward(const ops::MomentsEngine<T>& e, const T* x, int64_t B, int64_t L, T* out) {
        e.forward(x, B, L, out);
    }
    template <typename T>
    static void run_backward(const ops::MomentsEngine<T>& e, const T* grad, const T* x, int64_t B, int64_t L,
                             T* out) {
        e.backward(x, grad, B, L, out);
    }

private:
    ops::MomentsParams params_;  // with the parsed feature codes
    ops::MomentsEngine<float> single_;
    std::optional<ops::MomentsEngine<double>> double_;
};

class TempogramHandle : public FeatureHandle<TempogramHandle> {
public:
    TempogramHandle(gpu::MelConfig config, int32_t tempo_win)
        : FeatureHandle([c = config, tempo_win] { return gpu::make_tempogram_gpu(c, tempo_win); }),
          config_(std::move(config)),
          tempo_win_(tempo_win),
          single_(make_mel_params<float>(config_), tempo_win_) {}

    int64_t rows() const { return tempo_win_; }

    template <typename T>
    const ops::TempogramEngine<T>& engine() {
        if constexpr (std::is_same_v<T, float>) {
            return single_;
        } else {
            if (!double_) double_.emplace(make_mel_params<double>(config_), tempo_win_);
            return *double_;
        }
    }

    template <typename T>
    static void run_forward(const ops::TempogramEngine<T>& e, const T* x, int64_t B, int64_t L, T* out) {
        e.forward(x, B, L, out);
    }
    template <typename T>
    static void run_backward(const ops::TempogramEngine<T>& e, const T* grad, const T* x, int64_t B, int64_t L,
                             T* out) {
        e.backward(x, grad, B, L, out);
    }

private:
    gpu::MelConfig config_;
    int32_t tempo_win_;
    ops::TempogramEngine<float> single_;
    std::optional<ops::TempogramEngine<double>> double_;
};

// --- construction arguments ------------------------------------------------

// Parsed in argument order, so the first bad argument is the one reported.
gpu::FrameConfig frame_config(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
                              const std::string& pad_mode) {
    ops::WindowSpec spec = parse_window(window);
    return {n_fft, hop_length, win_length, std::move(spec), center, ops::parse_pad_mode(pad_mode)};
}

gpu::MelConfig mel_config(double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                          bool center, const std::string& pad_mode, int32_t n_mels, double fmin, double fmax,
                          const std::string& mel_scale, const std::string& mel_norm) {
    gpu::FrameConfig frame = frame_config(n_fft, hop_length, win_length, window, center, pad_mode);
    const ops::MelScale scale = ops::parse_mel_scale(mel_scale);
    const ops::MelNorm norm = ops::parse_mel_norm(mel_norm);
    return {std::move(frame), sr, n_mels, fmin, fmax, scale, norm};
}

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
        .def("forward_dlpack", &Handle::forward_dlpack, py::arg("y"), py::arg("output"), py::arg("stream"))
        .def("backward_dlpack", &Handle::backward_dlpack, py::arg("grad"), py::arg("y"), py::arg("output"),
             py::arg("stream"))
        .def("n_frames", &Handle::n_frames, py::arg("n"), "Number of frames for a signal of n samples.");
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
                    gpu::FrameConfig f = frame_config(n_fft, hop_length, win_length, window, center, pad_mode);
                    std::vector<int32_t> codes;
                    codes.reserve(features.size());
                    for (const std::string& name : features) codes.push_back(feature_code(name));
                    return MomentsHandle(ops::MomentsParams{f.n_fft, f.hop_length, f.win_length, std::move(f.window),
                                                            f.center, f.pad_mode, sr, std::move(codes)});
                }),
                py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
                py::arg("center"), py::arg("pad_mode"), py::arg("features"));
    add_common_members(moments);

    py::class_<RmsHandle> rms(m, "RmsEngine",
                              "Frame-wise root-mean-square energy of (batch, samples) signals, shape (B, 1, frames), "
                              "with an exact backward pass.");
    rms.def(py::init([](int32_t frame_length, int32_t hop_length, bool center, const std::string& pad_mode) {
                const ops::RmsParams p{frame_length, hop_length, center, ops::parse_pad_mode(pad_mode)};
                return RmsHandle(p, [](const ops::RmsParams& q) { return gpu::make_rms_gpu(q); });
            }),
            py::arg("frame_length"), py::arg("hop_length"), py::arg("center"), py::arg("pad_mode"));
    add_common_members(rms);

    py::class_<FluxHandle> flux(m, "SpectralFluxEngine",
                                "Spectral flux (norm of the rectified increase of the STFT magnitude) per frame, "
                                "shape (B, 1, frames), with an exact backward pass.");
    flux.def(py::init([](int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window, bool center,
                         const std::string& pad_mode) {
                 return FluxHandle(frame_config(n_fft, hop_length, win_length, window, center, pad_mode),
                                   [](const gpu::FrameConfig& c) { return gpu::make_flux_gpu(c); });
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
                  return OnsetHandle(mel_config(sr, n_fft, hop_length, win_length, window, center, pad_mode, n_mels,
                                                fmin, fmax, mel_scale, mel_norm),
                                     [](const gpu::MelConfig& c) { return gpu::make_onset_gpu(c); });
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
                      return TempogramHandle(mel_config(sr, n_fft, hop_length, win_length, window, center, pad_mode,
                                                        n_mels, fmin, fmax, mel_scale, mel_norm),
                                             tempo_win);
                  }),
                  py::arg("sr"), py::arg("n_fft"), py::arg("hop_length"), py::arg("win_length"), py::arg("window"),
                  py::arg("center"), py::arg("pad_mode"), py::arg("n_mels"), py::arg("fmin"), py::arg("fmax"),
                  py::arg("mel_scale"), py::arg("mel_norm"), py::arg("tempo_win"));
    add_common_members(tempogram);
}

}  // namespace qorva::dsp::bindings
