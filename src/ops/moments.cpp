#include "ops/moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "ops/feature_common.hpp"
#include "ops/frame_kernels.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

const char* const kMomentFeatureNames[kMomentFeatureCount] = {
    "centroid", "bandwidth", "skewness", "kurtosis", "flatness", "slope", "decrease", "crest", "entropy"};

namespace {

constexpr double kMassFloor = 1e-12;    // S, S - a[0], m2: below it the statistic is 0
constexpr double kSpreadFloor = 1e-6;   // sigma: below it skewness is 0
constexpr double kPowerFloor = 1e-10;   // powers are clamped here before logarithms

bool has(const std::vector<int32_t>& codes, MomentFeature f) {
    return std::find(codes.begin(), codes.end(), static_cast<int32_t>(f)) != codes.end();
}

// The four moment statistics' gradient with respect to a magnitude, as one
// polynomial in delta = f[k] - mu: coefficients c[0] + c[1] delta + ... + c[4] delta^4.
// Each statistic that its guard held at 0 contributes nothing.
void moment_polynomial(const MomentValues& gc, double S, double sigma, double m2, double m3, double m4, double c[5]) {
    for (int i = 0; i < 5; ++i) c[i] = 0.0;
    if (!(S > kMassFloor)) return;
    if (gc.centroid != 0.0) c[1] += gc.centroid / S;
    // d sigma = d m2 / (2 sigma) is unbounded as sigma -> 0; below the spread
    // floor the bandwidth is rounding noise (a single spectral line) and
    // passes no gradient, as skewness does.
    if (gc.bandwidth != 0.0 && sigma > kSpreadFloor) {
        const double k = gc.bandwidth / (2.0 * sigma * S);
        c[2] += k;
        c[0] -= k * m2;
    }
    if (gc.skewness != 0.0 && sigma > kSpreadFloor) {
        const double k = gc.skewness / (sigma * sigma * sigma * S);
        c[3] += k;
        c[2] -= 1.5 * (m3 / m2) * k;
        c[1] -= 3.0 * m2 * k;
        c[0] += 0.5 * m3 * k;
    }
    if (gc.kurtosis != 0.0 && m2 > kMassFloor) {
        const double k = gc.kurtosis / (m2 * m2 * S);
        c[4] += k;
        c[2] -= 2.0 * (m4 / m2) * k;
        c[1] -= 4.0 * m3 * k;
        c[0] += m4 * k;
    }
}

}  // namespace

template <typename T>
struct MomentsEngine<T>::Stats {
    // Of the magnitudes a: their sum S, centroid mu, central moments m2..m4
    // (per unit mass), spread sigma, the decrease numerator and the peak.
    double S = 0.0, mu = 0.0, m2 = 0.0, m3 = 0.0, m4 = 0.0, sigma = 0.0;
    double dec_num = 0.0, max_a = 0.0;
    int32_t argmax = 0;
    // Of the clamped powers p: their sum P, sum of p ln p, and mean.
    double P = 0.0, E = 0.0, am = 0.0;
    MomentValues value;
};

template <typename T>
struct MomentsEngine<T>::Scratch : AdjointScratch<T> {
    explicit Scratch(int32_t n_fft)
        : AdjointScratch<T>(n_fft), a(n_fft / 2 + 1), p(n_fft / 2 + 1), lp(n_fft / 2 + 1), da(n_fft / 2 + 1),
          dp(n_fft / 2 + 1) {}
    AlignedBuffer<double> a, p, lp;  // magnitudes, clamped powers, their logarithms
    AlignedBuffer<double> da, dp;    // loss gradient per magnitude and per power
};

