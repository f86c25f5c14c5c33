// tarsk_interop._cloud: the point-cloud algorithms of the core library
// (tarsk/cloud.h) over buffers: fixed-block sums of the fits and their
// finishing steps, residuals, normals, RANSAC counts and ICP.
//
// Rows come as C-contiguous, aligned float64 buffers of three doubles per
// row that the package has checked for shape and finiteness; results go into
// buffers the package allocates (every size checked here), or come back as
// tuples of floats. A tree comes as its three buffers and depth, as the index
// module takes it, with every size checked against n and the depth.
//
// Every loop runs on tarsk_py's worker pool through its C ABI's
// `parallel_for`; the core computes per item or per fixed block, so no
// result depends on how the pool splits the work.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "tarsk_py/capi.h"
#include "buffers.h"
#include "support.h"
#include "tarsk/cloud.h"
#include "tarsk/kdtree.h"

namespace tarsk::interop::cloud_module {
namespace {

namespace kd = tarsk::kdtree;
namespace cl = tarsk::cloud;

const TarskCapi* g_api = nullptr;

void parallel_for(std::size_t n, std::size_t grain, void (*body)(void*, std::size_t, std::size_t), void* ctx) {
    g_api->parallel_for(n, grain, body, ctx);
}

std::uint64_t u64_arg(PyObject* o) {
    unsigned long long v = PyLong_AsUnsignedLongLong(o);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

// `count` floats of a sequence.
void doubles_arg(PyObject* o, double* out, std::size_t count) {
    Owned seq(PySequence_Fast(o, "expected a sequence of floats"));
    if (static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get())) != count) {
        throw_py(PyExc_ValueError, "a sequence of floats has the wrong length");
    }
    for (std::size_t j = 0; j < count; ++j) {
        out[j] = double_arg(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(j)));
    }
}

Vec3d vec_arg(PyObject* o) {
    double v[3];
    doubles_arg(o, v, 3);
    return {v[0], v[1], v[2]};
}

// Optional weights: one per row, or None.
const double* weights_of(PyObject* o, std::vector<double>& keep, std::size_t n) {
    if (o == Py_None) return nullptr;
    Buffer w(o, 'd', false);
    if (w.count() != n) throw_py(PyExc_ValueError, "one weight per row");
    keep.assign(w.data<double>(), w.data<double>() + n);
    return keep.data();
}

void check_args(Py_ssize_t nargs, Py_ssize_t expected, const char* usage) {
    if (nargs != expected) throw_py(PyExc_TypeError, usage);
}

PyObject* floats(const double* v, std::size_t count) {
    Owned t(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t j = 0; j < count; ++j) {
        PyObject* f = PyFloat_FromDouble(v[j]);
        if (!f) throw PyErrSet{};
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(j), f);
    }
    return t.release();
}

// A tree from its buffers (args[0..3]: points, perm, boxes, depth).
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
        std::vector<bool> seen(n, false);
        const std::uint32_t* p = perm.data<std::uint32_t>();
        for (std::size_t j = 0; j < n; ++j) {
            if (p[j] >= n || seen[p[j]]) throw_py(PyExc_ValueError, "bad permutation");
            seen[p[j]] = true;
        }
        view.points = points.data<double>();
        view.perm = p;
        view.boxes = reinterpret_cast<const kd::Box*>(boxes.data<float>());
        view.n = n;
        view.depth = static_cast<unsigned>(depth);
    }
};

// ---------------------------------------------------------------------------
// Fixed-block sums

