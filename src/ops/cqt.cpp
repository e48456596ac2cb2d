#include "ops/cqt.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <stdexcept>

#include "ops/feature_common.hpp"
#include "ops/frame_kernels.hpp"
#include "ops/options.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"
#include "runtime/vector_clones.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

constexpr double kHannHalfEnbw = 0.750091552734375;  // half the equivalent noise bandwidth of a Hann window
constexpr double kErbOffsetScale = 228.7037037037037;  // 24.7 / 0.108
constexpr int kHalfbandTaps = 65;
// Limits that keep the kernel design bounded.  Each is far beyond any musical
// use (ten octaves at 1200 bins per octave are 12000 bins; a 5 Hz filter at
// 192 kHz is 0.66 M samples long at 12 bins per octave, 6.6 M at 120) and
// refuses parameter mistakes, such as an fmin far too low for the rate,
// before they cost gigabytes or hours:
constexpr int32_t kMaxBins = 1 << 16;                 // bins of one transform
constexpr int32_t kMaxKernelFft = 1 << 24;            // transform length of an octave's filters
constexpr int64_t kMaxKernelDense = (int64_t{1} << 31) - 1;  // filters x bins of an octave's design

// Modified Bessel function I0 by its power series (40 terms).
double bessel_i0(double z) {
    const double q = (z / 2) * (z / 2);
    double term = 1.0, sum = 1.0;
    for (int j = 1; j < 40; ++j) {
        term *= q / (static_cast<double>(j) * j);
        sum += term;
    }
    return sum;
}

// 65-tap Kaiser (beta 8) halfband lowpass, unit gain at DC, stored as the
// centre tap followed by the odd taps h[1], h[3], ..., h[63] (the other even
// taps are zero).
template <typename T>
std::vector<T> halfband_taps() {
    double h[kHalfbandTaps];
    double total = 0.0;
    const double i0_beta = bessel_i0(8.0);
    for (int n = 0; n < kHalfbandTaps; ++n) {
        const int m = n - 32;
        const double proto = m == 0 ? 0.5 : std::sin(m * std::numbers::pi / 2) / (std::numbers::pi * m);
        const double x = n / 32.0 - 1.0;
        h[n] = proto * bessel_i0(8.0 * std::sqrt(std::max(0.0, 1.0 - x * x))) / i0_beta;
        total += h[n];
    }
    std::vector<T> taps;
    taps.push_back(static_cast<T>(h[32] / total));
    for (int n = 1; n < kHalfbandTaps; n += 2) taps.push_back(static_cast<T>(h[n] / total));
    return taps;
}

// Runs of the halfband filter's 32 odd taps: out = start(i), then out +=
// taps[j] * src[i + j] for j = 0..31 in order, then finish(i, out), for i < n.
// The loops over i vectorise, compiled per instruction set
// (runtime/vector_clones.hpp), and every output is summed in the same order,
// unfused, by every clone.  Runs of kFirRun outputs stay in registers across
// all 32 taps, so each tap costs one load of the source, and start and finish
// touch each output once rather than in passes of their own.
template <typename T, typename Start, typename Finish>
[[gnu::always_inline]] inline void fir32_runs(const T* __restrict taps, const T* __restrict src, int64_t n,
                                              Start start, Finish finish) {
    constexpr int64_t kFirRun = 64;  // four AVX-512 registers of floats; the AVX2 clone also does best here
    int64_t i0 = 0;
    for (; i0 + kFirRun <= n; i0 += kFirRun) {
        T acc[kFirRun];
        for (int64_t i = 0; i < kFirRun; ++i) acc[i] = start(i0 + i);
        for (int j = 0; j < 32; ++j) {
            const T h = taps[j];
            const T* s = src + i0 + j;
            for (int64_t i = 0; i < kFirRun; ++i) acc[i] += h * s[i];
        }
        for (int64_t i = 0; i < kFirRun; ++i) finish(i0 + i, acc[i]);
    }
    for (; i0 < n; ++i0) {
        T acc = start(i0);
        for (int j = 0; j < 32; ++j) acc += taps[j] * src[i0 + j];
        finish(i0, acc);
    }
}

// out[q] = src[(first + q) * stride] for q < count where 0 <= first + q < n,
// zero elsewhere: a stretch of a signal padded with zeros at both ends.
// Inlined, so that a vector clone's copy vectorises with it.
template <typename T>
[[gnu::always_inline]] inline void gather_padded(const T* __restrict src, int64_t stride, int64_t n, int64_t first,
                                                 int64_t count, T* __restrict out) {
    const int64_t lo = std::clamp<int64_t>(-first, 0, count);
    const int64_t hi = std::clamp<int64_t>(n - first, lo, count);
    for (int64_t q = 0; q < lo; ++q) out[q] = T(0);
    for (int64_t q = lo; q < hi; ++q) out[q] = src[(first + q) * stride];
    for (int64_t q = hi; q < count; ++q) out[q] = T(0);
}