template <typename T>
MomentsEngine<T>::MomentsEngine(MomentsParams params)
    : p_(std::move(params)), window_(validate_frame<T>(p_)) {
    if (p_.features.empty()) throw std::invalid_argument("at least one feature is required");
    for (int32_t code : p_.features) {
        if (code < 0 || code >= kMomentFeatureCount) {
            throw std::invalid_argument("unknown spectral feature code " + std::to_string(code));
        }
    }
    // sr only scales the frequency axis, but a non-positive or infinite rate
    // would turn every frequency-based statistic into nonsense or NaN, so it
    // is refused as the mel engines refuse it.
    if (!(p_.sr > 0.0)) throw std::invalid_argument("sr must be positive");
    if (!std::isfinite(p_.sr)) throw std::invalid_argument("sr must be finite");

    const auto& c = p_.features;
    need_moments_ = has(c, MomentFeature::centroid) || has(c, MomentFeature::bandwidth) ||
                    has(c, MomentFeature::skewness) || has(c, MomentFeature::kurtosis);
    need_higher_ = has(c, MomentFeature::bandwidth) || has(c, MomentFeature::skewness) ||
                   has(c, MomentFeature::kurtosis);
    want_slope_ = has(c, MomentFeature::slope);
    want_decrease_ = has(c, MomentFeature::decrease);
    want_crest_ = has(c, MomentFeature::crest);
    want_entropy_ = has(c, MomentFeature::entropy);
    need_pow_ = has(c, MomentFeature::flatness) || want_entropy_;
    need_mag_ = need_moments_ || want_slope_ || want_decrease_ || want_crest_;

    const int32_t K = n_bins();
    freq_.resize(K);
    for (int32_t k = 0; k < K; ++k) freq_[k] = static_cast<double>(k) * p_.sr / static_cast<double>(p_.n_fft);
    if (want_slope_) {
        double mean = 0.0;
        for (double f : freq_) mean += f;
        mean /= K;
        double D = 0.0;
        for (double f : freq_) D += (f - mean) * (f - mean);
        slope_w_.assign(K, 0.0);
        if (D > 0.0) {
            for (int32_t k = 0; k < K; ++k) slope_w_[k] = (freq_[k] - mean) / D;
        }
    }
    if (want_decrease_) {
        decrease_w_.assign(K, 0.0);
        for (int32_t k = 1; k < K; ++k) {
            decrease_w_[k] = 1.0 / k;
            decrease_sum_ += decrease_w_[k];
        }
    }
}

// Statistics of the spectrum in s.re / s.im, all in double.
template <typename T>
void MomentsEngine<T>::frame_stats(Scratch& s, Stats& st) const {
    st = Stats{};
    if (need_mag_) magnitude_stats(s, st);
    if (need_pow_) power_stats(s, st);
}

template <typename T>
void MomentsEngine<T>::magnitude_stats(Scratch& s, Stats& st) const {
    const int32_t K = n_bins();
    const T* re = s.re.data();
    const T* im = s.im.data();
    double* a = s.a.data();
    vec::split_magnitude(re, im, a, K);
    const double S = sum4(K, [a](int64_t k) { return a[k]; });
    st.S = S;
    if (need_moments_ && S > kMassFloor) central_moments(a, st);
    MomentValues& v = st.value;
    v.centroid = st.mu;
    v.bandwidth = st.sigma;
    v.skewness = st.sigma > kSpreadFloor ? st.m3 / (st.sigma * st.sigma * st.sigma) : 0.0;
    v.kurtosis = st.m2 > kMassFloor ? st.m4 / (st.m2 * st.m2) : 0.0;
    if (want_slope_) {
        const double* w = slope_w_.data();
        v.slope = sum4(K, [a, w](int64_t k) { return w[k] * a[k]; });
    }
    if (want_decrease_ && S - a[0] > kMassFloor) {
        const double* w = decrease_w_.data();
        const double a0 = a[0];
        // Bin 0 has weight 0, so the sum may run over every bin.
        st.dec_num = sum4(K, [a, w, a0](int64_t k) { return (a[k] - a0) * w[k]; });
        v.decrease = st.dec_num / (S - a0);
    }
    if (want_crest_) {
        st.argmax = 0;
        for (int32_t k = 1; k < K; ++k) {
            if (a[k] > a[st.argmax]) st.argmax = k;  // strict: the lowest index wins a tie
        }
        st.max_a = std::max(a[st.argmax], 0.0);
        if (S > kMassFloor) v.crest = K * st.max_a / S;
    }
    if (std::isnan(S)) {
        // A NaN in the spectrum fails every guard; report it rather than the
        // zeros of a silent frame.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        v.centroid = v.bandwidth = v.skewness = v.kurtosis = v.slope = v.decrease = v.crest = nan;
    }
}

