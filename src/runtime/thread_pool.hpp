// Process-wide worker pool and parallel index ranges.
//
// Every CPU operator cuts its work (batch rows, frames, bins) into contiguous
// index ranges and hands them to parallel_for.  The pool behind it is created
// on first use, only grows, and is never torn down: worker threads live until
// the process ends, so unloading the extension never waits on them.
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

namespace detail {
// Number of worker threads started so far (0 before the pool exists).
int32_t pool_worker_count();
// True while the calling thread executes pool chunks (or is a worker).
bool in_pool();
}  // namespace detail

}  // namespace qorva::dsp
