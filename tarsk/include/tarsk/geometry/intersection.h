#pragma once
#include <optional>
#include <utility>

#include "tarsk/geometry/circle.h"
#include "tarsk/geometry/plane.h"
#include "tarsk/vec3d.h"

namespace tarsk::geometry {

// Where the unbounded line through a and b meets the plane, using the stored
// normal and distance as they are. A line parallel to the plane, or a equal
// to b, gives infinite or NaN coordinates.
constexpr Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d& n = plane.normal;
    Vec3d d = b.subtract(a);
    // A point x of the plane satisfies n . x + distance = 0, that is
    // n . x = -distance; solve n . (a + d t) = -distance for t.
    double t = (-plane.distance - n.dot(a)) / n.dot(d);
    return {a.x + d.x * t, a.y + d.y * t, a.z + d.z * t};
}

// Whether point lies in the circle's plane (within epsilon) and on its rim
// within epsilon, or with inner also strictly inside it.
bool circle_point(const Circle& circle, const Vec3d& point, bool inner);

// The rim (or closed disc) test of circle_point without the plane test: off
// the plane it answers for the sphere (or ball) around the center.
bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner);

// The two points where two distinct coplanar circles cross, the first on the
// side of (c2 - c1) x n2; nothing when they are equal, not coplanar, apart or
// nested. Touching circles give one point twice (or NaNs by rounding).
std::optional<std::pair<Vec3d, Vec3d>> circle_circle(const Circle& circle1, const Circle& circle2);

}  // namespace tarsk::geometry
