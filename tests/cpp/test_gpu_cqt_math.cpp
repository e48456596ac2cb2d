// The GPU CQT and chroma kernels' per-block bodies, run on the host thread by thread, against the CPU engines.
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
using gpu_emulation::check_close;
using gpu_emulation::random_values;
using Spectrum = std::vector<float2>;

// A CQT engine's rows as the GPU kernels compute them from its tables t: the forward output ((re, im) pairs in
// complex mode) and the signal gradient for `grad`, with F the CPU engine's frame count.
void emulate(const gc::CqtTables& t, const Reals& x, const Reals& grad, int64_t B, int64_t L,
             int64_t F, int mode, Reals& out, Reals& grad_x) {
    using namespace gc;
    const int64_t K = t.n_bins, w = mode == kModeComplex ? 2 : 1;
    const auto len = level_lengths(L, t.deepest);
    const HalfbandView hb = t.halfband_view();
    out.assign(B * K * F * w, 0.0f), grad_x.assign(B * L, 0.0f);
    for (int64_t b = 0; b < B; ++b) {
        std::vector<Reals> level{Reals(x.begin() + b * L, x.begin() + (b + 1) * L)}, gl;
        for (std::size_t l = 1; l < len.size(); ++l) {
            level.emplace_back(len[l]);
            for (int64_t i = 0; i < len[l]; ++i) level[l][i] = halfband_value(&level[l - 1][0], len[l - 1], i, hb);
        }
        for (int64_t n : len) gl.emplace_back(n, 0.0f);
        for (const auto& o : t.octaves) {
            const int h = o.half, n = 2 * h, T = o.threads;
            const float2* stw = t.twiddles.data() + o.twiddle_offset + h;  // FFT_h twiddles before them
            const Spectrum tw(stw - h, stw);
            auto fft = [&](Spectrum s, float sign) { return gpu_emulation::shared_schedule(s, tw, sign, false, T); };
            const Reals& lv = level[o.level];
            const SparseRowsView kernel = t.kernel(o);
            Reals frames(F * n);
            Spectrum gC(o.n_filters);
            for (int64_t f = 0; f < F; ++f) {
                Spectrum s(h);
                for (int j = 0; j < h; ++j) s[j] = cqt_packed_pair(&lv[0], lv.size(), f * o.hop - h, j);
                s = fft(s, 1.0f);
                const int64_t at = ((b * K + o.bin_offset) * F + f) * w;
                for (int tid = 0; tid < T; ++tid) {
                    cqt_frame_values(&s[0], &out[at], F, h, stw, kernel, o.n_filters, mode, tid, T);
                    cqt_filter_gradients(&grad[at], F, &gC[0], &s[0], h, stw, kernel, o.n_filters, mode, tid, T);
                }
                for (int k = 0; k <= h / 2; ++k) cqt_bwd_pair(s.data(), k, h, gC.data(), t.adjoint(o), stw);
                s = fft(s, -1.0f);
                for (int j = 0; j < h; ++j) frames[f * n + 2 * j] = s[j].x, frames[f * n + 2 * j + 1] = s[j].y;
            }
            for (int64_t i = 0; i < len[o.level]; ++i) {
                gl[o.level][i] += ola_gather_value(frames.data(), i, len[o.level], n, o.hop, h, F, false);
            }
        }
        for (std::size_t l = len.size() - 1; l >= 1; --l) {  // the transposed decimation, deepest level first
            for (int64_t i = 0; i < len[l - 1]; ++i) {
                gl[l - 1][i] += halfband_adjoint_value(&gl[l][0], len[l], i, hb);
            }
        }
        std::copy(gl[0].begin(), gl[0].end(), grad_x.begin() + b * L);
    }
}

}  // namespace

TEST_CASE("GPU CQT decimation, octave rows and their adjoints match the CPU engine in every mode") {
    // Seven octaves on seven levels; variable Q, early decimation, a short lowest octave; an odd hop (one octave).
    for (const ops::CqtConfig& c : {ops::CqtConfig{22050, 512, 32.70319566257483, 84, 12},
                                    ops::CqtConfig{16000, 256, 100.0, 40, 12, 1.0, 0.01, 20.0},
                                    ops::CqtConfig{22050, 255, 500.0, 24, 24}}) {
        const ops::CqtEngine<float> cpu(c);
        const gc::CqtTables t = gc::cqt_tables(cpu).value();
        const int64_t B = 2, L = 6 * c.hop_length + 37, F = cpu.n_frames(L);
        const Reals x = random_values(B * L, 5);
        for (int mode = gc::kModeComplex; mode <= gc::kModeDb; ++mode) {
            Reals want(B * c.n_bins * F * (mode == gc::kModeComplex ? 2 : 1)), want_grad(B * L), out, grad_x;
            const Reals grad = random_values(want.size(), 11 + mode);
            cpu.forward(x.data(), B, L, ops::OutputMode(mode), want.data());
            cpu.backward(grad.data(), x.data(), B, L, ops::OutputMode(mode), want_grad.data());
            emulate(t, x, grad, B, L, F, mode, out, grad_x);
            const std::string what = "hop " + std::to_string(c.hop_length) + " mode " + std::to_string(mode);
            check_close(out, want, 2e-5, what + " forward");
            check_close(grad_x, want_grad, 5e-5, what + " backward");
        }
    }
}

TEST_CASE("GPU chroma fold and its adjoint match the CPU engine, the maximum's gradient and silent frames included") {
    const ops::ChromaEngine<float> cpu(22050, 512, 36, 6, 12, 65.40639132514966);  // three bins a class
    const gc::CqtTables t = gc::cqt_tables(cpu.cqt()).value();
    const int64_t B = 2, L = 9000, F = cpu.n_frames(L), K = cpu.cqt().n_bins(), n_chroma = cpu.n_chroma();
    Reals x = random_values(B * L, 7), mag, gx, unused;
    std::fill(x.begin() + L, x.end(), 0.0f);  // a silent row: the normaliser's floor, no gradient
    for (int64_t i = 0; i < L / 2; ++i) x[i] += 4.0f * std::sin(0.0745525f * i);  // C4 first: class 0 the maximum
    emulate(t, x, Reals(B * K * F), B, L, F, gc::kModeMagnitude, mag, unused);
    Reals out(B * n_chroma * F), want(out.size()), gmag(mag.size()), want_gx(B * L);
    const Reals g = random_values(out.size(), 9);
    const int32_t* map = cpu.chroma_of_bin().data();
    for (int64_t b = 0; b < B; ++b) {
        for (int64_t f = 0; f < F; ++f) {
            const int64_t r = b * K * F, c = b * n_chroma * F;
            gc::chroma_fold_value(&mag[r], &out[c], F, f, map, K, n_chroma);
            gc::chroma_fold_adjoint_value(&mag[r], &g[c], &gmag[r], F, f, map, K, n_chroma);
        }
    }
    emulate(t, x, gmag, B, L, F, gc::kModeMagnitude, unused, gx);
    cpu.forward(x.data(), B, L, want.data());
    cpu.backward(g.data(), x.data(), B, L, want_gx.data());
    check_close(out, want, 2e-5, "chroma forward");
    check_close(gx, want_gx, 5e-5, "chroma backward");
    const auto zero = [](float v) { return v == 0.0f; };
    CHECK(std::all_of(out.begin() + n_chroma * F, out.end(), zero) && std::all_of(gx.begin() + L, gx.end(), zero));
}

QTEST_MAIN
