// tarsk_interop._native: the bridge between numpy-style buffers and the
// objects of tarsk_py.
//
// The module works on the objects of tarsk_py through their instance layout,
// which it knows from the same headers (the package checks at import that
// the installed module has the same layout). It never calls the interpreter
// from a worker thread and never runs a formula of its own for a result that
// a VecList method can give as a VecList: such kernels wrap the caller's
// memory in a temporary VecList that borrows it, call the method, and hand
// the memory of the method's result over to a buffer owner without a copy.
//
// Buffers handed out are described by `Block` objects: an (n, 3) or (n,)
// view of memory the block either owns (and frees with the array type that
// allocated it) or borrows from a VecList, whose shared borrow it holds for
// its whole life, so the list cannot change while a view of it exists.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "angle.h"
#include "binding/instance.h"
#include "geometry/circle.h"
#include "geometry/plane.h"
#include "pool/kernels.h"
#include "quat.h"
#include "vec3d.h"
#include "vec_list.h"
#include "vec_list_elementwise.h"

namespace tarsk::interop {
namespace {

using tarsk::Vec3d;
using tarsk::py::Instance;
using tarsk::py::VecListData;
using Items = tarsk::py::pool::Array<Vec3d>;

// Raised after a Python exception has been set.
struct PyErrSet {};

// The type objects of tarsk_py, read from the module at import.
PyTypeObject* g_vec3d = nullptr;
PyTypeObject* g_veclist = nullptr;
PyTypeObject* g_quat = nullptr;

// Interned method names.
PyObject* g_name_rotate = nullptr;
PyObject* g_name_minimum_distance_to = nullptr;

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

[[noreturn]] void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw PyErrSet{};
}

// ---------------------------------------------------------------------------
// Block: the owner of an array handed to numpy.

struct BlockObject {
    PyObject_HEAD
    char* data;
    Py_ssize_t shape[2];
    Py_ssize_t strides[2];
    int ndim;
    bool readonly;
    char format[2];
    Py_ssize_t itemsize;
    // Owned memory: freed by `free_fn(data, capacity)`.
    void (*free_fn)(void*, std::size_t);
    std::size_t capacity;
    // A view of a VecList: the list, whose shared borrow the block holds.
    PyObject* list;
};

PyTypeObject* g_block_type = nullptr;

template <class T>
void free_array(void* p, std::size_t capacity) {
    tarsk::py::pool::Array<T>::deallocate(static_cast<T*>(p), capacity);
}

void block_dealloc(PyObject* self) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    if (b->free_fn) b->free_fn(b->data, b->capacity);
    if (b->list) {
        auto* inst = reinterpret_cast<Instance<VecListData>*>(b->list);
        inst->borrow.fetch_sub(1, std::memory_order_release);
        Py_DECREF(b->list);
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* b = reinterpret_cast<BlockObject*>(self);
    if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE && b->readonly) {
        PyErr_SetString(PyExc_BufferError, "the view of a VecList is read-only");
        view->obj = nullptr;
        return -1;
    }
    // An empty array still gets a valid address.
    static double empty_storage[3];
    view->buf = b->data ? static_cast<void*>(b->data) : static_cast<void*>(empty_storage);
    view->obj = Py_NewRef(self);
    view->len = b->itemsize;
    for (int d = 0; d < b->ndim; ++d) view->len *= b->shape[d];
    view->itemsize = b->itemsize;
    view->readonly = b->readonly ? 1 : 0;
    view->ndim = b->ndim;
    view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? b->format : nullptr;
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? b->shape : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? b->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyObject* block_len(PyObject* self, PyObject*) {
    return PyLong_FromSsize_t(reinterpret_cast<BlockObject*>(self)->shape[0]);
}

PyMethodDef block_methods[] = {
    {"rows", block_len, METH_NOARGS, "rows($self)\n--\n\nNumber of rows of the block."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot block_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&block_dealloc)},
    {Py_tp_methods, block_methods},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&block_getbuffer)},
    {Py_tp_doc, const_cast<char*>("Memory behind an array handed out by tarsk_interop.")},
    {0, nullptr},
};

PyType_Spec block_spec = {"tarsk_interop._native.Block", sizeof(BlockObject), 0, Py_TPFLAGS_DEFAULT, block_slots};

