#pragma once
// Collects a class's method table, property descriptors and type slots, and
// creates its type object from a type spec. The tables live for the life of
// the process, as the type object does.
#include <Python.h>

#include <vector>

namespace tarsk::py {

// Records a table that lives as long as the process (a method table, a doc
// string, a type spec) where memory checkers can see it.
void keep_for_process(const void* table);

class TypeBuilder {
public:
    // `qualified` is "builtins.<Class>"; it outlives the type.
    TypeBuilder(const char* qualified, int basicsize) : name_(qualified), basicsize_(basicsize) {}

    // A method-table entry; one with the static flag becomes a staticmethod
    // of the class, its function bound to the class.
    void add_method(PyMethodDef def) { methods_.push_back(def); }
    void add_getter(const char* name, getter get);
    void add_setter(const char* name, setter set);
    void add_slot(int slot, void* fn) { slots_.push_back({slot, fn}); }
    // Calling the class through the fast calling convention.
    void set_vectorcall(vectorcallfunc fn) { vectorcall_ = fn; }
    // The type's doc: only the constructor's text signature.
    void set_doc(const char* doc) { doc_ = doc; }

    // Creates the type object; null with a Python exception set on failure.
    PyTypeObject* build();

private:
    const char* name_;
    int basicsize_;
    const char* doc_ = nullptr;
    vectorcallfunc vectorcall_ = nullptr;
    std::vector<PyMethodDef> methods_;
    std::vector<PyGetSetDef> getsets_;
    std::vector<PyType_Slot> slots_;
};

}  // namespace tarsk::py