// One task's share of the decimation, outputs [begin, end) of a signal of n
// samples: y[i] = gain (hc x[2i] + sum_j ho[j] x[2(i - 16 + j) + 1]), zeros
// outside the signal.  The odd samples the task reads are first gathered into
// odd (end - begin + 32 of them, zero-padded), so the taps run over unit-stride
// data; the even sample and the gain ride in the filter's runs.
template <typename T>
[[gnu::always_inline]] inline void halfband_decimate_body(const T* __restrict ho, T hc, T gain,
                                                          const T* __restrict x, int64_t n, int64_t begin,
                                                          int64_t end, T* __restrict odd, T* __restrict y) {
    // odd[q] = x[2(begin - 16 + q) + 1]; x[2m + 1] exists for m < n / 2.
    gather_padded(x + 1, 2, n / 2, begin - 16, end - begin + 32, odd);
    constexpr int64_t kBlock = 512;  // outputs per pass, their odd samples kept in L1 across the 32 taps
    for (int64_t b0 = begin; b0 < end; b0 += kBlock) {
        const T* even = x + 2 * b0;
        T* out = y + b0;
        fir32_runs(ho, odd + (b0 - begin), std::min(kBlock, end - b0),
                   [=](int64_t i) { return hc * even[2 * i]; }, [=](int64_t i, T v) { out[i] = v * gain; });
    }
}

// One task's share of the decimation's transpose, the samples 2m and 2m + 1
// for m in [begin, begin + count) (count odd samples exist there):
// gx[2m] (+)= sqrt(2) hc gy[m], gx[2m + 1] (+)= sqrt(2) sum_j ho[j] gy[m + 16 - j],
// with padded[q] = gy[begin - 15 + q] (count + 32 of them, zero outside) and
// reversed the odd taps in reverse order.
template <typename T, bool kAccumulate>
[[gnu::always_inline]] inline void halfband_adjoint_body(const T* __restrict reversed, T even_gain, T gain,
                                                         const T* __restrict gy, const T* __restrict padded,
                                                         int64_t begin, int64_t count, T* __restrict gx) {
    constexpr int64_t kBlock = 512;
    for (int64_t b0 = 0; b0 < count; b0 += kBlock) {
        const T* g = gy + begin + b0;
        T* out = gx + 2 * (begin + b0);
        fir32_runs(reversed, padded + b0, std::min(kBlock, count - b0), [](int64_t) { return T(0); },
                   [=](int64_t i, T v) {
                       if constexpr (kAccumulate) {
                           out[2 * i] += even_gain * g[i];
                           out[2 * i + 1] += gain * v;
                       } else {
                           out[2 * i] = even_gain * g[i];
                           out[2 * i + 1] = gain * v;
                       }
                   });
    }
}

QORVA_VECTOR_CLONES void halfband_decimate(const float* ho, float hc, float gain, const float* x, int64_t n,
                                           int64_t begin, int64_t end, float* odd, float* y) {
    halfband_decimate_body(ho, hc, gain, x, n, begin, end, odd, y);
}

QORVA_VECTOR_CLONES void halfband_decimate(const double* ho, double hc, double gain, const double* x, int64_t n,
                                           int64_t begin, int64_t end, double* odd, double* y) {
    halfband_decimate_body(ho, hc, gain, x, n, begin, end, odd, y);
}

QORVA_VECTOR_CLONES void halfband_adjoint(const float* reversed, float even_gain, float gain, const float* gy,
                                          const float* padded, int64_t begin, int64_t count, float* gx,
                                          bool accumulate) {
    if (accumulate) halfband_adjoint_body<float, true>(reversed, even_gain, gain, gy, padded, begin, count, gx);
    else halfband_adjoint_body<float, false>(reversed, even_gain, gain, gy, padded, begin, count, gx);
}

QORVA_VECTOR_CLONES void halfband_adjoint(const double* reversed, double even_gain, double gain, const double* gy,
                                          const double* padded, int64_t begin, int64_t count, double* gx,
                                          bool accumulate) {
    if (accumulate) halfband_adjoint_body<double, true>(reversed, even_gain, gain, gy, padded, begin, count, gx);
    else halfband_adjoint_body<double, false>(reversed, even_gain, gain, gy, padded, begin, count, gx);
}

// The filter outputs of a block of kFrameBlock frames, one lane per frame:
// for each row r, C[f * rows + r] = sum over the row's entries e, in order,
// of val[e] * X_f[col[e]], X_f read from bin-major re / im (bin col[e] -
// first_bin at (col[e] - first_bin) * kFrameBlock + f).  Each lane sums as a
// frame on its own would, so the block changes no value.
template <typename T>
[[gnu::always_inline]] inline void sparse_rows_by_frame_body(const int32_t* row_start, const int32_t* col,
                                                             const T* val, int32_t rows, int32_t first_bin,
                                                             const T* __restrict re, const T* __restrict im,
                                                             T* __restrict C) {
    // One value per frame of the block, as a vector each clone lowers to its
    // own registers (one AVX2 register of floats, two SSE ones, ...).  Written
    // out, because the compiler's own vectorisation of these loops spills the
    // lanes.
    typedef T Lanes __attribute__((vector_size(kFrameBlock * sizeof(T))));
    for (int32_t r = 0; r < rows; ++r) {
        Lanes cr = {}, ci = {};
        for (int32_t e = row_start[r]; e < row_start[r + 1]; ++e) {
            // re * vr - im * vi as an addition of -vi (the same value), so
            // that no lane pair subtracts where the other adds: GCC fuses
            // such pairs into multiply-subtract-adds even when told not to.
            const T vr = val[2 * e], vi = val[2 * e + 1], minus_vi = -vi;
            Lanes xr, xi;
            std::memcpy(&xr, re + static_cast<int64_t>(col[e] - first_bin) * kFrameBlock, sizeof xr);
            std::memcpy(&xi, im + static_cast<int64_t>(col[e] - first_bin) * kFrameBlock, sizeof xi);
            cr += xr * vr + xi * minus_vi;
            ci += xr * vi + xi * vr;
        }
        for (int64_t f = 0; f < kFrameBlock; ++f) {
            C[2 * (f * rows + r)] = cr[f];
            C[2 * (f * rows + r) + 1] = ci[f];
        }
    }
}

