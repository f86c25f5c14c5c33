#include "binding/type_builder.h"

#include <cstring>
#include <string>

#include "binding/members.h"

namespace tarsk::py {

namespace {

PyGetSetDef& getset_named(std::vector<PyGetSetDef>& defs, const char* name) {
    for (PyGetSetDef& d : defs) {
        if (std::strcmp(d.name, name) == 0) return d;
    }
    defs.push_back({name, nullptr, nullptr, "", nullptr});  // properties carry an empty doc
    return defs.back();
}

}  // namespace

void keep_for_process(const void* table) {
    // Reached through a static pointer, which memory checkers scan as a root:
    // the tables count as kept, not as lost.
    static auto* kept = new std::vector<const void*>();
    kept->push_back(table);
}

void TypeBuilder::add_getter(const char* name, getter get) { getset_named(getsets_, name).get = get; }

void TypeBuilder::add_setter(const char* name, setter set) { getset_named(getsets_, name).set = set; }

PyTypeObject* TypeBuilder::build() {
    // The tables are handed to the interpreter and never freed.
    auto* slots = new std::vector<PyType_Slot>(slots_);
    keep_for_process(slots);
    if (!methods_.empty()) {
        auto* methods = new std::vector<PyMethodDef>(methods_);
        keep_for_process(methods);
        methods->push_back({nullptr, nullptr, 0, nullptr});
        slots->push_back({Py_tp_methods, methods->data()});
    }
    if (!getsets_.empty()) {
        auto* getsets = new std::vector<PyGetSetDef>(getsets_);
        keep_for_process(getsets);
        getsets->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        slots->push_back({Py_tp_getset, getsets->data()});
    }
    bool has_new = false;
    for (const PyType_Slot& s : slots_) has_new |= s.slot == Py_tp_new;
    if (doc_) slots->push_back({Py_tp_doc, const_cast<char*>(doc_)});
    slots->push_back({0, nullptr});
    // Default flags only: no subclassing, no cycle collection, no instance
    // dict, no weak references. A class without constructor cannot be
    // instantiated from Python.
    unsigned int flags = Py_TPFLAGS_DEFAULT;
    if (!has_new) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    auto* spec = new PyType_Spec{name_, basicsize_, 0, flags, slots->data()};
    keep_for_process(spec);
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
    if (!type) return nullptr;
    type->tp_vectorcall = vectorcall_;
    return type;
}

const char* make_text_signature(const char* name, bool with_self, const char* const* params,
                                std::size_t nparams) {
    std::string text(name);
    text.push_back('(');
    bool first = true;
    if (with_self) {
        text.append("$self");
        first = false;
    }
    for (std::size_t i = 0; i < nparams; ++i) {
        if (!first) text.append(", ");
        text.append(params[i]);
        first = false;
    }
    text.append(")\n--\n\n");
    char* out = new char[text.size() + 1];  // kept for the life of the type
    keep_for_process(out);
    std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace tarsk::py
