#pragma once
// Module declarations: a module's name and the items its initialiser adds,
// in order. Each added name is appended to the module's __all__.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/instance.h"
#include "binding/members.h"

namespace tarsk::py {

// Appends `name` to the module's __all__ (creating the list when the module
// has none) and sets the attribute. Returns -1 with an exception set on
// failure. Steals no reference.
int add_item(PyObject* module, const char* name, PyObject* item);

// Module initialisation for one definition: owner check, cache, create, run
// the initialiser, cache. Returns a new reference or null with an exception.
struct ModuleRecord {
    PyModuleDef def;
    std::atomic<std::int64_t> owner{-1};  // id of the interpreter that first initialised it
    PyObject* cache = nullptr;            // the module, kept for the life of the process
    int (*init)(PyObject*) = nullptr;
};
PyObject* initialise(ModuleRecord& record);

// A class added under its name.
template <class T>
struct AddClass {
    static constexpr const char* py_name = ClassInfo<T>::name;
    static constexpr std::uint64_t record_id(const char*) { return introspection::class_id(py_name); }
    static int add(PyObject* module) {
        PyTypeObject* type = create_type<T>();
        if (!type) return -1;
        return add_item(module, py_name, reinterpret_cast<PyObject*>(type));
    }
};

// A module function (a Function<...> declaration) added under its name.
template <class F>
struct AddFunction {
    using Declaration = F;
    static constexpr const char* py_name = F::py_name;
    static constexpr std::uint64_t record_id(const char* module) {
        return introspection::function_id(module, py_name);
    }
    static int add(PyObject* module) {
        PyObject* name = PyModule_GetNameObject(module);
        if (!name) return -1;
        PyObject* fn = PyCFunction_NewEx(F::definition(), module, name);
        Py_DECREF(name);
        if (!fn) return -1;
        int rc = add_item(module, py_name, fn);
        Py_DECREF(fn);
        return rc;
    }
};

// A submodule (a ModuleDecl) initialised and added under its own __name__.
template <class Sub>
struct AddModule {
    static constexpr const char* py_name = Sub::name;
    static constexpr std::uint64_t record_id(const char*) { return introspection::module_id(py_name); }
    static int add(PyObject* module) {
        PyObject* sub = Sub::initialise();
        if (!sub) return -1;
        int rc = add_item(module, py_name, sub);
        Py_DECREF(sub);
        return rc;
    }
};

template <class Item>
concept FunctionItem = requires { typename Item::Declaration; };

// Record sources of a module: the module record and one per module function.
template <Name N, class... Items>
struct ModuleRecordSource {
    static constexpr std::uint64_t key = introspection::fnv({"module record", N.c_str()});
    static constexpr std::uint64_t members[] = {Items::record_id(N.c_str())..., 0};
    static constexpr void write(introspection::Sink& s) {
        introspection::write_module(s, N.c_str(), members, sizeof...(Items));
    }
};

template <Name N, class F>
struct ModuleFunctionRecordSource {
    static constexpr std::uint64_t key = introspection::fnv({"function record", N.c_str(), F::py_name});
    static constexpr void write(introspection::Sink& s) {
        introspection::write_function(s, F::records[0], 0, introspection::function_id(N.c_str(), F::py_name));
    }
};

template <Name N, class... Items>
struct ModuleDecl {
    static constexpr const char* name = N.c_str();

    static PyObject* initialise() {
        (void)exporters;
        static ModuleRecord record{
            {PyModuleDef_HEAD_INIT, N.c_str(), "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
            -1, nullptr, &run_items};
        return py::initialise(record);
    }

private:
    template <class Item>
    static constexpr auto item_exporters() {
        if constexpr (FunctionItem<Item>) {
            return std::array<introspection::Exporter, 1>{
                &introspection::export_record<ModuleFunctionRecordSource<N, typename Item::Declaration>>};
        } else {
            return std::array<introspection::Exporter, 0>{};
        }
    }
    static constexpr auto exporters = std::tuple{
        std::array<introspection::Exporter, 1>{&introspection::export_record<ModuleRecordSource<N, Items...>>},
        item_exporters<Items>()...};

    // Adds every item in order; the first failure stops.
    static int run_items(PyObject* module) {
        int rc = 0;
        ((rc = rc < 0 ? rc : Items::add(module)), ...);
        return rc;
    }
};

}  // namespace tarsk::py
