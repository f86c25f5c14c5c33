#include "tarsk/rotation.h"
#include "tarsk/crmath.h"
#include "tarsk/vector_isa.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace tarsk::rotation {
namespace {

constexpr double pi = std::numbers::pi;

double abs(double x) { return x < 0 ? -x : x; }

// A sum of squares in [2^-1000, 2^1000] has neither overflowed nor lost its
// largest square to underflow. A quaternion or vector whose sum of squares
// falls outside (or is not finite) is first multiplied by the power of two
// (exact) that brings its largest component to [0.5, 1). Inside the range
// nothing is scaled, so the bits there are those of the plain formulas, and
// every nonzero finite multiple of q gives the rotation of its unit multiple.
constexpr double low_square = 0x1p-1000;
constexpr double high_square = 0x1p1000;

bool squares_in_range(double norm2) { return norm2 >= low_square && norm2 <= high_square; }

// The exponent e of frexp of the largest of the magnitudes: x * 2^-e (ldexp,
// exact unless it underflows) brings the largest to [0.5, 1). 0 for zero.
int scale_exponent(double largest) {
    int e = 0;
    if (largest != 0.0) std::frexp(largest, &e);
    return e;
}

// The scaled copies of the rare quaternions and vectors out of range, out of
// line so that the common path stays small.
[[gnu::noinline, gnu::cold]] Quat rescaled(const Quat& q) {
    const int e = scale_exponent(std::max(std::max(abs(q.w), abs(q.i)), std::max(abs(q.j), abs(q.k))));
    return {std::ldexp(q.w, -e), std::ldexp(q.i, -e), std::ldexp(q.j, -e), std::ldexp(q.k, -e)};
}

[[gnu::noinline, gnu::cold]] Vec3d rescaled(const Vec3d& v) {
    const int e = scale_exponent(std::max(std::max(abs(v.x), abs(v.y)), abs(v.z)));
    return {std::ldexp(v.x, -e), std::ldexp(v.y, -e), std::ldexp(v.z, -e)};
}

inline Quat in_range(const Quat& q) {
    if (squares_in_range(((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k)) [[likely]] return q;
    return rescaled(q);
}

inline Vec3d in_range(const Vec3d& v) {
    if (squares_in_range((v.x * v.x + v.y * v.y) + v.z * v.z)) [[likely]] return v;
    return rescaled(v);
}

// The normalised q: four true divisions by its magnitude (of q brought into
// range first); in range, exactly Quat::normalize.
inline Quat unit(const Quat& q) {
    const double norm2 = ((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k;
    if (squares_in_range(norm2)) [[likely]] {
        const double m = std::sqrt(norm2);
        return {q.w / m, q.i / m, q.j / m, q.k / m};
    }
    return rescaled(q).normalize();
}

// A textbook quaternion (w, x, y, z) as this library stores the same turn.
Quat from_textbook(double w, double x, double y, double z) { return {w, -x, -y, -z}; }

// Error-free transformations without a fused multiply-add: a + b and a * b
// as an unevaluated sum hi + lo of two doubles (Knuth's two-sum, Dekker's
// product with Veltkamp's split; exact while nothing overflows or
// underflows).
struct Pair {
    double hi, lo;
};

Pair two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

Pair split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

Pair two_product(double a, double b) {
    const double p = a * b;
    const Pair x = split(a);
    const Pair y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

// An exact sum of doubles as a growing nonoverlapping expansion (Shewchuk's
// grow-expansion): components in increasing magnitude, so the sign of the sum
// is the sign of the last nonzero one.
class Expansion {
public:
    void add(double x) {
        double q = x;
        std::size_t kept = 0;
        for (std::size_t n = 0; n < size_; ++n) {
            const Pair s = two_sum(q, parts_[n]);
            q = s.hi;
            if (s.lo != 0.0) parts_[kept++] = s.lo;
        }
        parts_[kept++] = q;
        size_ = kept;
    }
    // a * b * c, exactly.
    void add_product(double a, double b, double c) {
        const Pair ab = two_product(a, b);
        const Pair h = two_product(ab.hi, c);
        const Pair l = two_product(ab.lo, c);
        add(h.hi);
        add(h.lo);
        add(l.hi);
        add(l.lo);
    }
    int sign() const {
        for (std::size_t n = size_; n-- > 0;) {
            if (parts_[n] != 0.0) return parts_[n] > 0.0 ? 1 : -1;
        }
        return 0;
    }

private:
    std::array<double, 32> parts_{};
    std::size_t size_ = 0;
};

// The sign of det(m), exactly (for entries whose products neither overflow
// nor underflow): the six terms of the cofactor expansion, each split into
// four exact parts.
int determinant_sign(const Matrix3& m) {
    Expansion e;
    e.add_product(m[0][0], m[1][1], m[2][2]);
    e.add_product(-m[0][0], m[1][2], m[2][1]);
    e.add_product(-m[0][1], m[1][0], m[2][2]);
    e.add_product(m[0][1], m[1][2], m[2][0]);
    e.add_product(m[0][2], m[1][0], m[2][1]);
    e.add_product(-m[0][2], m[1][1], m[2][0]);
    return e.sign();
}

// True when every 2x2 minor of m is exactly zero: rank below two.
bool rank_below_two(const Matrix3& m) {
    for (int r0 = 0; r0 < 3; ++r0) {
        for (int r1 = r0 + 1; r1 < 3; ++r1) {
            for (int c0 = 0; c0 < 3; ++c0) {
                for (int c1 = c0 + 1; c1 < 3; ++c1) {
                    Expansion e;
                    e.add_product(m[r0][c0], m[r1][c1], 1.0);
                    e.add_product(-m[r0][c1], m[r1][c0], 1.0);
                    if (e.sign() != 0) return false;
                }
            }
        }
    }
    return true;
}

// The SplitMix64 finaliser: a bijection of 64-bit words with full avalanche.
constexpr std::uint64_t mix64(std::uint64_t z) {
    z = z + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// A double in [-1, 1) from the top 53 bits of a word; exact.
double signed_unit(std::uint64_t bits) {
    double u = static_cast<double>(bits >> 11) * 0x1p-53;
    return 2.0 * u - 1.0;
}

}  // namespace

Matrix3 to_matrix(const Quat& q) {
    Matrix3 m = unit(q).to_rotation_matrix();
    return {{
        {m[0][0], m[1][0], m[2][0]},
        {m[0][1], m[1][1], m[2][1]},
        {m[0][2], m[1][2], m[2][2]},
    }};
}

namespace {

// to_matrix_rows runs blocks of `lanes` rows: one loop, whose every
// iteration is one row, reads a block's rows and writes each entry of the
// matrices to an array of its own (the compiler runs it on several rows per
// instruction; each lane rounds exactly as the scalar operation), and the
// entries are then stored row by row. A row's operations and their order are
// those of the scalar formula, whatever the lanes and the instruction set,
// so every row has the bits of to_matrix. The last block is copied and
// padded with unit rows, which are computed and never stored.
constexpr std::size_t lanes = 16;

// The entries of a block's matrices, m[entry][row]; returns the number of
// rows whose sum of squares is outside [2^-1000, 2^1000].
[[gnu::always_inline]] inline double to_matrix_block(const double* __restrict q, double (&m)[9][lanes]) {
    alignas(64) double bad[lanes];
#pragma GCC unroll 1
    for (std::size_t r = 0; r < lanes; ++r) {
        const double w = q[4 * r], i = q[4 * r + 1], j = q[4 * r + 2], k = q[4 * r + 3];
        const double norm2 = ((w * w + i * i) + j * j) + k * k;
        bad[r] = norm2 >= low_square && norm2 <= high_square ? 0.0 : 1.0;
        const double s = std::sqrt(norm2);
        const double uw = w / s, ui = i / s, uj = j / s, uk = k / s;
        // Quat::to_rotation_matrix of the unit quaternion, transposed.
        m[0][r] = 1.0 - 2.0 * (uj * uj + uk * uk);
        m[1][r] = 2.0 * (ui * uj + uw * uk);
        m[2][r] = 2.0 * (ui * uk - uw * uj);
        m[3][r] = 2.0 * (ui * uj - uw * uk);
        m[4][r] = 1.0 - 2.0 * (uk * uk + ui * ui);
        m[5][r] = 2.0 * (uj * uk + uw * ui);
        m[6][r] = 2.0 * (ui * uk + uw * uj);
        m[7][r] = 2.0 * (uj * uk - uw * ui);
        m[8][r] = 1.0 - 2.0 * (uj * uj + ui * ui);
    }
    double count = 0.0;
    for (std::size_t r = 0; r < lanes; ++r) count = count + bad[r];
    return count;
}

#if defined(__x86_64__)
using V8 = double __attribute__((vector_size(64)));
#endif

// Stores the entries of a block's `count` matrices as rows of nine. With
// eight-double vectors (wide = true) a whole block is stored by 8x8
// transposes of the first eight entries (exact moves) and the ninth one by
// one.
template <bool wide>
[[gnu::always_inline]] inline void store_matrices(const double (&m)[9][lanes], std::size_t count, double* out) {
#if defined(__x86_64__)
    if constexpr (wide) {
        if (count == lanes) {
            for (std::size_t h = 0; h < lanes; h += 8) {
                V8 a[8], t[8], u[8];
                for (int c = 0; c < 8; ++c) std::memcpy(&a[c], &m[c][h], sizeof(V8));
                for (int p = 0; p < 8; p += 2) {
                    t[p] = __builtin_shufflevector(a[p], a[p + 1], 0, 8, 2, 10, 4, 12, 6, 14);
                    t[p + 1] = __builtin_shufflevector(a[p], a[p + 1], 1, 9, 3, 11, 5, 13, 7, 15);
                }
                for (int p = 0; p < 8; p += 4) {
                    u[p] = __builtin_shufflevector(t[p], t[p + 2], 0, 1, 8, 9, 4, 5, 12, 13);
                    u[p + 2] = __builtin_shufflevector(t[p], t[p + 2], 2, 3, 10, 11, 6, 7, 14, 15);
                    u[p + 1] = __builtin_shufflevector(t[p + 1], t[p + 3], 0, 1, 8, 9, 4, 5, 12, 13);
                    u[p + 3] = __builtin_shufflevector(t[p + 1], t[p + 3], 2, 3, 10, 11, 6, 7, 14, 15);
                }
                for (int p = 0; p < 4; ++p) {
                    const V8 low = __builtin_shufflevector(u[p], u[p + 4], 0, 1, 2, 3, 8, 9, 10, 11);
                    const V8 high = __builtin_shufflevector(u[p], u[p + 4], 4, 5, 6, 7, 12, 13, 14, 15);
                    std::memcpy(out + 9 * (h + p), &low, sizeof low);
                    std::memcpy(out + 9 * (h + p + 4), &high, sizeof high);
                }
                for (std::size_t r = 0; r < 8; ++r) out[9 * (h + r) + 8] = m[8][h + r];
            }
            return;
        }
    }
#endif
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t c = 0; c < 9; ++c) out[9 * r + c] = m[c][r];
    }
}

template <bool wide>
[[gnu::always_inline]] inline bool to_matrix_all(const double* q, std::size_t n, double* out) {
    double bad = 0.0;
    alignas(64) double m[9][lanes];
    for (std::size_t b = 0; b < n; b += lanes) {
        const std::size_t count = std::min(lanes, n - b);
        if (count == lanes) {
            bad = bad + to_matrix_block(q + 4 * b, m);
        } else {
            alignas(64) double tail[4 * lanes];
            for (std::size_t r = 0; r < lanes; ++r) {
                for (std::size_t c = 0; c < 4; ++c) {
                    tail[4 * r + c] = r < count ? q[4 * (b + r) + c] : (c == 0 ? 1.0 : 0.0);
                }
            }
            bad = bad + to_matrix_block(tail, m);
        }
        store_matrices<wide>(m, count, out + 9 * b);
    }
    return bad == 0.0;
}

// The exact rows: quaternions negated in their vector part, or reordered to
// and from scalar-last with that negation, refusing (false) a row with a
// non-finite component or of zero norm.
enum class Exact { inverse, to_scalar_last, from_scalar_last };

template <Exact op>
[[gnu::always_inline]] inline bool exact_all(const double* q, std::size_t n, double* out) {
    unsigned bad = 0;
    for (std::size_t r = 0; r < n; ++r) {
        const double* p = q + 4 * r;
        double* o = out + 4 * r;
        const double a = p[0], b = p[1], c = p[2], d = p[3];
        const double finite = ((a - a) + (b - b)) + ((c - c) + (d - d));
        bad |= static_cast<unsigned>(!(finite == 0.0)) |
               static_cast<unsigned>((a == 0.0) & (b == 0.0) & (c == 0.0) & (d == 0.0));
        if constexpr (op == Exact::inverse) {
            o[0] = a, o[1] = -b, o[2] = -c, o[3] = -d;
        } else if constexpr (op == Exact::to_scalar_last) {
            o[0] = -b, o[1] = -c, o[2] = -d, o[3] = a;
        } else {
            o[0] = d, o[1] = -a, o[2] = -b, o[3] = -c;
        }
    }
    return bad == 0;
}

#if defined(__x86_64__)
// The same with a row in one vector of four doubles (where the processor
// has them): negation and reordering are exact, so the bits are those of
// the loop above.
using V4 = double __attribute__((vector_size(32)));
using M4 = decltype(V4{} != V4{});  // the lanes of a comparison: 0 or -1

template <Exact op>
[[gnu::always_inline]] inline bool exact_vectors(const double* q, std::size_t n, double* out) {
    const V4 zero = {0.0, 0.0, 0.0, 0.0};
    M4 non_finite = {0, 0, 0, 0};
    M4 all_nonzero = {-1, -1, -1, -1};
    for (std::size_t r = 0; r < n; ++r) {
        V4 v;
        std::memcpy(&v, q + 4 * r, sizeof v);
        non_finite |= (v - v) != zero;
        // Whether some component of the row is nonzero, in every lane.
        M4 nonzero = v != zero;
        nonzero |= __builtin_shufflevector(nonzero, nonzero, 1, 0, 3, 2);
        nonzero |= __builtin_shufflevector(nonzero, nonzero, 2, 3, 0, 1);
        all_nonzero &= nonzero;
        const V4 negated = -v;
        V4 o;
        if constexpr (op == Exact::inverse) {
            o = __builtin_shufflevector(v, negated, 0, 5, 6, 7);
        } else if constexpr (op == Exact::to_scalar_last) {
            o = __builtin_shufflevector(v, negated, 5, 6, 7, 0);
        } else {
            o = __builtin_shufflevector(v, negated, 3, 4, 5, 6);
        }
        std::memcpy(out + 4 * r, &o, sizeof o);
    }
    return all_nonzero[0] != 0 && ((non_finite[0] | non_finite[1]) | (non_finite[2] | non_finite[3])) == 0;
}
#endif

template <Exact op>
[[gnu::noinline]] bool exact_base(const double* q, std::size_t n, double* out) {
    return exact_all<op>(q, n, out);
}
[[gnu::noinline]] bool to_matrix_base(const double* q, std::size_t n, double* out) {
    return to_matrix_all<false>(q, n, out);
}

#if defined(__x86_64__)
template <Exact op>
[[gnu::noinline, gnu::target("avx2")]] bool exact_avx2(const double* q, std::size_t n, double* out) {
    return exact_vectors<op>(q, n, out);
}
[[gnu::noinline, gnu::target("avx2")]] bool to_matrix_avx2(const double* q, std::size_t n, double* out) {
    return to_matrix_all<false>(q, n, out);
}
[[gnu::noinline, gnu::target("avx512f,avx512vl,avx512dq")]] bool to_matrix_avx512(const double* q, std::size_t n,
                                                                                 double* out) {
    return to_matrix_all<true>(q, n, out);
}

#endif

template <Exact op>
bool exact_rows(const double* q, std::size_t n, double* out) {
#if defined(__x86_64__)
    if (vector_isa() != VectorIsa::base) return exact_avx2<op>(q, n, out);
#endif
    return exact_base<op>(q, n, out);
}

}  // namespace

bool to_matrix_rows(const double* q, std::size_t n, double* out) {
#if defined(__x86_64__)
    switch (vector_isa()) {
        case VectorIsa::avx512: return to_matrix_avx512(q, n, out);
        case VectorIsa::avx2: return to_matrix_avx2(q, n, out);
        case VectorIsa::base: break;
    }
#endif
    return to_matrix_base(q, n, out);
}

bool inverse_rows(const double* q, std::size_t n, double* out) { return exact_rows<Exact::inverse>(q, n, out); }
bool to_scalar_last_rows(const double* q, std::size_t n, double* out) {
    return exact_rows<Exact::to_scalar_last>(q, n, out);
}
bool from_scalar_last_rows(const double* a, std::size_t n, double* out) {
    return exact_rows<Exact::from_scalar_last>(a, n, out);
}

double determinant(const Matrix3& m) {
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

Quat from_matrix(const Matrix3& m0, MatrixFault& fault) {
    fault = MatrixFault::none;
    double largest = 0.0;
    for (const auto& row : m0) {
        for (double e : row) {
            if (!std::isfinite(e)) {
                fault = MatrixFault::non_finite;
                return {0.0, 0.0, 0.0, 0.0};
            }
            largest = std::max(largest, abs(e));
        }
    }
    // Entries of magnitude in [2^-300, 2^300] keep every product of three
    // in range; a matrix outside is multiplied by a power of two (exact), which
    // changes neither its rotation nor any decision below.
    Matrix3 m = m0;
    if (!(largest >= 0x1p-300 && largest <= 0x1p300)) {
        const int e = scale_exponent(largest);
        for (auto& row : m) {
            for (double& x : row) x = std::ldexp(x, -e);
        }
    }
    // The nearest orthogonal matrix (the polar factor) is a rotation when
    // det(m) > 0, a reflection when det(m) < 0; at det(m) = 0 with rank two
    // the nearest rotation is still unique. The sign is taken exactly.
    const int det_sign = determinant_sign(m);
    if (det_sign < 0) {
        fault = MatrixFault::reflection;
        return {0.0, 0.0, 0.0, 0.0};
    }
    if (det_sign == 0 && rank_below_two(m)) {
        fault = MatrixFault::rank_below_two;
        return {0.0, 0.0, 0.0, 0.0};
    }
    bool orthogonal = true;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            double g = (m[r][0] * m[c][0] + m[r][1] * m[c][1]) + m[r][2] * m[c][2];
            double tolerance = r == c ? 1e-12 + 1e-5 : 1e-12;
            if (!(abs(g - (r == c ? 1.0 : 0.0)) <= tolerance)) orthogonal = false;
        }
    }
    if (!orthogonal) {
        double value;
        std::array<double, 4> t = largest_eigenvector(trace_form(m), value);
        return from_textbook(t[0], t[1], t[2], t[3]);
    }
    // Read by the largest of m00, m11, m22 and the trace (the first of equal
    // ones), the choice that keeps the divisions of normalising away from
    // cancellation.
    double trace = (m[0][0] + m[1][1]) + m[2][2];
    std::array<double, 4> decision{m[0][0], m[1][1], m[2][2], trace};
    int choice = 0;
    for (int c = 1; c < 4; ++c) {
        if (decision[c] > decision[choice]) choice = c;
    }
    double x, y, z, w;
    switch (choice) {
        case 0:
            x = (1.0 - trace) + 2.0 * m[0][0];
            y = m[1][0] + m[0][1];
            z = m[2][0] + m[0][2];
            w = m[2][1] - m[1][2];
            break;
        case 1:
            x = m[1][0] + m[0][1];
            y = (1.0 - trace) + 2.0 * m[1][1];
            z = m[2][1] + m[1][2];
            w = m[0][2] - m[2][0];
            break;
        case 2:
            x = m[2][0] + m[0][2];
            y = m[2][1] + m[1][2];
            z = (1.0 - trace) + 2.0 * m[2][2];
            w = m[1][0] - m[0][1];
            break;
        default:
            x = m[2][1] - m[1][2];
            y = m[0][2] - m[2][0];
            z = m[1][0] - m[0][1];
            w = 1.0 + trace;
            break;
    }
    return unit(from_textbook(w, x, y, z));
}

Quat from_rotvec(const Vec3d& r) {
    double angle = (r.x * r.x + r.y * r.y) + r.z * r.z;
    if (squares_in_range(angle)) {
        angle = std::sqrt(angle);
    } else {
        const int e = scale_exponent(std::max(std::max(abs(r.x), abs(r.y)), abs(r.z)));
        angle = std::ldexp(in_range(r).magnitude(), e);
    }
    double sin_half, cos_half;
    cr::sincos(angle / 2.0, sin_half, cos_half);
    double scale;
    if (angle <= 1e-3) {
        double angle2 = angle * angle;
        scale = (0.5 - angle2 / 48.0) + (angle2 * angle2) / 3840.0;
    } else {
        scale = sin_half / angle;
    }
    return from_textbook(cos_half, r.x * scale, r.y * scale, r.z * scale);
}

Vec3d to_rotvec(const Quat& q) {
    std::array<double, 4> t = to_scalar_last(unit(q));
    double& x = t[0];
    double& y = t[1];
    double& z = t[2];
    double& w = t[3];
    bool flip = w < 0.0 || (w == 0.0 && (x < 0.0 || (x == 0.0 && (y < 0.0 || (y == 0.0 && z < 0.0)))));
    if (flip) {
        x = -x;
        y = -y;
        z = -z;
        w = -w;
    }
    double norm = std::sqrt((x * x + y * y) + z * z);
    double angle = 2.0 * cr::atan2(norm, w);
    double scale;
    if (angle <= 1e-3) {
        double angle2 = angle * angle;
        scale = (2.0 + angle2 / 12.0) + (7.0 * (angle2 * angle2)) / 2880.0;
    } else {
        scale = angle / cr::sin(angle / 2.0);
    }
    return {scale * x, scale * y, scale * z};
}

double magnitude_angle(const Quat& q0) {
    const Quat q = in_range(q0);
    double norm = std::sqrt((q.i * q.i + q.j * q.j) + q.k * q.k);
    return 2.0 * cr::atan2(norm, abs(q.w));
}

Quat slerp(const Quat& p0, const Quat& q0, double t) {
    Quat p = unit(p0);
    Quat q = unit(q0);
    double dot = ((p.w * q.w + p.i * q.i) + p.j * q.j) + p.k * q.k;
    // The turn from p to q is the textbook p^-1 q, whose scalar part is this
    // dot product; q is negated unless that turn is the short way round. Half
    // a turn apart both ways are as short: the turn whose first nonzero
    // vector component is positive is taken, as a rotation vector has it.
    bool flip = dot < 0.0;
    if (dot == 0.0) {
        Quat turn = Quat::hamilton(p, q.conjugate());
        flip = turn.i < 0.0 || (turn.i == 0.0 && (turn.j < 0.0 || (turn.j == 0.0 && turn.k < 0.0)));
    }
    if (flip) q = {-q.w, -q.i, -q.j, -q.k};
    Quat d{p.w - q.w, p.i - q.i, p.j - q.j, p.k - q.k};
    Quat s{p.w + q.w, p.i + q.i, p.j + q.j, p.k + q.k};
    double between = 2.0 * cr::atan2(d.magnitude(), s.magnitude());
    double sin_between = cr::sin(between);
    double a, b;
    if (sin_between == 0.0) {
        a = 1.0 - t;
        b = t;
    } else {
        a = cr::sin((1.0 - t) * between) / sin_between;
        b = cr::sin(t * between) / sin_between;
    }
    return unit({a * p.w + b * q.w, a * p.i + b * q.i, a * p.j + b * q.j, a * p.k + b * q.k});
}

double angle_between(const Quat& p0, const Quat& q0) {
    const Quat p = unit(p0);
    Quat q = unit(q0);
    if (((p.w * q.w + p.i * q.i) + p.j * q.j) + p.k * q.k < 0.0) q = {-q.w, -q.i, -q.j, -q.k};
    const Quat d{p.w - q.w, p.i - q.i, p.j - q.j, p.k - q.k};
    const Quat s{p.w + q.w, p.i + q.i, p.j + q.j, p.k + q.k};
    return 2.0 * cr::atan2(d.magnitude(), s.magnitude());
}

Quat from_euler(const EulerSeq& seq, const std::array<double, 3>& angles) {
    auto elementary = [](int axis, double angle) {
        double h = angle * 0.5;
        double sin_h, cos_h;
        cr::sincos(h, sin_h, cos_h);
        double s = -sin_h;
        return Quat{cos_h, axis == 0 ? s : 0.0, axis == 1 ? s : 0.0, axis == 2 ? s : 0.0};
    };
    Quat q = elementary(seq.axes[0], angles[0]);
    for (int n = 1; n < 3; ++n) {
        Quat e = elementary(seq.axes[n], angles[n]);
        q = seq.intrinsic ? compose(q, e) : compose(e, q);
    }
    return q;
}

namespace {

// The parts of to_euler that depend on the sequence only: the axes of the
// angle-from-quaternion method, which works on the extrinsic order (an
// intrinsic sequence is the same turns named in reverse).
struct EulerPlan {
    bool extrinsic;
    bool symmetric;
    int i, j, k;
    double sign;  // +1 for an even permutation (i, j, k), -1 for an odd one
};

EulerPlan plan_of(const EulerSeq& seq) {
    EulerPlan p;
    p.extrinsic = !seq.intrinsic;
    p.i = p.extrinsic ? seq.axes[0] : seq.axes[2];
    p.j = seq.axes[1];
    p.k = p.extrinsic ? seq.axes[2] : seq.axes[0];
    p.symmetric = p.i == p.k;
    if (p.symmetric) p.k = 3 - p.i - p.j;
    p.sign = static_cast<double>((p.i - p.j) * (p.j - p.k) * (p.k - p.i) / 2);
    return p;
}

// The four values the angles are taken from, of the normalised textbook
// components (x, y, z, w) = t: the three atan2 are atan2(b, a), atan2(d, c)
// and atan2(hypot(c, d), hypot(a, b)).
struct EulerParts {
    double a, b, c, d;
};

inline EulerParts euler_parts(const EulerPlan& p, double ti, double tj, double tk, double tw) {
    if (p.symmetric) return {tw, ti, tj, tk * p.sign};
    return {tw - tj, ti + tk * p.sign, tj + tw, tk * p.sign - ti};
}

// The angles from the two half angles and the middle angle (before the
// shift of a sequence that is not symmetric), as to_euler gives them.
inline std::array<double, 3> euler_angles(const EulerPlan& p, double half_sum, double half_diff, double middle,
                                          bool& gimbal_lock) {
    std::array<double, 3> angles{0.0, middle, 0.0};
    const bool near_zero = abs(angles[1]) <= 1e-7;
    const bool near_pi = abs(angles[1] - pi) <= 1e-7;
    const bool regular = !(near_zero || near_pi);
    gimbal_lock = !regular;
    const int first = p.extrinsic ? 0 : 2;
    const int third = p.extrinsic ? 2 : 0;
    // At gimbal lock only the sum (or difference) of the outer angles is
    // known: the third angle is set to zero and the first takes the whole
    // turn.
    angles[0] = near_zero ? 2.0 * half_sum : (2.0 * half_diff) * (p.extrinsic ? -1.0 : 1.0);
    if (regular) angles[first] = half_sum - half_diff;
    double last = regular ? half_sum + half_diff : angles[third];
    if (!p.symmetric) {
        last = last * p.sign;
        angles[1] = angles[1] - pi / 2.0;
    }
    angles[third] = last;
    // Every angle above lies in [-2 pi, 2 pi]: one turn added to one below
    // -pi or taken from one above pi brings it to [-pi, pi]; +-pi stay.
    for (double& angle : angles) {
        if (angle < -pi) {
            angle = angle + 2.0 * pi;
        } else if (angle > pi) {
            angle = angle - 2.0 * pi;
        }
    }
    return angles;
}

}  // namespace

std::array<double, 3> to_euler(const Quat& q, const EulerSeq& seq, bool& gimbal_lock) {
    const EulerPlan p = plan_of(seq);
    // The textbook (x, y, z, w) normalised in that order,
    // ((x*x + y*y) + z*z) + w*w, so that the middle angle, and with it the
    // gimbal-lock decision, is the one of a normalised scalar-last
    // quaternion to the last bit.
    std::array<double, 4> t = to_scalar_last(in_range(q));
    const double norm = std::sqrt(((t[0] * t[0] + t[1] * t[1]) + t[2] * t[2]) + t[3] * t[3]);
    for (double& c : t) c = c / norm;
    const EulerParts e = euler_parts(p, t[p.i], t[p.j], t[p.k], t[3]);
    const double half_sum = cr::atan2(e.b, e.a);
    const double half_diff = cr::atan2(e.d, e.c);
    const double middle = 2.0 * cr::atan2(cr::hypot(e.c, e.d), cr::hypot(e.a, e.b));
    return euler_angles(p, half_sum, half_diff, middle, gimbal_lock);
}

bool to_euler_rows(const double* q, std::size_t n, const EulerSeq& seq, double* out, bool& gimbal_lock) {
    const EulerPlan p = plan_of(seq);
    constexpr std::size_t block = 64;
    bool any_lock = false;
    for (std::size_t b0 = 0; b0 < n; b0 += block) {
        const std::size_t count = std::min(block, n - b0);
        const double* rows = q + 4 * b0;
        // The parts a, b, c, d of the block's rows, one array each, from the
        // normalised textbook components as to_euler computes them for a row
        // in range.
        alignas(64) double e[4][block];
        double bad = 0.0;
        for (std::size_t r = 0; r < count; ++r) {
            const double* row = rows + 4 * r;
            // The range of in_range (storage order), then the norm of the
            // textbook components (their order).
            const double stored2 = ((row[0] * row[0] + row[1] * row[1]) + row[2] * row[2]) + row[3] * row[3];
            bad = bad + (squares_in_range(stored2) ? 0.0 : 1.0);
            const double x = -row[1], y = -row[2], z = -row[3], w = row[0];
            const double norm = std::sqrt(((x * x + y * y) + z * z) + w * w);
            const double t[4] = {x / norm, y / norm, z / norm, w / norm};
            const EulerParts parts = euler_parts(p, t[p.i], t[p.j], t[p.k], t[3]);
            e[0][r] = parts.a;
            e[1][r] = parts.b;
            e[2][r] = parts.c;
            e[3][r] = parts.d;
        }
        if (bad != 0.0) return false;
        // The calls of to_euler, each over the whole block (the same bits,
        // several rows at once).
        alignas(64) double half_sum[block], half_diff[block], cd[block], ab[block];
        cr::atan2_n(e[1], e[0], half_sum, count);
        cr::atan2_n(e[3], e[2], half_diff, count);
        cr::hypot_n(e[2], e[3], cd, count);
        cr::hypot_n(e[0], e[1], ab, count);
        cr::atan2_n(cd, ab, cd, count);
        for (std::size_t r = 0; r < count; ++r) {
            bool lock = false;
            const std::array<double, 3> angles = euler_angles(p, half_sum[r], half_diff[r], 2.0 * cd[r], lock);
            any_lock = any_lock || lock;
            double* o = out + 3 * (b0 + r);
            o[0] = angles[0];
            o[1] = angles[1];
            o[2] = angles[2];
        }
    }
    gimbal_lock = any_lock;
    return true;
}

Quat random(std::uint64_t seed, std::uint64_t index) {
    const std::uint64_t base = mix64(mix64(seed) + mix64(~index));
    std::uint64_t draw = 0;
    for (int attempt = 0; attempt < 1024; ++attempt) {
        double w = signed_unit(mix64(base + draw++));
        double x = signed_unit(mix64(base + draw++));
        double y = signed_unit(mix64(base + draw++));
        double z = signed_unit(mix64(base + draw++));
        double s = ((w * w + x * x) + y * y) + z * z;
        if (s > 0.0 && s <= 1.0) return unit({w, x, y, z});
    }
    // Unreachable in practice: 1024 misses in a row have probability
    // below 1e-500.
    return Quat::identity();
}

std::array<double, 4> largest_eigenvector(const Matrix4& s, double& value) {
    Matrix4 a = s;
    Matrix4 v{};
    for (int n = 0; n < 4; ++n) v[n][n] = 1.0;
    static constexpr int pairs[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (int sweep = 0; sweep < 64; ++sweep) {
        double off = 0.0;
        for (const auto& pq : pairs) off = off + abs(a[pq[0]][pq[1]]);
        if (off == 0.0 || !(off == off)) break;
        for (const auto& pq : pairs) {
            const int p = pq[0];
            const int q = pq[1];
            const double apq = a[p][q];
            const double g = 100.0 * abs(apq);
            // After a few sweeps an entry too small to change either diagonal
            // entry is dropped.
            if (sweep > 3 && abs(a[p][p]) + g == abs(a[p][p]) && abs(a[q][q]) + g == abs(a[q][q])) {
                a[p][q] = 0.0;
                a[q][p] = 0.0;
                continue;
            }
            if (apq == 0.0) continue;
            const double h = a[q][q] - a[p][p];
            double t;
            if (abs(h) + g == abs(h)) {
                t = apq / h;
            } else {
                const double theta = 0.5 * h / apq;
                t = 1.0 / (abs(theta) + std::sqrt(1.0 + theta * theta));
                if (theta < 0.0) t = -t;
            }
            const double c = 1.0 / std::sqrt(1.0 + t * t);
            const double sn = t * c;
            const double tau = sn / (1.0 + c);
            a[p][p] = a[p][p] - t * apq;
            a[q][q] = a[q][q] + t * apq;
            a[p][q] = 0.0;
            a[q][p] = 0.0;
            for (int r = 0; r < 4; ++r) {
                if (r == p || r == q) continue;
                const double arp = a[r][p];
                const double arq = a[r][q];
                a[r][p] = arp - sn * (arq + arp * tau);
                a[r][q] = arq + sn * (arp - arq * tau);
                a[p][r] = a[r][p];
                a[q][r] = a[r][q];
            }
            for (int r = 0; r < 4; ++r) {
                const double vrp = v[r][p];
                const double vrq = v[r][q];
                v[r][p] = vrp - sn * (vrq + vrp * tau);
                v[r][q] = vrq + sn * (vrp - vrq * tau);
            }
        }
    }
    int best = 0;
    for (int n = 1; n < 4; ++n) {
        if (a[n][n] > a[best][best]) best = n;
    }
    value = a[best][best];
    std::array<double, 4> e{v[0][best], v[1][best], v[2][best], v[3][best]};
    double norm = std::sqrt(((e[0] * e[0] + e[1] * e[1]) + e[2] * e[2]) + e[3] * e[3]);
    bool negative = false;
    for (double c : e) {
        if (c != 0.0) {
            negative = c < 0.0;
            break;
        }
    }
    for (double& c : e) c = negative ? -(c / norm) : c / norm;
    return e;
}

Matrix4 trace_form(const Matrix3& b) {
    const double xx = b[0][0], xy = b[0][1], xz = b[0][2];
    const double yx = b[1][0], yy = b[1][1], yz = b[1][2];
    const double zx = b[2][0], zy = b[2][1], zz = b[2][2];
    return {{
        {(xx + yy) + zz, zy - yz, xz - zx, yx - xy},
        {zy - yz, (xx - yy) - zz, xy + yx, xz + zx},
        {xz - zx, xy + yx, (yy - xx) - zz, yz + zy},
        {yx - xy, xz + zx, yz + zy, (zz - xx) - yy},
    }};
}

void mean_add(Matrix4& s, const Quat& q0, double weight) {
    const Quat q = in_range(q0);
    // weight * u u^T of the unit u = q / |q| is (weight / |q|^2) q q^T: one
    // division instead of a square root and four.
    const double scaled = weight / (((q.w * q.w + q.i * q.i) + q.j * q.j) + q.k * q.k);
    const std::array<double, 4> e{q.w, q.i, q.j, q.k};
    for (int r = 0; r < 4; ++r) {
        const double left = scaled * e[r];
        for (int c = r; c < 4; ++c) s[r][c] = s[r][c] + left * e[c];
    }
}

std::size_t mean_add_rows(Matrix4& s, const double* rows, const double* weights, std::size_t n) {
    // The upper triangle in locals, so that the sums stay in registers.
    double s00 = s[0][0], s01 = s[0][1], s02 = s[0][2], s03 = s[0][3];
    double s11 = s[1][1], s12 = s[1][2], s13 = s[1][3];
    double s22 = s[2][2], s23 = s[2][3], s33 = s[3][3];
    std::size_t r = 0;
    for (; r < n; ++r) {
        const double* q = rows + 4 * r;
        double w = q[0], i = q[1], j = q[2], k = q[3];
        double norm2 = ((w * w + i * i) + j * j) + k * k;
        if (!squares_in_range(norm2)) {
            // Rare: a row of zero norm or a non-finite one stops the run; a
            // tiny or huge one is brought into range.
            const Quat u{w, i, j, k};
            if (has_zero_norm(u) || !is_finite(u)) break;
            const Quat v = in_range(u);
            w = v.w, i = v.i, j = v.j, k = v.k;
            norm2 = ((w * w + i * i) + j * j) + k * k;
        }
        const double scaled = (weights ? weights[r] : 1.0) / norm2;
        const double l0 = scaled * w, l1 = scaled * i, l2 = scaled * j, l3 = scaled * k;
        s00 = s00 + l0 * w;
        s01 = s01 + l0 * i;
        s02 = s02 + l0 * j;
        s03 = s03 + l0 * k;
        s11 = s11 + l1 * i;
        s12 = s12 + l1 * j;
        s13 = s13 + l1 * k;
        s22 = s22 + l2 * j;
        s23 = s23 + l2 * k;
        s33 = s33 + l3 * k;
    }
    s[0][0] = s00, s[0][1] = s01, s[0][2] = s02, s[0][3] = s03;
    s[1][1] = s11, s[1][2] = s12, s[1][3] = s13;
    s[2][2] = s22, s[2][3] = s23, s[3][3] = s33;
    return r;
}

void sum_into(Matrix4& into, const Matrix4& part) {
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 4; ++c) into[r][c] = into[r][c] + part[r][c];
    }
}

Quat mean_finish(const Matrix4& upper) {
    Matrix4 s = upper;
    for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < r; ++c) s[r][c] = s[c][r];
    }
    double value;
    std::array<double, 4> e = largest_eigenvector(s, value);
    return {e[0], e[1], e[2], e[3]};
}

