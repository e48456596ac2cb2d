#include "ops/options.hpp"

#include <stdexcept>
#include <string>

#include "fft/fft.hpp"
#include "ops/feature_common.hpp"

namespace qorva::dsp::ops {

template <typename T>
std::vector<T> validate_frame(const FrameOptions& options) {
    std::vector<T> window = build_window<T>(options.window, options.win_length, options.n_fft);
    check_hop_length(options.hop_length);
    fft::select_backend(options.n_fft, fft::real_fft_supports, "real FFT");
    return window;
}

void check_hop_length(int64_t hop_length) {
    if (hop_length < 1) throw std::invalid_argument("hop_length must be positive, got " + std::to_string(hop_length));
}

int64_t count_frames(int64_t L, int64_t frame_length, int64_t hop_length, bool center, const char* frame_name) {
    check_signal_length(L);
    if (!center && L < frame_length) {
        throw std::invalid_argument("input of " + std::to_string(L) + " samples is shorter than " + frame_name +
                                    " with center=False");
    }
    return frame_count(center ? L : L - frame_length, hop_length);
}

template std::vector<float> validate_frame<float>(const FrameOptions&);
template std::vector<double> validate_frame<double>(const FrameOptions&);

}  // namespace qorva::dsp::ops
