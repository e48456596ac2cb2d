// Host emulation of the GPU kernels' scheduling: the device twiddle tables
// and the block-wide shared-memory FFT as one block of threads runs it,
// through the kernels' own per-thread phases.
#pragma once

#include <algorithm>
#include <cstddef>
#include <set>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
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

template <typename C, int K, int R>
struct Regs {
    C v[K][R];
};

// shared_fft on one block of `threads` threads: per pass every thread's
// gather phase, the barrier, every thread's scatter phase, the barrier.
// mem.load(tid, slot) and mem.store(tid, slot, value) are the shared-memory
// accesses, mem.barrier() the barriers; swizzled as the kernel picks it,
// unless the natural layout is asked for.
template <typename C, typename Memory>
void run_shared_fft(Memory& mem, int n, const std::vector<C>& tw, Real<C> sign, bool allow16, int threads,
                    bool swizzled) {
    for (int L = 1; L < n;) {
        const gc::SharedPass pass = gc::shared_pass_plan(n, L, allow16, threads, swizzled);
        gc::with_radix(pass.radix, [&](auto tag) {
            constexpr int R = decltype(tag)::value;
            CHECK((gc::with_pass_width<64, R>(pass.per_thread, [&](auto width) {
                constexpr int K = decltype(width)::value;
                std::vector<Regs<C, K, R>> regs(threads);
                for (int tid = 0; tid < threads; ++tid) {
                    gc::shared_gather<R, K>([&](int i) { return mem.load(tid, i); }, tw.data(), n, L,
                                            pass.in_swizzled, tid, threads, sign, regs[tid].v);
                }
                mem.barrier();
                for (int tid = 0; tid < threads; ++tid) {
                    gc::shared_scatter<R, K>([&](int i, C v) { mem.store(tid, i, v); }, n, L, pass.out_swizzled,
                                             tid, threads, regs[tid].v);
                }
                mem.barrier();
            })));
        });
        L *= pass.radix;
    }
}

// The shared-memory FFT of s.
template <typename C>
std::vector<C> shared_schedule(std::vector<C> s, const std::vector<C>& tw, Real<C> sign, bool allow16, int threads) {
    struct Slots {
        std::vector<C>& s;
        C load(int, int i) { return s.at(i); }
        void store(int, int i, C v) { s.at(i) = v; }
        void barrier() {}
    } mem{s};
    const int n = static_cast<int>(s.size());
    run_shared_fft(mem, n, tw, sign, allow16, threads, gc::shared_swizzles<C>(n));
    return s;
}

// Worst n-way bank conflict of the shared-memory accesses: 32 four-byte banks
// serve a warp's accesses of C in groups of 128 / sizeof(C) threads (half a
// warp for 8 bytes, a quarter for 16), the k-th access of each thread of a
// group is one instruction, and distinct slots on one bank serialise.
template <typename C>
struct BankConflicts {
    int threads;
    std::vector<std::vector<int>> slots = std::vector<std::vector<int>>(threads);
    int worst = 0;
    C load(int tid, int i) {
        slots[tid].push_back(i);
        return C{};
    }
    void store(int tid, int i, C) { slots[tid].push_back(i); }
    void barrier() {
        constexpr int group = 128 / static_cast<int>(sizeof(C));
        for (int first = 0; first < threads; first += group) {
            for (std::size_t k = 0; k < slots[first].size(); ++k) {
                std::vector<std::set<int>> banks(group);
                for (int tid = first; tid < std::min(first + group, threads); ++tid) {
                    if (k < slots[tid].size()) banks[slots[tid][k] % group].insert(slots[tid][k]);
                }
                for (const auto& b : banks) worst = std::max(worst, static_cast<int>(b.size()));
            }
        }
        for (auto& v : slots) v.clear();
    }
};

// Relative L2 distance of got from want below tol, with NaN exactly where
// want has NaN; a failure names `what` and the distance.
template <typename T>
void check_close(const std::vector<T>& got, const std::vector<T>& want, double tol, const std::string& what) {
    double num = 0, den = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(double(want[i])) != std::isnan(double(got[i]))) {
            qtest::fail(__FILE__, __LINE__, what + ": NaN mismatch at " + std::to_string(i));
        }
        if (std::isnan(double(want[i]))) continue;
        num += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
        den += double(want[i]) * want[i];
    }
    const double err = std::sqrt(num / (den > 0 ? den : 1.0));
    if (!(err < tol)) qtest::fail(__FILE__, __LINE__, what + ": " + std::to_string(err));
}

// Standard normal noise of a fixed seed, zero from index silent_from on, and
// one NaN at n / 6 when `nan`.
inline std::vector<float> random_values(std::size_t n, unsigned seed, int64_t silent_from = -1, bool nan = false) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = silent_from >= 0 && int64_t(i) >= silent_from ? 0.0f : dist(gen);
    if (nan && n > 0) v[n / 6] = std::numeric_limits<float>::quiet_NaN();
    return v;
}

}  // namespace gpu_emulation
