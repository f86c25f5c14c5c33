#pragma once
#include <cmath>
#include <limits>

#include "tarsk/geometry/plane.h"
#include "tarsk/vec3d.h"

namespace tarsk::geometry {

// The double nearest to pi.
inline constexpr double pi = 3.141592653589793;

// How two vectors are parallel within tolerance: every component agreeing, or
// else every component opposite, or neither.
enum class Parallel { none, agreeing, opposite };

// The agreeing test (|u - v| < epsilon per component) first; only if it fails,
// the opposite test (|u + v| < epsilon per component).
constexpr Parallel parallel_direction(const Vec3d& u, const Vec3d& v) {
    if (within_epsilon(u.x, v.x) && within_epsilon(u.y, v.y) && within_epsilon(u.z, v.z)) {
        return Parallel::agreeing;
    }
    if (within_epsilon(u.x + v.x, 0.0) && within_epsilon(u.y + v.y, 0.0) &&
        within_epsilon(u.z + v.z, 0.0)) {
        return Parallel::opposite;
    }
    return Parallel::none;
}

// True when u and v point the same or opposite ways within tolerance.
constexpr bool parallel_within_tolerance(const Vec3d& u, const Vec3d& v) {
    return parallel_direction(u, v) != Parallel::none;
}

// A circle anywhere in space: the points of the plane through center
// perpendicular to normal that lie radius away from center. No invariant is
// kept after construction.
struct Circle {
    // The center of the circle.
    Vec3d center;
    // Non-negative after construction.
    double radius;
    // The normal of the circle's plane; unit length after construction.
    Vec3d normal;

    // Stores center unchanged, |radius| and N(normal).
    static Circle make(const Vec3d& center, double radius, const Vec3d& normal);

    // The placeholder for no circle: zero center and radius, quiet NaN normal,
    // so it equals no circle (itself included) and shares no plane.
    static constexpr Circle none() {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        return {{0.0, 0.0, 0.0}, 0.0, {nan, nan, nan}};
    }

    // (radius * radius) * pi.
    constexpr double area() const { return (radius * radius) * pi; }

    // The plane through center perpendicular to the normalised stored normal.
    Plane get_plane() const { return Plane::from_point(normal, center); }

    // Stored normals parallel within tolerance and the plane offsets n . c
    // matching within epsilon; the normals are used without normalising.
    constexpr bool in_same_plane(const Circle& other) const {
        // Each circle lies on n . p + d = 0 with d = -(n . c). With agreeing
        // normals the two offsets n . c must be equal; with opposite normals
        // the one plane gives offsets of opposite sign, so they must cancel.
        double own = normal.dot(center);
        double theirs = other.normal.dot(other.center);
        switch (parallel_direction(normal, other.normal)) {
            case Parallel::agreeing: return within_epsilon(theirs - own, 0.0);
            case Parallel::opposite: return within_epsilon(theirs + own, 0.0);
            case Parallel::none: break;
        }
        return false;
    }

    // radius == 0.0 exactly (-0.0 included; NaN and negative radii are not).
    constexpr bool is_degenerate() const { return radius == 0.0; }

    // Centers within epsilon per component (x, y, z in turn), radii exactly
    // equal, normals parallel within tolerance. Not transitive; NaN fields
    // make a circle unequal to itself.
    constexpr bool equals(const Circle& other) const {
        return within_epsilon(center.x, other.center.x) &&
               within_epsilon(center.y, other.center.y) &&
               within_epsilon(center.z, other.center.z) && radius == other.radius &&
               parallel_within_tolerance(normal, other.normal);
    }

    friend constexpr bool operator==(const Circle& a, const Circle& b) { return a.equals(b); }
    friend constexpr bool operator!=(const Circle& a, const Circle& b) { return !a.equals(b); }
};

}  // namespace tarsk::geometry
