#include "fft/packed_real.hpp"

#include <cmath>

#include "runtime/vector_clones.hpp"

namespace qorva::dsp::fft {

namespace {

// W^k = exp(-2 pi i k / n) for k <= n/4, each part twice in a row (re, re
// at real[2k], im, im at imag[2k]) so that vectors load them as they pair
// with interleaved values: the table packed_real_twiddles(n) makes.
struct Twiddles {
    const float* real;
    const float* imag;

    Twiddles(const float* table, int32_t half) : real(table), imag(table + 2 * (half / 2 + 1)) {}
};

// One pair of bins k and j = half - k.  These scalar forms are the
// definition; the vector forms below hold `Bins` complex values (re, im
// interleaved) of bins k .. k + Bins - 1 and of their partners j in reversed
// order, so that lane l of both belongs to one pair, and each lane does the
// scalar operations in the scalar order: a pass gives the same bits at every
// width.
//
// The half-length spectrum Z at k and j to the real spectrum X there:
// E = (Z_k + conj Z_j)/2, D = (Z_k - conj Z_j)/2, P = -i W^k D,
// X_k = E + P, X_j = conj(E - P).
[[gnu::always_inline]] inline void untangle(const float* zk, const float* zj, float wr, float wi, float* xk,
                                            float* xj) {
    const float er = 0.5f * (zk[0] + zj[0]), ei = 0.5f * (zk[1] - zj[1]);
    const float dr = 0.5f * (zk[0] - zj[0]), di = 0.5f * (zk[1] + zj[1]);
    const float qr = wr * dr - wi * di, qi = wr * di + wi * dr;  // W^k D
    const float pr = qi, pi = -qr;
    xk[0] = er + pr, xk[1] = ei + pi;
    xj[0] = er - pr, xj[1] = -(ei - pi);
}

// The reverse, scaled by 2: E = X_k + conj X_j, D = X_k - conj X_j,
// P = i conj(W^k) D, Z_k = E + P, Z_j = conj(E - P).
[[gnu::always_inline]] inline void tangle(const float* xk, const float* xj, float wr, float wi, float* zk, float* zj) {
    const float er = xk[0] + xj[0], ei = xk[1] - xj[1];
    const float dr = xk[0] - xj[0], di = xk[1] + xj[1];
    const float qr = wr * dr + wi * di, qi = wr * di - wi * dr;  // conj(W^k) D
    const float pr = -qi, pi = qr;
    zk[0] = er + pr, zk[1] = ei + pi;
    zj[0] = er - pr, zj[1] = -(ei - pi);
}

#if defined(__GNUC__) && !defined(__clang__)
#define QORVA_PACKED_VECTORS 1

typedef float EightBins __attribute__((vector_size(64)));
typedef int32_t EightBinsIndex __attribute__((vector_size(64)));
typedef float FourBins __attribute__((vector_size(32)));
typedef int32_t FourBinsIndex __attribute__((vector_size(32)));
typedef float TwoBins __attribute__((vector_size(16)));
typedef int32_t TwoBinsIndex __attribute__((vector_size(16)));

template <int Bins>
struct LaneTypes;
template <>
struct LaneTypes<8> {
    using Values = EightBins;
    using Index = EightBinsIndex;
};
template <>
struct LaneTypes<4> {
    using Values = FourBins;
    using Index = FourBinsIndex;
};
template <>
struct LaneTypes<2> {
    using Values = TwoBins;
    using Index = TwoBinsIndex;
};

// The index and sign patterns of a width.  Vectors go by reference, never by
// value, so that no clone's calling convention depends on their width.
template <int Bins>
struct Lanes {
    using V = typename LaneTypes<Bins>::Values;
    using I = typename LaneTypes<Bins>::Index;
    I reverse, swap;
    V conj;  // (1, -1) per complex value

    [[gnu::always_inline]] Lanes() {
        for (int32_t l = 0; l < 2 * Bins; ++l) {
            reverse[l] = 2 * (Bins - 1 - l / 2) + (l & 1);
            swap[l] = l ^ 1;
            conj[l] = (l & 1) != 0 ? -1.0f : 1.0f;
        }
    }

    [[gnu::always_inline]] void load(V& v, const float* p) const { __builtin_memcpy(&v, p, sizeof v); }
    [[gnu::always_inline]] void store(float* p, const V& v) const { __builtin_memcpy(p, &v, sizeof v); }
    // The Bins complex values ending at p (p points at the first), last first.
    [[gnu::always_inline]] void load_reversed(V& v, const float* p) const {
        V raw;
        load(raw, p);
        v = __builtin_shuffle(raw, reverse);
    }
    [[gnu::always_inline]] void store_reversed(float* p, const V& v) const {
        const V raw = __builtin_shuffle(v, reverse);
        store(p, raw);
    }
    // The twiddles of bins k .. k + Bins - 1, each in both lanes of its bin.
    [[gnu::always_inline]] void load_twiddles(V& wr, V& wi, const Twiddles& tw, int32_t k) const {
        load(wr, tw.real + 2 * k);
        load(wi, tw.imag + 2 * k);
    }

    [[gnu::always_inline]] void untangle(const V& zk, const V& zj, const V& wr, const V& wi, V& xk, V& xj) const {
        const V cj = zj * conj;
        const V e = 0.5f * (zk + cj), d = 0.5f * (zk - cj);
        const V q = wr * d - (wi * __builtin_shuffle(d, swap)) * conj;  // (wr dr - wi di, wr di + wi dr)
        const V p = __builtin_shuffle(q, swap) * conj;                   // (qi, -qr)
        xk = e + p;
        xj = (e - p) * conj;
    }

