// Arithmetic of the GPU frame-feature kernels (RMS, spectral moments, flux,
// onset strength, tempogram).  Per-frame bodies take the thread index and
// block size, and reductions combine per-thread partials in the tree order
// of block_reduce, so the C++ tests run the kernels' own code on the host
// against the CPU engines.  Everything is float: the CPU engines sum some of
// these in double, the tests compare under float tolerances.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

#include <vector_functions.h>

#include "gpu/cuda_frame_math.cuh"
#include "ops/framing.hpp"
#include "ops/moments.hpp"

namespace qorva::dsp::gpu::cuda {

// Combines v[0 .. n) (n a power of two) pairwise as block_reduce does:
// strides n/2, n/4, ..., 1.  Leaves the result in v[0].
template <typename T, typename Combine>
QORVA_HD inline T tree_reduce(T* v, int n, Combine combine) {
    for (int s = n / 2; s > 0; s >>= 1) {
        for (int i = 0; i < s; ++i) v[i] = combine(v[i], v[i + s]);
    }
    return v[0];
}

// X[k] of a real frame of length 2h from its packed half-length spectrum Z.
QORVA_HD inline float2 frame_bin(const float2* Z, int k, int h, const float2* stw) {
    return split_bin(Z[k % h], Z[(h - k) % h], split_twiddle(stw, k, h));
}

// Sum of two floats, as a combiner for the reductions.
struct AddFloats {
    QORVA_HD float operator()(float a, float b) const { return a + b; }
};

// --- RMS ---------------------------------------------------------------------

// Parameter block of the RMS kernels.
struct RParams {
    int32_t n_samples, n_frames, frame_length, hop, pad, reflect, batch, row;
};

// Sum of squares of the frame_length padded samples from unpadded position
// `start`.  Runs of 64 squares are summed apart before joining the total, so
// a long frame does not lose its small terms to one large float sum.
QORVA_HD inline float rms_frame_sum(const float* row, const RParams& p, int64_t start) {
    float total = 0.0f;
    for (int i0 = 0; i0 < p.frame_length; i0 += 64) {
        const int i1 = i0 + 64 < p.frame_length ? i0 + 64 : p.frame_length;
        float run = 0.0f;
        for (int i = i0; i < i1; ++i) {
            const float v = padded_sample(row, int64_t(p.n_samples), start + i, p.reflect != 0);
            run += v * v;
        }
        total += run;
    }
    return total;
}

QORVA_HD inline float rms_value(float sum, int frame_length) { return std::sqrt(sum / float(frame_length)); }

// d r / d x_i = x_i / (frame_length r): the per-frame factor of the output
// gradient g; a frame at the 1e-12 floor passes none.
QORVA_HD inline float rms_factor(float g, float r, int frame_length) {
    return r > 1e-12f ? g / (float(frame_length) * r) : 0.0f;
}

// Gradient of sample t of a row: x_t times the factors of every frame that
// reads it, directly or through a reflect image (padding of any length).
QORVA_HD inline float rms_sample_gradient(const float* factor, const float* row, int64_t t, const RParams& p) {
    const int64_t F = p.n_frames;
    auto covering = [&](int64_t q) {
        int64_t lo = 0, hi = -1;
        ops::covering_frames(q, p.frame_length, p.hop, F, lo, hi);
        float s = 0.0f;
        for (int64_t f = lo; f <= hi; ++f) s += factor[f];
        return s;
    };
    float s = covering(p.pad + t);
    if (p.reflect != 0) {
        const int64_t t_max = (F - 1) * p.hop + p.frame_length - 1 - p.pad;
        ops::for_each_reflect_image(t, int64_t(p.n_samples), -int64_t(p.pad), t_max,
                                    [&](int64_t u) { s += covering(p.pad + u); });
    }
    return row[t] * s;
}

// --- spectral moments ----------------------------------------------------------

inline constexpr int kMomentCodes = 9;  // ops::MomentFeature order
inline constexpr int kMaxMomentFeatures = 16;

// Per-engine constants: bin spacing, the slope line's scale (f_k - mean f)
// = (k - (K-1)/2) df, the sum of the decrease weights 1/k, log K.
struct MomentConsts {
    float df, slope_scale, decrease_sum, log_k;
    int32_t K;
    int32_t logs, central;  // flatness or entropy requested (per-bin logarithms); the central moments
};

// The constants of an engine's parameters; the sums behind them in double.
inline MomentConsts moment_consts(const ops::MomentsParams& params) {
    const int K = params.n_fft / 2 + 1;
    const double df = params.sr / params.n_fft;
    double mean = 0.0, D = 0.0, decrease = 0.0;
    for (int k = 0; k < K; ++k) mean += k * df;
    mean /= K;
    for (int k = 0; k < K; ++k) D += (k * df - mean) * (k * df - mean);
    for (int k = 1; k < K; ++k) decrease += 1.0 / k;
    int32_t logs = 0, central = 0;
    for (int32_t code : params.features) {
        logs |= code == int32_t(ops::MomentFeature::flatness) || code == int32_t(ops::MomentFeature::entropy);
        central |= code == int32_t(ops::MomentFeature::bandwidth) || code == int32_t(ops::MomentFeature::skewness) ||
                   code == int32_t(ops::MomentFeature::kurtosis);
    }
    return {static_cast<float>(df), static_cast<float>(D > 0.0 ? df / D : 0.0), static_cast<float>(decrease),
            static_cast<float>(std::log(double(K))), K, logs, central};
}

// One thread's share of a frame's sums (bins tid, tid + threads, ...).
struct MomentSums {
    float S, Sf, P, G, E, slope, dec, a0, max_a;
    int32_t argmax;
};

QORVA_HD inline MomentSums combine_sums(MomentSums a, const MomentSums& b) {
    a.S += b.S, a.Sf += b.Sf, a.P += b.P, a.G += b.G, a.E += b.E, a.slope += b.slope, a.dec += b.dec;
    // The lowest bin wins a tie, as in the CPU engine's scan.
    if (b.max_a > a.max_a || (b.max_a == a.max_a && b.argmax < a.argmax)) a.max_a = b.max_a, a.argmax = b.argmax;
    return a;
}

QORVA_HD inline MomentSums moment_sums(const float2* Z, int h, const float2* stw, const MomentConsts& c, int tid,
                                       int threads) {
    const float2 X0 = frame_bin(Z, 0, h, stw);
    MomentSums m{0, 0, 0, 0, 0, 0, 0, std::sqrt(X0.x * X0.x + X0.y * X0.y), -1.0f, INT_MAX};
    for (int k = tid; k <= h; k += threads) {
        const float2 X = frame_bin(Z, k, h, stw);
        const float pw = X.x * X.x + X.y * X.y, a = std::sqrt(pw);
        m.S += a;
        m.Sf += float(k) * c.df * a;
        m.slope += (float(k) - 0.5f * float(c.K - 1)) * c.slope_scale * a;
        if (k > 0) m.dec += (a - m.a0) / float(k);
        if (a > m.max_a) m.max_a = a, m.argmax = k;  // k ascends: the lowest bin stays
        if (c.logs) {
            const float p = pw < 1e-10f ? 1e-10f : pw;  // a NaN power stays NaN
            const float lp = std::log(p);
            m.P += p, m.G += lp, m.E += p * lp;
        }
    }
    return m;
}

// Centroid of a frame from its sums (0 at the mass floor).
QORVA_HD inline float moment_centroid(const MomentSums& s) { return s.S > 1e-12f ? s.Sf / s.S : 0.0f; }

// One thread's share of the central sums (d^2 a, d^3 a, d^4 a), d = f_k - mu.
QORVA_HD inline float3 central_sums(const float2* Z, int h, const float2* stw, const MomentConsts& c, float mu,
                                    int tid, int threads) {
    float3 m = make_float3(0.0f, 0.0f, 0.0f);
    for (int k = tid; k <= h; k += threads) {
        const float2 X = frame_bin(Z, k, h, stw);
        const float a = std::sqrt(X.x * X.x + X.y * X.y), d = float(k) * c.df - mu, w = d * d * a;
        m.x += w, m.y += d * w, m.z += d * d * w;
    }
    return m;
}

QORVA_HD inline float3 combine_central(float3 a, const float3& b) { return make_float3(a.x + b.x, a.y + b.y, a.z + b.z); }

struct MomentStats {
    MomentSums sums;
    float mu, m2, m3, m4, sigma, am;
    float value[kMomentCodes];
};

// A frame's statistics with the CPU engine's guards: silence gives 0 (1 for
// flatness and entropy), a NaN spectrum NaN for the magnitude statistics.
QORVA_HD inline MomentStats moment_stats(const MomentSums& s, const float3& central, const MomentConsts& c) {
    MomentStats st{};
    st.sums = s;
    const float S = s.S, K = float(c.K);
    if (S > 1e-12f) {
        st.mu = s.Sf / S;
        st.m2 = central.x / S, st.m3 = central.y / S, st.m4 = central.z / S;
        st.sigma = std::sqrt(st.m2 > 0.0f ? st.m2 : 0.0f);
    }
    float* v = st.value;
    v[0] = st.mu;
    v[1] = st.sigma;
    v[2] = st.sigma > 1e-6f ? st.m3 / (st.sigma * st.sigma * st.sigma) : 0.0f;
    v[3] = st.m2 > 1e-12f ? st.m4 / (st.m2 * st.m2) : 0.0f;
    v[5] = s.slope;
    v[6] = S - s.a0 > 1e-12f ? s.dec / (S - s.a0) : 0.0f;
    v[7] = S > 1e-12f ? K * (s.max_a > 0.0f ? s.max_a : 0.0f) / S : 0.0f;
    if (S != S) {
        v[0] = v[1] = v[2] = v[3] = v[5] = v[6] = v[7] = S;  // a NaN spectrum fails every guard: report it
    }
    st.am = s.P / K;
    v[4] = st.am > 0.0f ? std::exp(s.G / K) / st.am : 0.0f;
    v[8] = s.P > 0.0f && c.K > 1 ? (std::log(s.P) - s.E / s.P) / c.log_k : 0.0f;
    return st;
}

// The per-frame coefficients of the gradient with respect to the bins, from
// the statistics and gc, the output gradient summed per feature code.  A
// statistic held at 0 by a guard passes nothing.
struct MomentGrad {
    float c[5];  // polynomial in d = f_k - mu of the four moment statistics
    float mu, slope, dec_k, dec_shift, dec0, crest_all, crest_peak;
    float flat_scale, inv_am, ent_scale, ent_shift;
    int32_t argmax;
};

QORVA_HD inline MomentGrad moment_grad(const MomentStats& st, const float* gc, const MomentConsts& c) {
    MomentGrad g{};
    const float S = st.sums.S, K = float(c.K), sigma = st.sigma, m2 = st.m2, m3 = st.m3, m4 = st.m4;
    g.mu = st.mu;
    g.argmax = st.sums.argmax;
    if (S > 1e-12f) {
        if (gc[0] != 0.0f) g.c[1] += gc[0] / S;
        if (gc[1] != 0.0f && sigma > 1e-6f) {
            const float k = gc[1] / (2.0f * sigma * S);
            g.c[2] += k, g.c[0] -= k * m2;
        }
        if (gc[2] != 0.0f && sigma > 1e-6f) {
            const float k = gc[2] / (sigma * sigma * sigma * S);
            g.c[3] += k, g.c[2] -= 1.5f * (m3 / m2) * k, g.c[1] -= 3.0f * m2 * k, g.c[0] += 0.5f * m3 * k;
        }
        if (gc[3] != 0.0f && m2 > 1e-12f) {
            const float k = gc[3] / (m2 * m2 * S);
            g.c[4] += k, g.c[2] -= 2.0f * (m4 / m2) * k, g.c[1] -= 4.0f * m3 * k, g.c[0] += m4 * k;
        }
        if (gc[7] != 0.0f) {
            g.crest_all = gc[7] * K * st.sums.max_a / (S * S);
            g.crest_peak = gc[7] * K / S;
        }
    }
    g.slope = gc[5] * c.slope_scale;
    const float Dd = S - st.sums.a0;
    if (gc[6] != 0.0f && Dd > 1e-12f) {
        g.dec_k = gc[6] / Dd;
        g.dec_shift = gc[6] * st.sums.dec / (Dd * Dd);
        g.dec0 = gc[6] * c.decrease_sum / Dd;
    }
    if (gc[4] != 0.0f && st.am > 0.0f) {
        g.flat_scale = gc[4] * st.value[4] / K;
        g.inv_am = 1.0f / st.am;
    }
    const float P = st.sums.P;
    if (gc[8] != 0.0f && P > 0.0f && c.K > 1) {
        g.ent_scale = -gc[8] / (P * c.log_k);
        g.ent_shift = -st.sums.E / P;  // -log P + H0
    }
    return g;
}

// Complex gradient of bin k whose spectrum value is X.
QORVA_HD inline float2 moment_bin_gradient(float2 X, int k, const MomentGrad& g, const MomentConsts& c) {
    const float pw = X.x * X.x + X.y * X.y, a = std::sqrt(pw), d = float(k) * c.df - g.mu;
    float da = (((g.c[4] * d + g.c[3]) * d + g.c[2]) * d + g.c[1]) * d + g.c[0];
    da += g.slope * (float(k) - 0.5f * float(c.K - 1));
    da += k > 0 ? g.dec_k / float(k) - g.dec_shift : -g.dec0;
    da -= g.crest_all;
    if (k == g.argmax) da += g.crest_peak;
    // Through a = |X|, guarded where a vanishes; the power terms only where
    // the clamp at 1e-10 did not fire.
    float s = a > 1e-12f ? da / a : 0.0f;
    if (pw > 1e-10f) {
        const float lp = std::log(pw);
        s += 2.0f * (g.flat_scale * (1.0f / pw - g.inv_am) + g.ent_scale * (lp + g.ent_shift));
    }
    return make_float2(s * X.x, s * X.y);
}

// Backward through the real FFT for bins k and h - k (0 <= k <= h/2) of one
// frame: with s holding its packed forward spectrum, rewrites s[k] and
// s[h - k] with the packed input of the inverse half-length FFT, the complex
// bin gradients coming from grad(X, bin).  One thread owns both entries.
template <typename BinGrad>
QORVA_HD inline void feature_bwd_pair(float2* s, int k, int h, const float2* stw, BinGrad grad) {
    const int m = h - k;  // partner bin; m == h for k == 0
    const float2 zk = s[k % h], zm = s[m % h];
    const float2 Xk = split_bin(zk, zm, split_twiddle(stw, k, h)), Xm = split_bin(zm, zk, split_twiddle(stw, m, h));
    real_fft_adjoint_pair(s, k, h, grad(Xk, k), grad(Xm, m), stw);
}

// --- spectral flux -------------------------------------------------------------

// One thread's share of sum_k max(0, cur_k - prev_k)^2; a NaN difference is
// kept, so a frame reading a NaN sample reports NaN.
QORVA_HD inline float flux_sum(const float* cur, const float* prev, int K, int tid, int threads) {
    float s = 0.0f;
    for (int k = tid; k < K; k += threads) {
        const float d = cur[k] - prev[k];
        const float r = d <= 0.0f ? 0.0f : d;
        s += r * r;
    }
    return s;
}

QORVA_HD inline float flux_value(float S, int64_t t) { return t == 0 ? 0.0f : std::sqrt(S); }

// g / sqrt(S) of flux[t], or 0 where it passes no gradient (frame 0, the floor).
QORVA_HD inline float flux_weight(float S, float g, int64_t t) {
    return t >= 1 && g != 0.0f && S > 1e-12f ? (1.0f / std::sqrt(S)) * g : 0.0f;
}

// Complex gradient of a bin of value X and magnitude a, between the
// magnitudes ap and an of the neighbouring frames, from the weights of
// flux[t] and flux[t + 1].
QORVA_HD inline float2 flux_bin_gradient(float2 X, float a, float ap, float an, float w_prev, float w_next) {
    float da = 0.0f;
    if (w_prev != 0.0f && a - ap > 0.0f) da += (a - ap) * w_prev;
    if (w_next != 0.0f && an - a > 0.0f) da -= (an - a) * w_next;
    const float s = a > 1e-12f ? da / a : 0.0f;
    return make_float2(s * X.x, s * X.y);
}

// --- onset strength ------------------------------------------------------------

struct OParams {
    int32_t n_frames, n_mels, batch;
};

QORVA_HD inline float power_floor(float p) { return p > 1e-10f ? p : 1e-10f; }  // NaN takes the floor

// One thread's share of sum over bands of the dB rise of frame t (t >= 1) of
// the mel power rows mel[m * F + t]: 10 log10(cur / prev) where it rises, one
// logarithm of a ratio instead of two of levels.
QORVA_HD inline float onset_sum(const float* mel, int64_t F, int64_t t, int M, int tid, int threads) {
    float s = 0.0f;
    for (int m = tid; m < M; m += threads) {
        const float cur = power_floor(mel[m * F + t]), prev = power_floor(mel[m * F + t - 1]);
        if (cur > prev) s += std::log(cur / prev);
    }
    return s;
}

QORVA_HD inline float onset_value(float sum, int64_t t, int M) { return t == 0 ? 0.0f : sum * 4.3429448f / float(M); }

// Gradient with respect to mel power value t of one band row (frames
// fastest) from the onset gradients g of its row.
QORVA_HD inline float onset_power_gradient(const float* g, const float* band, int64_t t, int64_t F, int M) {
    const float cur = power_floor(band[t]);
    float d = 0.0f;
    if (t >= 1) {
        const float a = g[t] / float(M);
        if (a != 0.0f && cur > power_floor(band[t - 1])) d = a;
    }
    if (t + 1 < F) {
        const float c = g[t + 1] / float(M);
        if (c != 0.0f && power_floor(band[t + 1]) > cur) d -= c;
    }
    return band[t] > 1e-10f ? d * 4.3429446f / band[t] : 0.0f;
}

// --- tempogram -----------------------------------------------------------------

struct TParams {
    int32_t n_frames, batch, win_length;
};

// Windowed envelope value i of the segment centred on frame t (0 outside the row).
QORVA_HD inline float tempo_segment_value(const float* env, const float* window, int64_t t, int i, const TParams& p) {
    const int64_t s = t + i - p.win_length / 2;
    return s >= 0 && s < p.n_frames ? window[i] * env[s] : 0.0f;
}

QORVA_HD inline float tempo_energy(const float* f, int W, int tid, int threads) {
    float s = 0.0f;
    for (int i = tid; i < W; i += threads) s += f[i] * f[i];
    return s;
}

// Autocorrelation of the segment at lag l.
QORVA_HD inline float tempo_lag(const float* f, int W, int l) {
    float s = 0.0f;
    for (int i = 0; i + l < W; ++i) s += f[i] * f[i + l];
    return s;
}

// 1 / r_0, or 0 for a silent segment; the floor applies to r_0 scaled by the
// autocorrelation FFT length n_ac, as the CPU engine's unnormalised r[0].
QORVA_HD inline float tempo_scale(float energy, int n_ac) {
    return energy * float(n_ac) > 1e-12f ? 1.0f / energy : 0.0f;
}

// One thread's share of sum_l g_l out_l (lags tid, tid + threads, ...).
QORVA_HD inline float tempo_lowered(const float* f, const float* g, float scale, int W, int tid, int threads) {
    float s = 0.0f;
    for (int l = tid; l < W; l += threads) s += g[l] * (scale * tempo_lag(f, W, l));
    return s;
}

// The lag weights of the gradient, in place: with out_l = r_l / r_0,
// d/df_m sum_l g_l out_l = sum_l G_l (f_{m+l} + f_{m-l}) for G_l = g_l / r_0
// and G_0 = (g_0 - sum_l g_l out_l) / r_0 (the normaliser's derivative).
QORVA_HD inline float tempo_lag_weight(float g, int l, float scale, float lowered) {
    return scale * (l == 0 ? g - lowered : g);
}

QORVA_HD inline float tempo_segment_gradient(const float* f, const float* G, int W, int m) {
    float s = 0.0f;
    for (int l = 0; l + m < W; ++l) s += G[l] * f[m + l];
    for (int l = 0; l <= m; ++l) s += G[l] * f[m - l];
    return s;
}

// Gradient of envelope value e of a row from the segment gradients of its
// frames (df[t * W + i]): every frame t whose segment holds e at i = e - t + W/2.
QORVA_HD inline float tempo_envelope_gradient(const float* df, const float* window, int64_t e, const TParams& p) {
    const int64_t W = p.win_length, half = W / 2;
    const int64_t lo = e + half - W + 1 > 0 ? e + half - W + 1 : 0;
    const int64_t hi = e + half < p.n_frames - 1 ? e + half : p.n_frames - 1;
    float s = 0.0f;
    for (int64_t t = lo; t <= hi; ++t) s += window[e - t + half] * df[t * W + (e - t + half)];
    return s;
}

#ifdef __CUDACC__
// Reduces one value per thread over the block (blockDim.x a power of two) in
// tree_reduce's order through sh (blockDim.x entries); every thread gets the
// result.  All threads must call it; sh is free again when it returns.
template <typename T, typename Combine>
__device__ T block_reduce(T v, T* sh, Combine combine) {
    const int tid = static_cast<int>(threadIdx.x);
    sh[tid] = v;
    __syncthreads();
    for (int s = static_cast<int>(blockDim.x) / 2; s > 0; s >>= 1) {
        if (tid < s) sh[tid] = combine(sh[tid], sh[tid + s]);
        __syncthreads();
    }
    const T r = sh[0];
    __syncthreads();
    return r;
}
#endif

}  // namespace qorva::dsp::gpu::cuda
