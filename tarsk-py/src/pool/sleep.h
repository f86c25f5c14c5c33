#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarsk::py::pool {

class CoreLatch;

// The sleep/wake state of idle workers.
//
// A worker that finds no work spins for a while, then gets sleepy: it takes
// the current value of the new-work counter (its epoch), looks for work once
// more, and only then sleeps. Going to sleep it registers itself as a sleeper
// and re-reads the counter; every publisher of work pushes the job first,
// then bumps the counter, then looks at the sleeper count. Both sides use
// sequentially consistent operations on the two atomics, so either the
// sleeper sees the new epoch and stays awake, or the publisher sees the
// sleeper and wakes one: a job is never left behind with everybody asleep.
//
// Each worker sleeps on a condition variable of its own, so that a latch set
// by a thief can wake exactly the worker that waits for it. A worker leaves
// the sleeper list while it still holds its cell, so a wake-up for new work
// always reaches a worker that sees it: one woken for its own latch either
// takes itself off the list first, or receives the wake-up for work and
// passes it on to another sleeper.
//
// Lock order: a cell's mutex, then the sleeper list's; wakers never hold both.
class Sleep {
public:
    // Adds the sleep cell of the next worker; called while the pool is being
    // built, before any worker runs.
    void add_worker();

    // The epoch a worker carries into its last search before sleeping.
    std::uint64_t get_sleepy() const {
        // seq_cst: one side of the sleeper/publisher handshake (see above).
        return jobs_counter_.load(std::memory_order_seq_cst);
    }

    // Blocks worker `index` until it is woken, unless new work was published
    // since `epoch` or the latch (may be null) is already set.
    void sleep(std::size_t index, CoreLatch* latch, std::uint64_t epoch);

    // Announces a job that was just pushed where other workers can find it,
    // and wakes one sleeper if there is one.
    void new_work() {
        // seq_cst on both: the publisher's half of the handshake.
        jobs_counter_.fetch_add(1, std::memory_order_seq_cst);
        if (num_sleepers_.load(std::memory_order_seq_cst) != 0) wake_any();
    }

    // Wakes worker `index` (whose latch was just set), asleep or not.
    void wake_specific(std::size_t index);

private:
    struct alignas(64) Cell {
        std::mutex mutex;
        std::condition_variable cv;
        bool woken = false;     // guarded by mutex
        bool for_work = false;  // guarded by mutex: woken by wake_any
    };

    void wake_any();
    // Takes worker `index` off the sleeper list; false if a waker already
    // took it off (its wake-up is then on the way to the worker's cell).
    bool remove_sleeper(std::size_t index);

    std::vector<std::unique_ptr<Cell>> cells_;
    std::atomic<std::uint64_t> jobs_counter_{0};
    std::atomic<std::size_t> num_sleepers_{0};
    std::mutex sleepers_mutex_;
    std::vector<std::size_t> sleepers_;  // guarded by sleepers_mutex_
};

}  // namespace tarsk::py::pool
