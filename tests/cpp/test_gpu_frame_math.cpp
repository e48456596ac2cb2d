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
    int n_fft, hop;
    bool center;
    ops::PadMode pad;
    int64_t B, L;

    ops::StftParams<float> params() const {
        return ops::StftParams<float>(n_fft, hop, n_fft - n_fft / 8, ops::WindowSpec{}, center, pad);
    }
    int64_t pad_len() const { return center ? n_fft / 2 : 0; }
    bool reflect() const { return pad == ops::PadMode::reflect; }
    std::string describe(int mode) const {
        return "n_fft " + std::to_string(n_fft) + " hop " + std::to_string(hop) + " L " + std::to_string(L) +
               " mode " + std::to_string(mode);
    }
};

bool is_pow2_half(int n) { return n % 2 == 0 && ((n / 2) & (n / 2 - 1)) == 0; }

// The GPU's view of one row: the frame spectra as its kernels form them, the
// in-kernel half-length FFT for a power-of-two half and full-length frames
// (a direct DFT standing in for FftGpu) otherwise.
struct RowEmulation {
    const Setup& c;
    ops::StftParams<float> p;
    int n, h;
    int64_t F, K;
    std::vector<float2> tw, stw;

    explicit RowEmulation(const Setup& setup)
        : c(setup), p(setup.params()), n(setup.n_fft), h(setup.n_fft / 2), F(p.n_frames(setup.L)), K(h + 1),
          tw(twiddles<float2>(h, h)), stw(twiddles<float2>(h, n)) {}

    int64_t start(int64_t f) const { return f * c.hop - c.pad_len(); }

    // Packed windowed frame after the forward half-length FFT.
    std::vector<float2> packed_spectrum(const float* row, int64_t f) const {
        std::vector<float2> s(h);
        for (int j = 0; j < h; ++j) {
            s[j] = gc::packed_pair<float, float2>(row, c.L, start(f), j, p.window_values.data(), c.reflect());
        }
        block_fft(s, tw, h, 1.0f);
        return s;
    }

    std::vector<float2> full_spectrum(const float* row, int64_t f) const {
        std::vector<float2> a(n);
        for (int i = 0; i < n; ++i) {
            a[i] = make_float2(gc::padded_sample(row, c.L, start(f) + i, c.reflect()) * p.window_values[i], 0.0f);
        }
        return direct_dft(a, 1);
    }

    std::vector<float2> spectrum(const float* row, int64_t f) const {
        if (!is_pow2_half(n)) return full_spectrum(row, f);
        const auto s = packed_spectrum(row, f);
        std::vector<float2> X(K);
        for (int k = 0; k <= h; ++k) X[k] = gc::split_bin(s[k % h], s[(h - k) % h], gc::split_twiddle(stw.data(), k, h));
        return X;
    }

    // Windowed sample gradients of frame f from the frame-major gradient.
    void frame_gradient(const float* row, int64_t f, const float2* cg, const float* rg, int mode, float* out) const {
        const float* w = p.window_values.data();
        if (is_pow2_half(n)) {
            auto s = mode == gc::kModeComplex ? std::vector<float2>(h, make_float2(0, 0)) : packed_spectrum(row, f);
            for (int k = 0; k <= h / 2; ++k) gc::stft_bwd_pair(s.data(), k, h, cg, rg, f * K, mode, stw.data());
            block_fft(s, tw, h, -1.0f);
            for (int j = 0; j < h; ++j) {
                out[2 * j] = s[j].x * w[2 * j];
                out[2 * j + 1] = s[j].y * w[2 * j + 1];
            }
            return;
        }
        auto A = mode == gc::kModeComplex ? std::vector<float2>(n, make_float2(0, 0)) : full_spectrum(row, f);
        for (int k = 0; k < n; ++k) A[k] = k < K ? gc::bin_gradient(cg, rg, f * K + k, A[k], mode) : make_float2(0, 0);
        A = direct_dft(A, -1);
        for (int i = 0; i < n; ++i) out[i] = A[i].x * w[i];
    }
};

