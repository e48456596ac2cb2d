// The GPU STFT and ISTFT arithmetic run on the CPU and checked against the CPU
// engines: the per-frame pieces the kernels call (packing, the split of the
// packed half-length FFT and its inverse, the backward's bin pairs, the
// overlap-add gather with its reflect images), scheduled per frame as the
// kernels run them, with the half-length FFT done by the kernels' own
// Stockham passes; and the full-length path's spectra with a direct DFT.
#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "gpu_emulation.hpp"
#include "gpu/cuda_frame_math.cuh"
#include "ops/istft.hpp"
#include "ops/stft.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using gpu_emulation::twiddles;

using cd = std::complex<double>;
constexpr double kTwoPi = 6.283185307179586476925286766559;

double rel_l2(const std::vector<float>& got, const std::vector<float>& want) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const double d = double(got[i]) - double(want[i]);
        num += d * d;
        den += double(want[i]) * double(want[i]);
    }
    return std::sqrt(num / (den > 0 ? den : 1.0));
}

std::vector<float> random_values(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// The block-wide shared-memory FFT at the per-frame kernels' block size.
void block_fft(std::vector<float2>& s, const std::vector<float2>& tw, int n, float sign) {
    s = gpu_emulation::shared_schedule(s, tw, sign, false, std::min(n / 2, 256));
}

// Direct DFT of one full-length complex frame (sign +1 forward, -1 inverse).
std::vector<float2> direct_dft(const std::vector<float2>& x, int sign) {
    const int n = static_cast<int>(x.size());
    std::vector<float2> y(n);
    for (int k = 0; k < n; ++k) {
        cd acc = 0;
        for (int j = 0; j < n; ++j) {
            acc += cd(x[j].x, x[j].y) * std::polar(1.0, -sign * kTwoPi * double((int64_t(j) * k) % n) / n);
        }
        y[k] = make_float2(float(acc.real()), float(acc.imag()));
    }
    return y;
}

struct Setup {
    int n_fft, hop, win;
    bool center;
    ops::PadMode pad;
    int64_t B, L;
};

ops::StftParams<float> stft_params(const Setup& c) {
    return ops::StftParams<float>(ops::FrameOptions{c.n_fft, c.hop, c.win, {}, c.center, c.pad});
}

int64_t pad_of(const Setup& c) { return c.center ? c.n_fft / 2 : 0; }

// CPU layout of one output value: complex frame-major, real bin-major.
void put(std::vector<float>& out, int mode, int64_t b, int64_t f, int64_t k, int64_t F, int64_t K, float2 X) {
    if (mode == gc::kModeComplex) {
        const int64_t i = ((b * F + f) * K + k) * 2;
        out[i] = X.x;
        out[i + 1] = X.y;
    } else {
        out[(b * K + k) * F + f] = gc::mode_value(X.x, X.y, mode);
    }
}

std::size_t out_size(int64_t B, int64_t F, int64_t K, int mode) {
    return static_cast<std::size_t>(B * F * K * (mode == gc::kModeComplex ? 2 : 1));
}

bool is_pow2_half(int n) { return n % 2 == 0 && ((n / 2) & (n / 2 - 1)) == 0; }

// Windowed full-length complex frame f of row x (the frame_c2 kernel).
std::vector<float2> full_frame(const Setup& c, const float* x, const std::vector<float>& w, int64_t f) {
    std::vector<float2> a(c.n_fft);
    for (int i = 0; i < c.n_fft; ++i) {
        a[i] = make_float2(gc::padded_sample(x, c.L, f * c.hop - pad_of(c) + i, c.pad == ops::PadMode::reflect) * w[i],
                           0.0f);
    }
    return a;
}

// Forward as the GPU runs it: in-kernel half-length FFT for a power-of-two
// half, full-length frames (direct DFT standing in for FftGpu) otherwise.
std::vector<float> emulate_forward(const Setup& c, const std::vector<float>& x, int mode) {
    const auto p = stft_params(c);
    const int n = c.n_fft, h = n / 2;
    const int64_t F = p.n_frames(c.L), K = h + 1;
    const auto tw = twiddles<float2>(h, h), stw = twiddles<float2>(h, n);
    std::vector<float> out(out_size(c.B, F, K, mode));
    for (int64_t b = 0; b < c.B; ++b) {
        const float* row = x.data() + b * c.L;
        for (int64_t f = 0; f < F; ++f) {
            if (is_pow2_half(n)) {
                std::vector<float2> s(h);
                for (int j = 0; j < h; ++j) {
                    s[j] = gc::packed_pair<float, float2>(row, c.L, f * c.hop - pad_of(c), j, p.window_values.data(),
                                                          c.pad == ops::PadMode::reflect);
                }
                block_fft(s, tw, h, 1.0f);
                for (int k = 0; k <= h; ++k) {
                    put(out, mode, b, f, k, F, K,
                        gc::split_bin(s[k % h], s[(h - k) % h], gc::split_twiddle(stw.data(), k, h)));
                }
            } else {
                const auto X = direct_dft(full_frame(c, row, p.window_values, f), 1);
                for (int k = 0; k < K; ++k) put(out, mode, b, f, k, F, K, X[k]);
            }
        }
    }
    return out;
}

// Backward as the GPU runs it, one row at a time: frame gradients (in-kernel
// pairs, or the full-length spectrum of bin gradients), then the gather.
std::vector<float> emulate_backward(const Setup& c, const std::vector<float>& grad, const std::vector<float>& x,
                                    int mode) {
    const auto p = stft_params(c);
    const int n = c.n_fft, h = n / 2;
    const int64_t F = p.n_frames(c.L), K = h + 1;
    const auto tw = twiddles<float2>(h, h), stw = twiddles<float2>(h, n);
    const auto* w = p.window_values.data();
    // Real gradients reach the kernels frame-major (after the transpose).
    std::vector<float> rgrad;
    if (mode != gc::kModeComplex) {
        rgrad.resize(grad.size());
        for (int64_t b = 0; b < c.B; ++b)
            for (int64_t k = 0; k < K; ++k)
                for (int64_t f = 0; f < F; ++f) rgrad[(b * F + f) * K + k] = grad[(b * K + k) * F + f];
    }
    std::vector<float> out(c.B * c.L);
    for (int64_t r = 0; r < c.B; ++r) {
        const float* row = x.data() + r * c.L;
        const float2* cg = mode == gc::kModeComplex ? reinterpret_cast<const float2*>(grad.data()) + r * F * K : nullptr;
        const float* rg = mode == gc::kModeComplex ? nullptr : rgrad.data() + r * F * K;
        std::vector<float> frames(F * n);
        for (int64_t f = 0; f < F; ++f) {
            if (is_pow2_half(n)) {
                std::vector<float2> s(h, make_float2(0.0f, 0.0f));
                if (mode != gc::kModeComplex) {
                    for (int j = 0; j < h; ++j) {
                        s[j] = gc::packed_pair<float, float2>(row, c.L, f * c.hop - pad_of(c), j, w,
                                                              c.pad == ops::PadMode::reflect);
                    }
                    block_fft(s, tw, h, 1.0f);
                }
                for (int k = 0; k <= h / 2; ++k) gc::stft_bwd_pair(s.data(), k, h, cg, rg, f * K, mode, stw.data());
                block_fft(s, tw, h, -1.0f);
                for (int j = 0; j < h; ++j) {
                    frames[f * n + 2 * j] = s[j].x * w[2 * j];
                    frames[f * n + 2 * j + 1] = s[j].y * w[2 * j + 1];
                }
            } else {
                std::vector<float2> A(n, make_float2(0.0f, 0.0f));
                if (mode != gc::kModeComplex) A = direct_dft(full_frame(c, row, p.window_values, f), 1);
                for (int k = 0; k < n; ++k) {
                    A[k] = k < K ? gc::bin_gradient(cg, rg, f * K + k, A[k], mode) : make_float2(0.0f, 0.0f);
                }
                A = direct_dft(A, -1);
                for (int i = 0; i < n; ++i) frames[f * n + i] = A[i].x * w[i];
            }
        }
        for (int64_t t = 0; t < c.L; ++t) {
            out[r * c.L + t] = gc::ola_gather_value(frames.data(), t, c.L, n, c.hop, pad_of(c), F,
                                                    c.pad == ops::PadMode::reflect);
        }
    }
    return out;
}

const Setup kStftSetups[] = {
    {64, 16, 64, true, ops::PadMode::reflect, 2, 300},
    {256, 64, 200, true, ops::PadMode::constant, 2, 1000},
    {512, 128, 400, false, ops::PadMode::constant, 1, 2000},
    {128, 32, 128, true, ops::PadMode::reflect, 1, 40},  // padding longer than the signal
    {96, 24, 96, true, ops::PadMode::reflect, 2, 500},   // even, half not a power of two
    {100, 25, 90, false, ops::PadMode::constant, 1, 600},
    {65, 16, 65, true, ops::PadMode::reflect, 2, 400},   // odd n_fft
};

std::string describe(const Setup& c, int mode) {
    return "n_fft " + std::to_string(c.n_fft) + " hop " + std::to_string(c.hop) + " L " + std::to_string(c.L) +
           " mode " + std::to_string(mode);
}

TEST_CASE("GPU STFT forward arithmetic matches the CPU engine in every mode and size class") {
    for (const Setup& c : kStftSetups) {
        const auto x = random_values(c.B * c.L, 7);
        const auto p = stft_params(c);
        const int64_t F = p.n_frames(c.L), K = p.n_bins();
        for (int mode = 0; mode < 4; ++mode) {
            std::vector<float> want(out_size(c.B, F, K, mode));
            ops::stft_forward(p, x.data(), c.B, c.L, static_cast<ops::OutputMode>(mode), want.data());
            const double err = rel_l2(emulate_forward(c, x, mode), want);
            if (!(err < 2e-5)) qtest::fail(__FILE__, __LINE__, describe(c, mode) + ": " + std::to_string(err));
        }
    }
}

TEST_CASE("GPU STFT backward arithmetic matches the CPU engine, reflect images included") {
    for (const Setup& c : kStftSetups) {
        const auto x = random_values(c.B * c.L, 11);
        const auto p = stft_params(c);
        const int64_t F = p.n_frames(c.L), K = p.n_bins();
        for (int mode = 0; mode < 4; ++mode) {
            const auto grad = random_values(out_size(c.B, F, K, mode), 13 + mode);
            std::vector<float> want(c.B * c.L);
            ops::stft_backward(p, grad.data(), x.data(), c.B, c.L, static_cast<ops::OutputMode>(mode), want.data());
            const double err = rel_l2(emulate_backward(c, grad, x, mode), want);
            if (!(err < 5e-5)) qtest::fail(__FILE__, __LINE__, describe(c, mode) + ": " + std::to_string(err));
        }
    }
}

// --- ISTFT ---------------------------------------------------------------------

struct IstftSetup {
    int n_fft, hop, win;
    bool center;
    int64_t B, F, length;  // length < 0: the natural length
};

struct IstftEmulation {
    const IstftSetup& c;
    ops::IstftParams<float> p;
    int n, h;
    int64_t K, P, pad;
    std::vector<float> env;
    std::vector<float2> tw, stw;

    explicit IstftEmulation(const IstftSetup& setup)
        : c(setup), p(ops::FrameOptions{setup.n_fft, setup.hop, setup.win, {}, setup.center}), n(setup.n_fft),
          h(setup.n_fft / 2), K(h + 1), P(int64_t(setup.hop) * (setup.F - 1) + setup.n_fft),
          pad(setup.center ? setup.n_fft / 2 : 0), tw(twiddles<float2>(h, h)), stw(twiddles<float2>(h, n)) {
        // The istft_env kernel: every frame contributes the squared window.
        std::vector<float> wsq_frames(c.F * n);
        for (int64_t f = 0; f < c.F; ++f)
            for (int i = 0; i < n; ++i) wsq_frames[f * n + i] = p.window_values[i] * p.window_values[i];
        env.resize(P);
        for (int64_t q = 0; q < P; ++q) env[q] = gc::overlap_sum(wsq_frames.data(), q, n, c.hop, c.F);
    }

    int64_t length() const { return c.length < 0 ? p.natural_length(c.F) : c.length; }
    int64_t kept() const { return std::max<int64_t>(0, std::min(P - pad, length())); }

    std::vector<float> forward(const std::vector<float2>& spec) const {
        const float scale = 1.0f / float(n);
        const float* w = p.window_values.data();
        std::vector<float> out(c.B * length());
        for (int64_t r = 0; r < c.B; ++r) {
            std::vector<float> frames(c.F * n);
            for (int64_t f = 0; f < c.F; ++f) {
                const float2* Y = spec.data() + (r * c.F + f) * K;
                if (is_pow2_half(n)) {
                    std::vector<float2> s(h);
                    for (int k = 0; k <= h / 2; ++k) gc::istft_pair(s.data(), k, h, Y, stw.data());
                    block_fft(s, tw, h, -1.0f);
                    for (int j = 0; j < h; ++j) {
                        frames[f * n + 2 * j] = s[j].x * scale * w[2 * j];
                        frames[f * n + 2 * j + 1] = s[j].y * scale * w[2 * j + 1];
                    }
                } else {
                    std::vector<float2> A(n);
                    for (int k = 0; k < n; ++k) A[k] = gc::hermitian_value(Y, k, n);
                    A = direct_dft(A, -1);
                    for (int i = 0; i < n; ++i) frames[f * n + i] = A[i].x * w[i] * scale;
                }
            }
            for (int64_t t = 0; t < length(); ++t) {
                float v = 0.0f;
                if (t < kept()) {
                    v = gc::overlap_sum(frames.data(), pad + t, n, c.hop, c.F);
                    if (env[pad + t] > FLT_MIN) v /= env[pad + t];
                }
                out[r * length() + t] = v;
            }
        }
        return out;
    }

    std::vector<float2> backward(const std::vector<float>& grad) const {
        const float scale = 1.0f / float(n);
        const float* w = p.window_values.data();
        std::vector<float2> out(c.B * c.F * K);
        for (int64_t r = 0; r < c.B; ++r) {
            std::vector<float> padded(P, 0.0f);
            for (int64_t q = 0; q < P; ++q) {
                const int64_t i = q - pad;
                if (i >= 0 && i < kept()) {
                    const float g = grad[r * length() + i];
                    padded[q] = env[q] > FLT_MIN ? g / env[q] : g;
                }
            }
            for (int64_t f = 0; f < c.F; ++f) {
                float2* dst = out.data() + (r * c.F + f) * K;
                const float* src = padded.data() + f * c.hop;
                if (is_pow2_half(n)) {
                    std::vector<float2> s(h);
                    for (int j = 0; j < h; ++j) {
                        s[j] = make_float2(src[2 * j] * w[2 * j] * scale, src[2 * j + 1] * w[2 * j + 1] * scale);
                    }
                    block_fft(s, tw, h, 1.0f);
                    for (int k = 0; k <= h; ++k) {
                        dst[k] = gc::istft_bin_gradient(
                            gc::split_bin(s[k % h], s[(h - k) % h], gc::split_twiddle(stw.data(), k, h)), k, h);
                    }
                } else {
                    std::vector<float2> A(n);
                    for (int i = 0; i < n; ++i) A[i] = make_float2(src[i] * w[i] * scale, 0.0f);
                    A = direct_dft(A, 1);
                    for (int k = 0; k < K; ++k) dst[k] = gc::istft_bin_gradient(A[k], k, h);
                }
            }
        }
        return out;
    }
};

std::vector<float> as_floats(const std::vector<float2>& v) {
    std::vector<float> out(v.size() * 2);
    for (std::size_t i = 0; i < v.size(); ++i) {
        out[2 * i] = v[i].x;
        out[2 * i + 1] = v[i].y;
    }
    return out;
}

TEST_CASE("GPU ISTFT forward and backward arithmetic match the CPU engine") {
    const IstftSetup setups[] = {
        {64, 16, 64, true, 2, 20, -1},
        {256, 64, 200, false, 1, 12, -1},
        {256, 64, 256, true, 1, 10, 200},    // shorter than natural
        {128, 32, 128, true, 2, 6, 400},     // longer than natural: zeros after
        {96, 24, 96, true, 2, 15, -1},       // half not a power of two
        {100, 50, 100, false, 1, 9, 350},
    };
    for (const IstftSetup& c : setups) {
        IstftEmulation emu(c);
        const auto spec = random_values(c.B * c.F * emu.K * 2, 17);
        std::vector<float2> spec2(c.B * c.F * emu.K);
        for (std::size_t i = 0; i < spec2.size(); ++i) spec2[i] = make_float2(spec[2 * i], spec[2 * i + 1]);
        const std::string what = "n_fft " + std::to_string(c.n_fft) + " length " + std::to_string(emu.length());

        std::vector<float> want(c.B * emu.length());
        ops::istft_forward(emu.p, reinterpret_cast<const std::complex<float>*>(spec.data()), c.B, c.F, want.data(),
                           emu.length());
        const double fwd = rel_l2(emu.forward(spec2), want);
        if (!(fwd < 2e-5)) qtest::fail(__FILE__, __LINE__, what + " forward: " + std::to_string(fwd));

        const auto grad = random_values(c.B * emu.length(), 19);
        std::vector<std::complex<float>> want_grad(c.B * c.F * emu.K);
        ops::istft_backward(emu.p, grad.data(), c.B, emu.length(), c.F, want_grad.data());
        std::vector<float> want_flat(want_grad.size() * 2);
        for (std::size_t i = 0; i < want_grad.size(); ++i) {
            want_flat[2 * i] = want_grad[i].real();
            want_flat[2 * i + 1] = want_grad[i].imag();
        }
        const double bwd = rel_l2(as_floats(emu.backward(grad)), want_flat);
        if (!(bwd < 2e-5)) qtest::fail(__FILE__, __LINE__, what + " backward: " + std::to_string(bwd));
    }
}

TEST_CASE("the per-frame kernels' block sizes fit their in-shared-memory FFT") {
    // Power-of-two halves of every GPU frame length (n_fft 64 .. 8192) at the
    // kernels' block size, within the 16 values a thread keeps in registers.
    for (int h = 32; h <= 4096; h *= 2) CHECK(gc::shared_fft_fits(h, std::min(h / 2, 256), false, 16));
}

TEST_CASE("decibels, guards and padding of single samples") {
    // An all-zero frame gives the -100 dB floor; a NaN power does too.
    CHECK(std::fabs(gc::mode_value(0.0f, 0.0f, gc::kModeDb) + 100.0f) < 1e-4f);
    CHECK(std::fabs(gc::db_of_power(std::nanf("")) + 100.0f) < 1e-4f);
    // Guards pass no gradient.
    CHECK(gc::mode_grad_scale(gc::kModeMagnitude, 1.0f, 0.0f) == 0.0f);
    CHECK(gc::mode_grad_scale(gc::kModeDb, 1.0f, 1e-11f) == 0.0f);
    // One sample reflects to itself; its gather ignores the reflection terms.
    const float one = 3.0f;
    CHECK(gc::padded_sample(&one, 1, -5, true) == 3.0f);
    CHECK(gc::padded_sample(&one, 1, -5, false) == 0.0f);
    const std::vector<float> frames(4 * 3, 1.0f);
    CHECK(gc::ola_gather_value(frames.data(), 0, 1, 4, 2, 2, 3, true) ==
          gc::ola_gather_value(frames.data(), 0, 1, 4, 2, 2, 3, false));
}

}  // namespace

QTEST_MAIN
