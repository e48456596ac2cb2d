// The device arena's bookkeeping (reuse and trimming rules), exercised with
// host pointers standing in for device blocks.
#include <cstdlib>
#include <vector>

#include "check.hpp"
#include "gpu/block_cache.hpp"

namespace {

using qorva::dsp::gpu::BlockCache;

// Stand-in allocator that remembers what was freed.
struct Host {
    std::vector<void*> freed;
    void* alloc(BlockCache& cache, std::size_t bytes) {
        const std::size_t n = BlockCache::request_size(bytes);
        if (void* p = cache.take(n)) return p;
        void* p = std::malloc(n);
        cache.adopt(p, n);
        return p;
    }
    void release(BlockCache& cache, void* p) {
        if (!cache.give_back(p, [this](void* victim) { free_now(victim); })) free_now(p);
    }
    void free_now(void* p) {
        freed.push_back(p);
        std::free(p);
    }
};

TEST_CASE("a cached block serves requests of at least half its size") {
    BlockCache cache(1 << 30);
    Host host;
    CHECK_EQ(BlockCache::request_size(0), 4u);
    void* big = host.alloc(cache, 2000);
    void* bigger = host.alloc(cache, 2001);
    host.release(cache, big);
    host.release(cache, bigger);
    CHECK_EQ(cache.cached_bytes(), 4001u);
    CHECK(host.alloc(cache, 1000) == big);        // 2000 <= 2 x 1000
    void* fresh = host.alloc(cache, 1000);        // 2001 > 2 x 1000: a new block
    CHECK(fresh != bigger);
    CHECK_EQ(cache.cached_bytes(), 2001u);
    CHECK(host.alloc(cache, 1001) == bigger);     // the smallest block that fits
    host.release(cache, big);
    host.release(cache, fresh);
    host.release(cache, bigger);
    cache.drain([&](void* p) { host.free_now(p); });
    CHECK_EQ(cache.cached_bytes(), 0u);
}

TEST_CASE("free blocks beyond the cap are evicted smallest first") {
    BlockCache cache(10000);
    Host host;
    void* a = host.alloc(cache, 3000);
    void* b = host.alloc(cache, 4000);
    void* c = host.alloc(cache, 5000);
    host.release(cache, a);
    host.release(cache, b);
    CHECK(host.freed.empty());
    host.release(cache, c);                       // 12000 cached: the 3000-byte block goes
    CHECK_EQ(host.freed.size(), 1u);
    CHECK(host.freed[0] == a);
    CHECK_EQ(cache.cached_bytes(), 9000u);
    // A block larger than the cap is evicted as soon as it is returned.
    void* huge = host.alloc(cache, 20000);
    host.release(cache, huge);
    CHECK_EQ(host.freed.size(), 4u);              // smaller blocks go first
    CHECK(host.freed[1] == b && host.freed[2] == c && host.freed[3] == huge);
    CHECK_EQ(cache.cached_bytes(), 0u);
    CHECK_EQ(cache.free_blocks(), 0u);
    // A pointer the cache never handed out is freed directly.
    void* foreign = std::malloc(16);
    CHECK(!cache.give_back(foreign, [](void*) {}));
    std::free(foreign);
}

}  // namespace

QTEST_MAIN
