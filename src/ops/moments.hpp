// Spectral shape statistics of every STFT frame (centroid, bandwidth,
// skewness, kurtosis, flatness, slope, decrease, crest, entropy) and their
// exact gradient with respect to the signal.
//
// Framing, window and padding follow the STFT.  Statistics are accumulated in
// double in both precisions; the float engine rounds outputs and gradients.
// Layouts: signal B x L; output and output gradient B x N x F for N requested
// features (frames fastest, then features in request order, then rows).
#pragma once

#include <cstdint>
#include <vector>

#include "ops/options.hpp"

namespace qorva::dsp::ops {

enum class MomentFeature : int32_t {
    centroid = 0,
    bandwidth = 1,
    skewness = 2,
    kurtosis = 3,
    flatness = 4,
    slope = 5,
    decrease = 6,
    crest = 7,
    entropy = 8,
};
inline constexpr int32_t kMomentFeatureCount = 9;

// Names in code order, as the Python class accepts them.
extern const char* const kMomentFeatureNames[kMomentFeatureCount];

// One number per statistic: a frame's values, or the weight that an output
// gradient puts on each.  Indexed by feature code to follow a request list.
struct MomentValues {
    double centroid = 0.0, bandwidth = 0.0, skewness = 0.0, kurtosis = 0.0, flatness = 0.0, slope = 0.0,
           decrease = 0.0, crest = 0.0, entropy = 0.0;

    double& operator[](int32_t code) { return this->*kByCode[code]; }
    double operator[](int32_t code) const { return this->*kByCode[code]; }

private:
    // In MomentFeature order.
    static constexpr double MomentValues::*kByCode[kMomentFeatureCount] = {
        &MomentValues::centroid, &MomentValues::bandwidth, &MomentValues::skewness,
        &MomentValues::kurtosis, &MomentValues::flatness,  &MomentValues::slope,
        &MomentValues::decrease, &MomentValues::crest,     &MomentValues::entropy};
};

// The framing options plus the sample rate and the requested statistics.
struct MomentsParams : FrameOptions {
    double sr = 22050.0;            // only sets the frequency axis
    std::vector<int32_t> features;  // codes, caller's order, repetitions allowed
};

template <typename T>
class MomentsEngine {
public:
    // Validates the framing (validate_frame), then checks the feature list
    // and sr.
    explicit MomentsEngine(MomentsParams params);

    const MomentsParams& params() const { return p_; }
    int64_t n_features() const { return static_cast<int64_t>(p_.features.size()); }
    int32_t n_bins() const { return p_.n_fft / 2 + 1; }
    int64_t n_frames(int64_t L) const { return p_.n_frames(L); }

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;

    // Per-frame work; public so that the frame loops stay in the .cpp file.
    struct Stats;
    struct Scratch;

private:
    void frame_stats(Scratch& s, Stats& st) const;
    void magnitude_stats(Scratch& s, Stats& st) const;
    void central_moments(const double* a, Stats& st) const;
    void power_stats(Scratch& s, Stats& st) const;
    const T* frame_gradient(Scratch& s, const Stats& st, const T* g) const;
    void magnitude_gradient(Scratch& s, const Stats& st, const MomentValues& gc) const;
    void power_gradient(Scratch& s, const Stats& st, const MomentValues& gc) const;

    MomentsParams p_;
    std::vector<T> window_;
    std::vector<double> freq_;        // f[k] = k sr / n_fft
    std::vector<double> slope_w_;     // (f[k] - mean f) / sum (f - mean f)^2, or zeros
    std::vector<double> decrease_w_;  // 1/k for k >= 1, 0 at k = 0
    double decrease_sum_ = 0.0;       // sum of decrease_w_
    bool need_mag_ = false, need_pow_ = false, need_moments_ = false, need_higher_ = false;
    bool want_slope_ = false, want_decrease_ = false, want_crest_ = false, want_entropy_ = false;
};

extern template class MomentsEngine<float>;
extern template class MomentsEngine<double>;

}  // namespace qorva::dsp::ops