// Centroid and the central moments of the magnitudes a (mass st.S > 0).
template <typename T>
void MomentsEngine<T>::central_moments(const double* a, Stats& st) const {
    const int32_t K = n_bins();
    const double S = st.S;
    const double* f = freq_.data();
    st.mu = sum4(K, [a, f](int64_t k) { return f[k] * a[k]; }) / S;
    if (!need_higher_) return;
    // Two lanes of the three central sums, so that no sum waits on its own
    // previous addition.
    const double mu = st.mu;
    double s2[2] = {0.0, 0.0}, s3[2] = {0.0, 0.0}, s4[2] = {0.0, 0.0};
    auto add = [&](int lane, int32_t k) {
        const double d = f[k] - mu, d2 = d * d, w = d2 * a[k];
        s2[lane] += w;
        s3[lane] += d * w;
        s4[lane] += d2 * w;
    };
    int32_t k = 0;
    for (; k + 2 <= K; k += 2) {
        add(0, k);
        add(1, k + 1);
    }
    for (; k < K; ++k) add(0, k);
    st.m2 = (s2[0] + s2[1]) / S;
    st.m3 = (s3[0] + s3[1]) / S;
    st.m4 = (s4[0] + s4[1]) / S;
    st.sigma = std::sqrt(std::max(st.m2, 0.0));
}

template <typename T>
void MomentsEngine<T>::power_stats(Scratch& s, Stats& st) const {
    const int32_t K = n_bins();
    const T* re = s.re.data();
    const T* im = s.im.data();
    double* p = s.p.data();
    for (int32_t k = 0; k < K; ++k) {
        const double r = re[k], i = im[k], pw = r * r + i * i;
        p[k] = pw < kPowerFloor ? kPowerFloor : pw;  // clamps, but lets NaN through
    }
    const double P = sum4(K, [p](int64_t k) { return p[k]; });
    st.P = P;
    st.am = P / K;
    double G;
    if (want_entropy_ || !std::isfinite(P)) {
        // Entropy needs every logarithm; so does a spectrum holding inf or
        // NaN, whose logarithms the mantissa product cannot represent.
        double* lp = s.lp.data();
        for (int32_t k = 0; k < K; ++k) lp[k] = std::log(p[k]);
        G = sum4(K, [lp](int64_t k) { return lp[k]; });
        st.E = sum4(K, [p, lp](int64_t k) { return p[k] * lp[k]; });
    } else {
        G = sum_logs(p, K);
    }
    st.value.flatness = st.am > 0.0 ? std::exp(G / K) / st.am : 0.0;
    // With a single bin the normalisation log K is 0 and the entropy of any
    // one-bin distribution is 0: report 0 rather than NaN.
    if (want_entropy_) {
        st.value.entropy = P > 0.0 && K > 1 ? (std::log(P) - st.E / P) / std::log(static_cast<double>(K)) : 0.0;
    }
}

// Frame gradient (n_fft samples, before the window) from the upstream gradients g of
// the frame's feature entries.  Every guard of the forward pass gates the
// matching derivative, so a statistic reported as 0 by a guard passes none.
template <typename T>
const T* MomentsEngine<T>::frame_gradient(Scratch& s, const Stats& st, const T* g) const {
    MomentValues gc;
    for (std::size_t e = 0; e < p_.features.size(); ++e) gc[p_.features[e]] += static_cast<double>(g[e]);
    if (need_mag_) {
        magnitude_gradient(s, st, gc);
    } else {
        std::fill(s.dre.data(), s.dre.data() + n_bins(), T(0));
        std::fill(s.dim.data(), s.dim.data() + n_bins(), T(0));
    }
    if (need_pow_) power_gradient(s, st, gc);
    return spectrum_adjoint(s, s.dre.data(), s.dim.data());
}

