// Arithmetic of the GPU FFT: complex helpers on float2 / double2, the radix
// rule, the small DFT butterflies, one Stockham (autosort) pass split into a
// gather and a scatter, and the bodies of the FFT kernels as functions of
// their thread and block indices.  Everything except the barriers of the
// block-wide shared-memory FFT is host-callable, so the C++ tests run the
// kernels' own index math, layouts and butterflies on the CPU.
//
// Stockham pass with radix R over a row of n values, after passes whose
// radices multiply to L (R * L divides n): butterfly j (0 <= j < n / R) reads
// x[q] = in[j + q n/R], multiplies x[q] for q >= 1 by w^(q k) with
// w = e^(-2 pi i / (R L)), k = j mod L, takes the R-point DFT and writes
// y[q] to out[(j / L) R L + k + q L].  After the last pass out holds the DFT
// in natural order.  The inverse (sign -1) conjugates every root of unity
// and is unnormalised.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <cuda_fp16.h>     // __half2 and its conversions (host-callable too)
#include <vector_types.h>  // float2, double2 (host compilers as well)

#include "gpu/fft_radix.hpp"  // fft_radix, QORVA_HD

// Butterflies and helpers are inlined into the kernels, and their loops
// unrolled, so that their arrays stay in registers.
#ifdef __CUDACC__
#define QORVA_INLINE __forceinline__
#else
#define QORVA_INLINE inline
#endif
#ifdef __CUDA_ARCH__
#define QORVA_UNROLL _Pragma("unroll")
#else
#define QORVA_UNROLL
#endif

