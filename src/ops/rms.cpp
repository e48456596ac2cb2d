#include "ops/rms.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "fft/aligned_buffer.hpp"
#include "ops/feature_common.hpp"
#include "ops/options.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

// Frame RMS from its sum of squares: the square root is taken in double and
// only the result is rounded to T.
template <typename T>
T rms_value(double sum_sq, int32_t frame_length) {
    return static_cast<T>(std::sqrt(sum_sq / static_cast<double>(frame_length)));
}

// Smallest r that still passes gradient: below it the frame counts as silent.
template <typename T>
inline constexpr T kRmsFloor = T(1e-12);

// Frames handed to frame_sums at once, and the segment sums it holds.
constexpr int64_t kRmsRun = 128;
constexpr int64_t kRmsSegments = 576;

int64_t gcd(int64_t a, int64_t b) {
    while (b != 0) a = std::exchange(b, a % b);
    return a;
}

// grad_x[b][i] = x[b][i] times the sum of the frame factors over every padded
// position that reads sample i (the sample itself and its reflect images).
template <typename T>
void gather_sample_gradients(const T* factor, const T* x, int64_t B, int64_t L, int64_t F, const FrameGeometry& g,
                             T* grad_x) {
    const int32_t n = g.n_fft, hop = g.hop_length;
    const int64_t pad = g.pad();
    const bool reflect = g.pad_mode == PadMode::reflect;
    // Unpadded positions read by some frame.
    const int64_t t_min = -pad;
    const int64_t t_max = (F - 1) * hop - pad + n - 1;

    parallel_for(B * L, 4096, [&](int64_t begin, int64_t end) {
        for (int64_t q = begin; q < end;) {
            const int64_t b = q / L, i0 = q % L;
            const int64_t i1 = std::min(L, i0 + (end - q));
            const T* c = factor + b * F;
            const T* row = x + b * L;
            T* out = grad_x + b * L;
            // Sum of the factors of the frames covering unpadded position t.
            auto factor_at = [&](int64_t t) {
                int64_t lo, hi;
                covering_frames(t + pad, n, hop, F, lo, hi);
                double s = 0.0;
                for (int64_t f = lo; f <= hi; ++f) s += static_cast<double>(c[f]);
                return s;
            };
            // The covering frames only change where a frame starts or ends, so
            // the direct positions go in runs sharing one summed factor.
            for (int64_t i = i0; i < i1;) {
                const int64_t j = i + pad;
                int64_t lo, hi;
                covering_frames(j, n, hop, F, lo, hi);
                const int64_t run_end = std::min((j / hop + 1) * hop, lo * hop + n) - pad;
                const int64_t stop = std::min(i1, run_end);
                double s = 0.0;
                for (int64_t f = lo; f <= hi; ++f) s += static_cast<double>(c[f]);
                for (; i < stop; ++i) out[i] = static_cast<T>(static_cast<double>(row[i]) * s);
            }
            if (reflect && (t_min < 0 || t_max >= L)) {
                for_each_sample_near_ends(i0, i1, L, t_min, t_max, [&](int64_t i) {
                    double images = 0.0;
                    bool any = false;
                    for_each_reflect_image(i, L, t_min, t_max, [&](int64_t t) {
                        images += factor_at(t);
                        any = true;
                    });
                    if (any) out[i] = static_cast<T>(static_cast<double>(row[i]) * (factor_at(i) + images));
                });
            }
            q += i1 - i0;
        }
    });
}

}  // namespace

