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

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc radians_docs[] = {
    {"", "An angle in radians (one double). Never wrapped, range-reduced or rejected: negative angles, several turns, infinities and NaN are carried as they are. Ordered by the double with no tolerance; not hashable. Every Quat and angle_to angle is an AngleRadians; degrees are reached only through to_degrees(). Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "Holds `angle` (radians) unchanged. Raises TypeError when it is not convertible to float."},
    {"angle", "The angle in radians; the setter stores the value unchanged (TypeError for a non-number, the value then unchanged)."},
    {"zero", "0.0 radians (positive zero)."},
    {"pi", "pi radians (3.141592653589793, half a turn)."},
    {"two_pi", "2*pi radians (6.283185307179586, a full turn)."},
    {"half_pi", "pi/2 radians (1.5707963267948966, a quarter turn)."},
    {"quarter_pi", "pi/4 radians (0.7853981633974483)."},
    {"third_pi", "pi/3 radians (1.0471975511965976)."},
    {"sixth_pi", "pi/6 radians (0.5235987755982988)."},
    {"sin", "The sine, from the platform C library's sin (its results to the last bit). NaN for an infinite or NaN angle."},
    {"cos", "The cosine, from the platform C library's cos. NaN for an infinite or NaN angle."},
    {"tan", "The tangent, from the platform C library's tan."},
    {"sec", "The secant 1.0 / cos(angle): infinite where the cosine is zero."},
    {"csc", "The cosecant 1.0 / sin(angle): inf for 0.0, -inf for -0.0."},
    {"cot", "The cotangent 1.0 / tan(angle) (the reciprocal of the tangent, not cos/sin): inf for 0.0."},
    {"to_degrees", "The same angle in degrees, (angle * 180.0) / pi (multiplied first, then divided)."},
    {"__add__", "The sum of two angles in radians. Any other right operand (an AngleDegrees or a float included) gives NotImplemented, so Python raises TypeError."},
    {"__sub__", "The difference self - other in radians. Other right operands give NotImplemented."},
    {"__mul__", "The angle times the float rhs. There is no reflected form: 2 * angle raises TypeError."},
    {"__truediv__", "The angle divided by the float rhs (IEEE division: dividing by 0 gives inf or NaN, never ZeroDivisionError)."},
    {"__neg__", "The angle with its sign bit flipped (0.0 becomes -0.0)."},
    {"__eq__", "Equal when the two doubles are equal (no tolerance; +0.0 equals -0.0; NaN equals nothing, itself included). Any other type gives NotImplemented (so == is False and != is True against other types)."},
    {"__lt__", "self.angle < other.angle on the doubles (False with a NaN). Another type gives NotImplemented, so Python raises TypeError."},
    {"__le__", "self.angle <= other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__gt__", "self.angle > other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__ge__", "self.angle >= other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__repr__", "The angle in shortest round-trip text without exponent followed by \" radians\", e.g. \"1 radians\", \"-0 radians\"."},
};

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

constexpr introspection::Doc degrees_docs[] = {
    {"", "An angle in degrees (one double), carried unchanged like AngleRadians. It has no trigonometry and no arithmetic other than negation: convert with to_radians(). Ordered by the double with no tolerance; not hashable."},
    {"__new__", "Holds `angle` (degrees) unchanged. Raises TypeError when it is not convertible to float."},
    {"angle", "The angle in degrees; the setter stores the value unchanged."},
    {"to_radians", "The same angle in radians, (angle * pi) / 180.0 (multiplied first, then divided)."},
    {"__neg__", "The angle with its sign bit flipped."},
    {"__eq__", "Equal when the two doubles are equal (no tolerance; +0.0 equals -0.0; NaN equals nothing, itself included). Any other type gives NotImplemented (so == is False and != is True against other types)."},
    {"__lt__", "self.angle < other.angle on the doubles (False with a NaN). Another type gives NotImplemented, so Python raises TypeError."},
    {"__le__", "self.angle <= other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__gt__", "self.angle > other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__ge__", "self.angle >= other.angle on the doubles (False with a NaN). Another type raises TypeError."},
    {"__repr__", "The angle in shortest round-trip text without exponent immediately followed by the degree sign, e.g. \"90\u00b0\"."},
};

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

TARSK_STUB_DATA(AngleRadiansClass::Stubs<radians_docs>)

template <>
PyTypeObject* create_type<AngleRadians>() {
    return AngleRadiansClass::create();
}

TARSK_STUB_DATA(AngleDegreesClass::Stubs<degrees_docs>)

template <>
PyTypeObject* create_type<AngleDegrees>() {
    return AngleDegreesClass::create();
}

}  // namespace tarsk::py
