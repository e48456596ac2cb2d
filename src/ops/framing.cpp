#include "ops/framing.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ops/options.hpp"
#include "ops/vector_kernels.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

constexpr const char* kWindowNames[] = {"hann",    "hamming",  "blackman", "blackmanharris",
                                         "nuttall", "bartlett", "boxcar"};
constexpr double kTwoPi = 6.283185307179586;

double window_value(WindowKind kind, int64_t i, int64_t N) {
    const double step = kTwoPi / static_cast<double>(N);
    const double x = static_cast<double>(i) * step;
    // Higher harmonics use i * (m * step), not m * x, so every precision rounds alike.
    const double x2 = static_cast<double>(i) * (2.0 * step);
    const double x3 = static_cast<double>(i) * (3.0 * step);
    switch (kind) {
        case WindowKind::hann: return 0.5 - 0.5 * std::cos(x);
        case WindowKind::hamming: return 0.54 - 0.46 * std::cos(x);
        case WindowKind::blackman: return 0.42 - 0.5 * std::cos(x) + 0.08 * std::cos(x2);
        case WindowKind::blackmanharris:
            return 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(x2) - 0.01168 * std::cos(x3);
        case WindowKind::nuttall:
            return 0.3635819 - 0.4891775 * std::cos(x) + 0.1365995 * std::cos(x2) - 0.0106411 * std::cos(x3);
        case WindowKind::bartlett:
            return 1.0 - std::abs(2.0 * static_cast<double>(i) / static_cast<double>(N) - 1.0);
        case WindowKind::boxcar: return 1.0;
    }
    return 0.0;
}

}  // namespace

WindowKind parse_window_name(const std::string& name) {
    for (int32_t k = 0; k < 7; ++k) {
        if (name == kWindowNames[k]) return static_cast<WindowKind>(k);
    }
    throw std::invalid_argument(
        "window must be one of ('hann', 'hamming', 'blackman', 'blackmanharris', 'nuttall', 'bartlett', "
        "'boxcar') or a float array; got '" +
        name + "'");
}

PadMode parse_pad_mode(const std::string& name) {
    if (name == "constant") return PadMode::constant;
    if (name == "reflect") return PadMode::reflect;
    throw std::invalid_argument("pad_mode must be 'constant' or 'reflect'; got '" + name + "'");
}

template <typename T>
std::vector<T> build_window(const WindowSpec& spec, int32_t win_length, int32_t n_fft) {
    if (win_length < 1 || win_length > n_fft) {
        throw std::invalid_argument("win_length must be in [1, n_fft], got " + std::to_string(win_length));
    }
    std::vector<T> w(static_cast<std::size_t>(n_fft), T(0));
    const int32_t offset = (n_fft - win_length) / 2;
    if (spec.values.empty()) {
        for (int32_t i = 0; i < win_length; ++i) w[offset + i] = static_cast<T>(window_value(spec.kind, i, win_length));
    } else {
        if (spec.values.size() != static_cast<std::size_t>(win_length)) {
            throw std::invalid_argument("window array must have win_length (" + std::to_string(win_length) +
                                        ") samples, got " + std::to_string(spec.values.size()));
        }
        for (int32_t i = 0; i < win_length; ++i) w[offset + i] = static_cast<T>(spec.values[i]);
    }
    return w;
}

int64_t FrameGeometry::n_frames(int64_t L) const { return count_frames(L, n_fft, hop_length, center, "n_fft"); }

