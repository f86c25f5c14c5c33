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

template <>
PyTypeObject* create_type<Quat>() {
    return QuatClass::create();
}

}  // namespace tarsk::py
