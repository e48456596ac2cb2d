#include "ops/mel.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

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
    const int64_t F = p.n_frames(L);
    const int64_t M = p.n_mels;
    const FrameGeometry geo = p.geometry();
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        FrameScratch<T> s(p.n_fft);
        AlignedBuffer<T> block(static_cast<std::size_t>(M * kFrameBlock));
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                frame_spectrum(geo, p.window_values.data(), signal + b * L, L, f0 + j, s);
                T* mel = block.data() + j * M;
                mel_energies(p, mode, s, mel);
                if (mode == OutputMode::db) {
                    for (int64_t m = 0; m < M; ++m) mel[m] = power_to_db(mel[m]);
                }
            }
            store_block(block.data(), count, M, out + b * M * F + f0, F);
        });
    });
}

template <typename T>
void mel_backward(const MelParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                  T* grad_signal) {
    const int64_t F = p.n_frames(L);
    const int32_t n = p.n_fft;
    const int32_t K = p.n_bins();
    const int64_t M = p.n_mels;
    const FrameGeometry geo = p.geometry();
    PoolBuffer frame_grads_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
    T* frame_grads = frame_grads_block.as<T>();

    for (int64_t b = 0; b < B; ++b) {
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            FrameScratch<T> s(n);
            AlignedBuffer<T> dre(K), dim(K), mel(M), gblock(static_cast<std::size_t>(M * kFrameBlock));
            for (int64_t f0 = begin; f0 < end; f0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, end - f0);
                load_block(grad + b * M * F + f0, F, count, M, gblock.data());
                for (int64_t j = 0; j < count; ++j) {
                    const int64_t f = f0 + j;
                    frame_spectrum(geo, p.window_values.data(), signal + b * L, L, f, s);
                    T* g = gblock.data() + j * M;
                    const T* re = s.re.data();
                    const T* im = s.im.data();
                    if (mode == OutputMode::db) {
                        // dB of the mel energies built from the power spectrum.
                        T* S = dre.data();
                        for (int32_t k = 0; k < K; ++k) S[k] = re[k] * re[k] + im[k] * im[k];
                        for (int64_t m = 0; m < M; ++m) {
                            const MelBand<T>& band = p.filterbank[m];
                            T e = T(0);
                            for (std::size_t w = 0; w < band.weights.size(); ++w) e += band.weights[w] * S[band.start + w];
                            g[m] = e > static_cast<T>(1e-10) ? g[m] * kDbEnergyScale<T> / e : T(0);
                        }
                    }
                    for (int32_t k = 0; k < K; ++k) {
                        const auto& e = p.bin_index[k];
                        T dS = T(0);
                        if (e.band[0] >= 0) dS += g[e.band[0]] * e.weight[0];
                        if (e.band[1] >= 0) dS += g[e.band[1]] * e.weight[1];
                        // The spectrum is |X| or |X|^2 (dB applies to mel energies, above).
                        dS = output_grad_scale(mode == OutputMode::magnitude ? mode : OutputMode::power, dS,
                                               re[k] * re[k] + im[k] * im[k]);
                        dre[k] = dS * re[k];
                        dim[k] = dS * im[k];
                    }
                    spectrum_adjoint(s, dre.data(), dim.data(), p.window_values.data(), frame_grads + f * n);
                }
            }
        });
        fold_frames(frame_grads, F, n, p.hop_length, geo.pad(), p.pad_mode, grad_signal + b * L, L, false);
    }
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
