#pragma once
// Memory for the arrays behind lists and for results handed to numpy.
//
// Small blocks come from operator new, whose allocator reuses freed memory by
// itself. Large blocks (from kHugeFrom bytes) are rounded up to whole 2 MiB
// pages, aligned to 2 MiB and advised for transparent huge pages: a fresh
// large block is mapped afresh by the kernel, and with 4 KiB pages the faults
// of its first writes cost more than the arithmetic that fills it (filling a
// fresh 8 MiB block took 7.4 ms with 4 KiB pages and 1.1 ms with huge pages
// on the development machine; from 4 MiB on the ratio stays near 0.15, at
// 1 MiB there is no gain, and between 2 and 4 MiB the rounding wastes up to
// half the block).
//
// Freed large blocks wait in a small cache for the next request of the same
// rounded size, since a chain of operations over one set of points frees and
// takes blocks of one size: at most kCacheBlocks blocks and kCacheBytes
// bytes. A block that has waited kCacheIdle is given back to the system by
// the next large request or release, and trim() (run at exit) gives back
// all. Thread-safe.
#include <chrono>
#include <cstddef>

namespace tarsk::py::memory {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kHugeFrom = std::size_t{4} << 20;
inline constexpr std::size_t kCacheBlocks = 4;
inline constexpr std::size_t kCacheBytes = std::size_t{128} << 20;
inline constexpr std::chrono::milliseconds kCacheIdle{1000};

// Room for `bytes` (null for 0); throws std::bad_alloc.
void* take(std::size_t bytes);

// Gives back a block from take(bytes), with the same `bytes`.
void give_back(void* p, std::size_t bytes) noexcept;

// Gives every cached block back to the system.
void trim() noexcept;

// What the cache holds now.
struct CacheState {
    std::size_t blocks;
    std::size_t bytes;
};
CacheState cache_state() noexcept;

}  // namespace tarsk::py::memory
