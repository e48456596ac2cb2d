#include "ops/stft.hpp"

#include <algorithm>
#include <stdexcept>

#include "ops/frame_kernels.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

namespace {

// The complex spectra are frame-major, so the transform writes them in place.
template <typename T>
void complex_forward(const StftParams<T>& p, const T* signal, int64_t B, int64_t L, T* out) {
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    const int64_t K = p.n_bins();
    auto* spec = reinterpret_cast<std::complex<T>*>(out);
    parallel_for(B * in.F, 64, [&](int64_t begin, int64_t end) {
        FrameScratch<T> s(p.n_fft);
        for (int64_t q = begin; q < end; ++q) {
            const int64_t b = q / in.F, f = q % in.F;
            extract_frame(in.row(b), L, f * p.hop_length - p.pad(), in.window, p.n_fft, p.pad_mode, s.frame.data());
            s.fft.impl->forward_complex(s.frame.data(), spec + q * K);
        }
    });
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
    if (mode == OutputMode::complex) return complex_forward(p, signal, B, L, out);
    const int64_t K = p.n_bins();
    auto values = [&](FrameScratch<T>& s, int64_t, int64_t, T* v) {
        const T* re = s.re.data();
        const T* im = s.im.data();
        for (int64_t k = 0; k < K; ++k) v[k] = re[k] * re[k] + im[k] * im[k];
        if (mode == OutputMode::magnitude) {
            for (int64_t k = 0; k < K; ++k) v[k] = std::sqrt(v[k]);
        } else if (mode == OutputMode::db) {
            for (int64_t k = 0; k < K; ++k) v[k] = power_to_db(v[k]);
        }
    };
    framed_forward<FrameScratch<T>>(framed_rows(p, p.window_values.data(), signal, B, L), K, out, values);
}

template <typename T>
void stft_backward(const StftParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                   T* grad_signal) {
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    const int32_t K = p.n_bins();
    const T* window = p.window_values.data();
    // Complex gradients are frame-major, interleaved (re, im) per bin.
    auto complex_adjoint = [&](AdjointScratch<T>& s, int64_t, int64_t, T* g, T* frame_grad) {
        for (int32_t k = 0; k < K; ++k) {
            s.dre[k] = g[2 * k];
            s.dim[k] = g[2 * k + 1];
        }
        spectrum_adjoint(s, s.dre.data(), s.dim.data(), window, frame_grad);
    };
    // Real outputs are functions of the power: their gradient scales (re, im).
    auto real_adjoint = [&](AdjointScratch<T>& s, int64_t b, int64_t f, T* g, T* frame_grad) {
        in.spectrum(b, f, s);
        for (int32_t k = 0; k < K; ++k) {
            const T re = s.re[k], im = s.im[k];
            const T scale = output_grad_scale(mode, g[k], re * re + im * im);
            s.dre[k] = scale * re;
            s.dim[k] = scale * im;
        }
        spectrum_adjoint(s, s.dre.data(), s.dim.data(), window, frame_grad);
    };
    if (mode == OutputMode::complex) {
        framed_backward<AdjointScratch<T>>(in, grad, 2 * K, FrameLayout::frame_major, grad_signal, complex_adjoint);
    } else {
        framed_backward<AdjointScratch<T>>(in, grad, K, FrameLayout::bin_major, grad_signal, real_adjoint);
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
