// A digest of the core's correctly rounded sin, cos, sincos, atan2 and hypot
// (one pair at a time and in batches) over
// seeded arguments: random bit patterns (every binade, subnormals, the odd
// infinity and NaN), the ranges the rotation formulas use, huge arguments,
// nearly equal pairs, and the special values. Every machine must print the
// same digest (tools/cross_digest.sh); the last line is the digest.
//
//     crmath_digest [rounds]
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarsk/crmath.h"

namespace {

std::uint64_t state = 0x452821e638d01377ULL;
std::uint64_t digest = 0xcbf29ce484222325ULL;

std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// 2^e as a double for -1022 <= e <= 1023.
double pow2(int e) { return from_bits(static_cast<std::uint64_t>(e + 1023) << 52); }

double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }

double value() {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, -5e-324, 2.2250738585072014e-308,
                                     1.7976931348623157e308, 6381956970095103.0 * 0x1p797, 1.5707963267948966,
                                     3.141592653589793, __builtin_inf(), -__builtin_inf(), __builtin_nan("")};
    const std::uint64_t r = next();
    switch (r % 8) {
        case 0: return from_bits(next());                                    // any bit pattern
        case 1: return special[(r >> 8) % (sizeof special / sizeof special[0])];
        case 2: return (unit() * 2.0 - 1.0) * pow2(static_cast<int>((r >> 8) % 1000));  // up to huge
        case 3: return (unit() * 2.0 - 1.0) * pow2(-static_cast<int>((r >> 8) % 60));   // small
        default: return (unit() * 2.0 - 1.0) * 8.0;                         // the rotation range
    }
}

void add(double x) {
    std::uint64_t bits;
    if (x != x) x = __builtin_nan("");  // one NaN, whatever its sign and payload
    std::memcpy(&bits, &x, sizeof bits);
    for (int b = 0; b < 8; ++b) {
        digest ^= (bits >> (8 * b)) & 0xff;
        digest *= 0x100000001b3ULL;
    }
}

}  // namespace

int main(int argc, char** argv) {
    namespace cr = tarsk::cr;
    const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
    // The batch functions over the same pairs, in batches of a length that
    // is no multiple of the lane count (so every lane position and the tail
    // of a batch take every kind of argument).
    constexpr std::size_t batch = 37;
    double xs[batch], ys[batch], out[batch];
    std::size_t filled = 0;
    auto flush = [&] {
        cr::atan2_n(ys, xs, out, filled);
        for (std::size_t i = 0; i < filled; ++i) add(out[i]);
        cr::hypot_n(xs, ys, out, filled);
        for (std::size_t i = 0; i < filled; ++i) add(out[i]);
        filled = 0;
    };
    for (long n = 0; n < rounds; ++n) {
        const double x = value();
        const double y = next() % 4 == 0 ? x * (0.5 + unit()) : value();
        xs[filled] = x;
        ys[filled] = y;
        if (++filled == batch) flush();
        add(cr::sin(x));
        add(cr::cos(x));
        add(cr::atan2(y, x));
        add(cr::hypot(x, y));
        double s, c;
        cr::sincos(x, s, c);
        add(s);
        add(c);
        // The accurate paths on their own (the fast path sends them only a
        // few arguments in thousands).
        if (n % 16 == 0) {
            add(cr::detail::sin_accurate(x));
            add(cr::detail::cos_accurate(x));
            add(cr::detail::atan2_accurate(y, x));
            add(cr::detail::hypot_exact(x, y));
        }
    }
    flush();
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
