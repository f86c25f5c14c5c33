#pragma once
// The module functions of the geometry submodule (plane_line, circle_point,
// circle_point_unchecked, circle_circle), declared here for the module's
// item list. The core routines are bound directly: each call converts its
// arguments, calls the routine once and converts the result (a missing
// crossing of circle_circle becomes None, a pair of points a tuple).
#include "binding/members.h"
#include "geometry/circle_class.h"
#include "tarsk/geometry/intersection.h"
#include "geometry/plane_class.h"
#include "vec3d_class.h"

namespace tarsk::py::geometry_functions {

// The point where the line meets the plane. Its record leaves the result
// open ("typing.Any", like circle_circle's); the stubs give the precise type.
inline Untyped<tarsk::Vec3d> plane_line(const tarsk::geometry::Plane& plane, const tarsk::Vec3d& a,
                                        const tarsk::Vec3d& b) {
    return {tarsk::geometry::plane_line(plane, a, b)};
}

// What each function computes, for the stubs and the API reference (the
// runtime __doc__ of each function is its text signature only).
inline constexpr introspection::Doc function_docs[] = {
    {"plane_line", "The point where the unbounded line through a and b meets the plane (normal . p + distance = 0, the normal used as stored): a + (b - a) * t with t = (-distance - normal . a) / (normal . (b - a)). The point may lie outside the segment. A line parallel to the plane gives infinite or NaN coordinates, a equal to b NaN coordinates; never raises for geometric input."},
    {"circle_point", "Whether `point` lies in the circle's plane (|N(normal) . point - center . N(normal)| < 2^-52) and on the rim (|distance to center - radius| < 2^-52), or with `inner` True also strictly inside the disc. Both tolerances are absolute, so far from the origin or on a large circle a computed point can fail by rounding. `inner` must be a bool."},
    {"circle_point_unchecked", "The rim test of circle_point without the plane test: |distance from point to center - radius| < 2^-52, or with `inner` True also distance < radius. For a point off the circle's plane this answers for the sphere (closed ball) around the center."},
    {"circle_circle", "The two points where two coplanar circles cross, as (first, second) with first = P + e*h and second = P - e*h (P on the line of centers, e = N((c2 - c1) x circle2.normal), h the half-chord), or None when the circles are equal, not in the same plane (in_same_plane), apart, or one inside the other. Touching circles give two equal points, or NaN points when rounding makes the chord's radicand negative."},
};

using PlaneLine = Function<"plane_line", &plane_line, "plane", "a", "b">;
using CirclePoint =
    Function<"circle_point", &tarsk::geometry::circle_point, "circle", "point", "inner">;
using CirclePointUnchecked = Function<"circle_point_unchecked",
                                      &tarsk::geometry::circle_point_unchecked, "circle", "point",
                                      "inner">;
using CircleCircle =
    Function<"circle_circle", &tarsk::geometry::circle_circle, "circle1", "circle2">;

}  // namespace tarsk::py::geometry_functions
