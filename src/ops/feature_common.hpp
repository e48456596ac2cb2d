// Small helpers shared by the frame-feature engines (RMS, spectral moments,
// flux, onset strength, tempogram).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace qorva::dsp::ops {

// Frame counts are asked for by sample count from Python too; a negative
// count is a caller error rather than a signal.
inline void check_signal_length(int64_t L) {
    if (L < 0) throw std::invalid_argument("signal length must be non-negative, got " + std::to_string(L));
}

// Frames of hop `hop` whose starts lie in 0 .. span (span >= 0, hop >= 1):
// span / hop + 1.  The one count that does not fit 64 bits (span the largest
// int64_t, hop 1) is refused instead of wrapping.
inline int64_t frame_count(int64_t span, int64_t hop) {
    const int64_t q = span / hop;
    if (q == std::numeric_limits<int64_t>::max()) {
        throw std::overflow_error("the frame count of " + std::to_string(span) + " samples at hop " +
                                  std::to_string(hop) + " does not fit a 64-bit integer");
    }
    return q + 1;
}

// Sum of squares in double with independent accumulators, so the additions
// pipeline (and vectorise) even though floating-point addition is not
// associative.  Single-precision samples are widened before squaring.
template <typename T>
double sum_squares(const T* v, int64_t n) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const double v0 = v[i], v1 = v[i + 1], v2 = v[i + 2], v3 = v[i + 3];
        a0 += v0 * v0;
        a1 += v1 * v1;
        a2 += v2 * v2;
        a3 += v3 * v3;
    }
    for (; i < n; ++i) {
        const double vi = v[i];
        a0 += vi * vi;
    }
    return (a0 + a1) + (a2 + a3);
}

// Sum of term(k) for k < n in double with four independent accumulators: a
// single running sum is bound by the latency of one addition per element.
template <typename Term>
double sum4(int64_t n, Term&& term) {
    double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
    int64_t k = 0;
    for (; k + 4 <= n; k += 4) {
        a0 += term(k);
        a1 += term(k + 1);
        a2 += term(k + 2);
        a3 += term(k + 3);
    }
    for (; k < n; ++k) a0 += term(k);
    return (a0 + a1) + (a2 + a3);
}

// Splits a positive, finite double into its mantissa in [1, 2), which is
// returned, and its binary exponent, which is added to `exponent`.
inline double take_mantissa(double v, int64_t& exponent) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    exponent += static_cast<int64_t>((bits >> 52) & 0x7ff) - 1023;
    bits = (bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL;
    double m;
    std::memcpy(&m, &bits, sizeof m);
    return m;
}

inline constexpr double kLn2 = 0.6931471805599453;

// A running product of many positive factors kept as mantissa x 2^exponent,
// so that a sum of logarithms costs one logarithm at the end instead of one
// per term (the logarithm dominated the statistics built on it).  The
// product's relative rounding grows like n * 2^-53: for the few thousand
// factors of a frame that is far below the rounding of the result.
struct LogProduct {
    double mantissa = 1.0;
    int64_t exponent = 0;
    // v positive, finite and normal.
    void multiply(double v) { mantissa = take_mantissa(mantissa * take_mantissa(v, exponent), exponent); }
    double ln() const { return std::log(mantissa) + static_cast<double>(exponent) * kLn2; }
};

// Sum of ln(v[k]) for n positive, finite, normal values, with one logarithm:
// four lanes of mantissa products, renormalised every 256 factors per lane
// (mantissas below 2 cannot overflow a double in that many steps).
inline double sum_logs(const double* v, int64_t n) {
    double prod[4] = {1.0, 1.0, 1.0, 1.0};
    int64_t ex[4] = {0, 0, 0, 0};
    for (int64_t i0 = 0; i0 < n; i0 += 1024) {
        const int64_t i1 = i0 + 1024 < n ? i0 + 1024 : n;
        int64_t i = i0;
        for (; i + 4 <= i1; i += 4) {
            for (int l = 0; l < 4; ++l) prod[l] *= take_mantissa(v[i + l], ex[l]);
        }
        for (; i < i1; ++i) prod[0] *= take_mantissa(v[i], ex[0]);
        for (int l = 0; l < 4; ++l) prod[l] = take_mantissa(prod[l], ex[l]);
    }
    const double m = (prod[0] * prod[1]) * (prod[2] * prod[3]);  // below 16
    return std::log(m) + static_cast<double>((ex[0] + ex[1]) + (ex[2] + ex[3])) * kLn2;
}

// A power as the decibel conversion sees it: max(p, 1e-10), with a NaN power
// taking the floor, as everywhere in the library.
inline double db_clamp(double p) { return p > 1e-10 ? p : 1e-10; }

}  // namespace qorva::dsp::ops
