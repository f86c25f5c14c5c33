#pragma once
#include <compare>
#include <string>

#include "tarsk/vec3d.h"

namespace tarsk {

struct AngleDegrees;

// An angle in radians: one double with no invariant. Nothing is ever wrapped
// into a full turn, range-reduced or rejected; NaN and the infinities are
// carried through as they are.
struct AngleRadians {
    double angle;

    // Each constant is the double nearest to its exact value.
    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {3.141592653589793}; }
    static constexpr AngleRadians two_pi() { return {6.283185307179586}; }
    static constexpr AngleRadians half_pi() { return {1.5707963267948966}; }
    static constexpr AngleRadians quarter_pi() { return {0.7853981633974483}; }
    static constexpr AngleRadians third_pi() { return {1.0471975511965976}; }
    static constexpr AngleRadians sixth_pi() { return {0.5235987755982988}; }

    // The C library's sin, cos and tan of the stored value.
    double sin() const;
    double cos() const;
    double tan() const;
    // 1.0 / cos, 1.0 / sin and 1.0 / tan: true divisions, no special cases, so
    // cot of +0.0 is +inf and of -0.0 is -inf.
    double sec() const;
    double csc() const;
    double cot() const;

    // (angle * 180.0) / pi: the product first, then the division; folding the
    // constant into one factor would change the last bit of many results.
    constexpr AngleDegrees to_degrees() const;

    constexpr AngleRadians add(AngleRadians o) const { return {angle + o.angle}; }
    constexpr AngleRadians subtract(AngleRadians o) const { return {angle - o.angle}; }
    // s * angle.
    constexpr AngleRadians scale(double s) const { return {s * angle}; }
    // A true division, never a multiplication by 1/s.
    constexpr AngleRadians divide(double s) const { return {angle / s}; }
    // Flips the sign bit only: +0.0 becomes -0.0 and a NaN keeps its payload.
    constexpr AngleRadians negate() const { return {-angle}; }

    // The float text form of the value followed by " radians".
    std::string text() const;
    // The value with exactly `precision` digits after the decimal point,
    // followed by " radians".
    std::string text(int precision) const;

    friend constexpr AngleRadians operator+(AngleRadians a, AngleRadians b) { return a.add(b); }
    friend constexpr AngleRadians operator-(AngleRadians a, AngleRadians b) { return a.subtract(b); }
    friend constexpr AngleRadians operator*(AngleRadians a, double s) { return a.scale(s); }
    friend constexpr AngleRadians operator*(double s, AngleRadians a) { return a.scale(s); }
    friend constexpr AngleRadians operator/(AngleRadians a, double s) { return a.divide(s); }
    friend constexpr AngleRadians operator-(AngleRadians a) { return a.negate(); }

    // IEEE order of the doubles, no tolerance: +0.0 == -0.0, and a NaN is
    // neither equal to, less than nor greater than anything, itself included.
    // Defaulted: the comparisons of the one member, so the same IEEE results
    // (<, <=, >, >= through a partial ordering that is unordered for NaN).
    friend constexpr bool operator==(AngleRadians a, AngleRadians b) = default;
    friend constexpr std::partial_ordering operator<=>(AngleRadians a, AngleRadians b) = default;
};

// An angle in degrees: one double with no invariant. It has no trigonometry and
// no arithmetic besides negation; callers compute in radians.
struct AngleDegrees {
    double angle;

    // (angle * pi) / 180.0: the product first, then the division.
    constexpr AngleRadians to_radians() const { return {(angle * AngleRadians::pi().angle) / 180.0}; }

    // Flips the sign bit only.
    constexpr AngleDegrees negate() const { return {-angle}; }

    // The float text form of the value immediately followed by the degree sign
    // U+00B0 (UTF-8 bytes C2 B0).
    std::string text() const;
    // The value with exactly `precision` digits after the decimal point,
    // followed by the degree sign.
    std::string text(int precision) const;

    friend constexpr AngleDegrees operator-(AngleDegrees a) { return a.negate(); }

    // IEEE order of the doubles, no tolerance (as for AngleRadians).
    // Defaulted: the comparisons of the one member, so the same IEEE results
    // (<, <=, >, >= through a partial ordering that is unordered for NaN).
    friend constexpr bool operator==(AngleDegrees a, AngleDegrees b) = default;
    friend constexpr std::partial_ordering operator<=>(AngleDegrees a, AngleDegrees b) = default;
};

constexpr AngleDegrees AngleRadians::to_degrees() const {
    return {(angle * 180.0) / AngleRadians::pi().angle};
}

// The unsigned angle between a and b, in [0, pi] or NaN:
//   d  = (ax*bx + ay*by) + az*bz
//   na = sqrt((ax*ax + ay*ay) + az*az), nb likewise
//   c  = d / (na * nb)
//   acos(c)
// c is not clamped to [-1, 1]: when rounding pushes it just outside, acos gives
// NaN (as for (1, 1, 1) with itself), and a zero vector gives 0/0 and so NaN.
AngleRadians angle_to(const Vec3d& a, const Vec3d& b);

}  // namespace tarsk
