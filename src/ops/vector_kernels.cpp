#include "ops/vector_kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "runtime/vector_clones.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QORVA_X86_TRANSPOSE 1
#endif

namespace qorva::dsp::ops::vec {

namespace {

// The loop bodies, written once for both precisions and inlined into every
// clone, so each is compiled for that clone's instruction set.
template <typename T>
[[gnu::always_inline]] inline void multiply_body(const T* a, const T* b, T* out, int64_t n) {
    for (int64_t i = 0; i < n; ++i) out[i] = a[i] * b[i];
}

template <typename T>
[[gnu::always_inline]] inline void multiply_add_body(T* __restrict acc, const T* __restrict a,
                                                     const T* __restrict b, int64_t n) {
    if (b == nullptr) {
        for (int64_t i = 0; i < n; ++i) acc[i] += a[i];
    } else {
        for (int64_t i = 0; i < n; ++i) acc[i] += a[i] * b[i];
    }
}

template <typename T>
[[gnu::always_inline]] inline void spectrum_power_body(const T* __restrict X, T* __restrict out, int64_t K,
                                                       bool magnitude) {
    for (int64_t k = 0; k < K; ++k) out[k] = X[2 * k] * X[2 * k] + X[2 * k + 1] * X[2 * k + 1];
    if (magnitude) {
        for (int64_t k = 0; k < K; ++k) out[k] = std::sqrt(out[k]);
    }
}

template <typename T>
constexpr T kDbScale = T(8.685889638065037);  // 20 / ln 10
template <>
constexpr float kDbScale<float> = 8.68588924407959f;

// Every bin is weighted 1/2 here; the unpaired bins are restored after the
// loop (a power-of-two factor, so exactly).
template <typename T>
[[gnu::always_inline]] inline void output_gradient_body(GradRule rule, const T* __restrict g, T* __restrict X,
                                                        int64_t K) {
    const T half = T(0.5);
    switch (rule) {
        case GradRule::magnitude:
            for (int64_t k = 0; k < K; ++k) {
                const T re = X[2 * k], im = X[2 * k + 1];
                const T mag = std::sqrt(re * re + im * im);
                const T s = mag > T(1e-12) ? g[k] / mag : T(0);
                X[2 * k] = half * (s * re);
                X[2 * k + 1] = half * (s * im);
            }
            break;
        case GradRule::power:
            for (int64_t k = 0; k < K; ++k) {
                const T s = T(2) * g[k];
                X[2 * k] = half * (s * X[2 * k]);
                X[2 * k + 1] = half * (s * X[2 * k + 1]);
            }
            break;
        case GradRule::db:
            for (int64_t k = 0; k < K; ++k) {
                const T re = X[2 * k], im = X[2 * k + 1];
                const T p = re * re + im * im;
                const T s = p > static_cast<T>(1e-10) ? g[k] * kDbScale<T> / p : T(0);
                X[2 * k] = half * (s * re);
                X[2 * k + 1] = half * (s * im);
            }
            break;
    }
}

template <typename T>
void restore_unpaired(T* X, int64_t K, bool even_n) {
    X[0] *= T(2);
    X[1] = T(0);
    if (even_n && K > 1) {
        X[2 * K - 2] *= T(2);
        X[2 * K - 1] = T(0);
    }
}

template <typename T>
[[gnu::always_inline]] inline void hermitian_halve_body(const T* __restrict G, T* __restrict out, int64_t K,
                                                        bool even_n) {
    for (int64_t i = 0; i < 2 * K; ++i) out[i] = T(0.5) * G[i];
    // The bins without a mirror image keep their whole weight and no imaginary part.
    out[0] = G[0];
    out[1] = T(0);
    if (even_n && K > 1) {
        out[2 * K - 2] = G[2 * K - 2];
        out[2 * K - 1] = T(0);
    }
}

// Sum of term(k) for first <= k < end in a fixed order: whole groups of
// eight in eight partial sums (k - first to sum (k - first) % 8), added
// pairwise, then the rest in order.
template <typename Term>
[[gnu::always_inline]] inline double eight_way_sum(int64_t first, int64_t end, const Term& term) {
    double acc[8] = {};
    int64_t k = first;
    for (; k + 8 <= end; k += 8) {
        for (int l = 0; l < 8; ++l) acc[l] += term(k + l);
    }
    double tail = 0.0;
    for (; k < end; ++k) tail += term(k);
    return (((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]))) + tail;
}

template <typename T>
[[gnu::always_inline]] inline double hermitian_power_dot_body(const T* __restrict X, const T* __restrict G, int64_t K,
                                                             bool even_n) {
    auto term = [&](int64_t k) {
        const T p = X[2 * k] * X[2 * k] + X[2 * k + 1] * X[2 * k + 1];
        return static_cast<double>(p) * static_cast<double>(G[2 * k]);
    };
    const int64_t interior_end = even_n ? K - 1 : K;  // bins 1 .. interior_end - 1 have a mirror image
    const double interior = eight_way_sum(1, interior_end, term);
    double ends = K > 0 ? term(0) : 0.0;
    if (even_n && K > 1) ends += term(K - 1);
    return ends + 2.0 * interior;
}

template <typename T>
[[gnu::always_inline]] inline void scale_by_real_part_body(T* __restrict X, const T* __restrict G, int64_t K,
                                                           T lowered, T scale) {
    for (int64_t k = 0; k < K; ++k) {
        const T w = scale * (G[2 * k] - lowered);
        X[2 * k] *= w;
        X[2 * k + 1] *= w;
    }
}

template <typename T>
[[gnu::always_inline]] inline T dot_body(const T* __restrict a, const T* __restrict b, int64_t n) {
    T tail = T(0);
    const int64_t body = n - n % 8;
    for (int64_t i = body; i < n; ++i) tail += a[i] * b[i];
    if (body == 0) return tail;
    T acc[8] = {};
    for (int64_t i = 0; i < body; i += 8) {
        for (int l = 0; l < 8; ++l) acc[l] += a[i + l] * b[i + l];
    }
    return (((acc[0] + acc[4]) + (acc[1] + acc[5])) + ((acc[2] + acc[6]) + (acc[3] + acc[7]))) + tail;
}

template <typename T>
[[gnu::always_inline]] inline void gather_pairs_body(const T* __restrict g, const int32_t* __restrict i0,
                                                     const T* __restrict w0, const int32_t* __restrict i1,
                                                     const T* __restrict w1, T* __restrict out, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        T d = T(0);
        d += g[i0[k]] * w0[k];
        d += g[i1[k]] * w1[k];
        out[k] = d;
    }
}

