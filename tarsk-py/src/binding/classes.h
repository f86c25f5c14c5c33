#pragma once
// The module's eight classes: the core value each instance holds and its
// Python name. The members of each class are declared once, in its own file.
#include "binding/instance.h"

namespace tarsk {
struct Vec3d;
struct AngleRadians;
struct AngleDegrees;
struct Quat;
namespace geometry {
struct Plane;
struct Circle;
}  // namespace geometry
}  // namespace tarsk

namespace tarsk::py {

struct VecListData;      // the elements of a VecList
struct VecListIterData;  // an iterator's own copy of the elements and its position

template <> struct ClassInfo<tarsk::Vec3d> { static constexpr const char name[] = "Vec3d"; };
template <> struct ClassInfo<VecListData> { static constexpr const char name[] = "VecList"; };
template <> struct ClassInfo<VecListIterData> { static constexpr const char name[] = "VecListIterator"; };
template <> struct ClassInfo<tarsk::AngleRadians> { static constexpr const char name[] = "AngleRadians"; };
template <> struct ClassInfo<tarsk::AngleDegrees> { static constexpr const char name[] = "AngleDegrees"; };
template <> struct ClassInfo<tarsk::Quat> { static constexpr const char name[] = "Quat"; };
template <> struct ClassInfo<tarsk::geometry::Plane> { static constexpr const char name[] = "Plane"; };
template <> struct ClassInfo<tarsk::geometry::Circle> { static constexpr const char name[] = "Circle"; };

template <class T>
concept PyClassValue = requires { ClassInfo<T>::name; };

}  // namespace tarsk::py

namespace tarsk::py {
// Each defined beside its class's member declarations.
template <> PyTypeObject* create_type<tarsk::Vec3d>();
template <> PyTypeObject* create_type<VecListData>();
template <> PyTypeObject* create_type<VecListIterData>();
template <> PyTypeObject* create_type<tarsk::AngleRadians>();
template <> PyTypeObject* create_type<tarsk::AngleDegrees>();
template <> PyTypeObject* create_type<tarsk::Quat>();
template <> PyTypeObject* create_type<tarsk::geometry::Plane>();
template <> PyTypeObject* create_type<tarsk::geometry::Circle>();
}  // namespace tarsk::py
