#include "vec_sequence.h"

#include <algorithm>
#include <string>

namespace tarsk::py {

namespace {

// The qualified name of collections.abc.Sequence, read once per process for
// the type-mismatch text of a non-sequence.
const char* sequence_class_name() {
    static std::string name;
    if (name.empty()) {
        PyObject* abc = PyImport_ImportModule("collections.abc");
        PyObject* seq = abc ? PyObject_GetAttrString(abc, "Sequence") : nullptr;
        PyObject* qual = seq ? PyObject_GetAttrString(seq, "__qualname__") : nullptr;
        const char* utf8 = qual && PyUnicode_Check(qual) ? PyUnicode_AsUTF8(qual) : nullptr;
        if (utf8) {
            name = utf8;
        } else {
            PyErr_Clear();
        }
        Py_XDECREF(qual);
        Py_XDECREF(seq);
        Py_XDECREF(abc);
        if (name.empty()) return "Sequence";
    }
    return name.c_str();
}

// Largest capacity reserved from a sequence's own length report before any
// item is seen; a lying __len__ cannot make the conversion allocate more.
constexpr Py_ssize_t max_length_hint = Py_ssize_t{1} << 20;

}  // namespace

bool Arg<VecSequence>::load(PyObject* o, Holder& h, Error& err, bool) {
    if (PyUnicode_Check(o)) {
        err = Error::message(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(o)) {
        err = Error::mismatch(o, sequence_class_name());
        return false;
    }
    Py_ssize_t hint = PySequence_Size(o);
    if (hint < 0) {
        discard(Error::fetched());  // ignored, unless it is a PanicException
        hint = 0;
    }
    h.items.clear();
    h.items.reserve(static_cast<std::size_t>(std::min(hint, max_length_hint)));
    PyObject* iter = PyObject_GetIter(o);
    if (!iter) {
        err = Error::fetched();
        return false;
    }
    while (PyObject* item = PyIter_Next(iter)) {
        if (!is_instance<tarsk::Vec3d>(item)) {
            // The item dies here, so its text is formatted now.
            set_mismatch(item, "Vec3d");
            Py_DECREF(item);
            Py_DECREF(iter);
            err = Error::fetched();
            return false;
        }
        try {
            // Without the GIL another thread may be setting the item's
            // coordinates: it is copied under a shared borrow.
            SharedBorrow borrow;
            if constexpr (free_threaded) borrow.take(as_instance<tarsk::Vec3d>(item)->borrow);
            h.items.push_back(as_instance<tarsk::Vec3d>(item)->value);
        } catch (...) {
            Py_DECREF(item);
            Py_DECREF(iter);
            throw;
        }
        Py_DECREF(item);
    }
    Py_DECREF(iter);
    if (PyErr_Occurred()) {
        err = Error::fetched();
        return false;
    }
    return true;
}

}  // namespace tarsk::py
