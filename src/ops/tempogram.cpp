#include "ops/tempogram.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

// Largest window whose autocorrelation length 2W - 1 still rounds up to a
// power of two that fits a signed 32-bit transform length.
constexpr int32_t kMaxTempoWin = 1 << 29;

int32_t checked_tempo_win(int32_t w) {
    if (w < 1) throw std::invalid_argument("win_length must be positive");
    if (w > kMaxTempoWin) {
        throw std::invalid_argument("tempo_win must be at most " + std::to_string(kMaxTempoWin) + ", got " +
                                    std::to_string(w));
    }
    return w;
}

int32_t autocorrelation_length(int32_t w) {
    int32_t n = 1;
    while (n < 2 * w - 1) n *= 2;
    return n;
}

constexpr double kLagZeroFloor = 1e-12;  // r[0] at or below it: a silent frame

// Per-task transform and buffers of the autocorrelation.
// `frames` is the task's frame count: the block holds at most kFrameBlock of
// them, and no more than the task has (with long windows and few frames the
// block would otherwise dwarf the output).
template <typename T>
struct AcScratch {
    AcScratch(int32_t n, int32_t w, int64_t frames)
        : fft(make_real_fft<T>(n)), frame(n), re(n / 2 + 1), im(n / 2 + 1), pr(n / 2 + 1), pi(n / 2 + 1),
          r(n), block(static_cast<std::size_t>(w) * static_cast<std::size_t>(std::min(kFrameBlock, frames))) {}
    fft::RealFFT<T> fft;
    AlignedBuffer<T> frame, re, im, pr, pi, r, block;

    // r = n times the autocorrelation of frame (frame must be zero past W):
    // the unnormalised inverse transform of the power spectrum.
    void autocorrelate() {
        fft.impl->forward(frame.data(), re.data(), im.data());
        const int32_t K = fft.n / 2 + 1;
        for (int32_t k = 0; k < K; ++k) {
            pr[k] = re[k] * re[k] + im[k] * im[k];
            pi[k] = T(0);
        }
        fft.impl->inverse(pr.data(), pi.data(), r.data());
    }
};

}  // namespace

template <typename T>
TempogramEngine<T>::TempogramEngine(const MelOptions& options, int32_t tempo_win)
    : onset_(options),
      W_(checked_tempo_win(tempo_win)),
      N_(autocorrelation_length(W_)),
      window_(build_window<T>(WindowSpec{}, W_, W_)) {}

// f[i] = w[i] a[t + i - W/2] for i < W; envelope positions outside the row
// read 0.  Values past W are never written and stay 0.
template <typename T>
void TempogramEngine<T>::frame(const T* env, int64_t F, int64_t t, T* out) const {
    const int64_t first = t - W_ / 2;
    for (int32_t i = 0; i < W_; ++i) {
        const int64_t s = first + i;
        out[i] = s >= 0 && s < F ? window_[i] * env[s] : T(0);
    }
}

template <typename T>
void TempogramEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    const int64_t W = W_;
    PoolBuffer env_block(static_cast<std::size_t>(B * F) * sizeof(T));
    T* env = env_block.as<T>();
    onset_.forward(x, B, L, env);

    parallel_for(B * F, 16, [&](int64_t begin, int64_t end) {
        AcScratch<T> s(N_, W_, end - begin);
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                frame(env + b * F, F, f0 + j, s.frame.data());
                s.autocorrelate();
                T* v = s.block.data() + j * W;
                const T* r = s.r.data();
                if (static_cast<double>(r[0]) > kLagZeroFloor) {
                    const T scale = T(1) / r[0];
                    for (int64_t l = 0; l < W; ++l) v[l] = scale * r[l];
                } else {
                    std::fill(v, v + W, T(0));
                }
            }
            store_block(s.block.data(), count, W, out + b * W * F + f0, F);
        });
    });
}

// With A_l = sum_i f_i f_{i+l} and out_l = A_l / A_0 (the lag-0 normaliser
// is part of the function, not a constant):
//   d/df_m sum_l g_l out_l = (1/A_0) [sum_l g_l (f_{m+l} + f_{m-l}) - 2 f_m sum_l g_l out_l],
// i.e. the gradient of an unnormalised autocorrelation with the lag-0
// weight lowered by sum_l g_l out_l.  Both correlation terms come from one
// inverse transform: irfft(X G) + irfft(X conj(G)) = irfft(2 X Re(G)), and
// the transform's factor n cancels against 1/A_0 = n / r[0].
template <typename T>
void TempogramEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int64_t W = W_;
    const int32_t K = N_ / 2 + 1;
    PoolBuffer env_block(static_cast<std::size_t>(B * F) * sizeof(T));
    PoolBuffer frame_grad_block(static_cast<std::size_t>(B * F * W) * sizeof(T));
    PoolBuffer env_grad_block(static_cast<std::size_t>(B * F) * sizeof(T));
    T* env = env_block.as<T>();
    T* frame_grads = frame_grad_block.as<T>();  // [b][t][i], frame-major
    T* env_grad = env_grad_block.as<T>();
    onset_.forward(x, B, L, env);

    parallel_for(B * F, 16, [&](int64_t begin, int64_t end) {
        AcScratch<T> s(N_, W_, end - begin);
        AlignedBuffer<T> G(N_), gre(K), gim(K), h(N_);
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            load_block(grad + b * W * F + f0, F, count, W, s.block.data());
            for (int64_t j = 0; j < count; ++j) {
                const int64_t t = f0 + j;
                T* dst = frame_grads + (b * F + t) * W;
                frame(env + b * F, F, t, s.frame.data());
                s.autocorrelate();
                const T* r = s.r.data();
                if (!(static_cast<double>(r[0]) > kLagZeroFloor)) {
                    std::fill(dst, dst + W, T(0));  // a silent frame outputs zeros and passes nothing
                    continue;
                }
                const T scale = T(1) / r[0];
                const T* g = s.block.data() + j * W;
                double lowered = 0.0;  // sum_l g_l out_l, out_l as the forward rounds it
                for (int64_t l = 0; l < W; ++l) lowered += static_cast<double>(g[l]) * (scale * r[l]);
                G[0] = scale * static_cast<T>(static_cast<double>(g[0]) - lowered);
                for (int64_t l = 1; l < W; ++l) G[l] = scale * g[l];
                s.fft.impl->forward(G.data(), gre.data(), gim.data());
                for (int32_t k = 0; k < K; ++k) {
                    const T c = T(2) * gre[k];
                    s.pr[k] = s.re[k] * c;
                    s.pi[k] = s.im[k] * c;
                }
                s.fft.impl->inverse(s.pr.data(), s.pi.data(), h.data());
                std::copy(h.data(), h.data() + W, dst);
            }
        });
    });

    // Envelope value s appears in frame t at i = s - t + W/2; gathering per
    // envelope position keeps the sums free of write conflicts.
    const int64_t half = W / 2;
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / F, pos = q % F;
            const int64_t t_lo = std::max<int64_t>(0, pos + half - W + 1);
            const int64_t t_hi = std::min<int64_t>(F - 1, pos + half);
            const T* rows = frame_grads + b * F * W;
            double acc = 0.0;
            for (int64_t t = t_lo; t <= t_hi; ++t) {
                const int64_t i = pos - t + half;
                acc += static_cast<double>(window_[i]) * static_cast<double>(rows[t * W + i]);
            }
            env_grad[q] = static_cast<T>(acc);
        }
    });
    onset_.backward(env_grad, x, B, L, grad_x);
}

template class TempogramEngine<float>;
template class TempogramEngine<double>;

}  // namespace qorva::dsp::ops
