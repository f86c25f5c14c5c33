#pragma once
#include <array>
#include <cmath>
#include <string>

#include "tarsk/angle.h"
#include "tarsk/vec3d.h"

namespace tarsk {

struct Quat;

// The two parts of to_axis_angle: an axis (not normalised) and an angle.
struct AxisAngle {
    Vec3d axis;
    AngleRadians angle;
};

// A 3x3 matrix of doubles, row-major: m[row][column].
using Matrix3 = std::array<std::array<double, 3>, 3>;

// A quaternion w + i*I + j*J + k*K, scalar part first. Four doubles with no
// invariant: nothing requires or keeps unit length, and every operation uses
// the components as they are.
//
// Rotation convention: from_axis_angle stores the negated half-angle and
// rotate applies the conjugate on the left, so together they turn vectors the
// right-handed way about the axis. to_axis_angle and to_rotation_matrix read the
// components the textbook way and so describe the opposite sense.
struct Quat {
    double w;
    double i;
    double j;
    double k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    // With h = angle * (-0.5): (cos h, sin h * axis.x, sin h * axis.y,
    // sin h * axis.z). The axis is used unchanged, never normalised.
    static Quat from_axis_angle(const Vec3d& axis, AngleRadians angle);

    // (w, -i, -j, -k).
    constexpr Quat conjugate() const { return {w, -i, -j, -k}; }

    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }

    // Four true divisions by the magnitude; the zero quaternion gives NaNs.
    Quat normalize() const {
        double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    // True exactly when magnitude() is 1.0 or 1.0 - 2^-53.
    bool is_unit() const { return within_epsilon(magnitude(), 1.0); }

    // The vector part of (conjugate(q) * (0, v)) * q, with q not normalised:
    // a unit q keeps the length of v, any other scales it by |q|^2. The 0.0
    // scalar of the pure quaternion takes part in every product of the first
    // Hamilton product, so an infinite component of q gives NaN. No branch,
    // no trigonometry; this runs once per element of bulk rotations.
    constexpr Vec3d rotate(const Vec3d& v) const {
        Quat p = hamilton(conjugate(), Quat{0.0, v.x, v.y, v.z});
        Quat r = hamilton(p, *this);
        return {r.i, r.j, r.k};
    }

    // The vector part (i, j, k).
    constexpr Vec3d to_vec3d() const { return {i, j, k}; }

    // When |w - 1| < epsilon: the axis (1, 0, 0) and the angle 0.0, whatever
    // the vector part. Otherwise, with a = acos(w), angle = a + a and
    // s = sin(angle * 0.5): the axis (i/s, j/s, k/s) and that angle. Nothing is
    // normalised; w outside [-1, 1] gives NaNs.
    AxisAngle to_axis_angle() const;

    // The textbook rotation matrix of the components, row-major. Each
    // off-diagonal entry forms its two products, adds or subtracts them once
    // and doubles the result; each diagonal entry is 1 - 2 * (sum of two
    // squares in the order written). Not orthogonal for a non-unit q.
    constexpr Matrix3 to_rotation_matrix() const {
        return {{
            {1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - w * k), 2.0 * (i * k + w * j)},
            {2.0 * (i * j + w * k), 1.0 - 2.0 * (k * k + i * i), 2.0 * (j * k - w * i)},
            {2.0 * (i * k - w * j), 2.0 * (j * k + w * i), 1.0 - 2.0 * (j * j + i * i)},
        }};
    }

    // Tolerant, per component: not transitive, and a NaN component makes a
    // quaternion unequal to itself.
    constexpr bool equals(const Quat& o) const {
        return within_epsilon(w, o.w) && within_epsilon(i, o.i) && within_epsilon(j, o.j) &&
               within_epsilon(k, o.k);
    }

    friend constexpr bool operator==(const Quat& a, const Quat& b) { return a.equals(b); }
    friend constexpr bool operator!=(const Quat& a, const Quat& b) { return !a.equals(b); }

    // The Hamilton product a * b, each component evaluated left to right as
    // written (rotate and the rotation algebra share it).
    static constexpr Quat hamilton(const Quat& a, const Quat& b) {
        return {
            ((a.w * b.w - a.i * b.i) - a.j * b.j) - a.k * b.k,
            ((a.w * b.i + a.i * b.w) + a.j * b.k) - a.k * b.j,
            ((a.w * b.j + a.j * b.w) + a.k * b.i) - a.i * b.k,
            ((a.w * b.k + a.k * b.w) + a.i * b.j) - a.j * b.i,
        };
    }
};

// The pure quaternion (+0.0, v.x, v.y, v.z).
constexpr Quat to_quat(const Vec3d& v) { return {0.0, v.x, v.y, v.z}; }

// "Quat(w, i, j, k)" with each component in the float text form.
std::string quat_text(const Quat& q);
void append_quat_text(std::string& out, const Quat& q);

}  // namespace tarsk
