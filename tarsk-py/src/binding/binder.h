#pragma once
// Argument binding: the positional and keyword arguments of a call are placed
// into a fixed array of parameter slots, one per declared parameter, with the
// interpreter's own error texts. Every parameter is positional-or-keyword and
// required; there are no defaults and no variable argument lists.
#include <Python.h>

#include <cstddef>

namespace tarsk::py {

// What the binder knows of a callable: its class (null for a module
// function), its Python name and its parameter names in declaration order.
struct Signature {
    const char* cls;
    const char* name;
    const char* const* params;
    std::size_t nparams;
};

// Slow path of bind_fast: keywords present or a positional count mismatch.
void bind_fast_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** slots);

// Binds a call made with the fast calling convention (positional arguments
// as an array, keyword names as a tuple, their values after the positionals).
inline void bind_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject** slots) {
    if (!kwnames && static_cast<std::size_t>(nargs) == sig.nparams) [[likely]] {
        for (std::size_t i = 0; i < sig.nparams; ++i) slots[i] = args[i];
        return;
    }
    bind_fast_general(sig, args, nargs, kwnames, slots);
}

// Binds a call made with a positional tuple and a keyword dict (constructors).
void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace tarsk::py