template <typename T>
[[gnu::always_inline]] inline void onset_rise_body(const T* __restrict prev, const T* __restrict cur,
                                                   const T* __restrict next, T a, T c, T scale, T* __restrict out,
                                                   int64_t M) {
    const bool rise_in = a != T(0), rise_out = c != T(0);
    for (int64_t m = 0; m < M; ++m) {
        const double p = static_cast<double>(cur[m]);
        const double here = p > 1e-10 ? p : 1e-10;
        const double before = static_cast<double>(prev[m]) > 1e-10 ? static_cast<double>(prev[m]) : 1e-10;
        const double after = static_cast<double>(next[m]) > 1e-10 ? static_cast<double>(next[m]) : 1e-10;
        T d = rise_in && here > before ? a : T(0);
        d = rise_out && after > here ? d - c : d;
        out[m] = p > 1e-10 ? d * scale / cur[m] : T(0);
    }
}

// |re + i im| formed in the magnitudes' type M.
template <typename T, typename M>
[[gnu::always_inline]] inline void split_magnitude_body(const T* __restrict re, const T* __restrict im,
                                                        M* __restrict mag, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        const M r = re[k], i = im[k];
        mag[k] = std::sqrt(r * r + i * i);
    }
}

template <typename T>
[[gnu::always_inline]] inline void magnitude_chain_body(const double* __restrict a, const double* __restrict da,
                                                        const T* __restrict re, const T* __restrict im,
                                                        T* __restrict dre, T* __restrict dim, int64_t K) {
    for (int64_t k = 0; k < K; ++k) {
        const double scale = static_cast<T>(a[k]) > T(1e-12) ? da[k] / a[k] : 0.0;
        dre[k] = static_cast<T>(scale * re[k]);
        dim[k] = static_cast<T>(scale * im[k]);
    }
}

