// Chunking, nesting, exceptions and thread-count parsing of parallel_for.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "check.hpp"
#include "runtime/thread_pool.hpp"

using namespace qorva::dsp;
using Range = std::pair<int64_t, int64_t>;

// Every heap allocation in this test binary is counted, so a test can prove
// that a parallel run allocates nothing.
static std::atomic<long> g_allocations{0};

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

std::vector<Range> ranges_of(int64_t n, int64_t grain) {
    std::mutex m;
    std::vector<Range> seen;
    parallel_for(n, grain, [&](int64_t b, int64_t e) {
        std::lock_guard<std::mutex> lock(m);
        seen.emplace_back(b, e);
    });
    std::sort(seen.begin(), seen.end());
    return seen;
}

struct ThreadCount {
    explicit ThreadCount(int32_t n) : saved(get_num_threads()) { set_num_threads(n); }
    ~ThreadCount() { set_num_threads(saved); }
    int32_t saved;
};

}  // namespace

TEST_CASE("thread count parsing follows strtol and falls back to automatic") {
    CHECK_EQ(parse_thread_count(nullptr), 0);
    CHECK_EQ(parse_thread_count(""), 0);
    CHECK_EQ(parse_thread_count("abc"), 0);
    CHECK_EQ(parse_thread_count("-2"), 0);
    CHECK_EQ(parse_thread_count("5000"), 0);
    CHECK_EQ(parse_thread_count("4097"), 0);
    CHECK_EQ(parse_thread_count("8"), 8);
    CHECK_EQ(parse_thread_count("  +8"), 8);
    CHECK_EQ(parse_thread_count("4096"), 4096);
    CHECK_EQ(parse_thread_count("12abc"), 12);
    CHECK_EQ(parse_thread_count("99999999999999999999"), 0);
}

TEST_CASE("set_num_threads clamps negatives to automatic and has no upper bound") {
    ThreadCount keep(get_num_threads());
    set_num_threads(-3);
    CHECK_EQ(get_num_threads(), 0);
    set_num_threads(100000);
    CHECK_EQ(get_num_threads(), 100000);
}

TEST_CASE("a single chunk runs inline and creates no pool") {
    // Runs first so that no earlier case has created the pool.
    ThreadCount keep(0);
    const auto caller = std::this_thread::get_id();
    int calls = 0;
    parallel_for(100, 4096, [&](int64_t b, int64_t e) {
        ++calls;
        CHECK_EQ(b, 0);
        CHECK_EQ(e, 100);
        CHECK(std::this_thread::get_id() == caller);
    });
    CHECK_EQ(calls, 1);
    CHECK_EQ(detail::pool_worker_count(), 0);
}

TEST_CASE("empty and negative ranges never call fn") {
    int calls = 0;
    parallel_for(0, 1, [&](int64_t, int64_t) { ++calls; });
    parallel_for(-5, 1, [&](int64_t, int64_t) { ++calls; });
    CHECK_EQ(calls, 0);
}

TEST_CASE("ranges are cut into ceil(n/k)-sized contiguous chunks") {
    ThreadCount keep(4);
    CHECK(ranges_of(10, 1) == (std::vector<Range>{{0, 3}, {3, 6}, {6, 9}, {9, 10}}));
    // The fourth chunk of n = 9 would be empty and is skipped.
    CHECK(ranges_of(9, 1) == (std::vector<Range>{{0, 3}, {3, 6}, {6, 9}}));
    // The grain limits the number of chunks: 10 items, grain 4 -> 3 chunks.
    CHECK(ranges_of(10, 4) == (std::vector<Range>{{0, 4}, {4, 8}, {8, 10}}));
    // A non-positive grain means one item.
    CHECK_EQ(ranges_of(3, 0).size(), size_t{3});
    CHECK_EQ(ranges_of(3, -7).size(), size_t{3});
}

TEST_CASE("more chunks than hardware threads still cover the range exactly once") {
    ThreadCount keep(64);
    const int64_t n = 1000;
    std::vector<std::atomic<int>> hits(n);
    std::atomic<int> calls{0};
    parallel_for(n, 1, [&](int64_t b, int64_t e) {
        ++calls;
        for (int64_t i = b; i < e; ++i) hits[i]++;
    });
    // c = ceil(1000 / 64) = 16, so 63 chunks cover the range and the last is empty.
    CHECK_EQ(calls.load(), 63);
    CHECK(std::all_of(hits.begin(), hits.end(), [](const std::atomic<int>& h) { return h.load() == 1; }));
    const int32_t hw = std::max(1u, std::thread::hardware_concurrency());
    CHECK(detail::pool_worker_count() <= std::max(hw - 1, 0));
}

TEST_CASE("one requested thread runs every range inline") {
    ThreadCount keep(1);
    const auto caller = std::this_thread::get_id();
    int calls = 0;
    parallel_for(1000, 1, [&](int64_t b, int64_t e) {
        ++calls;
        CHECK(b == 0 && e == 1000);
        CHECK(std::this_thread::get_id() == caller);
    });
    CHECK_EQ(calls, 1);
}

TEST_CASE("a range started inside a chunk runs inline on that thread") {
    ThreadCount keep(4);
    std::atomic<int> nested_ok{0}, nested_calls{0};
    parallel_for(8, 1, [&](int64_t, int64_t) {
        const auto outer = std::this_thread::get_id();
        CHECK(detail::in_pool());
        parallel_for(50, 1, [&](int64_t b, int64_t e) {
            ++nested_calls;
            if (b == 0 && e == 50 && std::this_thread::get_id() == outer) ++nested_ok;
        });
    });
    CHECK_EQ(nested_calls.load(), 4);
    CHECK_EQ(nested_ok.load(), 4);
    CHECK(!detail::in_pool());
}

