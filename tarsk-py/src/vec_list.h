#pragma once
// The values behind the Python classes VecList and VecListIterator.
#include <cstddef>

#include "binding/instance.h"
#include "pool/kernels.h"
#include "vec3d_class.h"

namespace tarsk::py {

// The elements of a VecList, contiguous and in insertion order. The array
// type is the one the parallel kernels return, so a kernel's result becomes a
// list's storage without a copy.
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
