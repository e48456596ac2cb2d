#include "ops/rms.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "fft/aligned_buffer.hpp"
#include "ops/feature_common.hpp"
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

}  // namespace

template <typename T>
RmsEngine<T>::RmsEngine(const RmsParams& params) : params_(params) {
    if (params_.hop_length < 1) throw std::invalid_argument("hop_length must be positive");
    if (params_.frame_length < 1) throw std::invalid_argument("frame_length must be positive");
    window_.assign(static_cast<std::size_t>(params_.frame_length), T(1));
}

template <typename T>
int64_t RmsEngine<T>::n_frames(int64_t L) const {
    check_signal_length(L);
    if (!params_.center && L < params_.frame_length) {
        throw std::invalid_argument("input is shorter than frame_length with center=False");
    }
    return (params_.center ? L : L - params_.frame_length) / params_.hop_length + 1;
}

template <typename T>
void RmsEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const int64_t F = n_frames(L);
    const int32_t n = params_.frame_length;
    const int64_t hop = params_.hop_length, pad = this->pad();
    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        fft::AlignedBuffer<T> scratch;  // only frames that reach into the padding need a copy
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / F, f = q % F;
            const T* row = x + b * L;
            const int64_t start = f * hop - pad;
            double sum;
            if (start >= 0 && start + n <= L) {
                sum = sum_squares(row + start, n);
            } else {
                if (scratch.size() == 0) scratch = fft::AlignedBuffer<T>(static_cast<std::size_t>(n));
                extract_frame(row, L, start, window_.data(), n, params_.pad_mode, scratch.data());
                sum = sum_squares(scratch.data(), n);
            }
            out[q] = rms_value<T>(sum, n);
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
    const int64_t pad = this->pad();
    PoolBuffer factor_block(static_cast<std::size_t>(B * F) * sizeof(T));
    T* factor = factor_block.as<T>();

    parallel_for(B * F, 128, [&](int64_t begin, int64_t end) {
        fft::AlignedBuffer<T> scratch;
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / F, f = q % F;
            const T* row = x + b * L;
            const int64_t start = f * hop - pad;
            double sum;
            if (start >= 0 && start + n <= L) {
                sum = sum_squares(row + start, n);
            } else {
                if (scratch.size() == 0) scratch = fft::AlignedBuffer<T>(static_cast<std::size_t>(n));
                extract_frame(row, L, start, window_.data(), n, params_.pad_mode, scratch.data());
                sum = sum_squares(scratch.data(), n);
            }
            const T r = rms_value<T>(sum, n);
            factor[q] = r > kRmsFloor<T> ? grad[q] / (static_cast<T>(n) * r) : T(0);
        }
    });

    const bool mirror = params_.pad_mode == PadMode::reflect && L > 1;
    // Unpadded positions read by some frame.
    const int64_t t_min = -pad;
    const int64_t t_max = (F - 1) * hop - pad + n - 1;
    const int64_t period = 2 * L - 2;

    parallel_for(B * L, 4096, [&](int64_t begin, int64_t end) {
        int64_t q = begin;
        while (q < end) {
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
            if (params_.pad_mode == PadMode::reflect && L == 1 && i0 == 0) {
                // Every padded position reads the single sample.
                double s = 0.0;
                for (int64_t f = 0; f < F; ++f) s += static_cast<double>(c[f]);
                out[0] = static_cast<T>(static_cast<double>(row[0]) * s * static_cast<double>(n));
            } else if (mirror && (t_min < 0 || t_max >= L)) {
                // Mirror images t of sample i: i + m*period (m != 0) and
                // -i + m*period; for i = 0 and i = L - 1 the two families coincide.
                for (int64_t i = i0; i < i1; ++i) {
                    if (i > pad && i < period - t_max) continue;  // its nearest images are not read
                    double s = 0.0;
                    auto add_family = [&](int64_t base, bool skip_self) {
                        for (int64_t m = ceil_div(t_min - base, period); m <= floor_div(t_max - base, period); ++m) {
                            if (!(skip_self && m == 0)) s += factor_at(base + m * period);
                        }
                    };
                    add_family(i, true);
                    if (i != 0 && i != L - 1) add_family(-i, false);
                    if (s != 0.0) {
                        out[i] = static_cast<T>(static_cast<double>(row[i]) * (factor_at(i) + s));
                    }
                }
            }
            q += i1 - i0;
        }
    });
}

template class RmsEngine<float>;
template class RmsEngine<double>;

}  // namespace qorva::dsp::ops
