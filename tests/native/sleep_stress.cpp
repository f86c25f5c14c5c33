// Stress run of the pool's sleep/wake state (tarsk-py/src/pool/sleep.cpp):
// new work announced while a worker is being woken because its own latch was
// set must still get a worker, even when that wake-up lands on the worker
// whose latch was set.
//
// Two workers, as in the pool:
//   A (index 0) waits inside a join: it sleeps until its latch is set and,
//     once it is, goes back to its join without looking for other work (held
//     there until the round ends, like a worker with more of its own work).
//   B (index 1) is idle: it looks for work and sleeps when there is none.
// Each round, with both asleep, the driver sets A's latch (waking A), and a
// moment later publishes one unit of work and announces it. The delay is
// aimed at the instant A wakes. The work must be taken (by B, or by A if the
// announcement reached A before its latch was set) while A stays in its
// join; a unit still untaken after 1 s is a lost wake-up: B sleeps with
// work waiting. The round then wakes B by hand and goes on.
//
//     sleep_stress SECONDS   prints "rounds R lost L" and exits 1 if L > 0
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

#include "pool/latch.h"
#include "pool/sleep.h"

using tarsk::py::pool::CoreLatch;
using tarsk::py::pool::Sleep;
using Clock = std::chrono::steady_clock;

namespace {

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void spin_until(std::int64_t t) {
    while (now_ns() < t) tarsk::py::pool::cpu_relax();
}

Sleep g_sleep;
std::atomic<int> g_work{0};          // units of work waiting
std::atomic<bool> g_stop{false};
std::atomic<CoreLatch*> g_latch{nullptr};  // A's latch for the current round
std::atomic<std::uint64_t> g_round{0};     // the round A may start
std::atomic<std::uint64_t> g_a_back{0};    // the last round in which A's latch was seen set
std::atomic<std::int64_t> g_a_woke{0};     // when A last came back from sleep
std::atomic<int> g_asleep{0};              // workers about to sleep or asleep

bool take_work() {
    int w = g_work.load();
    while (w > 0)
        if (g_work.compare_exchange_weak(w, w - 1)) return true;
    return false;
}

void worker_b() {
    while (!g_stop.load()) {
        if (take_work()) continue;
        std::uint64_t epoch = g_sleep.get_sleepy();
        if (take_work()) continue;
        if (g_stop.load()) return;
        g_asleep.fetch_add(1);
        g_sleep.sleep(1, nullptr, epoch);
        g_asleep.fetch_sub(1);
    }
}

void worker_a() {
    std::uint64_t done = 0;
    while (!g_stop.load()) {
        if (g_round.load() == done) {
            std::this_thread::yield();
            continue;
        }
        ++done;
        CoreLatch* latch = g_latch.load();
        // The wait of a worker inside a join (wait_until with a latch).
        while (!latch->probe()) {
            if (take_work()) continue;
            std::uint64_t epoch = g_sleep.get_sleepy();
            if (latch->probe()) break;
            if (take_work()) continue;
            g_asleep.fetch_add(1);
            g_sleep.sleep(0, latch, epoch);
            g_asleep.fetch_sub(1);
            g_a_woke.store(now_ns());
        }
        g_a_back.store(done);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    g_sleep.add_worker();
    g_sleep.add_worker();
    std::thread a(worker_a), b(worker_b);
    std::mt19937_64 rng(12345);
    std::int64_t wake_latency = 20000;  // ns, a running estimate
    const std::int64_t end = now_ns() + static_cast<std::int64_t>(seconds * 1e9);
    std::uint64_t rounds = 0, lost = 0;
    while (now_ns() < end) {
        CoreLatch latch;
        g_latch.store(&latch);
        g_round.store(++rounds);
        // Both asleep (B is asleep whenever no work is left).
        const std::int64_t give_up = now_ns() + 100'000'000;
        while (g_asleep.load() < 2 && now_ns() < give_up) std::this_thread::yield();
        spin_until(now_ns() + 20'000);
        // Set A's latch and wake it, as a thief finishing A's job does.
        std::uniform_int_distribution<std::int64_t> delay(wake_latency - 2000, wake_latency + 500);
        const std::int64_t d = delay(rng);
        const std::int64_t t_set = now_ns();
        if (latch.set()) g_sleep.wake_specific(0);
        spin_until(t_set + d);
        // Publish work and announce it, as a worker pushing a job does.
        g_work.fetch_add(1);
        g_sleep.new_work();
        // The work must be taken while A is back in its join.
        const std::int64_t deadline = now_ns() + 1'000'000'000;
        while (g_work.load() != 0 && now_ns() < deadline) std::this_thread::yield();
        if (g_work.load() != 0) {
            ++lost;
            g_sleep.new_work();  // wake B by hand
            while (g_work.load() != 0) std::this_thread::yield();
        }
        while (g_a_back.load() != rounds) std::this_thread::yield();
        const std::int64_t woke = g_a_woke.load() - t_set;
        if (woke > 0 && woke < 1'000'000) wake_latency = (wake_latency * 7 + woke) / 8;
    }
    g_stop.store(true);
    // Let both leave their sleep for good.
    while (g_asleep.load() != 0 || g_a_back.load() != rounds) {
        g_sleep.wake_specific(0);
        g_work.fetch_add(1);
        g_sleep.new_work();
        std::this_thread::yield();
    }
    a.join();
    b.join();
    std::printf("rounds %llu lost %llu wake %lld ns\n", static_cast<unsigned long long>(rounds),
                static_cast<unsigned long long>(lost), static_cast<long long>(wake_latency));
    return lost == 0 ? 0 : 1;
}
