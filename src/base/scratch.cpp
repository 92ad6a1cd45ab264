#include "base/scratch.hpp"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace kestrel::scratch_detail {
namespace {

// Smaller blocks come from the allocator's own free lists cheaply; only
// large ones are worth keeping.
constexpr std::size_t kMinCachedBytes = std::size_t{64} << 10;
// What the cache may hold at once: the tables of a few million sites. A
// larger release frees the oldest blocks first.
constexpr std::size_t kMaxCachedBytes = std::size_t{512} << 20;
constexpr std::size_t kMaxCachedBlocks = 64;
// A request takes a cached block at most this many times its size, so a
// small table does not pin a large block.
constexpr std::size_t kMaxWaste = 4;

struct Block {
    void* memory;
    std::size_t capacity;
};

struct Cache {
    std::mutex mutex;
    std::vector<Block> blocks;  // oldest first
    std::size_t bytes = 0;
};

// Never destroyed: pool workers may release arrays while the process exits.
Cache& cache() {
    static Cache* const instance = new Cache;
    return *instance;
}

void release_all() {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    for (const Block& block : c.blocks) std::free(block.memory);
    c.blocks.clear();
    c.bytes = 0;
}

}  // namespace

void* take(std::size_t bytes, std::size_t& capacity) {
    if (bytes >= kMinCachedBytes) {
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        auto best = c.blocks.end();
        for (auto it = c.blocks.begin(); it != c.blocks.end(); ++it)
            if (it->capacity >= bytes && it->capacity / kMaxWaste <= bytes &&
                (best == c.blocks.end() || it->capacity < best->capacity))
                best = it;
        if (best != c.blocks.end()) {
            const Block found = *best;
            c.blocks.erase(best);
            c.bytes -= found.capacity;
            capacity = found.capacity;
            return found.memory;
        }
    }
    void* memory = std::malloc(std::max<std::size_t>(bytes, 1));
    if (memory == nullptr) {
        // The cache may be what fills the address space: empty it and retry.
        release_all();
        memory = std::malloc(std::max<std::size_t>(bytes, 1));
    }
    if (memory == nullptr) throw std::bad_alloc();
    capacity = bytes;
    return memory;
}

void give(void* block, std::size_t capacity) noexcept {
    if (capacity < kMinCachedBytes || capacity > kMaxCachedBytes) return std::free(block);
    {
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        try {
            c.blocks.push_back({block, capacity});
        } catch (...) {  // no room for the entry: the block goes back to the allocator
            std::free(block);
            return;
        }
        c.bytes += capacity;
        while (c.bytes > kMaxCachedBytes || c.blocks.size() > kMaxCachedBlocks) {
            c.bytes -= c.blocks.front().capacity;
            std::free(c.blocks.front().memory);
            c.blocks.erase(c.blocks.begin());
        }
    }
}

std::size_t cached_bytes() {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return c.bytes;
}

}  // namespace kestrel::scratch_detail
