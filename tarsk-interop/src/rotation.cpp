// tarsk_interop._rotation: the element loops and reductions of the rotation
// algebra over float64 buffers.
//
// The package hands every array over as a C-contiguous, aligned float64
// buffer of `count` rows of a fixed width, where `count` is either the row
// count n of the result or 1 (one rotation broadcast against n, read with a
// zero stride: the same bits as the tiled array). The result buffer is
// allocated by the caller and filled here; inputs are only read. Every
// formula is the core library's (tarsk/rotation.h); this file only walks the
// rows.
//
// Element loops run on tarsk_py's worker pool through one function,
// `parallel_for`. Each row is computed on its own, so
// the result does not depend on how the rows are split. Reductions (mean,
// align_vectors) sum fixed blocks of rows in row order, each block on its own,
// and then add the block sums in block order on the calling thread, so their
// bits do not depend on the split either.
#define PY_SSIZE_T_CLEAN
#include <Python.h>


#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <vector>

#include "tarsk_py/capi.h"
#include "support.h"
#include "tarsk/crmath.h"
#include "tarsk/quat.h"
#include "tarsk/rotation.h"
#include "tarsk/vec3d.h"

namespace tarsk::interop::rotation_module {
namespace {

namespace rot = tarsk::rotation;
using tarsk::Matrix3;
using tarsk::Quat;
using tarsk::Vec3d;

// ---------------------------------------------------------------------------
// The loop: tarsk_py's worker pool, reached through its C ABI (capi.h), the
// one header of tarsk_py this module knows.

const TarskCapi* g_api = nullptr;

using LoopBody = void (*)(void* ctx, std::size_t begin, std::size_t end);

void parallel_for(std::size_t n, std::size_t grain, LoopBody body, void* ctx) {
    g_api->parallel_for(n, grain, body, ctx);
}

// Rows per task of the element loops, and rows per block of the reductions
// (fixed: the reduction order depends on it, never on the workers).
constexpr std::size_t element_grain = 4096;
constexpr std::size_t block_rows = 4096;

// ---------------------------------------------------------------------------
// Buffers

// A float64 buffer of rows of `width` doubles, released on unwinding.
class Rows {
public:
    Rows(PyObject* o, std::size_t width, bool writable) : width_(width) {
        int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o, &view_, flags) != 0) throw PyErrSet{};
        held_ = true;
        const char* f = view_.format ? view_.format : "B";
        if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
        if (std::strcmp(f, "d") != 0 || view_.itemsize != sizeof(double) ||
            static_cast<std::size_t>(view_.len) % (width * sizeof(double)) != 0) {
            raise(PyExc_ValueError, "expected a C-contiguous float64 buffer of whole rows");
        }
        count_ = static_cast<std::size_t>(view_.len) / (width * sizeof(double));
        if (count_ != 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            raise(PyExc_ValueError, "expected an aligned buffer");
        }
    }
    ~Rows() {
        if (held_) PyBuffer_Release(&view_);
    }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;

    std::size_t count() const { return count_; }
    double* data() const { return static_cast<double*>(view_.buf); }
    // The stride in doubles for a result of n rows: the row width, or 0 for
    // one row broadcast against n.
    std::size_t stride_for(std::size_t n) const {
        if (count_ == n) return width_;
        if (count_ == 1) return 0;
        raise(PyExc_ValueError, "row counts of the arguments differ");
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::size_t width_ = 1;
    std::size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// Element operations. Each reads its input rows, writes its result row and
// returns a fault: 0 none, 1 or 2 a quaternion of zero norm in the first or
// second argument, 3 a non-finite matrix, 4 a matrix whose determinant is not
// positive, 5 a non-finite t; -1 marks a row at gimbal lock (a warning).

enum Fault : int {
    gimbal_lock = -1,
    no_fault = 0,
    zero_norm_first = 1,
    zero_norm_second = 2,
    non_finite_matrix = 3,
    non_positive_determinant = 4,
    non_finite_t = 5,
};

struct Params {
    rot::EulerSeq seq{{0, 1, 2}, false};
    std::uint64_t seed = 0;
};

using In = std::array<const double*, 3>;

Quat quat_at(const double* p) { return {p[0], p[1], p[2], p[3]}; }
void put(double* out, const Quat& q) {
    out[0] = q.w;
    out[1] = q.i;
    out[2] = q.j;
    out[3] = q.k;
}

struct Compose {
    static constexpr std::array<std::size_t, 3> widths{4, 4, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat p = quat_at(in[0]), q = quat_at(in[1]);
        if (rot::has_zero_norm(p)) return zero_norm_first;
        if (rot::has_zero_norm(q)) return zero_norm_second;
        put(out, rot::compose(p, q));
        return no_fault;
    }
};

struct Inverse {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        put(out, rot::inverse(q));
        return no_fault;
    }
};

struct ToMatrix {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 9;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        Matrix3 m = rot::to_matrix(q);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) out[3 * r + c] = m[r][c];
        }
        return no_fault;
    }
};

