// The GPU STFT and ISTFT kernels run on the CPU: every kernel's own body
// (cuda_stft_kernels.cuh) executed block by block, its threads one after the
// other between barriers, in the launch sequences of the engines.  Checked
// against the CPU engines, and the STFT backward against its forward through
// the adjoint identity.  A direct DFT stands in for the batched FFT.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "check.hpp"
#include "gpu/cuda_stft_kernels.cuh"
#include "gpu_emulation.hpp"
#include "ops/istft.hpp"
#include "ops/stft.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using Reals = std::vector<float>;
using gpu_emulation::check_close;
using gpu_emulation::random_values;
using Spectrum = std::vector<float2>;

constexpr double kF32Tol = 2e-5, kF32GradTol = 5e-5, kF64Tol = 1e-11, kAdjointTol = 1e-5;
// The decibel gradient grows as 1 / |X|: a bin near zero magnifies the float
// rounding of the CPU engine's spectrum.
constexpr double kDbGradTol = 2e-3;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

template <typename C, typename V>  // C* into a vector of reals, const when V is
auto as_complex(V& v) { return reinterpret_cast<std::conditional_t<std::is_const_v<V>, const C*, C*>>(v.data()); }

// One block on the host.  A phase (each) runs every thread to its end; two
// phases, or a phase and an FFT, with no barrier between them would race.
struct HostBlock {
    int64_t x = 0, y = 0, z = 0, grid_y = 1, grid_z = 1;
    int threads = 1;
    mutable bool open = false;

    template <typename Fn>
    void each(Fn&& fn) const {
        if (open) qtest::fail(__FILE__, __LINE__, "two phases without a barrier");
        for (int t = 0; t < threads; ++t) fn(t);
        open = true;
    }
    void sync() const { open = false; }
    template <typename C>
    void fft(C* s, const C* tw, int n, gpu_emulation::Real<C> sign) const {
        if (open) qtest::fail(__FILE__, __LINE__, "shared FFT without a barrier");
        const auto out = gpu_emulation::shared_schedule(std::vector<C>(s, s + n), std::vector<C>(tw, tw + n), sign,
                                                        false, threads);
        std::copy(out.begin(), out.end(), s);
    }
};

// Every block of the grid (gx, gy, gz), in turn.
template <typename Body>
void launch(int64_t gx, int64_t gy, int64_t gz, int threads, Body&& body) {
    for (int64_t z = 0; z < gz; ++z) {
        for (int64_t y = 0; y < gy; ++y) {
            for (int64_t x = 0; x < gx; ++x) body(HostBlock{x, y, z, gy, gz, threads});
        }
    }
}

int64_t grid_rows(int64_t B) { return std::min<int64_t>(B, 65535); }
int64_t blocks(int64_t count) { return (count + gc::kBlock - 1) / gc::kBlock; }

// The batched FFT of `rows` rows of len values: a direct DFT in double.
template <typename C>
void batched_fft(C* data, int64_t rows, int len, int sign) {
    using R = gpu_emulation::Real<C>;
    std::vector<std::complex<double>> roots(len), row(len);
    for (int k = 0; k < len; ++k) roots[k] = std::polar(1.0, -sign * 6.283185307179586 * k / len);
    for (int64_t r = 0; r < rows; ++r) {
        C* v = data + r * len;
        for (int k = 0; k < len; ++k) {
            row[k] = 0;
            for (int j = 0; j < len; ++j) row[k] += std::complex<double>(v[j].x, v[j].y) * roots[int64_t(j) * k % len];
        }
        for (int k = 0; k < len; ++k) v[k] = gc::cmake<C>(R(row[k].real()), R(row[k].imag()));
    }
}

template <typename T>
void transpose(const T* in, T* out, gc::KParams p, int64_t B) {
    launch((p.n_frames + 31) / 32, std::min<int64_t>((p.n_bins + 31) / 32, 65535), grid_rows(B), 256,
           [&](const HostBlock& blk) {
               T tile[32][33];
               std::fill(&tile[0][0], &tile[0][0] + 32 * 33, T(kNaN));
               gc::spec_transpose_body<T>(blk, tile, in, out, p, B);
           });
}

// The STFT and ISTFT engines' launch sequences over one chunk of B rows.
struct Engine {
    ops::FrameOptions o;
    int n, h, K, threads;
    bool pow2;
    Reals w;
    std::vector<double> w64;
    Spectrum tw, stw;

