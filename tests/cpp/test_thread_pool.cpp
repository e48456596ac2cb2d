// parallel_for: chunking, inline and nested runs, exceptions reaching only
// their own caller, allocation-free runs, a borrowed OpenMP team, and fork
// safety.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "check.hpp"
#include "runtime/thread_pool.hpp"

using namespace qorva::dsp;
using Ranges = std::vector<std::pair<int64_t, int64_t>>;

// Counts every heap allocation of this binary.
static std::atomic<long> g_allocations{0};
void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

Ranges ranges_of(int64_t n, int64_t grain) {
    std::mutex m;
    Ranges seen;
    parallel_for(n, grain, [&](int64_t b, int64_t e) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(b, e);
    });
    std::sort(seen.begin(), seen.end());
    return seen;
}

bool sums_indices(int64_t n) {
    std::atomic<int64_t> sum{0};
    parallel_for(n, 1, [&](int64_t b, int64_t e) {
        for (int64_t i = b; i < e; ++i) sum += i;
    });
    return sum.load() == n * (n - 1) / 2;
}

// Stands in for an OpenMP runtime's GOMP_parallel: a team of fresh threads,
// the caller among them, each running fn(data) once.
std::atomic<int> g_team_runs{0};
std::atomic<unsigned> g_largest_team{0};
void team_parallel(void (*fn)(void*), void* data, unsigned threads, unsigned) {
    ++g_team_runs;
    g_largest_team = std::max(g_largest_team.load(), threads);
    std::vector<std::thread> team;
    for (unsigned t = 1; t < threads; ++t) team.emplace_back(fn, data);
    fn(data);
    for (auto& member : team) member.join();
}

struct ThreadCount {
    explicit ThreadCount(int32_t n) : saved(get_num_threads()) { set_num_threads(n); }
    ~ThreadCount() { set_num_threads(saved); }
    int32_t saved;
};

}  // namespace

TEST_CASE("a single chunk, one thread or an empty range run inline and create no pool") {
    // Registered first, so no earlier case has made the pool.
    const auto caller = std::this_thread::get_id();
    Ranges calls;
    auto record = [&](int64_t b, int64_t e) {
        calls.emplace_back(b, e);
        CHECK(std::this_thread::get_id() == caller);
    };
    ThreadCount automatic(0);
    parallel_for(100, 4096, record);
    parallel_for(0, 1, record);
    parallel_for(-5, 1, record);
    ThreadCount one(1);
    parallel_for(1000, 1, record);
    CHECK(calls == (Ranges{{0, 100}, {0, 1000}}));
    CHECK_EQ(detail::pool_worker_count(), 0);
    // Counts past 4096 or out of range for long mean automatic; strtol's leading blanks and sign are fine.
    CHECK(parse_thread_count("4097") == 0 && parse_thread_count("99999999999999999999") == 0);
    CHECK(parse_thread_count("  +8") == 8 && parse_thread_count(nullptr) == 0);
}

TEST_CASE("ranges are cut into ceil(n/k)-sized chunks; a range inside a chunk runs inline") {
    ThreadCount keep(4);
    CHECK(ranges_of(10, 1) == (Ranges{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
    CHECK(ranges_of(9, 1) == (Ranges{{0, 3}, {3, 6}, {6, 9}}));     // no empty fourth chunk
    CHECK(ranges_of(10, 4) == (Ranges{{0, 4}, {4, 8}, {8, 10}}));  // the grain caps the count
    CHECK(ranges_of(3, -7) == (Ranges{{0, 1}, {1, 2}, {2, 3}}));   // a non-positive grain means one item
    std::atomic<int> inline_runs{0};
    parallel_for(8, 1, [&](int64_t, int64_t) {
        const auto outer = std::this_thread::get_id();
        CHECK(detail::in_pool());
        parallel_for(50, 1, [&](int64_t b, int64_t e) {
            inline_runs += b == 0 && e == 50 && std::this_thread::get_id() == outer;
        });
    });
    CHECK(inline_runs.load() == 4 && !detail::in_pool());
    set_num_threads(64);  // more chunks than hardware threads
    Ranges want;
    for (int64_t b = 0; b < 1000; b += 16) want.emplace_back(b, std::min<int64_t>(b + 16, 1000));
    CHECK(ranges_of(1000, 1) == want);
    CHECK(detail::pool_worker_count() <= std::max<int32_t>(1, std::thread::hardware_concurrency()) - 1);
}

TEST_CASE("the first exception wins and cancels the chunks not yet started") {
    ThreadCount keep(64);
    std::atomic<int> started{0};
    CHECK_THROWS(std::runtime_error, parallel_for(64, 1, [&](int64_t b, int64_t) {
        ++started;
        if (b < 2) throw std::runtime_error("chunk " + std::to_string(b));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }), "");
    CHECK(started.load() < 64 && sums_indices(1000));
}

TEST_CASE("concurrent callers get only their own exception or result while the width changes") {
    // Every third run throws from one chunk, or from a range nested in it.
    ThreadCount keep(0);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i, std::this_thread::yield()) set_num_threads(1 + i % 4);
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 60; ++rep) {
                const int64_t n = 200 + 13 * t + rep, bad = (rep * 7 + t) % n;
                const bool fails = (t + rep) % 3 == 0;
                const std::string mine = "caller " + std::to_string(t) + " run " + std::to_string(rep);
                std::atomic<int64_t> total{0};
                try {
                    parallel_for(n, 1, [&](int64_t b, int64_t e) {
                        auto raise = [&](int64_t, int64_t) { throw std::runtime_error(mine); };
                        if (fails && b <= bad && bad < e) rep % 2 ? parallel_for(8, 1, raise) : raise(0, 0);
                        total += e - b;
                    });
                    wrong += fails || total.load() != n;
                } catch (const std::runtime_error& e) {
                    wrong += !fails || e.what() != mine;
                }
                wrong += detail::in_pool();  // a failed nested range must not leave the mark behind
            }
        });
    }
    for (auto& c : callers) c.join();
    stop = true;
    changer.join();
    CHECK_EQ(wrong.load(), 0);
    set_num_threads(4);
    CHECK(sums_indices(1000));
}

