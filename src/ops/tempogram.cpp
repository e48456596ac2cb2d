#include "ops/tempogram.hpp"

#include <algorithm>
#include <cmath>
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

// Sum over the half spectrum of a * b weighted by how often each bin appears
// in the full (Hermitian) spectrum: once for bin 0 and, n even, bin n/2;
// twice for the rest.  In double, with independent partial sums.
template <typename T>
double hermitian_dot(const T* __restrict a, const T* __restrict b, int32_t n) {
    const int32_t K = n / 2 + 1;
    const int32_t last_interior = n % 2 == 0 ? K - 2 : K - 1;
    constexpr int32_t kLanes = 8;
    double acc[kLanes] = {};
    int32_t k = 1;
    for (; k + kLanes <= last_interior + 1; k += kLanes) {
        for (int32_t j = 0; j < kLanes; ++j) acc[j] += static_cast<double>(a[k + j]) * static_cast<double>(b[k + j]);
    }
    for (; k <= last_interior; ++k) acc[0] += static_cast<double>(a[k]) * static_cast<double>(b[k]);
    const double interior = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
    double ends = static_cast<double>(a[0]) * static_cast<double>(b[0]);
    if (n % 2 == 0 && K > 1) ends += static_cast<double>(a[K - 1]) * static_cast<double>(b[K - 1]);
    return ends + 2.0 * interior;
}

// A backward task's transform and buffers, and the steps that turn a pair
// of frames into their gradient spectra (see TempogramEngine::backward).
template <typename T>
struct PairGradient {
    using C = std::complex<T>;

    PairGradient(int32_t n_fft, int32_t w)
        : fft(n_fft, fft::select_backend(n_fft, fft::complex_fft_supports, "complex FFT")),
          n(n_fft), K(n_fft / 2 + 1), W(w),
          zf(n_fft), zg(n_fft), Zf(n_fft), Zg(n_fft), Y(n_fft), y(n_fft) {
        for (int part = 0; part < 2; ++part) {
            frame[part] = AlignedBuffer<T>(w);
            xr[part] = AlignedBuffer<T>(K);
            xi[part] = AlignedBuffer<T>(K);
            gr[part] = AlignedBuffer<T>(K);
            power[part] = AlignedBuffer<T>(K);
        }
    }

    fft::ComplexFFT<T> fft;
    int32_t n, K;
    int64_t W;
    AlignedBuffer<C> zf, zg, Zf, Zg, Y, y;  // zf, zg: zero past W, never written there
    // Per frame of the pair: the stretch, then twice its spectrum X, twice
    // Re of its gradient's spectrum and 4 |X|^2 (the halves of the split
    // are left to the scalar factors), then its gradient spectrum H in xr, xi.
    AlignedBuffer<T> frame[2], xr[2], xi[2], gr[2], power[2];

    // zg = g + i b g' for the pair's output gradients g (lag l at gl[l]) and
    // g' (at gl[W + l]); a frame that is not live enters as zeros.
    // b = 2^shift brings g' to the size of g; returns shift.
    int load_gradients(const T* gl, const bool live[2]) {
        C* __restrict z = zg.data();
        const T* __restrict g = gl;
        const T* __restrict h = gl + W;
        if (!live[1]) {
            for (int64_t i = 0; i < W; ++i) z[i] = C(g[i], T(0));
            return 0;
        }
        if (!live[0]) {
            for (int64_t i = 0; i < W; ++i) z[i] = C(T(0), h[i]);
            return 0;
        }
        double norms[2][2] = {};  // squared norms of g and g', two partial sums each
        int64_t i = 0;
        for (; i + 2 <= W; i += 2) {
            const T p0 = g[i], q0 = h[i], p1 = g[i + 1], q1 = h[i + 1];
            z[i] = C(p0, q0);
            z[i + 1] = C(p1, q1);
            norms[0][0] += static_cast<double>(p0) * static_cast<double>(p0);
            norms[0][1] += static_cast<double>(p1) * static_cast<double>(p1);
            norms[1][0] += static_cast<double>(q0) * static_cast<double>(q0);
            norms[1][1] += static_cast<double>(q1) * static_cast<double>(q1);
        }
        for (; i < W; ++i) {
            const T p0 = g[i], q0 = h[i];
            z[i] = C(p0, q0);
            norms[0][0] += static_cast<double>(p0) * static_cast<double>(p0);
            norms[1][0] += static_cast<double>(q0) * static_cast<double>(q0);
        }
        const double g0 = norms[0][0] + norms[0][1], g1 = norms[1][0] + norms[1][1];
        if (!(g0 > 0.0 && g1 > 0.0 && std::isfinite(g0) && std::isfinite(g1))) return 0;
        const int shift = (std::ilogb(g0) - std::ilogb(g1)) / 2;
        if (shift != 0) {
            const T b = std::ldexp(T(1), shift);
            for (int64_t k = 0; k < W; ++k) z[k] = C(z[k].real(), b * z[k].imag());
        }
        return shift;
    }

