// The Python class Vec3d: the core vector with its operators, comparison,
// hash, indexing and text form.
#include <bit>
#include <cstdint>

#include "angle_class.h"
#include "binding/slots.h"
#include "quat_class.h"
#include "vec3d_class.h"

namespace tarsk::py {

namespace {

double item(const Vec3d& v, std::uint64_t index) {
    if (index >= 3) throw_py(PyExc_IndexError, "Index out of bounds");
    return v.at(index);
}

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0 = 0x736f6d6570736575ULL;  // keys k0 = k1 = 0
    std::uint64_t v1 = 0x646f72616e646f6dULL;
    std::uint64_t v2 = 0x6c7967656e657261ULL;
    std::uint64_t v3 = 0x7465646279746573ULL;

    void round() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
    // One compression round per 8-byte block.
    void block(std::uint64_t m) {
        v3 ^= m;
        round();
        v0 ^= m;
    }
};

// The bit pattern hashed for one component: NaN as the canonical quiet NaN,
// anything else as c + 0.0, which turns -0.0 into +0.0.
std::uint64_t canonical_bits(double c) {
    if (c != c) return 0x7ff8000000000000ULL;
    return std::bit_cast<std::uint64_t>(c + 0.0);
}

// SipHash-1-3 with zero keys over the 24 little-endian bytes of x, y, z: the
// same function the interpreter applies to a bytes object when its hash seed
// is 0.
std::int64_t hash(const Vec3d& v) {
    SipState s;
    s.block(canonical_bits(v.x));
    s.block(canonical_bits(v.y));
    s.block(canonical_bits(v.z));
    s.block(std::uint64_t{24} << 56);  // the length byte of the final block
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    std::int64_t h = static_cast<std::int64_t>(s.v0 ^ s.v1 ^ s.v2 ^ s.v3);
    return h == -1 ? -2 : h;
}

}  // namespace

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc vec3d_docs[] = {
    {"", "A 3D vector of three IEEE doubles x, y, z. Every operation returns a new value; each formula is evaluated in a fixed order without fused multiply-add, so results are bit-reproducible. Equality is per component with the absolute tolerance 2^-52 (strict test, so NaN and infinities never compare equal). Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "Stores x, y and z unchanged (any doubles, NaN and infinities included). Raises TypeError when an argument is not convertible to float (its message starts \"argument '<name>': \") and OverflowError for an int too large for a double."},
    {"x", "The first component; the setter stores the value unchanged."},
    {"y", "The second component; the setter stores the value unchanged."},
    {"z", "The third component; the setter stores the value unchanged."},
    {"zero", "The zero vector (0.0, 0.0, 0.0)."},
    {"i", "The unit vector (1.0, 0.0, 0.0)."},
    {"j", "The unit vector (0.0, 1.0, 0.0)."},
    {"k", "The unit vector (0.0, 0.0, 1.0)."},
    {"new_from_to", "The vector to - from, component by component. The first parameter is named `from` (a Python keyword), so it is passed by position."},
    {"to_array", "The components as a new list [x, y, z]."},
    {"magnitude", "The Euclidean length sqrt((x*x + y*y) + z*z). Infinite when a component is infinite or the squares overflow; NaN when a component is NaN."},
    {"is_unit", "True when |magnitude() - 1.0| < 2^-52 (strict): true exactly for a computed magnitude of 1.0 or 1.0 - 2^-53. False for any NaN component."},
    {"normalize", "The vector divided component-wise by its magnitude, without a check: the zero vector gives (NaN, NaN, NaN); with an infinite component, infinite components become NaN and finite ones zeros of their sign."},
    {"dot", "The dot product (x*o.x + y*o.y) + z*o.z. Overflow gives an infinity, never an error. Raises TypeError when `other` is not a Vec3d."},
    {"cross", "The cross product self x other (right-handed: i.cross(j) is k). A vector crossed with itself gives a zero vector."},
    {"scalar_triple_product", "self . (b x c), the signed volume of the parallelepiped spanned by self, b and c; swapping b and c flips the sign."},
    {"distance_to", "The Euclidean distance |self - other|."},
    {"distance_squared", "The squared Euclidean distance |self - other|^2, without the square root."},
    {"distance_to_line", "The distance from self to the unbounded line through a and b (the foot of the perpendicular may lie outside the segment). NaN when a equals b."},
    {"project_onto_plane", "self - normal * (self . normal): the projection onto the plane through the origin with that normal. The normal is not normalised: only a unit normal gives a point of the plane."},
    {"project_onto_line", "The foot of the perpendicular from self on the unbounded line through line_r and line_q. NaN components when line_r equals line_q."},
    {"angle_to", "The unsigned angle between self and other in radians, in [0, pi]: acos of the dot product divided by the product of the magnitudes. NaN when either vector is zero."},
    {"to_quat", "The pure quaternion (0, x, y, z): scalar part 0, vector part self."},
    {"__add__", "Component-wise sum. Operands other than Vec3d give NotImplemented (so Python raises TypeError)."},
    {"__sub__", "Component-wise difference self - other. Operands other than Vec3d give NotImplemented."},
    {"__mul__", "Each component multiplied by the float rhs. Non-numbers give NotImplemented."},
    {"__rmul__", "lhs * self: each component multiplied by the float lhs, the same value as self * lhs."},
    {"__truediv__", "Each component divided by the float rhs (true division): dividing by 0.0 gives infinities, or NaN for a zero component. A number divided by a Vec3d is a TypeError."},
    {"__neg__", "Each component's sign flipped (0.0 becomes -0.0; NaN stays NaN)."},
    {"__eq__", "True when every component differs by less than 2^-52 (absolute, strict). Not transitive; a NaN or infinite component makes vectors unequal, even to themselves. Other types give NotImplemented."},
    {"__ne__", "The negation of ==."},
    {"__hash__", "A hash of the three components (SipHash-1-3 over their bytes, -0.0 hashed as 0.0, every NaN alike). Vectors that compare equal within the tolerance but differ in bits hash differently."},
    {"__getitem__", "Component 0 (x), 1 (y) or 2 (z). Raises IndexError \"Index out of bounds\" for an index of 3 or more, OverflowError for a negative index."},
    {"__repr__", "\"Vec3d(x, y, z)\" with each component in its shortest round-trip text, without exponent (\"-0\", \"NaN\", \"inf\")."},
};

using Vec3dClass = ClassDecl<
    Vec3d,
    Constructor<&init<Vec3d, double, double, double>, "x", "y", "z">,
    Field<"x", &Vec3d::x>,
    Field<"y", &Vec3d::y>,
    Field<"z", &Vec3d::z>,
    Static<"zero", &Vec3d::zero>,
    Static<"i", &Vec3d::i>,
    Static<"j", &Vec3d::j>,
    Static<"k", &Vec3d::k>,
    Static<"new_from_to", &Vec3d::new_from_to, "from", "to">,
    Method<"to_array", &Vec3d::to_array>,
    Method<"magnitude", &Vec3d::magnitude>,
    Method<"is_unit", &Vec3d::is_unit>,
    Method<"normalize", &Vec3d::normalize>,
    Method<"dot", &Vec3d::dot, "other">,
    Method<"cross", &Vec3d::cross, "other">,
    Method<"scalar_triple_product", &Vec3d::scalar_triple_product, "b", "c">,
    Method<"distance_to", &Vec3d::distance_to, "other">,
    Method<"distance_squared", &Vec3d::distance_squared, "other">,
    Method<"distance_to_line", &Vec3d::distance_to_line, "a", "b">,
    Method<"project_onto_plane", &Vec3d::project_onto_plane, "normal">,
    Method<"project_onto_line", &Vec3d::project_onto_line, "line_r", "line_q">,
    Method<"angle_to", &angle_to, "other">,
    Method<"to_quat", &to_quat>,
    Binary<BinaryOp::add, &Vec3d::add, "other">,
    Binary<BinaryOp::subtract, &Vec3d::subtract, "other">,
    Binary<BinaryOp::multiply, &Vec3d::scale, "rhs">,
    Reflected<BinaryOp::multiply, &Vec3d::scale, "lhs">,
    Binary<BinaryOp::true_divide, &Vec3d::divide, "rhs">,
    Unary<UnaryOp::neg, &Vec3d::negate>,
    Compare<CompareOp::eq>,
    Compare<CompareOp::ne>,
    Unary<UnaryOp::hash, &hash>,
    GetItem<&item>,
    Unary<UnaryOp::repr, &vec3d_text>>;

TARSK_STUB_DATA(Vec3dClass::Stubs<vec3d_docs>)

template <>
PyTypeObject* create_type<Vec3d>() {
    return Vec3dClass::create();
}

}  // namespace tarsk::py
