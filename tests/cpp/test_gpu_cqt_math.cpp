// The GPU CQT and chroma kernels' per-block bodies run on the host, each
// thread of a block in turn between barriers, with the octave FFTs done by
// the kernels' own Stockham passes, and checked against the CPU engines,
// forward and backward, for every output mode.
#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "gpu/cuda_cqt_math.cuh"
#include "gpu_emulation.hpp"
#include "ops/chroma.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using Reals = std::vector<float>;
using Spectrum = std::vector<float2>;

void check_close(const Reals& got, const Reals& want, double tol, const std::string& what) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) num += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
    for (float w : want) den += double(w) * w;
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

// One CQT engine's rows as the GPU kernels compute them.
struct CqtEmulation {
    const ops::CqtEngine<float>& cpu;
    gc::CqtTables t;

    Spectrum fft(const gc::CqtOctavePlan& o, Spectrum s, float sign) const {
        const Spectrum tw(t.twiddles.begin() + o.twiddle_offset, t.twiddles.begin() + o.twiddle_offset + o.half);
        return gpu_emulation::shared_schedule(s, tw, sign, false, o.threads);
    }
    const float2* stw(const gc::CqtOctavePlan& o) const { return t.twiddles.data() + o.twiddle_offset + o.half; }

    std::vector<Reals> pyramid(const float* row, int64_t L) const {
        const auto len = gc::level_lengths(L, t.deepest);
        std::vector<Reals> levels{Reals(row, row + L)};
        for (std::size_t l = 1; l < len.size(); ++l) {
            levels.emplace_back(len[l]);
            for (int64_t i = 0; i < len[l]; ++i) levels[l][i] = gc::halfband_value(levels[l - 1].data(), len[l - 1], i, t.halfband_view());
        }
        return levels;
    }

    Spectrum frame_spectrum(const gc::CqtOctavePlan& o, const Reals& level, int64_t f) const {
        Spectrum s(o.half);
        for (int j = 0; j < o.half; ++j) s[j] = gc::cqt_packed_pair(level.data(), level.size(), f * o.hop - o.half, j);
        return fft(o, s, 1.0f);
    }

    // Output of one row, (re, im) pairs in complex mode.
    Reals forward(const Reals& x, int64_t B, int64_t L, int mode) const {
        const int64_t F = cpu.n_frames(L), K = t.n_bins, w = mode == gc::kModeComplex ? 2 : 1;
        Reals out(B * K * F * w);
        for (int64_t b = 0; b < B; ++b) {
            const auto levels = pyramid(x.data() + b * L, L);
            for (const auto& o : t.octaves) {
                for (int64_t f = 0; f < F; ++f) {
                    const Spectrum Z = frame_spectrum(o, levels[o.level], f);
                    float* dst = out.data() + ((b * K + o.bin_offset) * F + f) * w;
                    for (int tid = 0; tid < o.threads; ++tid) {
                        gc::cqt_frame_values(Z.data(), dst, F, o.half, stw(o), t.kernel(o), o.n_filters, mode, tid, o.threads);
                    }
                }
            }
        }
        return out;
    }

    Reals backward(const Reals& grad, const Reals& x, int64_t B, int64_t L, int mode) const {
        const int64_t F = cpu.n_frames(L), K = t.n_bins, w = mode == gc::kModeComplex ? 2 : 1;
        const auto len = gc::level_lengths(L, t.deepest);
        Reals out(B * L);
        for (int64_t b = 0; b < B; ++b) {
            const auto levels = pyramid(x.data() + b * L, L);
            std::vector<Reals> glevel;
            for (int64_t n : len) glevel.emplace_back(n, 0.0f);
            for (const auto& o : t.octaves) {
                const int n = 2 * o.half;
                Reals frames(F * n);
                Spectrum gC(o.n_filters);
                for (int64_t f = 0; f < F; ++f) {
                    Spectrum s = mode == gc::kModeComplex ? Spectrum(o.half) : frame_spectrum(o, levels[o.level], f);
                    const float* g = grad.data() + ((b * K + o.bin_offset) * F + f) * w;
                    for (int tid = 0; tid < o.threads; ++tid) {
                        gc::cqt_filter_gradients(g, F, gC.data(), s.data(), o.half, stw(o), t.kernel(o), o.n_filters, mode, tid, o.threads);
                    }
                    for (int k = 0; k <= o.half / 2; ++k) gc::cqt_bwd_pair(s.data(), k, o.half, gC.data(), t.adjoint(o), stw(o));
                    s = fft(o, s, -1.0f);
                    for (int j = 0; j < o.half; ++j) frames[f * n + 2 * j] = s[j].x, frames[f * n + 2 * j + 1] = s[j].y;
                }
                for (int64_t i = 0; i < len[o.level]; ++i) {
                    glevel[o.level][i] += gc::ola_gather_value(frames.data(), i, len[o.level], n, o.hop, o.half, F, false);
                }
            }
            for (std::size_t l = len.size() - 1; l >= 1; --l) {
                for (int64_t i = 0; i < len[l - 1]; ++i) glevel[l - 1][i] += gc::halfband_adjoint_value(glevel[l].data(), len[l], i, t.halfband_view());
            }
            std::copy(glevel[0].begin(), glevel[0].end(), out.begin() + b * L);
        }
        return out;
    }
};