QORVA_VECTOR_CLONES void sparse_rows_by_frame(const int32_t* row_start, const int32_t* col, const float* val,
                                              int32_t rows, int32_t first_bin, const float* re, const float* im,
                                              float* C) {
    sparse_rows_by_frame_body(row_start, col, val, rows, first_bin, re, im, C);
}

QORVA_VECTOR_CLONES void sparse_rows_by_frame(const int32_t* row_start, const int32_t* col, const double* val,
                                              int32_t rows, int32_t first_bin, const double* re, const double* im,
                                              double* C) {
    sparse_rows_by_frame_body(row_start, col, val, rows, first_bin, re, im, C);
}

// The kernel runs of the backward's spectrum adjoint start and end on
// multiples of this many bins (a 64-byte line of complex floats).
constexpr int32_t kAdjointRunBins = 8;

// Bins of a spectrum buffer that holds every octave run of an n_fft transform.
constexpr int32_t adjoint_spectrum_bins(int32_t n_fft) {
    return (n_fft / 2 + 1 + kAdjointRunBins - 1) / kAdjointRunBins * kAdjointRunBins;
}

template <typename T>
constexpr T kSqrt2 = T(1.4142135623730951);
template <>
constexpr float kSqrt2<float> = 1.4142135f;

// Conjugate transpose of a compressed-row kernel (a counting sort over columns).
template <typename T>
SparseKernel<T> conjugate_transpose(const SparseKernel<T>& k) {
    SparseKernel<T> a;
    a.rows = k.cols;
    a.cols = k.rows;
    a.row_start.assign(static_cast<std::size_t>(a.rows) + 1, 0);
    for (int32_t c : k.col) ++a.row_start[c + 1];
    for (int32_t r = 0; r < a.rows; ++r) a.row_start[r + 1] += a.row_start[r];
    a.col.resize(k.col.size());
    a.val.resize(k.val.size());
    std::vector<int32_t> next(a.row_start.begin(), a.row_start.end() - 1);
    for (int32_t r = 0; r < k.rows; ++r) {  // rows ascending, so each adjoint row ends up sorted
        for (int32_t e = k.row_start[r]; e < k.row_start[r + 1]; ++e) {
            const int32_t slot = next[k.col[e]]++;
            a.col[slot] = r;
            a.val[slot] = std::conj(k.val[e]);
        }
    }
    return a;
}

// Per-bin filter design shared by every octave.
struct FilterDesign {
    std::vector<double> freq, alpha, offset;
    double filter_scale;
    // Filter length in samples at sample rate s.
    double length(std::size_t k, double s) const {
        const double Q = filter_scale / alpha[k];
        return Q * s / (freq[k] + offset[k] / alpha[k]);
    }
};

// Transform length of the octave of filters [lo, hi) at rate s: the power of
// two that holds its longest filter.  Refuses designs beyond the size limits.
int32_t octave_fft_length(const FilterDesign& d, int32_t lo, int32_t hi, double s) {
    double max_len = 0.0;
    for (int32_t b = lo; b < hi; ++b) max_len = std::max(max_len, d.length(b, s));
    const double need = std::ceil(max_len);
    if (!(need <= kMaxKernelFft)) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the CQT filter at %.6g Hz needs %.6g samples, more than the longest supported (%d); raise "
                      "fmin or lower bins_per_octave",
                      d.freq[lo], need, kMaxKernelFft);
        throw std::invalid_argument(text);
    }
    int32_t n_fft = 1;
    while (n_fft < need) n_fft *= 2;
    const int32_t bins = n_fft / 2 + 1;
    // Every filter's spectrum is formed densely before it is thinned out.
    if (static_cast<int64_t>(hi - lo) * bins > kMaxKernelDense) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "the CQT octave from %.6g Hz needs %d filters of %d-point spectra, more than %lld values; "
                      "lower bins_per_octave or raise fmin",
                      d.freq[lo], hi - lo, bins, static_cast<long long>(kMaxKernelDense));
        throw std::invalid_argument(text);
    }
    return n_fft;
}

// Kernels are designed in double for either precision: the sparsity cut
// compares magnitudes, and float rounding would move bins across it, so that
// a float engine would drop or keep other bins than a double one.
using Complex = std::complex<double>;

