#pragma once
// The values behind the Python classes VecList and VecListIterator.
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "binding/convert.h"
#include "binding/instance.h"
#include "pool/kernels.h"
#include "vec3d_class.h"

namespace tarsk::py {

// Arrays of results become lists, like any other vector of values.
template <class T>
struct Result<pool::Array<T>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        s.raw("list[");
        precise_text<Result<T>>(s);
        s.put(']');
    }
    static PyObject* convert(const pool::Array<T>& v) {
        Owned list(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Result<T>::convert(v[i]));
        }
        return list.release();
    }
};

// The elements of a VecList, contiguous and in insertion order. The array
// type is the one the parallel kernels return, so a kernel's result becomes a
// list's storage without a copy. The storage may also be borrowed memory
// (pool::Array::borrow) for a list that lives only during one call, and an
// owned array's memory can be handed over (pool::Array::release).
//
// `keeper` owns borrowed storage: while items borrow memory (a buffer
// adopted through the ABI, or the list's own elements after they were handed
// over to an owner for export), keeper holds a reference to the object that
// keeps that memory alive and unchanged. Borrowed storage is never written:
// the changing methods put the elements into memory of the list's own first
// and then let the keeper go (settle).
class Keeper {
public:
    Keeper() noexcept = default;
    explicit Keeper(PyObject* owner) noexcept : owner_(owner) {}  // takes the reference
    Keeper(Keeper&& o) noexcept : owner_(std::exchange(o.owner_, nullptr)) {}
    Keeper& operator=(Keeper&& o) noexcept {
        std::swap(owner_, o.owner_);
        return *this;
    }
    ~Keeper() { Py_XDECREF(owner_); }
    PyObject* get() const noexcept { return owner_; }
    void reset() noexcept { Py_CLEAR(owner_); }

private:
    PyObject* owner_ = nullptr;
};

struct VecListData {
    pool::Array<tarsk::Vec3d> items;
    Keeper keeper;

    // Drops the keeper once the elements are the list's own again.
    void settle() noexcept {
        if (keeper.get() && !items.borrowed()) keeper.reset();
    }
};

// An iterator's own copy of the elements, taken when it was created, and the
// position of the next element to yield (items.size() once exhausted).
struct VecListIterData {
    pool::Array<tarsk::Vec3d> items;
    std::size_t position = 0;
};

// VecList.minimum_distance_to over a span of elements: (position, distance),
// or the method's internal failures (stride 0, no elements).
std::pair<std::uint64_t, double> nearest_element(std::span<const tarsk::Vec3d> all, const tarsk::Vec3d& other,
                                                 std::uint64_t stride);

TARSK_PY_CLASS(VecListData, "VecList");
TARSK_PY_CLASS(VecListIterData, "VecListIterator");

}  // namespace tarsk::py
