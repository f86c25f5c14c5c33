// The core's correctly rounded sin, cos, atan2 and hypot against the C
// library's, in a native loop over the same random arguments.
//
//     crmath [n] [repeat]
//
// For each function and argument range: the best of `repeat` passes over n
// arguments (default 10M, 5), in nanoseconds per call, for glibc and for
// tarsk::cr, and their ratio (below 1 means tarsk::cr is faster). A pass sums
// the results, so no call can be left out. Build with the project's flags
// (bench/crmath.py does).
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tarsk/crmath.h"

namespace {

std::uint64_t state = 0x243f6a8885a308d3ULL;

std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double uniform(double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53); }

volatile double sink;

template <class F>
double best_ns(F f, const std::vector<double>& x, const std::vector<double>& y, int repeat) {
    double best = 1e300;
    for (int r = 0; r < repeat; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        double s = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) s += f(x[i], y[i]);
        const auto t1 = std::chrono::steady_clock::now();
        sink = s;
        const double ns = std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(x.size());
        if (ns < best) best = ns;
    }
    return best;
}

struct Case {
    const char* name;
    double (*glibc)(double, double);
    double (*cr)(double, double);
    double lo, hi;  // the range of x (and of y for the binary functions)
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    const int repeat = argc > 2 ? std::atoi(argv[2]) : 5;
    const Case cases[] = {
        {"sin [-pi, pi]", [](double x, double) { return std::sin(x); }, [](double x, double) { return tarsk::cr::sin(x); },
         -3.141592653589793, 3.141592653589793},
        {"sin [-1e6, 1e6]", [](double x, double) { return std::sin(x); },
         [](double x, double) { return tarsk::cr::sin(x); }, -1e6, 1e6},
        {"cos [-pi, pi]", [](double x, double) { return std::cos(x); }, [](double x, double) { return tarsk::cr::cos(x); },
         -3.141592653589793, 3.141592653589793},
        {"atan2 [-1, 1]^2", [](double x, double y) { return std::atan2(y, x); },
         [](double x, double y) { return tarsk::cr::atan2(y, x); }, -1.0, 1.0},
        {"hypot [-1, 1]^2", [](double x, double y) { return std::hypot(x, y); },
         [](double x, double y) { return tarsk::cr::hypot(x, y); }, -1.0, 1.0},
    };
    std::printf("%-18s %12s %12s %8s\n", "function", "glibc ns", "tarsk ns", "ratio");
    for (const Case& c : cases) {
        std::vector<double> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = uniform(c.lo, c.hi);
            y[i] = uniform(c.lo, c.hi);
        }
        const double g = best_ns(c.glibc, x, y, repeat);
        const double t = best_ns(c.cr, x, y, repeat);
        std::printf("%-18s %12.2f %12.2f %8.2f\n", c.name, g, t, t / g);
    }
    return 0;
}
