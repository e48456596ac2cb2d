// Arithmetic of the GPU CQT and chroma kernels: the halfband decimation and
// its transpose, the per-frame filter rows over a packed half-length spectrum
// and their adjoint, and the chroma fold with the exact gradient of its
// per-frame maximum.  The per-block bodies take the thread index and block
// size as arguments, so the C++ tests run them on the host against the CPU
// engines.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

#include <vector_functions.h>

#include "gpu/cqt_gpu.hpp"
#include "gpu/cuda_frame_math.cuh"
#include "ops/cqt.hpp"

namespace qorva::dsp::gpu::cuda {

// Chroma classes a fold thread keeps in its own accumulators.
inline constexpr int kMaxChroma = 32;

// The decimator: centre tap, the 32 odd taps h[1], h[3], ..., h[63], and the
// gain that keeps each halved level at the power of the level above.
struct HalfbandView {
    const float* odd;
    float center;
    float gain;
};

// Compressed rows of complex entries; row r holds [start[r], start[r + 1]).
struct SparseRowsView {
    const int32_t* start;
    const int32_t* col;
    const float2* val;
};

// Output i of the decimation of x (n samples, zero outside):
// gain (center x[2i] + sum_j odd[j] x[2i - 31 + 2j]), summed as the CPU does.
QORVA_HD inline float halfband_value(const float* x, int64_t n, int64_t i, HalfbandView hb) {
    float acc = hb.center * x[2 * i];
    for (int j = 0; j < 32; ++j) {
        const int64_t t = 2 * i - 31 + 2 * j;
        if (t >= 0 && t < n) acc += hb.odd[j] * x[t];
    }
    return acc * hb.gain;
}

// What the transpose of the decimation adds to sample t of the level above
// from the gradient gy (ny = ceil(n / 2) values) of the decimated level: an
// even t sees its centre tap, an odd t = 2m + 1 the outputs m - 15 ... m + 16.
QORVA_HD inline float halfband_adjoint_value(const float* gy, int64_t ny, int64_t t, HalfbandView hb) {
    if (t % 2 == 0) return hb.gain * hb.center * gy[t / 2];
    const int64_t m = t / 2;
    float acc = 0.0f;
    for (int j = 0; j < 32; ++j) {  // taps in reverse, as the CPU's transposed filter runs them
        const int64_t i = m - 15 + j;
        if (i >= 0 && i < ny) acc += hb.odd[31 - j] * gy[i];
    }
    return hb.gain * acc;
}

// Packed sample pair j of the centred, unwindowed frame starting at `start`
// on a level of n samples: z[j] = x[start + 2j] + i x[start + 2j + 1].
QORVA_HD inline float2 cqt_packed_pair(const float* level, int64_t n, int64_t start, int j) {
    const int64_t t = start + 2 * j;
    return make_float2(padded_sample(level, n, t, false), padded_sample(level, n, t + 1, false));
}

// Filter r's coefficient: kernel row r against the bins of the frame's real
// spectrum, each split on the fly from Z, the FFT_h of the packed frame.
QORVA_HD inline float2 cqt_filter_value(const float2* Z, int h, const float2* stw, SparseRowsView kernel, int r) {
    float re = 0.0f, im = 0.0f;
    for (int32_t e = kernel.start[r]; e < kernel.start[r + 1]; ++e) {
        const int k = kernel.col[e];
        const float2 X = split_bin(Z[k % h], Z[(h - k) % h], split_twiddle(stw, k, h));
        const float2 v = kernel.val[e];
        re += X.x * v.x - X.y * v.y;
        im += X.x * v.y + X.y * v.x;
    }
    return make_float2(re, im);
}

// One frame's outputs for an octave of n_filters filters (kernel rows
// already offset to the octave), written at out[r * stride] (float2 pairs in
// complex mode): each thread takes the filters tid, tid + threads, ...
QORVA_HD inline void cqt_frame_values(const float2* Z, void* out, int64_t stride, int h, const float2* stw,
                                      SparseRowsView kernel, int n_filters, int mode, int tid, int threads) {
    for (int r = tid; r < n_filters; r += threads) {
        const float2 C = cqt_filter_value(Z, h, stw, kernel, r);
        if (mode == kModeComplex) {
            static_cast<float2*>(out)[r * stride] = C;
        } else {
            static_cast<float*>(out)[r * stride] = mode_value(C.x, C.y, mode);
        }
    }
}

// Complex cotangents gC[r] of one frame's filters from the output gradient at
// g[r * stride] (float2 pairs in complex mode, where Z is not read); real
// modes recompute the coefficient and take the mode's chain rule.
QORVA_HD inline void cqt_filter_gradients(const void* g, int64_t stride, float2* gC, const float2* Z, int h,
                                          const float2* stw, SparseRowsView kernel, int n_filters, int mode, int tid,
                                          int threads) {
    for (int r = tid; r < n_filters; r += threads) {
        if (mode == kModeComplex) {
            gC[r] = static_cast<const float2*>(g)[r * stride];
            continue;
        }
        const float2 C = cqt_filter_value(Z, h, stw, kernel, r);
        const float s = mode_grad_scale(mode, static_cast<const float*>(g)[r * stride], C.x * C.x + C.y * C.y);
        gC[r] = make_float2(C.x * s, C.y * s);
    }
}

// Gradient of bin k of the frame's real spectrum: adjoint row k (the
// conjugate transpose of the octave's kernel) against the filter cotangents.
QORVA_HD inline float2 cqt_bin_gradient(const float2* gC, SparseRowsView adjoint, int k) {
    float re = 0.0f, im = 0.0f;
    for (int32_t e = adjoint.start[k]; e < adjoint.start[k + 1]; ++e) {
        const float2 g = gC[adjoint.col[e]];
        const float2 v = adjoint.val[e];
        re += g.x * v.x - g.y * v.y;
        im += g.x * v.y + g.y * v.x;
    }
    return make_float2(re, im);
}

// Bins k and h - k (0 <= k <= h/2) of the backward: writes s[k] and s[h - k]
// with the packed input of the inverse half-length FFT whose output pairs are
// the frame gradient.  Reads only gC, so s may still hold the forward spectrum.
QORVA_HD inline void cqt_bwd_pair(float2* s, int k, int h, const float2* gC, SparseRowsView adjoint,
                                  const float2* stw) {
    real_fft_adjoint_pair(s, k, h, cqt_bin_gradient(gC, adjoint, k), cqt_bin_gradient(gC, adjoint, h - k), stw);
}

// --- chroma -----------------------------------------------------------------

// Fold of frame f of one row's magnitudes mag [n_bins][F] into c (n_chroma
// values), bins added in increasing order; returns the frame's normaliser
// and sets `best` to the class that sets it, or -1 when the floor replaced
// it (a constant then).  The maximum propagates NaN and keeps the first of
// equal classes, as the CPU fold does.
QORVA_HD inline float chroma_fold_frame(const float* mag, int64_t F, int64_t f, const int32_t* map, int n_bins,
                                        int n_chroma, float* c, int& best) {
    for (int q = 0; q < n_chroma; ++q) c[q] = 0.0f;
    for (int k = 0; k < n_bins; ++k) c[map[k]] += mag[k * F + f];
    float m = std::fabs(c[0]);
    best = 0;
    for (int q = 1; q < n_chroma; ++q) {
        const float v = std::fabs(c[q]);
        if (!(v <= m)) m = v, best = q;
    }
    if (m > 1e-20f) return m;
    best = -1;
    return 1.0f;
}

// Chroma of frame f: out[q * F + f] = c[q] / N.
QORVA_HD inline void chroma_fold_value(const float* mag, float* out, int64_t F, int64_t f, const int32_t* map,
                                       int n_bins, int n_chroma) {
    float c[kMaxChroma];
    int best = 0;
    const float norm = chroma_fold_frame(mag, F, f, map, n_bins, n_chroma, c, best);
    for (int q = 0; q < n_chroma; ++q) out[q * F + f] = c[q] / norm;
}

// Gradient of frame f with respect to the magnitudes, gmag [n_bins][F], from
// the chroma gradient g [n_chroma][F]: out = c / N with N = max c, so
// dc = g / N, and the class holding the maximum also carries
// -sum_q g_q c_q / N^2 through N.
QORVA_HD inline void chroma_fold_adjoint_value(const float* mag, const float* g, float* gmag, int64_t F, int64_t f,
                                               const int32_t* map, int n_bins, int n_chroma) {
    float c[kMaxChroma];
    int best = 0;
    const float norm = chroma_fold_frame(mag, F, f, map, n_bins, n_chroma, c, best);
    float through_norm = 0.0f;
    for (int q = 0; q < n_chroma; ++q) {
        through_norm += g[q * F + f] * c[q];
        c[q] = g[q * F + f] / norm;
    }
    if (best >= 0) c[best] -= through_norm / (norm * norm);
    for (int k = 0; k < n_bins; ++k) gmag[k * F + f] = c[map[k]];
}

// --- host tables --------------------------------------------------------------

// One octave's launch: its level, hop, packed FFT length and its rows in the
// concatenated kernel and adjoint tables.
struct CqtOctavePlan {
    int32_t level, hop, n_fft, half, log2_half, n_filters, bin_offset, kernel_row, adjoint_row, threads;
    int32_t twiddle_offset;  // of its FFT_h twiddles (h values), then its split twiddles (h values)
};

// Host copies of the device tables, from the CPU engine's plan export.
struct CqtTables {
    std::vector<float> halfband;  // centre tap, then the 32 odd taps
    std::vector<CqtOctavePlan> octaves;
    std::vector<int32_t> kernel_start, kernel_col, adjoint_start, adjoint_col;
    std::vector<float2> kernel_val, adjoint_val, twiddles;
    int32_t n_bins = 0, deepest = 0, max_n_fft = 0;