    explicit Engine(const ops::FrameOptions& options)
        : o(options), n(o.n_fft), h(n / 2), K(h + 1), pow2(n % 2 == 0 && (h & (h - 1)) == 0),
          w(ops::build_window<float>(o.window, o.win_length, n)),
          w64(ops::build_window<double>(o.window, o.win_length, n)), tw(gpu_emulation::twiddles<float2>(h, h)),
          stw(gpu_emulation::twiddles<float2>(h, n)) {
        threads = pow2 ? std::min(h / 2, 256) : 1;
        while (!pow2 && threads * 2 <= std::min(h, 256)) threads *= 2;
    }

    gc::KParams params(int64_t L, int64_t F, int mode) const {
        gc::KParams p{};
        p.n_samples = int32_t(L), p.n_frames = int32_t(F), p.n_bins = K, p.hop = o.hop_length;
        p.pad = int32_t(o.pad()), p.mode = mode, p.reflect = o.pad_mode == ops::PadMode::reflect, p.half = h;
        return p;
    }
    Spectrum shared() const { return Spectrum(h + 1, make_float2(kNaN, kNaN)); }

    // Complex spectra [b][f][k] interleaved, real outputs [b][k][f].
    template <typename T>
    std::vector<T> stft(const std::vector<T>& x, int64_t B, int64_t L, int mode) const {
        using C = std::conditional_t<std::is_same_v<T, double>, double2, float2>;
        const int64_t F = o.n_frames(L), gy = grid_rows(B);
        const gc::KParams p = params(L, F, mode);
        std::vector<T> out(B * F * K * (mode == gc::kModeComplex ? 2 : 1), T(kNaN)), real(out.size(), T(kNaN));
        C* cout = as_complex<C>(out);
        T* rout = real.data();
        if constexpr (std::is_same_v<T, float>) {
            if (pow2) {
                launch(F, gy, 1, threads, [&](const HostBlock& blk) {
                    Spectrum s = shared();
                    gc::stft_fwd_body(blk, s.data(), x.data(), cout, rout, w.data(), tw.data(), stw.data(), p, B);
                });
            } else if (n % 2 == 0) {
                Spectrum z(B * F * h, make_float2(kNaN, kNaN));
                launch(F, gy, 1, threads,
                       [&](const HostBlock& blk) { gc::stft_pack_body(blk, x.data(), z.data(), w.data(), p, B); });
                batched_fft(z.data(), B * F, h, 1);
                launch(F, gy, 1, threads, [&](const HostBlock& blk) {
                    gc::stft_unpack_body(blk, z.data(), cout, rout, stw.data(), p, B);
                });
            }
        }
        if (std::is_same_v<T, double> || n % 2 != 0) {
            const T* win = reinterpret_cast<const T*>(std::is_same_v<T, double> ? (const void*)w64.data() : w.data());
            std::vector<C> work(B * F * n);
            launch(blocks(F * n), gy, 1, gc::kBlock,
                   [&](const HostBlock& blk) { gc::frame_c2_body<T, C>(blk, x.data(), work.data(), win, p, n, B); });
            batched_fft(work.data(), B * F, n, 1);
            launch(blocks(F * K), gy, 1, gc::kBlock,
                   [&](const HostBlock& blk) { gc::half_c2_body<T, C>(blk, work.data(), cout, rout, p, n, B); });
        }
        if (mode != gc::kModeComplex) transpose(real.data(), out.data(), p, B);
        return out;
    }

    Reals stft_backward(const Reals& grad, const Reals& x, int64_t B, int64_t L, int mode) const {
        const int64_t F = o.n_frames(L), gy = grid_rows(B);
        const gc::KParams p = params(L, F, mode);
        const bool complex = mode == gc::kModeComplex;
        Reals frames(B * F * n, kNaN), out(B * L, kNaN), rgrad(complex ? 0 : grad.size());
        const float2* cg = complex ? as_complex<float2>(grad) : nullptr;
        if (!complex) {
            gc::KParams swapped = p;
            std::swap(swapped.n_frames, swapped.n_bins);
            transpose(grad.data(), rgrad.data(), swapped, B);
        }
        const float* rg = complex ? nullptr : rgrad.data();
        if (pow2) {
            launch(F, gy, 1, threads, [&](const HostBlock& blk) {
                Spectrum s = shared();
                gc::stft_bwd_frames_body(blk, s.data(), cg, rg, x.data(), frames.data(), w.data(), tw.data(),
                                         stw.data(), p, B);
            });
        } else {
            Spectrum work(B * F * n);
            if (!complex) {
                launch(blocks(F * n), gy, 1, gc::kBlock, [&](const HostBlock& blk) {
                    gc::frame_c2_body<float, float2>(blk, x.data(), work.data(), w.data(), p, n, B);
                });
                batched_fft(work.data(), B * F, n, 1);
            }
            launch(blocks(F * n), gy, 1, gc::kBlock,
                   [&](const HostBlock& blk) { gc::bwd_full_spectrum_body(blk, cg, rg, work.data(), p, n, B); });
            batched_fft(work.data(), B * F, n, -1);
            launch(blocks(F * n), gy, 1, gc::kBlock, [&](const HostBlock& blk) {
                gc::full_real_frames_body(blk, work.data(), frames.data(), w.data(), n, F * n, 1.0f, B);
            });
        }
        launch(blocks(L), gy, 1, gc::kBlock,
               [&](const HostBlock& blk) { gc::ola_gather_body(blk, frames.data(), out.data(), p, n, B); });
        return out;
    }

