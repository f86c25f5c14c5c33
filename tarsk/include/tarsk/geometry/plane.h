#pragma once
#include <cmath>

#include "tarsk/vec3d.h"

namespace tarsk::geometry {

// An oriented plane in normal form: a point p lies on it when
// normal . p + distance = 0. Constructors store a unit normal; a later direct
// assignment may store any vector, which every operation then uses unchanged.
struct Plane {
    // Unit length after construction (NaNs for a zero normal).
    Vec3d normal;
    // The constant term d of normal . p + d = 0.
    double distance;

    // The plane N(normal) . p = distance: the normal is normalised and the
    // distance stored with its sign flipped (0.0 becomes -0.0), not rescaled.
    static Plane make(const Vec3d& normal, double distance);

    // The plane through point perpendicular to normal.
    static Plane from_point(const Vec3d& normal, const Vec3d& point);

    // The plane through three points, its normal towards the side from which
    // they run counter-clockwise; collinear points give an all-NaN plane.
    static Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3);

    // z = 0 with normal (0, 0, 1), distance -0.0.
    static constexpr Plane xy() { return {{0.0, 0.0, 1.0}, -0.0}; }
    // y = 0 with normal (0, 1, 0), distance -0.0.
    static constexpr Plane xz() { return {{0.0, 1.0, 0.0}, -0.0}; }
    // x = 0 with normal (1, 0, 0), distance -0.0.
    static constexpr Plane yz() { return {{1.0, 0.0, 0.0}, -0.0}; }

    // |distance + normal . point|: unsigned, scaled by the normal's length.
    double distance_to_point(const Vec3d& point) const {
        return std::fabs(distance + ((normal.x * point.x + normal.y * point.y) + normal.z * point.z));
    }

    // |distance + normal . point| < epsilon, strict and absolute.
    bool contains_point(const Vec3d& point) const {
        return distance_to_point(point) < epsilon;
    }
};

}  // namespace tarsk::geometry
