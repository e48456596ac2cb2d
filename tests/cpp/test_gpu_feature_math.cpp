// The GPU feature kernels' per-frame bodies on the host (reductions in the kernels' tree order, the kernels' own
// FFT passes) against the CPU engines; onset and tempogram stages take the CPU's mel power and envelope.
#include <random>

#include "check.hpp"
#include "gpu/cuda_feature_math.cuh"
#include "gpu_emulation.hpp"
#include "ops/flux.hpp"
#include "ops/rms.hpp"
#include "ops/tempogram.hpp"

namespace {

namespace gc = qorva::dsp::gpu::cuda;
namespace ops = qorva::dsp::ops;
using Reals = std::vector<float>;
using gpu_emulation::check_close;
using gpu_emulation::random_values;
using Spectrum = std::vector<float2>;

constexpr double kTol = 1e-5, kMomentsTol = 2e-5;  // relative L2 distance from the CPU engine (float vs double sums)

// A block's reduction of per-thread partials part(tid), in the kernels' order.
template <typename Part, typename Combine>
auto reduce(int threads, Part part, Combine combine) {
    std::vector<decltype(part(0))> v;
    for (int tid = 0; tid < threads; ++tid) v.push_back(part(tid));
    return gc::tree_reduce(v.data(), threads, combine);
}

// Frames of a spectral engine as its kernels see them: packed spectra in, packed inverse-FFT inputs folded out.
struct Frames {
    ops::FrameOptions o; Reals w;
    int h, threads = 1; Spectrum tw, stw;
    explicit Frames(const ops::FrameOptions& options)
        : o(options), w(ops::validate_frame<float>(o)), h(o.n_fft / 2), tw(gpu_emulation::twiddles<float2>(h, h)),
          stw(gpu_emulation::twiddles<float2>(h, 2 * h)) {
        while (threads * 2 <= std::min(h / 2, 256)) threads *= 2;  // the frame plan's power-of-two block
    }
    Spectrum spectrum(const float* row, int64_t L, int64_t f) const {
        Spectrum s(h);
        for (int j = 0; j < h; ++j) s[j] = gc::packed_pair<float, float2>(row, L, f * o.hop_length - o.pad(), j, w.data(), o.pad_mode == ops::PadMode::reflect);
        return gpu_emulation::shared_schedule(s, tw, 1.0f, false, threads);
    }
    void fold(const std::vector<Spectrum>& packed, int64_t L, float* out) const {
        const int64_t F = int64_t(packed.size()), n = 2 * h;
        Reals frames(F * n);
        for (int64_t f = 0; f < F; ++f) {
            const Spectrum s = gpu_emulation::shared_schedule(packed[f], tw, -1.0f, false, threads);
            for (int j = 0; j < n; ++j) frames[f * n + j] = (j % 2 ? s[j / 2].y : s[j / 2].x) * w[j];
        }
        for (int64_t t = 0; t < L; ++t) out[t] = gc::ola_gather_value(frames.data(), t, L, int(n), o.hop_length, o.pad(), F, o.pad_mode == ops::PadMode::reflect);
    }
};

}  // namespace

TEST_CASE("GPU RMS sums and sample gradients match the CPU engine, reflect images and silence included") {
    struct Setup { int32_t len, hop; bool center; ops::PadMode pad; int64_t L; };
    for (const Setup& c : {Setup{64, 16, true, ops::PadMode::reflect, 40}, Setup{50, 7, false, ops::PadMode::constant, 300},
                           Setup{1, 1, true, ops::PadMode::reflect, 9}, Setup{512, 128, true, ops::PadMode::reflect, 2000}}) {
        const ops::RmsEngine<float> cpu(ops::RmsParams{c.len, c.hop, c.center, c.pad});
        const int64_t B = 3, L = c.L, F = cpu.n_frames(L);
        const gc::RParams p{int32_t(L), int32_t(F), c.len, c.hop, int32_t(cpu.pad()), c.pad == ops::PadMode::reflect, 3, 0};
        const Reals x = random_values(3 * L, 7, 2 * L), g = random_values(B * F, 5);
        Reals want(B * F), got(B * F), factor(B * F), want_grad(B * L), got_grad(B * L);
        cpu.forward(x.data(), B, L, want.data()), cpu.backward(g.data(), x.data(), B, L, want_grad.data());
        for (int64_t q = 0; q < B * F; ++q) got[q] = gc::rms_value(gc::rms_frame_sum(x.data() + q / F * L, p, q % F * c.hop - p.pad), c.len);
        for (int64_t q = 0; q < B * F; ++q) factor[q] = gc::rms_factor(g[q], got[q], c.len);
        check_close(got, want, kTol, "rms forward " + std::to_string(c.len));
        for (int64_t q = 0; q < B * L; ++q) got_grad[q] = gc::rms_sample_gradient(factor.data() + q / L * F, x.data() + q / L * L, q % L, p);
        check_close(got_grad, want_grad, kTol, "rms backward " + std::to_string(c.len));
    }
}

