#include "ops/moments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "ops/feature_common.hpp"
#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

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

}  // namespace

template <typename T>
struct MomentsEngine<T>::Stats {
    double S = 0.0, mu = 0.0, m2 = 0.0, m3 = 0.0, m4 = 0.0, sigma = 0.0;
    double dec_num = 0.0, max_a = 0.0;
    int32_t argmax = 0;
    double P = 0.0, E = 0.0, am = 0.0;
    double value[kMomentFeatureCount] = {};
};

template <typename T>
struct MomentsEngine<T>::Scratch {
    explicit Scratch(int32_t n_fft)
        : fs(n_fft), a(n_fft / 2 + 1), p(n_fft / 2 + 1), lp(n_fft / 2 + 1), da(n_fft / 2 + 1),
          dp(n_fft / 2 + 1), dre(n_fft / 2 + 1), dim(n_fft / 2 + 1) {}
    FrameScratch<T> fs;
    AlignedBuffer<double> a, p, lp;  // magnitudes, clamped powers, their logarithms
    AlignedBuffer<double> da, dp;    // loss gradient per magnitude and per power
    AlignedBuffer<T> dre, dim;
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

// Statistics of the spectrum in s.fs.re / s.fs.im, all in double.
template <typename T>
void MomentsEngine<T>::frame_stats(Scratch& s, Stats& st) const {
    const int32_t K = n_bins();
    const T* re = s.fs.re.data();
    const T* im = s.fs.im.data();
    st = Stats{};
    double* v = st.value;
    if (need_mag_) {
        double* a = s.a.data();
        for (int32_t k = 0; k < K; ++k) {
            const double r = re[k], i = im[k];
            a[k] = std::sqrt(r * r + i * i);
        }
        const double S = sum4(K, [a](int64_t k) { return a[k]; });
        st.S = S;
        if (need_moments_ && S > kMassFloor) {
            const double* f = freq_.data();
            st.mu = sum4(K, [a, f](int64_t k) { return f[k] * a[k]; }) / S;
            if (need_higher_) {
                // Two lanes of the three central sums, so that no sum waits on
                // its own previous addition.
                const double mu = st.mu;
                double s2[2] = {0.0, 0.0}, s3[2] = {0.0, 0.0}, s4[2] = {0.0, 0.0};
                int32_t k = 0;
                for (; k + 2 <= K; k += 2) {
                    for (int l = 0; l < 2; ++l) {
                        const double d = f[k + l] - mu, d2 = d * d, w = d2 * a[k + l];
                        s2[l] += w;
                        s3[l] += d * w;
                        s4[l] += d2 * w;
                    }
                }
                for (; k < K; ++k) {
                    const double d = f[k] - mu, d2 = d * d, w = d2 * a[k];
                    s2[0] += w;
                    s3[0] += d * w;
                    s4[0] += d2 * w;
                }
                st.m2 = (s2[0] + s2[1]) / S;
                st.m3 = (s3[0] + s3[1]) / S;
                st.m4 = (s4[0] + s4[1]) / S;
                st.sigma = std::sqrt(std::max(st.m2, 0.0));
            }
        }
        v[0] = st.mu;
        v[1] = st.sigma;
        v[2] = st.sigma > kSpreadFloor ? st.m3 / (st.sigma * st.sigma * st.sigma) : 0.0;
        v[3] = st.m2 > kMassFloor ? st.m4 / (st.m2 * st.m2) : 0.0;
        if (want_slope_) {
            const double* w = slope_w_.data();
            v[5] = sum4(K, [a, w](int64_t k) { return w[k] * a[k]; });
        }
        if (want_decrease_ && S - a[0] > kMassFloor) {
            const double* w = decrease_w_.data();
            const double a0 = a[0];
            // Bin 0 has weight 0, so the sum may run over every bin.
            const double num = sum4(K, [a, w, a0](int64_t k) { return (a[k] - a0) * w[k]; });
            st.dec_num = num;
            v[6] = num / (S - a0);
        }
        if (want_crest_) {
            double mx = a[0];
            int32_t arg = 0;
            for (int32_t k = 1; k < K; ++k) {
                if (a[k] > mx) {  // strict: the lowest index wins a tie
                    mx = a[k];
                    arg = k;
                }
            }
            st.max_a = std::max(mx, 0.0);
            st.argmax = arg;
            if (S > kMassFloor) v[7] = K * st.max_a / S;
        }
        if (std::isnan(S)) {
            // A NaN in the spectrum fails every guard; report it rather than
            // the zeros of a silent frame.
            for (int c : {0, 1, 2, 3, 5, 6, 7}) v[c] = std::numeric_limits<double>::quiet_NaN();
        }
    }
    if (need_pow_) {
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
        v[4] = st.am > 0.0 ? std::exp(G / K) / st.am : 0.0;
        // With a single bin the normalisation log K is 0 and the entropy of
        // any one-bin distribution is 0: report 0 rather than NaN.
        if (want_entropy_) v[8] = P > 0.0 && K > 1 ? (std::log(P) - st.E / P) / std::log(static_cast<double>(K)) : 0.0;
    }
}

// Frame gradient (n_fft samples, windowed) from the upstream gradients g of
// the frame's feature entries.  Every guard of the forward pass gates the
// matching derivative, so a statistic reported as 0 by a guard passes none.
template <typename T>
void MomentsEngine<T>::frame_gradient(Scratch& s, const Stats& st, const T* g, T* frame_grad) const {
    const int32_t K = n_bins();
    double gc[kMomentFeatureCount] = {};
    for (std::size_t e = 0; e < p_.features.size(); ++e) gc[p_.features[e]] += static_cast<double>(g[e]);

    const T* re = s.fs.re.data();
    const T* im = s.fs.im.data();
    double* da = s.da.data();
    double* dp = s.dp.data();
    T* dre = s.dre.data();
    T* dim = s.dim.data();

    if (need_mag_) {
        const double* a = s.a.data();
        const double S = st.S;
        // The four moment statistics as one polynomial in delta = f[k] - mu.
        double c0 = 0.0, c1 = 0.0, c2 = 0.0, c3 = 0.0, c4 = 0.0;
        if (S > kMassFloor) {
            if (gc[0] != 0.0) c1 += gc[0] / S;
            // d sigma = d m2 / (2 sigma) is unbounded as sigma -> 0; below the
            // spread floor the bandwidth is rounding noise (a single spectral
            // line) and passes no gradient, as skewness does.
            if (gc[1] != 0.0 && st.sigma > kSpreadFloor) {
                const double k = gc[1] / (2.0 * st.sigma * S);
                c2 += k;
                c0 -= k * st.m2;
            }
            if (gc[2] != 0.0 && st.sigma > kSpreadFloor) {
                const double k = gc[2] / (st.sigma * st.sigma * st.sigma * S);
                c3 += k;
                c2 -= 1.5 * (st.m3 / st.m2) * k;
                c1 -= 3.0 * st.m2 * k;
                c0 += 0.5 * st.m3 * k;
            }
            if (gc[3] != 0.0 && st.m2 > kMassFloor) {
                const double k = gc[3] / (st.m2 * st.m2 * S);
                c4 += k;
                c2 -= 2.0 * (st.m4 / st.m2) * k;
                c1 -= 4.0 * st.m3 * k;
                c0 += st.m4 * k;
            }
        }
        const double* f = freq_.data();
        const double mu = st.mu;
        for (int32_t k = 0; k < K; ++k) {
            const double d = f[k] - mu;
            da[k] = (((c4 * d + c3) * d + c2) * d + c1) * d + c0;
        }
        if (gc[5] != 0.0) {
            for (int32_t k = 0; k < K; ++k) da[k] += gc[5] * slope_w_[k];
        }
        const double Dd = S - a[0];
        if (gc[6] != 0.0 && Dd > kMassFloor) {
            const double shift = st.dec_num / (Dd * Dd);
            for (int32_t k = 1; k < K; ++k) da[k] += gc[6] * (decrease_w_[k] / Dd - shift);
            da[0] -= gc[6] * decrease_sum_ / Dd;
        }
        if (gc[7] != 0.0 && S > kMassFloor) {
            const double all = gc[7] * K * st.max_a / (S * S);
            for (int32_t k = 0; k < K; ++k) da[k] -= all;
            da[st.argmax] += gc[7] * K / S;
        }
        // Through a = |X|: d a / d re = re / a, guarded where a vanishes.
        for (int32_t k = 0; k < K; ++k) {
            const double scale = static_cast<T>(a[k]) > T(1e-12) ? da[k] / a[k] : 0.0;
            dre[k] = static_cast<T>(scale * re[k]);
            dim[k] = static_cast<T>(scale * im[k]);
        }
    } else {
        std::fill(dre, dre + K, T(0));
        std::fill(dim, dim + K, T(0));
    }

    if (need_pow_) {
        const double* p = s.p.data();
        const double* lp = s.lp.data();
        for (int32_t k = 0; k < K; ++k) dp[k] = 0.0;
        if (gc[4] != 0.0 && st.am > 0.0) {
            const double scale = gc[4] * st.value[4] / K, inv_am = 1.0 / st.am;
            for (int32_t k = 0; k < K; ++k) dp[k] += scale * (1.0 / p[k] - inv_am);
        }
        if (gc[8] != 0.0 && st.P > 0.0 && K > 1) {
            const double logP = std::log(st.P);
            const double H0 = logP - st.E / st.P;
            const double scale = -gc[8] / (st.P * std::log(static_cast<double>(K)));
            for (int32_t k = 0; k < K; ++k) dp[k] += scale * (lp[k] - logP + H0);
        }
        // Through p = re^2 + im^2, only where the clamp did not fire.
        for (int32_t k = 0; k < K; ++k) {
            const double r = re[k], i = im[k];
            if (r * r + i * i > kPowerFloor) {
                dre[k] = static_cast<T>(static_cast<double>(dre[k]) + 2.0 * dp[k] * r);
                dim[k] = static_cast<T>(static_cast<double>(dim[k]) + 2.0 * dp[k] * i);
            }
        }
    }
    spectrum_adjoint(s.fs, dre, dim, window_.data(), frame_grad);
}

template <typename T>
void MomentsEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    const int64_t N = n_features();
    const FrameGeometry geo = geometry();
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        Scratch s(p_.n_fft);
        Stats st;
        AlignedBuffer<T> block(static_cast<std::size_t>(N * kFrameBlock));
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                frame_spectrum(geo, window_.data(), x + b * L, L, f0 + j, s.fs);
                frame_stats(s, st);
                T* v = block.data() + j * N;
                for (int64_t e = 0; e < N; ++e) v[e] = static_cast<T>(st.value[p_.features[e]]);
            }
            store_block(block.data(), count, N, out + b * N * F + f0, F);
        });
    });
}

template <typename T>
void MomentsEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int64_t N = n_features();
    const int32_t n = p_.n_fft;
    const FrameGeometry geo = geometry();
    PoolBuffer frame_grads_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
    T* frame_grads = frame_grads_block.as<T>();
    for (int64_t b = 0; b < B; ++b) {
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            Scratch s(n);
            Stats st;
            AlignedBuffer<T> gblock(static_cast<std::size_t>(N * kFrameBlock));
            for (int64_t f0 = begin; f0 < end; f0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, end - f0);
                load_block(grad + b * N * F + f0, F, count, N, gblock.data());
                for (int64_t j = 0; j < count; ++j) {
                    const int64_t f = f0 + j;
                    frame_spectrum(geo, window_.data(), x + b * L, L, f, s.fs);
                    frame_stats(s, st);
                    frame_gradient(s, st, gblock.data() + j * N, frame_grads + f * n);
                }
            }
        });
        fold_frames(frame_grads, F, n, p_.hop_length, geo.pad(), p_.pad_mode, grad_x + b * L, L, false);
    }
}

template class MomentsEngine<float>;
template class MomentsEngine<double>;

}  // namespace qorva::dsp::ops
