#include "ops/tempogram.hpp"

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <string>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

// Tempogram frames handled together: the forward's output blocks, and the
// backward's fixed blocks of frame pairs.
constexpr int64_t kTempoBlock = 16;

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

// n times the frame's energy, the unnormalised autocorrelation at lag 0, at
// or below it: a silent frame.  Both passes decide from the same time-domain
// sum so that they agree on every frame.
constexpr double kLagZeroFloor = 1e-12;

// Sum of squares of w values in double.  Independent partial sums keep the
// additions from waiting on one another.
template <typename T>
double energy(const T* __restrict f, int64_t w) {
    constexpr int64_t kLanes = 8;
    double acc[kLanes] = {};
    int64_t i = 0;
    for (; i + kLanes <= w; i += kLanes) {
        for (int64_t j = 0; j < kLanes; ++j) acc[j] += static_cast<double>(f[i + j]) * static_cast<double>(f[i + j]);
    }
    for (; i < w; ++i) acc[0] += static_cast<double>(f[i]) * static_cast<double>(f[i]);
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

// Per-task transform and buffers of the autocorrelation.
// `frames` is the task's frame count: the block holds at most kTempoBlock of
// them, and no more than the task has (with long windows and few frames the
// block would otherwise dwarf the output).
template <typename T>
struct AcScratch {
    AcScratch(int32_t n, int32_t w, int64_t frames)
        : fft(make_real_fft<T>(n)), frame(n), re(n / 2 + 1), im(n / 2 + 1), pr(n / 2 + 1), pi(n / 2 + 1),
          r(n), block(static_cast<std::size_t>(w) * static_cast<std::size_t>(std::min(kTempoBlock, frames))) {}
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
    // Split at the row's ends so that the interior loop has no branch.
    const int64_t lo = std::clamp<int64_t>(-first, 0, W_);
    const int64_t hi = std::clamp<int64_t>(F - first, lo, W_);
    std::fill(out, out + lo, T(0));
    const T* __restrict w = window_.data() + lo;
    const T* __restrict a = env + (first + lo);
    T* __restrict o = out + lo;
    for (int64_t i = 0; i < hi - lo; ++i) o[i] = w[i] * a[i];
    std::fill(out + hi, out + W_, T(0));
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
        for_frame_runs(begin, end, F, kTempoBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                T* v = s.block.data() + j * W;
                frame(env + b * F, F, f0 + j, s.frame.data());
                if (!(static_cast<double>(N_) * energy(s.frame.data(), W) > kLagZeroFloor)) {
                    std::fill(v, v + W, T(0));
                    continue;
                }
                s.autocorrelate();
                const T* r = s.r.data();
                const T scale = T(1) / r[0];
                for (int64_t l = 0; l < W; ++l) v[l] = scale * r[l];
            }
            store_block(s.block.data(), count, W, out + b * W * F + f0, F);
        });
    });
}