TEST_CASE("GPU spectral moments and flux match the CPU engines: every statistic, silence and NaN frames") {
    for (const auto& [n_fft, pad] : {std::pair{128, ops::PadMode::reflect}, std::pair{96, ops::PadMode::constant}}) {
      // Every statistic (a repeat included), then each alone: large statistics would hide faults in a summed gradient.
      for (int code = -1; code < gc::kMomentCodes; ++code) {
        ops::MomentsParams mp;
        static_cast<ops::FrameOptions&>(mp) = ops::FrameOptions{n_fft, n_fft / 4, n_fft, {}, true, pad};
        mp.sr = 16000.0, mp.features = code < 0 ? std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 0} : std::vector<int32_t>{code};
        const Frames fr(mp);
        const ops::MomentsEngine<float> moments(mp); const ops::FluxEngine<float> flux(mp);
        const gc::MomentConsts c = gc::moment_consts(mp);
        const int h = fr.h, T = fr.threads, N = int(mp.features.size());
        for (bool nan : {false, true}) {
            const int64_t B = 3, L = 5 * n_fft + 3, F = moments.n_frames(L);
            const Reals x = random_values(3 * L, 7, 2 * L, nan), g = random_values(B * N * F, 9), gf = random_values(B * F, 4);
            Reals out(B * N * F), want(B * N * F), fx(B * F), fx_want(B * F), grad(B * L), grad_want(B * L), fgrad(B * L), fgrad_want(B * L);
            for (int64_t b = 0; b < B; ++b) {
                std::vector<Spectrum> Z, packed, fpacked;
                std::vector<Reals> mag(F, Reals(h + 1)); Reals weight(F);
                for (int64_t f = 0; f < F; ++f) {
                    Z.push_back(fr.spectrum(x.data() + b * L, L, f));
                    const float2* z = Z[f].data();
                    const gc::MomentSums sums = reduce(T, [&](int t) { return gc::moment_sums(z, h, fr.stw.data(), c, t, T); }, gc::combine_sums);
                    const float3 central = reduce(T, [&](int t) { return gc::central_sums(z, h, fr.stw.data(), c, gc::moment_centroid(sums), t, T); }, gc::combine_central);
                    const gc::MomentStats st = gc::moment_stats(sums, central, c);
                    float gcode[gc::kMomentCodes] = {};
                    for (int e = 0; e < N; ++e) out[(b * N + e) * F + f] = st.value[mp.features[e]], gcode[mp.features[e]] += g[(b * N + e) * F + f];
                    const gc::MomentGrad mg = gc::moment_grad(st, gcode, c);
                    packed.push_back(Z[f]);
                    for (int k = 0; k <= h / 2; ++k) gc::feature_bwd_pair(packed[f].data(), k, h, fr.stw.data(), [&](float2 X, int bin) { return gc::moment_bin_gradient(X, bin, mg, c); });
                    for (int k = 0; k <= h; ++k) mag[f][k] = std::hypot(gc::frame_bin(z, k, h, fr.stw.data()).x, gc::frame_bin(z, k, h, fr.stw.data()).y);
                    const float S = reduce(256, [&](int t) { return gc::flux_sum(mag[f].data(), mag[f > 0 ? f - 1 : 0].data(), h + 1, t, 256); }, gc::AddFloats{});
                    fx[b * F + f] = gc::flux_value(S, f), weight[f] = gc::flux_weight(S, gf[b * F + f], f);
                }
                for (int64_t f = 0; f < F; ++f) {
                    const Reals &a = mag[f], &ap = mag[f > 0 ? f - 1 : f], &an = mag[f + 1 < F ? f + 1 : f];
                    const float wn = f + 1 < F ? weight[f + 1] : 0.0f;
                    fpacked.push_back(Z[f]);
                    for (int k = 0; k <= h / 2; ++k) gc::feature_bwd_pair(fpacked[f].data(), k, h, fr.stw.data(), [&](float2 X, int bin) { return gc::flux_bin_gradient(X, a[bin], ap[bin], an[bin], weight[f], wn); });
                }
                fr.fold(packed, L, grad.data() + b * L), fr.fold(fpacked, L, fgrad.data() + b * L);
            }
            const std::string what = "n_fft " + std::to_string(n_fft) + " code " + std::to_string(code) + (nan ? " NaN" : "");
            moments.forward(x.data(), B, L, want.data()), flux.forward(x.data(), B, L, fx_want.data());
            check_close(out, want, kMomentsTol, what + " moments forward");
            check_close(fx, fx_want, kTol, what + " flux forward");
            if (nan) continue;  // NaN gradients carry no information
            moments.backward(g.data(), x.data(), B, L, grad_want.data()), flux.backward(gf.data(), x.data(), B, L, fgrad_want.data());
            check_close(grad, grad_want, kMomentsTol, what + " moments backward");
            check_close(fgrad, fgrad_want, kTol, what + " flux backward");
        }
      }
    }
}

