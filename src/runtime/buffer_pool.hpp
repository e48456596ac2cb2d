// Process-wide cache of 64-byte-aligned host blocks.
//
// Engines take their large scratch arrays from here and the Python layer takes
// the storage of every array it returns, so that repeated calls with the same
// shapes reuse memory instead of touching fresh pages (first touch of a page
// costs far more than the arithmetic done on it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qorva::dsp {

inline constexpr std::size_t kPoolAlignment = 64;
inline constexpr std::size_t kPoolMinBlock = 64;
inline constexpr uint64_t kPoolCacheLimit = uint64_t{1} << 30;  // 1 GiB of idle blocks

// Returns a 64-byte-aligned block of at least max(n, 64) bytes, reusing a cached
// block when one at most twice the request is free.  Contents are unspecified.
// Throws std::bad_alloc when the system allocator fails.
void* pool_acquire(std::size_t n);

// Gives a block back to the cache (trimming the smallest idle blocks while more
// than 1 GiB is cached).  Null is ignored; a pointer the pool never handed out
// is freed directly.  Never throws: it runs inside array destructors.
void pool_release(void* p) noexcept;

// Frees memory obtained from the C runtime's aligned allocator.
void aligned_free(void* p) noexcept;

struct PoolStats {
    uint64_t cached_bytes;   // bytes in idle blocks
    std::size_t cached_blocks;
    std::size_t owned_blocks;  // in use or idle
};
PoolStats pool_stats();
// True when the pool currently tracks p (in use or cached).
bool pool_owns(const void* p);

// Owns one pooled block and gives it back on every exit path.
class PoolBuffer {
public:
    PoolBuffer() = default;
    explicit PoolBuffer(std::size_t bytes) : ptr_(pool_acquire(bytes)), bytes_(bytes) {}
    ~PoolBuffer() { pool_release(ptr_); }
    PoolBuffer(PoolBuffer&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), bytes_(std::exchange(other.bytes_, 0)) {}
    PoolBuffer& operator=(PoolBuffer&& other) noexcept {
        if (this != &other) {
            pool_release(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
            bytes_ = std::exchange(other.bytes_, 0);
        }
        return *this;
    }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;

    template <typename T>
    T* as() const noexcept { return static_cast<T*>(ptr_); }
    void* get() const noexcept { return ptr_; }
    std::size_t size() const noexcept { return bytes_; }
    // Hands the block to the caller, who must pool_release it.
    void* release() noexcept { bytes_ = 0; return std::exchange(ptr_, nullptr); }

private:
    void* ptr_ = nullptr;
    std::size_t bytes_ = 0;
};

}  // namespace qorva::dsp