// Spectrum of filter b at rate s: its Hann-windowed complex exponential,
// L1-normalised, centred in an n_fft-long frame.
void filter_spectrum(const FilterDesign& d, int32_t b, double s, fft::ComplexFFT<double>& transform,
                     AlignedBuffer<Complex>& atom, AlignedBuffer<Complex>& spectrum) {
    const int32_t n_fft = transform.n;
    const double len = d.length(b, s);
    const int64_t start = static_cast<int64_t>(std::floor(-len / 2));
    const int64_t N = std::min<int64_t>(static_cast<int64_t>(std::floor(len / 2)) - start, n_fft);
    std::fill(atom.data(), atom.data() + n_fft, Complex(0, 0));
    std::vector<Complex> a(static_cast<std::size_t>(N));
    double l1 = 0.0;
    for (int64_t n = 0; n < N; ++n) {
        const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * n / N);
        const double phase = 2.0 * std::numbers::pi * d.freq[b] * static_cast<double>(n + start) / s;
        a[n] = Complex(w * std::cos(phase), w * std::sin(phase));
        l1 += std::abs(a[n]);
    }
    const double scale = l1 > 0.0 ? len / (n_fft * l1) : 1.0;
    const int64_t offset = (n_fft - N) / 2;
    for (int64_t n = 0; n < N; ++n) atom[offset + n] = a[n] * scale;
    transform.impl->forward(atom.data(), spectrum.data());
}

// Appends one kernel row: the bins of `spectrum` left after dropping the
// smallest ones that together hold at most `sparsity` of the row's L1 mass.
void append_sparse_row(const Complex* spectrum, int32_t bins, double sparsity, double gain, SparseKernel<double>& k) {
    std::vector<double> mags(bins);
    double total = 0.0;
    for (int32_t j = 0; j < bins; ++j) {
        mags[j] = std::abs(spectrum[j]);
        total += mags[j];
    }
    std::vector<double> sorted = mags;
    std::sort(sorted.begin(), sorted.end());
    double threshold = sorted.back();
    if (total > 0.0) {
        double run = 0.0;
        for (int32_t j = 0; j < bins; ++j) {
            run += sorted[j] / total;
            if (run >= sparsity) {
                threshold = sorted[j];
                break;
            }
        }
    }
    for (int32_t j = 0; j < bins; ++j) {
        if (mags[j] >= threshold) {
            k.col.push_back(j);
            k.val.push_back(spectrum[j] * gain);
        }
    }
    k.row_start.push_back(static_cast<int32_t>(k.col.size()));
}

// Kernel of the filters [lo, hi) of an octave at rate s (not yet scaled by the
// top-rate lengths).
SparseKernel<double> octave_kernel(const FilterDesign& d, int32_t lo, int32_t hi, double s, double s0,
                                   double sparsity, int32_t& n_fft) {
    n_fft = octave_fft_length(d, lo, hi, s);
    fft::ComplexFFT<double> transform(n_fft, fft::select_backend(n_fft, fft::complex_fft_supports, "complex FFT"));
    AlignedBuffer<Complex> atom(n_fft), spectrum(n_fft);
    SparseKernel<double> k;
    k.rows = hi - lo;
    k.cols = n_fft / 2 + 1;
    for (int32_t b = lo; b < hi; ++b) {
        filter_spectrum(d, b, s, transform, atom, spectrum);
        append_sparse_row(spectrum.data(), k.cols, sparsity, std::sqrt(s0 / s), k);
    }
    return k;
}

// Refuses configurations the filter design cannot serve.
void check_config(const CqtConfig& config) {
    check_hop_length(config.hop_length);
    if (config.n_bins < 1) throw std::invalid_argument("n_bins must be positive");
    if (config.bins_per_octave < 1) throw std::invalid_argument("bins_per_octave must be positive");
    if (!(config.fmin > 0.0)) throw std::invalid_argument("fmin must be positive");
    // An infinite fmin or rate turns the filter design into NaNs that would
    // slip past the Nyquist check.
    if (!std::isfinite(config.fmin)) throw std::invalid_argument("fmin must be finite");
    if (!std::isfinite(config.sr)) throw std::invalid_argument("sr must be finite");
    if (config.n_bins > kMaxBins) {
        throw std::invalid_argument("a CQT of " + std::to_string(config.n_bins) + " bins is more than the " +
                                    std::to_string(kMaxBins) + " supported");
    }
}

// Centre frequencies, relative bandwidths and bandwidth offsets of every bin.
FilterDesign design_filters(const CqtConfig& config) {
    const int32_t n = config.n_bins;
    const int32_t bpo = config.bins_per_octave;
    FilterDesign d;
    d.filter_scale = config.filter_scale;
    d.freq.resize(n);
    d.alpha.resize(n);
    d.offset.resize(n);
    std::vector<double> log_f(n);
    for (int32_t k = 0; k < n; ++k) {
        d.freq[k] = config.fmin * std::pow(2.0, static_cast<double>(k) / bpo);
        log_f[k] = std::log2(d.freq[k]);
    }
    for (int32_t k = 0; k < n; ++k) {
        if (n == 1) {
            d.alpha[k] = 0.2;
            continue;
        }
        // Local bins per octave from the neighbouring bins.
        double b;
        if (k == 0) {
            b = 1.0 / (log_f[1] - log_f[0]);
        } else if (k == n - 1) {
            b = 1.0 / (log_f[n - 1] - log_f[n - 2]);
        } else {
            b = 2.0 / (log_f[k + 1] - log_f[k - 1]);
        }
        const double r = std::pow(2.0, 2.0 / b);
        d.alpha[k] = (r - 1.0) / (r + 1.0);
    }
    for (int32_t k = 0; k < n; ++k) d.offset[k] = config.gamma >= 0.0 ? config.gamma : d.alpha[k] * kErbOffsetScale;
    return d;
}

