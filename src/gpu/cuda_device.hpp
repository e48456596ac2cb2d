// Internals of the CUDA backend shared by its units: error checks, engine-owned
// device buffers, constant-table uploads, staged host-device copies through
// pinned memory, stream handles and the framing kernels' parameter block.
// Included only by sources compiled with the CUDA toolkit.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cuda_runtime.h>

#include "gpu/device.hpp"

namespace qorva::dsp::gpu::cuda {

// Throws std::runtime_error "cuda: <what>: <runtime text>" unless code is cudaSuccess.
void cuda_check(cudaError_t code, const char* what);

// True when a kernel of this build can be loaded on the current device.
bool device_code_runs();

// An engine-owned device allocation that only grows; contents are not kept
// across growth, which waits for the device first.  Freed with the owner.
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept : ptr_(other.ptr_), capacity_(other.capacity_) {
        other.ptr_ = nullptr;
        other.capacity_ = 0;
    }
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept;
    ~DeviceBuffer();

    void ensure(std::size_t bytes);
    void* get() const { return ptr_; }
    template <typename T>
    T* as() const {
        return static_cast<T*>(ptr_);
    }
    std::size_t capacity() const { return capacity_; }

private:
    void* ptr_ = nullptr;
    std::size_t capacity_ = 0;
};

// Makes device 0, the one device the engines use, current for a scope and
// restores the caller's device after it: an engine built or called while
// another device is current (a PyTorch user on cuda:1, say) still allocates,
// launches and records events on device 0.
class OnDevice0 {
public:
    OnDevice0();
    OnDevice0(const OnDevice0&) = delete;
    OnDevice0& operator=(const OnDevice0&) = delete;
    ~OnDevice0();

private:
    int previous_ = 0;
};

// Orders one engine's calls on its own device buffers whatever streams they
// run on.  Staged calls run on the legacy stream and resident calls on the
// caller's, which may be non-blocking, so two calls could otherwise overlap on
// the device and share scratch.  Each call, holding the engine's mutex, opens
// a Scope on its stream: the stream first waits for the end of the engine's
// previous call, and the scope marks the end of this call when it closes,
// also when the call throws (later calls then wait for what it queued).
// A growing DeviceBuffer waits for the device before it frees its old block,
// so a grown buffer is never freed under a queued reader either.
class CallOrder {
public:
    CallOrder() = default;
    CallOrder(const CallOrder&) = delete;
    CallOrder& operator=(const CallOrder&) = delete;
    ~CallOrder();

    class Scope {
    public:
        Scope(CallOrder& order, cudaStream_t stream);
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        ~Scope();

    private:
        OnDevice0 device_;
        CallOrder& order_;
        cudaStream_t stream_;
    };

private:
    cudaEvent_t done_ = nullptr;  // created by the first call
};

// A constant table copied to the device once (max(bytes, 4) bytes allocated).
DeviceBuffer upload(const void* host, std::size_t bytes);

// Staged copies through the two pinned 4 MiB buffers, double-buffered.  Both
// return once the host side is done: stage_h2d once the source may be reused
// (the DMA may still run, ordered before later work on stream 0), stage_d2h
// once the destination holds the data.
void stage_h2d(void* dst, const void* src, std::size_t bytes);
void stage_d2h(void* dst, const void* src, std::size_t bytes);

// The stream of a resident call: 0 and 1 mean the legacy default stream.
inline cudaStream_t to_stream(uint64_t stream) {
    return stream < 2 ? cudaStream_t{} : reinterpret_cast<cudaStream_t>(static_cast<uintptr_t>(stream));
}

// Parameter block of the framing kernels, passed by value.
struct KParams {
    int32_t n_samples;
    int32_t n_frames;
    int32_t n_bins;
    int32_t hop;
    int32_t pad;
    int32_t mode;
    int32_t reflect;
    int32_t aux;
    int32_t row;
    int32_t half;
    int32_t log2_half;
};

inline constexpr int kBlock = 256;  // element-wise kernels
inline unsigned blocks_for(int64_t count) { return static_cast<unsigned>((count + kBlock - 1) / kBlock); }

}  // namespace qorva::dsp::gpu::cuda
