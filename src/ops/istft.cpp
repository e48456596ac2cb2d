#include "ops/istft.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "ops/frame_kernels.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

// Squared-window envelope of F frames at every padded position 0 .. Lf - 1,
// summed over the covering frames in ascending order.  It is the same for
// every row, so a call computes it once.
template <typename T>
PoolBuffer window_envelope(const std::vector<T>& window, int32_t hop, int64_t F, int64_t Lf) {
    const int32_t n = static_cast<int32_t>(window.size());
    std::vector<T> wsq(window.size());
    for (std::size_t i = 0; i < window.size(); ++i) wsq[i] = window[i] * window[i];
    PoolBuffer env_block(static_cast<std::size_t>(Lf) * sizeof(T));
    T* env = env_block.as<T>();
    parallel_for(Lf, 4096, [&](int64_t begin, int64_t end) {
        for (int64_t j = begin; j < end; ++j) {
            int64_t lo, hi;
            covering_frames(j, n, hop, F, lo, hi);
            T e = T(0);
            for (int64_t f = lo; f <= hi; ++f) e += wsq[j - f * hop];
            env[j] = e;
        }
    });
    return env_block;
}

}  // namespace

template <typename T>
IstftParams<T>::IstftParams(const FrameOptions& options)
    : FrameOptions(options), window_values(validate_frame<T>(options)) {
    // Every sample must see some window energy, or it cannot be recovered.
    for (int32_t r = 0; r < std::min(n_fft, hop_length); ++r) {
        double sum = 0.0;
        for (int64_t i = r; i < n_fft; i += hop_length) {
            const double w = static_cast<double>(window_values[i]);
            sum += w * w;
        }
        if (!(sum > 1e-11)) {
            throw std::invalid_argument("window/hop combination violates NOLA; inversion is not possible");
        }
    }
    if (hop_length > n_fft) throw std::invalid_argument("hop_length > n_fft leaves gaps; inversion is not possible");
}

template <typename T>
void istft_forward(const IstftParams<T>& p, const std::complex<T>* spectrum, int64_t B, int64_t F, T* out,
                   int64_t length) {
    const int32_t n = p.n_fft;
    const int32_t K = p.n_bins();
    const int32_t hop = p.hop_length;
    const int64_t pad = p.pad();
    const int64_t Lf = p.full_length(F);
    const int64_t M = std::max<int64_t>(0, std::min(Lf - pad, length));
    const T scale = T(1) / static_cast<T>(n);
    const T tiny = std::numeric_limits<T>::min();
    const PoolBuffer env_block = window_envelope(p.window_values, hop, F, Lf);
    const T* env = env_block.as<T>();

    for_each_row(B, [&](int64_t b) {
        PoolBuffer frames_block(static_cast<std::size_t>(n) * static_cast<std::size_t>(F) * sizeof(T));
        T* frames = frames_block.as<T>();
        parallel_for(F, 16, [&](int64_t begin, int64_t end) {
            fft::RealFFT<T> fft = make_real_fft<T>(n);
            AlignedBuffer<T> re(K), im(K), y(n);
            for (int64_t f = begin; f < end; ++f) {
                const std::complex<T>* z = spectrum + (b * F + f) * K;
                for (int32_t k = 0; k < K; ++k) {
                    re[k] = z[k].real();
                    im[k] = z[k].imag();
                }
                fft.impl->inverse(re.data(), im.data(), y.data());
                T* dst = frames + f * n;
                for (int32_t i = 0; i < n; ++i) dst[i] = (y[i] * scale) * p.window_values[i];
            }
        });
        // Overlap-add of the frames over the kept samples (the framing adjoint
        // with constant padding), then normalisation by the envelope where a
        // frame contributed window energy.
        T* row = out + b * length;
        fold_frames(frames, F, n, hop, pad, PadMode::constant, row, M, false);
        for (int64_t i = 0; i < M; ++i) {
            const T e = env[i + pad];
            if (e > tiny) row[i] /= e;
        }
        std::fill(row + M, row + length, T(0));
    });
}

template <typename T>
void istft_backward(const IstftParams<T>& p, const T* grad, int64_t B, int64_t length, int64_t F,
                    std::complex<T>* grad_spectrum) {
    const int32_t n = p.n_fft;
    const int32_t K = p.n_bins();
    const int32_t hop = p.hop_length;
    const int64_t pad = p.pad();
    const int64_t Lf = p.full_length(F);
    const int64_t M = std::min(Lf - pad, length);
    const T scale = T(1) / static_cast<T>(n);
    const T tiny = std::numeric_limits<T>::min();
    const PoolBuffer env_block = window_envelope(p.window_values, hop, F, Lf);
    const T* env = env_block.as<T>();
    // The unnormalised inverse counts interior bins twice and ignores the
    // imaginary parts of bin 0 and (even n_fft) the Nyquist bin; its adjoint
    // doubles the former and zeroes the latter.  For odd n_fft the last bin is
    // interior, which keeps this the exact adjoint.
    const int32_t last_interior = n % 2 == 0 ? K - 2 : K - 1;

    for_each_row(B, [&](int64_t b) {
        // The gradient at every padded position: divided by the envelope where
        // the forward divided, zero outside the kept samples.
        PoolBuffer padded_block(static_cast<std::size_t>(Lf) * sizeof(T));
        T* padded = padded_block.as<T>();
        const T* g = grad + b * length;
        parallel_for(Lf, 4096, [&](int64_t begin, int64_t end) {
            for (int64_t j = begin; j < end; ++j) {
                const int64_t i = j - pad;
                padded[j] = (i < 0 || i >= M) ? T(0) : (env[j] > tiny ? g[i] / env[j] : g[i]);
            }
        });
        parallel_for(F, 32, [&](int64_t begin, int64_t end) {
            fft::RealFFT<T> fft = make_real_fft<T>(n);
            AlignedBuffer<T> v(n), re(K), im(K);
            for (int64_t f = begin; f < end; ++f) {
                const T* src = padded + f * hop;
                for (int32_t i = 0; i < n; ++i) v[i] = p.window_values[i] * src[i] * scale;
                fft.impl->forward(v.data(), re.data(), im.data());
                std::complex<T>* out = grad_spectrum + (b * F + f) * K;
                out[0] = {re[0], T(0)};
                for (int32_t k = 1; k <= last_interior; ++k) out[k] = {T(2) * re[k], T(2) * im[k]};
                if (n % 2 == 0 && K > 1) out[K - 1] = {re[K - 1], T(0)};
            }
        });
    });
}

template struct IstftParams<float>;
template struct IstftParams<double>;
template void istft_forward<float>(const IstftParams<float>&, const std::complex<float>*, int64_t, int64_t, float*,
                                   int64_t);
template void istft_forward<double>(const IstftParams<double>&, const std::complex<double>*, int64_t, int64_t,
                                    double*, int64_t);
template void istft_backward<float>(const IstftParams<float>&, const float*, int64_t, int64_t, int64_t,
                                    std::complex<float>*);
template void istft_backward<double>(const IstftParams<double>&, const double*, int64_t, int64_t, int64_t,
                                     std::complex<double>*);

}  // namespace qorva::dsp::ops