// Highest frequency any filter reaches; refused above Nyquist (a NaN edge too).
double checked_cutoff(const FilterDesign& d, const CqtConfig& config) {
    double cutoff = -std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < d.freq.size(); ++k) {
        const double Q = config.filter_scale / d.alpha[k];
        const double edge = (1.0 + kHannHalfEnbw / Q) * d.freq[k] + 0.5 * d.offset[k];
        if (!(edge <= cutoff)) cutoff = edge;  // a NaN edge is kept, and refused below
    }
    if (!(cutoff <= config.sr * 0.5)) {
        throw std::invalid_argument("the top CQT bin exceeds Nyquist; lower n_bins or fmin");
    }
    return cutoff;
}

}  // namespace

template <typename T>
struct CqtEngine<T>::Pyramid {
    std::vector<const T*> level;
    std::vector<int64_t> length;
    std::vector<PoolBuffer> storage;  // levels >= 1
};

template <typename T>
CqtEngine<T>::CqtEngine(const CqtConfig& config) : config_(config) {
    check_config(config);
    const int32_t n = config.n_bins;
    const int32_t bpo = config.bins_per_octave;
    n_octaves_ = static_cast<int32_t>((int64_t{n} - 1 + bpo) / bpo);
    const FilterDesign d = design_filters(config);
    const double cutoff = checked_cutoff(d, config);

    // Decimate before the top octave when its filters sit far below Nyquist and
    // the hop stays an integer at every halving.
    // (The octave count is capped before the conversion: a cutoff far below
    // a huge rate gives an infinite ratio.)
    const double octaves_below = std::min(std::ceil(std::log2(config.sr * 0.5 / cutoff)), 64.0);
    const int e1 = std::max(0, static_cast<int>(octaves_below) - 2);
    const int trailing = std::countr_zero(static_cast<uint32_t>(config.hop_length));
    const int e2 = std::max(0, trailing - n_octaves_ + 1);
    early_downsample_ = std::min(e1, e2);

    halfband_ = halfband_taps<T>();

    const double s0 = config.sr / std::ldexp(1.0, early_downsample_);
    double s = s0;
    int32_t h = config.hop_length >> early_downsample_;
    int32_t level = early_downsample_;
    const int32_t per_octave = std::min(n, bpo);
    for (int32_t i = 0; i < n_octaves_; ++i) {
        const int32_t lo = std::max(0, n - (i + 1) * per_octave);
        const int32_t hi = n - i * per_octave;
        CqtOctave<T> oct;
        oct.n_filters = hi - lo;
        // Designed in double (see Complex), scaled, then rounded to T.
        SparseKernel<double> design = octave_kernel(d, lo, hi, s, s0, config.sparsity, oct.n_fft);
        for (int32_t r = 0; r < oct.n_filters; ++r) {
            const double row_scale = 1.0 / std::sqrt(d.length(lo + r, s0));
            for (int32_t e = design.row_start[r]; e < design.row_start[r + 1]; ++e) design.val[e] *= row_scale;
        }
        oct.kernel.rows = design.rows;
        oct.kernel.cols = design.cols;
        oct.kernel.row_start = std::move(design.row_start);
        oct.kernel.col = std::move(design.col);
        oct.kernel.val.assign(design.val.begin(), design.val.end());
        oct.adjoint = conjugate_transpose(oct.kernel);
        if (!oct.kernel.col.empty()) {
            const auto [lo_col, hi_col] = std::minmax_element(oct.kernel.col.begin(), oct.kernel.col.end());
            oct.first_bin = *lo_col;
            oct.end_bin = *hi_col + 1;
        }
        oct.band_offset.push_back(0);
        for (int32_t r = 0; r < oct.n_filters; ++r) {
            const int32_t e0 = oct.kernel.row_start[r], e1 = oct.kernel.row_start[r + 1];
            // Runs start and end on whole lines of kAdjointRunBins bins, zero
            // beyond the row's own bins, so that every row's loads of G meet
            // the previous row's stores at the same addresses: overlapping
            // rows at odd offsets stall each load until the stores it
            // straddles have retired.
            const int32_t lo_bin = e1 > e0 ? oct.kernel.col[e0] : 0;
            const int32_t hi_bin = e1 > e0 ? oct.kernel.col[e1 - 1] + 1 : 0;
            const int32_t first = lo_bin / kAdjointRunBins * kAdjointRunBins;
            const int32_t width = (hi_bin - first + kAdjointRunBins - 1) / kAdjointRunBins * kAdjointRunBins;
            std::vector<std::complex<T>> conj_run(static_cast<std::size_t>(width));
            for (int32_t e = e0; e < e1; ++e) conj_run[oct.kernel.col[e] - first] = std::conj(oct.kernel.val[e]);
            for (const std::complex<T>& c : conj_run) oct.band_values.insert(oct.band_values.end(), {c.real(), c.imag()});
            for (const std::complex<T>& c : conj_run) oct.band_values.insert(oct.band_values.end(), {-c.imag(), c.real()});
            oct.band_first.push_back(first);
            oct.band_offset.push_back(oct.band_offset.back() + width);
        }
        oct.bin_offset = lo;
        oct.hop = h;
        oct.level = level;
        oct.halve_after = h % 2 == 0;
        if (oct.halve_after) {
            h /= 2;
            s *= 0.5;
            ++level;
        }
        octaves_.push_back(std::move(oct));
    }
    n_levels_ = level + 1;
}

