// Mel spectrogram of a batch of signals: per frame the STFT magnitude or power
// projected onto the mel filterbank, optionally in decibels, and its backward
// pass.  Output and gradient are B x M x F ([b][m][f] at (b*M + m)*F + f).
#pragma once

#include <cstdint>
#include <vector>

#include "ops/framing.hpp"
#include "ops/mel_scale.hpp"
#include "ops/options.hpp"
#include "ops/stft.hpp"

namespace qorva::dsp::ops {

// "magnitude", "power" or "db"; "complex" does not exist for mel.
OutputMode parse_mel_output(const std::string& name);

// The STFT record of the framing options plus the filterbank.
template <typename T>
struct MelParams : StftParams<T> {
    // Validates the framing (validate_frame), then builds the filterbank
    // with its checks.
    explicit MelParams(const MelOptions& options);

    double sr;
    int32_t n_mels;
    double fmin;
    double fmax;
    MelScale mel_scale;
    MelNorm mel_norm;
    std::vector<MelBand<T>> filterbank;

    // The filterbank's weights back to back: band m's from band_offset[m], at
    // bins from band_start[m] (vec::band_dots).
    std::vector<T> band_weights;
    std::vector<int32_t> band_offset, band_start;

    // The filterbank by bin, when no bin lies in more than two bands (as with
    // triangular filters): bin k is in bands band0[k] and band1[k] with
    // weights weight0[k] and weight1[k]; a missing band is n_mels with weight 0.
    bool two_bands_per_bin = true;
    std::vector<int32_t> band0, band1;
    std::vector<T> weight0, weight1;
};

template <typename T>
void mel_forward(const MelParams<T>& p, const T* signal, int64_t B, int64_t L, OutputMode mode, T* out);

template <typename T>
void mel_backward(const MelParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                  T* grad_signal);

// One frame's mel values from its interleaved spectrum X (n_bins() bins): the
// band sums of |X|^2, or of |X| with `magnitude`.  S (n_bins() values) is scratch.
template <typename T>
void mel_frame(const MelParams<T>& p, const T* X, bool magnitude, T* S, T* mel);

// Its adjoint for the band sums: dS[k] = sum of g[m] * weight over the bands
// m that hold bin k, in ascending order of m.  g holds n_mels gradients and a
// zero after them.
template <typename T>
void mel_frame_adjoint(const MelParams<T>& p, const T* g, T* dS);

// Gradient scale of 10*log10(e) with respect to e: 10 / ln 10.
template <typename T>
inline constexpr T kDbEnergyScale = T(4.3429448190325184);
template <>
inline constexpr float kDbEnergyScale<float> = 4.3429446f;

}  // namespace qorva::dsp::ops
