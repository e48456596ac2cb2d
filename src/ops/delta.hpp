// Delta features: the Savitzky-Golay derivative of a feature sequence along
// its frames (the last axis), as librosa.feature.delta computes it, and the
// exact gradient (the transpose of this linear map).
//
// Frame f is the order-th derivative at f of the least-squares polynomial of
// degree `order` through `width` consecutive frames: the frames centred on f
// in the interior.  At the edges, "interp" fits the first (or last) `width`
// frames and evaluates that polynomial at each edge frame (librosa's default;
// needs at least `width` frames); "nearest" repeats the edge frame beyond the
// ends and uses the centred fit everywhere (torchaudio's ComputeDeltas for
// order 1).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorva::dsp::ops {

enum class DeltaMode : int32_t { interp = 0, nearest = 1 };

// "interp" or "nearest"; anything else raises "mode must be 'interp' or 'nearest'; got '<name>'".
DeltaMode parse_delta_mode(const std::string& name);

template <typename T>
class DeltaEngine {
public:
    // width: odd, >= 3; order: 1 .. width - 1.
    DeltaEngine(int32_t width, int32_t order, DeltaMode mode);

    int32_t width() const { return width_; }
    int32_t order() const { return order_; }
    DeltaMode mode() const { return mode_; }

    // rows x F in, rows x F out; "interp" throws unless F >= width.
    void forward(const T* x, int64_t rows, int64_t F, T* out) const;
    // Overwrites grad_x (rows x F) with the gradient of sum(grad * forward(x)).
    void backward(const T* grad, int64_t rows, int64_t F, T* grad_x) const;

private:
    void check_frames(int64_t F) const;
    // First frame read for output frame f and the coefficients it uses.
    int64_t window_start(int64_t f, int64_t F) const;
    const T* coefficients(int64_t f, int64_t F) const;

    int32_t width_, order_;
    DeltaMode mode_;
    std::vector<T> fits_;  // width x width: row t holds the weights of the fit's derivative at position t
};

extern template class DeltaEngine<float>;
extern template class DeltaEngine<double>;

}  // namespace qorva::dsp::ops
