#include "runtime/buffer_pool.hpp"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "runtime/fork_guard.hpp"

namespace qorva::dsp {

namespace {

struct BufferPool {
    std::mutex mutex;
    std::multimap<uint64_t, void*> free_blocks;  // size -> idle block
    std::unordered_map<void*, uint64_t> owned;   // every block handed out and not yet freed
    uint64_t cached_bytes = 0;
};

BufferPool& buffer_pool() {
    // Leaked on purpose: arrays released while the interpreter shuts down must
    // still find a live pool.  A forked child gets it consistent (no other
    // lock is ever taken while this one is held).
    static BufferPool* pool = [] {
        auto* p = new BufferPool();
        hold_across_fork<BufferPool>(p->mutex);
        return p;
    }();
    return *pool;
}

void* aligned_allocate(std::size_t size) {
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + kPoolAlignment - 1) / kPoolAlignment * kPoolAlignment;
    if (rounded < size) throw std::bad_alloc();
    void* p = std::aligned_alloc(kPoolAlignment, rounded);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

}  // namespace

void aligned_free(void* p) noexcept { std::free(p); }

void* pool_acquire(std::size_t n) {
    const std::size_t size = std::max(n, kPoolMinBlock);
    BufferPool& pool = buffer_pool();
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto it = pool.free_blocks.lower_bound(size);
        if (it != pool.free_blocks.end() && it->first - size <= size) {
            void* p = it->second;
            pool.cached_bytes -= it->first;
            pool.free_blocks.erase(it);
            return p;
        }
    }
    void* p = aligned_allocate(size);  // outside the lock: slow allocations never block releases
    try {
        std::lock_guard<std::mutex> lock(pool.mutex);
        pool.owned.emplace(p, size);
    } catch (...) {
        aligned_free(p);
        throw;
    }
    return p;
}

void pool_release(void* p) noexcept {
    if (p == nullptr) return;
    try {
        BufferPool& pool = buffer_pool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        auto owned = pool.owned.find(p);
        if (owned == pool.owned.end()) {
            aligned_free(p);
            return;
        }
        try {
            pool.free_blocks.emplace(owned->second, p);
        } catch (...) {
            pool.owned.erase(owned);
            aligned_free(p);
            return;
        }
        pool.cached_bytes += owned->second;
        while (pool.cached_bytes > kPoolCacheLimit && !pool.free_blocks.empty()) {
            auto smallest = pool.free_blocks.begin();
            pool.cached_bytes -= smallest->first;
            pool.owned.erase(smallest->second);
            aligned_free(smallest->second);
            pool.free_blocks.erase(smallest);
        }
    } catch (...) {
        // The lock could not be taken; the block must not leak.
        aligned_free(p);
    }
}

PoolStats pool_stats() {
    BufferPool& pool = buffer_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return {pool.cached_bytes, pool.free_blocks.size(), pool.owned.size()};
}

bool pool_owns(const void* p) {
    BufferPool& pool = buffer_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.owned.count(const_cast<void*>(p)) != 0;
}

}  // namespace qorva::dsp