BlockObject* new_block(std::size_t rows, int ndim, char format, Py_ssize_t itemsize) {
    auto* b = PyObject_New(BlockObject, g_block_type);
    if (!b) throw PyErrSet{};
    b->data = nullptr;
    b->shape[0] = static_cast<Py_ssize_t>(rows);
    b->shape[1] = ndim == 2 ? 3 : 0;
    b->strides[0] = ndim == 2 ? 3 * itemsize : itemsize;
    b->strides[1] = itemsize;
    b->ndim = ndim;
    b->readonly = false;
    b->format[0] = format;
    b->format[1] = '\0';
    b->itemsize = itemsize;
    b->free_fn = nullptr;
    b->capacity = 0;
    b->list = nullptr;
    return b;
}

// A block owning the memory of `a`. The block object is made first, so the
// array is never left without an owner.
template <class T>
PyObject* block_from(tarsk::py::pool::Array<T>& a, int ndim, char format) {
    BlockObject* b = new_block(a.size(), ndim, format, ndim == 2 ? sizeof(double) : sizeof(T));
    auto mem = a.release();
    b->data = reinterpret_cast<char*>(mem.data);
    b->free_fn = &free_array<T>;
    b->capacity = mem.capacity;
    return reinterpret_cast<PyObject*>(b);
}

// ---------------------------------------------------------------------------
// Arguments

Instance<VecListData>* veclist_arg(PyObject* o, const char* name) {
    if (Py_TYPE(o) != g_veclist) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected VecList, got '%.200s'", name, Py_TYPE(o)->tp_name);
        throw PyErrSet{};
    }
    return reinterpret_cast<Instance<VecListData>*>(o);
}

Vec3d vec3d_arg(PyObject* o, const char* name) {
    if (Py_TYPE(o) != g_vec3d) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected Vec3d, got '%.200s'", name, Py_TYPE(o)->tp_name);
        throw PyErrSet{};
    }
    return reinterpret_cast<Instance<Vec3d>*>(o)->value;
}

