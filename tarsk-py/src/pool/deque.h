#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "pool/job.h"

namespace tarsk::py::pool {

// A double-ended queue of jobs guarded by a mutex. Its owner pushes and pops
// at the back (newest first); thieves and the shared queue take from the
// front (oldest first, the biggest pieces). The ring buffer is allocated on
// the first push, so an idle worker costs only the empty object.
class WorkDeque {
public:
    void push_back(JobRef job) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (size_ == buf_.size()) grow();
        buf_[(head_ + size_) & (buf_.size() - 1)] = job;
        ++size_;
        // relaxed: a hint for thieves; the mutex orders the real contents,
        // and the sleep handshake covers a stale hint (see Sleep).
        hint_.store(size_, std::memory_order_relaxed);
    }

    std::optional<JobRef> pop_back() {
        if (looks_empty()) return std::nullopt;
        std::lock_guard<std::mutex> guard(mutex_);
        if (size_ == 0) return std::nullopt;
        --size_;
        hint_.store(size_, std::memory_order_relaxed);  // relaxed: hint only
        return buf_[(head_ + size_) & (buf_.size() - 1)];
    }

    std::optional<JobRef> pop_front() {
        if (looks_empty()) return std::nullopt;
        std::lock_guard<std::mutex> guard(mutex_);
        if (size_ == 0) return std::nullopt;
        JobRef job = buf_[head_];
        head_ = (head_ + 1) & (buf_.size() - 1);
        --size_;
        hint_.store(size_, std::memory_order_relaxed);  // relaxed: hint only
        return job;
    }

    // A lock-free guess; may be stale in either direction.
    bool looks_empty() const { return hint_.load(std::memory_order_relaxed) == 0; }

private:
    void grow() {
        std::vector<JobRef> bigger(buf_.empty() ? 16 : buf_.size() * 2);
        for (std::size_t i = 0; i < size_; ++i) bigger[i] = buf_[(head_ + i) & (buf_.size() - 1)];
        buf_.swap(bigger);
        head_ = 0;
    }

    std::mutex mutex_;
    std::vector<JobRef> buf_;  // capacity 0 or a power of two
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::atomic<std::size_t> hint_{0};
};

}  // namespace tarsk::py::pool
