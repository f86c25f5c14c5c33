// tarsk_interop._native: the bridge between numpy-style buffers and the
// objects of tarsk_py.
//
// Everything it knows of tarsk_py comes through tarsk_py's private C ABI
// (capi.h): the type checks, the values, a list's borrow and rows, new lists,
// the table of element-wise operations and the worker pool. The table is
// found once, at import, and checked by its ABI number.
//
// Arrays handed to numpy are described by `Block` objects through the array
// interface (not the buffer protocol, so no memoryview stands between an
// array and the memory it reads): numpy makes the block the array's base, and
// nothing can release the block before the last array over it goes. A block
// either owns its memory (tarsk_py's block memory, through the ABI), holds a
// VecList's shared borrow for its whole life (a view), or keeps the owner of
// rows that never change (a list's shared elements, for pickling).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tarsk_py/capi.h"
#include "support.h"

namespace tarsk::interop {
namespace {

// The table of tarsk_py, found at import.
const TarskCapi* api = nullptr;

// A buffer taken from an object, released on unwinding.
class Buffer {
public:
    Buffer(PyObject* o, int flags) {
        if (PyObject_GetBuffer(o, &view_, flags) != 0) throw PyErrSet{};
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

// ---------------------------------------------------------------------------
// Block: the owner of an array handed to numpy.

struct BlockObject {
    PyObject_HEAD
    char* data;
    Py_ssize_t rows;
    int ndim;        // 2: (rows, 3) float64; 1: (rows,) float64 or bool
    char kind;       // 'd' float64, '?' bool
    bool readonly;
    // Owned memory from tarsk_py's block memory: given back with its size.
    bool owned;
    std::size_t bytes;
    // A view of a VecList: the list, whose shared borrow the block holds.
    PyObject* list;
    // Rows that never change, kept alive by this object (shared elements).
    PyObject* keeper;
};

PyTypeObject* g_block_type = nullptr;

void block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    if (b->owned) api->give_back_memory(b->data, b->bytes);
    if (b->list) {
        api->list_release(b->list);
        Py_DECREF(b->list);
    }
    Py_XDECREF(b->keeper);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// An empty array still gets a valid address.
alignas(16) double empty_storage[3];

// __array_interface__ (version 3): numpy keeps the block as the array's base.
PyObject* block_interface(PyObject* self, void*) {
    return guarded([self]() -> PyObject* {
        auto* b = reinterpret_cast<BlockObject*>(self);
        void* data = b->data ? static_cast<void*>(b->data) : static_cast<void*>(empty_storage);
        const char* typestr = b->kind == '?' ? "|b1" : (std::endian::native == std::endian::little ? "<f8" : ">f8");
        Owned shape(b->ndim == 2 ? Py_BuildValue("(nn)", b->rows, Py_ssize_t{3}) : Py_BuildValue("(n)", b->rows));
        Owned address(PyLong_FromVoidPtr(data));
        Owned dict(Py_BuildValue("{s:O,s:s,s:(OO),s:i}", "shape", shape.get(), "typestr", typestr, "data",
                               address.get(), b->readonly ? Py_True : Py_False, "version", 3));
        return dict.release();
    });
}

PyObject* block_len(PyObject* self, PyObject*) {
    return PyLong_FromSsize_t(reinterpret_cast<BlockObject*>(self)->rows);
}

PyObject* block_shared(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<BlockObject*>(self)->keeper != nullptr);
}

PyMethodDef block_methods[] = {
    {"rows", block_len, METH_NOARGS, "rows($self)\n--\n\nNumber of rows of the block."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef block_getset[] = {
    {"__array_interface__", block_interface, nullptr, nullptr, nullptr},
    {"shared", block_shared, nullptr, "True for rows that never change.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&block_dealloc)},
    {Py_tp_methods, block_methods},
    {Py_tp_getset, block_getset},
    {Py_tp_doc, const_cast<char*>("Memory behind an array handed out by tarsk_interop.")},
    {0, nullptr},
};

// Made only by this module: Python code cannot create one.
PyType_Spec block_spec = {"tarsk_interop._native.Block", sizeof(BlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, block_slots};

BlockObject* new_block(std::size_t rows, int ndim, char kind) {
    auto* b = PyObject_New(BlockObject, g_block_type);
    if (!b) throw PyErrSet{};
    b->data = nullptr;
    b->rows = static_cast<Py_ssize_t>(rows);
    b->ndim = ndim;
    b->kind = kind;
    b->readonly = false;
    b->owned = false;
    b->bytes = 0;
    b->list = nullptr;
    b->keeper = nullptr;
    return b;
}

// A block owning fresh memory for `rows` results of `bytes_per_row` each.
BlockObject* owned_block(std::size_t rows, int ndim, char kind, std::size_t bytes_per_row) {
    BlockObject* b = new_block(rows, ndim, kind);
    Owned owner(reinterpret_cast<PyObject*>(b));
    if (rows > PY_SSIZE_T_MAX / bytes_per_row) throw std::bad_alloc();
    b->bytes = rows * bytes_per_row;
    b->data = static_cast<char*>(api->take_memory(b->bytes));
    if (!b->data && b->bytes) throw PyErrSet{};
    b->owned = true;
    owner.release();
    return b;
}

// ---------------------------------------------------------------------------
// Arguments

PyObject* list_arg(PyObject* o, const char* name) {
    if (!api->is_list(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected VecList, got '%.200s'", name, Py_TYPE(o)->tp_name);
        throw PyErrSet{};
    }
    return o;
}

// A list's shared borrow for the life of this object, unless kept.
class Borrowed {
public:
    explicit Borrowed(PyObject* list) : list_(list) { check(api->list_borrow(list, &rows_, &n_)); }
    ~Borrowed() {
        if (list_) api->list_release(list_);
    }
    Borrowed(const Borrowed&) = delete;
    Borrowed& operator=(const Borrowed&) = delete;
    const double* rows() const { return rows_; }
    std::size_t size() const { return n_; }
    // The borrow outlives this object (a view takes it over).
    void keep() { list_ = nullptr; }

private:
    PyObject* list_;
    const double* rows_ = nullptr;
    std::size_t n_ = 0;
};

// A short read of a list, held as the list's own method calls hold it (so a
// change on another thread waits for it), for the life of this object.
class Reading {
public:
    explicit Reading(PyObject* list) : list_(list) { check(api->list_read(list, &rows_, &n_)); }
    ~Reading() { api->list_read_end(list_); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    const double* rows() const { return rows_; }
    std::size_t size() const { return n_; }

private:
    PyObject* list_;
    const double* rows_ = nullptr;
    std::size_t n_ = 0;
};

// The rows of an (n, 3) float64 array in C order, aligned, as the package
// prepares them (any exporter of such a buffer will do).
class Rows {
public:
    explicit Rows(PyObject* o) : buffer_(o, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) {
        const Py_buffer& v = buffer_.view();
        const char* f = v.format ? v.format : "B";
        if (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)) ++f;
        if (std::strcmp(f, "d") != 0 || v.itemsize != sizeof(double) || v.ndim != 2 || v.shape[1] != 3) {
            throw_py(PyExc_ValueError, "expected a C-contiguous float64 buffer of shape (n, 3)");
        }
        rows_ = static_cast<std::size_t>(v.shape[0]);
        // An empty buffer may sit at any address (numpy still calls it
        // aligned); no row of it is ever read, so it is used as no memory.
        if (rows_ != 0 && reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) != 0) {
            throw_py(PyExc_ValueError, "expected an aligned buffer");
        }
    }
    const double* data() const { return rows_ ? static_cast<const double*>(buffer_.view().buf) : nullptr; }
    std::size_t size() const { return rows_; }

private:
    Buffer buffer_;
    std::size_t rows_ = 0;
};

// pickle.UnpicklingError "corrupted VecList data: <text>".
[[noreturn]] void corrupted(const char* text) {
    Owned pickle(PyImport_ImportModule("pickle"));
    Owned error(PyObject_GetAttrString(pickle.get(), "UnpicklingError"));
    PyErr_Format(error.get(), "corrupted VecList data: %s", text);
    throw PyErrSet{};
}

// ---------------------------------------------------------------------------
// Module functions

// copy_rows(veclist) -> Block: a copy of the elements, (n, 3) float64.
PyObject* copy_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Reading list(list_arg(arg, "veclist"));
        BlockObject* b = owned_block(list.size(), 2, 'd', 3 * sizeof(double));
        if (list.size()) std::memcpy(b->data, list.rows(), list.size() * 3 * sizeof(double));
        return reinterpret_cast<PyObject*>(b);
    });
}

// view_rows(veclist) -> Block: a read-only (n, 3) view of the elements. The
// block holds a shared borrow of the list (so append, extend and rotate
// fail) and a reference to it until the block goes away.
PyObject* view_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        PyObject* lst = list_arg(arg, "veclist");
        BlockObject* b = new_block(0, 2, 'd');
        Owned owner(reinterpret_cast<PyObject*>(b));
        Borrowed list(lst);  // after the allocation: nothing runs between here and the return
        b->rows = static_cast<Py_ssize_t>(list.size());
        b->data = const_cast<char*>(reinterpret_cast<const char*>(list.rows()));
        b->readonly = true;
        b->list = Py_NewRef(lst);
        list.keep();
        return owner.release();
    });
}

// share_rows(veclist) -> Block: a read-only (n, 3) block of the list's
// elements that never change: the list hands them over to an owner this
// block keeps, and copies them on its own next change. The list is not
// borrowed afterwards.
PyObject* share_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        PyObject* lst = list_arg(arg, "veclist");
        BlockObject* b = new_block(0, 2, 'd');
        Owned owner(reinterpret_cast<PyObject*>(b));
        const double* rows = nullptr;
        std::size_t n = 0;
        PyObject* keeper = nullptr;
        check(api->list_share(lst, &rows, &n, &keeper));
        b->keeper = keeper;
        b->rows = static_cast<Py_ssize_t>(n);
        b->data = const_cast<char*>(reinterpret_cast<const char*>(rows));
        b->readonly = true;
        return owner.release();
    });
}

