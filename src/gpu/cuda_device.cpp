// The CUDA device layer: availability probe, error checks, the device arena
// for results handed to Python, engine-owned buffers, and staged copies
// through two pinned host buffers.
#include "gpu/cuda_device.hpp"

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/block_cache.hpp"
#include "runtime/thread_pool.hpp"

// Asks hybrid-graphics drivers to run CUDA work on the NVIDIA GPU.
extern "C" {
__attribute__((visibility("default"))) int32_t NvOptimusEnablementCuda = 1;
}

namespace qorva::dsp::gpu {

namespace {

// Oldest device the fat binary carries machine code for.
constexpr int kMinComputeCapability = 75;

int probe_compute_capability() {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1) {
        cudaGetLastError();  // a missing driver is not an error of ours
        return 0;
    }
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
        cudaGetLastError();
        return 0;
    }
    return prop.major * 10 + prop.minor;
}

}  // namespace

bool gpu_compiled() { return true; }

int gpu_compute_capability() {
    static const int cc = probe_compute_capability();
    return cc;
}

bool gpu_available() {
    static const bool usable = gpu_compute_capability() >= kMinComputeCapability && cuda::device_code_runs();
    return usable;
}

const char* gpu_backend_name() { return gpu_available() ? "cuda" : "none"; }

std::string gpu_device_name() {
    if (!gpu_available()) return {};
    cudaDeviceProp prop{};
    if (cudaGetDeviceProperties(&prop, 0) != cudaSuccess) {
        cudaGetLastError();
        return {};
    }
    return prop.name;
}

// --- arena ------------------------------------------------------------------

namespace {

struct DeviceArena {
    std::mutex mutex;
    BlockCache cache{std::size_t(1) << 30};

    ~DeviceArena() {
        // Blocks still held by live capsules are left to the driver's teardown.
        cache.retire_free();
        free_retired();
    }

    // Frees the retired blocks, outside the lock (cudaFree waits for the device).
    void free_retired() {
        std::vector<void*> retired;
        {
            std::lock_guard<std::mutex> lock(mutex);
            retired = cache.take_retired();
        }
        for (void* ptr : retired) cudaFree(ptr);
    }
};

DeviceArena& arena() {
    static DeviceArena instance;
    return instance;
}

}  // namespace

void* arena_alloc(std::size_t bytes, uint64_t stream) {
    const std::size_t n = BlockCache::request_size(bytes);
    const uint64_t key = stream < 2 ? 0 : stream;  // 0 and 1 both name the legacy stream
    DeviceArena& a = arena();
    a.free_retired();
    {
        std::lock_guard<std::mutex> lock(a.mutex);
        if (void* ptr = a.cache.take(n, key)) return ptr;
    }
    void* ptr = nullptr;
    cudaError_t code = cudaMalloc(&ptr, n);
    if (code == cudaErrorMemoryAllocation) {
        // Cached blocks of every stream go back to the device before giving up.
        cudaGetLastError();
        {
            std::lock_guard<std::mutex> lock(a.mutex);
            a.cache.retire_free();
        }
        a.free_retired();
        code = cudaMalloc(&ptr, n);
    }
    cuda::cuda_check(code, "alloc");
    std::lock_guard<std::mutex> lock(a.mutex);
    a.cache.adopt(ptr, n, key);
    return ptr;
}

void arena_release(void* ptr) noexcept {
    if (ptr == nullptr) return;
    DeviceArena& a = arena();
    try {
        std::lock_guard<std::mutex> lock(a.mutex);
        a.cache.give_back(ptr);
    } catch (...) {
        // Out of host memory for the bookkeeping: the block is lost to the
        // cache but not leaked.
        cudaFree(ptr);
    }
}

std::size_t arena_cached_bytes() {
    DeviceArena& a = arena();
    std::lock_guard<std::mutex> lock(a.mutex);
    return a.cache.cached_bytes();
}

}  // namespace qorva::dsp::gpu

