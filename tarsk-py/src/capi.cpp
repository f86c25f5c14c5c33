// The private C ABI (capi.h): the table and its installation in the
// interpreter's private dict. Every function runs its body through the
// binding's entry trampoline, so failures become the Python exceptions the
// binding raises for the same failure, and uses the binding's own type
// checks, conversions and borrow functions.
#include "tarsk_py/capi.h"

#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "angle_class.h"
#include "binding/convert.h"
#include "binding/instance.h"
#include "elementwise.h"
#include "lists/memory.h"
#include "geometry/circle_class.h"
#include "geometry/plane_class.h"
#include "quat_class.h"
#include "vec3d_class.h"
#include "vec_list.h"

namespace tarsk::py {

namespace {

using tarsk::Vec3d;
using Items = lists::Array<Vec3d>;

extern const TarskCapi table;

std::span<const Vec3d> rows_span(const double* rows, std::size_t n) {
    return {reinterpret_cast<const Vec3d*>(rows), n};
}

// The doubles of each value class, in the order capi.h documents.
void to_doubles(const Vec3d& v, double* out) {
    out[0] = v.x;
    out[1] = v.y;
    out[2] = v.z;
}
void to_doubles(const tarsk::Quat& q, double* out) {
    out[0] = q.w;
    out[1] = q.i;
    out[2] = q.j;
    out[3] = q.k;
}
void to_doubles(const tarsk::AngleRadians& a, double* out) { out[0] = a.angle; }
void to_doubles(const tarsk::AngleDegrees& a, double* out) { out[0] = a.angle; }
void to_doubles(const tarsk::geometry::Plane& p, double* out) {
    to_doubles(p.normal, out);
    out[3] = p.distance;
}
void to_doubles(const tarsk::geometry::Circle& c, double* out) {
    to_doubles(c.center, out);
    out[3] = c.radius;
    to_doubles(c.normal, out + 4);
}

template <class T>
T from_doubles(const double* in);
template <>
Vec3d from_doubles<Vec3d>(const double* in) {
    return {in[0], in[1], in[2]};
}
template <>
tarsk::Quat from_doubles<tarsk::Quat>(const double* in) {
    return {in[0], in[1], in[2], in[3]};
}
template <>
tarsk::AngleRadians from_doubles<tarsk::AngleRadians>(const double* in) {
    return {in[0]};
}
template <>
tarsk::AngleDegrees from_doubles<tarsk::AngleDegrees>(const double* in) {
    return {in[0]};
}
template <>
tarsk::geometry::Plane from_doubles<tarsk::geometry::Plane>(const double* in) {
    tarsk::geometry::Plane p;
    p.normal = from_doubles<Vec3d>(in);
    p.distance = in[3];
    return p;
}
template <>
tarsk::geometry::Circle from_doubles<tarsk::geometry::Circle>(const double* in) {
    tarsk::geometry::Circle c;
    c.center = from_doubles<Vec3d>(in);
    c.radius = in[3];
    c.normal = from_doubles<Vec3d>(in + 4);
    return c;
}

// Calls f.template operator()<T>() for the value class of `kind`.
template <class F>
decltype(auto) with_kind(int kind, F&& f) {
    switch (kind) {
        case TARSK_VEC3D: return f.template operator()<Vec3d>();
        case TARSK_QUAT: return f.template operator()<tarsk::Quat>();
        case TARSK_ANGLE_RADIANS: return f.template operator()<tarsk::AngleRadians>();
        case TARSK_ANGLE_DEGREES: return f.template operator()<tarsk::AngleDegrees>();
        case TARSK_PLANE: return f.template operator()<tarsk::geometry::Plane>();
        case TARSK_CIRCLE: return f.template operator()<tarsk::geometry::Circle>();
        default: throw_py(PyExc_ValueError, "unknown value kind");
    }
}

// The value of an instance of class T under shared access; TypeError for an
// object of any other type.
template <class T>
const T& checked(PyObject* obj, SharedBorrow& borrow) {
    if (!is_instance<T>(obj)) {
        set_mismatch(obj, ClassInfo<T>::name);
        throw PyErrSet{};
    }
    Instance<T>* inst = as_instance<T>(obj);
    borrow.take(inst->borrow);
    return inst->value;
}

int is_value(int kind, PyObject* obj) {
    if (kind < 0 || kind >= TARSK_VALUE_KINDS || !obj) return 0;
    return with_kind(kind, [obj]<class T>() { return is_instance<T>(obj) ? 1 : 0; });
}

int get_value(int kind, PyObject* obj, double* out) {
    return entry<int>(-1, [&] {
        return with_kind(kind, [&]<class T>() {
            SharedBorrow borrow;
            to_doubles(checked<T>(obj, borrow), out);
            return 0;
        });
    });
}

PyObject* make_value(int kind, const double* in) {
    return entry<PyObject*>(nullptr, [&] {
        return with_kind(kind, [&]<class T>() { return new_instance(from_doubles<T>(in)); });
    });
}

int is_list(PyObject* obj) { return obj && is_instance<VecListData>(obj) ? 1 : 0; }

int list_borrow(PyObject* list, const double** rows, std::size_t* n) {
    return entry<int>(-1, [&] {
        if (!is_instance<VecListData>(list)) {
            set_mismatch(list, ClassInfo<VecListData>::name);
            throw PyErrSet{};
        }
        Instance<VecListData>* inst = as_instance<VecListData>(list);
        if (!take_view(inst->borrow)) throw_already_mutably_borrowed();
        *rows = reinterpret_cast<const double*>(inst->value.items.data());
        *n = inst->value.items.size();
        return 0;
    });
}

void list_release(PyObject* list) {
    if (list && is_instance<VecListData>(list)) release_view(as_instance<VecListData>(list)->borrow);
}

// The shared borrow a method call takes (a call, not a view, on the
// free-threaded build), held across the ABI until list_read_end.
int list_read(PyObject* list, const double** rows, std::size_t* n) {
    return entry<int>(-1, [&] {
        if (!is_instance<VecListData>(list)) {
            set_mismatch(list, ClassInfo<VecListData>::name);
            throw PyErrSet{};
        }
        Instance<VecListData>* inst = as_instance<VecListData>(list);
        if (!borrow_step::take_shared(inst->borrow)) throw_already_mutably_borrowed();
        *rows = reinterpret_cast<const double*>(inst->value.items.data());
        *n = inst->value.items.size();
        return 0;
    });
}

void list_read_end(PyObject* list) {
    if (list && is_instance<VecListData>(list)) borrow_step::release_shared(as_instance<VecListData>(list)->borrow);
}

PyObject* list_copy(const double* rows, std::size_t n) {
    return entry<PyObject*>(nullptr, [&] {
        Items items;
        items.resize(n);
        if (n) std::memcpy(static_cast<void*>(items.data()), rows, n * sizeof(Vec3d));
        return new_instance(VecListData{std::move(items), Keeper()});
    });
}

PyObject* list_adopt(const double* rows, std::size_t n, PyObject* owner) {
    return entry<PyObject*>(nullptr, [&] {
        if (!owner) throw_py(PyExc_TypeError, "list_adopt needs an owner");
        if (n == 0) return new_instance(VecListData{});
        // Never written through: borrowed storage is copied before any change.
        Vec3d* data = reinterpret_cast<Vec3d*>(const_cast<double*>(rows));
        return new_instance(VecListData{Items::borrow(data, n), Keeper(Py_NewRef(owner))});
    });
}

// The owner of elements a list handed over: frees them with the array type
// that allocated them. The capsule's context is the capacity.
constexpr const char* kRowsCapsule = "tarsk_py._rows";

void free_rows(PyObject* capsule) {
    void* data = PyCapsule_GetPointer(capsule, kRowsCapsule);
    auto capacity = reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule));
    if (!data) {
        PyErr_Clear();
        return;
    }
    Items::deallocate(static_cast<Vec3d*>(data), static_cast<std::size_t>(capacity));
}