    int64_t padded_length(int64_t F) const { return int64_t(o.hop_length) * (F - 1) + n; }
    Reals envelope(int64_t F) const {
        Reals wsq(n), env(padded_length(F), kNaN);
        for (int i = 0; i < n; ++i) wsq[i] = w[i] * w[i];
        launch(blocks(env.size()), 1, 1, gc::kBlock, [&](const HostBlock& blk) {
            gc::istft_env_body(blk, wsq.data(), env.data(), int64_t(env.size()), n, o.hop_length, F);
        });
        return env;
    }

    Reals istft(const Reals& spec, int64_t B, int64_t F, int64_t length) const {
        const int64_t P = padded_length(F), pad = o.pad(), kept = std::max<int64_t>(0, std::min(P - pad, length));
        const gc::KParams p = params(0, F, 0);
        const Reals env = envelope(F);
        Reals frames(B * F * n, kNaN), out(B * length, kNaN);
        if (pow2) {
            launch(F, grid_rows(B), 1, threads, [&](const HostBlock& blk) {
                Spectrum s = shared();
                gc::istft_fwd_frames_body(blk, s.data(), as_complex<float2>(spec), frames.data(), w.data(), tw.data(),
                                          stw.data(), p, 1.0f / n, B);
            });
        } else {
            Spectrum work(B * F * n);
            launch(blocks(F * n), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
                gc::istft_full_spectrum_body(blk, as_complex<float2>(spec), work.data(), p, n, B);
            });
            batched_fft(work.data(), B * F, n, -1);
            launch(blocks(F * n), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
                gc::full_real_frames_body(blk, work.data(), frames.data(), w.data(), n, F * n, 1.0f / n, B);
            });
        }
        launch(blocks(length), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
            gc::istft_gather_body(blk, frames.data(), env.data(), out.data(), kept, length, n, o.hop_length, pad, F, B);
        });
        return out;
    }

    Reals istft_backward(const Reals& grad, int64_t B, int64_t F, int64_t length) const {
        const int64_t P = padded_length(F), pad = o.pad(), kept = std::max<int64_t>(0, std::min(P - pad, length));
        const gc::KParams p = params(0, F, 0);
        const Reals env = envelope(F);
        Reals padded(B * P, kNaN), out(B * F * K * 2, kNaN);
        launch(blocks(P), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
            gc::istft_grad_pad_body(blk, grad.data(), env.data(), padded.data(), P, pad, kept, length, B);
        });
        if (pow2) {
            launch(F, grid_rows(B), 1, threads, [&](const HostBlock& blk) {
                Spectrum s = shared();
                gc::istft_bwd_frames_body(blk, s.data(), padded.data(), as_complex<float2>(out), w.data(), tw.data(),
                                          stw.data(), p, 1.0f / n, P, B);
            });
        } else {
            Spectrum work(B * F * n);
            launch(blocks(F * n), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
                gc::istft_full_grad_frames_body(blk, padded.data(), work.data(), w.data(), n, o.hop_length, F, P,
                                                1.0f / n, B);
            });
            batched_fft(work.data(), B * F, n, 1);
            launch(blocks(F * K), grid_rows(B), 1, gc::kBlock, [&](const HostBlock& blk) {
                gc::istft_full_bins_body(blk, work.data(), as_complex<float2>(out), n, K, h, F, B);
            });
        }
        return out;
    }
};

constexpr auto kReflect = ops::PadMode::reflect;
constexpr auto kConstant = ops::PadMode::constant;

ops::FrameOptions frame_options(int n_fft, int hop, int win, bool center, ops::PadMode pad) {
    return ops::FrameOptions{n_fft, hop, win, {}, center, pad};
}

