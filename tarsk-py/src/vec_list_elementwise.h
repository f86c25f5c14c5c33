#pragma once
// The per-element functions of VecList's scalar-valued operations, as named
// types rather than lambdas, so that every user (the list's methods and the
// array kernels of the companion package) instantiates one and the same
// element loop. Where one operation meets two different NaNs, the compiled
// loop decides which payload survives; one loop gives one answer.
#include "vec3d.h"

namespace tarsk::py::elementwise {

struct Dot {
    tarsk::Vec3d other;
    double operator()(const tarsk::Vec3d& e) const { return e.dot(other); }
};

struct Magnitude {
    double operator()(const tarsk::Vec3d& e) const { return e.magnitude(); }
};

struct DistanceTo {
    tarsk::Vec3d other;
    double operator()(const tarsk::Vec3d& e) const { return e.distance_to(other); }
};

struct DistanceSquared {
    tarsk::Vec3d other;
    double operator()(const tarsk::Vec3d& e) const { return e.distance_squared(other); }
};

}  // namespace tarsk::py::elementwise
