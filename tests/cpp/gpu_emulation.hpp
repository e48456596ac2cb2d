// Host emulation of the GPU kernels' scheduling: the device twiddle tables
// and the block-wide shared-memory FFT as one block of threads runs it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

#include "check.hpp"
#include "gpu/cuda_fft_math.cuh"

namespace gpu_emulation {

namespace gc = qorva::dsp::gpu::cuda;

template <typename C>
using Real = typename gc::real_of<C>::type;

// A device twiddle table: e^(-2 pi i k / n) for k < m.
template <typename C>
std::vector<C> twiddles(int m, int n) {
    return gc::twiddle_table<C>(m, n);
}

template <typename C, int R>
struct Regs {
    C v[R];
};

// shared_fft on one block of `threads` threads: per pass each thread gathers
// its butterflies tid + i threads (i < ceil(butterflies / threads) <= 4) into
// registers, then after the barrier scatters them into the same buffer.
template <typename C>
std::vector<C> shared_schedule(std::vector<C> s, const std::vector<C>& tw, Real<C> sign, bool allow16, int threads) {
    const int n = static_cast<int>(s.size());
    for (int L = 1; L < n;) {
        const int r = gc::fft_radix(n / L, allow16);
        gc::with_radix(r, [&](auto tag) {
            constexpr int R = decltype(tag)::value;
            const int butterflies = n / R;
            const int per_thread = (butterflies + threads - 1) / threads;
            CHECK(per_thread <= 4);
            std::vector<Regs<C, R>> regs(static_cast<std::size_t>(threads) * 4);
            std::vector<int> taken(butterflies, 0);
            for (int tid = 0; tid < threads; ++tid) {
                for (int i = 0; i < per_thread; ++i) {
                    const int j = tid + i * threads;
                    if (j >= butterflies) continue;
                    ++taken[j];
                    gc::stockham_gather<R>([&](int k) { return s.at(k); }, tw.data(), n, L, j, sign,
                                           regs[tid * 4 + i].v);
                }
            }
            CHECK(std::all_of(taken.begin(), taken.end(), [](int t) { return t == 1; }));
            for (int tid = 0; tid < threads; ++tid) {
                for (int i = 0; i < per_thread; ++i) {
                    const int j = tid + i * threads;
                    if (j >= butterflies) continue;
                    gc::stockham_scatter<R>([&](int k, C value) { s.at(k) = value; }, L, j, regs[tid * 4 + i].v);
                }
            }
        });
        L *= r;
    }
    return s;
}

}  // namespace gpu_emulation
