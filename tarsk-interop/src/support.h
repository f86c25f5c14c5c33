#pragma once
// The entry discipline of the companion's native modules: C++ failures
// become Python exceptions at the boundary, and Python references and
// buffers are released on unwinding.
#include <Python.h>

#include "tarsk_py/boundary.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <utility>

#include "tarsk_py/capi.h"

namespace tarsk::interop {

// The boundary's vocabulary, shared with tarsk_py: PyErrSet (the
// interpreter holds the exception), PyError and throw_py (a deferred one),
// Owned (a new reference dropped on unwinding).
using boundary::Owned;
using boundary::PyErrSet;
using boundary::PyError;
using boundary::throw_py;

inline void check(int rc) {
    if (rc != 0) throw PyErrSet{};
}

// Runs body(); a C++ exception becomes a Python exception and the error
// value is returned. The thread-cancellation unwind passes through (so this
// is not noexcept).
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const PyErrSet&) {
    } catch (const PyError& e) {
        PyErr_SetString(e.type, e.text.c_str());
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown internal failure in tarsk_interop");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "internal failure without an exception");
    return nullptr;
}

// Declares that the module runs without the global interpreter lock, on a
// free-threaded interpreter only: its buffers and blocks are safe under
// concurrent callers, and tarsk_py's calls take their borrows for real there.
inline void declare_gil_free([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
    check(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED));
#endif
}

// tarsk_py's C ABI table, found and checked, for the initialisation of a
// module of the companion. Call it from every run of the module's
// initialisation, and give the module an m_size of 0 (not -1), so that the
// interpreter runs that initialisation on each import instead of copying the
// first interpreter's module: the module's state (the table, its type
// objects) belongs to the interpreter that first loaded it, as tarsk_py's
// does, so an import from any other interpreter fails as tarsk_py's import
// fails there, with the same ImportError.
inline const TarskCapi* import_capi() {
    static std::atomic<std::int64_t> owner{-1};  // one per module: the header's statics are not exported
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PyErrSet{};
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id, std::memory_order_acq_rel) && expected != id) {
        throw_py(PyExc_ImportError, TARSK_SUBINTERPRETER_MESSAGE);
    }
    const TarskCapi* table = tarsk_capi_import();
    if (!table) throw PyErrSet{};
    return table;
}

// The module of `def`, made on an import: tarsk_py's table is found and
// checked first (on every import, so that another interpreter is refused)
// and kept in `api` on the first.
inline PyObject* create_module(PyModuleDef* def, const TarskCapi*& api) {
    const TarskCapi* table = import_capi();
    if (!api) api = table;
    Owned m(PyModule_Create(def));
    declare_gil_free(m.get());
    return m.release();
}

}  // namespace tarsk::interop
