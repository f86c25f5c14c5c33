#pragma once
// Python.h only for the free-threaded build's detaching wait below; the
// pool itself never touches the interpreter.
#if __has_include(<Python.h>)
#include <Python.h>
#endif

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "pool/deque.h"
#include "pool/error.h"
#include "pool/job.h"
#include "pool/latch.h"
#include "pool/sleep.h"

namespace tarsk::py::pool {

class Registry;

// The state of one worker thread: its deque, which other workers steal from,
// and what it needs to look for work.
class alignas(64) WorkerThread {
public:
    WorkerThread(Registry* registry, std::size_t index);

    Registry* registry() const { return registry_; }
    std::size_t index() const { return index_; }

    // The worker running on this thread, or null outside the pool.
    static WorkerThread* current();

    // Pushes a job that other workers may steal, and announces it.
    void push(JobRef job);

    // Takes back the newest job of this worker's own deque.
    std::optional<JobRef> take_local() { return deque_.pop_back(); }

    void execute(JobRef job) { job.execute(index_); }

    // Runs other jobs until `latch` is set, sleeping when there are none.
    // With a null latch it is the worker's main loop, which never returns.
    void wait_until(CoreLatch* latch);

private:
    friend class Registry;

    // Own deque first (newest job), then a victim's (oldest job), then the
    // shared queue.
    std::optional<JobRef> find_work();
    std::optional<JobRef> steal();

    Registry* registry_;
    std::size_t index_;
    std::uint64_t rng_;  // used only by the worker's own thread
    WorkDeque deque_;
};

// The process-wide worker pool. Created once per process by the first call of
// global() and never destroyed; a child made by fork() starts its own.
class Registry {
public:
    // The running pool, started now if need be; throws PoolError when the
    // pool cannot be started.
    static Registry& global();

    std::size_t num_threads() const { return num_threads_; }
    Sleep& sleep() { return sleep_; }
    WorkerThread& worker(std::size_t index) { return *workers_[index]; }

    // Puts a job into the shared queue and wakes a worker for it.
    void inject(JobRef job) {
        injector_.push_back(job);
        sleep_.new_work();
    }

    std::optional<JobRef> pop_injected() { return injector_.pop_front(); }

    // Runs op(worker, injected) on a worker of this pool: directly when
    // called from one, otherwise as an injected job while the calling thread
    // blocks on its own wake-up signal. Exceptions raised by op are rethrown.
    template <class Op>
    std::invoke_result_t<Op&, WorkerThread&, bool> in_worker(Op& op) {
        if (WorkerThread* w = WorkerThread::current(); w != nullptr && w->registry() == this)
            return op(*w, false);
        return in_worker_cold(op);
    }

private:
    explicit Registry(std::size_t num_threads) : num_threads_(num_threads) {}
    static Registry* start(std::uint64_t num_threads);
    static void worker_main(Registry* registry, std::size_t index);
    bool wait_for_gate();
    void open_gate(bool go);

    template <class Op>
    std::invoke_result_t<Op&, WorkerThread&, bool> in_worker_cold(Op& op) {
        LockLatch& latch = caller_latch();
        auto body = [&op](bool) { return op(*WorkerThread::current(), true); };
        StackJob<LockLatchRef, decltype(body)> job(body, kNoWorker, LockLatchRef{&latch});
        inject(job.as_ref());
#ifdef Py_GIL_DISABLED
        // Without the GIL the caller detaches from the interpreter while it
        // waits, so that a collection started by another thread need not wait
        // for this call. Its objects stay alive and borrowed meanwhile, and
        // the workers touch no Python object.
        PyThreadState* state = PyThreadState_GetUnchecked();
        if (state) state = PyEval_SaveThread();
        latch.wait_and_reset();
        if (state) PyEval_RestoreThread(state);
#else
        latch.wait_and_reset();
#endif
        return job.into_result();
    }

    const std::size_t num_threads_;
    std::vector<std::unique_ptr<WorkerThread>> workers_;  // complete before the gate opens
    WorkDeque injector_;
    Sleep sleep_;

    // Workers wait here until every worker exists (go) or the start failed.
    std::mutex gate_mutex_;
    std::condition_variable gate_cv_;
    int gate_ = 0;  // 0 closed, 1 go, 2 abandoned; guarded by gate_mutex_
};

// The number of workers of the pool; starts the pool if it is not running.
inline std::size_t worker_count() { return Registry::global().num_threads(); }

}  // namespace tarsk::py::pool
