#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "pool/sleep.h"

namespace tarsk::py::pool {

// A short pause inside a spin loop.
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// The state word of a latch that a worker waits for: unset, owner asleep on
// it, or set. Setting is final.
class CoreLatch {
public:
    bool probe() const {
        // acquire: pairs with the release half of set(), so whatever the
        // setter wrote before setting (a job's result) is visible.
        return state_.load(std::memory_order_acquire) == kSet;
    }

    // The owner announces that it is about to sleep; false if already set.
    bool try_sleep() {
        int expected = kUnset;
        // acq_rel: orders the announcement against the owner's later checks
        // and the setter's exchange (both on this one word).
        return state_.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel,
                                              std::memory_order_acquire);
    }

    // The owner is awake again; leaves a set latch set.
    void wake_up() {
        int expected = kSleeping;
        // relaxed: only the owner leaves the sleeping state; a racing set()
        // wins the exchange and the value stays kSet.
        state_.compare_exchange_strong(expected, kUnset, std::memory_order_relaxed);
    }

    // Sets the latch; true if the owner was asleep on it and must be woken.
    bool set() {
        // acq_rel: release publishes the result written before; acquire
        // makes the owner's sleeping announcement visible to us.
        return state_.exchange(kSet, std::memory_order_acq_rel) == kSleeping;
    }

private:
    static constexpr int kUnset = 0;
    static constexpr int kSleeping = 1;
    static constexpr int kSet = 2;
    std::atomic<int> state_{kUnset};
};

// The latch of a job pushed by a worker inside join: the owner keeps working
// (or sleeps) until it is set, and the setter wakes the owner if it sleeps.
class SpinLatch {
public:
    SpinLatch(Sleep* sleep, std::size_t owner) : sleep_(sleep), owner_(owner) {}

    bool probe() const { return core_.probe(); }
    CoreLatch* core() { return &core_; }

    void set() {
        // The latch lives in the owner's stack frame, which may be gone as
        // soon as the state says set: copy what we need first.
        Sleep* sleep = sleep_;
        std::size_t owner = owner_;
        if (core_.set()) sleep->wake_specific(owner);
    }

private:
    CoreLatch core_;
    Sleep* sleep_;
    std::size_t owner_;
};

// The wake-up signal of a thread outside the pool that waits for an injected
// job: a flag guarded by a mutex and a condition variable. The waiter spins a
// few microseconds on a mirror of the flag before it blocks, which keeps the
// round trip of small jobs short.
class LockLatch {
public:
    void set() {
        // Notify while holding the mutex: once the waiter can see the flag,
        // the setter no longer touches the latch.
        std::lock_guard<std::mutex> guard(mutex_);
        is_set_ = true;
        // release: publishes the job's result to the spinning waiter.
        fast_.store(true, std::memory_order_release);
        cv_.notify_one();
    }

    // Waits until set, then resets the latch for the next job.
    void wait_and_reset() {
        using clock = std::chrono::steady_clock;
        auto deadline = clock::now() + std::chrono::microseconds(kSpinMicros);
        for (unsigned i = 1;; ++i) {
            // acquire: pairs with the release store in set().
            if (fast_.load(std::memory_order_acquire)) break;
            cpu_relax();
            if (i % 64 == 0 && clock::now() >= deadline) break;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (!is_set_) cv_.wait(lock);
        is_set_ = false;
        // relaxed: under the mutex, and nobody sets before the next job.
        fast_.store(false, std::memory_order_relaxed);
    }

private:
    static constexpr int kSpinMicros = 10;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool is_set_ = false;  // guarded by mutex_
    std::atomic<bool> fast_{false};
};

// A LockLatch held by reference inside a job.
struct LockLatchRef {
    LockLatch* latch;
    void set() { latch->set(); }
};

// The calling thread's own LockLatch, created on first use and reused by
// every later call from that thread.
LockLatch& caller_latch();

}  // namespace tarsk::py::pool
