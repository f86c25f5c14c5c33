// The Python classes VecList and VecListIterator: a list of vectors whose
// element-wise operations run on the worker pool, and its iterator.
//
// Every bulk operation is one kernel pass producing its result at its final
// size; results that become Python objects are converted afterwards, on the
// calling thread. The per-element formulas are the Vec3d operations of the
// same name, so an element of a result is bit for bit what the Vec3d method
// gives for that element. Per-element functions capture plain copies of
// their arguments and never touch Python objects.
//
// empty, list, append, extend, __len__, __getitem__, __iter__ and the
// iterator work on the array directly and never start the pool.
#include "vec_list.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/slots.h"
#include "quat_class.h"
#include "elementwise.h"
#include "vec_sequence.h"

namespace tarsk::py {

// Two-level nearest-element search with squared distances as keys: the best
// of every stride-th element, then the best of the window of `stride`
// positions on either side of it (the candidate `stride` to the right
// excluded). The result is the nearest element within that window, which is
// the nearest element of the whole list when stride is 1 or at least n.
std::pair<std::uint64_t, double> nearest_element(std::span<const tarsk::Vec3d> all, const tarsk::Vec3d& other,
                                                 std::uint64_t stride) {
    if (stride == 0) throw_panic("assertion failed: stride != 0");
    const tarsk::Vec3d o = other;
    auto key = [o](const tarsk::Vec3d& e) { return e.distance_squared(o); };
    const std::size_t n = all.size();

    pool::MinByKey coarse = pool::par_min_by_key(all, static_cast<std::size_t>(stride), key);
    if (!coarse) throw_panic("called `Option::unwrap()` on a `None` value");
    const std::size_t p = coarse->first;
    const std::size_t start = p >= stride ? p - static_cast<std::size_t>(stride) : 0;
    const std::size_t end = stride >= n - p ? n : p + static_cast<std::size_t>(stride);

    pool::MinByKey fine = pool::par_min_by_key(all.subspan(start, end - start), 1, key);
    if (!fine) throw_panic("called `Option::unwrap()` on a `None` value");
    return {static_cast<std::uint64_t>(start + fine->first), std::sqrt(fine->second)};
}

namespace {

using tarsk::Vec3d;
using Items = pool::Array<Vec3d>;

std::span<const Vec3d> view(const VecListData& self) { return {self.items.data(), self.items.size()}; }

VecListData wrap(Items items) { return VecListData{std::move(items), Keeper()}; }

// ---------------------------------------------------------------------------
// Construction, size, access, iteration

// The sequence's values are copied into the new list by a parallel map.
VecListData make(const VecSequence& seq) {
    std::span<const Vec3d> input{seq.items.data(), seq.items.size()};
    return wrap(pool::par_map_collect(input, [](const Vec3d& e) { return e; }));
}

VecListData empty() { return VecListData{}; }

const Items& list(const VecListData& self) { return self.items; }

std::size_t len(const VecListData& self) { return self.items.size(); }

Vec3d item(const VecListData& self, std::uint64_t index) {
    if (index >= self.items.size()) throw_py(PyExc_IndexError, "Index out of bounds");
    return self.items[static_cast<std::size_t>(index)];
}

VecListIterData iter(const VecListData& self) { return VecListIterData{self.items, 0}; }

std::optional<Vec3d> next(VecListIterData& it) {
    if (it.position >= it.items.size()) return std::nullopt;
    return it.items[it.position++];
}

// "[" + the elements' texts joined with line feeds + "]".
std::string repr(const VecListData& self) {
    std::string body = pool::par_map_join(
        view(self), [](std::string& out, const Vec3d& e) { tarsk::append_vec3d_text(out, e); }, "\n");
    std::string text;
    text.reserve(body.size() + 2);
    text.push_back('[');
    text.append(body);
    text.push_back(']');
    return text;
}

// ---------------------------------------------------------------------------
// Changing the list

void append(VecListData& self, const Vec3d& vec) {
    self.items.push_back(vec);
    self.settle();
}

// `other` is a different object: extending a list with itself fails when the
// shared borrow of `other` meets the exclusive borrow of the receiver.
void extend(VecListData& self, const VecListData& other) {
    self.items.insert(self.items.end(), other.items.begin(), other.items.end());
    self.settle();
}

// The new elements are complete before they replace the old ones, so a
// failure of the pass leaves the list as it was.
void rotate(VecListData& self, const tarsk::Quat& quat) {
    Items rotated = pool::par_map_collect(view(self), elementwise::Rotate{quat});
    self.items = std::move(rotated);
    self.settle();
}

// ---------------------------------------------------------------------------
// Element-wise results

pool::Array<double> dot(const VecListData& self, const Vec3d& other) {
    return pool::par_map_collect(view(self), elementwise::Dot{other});
}

VecListData cross(const VecListData& self, const Vec3d& other) {
    const Vec3d o = other;
    return wrap(pool::par_map_collect(view(self), elementwise::Cross{o}));
}

pool::Array<double> magnitude(const VecListData& self) {
    return pool::par_map_collect(view(self), elementwise::Magnitude{});
}

VecListData normalize(const VecListData& self) {
    return wrap(pool::par_map_collect(view(self), elementwise::Normalize{}));
}

// Stored one byte per element; converted to True and False afterwards.
pool::Array<ByteBool> is_unit(const VecListData& self) {
    return pool::par_map_collect(view(self), elementwise::IsUnit{});
}

pool::Array<double> distance_to(const VecListData& self, const Vec3d& other) {
    return pool::par_map_collect(view(self), elementwise::DistanceTo{other});
}

pool::Array<double> distance_squared(const VecListData& self, const Vec3d& other) {
    return pool::par_map_collect(view(self), elementwise::DistanceSquared{other});
}

pool::Array<std::array<double, 3>> to_array(const VecListData& self) {
    return pool::par_map_collect(view(self),
                                 [](const Vec3d& e) { return std::array<double, 3>{e.x, e.y, e.z}; });
}

// The element with coordinate `axis` set to +0.0. The axis is checked before
// the list is looked at.
VecListData collapse(const VecListData& self, std::uint64_t axis) {
    if (axis > 2) throw_panic("assertion failed: axis <= 2");
    auto with_zero = [&self]<std::size_t Axis>() {
        return wrap(pool::par_map_collect(view(self), elementwise::CollapseAxis<Axis>{}));
    };
    switch (axis) {
        case 0: return with_zero.template operator()<0>();
        case 1: return with_zero.template operator()<1>();
        default: return with_zero.template operator()<2>();
    }
}

std::pair<std::uint64_t, double> minimum_distance_to(const VecListData& self, const Vec3d& other,
                                                     std::uint64_t stride) {
    return nearest_element(view(self), other, stride);
}

// ---------------------------------------------------------------------------
// Operators

VecListData add(const VecListData& self, const Vec3d& other) {
    const Vec3d o = other;
    return wrap(pool::par_map_collect(view(self), elementwise::Add{o}));
}

VecListData subtract(const VecListData& self, const Vec3d& other) {
    const Vec3d o = other;
    return wrap(pool::par_map_collect(view(self), elementwise::Subtract{o}));
}

VecListData scale(const VecListData& self, double s) {
    return wrap(pool::par_map_collect(view(self), elementwise::Multiply{s}));
}

// Three true divisions per element, never a multiplication by 1/s.
VecListData divide(const VecListData& self, double s) {
    return wrap(pool::par_map_collect(view(self), elementwise::Divide{s}));
}

}  // namespace

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc vec_list_docs[] = {
    {"", "An ordered list of Vec3d values whose element-wise operations run on the process-wide worker pool; results are bit-identical whatever the number of workers. Vector-valued operations return a new VecList, scalar-valued ones a Python list. Only append, extend and rotate change the list. Not hashable, no item assignment, no slices or negative indices. Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "A list holding copies of the items of `list`, a sequence (list, tuple, ...) whose items are all Vec3d. Raises TypeError \"argument 'list': Can't extract `str` to `Vec`\" for a str, and a TypeError starting \"argument 'list': \" for a non-sequence or an item that is not a Vec3d. Starts the worker pool on first use."},
    {"empty", "A list with no elements (does not start the worker pool)."},
    {"list", "A new Python list of copies of the elements, in order (read-only)."},
    {"append", "Appends a copy of `vec` in place. Raises RuntimeError \"Already borrowed\" when called while the list is being read (for example from a finalizer during another call on it)."},
    {"extend", "Appends copies of all elements of `other`, in order, in place. `other` must be another object: extending a list with itself raises RuntimeError \"Already mutably borrowed\" and leaves it unchanged."},
    {"rotate", "Replaces every element e in place by quat.rotate(e) (the rotation sense of Quat.rotate: right-handed for a quaternion from Quat.from_axis_angle). Same object, length and order."},
    {"dot", "For each element e, the dot product (e.x*o.x + e.y*o.y) + e.z*o.z, as a list of floats."},
    {"cross", "For each element e, the cross product e x other (right-handed), as a new VecList."},
    {"magnitude", "For each element, its Euclidean length sqrt((x*x + y*y) + z*z), as a list of floats."},
    {"normalize", "Each element divided by its magnitude, as a new VecList; no guard: a zero element gives NaN components."},
    {"is_unit", "For each element, |magnitude - 1| < 2^-52 (strict; False for a NaN component), as a list of bools."},
    {"distance_to", "For each element, its Euclidean distance to `other`, as a list of floats."},
    {"distance_squared", "For each element, its squared distance to `other` (no square root), as a list of floats."},
    {"to_array", "The elements as a list of [x, y, z] lists of floats."},
    {"collapse", "A new VecList whose elements have coordinate `axis` (0 = x, 1 = y, 2 = z) set to +0.0, e.g. axis 2 projects onto the xy plane. Raises OverflowError for a negative axis and pyo3_runtime.PanicException (a BaseException) \"assertion failed: axis <= 2\" for an axis above 2."},
    {"minimum_distance_to", "The (position, distance) of the element nearest to `other` by a two-level search: a coarse pass over positions 0, stride, 2*stride, ... picks the best candidate p, then a fine pass scans every position from p - stride to p + stride - 1. It evaluates about n/stride + 2*stride distances instead of n, but finds the true nearest only when it lies in that window; stride 1, or a stride of at least len(self), gives the exact nearest element. Ties go to the lower position; squared distances are compared in IEEE total order (a NaN distance is returned as NaN). Raises pyo3_runtime.PanicException \"assertion failed: stride != 0\" for stride 0 and \"called `Option::unwrap()` on a `None` value\" on an empty list; OverflowError for a negative stride."},
    {"__add__", "Each element plus the Vec3d `other`, as a new VecList. Other operand types give NotImplemented (TypeError)."},
    {"__sub__", "Each element minus the Vec3d `other`, as a new VecList. Other operand types give NotImplemented."},
    {"__mul__", "Each element multiplied by the float rhs, as a new VecList."},
    {"__rmul__", "lhs * self: each element multiplied by the float lhs, as a new VecList."},
    {"__truediv__", "Each element divided by the float rhs (true division; 0.0 gives infinities and NaN), as a new VecList."},
    {"__len__", "The number of elements."},
    {"__getitem__", "A copy of element `index`. Raises IndexError \"Index out of bounds\" for index >= len(self), OverflowError for a negative index and TypeError for a non-integer (slices included)."},
    {"__iter__", "An iterator over a copy of the current elements: later changes of the list do not affect it."},
    {"__repr__", "\"[\" + the Vec3d reprs of the elements joined by newlines + \"]\"; \"[]\" when empty."},
};

constexpr introspection::Doc vec_list_iterator_docs[] = {
    {"", "An iterator over the copy of a VecList's elements taken when VecList.__iter__ made it. Not constructible from Python and not an attribute of the module."},
    {"__iter__", "The iterator itself."},
    {"__next__", "A copy of the next element; raises StopIteration at the end, and again on every later call."},
};

using VecListClass = ClassDecl<
    VecListData,
    Constructor<&make, "list">,
    Static<"empty", &empty>,
    Getter<"list", &list>,
    Method<"append", &append, "vec">,
    Method<"extend", &extend, "other">,
    Method<"rotate", &rotate, "quat">,
    Method<"dot", &dot, "other">,
    Method<"cross", &cross, "other">,
    Method<"magnitude", &magnitude>,
    Method<"normalize", &normalize>,
    Method<"is_unit", &is_unit>,
    Method<"distance_to", &distance_to, "other">,
    Method<"distance_squared", &distance_squared, "other">,
    Method<"to_array", &to_array>,
    Method<"collapse", &collapse, "axis">,
    Method<"minimum_distance_to", &minimum_distance_to, "other", "stride">,
    Binary<BinaryOp::add, &add, "other">,
    Binary<BinaryOp::subtract, &subtract, "other">,
    Binary<BinaryOp::multiply, &scale, "rhs">,
    Reflected<BinaryOp::multiply, &scale, "lhs">,
    Binary<BinaryOp::true_divide, &divide, "rhs">,
    Unary<UnaryOp::len, &len>,
    GetItem<&item>,
    Unary<UnaryOp::iter, &iter>,
    Unary<UnaryOp::repr, &repr>>;

using VecListIterClass = ClassDecl<
    VecListIterData,
    IterSelf<VecListIterData>,
    Unary<UnaryOp::next, &next>>;

TARSK_STUB_DATA(VecListClass::Stubs<vec_list_docs>)

template <>
PyTypeObject* create_type<VecListData>() {
    return VecListClass::create();
}

TARSK_STUB_DATA(VecListIterClass::Stubs<vec_list_iterator_docs>)

template <>
PyTypeObject* create_type<VecListIterData>() {
    return VecListIterClass::create();
}

}  // namespace tarsk::py
