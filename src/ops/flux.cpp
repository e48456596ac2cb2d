#include "ops/flux.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "ops/frame_kernels.hpp"

namespace qorva::dsp::ops {

using fft::AlignedBuffer;

namespace {

// One frame's spectrum and magnitudes, kept apart from the transform's own
// buffers so that neighbouring frames can be held at once.
template <typename T>
struct Spectrum {
    explicit Spectrum(int32_t K) : re(K), im(K), mag(K) {}
    AlignedBuffer<T> re, im, mag;
};

// Takes over the spectrum just computed in s (swapping buffers, not copying)
// and forms its magnitudes.
template <typename T>
void take_spectrum(FrameScratch<T>& s, Spectrum<T>& out) {
    std::swap(s.re, out.re);
    std::swap(s.im, out.im);
    vec::split_magnitude(out.re.data(), out.im.data(), out.mag.data(), static_cast<int64_t>(out.mag.size()));
}

// A task's scratch: the transform and the spectra of up to three neighbouring
// frames, each with the (row, frame) item b * F + f it holds (-1: none).
template <typename T>
struct FluxTask : AdjointScratch<T> {
    explicit FluxTask(int32_t n_fft)
        : AdjointScratch<T>(n_fft), prev(n_fft / 2 + 1), cur(n_fft / 2 + 1), next(n_fft / 2 + 1) {}
    Spectrum<T> prev, cur, next;
    int64_t prev_f = -1, cur_f = -1, next_f = -1;
    // The rectified energy of flux[energy_f] (item b * F + t), which the
    // backward needs at frames t - 1 and t: computed once.
    double energy = 0.0;
    int64_t energy_f = -1;

    // Frame f of row b transformed into `into`.
    void load(const FramedRows<T>& in, int64_t b, int64_t f, Spectrum<T>& into) {
        in.spectrum(b, f, *this);
        take_spectrum(*this, into);
    }

    // Makes cur hold frame t of row b, shifting the window when the previous
    // step already transformed it as "next".
    void advance_to(const FramedRows<T>& in, int64_t b, int64_t t) {
        const int64_t q = b * in.F + t;
        if (cur_f == q - 1 && next_f == q) {
            std::swap(prev, cur);
            std::swap(cur, next);
            prev_f = q - 1;
            cur_f = q;
            next_f = -1;
        }
        if (cur_f != q) {
            load(in, b, t, cur);
            cur_f = q;
        }
    }
};

constexpr double kFluxFloor = 1e-12;  // sum of squares below it passes no gradient

}  // namespace

template <typename T>
FluxEngine<T>::FluxEngine(const FrameOptions& options) : p_(options) {}

// Each task walks consecutive frames and keeps the previous frame's
// magnitudes, so a frame is transformed once per task rather than once as
// "current" and again as "previous"; only the first frame of a task is
// transformed twice.  The values are the same as transforming every pair
// afresh (the transform is deterministic), and frames still split freely
// over tasks.
template <typename T>
void FluxEngine<T>::forward(const T* x, int64_t B, int64_t L, T* out) const {
    const FramedRows<T> in = framed_rows(p_, p_.window_values.data(), x, B, L);
    const int32_t K = p_.n_bins();
    auto value = [&](FluxTask<T>& s, int64_t b, int64_t t, T* v) {
        in.spectrum(b, t, s);
        take_spectrum(s, s.cur);
        if (t == 0) {
            v[0] = T(0);
        } else {
            if (s.prev_f != b * in.F + t - 1) s.load(in, b, t - 1, s.prev);
            v[0] = static_cast<T>(std::sqrt(vec::rectified_energy(s.cur.mag.data(), s.prev.mag.data(), K)));
        }
        std::swap(s.prev, s.cur);
        s.prev_f = b * in.F + t;
    };
    framed_forward<FluxTask<T>>(in, 1, out, value);
}

// Frame t's magnitudes enter flux[t] (against t - 1) and flux[t + 1]
// (against t + 1).  A task keeps the spectra of t - 1, t and t + 1 as it
// walks its frames, so every frame is transformed about once.
template <typename T>
void FluxEngine<T>::backward(const T* grad, const T* x, int64_t B, int64_t L, T* grad_x) const {
    const FramedRows<T> in = framed_rows(p_, p_.window_values.data(), x, B, L);
    const int64_t F = in.F;
    const int32_t K = p_.n_bins();
    // g / sqrt(S) of flux[item] (row b, frame t: item b * F + t) from the
    // spectra of frames t - 1 and t, or 0 where the flux passes no gradient.
    auto weight = [&](FluxTask<T>& s, const Spectrum<T>& later, const Spectrum<T>& earlier, int64_t item, T g) {
        if (g == T(0)) return T(0);
        if (s.energy_f != item) {
            s.energy = vec::rectified_energy(later.mag.data(), earlier.mag.data(), K);
            s.energy_f = item;
        }
        const double S = s.energy;
        return S > kFluxFloor ? static_cast<T>(1.0 / std::sqrt(S)) * g : T(0);
    };
    auto adjoint = [&](FluxTask<T>& s, int64_t b, int64_t t, T*) -> const T* {
        const T* g = grad + b * F;
        const int64_t q = b * F + t;
        s.advance_to(in, b, t);
        T w_prev = T(0), w_next = T(0);  // of flux[t] and flux[t + 1]
        if (t >= 1 && g[t] != T(0)) {
            if (s.prev_f != q - 1) {
                s.load(in, b, t - 1, s.prev);
                s.prev_f = q - 1;
            }
            w_prev = weight(s, s.cur, s.prev, q, g[t]);
        }
        if (t + 1 < F) {
            // Also the next frame's "current" spectrum: always computed.
            s.load(in, b, t + 1, s.next);
            s.next_f = q + 1;
            w_next = weight(s, s.next, s.cur, q + 1, g[t + 1]);
        }
        if (w_prev == T(0) && w_next == T(0)) {
            std::fill(s.signal.data(), s.signal.data() + p_.n_fft, T(0));
            return s.signal.data();
        }
        vec::flux_rise_gradient(s.cur.mag.data(), s.prev.mag.data(), s.next.mag.data(), s.cur.re.data(),
                                s.cur.im.data(), w_prev, w_next, s.dre.data(), s.dim.data(), K);
        return spectrum_adjoint(s, s.dre.data(), s.dim.data());
    };
    framed_backward<FluxTask<T>>(in, grad, 1, FrameLayout::bin_major, grad_x, adjoint);
}

template class FluxEngine<float>;
template class FluxEngine<double>;

}  // namespace qorva::dsp::ops
