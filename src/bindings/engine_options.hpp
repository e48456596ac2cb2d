// The option records of the framed engines from the Python constructors'
// arguments.  Strings and windows are parsed in argument order, so the first
// bad argument is the one reported.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <pybind11/pybind11.h>

#include "bindings/array_exchange.hpp"
#include "ops/options.hpp"

namespace qorva::dsp::bindings {

inline ops::FrameOptions frame_options(int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                                       bool center, const std::string& pad_mode) {
    ops::WindowSpec spec = parse_window(window);
    return {n_fft, hop_length, win_length, std::move(spec), center, ops::parse_pad_mode(pad_mode)};
}

inline ops::MelOptions mel_options(double sr, int32_t n_fft, int32_t hop_length, int32_t win_length, py::handle window,
                                   bool center, const std::string& pad_mode, int32_t n_mels, double fmin, double fmax,
                                   const std::string& mel_scale, const std::string& mel_norm) {
    ops::FrameOptions frame = frame_options(n_fft, hop_length, win_length, window, center, pad_mode);
    const ops::MelScale scale = ops::parse_mel_scale(mel_scale);
    const ops::MelNorm norm = ops::parse_mel_norm(mel_norm);
    return {std::move(frame), sr, n_mels, fmin, fmax, scale, norm};
}

}  // namespace qorva::dsp::bindings
