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

// Frames of one row handled together by the forward pass: the band loop then runs over short
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
    PoolBuffer mel_block(static_cast<std::size_t>(B * p_.n_mels * n_frames(L)) * sizeof(T));
    forward(x, B, L, out, mel_block.as<T>());
}

template <typename T>
void OnsetEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out, T* mel) const {
    const int64_t F = n_frames(L);
    const int64_t M = p_.n_mels;
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

namespace {

// A task's walk along the frames of a row: the spectrum and mel powers of the
// frame whose gradient is formed and of its successor, and the mel powers of
// its predecessor, each with the (row, frame) item b * F + t it holds (-1:
// none).  Walking frames in order, each frame is transformed once for the
// mel powers its neighbours need and reused for its own gradient.
template <typename T>
struct OnsetTask : FrameScratch<T> {
    OnsetTask(int32_t n_fft, int64_t M)
        : FrameScratch<T>(n_fft),
          cur_spec(n_fft / 2 + 1),
          next_spec(n_fft / 2 + 1),
          prev_mel(M),
          cur_mel(M),
          next_mel(M),
          mel_grad(M + 1) {}
    fft::AlignedBuffer<std::complex<T>> cur_spec, next_spec;
    fft::AlignedBuffer<T> prev_mel, cur_mel, next_mel;
    fft::AlignedBuffer<T> mel_grad;  // M values and the zero mel_frame_adjoint reads after them
    int64_t prev = -1, cur = -1, next = -1;
    bool cur_spent = false;  // cur_spec was consumed by the frame's gradient
};

// Frame t's sample gradient (before the window) from the onset gradient g of
// its row, given the mel powers of t and its neighbours in s and t's spectrum
// X, which it overwrites.
template <typename T>
const T* onset_frame_gradient(const MelParams<T>& p, OnsetTask<T>& s, const T* g, int64_t F, int64_t t,
                              std::complex<T>* X) {
    const int64_t M = p.n_mels;
    const T bands = static_cast<T>(M);
    const T a = t >= 1 ? g[t] / bands : T(0);      // gradient of onset[t], per band
    const T c = t + 1 < F ? g[t + 1] / bands : T(0);  // and of onset[t + 1]
    // Decibels rise exactly where the clamped power does; the floor is
    // compared in double, as the forward clamps.
    vec::onset_rise_gradient(s.prev_mel.data(), s.cur_mel.data(), s.next_mel.data(), a, c, kDbEnergyScale<T>,
                             s.mel_grad.data(), M);
    T* dS = s.im.data();
    mel_frame_adjoint(p, s.mel_grad.data(), dS);
    vec::output_gradient(vec::GradRule::power, dS, reinterpret_cast<T*>(X), p.n_bins(), p.n_fft % 2 == 0);
    return interleaved_adjoint<T>(s, X);
}

}  // namespace

// The mel power of band m in frame t enters onset[t] (rising from t - 1) and
// onset[t + 1] (rising to t + 1).  Each passes gradient only where its
// difference is strictly positive, and nothing passes where the dB floor
// clamps the power.  The mel powers come from the same walk that forms the
// gradients, so a frame's spectrum serves both.
template <typename T>
void OnsetEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const FramedRows<T> in = framed_rows(p_, p_.window_values.data(), x, B, L);
    const int64_t F = in.F, M = p_.n_mels;
    // Frame t of row b: its spectrum into `spec`, its mel powers into `mel`.
    auto load = [&](OnsetTask<T>& s, int64_t b, int64_t t, fft::AlignedBuffer<std::complex<T>>* spec,
                    fft::AlignedBuffer<T>& mel) {
        in.spectrum_interleaved(b, t, s);
        mel_frame(p_, s.spec_values(), false, s.re.data(), mel.data());
        if (spec != nullptr) std::swap(s.spec, *spec);
    };
    auto adjoint = [&](OnsetTask<T>& s, int64_t b, int64_t t, T*) {
        const int64_t q = b * F + t;
        if (s.next == q) {
            std::swap(s.prev_mel, s.cur_mel);
            std::swap(s.cur_mel, s.next_mel);
            std::swap(s.cur_spec, s.next_spec);
            s.prev = s.cur;
            s.cur = q;
            s.next = -1;
            s.cur_spent = false;
        }
        if (s.cur != q || s.cur_spent) {
            load(s, b, t, &s.cur_spec, s.cur_mel);
            s.cur = q;
            s.cur_spent = false;
        }
        if (t >= 1 && s.prev != q - 1) {
            load(s, b, t - 1, nullptr, s.prev_mel);
            s.prev = q - 1;
        }
        if (t + 1 < F) {
            load(s, b, t + 1, &s.next_spec, s.next_mel);
            s.next = q + 1;
        }
        s.cur_spent = true;
        return onset_frame_gradient(p_, s, grad + b * F, F, t, s.cur_spec.data());
    };
    framed_backward<OnsetTask<T>>(in, grad, 1, FrameLayout::bin_major, grad_x, adjoint,
                                  [&] { return OnsetTask<T>(p_.n_fft, M); });
}

template <typename T>
void OnsetEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, const T* mel, T* grad_x) const {
    const FramedRows<T> in = framed_rows(p_, p_.window_values.data(), x, B, L);
    const int64_t F = in.F, M = p_.n_mels;
    auto adjoint = [&](OnsetTask<T>& s, int64_t b, int64_t t, T*) {
        const T* band = mel + b * M * F + t;
        for (int64_t m = 0; m < M; ++m) {
            s.prev_mel[m] = t >= 1 ? band[m * F - 1] : T(0);
            s.cur_mel[m] = band[m * F];
            s.next_mel[m] = t + 1 < F ? band[m * F + 1] : T(0);
        }
        in.spectrum_interleaved(b, t, s);
        return onset_frame_gradient(p_, s, grad + b * F, F, t, s.spec.data());
    };
    framed_backward<OnsetTask<T>>(in, grad, 1, FrameLayout::bin_major, grad_x, adjoint,
                                  [&] { return OnsetTask<T>(p_.n_fft, M); });
}

template class OnsetEngine<float>;
template class OnsetEngine<double>;

}  // namespace qorva::dsp::ops