struct FromMatrix {
    static constexpr std::array<std::size_t, 3> widths{9, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Matrix3 m;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] = in[0][3 * r + c];
        }
        rot::MatrixFault fault;
        Quat q = rot::from_matrix(m, fault);
        if (fault == rot::MatrixFault::non_finite) return non_finite_matrix;
        if (fault == rot::MatrixFault::non_positive_determinant) return non_positive_determinant;
        put(out, q);
        return no_fault;
    }
};

struct FromScipyQuat {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = rot::from_scalar_last({in[0][0], in[0][1], in[0][2], in[0][3]});
        if (rot::has_zero_norm(q)) return zero_norm_first;
        put(out, q);
        return no_fault;
    }
};

struct ToScipyQuat {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        std::array<double, 4> a = rot::to_scalar_last(q);
        for (int c = 0; c < 4; ++c) out[c] = a[c];
        return no_fault;
    }
};

struct FromRotvec {
    static constexpr std::array<std::size_t, 3> widths{3, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        put(out, rot::from_rotvec({in[0][0], in[0][1], in[0][2]}));
        return no_fault;
    }
};

struct ToRotvec {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 3;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        Vec3d r = rot::to_rotvec(q);
        out[0] = r.x;
        out[1] = r.y;
        out[2] = r.z;
        return no_fault;
    }
};

struct MagnitudeAngle {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 1;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        out[0] = rot::magnitude_angle(q);
        return no_fault;
    }
};

struct Slerp {
    static constexpr std::array<std::size_t, 3> widths{4, 4, 1};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat p = quat_at(in[0]), q = quat_at(in[1]);
        double t = in[2][0];
        if (rot::has_zero_norm(p)) return zero_norm_first;
        if (rot::has_zero_norm(q)) return zero_norm_second;
        if (!(t - t == 0.0)) return non_finite_t;
        put(out, rot::slerp(p, q, t));
        return no_fault;
    }
};

struct FromEuler {
    static constexpr std::array<std::size_t, 3> widths{3, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In& in, double* out, std::size_t, const Params& p) {
        put(out, rot::from_euler(p.seq, {in[0][0], in[0][1], in[0][2]}));
        return no_fault;
    }
};

struct ToEuler {
    static constexpr std::array<std::size_t, 3> widths{4, 0, 0};
    static constexpr std::size_t out_width = 3;
    static int apply(const In& in, double* out, std::size_t, const Params& p) {
        Quat q = quat_at(in[0]);
        if (rot::has_zero_norm(q)) return zero_norm_first;
        bool lock = false;
        std::array<double, 3> a = rot::to_euler(q, p.seq, lock);
        out[0] = a[0];
        out[1] = a[1];
        out[2] = a[2];
        return lock ? gimbal_lock : no_fault;
    }
};

struct Random {
    static constexpr std::array<std::size_t, 3> widths{0, 0, 0};
    static constexpr std::size_t out_width = 4;
    static int apply(const In&, double* out, std::size_t index, const Params& p) {
        put(out, rot::random(p.seed, index));
        return no_fault;
    }
};

// The state of one element loop, shared by its tasks.
struct Loop {
    In in{};
    std::array<std::size_t, 3> stride{};
    double* out = nullptr;
    Params params;
    // The first faulty row (SIZE_MAX: none) and whether any row warned.
    std::atomic<std::size_t> first_fault{std::numeric_limits<std::size_t>::max()};
    std::atomic<bool> warned{false};
};