// blocks(kind, rows, weights, params, out): per-block partials of one kind
// ("first", "second", "sphere", "circle") into out (block_count(n) * width).
// params: () for first; the centroid for second and sphere; origin, eu, ev
// (nine floats) for circle.
PyObject* blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 5, "blocks(kind, rows, weights, params, out)");
        const char* kind = PyUnicode_AsUTF8(args[0]);
        if (!kind) throw PyErrSet{};
        Buffer rows(args[1], 'd', false);
        const std::size_t n = row_count(rows);
        std::vector<double> keep;
        const double* w = weights_of(args[2], keep, n);
        Buffer out(args[4], 'd', true);
        const std::size_t nb = cl::block_count(n);
        double p[9];
        if (std::strcmp(kind, "first") == 0) {
            if (out.count() != nb * cl::first_width) throw_py(PyExc_ValueError, "bad output buffer");
            cl::first_blocks(rows.data<double>(), w, n, out.data<double>(), &parallel_for);
        } else if (std::strcmp(kind, "second") == 0) {
            doubles_arg(args[3], p, 3);
            if (out.count() != nb * cl::second_width) throw_py(PyExc_ValueError, "bad output buffer");
            cl::second_blocks(rows.data<double>(), w, n, p, out.data<double>(), &parallel_for);
        } else if (std::strcmp(kind, "sphere") == 0) {
            doubles_arg(args[3], p, 3);
            if (out.count() != nb * cl::sphere_width || w) throw_py(PyExc_ValueError, "bad output buffer");
            cl::sphere_blocks(rows.data<double>(), n, p, out.data<double>(), &parallel_for);
        } else if (std::strcmp(kind, "circle") == 0) {
            doubles_arg(args[3], p, 9);
            if (out.count() != nb * cl::circle_width || w) throw_py(PyExc_ValueError, "bad output buffer");
            cl::circle_blocks(rows.data<double>(), n, p, p + 3, p + 6, out.data<double>(), &parallel_for);
        } else {
            throw_py(PyExc_ValueError, "unknown kind of sums");
        }
        Py_RETURN_NONE;
    });
}

// sum_blocks(parts, width) -> the partials added in block order, a tuple.
PyObject* sum_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "sum_blocks(parts, width)");
        Buffer parts(args[0], 'd', false);
        const std::size_t width = size_arg(args[1]);
        if (width == 0 || width > 16 || parts.count() % width != 0) throw_py(PyExc_ValueError, "bad partials");
        double total[16];
        cl::sum_blocks(parts.data<double>(), parts.count() / width, width, total);
        return floats(total, width);
    });
}

// plane(first, second) -> (fault, normal x y z, distance, centroid x y z,
// low, middle, high): the least-squares plane through the centroid.
PyObject* plane(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "plane(first, second)");
        double first[cl::first_width], second[cl::second_width];
        doubles_arg(args[0], first, cl::first_width);
        doubles_arg(args[1], second, cl::second_width);
        const Vec3d c = cl::centroid(first);
        const cl::Scatter s = cl::analyse(second);
        const cl::Fault fault = cl::plane_fault(s, c, first[0]);
        const double d = -s.smallest.dot(c);
        const double out[11] = {static_cast<double>(fault), s.smallest.x, s.smallest.y, s.smallest.z, d,
                                c.x, c.y, c.z, s.low, s.middle, s.high};
        return floats(out, 11);
    });
}

// line(first, second) -> (fault, point x y z, direction x y z).
PyObject* line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "line(first, second)");
        double first[cl::first_width], second[cl::second_width];
        doubles_arg(args[0], first, cl::first_width);
        doubles_arg(args[1], second, cl::second_width);
        const Vec3d c = cl::centroid(first);
        const cl::Scatter s = cl::analyse(second);
        cl::Fault fault = cl::plane_fault(s, c, first[0]);
        if (fault == cl::Fault::collinear) fault = cl::Fault::none;  // a line needs no second direction
        const double out[7] = {static_cast<double>(fault), c.x, c.y, c.z, s.largest.x, s.largest.y, s.largest.z};
        return floats(out, 7);
    });
}

// sphere(centroid, sums) -> (fault, centre x y z, radius).
PyObject* sphere(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "sphere(centroid, sums)");
        const Vec3d c = vec_arg(args[0]);
        double sums[cl::sphere_width];
        doubles_arg(args[1], sums, cl::sphere_width);
        Vec3d rel{0.0, 0.0, 0.0};
        double radius = 0.0;
        cl::Fault fault = cl::spread_fault(sums, c);
        if (fault == cl::Fault::none) fault = cl::sphere_from(sums, rel, radius);
        const Vec3d centre = c + rel;
        const double out[5] = {static_cast<double>(fault), centre.x, centre.y, centre.z, radius};
        return floats(out, 5);
    });
}