AlignSums align_zero() { return AlignSums{Matrix3{}, 0.0}; }

void align_add(AlignSums& s, const Vec3d& a, const Vec3d& b, double weight) {
    const std::array<double, 3> wa{weight * a.x, weight * a.y, weight * a.z};
    const std::array<double, 3> bv{b.x, b.y, b.z};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) s.b[r][c] = s.b[r][c] + wa[r] * bv[c];
    }
    s.norms = s.norms + weight * (b.dot(b) + a.dot(a));
}

void align_add_rows(AlignSums& s, const double* a, const double* b, const double* weights, std::size_t n) {
    double b00 = s.b[0][0], b01 = s.b[0][1], b02 = s.b[0][2];
    double b10 = s.b[1][0], b11 = s.b[1][1], b12 = s.b[1][2];
    double b20 = s.b[2][0], b21 = s.b[2][1], b22 = s.b[2][2];
    double norms = s.norms;
    for (std::size_t r = 0; r < n; ++r) {
        const double* av = a + 3 * r;
        const double* bv = b + 3 * r;
        const double weight = weights ? weights[r] : 1.0;
        const double w0 = weight * av[0], w1 = weight * av[1], w2 = weight * av[2];
        b00 = b00 + w0 * bv[0];
        b01 = b01 + w0 * bv[1];
        b02 = b02 + w0 * bv[2];
        b10 = b10 + w1 * bv[0];
        b11 = b11 + w1 * bv[1];
        b12 = b12 + w1 * bv[2];
        b20 = b20 + w2 * bv[0];
        b21 = b21 + w2 * bv[1];
        b22 = b22 + w2 * bv[2];
        const double bb = (bv[0] * bv[0] + bv[1] * bv[1]) + bv[2] * bv[2];
        const double aa = (av[0] * av[0] + av[1] * av[1]) + av[2] * av[2];
        norms = norms + weight * (bb + aa);
    }
    s.b = {{{b00, b01, b02}, {b10, b11, b12}, {b20, b21, b22}}};
    s.norms = norms;
}