template <typename T>
int64_t CqtEngine<T>::n_frames(int64_t n_samples) const {
    check_signal_length(n_samples);
    if (octaves_.empty()) return std::numeric_limits<int64_t>::max();
    // ceil(L / 2) without the overflow of (L + 1) / 2 at the largest L.
    auto halve = [](int64_t L) { return L / 2 + L % 2; };
    int64_t L = n_samples;
    for (int32_t e = 0; e < early_downsample_; ++e) L = halve(L);
    int64_t frames = std::numeric_limits<int64_t>::max();
    for (const auto& oct : octaves_) {
        frames = std::min(frames, frame_count(L, oct.hop));
        if (oct.halve_after) L = halve(L);
    }
    return frames;
}

// Decimation by two through the halfband filter, y[i] = sqrt(2) (hc x[2i] +
// sum_j ho[j] x[2(i - 16 + j) + 1]) with zeros outside the signal.
template <typename T>
void CqtEngine<T>::decimate(const T* x, int64_t n, T* y) const {
    const int64_t out_len = (n + 1) / 2;
    parallel_for(out_len, 8192, [&](int64_t begin, int64_t end) {
        // Scratch from the pool, given back when the task ends: no thread keeps
        // memory sized by the longest signal it ever decimated.
        PoolBuffer odd(static_cast<std::size_t>(end - begin + 32) * sizeof(T));
        halfband_decimate(halfband_.data() + 1, halfband_[0], kSqrt2<T>, x, n, begin, end, odd.as<T>(), y);
    });
}

// Transpose of decimate: gx[2i] += sqrt(2) hc gy[i] and gx[2m + 1] +=
// sqrt(2) sum_j ho[j] gy[m + 16 - j] (or = for !accumulate), gathered per
// output so that tasks write disjoint samples.
template <typename T>
void CqtEngine<T>::decimate_adjoint(const T* gy, int64_t n, T* gx, bool accumulate) const {
    const int64_t out_len = (n + 1) / 2;
    const int64_t n_odd = n / 2;
    const T hc = halfband_[0];
    const T gain = kSqrt2<T>;
    T reversed[32];
    std::reverse_copy(halfband_.data() + 1, halfband_.data() + 33, reversed);
    // A task takes the samples 2m and, where they exist, 2m + 1 for m in
    // [begin, end): the even ones are one more than the odd ones for odd n.
    parallel_for(out_len, 8192, [&](int64_t begin, int64_t end) {
        // Pooled scratch, as in decimate.
        const int64_t count = std::max<int64_t>(std::min(end, n_odd) - begin, 0);  // odd samples
        PoolBuffer scratch(static_cast<std::size_t>(count + 32) * sizeof(T));
        T* padded = scratch.as<T>();
        // padded[q] = gy[begin - 15 + q], zero outside; odd sample m reads
        // gy[m + 16 - j] = padded[m - begin + 31 - j].
        gather_padded(gy, 1, out_len, begin - 15, count + 32, padded);
        halfband_adjoint(reversed, gain * hc, gain, gy, padded, begin, count, gx, accumulate);
        for (int64_t m = begin + count; m < end; ++m) {
            gx[2 * m] = accumulate ? gx[2 * m] + gain * hc * gy[m] : gain * hc * gy[m];
        }
    });
}

template <typename T>
void CqtEngine<T>::build_pyramid(const T* row, int64_t n_samples, Pyramid& p, bool with_samples) const {
    int32_t deepest = 0;
    for (const auto& oct : octaves_) deepest = std::max(deepest, oct.level);
    p.level.assign(static_cast<std::size_t>(deepest) + 1, nullptr);
    p.length.assign(static_cast<std::size_t>(deepest) + 1, 0);
    p.storage.clear();
    p.storage.reserve(static_cast<std::size_t>(deepest));
    p.level[0] = row;
    p.length[0] = n_samples;
    for (int32_t l = 1; l <= deepest; ++l) {
        p.length[l] = (p.length[l - 1] + 1) / 2;
        if (!with_samples) {
            p.level[l] = row;
            continue;
        }
        p.storage.emplace_back(static_cast<std::size_t>(p.length[l]) * sizeof(T));
        T* dst = p.storage.back().template as<T>();
        decimate(p.level[l - 1], p.length[l - 1], dst);
        p.level[l] = dst;
    }
}

// The filter outputs of a block of frames: each frame's spectrum, the bins
// the kernel reads laid out bin-major (the block's frames side by side), then
// the kernel's rows over all frames at once.
template <typename T>
struct CqtEngine<T>::BlockScratch : FrameScratch<T> {
    explicit BlockScratch(const CqtOctave<T>& oct)
        : FrameScratch<T>(oct.n_fft),
          block_re(static_cast<std::size_t>(oct.end_bin - oct.first_bin) * kFrameBlock),
          block_im(static_cast<std::size_t>(oct.end_bin - oct.first_bin) * kFrameBlock),
          C(static_cast<std::size_t>(oct.n_filters) * kFrameBlock) {}
    AlignedBuffer<T> block_re, block_im;  // bin-major: bin first_bin + k of frame f at k * kFrameBlock + f
    AlignedBuffer<std::complex<T>> C;     // frame-major: row r of frame f at f * n_filters + r
};

