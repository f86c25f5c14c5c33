#pragma once
#include <cstddef>
#include <exception>
#include <limits>
#include <optional>
#include <type_traits>
#include <utility>

namespace tarsk::py::pool {

// A type-erased pointer to a job that lives elsewhere (in a stack frame that
// waits for it). Executing it runs the job once and sets its latch.
struct JobRef {
    void* data;
    void (*exec)(void* data, std::size_t worker);

    // `worker` is the index of the executing worker.
    void execute(std::size_t worker) const { exec(data, worker); }
};

// The owner index of a job that no worker created (an injected job).
inline constexpr std::size_t kNoWorker = std::numeric_limits<std::size_t>::max();

// Where a job leaves its value, or the exception it raised.
template <class R>
class JobResult {
public:
    template <class F>
    void run(F&& f) noexcept {
        try {
            value_.emplace(std::forward<F>(f)());
        } catch (...) {
            error_ = std::current_exception();
        }
    }

    // The value; rethrows the job's exception instead if it raised one.
    R take() {
        if (error_) std::rethrow_exception(error_);
        return std::move(*value_);
    }

private:
    std::optional<R> value_;
    std::exception_ptr error_;
};

// A job whose closure, result slot and latch live in the stack frame of the
// thread that waits for it. The closure takes one bool: whether the job runs
// on a thread other than the one that created it (it migrated).
template <class Latch, class F>
class StackJob {
public:
    using Result = std::invoke_result_t<F&, bool>;

    // The latch is built in place from latch_args.
    template <class... LatchArgs>
    StackJob(F& f, std::size_t owner, LatchArgs&&... latch_args)
        : latch(std::forward<LatchArgs>(latch_args)...), f_(f), owner_(owner) {}
    StackJob(const StackJob&) = delete;
    StackJob& operator=(const StackJob&) = delete;

    JobRef as_ref() { return JobRef{this, &execute_ref}; }

    // Runs the closure on the owner's thread, without touching the latch.
    void run_inline(bool migrated) { result_.run([&] { return f_(migrated); }); }

    Result into_result() { return result_.take(); }

    Latch latch;

private:
    static void execute_ref(void* data, std::size_t worker) {
        auto* self = static_cast<StackJob*>(data);
        bool migrated = worker != self->owner_;
        self->result_.run([&] { return self->f_(migrated); });
        // The last touch of the job: its frame may be gone right after.
        self->latch.set();
    }

    F& f_;
    std::size_t owner_;
    JobResult<Result> result_;
};

}  // namespace tarsk::py::pool
