// The radix rule of the GPU FFT, shared by the kernels and the host-side
// planning (which must not need the CUDA headers).
#pragma once

#include <cstdint>

#ifndef QORVA_HD
#ifdef __CUDACC__
#define QORVA_HD __host__ __device__
#else
#define QORVA_HD
#endif
#endif

namespace qorva::dsp::gpu {

// Radix of the next Stockham pass for the remaining length r (> 1): odd r
// takes the first of 3, 5, 7, 11 that divides it, else 13; even r takes 16
// when allowed and 16 divides r, otherwise a radix chosen from the count t of
// trailing zero bits so that the power of two is used up in radix-8 passes
// with at most one radix-4 or radix-2 pass: 2 for t == 1, 8 for t % 3 == 0,
// 4 for t % 3 == 1, and for t % 3 == 2 radix 4 when t == 2, else 8.
QORVA_HD inline int fft_radix(int64_t r, bool allow16) {
    if (r & 1) {
        if (r % 3 == 0) return 3;
        if (r % 5 == 0) return 5;
        if (r % 7 == 0) return 7;
        if (r % 11 == 0) return 11;
        return 13;
    }
    if (allow16 && r % 16 == 0) return 16;
    int t = 0;
    while ((r & 1) == 0) {
        r >>= 1;
        ++t;
    }
    if (t == 1) return 2;
    if (t % 3 == 0) return 8;
    if (t % 3 == 1) return 4;
    return t == 2 ? 4 : 8;
}

}  // namespace qorva::dsp::gpu