// rows_bytes(veclist) -> bytes: the elements' IEEE bytes.
PyObject* rows_bytes(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Reading list(list_arg(arg, "veclist"));
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(list.rows()),
                                         static_cast<Py_ssize_t>(list.size() * 3 * sizeof(double)));
    });
}

// copy_list(veclist) -> VecList: a new list of the same elements.
PyObject* copy_list(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Reading list(list_arg(arg, "veclist"));
        return api->list_copy(list.rows(), list.size());
    });
}

// veclist_from_rows(rows) -> VecList: a copy of an (n, 3) float64 buffer.
PyObject* veclist_from_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Rows rows(arg);
        return api->list_copy(rows.data(), rows.size());
    });
}

// True for a format of raw bytes or of native-order float64.
bool plain_format(const char* f) {
    if (!f) return true;
    if (std::strcmp(f, "B") == 0 || std::strcmp(f, "b") == 0 || std::strcmp(f, "c") == 0) return true;
    if (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little) ||
        (f[0] == '>' && std::endian::native == std::endian::big))
        ++f;
    return std::strcmp(f, "d") == 0;
}

// numpy's array type, taken from numpy when the module is made.
PyTypeObject* g_ndarray_type = nullptr;

// True when the `len` bytes at `buf` lie inside [lo, lo + size).
bool lies_inside(const void* buf, Py_ssize_t len, const void* lo, std::size_t size) {
    const auto p = reinterpret_cast<std::uintptr_t>(buf);
    const auto base = reinterpret_cast<std::uintptr_t>(lo);
    if (!lo || len < 0 || p < base) return false;
    const std::size_t offset = p - base;
    return offset <= size && static_cast<std::size_t>(len) <= size - offset;
}

