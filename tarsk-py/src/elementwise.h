#pragma once
// The table of element-wise operations: every operation that maps each
// element of a list to one result (a Vec3d, a double or a bool), with its
// name, its VecList face, its argument and its per-element function.
//
// The VecList methods, the ABI's `apply` (and through it the companion's
// array and Dask kernels) all run these per-element functions through the
// one element loop of the pool (lists::par_map_into), so every face of an
// operation gives the same bits, NaN payloads included: where one operation
// meets two NaNs, the compiled loop decides which payload survives, and one
// instantiation gives one answer.
//
// Adding an operation: its formula in the core, one struct below and its
// entry in `Table`, and the stub texts of the faces. The VecList method is
// declared with the struct (vec_list.cpp); the companion's kernels follow
// from the table it reads through the ABI.
#include <cstddef>
#include <cstdint>
#include <tuple>

#include "binding/convert.h"
#include "tarsk_py/capi.h"
#include "tarsk/quat.h"
#include "tarsk/vec3d.h"

namespace tarsk::py::elementwise {

using tarsk::Vec3d;

// One row's description; `make(arg)` builds the per-element function from
// the doubles the ABI's convert_arg produced.
struct Normalize {
    static constexpr TarskOp row{"normalize", "normalize", "", TARSK_ARG_NONE, TARSK_RESULT_ROWS};
    static Normalize make(const double*) { return {}; }
    Vec3d operator()(const Vec3d& e) const { return e.normalize(); }
};

struct Cross {
    static constexpr TarskOp row{"cross", "cross", "other", TARSK_ARG_VEC3D, TARSK_RESULT_ROWS};
    static Cross make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    Vec3d operator()(const Vec3d& e) const { return e.cross(other); }
};

struct Dot {
    static constexpr TarskOp row{"dot", "dot", "other", TARSK_ARG_VEC3D, TARSK_RESULT_DOUBLE};
    static Dot make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    double operator()(const Vec3d& e) const { return e.dot(other); }
};

struct Magnitude {
    static constexpr TarskOp row{"magnitude", "magnitude", "", TARSK_ARG_NONE, TARSK_RESULT_DOUBLE};
    static Magnitude make(const double*) { return {}; }
    double operator()(const Vec3d& e) const { return e.magnitude(); }
};

// Stored one byte per element (ByteBool).
struct IsUnit {
    static constexpr TarskOp row{"is_unit", "is_unit", "", TARSK_ARG_NONE, TARSK_RESULT_BOOL};
    static IsUnit make(const double*) { return {}; }
    ByteBool operator()(const Vec3d& e) const { return e.is_unit(); }
};

struct DistanceTo {
    static constexpr TarskOp row{"distance_to", "distance_to", "other", TARSK_ARG_VEC3D, TARSK_RESULT_DOUBLE};
    static DistanceTo make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    double operator()(const Vec3d& e) const { return e.distance_to(other); }
};

struct DistanceSquared {
    static constexpr TarskOp row{"distance_squared", "distance_squared", "other", TARSK_ARG_VEC3D,
                                 TARSK_RESULT_DOUBLE};
    static DistanceSquared make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    double operator()(const Vec3d& e) const { return e.distance_squared(other); }
};

// The rotation sense of Quat.rotate. As a list method it changes the list in
// place (its result replaces the elements).
struct Rotate {
    static constexpr TarskOp row{"rotate", "rotate", "quat", TARSK_ARG_QUAT, TARSK_RESULT_ROWS};
    static Rotate make(const double* a) { return {{a[0], a[1], a[2], a[3]}}; }
    tarsk::Quat q;
    Vec3d operator()(const Vec3d& e) const { return q.rotate(e); }
};

// The element with coordinate Axis set to +0.0. The zero passes through an
// empty volatile asm statement in every iteration, which keeps the compiler
// from splitting the loop into one pass over memory per component (three
// strided passes are more than twice as slow as one).
template <std::size_t Axis>
struct CollapseAxis {
    Vec3d operator()(const Vec3d& e) const {
        double zero = 0.0;
#if defined(__x86_64__)
        asm volatile("" : "+x"(zero));  // a vector register
#elif defined(__aarch64__)
        asm volatile("" : "+w"(zero));  // a floating-point register
#else
        asm volatile("" : "+m"(zero));
#endif
        Vec3d r = e;
        if constexpr (Axis == 0) r.x = zero;
        if constexpr (Axis == 1) r.y = zero;
        if constexpr (Axis == 2) r.z = zero;
        return r;
    }
};

// One row for the three axes; the axis (0, 1 or 2, checked on conversion)
// picks the per-element function.
struct Collapse {
    static constexpr TarskOp row{"collapse", "collapse", "axis", TARSK_ARG_AXIS, TARSK_RESULT_ROWS};
};

struct Add {
    static constexpr TarskOp row{"add", "__add__", "other", TARSK_ARG_VEC3D, TARSK_RESULT_ROWS};
    static Add make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    Vec3d operator()(const Vec3d& e) const { return e.add(other); }
};

struct Subtract {
    static constexpr TarskOp row{"subtract", "__sub__", "other", TARSK_ARG_VEC3D, TARSK_RESULT_ROWS};
    static Subtract make(const double* a) { return {{a[0], a[1], a[2]}}; }
    Vec3d other;
    Vec3d operator()(const Vec3d& e) const { return e.subtract(other); }
};

struct Multiply {
    static constexpr TarskOp row{"multiply", "__mul__", "rhs", TARSK_ARG_FLOAT, TARSK_RESULT_ROWS};
    static Multiply make(const double* a) { return {a[0]}; }
    double s;
    Vec3d operator()(const Vec3d& e) const { return e.scale(s); }
};

// Three true divisions per element, never a multiplication by 1/s.
struct Divide {
    static constexpr TarskOp row{"divide", "__truediv__", "rhs", TARSK_ARG_FLOAT, TARSK_RESULT_ROWS};
    static Divide make(const double* a) { return {a[0]}; }
    double s;
    Vec3d operator()(const Vec3d& e) const { return e.divide(s); }
};

// The table, in the order of the ABI's op numbers (append only).
using Table = std::tuple<Normalize, Cross, Dot, Magnitude, IsUnit, DistanceTo, DistanceSquared, Rotate, Collapse,
                         Add, Subtract, Multiply, Divide>;

inline constexpr std::size_t op_count = std::tuple_size_v<Table>;

}  // namespace tarsk::py::elementwise