// Gives the capsule `capsule` the memory of `block` to free, and `rows`,
// `n` the rows it holds.
void own_block(PyObject* capsule, Items::Block block) {
    // None of these can fail on a valid capsule and a non-null pointer.
    PyCapsule_SetPointer(capsule, block.data);
    PyCapsule_SetContext(capsule, reinterpret_cast<void*>(static_cast<std::uintptr_t>(block.capacity)));
    PyCapsule_SetDestructor(capsule, &free_rows);
}

// The list's elements as rows that never change, with their owner:
//
//  - elements the list already reads from such an owner (shared before) are
//    handed out as they are;
//  - elements of the list's own move to a new owner, and the list reads them
//    from there. That rewrites the list's storage fields, which every reader
//    of the list looks at, so it happens only under exclusive access: after
//    every other thread's call on the list has ended, and never while a view
//    holds the list. The data pointer stays where it is;
//  - when exclusive access cannot be had at once or by waiting (a view holds
//    the list, or this thread holds a borrow of its own), the new owner gets
//    a copy of the elements and the list is left as it is.
int list_share(PyObject* list, const double** rows, std::size_t* n, PyObject** owner) {
    return entry<int>(-1, [&] {
        if (!is_instance<VecListData>(list)) {
            set_mismatch(list, ClassInfo<VecListData>::name);
            throw PyErrSet{};
        }
        Instance<VecListData>* inst = as_instance<VecListData>(list);
        // The new owner, made before any access is taken, since creating it
        // can run Python code; unused (and dropped) when nothing needs it.
        Owned capsule(PyCapsule_New(const_cast<TarskCapi*>(&table), kRowsCapsule, nullptr));
        auto hand_out = [&](const Vec3d* data, std::size_t size, PyObject* keeper) {
            *rows = reinterpret_cast<const double*>(data);
            *n = size;
            *owner = Py_NewRef(keeper);
            return 0;
        };
        auto shared_before = [](const VecListData& self) { return self.items.borrowed() && self.keeper.get(); };

        ExclusiveBorrow exclusive;
        if (exclusive.try_take(inst->borrow)) {
            VecListData& self = inst->value;
            if (self.items.empty()) return hand_out(nullptr, 0, Py_None);
            if (!shared_before(self)) {
                // Owned elements (a borrowed array without a keeper does not
                // exist; it would be copied first).
                Items own = self.items.borrowed() ? Items(self.items) : std::move(self.items);
                const std::size_t size = own.size();
                const Items::Block block = own.release();
                own_block(capsule.get(), block);
                self.items = Items::borrow(block.data, size);
                self.keeper = Keeper(capsule.release());
            }
            return hand_out(self.items.data(), self.items.size(), self.keeper.get());
        }
        SharedBorrow shared;
        shared.take(inst->borrow);  // "Already mutably borrowed" while this thread changes it
        const VecListData& self = inst->value;
        if (self.items.empty()) return hand_out(nullptr, 0, Py_None);
        if (shared_before(self)) return hand_out(self.items.data(), self.items.size(), self.keeper.get());
        Items copy(self.items);
        const std::size_t size = copy.size();
        const Items::Block block = copy.release();
        own_block(capsule.get(), block);
        return hand_out(block.data, size, capsule.get());
    });
}