// Shared access to a list for the life of this object.
class SharedAccess {
public:
    explicit SharedAccess(Instance<VecListData>* inst) : word_(&inst->borrow) {
        std::uintptr_t cur = word_->load(std::memory_order_relaxed);
        do {
            if (cur == tarsk::py::exclusive_flag) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } while (!word_->compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    ~SharedAccess() {
        if (word_) word_->fetch_sub(1, std::memory_order_release);
    }
    // Keeps the access beyond this object (a view takes it over).
    void keep() { word_ = nullptr; }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;

private:
    std::atomic<std::uintptr_t>* word_;
};

// The rows of an (n, 3) float64 array in C order, aligned, as the package
// prepares them (any exporter of such a buffer will do).
class Rows {
public:
    explicit Rows(PyObject* o) : buffer_(o, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) {
        const Py_buffer& v = buffer_.view();
        const char* f = v.format ? v.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        if (std::strcmp(f, "d") != 0 || v.itemsize != sizeof(double) || v.ndim != 2 || v.shape[1] != 3) {
            raise(PyExc_ValueError, "expected a C-contiguous float64 buffer of shape (n, 3)");
        }
        rows_ = static_cast<std::size_t>(v.shape[0]);
        // An empty buffer may sit at any address (numpy still calls it
        // aligned); no row of it is ever read, so it is used as no memory.
        if (rows_ != 0 && reinterpret_cast<std::uintptr_t>(v.buf) % alignof(Vec3d) != 0) {
            raise(PyExc_ValueError, "expected an aligned buffer");
        }
    }
    Vec3d* data() const { return rows_ ? static_cast<Vec3d*>(buffer_.view().buf) : nullptr; }
    std::size_t size() const { return rows_; }
    std::span<const Vec3d> span() const { return {data(), rows_}; }

private:
    Buffer buffer_;
    std::size_t rows_ = 0;
};

// A new VecList object holding `items`. The object is allocated through the
// class's own allocation slot and released by its own dealloc slot.
PyObject* new_veclist(Items items) {
    PyObject* obj = g_veclist->tp_alloc(g_veclist, 0);
    if (!obj) throw PyErrSet{};
    auto* inst = reinterpret_cast<Instance<VecListData>*>(obj);
    new (&inst->value) VecListData{std::move(items)};
    new (&inst->borrow) std::atomic<std::uintptr_t>(0);
    return obj;
}

// A list that borrows the caller's rows for the length of one call. If
// anything still holds it when the call is done, it takes a copy of the rows
// into memory of its own before the rows go away.
class TempList {
public:
    explicit TempList(const Rows& rows) : obj_(new_veclist(Items::borrow(rows.data(), rows.size()))) {}
    ~TempList() {
        auto* inst = reinterpret_cast<Instance<VecListData>*>(obj_);
        if (Py_REFCNT(obj_) > 1 && inst->value.items.borrowed()) {
            try {
                inst->value.items = Items(inst->value.items);
            } catch (...) {
                // Without memory for the copy the list must not keep pointing
                // at memory it does not own: it is emptied instead.
                inst->value.items = Items();
            }
        }
        Py_DECREF(obj_);
    }
    TempList(const TempList&) = delete;
    TempList& operator=(const TempList&) = delete;
    PyObject* get() const { return obj_; }
    Items& items() { return reinterpret_cast<Instance<VecListData>*>(obj_)->value.items; }

private:
    PyObject* obj_;
};

// The elements of a VecList that a method has just returned, as a block.
// The new list is only referenced here, so its memory can be taken.
PyObject* take_result(PyObject* result) {
    Ref r(result);
    if (Py_TYPE(result) != g_veclist) raise(PyExc_SystemError, "a VecList method did not return a VecList");
    auto* inst = reinterpret_cast<Instance<VecListData>*>(result);
    if (Py_REFCNT(result) == 1 && inst->borrow.load(std::memory_order_acquire) == 0) {
        return block_from(inst->value.items, 2, 'd');
    }
    SharedAccess access(inst);
    Items copy(inst->value.items);
    return block_from(copy, 2, 'd');
}

// ---------------------------------------------------------------------------
// Module functions

// layout() -> dict: the instance size of every class of tarsk_py, as this
// module was built to expect it.
PyObject* layout(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        using namespace tarsk;
        Ref d(PyDict_New());
        auto put = [&](const char* name, std::size_t size) {
            Ref v(PyLong_FromSize_t(size));
            if (PyDict_SetItemString(d.get(), name, v.get()) != 0) throw PyErrSet{};
        };
        put("Vec3d", sizeof(Instance<Vec3d>));
        put("VecList", sizeof(Instance<VecListData>));
        put("VecListIterator", sizeof(Instance<tarsk::py::VecListIterData>));
        put("AngleRadians", sizeof(Instance<AngleRadians>));
        put("AngleDegrees", sizeof(Instance<AngleDegrees>));
        put("Quat", sizeof(Instance<Quat>));
        put("Plane", sizeof(Instance<geometry::Plane>));
        put("Circle", sizeof(Instance<geometry::Circle>));
        return d.release();
    });
}

// bind(module): reads the type objects of tarsk_py.
PyObject* bind(PyObject*, PyObject* module) {
    return guarded([module]() -> PyObject* {
        auto get = [module](const char* name) {
            PyObject* t = PyObject_GetAttrString(module, name);
            if (!t) throw PyErrSet{};
            if (!PyType_Check(t)) {
                Py_DECREF(t);
                raise(PyExc_ImportError, "tarsk_py does not define the expected classes");
            }
            return reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
        };
        g_vec3d = get("Vec3d");
        g_veclist = get("VecList");
        g_quat = get("Quat");
        Py_RETURN_NONE;
    });
}

// veclist_from_rows(rows) -> VecList: a copy of an (n, 3) float64 buffer.
PyObject* veclist_from_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Items items;
        {
            Rows rows(arg);
            items.resize(rows.size());
            if (rows.size()) std::memcpy(static_cast<void*>(items.data()), rows.data(), rows.size() * sizeof(Vec3d));
        }
        return new_veclist(std::move(items));
    });
}

