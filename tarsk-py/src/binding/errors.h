#pragma once
// Failure reporting at the Python boundary.
//
// Inside a call, a failure travels as one of three C++ exceptions, and the
// entry trampoline of every function the interpreter calls turns it into the
// Python exception the conventions require:
//   PyError     a deferred Python exception (type + message parts), created as
//               a Python object only when it reaches the interpreter;
//   PyErrSet    the interpreter already holds the exception (a C-API call
//               failed); it is fetched and checked for a resumed panic;
//   anything else (std::exception, ContractViolation, ...) is an internal
//               failure, raised as pyo3_runtime.PanicException.
// Conversions report through the Error value below instead of throwing, so a
// binary operator can discard a failed conversion without formatting it.
#include <Python.h>

#include "tarsk_py/boundary.h"

#include <cxxabi.h>

#include <string>
#include <string_view>
#include <utility>

namespace tarsk::py {

// A Python exception that has not been created yet.
struct Error {
    enum class Kind : unsigned char {
        none,
        fetched,   // the interpreter holds the exception
        mismatch,  // "'{qualname of culprit's type}' object cannot be cast as '{target}'"
        message,   // exception `type` with the static text `text`
    };
    Kind kind = Kind::none;
    PyObject* type = nullptr;     // message: the exception class
    const char* text = nullptr;   // message: the text; mismatch: the target class name
    PyObject* culprit = nullptr;  // mismatch: the offending object (borrowed for the call)

    static Error fetched() { return {Kind::fetched}; }
    static Error mismatch(PyObject* culprit, const char* target) {
        return {Kind::mismatch, PyExc_TypeError, target, culprit};
    }
    static Error message(PyObject* type, const char* text) { return {Kind::message, type, text}; }
};

// PyError (a deferred exception travelling as a C++ exception), PyErrSet
// (the interpreter already holds one) and throw_py: the boundary's own.
using boundary::PyError;
using boundary::PyErrSet;
using boundary::throw_py;

// An internal failure with its message.
struct Panic {
    std::string text;
};

[[noreturn]] void throw_panic(std::string text);
// Throws PyErrSet, or SystemError "attempted to fetch exception but none was
// set" when the interpreter reported failure without setting one.
[[noreturn]] void throw_fetched();

// Sets the interpreter's TypeError with the type-mismatch text for an object
// and a target class name, built from the type's qualified name as it is.
void set_mismatch(PyObject* culprit, const char* target);

// Raises a failed conversion of parameter `param`: an exact TypeError becomes
// "argument '{param}': {text}" (keeping the original __cause__); any other
// exception passes unchanged.
[[noreturn]] void throw_arg_error(const char* param, const Error& err);

// Throws a failed conversion as it stands, without the argument prefix.
[[noreturn]] void throw_error(const Error& err);

// Forgets a failed conversion (a binary operator answering NotImplemented).
// Nothing is formatted; a fetched exception is cleared unless it is a
// PanicException, which resumes as an internal failure of this call.
void discard(const Error& err);

// The class pyo3_runtime.PanicException, created on first use.
PyObject* panic_type();

// Sets the interpreter's exception for the C++ exception being handled.
// Called only from the catch block of an entry trampoline, never for the
// unwind that ends a thread.
void set_python_error_from_current() noexcept;

// The entry trampoline: runs `body` and converts any escaping failure into a
// Python exception, returning `on_error`. Nothing crosses into the
// interpreter but the unwind that ends a thread (the interpreter ends a
// daemon thread that wakes up during shutdown that way): it must reach the
// thread's start, so it is rethrown, and no entry point is noexcept.
template <class R, class F>
inline R entry(R on_error, F&& body) {
    try {
        return std::forward<F>(body)();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        set_python_error_from_current();
        return on_error;
    }
}

}  // namespace tarsk::py