TEST_CASE("a parallel run allocates nothing once the pool exists") {
    ThreadCount keep(8);
    std::atomic<int64_t> total{0};
    auto body = [&total](int64_t b, int64_t e) { total += e - b; };  // fits std::function's inline buffer
    parallel_for(4096, 1, body);
    const long before = g_allocations.load();
    for (int rep = 0; rep < 100; ++rep) parallel_for(4096, 1, body);
    CHECK(g_allocations.load() == before && total.load() == 101 * 4096);
}

TEST_CASE("a borrowed OpenMP team runs the same chunks, nested ranges inline and errors back to the caller") {
    ThreadCount keep(4);
    const Ranges on_pool = ranges_of(1000, 1);
    share_openmp_threads(reinterpret_cast<void*>(&team_parallel));
    const int runs = g_team_runs.load();
    const Ranges on_team = ranges_of(1000, 1);
    std::atomic<int> nested_inline{0};
    parallel_for(4, 1, [&](int64_t, int64_t) {
        parallel_for(100, 1, [&](int64_t b, int64_t e) { nested_inline += b == 0 && e == 100; });
    });
    CHECK_THROWS(std::runtime_error, parallel_for(16, 1, [](int64_t b, int64_t) {
        if (b == 8) throw std::runtime_error("chunk 8");
    }), "chunk 8");
    CHECK(on_team == on_pool && nested_inline.load() == 4 && !detail::in_pool());
    CHECK_EQ(g_team_runs.load(), runs + 3);
    {
        ThreadCount many(64);  // more chunks than cores, but no more threads
        CHECK(ranges_of(64, 1).size() == 64);
        CHECK(g_largest_team.load() <= std::max(1u, std::thread::hardware_concurrency()));
    }
    share_openmp_threads(nullptr);
    CHECK(sums_indices(1000) && g_team_runs.load() == runs + 4);
}

#if defined(__SANITIZE_THREAD__)
#define QORVA_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QORVA_TEST_UNDER_TSAN 1
#endif
#endif
#ifndef QORVA_TEST_UNDER_TSAN  // ThreadSanitizer refuses new threads after a multi-threaded fork
TEST_CASE("a child made by fork() runs parallel ranges on a pool of its own") {
    ThreadCount keep(4);
    CHECK(sums_indices(1000) && (detail::pool_worker_count() >= 1 || std::thread::hardware_concurrency() < 2));
    const pid_t pid = fork();
    if (pid == 0) _exit(sums_indices(1000) ? 0 : 3);  // would hang waiting for the parent's workers
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0 && sums_indices(1000));
}

TEST_CASE("a child made by fork() leaves a borrowed OpenMP team behind") {
    ThreadCount keep(4);
    share_openmp_threads(reinterpret_cast<void*>(&team_parallel));
    const int runs = g_team_runs.load();
    const pid_t pid = fork();
    if (pid == 0) _exit(sums_indices(1000) && g_team_runs.load() == runs ? 0 : 3);
    int status = 0;
    waitpid(pid, &status, 0);
    share_openmp_threads(nullptr);
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
#endif

QTEST_MAIN