template <typename T>
void CqtEngine<T>::octave_block(const CqtOctave<T>& oct, const T* level, int64_t level_len, int64_t t0,
                                int64_t count, BlockScratch& s) const {
    const int32_t n = oct.n_fft;
    T* frame = s.frame.data();
    for (int64_t f = 0; f < count; ++f) {
        const int64_t start = (t0 + f) * oct.hop - n / 2;
        if (start >= 0 && start + n <= level_len) {
            std::copy(level + start, level + start + n, frame);
        } else {
            for (int32_t i = 0; i < n; ++i) {
                const int64_t idx = start + i;
                frame[i] = (idx >= 0 && idx < level_len) ? level[idx] : T(0);
            }
        }
        s.fft.impl->forward(frame, s.re.data(), s.im.data());
        for (int32_t k = oct.first_bin; k < oct.end_bin; ++k) {
            s.block_re[(k - oct.first_bin) * kFrameBlock + f] = s.re[k];
            s.block_im[(k - oct.first_bin) * kFrameBlock + f] = s.im[k];
        }
    }
    // Lanes past `count` hold an earlier block's bins (or zeros); their
    // outputs are never read.
    sparse_rows_by_frame(oct.kernel.row_start.data(), oct.kernel.col.data(),
                         reinterpret_cast<const T*>(oct.kernel.val.data()), oct.n_filters, oct.first_bin,
                         s.block_re.data(), s.block_im.data(), reinterpret_cast<T*>(s.C.data()));
}

template <typename T>
void CqtEngine<T>::forward_row(const T* row, int64_t n_samples, OutputMode output, T* out_row) const {
    const int64_t F = n_frames(n_samples);
    Pyramid pyr;
    build_pyramid(row, n_samples, pyr);
    for (const auto& oct : octaves_) {
        const T* level = pyr.level[oct.level];
        const int64_t level_len = pyr.length[oct.level];
        const int64_t nf = oct.n_filters;
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            BlockScratch s(oct);
            const std::complex<T>* C = s.C.data();
            AlignedBuffer<T> block(static_cast<std::size_t>(nf * kFrameBlock));
            for (int64_t t0 = begin; t0 < end; t0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, end - t0);
                octave_block(oct, level, level_len, t0, count, s);
                if (output == OutputMode::complex) {
                    auto* out = reinterpret_cast<std::complex<T>*>(out_row) + oct.bin_offset * F + t0;
                    store_block(C, count, nf, out, F);
                    continue;
                }
                for (int64_t q = 0; q < count * nf; ++q) {
                    const T p = std::norm(C[q]);
                    block[q] = output == OutputMode::magnitude ? std::sqrt(p)
                               : output == OutputMode::power   ? p
                                                               : power_to_db(p);
                }
                store_block(block.data(), count, nf, out_row + oct.bin_offset * F + t0, F);
            }
        });
    }
}

// A backward task's scratch: the forward's block scratch (the filter
// outputs of the block of frames that holds the current one), the frame's
// output gradient and its spectrum's gradient.
template <typename T>
struct CqtBackwardTask : CqtEngine<T>::BlockScratch {
    explicit CqtBackwardTask(const CqtOctave<T>& oct)
        : CqtEngine<T>::BlockScratch(oct),
          gC(static_cast<std::size_t>(oct.n_filters)),
          G(static_cast<std::size_t>(adjoint_spectrum_bins(oct.n_fft))) {}
    AlignedBuffer<std::complex<T>> gC;
    AlignedBuffer<std::complex<T>> G;  // room for the last whole run
    int64_t block_start = 0, block_count = 0;  // the frames whose outputs C holds
};