TEST_CASE("the first exception wins, cancels unstarted chunks, and the pool stays usable") {
    ThreadCount keep(64);
    std::atomic<int> started{0};
    bool caught = false;
    try {
        parallel_for(64, 1, [&](int64_t b, int64_t) {
            ++started;
            if (b == 0) throw std::runtime_error("first");
            if (b == 1) throw std::logic_error("second");
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
    } catch (const std::runtime_error& e) {
        caught = std::string(e.what()) == "first";
    } catch (const std::logic_error& e) {
        caught = std::string(e.what()) == "second";
    }
    CHECK(caught);
    // Chunks 0 and 1 throw at once, so only the few chunks already claimed by
    // other threads can still run.
    CHECK(started.load() < 64);

    std::atomic<int64_t> sum{0};
    parallel_for(1000, 1, [&](int64_t b, int64_t e) {
        for (int64_t i = b; i < e; ++i) sum += i;
    });
    CHECK_EQ(sum.load(), int64_t{999 * 1000 / 2});
}

TEST_CASE("failing runs of concurrent callers reach only their caller while the thread count changes") {
    // Several threads share the pool; every third run throws from one chunk
    // (or from a range nested inside a chunk), and the requested width moves
    // between 1 and 4 underneath.  Each caller must get back exactly its own
    // exception or its own complete result, and the pool must stay usable.
    ThreadCount keep(0);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        for (int i = 0; !stop.load(); ++i) {
            set_num_threads(1 + i % 4);
            std::this_thread::yield();
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 60; ++rep) {
                const int64_t n = 200 + 13 * t + rep;
                const int64_t bad = (rep * 7 + t) % n;
                const bool nested = rep % 2 == 1;
                std::atomic<int64_t> total{0};
                try {
                    parallel_for(n, 1, [&](int64_t b, int64_t e) {
                        if ((t + rep) % 3 == 0 && b <= bad && bad < e) {
                            if (!nested) throw std::runtime_error("caller " + std::to_string(t) + " run " + std::to_string(rep));
                            parallel_for(8, 1, [&](int64_t, int64_t) {
                                throw std::runtime_error("caller " + std::to_string(t) + " run " + std::to_string(rep));
                            });
                        }
                        total += e - b;
                    });
                    if ((t + rep) % 3 == 0 || total.load() != n) ++wrong;
                } catch (const std::runtime_error& e) {
                    if ((t + rep) % 3 != 0 ||
                        std::string(e.what()) != "caller " + std::to_string(t) + " run " + std::to_string(rep)) {
                        ++wrong;
                    }
                }
                // A range started by a failed chunk must not leave this thread
                // marked as running inside the pool.
                if (detail::in_pool()) ++wrong;
            }
        });
    }
    for (auto& c : callers) c.join();
    stop = true;
    changer.join();
    CHECK_EQ(wrong.load(), 0);

    set_num_threads(4);
    std::atomic<int64_t> sum{0};
    parallel_for(1000, 1, [&](int64_t b, int64_t e) {
        for (int64_t i = b; i < e; ++i) sum += i;
    });
    CHECK_EQ(sum.load(), int64_t{999 * 1000 / 2});
}

TEST_CASE("a parallel run allocates nothing once the pool exists") {
    ThreadCount keep(8);
    struct Work {
        std::atomic<int64_t> total{0};
    } work;
    // A lambda capturing one reference fits std::function's inline buffer.
    auto body = [&work](int64_t b, int64_t e) { work.total += e - b; };
    parallel_for(4096, 1, body);  // creates the pool and its workers
    const long before = g_allocations.load();
    for (int rep = 0; rep < 100; ++rep) parallel_for(4096, 1, body);
    CHECK_EQ(g_allocations.load() - before, 0L);
    CHECK_EQ(work.total.load(), int64_t{101 * 4096});
}

TEST_CASE("an empty std::function raises bad_function_call") {
    ThreadCount keep(1);
    std::function<void(int64_t, int64_t)> empty;
    CHECK_THROWS(std::bad_function_call, parallel_for(10, 1, empty), "");
}

TEST_CASE("concurrent top-level ranges from several threads are all completed") {
    ThreadCount keep(0);
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 6; ++t) {
        callers.emplace_back([&, t] {
            for (int rep = 0; rep < 50; ++rep) {
                const int64_t n = 100 + t * 37 + rep;
                std::atomic<int64_t> total{0};
                parallel_for(n, 1, [&](int64_t b, int64_t e) { total += e - b; });
                if (total.load() != n) ++wrong;
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK_EQ(wrong.load(), 0);
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
    std::atomic<int64_t> total{0};
    parallel_for(1000, 1, [&](int64_t b, int64_t e) { total += e - b; });  // the parent's workers exist
    CHECK(detail::pool_worker_count() >= 1 || std::thread::hardware_concurrency() < 2);
    const pid_t pid = fork();
    if (pid == 0) {
        // The parent's workers did not come along; waiting for them would hang.
        std::atomic<int64_t> sum{0};
        parallel_for(1000, 1, [&](int64_t b, int64_t e) {
            for (int64_t i = b; i < e; ++i) sum += i;
        });
        _exit(sum.load() == 999 * 1000 / 2 ? 0 : 3);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The parent's pool is untouched.
    total = 0;
    parallel_for(1000, 1, [&](int64_t b, int64_t e) { total += e - b; });
    CHECK_EQ(total.load(), int64_t{1000});
}
#endif

QTEST_MAIN
