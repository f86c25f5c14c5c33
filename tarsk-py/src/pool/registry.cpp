#include "pool/registry.h"

#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "pool/thread_count.h"

namespace tarsk::py::pool {

namespace {

// The running pool of this process, or null before the first start (and in a
// fresh child of fork()).
std::atomic<Registry*> g_registry{nullptr};

// Serialises starting the pool; remembers why a start failed, so that every
// later call fails the same way instead of starting threads again.
std::mutex g_start_mutex;
std::optional<std::string> g_start_failure;  // guarded by g_start_mutex

// Bumped in every child of fork(); thread-local wake-up signals made before
// the fork are abandoned, never touched again.
std::atomic<std::uint64_t> g_fork_generation{0};

thread_local WorkerThread* t_current_worker = nullptr;

// In the child of fork() only the forking thread exists: the workers are
// gone, and any mutex of the old pool may be held by a thread that no longer
// exists. Forget the old pool (its memory is leaked, never touched again)
// so that the child's first parallel operation starts a fresh one.
void on_fork_child() {
    // relaxed: the child is single-threaded here.
    g_registry.store(nullptr, std::memory_order_relaxed);
    // The start mutex may have been held by another thread at the fork.
    new (&g_start_mutex) std::mutex();
    new (&g_start_failure) std::optional<std::string>();
    g_fork_generation.fetch_add(1, std::memory_order_relaxed);
}

[[maybe_unused]] const int g_atfork_registered = pthread_atfork(nullptr, nullptr, &on_fork_child);

constexpr const char* kNotInitialized = "The global thread pool has not been initialized.";

// The description of an operating-system error, as "text (os error N)".
std::string os_error(int code) {
    return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

struct StartFailure {
    std::string description;
};

// A count that no system could start: more threads than the kernel allows
// at all (its thread and process-id limits).
bool beyond_system_limits(std::uint64_t count) {
    for (const char* path : {"/proc/sys/kernel/threads-max", "/proc/sys/kernel/pid_max"}) {
        std::ifstream in(path);
        std::uint64_t limit = 0;
        if (in >> limit && limit > 0 && count > limit) return true;
    }
    return false;
}

std::uint64_t seed_for(std::size_t index) {
    // splitmix64 of the index: distinct, non-zero starting points for the
    // victim choice of each worker.
    std::uint64_t z = static_cast<std::uint64_t>(index) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return z != 0 ? z : 1;
}

// Spinning before sleeping: short pauses first, then yields of the processor.
constexpr unsigned kPauseRounds = 16;
constexpr unsigned kSpinRounds = 48;

}  // namespace

LockLatch& caller_latch() {
    struct Slot {
        LockLatch* latch = nullptr;
        std::uint64_t generation = 0;
        ~Slot() { delete latch; }
    };
    thread_local Slot slot;
    // relaxed: the generation changes only in a single-threaded fork child.
    std::uint64_t generation = g_fork_generation.load(std::memory_order_relaxed);
    if (slot.latch == nullptr || slot.generation != generation) {
        // A latch from before a fork is leaked, not destroyed: its mutex may
        // be in any state.
        slot.latch = new LockLatch();
        slot.generation = generation;
    }
    return *slot.latch;
}

WorkerThread::WorkerThread(Registry* registry, std::size_t index)
    : registry_(registry), index_(index), rng_(seed_for(index)) {}

WorkerThread* WorkerThread::current() { return t_current_worker; }

void WorkerThread::push(JobRef job) {
    deque_.push_back(job);
    registry_->sleep().new_work();
}

std::optional<JobRef> WorkerThread::steal() {
    const std::size_t n = registry_->num_threads();
    if (n <= 1) return std::nullopt;
    // xorshift64: a cheap, thread-private choice of the first victim.
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    const std::size_t start = static_cast<std::size_t>(rng_ % n);
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t victim = start + k < n ? start + k : start + k - n;
        if (victim == index_) continue;
        if (auto job = registry_->worker(victim).deque_.pop_front()) return job;
    }
    return std::nullopt;
}

std::optional<JobRef> WorkerThread::find_work() {
    if (auto job = deque_.pop_back()) return job;
    if (auto job = steal()) return job;
    return registry_->pop_injected();
}

void WorkerThread::wait_until(CoreLatch* latch) {
    Registry& registry = *registry_;
    unsigned idle = 0;
    for (;;) {
        if (latch != nullptr && latch->probe()) return;
        if (auto job = find_work()) {
            execute(*job);
            idle = 0;
            continue;
        }
        if (idle < kSpinRounds) {
            ++idle;
            if (idle <= kPauseRounds) {
                for (unsigned i = 0; i < 32; ++i) cpu_relax();
            } else {
                std::this_thread::yield();
            }
            continue;
        }
        std::uint64_t epoch = registry.sleep().get_sleepy();
        if (auto job = find_work()) {
            execute(*job);
            idle = 0;
            continue;
        }
        registry.sleep().sleep(index_, latch, epoch);
        idle = 0;
    }
}

bool Registry::wait_for_gate() {
    std::unique_lock<std::mutex> lock(gate_mutex_);
    while (gate_ == 0) gate_cv_.wait(lock);
    return gate_ == 1;
}

void Registry::open_gate(bool go) {
    std::lock_guard<std::mutex> guard(gate_mutex_);
    gate_ = go ? 1 : 2;
    gate_cv_.notify_all();
}

void Registry::worker_main(Registry* registry, std::size_t index) {
    // The gate's mutex orders every write of the builder (the worker table
    // above all) before what this thread reads after it.
    if (!registry->wait_for_gate()) return;
    WorkerThread& self = registry->worker(index);
    t_current_worker = &self;
    self.wait_until(nullptr);
}

// Builds the pool and starts its threads. Worker state is allocated one
// worker at a time, right before its thread is created, so a count that
// the system cannot honour fails at thread creation without first claiming
// memory for every worker it asked for.
Registry* Registry::start(std::uint64_t count) {
    if (count > SIZE_MAX || beyond_system_limits(count)) throw StartFailure{os_error(EAGAIN)};
    Registry* registry;
    try {
        registry = new Registry(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        throw StartFailure{os_error(ENOMEM)};
    }
    std::string failure;
    for (std::size_t i = 0; i < registry->num_threads_ && failure.empty(); ++i) {
        try {
            registry->workers_.push_back(std::make_unique<WorkerThread>(registry, i));
            registry->sleep_.add_worker();
            std::thread(&Registry::worker_main, registry, i).detach();
        } catch (const std::system_error& e) {
            failure = os_error(e.code().value());
        } catch (const std::bad_alloc&) {
            failure = os_error(ENOMEM);
        }
    }
    if (!failure.empty()) {
        // The threads already started leave at the gate. The registry stays
        // allocated: they may still be reading it.
        registry->open_gate(false);
        throw StartFailure{failure};
    }
    registry->open_gate(true);
    return registry;
}

Registry& Registry::global() {
    // acquire: pairs with the release store below, so the pool is seen
    // complete.
    if (Registry* registry = g_registry.load(std::memory_order_acquire)) return *registry;
    std::lock_guard<std::mutex> guard(g_start_mutex);
    // relaxed: stores happen only under the start mutex, which we hold.
    if (Registry* registry = g_registry.load(std::memory_order_relaxed)) return *registry;
    if (g_start_failure) throw PoolError(*g_start_failure);
    try {
        Registry* registry = start(configured_thread_count());
        // release: publishes the complete registry to the fast path above.
        g_registry.store(registry, std::memory_order_release);
        return *registry;
    } catch (const StartFailure& failure) {
        g_start_failure = std::string(kNotInitialized) + ": " + failure.description;
        throw PoolError(*g_start_failure);
    }
}

}  // namespace tarsk::py::pool
