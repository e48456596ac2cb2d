// The GPU mel kernels' per-block bodies run on the host, each thread of a
// block in turn between barriers, with the frame FFT done by the kernels' own
// Stockham passes, and checked against the CPU mel engine, forward and
// backward, for every output mode.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "gpu/cuda_mel_math.cuh"
#include "gpu_emulation.hpp"
#include "ops/mel.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using Reals = std::vector<float>;
using gpu_emulation::check_close;
using gpu_emulation::random_values;
using Spectrum = std::vector<float2>;

constexpr double kForwardTol = 2e-5, kBackwardTol = 5e-5;  // relative L2 distance from the CPU engine

// One engine's frames as the mel kernels see them.
struct MelEmulation {
    const ops::MelParams<float>& p;
    gc::MelTables tables;
    int h, threads;
    Spectrum tw, stw;
    bool reflect;

    explicit MelEmulation(const ops::MelParams<float>& params)
        : p(params), tables(params), h(params.n_fft / 2), threads(std::clamp(h / 2, 1, 256)),
          tw(gpu_emulation::twiddles<float2>(h, h)), stw(gpu_emulation::twiddles<float2>(h, 2 * h)),
          reflect(params.pad_mode == ops::PadMode::reflect) {}

    Spectrum fft(Spectrum s, float sign) const { return gpu_emulation::shared_schedule(s, tw, sign, false, threads); }

    // The packed half-length spectrum of frame f of a row.
    Spectrum packed_spectrum(const float* row, int64_t L, int64_t f) const {
        Spectrum s(h);
        for (int j = 0; j < h; ++j) {
            s[j] = gc::packed_pair<float, float2>(row, L, f * p.hop_length - p.pad(), j, p.window_values.data(), reflect);
        }
        return fft(s, 1.0f);
    }

    Reals forward(const Reals& x, int64_t B, int64_t L, int mode) const {
        const int64_t F = p.n_frames(L), M = p.n_mels;
        Reals out(B * M * F);
        for (int64_t b = 0; b < B; ++b) {
            for (int64_t f = 0; f < F; ++f) {
                const Spectrum Z = packed_spectrum(x.data() + b * L, L, f);
                for (int tid = 0; tid < threads; ++tid) {
                    gc::mel_frame_values(Z.data(), out.data() + b * M * F + f, F, h, stw.data(), tables.bands(), mode,
                                         tid, threads);
                }
            }
        }
        return out;
    }

    Reals backward(const Reals& grad, const Reals& x, int64_t B, int64_t L, int mode) const {
        const int64_t F = p.n_frames(L), M = p.n_mels, n = 2 * h;
        Reals out(B * L), frames(F * n), band_grad(M);
        for (int64_t b = 0; b < B; ++b) {
            for (int64_t f = 0; f < F; ++f) {
                Spectrum s = packed_spectrum(x.data() + b * L, L, f);
                for (int tid = 0; tid < threads; ++tid) {
                    gc::mel_band_gradients(grad.data() + b * M * F + f, F, band_grad.data(), s.data(), h, stw.data(),
                                           tables.bands(), mode, tid, threads);
                }
                for (int k = 0; k <= h / 2; ++k) {
                    gc::mel_bwd_pair(s.data(), k, h, band_grad.data(), tables.bins(), mode, stw.data());
                }
                s = fft(s, -1.0f);
                for (int j = 0; j < h; ++j) {
                    frames[f * n + 2 * j] = s[j].x * p.window_values[2 * j];
                    frames[f * n + 2 * j + 1] = s[j].y * p.window_values[2 * j + 1];
                }
            }
            for (int64_t t = 0; t < L; ++t) {
                out[b * L + t] = gc::ola_gather_value(frames.data(), t, L, int(n), p.hop_length, p.pad(), F, reflect);
            }
        }
        return out;
    }
};

}  // namespace

TEST_CASE("GPU mel forward and backward arithmetic match the CPU engine in every mode, silence included") {
    struct Setup {
        int n_fft, n_mels;
        bool center;
        ops::PadMode pad;
        ops::MelScale scale;
    };
    const Setup setups[] = {
        {512, 40, true, ops::PadMode::reflect, ops::MelScale::slaney},
        {400, 64, true, ops::PadMode::constant, ops::MelScale::htk},  // half 200: the batched-FFT path's bands
        {96, 8, false, ops::PadMode::constant, ops::MelScale::slaney},
    };
    for (const Setup& c : setups) {
        ops::MelOptions o;
        o.frame = ops::FrameOptions{c.n_fft, c.n_fft / 4, c.n_fft, {}, c.center, c.pad};
        o.sr = 16000, o.n_mels = c.n_mels, o.fmax = 8000, o.mel_scale = c.scale;
        const ops::MelParams<float> p(o);
        const MelEmulation gpu(p);
        CHECK(gpu.tables.two_bands_per_bin);
        const int64_t B = 2, L = 3 * c.n_fft + 17, F = p.n_frames(L);
        Reals x = random_values(B * L, 3);
        std::fill(x.begin() + L, x.end(), 0.0f);  // the second row is silent: -100 dB everywhere
        for (int mode = gc::kModeMagnitude; mode <= gc::kModeDb; ++mode) {
            const auto m = static_cast<ops::OutputMode>(mode);
            const std::string what = "n_fft " + std::to_string(c.n_fft) + " mode " + std::to_string(mode);
            Reals want(B * c.n_mels * F), want_grad(B * L);
            ops::mel_forward(p, x.data(), B, L, m, want.data());
            const Reals got = gpu.forward(x, B, L, mode);
            check_close(got, want, kForwardTol, what + " forward");
            if (mode == gc::kModeDb) CHECK(std::all_of(got.begin() + c.n_mels * F, got.end(), [](float v) { return v == -100.0f; }));
            const Reals grad = random_values(want.size(), 11 + mode);
            ops::mel_backward(p, grad.data(), x.data(), B, L, m, want_grad.data());
            check_close(gpu.backward(grad, x, B, L, mode), want_grad, kBackwardTol, what + " backward");
        }
    }
}

QTEST_MAIN
