// Reuse, alignment and trimming of the host buffer pool and of the device
// arena's block cache (host blocks standing in for device memory).
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "check.hpp"
#include "gpu/block_cache.hpp"
#include "runtime/buffer_pool.hpp"

using namespace qorva::dsp;
using gpu::BlockCache;

namespace {
constexpr std::size_t MiB = std::size_t{1} << 20;
bool aligned64(const void* p) { return reinterpret_cast<uintptr_t>(p) % 64 == 0; }

// The device arena's allocation rules over host memory: retired blocks are
// freed at the next allocation, as the arena does.
struct Arena {
    BlockCache cache;
    std::vector<void*> freed;
    void* alloc(std::size_t bytes, uint64_t stream = 0) {
        for (void* p : cache.take_retired()) freed.push_back(p), std::free(p);
        const std::size_t n = BlockCache::request_size(bytes);
        if (void* p = cache.take(n, stream)) return p;
        void* p = std::malloc(n);
        cache.adopt(p, n, stream);
        return p;
    }
};
}  // namespace

TEST_CASE("a cached block is reused only up to twice the request, the smallest first") {
    void* zero = pool_acquire(0);  // a usable 64-byte block
    CHECK(zero != nullptr && aligned64(zero));
    static_cast<char*>(zero)[63] = 1;
    void* a = pool_acquire(1000);
    pool_release(a);
    void* b = pool_acquire(600);  // 1000 <= 1200: reused
    pool_release(b);
    void* c = pool_acquire(400);  // 1000 > 800: fresh block
    CHECK(b == a && c != a && aligned64(a) && aligned64(c));
    void* big = pool_acquire(1900);
    for (void* p : {zero, c, big}) pool_release(p);
    void* d = pool_acquire(950);  // 1000 and 1900 both fit; the smaller wins
    CHECK(d == a);
    pool_release(d);
}

TEST_CASE("steady-state cycles take no new blocks; the scoped holder releases on every path") {
    for (int i = 0; i < 100; ++i) PoolBuffer x(64 * 1024), y(3 * 1024);
    const PoolStats warm = pool_stats();
    for (int i = 0; i < 100; ++i) PoolBuffer x(64 * 1024), y(3 * 1024);
    CHECK_EQ(pool_stats().owned_blocks, warm.owned_blocks);
    void* p = nullptr;
    try {
        PoolBuffer holder(5000);
        p = holder.get();
        throw 1;
    } catch (int) {
    }
    PoolBuffer again(5000);
    PoolBuffer moved = std::move(again);
    CHECK(again.get() == nullptr && moved.get() == p);  // back in the cache, so reused
    void* kept = moved.release();
    CHECK(moved.get() == nullptr && kept == p);
    pool_release(kept);
}

TEST_CASE("null, foreign pointers and impossible sizes leave the pool untouched") {
    const PoolStats before = pool_stats();
    pool_release(nullptr);
    pool_release(std::aligned_alloc(64, 4096));  // freed directly
    CHECK_THROWS(std::bad_alloc, pool_acquire(~std::size_t{0} - 16), "");
    CHECK(pool_stats().cached_bytes == before.cached_bytes && pool_stats().owned_blocks == before.owned_blocks);
}

TEST_CASE("more than 1 GiB of idle blocks trims the smallest first") {
    // Large blocks are never touched, so only address space is used.
    const uint64_t base = pool_stats().cached_bytes;
    void* s100 = pool_acquire(100 * MiB);
    void* s300 = pool_acquire(300 * MiB);
    void* s350 = pool_acquire(350 * MiB);
    void* s400 = pool_acquire(400 * MiB);
    for (void* p : {s300, s350, s100}) pool_release(p);
    CHECK_EQ(pool_stats().cached_bytes, base + 750 * MiB);
    pool_release(s400);  // 1150 MiB: drop 100 (1050), then 300 (750), and the small blocks of earlier cases
    CHECK(!pool_owns(s100) && !pool_owns(s300) && pool_owns(s350) && pool_owns(s400));
    CHECK_EQ(pool_stats().cached_bytes, uint64_t{750 * MiB});
}

TEST_CASE("the device arena reuses blocks up to twice the request, per stream, and retires beyond its cap") {
    Arena h{BlockCache(10000)};
    CHECK_EQ(BlockCache::request_size(0), 4u);
    void* a = h.alloc(3000);
    void* b = h.alloc(4000);
    void* c = h.alloc(5000);
    h.cache.give_back(a);
    h.cache.give_back(b);
    void* other = h.alloc(2000, 7);  // another stream may still be reading a
    CHECK(other != a);
    CHECK(h.alloc(2000) == a);     // 3000 <= 2 x 2000, and smaller than 4000
    void* fresh = h.alloc(1999);   // 4000 > 2 x 1999: a new block
    CHECK(fresh != b);
    h.cache.give_back(fresh);
    h.cache.give_back(a);
    CHECK(h.cache.cached_bytes() == 8999u);
    h.cache.give_back(c);  // 13999 cached: the two smallest blocks are retired, freed by the next allocation
    CHECK(h.freed.empty() && h.cache.cached_bytes() == 9000u);
    void* huge = h.alloc(20000);
    CHECK(h.freed == (std::vector<void*>{fresh, a}));
    h.cache.give_back(huge);  // over the cap: retired after the smaller ones
    void* foreign = std::malloc(16);  // never handed out: retired as it is
    h.cache.give_back(foreign);
    void* tiny = h.alloc(1);
    CHECK(h.freed == (std::vector<void*>{fresh, a, b, c, huge, foreign}) && h.cache.free_blocks() == 0u);
    std::free(other), std::free(tiny);
}

QTEST_MAIN