template <typename T>
[[gnu::always_inline]] inline double rectified_energy_body(const T* __restrict cur, const T* __restrict prev,
                                                           int64_t K) {
    auto term = [&](int64_t k) {
        const T d = cur[k] - prev[k];
        const double r = d <= T(0) ? 0.0 : static_cast<double>(d);  // a NaN difference stays NaN
        return r * r;
    };
    return eight_way_sum(0, K, term);
}

template <typename T>
[[gnu::always_inline]] inline void flux_rise_body(const T* __restrict a, const T* __restrict ap,
                                                  const T* __restrict an, const T* __restrict re,
                                                  const T* __restrict im, T w_prev, T w_next, T* __restrict dre,
                                                  T* __restrict dim, int64_t K) {
    const bool rise_in = w_prev != T(0), rise_out = w_next != T(0);
    for (int64_t k = 0; k < K; ++k) {
        const T d1 = a[k] - ap[k], d2 = an[k] - a[k];
        T da = T(0);
        da += rise_in && d1 > T(0) ? d1 * w_prev : T(0);
        da -= rise_out && d2 > T(0) ? d2 * w_next : T(0);
        const T scale = a[k] > T(1e-12) ? da / a[k] : T(0);
        dre[k] = scale * re[k];
        dim[k] = scale * im[k];
    }
}

template <typename T>
[[gnu::always_inline]] inline void band_adjoint_body(const T* __restrict v, const int32_t* offset,
                                                     const int32_t* first, const T* __restrict g, T* __restrict G,
                                                     int64_t rows) {
    for (int64_t r = 0; r < rows; ++r) {
        const T gr = g[2 * r], gi = g[2 * r + 1];
        const int64_t len = 2 * static_cast<int64_t>(offset[r + 1] - offset[r]);
        const T* conj_run = v + 4 * static_cast<int64_t>(offset[r]);
        const T* turned_run = conj_run + len;
        T* dst = G + 2 * static_cast<int64_t>(first[r]);
        for (int64_t i = 0; i < len; ++i) dst[i] += gr * conj_run[i] + gi * turned_run[i];
    }
}

// Tiles of 8 x 8 keep both sides' cache lines live while they are used.
template <typename T>
void transpose_generic(const T* src, int64_t ss, T* dst, int64_t ds, int64_t rows, int64_t cols) {
    constexpr int64_t tile = 8;
    for (int64_t r0 = 0; r0 < rows; r0 += tile) {
        const int64_t r1 = r0 + tile < rows ? r0 + tile : rows;
        for (int64_t c0 = 0; c0 < cols; c0 += tile) {
            const int64_t c1 = c0 + tile < cols ? c0 + tile : cols;
            for (int64_t c = c0; c < c1; ++c) {
                for (int64_t r = r0; r < r1; ++r) dst[c * ds + r] = src[r * ss + c];
            }
        }
    }
}

#ifdef QORVA_X86_TRANSPOSE

__attribute__((target("avx2"))) inline void transpose_tile(const float* src, int64_t ss, float* dst, int64_t ds) {
    __m256 r[8], t[8];
    for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(src + i * ss);
    for (int i = 0; i < 8; i += 2) {
        t[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
        t[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
    }
    for (int i = 0; i < 8; i += 4) {
        r[i] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(1, 0, 1, 0));
        r[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], _MM_SHUFFLE(3, 2, 3, 2));
        r[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(1, 0, 1, 0));
        r[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int i = 0; i < 4; ++i) {
        _mm256_storeu_ps(dst + i * ds, _mm256_permute2f128_ps(r[i], r[i + 4], 0x20));
        _mm256_storeu_ps(dst + (i + 4) * ds, _mm256_permute2f128_ps(r[i], r[i + 4], 0x31));
    }
}

__attribute__((target("avx2"))) inline void transpose_tile(const double* src, int64_t ss, double* dst,
                                                           int64_t ds) {
    const __m256d r0 = _mm256_loadu_pd(src), r1 = _mm256_loadu_pd(src + ss);
    const __m256d r2 = _mm256_loadu_pd(src + 2 * ss), r3 = _mm256_loadu_pd(src + 3 * ss);
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
    _mm256_storeu_pd(dst, _mm256_permute2f128_pd(t0, t2, 0x20));
    _mm256_storeu_pd(dst + ds, _mm256_permute2f128_pd(t1, t3, 0x20));
    _mm256_storeu_pd(dst + 2 * ds, _mm256_permute2f128_pd(t0, t2, 0x31));
    _mm256_storeu_pd(dst + 3 * ds, _mm256_permute2f128_pd(t1, t3, 0x31));
}

// Whole tiles with the register transpose, the ragged right and bottom
// edges element by element.
template <typename T>
__attribute__((target("avx2"))) void transpose_avx2(const T* src, int64_t ss, T* dst, int64_t ds, int64_t rows,
                                                    int64_t cols) {
    constexpr int64_t tile = 32 / sizeof(T);
    const int64_t full_rows = rows - rows % tile, full_cols = cols - cols % tile;
    for (int64_t r = 0; r < full_rows; r += tile) {
        for (int64_t c = 0; c < full_cols; c += tile) transpose_tile(src + r * ss + c, ss, dst + c * ds + r, ds);
    }
    if (full_cols < cols) transpose_generic(src + full_cols, ss, dst + full_cols * ds, ds, rows, cols - full_cols);
    if (full_rows < rows) {
        transpose_generic(src + full_rows * ss, ss, dst + full_rows, ds, rows - full_rows, full_cols);
    }
}

bool has_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

#endif

template <typename T>
void transpose_any(const T* src, int64_t ss, T* dst, int64_t ds, int64_t rows, int64_t cols) {
#ifdef QORVA_X86_TRANSPOSE
    if (has_avx2()) return transpose_avx2(src, ss, dst, ds, rows, cols);
#endif
    transpose_generic(src, ss, dst, ds, rows, cols);
}

}  // namespace

