#include "binding/convert.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tarsk::py {

bool Arg<std::uint64_t>::load(PyObject* o, Holder& h, Error& err, bool) {
    unsigned long long v;
    if (PyLong_Check(o)) [[likely]] {
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        PyObject* index = PyNumber_Index(o);
        if (!index) {
            err = Error::fetched();
            return false;
        }
        v = PyLong_AsUnsignedLongLong(index);
        Py_DECREF(index);
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        err = Error::fetched();
        return false;
    }
    h = v;
    return true;
}

namespace {

// numpy's boolean scalar type: a type whose module is "numpy" and whose name
// is "bool_" or "bool", decided on every call (both names can be changed).
bool is_numpy_bool_type(PyTypeObject* type) {
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    bool match = false;
    if (PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0) {
        PyObject* name = PyType_GetName(type);
        match = name && PyUnicode_Check(name) &&
                (PyUnicode_CompareWithASCIIString(name, "bool_") == 0 ||
                 PyUnicode_CompareWithASCIIString(name, "bool") == 0);
        Py_XDECREF(name);
    }
    Py_DECREF(module);
    if (PyErr_Occurred()) PyErr_Clear();
    return match;
}

}  // namespace

bool Arg<bool>::load(PyObject* o, Holder& h, Error& err, bool) {
    if (o == Py_True) {
        h = true;
        return true;
    }
    if (o == Py_False) {
        h = false;
        return true;
    }
    PyTypeObject* type = Py_TYPE(o);
    if (!is_numpy_bool_type(type)) {
        err = Error::mismatch(o, "bool");
        return false;
    }
    inquiry nb_bool = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
    if (!nb_bool) {
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                     type->tp_name);
        err = Error::fetched();
        return false;
    }
    int truth = nb_bool(o);
    if (truth < 0) {
        err = Error::fetched();
        return false;
    }
    h = truth != 0;
    return true;
}

void throw_already_mutably_borrowed() { throw_py(PyExc_RuntimeError, "Already mutably borrowed"); }
void throw_already_borrowed() { throw_py(PyExc_RuntimeError, "Already borrowed"); }

}  // namespace tarsk::py