// The object that guarantees that the `len` bytes at `buf`, exported by
// `exporter`, never change and stay allocated while it lives, or null. Only
// exact types are trusted, and only for memory they hold: a bytes object, or
// numpy's own array type whose base is a shared block (the array numpy made
// over it) with the bytes inside that block. Anything else (a subclass, an
// object of another type whatever it is called, bytes outside the object
// they claim) is copied.
PyObject* immutable_owner(PyObject* exporter, const void* buf, Py_ssize_t len) {
    if (!exporter) return nullptr;
    if (PyBytes_CheckExact(exporter)) {
        return lies_inside(buf, len, PyBytes_AS_STRING(exporter), static_cast<std::size_t>(PyBytes_GET_SIZE(exporter)))
                   ? exporter
                   : nullptr;
    }
    if (!g_ndarray_type || Py_TYPE(exporter) != g_ndarray_type) return nullptr;
    PyObject* base = PyObject_GetAttrString(exporter, "base");
    if (!base) {
        PyErr_Clear();
        return nullptr;
    }
    Py_DECREF(base);  // the array keeps it
    if (Py_TYPE(base) != g_block_type) return nullptr;
    const auto* b = reinterpret_cast<BlockObject*>(base);
    if (!b->keeper || b->kind != 'd') return nullptr;
    const std::size_t per_row = b->ndim == 2 ? 3 * sizeof(double) : sizeof(double);
    return lies_inside(buf, len, b->data, static_cast<std::size_t>(b->rows) * per_row) ? base : nullptr;
}