QORVA_VECTOR_CLONES void multiply(const float* a, const float* b, float* out, int64_t n) {
    multiply_body(a, b, out, n);
}
QORVA_VECTOR_CLONES void multiply(const double* a, const double* b, double* out, int64_t n) {
    multiply_body(a, b, out, n);
}

QORVA_VECTOR_CLONES void multiply_add(float* acc, const float* a, const float* b, int64_t n) {
    multiply_add_body(acc, a, b, n);
}
QORVA_VECTOR_CLONES void multiply_add(double* acc, const double* a, const double* b, int64_t n) {
    multiply_add_body(acc, a, b, n);
}

QORVA_VECTOR_CLONES void spectrum_power(const float* X, float* out, int64_t K, bool magnitude) {
    spectrum_power_body(X, out, K, magnitude);
}
QORVA_VECTOR_CLONES void spectrum_power(const double* X, double* out, int64_t K, bool magnitude) {
    spectrum_power_body(X, out, K, magnitude);
}

QORVA_VECTOR_CLONES void output_gradient(GradRule rule, const float* g, float* X, int64_t K, bool even_n) {
    output_gradient_body(rule, g, X, K);
    restore_unpaired(X, K, even_n);
}
QORVA_VECTOR_CLONES void output_gradient(GradRule rule, const double* g, double* X, int64_t K, bool even_n) {
    output_gradient_body(rule, g, X, K);
    restore_unpaired(X, K, even_n);
}

QORVA_VECTOR_CLONES void hermitian_halve(const float* G, float* out, int64_t K, bool even_n) {
    hermitian_halve_body(G, out, K, even_n);
}
QORVA_VECTOR_CLONES void hermitian_halve(const double* G, double* out, int64_t K, bool even_n) {
    hermitian_halve_body(G, out, K, even_n);
}

QORVA_VECTOR_CLONES double hermitian_power_dot(const float* X, const float* G, int64_t K, bool even_n) {
    return hermitian_power_dot_body(X, G, K, even_n);
}
QORVA_VECTOR_CLONES double hermitian_power_dot(const double* X, const double* G, int64_t K, bool even_n) {
    return hermitian_power_dot_body(X, G, K, even_n);
}

QORVA_VECTOR_CLONES void scale_by_real_part(float* X, const float* G, int64_t K, float lowered, float scale) {
    scale_by_real_part_body(X, G, K, lowered, scale);
}
QORVA_VECTOR_CLONES void scale_by_real_part(double* X, const double* G, int64_t K, double lowered, double scale) {
    scale_by_real_part_body(X, G, K, lowered, scale);
}

