// The GPU STFT and ISTFT arithmetic run on the CPU and checked against the CPU
// engines: the per-frame pieces the kernels call (the split of the packed
// half-length FFT and its inverse, the backward's bin pairs, the overlap-add
// gather with its reflect images), with the half-length FFT done by the
// kernels' own Stockham passes, and the full-length path with a direct DFT
// standing in for the batched FFT.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "gpu/cuda_frame_math.cuh"
#include "gpu_emulation.hpp"
#include "ops/istft.hpp"
#include "ops/stft.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using Reals = std::vector<float>;
using Spectrum = std::vector<float2>;

void check_close(const Reals& got, const Reals& want, double tol, const std::string& what) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        num += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
        den += double(want[i]) * want[i];
    }
    const double err = std::sqrt(num / (den > 0 ? den : 1.0));
    if (!(err < tol)) qtest::fail(__FILE__, __LINE__, what + ": " + std::to_string(err));
}

Reals random_values(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    Reals v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Direct DFT of one full-length complex frame (sign +1 forward, -1 inverse).
Spectrum direct_dft(const Spectrum& x, int sign) {
    const int n = static_cast<int>(x.size());
    Spectrum y(n);
    for (int k = 0; k < n; ++k) {
        std::complex<double> acc = 0;
        for (int j = 0; j < n; ++j) {
            acc += std::complex<double>(x[j].x, x[j].y) *
                   std::polar(1.0, -sign * 6.283185307179586 * double((int64_t(j) * k) % n) / n);
        }
        y[k] = make_float2(float(acc.real()), float(acc.imag()));
    }
    return y;
}

// A frame length's transforms as the kernels do them: in-kernel on packed
// pairs z[j] = x[2j] + i x[2j+1] when n/2 is a power of two, else full length.
struct FrameFft {
    int n, h, K;
    bool packed;
    Spectrum tw, stw;

    explicit FrameFft(int n_fft)
        : n(n_fft), h(n_fft / 2), K(n_fft / 2 + 1), packed(n % 2 == 0 && (h & (h - 1)) == 0),
          tw(gpu_emulation::twiddles<float2>(h, h)), stw(gpu_emulation::twiddles<float2>(h, n)) {}

    // The block-wide shared-memory FFT at the per-frame kernels' block size.
    Spectrum block_fft(Spectrum s, float sign) const {
        return gpu_emulation::shared_schedule(s, tw, sign, false, std::min(h / 2, 256));
    }
    Spectrum packed_fft(const float* x) const {
        Spectrum s(h);
        for (int j = 0; j < h; ++j) s[j] = make_float2(x[2 * j], x[2 * j + 1]);
        return block_fft(s, 1.0f);
    }
    Spectrum full_fft(const float* x) const {
        Spectrum a(n);
        for (int i = 0; i < n; ++i) a[i] = make_float2(x[i], 0.0f);
        return direct_dft(a, 1);
    }
    // Half spectrum of a real frame.
    Spectrum forward(const float* x) const {
        if (!packed) return full_fft(x);
        const Spectrum s = packed_fft(x);
        Spectrum X(K);
        for (int k = 0; k <= h; ++k) X[k] = gc::split_bin(s[k % h], s[(h - k) % h], gc::split_twiddle(stw.data(), k, h));
        return X;
    }
    // Real frame times w * scale from the input of the inverse FFT (packed or full).
    Reals inverse(const Spectrum& s, const float* w, float scale) const {
        const Spectrum y = packed ? block_fft(s, -1.0f) : direct_dft(s, -1);
        Reals out(n);
        for (int i = 0; i < n; ++i) out[i] = (packed ? (i % 2 ? y[i / 2].y : y[i / 2].x) : y[i].x) * w[i] * scale;
        return out;
    }
};

struct Setup {
    int n_fft, hop;
    bool center;
    ops::PadMode pad;
    int64_t B, L;
};

// Frame-major output gradients (after the kernels' transpose) back to the
// signal: per frame the kernels' bin arithmetic and inverse transform, then
// the overlap-add gather.
Reals emulate_backward(const Setup& c, const ops::StftParams<float>& p, const Reals& grad, const Reals& x, int mode) {
    const FrameFft fft(c.n_fft);
    const int64_t F = p.n_frames(c.L), K = fft.K, n = c.n_fft;
    const bool reflect = c.pad == ops::PadMode::reflect;
    Reals rgrad(mode == gc::kModeComplex ? 0 : grad.size()), out(c.B * c.L), frames(F * n), frame(n);
    for (std::size_t i = 0; i < rgrad.size(); ++i) {  // i = (b F + f) K + k
        rgrad[i] = grad[(i / (F * K) * K + i % K) * F + i / K % F];
    }
    for (int64_t r = 0; r < c.B; ++r) {
        const float2* cg = mode == gc::kModeComplex ? reinterpret_cast<const float2*>(grad.data()) + r * F * K : nullptr;
        const float* rg = mode == gc::kModeComplex ? nullptr : rgrad.data() + r * F * K;
        for (int64_t f = 0; f < F; ++f) {
            for (int i = 0; i < n; ++i) {
                frame[i] = gc::padded_sample(x.data() + r * c.L, c.L, f * c.hop - p.pad() + i, reflect) * p.window_values[i];
            }
            Spectrum s(fft.packed ? fft.h : n, make_float2(0, 0));
            if (mode != gc::kModeComplex) s = fft.packed ? fft.packed_fft(frame.data()) : fft.full_fft(frame.data());
            if (fft.packed) {
                for (int k = 0; k <= fft.h / 2; ++k) gc::stft_bwd_pair(s.data(), k, fft.h, cg, rg, f * K, mode, fft.stw.data());
            } else {
                for (int k = 0; k < n; ++k) s[k] = k < K ? gc::bin_gradient(cg, rg, f * K + k, s[k], mode) : make_float2(0, 0);
            }
            const Reals g = fft.inverse(s, p.window_values.data(), 1.0f);
            std::copy(g.begin(), g.end(), frames.begin() + f * n);
        }
        for (int64_t t = 0; t < c.L; ++t) {
            out[r * c.L + t] = gc::ola_gather_value(frames.data(), t, c.L, n, c.hop, p.pad(), F, reflect);
        }
    }
    return out;
}

TEST_CASE("GPU STFT forward and backward arithmetic match the CPU engine, long reflect padding included") {
    constexpr auto kReflect = ops::PadMode::reflect;
    constexpr auto kConstant = ops::PadMode::constant;
    const Setup setups[] = {
        {64, 16, true, kReflect, 2, 300},    {256, 64, true, kConstant, 2, 1000}, {512, 128, false, kConstant, 1, 2000},
        {96, 24, true, kReflect, 2, 500},    // even, half not a power of two
        {100, 25, false, kConstant, 1, 600}, {65, 16, true, kReflect, 2, 400},  // odd n_fft
        // Padding as long as the signal or longer: mirrored several times, or
        // a single sample read everywhere.
        {64, 16, true, kReflect, 1, 1},      {64, 16, true, kReflect, 2, 2},      {64, 16, true, kReflect, 1, 3},
        {64, 16, true, kReflect, 1, 31},     {64, 16, true, kReflect, 1, 32},     {64, 16, true, kReflect, 1, 33},
        {65, 16, true, kReflect, 1, 1},      {65, 16, true, kReflect, 1, 32},     {65, 16, true, kReflect, 1, 33},
    };
    for (const Setup& c : setups) {
        const ops::StftParams<float> p(ops::FrameOptions{c.n_fft, c.hop, c.n_fft - c.n_fft / 8, {}, c.center, c.pad});
        const FrameFft fft(c.n_fft);
        const int64_t F = p.n_frames(c.L), K = p.n_bins();
        const Reals x = random_values(c.B * c.L, 7);
        // The forward spectra, once, in the complex layout (frame-major, interleaved).
        Reals spectra(c.B * F * K * 2), frame(c.n_fft);
        for (int64_t q = 0; q < c.B * F; ++q) {
            for (int i = 0; i < c.n_fft; ++i) {
                frame[i] = gc::padded_sample(x.data() + q / F * c.L, c.L, q % F * c.hop - p.pad() + i,
                                             c.pad == kReflect) * p.window_values[i];
            }
            const Spectrum X = fft.forward(frame.data());
            std::copy(&X[0].x, &X[0].x + 2 * K, spectra.begin() + q * K * 2);
        }
        for (int mode = 0; mode < 4; ++mode) {
            // The spectra of one or two samples are mostly rounding noise,
            // which decibels amplify past any tolerance.
            if (mode == gc::kModeDb && c.L <= 2) continue;
            const std::string what = "n_fft " + std::to_string(c.n_fft) + " L " + std::to_string(c.L) + " mode " +
                                     std::to_string(mode);
            const auto m = static_cast<ops::OutputMode>(mode);
            Reals want(c.B * F * K * (mode == gc::kModeComplex ? 2 : 1)), got = spectra, want_grad(c.B * c.L);
            if (mode != gc::kModeComplex) {
                for (std::size_t i = 0; i < want.size(); ++i) {  // i = (b K + k) F + f
                    const int64_t q = i / (K * F) * F + i % F, k = i / F % K;
                    got[i] = gc::mode_value(spectra[(q * K + k) * 2], spectra[(q * K + k) * 2 + 1], mode);
                }
                got.resize(want.size());
            }
            ops::stft_forward(p, x.data(), c.B, c.L, m, want.data());
            check_close(got, want, 2e-5, what + " forward");
            const Reals grad = random_values(want.size(), 13 + mode);
            ops::stft_backward(p, grad.data(), x.data(), c.B, c.L, m, want_grad.data());
            check_close(emulate_backward(c, p, grad, x, mode), want_grad, 5e-5, what + " backward");
        }
    }
}

TEST_CASE("GPU ISTFT forward and backward arithmetic match the CPU engine") {
    struct IstftSetup {
        int n_fft, hop, win;
        bool center;
        int64_t B, F, length;  // length < 0: the natural length
    };
    const IstftSetup setups[] = {
        {64, 16, 64, true, 2, 20, -1},   {256, 64, 200, false, 1, 12, -1},
        {256, 64, 256, true, 1, 10, 200},  // shorter than natural
        {128, 32, 128, true, 2, 6, 400},   // longer than natural: zeros after
        {96, 24, 96, true, 2, 15, -1},     // half not a power of two
        {100, 50, 100, false, 1, 9, 350},
    };
    for (const IstftSetup& c : setups) {
        const ops::IstftParams<float> p(ops::FrameOptions{c.n_fft, c.hop, c.win, {}, c.center, ops::PadMode::constant});
        const FrameFft fft(c.n_fft);
        const int n = c.n_fft, h = n / 2, K = fft.K;
        const int64_t P = int64_t(c.hop) * (c.F - 1) + n, pad = c.center ? h : 0;
        const int64_t length = c.length < 0 ? p.natural_length(c.F) : c.length;
        const int64_t kept = std::max<int64_t>(0, std::min(P - pad, length));
        const float* w = p.window_values.data();
        // The istft_env kernel: every frame contributes the squared window.
        Reals wsq(c.F * n), env(P), frames(c.F * n), out(c.B * length, 0.0f), out_grad(c.B * c.F * K * 2);
        for (int64_t i = 0; i < c.F * n; ++i) wsq[i] = w[i % n] * w[i % n];
        for (int64_t q = 0; q < P; ++q) env[q] = gc::overlap_sum(wsq.data(), q, n, c.hop, c.F);
        const Reals spec = random_values(c.B * c.F * K * 2, 17), grad = random_values(c.B * length, 19);
        for (int64_t r = 0; r < c.B; ++r) {
            Reals padded(P, 0.0f);
            for (int64_t f = 0; f < c.F; ++f) {
                const float2* Y = reinterpret_cast<const float2*>(spec.data()) + (r * c.F + f) * K;
                Spectrum s(fft.packed ? h : n);
                if (fft.packed) {
                    for (int k = 0; k <= h / 2; ++k) gc::istft_pair(s.data(), k, h, Y, fft.stw.data());
                } else {
                    for (int k = 0; k < n; ++k) s[k] = gc::hermitian_value(Y, k, n);
                }
                const Reals fr = fft.inverse(s, w, 1.0f / n);
                std::copy(fr.begin(), fr.end(), frames.begin() + f * n);
            }
            for (int64_t t = 0; t < kept; ++t) {
                const float v = gc::overlap_sum(frames.data(), pad + t, n, c.hop, c.F), e = env[pad + t];
                out[r * length + t] = e > FLT_MIN ? v / e : v;
                padded[pad + t] = e > FLT_MIN ? grad[r * length + t] / e : grad[r * length + t];
            }
            // Backward: the padded, envelope-divided gradient read frame by frame.
            for (int64_t f = 0; f < c.F; ++f) {
                Reals frame(n);
                for (int i = 0; i < n; ++i) frame[i] = padded[f * c.hop + i] * w[i] * (1.0f / n);
                const Spectrum X = fft.forward(frame.data());
                for (int k = 0; k < K; ++k) {
                    const float2 G = gc::istft_bin_gradient(X[k], k, h);
                    out_grad[((r * c.F + f) * K + k) * 2] = G.x;
                    out_grad[((r * c.F + f) * K + k) * 2 + 1] = G.y;
                }
            }
        }
        const std::string what = "n_fft " + std::to_string(n) + " length " + std::to_string(length);
        Reals want(c.B * length), want_grad(out_grad.size());
        ops::istft_forward(p, reinterpret_cast<const std::complex<float>*>(spec.data()), c.B, c.F, want.data(), length);
        check_close(out, want, 2e-5, what + " forward");
        ops::istft_backward(p, grad.data(), c.B, length, c.F, reinterpret_cast<std::complex<float>*>(want_grad.data()));
        check_close(out_grad, want_grad, 2e-5, what + " backward");
    }
}

TEST_CASE("kernel block sizes fit the shared-memory FFT; decibel floors pass no gradient") {
    // Power-of-two halves of every GPU frame length (n_fft 64 .. 8192) at the
    // kernels' block size, within the 16 values a thread keeps in registers.
    for (int h = 32; h <= 4096; h *= 2) CHECK(gc::shared_fft_fits(h, std::min(h / 2, 256), false, 16));
    CHECK(std::fabs(gc::db_of_power(std::nanf("")) + 100.0f) < 1e-4f);
    CHECK(gc::mode_grad_scale(gc::kModeMagnitude, 1.0f, 0.0f) == 0.0f);
    CHECK(gc::mode_grad_scale(gc::kModeDb, 1.0f, 1e-11f) == 0.0f);
}

}  // namespace

QTEST_MAIN
