// Small helpers shared by the frame-feature engines (RMS, spectral moments,
// flux, onset strength, tempogram).
#pragma once

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace qorva::dsp::ops {

// Frame counts are asked for by sample count from Python too; a negative
// count is a caller error rather than a signal.
inline void check_signal_length(int64_t L) {
    if (L < 0) throw std::invalid_argument("signal length must be non-negative, got " + std::to_string(L));
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

// Integer division rounding toward minus / plus infinity (b > 0).
inline int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
inline int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// Decibels of a power in double: 10 log10(max(p, 1e-10)); a NaN power takes
// the floor, as everywhere in the library.
inline double power_db(double p) { return 10.0 * std::log10(p > 1e-10 ? p : 1e-10); }

}  // namespace qorva::dsp::ops