// In the CPU layouts: complex frame-major interleaved, real bin-major.
std::vector<float> emulate_forward(const Setup& c, const std::vector<float>& x, int mode) {
    const RowEmulation e(c);
    std::vector<float> out(c.B * e.F * e.K * (mode == gc::kModeComplex ? 2 : 1));
    for (int64_t b = 0; b < c.B; ++b) {
        for (int64_t f = 0; f < e.F; ++f) {
            const auto X = e.spectrum(x.data() + b * c.L, f);
            for (int64_t k = 0; k < e.K; ++k) {
                if (mode == gc::kModeComplex) {
                    out[((b * e.F + f) * e.K + k) * 2] = X[k].x;
                    out[((b * e.F + f) * e.K + k) * 2 + 1] = X[k].y;
                } else {
                    out[(b * e.K + k) * e.F + f] = gc::mode_value(X[k].x, X[k].y, mode);
                }
            }
        }
    }
    return out;
}

// One row at a time: frame gradients, then the gather.
std::vector<float> emulate_backward(const Setup& c, const std::vector<float>& grad, const std::vector<float>& x,
                                    int mode) {
    const RowEmulation e(c);
    const int64_t F = e.F, K = e.K;
    // Real gradients reach the kernels frame-major (after the transpose).
    std::vector<float> rgrad(mode == gc::kModeComplex ? 0 : grad.size());
    for (int64_t b = 0; b < c.B && mode != gc::kModeComplex; ++b)
        for (int64_t k = 0; k < K; ++k)
            for (int64_t f = 0; f < F; ++f) rgrad[(b * F + f) * K + k] = grad[(b * K + k) * F + f];
    std::vector<float> out(c.B * c.L), frames(F * e.n);
    for (int64_t r = 0; r < c.B; ++r) {
        const float2* cg = mode == gc::kModeComplex ? reinterpret_cast<const float2*>(grad.data()) + r * F * K : nullptr;
        const float* rg = mode == gc::kModeComplex ? nullptr : rgrad.data() + r * F * K;
        for (int64_t f = 0; f < F; ++f) e.frame_gradient(x.data() + r * c.L, f, cg, rg, mode, frames.data() + f * e.n);
        for (int64_t t = 0; t < c.L; ++t) {
            out[r * c.L + t] = gc::ola_gather_value(frames.data(), t, c.L, e.n, c.hop, c.pad_len(), F, c.reflect());
        }
    }
    return out;
}

constexpr auto kReflect = ops::PadMode::reflect;
constexpr auto kConstant = ops::PadMode::constant;
const Setup kStftSetups[] = {
    {64, 16, true, kReflect, 2, 300},   {256, 64, true, kConstant, 2, 1000}, {512, 128, false, kConstant, 1, 2000},
    {96, 24, true, kReflect, 2, 500},   // even, half not a power of two
    {100, 25, false, kConstant, 1, 600}, {65, 16, true, kReflect, 2, 400},  // odd n_fft
    // Padding as long as the signal or longer: mirrored several times, or a
    // single sample read everywhere.
    {64, 16, true, kReflect, 1, 1},     {64, 16, true, kReflect, 2, 2},      {64, 16, true, kReflect, 1, 3},
    {64, 16, true, kReflect, 1, 31},    {64, 16, true, kReflect, 1, 32},     {64, 16, true, kReflect, 1, 33},
    {65, 16, true, kReflect, 1, 1},     {65, 16, true, kReflect, 1, 32},     {65, 16, true, kReflect, 1, 33},
};

void check_below(double err, double tol, const std::string& what) {
    if (!(err < tol)) qtest::fail(__FILE__, __LINE__, what + ": " + std::to_string(err));
}