QORVA_VECTOR_CLONES void band_dots(const float* w, const int32_t* offset, const int32_t* start, const float* x,
                                   float* out, int64_t bands) {
    for (int64_t m = 0; m < bands; ++m) out[m] = dot_body(w + offset[m], x + start[m], offset[m + 1] - offset[m]);
}
QORVA_VECTOR_CLONES void band_dots(const double* w, const int32_t* offset, const int32_t* start, const double* x,
                                   double* out, int64_t bands) {
    for (int64_t m = 0; m < bands; ++m) out[m] = dot_body(w + offset[m], x + start[m], offset[m + 1] - offset[m]);
}

QORVA_VECTOR_CLONES void gather_pairs(const float* g, const int32_t* i0, const float* w0, const int32_t* i1,
                                      const float* w1, float* out, int64_t K) {
    gather_pairs_body(g, i0, w0, i1, w1, out, K);
}
QORVA_VECTOR_CLONES void gather_pairs(const double* g, const int32_t* i0, const double* w0, const int32_t* i1,
                                      const double* w1, double* out, int64_t K) {
    gather_pairs_body(g, i0, w0, i1, w1, out, K);
}

QORVA_VECTOR_CLONES void onset_rise_gradient(const float* prev, const float* cur, const float* next, float a,
                                             float c, float scale, float* out, int64_t M) {
    onset_rise_body(prev, cur, next, a, c, scale, out, M);
}
QORVA_VECTOR_CLONES void onset_rise_gradient(const double* prev, const double* cur, const double* next, double a,
                                             double c, double scale, double* out, int64_t M) {
    onset_rise_body(prev, cur, next, a, c, scale, out, M);
}

QORVA_VECTOR_CLONES void split_magnitude(const float* re, const float* im, float* mag, int64_t K) {
    split_magnitude_body(re, im, mag, K);
}
QORVA_VECTOR_CLONES void split_magnitude(const double* re, const double* im, double* mag, int64_t K) {
    split_magnitude_body(re, im, mag, K);
}

QORVA_VECTOR_CLONES void split_magnitude(const float* re, const float* im, double* mag, int64_t K) {
    split_magnitude_body(re, im, mag, K);
}

QORVA_VECTOR_CLONES void quartic_in_offset(const double* f, double mu, const double* c, double* da, int64_t K) {
    const double c0 = c[0], c1 = c[1], c2 = c[2], c3 = c[3], c4 = c[4];
    for (int64_t k = 0; k < K; ++k) {
        const double d = f[k] - mu;
        da[k] = (((c4 * d + c3) * d + c2) * d + c1) * d + c0;
    }
}

QORVA_VECTOR_CLONES void magnitude_chain(const double* a, const double* da, const float* re, const float* im,
                                         float* dre, float* dim, int64_t K) {
    magnitude_chain_body(a, da, re, im, dre, dim, K);
}
QORVA_VECTOR_CLONES void magnitude_chain(const double* a, const double* da, const double* re, const double* im,
                                         double* dre, double* dim, int64_t K) {
    magnitude_chain_body(a, da, re, im, dre, dim, K);
}

QORVA_VECTOR_CLONES double rectified_energy(const float* cur, const float* prev, int64_t K) {
    return rectified_energy_body(cur, prev, K);
}
QORVA_VECTOR_CLONES double rectified_energy(const double* cur, const double* prev, int64_t K) {
    return rectified_energy_body(cur, prev, K);
}

QORVA_VECTOR_CLONES void flux_rise_gradient(const float* a, const float* ap, const float* an, const float* re,
                                            const float* im, float w_prev, float w_next, float* dre, float* dim,
                                            int64_t K) {
    flux_rise_body(a, ap, an, re, im, w_prev, w_next, dre, dim, K);
}
QORVA_VECTOR_CLONES void flux_rise_gradient(const double* a, const double* ap, const double* an, const double* re,
                                            const double* im, double w_prev, double w_next, double* dre,
                                            double* dim, int64_t K) {
    flux_rise_body(a, ap, an, re, im, w_prev, w_next, dre, dim, K);
}

QORVA_VECTOR_CLONES void band_adjoint(const float* v, const int32_t* offset, const int32_t* first, const float* g,
                                      float* G, int64_t rows) {
    band_adjoint_body(v, offset, first, g, G, rows);
}
QORVA_VECTOR_CLONES void band_adjoint(const double* v, const int32_t* offset, const int32_t* first,
                                      const double* g, double* G, int64_t rows) {
    band_adjoint_body(v, offset, first, g, G, rows);
}

