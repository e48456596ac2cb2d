// Short-time Fourier transform of a batch of real signals, forward and backward.
//
// Layouts (B rows of L samples, K = n_fft/2 + 1 bins, F frames):
//   signal and its gradient       B x L
//   real outputs and gradients    [b][k][f] at (b*K + k)*F + f
//   complex spectra and gradients [b][k][f] at complex offset (b*F + f)*K + k
//                                 (frame-major, interleaved re/im)
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "ops/framing.hpp"
#include "ops/options.hpp"

namespace qorva::dsp::ops {

enum class OutputMode : int32_t { complex = 0, magnitude = 1, power = 2, db = 3 };

// "complex", "magnitude", "power", "db" (case-sensitive).
OutputMode parse_output(const std::string& name);

// The framing options with the window they describe.
template <typename T>
struct StftParams : FrameOptions {
    // Validates the options (validate_frame) and builds the window.
    explicit StftParams(const FrameOptions& options);

    std::vector<T> window_values;  // n_fft long
};

// `out` has the layout of `mode` (complex: 2*B*K*F values of T, interleaved).
template <typename T>
void stft_forward(const StftParams<T>& p, const T* signal, int64_t B, int64_t L, OutputMode mode, T* out);

// Gradient with respect to the signal; `grad` has the layout of `mode`, or
// for "complex" with `complex_bin_major` the C order of a (B, K, F) complex
// array (bins before frames), which is read in place.  The signal is only
// read by the real modes (to recompute the spectrum).
template <typename T>
void stft_backward(const StftParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                   T* grad_signal, bool complex_bin_major = false);

// Decibels as used everywhere: 10*log10(max(power, 1e-10)), computed in double;
// a NaN power gives the floor.
template <typename T>
inline T power_to_db(T power) {
    constexpr T floor = static_cast<T>(1e-10);
    return static_cast<T>(10.0 * std::log10(static_cast<double>(power > floor ? power : floor)));
}

// Gradient scale of 10*log10(p) with respect to (re, im), per unit of re/im:
// d/dre = g * (20 / ln 10) / p * re.
template <typename T>
inline constexpr T kDbGradScale = T(8.685889638065037);
template <>
inline constexpr float kDbGradScale<float> = 8.68588924407959f;

// Gradient of a real output ("magnitude", "power" or "db") of a complex value
// of power p, as the factor s with d(output)/d(re, im) = s * (re, im) for an
// output gradient g.  The forward's guards apply: a value held at a floor
// passes no gradient.
template <typename T>
inline T output_grad_scale(OutputMode mode, T g, T power) {
    switch (mode) {
        case OutputMode::magnitude: {
            const T mag = std::sqrt(power);
            return mag > T(1e-12) ? g / mag : T(0);
        }
        case OutputMode::power: return T(2) * g;
        default: return power > static_cast<T>(1e-10) ? g * kDbGradScale<T> / power : T(0);
    }
}

}  // namespace qorva::dsp::ops
