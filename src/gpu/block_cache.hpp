// The bookkeeping of the device arena, independent of how blocks are
// obtained and freed.
//
// Streams: a block remembers the stream it was allocated for, and once given
// back it serves only requests for that same stream.  Work queued later on
// that stream runs after everything queued there before, reads of the
// previous result included, so reuse needs no synchronisation; another
// stream could still be reading the block and never gets it.  (A consumer
// that reads a result on a second stream must order that stream itself, as
// with any caching allocator.)
//
// Reuse: a free block serves a request of at least half its size.  Trimming:
// at most `cap` bytes of free blocks are kept, the smallest evicted first.
// Evicted blocks are not freed here but retired: the arena frees them on its
// next allocation, because a release may run inside a tensor deleter, where
// freeing device memory would stall the caller until the device is idle.
//
// Not synchronised: the arena holds its mutex around every call, but never
// around the device allocator itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qorva::dsp::gpu {

class BlockCache {
public:
    explicit BlockCache(std::size_t cap) : cap_(cap) {}

    // Smallest request size served: max(bytes, 4).
    static std::size_t request_size(std::size_t bytes) { return bytes < 4 ? 4 : bytes; }

    // A free block of `stream` for a request of n bytes (n = request_size),
    // or null.  The smallest fitting block is taken.
    void* take(std::size_t n, uint64_t stream) {
        for (auto it = free_.lower_bound(n); it != free_.end() && it->first <= 2 * n; ++it) {
            if (it->second.stream != stream) continue;
            void* ptr = it->second.ptr;
            cached_ -= it->first;
            free_.erase(it);
            return ptr;
        }
        return nullptr;
    }

    // Records a newly allocated block of n bytes for `stream` as owned (in use).
    void adopt(void* ptr, std::size_t n, uint64_t stream) { owned_.emplace(ptr, Block{ptr, n, stream}); }

    // Returns a block to its stream's free list; evicts beyond the cap (the
    // block just returned may be among them).  A block the cache does not own
    // is retired as it is.
    void give_back(void* ptr) {
        auto owned = owned_.find(ptr);
        if (owned == owned_.end()) {
            retired_.push_back(ptr);
            return;
        }
        const Block& block = owned->second;
        free_.emplace(block.size, Free{ptr, block.stream});
        cached_ += block.size;
        while (cached_ > cap_ && !free_.empty()) retire(free_.begin());
    }

    // Retires every free block (when the device runs out of memory).
    void retire_free() {
        while (!free_.empty()) retire(free_.begin());
    }

    // Blocks retired since the last call, for the caller to free.
    std::vector<void*> take_retired() { return std::exchange(retired_, {}); }

    std::size_t cached_bytes() const { return cached_; }
    std::size_t free_blocks() const { return free_.size(); }

private:
    struct Block {
        void* ptr;
        std::size_t size;
        uint64_t stream;
    };
    struct Free {
        void* ptr;
        uint64_t stream;
    };

    void retire(std::multimap<std::size_t, Free>::iterator it) {
        cached_ -= it->first;
        owned_.erase(it->second.ptr);
        retired_.push_back(it->second.ptr);
        free_.erase(it);
    }

    std::size_t cap_;
    std::multimap<std::size_t, Free> free_;
    std::unordered_map<void*, Block> owned_;
    std::vector<void*> retired_;
    std::size_t cached_ = 0;
};

}  // namespace qorva::dsp::gpu
