#pragma once
/* The C++ side of the boundary with the interpreter, one vocabulary for
 * tarsk_py and for the native modules built on it:
 *
 *   Owned      a new reference, dropped on unwinding unless released; made
 *              from a C-API result, it throws PyErrSet when that is null;
 *   PyErrSet   thrown when the interpreter already holds the exception;
 *   PyError    a Python exception not created yet (its class and text),
 *              thrown by throw_py and created by the entry point that
 *              catches it.
 *
 * Every function the interpreter calls catches these (and everything else)
 * at its entry and returns the interpreter's error value with the exception
 * set: no C++ exception crosses into the interpreter. */
#include <Python.h>

#include <string>
#include <utility>

namespace tarsk::boundary {

// The interpreter already holds an exception.
struct PyErrSet {};

// A deferred Python exception: created when it reaches the entry point.
struct PyError {
    PyObject* type;
    std::string text;
};

// Throws the deferred exception `type` with `text`. Out of line and cold:
// the formatting of a message stays off the paths that succeed.
[[noreturn, gnu::cold, gnu::noinline]] inline void throw_py(PyObject* type, std::string text) {
    throw PyError{type, std::move(text)};
}

// Owns a new reference until released; drops it on unwinding.
class Owned {
public:
    explicit Owned(PyObject* o) : obj_(o) {
        if (!o) throw PyErrSet{};
    }
    ~Owned() { Py_XDECREF(obj_); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }

private:
    PyObject* obj_;
};

}  // namespace tarsk::boundary