// ---------------------------------------------------------------------------
// The element-wise table

template <std::size_t... I>
constexpr std::array<TarskOp, sizeof...(I)> make_rows(std::index_sequence<I...>) {
    return {std::tuple_element_t<I, elementwise::Table>::row...};
}
constexpr auto op_rows = make_rows(std::make_index_sequence<elementwise::op_count>{});

// Calls f.template operator()<Op>() for the table row `op`.
template <class F, std::size_t I = 0>
int with_op(std::size_t op, F&& f) {
    if constexpr (I == elementwise::op_count) {
        throw_py(PyExc_ValueError, "unknown element-wise operation");
    } else {
        if (op == I) return f.template operator()<std::tuple_element_t<I, elementwise::Table>>();
        return with_op<F, I + 1>(op, std::forward<F>(f));
    }
}

template <class P>
typename Arg<P>::Holder load_arg(PyObject* obj, const char* param) {
    typename Arg<P>::Holder h{};
    Error err;
    if (!Arg<P>::load(obj, h, err, true)) throw_arg_error(param, err);
    return h;
}

int convert_arg(std::size_t op, PyObject* obj, double* out) {
    return entry<int>(-1, [&] {
        if (op >= elementwise::op_count) throw_py(PyExc_ValueError, "unknown element-wise operation");
        const TarskOp& row = op_rows[op];
        switch (row.arg) {
            case TARSK_ARG_NONE: break;
            case TARSK_ARG_VEC3D: {
                auto h = load_arg<const Vec3d&>(obj, row.param);
                to_doubles(*h.value, out);
                break;
            }
            case TARSK_ARG_QUAT: {
                auto h = load_arg<const tarsk::Quat&>(obj, row.param);
                to_doubles(*h.value, out);
                break;
            }
            case TARSK_ARG_FLOAT: out[0] = load_arg<double>(obj, row.param); break;
            case TARSK_ARG_AXIS: {
                std::uint64_t axis = load_arg<std::uint64_t>(obj, row.param);
                if (axis > 2) throw_panic("assertion failed: axis <= 2");
                out[0] = static_cast<double>(axis);
                break;
            }
        }
        return 0;
    });
}