void transpose(const float* src, int64_t ss, float* dst, int64_t ds, int64_t rows, int64_t cols) {
    transpose_any(src, ss, dst, ds, rows, cols);
}
void transpose(const double* src, int64_t ss, double* dst, int64_t ds, int64_t rows, int64_t cols) {
    transpose_any(src, ss, dst, ds, rows, cols);
}

namespace {

// The first frame of a row's line that ends at or before frame `epoch` and
// starts after epoch - 2 * kLineFrames: epoch less the frames from the
// start of epoch's own line, less a line.  Integer arithmetic: the frames
// may lie past the row's ends.
int64_t line_start(const float* row, int64_t epoch) {
    const uintptr_t frame = reinterpret_cast<uintptr_t>(row) / sizeof(float) + static_cast<uintptr_t>(epoch);
    return epoch - static_cast<int64_t>(frame % kLineFrames) - kLineFrames;
}

}  // namespace

#ifdef QORVA_X86_TRANSPOSE
namespace {

// One gather per line: lane l reads frame s + l of row r from its ring slot.
__attribute__((target("avx512f"))) void store_lines_avx512(const float* ring, int64_t stride, int64_t width,
                                                           float* rows, int64_t F, int64_t epoch, int64_t lo,
                                                           int64_t hi, bool stream) {
    static_assert(kLineFrames == 16 && kRingFrames == 32);
    // slot_offset[i] = (i % 32) * stride: the ring offsets of 16 consecutive
    // frames from any slot on.
    alignas(64) int32_t slot_offset[2 * kRingFrames];
    for (int32_t i = 0; i < 2 * kRingFrames; ++i) slot_offset[i] = static_cast<int32_t>((i % kRingFrames) * stride);
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int64_t r = 0; r < width; ++r) {
        float* row = rows + r * F;
        const int64_t s = line_start(row, epoch);
        const int64_t first = std::max(s, lo), last = std::min(s + kLineFrames, hi);
        if (first >= last) continue;
        const __m512i offsets = _mm512_add_epi32(
            _mm512_loadu_si512(slot_offset + (s & (kRingFrames - 1))), _mm512_set1_epi32(static_cast<int32_t>(r)));
        // (The masked form: the plain one starts from an undefined register.)
        const __m512 line = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), 0xFFFF, offsets, ring, sizeof(float));
        if (first == s && last == s + kLineFrames) {
            if (stream) {
                _mm512_stream_ps(row + s, line);
            } else {
                _mm512_store_ps(row + s, line);
            }
        } else {
            // The lanes of [first, last): a piece shared with a neighbouring
            // task or the row's ends.
            const __mmask16 keep = _mm512_cmpge_epi32_mask(lane, _mm512_set1_epi32(static_cast<int32_t>(first - s))) &
                                   _mm512_cmplt_epi32_mask(lane, _mm512_set1_epi32(static_cast<int32_t>(last - s)));
            // The line may begin before the array or end after it: its
            // address is formed as an integer, and masked lanes touch nothing.
            _mm512_mask_storeu_ps(reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(row) + s * sizeof(float)), keep,
                                  line);
        }
    }
}

}  // namespace
#endif

bool has_line_stores() {
#ifdef QORVA_X86_TRANSPOSE
    static const bool yes = __builtin_cpu_supports("avx512f");
    return yes;
#else
    return false;
#endif
}

void store_lines(const float* ring, int64_t stride, int64_t width, float* rows, int64_t F, int64_t epoch, int64_t lo,
                 int64_t hi, bool stream) {
#ifdef QORVA_X86_TRANSPOSE
    if (has_line_stores()) return store_lines_avx512(ring, stride, width, rows, F, epoch, lo, hi, stream);
#endif
    // Elsewhere the same lines, one value at a time.
    for (int64_t r = 0; r < width; ++r) {
        float* row = rows + r * F;
        const int64_t s = line_start(row, epoch);
        for (int64_t f = std::max(s, lo); f < std::min(s + kLineFrames, hi); ++f) {
            row[f] = ring[(f & (kRingFrames - 1)) * stride + r];
        }
    }
}

void finish_streaming_stores() {
#ifdef QORVA_X86_TRANSPOSE
    _mm_sfence();
#endif
}

const char* transpose_isa() {
#ifdef QORVA_X86_TRANSPOSE
    if (has_avx2()) return "avx2";
#endif
    return "generic";
}

}  // namespace qorva::dsp::ops::vec
