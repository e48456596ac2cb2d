// Mel-frequency cepstral coefficients: per frame the orthonormal DCT-II of the
// mel power spectrogram in decibels, optionally floored at top_db below the
// loudest value of the whole call and liftered; and the exact gradient with
// respect to the signal, through the floor's dependence on that loudest value.
//
// With top_db the floor couples every row of a call, as librosa's
// power_to_db(top_db=80) over the whole array and torchaudio's AmplitudeToDB
// over a batch do; call once per row for per-row floors.
//
// Layouts: signal B x L; output and output gradient B x n_mfcc x F.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/mel.hpp"

namespace qorva::dsp::ops {

struct MfccOptions {
    MelOptions mel;
    int32_t n_mfcc = 20;
    double top_db = 80.0;  // negative: no floor
    double lifter = 0.0;   // 0: none; L > 0 scales coefficient k by 1 + (L/2) sin(pi (k + 1) / L)
};

template <typename T>
class MfccEngine {
public:
    // Builds the mel record (with its checks), then checks n_mfcc (1 .. n_mels),
    // top_db (a number) and lifter (>= 0).
    explicit MfccEngine(const MfccOptions& options);

    const MelParams<T>& mel() const { return mel_; }
    int32_t n_mfcc() const { return n_mfcc_; }
    int64_t n_frames(int64_t L) const { return mel_.n_frames(L); }

    void forward(const T* x, int64_t B, int64_t L, T* out) const;
    // Overwrites grad_x (B x L) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const;

private:
    // The dB mel spectrogram of the call into db, unfloored; returns the index
    // of the loudest value and sets `floor`, or returns -1 without a floor.
    int64_t db_and_floor(const T* x, int64_t B, int64_t L, T* db, T& floor) const;

    MelParams<T> mel_;
    int32_t n_mfcc_;
    double top_db_;
    std::vector<T> basis_;  // n_mfcc x n_mels: lifter_k * DCT-II (orthonormal) row k
};

extern template class MfccEngine<float>;
extern template class MfccEngine<double>;

}  // namespace qorva::dsp::ops
