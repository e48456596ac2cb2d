#include "runtime/thread_pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if __has_include(<pthread.h>)
#include <pthread.h>
#endif

namespace qorva::dsp {

namespace {

constexpr int32_t kAutoThreadCap = 16;
constexpr unsigned long kMaxRequestedThreads = 4096;

thread_local bool t_in_pool = false;

int32_t read_env_thread_count() {
    return parse_thread_count(std::getenv("QORVA_DSP_NUM_THREADS"));
}

// Read while the module loads; later changes of the environment are not seen.
std::atomic<int32_t> g_num_threads{read_env_thread_count()};

// Read once: glibc answers hardware_concurrency by reading a sysfs file, a
// system call on every parallel_for otherwise.
int32_t hardware_threads() {
    static const int32_t count = [] {
        const unsigned h = std::thread::hardware_concurrency();
        return h == 0 ? 1 : static_cast<int32_t>(std::min<unsigned>(h, 1u << 20));
    }();
    return count;
}

// Runs task(i) for the indices i < count claimed from `next`, one at a time,
// until none is left.  The first exception is kept in `error` (under
// error_mutex) and ends the claiming for every thread of the run.
void claim_tasks(const std::function<void(int32_t)>& task, int32_t count, std::atomic<int32_t>& next,
                 std::mutex& error_mutex, std::exception_ptr& error) {
    for (;;) {
        const int32_t i = next.fetch_add(1, std::memory_order_relaxed);
        if (i >= count) return;
        try {
            task(i);
        } catch (...) {
            next.store(count, std::memory_order_relaxed);
            std::lock_guard<std::mutex> lock(error_mutex);
            if (!error) error = std::current_exception();
        }
    }
}

class ThreadPool {
public:
    // Runs task(0) ... task(count - 1) on the workers and the calling thread.
    void run(int32_t count, const std::function<void(int32_t)>& task) {
        std::lock_guard<std::mutex> run_lock(run_mutex_);
        std::unique_lock<std::mutex> lock(state_mutex_);

        const int32_t wanted = std::min(hardware_threads(), count) - 1;
        while (static_cast<int32_t>(workers_.size()) < wanted) {
            const uint64_t seen = generation_;
            workers_.emplace_back([this, seen] { worker_main(seen); });
            worker_count_.store(static_cast<int32_t>(workers_.size()), std::memory_order_relaxed);
        }

        task_ = &task;
        count_ = count;
        error_ = nullptr;
        next_.store(0, std::memory_order_relaxed);
        pending_ = static_cast<int32_t>(workers_.size());
        ++generation_;
        lock.unlock();
        work_cv_.notify_all();

        t_in_pool = true;
        chunk_loop();
        t_in_pool = false;

        lock.lock();
        done_cv_.wait(lock, [this] { return pending_ == 0; });
        task_ = nullptr;
        if (error_) {
            std::exception_ptr e = error_;
            error_ = nullptr;
            lock.unlock();
            std::rethrow_exception(e);
        }
    }

    int32_t worker_count() const { return worker_count_.load(std::memory_order_relaxed); }

private:
    void chunk_loop() {
        // task_ and count_ are published under state_mutex_ before the workers
        // are woken, and stay fixed until every worker has reported back.
        claim_tasks(*task_, count_, next_, state_mutex_, error_);
    }

    void worker_main(uint64_t seen) {
        t_in_pool = true;
        std::unique_lock<std::mutex> lock(state_mutex_);
        for (;;) {
            work_cv_.wait(lock, [&] { return generation_ != seen; });
            seen = generation_;
            lock.unlock();
            chunk_loop();
            lock.lock();
            if (--pending_ == 0) done_cv_.notify_one();
        }
    }

    std::mutex run_mutex_;
    std::mutex state_mutex_;
    std::condition_variable work_cv_;
    std::condition_variable done_cv_;
    std::vector<std::thread> workers_;
    const std::function<void(int32_t)>* task_ = nullptr;
    std::exception_ptr error_;
    int32_t count_ = 0;
    int32_t pending_ = 0;
    uint64_t generation_ = 0;
    std::atomic<int32_t> next_{0};
    std::atomic<int32_t> worker_count_{0};
};

std::atomic<ThreadPool*> g_pool{nullptr};

// GOMP_parallel of the OpenMP runtime whose threads parallel_for borrows
// (see share_openmp_threads); null while the pool runs everything.
using OpenMpParallel = void (*)(void (*)(void*), void*, unsigned, unsigned);
std::atomic<OpenMpParallel> g_openmp_parallel{nullptr};

// One parallel_for run on an OpenMP team: every member claims tasks as the
// pool's threads do, and the first exception is kept for the caller (none may
// cross the runtime's frames).
struct OpenMpRun {
    OpenMpRun(const std::function<void(int32_t)>& t, int32_t n) : task(&t), count(n) {}