// Sums of squares of `count` consecutive frames of one row, from frame f0.
// Overlapping frames share most of their samples, so when frame_length and
// hop_length have a large common divisor g the row is cut into g-sample
// segments aligned with the frame starts: each segment is squared once and a
// frame adds up its frame_length / g segment sums.  That makes the work
// proportional to the signal instead of frame_length / hop_length times it.
// The segments of a frame do not depend on where a run starts, so every
// caller gets bit-identical sums.
template <typename T>
void RmsEngine<T>::frame_sums(const T* row, int64_t L, int64_t f0, int64_t count, double* sums,
                              fft::AlignedBuffer<T>& scratch) const {
    const int32_t n = params_.frame_length;
    const int64_t hop = params_.hop_length, pad = this->pad();
    // Squares of the padded stretch [start, start + len), len <= frame_length.
    auto stretch = [&](int64_t start, int32_t len) {
        if (start >= 0 && start + len <= L) return sum_squares(row + start, len);
        if (scratch.size() == 0) scratch = fft::AlignedBuffer<T>(static_cast<std::size_t>(n));
        extract_frame(row, L, start, window_.data(), len, params_.pad_mode, scratch.data());
        return sum_squares(scratch.data(), len);
    };
    const int64_t g = gcd(hop, n);
    const int64_t per_frame = n / g;  // segments per frame
    const int64_t step = hop / g;     // segments between frame starts
    // Frames whose segments fit the buffer at once.
    const int64_t batch = per_frame > kRmsSegments ? 0 : (kRmsSegments - per_frame) / step + 1;
    if (g < 16 || per_frame < 2 || batch == 0) {
        for (int64_t j = 0; j < count; ++j) sums[j] = stretch((f0 + j) * hop - pad, n);
        return;
    }
    double seg[kRmsSegments];
    for (int64_t j0 = 0; j0 < count; j0 += batch) {
        const int64_t frames = std::min(batch, count - j0);
        const int64_t first = (f0 + j0) * hop - pad;
        const int64_t n_seg = (frames - 1) * step + per_frame;
        for (int64_t k = 0; k < n_seg; ++k) seg[k] = stretch(first + k * g, static_cast<int32_t>(g));
        for (int64_t j = 0; j < frames; ++j) {
            const double* sg = seg + j * step;
            double acc = 0.0;
            for (int64_t k = 0; k < per_frame; ++k) acc += sg[k];
            sums[j0 + j] = acc;
        }
    }
}

template <typename T>
RmsEngine<T>::RmsEngine(const RmsParams& params) : params_(params) {
    check_hop_length(params_.hop_length);
    if (params_.frame_length < 1) throw std::invalid_argument("frame_length must be positive");
    window_.assign(static_cast<std::size_t>(params_.frame_length), T(1));
}

template <typename T>
int64_t RmsEngine<T>::n_frames(int64_t L) const {
    return count_frames(L, params_.frame_length, params_.hop_length, params_.center, "frame_length");
}

template <typename T>
void RmsEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        fft::AlignedBuffer<T> scratch;  // only stretches that reach into the padding need a copy
        double sums[kRmsRun];
        for (int64_t q = begin; q < end;) {
            const int64_t b = q / F, f0 = q % F;
            const int64_t count = std::min({kRmsRun, end - q, F - f0});
            frame_sums(x + b * L, L, f0, count, sums, scratch);
            for (int64_t j = 0; j < count; ++j) out[q + j] = rms_value<T>(sums[j], params_.frame_length);
            q += count;
        }
    });
}

// d r_f / d x_i = x_i / (frame_length * r_f) for every frame f that reads x_i,
// so the gradient of a sample is x_i times the sum, over every padded position
// that reads x_i, of the per-frame factors g_f / (frame_length * r_f) of the
// frames covering that position.  Working with these factors instead of
// materialising frame_length x F per-frame gradients and folding them keeps
// the backward pass O(L + F) per row and allocation-free apart from the B x F
// factors.  Every mirror image of a sample is counted (the forward reads
// reflect padding of any length), so the gradient is exact even when the
// padding is longer than the signal.
template <typename T>
void RmsEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const int64_t F = n_frames(L);
    const int32_t n = params_.frame_length;
    const int32_t hop = params_.hop_length;
    PoolBuffer factor_block(static_cast<std::size_t>(B * F) * sizeof(T));
    T* factor = factor_block.as<T>();

    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        fft::AlignedBuffer<T> scratch;
        double sums[kRmsRun];
        for (int64_t q = begin; q < end;) {
            const int64_t b = q / F, f0 = q % F;
            const int64_t count = std::min({kRmsRun, end - q, F - f0});
            frame_sums(x + b * L, L, f0, count, sums, scratch);
            for (int64_t j = 0; j < count; ++j) {
                // r exactly as the forward pass rounds it, so the guard agrees.
                const T r = rms_value<T>(sums[j], n);
                factor[q + j] = r > kRmsFloor<T> ? grad[q + j] / (static_cast<T>(n) * r) : T(0);
            }
            q += count;
        }
    });

    gather_sample_gradients(factor, x, B, L, F, FrameGeometry{n, hop, params_.center, params_.pad_mode}, grad_x);
}

template class RmsEngine<float>;
template class RmsEngine<double>;

}  // namespace qorva::dsp::ops
