#include "ops/mel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "ops/frame_kernels.hpp"

namespace qorva::dsp::ops {

namespace {

// A mel backward task's scratch beside the transform's: the frame's mel
// energies (for decibels) and its band gradients with the zero after them
// that mel_frame_adjoint reads.
template <typename T>
struct MelTask : FrameScratch<T> {
    MelTask(int32_t n_fft, int32_t n_mels) : FrameScratch<T>(n_fft), energy(n_mels), mel_grad(n_mels + 1) {}
    fft::AlignedBuffer<T> energy;
    fft::AlignedBuffer<T> mel_grad;
};

// Turns the gradient g of a frame's mel decibels into that of its mel
// energies, built from the power spectrum (s.re serves as scratch).
template <typename T>
void db_to_energy_gradient(const MelParams<T>& p, MelTask<T>& s, T* g) {
    // The energies exactly as the forward pass sums them.
    T* energy = s.energy.data();
    mel_frame(p, s.spec_values(), false, s.re.data(), energy);
    for (int32_t m = 0; m < p.n_mels; ++m) {
        const T e = energy[m];
        g[m] = e > static_cast<T>(1e-10) ? g[m] * kDbEnergyScale<T> / e : T(0);
    }
}

}  // namespace

template <typename T>
void mel_frame(const MelParams<T>& p, const T* X, bool magnitude, T* S, T* mel) {
    vec::spectrum_power(X, S, p.n_bins(), magnitude);
    vec::band_dots(p.band_weights.data(), p.band_offset.data(), p.band_start.data(), S, mel, p.n_mels);
}

template <typename T>
void mel_frame_adjoint(const MelParams<T>& p, const T* g, T* dS) {
    if (p.two_bands_per_bin) {
        // A missing band's index is n_mels: it reads the zero after the gradients.
        vec::gather_pairs(g, p.band0.data(), p.weight0.data(), p.band1.data(), p.weight1.data(), dS, p.n_bins());
        return;
    }
    std::fill(dS, dS + p.n_bins(), T(0));
    for (int32_t m = 0; m < p.n_mels; ++m) {
        const MelBand<T>& band = p.filterbank[m];
        T* dst = dS + band.start;
        const T gm = g[m];
        for (std::size_t j = 0; j < band.weights.size(); ++j) dst[j] += gm * band.weights[j];
    }
}

OutputMode parse_mel_output(const std::string& name) {
    if (name == "magnitude") return OutputMode::magnitude;
    if (name == "power") return OutputMode::power;
    if (name == "db") return OutputMode::db;
    throw std::invalid_argument("output must be one of ('power', 'magnitude', 'db'); got '" + name + "'");
}

template <typename T>
MelParams<T>::MelParams(const MelOptions& options)
    : StftParams<T>(options.frame),
      sr(options.sr),
      n_mels(options.n_mels),
      fmin(options.fmin),
      fmax(options.fmax),
      mel_scale(options.mel_scale),
      mel_norm(options.mel_norm),
      filterbank(build_mel_bands<T>(sr, this->n_fft, n_mels, fmin, fmax, mel_scale, mel_norm)) {
    band_offset.push_back(0);
    for (const MelBand<T>& band : filterbank) {
        band_weights.insert(band_weights.end(), band.weights.begin(), band.weights.end());
        band_offset.push_back(static_cast<int32_t>(band_weights.size()));
        band_start.push_back(band.start);
    }
    const std::size_t K = static_cast<std::size_t>(this->n_bins());
    band0.assign(K, n_mels);
    band1.assign(K, n_mels);
    weight0.assign(K, T(0));
    weight1.assign(K, T(0));
    for (int32_t m = 0; m < n_mels && two_bands_per_bin; ++m) {
        const MelBand<T>& band = filterbank[m];
        for (std::size_t j = 0; j < band.weights.size(); ++j) {
            const std::size_t k = static_cast<std::size_t>(band.start) + j;
            if (band0[k] == n_mels) {
                band0[k] = m;
                weight0[k] = band.weights[j];
            } else if (band1[k] == n_mels) {
                band1[k] = m;
                weight1[k] = band.weights[j];
            } else {
                two_bands_per_bin = false;
                break;
            }
        }
    }
}

template <typename T>
void mel_forward(const MelParams<T>& p, const T* signal, int64_t B, int64_t L, OutputMode mode, T* out) {
    const int64_t M = p.n_mels;
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    auto values = [&](FrameScratch<T>& s, int64_t b, int64_t f, T* mel) {
        in.spectrum_interleaved(b, f, s);
        mel_frame(p, s.spec_values(), mode == OutputMode::magnitude, s.re.data(), mel);
        if (mode == OutputMode::db) {
            for (int64_t m = 0; m < M; ++m) mel[m] = power_to_db(mel[m]);
        }
    };
    framed_forward<FrameScratch<T>>(in, M, out, values);
}

template <typename T>
void mel_backward(const MelParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                  T* grad_signal) {
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    // The spectrum under the filterbank is |X| or |X|^2; dB applies to the mel energies.
    const vec::GradRule rule = mode == OutputMode::magnitude ? vec::GradRule::magnitude : vec::GradRule::power;
    const bool even = p.n_fft % 2 == 0;
    auto adjoint = [&](MelTask<T>& s, int64_t b, int64_t f, const T* g) {
        in.spectrum_interleaved(b, f, s);
        T* mel_grad = s.mel_grad.data();
        std::copy(g, g + p.n_mels, mel_grad);
        if (mode == OutputMode::db) db_to_energy_gradient(p, s, mel_grad);
        T* dS = s.im.data();
        mel_frame_adjoint(p, mel_grad, dS);
        vec::output_gradient(rule, dS, s.spec_values(), p.n_bins(), even);
        return interleaved_adjoint(s, s.spec.data());
    };
    framed_backward<MelTask<T>>(in, grad, p.n_mels, FrameLayout::bin_major, grad_signal, adjoint,
                                [&p] { return MelTask<T>(p.n_fft, p.n_mels); });
}

template void mel_frame<float>(const MelParams<float>&, const float*, bool, float*, float*);
template void mel_frame<double>(const MelParams<double>&, const double*, bool, double*, double*);
template void mel_frame_adjoint<float>(const MelParams<float>&, const float*, float*);
template void mel_frame_adjoint<double>(const MelParams<double>&, const double*, double*);
template struct MelParams<float>;
template struct MelParams<double>;
template void mel_forward<float>(const MelParams<float>&, const float*, int64_t, int64_t, OutputMode, float*);
template void mel_forward<double>(const MelParams<double>&, const double*, int64_t, int64_t, OutputMode, double*);
template void mel_backward<float>(const MelParams<float>&, const float*, const float*, int64_t, int64_t,
                                  OutputMode, float*);
template void mel_backward<double>(const MelParams<double>&, const double*, const double*, int64_t, int64_t,
                                   OutputMode, double*);

}  // namespace qorva::dsp::ops
