#pragma once
// The entry discipline of the companion's native modules: C++ failures
// become Python exceptions at the boundary, and Python references and
// buffers are released on unwinding.
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>
#include <utility>

namespace tarsk::interop {

// Raised after a Python exception has been set.
struct PyErrSet {};

[[noreturn]] inline void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw PyErrSet{};
}

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

// A new reference that is dropped on unwinding unless released.
class Ref {
public:
    explicit Ref(PyObject* o) : o_(o) {
        if (!o) throw PyErrSet{};
    }
    ~Ref() { Py_XDECREF(o_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }

private:
    PyObject* o_;
};

// Declares that the module runs without the global interpreter lock, on a
// free-threaded interpreter only: its buffers and blocks are safe under
// concurrent callers, and tarsk_py's calls take their borrows for real there.
inline void declare_gil_free([[maybe_unused]] PyObject* module) {
#ifdef Py_GIL_DISABLED
    check(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED));
#endif
}

// tarsk_py's C ABI table, found and checked once at import.
inline const TarskCapi* import_capi() {
    const TarskCapi* table = tarsk_capi_import();
    if (!table) throw PyErrSet{};
    return table;
}

}  // namespace tarsk::interop
