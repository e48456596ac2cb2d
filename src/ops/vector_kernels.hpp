// The hot element-wise loops of the framed engines, compiled for the vector
// units the machine has and chosen at run time.
//
// On x86-64 every kernel is built three times (AVX-512, AVX2 + FMA and the
// SSE2 baseline) and the loader picks the widest the processor runs; the
// transposes use AVX intrinsics when the processor has AVX2.  Elsewhere
// (aarch64) the plain loops are vectorised for the baseline, which there
// includes NEON.  The build keeps multiplies and adds unfused, so every
// variant computes the same values.
//
// Spectra are interleaved (re, im) pairs of K = n/2 + 1 bins, as FFTW writes
// them.  Pointers of one call never alias unless a kernel says so.
#pragma once

#include <cstdint>

namespace qorva::dsp::ops::vec {

// out[i] = a[i] * b[i] (out may be a).
void multiply(const float* a, const float* b, float* out, int64_t n);
void multiply(const double* a, const double* b, double* out, int64_t n);

// acc[i] += a[i] * b[i]; b == nullptr means acc[i] += a[i].
void multiply_add(float* acc, const float* a, const float* b, int64_t n);
void multiply_add(double* acc, const double* a, const double* b, int64_t n);

// out[k] = |X_k|^2, or |X_k| with `magnitude`.
void spectrum_power(const float* X, float* out, int64_t K, bool magnitude);
void spectrum_power(const double* X, double* out, int64_t K, bool magnitude);

// How a real output was made from |X|^2, for its gradient.
enum class GradRule : int32_t {
    magnitude = 1,  // |X|: g / |X| per unit of X, zero where |X| <= 1e-12
    power = 2,      // |X|^2: 2 g
    db = 3,         // 10 log10 |X|^2: g (20 / ln 10) / |X|^2, zero where |X|^2 <= 1e-10
};

// X_k <- h_k * s_k * X_k in place, where s_k is the gradient scale of the
// output value whose gradient is g[k] (by `rule`) and h_k the Hermitian
// weight of the real inverse FFT that takes the result back to samples: 1 for
// bin 0 and, for even n, bin K-1, 1/2 for the others.  The imaginary parts of
// the unpaired bins come out zero.
void output_gradient(GradRule rule, const float* g, float* X, int64_t K, bool even_n);
void output_gradient(GradRule rule, const double* g, double* X, int64_t K, bool even_n);

// out_k = h_k * G_k (complex, interleaved), with the imaginary parts of the
// unpaired bins zero: a complex spectrum's gradient ready for the real inverse FFT.
void hermitian_halve(const float* G, float* out, int64_t K, bool even_n);
void hermitian_halve(const double* G, double* out, int64_t K, bool even_n);

// Sum of |X_k|^2 Re G_k over the full Hermitian spectrum of length n, from
// the half spectra X and G: bin 0 and, for even n, bin K-1 once, the others
// twice.  |X_k|^2 is formed in T, the products and sums in double, in eight
// partial sums whatever the vector width.
double hermitian_power_dot(const float* X, const float* G, int64_t K, bool even_n);
double hermitian_power_dot(const double* X, const double* G, int64_t K, bool even_n);

// X_k <- scale * (Re G_k - lowered) * X_k in place (complex X, interleaved).
void scale_by_real_part(float* X, const float* G, int64_t K, float lowered, float scale);
void scale_by_real_part(double* X, const double* G, int64_t K, double lowered, double scale);

// out[m] = sum over i < offset[m + 1] - offset[m] of w[offset[m] + i] * x[start[m] + i]
// for m < bands: a banded matrix (band m's weights stored from offset[m]) times
// x.  Each sum runs whole groups of eight in eight partial sums (element i
// goes to sum i % 8), added pairwise, then the rest in order: the same
// order on every machine, and plain order for bands shorter than eight.
void band_dots(const float* w, const int32_t* offset, const int32_t* start, const float* x, float* out,
               int64_t bands);
void band_dots(const double* w, const int32_t* offset, const int32_t* start, const double* x, double* out,
               int64_t bands);

// The adjoint of a banded complex matrix added to G: G[first[r] + i] +=
// conj(v[offset[r] + i]) * g[r] for each row r in turn (G and g interleaved).
// Row r's run is given twice from 4 * offset[r] as interleaved reals, c =
// conj(v) then i * c (2 * len reals each), so that G's reals take g's real
// part times the one and its imaginary part times the other: a plain
// multiply-add over reals, no lane shuffles.
void band_adjoint(const float* v, const int32_t* offset, const int32_t* first, const float* g, float* G,
                  int64_t rows);
void band_adjoint(const double* v, const int32_t* offset, const int32_t* first, const double* g, double* G,
                  int64_t rows);

// out[k] = g[i0[k]] * w0[k] + g[i1[k]] * w1[k], summed in that order from zero:
// the transpose of a matrix with at most two entries per column.
void gather_pairs(const float* g, const int32_t* i0, const float* w0, const int32_t* i1, const float* w1,
                  float* out, int64_t K);
void gather_pairs(const double* g, const int32_t* i0, const double* w0, const int32_t* i1, const double* w1,
                  double* out, int64_t K);

// Gradient of the band powers cur[m] of a frame under an onset strength
// whose gradient is a for the rise into this frame and c for the rise out of
// it (both already divided by the band count): d = a where cur rises from
// prev, minus c where next rises from cur, comparing the powers clamped at
// 1e-10 in double; out[m] = d * scale / cur[m], zero where the clamp holds.
// Branch-free: whether a band rises is as good as random.
void onset_rise_gradient(const float* prev, const float* cur, const float* next, float a, float c, float scale,
                         float* out, int64_t M);
void onset_rise_gradient(const double* prev, const double* cur, const double* next, double a, double c,
                         double scale, double* out, int64_t M);

// mag[k] = sqrt(re[k]^2 + im[k]^2) for k < K (split spectrum), formed in the
// type of mag.
void split_magnitude(const float* re, const float* im, float* mag, int64_t K);
void split_magnitude(const float* re, const float* im, double* mag, int64_t K);
void split_magnitude(const double* re, const double* im, double* mag, int64_t K);

// da[k] = c[0] + d c[1] + d^2 c[2] + d^3 c[3] + d^4 c[4] with d = f[k] - mu,
// in Horner's order, for k < K.
void quartic_in_offset(const double* f, double mu, const double* c, double* da, int64_t K);

// Through magnitudes a = |X|: (dre, dim)[k] = (re, im)[k] * da[k] / a[k],
// zero where a[k] (rounded to T) is at most 1e-12.
void magnitude_chain(const double* a, const double* da, const float* re, const float* im, float* dre, float* dim,
                     int64_t K);
void magnitude_chain(const double* a, const double* da, const double* re, const double* im, double* dre,
                     double* dim, int64_t K);

// Sum over k < K of max(0, cur[k] - prev[k])^2: differences in T, squares
// summed in double in eight partial sums (element k to sum k % 8), added
// pairwise, then the rest in order.  A NaN difference is kept.
double rectified_energy(const float* cur, const float* prev, int64_t K);
double rectified_energy(const double* cur, const double* prev, int64_t K);

// Spectrum gradient of a frame under the spectral flux: with magnitudes a of
// the frame, ap of the one before and an of the one after, da = (a - ap) *
// w_prev where a rises from ap and w_prev != 0, less (an - a) * w_next where
// an rises from a and w_next != 0; (dre, dim) = (re, im) * da / a, zero where
// a <= 1e-12.  Branch-free.
void flux_rise_gradient(const float* a, const float* ap, const float* an, const float* re, const float* im,
                        float w_prev, float w_next, float* dre, float* dim, int64_t K);
void flux_rise_gradient(const double* a, const double* ap, const double* an, const double* re, const double* im,
                        double w_prev, double w_next, double* dre, double* dim, int64_t K);

// dst[c * dst_stride + r] = src[r * src_stride + c] for r < rows, c < cols.
void transpose(const float* src, int64_t src_stride, float* dst, int64_t dst_stride, int64_t rows, int64_t cols);
void transpose(const double* src, int64_t src_stride, double* dst, int64_t dst_stride, int64_t rows,
               int64_t cols);

// Name of the instruction set the transposes run with ("avx2" or "generic"),
// for diagnostics.
const char* transpose_isa();

// Whole-line stores of bin-major float outputs.  A row's 64-byte lines each
// hold kLineFrames consecutive frames; a framed forward that keeps its last
// kRingFrames frames in a ring (frame f's `width` values at
// ring + (f % kRingFrames) * stride) writes every line of every row once,
// whole, instead of in pieces from consecutive blocks of frames, each of which
// would fetch the line again.
inline constexpr int64_t kLineFrames = 16;
inline constexpr int64_t kRingFrames = 32;

// True when store_lines runs on the vector units here (AVX-512); elsewhere
// it stores value by value, and the framed engines keep to blocks of frames.
bool has_line_stores();

// For every row r < width (its frames at rows + r * F): the one line of the
// row that ends after frame epoch - kLineFrames and by frame epoch (a
// multiple of kLineFrames), i.e. the line that frames epoch - kLineFrames ..
// epoch - 1 complete, written from the ring for its frames in [lo, hi) only.  Needs
// stride >= width rounded up to a multiple of kLineFrames, and the ring to
// hold every frame of [lo, hi) in [epoch - kRingFrames, epoch).  With
// `stream`, whole lines go around the caches (non-temporal stores, no fetch
// of the line first); the writer calls finish_streaming_stores() before
// anything else may read them.
void store_lines(const float* ring, int64_t stride, int64_t width, float* rows, int64_t F, int64_t epoch, int64_t lo,
                 int64_t hi, bool stream);
void finish_streaming_stores();

}  // namespace qorva::dsp::ops::vec
