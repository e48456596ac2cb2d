#include "ops/stft.hpp"

#include <algorithm>
#include <stdexcept>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

template <typename T>
void frame_spectrum(const StftParams<T>& p, const T* row, int64_t L, int64_t f, FrameScratch<T>& s) {
    ops::frame_spectrum(p.geometry(), p.window_values.data(), row, L, f, s);
}

}  // namespace

OutputMode parse_output(const std::string& name) {
    if (name == "complex") return OutputMode::complex;
    if (name == "magnitude") return OutputMode::magnitude;
    if (name == "power") return OutputMode::power;
    if (name == "db") return OutputMode::db;
    throw std::invalid_argument("output must be one of ('complex', 'magnitude', 'power', 'db'); got '" + name + "'");
}

template <typename T>
StftParams<T>::StftParams(const FrameOptions& options)
    : FrameOptions(options), window_values(validate_frame<T>(options)) {}

template <typename T>
void stft_forward(const StftParams<T>& p, const T* signal, int64_t B, int64_t L, OutputMode mode, T* out) {
    const int64_t F = p.n_frames(L);
    const int64_t K = p.n_bins();
    if (mode == OutputMode::complex) {
        auto* spec = reinterpret_cast<std::complex<T>*>(out);
        parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
            FrameScratch<T> s(p.n_fft);
            for (int64_t q = begin; q < end; ++q) {
                const int64_t b = q / F, f = q % F;
                extract_frame(signal + b * L, L, f * p.hop_length - p.pad(), p.window_values.data(), p.n_fft,
                              p.pad_mode, s.frame.data());
                s.fft.impl->forward_complex(s.frame.data(), spec + q * K);
            }
        });
        return;
    }
    parallel_for(B * F, 64, [&](int64_t begin, int64_t end) {
        FrameScratch<T> s(p.n_fft);
        AlignedBuffer<T> block(static_cast<std::size_t>(K * kFrameBlock));
        for_frame_runs(begin, end, F, kFrameBlock, [&](int64_t b, int64_t f0, int64_t count) {
            for (int64_t j = 0; j < count; ++j) {
                frame_spectrum(p, signal + b * L, L, f0 + j, s);
                const T* re = s.re.data();
                const T* im = s.im.data();
                T* v = block.data() + j * K;
                for (int64_t k = 0; k < K; ++k) v[k] = re[k] * re[k] + im[k] * im[k];
                if (mode == OutputMode::magnitude) {
                    for (int64_t k = 0; k < K; ++k) v[k] = std::sqrt(v[k]);
                } else if (mode == OutputMode::db) {
                    for (int64_t k = 0; k < K; ++k) v[k] = power_to_db(v[k]);
                }
            }
            store_block(block.data(), count, K, out + b * K * F + f0, F);
        });
    });
}

template <typename T>
void stft_backward(const StftParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                   T* grad_signal) {
    const int64_t F = p.n_frames(L);
    const int32_t K = p.n_bins();
    const int32_t n = p.n_fft;
    PoolBuffer frame_grads_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
    T* frame_grads = frame_grads_block.as<T>();
    const auto* cgrad = reinterpret_cast<const std::complex<T>*>(grad);

    for (int64_t b = 0; b < B; ++b) {
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            FrameScratch<T> s(n);
            AlignedBuffer<T> dre(K), dim(K);
            // Real-mode gradients are bin-major (frames fastest); a block of
            // frames is read bin by bin in short runs and turned frame-major.
            AlignedBuffer<T> gblock(mode == OutputMode::complex ? 0 : static_cast<std::size_t>(K * kFrameBlock));
            for (int64_t f0 = begin; f0 < end; f0 += kFrameBlock) {
                const int64_t count = std::min(kFrameBlock, end - f0);
                if (mode != OutputMode::complex) load_block(grad + b * K * F + f0, F, count, K, gblock.data());
                for (int64_t j = 0; j < count; ++j) {
                    const int64_t f = f0 + j;
                    if (mode == OutputMode::complex) {
                        const std::complex<T>* g = cgrad + (b * F + f) * K;
                        for (int32_t k = 0; k < K; ++k) {
                            dre[k] = g[k].real();
                            dim[k] = g[k].imag();
                        }
                    } else {
                        frame_spectrum(p, signal + b * L, L, f, s);
                        const T* g = gblock.data() + j * K;
                        for (int32_t k = 0; k < K; ++k) {
                            const T re = s.re[k], im = s.im[k];
                            const T scale = output_grad_scale(mode, g[k], re * re + im * im);
                            dre[k] = scale * re;
                            dim[k] = scale * im;
                        }
                    }
                    spectrum_adjoint(s, dre.data(), dim.data(), p.window_values.data(), frame_grads + f * n);
                }
            }
        });
        fold_frames(frame_grads, F, n, p.hop_length, p.pad(), p.pad_mode, grad_signal + b * L, L, false);
    }
}

template struct StftParams<float>;
template struct StftParams<double>;
template void stft_forward<float>(const StftParams<float>&, const float*, int64_t, int64_t, OutputMode, float*);
template void stft_forward<double>(const StftParams<double>&, const double*, int64_t, int64_t, OutputMode, double*);
template void stft_backward<float>(const StftParams<float>&, const float*, const float*, int64_t, int64_t,
                                   OutputMode, float*);
template void stft_backward<double>(const StftParams<double>&, const double*, const double*, int64_t, int64_t,
                                    OutputMode, double*);

}  // namespace qorva::dsp::ops
