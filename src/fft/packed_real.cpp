#include "fft/packed_real.hpp"

#include <cmath>

#include "runtime/vector_clones.hpp"

namespace qorva::dsp::fft {

namespace {

// Bins k and half - k are worked out together, in place.  `forward` picks
// the pass: E and D from the pair, then P = -i W^k D (forward, E and D
// halved) or P = i conj(W^k) D (inverse), and the pair becomes E + P and
// conj(E - P).  The scalar pair below is the definition; the vector loop
// computes each lane with the same operations in the same order.
template <bool forward>
[[gnu::always_inline]] inline void scalar_pair(float* X, const float* tw, int32_t half, int32_t k) {
    float* a = X + 2 * k;
    float* b = X + 2 * (half - k);
    float er = a[0] + b[0], ei = a[1] - b[1];
    float dr = a[0] - b[0], di = a[1] + b[1];
    if constexpr (forward) {
        er = 0.5f * er, ei = 0.5f * ei, dr = 0.5f * dr, di = 0.5f * di;
    }
    const float wr = tw[2 * k], wi = tw[2 * k + 1];
    float pr, pi;
    if constexpr (forward) {
        const float qr = wr * dr - wi * di, qi = wr * di + wi * dr;  // W^k D
        pr = qi, pi = -qr;
    } else {
        const float qr = wr * dr + wi * di, qi = wr * di - wi * dr;  // conj(W^k) D
        pr = -qi, pi = qr;
    }
    a[0] = er + pr, a[1] = ei + pi;
    b[0] = er - pr, b[1] = -(ei - pi);
}

#if defined(__GNUC__) && !defined(__clang__)
#define QORVA_PACKED_VECTORS 1
// Bins complex values, (re, im) interleaved, in one vector the compiler maps
// onto the registers of the clone being built.  A vector wider than the
// registers would cost a reversal across registers, so the width is chosen
// at run time (native_lane_bins).
typedef float FourBins __attribute__((vector_size(32)));
typedef int32_t FourBinsIndex __attribute__((vector_size(32)));
typedef float TwoBins __attribute__((vector_size(16)));
typedef int32_t TwoBinsIndex __attribute__((vector_size(16)));

template <int Bins>
struct Lanes;
template <>
struct Lanes<4> {
    using Values = FourBins;
    using Index = FourBinsIndex;
};
template <>
struct Lanes<2> {
    using Values = TwoBins;
    using Index = TwoBinsIndex;
};

// Fills an index or sign pattern over the 2 * Bins floats of a vector.
// Vectors go by reference, never by value, so that no clone's calling
// convention depends on their width.
template <int Bins, typename V, typename Fn>
[[gnu::always_inline]] inline void lane_pattern(V& v, Fn at) {
    for (int32_t l = 0; l < 2 * Bins; ++l) v[l] = at(l);
}

// Pairs k .. k + Bins - 1 with half - k .. half - k - Bins + 1, Bins at a
// time, while the two runs stay apart; returns the first k left.
template <bool forward, int Bins>
[[gnu::always_inline]] inline int32_t vector_pairs(float* X, const float* tw, int32_t half) {
    using V = typename Lanes<Bins>::Values;
    using I = typename Lanes<Bins>::Index;
    I reverse, swap, real_dup, imag_dup;
    V conj;  // (1, -1) per complex value
    lane_pattern<Bins>(reverse, [](int32_t l) { return 2 * (Bins - 1 - l / 2) + (l & 1); });
    lane_pattern<Bins>(swap, [](int32_t l) { return l ^ 1; });
    lane_pattern<Bins>(real_dup, [](int32_t l) { return l & ~1; });
    lane_pattern<Bins>(imag_dup, [](int32_t l) { return l | 1; });
    lane_pattern<Bins>(conj, [](int32_t l) { return (l & 1) != 0 ? -1.0f : 1.0f; });
    int32_t k = 1;
    for (; 2 * (k + Bins - 1) < half; k += Bins) {
        float* pb = X + 2 * (half - k - Bins + 1);
        V a, b, w;
        __builtin_memcpy(&a, X + 2 * k, sizeof a);
        __builtin_memcpy(&b, pb, sizeof b);
        __builtin_memcpy(&w, tw + 2 * k, sizeof w);
        const V cb = __builtin_shuffle(b, reverse) * conj;
        V e = a + cb, d = a - cb;
        if constexpr (forward) {
            e = 0.5f * e, d = 0.5f * d;
        }
        const V wr = __builtin_shuffle(w, real_dup), wi = __builtin_shuffle(w, imag_dup);
        const V ds = __builtin_shuffle(d, swap);
        V p;
        if constexpr (forward) {
            const V q = wr * d - (wi * ds) * conj;  // (wr dr - wi di, wr di + wi dr)
            p = __builtin_shuffle(q, swap) * conj;  // (qi, -qr)
        } else {
            const V q = wr * d + (wi * ds) * conj;     // (wr dr + wi di, wr di - wi dr)
            p = __builtin_shuffle(q, swap) * (-conj);  // (-qi, qr)
        }
        const V low = e + p, high = __builtin_shuffle((e - p) * conj, reverse);
        __builtin_memcpy(X + 2 * k, &low, sizeof low);
        __builtin_memcpy(pb, &high, sizeof high);
    }
    return k;
}
#endif

// Every pair, `lane_bins` at a time (4, 2, or 0 for the scalar loop alone),
// then the middle bin, which pairs with itself: X = conj(Z) forward,
// Z = 2 conj(X) back.  Each lane does what scalar_pair does, so the width
// changes no bit of the result.
template <bool forward>
[[gnu::always_inline]] inline void pair_pass(float* X, const float* tw, int32_t half, int32_t lane_bins) {
    int32_t k = 1;
#ifdef QORVA_PACKED_VECTORS
    if (lane_bins == 4) k = vector_pairs<forward, 4>(X, tw, half);
    if (lane_bins == 2) k = vector_pairs<forward, 2>(X, tw, half);
#endif
    for (; 2 * k < half; ++k) scalar_pair<forward>(X, tw, half, k);
    if (half % 2 == 0) {
        float* m = X + half;
        if constexpr (forward) {
            m[1] = -m[1];
        } else {
            m[0] = 2.0f * m[0], m[1] = -2.0f * m[1];
        }
    }
}

// Four complex values fill an AVX register, two an SSE or NEON one.  With
// clones, the one the loader picked has AVX2 when the processor has.
int32_t native_lane_bins() {
#if defined(QORVA_HAS_VECTOR_CLONES)
    __builtin_cpu_init();  // this runs among the library's static initialisers
    return __builtin_cpu_supports("avx2") ? 4 : 2;
#elif defined(__AVX2__)
    return 4;
#else
    return 2;
#endif
}

template <bool forward>
[[gnu::always_inline]] inline void packed_pass(float* X, const float* tw, int32_t half, int32_t lane_bins) {
    if constexpr (forward) {
        const float z0r = X[0], z0i = X[1];
        pair_pass<true>(X, tw, half, lane_bins);
        X[0] = z0r + z0i, X[1] = 0.0f;
        X[2 * half] = z0r - z0i, X[2 * half + 1] = 0.0f;
    } else {
        const float x0 = X[0], xh = X[2 * half];
        pair_pass<false>(X, tw, half, lane_bins);
        X[0] = x0 + xh, X[1] = x0 - xh;
    }
}

QORVA_VECTOR_CLONES void forward_pass(float* X, const float* tw, int32_t half, int32_t lane_bins) {
    packed_pass<true>(X, tw, half, lane_bins);
}

QORVA_VECTOR_CLONES void inverse_pass(float* X, const float* tw, int32_t half, int32_t lane_bins) {
    packed_pass<false>(X, tw, half, lane_bins);
}

const int32_t kNativeLaneBins = native_lane_bins();

}  // namespace

std::vector<float> packed_real_twiddles(int32_t n) {
    std::vector<float> tw(2 * static_cast<std::size_t>(n / 4 + 1));
    for (int32_t k = 0; k <= n / 4; ++k) {
        const double angle = 2.0 * M_PI * k / n;
        tw[2 * k] = static_cast<float>(std::cos(angle));
        tw[2 * k + 1] = static_cast<float>(-std::sin(angle));
    }
    return tw;
}

void real_spectrum_from_packed(float* X, const float* twiddles, int32_t half, int32_t lane_bins) {
    forward_pass(X, twiddles, half, lane_bins < 0 ? kNativeLaneBins : lane_bins);
}

void packed_from_real_spectrum(float* X, const float* twiddles, int32_t half, int32_t lane_bins) {
    inverse_pass(X, twiddles, half, lane_bins < 0 ? kNativeLaneBins : lane_bins);
}

}  // namespace qorva::dsp::fft