template <class Op>
void element_body(void* ctx, std::size_t begin, std::size_t end) {
    auto* loop = static_cast<Loop*>(ctx);
    std::size_t fault_row = std::numeric_limits<std::size_t>::max();
    bool warned = false;
    for (std::size_t r = begin; r < end; ++r) {
        In in{loop->in[0] + r * loop->stride[0], loop->in[1] + r * loop->stride[1], loop->in[2] + r * loop->stride[2]};
        int fault = Op::apply(in, loop->out + r * Op::out_width, r, loop->params);
        if (fault > 0) {
            fault_row = r;
            break;
        }
        if (fault < 0) warned = true;
    }
    if (warned) loop->warned.store(true, std::memory_order_relaxed);
    if (fault_row != std::numeric_limits<std::size_t>::max()) {
        // Keep the smallest faulty row of all tasks (relaxed: the loop's end
        // orders every task's stores before the caller reads them).
        std::size_t seen = loop->first_fault.load(std::memory_order_relaxed);
        while (fault_row < seen &&
               !loop->first_fault.compare_exchange_weak(seen, fault_row, std::memory_order_relaxed)) {
        }
    }
}

// run(op, out, a, b, c, param) -> (fault, row, warned): the element loop of
// operation `op` over the rows of `out`, reading a, b and c (None when the
// operation takes fewer). fault 0 means every row was written; otherwise it
// is the fault of the first faulty row `row`, and rows of the result may be
// left unwritten.
template <class Op>
PyObject* run_op(PyObject* out_obj, PyObject* const* inputs, const Params& params) {
    Rows out(out_obj, Op::out_width, true);
    const std::size_t n = out.count();
    std::optional<Rows> in[3];
    Loop loop;
    loop.params = params;
    loop.out = out.data();
    for (int k = 0; k < 3; ++k) {
        if (Op::widths[k] == 0) {
            loop.in[k] = nullptr;
            loop.stride[k] = 0;
            continue;
        }
        if (inputs[k] == Py_None) raise(PyExc_TypeError, "missing argument buffer");
        in[k].emplace(inputs[k], Op::widths[k], false);
        loop.in[k] = in[k]->data();
        loop.stride[k] = in[k]->stride_for(n);
    }
    parallel_for(n, element_grain, &element_body<Op>, &loop);
    std::size_t row = loop.first_fault.load(std::memory_order_relaxed);
    int fault = 0;
    if (row != std::numeric_limits<std::size_t>::max()) {
        // Which fault: the row is computed once more, on its own.
        std::array<double, 9> scratch{};
        In at{loop.in[0] + row * loop.stride[0], loop.in[1] + row * loop.stride[1], loop.in[2] + row * loop.stride[2]};
        fault = Op::apply(at, scratch.data(), row, params);
    } else {
        row = 0;
    }
    return Py_BuildValue("(inO)", fault, static_cast<Py_ssize_t>(row), loop.warned.load() ? Py_True : Py_False);
}

// The Euler sequence of a code: bits 0-5 the three axes (two bits each,
// first axis lowest), bit 6 intrinsic. The package checks the letters.
rot::EulerSeq seq_of(unsigned long code) {
    rot::EulerSeq seq;
    for (int n = 0; n < 3; ++n) {
        seq.axes[n] = static_cast<int>((code >> (2 * n)) & 3u);
        if (seq.axes[n] > 2) raise(PyExc_ValueError, "bad sequence code");
    }
    if (seq.axes[0] == seq.axes[1] || seq.axes[1] == seq.axes[2]) raise(PyExc_ValueError, "bad sequence code");
    seq.intrinsic = (code >> 6) & 1u;
    return seq;
}

// ---------------------------------------------------------------------------
// One rotation: the path of single calls, without the checks and conversions
// of the package. Every argument must already be what the row loop takes
// (a Quat, a C-contiguous float64 buffer of exactly one row, a float for t),
// and `out` a writable float64 buffer of one result row; anything else, and
// any fault, is left to the package's general path, which reports it.