// STFT of B rows of L samples against the CPU engine: float32 forward and
// backward, float64 forward.
void check_stft(const ops::FrameOptions& o, int64_t B, int64_t L, std::initializer_list<int> modes = {0, 1, 2, 3}) {
    const Engine gpu(o);
    const ops::StftParams<float> p(o);
    const ops::StftParams<double> p64(o);
    const Reals x = random_values(B * L, 7);
    const std::vector<double> x64(x.begin(), x.end());
    for (const int mode : modes) {
        // The spectra of one or two samples are mostly rounding noise,
        // which decibels amplify past any tolerance.
        if (mode == gc::kModeDb && L <= 2) continue;
        const std::string what =
            "n_fft " + std::to_string(o.n_fft) + " L " + std::to_string(L) + " mode " + std::to_string(mode);
        const auto m = static_cast<ops::OutputMode>(mode);
        const Reals got = gpu.stft(x, B, L, mode);
        Reals want(got.size()), want_grad(B * L);
        ops::stft_forward(p, x.data(), B, L, m, want.data());
        check_close(got, want, kF32Tol, what + " forward");
        std::vector<double> want64(got.size());
        ops::stft_forward(p64, x64.data(), B, L, m, want64.data());
        check_close(gpu.stft(x64, B, L, mode), want64, kF64Tol, what + " float64 forward");
        const Reals grad = random_values(want.size(), 13 + mode);
        ops::stft_backward(p, grad.data(), x.data(), B, L, m, want_grad.data());
        check_close(gpu.stft_backward(grad, x, B, L, mode), want_grad, mode == gc::kModeDb ? kDbGradTol : kF32GradTol,
                    what + " backward");
    }
}

void check_istft(const ops::FrameOptions& o, int64_t B, int64_t F, int64_t length, double tol) {
    const Engine gpu(o);
    const ops::IstftParams<float> p(o);
    if (length < 0) length = p.natural_length(F);
    const Reals spec = random_values(B * F * gpu.K * 2, 17), grad = random_values(B * length, 19);
    const std::string what = "n_fft " + std::to_string(o.n_fft) + " length " + std::to_string(length);
    Reals want(B * length), want_grad(spec.size());
    ops::istft_forward(p, as_complex<std::complex<float>>(spec), B, F, want.data(), length);
    check_close(gpu.istft(spec, B, F, length), want, tol, what + " forward");
    ops::istft_backward(p, grad.data(), B, length, F, as_complex<std::complex<float>>(want_grad));
    check_close(gpu.istft_backward(grad, B, F, length), want_grad, tol, what + " backward");
}

TEST_CASE("GPU STFT kernels match the CPU engine: every frame path, float64, long reflect padding") {
    struct Setup {
        int n_fft, hop;
        bool center;
        ops::PadMode pad;
        int64_t B, L;
    };
    const Setup setups[] = {
        {64, 16, true, kReflect, 2, 300},    {256, 64, true, kConstant, 2, 1000}, {512, 128, false, kConstant, 1, 2000},
        {96, 24, true, kReflect, 2, 500},    // even, half not a power of two
        {400, 100, true, kReflect, 2, 1500}, {400, 160, false, kConstant, 1, 1200},
        {100, 25, false, kConstant, 1, 600}, {65, 16, true, kReflect, 2, 400},  // odd n_fft
        // Padding as long as the signal or longer: mirrored several times, or
        // a single sample read everywhere.
        {64, 16, true, kReflect, 1, 1},      {64, 16, true, kReflect, 2, 2},      {64, 16, true, kReflect, 1, 3},
        {64, 16, true, kReflect, 1, 31},     {64, 16, true, kReflect, 1, 32},     {64, 16, true, kReflect, 1, 33},
        {65, 16, true, kReflect, 1, 1},      {65, 16, true, kReflect, 1, 32},     {96, 24, true, kReflect, 1, 33},
    };
    for (const Setup& c : setups) {
        check_stft(frame_options(c.n_fft, c.hop, c.n_fft - c.n_fft / 8, c.center, c.pad), c.B, c.L);
    }
}

TEST_CASE("GPU ISTFT kernels match the CPU engine") {
    check_istft(frame_options(64, 16, 64, true, kConstant), 2, 20, -1, kF32Tol);
    check_istft(frame_options(256, 64, 200, false, kConstant), 1, 12, -1, kF32Tol);
    check_istft(frame_options(256, 64, 256, true, kConstant), 1, 10, 200, kF32Tol);  // shorter than natural
    check_istft(frame_options(128, 32, 128, true, kConstant), 2, 6, 400, kF32Tol);   // longer: zeros after
    check_istft(frame_options(96, 24, 96, true, kConstant), 2, 15, -1, kF32Tol);     // half not a power of two
    check_istft(frame_options(100, 50, 100, false, kConstant), 1, 9, 350, kF32Tol);
    check_istft(frame_options(400, 100, 400, true, kConstant), 2, 11, -1, kF32Tol);
}

