// Chromagram from the constant-Q transform: CQT magnitudes summed per pitch
// class, each frame divided by its largest class value.
#pragma once

#include <cstdint>
#include <vector>

#include "ops/cqt.hpp"

namespace qorva::dsp::ops {

template <typename T>
class ChromaEngine {
public:
    // Pitch class C in octave 1 (A4 = 440 Hz).
    static constexpr double kC1Hz = 32.70319566257483;

    ChromaEngine(double sr, int32_t hop_length, int32_t bins_per_octave, int32_t n_octaves, int32_t n_chroma,
                 double fmin);

    int64_t n_frames(int64_t n_samples) const { return cqt_.n_frames(n_samples); }
    // out: batch x n_chroma x n_frames, frames fastest.
    void forward(const T* x, int64_t batch, int64_t n_samples, T* out) const;
    // Exact gradient of forward, the per-frame normaliser included.
    void backward(const T* grad, const T* x, int64_t batch, int64_t n_samples, T* grad_x) const;

    int32_t n_chroma() const { return n_chroma_; }
    const std::vector<int32_t>& chroma_of_bin() const { return chroma_of_bin_; }
    const CqtEngine<T>& cqt() const { return cqt_; }

private:
    CqtEngine<T> cqt_;
    int32_t n_chroma_;
    std::vector<int32_t> chroma_of_bin_;
};

}  // namespace qorva::dsp::ops
