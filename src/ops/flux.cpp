#include "ops/flux.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

// One frame's spectrum and magnitudes, kept apart from the transform's own
// buffers so that neighbouring frames can be held at once.
template <typename T>
struct Spectrum {
    explicit Spectrum(int32_t K) : re(K), im(K), mag(K) {}
    AlignedBuffer<T> re, im, mag;
};

template <typename T>
void frame_magnitudes(const StftParams<T>& p, const T* row, int64_t L, int64_t f, FrameScratch<T>& s,
                      Spectrum<T>& out) {
    extract_frame(row, L, f * p.hop_length - p.pad(), p.window_values.data(), p.n_fft, p.pad_mode, s.frame.data());
    s.fft.impl->forward(s.frame.data(), out.re.data(), out.im.data());
    const T* re = out.re.data();
    const T* im = out.im.data();
    T* mag = out.mag.data();
    const int32_t K = p.n_bins();
    for (int32_t k = 0; k < K; ++k) mag[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
}

// Sum over bins of max(0, cur - prev)^2: differences in T, squares in double.
// A NaN difference is kept, so a frame reading a NaN sample reports NaN
// instead of passing for a frame without rise.
template <typename T>
double rectified_energy(const T* cur, const T* prev, int32_t K) {
    double acc0 = 0.0, acc1 = 0.0;
    int32_t k = 0;
    for (; k + 2 <= K; k += 2) {
        const T d0 = cur[k] - prev[k], d1 = cur[k + 1] - prev[k + 1];
        const double r0 = d0 <= T(0) ? 0.0 : static_cast<double>(d0);
        const double r1 = d1 <= T(0) ? 0.0 : static_cast<double>(d1);
        acc0 += r0 * r0;
        acc1 += r1 * r1;
    }
    for (; k < K; ++k) {
        const T d = cur[k] - prev[k];
        const double r = d <= T(0) ? 0.0 : static_cast<double>(d);
        acc0 += r * r;
    }
    return acc0 + acc1;
}

constexpr double kFluxFloor = 1e-12;  // sum of squares below it passes no gradient

}  // namespace

template <typename T>
FluxEngine<T>::FluxEngine(const FrameOptions& options) : p_(options) {}

// Each task walks consecutive frames and keeps the previous frame's
// magnitudes, so a frame is transformed once per task rather than once as
// "current" and again as "previous"; only the first frame of a task is
// transformed twice.  The values are the same as transforming every pair
// afresh (the transform is deterministic), and frames still split freely
// over tasks.
template <typename T>
void FluxEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    const int32_t K = p_.n_bins();
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        FrameScratch<T> s(p_.n_fft);
        Spectrum<T> prev(K), cur(K);
        int64_t prev_q = -1;  // item whose magnitudes are in prev
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / F, t = q % F;
            if (t == 0) {
                out[q] = T(0);
                continue;
            }
            const T* row = x + b * L;
            if (prev_q != q - 1) frame_magnitudes(p_, row, L, t - 1, s, prev);
            frame_magnitudes(p_, row, L, t, s, cur);
            out[q] = static_cast<T>(std::sqrt(rectified_energy(cur.mag.data(), prev.mag.data(), K)));
            std::swap(prev, cur);
            prev_q = q;
        }
    });
}

// Frame t's magnitudes enter flux[t] (against t - 1) and flux[t + 1]
// (against t + 1).  A task keeps the spectra of t - 1, t and t + 1 as it
// walks its frames, so every frame is transformed about once.
template <typename T>
void FluxEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int32_t n = p_.n_fft;
    const int32_t K = p_.n_bins();
    PoolBuffer frame_grads_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
    T* frame_grads = frame_grads_block.as<T>();
    for (int64_t b = 0; b < B; ++b) {
        const T* row = x + b * L;
        const T* g = grad + b * F;
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            FrameScratch<T> s(n);
            Spectrum<T> prev(K), cur(K), next(K);
            AlignedBuffer<T> dre(K), dim(K);
            int64_t prev_f = -1, cur_f = -1, next_f = -1;
            for (int64_t t = begin; t < end; ++t) {
                if (cur_f == t - 1 && next_f == t) {
                    std::swap(prev, cur);
                    std::swap(cur, next);
                    prev_f = t - 1;
                    cur_f = t;
                    next_f = -1;
                }
                if (cur_f != t) {
                    frame_magnitudes(p_, row, L, t, s, cur);
                    cur_f = t;
                }
                const bool has_prev = t >= 1, has_next = t + 1 < F;
                T w_prev = T(0), w_next = T(0);  // g / sqrt(S) of flux[t] and flux[t + 1]
                if (has_prev && g[t] != T(0)) {
                    if (prev_f != t - 1) {
                        frame_magnitudes(p_, row, L, t - 1, s, prev);
                        prev_f = t - 1;
                    }
                    const double S = rectified_energy(cur.mag.data(), prev.mag.data(), K);
                    if (S > kFluxFloor) w_prev = static_cast<T>(1.0 / std::sqrt(S)) * g[t];
                }
                if (has_next) {
                    // Also the next frame's "current" spectrum: always computed.
                    frame_magnitudes(p_, row, L, t + 1, s, next);
                    next_f = t + 1;
                    if (g[t + 1] != T(0)) {
                        const double S = rectified_energy(next.mag.data(), cur.mag.data(), K);
                        if (S > kFluxFloor) w_next = static_cast<T>(1.0 / std::sqrt(S)) * g[t + 1];
                    }
                }
                T* out = frame_grads + t * n;
                if (w_prev == T(0) && w_next == T(0)) {
                    std::fill(out, out + n, T(0));
                    continue;
                }
                const T* a = cur.mag.data();
                const T* ap = prev.mag.data();
                const T* an = next.mag.data();
                for (int32_t k = 0; k < K; ++k) {
                    T da = T(0);
                    if (w_prev != T(0)) {
                        const T d1 = a[k] - ap[k];
                        if (d1 > T(0)) da += d1 * w_prev;
                    }
                    if (w_next != T(0)) {
                        const T d2 = an[k] - a[k];
                        if (d2 > T(0)) da -= d2 * w_next;
                    }
                    const T scale = a[k] > T(1e-12) ? da / a[k] : T(0);
                    dre[k] = scale * cur.re[k];
                    dim[k] = scale * cur.im[k];
                }
                spectrum_adjoint(s, dre.data(), dim.data(), p_.window_values.data(), out);
            }
        });
        fold_frames(frame_grads, F, n, p_.hop_length, p_.pad(), p_.pad_mode, grad_x + b * L, L, false);
    }
}

template class FluxEngine<float>;
template class FluxEngine<double>;

}  // namespace qorva::dsp::ops
