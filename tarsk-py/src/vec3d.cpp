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

template <>
PyTypeObject* create_type<Vec3d>() {
    return Vec3dClass::create();
}

}  // namespace tarsk::py
