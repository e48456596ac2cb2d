// Frame-wise root-mean-square energy of a batch of signals and its exact
// gradient.  Works on the raw samples (no window, no FFT): frame f of a row
// covers the frame_length samples starting at f * hop_length - pad, with the
// centring and padding rules of the other framed engines.
//
// Layouts: signal and its gradient B x L; output and output gradient B x F
// (the Python class presents the output as (B, 1, F)).
#pragma once

#include <cstdint>
#include <vector>

#include "fft/aligned_buffer.hpp"
#include "ops/framing.hpp"

namespace qorva::dsp::ops {

struct RmsParams {
    int32_t frame_length = 2048;
    int32_t hop_length = 512;
    bool center = true;
    PadMode pad_mode = PadMode::reflect;
};

template <typename T>
class RmsEngine {
public:
    // Checks hop_length, then frame_length (so two bad lengths report the hop).
    explicit RmsEngine(const RmsParams& params);

    const RmsParams& params() const { return params_; }
    int64_t pad() const { return params_.center ? params_.frame_length / 2 : 0; }
    // F for L samples; with center off, L < frame_length throws.
    int64_t n_frames(int64_t L) const;

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;

private:
    void frame_sums(const T* row, int64_t L, int64_t f0, int64_t count, double* sums,
                    fft::AlignedBuffer<T>& scratch) const;

    RmsParams params_;
    std::vector<T> window_;  // all ones: frames are the raw samples
};

extern template class RmsEngine<float>;
extern template class RmsEngine<double>;

}  // namespace qorva::dsp::ops
