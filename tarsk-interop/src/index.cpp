// tarsk_interop._index: the spatial index of the core library (tarsk/kdtree.h)
// over buffers.
//
// The package keeps a tree as three arrays, handed over on every call with
// its depth: the points in tree order (n rows of three float64), the
// permutation to their original rows (n uint32) and the boxes (node count x
// six float32). Queries come as C-contiguous, aligned float64 rows that the
// package has checked for shape and finiteness (`first_non_finite`); results
// go into buffers the package allocates, or into new int64 arrays made with
// the array constructor it passes in. Every size is checked here against n
// and the depth, so that no buffer, however it was made (an unpickled tree
// included), leads a search outside its memory.
//
// Every loop runs on tarsk_py's worker pool through its C ABI's
// `parallel_for`; the core computes each answer on its own, so no result
// depends on how the pool splits the work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tarsk_py/capi.h"
#include "buffers.h"
#include "support.h"
#include "tarsk/kdtree.h"

namespace tarsk::interop::index_module {
namespace {

namespace kd = tarsk::kdtree;

const TarskCapi* g_api = nullptr;

void parallel_for(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t), void* ctx) {
    g_api->parallel_for(n, grain, body, ctx);
}

// A tree from its buffers (args[0..3]: points, perm, boxes, depth), with
// every size checked.
struct Tree {
    Buffer points, perm, boxes;
    kd::View view;

    explicit Tree(PyObject* const* args)
        : points(args[0], 'd', false), perm(args[1], 'I', false), boxes(args[2], 'f', false) {
        const std::size_t n = row_count(points);
        const std::size_t depth = size_arg(args[3]);
        if (n > kd::max_points || depth > 32 || perm.count() != n ||
            boxes.count() != 6 * kd::node_count(static_cast<unsigned>(depth))) {
            throw_py(PyExc_ValueError, "inconsistent tree buffers");
        }
        view.points = points.data<double>();
        view.perm = perm.data<std::uint32_t>();
        view.boxes = reinterpret_cast<const kd::Box*>(boxes.data<float>());
        view.n = n;
        view.depth = static_cast<unsigned>(depth);
    }
};

// Raises unless the permutation holds 0 .. n-1, each once: the searches
// only report its entries, but pairs and unpermute place results by them.
void check_permutation(const kd::View& t) {
    std::vector<bool> seen(t.n, false);
    for (std::size_t j = 0; j < t.n; ++j) {
        if (t.perm[j] >= t.n || seen[t.perm[j]]) throw_py(PyExc_ValueError, "bad permutation");
        seen[t.perm[j]] = true;
    }
}

void check_args(Py_ssize_t nargs, Py_ssize_t expected, const char* usage) {
    if (nargs != expected) throw_py(PyExc_TypeError, usage);
}

// A new int64 array of `count` items from the package's constructor.
PyObject* new_rows(PyObject* make, std::size_t count) {
    Owned size(PyLong_FromSize_t(count));
    return PyObject_CallOneArg(make, size.get());
}

// ---------------------------------------------------------------------------
// Functions

// depth(n, leafsize) -> the depth of the tree.
PyObject* depth(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "depth(n, leafsize)");
        return PyLong_FromUnsignedLong(kd::depth_for(size_arg(args[0]), size_arg(args[1])));
    });
}

// first_non_finite(rows) -> the first row with a NaN or an infinity, or -1.
PyObject* first_non_finite(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 1, "first_non_finite(rows)");
        Buffer rows(args[0], 'd', false);
        const std::size_t n = row_count(rows);
        const std::size_t row = kd::first_non_finite(rows.data<double>(), n, &parallel_for);
        return PyLong_FromSsize_t(row == n ? -1 : static_cast<Py_ssize_t>(row));
    });
}

// is_permutation(perm) -> whether the n entries are 0 .. n-1, each once.
PyObject* is_permutation(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 1, "is_permutation(perm)");
        Buffer perm(args[0], 'I', false);
        const std::size_t n = perm.count();
        std::vector<bool> seen(n, false);
        const std::uint32_t* p = perm.data<std::uint32_t>();
        for (std::size_t j = 0; j < n; ++j) {
            if (p[j] >= n || seen[p[j]]) Py_RETURN_FALSE;
            seen[p[j]] = true;
        }
        Py_RETURN_TRUE;
    });
}