// With A_l = sum_i f_i f_{i+l} and out_l = A_l / A_0 (the lag-0 normaliser
// is part of the function, not a constant):
//   d/df_m sum_l g_l out_l = (1/A_0) [sum_l g_l (f_{m+l} + f_{m-l}) - 2 f_m sum_l g_l out_l],
// i.e. the gradient of an unnormalised autocorrelation with the lag-0
// weight lowered by c = sum_l g_l out_l.  Both correlation terms come from
// one inverse transform, irfft(X G) + irfft(X conj(G)) = irfft(2 X Re(G)),
// and the transform's factor n cancels against 1/A_0 = n / r_0.  Lowering
// lag 0 by c subtracts c from every bin of G, and by Parseval
// c = sum_k |X_k|^2 Re(G_k) / r_0 over the full spectrum, so the
// autocorrelation itself is never formed.  Each frame takes three real
// transforms of length n: its stretch, its lags' gradient and the result.
//
// Frames go in fixed blocks of kTempoBlock frames per row; each block adds
// its frames' windowed gradients into a span of its own, and the spans of a
// row are summed in block order afterwards, so nothing depends on how the
// blocks were spread over threads.
template <typename T>
void TempogramEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int64_t W = W_;
    const int32_t N = N_;
    const int64_t K = N / 2 + 1;
    const bool even = N % 2 == 0;
    const int64_t half = W / 2;
    const int64_t blocks_per_row = (F + kTempoBlock - 1) / kTempoBlock;
    const int64_t span = kTempoBlock + W - 1;  // envelope positions a block's frames cover
    PoolBuffer env_block(static_cast<std::size_t>(B * F) * sizeof(T));
    PoolBuffer span_block(static_cast<std::size_t>(B * blocks_per_row * span) * sizeof(T));
    PoolBuffer env_grad_block(static_cast<std::size_t>(B * F) * sizeof(T));
    T* env = env_block.as<T>();
    T* spans = span_block.as<T>();  // [b][block][position - (first frame - W/2)]
    T* env_grad = env_grad_block.as<T>();
    // The mel spectrogram under the envelope serves the onset backward too.
    PoolBuffer mel_block(static_cast<std::size_t>(B * onset_.params().n_mels * F) * sizeof(T));
    onset_.forward(x, B, L, env, mel_block.as<T>());

    parallel_for(B * blocks_per_row, 1, [&](int64_t begin, int64_t end) {
        // A frame's stretch and spectrum X (s.frame, s.spec), and its lags'
        // gradient spectrum G.
        FrameScratch<T> s(N);
        AlignedBuffer<std::complex<T>> lag_spectrum(static_cast<std::size_t>(K));
        const T* __restrict win = window_.data();
        // The block's output gradients frame by frame, each padded to the
        // transform length: lag l of frame f0 + j at j * N + l, zero from W
        // on (never written there).
        AlignedBuffer<T> block_grad(static_cast<std::size_t>(kTempoBlock * N));
        for (int64_t blk = begin; blk < end; ++blk) {
            const int64_t b = blk / blocks_per_row;
            const int64_t f0 = (blk % blocks_per_row) * kTempoBlock;
            const int64_t count = std::min(kTempoBlock, F - f0);
            const T* grad_row = grad + b * W * F;  // lag l of frame t at l * F + t
            // Its W rows lie F apart: one transpose reads each line once,
            // where the frames would each touch all W of them.
            transpose_values(grad_row + f0, F, block_grad.data(), N, W, count);
            if (blk + 1 < end) {
                const int64_t nb = (blk + 1) / blocks_per_row, nf0 = ((blk + 1) % blocks_per_row) * kTempoBlock;
                prefetch_rows(grad + nb * W * F + nf0, F, W, std::min(kTempoBlock, F - nf0));
            }
            T* __restrict acc = spans + blk * span;
            std::fill(acc, acc + span, T(0));
            for (int64_t j = 0; j < count; ++j) {
                T* f = s.frame.data();
                frame(env + b * F, F, f0 + j, f);
                const double r0 = static_cast<double>(N) * energy(f, W);
                if (!(r0 > kLagZeroFloor)) continue;  // a silent frame outputs zeros
                s.fft.impl->forward_complex(f, s.spec.data());
                s.fft.impl->forward_complex(block_grad.data() + j * N, lag_spectrum.data());
                T* X = s.spec_values();
                const T* G = reinterpret_cast<const T*>(lag_spectrum.data());
                // c above; H = 2 X (Re G - c) / r_0.
                const T lowered = static_cast<T>(vec::hermitian_power_dot(X, G, K, even) / r0);
                vec::scale_by_real_part(X, G, K, lowered, static_cast<T>(2.0 / r0));
                // H's unnormalised real inverse is the gradient of the stretch.
                const T* h = interleaved_adjoint(s, s.spec.data());
                vec::multiply_add(acc + j, h, win, W);
            }
        }
    });

    // Envelope position p of row b lies in the spans of the blocks whose
    // first frame t0 has p - t0 + W/2 in [0, span).
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / F, p = q % F;
            const int64_t k_lo = std::max<int64_t>(0, (p + half - span + kTempoBlock) / kTempoBlock);
            const int64_t k_hi = std::min<int64_t>(blocks_per_row - 1, (p + half) / kTempoBlock);
            const T* row = spans + b * blocks_per_row * span;
            double sum = 0.0;
            for (int64_t k = k_lo; k <= k_hi; ++k) sum += static_cast<double>(row[k * span + p + half - k * kTempoBlock]);
            env_grad[q] = static_cast<T>(sum);
        }
    });
    onset_.backward(env_grad, x, B, L, mel_block.as<T>(), grad_x);
}

template class TempogramEngine<float>;
template class TempogramEngine<double>;

}  // namespace qorva::dsp::ops
