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
            if (q + 1 < end) prefetch_span(spec + (q + 1) * K, sizeof(std::complex<T>) * K, true);
            extract_frame(in.row(b), L, f * p.hop_length - p.pad(), in.window, p.n_fft, p.pad_mode, s.frame.data());
            s.fft.impl->forward_complex(s.frame.data(), spec + q * K);
        }
    });
}

// How the gradient of a real output mode reaches the spectrum.
vec::GradRule grad_rule(OutputMode mode) {
    static_assert(static_cast<int32_t>(vec::GradRule::db) == static_cast<int32_t>(OutputMode::db));
    return static_cast<vec::GradRule>(mode);
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
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    const int64_t K = p.n_bins();
    auto values = [&](FrameScratch<T>& s, int64_t b, int64_t f, T* v) {
        in.spectrum_interleaved(b, f, s);
        vec::spectrum_power(s.spec_values(), v, K, mode == OutputMode::magnitude);
        if (mode == OutputMode::db) {
            for (int64_t k = 0; k < K; ++k) v[k] = power_to_db(v[k]);
        }
    };
    framed_forward<FrameScratch<T>>(in, K, out, values);
}

template <typename T>
void stft_backward(const StftParams<T>& p, const T* grad, const T* signal, int64_t B, int64_t L, OutputMode mode,
                   T* grad_signal, bool complex_bin_major) {
    const FramedRows<T> in = framed_rows(p, p.window_values.data(), signal, B, L);
    const int32_t K = p.n_bins();
    const bool even = p.n_fft % 2 == 0;
    // Complex gradients reach the adjoint frame by frame, interleaved (re, im) per bin.
    auto complex_adjoint = [&](FrameScratch<T>& s, int64_t, int64_t, T* g) {
        vec::hermitian_halve(g, s.spec_values(), K, even);
        return interleaved_adjoint(s, s.spec.data());
    };
    // Real outputs are functions of the power: their gradient scales the spectrum.
    auto real_adjoint = [&](FrameScratch<T>& s, int64_t b, int64_t f, T* g) {
        in.spectrum_interleaved(b, f, s);
        vec::output_gradient(grad_rule(mode), g, s.spec_values(), K, even);
        return interleaved_adjoint(s, s.spec.data());
    };
    if (mode == OutputMode::complex) {
        const FrameLayout layout = complex_bin_major ? FrameLayout::complex_bin_major : FrameLayout::frame_major;
        framed_backward<FrameScratch<T>>(in, grad, 2 * K, layout, grad_signal, complex_adjoint);
    } else {
        framed_backward<FrameScratch<T>>(in, grad, K, FrameLayout::bin_major, grad_signal, real_adjoint);
    }
}

template struct StftParams<float>;
template struct StftParams<double>;
template void stft_forward<float>(const StftParams<float>&, const float*, int64_t, int64_t, OutputMode, float*);
template void stft_forward<double>(const StftParams<double>&, const double*, int64_t, int64_t, OutputMode, double*);
template void stft_backward<float>(const StftParams<float>&, const float*, const float*, int64_t, int64_t,
                                   OutputMode, float*, bool);
template void stft_backward<double>(const StftParams<double>&, const double*, const double*, int64_t, int64_t,
                                    OutputMode, double*, bool);

}  // namespace qorva::dsp::ops