// build(rows, points, perm, boxes, depth): the tree of finite rows into the
// three buffers.
PyObject* build(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 5, "build(rows, points, perm, boxes, depth)");
        Buffer rows(args[0], 'd', false);
        Buffer points(args[1], 'd', true);
        Buffer perm(args[2], 'I', true);
        Buffer boxes(args[3], 'f', true);
        const std::size_t n = row_count(rows);
        const std::size_t depth = size_arg(args[4]);
        if (n > kd::max_points || depth > 32 || points.count() != 3 * n || perm.count() != n ||
            boxes.count() != 6 * kd::node_count(static_cast<unsigned>(depth))) {
            throw_py(PyExc_ValueError, "inconsistent build buffers");
        }
        if (kd::first_non_finite(rows.data<double>(), n, &parallel_for) != n) {
            throw_py(PyExc_ValueError, "non-finite rows");
        }
        kd::build(rows.data<double>(), n, static_cast<unsigned>(depth), points.data<double>(),
                  perm.data<std::uint32_t>(), reinterpret_cast<kd::Box*>(boxes.data<float>()), &parallel_for);
        Py_RETURN_NONE;
    });
}

// query(points, perm, boxes, depth, x, k, upper_bound, d, i): the k nearest
// of each row of x into d and i (m * k each).
PyObject* query(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 9, "query(points, perm, boxes, depth, x, k, upper_bound, d, i)");
        Tree tree(args);
        Buffer x(args[4], 'd', false);
        const std::size_t k = size_arg(args[5]);
        const double bound = double_arg(args[6]);
        Buffer d(args[7], 'd', true);
        Buffer i(args[8], 'q', true);
        const std::size_t m = row_count(x);
        if (k == 0 || !(bound >= 0.0) || d.count() / k != m || d.count() % k != 0 || i.count() != d.count()) {
            throw_py(PyExc_ValueError, "inconsistent query buffers");
        }
        kd::query(tree.view, x.data<double>(), m, k, bound, d.data<double>(), i.data<std::int64_t>(),
                  &parallel_for);
        Py_RETURN_NONE;
    });
}

// ball(points, perm, boxes, depth, x, r, make) -> (rows, offsets): the rows
// within r of each query, query q's at rows[offsets[q]:offsets[q + 1]], as
// two int64 arrays made by make(count).
PyObject* ball(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 7, "ball(points, perm, boxes, depth, x, r, make)");
        std::vector<std::int64_t> rows;
        std::vector<std::size_t> offsets;
        {
            Tree tree(args);
            Buffer x(args[4], 'd', false);
            const double r = double_arg(args[5]);
            if (!(r >= 0.0)) throw_py(PyExc_ValueError, "bad radius");
            kd::ball(tree.view, x.data<double>(), row_count(x), r, rows, offsets, &parallel_for);
        }
        Owned flat(new_rows(args[6], rows.size()));
        Owned starts(new_rows(args[6], offsets.size()));
        {
            Buffer out(flat.get(), 'q', true);
            Buffer at(starts.get(), 'q', true);
            if (out.count() != rows.size() || at.count() != offsets.size()) {
                throw_py(PyExc_ValueError, "bad result array");
            }
            if (!rows.empty()) std::memcpy(out.data<std::int64_t>(), rows.data(), rows.size() * sizeof(std::int64_t));
            for (std::size_t q = 0; q < offsets.size(); ++q) {
                at.data<std::int64_t>()[q] = static_cast<std::int64_t>(offsets[q]);
            }
        }
        return PyTuple_Pack(2, flat.get(), starts.get());
    });
}

// split(rows, offsets) -> the list of rows[offsets[q]:offsets[q + 1]], views.
PyObject* split(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "split(rows, offsets)");
        std::vector<std::int64_t> at;
        {
            Buffer offsets(args[1], 'q', false);
            at.assign(offsets.data<std::int64_t>(), offsets.data<std::int64_t>() + offsets.count());
        }
        if (at.empty()) throw_py(PyExc_ValueError, "bad offsets");
        Owned list(PyList_New(static_cast<Py_ssize_t>(at.size() - 1)));
        for (std::size_t q = 0; q + 1 < at.size(); ++q) {
            Owned lo(PyLong_FromLongLong(at[q]));
            Owned hi(PyLong_FromLongLong(at[q + 1]));
            Owned slice(PySlice_New(lo.get(), hi.get(), nullptr));
            PyObject* part = PyObject_GetItem(args[0], slice.get());
            if (!part) throw PyErrSet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(q), part);
        }
        return list.release();
    });
}

