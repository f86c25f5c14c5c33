#pragma once
// The values behind the Python classes VecList and VecListIterator.
#include <cstddef>

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
struct VecListData {
    pool::Array<tarsk::Vec3d> items;
};

// An iterator's own copy of the elements, taken when it was created, and the
// position of the next element to yield (items.size() once exhausted).
struct VecListIterData {
    pool::Array<tarsk::Vec3d> items;
    std::size_t position = 0;
};

TARSK_PY_CLASS(VecListData, "VecList");
TARSK_PY_CLASS(VecListIterData, "VecListIterator");

}  // namespace tarsk::py