TEST_CASE("GPU STFT forward and backward arithmetic match the CPU engine, long reflect padding included") {
    for (const Setup& c : kStftSetups) {
        const auto x = random_values(c.B * c.L, 7);
        const auto p = c.params();
        const int64_t F = p.n_frames(c.L), K = p.n_bins();
        for (int mode = 0; mode < 4; ++mode) {
            // The spectra of one or two samples are mostly rounding noise,
            // which decibels amplify past any tolerance.
            if (mode == gc::kModeDb && c.L <= 2) continue;
            const auto m = static_cast<ops::OutputMode>(mode);
            std::vector<float> want(c.B * F * K * (mode == gc::kModeComplex ? 2 : 1)), want_grad(c.B * c.L);
            ops::stft_forward(p, x.data(), c.B, c.L, m, want.data());
            check_below(rel_l2(emulate_forward(c, x, mode), want), 2e-5, c.describe(mode) + " forward");
            const auto grad = random_values(want.size(), 13 + mode);
            ops::stft_backward(p, grad.data(), c.B, c.L, m, x.data(), want_grad.data());
            check_below(rel_l2(emulate_backward(c, grad, x, mode), want_grad), 5e-5, c.describe(mode) + " backward");
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
    int64_t K, P, pad, length, kept;
    float scale;
    std::vector<float> env;
    std::vector<float2> tw, stw;

    explicit IstftEmulation(const IstftSetup& setup)
        : c(setup), p(setup.n_fft, setup.hop, setup.win, ops::WindowSpec{}, setup.center), n(setup.n_fft),
          h(setup.n_fft / 2), K(h + 1), P(int64_t(setup.hop) * (setup.F - 1) + setup.n_fft),
          pad(setup.center ? setup.n_fft / 2 : 0), length(c.length < 0 ? p.natural_length(c.F) : c.length),
          kept(std::max<int64_t>(0, std::min(P - pad, length))), scale(1.0f / float(n)),
          tw(twiddles<float2>(h, h)), stw(twiddles<float2>(h, n)) {
        // The istft_env kernel: every frame contributes the squared window.
        std::vector<float> wsq_frames(c.F * n);
        for (int64_t i = 0; i < c.F * n; ++i) wsq_frames[i] = p.window_values[i % n] * p.window_values[i % n];
        for (int64_t q = 0; q < P; ++q) env.push_back(gc::overlap_sum(wsq_frames.data(), q, n, c.hop, c.F));
    }

    // One frame's windowed, scaled samples from its half spectrum Y.
    void frame(const float2* Y, float* out) const {
        const float* w = p.window_values.data();
        if (is_pow2_half(n)) {
            std::vector<float2> s(h);
            for (int k = 0; k <= h / 2; ++k) gc::istft_pair(s.data(), k, h, Y, stw.data());
            block_fft(s, tw, h, -1.0f);
            for (int j = 0; j < h; ++j) {
                out[2 * j] = s[j].x * scale * w[2 * j];
                out[2 * j + 1] = s[j].y * scale * w[2 * j + 1];
            }
            return;
        }
        std::vector<float2> A(n);
        for (int k = 0; k < n; ++k) A[k] = gc::hermitian_value(Y, k, n);
        A = direct_dft(A, -1);
        for (int i = 0; i < n; ++i) out[i] = A[i].x * w[i] * scale;
    }

    std::vector<float> forward(const std::vector<float2>& spec) const {
        std::vector<float> out(c.B * length), frames(c.F * n);
        for (int64_t r = 0; r < c.B; ++r) {
            for (int64_t f = 0; f < c.F; ++f) frame(spec.data() + (r * c.F + f) * K, frames.data() + f * n);
            for (int64_t t = 0; t < kept; ++t) {
                const float v = gc::overlap_sum(frames.data(), pad + t, n, c.hop, c.F);
                out[r * length + t] = env[pad + t] > FLT_MIN ? v / env[pad + t] : v;
            }
        }
        return out;
    }

    // Bin gradients of frame f from the envelope-divided padded gradient.
    void frame_gradient(const float* src, float2* dst) const {
        const float* w = p.window_values.data();
        if (is_pow2_half(n)) {
            std::vector<float2> s(h);
            for (int j = 0; j < h; ++j) {
                s[j] = make_float2(src[2 * j] * w[2 * j] * scale, src[2 * j + 1] * w[2 * j + 1] * scale);
            }
            block_fft(s, tw, h, 1.0f);
            for (int k = 0; k <= h; ++k) {
                const float2 X = gc::split_bin(s[k % h], s[(h - k) % h], gc::split_twiddle(stw.data(), k, h));
                dst[k] = gc::istft_bin_gradient(X, k, h);
            }
            return;
        }
        std::vector<float2> A(n);
        for (int i = 0; i < n; ++i) A[i] = make_float2(src[i] * w[i] * scale, 0.0f);
        A = direct_dft(A, 1);
        for (int k = 0; k < K; ++k) dst[k] = gc::istft_bin_gradient(A[k], k, h);
    }

    std::vector<float> backward(const std::vector<float>& grad) const {
        std::vector<float> out(c.B * c.F * K * 2);
        for (int64_t r = 0; r < c.B; ++r) {
            std::vector<float> padded(P, 0.0f);
            for (int64_t i = 0; i < kept; ++i) {
                const float g = grad[r * length + i];
                padded[pad + i] = env[pad + i] > FLT_MIN ? g / env[pad + i] : g;
            }
            for (int64_t f = 0; f < c.F; ++f) {
                frame_gradient(padded.data() + f * c.hop, reinterpret_cast<float2*>(out.data()) + (r * c.F + f) * K);
            }
        }
        return out;
    }
};

TEST_CASE("GPU ISTFT forward and backward arithmetic match the CPU engine") {
    const IstftSetup setups[] = {
        {64, 16, 64, true, 2, 20, -1},   {256, 64, 200, false, 1, 12, -1},
        {256, 64, 256, true, 1, 10, 200},  // shorter than natural
        {128, 32, 128, true, 2, 6, 400},   // longer than natural: zeros after
        {96, 24, 96, true, 2, 15, -1},     // half not a power of two
        {100, 50, 100, false, 1, 9, 350},
    };
    for (const IstftSetup& c : setups) {
        IstftEmulation emu(c);
        const auto spec = random_values(c.B * c.F * emu.K * 2, 17);
        const std::string what = "n_fft " + std::to_string(c.n_fft) + " length " + std::to_string(emu.length);
        std::vector<float> want(c.B * emu.length), want_grad(spec.size());
        ops::istft_forward(emu.p, reinterpret_cast<const std::complex<float>*>(spec.data()), c.B, c.F, want.data(),
                           emu.length);
        const auto* spec2 = reinterpret_cast<const float2*>(spec.data());
        check_below(rel_l2(emu.forward(std::vector<float2>(spec2, spec2 + spec.size() / 2)), want), 2e-5,
                    what + " forward");
        const auto grad = random_values(c.B * emu.length, 19);
        ops::istft_backward(emu.p, grad.data(), c.B, emu.length, c.F,
                            reinterpret_cast<std::complex<float>*>(want_grad.data()));
        check_below(rel_l2(emu.backward(grad), want_grad), 2e-5, what + " backward");
    }
}

TEST_CASE("the per-frame kernels' block sizes fit their in-shared-memory FFT") {
    // Power-of-two halves of every GPU frame length (n_fft 64 .. 8192) at the
    // kernels' block size, within the 16 values a thread keeps in registers.
    for (int h = 32; h <= 4096; h *= 2) CHECK(gc::shared_fft_fits(h, std::min(h / 2, 256), false, 16));
}

TEST_CASE("decibel floors and guards pass no gradient") {
    // An all-zero frame gives the -100 dB floor; a NaN power does too.
    CHECK(std::fabs(gc::mode_value(0.0f, 0.0f, gc::kModeDb) + 100.0f) < 1e-4f);
    CHECK(std::fabs(gc::db_of_power(std::nanf("")) + 100.0f) < 1e-4f);
    // Guards pass no gradient.
    CHECK(gc::mode_grad_scale(gc::kModeMagnitude, 1.0f, 0.0f) == 0.0f);
    CHECK(gc::mode_grad_scale(gc::kModeDb, 1.0f, 1e-11f) == 0.0f);
}

}  // namespace

QTEST_MAIN