// The doubles of a single argument, or false (no Python error left set).
bool single_row(PyObject* o, std::size_t width, double* row) {
    if (width == 4 && g_api->is_value(TARSK_QUAT, o) == 1) {
        if (g_api->get_value(TARSK_QUAT, o, row) == 0) return true;
        PyErr_Clear();
        return false;
    }
    if (width == 1 && (PyFloat_CheckExact(o) || PyLong_CheckExact(o))) {
        row[0] = PyFloat_AsDouble(o);
        if (row[0] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return true;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const char* f = view.format ? view.format : "B";
    if (f[0] == '@' || f[0] == '=' || f[0] == '<') ++f;
    // The shape of one row as the package reads it: (3, 3) for a matrix,
    // () for t, else (width,).
    bool shape_ok = width == 9 ? view.ndim == 2 && view.shape[0] == 3 && view.shape[1] == 3
                               : view.ndim == (width == 1 ? 0 : 1);
    bool ok = shape_ok && std::strcmp(f, "d") == 0 && view.itemsize == sizeof(double) &&
              static_cast<std::size_t>(view.len) == width * sizeof(double);
    if (ok) std::memcpy(row, view.buf, width * sizeof(double));
    PyBuffer_Release(&view);
    return ok;
}

// single(op, out, a, b, c, param) -> int: 0 done, -1 done at gimbal lock,
// 1 not done (the general path takes over).
template <class Op>
PyObject* single_op(PyObject* out_obj, PyObject* const* inputs, const Params& params) {
    std::array<std::array<double, 9>, 3> rows{};
    In in{nullptr, nullptr, nullptr};
    for (int k = 0; k < 3; ++k) {
        if (Op::widths[k] == 0) continue;
        if (!single_row(inputs[k], Op::widths[k], rows[k].data())) return PyLong_FromLong(1);
        in[k] = rows[k].data();
    }
    Py_buffer view;
    if (PyObject_GetBuffer(out_obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
        PyErr_Clear();
        return PyLong_FromLong(1);
    }
    std::array<double, 9> result{};
    int fault = 1;
    if (static_cast<std::size_t>(view.len) == Op::out_width * sizeof(double)) {
        fault = Op::apply(in, result.data(), 0, params);
        if (fault <= 0) std::memcpy(view.buf, result.data(), Op::out_width * sizeof(double));
    }
    PyBuffer_Release(&view);
    return PyLong_FromLong(fault > 0 ? 1 : fault);
}

// The parameter of op: an Euler sequence code or a seed.
Params params_of(long op, PyObject* param) {
    Params params;
    if (op == 10 || op == 11) {
        unsigned long code = PyLong_AsUnsignedLong(param);
        if (code == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        params.seq = seq_of(code);
    } else if (op == 12) {
        unsigned long long seed = PyLong_AsUnsignedLongLong(param);
        if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        params.seed = seed;
    }
    return params;
}

// Calls F<Op>(out, inputs, params) for the operation code `op`.
template <template <class> class F>
PyObject* dispatch(long op, PyObject* out, PyObject* const* inputs, const Params& params) {
    switch (op) {
        case 0: return F<Compose>::call(out, inputs, params);
        case 1: return F<Inverse>::call(out, inputs, params);
        case 2: return F<ToMatrix>::call(out, inputs, params);
        case 3: return F<FromMatrix>::call(out, inputs, params);
        case 4: return F<FromScipyQuat>::call(out, inputs, params);
        case 5: return F<ToScipyQuat>::call(out, inputs, params);
        case 6: return F<FromRotvec>::call(out, inputs, params);
        case 7: return F<ToRotvec>::call(out, inputs, params);
        case 8: return F<MagnitudeAngle>::call(out, inputs, params);
        case 9: return F<Slerp>::call(out, inputs, params);
        case 10: return F<FromEuler>::call(out, inputs, params);
        case 11: return F<ToEuler>::call(out, inputs, params);
        case 12: return F<Random>::call(out, inputs, params);
        default: raise(PyExc_ValueError, "unknown operation");
    }
}

template <class Op>
struct RunLoop {
    static PyObject* call(PyObject* out, PyObject* const* inputs, const Params& params) {
        return run_op<Op>(out, inputs, params);
    }
};

template <class Op>
struct RunSingle {
    static PyObject* call(PyObject* out, PyObject* const* inputs, const Params& params) {
        return single_op<Op>(out, inputs, params);
    }
};

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 6) raise(PyExc_TypeError, "run(op, out, a, b, c, param)");
        long op = PyLong_AsLong(args[0]);
        if (op == -1 && PyErr_Occurred()) throw PyErrSet{};
        return dispatch<RunLoop>(op, args[1], args + 2, params_of(op, args[5]));
    });
}

PyObject* single(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 6) raise(PyExc_TypeError, "single(op, out, a, b, c, param)");
        long op = PyLong_AsLong(args[0]);
        if (op == -1 && PyErr_Occurred()) throw PyErrSet{};
        return dispatch<RunSingle>(op, args[1], args + 2, params_of(op, args[5]));
    });
}

// ---------------------------------------------------------------------------
// Reductions over fixed blocks

struct MeanLoop {
    const double* q = nullptr;
    const double* weights = nullptr;  // null: every weight is 1
    std::size_t n = 0;
    std::vector<rot::Matrix4> blocks;
    std::atomic<std::size_t> first_fault{std::numeric_limits<std::size_t>::max()};
};