namespace qorva::dsp::gpu::cuda {

// --- complex helpers -----------------------------------------------------------

template <typename C>
struct real_of;
template <>
struct real_of<float2> {
    using type = float;
};
template <>
struct real_of<double2> {
    using type = double;
};

template <typename C>
QORVA_HD QORVA_INLINE C cmake(typename real_of<C>::type re, typename real_of<C>::type im) {
    C z;
    z.x = re;
    z.y = im;
    return z;
}
template <typename C>
QORVA_HD QORVA_INLINE C cadd(C a, C b) {
    return cmake<C>(a.x + b.x, a.y + b.y);
}
template <typename C>
QORVA_HD QORVA_INLINE C csub(C a, C b) {
    return cmake<C>(a.x - b.x, a.y - b.y);
}
template <typename C>
QORVA_HD QORVA_INLINE C cmul(C a, C b) {
    return cmake<C>(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x);
}
template <typename C>
QORVA_HD QORVA_INLINE C cconj(C a) {
    return cmake<C>(a.x, -a.y);
}
template <typename C>
QORVA_HD QORVA_INLINE C cscale(C a, typename real_of<C>::type s) {
    return cmake<C>(a.x * s, a.y * s);
}
// a * (-i)
template <typename C>
QORVA_HD QORVA_INLINE C cmul_neg_i(C a) {
    return cmake<C>(a.y, -a.x);
}

// --- element access: storage type S, arithmetic type C ---------------------------

// Read-only data goes through the non-coherent cache on the device.
template <typename T>
QORVA_HD QORVA_INLINE T load_ro(const T* p) {
#ifdef __CUDA_ARCH__
    return __ldg(p);
#else
    return *p;
#endif
}

// Half-precision rows are transformed in single precision.
QORVA_HD QORVA_INLINE float2 widen(float2 v) { return v; }
QORVA_HD QORVA_INLINE double2 widen(double2 v) { return v; }
QORVA_HD QORVA_INLINE float2 widen(__half2 v) { return __half22float2(v); }

QORVA_HD QORVA_INLINE void put(float2* p, float2 v) { *p = v; }
QORVA_HD QORVA_INLINE void put(double2* p, double2 v) { *p = v; }
QORVA_HD QORVA_INLINE void put(__half2* p, float2 v) { *p = __float22half2_rn(v); }

// --- radix rule ------------------------------------------------------------------

using gpu::fft_radix;  // gpu/fft_radix.hpp

// Calls f(RadixTag<R>{}) for the runtime radix r (one of 2, 3, 4, 5, 7, 8, 11,
// 13, 16); any other value calls nothing.
template <int R>
struct RadixTag {
    static constexpr int value = R;
};

template <typename F>
QORVA_HD QORVA_INLINE void with_radix(int r, F&& f) {
    switch (r) {
        case 2: f(RadixTag<2>{}); break;
        case 3: f(RadixTag<3>{}); break;
        case 4: f(RadixTag<4>{}); break;
        case 5: f(RadixTag<5>{}); break;
        case 7: f(RadixTag<7>{}); break;
        case 8: f(RadixTag<8>{}); break;
        case 11: f(RadixTag<11>{}); break;
        case 13: f(RadixTag<13>{}); break;
        case 16: f(RadixTag<16>{}); break;
        default: break;
    }
}

// --- compile-time roots of unity ---------------------------------------------------

namespace detail {

inline constexpr double kPi = 3.14159265358979323846264338327950288;

// cos and sin of 2 pi m / r for the odd radices and 1 <= m <= (r - 1) / 2,
// correctly rounded; the other m follow by symmetry.
struct UnitRoot {
    double c;
    double s;
};
QORVA_HD constexpr UnitRoot odd_root(int r, int m) {
    switch (r * 16 + m) {
        case 3 * 16 + 1: return {-0.5, 0.8660254037844386467637232};
        case 5 * 16 + 1: return {0.3090169943749474241022934, 0.9510565162951535721164393};
        case 5 * 16 + 2: return {-0.8090169943749474241022934, 0.5877852522924731291687060};
        case 7 * 16 + 1: return {0.6234898018587335305250049, 0.7818314824680298087084445};
        case 7 * 16 + 2: return {-0.2225209339563144042889026, 0.9749279121818236070181317};
        case 7 * 16 + 3: return {-0.9009688679024191262361023, 0.4338837391175581204757683};
        case 11 * 16 + 1: return {0.8412535328311811688618116, 0.5406408174555975821076360};
        case 11 * 16 + 2: return {0.4154150130018864255292741, 0.9096319953545183714117154};
        case 11 * 16 + 3: return {-0.1423148382732851404437927, 0.9898214418809327323760920};
        case 11 * 16 + 4: return {-0.6548607339452850640569251, 0.7557495743542582837740358};
        case 11 * 16 + 5: return {-0.9594929736144973898903681, 0.2817325568414296977114179};
        case 13 * 16 + 1: return {0.8854560256532098959003755, 0.4647231720437685456560153};
        case 13 * 16 + 2: return {0.5680647467311558025118076, 0.8229838658936563945796174};
        case 13 * 16 + 3: return {0.1205366802553230533490677, 0.9927088740980539928007516};
        case 13 * 16 + 4: return {-0.3546048870425356259696379, 0.9350162426854148234397846};
        case 13 * 16 + 5: return {-0.7485107481711010986346306, 0.6631226582407952023767855};
        case 13 * 16 + 6: return {-0.9709418174260520271569823, 0.2393156642875577671487537};
        default: return {1.0, 0.0};
    }
}

template <int R>
struct RootTable {
    double c[R];
    double s[R];
    QORVA_HD constexpr RootTable() : c{}, s{} {
        c[0] = 1.0;
        s[0] = 0.0;
        for (int m = 1; 2 * m < R; ++m) {
            const UnitRoot u = odd_root(R, m);
            c[m] = c[R - m] = u.c;
            s[m] = u.s;
            s[R - m] = -u.s;
        }
    }
};

inline constexpr double kSqrtHalf = 0.70710678118654752440084436210484904;
inline constexpr double kCos8 = 0.92387953251128675612818318939678829;  // cos(pi / 8)
inline constexpr double kSin8 = 0.38268343236508977172845998403039887;  // sin(pi / 8)

}  // namespace detail

// e^(-2 pi i k / n) for k < count, from a double angle; the one table builder
// of every device twiddle table.
template <typename C>
std::vector<C> twiddle_table(int count, int n) {
    using T = typename real_of<C>::type;
    std::vector<C> tw(static_cast<std::size_t>(count > 0 ? count : 0));
    const double scale = 1.0 / n;
    for (int k = 0; k < count; ++k) {
        const double angle = k * (-2.0 * detail::kPi) * scale;
        tw[k] = cmake<C>(static_cast<T>(std::cos(angle)), static_cast<T>(std::sin(angle)));
    }
    return tw;
}

// --- small forward DFTs, in place: y[p] = sum_q x[q] e^(-2 pi i p q / R) --------------

template <typename C>
QORVA_HD QORVA_INLINE void dft2(C (&x)[2]) {
    const C a = x[0];
    x[0] = cadd(a, x[1]);
    x[1] = csub(a, x[1]);
}

template <typename C>
QORVA_HD QORVA_INLINE void dft4(C& x0, C& x1, C& x2, C& x3) {
    const C s02 = cadd(x0, x2), d02 = csub(x0, x2);
    const C s13 = cadd(x1, x3), d13 = cmul_neg_i(csub(x1, x3));
    x0 = cadd(s02, s13);
    x2 = csub(s02, s13);
    x1 = cadd(d02, d13);
    x3 = csub(d02, d13);
}

template <typename C>
QORVA_HD QORVA_INLINE void dft4(C (&x)[4]) {
    dft4(x[0], x[1], x[2], x[3]);
}

// Radix 8 as two radix-4 DFTs: even outputs from x[j] + x[j+4], odd outputs
// from (x[j] - x[j+4]) w8^j.
template <typename C>
QORVA_HD QORVA_INLINE void dft8(C (&x)[8]) {
    using T = typename real_of<C>::type;
    const T h = T(detail::kSqrtHalf);
    C a[4], b[4];
    QORVA_UNROLL
    for (int j = 0; j < 4; ++j) {
        a[j] = cadd(x[j], x[j + 4]);
        b[j] = csub(x[j], x[j + 4]);
    }
    b[1] = cmake<C>((b[1].x + b[1].y) * h, (b[1].y - b[1].x) * h);
    b[2] = cmul_neg_i(b[2]);
    b[3] = cmake<C>((b[3].y - b[3].x) * h, -(b[3].x + b[3].y) * h);
    dft4(a);
    dft4(b);
    QORVA_UNROLL
    for (int k = 0; k < 4; ++k) {
        x[2 * k] = a[k];
        x[2 * k + 1] = b[k];
    }
}

// Radix 16 as two radix-8 DFTs, the same split one level up.
template <typename C>
QORVA_HD QORVA_INLINE void dft16(C (&x)[16]) {
    using T = typename real_of<C>::type;
    const T h = T(detail::kSqrtHalf), c1 = T(detail::kCos8), s1 = T(detail::kSin8);
    C a[8], b[8];
    QORVA_UNROLL
    for (int j = 0; j < 8; ++j) {
        a[j] = cadd(x[j], x[j + 8]);
        b[j] = csub(x[j], x[j + 8]);
    }
    // w16^j = cos(pi j / 8) - i sin(pi j / 8)
    b[1] = cmul(b[1], cmake<C>(c1, -s1));
    b[2] = cmake<C>((b[2].x + b[2].y) * h, (b[2].y - b[2].x) * h);
    b[3] = cmul(b[3], cmake<C>(s1, -c1));
    b[4] = cmul_neg_i(b[4]);
    b[5] = cmul(b[5], cmake<C>(-s1, -c1));
    b[6] = cmake<C>((b[6].y - b[6].x) * h, -(b[6].x + b[6].y) * h);
    b[7] = cmul(b[7], cmake<C>(-c1, -s1));
    dft8(a);
    dft8(b);
    QORVA_UNROLL
    for (int k = 0; k < 8; ++k) {
        x[2 * k] = a[k];
        x[2 * k + 1] = b[k];
    }
}

// Odd R from the symmetric pairs a_p = x[p] + x[R-p], b_p = x[p] - x[R-p]:
// y[k] = x[0] + sum_p a_p cos(2 pi p k / R) - i sum_p b_p sin(2 pi p k / R),
// and y[R-k] the same with + i.
template <int R, typename C>
QORVA_HD QORVA_INLINE void dft_odd(C (&x)[R]) {
    using T = typename real_of<C>::type;
    constexpr int H = (R - 1) / 2;
    constexpr detail::RootTable<R> roots{};
    C a[H], b[H];
    C sum = x[0];
    QORVA_UNROLL
    for (int p = 1; p <= H; ++p) {
        a[p - 1] = cadd(x[p], x[R - p]);
        b[p - 1] = csub(x[p], x[R - p]);
        sum = cadd(sum, a[p - 1]);
    }
    const C x0 = x[0];
    x[0] = sum;
    QORVA_UNROLL
    for (int k = 1; k <= H; ++k) {
        C re = x0;
        C im = cmake<C>(T(0), T(0));
        QORVA_UNROLL
        for (int p = 1; p <= H; ++p) {
            const int idx = (p * k) % R;
            re = cadd(re, cscale(a[p - 1], T(roots.c[idx])));
            im = cadd(im, cscale(b[p - 1], T(roots.s[idx])));
        }
        // y[k] = re - i im, y[R-k] = re + i im
        x[k] = cmake<C>(re.x + im.y, re.y - im.x);
        x[R - k] = cmake<C>(re.x - im.y, re.y + im.x);
    }
}

template <int R, typename C>
QORVA_HD QORVA_INLINE void dft(C (&x)[R]) {
    if constexpr (R == 2) {
        dft2(x);
    } else if constexpr (R == 4) {
        dft4(x);
    } else if constexpr (R == 8) {
        dft8(x);
    } else if constexpr (R == 16) {
        dft16(x);
    } else {
        static_assert(R % 2 == 1, "even radices are 2, 4, 8 and 16");
        dft_odd<R>(x);
    }
}

// --- one Stockham pass ------------------------------------------------------------------

// Reads and twiddles butterfly j of the pass after radices of product L and
// leaves its R outputs in y.  load(i) returns element i of the pass input; tw
// holds e^(-2 pi i k / n) for k < n.  sign is +1 (forward) or -1 (inverse): the
// inverse is the forward applied between two conjugations, which conjugates
// both the twiddles and the DFT kernel.
template <int R, typename C, typename Load>
QORVA_HD QORVA_INLINE void stockham_gather(Load load, const C* tw, int n, int L, int j,
                                           typename real_of<C>::type sign, C (&y)[R]) {
    const int m = n / R;
    const int k = j % L;
    const int step = k * (n / (R * L));  // w^(q k) = tw[q * step]
    C x0 = load(j);
    x0.y *= sign;
    y[0] = x0;
    QORVA_UNROLL
    for (int q = 1; q < R; ++q) {
        C v = load(j + q * m);
        v.y *= sign;
        y[q] = cmul(v, tw[q * step]);
    }
    dft<R>(y);
    QORVA_UNROLL
    for (int q = 0; q < R; ++q) y[q].y *= sign;
}

// Writes the outputs of butterfly j: store(i, value) sets element i of the
// pass output.
template <int R, typename C, typename Store>
QORVA_HD QORVA_INLINE void stockham_scatter(Store store, int L, int j, const C (&y)[R]) {
    const int base = (j / L) * R * L + (j % L);
    QORVA_UNROLL
    for (int q = 0; q < R; ++q) store(base + q * L, y[q]);
}

// --- block-wide shared-memory FFT -------------------------------------------------------

// Shared memory has 32 four-byte banks, and a warp's 8-byte (16-byte)
// accesses are served per half-warp (quarter-warp): 128 bytes, 16 float2 or
// 8 double2 slots, one per bank pair (quad).  A first pass with L = 1 stores
// thread j's outputs at j R + q, so a radix-16 float2 pass puts all 16
// threads of a half-warp on one bank pair, and radix 8 or the small-L passes
// after it still 4 to 8.  Each pass reads everything into registers before a
// barrier and writes after it, so the layout may change between passes: the
// first pass reads the natural layout and writes the swizzled one, middle
// passes read and write swizzled, the last writes natural again (a single
// pass stays natural), and callers fill and read s in natural order.  The
// swizzle XORs the slot within each 128-byte row with the row number, which
// spreads those stores over distinct banks; a pass's reads j + q n/R of
// consecutive j stay within one or two rows, at most 2-way.  It permutes
// slots within a row only, so it needs no more memory, but only when n is a
// whole number of rows.
template <typename C>
inline constexpr int kSwizzleBits = sizeof(C) >= 16 ? 3 : 4;

template <typename C>
QORVA_HD QORVA_INLINE bool shared_swizzles(int n) {
    return n % (1 << kSwizzleBits<C>) == 0;
}

template <typename C>
QORVA_HD QORVA_INLINE int shared_slot(int i, bool swizzled) {
    constexpr int bits = kSwizzleBits<C>;
    return swizzled ? i ^ ((i >> bits) & ((1 << bits) - 1)) : i;
}

// The pass after radices of product L: its radix, butterflies per thread
// (j = tid + i threads for i < per_thread) and the layouts it reads and
// writes.  Uniform over the block, so every thread reaches the same barriers.
struct SharedPass {
    int radix;
    int per_thread;
    bool in_swizzled;
    bool out_swizzled;
};

QORVA_HD QORVA_INLINE SharedPass shared_pass_plan(int n, int L, bool allow16, int threads, bool swizzled) {
    const int r = fft_radix(n / L, allow16);
    return {r, (n / r + threads - 1) / threads, swizzled && L > 1, swizzled && L * r < n};
}

// Calls f(RadixTag<K>{}) for the butterflies a thread holds in a radix-R pass
// (K = k <= 4) when K R <= MaxItems, and says whether it did; only those
// widths are compiled.
template <int MaxItems, int R, typename F>
QORVA_HD QORVA_INLINE bool with_pass_width(int k, F&& f) {
    if constexpr (R <= MaxItems) {
        if (k == 1) {
            f(RadixTag<1>{});
            return true;
        }
    }
    if constexpr (2 * R <= MaxItems) {
        if (k == 2) {
            f(RadixTag<2>{});
            return true;
        }
    }
    if constexpr (3 * R <= MaxItems) {
        if (k == 3) {
            f(RadixTag<3>{});
            return true;
        }
    }
    if constexpr (4 * R <= MaxItems) {
        if (k == 4) {
            f(RadixTag<4>{});
            return true;
        }
    }
    return false;
}

// Whether the block-wide shared-memory FFT of n values runs with `threads`
// threads when each thread may hold at most max_items values across a pass's
// barrier: every pass with radix r needs k = ceil((n / r) / threads) <= 4
// butterflies per thread and k r <= max_items.
QORVA_HD QORVA_INLINE bool shared_fft_fits(int n, int threads, bool allow16, int max_items) {
    for (int L = 1; L < n;) {
        const SharedPass pass = shared_pass_plan(n, L, allow16, threads, false);
        if (pass.per_thread > 4 || pass.per_thread * pass.radix > max_items) return false;
        L *= pass.radix;
    }
    return true;
}

// Thread tid's half of a pass before the barrier: reads and twiddles its K
// butterflies into y.  load(i) reads shared slot i.
template <int R, int K, typename C, typename Load>
QORVA_HD QORVA_INLINE void shared_gather(Load load, const C* tw, int n, int L, bool swizzled, int tid, int threads,
                                         typename real_of<C>::type sign, C (&y)[K][R]) {
    const int butterflies = n / R;
    // Defined on every path: a value left undefined on the idle path would
    // stay live, as far as register allocation knows, through the whole
    // kernel, and the registers of all passes would pile up.
    QORVA_UNROLL
    for (int i = 0; i < K; ++i) {
        QORVA_UNROLL
        for (int q = 0; q < R; ++q) y[i][q] = cmake<C>(0, 0);
    }
    const auto at = [=](int i) { return load(shared_slot<C>(i, swizzled)); };
    QORVA_UNROLL
    for (int i = 0; i < K; ++i) {
        const int j = tid + i * threads;
        if (j < butterflies) stockham_gather<R>(at, tw, n, L, j, sign, y[i]);
    }
}

// Thread tid's half after the barrier: store(i, value) writes shared slot i.
template <int R, int K, typename C, typename Store>
QORVA_HD QORVA_INLINE void shared_scatter(Store store, int n, int L, bool swizzled, int tid, int threads,
                                          const C (&y)[K][R]) {
    const int butterflies = n / R;
    const auto at = [=](int i, C v) { store(shared_slot<C>(i, swizzled), v); };
    QORVA_UNROLL
    for (int i = 0; i < K; ++i) {
        const int j = tid + i * threads;
        if (j < butterflies) stockham_scatter<R>(at, L, j, y[i]);
    }
}

// fft_shared's row load and store: thread tid moves elements tid + i threads
// between the row in global memory and s, in natural order.
template <typename S, typename C>
QORVA_HD QORVA_INLINE void shared_row_load(const S* row, C* s, int n, int tid, int threads) {
    for (int i = tid; i < n; i += threads) s[i] = widen(row[i]);
}
template <typename S, typename C>
QORVA_HD QORVA_INLINE void shared_row_store(S* row, const C* s, int n, int tid, int threads) {
    for (int i = tid; i < n; i += threads) put(row + i, s[i]);
}

#ifdef __CUDACC__

// One in-place pass over shared memory; each thread owns K butterflies, all
// read into registers before any is written.
template <int R, int K, typename C>
__device__ QORVA_INLINE void shared_pass(C* s, const C* tw, int n, int L, typename real_of<C>::type sign,
                                         SharedPass pass) {
    // The gather's slots depend on tid, n and R but not on L, so the compiler
    // would hoist their swizzles out of shared_fft's pass loop, for every
    // compiled radix and width at once, and keep them all live (three times
    // the registers); an opaque tid per pass keeps them inside the pass.
    int tid = static_cast<int>(threadIdx.x);
    asm volatile("" : "+r"(tid));
    const int threads = static_cast<int>(blockDim.x);
    C y[K][R];
    shared_gather<R, K>([s](int i) { return s[i]; }, tw, n, L, pass.in_swizzled, tid, threads, sign, y);
    __syncthreads();
    shared_scatter<R, K>([s](int i, C v) { s[i] = v; }, n, L, pass.out_swizzled, tid, threads, y);
    __syncthreads();
}

// In-place FFT of the n values in shared memory s by the whole block (tw as
// for stockham_gather, radix 16 when allow16).  Needs blockDim.x * 4 >= n / r
// for every pass radix r; the caller synchronises after filling s, and the
// function returns after a barrier with s in natural order.
//
// MaxItems bounds the values a thread holds across a barrier (butterflies per
// thread x radix); only passes within it are compiled, which keeps register
// pressure and the spill stack of the kernel down.  The default covers every
// pass the precondition allows; a caller whose launches are known to need
// fewer (see shared_fft_fits) passes a smaller bound.  A pass outside the
// bound traps.
template <int MaxItems = 64, typename C>
__device__ void shared_fft(C* s, const C* tw, int n, typename real_of<C>::type sign, bool allow16) {
    const int threads = static_cast<int>(blockDim.x);
    const bool swizzled = shared_swizzles<C>(n);
    for (int L = 1; L < n;) {
        const SharedPass pass = shared_pass_plan(n, L, allow16, threads, swizzled);
        with_radix(pass.radix, [&](auto tag) {
            constexpr int R = decltype(tag)::value;
            const bool compiled = with_pass_width<MaxItems, R>(pass.per_thread, [&](auto width) {
                shared_pass<R, decltype(width)::value>(s, tw, n, L, sign, pass);
            });
            if (!compiled) __trap();
        });
        L *= pass.radix;
    }
}

#endif  // __CUDACC__

// --- the other kernels' bodies, per thread --------------------------------------------

// Element offset of a row; 64-bit, as batches pass 2^31 elements.
QORVA_HD QORVA_INLINE int64_t row_offset(int64_t row, int n) { return row * n; }

// Calls launch(first_row, rows) over the batch in chunks of at most max_rows,
// the rows a grid dimension holds; the launch's block b then works on row
// first_row + b.
template <typename F>
void for_row_chunks(int64_t batch, int64_t max_rows, F&& launch) {
    for (int64_t first = 0; first < batch; first += max_rows) launch(first, std::min(max_rows, batch - first));
}

// Visits the indices i < count that thread `thread` of block `block` owns in
// a grid-stride loop over `blocks` blocks of `threads` threads.
template <typename F>
QORVA_HD QORVA_INLINE void grid_stride(int64_t count, unsigned block, unsigned blocks, unsigned thread,
                                       unsigned threads, F&& f) {
    const int64_t stride = static_cast<int64_t>(blocks) * threads;
    for (int64_t i = static_cast<int64_t>(block) * threads + thread; i < count; i += stride) f(i);
}

// Real float32 value i to complex (x, 0).
QORVA_HD QORVA_INLINE void r2c_element(const float* __restrict__ in, float2* __restrict__ out, int64_t i) {
    out[i] = cmake<float2>(load_ro(in + i), 0.0f);
}

// Butterfly j of one Stockham pass (stride L) over row `row`, from src to dst
// in storage type S; threads past the last butterfly do nothing.
template <int R, typename S, typename C>
QORVA_HD QORVA_INLINE void fft_stage_butterfly(const S* __restrict__ src, S* __restrict__ dst,
                                               const C* __restrict__ tw, int n, int L,
                                               typename real_of<C>::type sign, int64_t row, int j) {
    if (j >= n / R) return;
    const S* in = src + row_offset(row, n);
    S* out = dst + row_offset(row, n);
    C y[R];
    stockham_gather<R>([in](int i) { return widen(load_ro(in + i)); }, tw, n, L, j, sign, y);
    stockham_scatter<R>([out](int i, C v) { put(out + i, v); }, L, j, y);
}

// Bluestein, element k of a row (64-bit: the padded length m may come within
// a block of 2^31): work[row][k] = x[k] w[k] for k < n, 0 up to m; x
// conjugated first for the inverse (sign -1).
template <typename T>
QORVA_HD QORVA_INLINE void blue_pre_element(const T* __restrict__ data, T* __restrict__ work,
                                            const T* __restrict__ chirp, int n, int m, float sign, int64_t row,
                                            int64_t k) {
    if (k >= m) return;
    T v = cmake<T>(0, 0);
    if (k < n) {
        T x = data[row_offset(row, n) + k];
        x.y *= sign;
        v = cmul(x, load_ro(chirp + k));
    }
    work[row_offset(row, m) + k] = v;
}

// work[row][k] *= FFT of the chirp kernel (already divided by m).
template <typename T>
QORVA_HD QORVA_INLINE void blue_mul_element(T* __restrict__ work, const T* __restrict__ kernel_fft, int m,
                                            int64_t row, int64_t k) {
    if (k >= m) return;
    const int64_t i = row_offset(row, m) + k;
    work[i] = cmul(work[i], load_ro(kernel_fft + k));
}

// data[row][k] = work[row][k] w[k], conjugated again for the inverse.
template <typename T>
QORVA_HD QORVA_INLINE void blue_post_element(const T* __restrict__ work, T* __restrict__ data,
                                             const T* __restrict__ chirp, int n, int m, float sign, int64_t row,
                                             int64_t k) {
    if (k >= n) return;
    T v = cmul(load_ro(work + row_offset(row, m) + k), load_ro(chirp + k));
    v.y *= sign;
    data[row_offset(row, n) + k] = v;
}

}  // namespace qorva::dsp::gpu::cuda
