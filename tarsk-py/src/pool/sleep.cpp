#include "pool/sleep.h"

#include <algorithm>

#include "pool/latch.h"

namespace tarsk::py::pool {

void Sleep::add_worker() { cells_.push_back(std::make_unique<Cell>()); }

void Sleep::sleep(std::size_t index, CoreLatch* latch, std::uint64_t epoch) {
    Cell& cell = *cells_[index];
    std::unique_lock<std::mutex> lock(cell.mutex);
    // The latch's setter wakes us through this cell once it sees the
    // sleeping state; announcing it under the cell's mutex means the setter's
    // wake-up cannot slip in before we wait.
    if (latch != nullptr && !latch->try_sleep()) return;
    {
        std::lock_guard<std::mutex> guard(sleepers_mutex_);
        sleepers_.push_back(index);
        // seq_cst: the sleeper's half of the handshake with new_work().
        num_sleepers_.fetch_add(1, std::memory_order_seq_cst);
    }
    // seq_cst: read after announcing ourselves; see the class comment.
    if (jobs_counter_.load(std::memory_order_seq_cst) == epoch) {
        while (!cell.woken) cell.cv.wait(lock);
    }
    // Leave the sleeper list before letting go of the cell. A waker for new
    // work that has already taken us off the list is about to deliver its
    // wake-up to this cell (wake_any locks it right after): wait for it, so
    // that the wake-up is seen here, where it is passed on if need be,
    // instead of landing after we left and being lost to the new work.
    if (!remove_sleeper(index)) {
        while (!cell.for_work) cell.cv.wait(lock);
    }
    const bool for_work = cell.for_work;
    cell.woken = false;
    cell.for_work = false;
    lock.unlock();
    if (latch != nullptr) {
        latch->wake_up();
        // Woken for new work but our own latch is set, so we return to our
        // join instead of looking: pass the wake-up on.
        if (for_work && latch->probe() && num_sleepers_.load(std::memory_order_seq_cst) != 0)
            wake_any();
    }
}

bool Sleep::remove_sleeper(std::size_t index) {
    std::lock_guard<std::mutex> guard(sleepers_mutex_);
    auto it = std::find(sleepers_.begin(), sleepers_.end(), index);
    if (it == sleepers_.end()) return false;
    sleepers_.erase(it);
    // seq_cst: keeps all changes of the count in the one total order that
    // the handshake relies on.
    num_sleepers_.fetch_sub(1, std::memory_order_seq_cst);
    return true;
}

void Sleep::wake_any() {
    std::size_t index;
    {
        std::lock_guard<std::mutex> guard(sleepers_mutex_);
        if (sleepers_.empty()) return;
        index = sleepers_.back();
        sleepers_.pop_back();
        num_sleepers_.fetch_sub(1, std::memory_order_seq_cst);  // seq_cst: as above
    }
    Cell& cell = *cells_[index];
    std::lock_guard<std::mutex> guard(cell.mutex);
    cell.woken = true;
    cell.for_work = true;
    cell.cv.notify_one();
}

void Sleep::wake_specific(std::size_t index) {
    Cell& cell = *cells_[index];
    std::lock_guard<std::mutex> guard(cell.mutex);
    cell.woken = true;
    cell.cv.notify_one();
}

}  // namespace tarsk::py::pool