template <typename T>
void CqtEngine<T>::backward_row(const T* grad_row, const T* row, int64_t n_samples, OutputMode output,
                                T* grad_x_row) const {
    const int64_t F = n_frames(n_samples);
    Pyramid pyr;
    // A complex output's gradient does not depend on the signal: the levels'
    // lengths are all it needs.
    build_pyramid(row, n_samples, pyr, output != OutputMode::complex);
    const std::size_t depth = pyr.level.size();
    // Gradient of every pyramid level; level 0's is the caller's row.
    std::vector<T*> level_grad(depth, nullptr);
    std::vector<PoolBuffer> level_grad_storage;
    level_grad_storage.reserve(depth);
    level_grad[0] = grad_x_row;
    for (std::size_t l = 1; l < depth; ++l) {
        level_grad_storage.emplace_back(static_cast<std::size_t>(pyr.length[l]) * sizeof(T));
        level_grad[l] = level_grad_storage.back().template as<T>();
    }
    // The first gradient a level receives is written, later ones added: no
    // level is cleared first.  Every level has an octave or a deeper level.
    std::vector<char> written(depth, 0);
    const auto* cgrad = reinterpret_cast<const std::complex<T>*>(grad_row);

    for (const auto& oct : octaves_) {
        const T* level = pyr.level[oct.level];
        const int64_t level_len = pyr.length[oct.level];
        const int32_t n = oct.n_fft;
        const int32_t bins = n / 2 + 1;
        const int64_t nf = oct.n_filters;
        // The octave's frames are centred on t * hop of its level, zero beyond it.
        const FramedRows<T> in{FrameGeometry{n, oct.hop, true, PadMode::constant}, nullptr, level, 1, level_len, F};
        auto adjoint = [&](CqtBackwardTask<T>& s, int64_t, int64_t t, T* g) {
            std::complex<T>* gC = s.gC.data();
            // Halved here, so that K^H gC comes out as the real inverse FFT
            // takes it: every bin halved (exactly, a power of two), the
            // unpaired ones restored below.
            if (output == OutputMode::complex) {
                for (int64_t r = 0; r < nf; ++r) gC[r] = T(0.5) * cgrad[(oct.bin_offset + r) * F + t];
            } else {
                // Frames arrive in order, a block of kFrameBlock at a time
                // from a multiple of it: the first of a block computes the
                // outputs of the whole block.
                if (t < s.block_start || t >= s.block_start + s.block_count) {
                    s.block_start = t;
                    s.block_count = std::min(kFrameBlock, F - t);
                    octave_block(oct, level, level_len, t, s.block_count, s);
                }
                const std::complex<T>* C = s.C.data() + (t - s.block_start) * nf;
                for (int64_t r = 0; r < nf; ++r) {
                    gC[r] = T(0.5) * (output_grad_scale(output, g[r], std::norm(C[r])) * C[r]);
                }
            }
            // G = K^H gC, row by row of K: each bin sums its rows in ascending
            // order, as the adjoint's own rows list them.
            T* G = reinterpret_cast<T*>(s.G.data());
            std::fill(G, G + 2 * s.G.size(), T(0));
            vec::band_adjoint(oct.band_values.data(), oct.band_offset.data(),
                              oct.band_first.data(), reinterpret_cast<const T*>(gC), G, nf);
            G[0] *= T(2);
            if (n % 2 == 0 && bins > 1) G[2 * bins - 2] *= T(2);  // the Nyquist bin
            return interleaved_adjoint(s, s.G.data());
        };
        const int64_t width = output == OutputMode::complex ? 0 : nf;
        framed_backward<CqtBackwardTask<T>>(in, grad_row + oct.bin_offset * F, width, FrameLayout::bin_major,
                                         level_grad[oct.level], adjoint,
                                         [&] { return CqtBackwardTask<T>(oct); }, written[oct.level] != 0);
        written[oct.level] = 1;
    }
    for (std::size_t l = depth - 1; l >= 1; --l) {
        decimate_adjoint(level_grad[l], pyr.length[l - 1], level_grad[l - 1], written[l - 1] != 0);
        written[l - 1] = 1;
    }
}

template <typename T>
void CqtEngine<T>::forward(const T* x, int64_t batch, int64_t n_samples, OutputMode output, T* out) const {
    const int64_t per_row = static_cast<int64_t>(n_bins()) * n_frames(n_samples) * (output == OutputMode::complex ? 2 : 1);
    for_each_row(batch, [&](int64_t b) { forward_row(x + b * n_samples, n_samples, output, out + b * per_row); });
}

template <typename T>
void CqtEngine<T>::backward(const T* grad, const T* x, int64_t batch, int64_t n_samples, OutputMode output,
                            T* grad_x) const {
    const int64_t per_row = static_cast<int64_t>(n_bins()) * n_frames(n_samples) * (output == OutputMode::complex ? 2 : 1);
    for_each_row(batch, [&](int64_t b) {
        backward_row(grad + b * per_row, x + b * n_samples, n_samples, output, grad_x + b * n_samples);
    });
}

template <typename T>
bool CqtEngine<T>::export_gpu_plan(int32_t max_n_fft, CqtGpuPlan<T>& plan) const {
    for (std::size_t i = 0; i < octaves_.size(); ++i) {
        const auto& oct = octaves_[i];
        const bool pow2 = std::has_single_bit(static_cast<uint32_t>(oct.n_fft));
        if (!pow2 || oct.n_fft < 8 || oct.n_fft > max_n_fft || oct.n_filters > 128) return false;
        if (i + 1 < octaves_.size() && !oct.halve_after) return false;
    }
    plan = CqtGpuPlan<T>{};
    plan.n_bins = n_bins();
    plan.n_levels = n_levels_;
    plan.halfband = halfband_;
    plan.kernels.cols = plan.adjoints.cols = 0;
    int32_t row = 0;
    for (const auto& oct : octaves_) {
        plan.max_n_fft = std::max(plan.max_n_fft, oct.n_fft);
        plan.octaves.push_back({oct.hop, oct.level, oct.n_fft, oct.n_filters, oct.bin_offset, row});
        row += oct.n_filters;
        // Kernels and adjoints concatenated, row starts rebased.
        for (auto [src, dst] : {std::pair{&oct.kernel, &plan.kernels}, std::pair{&oct.adjoint, &plan.adjoints}}) {
            const int32_t base = static_cast<int32_t>(dst->col.size());
            for (int32_t r = 0; r < src->rows; ++r) dst->row_start.push_back(base + src->row_start[r + 1]);
            dst->col.insert(dst->col.end(), src->col.begin(), src->col.end());
            dst->val.insert(dst->val.end(), src->val.begin(), src->val.end());
            dst->rows += src->rows;
            dst->cols = std::max(dst->cols, src->cols);
        }
    }
    return true;
}

template class CqtEngine<float>;
template class CqtEngine<double>;

}  // namespace qorva::dsp::ops