// veclist_from_buffer(buffer) -> VecList: the elements from the raw bytes of
// a pickled list (any contiguous buffer of 24-byte records, typed as raw
// bytes or as native float64). The list reads the bytes in place when nobody
// can change them while it holds them (see immutable_owner), else copies.
PyObject* veclist_from_buffer(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Buffer buffer(arg, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT);
        const Py_buffer& v = buffer.view();
        if (!plain_format(v.format)) {
            PyErr_Format(PyExc_TypeError, "expected raw bytes or native float64, got a buffer of format '%.20s'",
                         v.format);
            throw PyErrSet{};
        }
        if (v.len < 0 || static_cast<std::size_t>(v.len) % (3 * sizeof(double)) != 0) {
            std::string text = std::to_string(v.len) + " bytes is not a whole number of 24-byte elements";
            corrupted(text.c_str());
        }
        const std::size_t n = static_cast<std::size_t>(v.len) / (3 * sizeof(double));
        const bool aligned = reinterpret_cast<std::uintptr_t>(v.buf) % alignof(double) == 0;
        PyObject* exporter = v.obj;
        if (exporter && PyMemoryView_Check(exporter)) exporter = PyMemoryView_GET_BUFFER(exporter)->obj;
        if (exporter && PyPickleBuffer_Check(exporter)) {
            const Py_buffer* inner = PyPickleBuffer_GetBuffer(exporter);
            exporter = inner ? inner->obj : nullptr;
        }
        PyObject* owner = n && aligned ? immutable_owner(exporter, v.buf, v.len) : nullptr;
        if (owner) return api->list_adopt(static_cast<const double*>(v.buf), n, owner);
        if (n && !aligned) {
            // Copied through an aligned array of its own.
            std::vector<double> copy(n * 3);
            std::memcpy(copy.data(), v.buf, static_cast<std::size_t>(v.len));
            return api->list_copy(copy.data(), n);
        }
        return api->list_copy(static_cast<const double*>(v.buf), n);
    });
}

// ops() -> tuple of (name, face, param, arg kind, result kind): the table of
// element-wise operations.
PyObject* ops(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        Owned table(PyTuple_New(static_cast<Py_ssize_t>(api->op_count)));
        for (std::size_t k = 0; k < api->op_count; ++k) {
            const TarskOp& op = api->ops[k];
            PyObject* row = Py_BuildValue("(sssii)", op.name, op.face, op.param, op.arg, op.result);
            if (!row) throw PyErrSet{};
            PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(k), row);
        }
        return table.release();
    });
}

std::size_t op_index(PyObject* o) {
    const std::size_t k = PyLong_AsSize_t(o);
    if (k == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
    if (k >= api->op_count) throw_py(PyExc_ValueError, "unknown element-wise operation");
    return k;
}

// apply(op, rows, arg) -> Block: operation `op` of the table on every row,
// with `arg` (None for an operation without one), as a new block.
PyObject* apply(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 3) throw_py(PyExc_TypeError, "apply(op, rows, arg)");
        const std::size_t k = op_index(args[0]);
        const TarskOp& op = api->ops[k];
        Rows rows(args[1]);
        double arg[4] = {0.0, 0.0, 0.0, 0.0};
        if (op.arg != TARSK_ARG_NONE) check(api->convert_arg(k, args[2], arg));
        BlockObject* b = op.result == TARSK_RESULT_ROWS     ? owned_block(rows.size(), 2, 'd', 3 * sizeof(double))
                         : op.result == TARSK_RESULT_DOUBLE ? owned_block(rows.size(), 1, 'd', sizeof(double))
                                                            : owned_block(rows.size(), 1, '?', 1);
        Owned owner(reinterpret_cast<PyObject*>(b));
        if (rows.size()) check(api->apply(k, rows.data(), rows.size(), arg, b->data));
        return owner.release();
    });
}

