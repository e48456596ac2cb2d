// Mel scales ("slaney", "htk"), filter normalisations ("slaney", "none") and
// the triangular filterbank in banded form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorva::dsp::ops {

enum class MelScale : int32_t { slaney = 0, htk = 1 };
enum class MelNorm : int32_t { slaney = 0, none = 1 };

MelScale parse_mel_scale(const std::string& name);
MelNorm parse_mel_norm(const std::string& name);

double hz_to_mel(double hz, MelScale scale);
double mel_to_hz(double mel, MelScale scale);

// One triangular filter: the positive weights of the consecutive FFT bins
// start, start + 1, ... (never empty).
template <typename T>
struct MelBand {
    int32_t start;
    std::vector<T> weights;
};

// n_mels bands between fmin and fmax over the n_fft/2 + 1 bins of an FFT at
// sample rate sr.  Weights are computed in double and rounded to T.  Throws
// "mel band <m> covers no FFT bins; ..." for the first band without a bin.
template <typename T>
std::vector<MelBand<T>> build_mel_bands(double sr, int32_t n_fft, int32_t n_mels, double fmin, double fmax,
                                        MelScale scale, MelNorm norm);

}  // namespace qorva::dsp::ops