TEST_CASE("GPU onset and tempogram stages match the CPU engines on the CPU's mel power and envelope") {
    const ops::MelOptions o{ops::FrameOptions{256, 64, 256, {}, true, ops::PadMode::reflect}, 8000, 24, 0, 4000};
    for (int32_t W : {1, 16, 37}) {
        const ops::TempogramEngine<float> tempo(o, W); const ops::OnsetEngine<float>& onset = tempo.onset();
        const int64_t B = 3, L = 4000, F = onset.n_frames(L), M = o.n_mels;
        const gc::TParams tp{int32_t(F), int32_t(B), W};
        const Reals x = random_values(3 * L, 7, 2 * L), g = random_values(B * F, 3), gt = random_values(B * W * F, 8), window = ops::build_window<float>(ops::WindowSpec{}, W, W);
        Reals mel(B * M * F), dpow(B * M * F), env(B * F), want(B * F), grad(B * L), grad_want(B * L), tg(B * W * F), tg_want(B * W * F), seg_grad(F * W), env_grad(B * F);
        ops::mel_forward(onset.params(), x.data(), B, L, ops::OutputMode::power, mel.data());
        auto rise = [&](int64_t q) { return reduce(256, [&](int t) { return gc::onset_sum(mel.data() + q / F * M * F, F, q % F, int(M), t, 256); }, gc::AddFloats{}); };
        for (int64_t q = 0; q < B * F; ++q) env[q] = gc::onset_value(q % F ? rise(q) : 0.0f, q % F, int(M));
        onset.forward(x.data(), B, L, want.data());
        check_close(env, want, kTol, "onset forward");
        for (int64_t e = 0; e < B * M * F; ++e) dpow[e] = gc::onset_power_gradient(g.data() + e / (M * F) * F, mel.data() + e / F * F, e % F, F, int(M));
        ops::mel_backward(onset.params(), dpow.data(), x.data(), B, L, ops::OutputMode::power, grad.data()), onset.backward(g.data(), x.data(), B, L, grad_want.data());
        check_close(grad, grad_want, kTol, "onset backward");
        onset.forward(x.data(), B, L, env.data());  // the tempogram stages on the CPU's envelope
        for (int64_t b = 0; b < B; ++b) {
            for (int64_t t = 0; t < F; ++t) {
                Reals seg(W), G(W);
                for (int i = 0; i < W; ++i) seg[i] = gc::tempo_segment_value(env.data() + b * F, window.data(), t, i, tp), G[i] = gt[(b * W + i) * F + t];
                const float scale = gc::tempo_scale(reduce(256, [&](int tid) { return gc::tempo_energy(seg.data(), W, tid, 256); }, gc::AddFloats{}), tempo.n_fft_ac());
                for (int l = 0; l < W; ++l) tg[(b * W + l) * F + t] = scale * gc::tempo_lag(seg.data(), W, l);
                const float lowered = reduce(256, [&](int tid) { return gc::tempo_lowered(seg.data(), G.data(), scale, W, tid, 256); }, gc::AddFloats{});
                for (int l = 0; l < W; ++l) G[l] = gc::tempo_lag_weight(G[l], l, scale, lowered);
                for (int m = 0; m < W; ++m) seg_grad[t * W + m] = gc::tempo_segment_gradient(seg.data(), G.data(), W, m);
            }
            for (int64_t e = 0; e < F; ++e) env_grad[b * F + e] = gc::tempo_envelope_gradient(seg_grad.data(), window.data(), e, tp);
        }
        tempo.forward(x.data(), B, L, tg_want.data());
        check_close(tg, tg_want, kTol, "tempogram forward W " + std::to_string(W));
        onset.backward(env_grad.data(), x.data(), B, L, grad.data()), tempo.backward(gt.data(), x.data(), B, L, grad_want.data());
        check_close(grad, grad_want, kTol, "tempogram backward W " + std::to_string(W));
    }
}

QTEST_MAIN
