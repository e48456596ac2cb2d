// Process-wide worker pool and parallel index ranges.
//
// Every CPU operator cuts its work (batch rows, frames, bins) into contiguous
// index ranges and hands them to parallel_for.  The pool behind it is created
// on first use, only grows, and is never torn down: worker threads live until
// the process ends, so unloading the extension never waits on them.  A child
// process made by fork() starts a pool of its own on first use.
#pragma once

#include <cstdint>
#include <functional>

namespace qorva::dsp {

// Requested number of parallel chunks; 0 means automatic
// (min(hardware threads, 16)).  Initialised once from QORVA_DSP_NUM_THREADS.
void set_num_threads(int32_t n);
int32_t get_num_threads();

// Parses a QORVA_DSP_NUM_THREADS value the way the loader does (strtol rules,
// anything outside 0..4096 or without digits means automatic).  Exposed so the
// parsing can be unit-tested without restarting the process.
int32_t parse_thread_count(const char* text);

// Calls fn on disjoint, contiguous half-open ranges that cover [0, n) exactly
// once, possibly concurrently, and returns when all of them have returned.
// `grain` is the smallest chunk worth a task (<= 0 means 1).  A range started
// from inside a chunk runs inline on the calling thread as fn(0, n).  The first
// exception thrown by a chunk cancels the chunks not yet started and is
// rethrown here once every worker has left the run.
//
// The pool itself allocates nothing per run; callers that want the same should
// pass a lambda capturing a single reference (it then fits std::function's
// small-object buffer).
void parallel_for(int64_t n, int64_t grain, const std::function<void(int64_t, int64_t)>& fn);

// The number of chunks a large range is cut into right now: the requested
// count, or min(hardware threads, 16) when automatic.  Engines with a choice
// between parallel levels (rows or frames) use it to pick one.
int32_t parallel_width();

// Runs fn(row) for rows 0 .. batch - 1 of an engine whose rows are
// independent: whole rows per task when there are at least as many rows as
// parallel chunks (ranges inside a row then run inline, with no
// synchronisation per stage); otherwise row after row, so that each row can
// spread its own work over the pool.
template <typename Fn>
void for_each_row(int64_t batch, const Fn& fn) {
    if (batch >= parallel_width()) {
        parallel_for(batch, 1, [&fn](int64_t begin, int64_t end) {
            for (int64_t b = begin; b < end; ++b) fn(b);
        });
    } else {
        for (int64_t b = 0; b < batch; ++b) fn(b);
    }
}

// Runs parallel_for's chunks on the team of an OpenMP runtime already in the
// process, given its GOMP_parallel entry point (null: back to the pool).
// A framework that keeps OpenMP threads spinning between its own operators
// then shares them with the engines instead of competing with them for the
// cores.  A child made by fork() goes back to the pool.
void share_openmp_threads(void* gomp_parallel);

namespace detail {
// Number of worker threads started so far (0 before the pool exists).
int32_t pool_worker_count();
// True while the calling thread executes pool chunks (or is a worker).
bool in_pool();
}  // namespace detail

}  // namespace qorva::dsp