void align_sum_into(AlignSums& into, const AlignSums& part) {
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) into.b[r][c] = into.b[r][c] + part.b[r][c];
    }
    into.norms = into.norms + part.norms;
}

Quat align_finish(const AlignSums& s, double& rssd) {
    double value;
    std::array<double, 4> t = largest_eigenvector(trace_form(s.b), value);
    double ssd = s.norms - 2.0 * value;
    rssd = std::sqrt(ssd > 0.0 ? ssd : 0.0);
    return from_textbook(t[0], t[1], t[2], t[3]);
}

Quat align_pair(const Vec3d& a0, const Vec3d& b0, bool& zero) {
    const Vec3d a1 = in_range(a0);
    const Vec3d b1 = in_range(b0);
    zero = a1.dot(a1) == 0.0 || b1.dot(b1) == 0.0;
    if (zero) return Quat::identity();
    const Vec3d a = a1.normalize();
    const Vec3d b = b1.normalize();
    // About the axis b x a by the angle between them; for exactly opposite
    // vectors half a turn about an axis normal to a, made from a's two
    // components other than its smallest one.
    Vec3d axis = b.cross(a);
    const double s = axis.magnitude();
    const double angle = cr::atan2(s, b.dot(a));
    if (s == 0.0) {
        if (!(b.dot(a) < 0.0)) return Quat::identity();
        const std::array<double, 3> m{abs(a.x), abs(a.y), abs(a.z)};
        int smallest = 0;
        for (int n = 1; n < 3; ++n) {
            if (m[n] < m[smallest]) smallest = n;
        }
        axis = Vec3d{smallest == 1 ? a.z : (smallest == 2 ? -a.y : 0.0),
                     smallest == 2 ? a.x : (smallest == 0 ? -a.z : 0.0),
                     smallest == 0 ? a.y : (smallest == 1 ? -a.x : 0.0)}
                   .normalize();
    } else {
        axis = axis.divide(s);
    }
    const double h = angle / 2.0;
    const double sh = cr::sin(h);
    return from_textbook(cr::cos(h), sh * axis.x, sh * axis.y, sh * axis.z);
}

}  // namespace tarsk::rotation
