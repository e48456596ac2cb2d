// Autocorrelation tempogram: for every frame of the onset-strength envelope,
// the autocorrelation of a Hann-windowed, centred stretch of tempo_win
// envelope values, normalised by its lag-0 value, at lags 0 .. tempo_win - 1;
// and its exact gradient with respect to the signal.
//
// Layouts: signal B x L; output and output gradient B x W x F (frames
// fastest, then lags, then rows) for W = tempo_win.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/onset.hpp"

namespace qorva::dsp::ops {

template <typename T>
class TempogramEngine {
public:
    // Builds the onset engine (with its checks), then checks tempo_win.
    TempogramEngine(const MelOptions& options, int32_t tempo_win);

    const OnsetEngine<T>& onset() const { return onset_; }
    int32_t tempo_win() const { return W_; }
    // Autocorrelation FFT length: the smallest power of two >= 2W - 1, so the
    // circular autocorrelation of a W-sample frame does not wrap.
    int32_t n_fft_ac() const { return N_; }
    int64_t n_frames(int64_t L) const { return onset_.n_frames(L); }

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;

private:
    void frame(const T* env, int64_t F, int64_t t, T* out) const;

    OnsetEngine<T> onset_;
    int32_t W_;
    int32_t N_;
    std::vector<T> window_;  // periodic Hann of length W
};

extern template class TempogramEngine<float>;
extern template class TempogramEngine<double>;

}  // namespace qorva::dsp::ops