    // Twice the spectra of the real and imaginary parts of Zf and Zg: with
    // u = Z_k and v = Z_{n-k}, u + conj v and (u - conj v) / i.
    void split() {
        const C* __restrict F = Zf.data();
        const C* __restrict G = Zg.data();
        T* __restrict ar = xr[0].data();
        T* __restrict ai = xi[0].data();
        T* __restrict br = xr[1].data();
        T* __restrict bi = xi[1].data();
        T* __restrict ag = gr[0].data();
        T* __restrict bg = gr[1].data();
        ar[0] = T(2) * F[0].real();
        ai[0] = T(0);
        br[0] = T(2) * F[0].imag();
        bi[0] = T(0);
        ag[0] = T(2) * G[0].real();
        bg[0] = T(2) * G[0].imag();
        for (int32_t k = 1; k < K; ++k) {
            const C u = F[k], v = F[n - k];
            ar[k] = u.real() + v.real();
            ai[k] = u.imag() - v.imag();
            br[k] = u.imag() + v.imag();
            bi[k] = v.real() - u.real();
            const C p = G[k], q = G[n - k];
            ag[k] = p.real() + q.real();
            bg[k] = p.imag() + q.imag();
        }
    }

    // H = 2 X (Re G - c) / r_0 for one frame of the pair, or zeros when it is
    // not live.  With the doubled spectra, H = xr (gr - 2c) / (2 r_0) and
    // 2c = dot(power, gr) / (4 r_0).
    void weigh(int part, bool live, double r0) {
        T* __restrict re = xr[part].data();
        T* __restrict im = xi[part].data();
        if (!live) {
            std::fill(re, re + K, T(0));
            std::fill(im, im + K, T(0));
            return;
        }
        const T* __restrict g = gr[part].data();
        T* __restrict p = power[part].data();
        for (int32_t k = 0; k < K; ++k) p[k] = re[k] * re[k] + im[k] * im[k];
        const T lowered = static_cast<T>(hermitian_dot(p, g, n) / (4.0 * r0));
        const T scale = static_cast<T>(0.5 / r0);
        for (int32_t k = 0; k < K; ++k) {
            const T w = scale * (g[k] - lowered);
            re[k] *= w;
            im[k] *= w;
        }
    }

