#include "ops/chroma.hpp"

#include <cmath>
#include <complex>
#include <limits>
#include <stdexcept>

#include "ops/vector_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

constexpr double kLog2A4 = 8.78135971352466;  // log2(440)
constexpr double kNormFloor = 1e-20;

CqtConfig chroma_cqt_config(double sr, int32_t hop_length, int32_t bins_per_octave, int32_t n_octaves, double fmin) {
    const int64_t n_bins = static_cast<int64_t>(bins_per_octave) * n_octaves;
    if (n_bins > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("the top CQT bin exceeds Nyquist; lower n_bins or fmin");
    }
    // A negative product (one factor negative) is reported as a bad n_bins.
    return CqtConfig{sr, hop_length, fmin, static_cast<int32_t>(std::max<int64_t>(n_bins, -1)), bins_per_octave};
}

// Sum of |C| per pitch class, and the frame's normaliser: the largest class
// value (NaN-propagating), replaced by 1 when it is not above the floor.
template <typename T>
void fold_classes(const std::vector<int32_t>& chroma_of_bin, int32_t n_chroma, const T* mag, int64_t F, T* S,
                  T* norm, int32_t* argmax) {
    std::fill(S, S + static_cast<int64_t>(n_chroma) * F, T(0));
    for (std::size_t k = 0; k < chroma_of_bin.size(); ++k) {
        T* dst = S + static_cast<int64_t>(chroma_of_bin[k]) * F;
        const T* src = mag + static_cast<int64_t>(k) * F;
        for (int64_t t = 0; t < F; ++t) dst[t] += src[t];
    }
    for (int64_t t = 0; t < F; ++t) {
        T n = n_chroma > 0 ? std::abs(S[t]) : T(0);
        int32_t best = 0;
        for (int32_t c = 1; c < n_chroma; ++c) {
            const T v = std::abs(S[static_cast<int64_t>(c) * F + t]);
            if (!(v <= n)) {
                n = v;
                best = c;
            }
        }
        const bool clamped = !(n > T(kNormFloor));
        norm[t] = clamped ? T(1) : n;
        argmax[t] = clamped ? -1 : best;  // a clamped normaliser is a constant
    }
}

}  // namespace

template <typename T>
ChromaEngine<T>::ChromaEngine(double sr, int32_t hop_length, int32_t bins_per_octave, int32_t n_octaves,
                              int32_t n_chroma, double fmin)
    : cqt_(chroma_cqt_config(sr, hop_length, bins_per_octave, n_octaves, fmin)), n_chroma_(n_chroma) {
    if (n_chroma < 1) throw std::invalid_argument("n_chroma must be positive");
    if (bins_per_octave % n_chroma != 0) throw std::invalid_argument("bins_per_octave must be a multiple of n_chroma");
    const int32_t r = bins_per_octave / n_chroma;
    // Pitch class of fmin relative to C, in n_chroma steps per octave.
    const long o = std::lround(std::fmod(12.0 * (std::log2(fmin) - kLog2A4) + 69.0, 12.0) *
                               (n_chroma * 0.08333333333333333));
    const int32_t offset = static_cast<int32_t>((n_chroma + o % n_chroma) % n_chroma);
    chroma_of_bin_.resize(static_cast<std::size_t>(cqt_.n_bins()));
    for (int32_t k = 0; k < cqt_.n_bins(); ++k) {
        const int32_t j = (k % bins_per_octave + r / 2) % bins_per_octave;
        chroma_of_bin_[k] = (j / r + offset) % n_chroma;
    }
}

template <typename T>
void ChromaEngine<T>::forward(const T* x, int64_t batch, int64_t n_samples, T* out) const {
    const int64_t F = n_frames(n_samples);
    const int64_t K = cqt_.n_bins();
    for_each_row(batch, [&](int64_t b) {
        PoolBuffer mag_block(static_cast<std::size_t>(K * F) * sizeof(T));
        std::vector<T> norm(static_cast<std::size_t>(F));
        std::vector<int32_t> argmax(static_cast<std::size_t>(F));
        T* mag = mag_block.as<T>();
        cqt_.forward_row(x + b * n_samples, n_samples, OutputMode::magnitude, mag);
        T* S = out + b * n_chroma_ * F;
        fold_classes(chroma_of_bin_, n_chroma_, mag, F, S, norm.data(), argmax.data());
        for (int32_t c = 0; c < n_chroma_; ++c) {
            for (int64_t t = 0; t < F; ++t) S[c * F + t] /= norm[t];
        }
    });
}

template <typename T>
void ChromaEngine<T>::backward(const T* grad, const T* x, int64_t batch, int64_t n_samples, T* grad_x) const {
    const int64_t F = n_frames(n_samples);
    const int64_t K = cqt_.n_bins();
    for_each_row(batch, [&](int64_t b) {
        PoolBuffer spec_block(static_cast<std::size_t>(K * F) * sizeof(std::complex<T>));
        PoolBuffer mag_block(static_cast<std::size_t>(K * F) * sizeof(T));
        PoolBuffer class_block(static_cast<std::size_t>(n_chroma_ * F) * sizeof(T));
        auto* C = spec_block.as<std::complex<T>>();
        T* mag = mag_block.as<T>();
        T* S = class_block.as<T>();
        std::vector<T> norm(static_cast<std::size_t>(F)), dS(static_cast<std::size_t>(n_chroma_ * F));
        std::vector<int32_t> argmax(static_cast<std::size_t>(F));
        cqt_.forward_row(x + b * n_samples, n_samples, OutputMode::complex, reinterpret_cast<T*>(C));
        // The magnitudes exactly as the forward computes them, sqrt(re^2 + im^2).
        vec::spectrum_power(reinterpret_cast<const T*>(C), mag, K * F, true);
        fold_classes(chroma_of_bin_, n_chroma_, mag, F, S, norm.data(), argmax.data());
        // out = S / N with N = max_c S: dS = g / N, and the frame's largest
        // class also carries -sum_c g S / N^2 through N.
        const T* g = grad + b * n_chroma_ * F;
        for (int64_t t = 0; t < F; ++t) {
            T through_norm = T(0);
            for (int32_t c = 0; c < n_chroma_; ++c) {
                dS[c * F + t] = g[c * F + t] / norm[t];
                through_norm += g[c * F + t] * S[c * F + t];
            }
            if (argmax[t] >= 0) dS[argmax[t] * F + t] -= through_norm / (norm[t] * norm[t]);
        }
        // Magnitudes back to complex cotangents, in place over C.
        for (int64_t k = 0; k < K; ++k) {
            const T* d = dS.data() + static_cast<int64_t>(chroma_of_bin_[k]) * F;
            for (int64_t t = 0; t < F; ++t) {
                const int64_t q = k * F + t;
                C[q] = mag[q] > T(1e-12) ? (d[t] / mag[q]) * C[q] : std::complex<T>(0, 0);
            }
        }
        cqt_.backward_row(reinterpret_cast<const T*>(C), x + b * n_samples, n_samples, OutputMode::complex,
                          grad_x + b * n_samples);
    });
}

template class ChromaEngine<float>;
template class ChromaEngine<double>;

}  // namespace qorva::dsp::ops