// basis(normal) -> (eu x y z, ev x y z): the in-plane basis of a unit normal.
PyObject* basis(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 1, "basis(normal)");
        Vec3d eu, ev;
        cl::plane_basis(vec_arg(args[0]), eu, ev);
        const double out[6] = {eu.x, eu.y, eu.z, ev.x, ev.y, ev.z};
        return floats(out, 6);
    });
}

// circle(params, sums) -> (fault, centre x y z, radius); params as blocks'.
PyObject* circle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 2, "circle(params, sums)");
        double p[9], sums[cl::circle_width];
        doubles_arg(args[0], p, 9);
        doubles_arg(args[1], sums, cl::circle_width);
        double cu = 0.0, cv = 0.0, radius = 0.0;
        const cl::Fault fault = cl::circle_from(sums, cu, cv, radius);
        const Vec3d o{p[0], p[1], p[2]}, eu{p[3], p[4], p[5]}, ev{p[6], p[7], p[8]};
        const Vec3d centre = (o + eu * cu) + ev * cv;
        const double out[5] = {static_cast<double>(fault), centre.x, centre.y, centre.z, radius};
        return floats(out, 5);
    });
}

cl::Primitive primitive_arg(PyObject* const* args) {
    const char* shape = PyUnicode_AsUTF8(args[0]);
    if (!shape) throw PyErrSet{};
    cl::Primitive f{cl::Shape::plane, vec_arg(args[1]), vec_arg(args[2]), double_arg(args[3])};
    if (std::strcmp(shape, "plane") == 0) {
        f.shape = cl::Shape::plane;
    } else if (std::strcmp(shape, "line") == 0) {
        f.shape = cl::Shape::line;
    } else if (std::strcmp(shape, "sphere") == 0) {
        f.shape = cl::Shape::sphere;
    } else if (std::strcmp(shape, "circle") == 0) {
        f.shape = cl::Shape::circle;
    } else {
        throw_py(PyExc_ValueError, "unknown shape");
    }
    return f;
}