namespace qorva::dsp::gpu::cuda {

void cuda_check(cudaError_t code, const char* what) {
    if (code == cudaSuccess) return;
    throw std::runtime_error(std::string("cuda: ") + what + ": " + cudaGetErrorString(code));
}

// --- engine buffers -----------------------------------------------------------

DeviceBuffer& DeviceBuffer::operator=(DeviceBuffer&& other) noexcept {
    if (this != &other) {
        cudaFree(ptr_);
        ptr_ = other.ptr_;
        capacity_ = other.capacity_;
        other.ptr_ = nullptr;
        other.capacity_ = 0;
    }
    return *this;
}

DeviceBuffer::~DeviceBuffer() { cudaFree(ptr_); }

void DeviceBuffer::ensure(std::size_t bytes) {
    if (capacity_ >= bytes && ptr_ != nullptr) return;
    // Work queued on any stream may still use the old block; growth is rare
    // (grow-only), so waiting for the device here costs nothing in steady state.
    if (ptr_ != nullptr) cuda_check(cudaDeviceSynchronize(), "sync before growth");
    cudaFree(ptr_);
    ptr_ = nullptr;
    capacity_ = 0;
    const std::size_t n = bytes < 4 ? 4 : bytes;
    cuda_check(cudaMalloc(&ptr_, n), "alloc");
    capacity_ = n;
}

DeviceBuffer upload(const void* host, std::size_t bytes) {
    DeviceBuffer buffer;
    buffer.ensure(bytes);
    if (bytes > 0) cuda_check(cudaMemcpy(buffer.get(), host, bytes, cudaMemcpyHostToDevice), "h2d");
    return buffer;
}

// --- current device -------------------------------------------------------------

OnDevice0::OnDevice0() {
    cuda_check(cudaGetDevice(&previous_), "current device");
    if (previous_ != 0) cuda_check(cudaSetDevice(0), "set device");
}

OnDevice0::~OnDevice0() {
    if (previous_ != 0 && cudaSetDevice(previous_) != cudaSuccess) cudaGetLastError();
}

// --- call order -----------------------------------------------------------------

CallOrder::~CallOrder() {
    if (done_ != nullptr) cudaEventDestroy(done_);
}

CallOrder::Scope::Scope(CallOrder& order, cudaStream_t stream) : order_(order), stream_(stream) {
    if (order_.done_ == nullptr) {
        cuda_check(cudaEventCreateWithFlags(&order_.done_, cudaEventDisableTiming), "event");
        return;  // no earlier call to wait for
    }
    cuda_check(cudaStreamWaitEvent(stream_, order_.done_, 0), "stream wait");
}

CallOrder::Scope::~Scope() {
    if (cudaEventRecord(order_.done_, stream_) != cudaSuccess) cudaGetLastError();
}

// --- staging ------------------------------------------------------------------

namespace {

constexpr std::size_t kStageBytes = std::size_t(4) << 20;
constexpr int64_t kCopyGrain = 512 * 1024;

struct StagingPool {
    std::mutex mutex;
    void* buffers[2] = {nullptr, nullptr};
    cudaEvent_t events[2] = {nullptr, nullptr};
    bool ready = false;

    StagingPool() {
        for (int b = 0; b < 2; ++b) {
            if (cudaHostAlloc(&buffers[b], kStageBytes, 0) != cudaSuccess) {
                buffers[b] = nullptr;
                cudaGetLastError();
                return;
            }
            if (cudaEventCreateWithFlags(&events[b], cudaEventDisableTiming) != cudaSuccess) {
                events[b] = nullptr;
                cudaGetLastError();
                return;
            }
        }
        ready = true;
    }
};

// Lives to the end of the process: pinned memory is released with it.
StagingPool& staging() {
    static StagingPool* pool = new StagingPool();
    return *pool;
}

// Host-side copy of one chunk by the worker pool, in 512 KiB pieces.
void parallel_copy(void* dst, const void* src, std::size_t bytes) {
    auto* d = static_cast<char*>(dst);
    const auto* s = static_cast<const char*>(src);
    parallel_for(static_cast<int64_t>(bytes), kCopyGrain,
                 [d, s](int64_t begin, int64_t end) { std::memcpy(d + begin, s + begin, end - begin); });
}

}  // namespace

void stage_h2d(void* dst, const void* src, std::size_t bytes) {
    StagingPool& pool = staging();
    if (!pool.ready) {
        if (bytes > 0) cuda_check(cudaMemcpy(dst, src, bytes, cudaMemcpyHostToDevice), "h2d");
        return;
    }
    std::lock_guard<std::mutex> lock(pool.mutex);
    int b = 0;
    for (std::size_t offset = 0; offset < bytes; offset += kStageBytes, b = 1 - b) {
        const std::size_t chunk = std::min(kStageBytes, bytes - offset);
        // The previous DMA out of this pinned buffer must be done first.
        cuda_check(cudaEventSynchronize(pool.events[b]), "h2d stage");
        parallel_copy(pool.buffers[b], static_cast<const char*>(src) + offset, chunk);
        cuda_check(cudaMemcpyAsync(static_cast<char*>(dst) + offset, pool.buffers[b], chunk, cudaMemcpyHostToDevice,
                                   cudaStream_t{}),
                   "h2d");
        cuda_check(cudaEventRecord(pool.events[b], cudaStream_t{}), "h2d record");
    }
}

void stage_d2h(void* dst, const void* src, std::size_t bytes) {
    StagingPool& pool = staging();
    if (!pool.ready) {
        if (bytes > 0) cuda_check(cudaMemcpy(dst, src, bytes, cudaMemcpyDeviceToHost), "d2h");
        return;
    }
    std::lock_guard<std::mutex> lock(pool.mutex);
    if (bytes == 0) return;
    auto start = [&](std::size_t offset, int b) {
        const std::size_t chunk = std::min(kStageBytes, bytes - offset);
        cuda_check(cudaEventSynchronize(pool.events[b]), "d2h stage");
        cuda_check(cudaMemcpyAsync(pool.buffers[b], static_cast<const char*>(src) + offset, chunk,
                                   cudaMemcpyDeviceToHost, cudaStream_t{}),
                   "d2h");
        cuda_check(cudaEventRecord(pool.events[b], cudaStream_t{}), "d2h record");
    };
    start(0, 0);
    int b = 0;
    for (std::size_t offset = 0; offset < bytes; offset += kStageBytes, b = 1 - b) {
        const std::size_t chunk = std::min(kStageBytes, bytes - offset);
        // The next chunk's DMA overlaps this chunk's host copy.
        if (offset + kStageBytes < bytes) start(offset + kStageBytes, 1 - b);
        cuda_check(cudaEventSynchronize(pool.events[b]), "d2h wait");
        parallel_copy(static_cast<char*>(dst) + offset, pool.buffers[b], chunk);
    }
}

}  // namespace qorva::dsp::gpu::cuda
