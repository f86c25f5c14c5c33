// The Python class Quat: four doubles, tolerant == with != as its direct
// negation, no ordering, unhashable, and no number slots.
#include <tuple>
#include <utility>

#include "angle_class.h"
#include "binding/slots.h"
#include "quat_class.h"
#include "vec3d_class.h"

namespace tarsk::py {

namespace {

// A plain tuple of three floats, not a Vec3d.
std::tuple<double, double, double> to_vec3d(const Quat& q) { return {q.i, q.j, q.k}; }

std::pair<Vec3d, AngleRadians> to_axis_angle(const Quat& q) {
    AxisAngle r = q.to_axis_angle();
    return {r.axis, r.angle};
}

}  // namespace

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc quat_docs[] = {
    {"", "A quaternion (w, i, j, k), scalar part first, describing rotations. Convention: from_axis_angle stores the negated half-angle (the conjugate of the textbook quaternion) and rotate applies the conjugate on the left, so together they turn vectors right-handed (counter-clockwise looking from the axis tip towards the origin); to_axis_angle and to_rotation_matrix use the textbook reading and describe the opposite sense. Nothing is normalised unless stated. No arithmetic operators, no ordering, not hashable; equality per component within 2^-52. Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "Holds w, i, j and k unchanged. Raises TypeError when an argument is not convertible to float."},
    {"w", "The scalar part; the setter stores the value unchanged."},
    {"i", "The first vector component; the setter stores the value unchanged."},
    {"j", "The second vector component; the setter stores the value unchanged."},
    {"k", "The third vector component; the setter stores the value unchanged."},
    {"identity", "The identity rotation (1.0, 0.0, 0.0, 0.0)."},
    {"from_axis_angle", "The rotation by `angle` (radians) about `axis`: (cos(t/2), -sin(t/2)*axis) with t the angle, the negated half-angle. With rotate() it turns vectors right-handed. The axis is not normalised: an axis of length L makes the vector part L times too long and rotate() no longer a pure rotation. Raises TypeError unless axis is a Vec3d and angle an AngleRadians."},
    {"conjugate", "(w, -i, -j, -k)."},
    {"magnitude", "sqrt(((w*w + i*i) + j*j) + k*k)."},
    {"normalize", "Each component divided by the magnitude; the zero quaternion gives four NaN components."},
    {"is_unit", "True when |magnitude() - 1| < 2^-52 (strict; False with a NaN component)."},
    {"rotate", "The vector v rotated: conjugate(q) * (0, v) * q, the vector part. For a quaternion from from_axis_angle(n, t) with unit n this turns v by t counter-clockwise seen from the tip of n. Not normalised first: a non-unit q also scales v by its squared magnitude."},
    {"to_vec3d", "The vector part as a tuple (i, j, k) of floats."},
    {"to_axis_angle", "The textbook reading (axis, angle): when |w - 1| < 2^-52 the axis (1, 0, 0) and angle 0.0; otherwise angle = 2*acos(w) in radians and axis = (i, j, k) / sin(angle/2). Because from_axis_angle stores the negated half-angle, from_axis_angle(n, t) comes back as (-n, t). Nothing is normalised: w outside [-1, 1] gives NaN angle and axis."},
    {"to_rotation_matrix", "The textbook rotation matrix as three rows of three floats (row-major), for q*(0, v)*conjugate(q): the opposite sense of rotate(), whose matrix is the transpose. Not orthogonal for a non-unit quaternion."},
    {"__eq__", "True when every component differs by less than 2^-52 (absolute, strict); a NaN component makes quaternions unequal, even to themselves. Other types give NotImplemented."},
    {"__ne__", "The negation of ==."},
    {"__repr__", "\"Quat(w, i, j, k)\" with each component in its shortest round-trip text without exponent."},
};

using QuatClass = ClassDecl<
    Quat,
    Constructor<&init<Quat, double, double, double, double>, "w", "i", "j", "k">,
    Field<"w", &Quat::w>,
    Field<"i", &Quat::i>,
    Field<"j", &Quat::j>,
    Field<"k", &Quat::k>,
    Static<"identity", &Quat::identity>,
    Static<"from_axis_angle", &Quat::from_axis_angle, "axis", "angle">,
    Method<"conjugate", &Quat::conjugate>,
    Method<"magnitude", &Quat::magnitude>,
    Method<"normalize", &Quat::normalize>,
    Method<"is_unit", &Quat::is_unit>,
    Method<"rotate", &Quat::rotate, "v">,
    Method<"to_vec3d", &to_vec3d>,
    Method<"to_axis_angle", &to_axis_angle>,
    Method<"to_rotation_matrix", &Quat::to_rotation_matrix>,
    Compare<CompareOp::eq>,
    Compare<CompareOp::ne>,
    Unary<UnaryOp::repr, &quat_text>>;

TARSK_STUB_DATA(QuatClass::Stubs<quat_docs>)

template <>
PyTypeObject* create_type<Quat>() {
    return QuatClass::create();
}

}  // namespace tarsk::py