void keep_first(std::atomic<std::size_t>& first, std::size_t row) {
    std::size_t seen = first.load(std::memory_order_relaxed);
    while (row < seen && !first.compare_exchange_weak(seen, row, std::memory_order_relaxed)) {
    }
}

void mean_body(void* ctx, std::size_t begin, std::size_t end) {
    auto* loop = static_cast<MeanLoop*>(ctx);
    for (std::size_t b = begin; b < end; ++b) {
        rot::Matrix4 s{};
        const std::size_t first = b * block_rows;
        const std::size_t count = std::min(loop->n, first + block_rows) - first;
        const std::size_t done =
            rot::mean_add_rows(s, loop->q + 4 * first, loop->weights ? loop->weights + first : nullptr, count);
        if (done != count) keep_first(loop->first_fault, first + done);
        loop->blocks[b] = s;
    }
}

// mean(out, q, weights) -> (fault, row): the chordal mean of the n rows of q
// (weights None or n values, checked by the package) into out.
PyObject* mean(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 3) raise(PyExc_TypeError, "mean(out, q, weights)");
        Rows out(args[0], 4, true);
        Rows q(args[1], 4, false);
        std::optional<Rows> weights;
        MeanLoop loop;
        loop.q = q.data();
        loop.n = q.count();
        if (out.count() != 1 || loop.n == 0) raise(PyExc_ValueError, "bad mean buffers");
        if (args[2] != Py_None) {
            weights.emplace(args[2], 1, false);
            if (weights->count() != loop.n) raise(PyExc_ValueError, "bad weights buffer");
            loop.weights = weights->data();
        }
        const std::size_t nblocks = (loop.n + block_rows - 1) / block_rows;
        loop.blocks.resize(nblocks);
        parallel_for(nblocks, 1, &mean_body, &loop);
        std::size_t row = loop.first_fault.load(std::memory_order_relaxed);
        if (row != std::numeric_limits<std::size_t>::max()) {
            return Py_BuildValue("(in)", static_cast<int>(zero_norm_first), static_cast<Py_ssize_t>(row));
        }
        rot::Matrix4 total = loop.blocks[0];
        for (std::size_t b = 1; b < nblocks; ++b) rot::sum_into(total, loop.blocks[b]);
        put(out.data(), rot::mean_finish(total));
        return Py_BuildValue("(in)", 0, static_cast<Py_ssize_t>(0));
    });
}

struct AlignLoop {
    const double* a = nullptr;
    const double* b = nullptr;
    const double* weights = nullptr;
    std::size_t n = 0;
    std::vector<rot::AlignSums> blocks;
};

void align_body(void* ctx, std::size_t begin, std::size_t end) {
    auto* loop = static_cast<AlignLoop*>(ctx);
    for (std::size_t blk = begin; blk < end; ++blk) {
        rot::AlignSums s = rot::align_zero();
        const std::size_t first = blk * block_rows;
        const std::size_t count = std::min(loop->n, first + block_rows) - first;
        rot::align_add_rows(s, loop->a + 3 * first, loop->b + 3 * first,
                            loop->weights ? loop->weights + first : nullptr, count);
        loop->blocks[blk] = s;
    }
}

// align(out, a, b, weights) -> (fault, rssd): the rotation that best maps the
// rows of b onto those of a, into out. fault 1: one pair with a zero vector.
PyObject* align(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 4) raise(PyExc_TypeError, "align(out, a, b, weights)");
        Rows out(args[0], 4, true);
        Rows a(args[1], 3, false);
        Rows b(args[2], 3, false);
        std::optional<Rows> weights;
        AlignLoop loop;
        loop.a = a.data();
        loop.b = b.data();
        loop.n = a.count();
        if (out.count() != 1 || loop.n == 0 || b.count() != loop.n) raise(PyExc_ValueError, "bad align buffers");
        if (args[3] != Py_None) {
            weights.emplace(args[3], 1, false);
            if (weights->count() != loop.n) raise(PyExc_ValueError, "bad weights buffer");
            loop.weights = weights->data();
        }
        if (loop.n == 1) {
            const Vec3d av{loop.a[0], loop.a[1], loop.a[2]};
            const Vec3d bv{loop.b[0], loop.b[1], loop.b[2]};
            bool zero = false;
            Quat q = rot::align_pair(av, bv, zero);
            if (zero) return Py_BuildValue("(id)", 1, 0.0);
            const double w = loop.weights ? loop.weights[0] : 1.0;
            const double rssd = std::sqrt(w * av.distance_squared(q.rotate(bv)));
            put(out.data(), q);
            return Py_BuildValue("(id)", 0, rssd);
        }
        const std::size_t nblocks = (loop.n + block_rows - 1) / block_rows;
        loop.blocks.resize(nblocks);
        parallel_for(nblocks, 1, &align_body, &loop);
        rot::AlignSums total = loop.blocks[0];
        for (std::size_t blk = 1; blk < nblocks; ++blk) rot::align_sum_into(total, loop.blocks[blk]);
        double rssd = 0.0;
        put(out.data(), rot::align_finish(total, rssd));
        return Py_BuildValue("(id)", 0, rssd);
    });
}

