// A digest of the core rotation formulas over seeded inputs: ordinary values,
// signed zeros, infinities, NaN, subnormals, half turns, gimbal lock and
// nearly singular matrices. Builds with different compilers and optimisation
// levels must print the same digest (tests/test_rotation.py compiles it).
//
//     rotation_digest [rounds]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarsk/rotation.h"

using namespace tarsk;
namespace rot = tarsk::rotation;

namespace {

std::uint64_t state = 0x243f6a8885a308d3ULL;
std::uint64_t digest = 0xcbf29ce484222325ULL;

std::uint64_t next() {
    state += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Mostly values of unit scale, sometimes one of the hostile ones.
double value() {
    static const double special[] = {0.0, -0.0, 1.0, -1.0, 0.5, 1e-300, -5e-324, 1e300, 1e-9,
                                     __builtin_inf(), -__builtin_inf(), __builtin_nan("")};
    std::uint64_t r = next();
    if (r % 16 == 0) return special[(r >> 8) % (sizeof special / sizeof special[0])];
    return (static_cast<double>(r >> 11) * 0x1p-53) * 4.0 - 2.0;
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

void add(const Quat& q) {
    add(q.w);
    add(q.i);
    add(q.j);
    add(q.k);
}

Quat quat() {
    if (next() % 8 == 0) return {0.0, value(), value(), 0.0};  // a half turn
    return {value(), value(), value(), value()};
}

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::atol(argv[1]) : 20000;
    for (long n = 0; n < rounds; ++n) {
        Quat p = quat(), q = quat();
        add(rot::compose(p, q));
        add(rot::inverse(q));
        for (double x : rot::to_scalar_last(q)) add(x);
        add(rot::from_scalar_last({p.w, p.i, p.j, p.k}));
        for (const auto& row : rot::to_matrix(q))
            for (double x : row) add(x);
        Vec3d r = rot::to_rotvec(q);
        add(r.x);
        add(r.y);
        add(r.z);
        add(rot::from_rotvec({value(), value(), value() * 1e-3}));
        add(rot::magnitude_angle(q));
        const double t = value();
        add(rot::slerp(p, q, t));
        rot::EulerSeq seq{{static_cast<int>(next() % 3), 0, 0}, next() % 2 == 0};
        seq.axes[1] = (seq.axes[0] + 1 + static_cast<int>(next() % 2)) % 3;
        seq.axes[2] = next() % 2 ? seq.axes[0] : 3 - seq.axes[0] - seq.axes[1];
        std::array<double, 3> angles{value(), next() % 4 ? value() : 0.0, value()};
        Quat e = rot::from_euler(seq, angles);
        add(e);
        bool lock = false;
        for (double x : rot::to_euler(e, seq, lock)) add(x);
        add(lock ? 1.0 : 0.0);
        for (double x : rot::to_euler(q, seq, lock)) add(x);
        Matrix3 m = rot::to_matrix(p);
        const double skew = value();
        const double shear = value();
        m[0][0] = m[0][0] * (1.0 + skew * 1e-3);
        m[1][2] = m[1][2] + shear * 1e-6;
        rot::MatrixFault fault;
        add(rot::from_matrix(m, fault));
        add(static_cast<double>(static_cast<int>(fault)));
        const std::uint64_t seed = next();
        const std::uint64_t index = next();
        add(rot::random(seed, index));
        rot::Matrix4 s{};
        rot::AlignSums sums = rot::align_zero();
        for (int k = 0; k < 5; ++k) {
            const Quat u = quat();
            const double weight = value() + 2.0;
            rot::mean_add(s, u, weight);
            const Vec3d a{value(), value(), value()};
            const Vec3d b{value(), value(), value()};
            rot::align_add(sums, a, b, value() + 2.0);
        }
        add(rot::mean_finish(s));
        double rssd;
        add(rot::align_finish(sums, rssd));
        add(rssd);
        // The row-run forms give the bits of the calls one row at a time.
        std::array<double, 20> qs;
        std::array<double, 15> as, bs;
        std::array<double, 5> ws;
        for (double& x : qs) x = value();
        for (double& x : as) x = value();
        for (double& x : bs) x = value();
        for (double& x : ws) x = value() + 2.0;
        rot::Matrix4 one{}, run{};
        rot::AlignSums one_sums = rot::align_zero(), run_sums = rot::align_zero();
        std::size_t stop = rot::mean_add_rows(run, qs.data(), n % 2 ? ws.data() : nullptr, 5);
        rot::align_add_rows(run_sums, as.data(), bs.data(), n % 2 ? ws.data() : nullptr, 5);
        for (std::size_t k = 0; k < 5; ++k) {
            const Quat u{qs[4 * k], qs[4 * k + 1], qs[4 * k + 2], qs[4 * k + 3]};
            if (k < stop) rot::mean_add(one, u, n % 2 ? ws[k] : 1.0);
            rot::align_add(one_sums, {as[3 * k], as[3 * k + 1], as[3 * k + 2]}, {bs[3 * k], bs[3 * k + 1], bs[3 * k + 2]},
                           n % 2 ? ws[k] : 1.0);
        }
        // Where two NaNs meet, which one survives is the compiler's choice.
        auto same = [](double x, double y) { return (x != x && y != y) || std::memcmp(&x, &y, sizeof x) == 0; };
        bool agree = same(one_sums.norms, run_sums.norms);
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                agree = agree && same(one[r][c], run[r][c]);
                if (r < 3 && c < 3) agree = agree && same(one_sums.b[r][c], run_sums.b[r][c]);
            }
        }
        if (!agree) {
            std::printf("row runs differ from single rows in round %ld\n", n);
            return 1;
        }
        bool zero;
        const Vec3d a{value(), value(), value()};
        const Vec3d b{value(), value(), value()};
        add(rot::align_pair(a, b, zero));
        // The loops over whole arrays (blocks of rows, several rows at once
        // where the processor allows) against the formulas row by row: a
        // batch longer than one block of rows and no multiple of the lanes.
        if (n % 8 == 0) {
            constexpr std::size_t rows = 70;
            double qs[4 * rows], euler[3 * rows], matrices[9 * rows];
            // Rows the loops take (finite, sums of squares inside
            // [2^-1000, 2^1000]): any scale, half turns and gimbal lock.
            for (std::size_t r = 0; r < rows; ++r) {
                const int scale = static_cast<int>(next() % 801) - 400;  // an exact power of two
                auto coordinate = [&] { return std::ldexp((static_cast<double>(next() >> 11) * 0x1p-53) * 4.0 - 2.0, scale); };
                Quat u{coordinate(), coordinate(), coordinate(), coordinate()};
                if (next() % 8 == 0) u = {0.0, u.i, u.j, 0.0};
                if (next() % 8 == 0) u = rot::from_euler(seq, {u.i, next() % 2 ? 0.0 : 1.5707963267948966, u.j});
                qs[4 * r] = u.w;
                qs[4 * r + 1] = u.i;
                qs[4 * r + 2] = u.j;
                qs[4 * r + 3] = u.k;
            }
            bool rows_lock = false;
            bool row_agree = rot::to_euler_rows(qs, rows, seq, euler, rows_lock);
            row_agree = rot::to_matrix_rows(qs, rows, matrices) && row_agree;
            bool any_lock = false;
            for (std::size_t r = 0; r < rows; ++r) {
                const Quat u{qs[4 * r], qs[4 * r + 1], qs[4 * r + 2], qs[4 * r + 3]};
                bool row_lock = false;
                const std::array<double, 3> row_angles = rot::to_euler(u, seq, row_lock);
                any_lock = any_lock || row_lock;
                const Matrix3 m = rot::to_matrix(u);
                for (int k = 0; k < 3; ++k) {
                    row_agree = row_agree && same(row_angles[k], euler[3 * r + k]);
                    for (int c = 0; c < 3; ++c) row_agree = row_agree && same(m[k][c], matrices[9 * r + 3 * k + c]);
                }
            }
            if (!row_agree || any_lock != rows_lock) {
                std::printf("whole-array loops differ from single rows in round %ld\n", n);
                return 1;
            }
            for (double x : euler) add(x);
            for (double x : matrices) add(x);
        }
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