int apply(std::size_t op, const double* rows, std::size_t n, const double* arg, void* out) {
    return entry<int>(-1, [&] {
        const auto input = rows_span(rows, n);
        return with_op(op, [&]<class Op>() {
            if constexpr (std::is_same_v<Op, elementwise::Collapse>) {
                auto* slots = static_cast<Vec3d*>(out);
                if (arg[0] == 0.0) {
                    lists::par_map_into(slots, input, elementwise::CollapseAxis<0>{});
                } else if (arg[0] == 1.0) {
                    lists::par_map_into(slots, input, elementwise::CollapseAxis<1>{});
                } else if (arg[0] == 2.0) {
                    lists::par_map_into(slots, input, elementwise::CollapseAxis<2>{});
                } else {
                    throw_panic("assertion failed: axis <= 2");
                }
            } else {
                using E = lists::collected_t<std::invoke_result_t<const Op&, const Vec3d&>>;
                lists::par_map_into(static_cast<E*>(out), input, Op::make(arg));
            }
            return 0;
        });
    });
}

int convert_count(PyObject* obj, const char* param, std::uint64_t* out) {
    return entry<int>(-1, [&] {
        *out = load_arg<std::uint64_t>(obj, param);
        return 0;
    });
}

int minimum_distance_to(const double* rows, std::size_t n, const double* other, std::uint64_t stride,
                        std::uint64_t* index, double* distance) {
    return entry<int>(-1, [&] {
        auto [i, d] = nearest_element(rows_span(rows, n), from_doubles<Vec3d>(other), stride);
        *index = i;
        *distance = d;
        return 0;
    });
}

void parallel_for(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t), void* ctx) {
    // A failure of the pool itself (its threads cannot start) is an internal
    // failure, left set for the caller, who holds the interpreter's lock.
    (void)entry<int>(-1, [&] {
        lists::par_for(n, grain, [body, ctx](std::size_t lo, std::size_t hi) { body(ctx, lo, hi); });
        return 0;
    });
}

void* take_memory(std::size_t bytes) {
    try {
        return memory::take(bytes);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
}

void give_back_memory(void* p, std::size_t bytes) { memory::give_back(p, bytes); }

void trim_memory() { memory::trim(); }

void memory_state(std::size_t* blocks, std::size_t* bytes) {
    const memory::CacheState state = memory::cache_state();
    *blocks = state.blocks;
    *bytes = state.bytes;
}

const TarskCapi table = {
    TARSK_CAPI_ABI,
    sizeof(TarskCapi),
    &is_value,
    &get_value,
    &make_value,
    &is_list,
    &list_borrow,
    &list_release,
    &list_copy,
    &list_adopt,
    &list_share,
    op_rows.data(),
    op_rows.size(),
    &convert_arg,
    &convert_count,
    &apply,
    &minimum_distance_to,
    &parallel_for,
    &take_memory,
    &give_back_memory,
    &trim_memory,
    &memory_state,
    &list_read,
    &list_read_end,
};

}  // namespace

int install_capi() {
    return entry<int>(-1, [] {
        PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
        if (!dict) throw_py(PyExc_SystemError, "no interpreter dict for the C ABI of tarsk_py");
        PyObject* present = PyDict_GetItemString(dict, TARSK_CAPI_NAME);  // borrowed
        if (present) return 0;
        Owned capsule(PyCapsule_New(const_cast<TarskCapi*>(&table), TARSK_CAPI_NAME, nullptr));
        // A key of our own: PyDict_SetItemString makes its key an immortal
        // interned string on 3.13, which is never freed.
        Owned key(PyUnicode_FromString(TARSK_CAPI_NAME));
        if (PyDict_SetItem(dict, key.get(), capsule.get()) < 0) throw PyErrSet{};
        // Cached blocks go back to the system when the interpreter ends.
        Py_AtExit(&trim_memory);
        return 0;
    });
}

}  // namespace tarsk::py
