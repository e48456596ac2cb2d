#include "ops/mel_scale.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace qorva::dsp::ops {

namespace {
// Slaney's auditory-toolbox scale: linear below 1 kHz, logarithmic above.
constexpr double kSlaneyHzPerMel = 66.66666666666667;   // 200 / 3
constexpr double kSlaneyMelPerHz = 0.015;
constexpr double kSlaneyMinLogMel = 14.999999999999998;  // 1000 / (200/3) in double
constexpr double kSlaneyLogStep = 0.06875177742094912;   // ln(6.4) / 27
constexpr double kHtkInvBreak = 0.0014285714285714286;   // 1 / 700
constexpr double kHtkInvScale = 0.0003853564547206166;   // 1 / 2595
}  // namespace

MelScale parse_mel_scale(const std::string& name) {
    if (name == "slaney") return MelScale::slaney;
    if (name == "htk") return MelScale::htk;
    throw std::invalid_argument("mel_scale must be 'slaney' or 'htk'; got '" + name + "'");
}

MelNorm parse_mel_norm(const std::string& name) {
    if (name == "slaney") return MelNorm::slaney;
    if (name == "none") return MelNorm::none;
    throw std::invalid_argument("mel_norm must be 'slaney' or 'none'; got '" + name + "'");
}

double hz_to_mel(double hz, MelScale scale) {
    if (scale == MelScale::htk) return 2595.0 * std::log10(hz * kHtkInvBreak + 1.0);
    if (hz >= 1000.0) return std::log(hz * 0.001) / kSlaneyLogStep + kSlaneyMinLogMel;
    return hz * kSlaneyMelPerHz;
}

double mel_to_hz(double mel, MelScale scale) {
    if (scale == MelScale::htk) return (std::pow(10.0, mel * kHtkInvScale) - 1.0) * 700.0;
    if (mel >= kSlaneyMinLogMel) return std::exp((mel - kSlaneyMinLogMel) * kSlaneyLogStep) * 1000.0;
    return mel * kSlaneyHzPerMel;
}

template <typename T>
std::vector<MelBand<T>> build_mel_bands(double sr, int32_t n_fft, int32_t n_mels, double fmin, double fmax,
                                        MelScale scale, MelNorm norm) {
    if (!(sr > 0.0)) throw std::invalid_argument("sr must be positive");
    if (n_fft < 1) throw std::invalid_argument("n_fft must be positive, got " + std::to_string(n_fft));
    if (n_mels < 0) throw std::invalid_argument("n_mels must be non-negative, got " + std::to_string(n_mels));
    const int64_t last_bin = n_fft / 2;
    // A bin lies inside at most two triangles (the rising edge of one and the
    // falling edge of the previous), so more than two bands per bin leave
    // some band empty; refused before the band edges are allocated.
    if (n_mels > 2 * (last_bin + 1)) {
        throw std::invalid_argument("n_mels=" + std::to_string(n_mels) + " is more than twice the " +
                                    std::to_string(last_bin + 1) +
                                    " FFT bins, so some mel band covers no FFT bins; raise n_fft or lower n_mels");
    }
    const double d = sr / n_fft;
    const double r = 1.0 / d;
    const double mel_lo = hz_to_mel(fmin, scale);
    const double mel_hi = hz_to_mel(fmax, scale);
    std::vector<double> edges(static_cast<std::size_t>(n_mels) + 2);
    for (int64_t i = 0; i < n_mels + 2; ++i) {
        edges[i] = mel_to_hz(static_cast<double>(i) * (mel_hi - mel_lo) * (1.0 / (n_mels + 1)) + mel_lo, scale);
    }
    std::vector<MelBand<T>> bands;
    bands.reserve(static_cast<std::size_t>(n_mels));
    for (int32_t m = 0; m < n_mels; ++m) {
        const double f_lo = edges[m], f_c = edges[m + 1], f_hi = edges[m + 2];
        const double s = norm == MelNorm::slaney ? 2.0 / (f_hi - f_lo) : 1.0;
        const double k0d = std::max(std::floor(f_lo * r), 0.0);
        const double k1d = std::min(std::ceil(f_hi * r), static_cast<double>(last_bin));
        MelBand<T> band{0, {}};
        // NaN edges (for example fmin or fmax NaN) leave the band empty.
        if (k0d <= k1d) {
            for (int64_t k = static_cast<int64_t>(k0d); k <= static_cast<int64_t>(k1d); ++k) {
                const double f = static_cast<double>(k) * d;
                const double rising = f_c > f_lo ? (f - f_lo) / (f_c - f_lo) : 0.0;
                const double falling = f_hi > f_c ? (f_hi - f) / (f_hi - f_c) : 0.0;
                // A weight counts once rounded to T: one that underflows to zero
                // (a rate so low that bins are denormal-spaced) covers nothing.
                const T w = static_cast<T>(std::max(0.0, std::min(rising, falling)) * s);
                if (w > T(0)) {
                    if (band.weights.empty()) band.start = static_cast<int32_t>(k);
                    band.weights.push_back(w);
                } else if (!band.weights.empty()) {
                    break;  // weights stay contiguous
                }
            }
        }
        if (band.weights.empty()) {
            throw std::invalid_argument("mel band " + std::to_string(m) +
                                        " covers no FFT bins; raise n_fft or lower n_mels");
        }
        bands.push_back(std::move(band));
    }
    return bands;
}

template std::vector<MelBand<float>> build_mel_bands<float>(double, int32_t, int32_t, double, double, MelScale,
                                                            MelNorm);
template std::vector<MelBand<double>> build_mel_bands<double>(double, int32_t, int32_t, double, double, MelScale,
                                                              MelNorm);

}  // namespace qorva::dsp::ops