// residuals(shape, point, direction, value, rows, out): per row into out.
PyObject* residuals(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 6, "residuals(shape, point, direction, value, rows, out)");
        const cl::Primitive f = primitive_arg(args);
        Buffer rows(args[4], 'd', false);
        Buffer out(args[5], 'd', true);
        const std::size_t n = row_count(rows);
        if (out.count() != n) throw_py(PyExc_ValueError, "bad output buffer");
        cl::residuals(f, rows.data<double>(), n, out.data<double>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// residual_blocks(shape, point, direction, value, rows, weights, out):
// per-block (sum w, sum w r^2).
PyObject* residual_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 7, "residual_blocks(shape, point, direction, value, rows, weights, out)");
        const cl::Primitive f = primitive_arg(args);
        Buffer rows(args[4], 'd', false);
        const std::size_t n = row_count(rows);
        std::vector<double> keep;
        const double* w = weights_of(args[5], keep, n);
        Buffer out(args[6], 'd', true);
        if (out.count() != cl::block_count(n) * cl::residual_width) throw_py(PyExc_ValueError, "bad output buffer");
        cl::residual_blocks(f, rows.data<double>(), w, n, out.data<double>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// normals(points, perm, boxes, depth, rows, k, viewpoint, out): the unit
// normals of the tree's points (rows: the same points in original order).
PyObject* normals(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 8, "normals(points, perm, boxes, depth, rows, k, viewpoint, out)");
        Tree tree(args);
        Buffer rows(args[4], 'd', false);
        const std::size_t k = size_arg(args[5]);
        double vp[3];
        const bool has_vp = args[6] != Py_None;
        if (has_vp) doubles_arg(args[6], vp, 3);
        Buffer out(args[7], 'd', true);
        const std::size_t n = tree.view.n;
        if (row_count(rows) != n || out.count() != 3 * n || k < 1 || k > n) {
            throw_py(PyExc_ValueError, "inconsistent normal buffers");
        }
        cl::normals(tree.view, rows.data<double>(), k, has_vp ? vp : nullptr, out.data<double>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// normals_at(points, perm, boxes, depth, rows, x, k, viewpoint, out): the
// unit normals of query rows x from their k nearest points of the tree.
PyObject* normals_at(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 9, "normals_at(points, perm, boxes, depth, rows, x, k, viewpoint, out)");
        Tree tree(args);
        Buffer rows(args[4], 'd', false);
        Buffer x(args[5], 'd', false);
        const std::size_t k = size_arg(args[6]);
        double vp[3];
        const bool has_vp = args[7] != Py_None;
        if (has_vp) doubles_arg(args[7], vp, 3);
        Buffer out(args[8], 'd', true);
        const std::size_t n = tree.view.n;
        const std::size_t m = row_count(x);
        if (row_count(rows) != n || out.count() != 3 * m || k < 1 || k > n) {
            throw_py(PyExc_ValueError, "inconsistent normal buffers");
        }
        cl::normals_at(tree.view, rows.data<double>(), x.data<double>(), m, k, has_vp ? vp : nullptr,
                       out.data<double>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// ransac_counts(rows, threshold, seed, first, counts): inlier counts of the
// sampled planes of iterations [first, first + len(counts)).
PyObject* ransac_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 5, "ransac_counts(rows, threshold, seed, first, counts)");
        Buffer rows(args[0], 'd', false);
        const double threshold = double_arg(args[1]);
        const std::uint64_t seed = u64_arg(args[2]);
        const std::uint64_t first = u64_arg(args[3]);
        Buffer counts(args[4], 'q', true);
        const std::size_t n = row_count(rows);
        if (n < 3 || !(threshold > 0.0)) throw_py(PyExc_ValueError, "bad RANSAC arguments");
        cl::ransac_counts(rows.data<double>(), n, threshold, seed, first, counts.count(),
                          counts.data<std::int64_t>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

// sample_plane(rows, seed, iteration) -> (ok, normal x y z, distance, a, b, c).
PyObject* sample_plane(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 3, "sample_plane(rows, seed, iteration)");
        Buffer rows(args[0], 'd', false);
        const std::size_t n = row_count(rows);
        if (n < 3) throw_py(PyExc_ValueError, "bad RANSAC arguments");
        std::size_t idx[3];
        cl::sample(u64_arg(args[1]), u64_arg(args[2]), n, idx);
        Vec3d nv{0.0, 0.0, 0.0};
        double d = 0.0;
        const bool ok = cl::sample_plane(rows.data<double>(), idx, nv, d);
        const double out[8] = {ok ? 1.0 : 0.0, nv.x, nv.y, nv.z, d, static_cast<double>(idx[0]),
                               static_cast<double>(idx[1]), static_cast<double>(idx[2])};
        return floats(out, 8);
    });
}

// inliers(rows, normal, distance, threshold, make) -> the rows within
// threshold of the plane, an int64 array made by make(count).
PyObject* inliers(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 5, "inliers(rows, normal, distance, threshold, make)");
        std::vector<std::int64_t> found;
        {
            Buffer rows(args[0], 'd', false);
            cl::plane_inliers(rows.data<double>(), row_count(rows), vec_arg(args[1]), double_arg(args[2]),
                              double_arg(args[3]), found);
        }
        Owned size(PyLong_FromSize_t(found.size()));
        Owned arr(PyObject_CallOneArg(args[4], size.get()));
        {
            Buffer out(arr.get(), 'q', true);
            if (out.count() != found.size()) throw_py(PyExc_ValueError, "bad result array");
            if (!found.empty()) std::memcpy(out.data<std::int64_t>(), found.data(), found.size() * 8);
        }
        return arr.release();
    });
}