// veclist_from_bytes(buffer) -> VecList: the elements from the raw bytes of
// a pickled list (any contiguous buffer of 24-byte records).
PyObject* veclist_from_bytes(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        Items items;
        {
            Buffer buffer(arg, PyBUF_C_CONTIGUOUS);
            const Py_buffer& v = buffer.view();
            if (v.len < 0 || static_cast<std::size_t>(v.len) % sizeof(Vec3d) != 0) {
                PyObject* pickle = PyImport_ImportModule("pickle");
                if (!pickle) throw PyErrSet{};
                PyObject* error = PyObject_GetAttrString(pickle, "UnpicklingError");
                Py_DECREF(pickle);
                if (!error) throw PyErrSet{};
                PyErr_Format(error, "corrupted VecList data: %zd bytes is not a whole number of 24-byte elements", v.len);
                Py_DECREF(error);
                throw PyErrSet{};
            }
            const std::size_t n = static_cast<std::size_t>(v.len) / sizeof(Vec3d);
            items.resize(n);
            if (n) std::memcpy(static_cast<void*>(items.data()), v.buf, n * sizeof(Vec3d));
        }
        return new_veclist(std::move(items));
    });
}

// copy_rows(veclist) -> Block: a copy of the elements, (n, 3) float64.
PyObject* copy_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        auto* inst = veclist_arg(arg, "veclist");
        Items copy;
        {
            SharedAccess access(inst);
            copy = inst->value.items;
        }
        return block_from(copy, 2, 'd');
    });
}

// view_rows(veclist) -> Block: a read-only (n, 3) view of the elements. The
// block holds a shared borrow of the list (so append, extend and rotate
// fail) and a reference to it until the block goes away.
PyObject* view_rows(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* {
        auto* inst = veclist_arg(arg, "veclist");
        BlockObject* b = new_block(0, 2, 'd', sizeof(double));
        Ref owner(reinterpret_cast<PyObject*>(b));
        SharedAccess access(inst);  // after the allocation: nothing runs between here and the return
        b->shape[0] = static_cast<Py_ssize_t>(inst->value.items.size());
        b->data = reinterpret_cast<char*>(inst->value.items.data());
        b->readonly = true;
        b->list = Py_NewRef(arg);
        access.keep();
        return owner.release();
    });
}

// call_list(rows, method, *args) -> Block: the VecList method or operator
// `method` called on a list borrowing `rows`, whose VecList result is handed
// over as an (n, 3) block. Operators are given by their slot name.
PyObject* call_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs < 2 || !PyUnicode_Check(args[1])) raise(PyExc_TypeError, "call_list(rows, method, *args)");
        Rows rows(args[0]);
        TempList tmp(rows);
        PyObject* method = args[1];
        const Py_ssize_t rest = nargs - 2;
        if (PyUnicode_CompareWithASCIIString(method, "__add__") == 0 && rest == 1)
            return take_result(PyNumber_Add(tmp.get(), args[2]));
        if (PyUnicode_CompareWithASCIIString(method, "__sub__") == 0 && rest == 1)
            return take_result(PyNumber_Subtract(tmp.get(), args[2]));
        if (PyUnicode_CompareWithASCIIString(method, "__mul__") == 0 && rest == 1)
            return take_result(PyNumber_Multiply(tmp.get(), args[2]));
        if (PyUnicode_CompareWithASCIIString(method, "__truediv__") == 0 && rest == 1)
            return take_result(PyNumber_TrueDivide(tmp.get(), args[2]));

        std::array<PyObject*, 4> call{};
        if (rest > 3) raise(PyExc_TypeError, "too many arguments");
        call[0] = tmp.get();
        for (Py_ssize_t k = 0; k < rest; ++k) call[static_cast<std::size_t>(k) + 1] = args[k + 2];
        Ref result(PyObject_VectorcallMethod(method, call.data(),
                                             static_cast<std::size_t>(rest + 1),
                                             nullptr));
        if (PyUnicode_Compare(method, g_name_rotate) == 0) {
            // In place: the rotated elements replaced the borrowed ones.
            if (tmp.items().borrowed()) raise(PyExc_SystemError, "rotate left the list unchanged");
            Items rotated = std::move(tmp.items());
            return block_from(rotated, 2, 'd');
        }
        if (PyUnicode_Compare(method, g_name_minimum_distance_to) == 0) return result.release();
        return take_result(result.release());
    });
}

