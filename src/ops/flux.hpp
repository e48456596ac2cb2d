// Spectral flux of every STFT frame: the Euclidean norm of the positive part
// of the frame-to-frame increase of the magnitude spectrum (0 for the first
// frame of a row), and its exact gradient with respect to the signal.
//
// Layouts: signal B x L; output and output gradient B x F.  The float engine
// takes magnitudes and differences in float and sums their squares in double.
#pragma once

#include <cstdint>

#include "ops/options.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::ops {

template <typename T>
class FluxEngine {
public:
    // Validates the options through the STFT record (validate_frame).
    explicit FluxEngine(const FrameOptions& options);

    const StftParams<T>& params() const { return p_; }
    int64_t n_frames(int64_t L) const { return p_.n_frames(L); }

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;

private:
    StftParams<T> p_;
};

extern template class FluxEngine<float>;
extern template class FluxEngine<double>;

}  // namespace qorva::dsp::ops
