// Inverse STFT: windowed overlap-add normalised by the summed squared window,
// and its backward pass.  Spectra are frame-major complex ([b][k][f] at
// complex offset (b*F + f)*K + k); signals are B x length.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "ops/framing.hpp"
#include "ops/options.hpp"

namespace qorva::dsp::ops {

// The framing options with their window; pad_mode plays no part in the
// inversion.
template <typename T>
struct IstftParams : FrameOptions {
    // Validates the options (validate_frame), then checks the NOLA condition
    // and that frames leave no gaps.
    explicit IstftParams(const FrameOptions& options);

    std::vector<T> window_values;  // n_fft long

    // Length of the full overlap-add of F frames.
    int64_t full_length(int64_t F) const { return static_cast<int64_t>(hop_length) * (F - 1) + n_fft; }
    // Natural output length: the full overlap-add minus the centre padding.
    int64_t natural_length(int64_t F) const { return full_length(F) - 2 * pad(); }
};

template <typename T>
void istft_forward(const IstftParams<T>& p, const std::complex<T>* spectrum, int64_t B, int64_t F, T* out,
                   int64_t length);

template <typename T>
void istft_backward(const IstftParams<T>& p, const T* grad, int64_t B, int64_t length, int64_t F,
                    std::complex<T>* grad_spectrum);

}  // namespace qorva::dsp::ops