// Scalar results of every element, each computed with the per-element
// function of the VecList method of the same name (one instantiation of the
// element loop, so even the NaN payloads agree), as an (n,) block. The element loop is the pool's own, run on the
// calling thread: these kernels are bound by memory bandwidth, and running
// them here leaves one worker pool in the process, tarsk_py's. The result
// does not depend on who runs the loop.
enum class Scalar { dot, magnitude, is_unit, distance_to, distance_squared };

template <class E, char Format, class F>
PyObject* map_rows(const Rows& rows, const F& f) {
    tarsk::py::pool::Array<E> out;
    out.resize(rows.size());
    tarsk::py::pool::detail::map_range(out.data(), rows.data(), rows.size(), f);
    return block_from(out, 1, Format);
}

PyObject* scalar_kernel(Scalar kind, PyObject* rows_obj, PyObject* other) {
    Vec3d o{0.0, 0.0, 0.0};
    if (other) o = vec3d_arg(other, "v");
    Rows rows(rows_obj);
    switch (kind) {
        case Scalar::dot: return map_rows<double, 'd'>(rows, tarsk::py::elementwise::Dot{o});
        case Scalar::magnitude: return map_rows<double, 'd'>(rows, tarsk::py::elementwise::Magnitude{});
        case Scalar::is_unit:
            return map_rows<std::uint8_t, '?'>(rows, [](const Vec3d& e) { return e.is_unit(); });
        case Scalar::distance_to:
            return map_rows<double, 'd'>(rows, tarsk::py::elementwise::DistanceTo{o});
        case Scalar::distance_squared:
            return map_rows<double, 'd'>(rows, tarsk::py::elementwise::DistanceSquared{o});
    }
    raise(PyExc_SystemError, "unknown kernel");
}

template <Scalar K>
PyObject* scalar_with_vec(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 2) raise(PyExc_TypeError, "expected (rows, v)");
        return scalar_kernel(K, args[0], args[1]);
    });
}

template <Scalar K>
PyObject* scalar_plain(PyObject*, PyObject* arg) {
    return guarded([arg]() -> PyObject* { return scalar_kernel(K, arg, nullptr); });
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

PyMethodDef module_methods[] = {
    {"layout", layout, METH_NOARGS, nullptr},
    {"bind", bind, METH_O, nullptr},
    {"veclist_from_rows", veclist_from_rows, METH_O, nullptr},
    {"veclist_from_bytes", veclist_from_bytes, METH_O, nullptr},
    {"copy_rows", copy_rows, METH_O, nullptr},
    {"view_rows", view_rows, METH_O, nullptr},
    {"call_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_list)), METH_FASTCALL, nullptr},
    {"dot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&scalar_with_vec<Scalar::dot>)),
     METH_FASTCALL, nullptr},
    {"distance_to", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&scalar_with_vec<Scalar::distance_to>)),
     METH_FASTCALL, nullptr},
    {"distance_squared",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&scalar_with_vec<Scalar::distance_squared>)),
     METH_FASTCALL, nullptr},
    {"magnitude", scalar_plain<Scalar::magnitude>, METH_O, nullptr},
    {"is_unit", scalar_plain<Scalar::is_unit>, METH_O, nullptr},
    {"real", real, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_native", nullptr, -1, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    using namespace tarsk::interop;
    PyObject* m = PyModule_Create(&module_def);
    if (!m) return nullptr;
#ifdef Py_GIL_DISABLED
    if (PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
#endif
    if (!g_block_type) {
        g_block_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&block_spec));
        g_name_rotate = PyUnicode_InternFromString("rotate");
        g_name_minimum_distance_to = PyUnicode_InternFromString("minimum_distance_to");
        if (!g_block_type || !g_name_rotate || !g_name_minimum_distance_to) {
            Py_DECREF(m);
            return nullptr;
        }
    }
    if (PyModule_AddObjectRef(m, "Block", reinterpret_cast<PyObject*>(g_block_type)) != 0 ||
        PyModule_AddStringConstant(m, "built_for", TARSK_VERSION) != 0) {
        Py_DECREF(m);
        return nullptr;
    }
    return m;
}