    const std::function<void(int32_t)>* task;
    int32_t count;
    std::atomic<int32_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;

    static void member(void* self) {
        auto& run = *static_cast<OpenMpRun*>(self);
        const bool was_in_pool = t_in_pool;
        t_in_pool = true;
        claim_tasks(*run.task, run.count, run.next, run.error_mutex, run.error);
        t_in_pool = was_in_pool;
    }
};

// A child made by fork() has only the thread that forked: the workers the
// pool counts on, and any lock one of them held, stayed behind in the parent,
// and a run would wait for them forever.  The child starts over with a new
// pool; the old one is left as it is (its threads cannot be joined there).
// The same holds for a borrowed OpenMP team (GNU's runtime does not survive
// fork() either), so the child runs on a pool of its own too.
void forget_pool_in_child() {
    g_pool.store(nullptr, std::memory_order_relaxed);
    g_openmp_parallel.store(nullptr, std::memory_order_relaxed);
}

void forget_threads_in_forked_children() {
    static const bool registered = [] {
#if __has_include(<pthread.h>)
        pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
#endif
        return true;
    }();
    (void)registered;
}

ThreadPool& pool() {
    // Never destroyed: workers block on the pool's condition variable until the
    // process ends, and joining them at exit could deadlock an unloading module.
    ThreadPool* p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr) return *p;
    forget_threads_in_forked_children();
    // Creating a pool starts no thread, so a caller that loses the race simply
    // drops its own.
    auto* fresh = new ThreadPool();
    if (g_pool.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *p;
}

void run_tasks(int32_t count, const std::function<void(int32_t)>& task) {
    if (OpenMpParallel parallel = g_openmp_parallel.load(std::memory_order_acquire)) {
        // As many threads as the pool would run: a request beyond the
        // hardware still cuts more chunks but starts no more threads.
        OpenMpRun run(task, count);
        parallel(&OpenMpRun::member, &run, static_cast<unsigned>(std::min(hardware_threads(), count)), 0);
        if (run.error) std::rethrow_exception(run.error);
        return;
    }
    pool().run(count, task);
}

}  // namespace

int32_t parse_thread_count(const char* text) {
    if (text == nullptr) return 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text) return 0;
    // Negative values wrap to huge unsigned numbers and fall back to automatic.
    if (static_cast<uint32_t>(value) > kMaxRequestedThreads) return 0;
    return static_cast<int32_t>(value);
}

void set_num_threads(int32_t n) { g_num_threads.store(std::max<int32_t>(n, 0)); }

int32_t get_num_threads() { return g_num_threads.load(); }

int32_t parallel_width() {
    const int32_t requested = g_num_threads.load();
    return requested >= 1 ? requested : std::min<int32_t>(hardware_threads(), kAutoThreadCap);
}

void parallel_for(int64_t n, int64_t grain, const std::function<void(int64_t, int64_t)>& fn) {
    if (n <= 0) return;
    const int64_t threads = parallel_width();
    const int64_t chunks = grain >= 1 ? (n + grain - 1) / grain : n;
    const int64_t k = std::min(chunks, threads);
    if (k <= 1 || t_in_pool) {
        fn(0, n);
        return;
    }
    const int64_t c = (n + k - 1) / k;
    struct Range {
        const std::function<void(int64_t, int64_t)>* fn;
        int64_t n;
        int64_t c;
    } range{&fn, n, c};
    // Captures one pointer, so std::function stores it inline: no allocation.
    const std::function<void(int32_t)> task = [&range](int32_t i) {
        const int64_t begin = static_cast<int64_t>(i) * range.c;
        const int64_t end = std::min(range.n, begin + range.c);
        if (begin < end) (*range.fn)(begin, end);
    };
    run_tasks(static_cast<int32_t>(k), task);
}

void share_openmp_threads(void* gomp_parallel) {
    forget_threads_in_forked_children();
    g_openmp_parallel.store(reinterpret_cast<OpenMpParallel>(gomp_parallel), std::memory_order_release);
}

namespace detail {
int32_t pool_worker_count() {
    ThreadPool* p = g_pool.load(std::memory_order_acquire);
    return p ? p->worker_count() : 0;
}
bool in_pool() { return t_in_pool; }
}  // namespace detail

}  // namespace qorva::dsp
