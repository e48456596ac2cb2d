// Per-sample and per-bin arithmetic of the GPU framing kernels: padding,
// the packed half-length real FFT (split and its inverse), output modes and
// their gradients, and the overlap-add gather.  Everything is host-callable
// too, so the C++ tests check it against the CPU engines without a GPU.
#pragma once

#include <cmath>
#include <cstdint>

#include <vector_functions.h>

#include "gpu/cuda_fft_math.cuh"
#include "ops/framing.hpp"

namespace qorva::dsp::gpu::cuda {

// Output kinds of the STFT (same codes as ops::OutputMode).
inline constexpr int kModeComplex = 0;
inline constexpr int kModeMagnitude = 1;
inline constexpr int kModePower = 2;
inline constexpr int kModeDb = 3;

// Sample at unpadded position t of a row of L samples: zero outside with
// constant padding; with reflect padding the signal is mirrored about its
// first and last samples without repeating them (period 2L - 2), for padding
// of any length.  A one-sample row reflects to itself; an empty row is zero.
template <typename T>
QORVA_HD inline T padded_sample(const T* x, int64_t L, int64_t t, bool reflect) {
    if (t >= 0 && t < L) return x[t];
    if (!reflect || L <= 0) return T(0);
    if (L == 1) return x[0];
    const int64_t period = 2 * L - 2;
    int64_t r = t % period;
    if (r < 0) r += period;
    if (r >= L) r = period - r;
    return x[r];
}

// X[k] of a real frame of length n = 2h from Z = FFT_h of its packed form
// z[j] = x[2j] + i x[2j+1]: X[k] = (Z[k] + conj Z[h-k]) / 2
// - i w^k (Z[k] - conj Z[h-k]) / 2 with w^k = e^(-2 pi i k / n), Z[h] = Z[0].
template <typename C>
QORVA_HD inline C split_bin(C zk, C zmk, C wk) {
    using R = typename real_of<C>::type;
    const C e = cscale(cadd(zk, cconj(zmk)), R(0.5));
    const C o = cmul(wk, csub(zk, cconj(zmk)));
    return cmake<C>(e.x + R(0.5) * o.y, e.y - R(0.5) * o.x);
}

// The inverse of split_bin: Z[k] such that the unnormalised inverse FFT_h of
// Z, read as pairs (re, im), is the unnormalised inverse real FFT of the
// half spectrum Y (Y[0] and Y[h] must already be real):
// Z[k] = (Y[k] + conj Y[h-k]) + i conj(w^k) (Y[k] - conj Y[h-k]).
template <typename C>
QORVA_HD inline C c2r_pack(C yk, C ymk, C wk) {
    const C s = cadd(yk, cconj(ymk));
    const C d = cmul(cconj(wk), csub(yk, cconj(ymk)));
    return cmake<C>(s.x - d.y, s.y + d.x);
}

// e^(-2 pi i k / n) for k = 0 .. h, from a table of the first h values.
template <typename C>
QORVA_HD inline C split_twiddle(const C* table, int k, int h) {
    using R = typename real_of<C>::type;
    return k < h ? table[k] : cmake<C>(R(-1), R(0));
}

// 10 log10(max(p, 1e-10)); a NaN power gives the floor.
QORVA_HD inline float db_of_power(float p) { return std::log(p > 1e-10f ? p : 1e-10f) * 0.4342945f * 10.0f; }
QORVA_HD inline double db_of_power(double p) { return 10.0 * std::log10(p > 1e-10 ? p : 1e-10); }

template <typename R>
QORVA_HD inline R mode_value(R re, R im, int mode) {
    const R p = re * re + im * im;
    if (mode == kModeMagnitude) return std::sqrt(p);
    if (mode == kModeDb) return db_of_power(p);
    return p;
}

// Factor s with d(output)/d(re, im) = s (re, im) for an output gradient g;
// values held at a guard pass no gradient.
QORVA_HD inline float mode_grad_scale(int mode, float g, float p) {
    if (mode == kModeMagnitude) {
        const float mag = std::sqrt(p);
        return mag > 1e-12f ? g / mag : 0.0f;
    }
    if (mode == kModePower) return 2.0f * g;
    return p > 1e-10f ? g * 8.68588924407959f / p : 0.0f;
}

// Packed windowed sample pair j of the frame starting at unpadded position
// `start`: z[j] = x[2j] w[2j] + i x[2j+1] w[2j+1].
template <typename T, typename C>
QORVA_HD inline C packed_pair(const T* x, int64_t L, int64_t start, int j, const T* window, bool reflect) {
    return cmake<C>(padded_sample(x, L, start + 2 * j, reflect) * window[2 * j],
                    padded_sample(x, L, start + 2 * j + 1, reflect) * window[2 * j + 1]);
}

// The complex gradient G of a bin whose spectrum value is X: the given
// complex gradient, or the real output gradient g times d(output)/d(re, im).
QORVA_HD inline float2 bin_gradient(const float2* cgrad, const float* rgrad, int64_t idx, float2 X, int mode) {
    if (mode == kModeComplex) return cgrad[idx];
    const float s = mode_grad_scale(mode, rgrad[idx], X.x * X.x + X.y * X.y);
    return make_float2(X.x * s, X.y * s);
}

// Adjoint of the real FFT of a frame of length 2h for bins k and m = h - k
// (0 <= k <= h/2) with complex gradients Gk and Gm: writes s[k] and s[m] with
// the packed input of the inverse half-length FFT whose output pairs are the
// frame gradient.  Interior bins count half (the inverse counts them twice),
// bin 0 and the Nyquist bin keep their real part.
QORVA_HD inline void real_fft_adjoint_pair(float2* s, int k, int h, float2 Gk, float2 Gm, const float2* stw) {
    const int m = h - k;
    const float2 wk = split_twiddle(stw, k, h), wm = split_twiddle(stw, m, h);
    const float2 Yk = k == 0 ? make_float2(Gk.x, 0.0f) : make_float2(0.5f * Gk.x, 0.5f * Gk.y);
    const float2 Ym = m == h ? make_float2(Gm.x, 0.0f) : make_float2(0.5f * Gm.x, 0.5f * Gm.y);
    s[k % h] = c2r_pack(Yk, Ym, wk);
    if (m != k && m != h) s[m] = c2r_pack(Ym, Yk, wm);
}

// STFT backward, bins k and h - k (0 <= k <= h/2) of one frame: with s
// holding the packed forward spectrum Z (real modes only), forms the bin
// gradients and rewrites s[k], s[h - k] with the packed input of the inverse
// half-length FFT whose output pairs are the frame gradient before the
// window.  The adjoint of the real FFT: interior bins count half (the inverse
// counts them twice), bin 0 and the Nyquist bin keep their real part.
QORVA_HD inline void stft_bwd_pair(float2* s, int k, int h, const float2* cgrad, const float* rgrad, int64_t base,
                                   int mode, const float2* stw) {
    const int m = h - k;  // partner bin; m == h for k == 0
    const float2 wk = split_twiddle(stw, k, h), wm = split_twiddle(stw, m, h);
    float2 Xk = make_float2(0.0f, 0.0f), Xm = Xk;
    if (mode != kModeComplex) {
        const float2 zk = s[k % h], zm = s[m % h];
        Xk = split_bin(zk, zm, wk);
        Xm = split_bin(zm, zk, wm);
    }
    real_fft_adjoint_pair(s, k, h, bin_gradient(cgrad, rgrad, base + k, Xk, mode),
                          bin_gradient(cgrad, rgrad, base + m, Xm, mode), stw);
}

// ISTFT forward, bins k and h - k of one frame's half spectrum Y: the packed
// input of the inverse half-length FFT (the imaginary parts of bin 0 and the
// Nyquist bin are ignored, as by any inverse real FFT).
QORVA_HD inline void istft_pair(float2* s, int k, int h, const float2* Y, const float2* stw) {
    const int m = h - k;
    const float2 wk = split_twiddle(stw, k, h), wm = split_twiddle(stw, m, h);
    float2 Yk = Y[k], Ym = Y[m];
    if (k == 0) Yk.y = 0.0f;
    if (m == h) Ym.y = 0.0f;
    s[k % h] = c2r_pack(Yk, Ym, wk);
    if (m != k && m != h) s[m] = c2r_pack(Ym, Yk, wm);
}

// Bin gradient k of the ISTFT from the forward real FFT X of a frame's
// windowed, scaled padded gradient: interior bins doubled, bin 0 and the
// Nyquist bin real.
template <typename C>
QORVA_HD inline C istft_bin_gradient(C X, int k, int h) {
    using R = typename real_of<C>::type;
    return (k == 0 || k == h) ? cmake<C>(X.x, R(0)) : cmake<C>(R(2) * X.x, R(2) * X.y);
}

// Element k of a full-length (n) frame spectrum built from a half spectrum Y
// of n/2 + 1 bins as the Hermitian extension (for the inverse FFT).
QORVA_HD inline float2 hermitian_value(const float2* Y, int k, int n) {
    const int h = n / 2;
    if (k <= h) {
        float2 v = Y[k];
        if (k == 0 || (n % 2 == 0 && k == h)) v.y = 0.0f;
        return v;
    }
    const float2 v = Y[n - k];
    return make_float2(v.x, -v.y);
}

// Sum of the frame values at padded position q: frames f with
// f hop <= q < f hop + len, 0 <= f < n_frames, in increasing f.
template <typename T>
QORVA_HD inline T overlap_sum(const T* frames, int64_t q, int len, int hop, int64_t n_frames) {
    int64_t lo = 0, hi = -1;
    ops::covering_frames(q, len, hop, n_frames, lo, hi);
    T s = T(0);
    for (int64_t f = lo; f <= hi; ++f) s += frames[f * len + (q - f * hop)];
    return s;
}

// Gradient of unpadded sample t (0 <= t < L) from the frame gradients of one
// row: the overlap sum at pad + t plus, with reflect padding, the overlap sums
// at every padded position that the padding copied from t, in the order the
// CPU fold adds them.
template <typename T>
QORVA_HD inline T ola_gather_value(const T* frames, int64_t t, int64_t L, int len, int hop, int64_t pad,
                                   int64_t n_frames, bool reflect) {
    const T direct = overlap_sum(frames, pad + t, len, hop, n_frames);
    if (!reflect) return direct;
    T images = T(0);
    const int64_t t_max = (n_frames - 1) * hop + len - 1 - pad;
    ops::for_each_reflect_image(t, L, -pad, t_max,
                                [&](int64_t u) { images += overlap_sum(frames, pad + u, len, hop, n_frames); });
    return direct + images;
}

}  // namespace qorva::dsp::gpu::cuda
