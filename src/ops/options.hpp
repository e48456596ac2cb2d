// The construction options of the framed engines, composed rather than
// repeated: every framed family takes FrameOptions (the mel family inside
// MelOptions), and checks them through validate_frame.  The defaults are the
// usual ones for 22.05 kHz audio, so that callers spell out only what differs.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/framing.hpp"
#include "ops/mel_scale.hpp"

namespace qorva::dsp::ops {

struct FrameOptions {
    int32_t n_fft = 2048;
    int32_t hop_length = 512;
    int32_t win_length = 2048;
    WindowSpec window;  // hann
    bool center = true;
    PadMode pad_mode = PadMode::reflect;  // the inverse transform ignores it

    FrameGeometry geometry() const { return {n_fft, hop_length, center, pad_mode}; }
    int32_t n_bins() const { return n_fft / 2 + 1; }
    int64_t pad() const { return center ? n_fft / 2 : 0; }
    // Frame count for L samples; refuses a negative L, and with center off an
    // L below n_fft.
    int64_t n_frames(int64_t L) const { return geometry().n_frames(L); }
};

struct MelOptions {
    FrameOptions frame;
    double sr = 22050.0;
    int32_t n_mels = 128;
    double fmin = 0.0;
    double fmax = 11025.0;
    MelScale mel_scale = MelScale::slaney;
    MelNorm mel_norm = MelNorm::slaney;
};

// Checks the options in the order every framed engine reports them - the
// window (win_length, a custom window's size), hop_length, then that a real
// FFT of n_fft can be planned - and returns the n_fft-long window.
template <typename T>
std::vector<T> validate_frame(const FrameOptions& options);

// Throws "hop_length must be positive, got N" for a hop below 1.
void check_hop_length(int64_t hop_length);

// Frames of `frame_length` samples at `hop_length` over L samples (centred
// or not), refusing a negative L and, with center off, an L shorter than the
// frame; `frame_name` is how the message names the frame length.
int64_t count_frames(int64_t L, int64_t frame_length, int64_t hop_length, bool center, const char* frame_name);

}  // namespace qorva::dsp::ops
