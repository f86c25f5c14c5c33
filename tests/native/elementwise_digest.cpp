// A digest of the core formulas behind the element-wise operations that the
// companion's array and Dask kernels run (through tarsk_py's table):
// normalize, cross, dot, magnitude, is_unit, distance_to, distance_squared,
// rotate by a quaternion, add, subtract, multiply and divide by a number,
// over seeded vectors with hostile values. Every machine must print the same
// digest (tools/cross_digest.sh); the last line is the digest.
//
//     elementwise_digest [rounds]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarsk/quat.h"
#include "tarsk/vec3d.h"

using tarsk::Quat;
using tarsk::Vec3d;

namespace {

std::uint64_t state = 0x13198a2e03707344ULL;
std::uint64_t digest = 0xcbf29ce484222325ULL;

std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double value() {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 1e-300, -5e-324, 1e300, 1e-9,
                                     __builtin_inf(), -__builtin_inf(), __builtin_nan("")};
    const std::uint64_t r = next();
    if (r % 16 == 0) return special[(r >> 8) % (sizeof special / sizeof special[0])];
    return (static_cast<double>(r >> 11) * 0x1p-53) * 200.0 - 100.0;
}

Vec3d vec() { return {value(), value(), value()}; }

void add(double x) {
    std::uint64_t bits;
    if (x != x) x = __builtin_nan("");  // one NaN, whatever its sign and payload
    std::memcpy(&bits, &x, sizeof bits);
    for (int b = 0; b < 8; ++b) {
        digest ^= (bits >> (8 * b)) & 0xff;
        digest *= 0x100000001b3ULL;
    }
}

void add(const Vec3d& v) {
    add(v.x);
    add(v.y);
    add(v.z);
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
    for (long n = 0; n < rounds; ++n) {
        const Vec3d a = vec(), b = vec();
        const Quat q{value(), value(), value(), value()};
        const double s = value();
        add(a.normalize());
        add(a.cross(b));
        add(a.dot(b));
        add(a.magnitude());
        add(a.is_unit() ? 1.0 : 0.0);
        add(a.normalize().is_unit() ? 1.0 : 0.0);
        add(a.distance_to(b));
        add(a.distance_squared(b));
        add(q.rotate(a));
        add(a.add(b));
        add(a.subtract(b));
        add(a.scale(s));
        add(a.divide(s));
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