// Gradient of the magnitude statistics into s.dre / s.dim (overwritten).
template <typename T>
void MomentsEngine<T>::magnitude_gradient(Scratch& s, const Stats& st, const MomentValues& gc) const {
    const int32_t K = n_bins();
    const double* a = s.a.data();
    double* da = s.da.data();
    const double S = st.S;
    double c[5];
    moment_polynomial(gc, S, st.sigma, st.m2, st.m3, st.m4, c);
    vec::quartic_in_offset(freq_.data(), st.mu, c, da, K);
    if (gc.slope != 0.0) {
        for (int32_t k = 0; k < K; ++k) da[k] += gc.slope * slope_w_[k];
    }
    const double Dd = S - a[0];
    if (gc.decrease != 0.0 && Dd > kMassFloor) {
        const double shift = st.dec_num / (Dd * Dd);
        for (int32_t k = 1; k < K; ++k) da[k] += gc.decrease * (decrease_w_[k] / Dd - shift);
        da[0] -= gc.decrease * decrease_sum_ / Dd;
    }
    if (gc.crest != 0.0 && S > kMassFloor) {
        const double all = gc.crest * K * st.max_a / (S * S);
        for (int32_t k = 0; k < K; ++k) da[k] -= all;
        da[st.argmax] += gc.crest * K / S;
    }
    // Through a = |X|: d a / d re = re / a, guarded where a vanishes.
    vec::magnitude_chain(a, da, s.re.data(), s.im.data(), s.dre.data(), s.dim.data(), K);
}

// Gradient of the power statistics, added to s.dre / s.dim.
template <typename T>
void MomentsEngine<T>::power_gradient(Scratch& s, const Stats& st, const MomentValues& gc) const {
    const int32_t K = n_bins();
    const double* p = s.p.data();
    const double* lp = s.lp.data();
    double* dp = s.dp.data();
    for (int32_t k = 0; k < K; ++k) dp[k] = 0.0;
    if (gc.flatness != 0.0 && st.am > 0.0) {
        const double scale = gc.flatness * st.value.flatness / K, inv_am = 1.0 / st.am;
        for (int32_t k = 0; k < K; ++k) dp[k] += scale * (1.0 / p[k] - inv_am);
    }
    if (gc.entropy != 0.0 && st.P > 0.0 && K > 1) {
        const double logP = std::log(st.P);
        const double H0 = logP - st.E / st.P;
        const double scale = -gc.entropy / (st.P * std::log(static_cast<double>(K)));
        for (int32_t k = 0; k < K; ++k) dp[k] += scale * (lp[k] - logP + H0);
    }
    // Through p = re^2 + im^2, only where the clamp did not fire.
    const T* re = s.re.data();
    const T* im = s.im.data();
    for (int32_t k = 0; k < K; ++k) {
        const double r = re[k], i = im[k];
        if (r * r + i * i > kPowerFloor) {
            s.dre[k] = static_cast<T>(static_cast<double>(s.dre[k]) + 2.0 * dp[k] * r);
            s.dim[k] = static_cast<T>(static_cast<double>(s.dim[k]) + 2.0 * dp[k] * i);
        }
    }
}

template <typename T>
void MomentsEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t N = n_features();
    const FramedRows<T> in = framed_rows(p_, window_.data(), x, B, L);
    auto values = [&](Scratch& s, int64_t b, int64_t f, T* v) {
        Stats st;
        in.spectrum(b, f, s);
        frame_stats(s, st);
        for (int64_t e = 0; e < N; ++e) v[e] = static_cast<T>(st.value[p_.features[e]]);
    };
    framed_forward<Scratch>(in, N, out, values);
}

template <typename T>
void MomentsEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const FramedRows<T> in = framed_rows(p_, window_.data(), x, B, L);
    auto adjoint = [&](Scratch& s, int64_t b, int64_t f, T* g) {
        Stats st;
        in.spectrum(b, f, s);
        frame_stats(s, st);
        return frame_gradient(s, st, g);
    };
    framed_backward<Scratch>(in, grad, n_features(), FrameLayout::bin_major, grad_x, adjoint);
}

template class MomentsEngine<float>;
template class MomentsEngine<double>;

}  // namespace qorva::dsp::ops