// icp(points, perm, boxes, depth, target, source, max_distance,
// max_iterations, tolerance, rotation, translation, normals) -> (w, i, j, k,
// tx, ty, tz, rmse, fitness, iterations, converged); normals: the target's
// unit normals (point to plane) or None.
PyObject* icp(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 12,
                   "icp(points, perm, boxes, depth, target, source, max_distance, max_iterations, tolerance, "
                   "rotation, translation, normals)");
        Tree tree(args);
        Buffer target(args[4], 'd', false);
        Buffer source(args[5], 'd', false);
        const double max_distance = double_arg(args[6]);
        const std::size_t max_iterations = size_arg(args[7]);
        const double tolerance = double_arg(args[8]);
        double q[4];
        doubles_arg(args[9], q, 4);
        const Vec3d t = vec_arg(args[10]);
        if (row_count(target) != tree.view.n || !(max_distance > 0.0) || !(tolerance >= 0.0)) {
            throw_py(PyExc_ValueError, "inconsistent ICP arguments");
        }
        std::vector<double> normals;
        if (args[11] != Py_None) {
            Buffer nb(args[11], 'd', false);
            if (nb.count() != 3 * tree.view.n) throw_py(PyExc_ValueError, "one normal per target row");
            normals.assign(nb.data<double>(), nb.data<double>() + nb.count());
        }
        const cl::IcpResult r =
            cl::icp(tree.view, target.data<double>(), source.data<double>(), row_count(source), max_distance,
                    max_iterations, tolerance, Quat{q[0], q[1], q[2], q[3]}, t, &parallel_for,
                    normals.empty() ? nullptr : normals.data());
        const double out[11] = {r.rotation.w, r.rotation.i, r.rotation.j, r.rotation.k,
                                r.translation.x, r.translation.y, r.translation.z, r.rmse, r.fitness,
                                static_cast<double>(r.iterations), r.converged ? 1.0 : 0.0};
        return floats(out, 11);
    });
}

// transform(rows, rotation, translation, out): rows moved into out.
PyObject* transform(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        check_args(nargs, 4, "transform(rows, rotation, translation, out)");
        Buffer rows(args[0], 'd', false);
        double q[4];
        doubles_arg(args[1], q, 4);
        const Vec3d t = vec_arg(args[2]);
        Buffer out(args[3], 'd', true);
        const std::size_t n = row_count(rows);
        if (out.count() != 3 * n) throw_py(PyExc_ValueError, "bad output buffer");
        cl::transform(rows.data<double>(), n, Quat{q[0], q[1], q[2], q[3]}, t, out.data<double>(), &parallel_for);
        Py_RETURN_NONE;
    });
}

#define TARSK_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&f))

PyMethodDef module_methods[] = {
    {"blocks", TARSK_FASTCALL(blocks), METH_FASTCALL, nullptr},
    {"sum_blocks", TARSK_FASTCALL(sum_blocks), METH_FASTCALL, nullptr},
    {"plane", TARSK_FASTCALL(plane), METH_FASTCALL, nullptr},
    {"line", TARSK_FASTCALL(line), METH_FASTCALL, nullptr},
    {"sphere", TARSK_FASTCALL(sphere), METH_FASTCALL, nullptr},
    {"basis", TARSK_FASTCALL(basis), METH_FASTCALL, nullptr},
    {"circle", TARSK_FASTCALL(circle), METH_FASTCALL, nullptr},
    {"residuals", TARSK_FASTCALL(residuals), METH_FASTCALL, nullptr},
    {"residual_blocks", TARSK_FASTCALL(residual_blocks), METH_FASTCALL, nullptr},
    {"normals", TARSK_FASTCALL(normals), METH_FASTCALL, nullptr},
    {"normals_at", TARSK_FASTCALL(normals_at), METH_FASTCALL, nullptr},
    {"ransac_counts", TARSK_FASTCALL(ransac_counts), METH_FASTCALL, nullptr},
    {"sample_plane", TARSK_FASTCALL(sample_plane), METH_FASTCALL, nullptr},
    {"inliers", TARSK_FASTCALL(inliers), METH_FASTCALL, nullptr},
    {"icp", TARSK_FASTCALL(icp), METH_FASTCALL, nullptr},
    {"transform", TARSK_FASTCALL(transform), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#undef TARSK_FASTCALL

// m_size 0: the initialisation runs on every import (see import_capi).
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_cloud", nullptr, 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop::cloud_module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__cloud() {
    using namespace tarsk::interop;
    using namespace tarsk::interop::cloud_module;
    return guarded([] { return create_module(&module_def, g_api); });
}