// minimum_distance_to(rows, v, stride) -> (index, distance).
PyObject* minimum_distance_to(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 3) throw_py(PyExc_TypeError, "minimum_distance_to(rows, v, stride)");
        Rows rows(args[0]);
        double v[3];
        check(api->get_value(TARSK_VEC3D, args[1], v));
        std::uint64_t stride = 0;
        check(api->convert_count(args[2], "stride", &stride));
        std::uint64_t index = 0;
        double distance = 0.0;
        check(api->minimum_distance_to(rows.data(), rows.size(), v, stride, &index, &distance));
        return Py_BuildValue("(Kd)", static_cast<unsigned long long>(index), distance);
    });
}

// real(s) -> float: the float conversion VecList's operators apply (the
// object's __float__, else its __index__; never a string).
PyObject* real(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        if (PyFloat_CheckExact(arg)) return Py_NewRef(arg);
        double v = PyFloat_AsDouble(arg);
        if (v == -1.0 && PyErr_Occurred()) throw PyErrSet{};
        return PyFloat_FromDouble(v);
    });
}

// cache_state() -> (blocks, bytes): what the cache of freed blocks holds.
PyObject* cache_state(PyObject*, PyObject*) {
    std::size_t blocks = 0, bytes = 0;
    api->memory_state(&blocks, &bytes);
    return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(blocks), static_cast<Py_ssize_t>(bytes));
}

// trim() -> None: gives every cached block back to the system.
PyObject* trim(PyObject*, PyObject*) {
    api->trim_memory();
    Py_RETURN_NONE;
}

template <auto F>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef module_methods[] = {
    {"copy_rows", copy_rows, METH_O, nullptr},
    {"view_rows", view_rows, METH_O, nullptr},
    {"share_rows", share_rows, METH_O, nullptr},
    {"rows_bytes", rows_bytes, METH_O, nullptr},
    {"copy_list", copy_list, METH_O, nullptr},
    {"veclist_from_rows", veclist_from_rows, METH_O, nullptr},
    {"veclist_from_buffer", veclist_from_buffer, METH_O, nullptr},
    {"ops", ops, METH_NOARGS, nullptr},
    {"apply", fastcall<&apply>(), METH_FASTCALL, nullptr},
    {"minimum_distance_to", fastcall<&minimum_distance_to>(), METH_FASTCALL, nullptr},
    {"real", real, METH_O, nullptr},
    {"cache_state", cache_state, METH_NOARGS, nullptr},
    {"trim", trim, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0: the initialisation runs on every import (see import_capi).
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_native", nullptr, 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    using namespace tarsk::interop;
    return guarded([]() -> PyObject* {
        const TarskCapi* table = import_capi();  // on every import: it refuses other interpreters
        if (!api) api = table;
        Owned m(PyModule_Create(&module_def));
        declare_gil_free(m.get());
        if (!g_block_type) {
            g_block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
            if (!g_block_type) throw PyErrSet{};
        }
        if (!g_ndarray_type) {
            // Held for the life of the process, as numpy's module holds it.
            Owned numpy(PyImport_ImportModule("numpy"));
            Owned ndarray(PyObject_GetAttrString(numpy.get(), "ndarray"));
            if (!PyType_Check(ndarray.get())) throw_py(PyExc_ImportError, "numpy.ndarray is not a type");
            g_ndarray_type = reinterpret_cast<PyTypeObject*>(ndarray.release());
        }
        if (PyModule_AddObjectRef(m.get(), "Block", reinterpret_cast<PyObject*>(g_block_type)) != 0 ||
            PyModule_AddIntConstant(m.get(), "abi", TARSK_CAPI_ABI) != 0) {
            throw PyErrSet{};
        }
        return m.release();
    });
}