    [[gnu::always_inline]] void tangle(const V& xk, const V& xj, const V& wr, const V& wi, V& zk, V& zj) const {
        const V cj = xj * conj;
        const V e = xk + cj, d = xk - cj;
        const V q = wr * d + (wi * __builtin_shuffle(d, swap)) * conj;  // (wr dr + wi di, wr di - wi dr)
        const V p = __builtin_shuffle(q, swap) * (-conj);               // (-qi, qr)
        zk = e + p;
        zj = (e - p) * conj;
    }
};
#endif

// Bins k and half - k are worked out together, in place: `Bins` pairs a
// vector step while the two runs stay apart, then one pair at a time.
template <bool forward, int Bins>
[[gnu::always_inline]] inline int32_t vector_pairs(float* X, const Twiddles& tw, int32_t half) {
    int32_t k = 1;
#ifdef QORVA_PACKED_VECTORS
    const Lanes<Bins> lanes;
    typename Lanes<Bins>::V a, b, wr, wi, x, y;
    for (; 2 * (k + Bins - 1) < half; k += Bins) {
        float* pb = X + 2 * (half - k - Bins + 1);
        lanes.load(a, X + 2 * k);
        lanes.load_reversed(b, pb);
        lanes.load_twiddles(wr, wi, tw, k);
        if constexpr (forward) {
            lanes.untangle(a, b, wr, wi, x, y);
        } else {
            lanes.tangle(a, b, wr, wi, x, y);
        }
        lanes.store(X + 2 * k, x);
        lanes.store_reversed(pb, y);
    }
#endif
    return k;
}

// Every pair, `lane_bins` at a time (8, 4, 2, or 0 for the scalar loop alone),
// then the middle bin, which pairs with itself: X = conj(Z) forward,
// Z = 2 conj(X) back.
template <bool forward>
[[gnu::always_inline]] inline void pair_pass(float* X, const Twiddles& tw, int32_t half, int32_t lane_bins) {
    int32_t k = 1;
    if (lane_bins == 8) k = vector_pairs<forward, 8>(X, tw, half);
    if (lane_bins == 4) k = vector_pairs<forward, 4>(X, tw, half);
    if (lane_bins == 2) k = vector_pairs<forward, 2>(X, tw, half);
    for (; 2 * k < half; ++k) {
        float* a = X + 2 * k;
        float* b = X + 2 * (half - k);
        const float pair[4] = {a[0], a[1], b[0], b[1]};
        if constexpr (forward) {
            untangle(pair, pair + 2, tw.real[2 * k], tw.imag[2 * k], a, b);
        } else {
            tangle(pair, pair + 2, tw.real[2 * k], tw.imag[2 * k], a, b);
        }
    }
    if (half % 2 == 0) {
        float* m = X + half;
        if constexpr (forward) {
            m[1] = -m[1];
        } else {
            m[0] = 2.0f * m[0], m[1] = -2.0f * m[1];
        }
    }
}

QORVA_VECTOR_CLONES void forward_pass(float* X, const float* table, int32_t half, int32_t lane_bins) {
    const float z0r = X[0], z0i = X[1];
    pair_pass<true>(X, Twiddles(table, half), half, lane_bins);
    X[0] = z0r + z0i, X[1] = 0.0f;
    X[2 * half] = z0r - z0i, X[2 * half + 1] = 0.0f;
}

QORVA_VECTOR_CLONES void inverse_pass(float* X, const float* table, int32_t half, int32_t lane_bins) {
    const float x0 = X[0], xh = X[2 * half];
    pair_pass<false>(X, Twiddles(table, half), half, lane_bins);
    X[0] = x0 + xh, X[1] = x0 - xh;
}

// The widest vector the running code fills with single instructions: eight
// complex values in an AVX-512 register, four in an AVX one, two in SSE or
// NEON.  With clones, the one the loader picked has the widest registers the
// processor has.
int32_t packed_lane_bins() {
#if defined(QORVA_HAS_VECTOR_CLONES)
    static const int32_t bins = [] {
        __builtin_cpu_init();  // may run among the library's static initialisers
        if (__builtin_cpu_supports("x86-64-v4")) return 8;
        return __builtin_cpu_supports("x86-64-v3") ? 4 : 2;
    }();
    return bins;
#elif defined(__AVX512F__)
    return 8;
#elif defined(__AVX2__)
    return 4;
#else
    return 2;
#endif
}

}  // namespace

std::vector<float> packed_real_twiddles(int32_t n) {
    const int32_t half = n / 2, count = half / 2 + 1;
    std::vector<float> table(4 * static_cast<std::size_t>(count));
    float* re = table.data();
    float* im = re + 2 * count;
    for (int32_t k = 0; k < count; ++k) {
        const double angle = 2.0 * M_PI * k / n;
        re[2 * k] = re[2 * k + 1] = static_cast<float>(std::cos(angle));
        im[2 * k] = im[2 * k + 1] = static_cast<float>(-std::sin(angle));
    }
    return table;
}

void real_spectrum_from_packed(float* X, const float* twiddles, int32_t half, int32_t lane_bins) {
    forward_pass(X, twiddles, half, lane_bins < 0 ? packed_lane_bins() : lane_bins);
}

void packed_from_real_spectrum(float* X, const float* twiddles, int32_t half, int32_t lane_bins) {
    inverse_pass(X, twiddles, half, lane_bins < 0 ? packed_lane_bins() : lane_bins);
}

}  // namespace qorva::dsp::fft
