// Spectral flux of every STFT frame: the Euclidean norm of the positive part
// of the frame-to-frame increase of the magnitude spectrum (0 for the first
// frame of a row), and its exact gradient with respect to the signal.
//
// Layouts: signal B x L; output and output gradient B x F.  The float engine
// takes magnitudes and differences in float and sums their squares in double.
#pragma once

#include <cstdint>

#include "ops/framing.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::ops {

template <typename T>
class FluxEngine {
public:
    // Builds the window, then checks hop_length, then that a real FFT of n_fft
    // can be planned.
    FluxEngine(int32_t n_fft, int32_t hop_length, int32_t win_length, WindowSpec window, bool center,
               PadMode pad_mode);

    const StftParams<T>& params() const { return p_; }
    int64_t n_frames(int64_t L) const;

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* x, const T* grad, int64_t B, int64_t L, T* grad_x) const;

private:
    StftParams<T> p_;
};

extern template class FluxEngine<float>;
extern template class FluxEngine<double>;

}  // namespace qorva::dsp::ops
