// Onset strength: per STFT frame, the mean over mel bands of the positive
// part of the frame-to-frame increase of the mel power spectrogram in
// decibels (lag 1, no frequency maximum filter, no detrending, no reference
// level, no top-dB clipping), 0 for the first frame of a row; and its exact
// gradient with respect to the signal.
//
// Layouts: signal B x L; output and output gradient B x F.  Decibels and the
// band sum are evaluated in double in both precisions.
#pragma once

#include <cstdint>

#include "ops/mel.hpp"

namespace qorva::dsp::ops {

template <typename T>
class OnsetEngine {
public:
    // The mel record validates everything but the band count, which must be
    // at least 1 here: a mean over no bands has no value.
    explicit OnsetEngine(const MelOptions& options);

    const MelParams<T>& params() const { return p_; }
    int64_t n_frames(int64_t L) const { return p_.n_frames(L); }

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // The same, leaving the mel power spectrogram it is made of in `mel`
    // (B x n_mels x F), for a backward pass that follows.
    void forward(const T* x, int64_t B, int64_t L, T* out, T* mel) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;
    // The same, given the mel spectrogram that forward left for x: each frame
    // is then transformed once instead of about twice.
    void backward(const T* grad, const T* x, int64_t B, int64_t L, const T* mel, T* grad_x) const;

private:
    MelParams<T> p_;
};

extern template class OnsetEngine<float>;
extern template class OnsetEngine<double>;

}  // namespace qorva::dsp::ops
