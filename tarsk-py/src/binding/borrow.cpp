// The borrow protocol without the global lock (see instance.h): who holds
// what on this thread, the attempts, and waiting with the thread detached.
#include "binding/instance.h"

#ifdef Py_GIL_DISABLED

#include <chrono>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tarsk::py::borrow_ft {

namespace {

// The words this thread holds, in the order taken. Nesting deeper than the
// table (only re-entrant Python code gets there) is counted, not recorded;
// a thread with unrecorded holds treats every word as possibly its own,
// which turns a wait into the error the GIL build reports.
struct Held {
    static constexpr unsigned capacity = 32;
    std::atomic<std::uintptr_t>* words[capacity];
    unsigned count = 0;
    unsigned unrecorded = 0;

    bool any() const { return count + unrecorded > 0; }
    bool holds(const std::atomic<std::uintptr_t>* w) const {
        if (unrecorded > 0) return true;
        for (unsigned i = count; i-- > 0;) {
            if (words[i] == w) return true;
        }
        return false;
    }
    void add(std::atomic<std::uintptr_t>* w) {
        if (count < capacity) {
            words[count++] = w;
        } else {
            ++unrecorded;
        }
    }
    void remove(const std::atomic<std::uintptr_t>* w) {
        for (unsigned i = count; i-- > 0;) {
            if (words[i] == w) {
                for (unsigned j = i + 1; j < count; ++j) words[j - 1] = words[j];
                --count;
                return;
            }
        }
        if (unrecorded > 0) --unrecorded;
    }
};

thread_local Held t_held;

enum class Attempt { taken, conflict, busy };

// How long a shared request of a thread holding nothing gives way to a
// waiting exclusive one before it goes in regardless.
constexpr auto writer_patience = std::chrono::milliseconds(100);

bool only_calls_hold(std::uintptr_t cur) {
    return (cur & count_mask) == ((cur >> call_shift) & count_mask);
}

// acquire on success: pairs with the release of the previous holder, so its
// stores are seen. relaxed on failure: nothing is read then.
Attempt attempt_shared(std::atomic<std::uintptr_t>& word, bool give_way) {
    std::uintptr_t cur = word.load(std::memory_order_relaxed);
    for (;;) {
        if (cur == exclusive_flag || (give_way && (cur & writer_waiting))) {
            return t_held.holds(&word) ? Attempt::conflict : Attempt::busy;
        }
        if (word.compare_exchange_weak(cur, cur + call_unit, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            return Attempt::taken;
        }
    }
}

Attempt attempt_exclusive(std::atomic<std::uintptr_t>& word, bool announce) {
    std::uintptr_t cur = word.load(std::memory_order_relaxed);
    for (;;) {
        if ((cur & ~writer_waiting) == 0) {
            if (word.compare_exchange_weak(cur, exclusive_flag, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
                return Attempt::taken;
            }
            continue;
        }
        if (t_held.holds(&word)) return Attempt::conflict;
        if (cur != exclusive_flag && !only_calls_hold(cur)) return Attempt::conflict;  // a view holds it
        if (announce && cur != exclusive_flag && !(cur & writer_waiting)) {
            // relaxed: a hint to new readers; the take itself is the CAS above.
            word.fetch_or(writer_waiting, std::memory_order_relaxed);
        }
        return Attempt::busy;
    }
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
}

// Waits, with this thread's interpreter state detached (so that a collection
// or another stop of the world is not held up by it), until the word looks
// grantable for the request; the caller then tries again.
void wait_for(std::atomic<std::uintptr_t>& word, bool exclusive, bool give_way) {
    auto grantable = [&] {
        std::uintptr_t cur = word.load(std::memory_order_relaxed);
        if (exclusive) return (cur & ~writer_waiting) == 0 || (cur != exclusive_flag && !only_calls_hold(cur));
        return cur != exclusive_flag && !(give_way && (cur & writer_waiting));
    };
    for (int i = 0; i < 64; ++i) {
        if (grantable()) return;
        cpu_relax();
    }
    PyThreadState* state = PyThreadState_GetUnchecked();
    if (state) state = PyEval_SaveThread();
    auto pause = std::chrono::microseconds(2);
    // A request giving way to a writer returns now and then, so that its
    // patience (see take_shared) is looked at again.
    const auto recheck = std::chrono::steady_clock::now() + writer_patience / 4;
    for (unsigned round = 0; !grantable(); ++round) {
        if (give_way && round >= 32 && std::chrono::steady_clock::now() >= recheck) break;
        if (round < 32) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(pause);
            if (pause < std::chrono::microseconds(500)) pause *= 2;
        }
    }
    if (state) PyEval_RestoreThread(state);
}

// The patience of one request with waiting exclusive requests.
struct Patience {
    std::chrono::steady_clock::time_point since{};
    bool started = false;
    bool give_way() {
        if (t_held.any()) return false;
        if (!started) return true;
        return std::chrono::steady_clock::now() - since < writer_patience;
    }
    void note_wait() {
        if (!started) {
            started = true;
            since = std::chrono::steady_clock::now();
        }
    }
};

}  // namespace

bool take_shared(std::atomic<std::uintptr_t>& word) {
    Patience patience;
    for (;;) {
        bool give_way = patience.give_way();
        switch (attempt_shared(word, give_way)) {
            case Attempt::taken:
                t_held.add(&word);
                return true;
            case Attempt::conflict:
                return false;
            case Attempt::busy:
                if (t_held.any()) return false;
                patience.note_wait();
                wait_for(word, false, give_way);
                break;
        }
    }
}

bool take_exclusive(std::atomic<std::uintptr_t>& word) {
    for (;;) {
        bool waits = !t_held.any();
        switch (attempt_exclusive(word, waits)) {
            case Attempt::taken:
                t_held.add(&word);
                return true;
            case Attempt::conflict:
                return false;
            case Attempt::busy:
                if (!waits) return false;
                wait_for(word, true, false);
                break;
        }
    }
}

// release: publishes what the holder wrote (exclusive) and orders its reads
// before a later writer's stores (shared).
void release_shared(std::atomic<std::uintptr_t>& word) noexcept {
    word.fetch_sub(call_unit, std::memory_order_release);
    t_held.remove(&word);
}

void release_exclusive(std::atomic<std::uintptr_t>& word) noexcept {
    word.store(0, std::memory_order_release);
    t_held.remove(&word);
}

bool take_view(std::atomic<std::uintptr_t>& word) {
    for (;;) {
        std::uintptr_t cur = word.load(std::memory_order_relaxed);
        while (cur != exclusive_flag) {
            // acquire: pairs with the release of the last exclusive holder.
            if (word.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
                return true;
            }
        }
        // Changed by this thread, or this thread holds something a waiting
        // writer might need: report it, as the GIL build does.
        if (t_held.any()) return false;
        wait_for(word, false, false);
    }
}

// release: orders the view's reads before a later writer's stores.
void release_view(std::atomic<std::uintptr_t>& word) noexcept { word.fetch_sub(1, std::memory_order_release); }

bool take_all(Request* requests, std::size_t n, std::size_t& taken) {
    Patience patience;
    for (;;) {
        taken = 0;
        Attempt result = Attempt::taken;
        bool give_way = false;
        bool blocked_exclusive = false;
        for (; taken < n; ++taken) {
            Request& r = requests[taken];
            give_way = patience.give_way();
            result = r.exclusive ? attempt_exclusive(*r.word, !t_held.any())
                                 : attempt_shared(*r.word, give_way);
            if (result != Attempt::taken) {
                blocked_exclusive = r.exclusive;
                break;
            }
            t_held.add(r.word);
        }
        if (result == Attempt::taken) return true;
        std::atomic<std::uintptr_t>* blocker = requests[taken].word;
        release_all(requests, taken);
        taken = 0;
        if (result == Attempt::conflict || t_held.any()) return false;
        patience.note_wait();
        wait_for(*blocker, blocked_exclusive, give_way);
    }
}

void release_all(Request* requests, std::size_t n) noexcept {
    for (std::size_t i = n; i-- > 0;) {
        if (requests[i].exclusive) {
            release_exclusive(*requests[i].word);
        } else {
            release_shared(*requests[i].word);
        }
    }
}

}  // namespace tarsk::py::borrow_ft

#endif  // Py_GIL_DISABLED