TEST_CASE("GPU STFT backward is the adjoint of its forward: Re<G, F x> == <F^T G, x>") {
    for (const int n_fft : {64, 400, 65}) {
        for (const auto pad : {kReflect, kConstant}) {
            const Engine gpu(frame_options(n_fft, n_fft / 4, n_fft, true, pad));
            const int64_t B = 2, L = 3 * n_fft + 7;
            const Reals x = random_values(B * L, 23);
            const Reals X = gpu.stft(x, B, L, gc::kModeComplex);
            const Reals G = random_values(X.size(), 29);
            const Reals back = gpu.stft_backward(G, x, B, L, gc::kModeComplex);
            const auto dot = [](const Reals& a, const Reals& b) {
                double sum = 0;
                for (std::size_t i = 0; i < a.size(); ++i) sum += double(a[i]) * b[i];
                return sum;
            };
            const double lhs = dot(G, X), rhs = dot(back, x);
            const double scale = std::sqrt(dot(G, G) * dot(X, X)) + std::sqrt(dot(back, back) * dot(x, x));
            if (!(std::fabs(lhs - rhs) < kAdjointTol * scale)) {
                qtest::fail(__FILE__, __LINE__, "n_fft " + std::to_string(n_fft) + ": " + std::to_string(lhs) +
                                                    " != " + std::to_string(rhs));
            }
        }
    }
}

TEST_CASE("batches beyond the grid's 65535 rows reach every row once, in the CPU layout") {
    const int64_t B = 70001, grid_y = 65535;
    std::vector<int> hits(B, 0);
    for (int64_t y = 0; y < grid_y; ++y) gc::for_rows(y, grid_y, B, [&](int64_t b) { ++hits[b]; });
    CHECK(std::all_of(hits.begin(), hits.end(), [](int h) { return h == 1; }));
    // Tiny rows through every batched kernel: n_fft 4 takes the in-kernel
    // FFTs, n_fft 6 the packed and full-length batched ones.
    for (const int n_fft : {4, 6}) {
        const auto o = frame_options(n_fft, 2, n_fft, true, kReflect);
        check_stft(o, B, 5, {gc::kModePower});
        check_istft(o, B, 3, -1, kF32Tol);
    }
}

TEST_CASE("kernel block sizes fit the shared-memory FFT; float16 conversions round to nearest even") {
    // Power-of-two halves of every GPU frame length (n_fft 64 .. 8192) at the
    // kernels' block size, within the 16 values a thread keeps in registers.
    for (int h = 32; h <= 4096; h *= 2) CHECK(gc::shared_fft_fits(h, std::min(h / 2, 256), false, 16));
    CHECK(std::fabs(gc::db_of_power(std::nanf("")) + 100.0f) < 1e-4f);
    CHECK(gc::mode_grad_scale(gc::kModeMagnitude, 1.0f, 0.0f) == 0.0f);
    CHECK(gc::mode_grad_scale(gc::kModeDb, 1.0f, 1e-11f) == 0.0f);
    // Value, then its float16 rounding: a tie to even, the largest finite
    // value, the overflow tie to infinity, the smallest subnormal and the tie
    // below it to zero.
    const float cases[][2] = {{1.0f + 0x1.8p-10f, 1.0f + 0x1p-9f}, {65504.0f, 65504.0f}, {65520.0f, INFINITY},
                              {0x1p-24f, 0x1p-24f},                 {0x1p-25f, 0.0f}};
    const int64_t count = 300;  // two blocks, the second ragged
    Reals in(count), back(count + 1, kNaN);
    std::vector<__half> half(count + 1, __float2half_rn(7.0f));
    for (int64_t i = 0; i < count; ++i) in[i] = cases[i % 5][0];
    launch(blocks(count), 1, 1, gc::kBlock,
           [&](const HostBlock& blk) { gc::cvt_f2h_body(blk, in.data(), half.data(), count); });
    launch(blocks(count), 1, 1, gc::kBlock,
           [&](const HostBlock& blk) { gc::cvt_h2f_body(blk, half.data(), back.data(), count); });
    for (int64_t i = 0; i < count; ++i) CHECK(back[i] == cases[i % 5][1]);
    CHECK(__half2float(half[count]) == 7.0f && std::isnan(back[count]));
}

}  // namespace

QTEST_MAIN