    explicit CqtTables(const ops::CqtGpuPlan<float>& plan)
        : halfband(plan.halfband), kernel_start(plan.kernels.row_start), kernel_col(plan.kernels.col),
          adjoint_start(plan.adjoints.row_start), adjoint_col(plan.adjoints.col), n_bins(plan.n_bins),
          max_n_fft(plan.max_n_fft) {
        for (const auto& v : plan.kernels.val) kernel_val.push_back(make_float2(v.real(), v.imag()));
        for (const auto& v : plan.adjoints.val) adjoint_val.push_back(make_float2(v.real(), v.imag()));
        int32_t adjoint_row = 0;
        for (const auto& o : plan.octaves) {
            const int32_t h = o.n_fft / 2;
            int32_t log2_half = 0;
            while ((1 << log2_half) < h) ++log2_half;
            // Enough threads for one butterfly of every FFT pass each and for
            // the filters, in whole warps.
            int32_t threads = std::max(h / 2, o.n_filters);
            threads = std::min(256, std::max(32, (threads + 31) / 32 * 32));
            octaves.push_back({o.level, o.hop, o.n_fft, h, log2_half, o.n_filters, o.bin_offset, o.first_row,
                               adjoint_row, threads, static_cast<int32_t>(twiddles.size())});
            adjoint_row += h + 1;
            deepest = std::max(deepest, o.level);
            constexpr double two_pi = 6.283185307179586476925286766559;
            for (int32_t n : {h, o.n_fft}) {  // same double angles as the other engines' tables
                for (int32_t k = 0; k < h; ++k) {
                    const double a = k * (-two_pi) * (1.0 / n);
                    twiddles.push_back(make_float2(static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))));
                }
            }
        }
    }

    HalfbandView halfband_view() const { return {halfband.data() + 1, halfband[0], 1.4142135f}; }
    SparseRowsView kernel(const CqtOctavePlan& o) const {
        return {kernel_start.data() + o.kernel_row, kernel_col.data(), kernel_val.data()};
    }
    SparseRowsView adjoint(const CqtOctavePlan& o) const {
        return {adjoint_start.data() + o.adjoint_row, adjoint_col.data(), adjoint_val.data()};
    }
};

// The tables of a CQT engine whose plan exports within the GPU limits (octave
// FFTs in shared memory, whole FFT passes per barrier), or none.
inline std::optional<CqtTables> cqt_tables(const ops::CqtEngine<float>& engine) {
    ops::CqtGpuPlan<float> plan;
    if (!engine.export_gpu_plan(kCqtGpuMaxFft, plan)) return std::nullopt;
    CqtTables tables(plan);
    for (const CqtOctavePlan& o : tables.octaves) {
        if (!shared_fft_fits(o.half, o.threads, false, 16)) return std::nullopt;
    }
    return tables;
}

// Sample counts of the pyramid levels 0 ... deepest for a signal of L samples.
inline std::vector<int64_t> level_lengths(int64_t L, int32_t deepest) {
    std::vector<int64_t> len{L};
    for (int32_t l = 1; l <= deepest; ++l) len.push_back(len.back() / 2 + len.back() % 2);
    return len;
}

}  // namespace qorva::dsp::gpu::cuda
