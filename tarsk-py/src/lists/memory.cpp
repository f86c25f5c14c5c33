#include "lists/memory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace tarsk::py::memory {

namespace {

using Clock = std::chrono::steady_clock;

struct Waiting {
    void* data;
    std::size_t capacity;  // bytes, a whole number of huge pages
    Clock::time_point since;
};

// The cache; the mutex guards both fields. The vector's storage is reserved
// once, so pushing under the lock never allocates.
struct Cache {
    std::mutex mutex;
    std::vector<Waiting> blocks;
    std::size_t bytes = 0;
};

Cache& cache() {
    static Cache* c = [] {
        auto* fresh = new Cache;  // never destroyed: releases may come during exit
        fresh->blocks.reserve(kCacheBlocks);
        return fresh;
    }();
    return *c;
}

std::size_t rounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Moves the blocks that waited too long into `out` (freed outside the lock).
void expire(Cache& c, Clock::time_point now, std::vector<void*>& out) {
    for (std::size_t k = c.blocks.size(); k-- > 0;) {
        if (now - c.blocks[k].since >= kCacheIdle) {
            out.push_back(c.blocks[k].data);
            c.bytes -= c.blocks[k].capacity;
            c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(k));
        }
    }
}

void free_all(const std::vector<void*>& blocks) {
    for (void* p : blocks) std::free(p);
}

}  // namespace

void* take(std::size_t bytes) {
    if (bytes == 0) return nullptr;
    if (bytes < kHugeFrom) return ::operator new(bytes);
    if (bytes > static_cast<std::size_t>(-1) - kHugePage) throw std::bad_alloc();
    const std::size_t capacity = rounded(bytes);
    std::vector<void*> expired;
    expired.reserve(kCacheBlocks);
    void* found = nullptr;
    {
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        for (std::size_t k = 0; k < c.blocks.size(); ++k) {
            if (c.blocks[k].capacity == capacity) {
                found = c.blocks[k].data;
                c.bytes -= capacity;
                c.blocks.erase(c.blocks.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
        }
        expire(c, Clock::now(), expired);
    }
    free_all(expired);
    if (found) return found;
    void* p = std::aligned_alloc(kHugePage, capacity);
    if (!p) {
        trim();
        p = std::aligned_alloc(kHugePage, capacity);
        if (!p) throw std::bad_alloc();
    }
#if defined(MADV_HUGEPAGE)
    ::madvise(p, capacity, MADV_HUGEPAGE);  // advice only; failure changes nothing
#endif
    return p;
}

void give_back(void* p, std::size_t bytes) noexcept {
    if (!p) return;
    if (bytes < kHugeFrom) {
        ::operator delete(p);
        return;
    }
    const std::size_t capacity = rounded(bytes);
    std::vector<void*> expired;
    bool kept = false;
    try {
        expired.reserve(kCacheBlocks);
        Cache& c = cache();
        std::lock_guard lock(c.mutex);
        const auto now = Clock::now();
        expire(c, now, expired);
        if (c.blocks.size() < kCacheBlocks && c.bytes + capacity <= kCacheBytes) {
            c.blocks.push_back({p, capacity, now});
            c.bytes += capacity;
            kept = true;
        }
    } catch (...) {
        // Without room to note the block, it goes back to the system.
    }
    free_all(expired);
    if (!kept) std::free(p);
}

void trim() noexcept {
    Cache& c = cache();
    std::vector<Waiting> all;
    {
        std::lock_guard lock(c.mutex);
        all.swap(c.blocks);
        c.bytes = 0;
        try {
            c.blocks.reserve(kCacheBlocks);
        } catch (...) {
        }
    }
    for (const Waiting& w : all) std::free(w.data);
}

CacheState cache_state() noexcept {
    Cache& c = cache();
    std::lock_guard lock(c.mutex);
    return {c.blocks.size(), c.bytes};
}

}  // namespace tarsk::py::memory
