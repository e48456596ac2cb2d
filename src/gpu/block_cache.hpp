// The bookkeeping of the device arena, independent of how blocks are
// obtained: a free list ordered by size, the set of blocks it owns, and the
// rules for reuse (a free block serves a request of at least half its size)
// and trimming (at most `cap` bytes of free blocks, smallest evicted first).
// Not synchronised: the arena holds its mutex around every call, but never
// around the allocator itself.
#pragma once

#include <cstddef>
#include <map>
#include <unordered_map>

namespace qorva::dsp::gpu {

class BlockCache {
public:
    explicit BlockCache(std::size_t cap) : cap_(cap) {}

    // Smallest request size served: max(bytes, 4).
    static std::size_t request_size(std::size_t bytes) { return bytes < 4 ? 4 : bytes; }

    // A cached block for a request of n bytes (n = request_size), or null.
    void* take(std::size_t n) {
        auto it = free_.lower_bound(n);
        if (it == free_.end() || it->first > 2 * n) return nullptr;
        void* ptr = it->second;
        cached_ -= it->first;
        free_.erase(it);
        return ptr;
    }

    // Records a newly allocated block of n bytes as owned (in use).
    void adopt(void* ptr, std::size_t n) { owned_.emplace(ptr, n); }

    // Returns a block.  False when the cache does not own it (the caller frees
    // it).  Blocks evicted to respect the cap are passed to `free_block`,
    // smallest first; the block just returned may be among them.
    template <typename Free>
    bool give_back(void* ptr, Free&& free_block) {
        auto owned = owned_.find(ptr);
        if (owned == owned_.end()) return false;
        free_.emplace(owned->second, ptr);
        cached_ += owned->second;
        while (cached_ > cap_ && !free_.empty()) {
            auto smallest = free_.begin();
            cached_ -= smallest->first;
            owned_.erase(smallest->second);
            void* victim = smallest->second;
            free_.erase(smallest);
            free_block(victim);
        }
        return true;
    }

    // Hands every free block to `free_block` (at teardown).
    template <typename Free>
    void drain(Free&& free_block) {
        for (auto& [size, ptr] : free_) {
            owned_.erase(ptr);
            free_block(ptr);
        }
        free_.clear();
        cached_ = 0;
    }

    std::size_t cached_bytes() const { return cached_; }
    std::size_t free_blocks() const { return free_.size(); }

private:
    std::size_t cap_;
    std::multimap<std::size_t, void*> free_;
    std::unordered_map<void*, std::size_t> owned_;
    std::size_t cached_ = 0;
};

}  // namespace qorva::dsp::gpu
