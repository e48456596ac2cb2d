// Windows, centring, padding, frame counts, frame extraction and the
// overlap-add adjoint shared by every frame-based engine.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace qorva::dsp::ops {

enum class WindowKind : int32_t {
    hann = 0,
    hamming = 1,
    blackman = 2,
    blackmanharris = 3,
    nuttall = 4,
    bartlett = 5,
    boxcar = 6,
};

// The window as the user chose it: a named kind, or custom values (non-empty
// `values`, kind ignored).  An empty custom array means "hann".
struct WindowSpec {
    WindowKind kind = WindowKind::hann;
    std::vector<double> values;
};

enum class PadMode : int32_t { constant = 0, reflect = 1 };

WindowKind parse_window_name(const std::string& name);
PadMode parse_pad_mode(const std::string& name);

// The n_fft-long periodic window with the win_length-long window centred in it
// (an odd surplus leaves the extra zero at the end).  Values are computed in
// double; the float variant rounds them.
template <typename T>
std::vector<T> build_window(const WindowSpec& spec, int32_t win_length, int32_t n_fft);

// Frame geometry of a framed transform.
struct FrameGeometry {
    int32_t n_fft;
    int32_t hop_length;
    bool center;
    PadMode pad_mode;

    int64_t pad() const { return center ? n_fft / 2 : 0; }
    int32_t n_bins() const { return n_fft / 2 + 1; }
    // Number of frames for L samples; throws when L is negative, or when
    // center is off and L < n_fft.
    int64_t n_frames(int64_t L) const;
};

// Writes the n_fft windowed samples of the frame starting at unpadded position
// `start` (may be negative or run past the end) of the row x of length L.
template <typename T>
void extract_frame(const T* x, int64_t L, int64_t start, const T* window, int32_t n_fft, PadMode pad_mode,
                   T* out);

// Adjoint of framing for one row: gathers the frame gradients (n_frames x n_fft,
// frame-major) back onto the L samples of `out`, with every padded position
// that a frame reads from a sample (reflect images of any order, all of them
// for a one-sample row) added to that sample.  Overwrites out unless
// `accumulate` is set.  Parallel over samples; each sample is written by one
// task, in an order that does not depend on the split.
template <typename T>
void fold_frames(const T* frame_grads, int64_t n_frames, int32_t n_fft, int32_t hop_length, int64_t pad,
                 PadMode pad_mode, T* out, int64_t L, bool accumulate);

// First and last frame (inclusive) covering padded position j; empty when lo > hi.
// constexpr so that the GPU kernels share it.
constexpr void covering_frames(int64_t j, int32_t n_fft, int32_t hop, int64_t n_frames, int64_t& lo, int64_t& hi) {
    const int64_t first = j - n_fft + 1;
    lo = first <= 0 ? 0 : (first + hop - 1) / hop;
    hi = j < 0 ? -1 : j / hop;
    if (hi > n_frames - 1) hi = n_frames - 1;
}

// Integer division rounding toward minus / plus infinity (b > 0).
constexpr int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
constexpr int64_t ceil_div(int64_t a, int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }

// Calls visit(t) for every unpadded position t in [t_min, t_max] other than i
// itself at which reflect padding reads sample i of a row of L >= 1 samples:
// the images i + m P (m != 0), then -i + m P, of period P = 2L - 2, m
// ascending; every other position when L == 1.  Samples whose nearest images
// lie outside the range return at once, without a division.  Shared by the
// CPU engines and the GPU kernels, hence constexpr.
template <typename Visit>
constexpr void for_each_reflect_image(int64_t i, int64_t L, int64_t t_min, int64_t t_max, Visit&& visit) {
    if (L == 1) {
        for (int64_t t = t_min; t <= t_max; ++t) {
            if (t != 0) visit(t);
        }
        return;
    }
    const int64_t period = 2 * L - 2;
    // -i and period - i are the images nearest the row; the others lie further out.
    if (i > -t_min && i < period - t_max) return;
    for (int64_t m = ceil_div(t_min - i, period); m <= floor_div(t_max - i, period); ++m) {
        if (m != 0) visit(i + m * period);
    }
    // The edge samples are their own mirror: both families coincide there.
    if (i == 0 || i == L - 1) return;
    for (int64_t m = ceil_div(t_min + i, period); m <= floor_div(t_max + i, period); ++m) visit(m * period - i);
}

// Calls fn(i), ascending, for the samples i in [begin, end) of a row of L
// samples that can have reflect images in [t_min, t_max]: those within reach
// of an end (i <= -t_min, or i >= 2L - 2 - t_max).  The middle of a long row
// is skipped without a visit.
template <typename Fn>
void for_each_sample_near_ends(int64_t begin, int64_t end, int64_t L, int64_t t_min, int64_t t_max, Fn&& fn) {
    const int64_t left_end = std::min(end, -t_min + 1);
    for (int64_t i = begin; i < left_end; ++i) fn(i);
    for (int64_t i = std::max({begin, left_end, 2 * L - 2 - t_max}); i < end; ++i) fn(i);
}

}  // namespace qorva::dsp::ops
