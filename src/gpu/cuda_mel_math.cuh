// Arithmetic of the GPU mel kernels: the filterbank in its two device forms,
// the per-frame band sums over a packed half-length spectrum, the dB stage,
// and the backward chain from band gradients to the packed input of the
// inverse half-length FFT.  The per-block bodies take the thread index and
// block size as arguments, so the C++ tests run them on the host against the
// CPU engine.
#pragma once

#include <cstdint>
#include <vector>

#include <vector_functions.h>

#include "gpu/cuda_frame_math.cuh"
#include "ops/mel.hpp"

namespace qorva::dsp::gpu::cuda {

// Band-major form (forward): band m sums weight[offset[m] + i] x spectrum
// value of bin start[m] + i for i < offset[m + 1] - offset[m].
struct MelBandsView {
    const int32_t* start;
    const int32_t* offset;
    const float* weight;
    int32_t n_mels;
};

// Bin-major form (backward): the at most two bands covering bin k and their
// weights, band -1 and weight 0 in an empty slot, so each bin gathers its
// gradient from two fixed entries (no atomics).
struct MelBinsView {
    const int2* band;
    const float2* weight;
};

// Host copies of both forms, built from the CPU engine's filterbank.
struct MelTables {
    std::vector<int32_t> start, offset;
    std::vector<float> weight;
    std::vector<int2> bin_band;
    std::vector<float2> bin_weight;
    bool two_bands_per_bin = true;  // false: some bin lies in three or more bands

    explicit MelTables(const ops::MelParams<float>& p) : offset{0}, bin_band(p.n_bins(), make_int2(-1, -1)),
                                                         bin_weight(p.n_bins(), make_float2(0.0f, 0.0f)) {
        for (const ops::MelBand<float>& band : p.filterbank) {
            const int32_t m = static_cast<int32_t>(start.size());
            start.push_back(band.start);
            for (std::size_t i = 0; i < band.weights.size(); ++i) {
                const int32_t k = band.start + static_cast<int32_t>(i);
                weight.push_back(band.weights[i]);
                if (bin_band[k].x < 0) {
                    bin_band[k].x = m, bin_weight[k].x = band.weights[i];
                } else if (bin_band[k].y < 0) {
                    bin_band[k].y = m, bin_weight[k].y = band.weights[i];
                } else {
                    two_bands_per_bin = false;
                }
            }
            offset.push_back(static_cast<int32_t>(weight.size()));
        }
    }

    MelBandsView bands() const { return {start.data(), offset.data(), weight.data(), int32_t(start.size())}; }
    MelBinsView bins() const { return {bin_band.data(), bin_weight.data()}; }
};

// |X_k| (magnitude) or |X_k|^2 (power and dB) of bin k of a real frame of
// length 2h, from Z, the FFT_h of its packed form.
QORVA_HD inline float mel_bin_value(const float2* Z, int k, int h, const float2* stw, int mode) {
    const float2 X = split_bin(Z[k % h], Z[(h - k) % h], split_twiddle(stw, k, h));
    const float power = X.x * X.x + X.y * X.y;
    return mode == kModeMagnitude ? std::sqrt(power) : power;
}

// Band m's weighted sum over its run, in increasing bin order.
QORVA_HD inline float mel_band_sum(const float2* Z, int m, int h, const float2* stw, MelBandsView fb, int mode) {
    const int32_t k0 = fb.start[m], first = fb.offset[m], count = fb.offset[m + 1] - first;
    float sum = 0.0f;
    for (int32_t i = 0; i < count; ++i) sum += fb.weight[first + i] * mel_bin_value(Z, k0 + i, h, stw, mode);
    return sum;
}

// One frame's mel values, written at out[m * stride]: each thread takes the
// bands tid, tid + threads, ...
QORVA_HD inline void mel_frame_values(const float2* Z, float* out, int64_t stride, int h, const float2* stw,
                                      MelBandsView fb, int mode, int tid, int threads) {
    for (int m = tid; m < fb.n_mels; m += threads) {
        const float sum = mel_band_sum(Z, m, h, stw, fb, mode);
        out[m * stride] = mode == kModeDb ? db_of_power(sum) : sum;
    }
}

// Gradients of one frame's band sums from the gradients of its outputs at
// g[m * stride]: through 10 log10(sum) in dB mode (zero at the floor), as is
// otherwise.  Needs the forward spectrum Z in dB mode only.
QORVA_HD inline void mel_band_gradients(const float* g, int64_t stride, float* band_grad, const float2* Z, int h,
                                        const float2* stw, MelBandsView fb, int mode, int tid, int threads) {
    for (int m = tid; m < fb.n_mels; m += threads) {
        float gm = g[m * stride];
        if (mode == kModeDb) {
            const float sum = mel_band_sum(Z, m, h, stw, fb, mode);
            gm = sum > 1e-10f ? gm * 4.3429448f / sum : 0.0f;
        }
        band_grad[m] = gm;
    }
}

// Complex gradient of bin k whose spectrum value is X, from the band
// gradients: the bin's share of its (at most two) bands, carried through
// |X| or |X|^2.
QORVA_HD inline float2 mel_bin_gradient(const float* band_grad, MelBinsView bins, int k, float2 X, int mode) {
    const int2 band = bins.band[k];
    const float2 w = bins.weight[k];
    float g = 0.0f;
    if (band.x >= 0) g += band_grad[band.x] * w.x;
    if (band.y >= 0) g += band_grad[band.y] * w.y;
    const float s = mode_grad_scale(mode == kModeMagnitude ? kModeMagnitude : kModePower, g, X.x * X.x + X.y * X.y);
    return make_float2(X.x * s, X.y * s);
}

// Backward through the real FFT for bins k and h - k (0 <= k <= h/2) of one
// frame: with s holding its packed forward spectrum Z, rewrites s[k] and
// s[h - k] with the packed input of the inverse half-length FFT whose output
// pairs are the frame gradient before the window.  One thread owns both
// entries, so the rewrite is in place.
QORVA_HD inline void mel_bwd_pair(float2* s, int k, int h, const float* band_grad, MelBinsView bins, int mode,
                                  const float2* stw) {
    const int m = h - k;  // partner bin; m == h for k == 0
    const float2 wk = split_twiddle(stw, k, h), wm = split_twiddle(stw, m, h);
    const float2 zk = s[k % h], zm = s[m % h];
    const float2 Gk = mel_bin_gradient(band_grad, bins, k, split_bin(zk, zm, wk), mode);
    const float2 Gm = mel_bin_gradient(band_grad, bins, m, split_bin(zm, zk, wm), mode);
    real_fft_adjoint_pair(s, k, h, Gk, Gm, stw);
}

}  // namespace qorva::dsp::gpu::cuda
