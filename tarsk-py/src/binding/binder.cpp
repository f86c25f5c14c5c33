#include "binding/binder.h"

#include <cstring>
#include <string>

#include "binding/errors.h"

namespace tarsk::py {

// Binding, for n parameters and m positional arguments:
//  1. m > n fails ("takes n positional arguments but m were given");
//  2. the positionals fill the first m slots;
//  3. each keyword, in the order given, fills the slot of the parameter with
//     exactly its name; an unknown name or an already filled slot fails;
//  4. any slot still empty fails, listing every missing parameter.
namespace {

std::string display_name(const Signature& sig) {
    std::string out;
    if (sig.cls) out.append(sig.cls).append(".");
    out.append(sig.name).append("()");
    return out;
}

[[noreturn]] void too_many(const Signature& sig, std::size_t given) {
    throw_py(PyExc_TypeError, display_name(sig) + " takes " + std::to_string(sig.nparams) +
                                  " positional arguments but " + std::to_string(given) +
                                  (given == 1 ? " was" : " were") + " given");
}

// The keyword is shown as given, whatever characters it holds.
[[noreturn]] void unexpected_keyword(const Signature& sig, PyObject* key) {
    PyObject* text = PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                          display_name(sig).c_str(), key);
    if (!text) throw PyErrSet{};
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
    throw PyErrSet{};
}

[[noreturn]] void multiple_values(const Signature& sig, std::size_t index) {
    throw_py(PyExc_TypeError, display_name(sig) + " got multiple values for argument '" +
                                  sig.params[index] + "'");
}

[[noreturn]] void missing(const Signature& sig, PyObject* const* slots) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < sig.nparams; ++i) count += slots[i] == nullptr;
    std::string list;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < sig.nparams; ++i) {
        if (slots[i]) continue;
        if (seen > 0) {
            if (count == 2) {
                list.append(" and ");
            } else {
                list.append(seen + 1 == count ? ", and " : ", ");
            }
        }
        list.append("'").append(sig.params[i]).append("'");
        ++seen;
    }
    throw_py(PyExc_TypeError, display_name(sig) + " missing " + std::to_string(count) +
                                  " required positional " + (count == 1 ? "argument" : "arguments") +
                                  ": " + list);
}

// The index of the parameter named `key`, or nparams when there is none. A
// name that cannot be read as text matches nothing.
std::size_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) return sig.nparams;
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
    if (!utf8) {
        PyErr_Clear();
        return sig.nparams;
    }
    for (std::size_t i = 0; i < sig.nparams; ++i) {
        const char* p = sig.params[i];
        if (std::strlen(p) == static_cast<std::size_t>(len) && std::memcmp(p, utf8, len) == 0) return i;
    }
    return sig.nparams;
}

void place_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    std::size_t index = find_param(sig, key);
    if (index == sig.nparams) unexpected_keyword(sig, key);
    if (slots[index]) multiple_values(sig, index);
    slots[index] = value;
}

void check_complete(const Signature& sig, PyObject* const* slots) {
    for (std::size_t i = 0; i < sig.nparams; ++i) {
        if (!slots[i]) missing(sig, slots);
    }
}

}  // namespace

void bind_fast_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, PyObject** slots) {
    std::size_t m = static_cast<std::size_t>(nargs);
    if (m > sig.nparams) too_many(sig, m);
    for (std::size_t i = 0; i < sig.nparams; ++i) slots[i] = i < m ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            place_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots);
        }
    }
    check_complete(sig, slots);
}

void bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    std::size_t m = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (m > sig.nparams) too_many(sig, m);
    for (std::size_t i = 0; i < sig.nparams; ++i) slots[i] = i < m ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(sig, key, value, slots);
    }
    check_complete(sig, slots);
}

}  // namespace tarsk::py
