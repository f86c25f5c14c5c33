#pragma once
// Buffers and plain arguments of the companion's native modules that work on
// arrays handed over by their Python side: C-contiguous buffers of one item
// kind, checked for type, size and alignment, and numbers read from ints and
// floats.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "tarsk_py/boundary.h"

namespace tarsk::interop {

using boundary::PyErrSet;
using boundary::throw_py;

// A C-contiguous buffer of items of one kind ('d' float64, 'f' float32, 'I'
// uint32, 'q' int64), released on unwinding.
class Buffer {
public:
    Buffer(PyObject* o, char kind, bool writable) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o, &view_, flags) != 0) throw PyErrSet{};
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        char c = f[0] != '\0' && f[1] == '\0' ? f[0] : '?';
        std::size_t size = kind == 'd' || kind == 'q' ? 8 : 4;
        bool ok = false;
        switch (kind) {
            case 'd': ok = c == 'd'; break;
            case 'f': ok = c == 'f'; break;
            case 'I': ok = c == 'I' || (c == 'L' && sizeof(long) == 4); break;
            case 'q': ok = c == 'q' || (c == 'l' && sizeof(long) == 8); break;
        }
        if (!ok || static_cast<std::size_t>(view_.itemsize) != size ||
            static_cast<std::size_t>(view_.len) % size != 0) {
            throw_py(PyExc_ValueError, "a buffer has the wrong item type");
        }
        if (view_.len != 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % size != 0) {
            throw_py(PyExc_ValueError, "a buffer is not aligned");
        }
        count_ = static_cast<std::size_t>(view_.len) / size;
    }
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::size_t count() const { return count_; }
    template <class T>
    T* data() const {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::size_t count_ = 0;
};

inline std::size_t size_arg(PyObject* o) {
    std::size_t v = PyLong_AsSize_t(o);
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

inline double double_arg(PyObject* o) {
    double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

// Rows of three doubles: count() / 3 of them.
inline std::size_t row_count(const Buffer& b) {
    if (b.count() % 3 != 0) throw_py(PyExc_ValueError, "rows must hold three doubles each");
    return b.count() / 3;
}

}  // namespace tarsk::interop
