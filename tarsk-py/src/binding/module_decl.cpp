#include "binding/module_decl.h"

#include <string>

#include "tarsk_py/capi.h"

namespace tarsk::py {

namespace {

// Shared with the modules built on the C ABI, which refuse the same imports.
constexpr const char* subinterpreter_message = TARSK_SUBINTERPRETER_MESSAGE;

}  // namespace

int add_item(PyObject* module, const char* name, PyObject* item) {
    return entry<int>(-1, [&] {
        PyObject* all = PyObject_GetAttrString(module, "__all__");
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrSet{};
            PyErr_Clear();
            all = PyList_New(0);
            if (!all) throw PyErrSet{};
            if (PyObject_SetAttrString(module, "__all__", all) < 0) {
                Py_DECREF(all);
                throw PyErrSet{};
            }
        }
        Owned list(all);
        if (!PyList_Check(all)) throw_py(PyExc_TypeError, "__all__ of a module must be a list");
        Owned text(PyUnicode_FromString(name));
        if (PyList_Append(all, text.get()) < 0) {
            PyErr_Clear();
            throw_panic(std::string("could not append __name__ to __all__: ") + name);
        }
        if (PyObject_SetAttr(module, text.get(), item) < 0) throw PyErrSet{};
        return 0;
    });
}

PyObject* initialise(ModuleRecord& record) {
    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
        PyInterpreterState* interp = PyInterpreterState_Get();
        std::int64_t id = interp ? PyInterpreterState_GetID(interp) : -1;
        if (id == -1) throw_fetched();
        std::int64_t expected = -1;
        if (!record.owner.compare_exchange_strong(expected, id, std::memory_order_acq_rel) &&
            expected != id) {
            throw_py(PyExc_ImportError, subinterpreter_message);
        }
        if (record.cache) return Py_NewRef(record.cache);
        PyObject* module = PyModule_Create2(&record.def, PYTHON_API_VERSION);
        if (!module) throw PyErrSet{};
#ifdef Py_GIL_DISABLED
        // Calls take their borrows for real without the GIL (instance.h), so
        // the interpreter need not turn the GIL back on for this module.
        if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) {
            Py_DECREF(module);
            throw PyErrSet{};
        }
#endif
        if (record.init(module) < 0) {
            Py_DECREF(module);
            throw PyErrSet{};
        }
        record.cache = Py_NewRef(module);
        return module;
    });
}

}  // namespace tarsk::py
