// The Python classes AngleRadians and AngleDegrees: one double each, compared
// by value and unhashable. Only AngleRadians has trigonometry and arithmetic;
// neither has reflected operators, so a number on the left of `*` is refused.
// != is left to the interpreter's == protocol, negated.
#include "angle.h"

#include "binding/slots.h"

namespace tarsk::py {

namespace {

AngleRadians make_radians(double angle) { return {angle}; }
AngleDegrees make_degrees(double angle) { return {angle}; }

AngleRadians add(const AngleRadians& a, const AngleRadians& b) { return a + b; }
AngleRadians subtract(const AngleRadians& a, const AngleRadians& b) { return a - b; }

std::string radians_repr(const AngleRadians& a) { return a.text(); }
std::string degrees_repr(const AngleDegrees& d) { return d.text(); }

template <class T>
bool eq(const T& a, const T& b) { return a == b; }
template <class T>
bool lt(const T& a, const T& b) { return a < b; }
template <class T>
bool le(const T& a, const T& b) { return a <= b; }
template <class T>
bool gt(const T& a, const T& b) { return a > b; }
template <class T>
bool ge(const T& a, const T& b) { return a >= b; }

}  // namespace

using AngleRadiansClass = ClassDecl<
    AngleRadians,
    Constructor<&make_radians, "angle">,
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
    Binary<BinaryOp::add, &add, "other">,
    Binary<BinaryOp::subtract, &subtract, "other">,
    Binary<BinaryOp::multiply, &AngleRadians::scale, "rhs">,
    Binary<BinaryOp::true_divide, &AngleRadians::divide, "rhs">,
    Unary<UnaryOp::neg, &AngleRadians::negate>,
    Compare<CompareOp::eq, &eq<AngleRadians>>,
    Compare<CompareOp::lt, &lt<AngleRadians>>,
    Compare<CompareOp::le, &le<AngleRadians>>,
    Compare<CompareOp::gt, &gt<AngleRadians>>,
    Compare<CompareOp::ge, &ge<AngleRadians>>,
    Unary<UnaryOp::repr, &radians_repr>>;

using AngleDegreesClass = ClassDecl<
    AngleDegrees,
    Constructor<&make_degrees, "angle">,
    Field<"angle", &AngleDegrees::angle>,
    Method<"to_radians", &AngleDegrees::to_radians>,
    Unary<UnaryOp::neg, &AngleDegrees::negate>,
    Compare<CompareOp::eq, &eq<AngleDegrees>>,
    Compare<CompareOp::lt, &lt<AngleDegrees>>,
    Compare<CompareOp::le, &le<AngleDegrees>>,
    Compare<CompareOp::gt, &gt<AngleDegrees>>,
    Compare<CompareOp::ge, &ge<AngleDegrees>>,
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
