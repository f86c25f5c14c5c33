// The Python classes AngleRadians and AngleDegrees: one double each, compared
// by value and unhashable. Only AngleRadians has trigonometry and arithmetic;
// neither has reflected operators, so a number on the left of `*` is refused.
// != is left to the interpreter's == protocol, negated.
#include "angle_class.h"
#include "binding/slots.h"

namespace tarsk::py {

namespace {

// text() has an overload with a precision.
std::string radians_repr(const AngleRadians& a) { return a.text(); }
std::string degrees_repr(const AngleDegrees& d) { return d.text(); }

}  // namespace

using AngleRadiansClass = ClassDecl<
    AngleRadians,
    Constructor<&init<AngleRadians, double>, "angle">,
    Field<"angle", &AngleRadians::angle>,
    Static<"zero", &AngleRadians::zero>,
    Static<"pi", &AngleRadians::pi>,
    Static<"two_pi", &AngleRadians::two_pi>,
    Static<"half_pi", &AngleRadians::half_pi>,
    Static<"quarter_pi", &AngleRadians::quarter_pi>,
    Static<"third_pi", &AngleRadians::third_pi>,
    Static<"sixth_pi", &AngleRadians::sixth_pi>,
    Method<"sin", &AngleRadians::sin>,
    Method<"cos", &AngleRadians::cos>,
    Method<"tan", &AngleRadians::tan>,
    Method<"sec", &AngleRadians::sec>,
    Method<"csc", &AngleRadians::csc>,
    Method<"cot", &AngleRadians::cot>,
    Method<"to_degrees", &AngleRadians::to_degrees>,
    Binary<BinaryOp::add, &AngleRadians::add, "other">,
    Binary<BinaryOp::subtract, &AngleRadians::subtract, "other">,
    Binary<BinaryOp::multiply, &AngleRadians::scale, "rhs">,
    Binary<BinaryOp::true_divide, &AngleRadians::divide, "rhs">,
    Unary<UnaryOp::neg, &AngleRadians::negate>,
    Compare<CompareOp::eq>,
    Compare<CompareOp::lt>,
    Compare<CompareOp::le>,
    Compare<CompareOp::gt>,
    Compare<CompareOp::ge>,
    Unary<UnaryOp::repr, &radians_repr>>;

using AngleDegreesClass = ClassDecl<
    AngleDegrees,
    Constructor<&init<AngleDegrees, double>, "angle">,
    Field<"angle", &AngleDegrees::angle>,
    Method<"to_radians", &AngleDegrees::to_radians>,
    Unary<UnaryOp::neg, &AngleDegrees::negate>,
    Compare<CompareOp::eq>,
    Compare<CompareOp::lt>,
    Compare<CompareOp::le>,
    Compare<CompareOp::gt>,
    Compare<CompareOp::ge>,
    Unary<UnaryOp::repr, &degrees_repr>>;

template <>
PyTypeObject* create_type<AngleRadians>() {
    return AngleRadiansClass::create();
}

template <>
PyTypeObject* create_type<AngleDegrees>() {
    return AngleDegreesClass::create();
}

}  // namespace tarsk::py