template <typename T>
void extract_frame(const T* x, int64_t L, int64_t start, const T* window, int32_t n_fft, PadMode pad_mode, T* out) {
    if (start >= 0 && start + n_fft <= L) {
        vec::multiply(x + start, window, out, n_fft);
        return;
    }
    if (pad_mode == PadMode::constant || L <= 0) {
        // A reflect-padded empty signal has nothing to mirror: its frames are zero.
        for (int32_t k = 0; k < n_fft; ++k) {
            const int64_t t = start + k;
            out[k] = (t >= 0 && t < L) ? x[t] * window[k] : T(0);
        }
        return;
    }
    if (L == 1) {
        for (int32_t k = 0; k < n_fft; ++k) out[k] = x[0] * window[k];
        return;
    }
    // Mirror about the first and last sample without repeating them, for
    // padding of any length: period 2L - 2.
    const int64_t period = 2 * L - 2;
    for (int32_t k = 0; k < n_fft; ++k) {
        int64_t r = (start + k) % period;
        if (r < 0) r += period;
        if (r >= L) r = period - r;
        out[k] = x[r] * window[k];
    }
}

namespace {

// Overlap-add of the frames onto samples [begin, end) of a row, onto zeros or
// onto what out holds: frame by frame in ascending order, so every sample sums
// its covering frames in the order overlap_at does, but in contiguous runs.
template <typename T>
void fold_direct(const T* frames, int64_t n_frames, int32_t n_fft, int32_t hop, int64_t pad, int64_t begin,
                 int64_t end, T* out, bool accumulate) {
    if (!accumulate) std::fill(out + begin, out + end, T(0));
    const int64_t jb = begin + pad, je = end + pad;
    int64_t lo, hi, unused;
    covering_frames(jb, n_fft, hop, n_frames, lo, unused);
    covering_frames(je - 1, n_fft, hop, n_frames, unused, hi);
    for (int64_t f = lo; f <= hi; ++f) {
        const int64_t start = std::max(jb, f * hop);
        const int64_t stop = std::min(je, f * hop + n_fft);
        const T* src = frames + f * n_fft - f * hop;
        for (int64_t j = start; j < stop; ++j) out[j - pad] += src[j];
    }
}

// Sum of the frame values at padded position j, frames ascending.
template <typename T>
T overlap_at(const T* frames, int64_t n_frames, int32_t n_fft, int32_t hop, int64_t j) {
    int64_t lo, hi;
    covering_frames(j, n_fft, hop, n_frames, lo, hi);
    T s = T(0);
    for (int64_t f = lo; f <= hi; ++f) s += frames[f * n_fft + (j - f * hop)];
    return s;
}

}  // namespace

template <typename T>
void fold_frames(const T* frame_grads, int64_t n_frames, int32_t n_fft, int32_t hop_length, int64_t pad,
                 PadMode pad_mode, T* out, int64_t L, bool accumulate) {
    // Unpadded positions that some frame reads.
    const int64_t t_min = -pad;
    const int64_t t_max = (n_frames - 1) * hop_length + n_fft - 1 - pad;
    const bool mirror = pad_mode == PadMode::reflect && L >= 1 && (t_min < 0 || t_max >= L);
    parallel_for(L, 4096, [&](int64_t begin, int64_t end) {
        fold_direct(frame_grads, n_frames, n_fft, hop_length, pad, begin, end, out, accumulate);
        if (mirror) {
            for_each_sample_near_ends(begin, end, L, t_min, t_max, [&](int64_t i) {
                T images = T(0);
                for_each_reflect_image(i, L, t_min, t_max, [&](int64_t t) {
                    images += overlap_at(frame_grads, n_frames, n_fft, hop_length, t + pad);
                });
                out[i] += images;
            });
        }
    });
}

template std::vector<float> build_window<float>(const WindowSpec&, int32_t, int32_t);
template std::vector<double> build_window<double>(const WindowSpec&, int32_t, int32_t);
template void extract_frame<float>(const float*, int64_t, int64_t, const float*, int32_t, PadMode, float*);
template void extract_frame<double>(const double*, int64_t, int64_t, const double*, int32_t, PadMode, double*);
template void fold_frames<float>(const float*, int64_t, int32_t, int32_t, int64_t, PadMode, float*, int64_t, bool);
template void fold_frames<double>(const double*, int64_t, int32_t, int32_t, int64_t, PadMode, double*, int64_t,
                                  bool);

}  // namespace qorva::dsp::ops