gc::CqtTables tables_of(const ops::CqtEngine<float>& e) {
    ops::CqtGpuPlan<float> plan;
    CHECK(e.export_gpu_plan(2048, plan));
    return gc::CqtTables(plan);
}

}  // namespace

TEST_CASE("GPU CQT decimation, octave rows and their adjoints match the CPU engine in every mode") {
    struct Setup { double sr; int hop; double fmin; int n_bins, bpo; double gamma; };
    const Setup setups[] = {
        {22050, 512, 32.70319566257483, 84, 12, 0.0},  // seven octaves, each on its own level
        {16000, 256, 100.0, 40, 12, 20.0},             // variable Q, early decimation, a short lowest octave
        {22050, 255, 500.0, 24, 24, 0.0},              // odd hop: one octave at the full rate
    };
    for (const Setup& c : setups) {
        const ops::CqtEngine<float> cpu(ops::CqtConfig{c.sr, c.hop, c.fmin, c.n_bins, c.bpo, 1.0, 0.01, c.gamma});
        const CqtEmulation gpu{cpu, tables_of(cpu)};
        const int64_t B = 2, L = 6 * c.hop + 37, F = cpu.n_frames(L);
        const Reals x = random_values(B * L, 5);
        Reals dec((L + 1) / 2), want_dec(dec.size()), gx(L), want_gx(L, 0.0f);
        cpu.decimate(x.data(), L, want_dec.data());
        cpu.decimate_adjoint(want_dec.data(), L, want_gx.data());
        for (int64_t i = 0; i < L; ++i) {
            if (i < int64_t(dec.size())) dec[i] = gc::halfband_value(x.data(), L, i, gpu.t.halfband_view());
            gx[i] = gc::halfband_adjoint_value(want_dec.data(), want_dec.size(), i, gpu.t.halfband_view());
        }
        check_close(dec, want_dec, 1e-6, "decimation");
        check_close(gx, want_gx, 1e-6, "decimation adjoint");
        for (int mode = gc::kModeComplex; mode <= gc::kModeDb; ++mode) {
            const auto m = static_cast<ops::OutputMode>(mode);
            const std::string what = "hop " + std::to_string(c.hop) + " mode " + std::to_string(mode);
            Reals want(B * c.n_bins * F * (mode == gc::kModeComplex ? 2 : 1)), want_grad(B * L);
            cpu.forward(x.data(), B, L, m, want.data());
            check_close(gpu.forward(x, B, L, mode), want, 2e-5, what + " forward");
            const Reals grad = random_values(want.size(), 11 + mode);
            cpu.backward(grad.data(), x.data(), B, L, m, want_grad.data());
            check_close(gpu.backward(grad, x, B, L, mode), want_grad, 5e-5, what + " backward");
        }
    }
}

TEST_CASE("GPU chroma fold and its adjoint match the CPU engine, the maximum's gradient and silent frames included") {
    for (auto [bpo, n_chroma] : {std::pair{36, 12}, std::pair{24, 24}}) {
        const ops::ChromaEngine<float> cpu(22050, 512, bpo, 6, n_chroma, 65.40639132514966);
        const CqtEmulation gpu{cpu.cqt(), tables_of(cpu.cqt())};
        const int64_t B = 2, L = 9000, F = cpu.n_frames(L), K = cpu.cqt().n_bins();
        Reals x = random_values(B * L, 7);
        std::fill(x.begin() + L, x.end(), 0.0f);  // a silent row: the normaliser's floor, no gradient
        const Reals mag = gpu.forward(x, B, L, gc::kModeMagnitude);
        Reals out(B * n_chroma * F), want(out.size()), gmag(mag.size()), want_gx(B * L);
        const Reals g = random_values(out.size(), 9);
        for (int64_t b = 0; b < B; ++b) {
            for (int64_t f = 0; f < F; ++f) {
                gc::chroma_fold_value(mag.data() + b * K * F, out.data() + b * n_chroma * F, F, f, cpu.chroma_of_bin().data(), K, n_chroma);
                gc::chroma_fold_adjoint_value(mag.data() + b * K * F, g.data() + b * n_chroma * F, gmag.data() + b * K * F, F, f,
                                              cpu.chroma_of_bin().data(), K, n_chroma);
            }
        }
        cpu.forward(x.data(), B, L, want.data());
        check_close(out, want, 2e-5, "chroma forward");
        CHECK(std::all_of(out.begin() + n_chroma * F, out.end(), [](float v) { return v == 0.0f; }));
        cpu.backward(g.data(), x.data(), B, L, want_gx.data());
        const Reals gx = gpu.backward(gmag, x, B, L, gc::kModeMagnitude);
        check_close(gx, want_gx, 5e-5, "chroma backward");
        CHECK(std::all_of(gx.begin() + L, gx.end(), [](float v) { return v == 0.0f; }));
    }
}

QTEST_MAIN
