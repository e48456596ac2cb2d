#include "ops/onset.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "ops/feature_common.hpp"
#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

// Frames of one row handled together: the band loop then runs over short
// contiguous stretches of every band while the per-frame sums stay on the
// stack.
constexpr int64_t kOnsetRun = 256;

}  // namespace

template <typename T>
OnsetEngine<T>::OnsetEngine(const MelOptions& options) : p_(options) {
    if (p_.n_mels < 1) throw std::invalid_argument("n_mels must be positive, got " + std::to_string(p_.n_mels));
}

template <typename T>
void OnsetEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    const int64_t M = p_.n_mels;
    PoolBuffer mel_block(static_cast<std::size_t>(B * M * F) * sizeof(T));
    T* mel = mel_block.as<T>();
    mel_forward(p_, x, B, L, OutputMode::power, mel);

    // sum_m max(0, D_t - D_{t-1}) = (10 / ln 10) ln(prod over rising bands of
    // P_t / P_{t-1}) for the clamped powers P: a rise is exactly a ratio above
    // 1, so no decibel value is needed and each frame takes one logarithm
    // instead of one per band (the logarithms cost more than the STFT's
    // bookkeeping otherwise).
    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        LogProduct rise[kOnsetRun];
        bool infinite[kOnsetRun];
        for_frame_runs(begin, end, F, kOnsetRun, [&](int64_t b, int64_t t0, int64_t count) {
            std::fill(rise, rise + count, LogProduct{});
            std::fill(infinite, infinite + count, false);
            for (int64_t m = 0; m < M; ++m) {
                const T* band = mel + (b * M + m) * F;
                // Frame 0 has no predecessor: starting from its own level adds nothing.
                double prev = db_clamp(static_cast<double>(band[t0 > 0 ? t0 - 1 : 0]));
                for (int64_t j = 0; j < count; ++j) {
                    const double cur = db_clamp(static_cast<double>(band[t0 + j]));
                    if (cur > prev) {
                        const double ratio = cur / prev;
                        if (ratio <= std::numeric_limits<double>::max()) {
                            rise[j].multiply(ratio);
                        } else {
                            infinite[j] = true;  // an infinite power rises by an infinite amount
                        }
                    }
                    prev = cur;
                }
            }
            T* dst = out + b * F + t0;
            const double scale = kDbEnergyScale<double> / static_cast<double>(M);
            for (int64_t j = 0; j < count; ++j) {
                dst[j] = infinite[j] ? std::numeric_limits<T>::infinity() : static_cast<T>(scale * rise[j].ln());
            }
        });
    });
}

// The mel power of band m in frame t enters onset[t] (rising from t - 1) and
// onset[t + 1] (rising to t + 1).  Each passes gradient only where its
// difference is strictly positive, and nothing passes where the dB floor
// clamps the power.
template <typename T>
void OnsetEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int64_t M = p_.n_mels;
    const std::size_t bytes = static_cast<std::size_t>(B * M * F) * sizeof(T);
    PoolBuffer mel_block(bytes), mel_grad_block(bytes);
    T* mel = mel_block.as<T>();
    T* mel_grad = mel_grad_block.as<T>();
    mel_forward(p_, x, B, L, OutputMode::power, mel);

    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        T a[kOnsetRun], c[kOnsetRun];  // gradients of onset[t] and onset[t + 1], per band
        for_frame_runs(begin, end, F, kOnsetRun, [&](int64_t b, int64_t t0, int64_t count) {
            const T* g = grad + b * F;
            const T bands = static_cast<T>(M);
            for (int64_t j = 0; j < count; ++j) {
                const int64_t t = t0 + j;
                a[j] = t >= 1 ? g[t] / bands : T(0);
                c[j] = t + 1 < F ? g[t + 1] / bands : T(0);
            }
            for (int64_t m = 0; m < M; ++m) {
                const T* band = mel + (b * M + m) * F;
                T* gband = mel_grad + (b * M + m) * F;
                // Decibels rise exactly where the clamped power does.
                double prev = t0 > 0 ? db_clamp(static_cast<double>(band[t0 - 1])) : 0.0;
                double cur = db_clamp(static_cast<double>(band[t0]));
                for (int64_t j = 0; j < count; ++j) {
                    const int64_t t = t0 + j;
                    const double next = t + 1 < F ? db_clamp(static_cast<double>(band[t + 1])) : 0.0;
                    T d = T(0);
                    if (a[j] != T(0) && cur > prev) d = a[j];
                    if (c[j] != T(0) && next > cur) d -= c[j];
                    const T power = band[t];
                    // The floor is compared in double, as the forward clamps.
                    gband[t] = static_cast<double>(power) > 1e-10 ? d * kDbEnergyScale<T> / power : T(0);
                    prev = cur;
                    cur = next;
                }
            }
        });
    });
    mel_backward(p_, mel_grad, x, B, L, OutputMode::power, grad_x);
}

template class OnsetEngine<float>;
template class OnsetEngine<double>;

}  // namespace qorva::dsp::ops