    // Y = H + i H' over the full spectrum, H and H' Hermitian.
    void combine() {
        const T* __restrict p = xr[0].data();
        const T* __restrict q = xi[0].data();
        const T* __restrict u = xr[1].data();
        const T* __restrict v = xi[1].data();
        C* __restrict out = Y.data();
        for (int32_t k = 0; k < K; ++k) out[k] = C(p[k] - v[k], q[k] + u[k]);
        for (int32_t k = 1; k < (n + 1) / 2; ++k) out[n - k] = C(p[k] + v[k], u[k] - q[k]);  // bins past n/2
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
// autocorrelation itself is never formed.
//
// Frames go in pairs, two real sequences to a complex transform: the
// stretches f + i f' of frames t and t + 1, their gradients g + i g', and
// their gradient spectra H + i H', whose inverse holds both frames' results.
// A transform rounds relative to both of its sequences, so frame t + 1 is
// scaled by powers of two to the size of frame t; and the two frames share
// all but one envelope position, so what remains of each one's rounding in
// the other lands on sums that it feeds itself.
//
// Pairs are taken within fixed blocks of kTempoBlock frames per row; each
// block adds its frames' windowed gradients into a span of its own, and the
// spans of a row are summed in block order afterwards, so nothing depends on
// how the blocks were spread over threads.
template <typename T>
void TempogramEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    using C = std::complex<T>;
    const int64_t F = n_frames(L);
    const int64_t W = W_;
    const int32_t N = N_;
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
        PairGradient<T> s(N, W_);
        auto& fft = *s.fft.impl;
        const T* __restrict win = window_.data();
        // The block's output gradients frame by frame: lag l of frame f0 + j
        // at j * W + l.
        AlignedBuffer<T> block_grad(static_cast<std::size_t>(kTempoBlock * W));
        for (int64_t blk = begin; blk < end; ++blk) {
            const int64_t b = blk / blocks_per_row;
            const int64_t f0 = (blk % blocks_per_row) * kTempoBlock;
            const int64_t count = std::min(kTempoBlock, F - f0);
            const T* grad_row = grad + b * W * F;  // lag l of frame t at l * F + t
            // Its W rows lie F apart: one transpose reads each line once,
            // where the pairs would each touch all W of them.
            load_block(grad_row + f0, F, count, W, block_grad.data());
            if (blk + 1 < end) {
                const int64_t nb = (blk + 1) / blocks_per_row, nf0 = ((blk + 1) % blocks_per_row) * kTempoBlock;
                prefetch_rows(grad + nb * W * F + nf0, F, W, std::min(kTempoBlock, F - nf0));
            }
            T* __restrict acc = spans + blk * span;
            std::fill(acc, acc + span, T(0));
            for (int64_t j = 0; j < count; j += 2) {
                // A frame that passes nothing (silent, or past the block's
                // end) enters the transforms as zeros: whatever it holds
                // (a NaN included) must not reach its partner.
                bool live[2];
                double r0[2] = {0.0, 0.0};
                for (int part = 0; part < 2; ++part) {
                    T* f = s.frame[part].data();
                    live[part] = false;
                    if (j + part < count) {
                        frame(env + b * F, F, f0 + j + part, f);
                        r0[part] = static_cast<double>(N) * energy(f, W);
                        live[part] = r0[part] > kLagZeroFloor;  // a silent frame outputs zeros
                    }
                    if (!live[part]) std::fill(f, f + W, T(0));
                }
                if (!live[0] && !live[1]) continue;
                // Frame t + 1 enters as a f' and b g', powers of two that bring
                // it to the size of frame t, and so comes back as b / a times
                // its gradient: the output is invariant to the scale of f' and
                // linear in g'.  Its r_0 is that of a f'.
                int shift_f = 0;
                if (live[0] && live[1] && std::isfinite(r0[0]) && std::isfinite(r0[1])) {
                    shift_f = (std::ilogb(r0[0]) - std::ilogb(r0[1])) / 2;
                }
                r0[1] = std::ldexp(r0[1], 2 * shift_f);
                const T a = std::ldexp(T(1), shift_f);
                const T* __restrict fa = s.frame[0].data();
                const T* __restrict fb = s.frame[1].data();
                C* __restrict zf = s.zf.data();
                for (int64_t i = 0; i < W; ++i) zf[i] = C(fa[i], a * fb[i]);
                const int shift_g = s.load_gradients(block_grad.data() + j * W, live);
                fft.forward(s.zf.data(), s.Zf.data());
                fft.forward(s.zg.data(), s.Zg.data());
                s.split();
                for (int part = 0; part < 2; ++part) s.weigh(part, live[part], r0[part]);
                s.combine();
                fft.inverse(s.Y.data(), s.y.data());
                for (int part = 0; part < 2; ++part) {
                    if (!live[part]) continue;
                    const T* __restrict h = reinterpret_cast<const T*>(s.y.data()) + part;  // re / im of y
                    const T unscale = part == 0 ? T(1) : std::ldexp(T(1), shift_f - shift_g);
                    T* __restrict sum = acc + j + part;
                    for (int64_t i = 0; i < W; ++i) sum[i] += win[i] * (unscale * h[2 * i]);
                }
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