// crmath(out, function, path, x, y): the core's correctly rounded functions
// element by element, for the tests. function: 0 sin, 1 cos, 2 atan2(x, y),
// 3 hypot(x, y) (y None for the others), 4 and 5 the sine and the cosine
// that sincos gives (path 0 only); path 0 the function, 1 its
// accurate path alone, 2 its fast path alone: rows (hi, lo, decided) of the
// double-double before rounding and 1 when the rounding test accepted it, 0
// when it did not, -1 when the argument does not take the fast path.
PyObject* crmath(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 5) raise(PyExc_TypeError, "crmath(out, function, path, x, y)");
        const long function = PyLong_AsLong(args[1]);
        const long path = PyLong_AsLong(args[2]);
        if (PyErr_Occurred()) throw PyErrSet{};
        if (function < 0 || function > 5 || path < 0 || path > 2 || (function > 3 && path != 0)) {
            raise(PyExc_ValueError, "bad function or path");
        }
        Rows out(args[0], path == 2 ? 3 : 1, true);
        Rows x(args[3], 1, false);
        const bool binary = function == 2 || function == 3;
        if (binary == (args[4] == Py_None)) raise(PyExc_TypeError, "y is needed by atan2 and hypot only");
        std::optional<Rows> y;
        if (binary) {
            y.emplace(args[4], 1, false);
            if (y->count() != x.count()) raise(PyExc_ValueError, "x and y differ in length");
        }
        if (out.count() != x.count()) raise(PyExc_ValueError, "bad result buffer");
        const double* xs = x.data();
        const double* ys = binary ? y->data() : nullptr;
        double* o = out.data();
        namespace cr = tarsk::cr;
        for (std::size_t i = 0, n = x.count(); i < n; ++i) {
            const double a = xs[i];
            const double b = binary ? ys[i] : 0.0;
            if (path == 2) {
                double hi = 0.0, lo = 0.0;
                int decided = -1;
                switch (function) {
                    case 0: decided = cr::detail::sin_fast(a, hi, lo); break;
                    case 1: decided = cr::detail::cos_fast(a, hi, lo); break;
                    case 2: decided = cr::detail::atan2_fast(a, b, hi, lo); break;
                    default: decided = cr::detail::hypot_fast(a, b, hi, lo); break;
                }
                o[3 * i] = hi;
                o[3 * i + 1] = lo;
                o[3 * i + 2] = decided;
                continue;
            }
            double r, sin_a, cos_a;
            switch (function) {
                case 4:
                case 5:
                    cr::sincos(a, sin_a, cos_a);
                    r = function == 4 ? sin_a : cos_a;
                    break;
                case 0: r = path ? cr::detail::sin_accurate(a) : cr::sin(a); break;
                case 1: r = path ? cr::detail::cos_accurate(a) : cr::cos(a); break;
                case 2: r = path ? cr::detail::atan2_accurate(a, b) : cr::atan2(a, b); break;
                default: r = path ? cr::detail::hypot_exact(a, b) : cr::hypot(a, b); break;
            }
            o[i] = r;
        }
        Py_RETURN_NONE;
    });
}

PyMethodDef module_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run)), METH_FASTCALL, nullptr},
    {"single", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&single)), METH_FASTCALL, nullptr},
    {"mean", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mean)), METH_FASTCALL, nullptr},
    {"align", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&align)), METH_FASTCALL, nullptr},
    {"crmath", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&crmath)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_rotation", nullptr, -1, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop::rotation_module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__rotation() {
    using namespace tarsk::interop;
    using namespace tarsk::interop::rotation_module;
    return guarded([]() -> PyObject* {
        if (!g_api) g_api = import_capi();
        Ref m(PyModule_Create(&module_def));
        declare_gil_free(m.get());
        return m.release();
    });
}
