#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "tarsk/quat.h"
#include "tarsk/vec3d.h"

// Rotation algebra on Quat values in this library's own storage and sense:
// q = (w, i, j, k) turns v the way Quat::rotate does, which makes q the
// conjugate of the textbook quaternion t = (cos a/2, sin a/2 n) of the same
// turn. Conversions that need a unit quaternion normalise their argument
// first (four true divisions by the magnitude), so any nonzero multiple of q
// stands for the same rotation; callers refuse a quaternion whose magnitude is
// zero before they get here (see has_zero_norm). Every formula is written out
// in the grouping it is evaluated in, each operation rounded on its own.
namespace tarsk::rotation {

// True when every component is zero: the quaternion names no rotation. Any
// other finite quaternion, down to subnormal components and up to the
// largest double, names the rotation of its unit multiple: conversions that
// need the norm first multiply a quaternion whose sum of squares would leave
// [2^-1000, 2^1000] by a power of two (exact), and compute as written
// inside that range.
constexpr bool has_zero_norm(const Quat& q) { return q.w == 0.0 && q.i == 0.0 && q.j == 0.0 && q.k == 0.0; }

// True when every component is finite (x - x is 0 exactly for finite x).
constexpr bool is_finite(const Quat& q) { return ((q.w - q.w) + (q.i - q.i)) + ((q.j - q.j) + (q.k - q.k)) == 0.0; }
constexpr bool is_finite(const Vec3d& v) { return ((v.x - v.x) + (v.y - v.y)) + (v.z - v.z) == 0.0; }

// The rotation that applies q first and then p: rotate(rotate(v, q), p)
// equals rotate(v, compose(p, q)) up to rounding. In this storage that is the
// Hamilton product q * p. Nothing is normalised.
constexpr Quat compose(const Quat& p, const Quat& q) { return Quat::hamilton(q, p); }

// The opposite rotation: the conjugate (w, -i, -j, -k), exact.
constexpr Quat inverse(const Quat& q) { return q.conjugate(); }

// Components of the same rotation in scalar-last textbook order (x, y, z, w)
// = (-i, -j, -k, w), and back. Exact and mutually inverse; nothing is
// normalised.
constexpr std::array<double, 4> to_scalar_last(const Quat& q) { return {-q.i, -q.j, -q.k, q.w}; }
constexpr Quat from_scalar_last(const std::array<double, 4>& a) { return {a[3], -a[0], -a[1], -a[2]}; }

// The matrix m of the normalised q that maps column vectors as rotate does:
// m v = rotate(v, q). It is the transpose of Quat::to_rotation_matrix of the
// normalised q, entry for entry.
Matrix3 to_matrix(const Quat& q);

// to_matrix of n rows of four doubles (w, i, j, k) into n rows of nine
// (row-major), in blocks of rows that run several rows per instruction (on
// x86-64 with the widest vectors the processor has): the same bits as
// to_matrix row by row. Returns false
// when some row needs more than the plain formula (a sum of squares outside
// [2^-1000, 2^1000], which includes non-finite and zero rows); what it wrote
// is then to be discarded.
bool to_matrix_rows(const double* q, std::size_t n, double* out);

// inverse, to_scalar_last and from_scalar_last of n rows of four doubles
// into n rows of four (exact, in loops without branches). Return false when
// some row has a non-finite component or all four zero (it names no
// rotation); what they wrote is then to be discarded.
bool inverse_rows(const double* q, std::size_t n, double* out);
bool to_scalar_last_rows(const double* q, std::size_t n, double* out);
bool from_scalar_last_rows(const double* a, std::size_t n, double* out);

// What from_matrix found wrong with a matrix.
enum class MatrixFault { none, non_finite, reflection, rank_below_two };

// det(m) by cofactors along the first row:
// m00 (m11 m22 - m12 m21) - m01 (m10 m22 - m12 m20) + m02 (m10 m21 - m11 m20).
double determinant(const Matrix3& m);

// The rotation of a matrix m that maps column vectors (as to_matrix gives).
// A matrix whose Gram matrix m m^T is within 1e-12 (plus 1e-5 relative on
// the diagonal) of the identity is read directly by the largest of its
// diagonal and trace; any other is replaced by its nearest rotation in the
// Frobenius norm (the orthogonal polar factor, or at determinant zero the
// nearest rotation), found as the quaternion that maximises trace(R^T m). A
// matrix of largest entry outside [2^-300, 2^300] is first multiplied by a
// power of two (exact). Refused through `fault`: a non-finite entry, a
// negative determinant (the nearest orthogonal matrix is a reflection) and
// rank below two, both decided exactly.
Quat from_matrix(const Matrix3& m, MatrixFault& fault);

// Rotation vector r = axis * angle (radians): angle |r| about r's direction.
// With a = |r|: w = cos(a * 0.5) and the vector part -s * r, where
// s = sin(a * 0.5) / a, or the series 0.5 - a^2/48 + a^4/3840 for a <= 1e-3.
Quat from_rotvec(const Vec3d& r);

// The rotation vector of q with its angle in [0, pi]: the textbook
// (x, y, z, w) of the normalised q, turned to w >= 0 (the first nonzero of
// w, x, y, z positive), angle = 2 atan2(|(x, y, z)|, w), times
// angle / sin(angle / 2), or the series 2 + a^2/12 + 7 a^4/2880 for
// angle <= 1e-3.
Vec3d to_rotvec(const Quat& q);

// The rotation angle in [0, pi]: 2 atan2(|(i, j, k)|, |w|). Needs no
// normalisation.
double magnitude_angle(const Quat& q);

// Spherical interpolation on the shortest path between the normalised p and
// q (q negated when their dot product is negative, and at a dot product of
// zero when the turn p^-1 q has a negative first nonzero vector component,
// the choice of a rotation vector of half a turn): with the angle
// b = 2 atan2(|p - q|, |p + q|) between them, the normalised
// (sin((1 - t) b) / sin b) p + (sin(t b) / sin b) q, or (1 - t) p + t q when
// sin b is zero. t = 0 gives p, t = 1 gives q (as rotations); any finite t
// outside [0, 1] continues along the same great circle.
Quat slerp(const Quat& p, const Quat& q, double t);

// The angle in [0, pi] of the turn between p and q (radians):
// 2 atan2(|p - q|, |p + q|) of the normalised p and q, q negated first when
// their dot product is negative.
double angle_between(const Quat& p, const Quat& q);

// A three-axis Euler sequence: axes (0 = x, 1 = y, 2 = z) in the order they
// are named, no two neighbours equal; intrinsic (rotating frame, named in
// upper case) or extrinsic (fixed frame, lower case).
struct EulerSeq {
    std::array<int, 3> axes;
    bool intrinsic;
};

// The rotation of three Euler angles (radians): the elementary rotations
// e(axis, a) = (cos(a * 0.5), -sin(a * 0.5) on that axis) composed in order,
// the first applied first for an extrinsic sequence (compose(e3, compose(e2,
// e1))) and last for an intrinsic one (compose(compose(e1, e2), e3)).
Quat from_euler(const EulerSeq& seq, const std::array<double, 3>& angles);

// The Euler angles of q, by the angle-from-quaternion method on the textbook
// components (x, y, z, w), normalised in that order: every angle in
// [-pi, pi] (an angle below -pi or above pi is moved by one turn, so a half
// turn keeps the sign it is computed with), the middle one in [0, pi] for a
// symmetric sequence (first axis = last) and in [-pi/2, pi/2] otherwise.
// When the middle angle (before the shift of -pi/2 of a sequence that is not
// symmetric) is within 1e-7 of 0 or pi (gimbal lock) the third angle is set
// to zero and `gimbal_lock` is set.
std::array<double, 3> to_euler(const Quat& q, const EulerSeq& seq, bool& gimbal_lock);

// to_euler of n rows of four doubles (w, i, j, k) into n rows of three, the
// normalisation of a block of rows at a time: the same bits as to_euler row
// by row; `gimbal_lock` set when some row is at gimbal lock. Returns false
// when some row's sum of squares is outside [2^-1000, 2^1000] (which
// includes non-finite and zero rows); what it wrote is then to be discarded.
bool to_euler_rows(const double* q, std::size_t n, const EulerSeq& seq, double* out, bool& gimbal_lock);

// The index-th rotation of the stream `seed`: uniformly distributed, made
// only of integer hashing, +, -, *, / and sqrt, so the same on every machine.
// Four coordinates in [-1, 1) are drawn from a counter-based hash of (seed,
// index, attempt) until they fall inside the unit 4-ball (and not at its
// centre); their normalisation is the result.
Quat random(std::uint64_t seed, std::uint64_t index);

// A symmetric 4x4 matrix, full storage.
using Matrix4 = std::array<std::array<double, 4>, 4>;

// The unit eigenvector of the largest eigenvalue of the symmetric s (the
// first of equal largest ones), by cyclic Jacobi rotations over the pairs
// (0,1), (0,2), (0,3), (1,2), (1,3), (2,3) in that order, at most 64 sweeps;
// turned so that its first nonzero component is positive. `value` receives
// the eigenvalue.
std::array<double, 4> largest_eigenvector(const Matrix4& s, double& value);

// The 4x4 matrix n with q^T n q = trace(R(q)^T b) for the textbook unit
// quaternion q = (w, x, y, z) and its rotation matrix R(q) (Horn's form).
Matrix4 trace_form(const Matrix3& b);

// Running sums of the chordal mean, upper triangle only (r <= c): s[r][c] +=
// ((weight / |q|^2) q_r) q_c, that is weight u u^T of the normalised q, with
// |q|^2 = ((w*w + i*i) + j*j) + k*k (components in storage order; q brought
// into range first, as the conversions do). Added element after element.
void mean_add(Matrix4& s, const Quat& q, double weight);
// mean_add of n rows of four doubles (w, i, j, k), in row order, with the
// weights (null: every weight 1); the same bits as n calls. Stops before the
// first row of zero norm or with a non-finite component and returns its
// index, else returns n.
std::size_t mean_add_rows(Matrix4& s, const double* rows, const double* weights, std::size_t n);
// Two partial sums added entry by entry: into += part.
void sum_into(Matrix4& into, const Matrix4& part);
// The rotation of largest_eigenvector of the symmetric matrix whose upper
// triangle s holds: the chordal L2 mean.
Quat mean_finish(const Matrix4& s);

// Running sums of align_vectors: b = sum w a b^T, norms = sum w (|b|^2 + |a|^2).
struct AlignSums {
    Matrix3 b;
    double norms;
};
AlignSums align_zero();
void align_add(AlignSums& s, const Vec3d& a, const Vec3d& b, double weight);
// align_add of n pairs of rows of three doubles, in row order, with the
// weights (null: every weight 1); the same bits as n calls.
void align_add_rows(AlignSums& s, const double* a, const double* b, const double* weights, std::size_t n);
void align_sum_into(AlignSums& into, const AlignSums& part);

// The rotation r that best maps the b vectors onto the a vectors (smallest
// sum of w |a - rotate(b, r)|^2), from the sums of at least two pairs, with
// the root of the remaining sum of squares, sqrt(max(norms - 2 lambda, 0)).
Quat align_finish(const AlignSums& s, double& rssd);

// The smallest rotation that turns the direction of b onto that of a (one
// pair): about b x a by atan2(|b x a|, b . a) of the normalised vectors, or
// by pi about an axis normal to a when they are exactly opposite. A zero a
// or b is refused through `zero` (nothing else is).
Quat align_pair(const Vec3d& a, const Vec3d& b, bool& zero);

}  // namespace tarsk::rotation
