// Measures the two sides of the worker pool's cost model on this machine and
// prints the sequential grains derived from them (the constants at the top of
// tarsk-py/src/lists/kernels.h). Built and run by tools/calibrate_grain.sh.
//
// 1. What one element costs on one thread, for the cheapest and the dearest
//    element functions of each kind of kernel, on arrays that fit in cache
//    (the cheapest figure gives the largest, safest grain).
// 2. What a wake-up costs when the pool is idle: the caller busy-waits a few
//    milliseconds, so that every worker is asleep, then
//    a. hands a job that does nothing to the pool and waits for its answer
//       (waking a worker, then being woken by it);
//    b. inside such a job, offers work to the other workers and measures the
//       time until one of them starts it (waking a second worker).
//    A parallel run from an idle pool pays a + b before it saves anything.
// Medians over many samples; the machine's load shows in the wake-up figures,
// so run it on a quiet machine.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "pool/join.h"
#include "lists/kernels.h"
#include "pool/registry.h"
#include "tarsk/quat.h"
#include "tarsk/vec3d.h"

using namespace tarsk;
using namespace tarsk::py::pool;
using namespace tarsk::py::lists;
using Clock = std::chrono::steady_clock;

namespace {

double now_ns() {
    return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
}

void busy_wait_ms(double ms) {
    const double end = now_ns() + ms * 1e6;
    while (now_ns() < end) {
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double quantile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

std::vector<Vec3d> make_input(std::size_t n) {
    std::vector<Vec3d> v(n);
    std::uint64_t s = 88172645463325252ull;
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<double>(s >> 11) * 0x1p-53 * 200.0 - 100.0;
    };
    for (auto& e : v) e = Vec3d{next(), next(), next()};
    return v;
}

volatile double g_sink;

// Nanoseconds per element of body(count) on this thread: the median of
// repeated runs over `count` elements.
template <class Body>
double per_element(std::size_t count, Body body) {
    for (int i = 0; i < 20; ++i) body();
    std::vector<double> samples;
    for (int i = 0; i < 400; ++i) {
        double t0 = now_ns();
        body();
        samples.push_back((now_ns() - t0) / static_cast<double>(count));
    }
    return median(samples);
}

template <class E, class F>
double map_cost(const std::vector<Vec3d>& in, const F& f) {
    std::vector<E> out(in.size());
    return per_element(in.size(), [&] {
        detail::map_range(out.data(), in.data(), in.size(), f);
        g_sink = static_cast<double>(out[in.size() / 2] == out[0]);
    });
}

}  // namespace

int main() {
    const Vec3d o{0.25, -3.5, 7.0};
    const Quat q{0.8, -0.36, 0.48, 0.0};

    // The cheapest map functions at two sizes: in the first-level cache, and
    // at the size where a grain falls (arrays of a few MiB, in the last-level
    // cache), which is the figure the grain is derived from.
    double map_min = 0;
    for (std::size_t n : {std::size_t{4096}, std::size_t{1} << 17}) {
        const auto in = make_input(n);
        std::printf("per element, one thread, %zu elements (ns):\n", n);
        double copy = map_cost<Vec3d>(in, [](const Vec3d& e) { return e; });
        double add = map_cost<Vec3d>(in, [o](const Vec3d& e) { return e.add(o); });
        double scale = map_cost<Vec3d>(in, [](const Vec3d& e) { return e.scale(1.7); });
        double dot = map_cost<double>(in, [o](const Vec3d& e) { return e.dot(o); });
        double normalize = map_cost<Vec3d>(in, [](const Vec3d& e) { return e.normalize(); });
        double rotate = map_cost<Vec3d>(in, [q](const Vec3d& e) { return q.rotate(e); });
        std::printf("  map  copy %.3f  + %.3f  * %.3f  dot %.3f  normalize %.3f  rotate %.3f\n", copy, add,
                    scale, dot, normalize, rotate);
        map_min = std::min({copy, add, scale, dot, normalize, rotate});
    }

    const std::size_t n = 4096;
    const auto in = make_input(n);
    std::string text;
    double join = per_element(n, [&] {
        text.clear();
        for (const Vec3d& e : in) {
            append_vec3d_text(text, e);
            text.push_back('\n');
        }
        g_sink = static_cast<double>(text.size());
    });
    std::printf("  join (element text) %.1f\n", join);

    auto key_cost = [&](const std::vector<Vec3d>& v, std::size_t stride) {
        const std::size_t candidates = (v.size() - 1) / stride + 1;
        return per_element(candidates, [&] {
            double best = INFINITY;
            for (std::size_t c = 0; c < candidates; ++c) best = std::min(best, v[c * stride].distance_squared(o));
            g_sink = best;
        });
    };
    // Strided candidates on a 96 MiB array: wide strides touch few enough
    // lines to stay cached between repeats, narrower ones miss; the
    // cheapest figure gives the grain.
    const auto big = make_input(std::size_t{1} << 22);
    double key1 = key_cost(in, 1);
    double key_strided = INFINITY;
    std::printf("  min_by_key  stride 1 %.3f;", key1);
    for (std::size_t stride : {2, 16, 1024}) {
        double cost = key_cost(big, stride);
        key_strided = std::min(key_strided, cost);
        std::printf("  stride %zu %.2f", stride, cost);
    }
    std::printf("\n");

    // Wake-up costs from an idle pool.
    Registry& registry = Registry::global();
    std::printf("workers: %zu\n", registry.num_threads());
    std::vector<double> round_trip, warm_trip, second;
    auto nothing = [](WorkerThread&, bool) { return 0; };
    for (int i = 0; i < 300; ++i) {
        busy_wait_ms(3.0);
        double t0 = now_ns();
        registry.in_worker(nothing);
        round_trip.push_back(now_ns() - t0);
        t0 = now_ns();
        registry.in_worker(nothing);
        warm_trip.push_back(now_ns() - t0);
    }
    if (registry.num_threads() >= 2) {
        for (int i = 0; i < 300; ++i) {
            busy_wait_ms(3.0);
            double offered = 0, started = -1;
            auto op = [&](WorkerThread&, bool) {
                std::atomic<bool> begun{false};
                auto a = [&](bool) {
                    // Keeps this worker busy until the offered half is taken.
                    const double give_up = now_ns() + 5e6;
                    while (!begun.load(std::memory_order_acquire) && now_ns() < give_up) cpu_relax();
                    return 0;
                };
                auto b = [&](bool migrated) {
                    if (migrated) started = now_ns();
                    begun.store(true, std::memory_order_release);
                    return 0;
                };
                offered = now_ns();
                join_context(a, b);
                return 0;
            };
            registry.in_worker(op);
            if (started >= 0) second.push_back(started - offered);
        }
    }
    std::printf("idle round trip (wake a worker, be woken): median %.1f us, quartiles %.1f / %.1f\n",
                median(round_trip) / 1e3, quantile(round_trip, 0.25) / 1e3, quantile(round_trip, 0.75) / 1e3);
    std::printf("warm round trip: median %.1f us\n", median(warm_trip) / 1e3);
    double wake_second = second.empty() ? 0.0 : median(second);
    if (!second.empty())
        std::printf("second worker woken from a worker: median %.1f us, quartiles %.1f / %.1f\n",
                    wake_second / 1e3, quantile(second, 0.25) / 1e3, quantile(second, 0.75) / 1e3);
    const double wake = median(round_trip) + wake_second;
    std::printf("wake-up cost of a parallel run: %.1f us\n", wake / 1e3);
    std::printf("grains (items, = wake-up cost / cheapest item cost; maps at 2^17 elements):\n");
    std::printf("  map %.0f  join %.0f  min_by_key stride 1 %.0f, strided %.0f\n", std::ceil(wake / map_min),
                std::ceil(wake / join), std::ceil(wake / key1), std::ceil(wake / key_strided));
    std::printf("current: map %zu  join %zu  min_by_key %zu / %zu\n", kMapGrain, kJoinGrain, kKeyGrain,
                kStridedKeyGrain);
}
