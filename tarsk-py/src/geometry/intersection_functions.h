#pragma once
// The module functions of the geometry submodule (plane_line, circle_point,
// circle_point_unchecked, circle_circle), declared here for the module's
// item list. The core routines are bound directly: each call converts its
// arguments, calls the routine once and converts the result (a missing
// crossing of circle_circle becomes None, a pair of points a tuple).
#include "binding/members.h"
#include "geometry/circle_class.h"
#include "geometry/intersection.h"
#include "geometry/plane_class.h"
#include "vec3d_class.h"

namespace tarsk::py::geometry_functions {

// The point where the line meets the plane; published, like circle_circle's
// result, without a precise annotation.
inline Untyped<tarsk::Vec3d> plane_line(const tarsk::geometry::Plane& plane, const tarsk::Vec3d& a,
                                        const tarsk::Vec3d& b) {
    return {tarsk::geometry::plane_line(plane, a, b)};
}

using PlaneLine = Function<"plane_line", &plane_line, "plane", "a", "b">;
using CirclePoint =
    Function<"circle_point", &tarsk::geometry::circle_point, "circle", "point", "inner">;
using CirclePointUnchecked = Function<"circle_point_unchecked",
                                      &tarsk::geometry::circle_point_unchecked, "circle", "point",
                                      "inner">;
using CircleCircle =
    Function<"circle_circle", &tarsk::geometry::circle_circle, "circle1", "circle2">;

}  // namespace tarsk::py::geometry_functions
