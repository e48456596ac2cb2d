// Windows, centring, padding, frame counts, frame extraction and the
// overlap-add adjoint shared by every frame-based engine.
#pragma once

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
// frame-major) back onto the L samples of `out`, folding one mirror image per
// side back in reflect mode.  Overwrites out unless `accumulate` is set.
// Parallel over samples; each sample is written by one task.
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

}  // namespace qorva::dsp::ops
