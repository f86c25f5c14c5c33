#pragma once
// The conversion of a Python sequence of Vec3d (not a str) into a vector of
// values: the parameter type of the VecList constructor.
#include <Python.h>

#include <vector>

#include "binding/convert.h"
#include "vec3d_class.h"

namespace tarsk::py {

// The copied values of a sequence's items, in order.
struct VecSequence {
    std::vector<tarsk::Vec3d> items;
};

// Any object the interpreter's sequence check accepts, except a str. Its
// length is only a hint for the reserve; its items must be Vec3d objects.
template <>
struct Arg<VecSequence> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) { s.raw("typing.Sequence[Vec3d]"); }
    using Holder = VecSequence;
    static bool may_run_python(PyObject*) { return true; }
    static bool load(PyObject* o, Holder& h, Error& err, bool);
    static VecSequence& get(Holder& h) { return h; }
};

}  // namespace tarsk::py
