#pragma once
#include <type_traits>
#include <utility>

#include "pool/job.h"
#include "pool/latch.h"
#include "pool/registry.h"

namespace tarsk::py::pool {

// join on a worker: b is pushed where idle workers can steal it, a runs here,
// then b runs here too unless it was stolen, in which case this worker helps
// with other jobs (or sleeps) until b's latch is set. b always finishes
// before join returns or rethrows, because its frame lives here. A failure of
// a is rethrown before one of b.
template <class A, class B>
std::pair<std::invoke_result_t<A&, bool>, std::invoke_result_t<B&, bool>>
join_on_worker(WorkerThread& worker, A& a, B& b, bool injected) {
    using RA = std::invoke_result_t<A&, bool>;
    StackJob<SpinLatch, B> job_b(b, worker.index(), &worker.registry()->sleep(), worker.index());
    worker.push(job_b.as_ref());

    JobResult<RA> result_a;
    result_a.run([&] { return a(injected); });

    while (!job_b.latch.probe()) {
        if (auto job = worker.take_local()) {
            if (job->data == static_cast<void*>(&job_b)) {
                job_b.run_inline(false);
                break;
            }
            worker.execute(*job);
        } else {
            worker.wait_until(job_b.latch.core());
            break;
        }
    }
    RA value_a = result_a.take();
    return {std::move(value_a), job_b.into_result()};
}

// Runs a(migrated) and b(migrated), potentially in parallel, and returns both
// results. `migrated` tells a closure that it runs on another thread than
// the one that called join (it was stolen or injected). From a thread outside
// the pool the whole join is injected as one job, and the thread blocks until
// it is done.
template <class A, class B>
std::pair<std::invoke_result_t<A&, bool>, std::invoke_result_t<B&, bool>> join_context(A& a, B& b) {
    if (WorkerThread* worker = WorkerThread::current()) return join_on_worker(*worker, a, b, false);
    auto op = [&](WorkerThread& worker, bool injected) { return join_on_worker(worker, a, b, injected); };
    return Registry::global().in_worker(op);
}

}  // namespace tarsk::py::pool