// ball_count(points, perm, boxes, depth, x, r, count): the number of rows
// within r of each query into count (m int64).
PyObject* ball_count(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 7, "ball_count(points, perm, boxes, depth, x, r, count)");
        Tree tree(args);
        Buffer x(args[4], 'd', false);
        const double r = double_arg(args[5]);
        Buffer count(args[6], 'q', true);
        const std::size_t m = row_count(x);
        if (!(r >= 0.0) || count.count() != m) throw_py(PyExc_ValueError, "inconsistent count buffers");
        kd::ball_count(tree.view, x.data<double>(), m, r, count.data<std::int64_t>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// pairs(points, perm, boxes, depth, r, make) -> a flat int64 array of the
// pairs (i, j), i < j, within r, in lexicographic order.
PyObject* pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 6, "pairs(points, perm, boxes, depth, r, make)");
        Tree tree(args);
        const double r = double_arg(args[4]);
        if (!(r >= 0.0)) throw_py(PyExc_ValueError, "bad radius");
        check_permutation(tree.view);
        // The result array, made when the count is known and written in place.
        struct Out {
            PyObject* make;
            PyObject* array = nullptr;
            Py_buffer view{};
            bool held = false;
            ~Out() {
                if (held) PyBuffer_Release(&view);
                Py_XDECREF(array);
            }
        } out{args[5]};
        auto allocate = [](void* ctx, std::size_t count) -> std::int64_t* {
            auto* o = static_cast<Out*>(ctx);
            o->array = new_rows(o->make, count);
            if (!o->array) throw PyErrSet{};
            if (PyObject_GetBuffer(o->array, &o->view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) throw PyErrSet{};
            o->held = true;
            if (static_cast<std::size_t>(o->view.len) != count * sizeof(std::int64_t)) {
                throw_py(PyExc_ValueError, "bad result array");
            }
            return static_cast<std::int64_t*>(o->view.buf);
        };
        kd::pairs(tree.view, r, allocate, &out, &parallel_for);
        if (!out.array) throw_py(PyExc_SystemError, "no pairs array");
        PyObject* result = out.array;
        Py_INCREF(result);
        return result;
    });
}

// Context of unpermute.
struct Unpermute {
    const double* points;
    const std::uint32_t* perm;
    double* out;
};

void unpermute_body(void* ctx, std::size_t begin, std::size_t end) {
    auto* u = static_cast<Unpermute*>(ctx);
    for (std::size_t j = begin; j < end; ++j) {
        std::memcpy(u->out + 3 * static_cast<std::size_t>(u->perm[j]), u->points + 3 * j, 3 * sizeof(double));
    }
}

// unpermute(points, perm, boxes, depth, out): the points in their original
// order into out (n rows).
PyObject* unpermute(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 5, "unpermute(points, perm, boxes, depth, out)");
        Tree tree(args);
        Buffer out(args[4], 'd', true);
        if (out.count() != 3 * tree.view.n) throw_py(PyExc_ValueError, "bad output buffer");
        check_permutation(tree.view);
        Unpermute u{tree.view.points, tree.view.perm, out.data<double>()};
        parallel_for(tree.view.n, 8192, &unpermute_body, &u);
        Py_RETURN_NONE;
    });
}

#define TARSK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f))

PyMethodDef module_methods[] = {
    {"depth", TARSK_FASTCALL(depth), METH_FASTCALL, nullptr},
    {"first_non_finite", TARSK_FASTCALL(first_non_finite), METH_FASTCALL, nullptr},
    {"is_permutation", TARSK_FASTCALL(is_permutation), METH_FASTCALL, nullptr},
    {"build", TARSK_FASTCALL(build), METH_FASTCALL, nullptr},
    {"query", TARSK_FASTCALL(query), METH_FASTCALL, nullptr},
    {"ball", TARSK_FASTCALL(ball), METH_FASTCALL, nullptr},
    {"split", TARSK_FASTCALL(split), METH_FASTCALL, nullptr},
    {"ball_count", TARSK_FASTCALL(ball_count), METH_FASTCALL, nullptr},
    {"pairs", TARSK_FASTCALL(pairs), METH_FASTCALL, nullptr},
    {"unpermute", TARSK_FASTCALL(unpermute), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef TARSK_FASTCALL

// m_size 0: the initialisation runs on every import (see import_capi).
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_index", nullptr, 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop::index_module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__index() {
    using namespace tarsk::interop;
    using namespace tarsk::interop::index_module;
    return guarded([] { return create_module(&module_def, g_api); });
}
