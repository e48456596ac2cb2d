// Module functions about the library itself: interface version, worker count,
// buffer pool statistics and build information.
#include "bindings/module_parts.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "fft/fftw_adapters.hpp"
#include "runtime/buffer_pool.hpp"
#include "runtime/thread_pool.hpp"

namespace qorva::dsp::bindings {

void register_runtime_functions(py::module_& m) {
    m.def("abi_version", [] { return kAbiVersion; }, "Interface version of the compiled extension (the package checks it).");
    m.def(
        "set_num_threads",
        [](int64_t n) {
            // Negative values mean automatic; there is no upper bound on the
            // request, so values beyond 32 bits saturate.
            set_num_threads(static_cast<int32_t>(
                std::clamp<int64_t>(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max())));
        },
        py::arg("n"),
        "Set the number of parallel chunks CPU work is split into; 0 (or a negative "
        "value) restores the automatic choice, min(hardware threads, 16).");
    m.def("get_num_threads", &get_num_threads,
          "The requested number of parallel chunks; 0 while the choice is automatic.");
    m.def(
        "_share_openmp_threads",
        [](uintptr_t gomp_parallel) { share_openmp_threads(reinterpret_cast<void*>(gomp_parallel)); },
        py::arg("gomp_parallel"),
        "Run parallel work on the team of the OpenMP runtime whose GOMP_parallel is at this address "
        "(0: on the library's own threads again).");
    m.def(
        "_pool_stats",
        [] {
            const PoolStats s = pool_stats();
            py::dict d;
            d["cached_bytes"] = s.cached_bytes;
            d["cached_blocks"] = s.cached_blocks;
            d["owned_blocks"] = s.owned_blocks;
            return d;
        },
        "Buffer pool counters: bytes and blocks cached idle, and blocks owned (in use or idle).");
}

void register_build_info(py::module_& m) {
    m.def("_fftw_version", [] { return fft::fftw_version_string(); });
}

}  // namespace qorva::dsp::bindings
