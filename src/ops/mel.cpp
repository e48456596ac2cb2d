#include "ops/mel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "ops/frame_kernels.hpp"

namespace qorva::dsp::ops {

namespace {

// S[k] = |X_k| or |X_k|^2 in place of re; mel[m] = sum of weights * S.
template <typename T>
void mel_energies(const MelParams<T>& p, OutputMode mode, FrameScratch<T>& s, T* mel) {
    T* S = s.re.data();
    const T* im = s.im.data();
    const int32_t K = p.n_bins();
    for (int32_t k = 0; k < K; ++k) S[k] = S[k] * S[k] + im[k] * im[k];
    if (mode == OutputMode::magnitude) {
        for (int32_t k = 0; k < K; ++k) S[k] = std::sqrt(S[k]);
    }
    for (int32_t m = 0; m < p.n_mels; ++m) {
        const MelBand<T>& band = p.filterbank[m];
        const T* src = S + band.start;
        T acc = T(0);
        for (std::size_t j = 0; j < band.weights.size(); ++j) acc += band.weights[j] * src[j];
        mel[m] = acc;
    }
}

// Turns the gradient g of a frame's mel decibels into that of its mel
// energies, built from the power spectrum (s.dre serves as scratch).
template <typename T>
void db_to_energy_gradient(const MelParams<T>& p, AdjointScratch<T>& s, T* g) {
    T* S = s.dre.data();
    const T* re = s.re.data();
    const T* im = s.im.data();
    const int32_t K = p.n_bins();
    for (int32_t k = 0; k < K; ++k) S[k] = re[k] * re[k] + im[k] * im[k];
    for (int32_t m = 0; m < p.n_mels; ++m) {
        const MelBand<T>& band = p.filterbank[m];
        T e = T(0);
        for (std::size_t w = 0; w < band.weights.size(); ++w) e += band.weights[w] * S[band.start + w];
        g[m] = e > static_cast<T>(1e-10) ? g[m] * kDbEnergyScale<T> / e : T(0);
    }
}

}  // namespace

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
    bin_index.resize(static_cast<std::size_t>(this->n_bins()));
    for (int32_t m = 0; m < n_mels; ++m) {
        const MelBand<T>& band = filterbank[m];
        for (std::size_t j = 0; j < band.weights.size(); ++j) {
            BinEntry& e = bin_index[band.start + j];
            const int slot = e.band[0] < 0 ? 0 : 1;
            e.band[slot] = m;
            e.weight[slot] = band.weights[j];
        }
    }
}

template <typename T>
void mel_forward(const MelParams<T>& p, const T* signal, int64_t B, int64_t L, OutputMode mode, T* out) {
    const int64_t M = p.n_mels;
    auto values = [&](FrameScratch<T>& s, int64_t, int64_t, T* mel) {
        mel_energies(p, mode, s, mel);
        if (mode == OutputMode::db) {
            for (int64_t m = 0; m < M; ++m) mel[m] = power_to_db(mel[m]);
        }
    };
    framed_forward<FrameScratch<T>>(framed_rows(p, p.window_values.data(), signal, B, L), M, out, values);
}

template <typename T>
void mel_backward(const MelParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                  T* grad_signal) {
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    // The spectrum under the filterbank is |X| or |X|^2; dB applies to the mel energies.
    const OutputMode spectrum_mode = mode == OutputMode::magnitude ? mode : OutputMode::power;
    auto adjoint = [&](AdjointScratch<T>& s, int64_t b, int64_t f, T* g, T* frame_grad) {
        in.spectrum(b, f, s);
        if (mode == OutputMode::db) db_to_energy_gradient(p, s, g);
        const int32_t K = p.n_bins();
        const T* re = s.re.data();
        const T* im = s.im.data();
        for (int32_t k = 0; k < K; ++k) {
            const auto& e = p.bin_index[k];
            T dS = T(0);
            if (e.band[0] >= 0) dS += g[e.band[0]] * e.weight[0];
            if (e.band[1] >= 0) dS += g[e.band[1]] * e.weight[1];
            dS = output_grad_scale(spectrum_mode, dS, re[k] * re[k] + im[k] * im[k]);
            s.dre[k] = dS * re[k];
            s.dim[k] = dS * im[k];
        }
        spectrum_adjoint(s, s.dre.data(), s.dim.data(), p.window_values.data(), frame_grad);
    };
    framed_backward<AdjointScratch<T>>(in, grad, p.n_mels, FrameLayout::bin_major, grad_signal, adjoint);
}

template struct MelParams<float>;
template struct MelParams<double>;
template void mel_forward<float>(const MelParams<float>&, const float*, int64_t, int64_t, OutputMode, float*);
template void mel_forward<double>(const MelParams<double>&, const double*, int64_t, int64_t, OutputMode, double*);
template void mel_backward<float>(const MelParams<float>&, const float*, const float*, int64_t, int64_t,
                                  OutputMode, float*);
template void mel_backward<double>(const MelParams<double>&, const double*, const double*, int64_t, int64_t,
                                   OutputMode, double*);

}  // namespace qorva::dsp::ops
