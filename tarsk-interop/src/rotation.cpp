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
#include <string>
#include <utility>
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

// Rows per block of the reductions (fixed: the reduction order depends on
// it, never on the workers). The element loops' grains are the operations'
// own (see Signature).
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
            throw_py(PyExc_ValueError, "expected a C-contiguous float64 buffer of whole rows");
        }
        count_ = static_cast<std::size_t>(view_.len) / (width * sizeof(double));
        if (count_ != 0 && reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) != 0) {
            throw_py(PyExc_ValueError, "expected an aligned buffer");
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
        throw_py(PyExc_ValueError, "row counts of the arguments differ");
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    std::size_t width_ = 1;
    std::size_t count_ = 0;
};

// ---------------------------------------------------------------------------
// The table of element operations. An operation is one struct: its row, the
// whole description the package makes its function from (name, parameters
// and their kinds, result, the degrees option, summary; the package's
// wrapper, its Dask wrapper, its fault messages and its signature follow
// from the row), and `apply`, which reads its input rows, writes its result
// row and returns a fault: 0 none, -1 a row at gimbal lock (a warning), else
// fault_code(kind, argument): what is wrong and in which argument (0, 1, 2).
// The package turns a code into its message from the argument's name and
// kind, so no operation has codes of its own.

enum FaultKind : int { zero_norm = 0, non_finite = 1, reflection = 2, rank_below_two = 3 };

constexpr int fault_code(FaultKind kind, int argument) { return 1 + 3 * static_cast<int>(kind) + argument; }
constexpr int gimbal_lock = -1;
constexpr int no_fault = 0;

// What a parameter takes. Every kind but seq is a row argument, read from
// rows of its width: quat a Quat, (4,) or (n, 4) in (w, i, j, k); scipy
// (4,) or (n, 4) scalar-last; rotvec, angles and vector (3,) or (n, 3);
// matrix (3, 3) or (n, 3, 3); scalar a number or (n,). seq is an Euler
// sequence (a str of three axes).
enum class Kind : int { none, quat, scipy, rotvec, angles, vector, matrix, scalar, seq };
constexpr const char* kind_names[] = {"", "quat", "scipy", "rotvec", "angles", "vector", "matrix", "scalar", "seq"};

constexpr std::size_t width_of(Kind kind) {
    switch (kind) {
        case Kind::quat:
        case Kind::scipy: return 4;
        case Kind::rotvec:
        case Kind::angles:
        case Kind::vector: return 3;
        case Kind::matrix: return 9;
        case Kind::scalar: return 1;
        default: return 0;
    }
}

// One result row: out_width doubles, a 3x3 matrix, a number or a flag (the
// package gives bools).
enum class Result : int { row, matrix, number, flag };
// The degrees=False option: angles taken in degrees (in) or given in
// degrees (out).
enum class Degrees : int { none, in, out };

struct Param {
    const char* name = nullptr;
    Kind kind = Kind::none;
};

// Rows per task of the element loops: the pool takes a loop of at least two
// grains. Operations of a few nanoseconds a row hand over only large loops;
// those of the correctly rounded functions (about a hundred nanoseconds a
// row) already pay for the hand-over at a few hundred rows.
constexpr std::size_t cheap = 4096;
constexpr std::size_t costly = 256;
// Those that run the correctly rounded functions over blocks of rows at once
// (a few tens of nanoseconds a row) from a thousand rows or two.
constexpr std::size_t batched = 1024;

struct Signature {
    const char* name;
    std::array<Param, 3> params;  // in call order
    Result result;
    std::size_t out_width;  // doubles of one result row
    Degrees degrees = Degrees::none;
    // The summary of the package's function; null for an operation the
    // package writes out itself (random, rotate).
    const char* summary = nullptr;
    std::size_t grain = cheap;
};

// The widths of the row arguments, in order (0 past the last).
constexpr std::array<std::size_t, 3> row_widths(const Signature& s) {
    std::array<std::size_t, 3> widths{0, 0, 0};
    std::size_t k = 0;
    for (const Param& p : s.params) {
        if (width_of(p.kind) != 0) widths[k++] = width_of(p.kind);
    }
    return widths;
}

constexpr std::array<Kind, 3> row_kinds(const Signature& s) {
    std::array<Kind, 3> kinds{Kind::none, Kind::none, Kind::none};
    std::size_t k = 0;
    for (const Param& p : s.params) {
        if (width_of(p.kind) != 0) kinds[k++] = p.kind;
    }
    return kinds;
}

template <class Op>
constexpr std::array<std::size_t, 3> widths_of = row_widths(Op::row);

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

// A quaternion argument that names a rotation: finite and not all zero.
int check_quat(const Quat& q, int argument) {
    if (!rot::is_finite(q)) return fault_code(non_finite, argument);
    if (rot::has_zero_norm(q)) return fault_code(zero_norm, argument);
    return no_fault;
}

// A row of `width` finite doubles.
int check_finite(const double* row, std::size_t width, int argument) {
    double zero = 0.0;
    for (std::size_t c = 0; c < width; ++c) zero = zero + (row[c] - row[c]);
    return zero == 0.0 ? no_fault : fault_code(non_finite, argument);
}

struct Compose {
    static constexpr Signature row{"compose", {{{"p", Kind::quat}, {"q", Kind::quat}}}, Result::row, 4,
                                   Degrees::none, "The rotation that applies q first, then p (scipy's p * q)."};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat p = quat_at(in[0]), q = quat_at(in[1]);
        if (int f = check_quat(p, 0)) return f;
        if (int f = check_quat(q, 1)) return f;
        put(out, rot::compose(p, q));
        return no_fault;
    }
};

struct Inverse {
    static constexpr Signature row{"inverse", {{{"q", Kind::quat}}}, Result::row, 4, Degrees::none,
                                   "The opposite rotation: the conjugate (w, -i, -j, -k), exact."};
    static bool rows(const double* in, std::size_t n, double* out) { return rot::inverse_rows(in, n, out); }
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        put(out, rot::inverse(q));
        return no_fault;
    }
};

struct ToMatrix {
    static constexpr Signature row{"to_matrix", {{{"q", Kind::quat}}}, Result::matrix, 9, Degrees::none,
                                   "Matrices that map column vectors as rotate does."};
    static bool rows(const double* in, std::size_t n, double* out) { return rot::to_matrix_rows(in, n, out); }
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        Matrix3 m = rot::to_matrix(q);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) out[3 * r + c] = m[r][c];
        }
        return no_fault;
    }
};

struct FromMatrix {
    static constexpr Signature row{"from_matrix", {{{"m", Kind::matrix}}}, Result::row, 4, Degrees::none,
                                   "The rotations of matrices that map column vectors.", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Matrix3 m;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m[r][c] = in[0][3 * r + c];
        }
        rot::MatrixFault fault;
        Quat q = rot::from_matrix(m, fault);
        switch (fault) {
            case rot::MatrixFault::none: break;
            case rot::MatrixFault::non_finite: return fault_code(non_finite, 0);
            case rot::MatrixFault::reflection: return fault_code(reflection, 0);
            case rot::MatrixFault::rank_below_two: return fault_code(rank_below_two, 0);
        }
        put(out, q);
        return no_fault;
    }
};

struct FromScipyQuat {
    static constexpr Signature row{"from_scipy_quat", {{{"a", Kind::scipy}}}, Result::row, 4, Degrees::none,
                                   "scipy's scalar-last quaternions as (w, -x, -y, -z)."};
    static bool rows(const double* in, std::size_t n, double* out) { return rot::from_scalar_last_rows(in, n, out); }
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = rot::from_scalar_last({in[0][0], in[0][1], in[0][2], in[0][3]});
        if (int f = check_quat(q, 0)) return f;
        put(out, q);
        return no_fault;
    }
};

struct ToScipyQuat {
    static constexpr Signature row{"to_scipy_quat", {{{"q", Kind::quat}}}, Result::row, 4, Degrees::none,
                                   "The scalar-last quaternions (x, y, z, w) = (-i, -j, -k, w)."};
    static bool rows(const double* in, std::size_t n, double* out) { return rot::to_scalar_last_rows(in, n, out); }
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        std::array<double, 4> a = rot::to_scalar_last(q);
        for (int c = 0; c < 4; ++c) out[c] = a[c];
        return no_fault;
    }
};

struct FromRotvec {
    static constexpr Signature row{"from_rotvec", {{{"r", Kind::rotvec}}}, Result::row, 4, Degrees::in,
                                   "Rotations from rotation vectors (axis times angle).", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        if (int f = check_finite(in[0], 3, 0)) return f;
        put(out, rot::from_rotvec({in[0][0], in[0][1], in[0][2]}));
        return no_fault;
    }
};

struct ToRotvec {
    static constexpr Signature row{"to_rotvec", {{{"q", Kind::quat}}}, Result::row, 3, Degrees::out,
                                   "Rotation vectors with the angle in [0, pi].", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        Vec3d r = rot::to_rotvec(q);
        out[0] = r.x;
        out[1] = r.y;
        out[2] = r.z;
        return no_fault;
    }
};

struct MagnitudeAngle {
    static constexpr Signature row{"magnitude_angle", {{{"q", Kind::quat}}}, Result::number, 1, Degrees::out,
                                   "The rotation angle in [0, pi].", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        out[0] = rot::magnitude_angle(q);
        return no_fault;
    }
};

struct Slerp {
    static constexpr Signature row{"slerp", {{{"p", Kind::quat}, {"q", Kind::quat}, {"t", Kind::scalar}}},
                                   Result::row, 4, Degrees::none,
                                   "Spherical linear interpolation on the shortest path.", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat p = quat_at(in[0]), q = quat_at(in[1]);
        double t = in[2][0];
        if (int f = check_quat(p, 0)) return f;
        if (int f = check_quat(q, 1)) return f;
        if (int f = check_finite(in[2], 1, 2)) return f;
        put(out, rot::slerp(p, q, t));
        return no_fault;
    }
};

struct FromEuler {
    static constexpr Signature row{"from_euler", {{{"seq", Kind::seq}, {"angles", Kind::angles}}}, Result::row, 4,
                                   Degrees::in, "Rotations from Euler angles.", costly};
    static int apply(const In& in, double* out, std::size_t, const Params& p) {
        if (int f = check_finite(in[0], 3, 0)) return f;
        put(out, rot::from_euler(p.seq, {in[0][0], in[0][1], in[0][2]}));
        return no_fault;
    }
};

struct ToEuler {
    static constexpr Signature row{"to_euler", {{{"q", Kind::quat}, {"seq", Kind::seq}}}, Result::row, 3,
                                   Degrees::out, "Euler angles in scipy's ranges.", batched};
    static bool rows(const double* in, std::size_t n, double* out, const Params& p, bool& warned) {
        return rot::to_euler_rows(in, n, p.seq, out, warned);
    }
    static int apply(const In& in, double* out, std::size_t, const Params& p) {
        Quat q = quat_at(in[0]);
        if (int f = check_quat(q, 0)) return f;
        bool lock = false;
        std::array<double, 3> a = rot::to_euler(q, p.seq, lock);
        out[0] = a[0];
        out[1] = a[1];
        out[2] = a[2];
        return lock ? gimbal_lock : no_fault;
    }
};

struct Random {
    static constexpr Signature row{"random", {}, Result::row, 4};
    static int apply(const In&, double* out, std::size_t index, const Params& p) {
        put(out, rot::random(p.seed, index));
        return no_fault;
    }
};

// Row i of the vectors turned by row i of the quaternions, as Quat.rotate
// turns it (q not normalised, nothing refused): the bits of
// Quat(*q_i).rotate(Vec3d(*a_i)).
struct Rotate {
    static constexpr Signature row{"rotate", {{{"a", Kind::vector}, {"q", Kind::quat}}}, Result::row, 3};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        const Vec3d r = quat_at(in[1]).rotate(Vec3d{in[0][0], in[0][1], in[0][2]});
        out[0] = r.x;
        out[1] = r.y;
        out[2] = r.z;
        return no_fault;
    }
};

// Whether p and q name rotations within atol of each other: the angle of
// the turn between them, 2 atan2(|p - q|, |p + q|) of the normalised p and
// q turned to the same half (their dot product not negative), is at most
// atol (radians). 1.0 or 0.0.
struct ApproxEqual {
    static constexpr Signature row{"approx_equal", {{{"p", Kind::quat}, {"q", Kind::quat}, {"atol", Kind::scalar}}},
                                   Result::flag, 1, Degrees::none,
                                   "Whether p and q turn by at most atol (radians) from each other.", costly};
    static int apply(const In& in, double* out, std::size_t, const Params&) {
        Quat p = quat_at(in[0]), q = quat_at(in[1]);
        if (int f = check_quat(p, 0)) return f;
        if (int f = check_quat(q, 1)) return f;
        if (int f = check_finite(in[2], 1, 2)) return f;
        out[0] = rot::angle_between(p, q) <= in[2][0] ? 1.0 : 0.0;
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
    constexpr auto widths = widths_of<Op>;
    constexpr std::size_t out_width = Op::row.out_width;
    // The operation's loop over whole rows, when it can take them all.
    if constexpr (requires { Op::rows(nullptr, 0, nullptr); }) {
        if (loop->stride[0] == widths[0] &&
            Op::rows(loop->in[0] + begin * widths[0], end - begin, loop->out + begin * out_width))
            return;
    } else if constexpr (requires(bool& w) { Op::rows(nullptr, 0, nullptr, loop->params, w); }) {
        bool lock = false;
        if (loop->stride[0] == widths[0] &&
            Op::rows(loop->in[0] + begin * widths[0], end - begin, loop->out + begin * out_width, loop->params,
                     lock)) {
            if (lock) loop->warned.store(true, std::memory_order_relaxed);
            return;
        }
    }
    std::size_t fault_row = std::numeric_limits<std::size_t>::max();
    bool warned = false;
    for (std::size_t r = begin; r < end; ++r) {
        In in{loop->in[0] + r * loop->stride[0], loop->in[1] + r * loop->stride[1], loop->in[2] + r * loop->stride[2]};
        int fault = Op::apply(in, loop->out + r * out_width, r, loop->params);
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

// The fault of the first faulty row of a finished loop, computed once more
// on its own (0 when no row faulted).
template <class Op>
int fault_of(const Loop& loop, std::size_t row) {
    std::array<double, 9> scratch{};
    In at{loop.in[0] + row * loop.stride[0], loop.in[1] + row * loop.stride[1], loop.in[2] + row * loop.stride[2]};
    return Op::apply(at, scratch.data(), row, loop.params);
}

// run(op, out, a, b, c, param) -> (fault, row, warned): the element loop of
// operation `op` over the rows of `out`, reading a, b and c (None when the
// operation takes fewer). fault 0 means every row was written; otherwise it
// is the fault of the first faulty row `row`, and rows of the result may be
// left unwritten.
template <class Op>
PyObject* run_op(PyObject* out_obj, PyObject* const* inputs, const Params& params) {
    constexpr auto widths = widths_of<Op>;
    Rows out(out_obj, Op::row.out_width, true);
    const std::size_t n = out.count();
    std::optional<Rows> in[3];
    Loop loop;
    loop.params = params;
    loop.out = out.data();
    for (int k = 0; k < 3; ++k) {
        if (widths[k] == 0) {
            loop.in[k] = nullptr;
            loop.stride[k] = 0;
            continue;
        }
        if (inputs[k] == Py_None) throw_py(PyExc_TypeError, "missing argument buffer");
        in[k].emplace(inputs[k], widths[k], false);
        loop.in[k] = in[k]->data();
        loop.stride[k] = in[k]->stride_for(n);
    }
    parallel_for(n, Op::row.grain, &element_body<Op>, &loop);
    if (PyErr_Occurred()) throw PyErrSet{};
    std::size_t row = loop.first_fault.load(std::memory_order_relaxed);
    int fault = 0;
    if (row != std::numeric_limits<std::size_t>::max()) {
        fault = fault_of<Op>(loop, row);
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
        if (seq.axes[n] > 2) throw_py(PyExc_ValueError, "bad sequence code");
    }
    if (seq.axes[0] == seq.axes[1] || seq.axes[1] == seq.axes[2]) throw_py(PyExc_ValueError, "bad sequence code");
    seq.intrinsic = (code >> 6) & 1u;
    return seq;
}

// The Euler sequence of a str of three axes, all from "xyz" (extrinsic) or
// all from "XYZ" (intrinsic), no two neighbours equal; false for anything
// else (no Python error left set): the package's own checks then report it.
bool seq_of_text(PyObject* o, rot::EulerSeq& seq) {
    if (!PyUnicode_CheckExact(o)) return false;
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &len);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    if (len != 3) return false;
    const bool upper = s[0] >= 'X' && s[0] <= 'Z';
    const char first = upper ? 'X' : 'x';
    for (int n = 0; n < 3; ++n) {
        const int axis = s[n] - first;
        if (axis < 0 || axis > 2) return false;
        seq.axes[n] = axis;
    }
    if (seq.axes[0] == seq.axes[1] || seq.axes[1] == seq.axes[2]) return false;
    seq.intrinsic = upper;
    return true;
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
// 1 not done (the general path takes over). With out None, an operation of
// one number returns it as a float when done.
template <class Op>
PyObject* single_op(PyObject* out_obj, PyObject* const* inputs, const Params& params) {
    constexpr auto widths = widths_of<Op>;
    constexpr std::size_t out_width = Op::row.out_width;
    std::array<std::array<double, 9>, 3> rows{};
    In in{nullptr, nullptr, nullptr};
    for (int k = 0; k < 3; ++k) {
        if (widths[k] == 0) continue;
        if (!single_row(inputs[k], widths[k], rows[k].data())) return PyLong_FromLong(1);
        in[k] = rows[k].data();
    }
    if (out_obj == Py_None) {
        // A result of one number is returned as a float.
        if constexpr (out_width == 1) {
            std::array<double, 9> result{};
            if (Op::apply(in, result.data(), 0, params) > 0) return PyLong_FromLong(1);
            return PyFloat_FromDouble(result[0]);
        } else {
            return PyLong_FromLong(1);
        }
    }
    Py_buffer view;
    if (PyObject_GetBuffer(out_obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) {
        PyErr_Clear();
        return PyLong_FromLong(1);
    }
    std::array<double, 9> result{};
    int fault = 1;
    if (static_cast<std::size_t>(view.len) == out_width * sizeof(double)) {
        fault = Op::apply(in, result.data(), 0, params);
        if (fault <= 0) std::memcpy(view.buf, result.data(), out_width * sizeof(double));
    }
    PyBuffer_Release(&view);
    return PyLong_FromLong(fault > 0 ? 1 : fault);
}

// What the last argument of run and single carries for an operation.
enum ParamKind { no_param, sequence_param, seed_param };

Params params_of(ParamKind kind, PyObject* param) {
    Params params;
    if (kind == sequence_param) {
        unsigned long code = PyLong_AsUnsignedLong(param);
        if (code == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        params.seq = seq_of(code);
    } else if (kind == seed_param) {
        unsigned long long seed = PyLong_AsUnsignedLongLong(param);
        if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
        params.seed = seed;
    }
    return params;
}

constexpr ParamKind param_kind_of(const Signature& s) {
    for (const Param& p : s.params) {
        if (p.kind == Kind::seq) return sequence_param;
    }
    return no_param;
}

// The table of element operations: one row per operation, in the order of
// the indices run, single and call take; the package reads it (ops()).
struct OpRow {
    const Signature* sig;
    ParamKind param;
    std::array<std::size_t, 3> widths;
    std::array<Kind, 3> kinds;
    int (*apply)(const In& in, double* out, std::size_t index, const Params& params);
    LoopBody body;
    int (*fault_of)(const Loop& loop, std::size_t row);
    PyObject* (*run)(PyObject* out, PyObject* const* inputs, const Params& params);
    PyObject* (*single)(PyObject* out, PyObject* const* inputs, const Params& params);
};

template <class Op>
constexpr OpRow row(ParamKind param = param_kind_of(Op::row)) {
    return {&Op::row,      param,          row_widths(Op::row), row_kinds(Op::row), &Op::apply, &element_body<Op>,
            &fault_of<Op>, &run_op<Op>,   &single_op<Op>};
}

constexpr OpRow op_table[] = {
    row<Compose>(),       row<Inverse>(),     row<ToMatrix>(),       row<FromMatrix>(), row<FromScipyQuat>(),
    row<ToScipyQuat>(),   row<FromRotvec>(),  row<ToRotvec>(),       row<MagnitudeAngle>(), row<Slerp>(),
    row<FromEuler>(),     row<ToEuler>(),     row<Random>(seed_param), row<Rotate>(),   row<ApproxEqual>(),
};
constexpr std::size_t op_count = sizeof op_table / sizeof op_table[0];

const OpRow& op_row(PyObject* index) {
    const long k = PyLong_AsLong(index);
    if (k == -1 && PyErr_Occurred()) throw PyErrSet{};
    if (k < 0 || static_cast<std::size_t>(k) >= op_count) throw_py(PyExc_ValueError, "unknown operation");
    return op_table[k];
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 6) throw_py(PyExc_TypeError, "run(op, out, a, b, c, param)");
        const OpRow& op = op_row(args[0]);
        return op.run(args[1], args + 2, params_of(op.param, args[5]));
    });
}

PyObject* single(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 6) throw_py(PyExc_TypeError, "single(op, out, a, b, c, param)");
        const OpRow& op = op_row(args[0]);
        return op.single(args[1], args + 2, params_of(op.param, args[5]));
    });
}

// ---------------------------------------------------------------------------
// The call path of the package's functions: call(op, param, a[, b[, c]]) ->
// the result, or None when the call is not one this path takes. It takes a
// call whose row arguments are all single rows (a Quat where the kind is
// quat, a number for a scalar, or an exact numpy float64 array of one row's
// shape) or all whole C-contiguous aligned float64 arrays of n rows (the
// same n); param is the Euler sequence as a str (ignored otherwise). Every
// other call, and every call with a faulty row, is left to the package's
// general path (None), which converts, broadcasts, checks and reports: this
// path only saves its work where there is none to do, with the same bits.

// What the package binds (bind()): numpy's ndarray type, empty and float64
// dtype, numpy's bool type, and the text of the gimbal-lock warning; and
// the shapes of single results.
struct Bindings {
    PyObject* ndarray = nullptr;
    PyObject* empty = nullptr;
    PyObject* float64 = nullptr;
    PyObject* bool_type = nullptr;
    std::string gimbal;
    PyObject* shape3 = nullptr;
    PyObject* shape4 = nullptr;
    PyObject* shape3x3 = nullptr;
    std::atomic<bool> ready{false};
};
Bindings g_bound;

// bind(ndarray, empty, float64, bool_type, gimbal_text) -> None, once, at
// the package's import (later calls change nothing). The bindings live as
// long as the process.
PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 5 || !PyType_Check(args[0]) || !PyUnicode_Check(args[4])) {
            throw_py(PyExc_TypeError, "bind(ndarray, empty, float64, bool_type, gimbal_text)");
        }
        if (g_bound.ready.load(std::memory_order_acquire)) Py_RETURN_NONE;
        const char* text = PyUnicode_AsUTF8(args[4]);
        if (!text) throw PyErrSet{};
        Owned shape3(Py_BuildValue("(i)", 3));
        Owned shape4(Py_BuildValue("(i)", 4));
        Owned shape3x3(Py_BuildValue("(ii)", 3, 3));
        g_bound.gimbal = text;
        g_bound.ndarray = Py_NewRef(args[0]);
        g_bound.empty = Py_NewRef(args[1]);
        g_bound.float64 = Py_NewRef(args[2]);
        g_bound.bool_type = Py_NewRef(args[3]);
        g_bound.shape3 = shape3.release();
        g_bound.shape4 = shape4.release();
        g_bound.shape3x3 = shape3x3.release();
        g_bound.ready.store(true, std::memory_order_release);
        Py_RETURN_NONE;
    });
}

// The leading fields of a numpy array object, as numpy's C API declares
// them (PyArrayObject_fields), a layout numpy keeps in its 1.x and 2.x
// ABIs: read only for objects of the exact type numpy.ndarray.
struct NumpyArrayHead {
    PyObject_HEAD
    char* data;
    int nd;
    Py_ssize_t* dimensions;
    Py_ssize_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};
constexpr int numpy_c_contiguous = 0x0001;
constexpr int numpy_aligned = 0x0100;

// One argument as this path reads it: a single row (its doubles copied) or
// n rows, whose buffer is held while the loop runs.
struct Arg {
    PyObject* rows = nullptr;  // borrowed: the argument of n rows
    Py_buffer view{};
    bool held = false;
    bool single = false;
    std::size_t count = 0;
    std::array<double, 9> row{};

    Arg() = default;
    Arg(const Arg&) = delete;
    Arg& operator=(const Arg&) = delete;
    ~Arg() { release(); }
    void release() {
        if (held) PyBuffer_Release(&view);
        held = false;
    }
    // Takes hold of the rows' buffer; false (no Python error left set) when
    // it is no longer a C-contiguous aligned buffer of count rows of width.
    bool hold(std::size_t width) {
        if (PyObject_GetBuffer(rows, &view, PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            return false;
        }
        held = true;
        return static_cast<std::size_t>(view.len) == count * width * sizeof(double) &&
               (count == 0 || reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0);
    }
};

// Reads `o` as an argument of `kind`: a single row is copied, rows are
// noted (held later); false (no Python error left set) when this path does
// not take the argument.
bool read_arg(PyObject* o, Kind kind, Arg& arg) {
    const std::size_t width = width_of(kind);
    if (kind == Kind::quat && g_api->is_value(TARSK_QUAT, o) == 1) {
        if (g_api->get_value(TARSK_QUAT, o, arg.row.data()) != 0) {
            PyErr_Clear();
            return false;
        }
        arg.single = true;
        arg.count = 1;
        return true;
    }
    if (kind == Kind::scalar && (PyFloat_CheckExact(o) || PyLong_CheckExact(o))) {
        const double x = PyFloat_AsDouble(o);
        if (x == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        arg.row[0] = x;
        arg.single = true;
        arg.count = 1;
        return true;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(o)) != g_bound.ndarray) return false;
    const auto* a = reinterpret_cast<const NumpyArrayHead*>(o);
    if (a->descr != g_bound.float64 || !(a->flags & numpy_c_contiguous)) return false;
    // One row is (3, 3) for a matrix, () for a scalar, else (width,).
    const int row_ndim = kind == Kind::matrix ? 2 : kind == Kind::scalar ? 0 : 1;
    const Py_ssize_t extent = kind == Kind::matrix ? 3 : static_cast<Py_ssize_t>(width);
    auto row_shape_from = [&](int first) {
        for (int d = 0; d < row_ndim; ++d) {
            if (a->dimensions[first + d] != extent) return false;
        }
        return true;
    };
    if (a->nd == row_ndim && row_shape_from(0)) {
        std::memcpy(arg.row.data(), a->data, width * sizeof(double));
        arg.single = true;
        arg.count = 1;
        return true;
    }
    if (a->nd == row_ndim + 1 && row_shape_from(1) && (a->flags & numpy_aligned)) {
        arg.rows = o;
        arg.count = static_cast<std::size_t>(a->dimensions[0]);
        return true;
    }
    return false;
}

void warn_gimbal_lock(int level) {
    if (PyErr_WarnEx(PyExc_UserWarning, g_bound.gimbal.c_str(), level) < 0) throw PyErrSet{};
}

// A new uninitialised float64 array of `shape` (a new reference, or a
// borrowed one when `owned` is false), and its data.
PyObject* new_array(PyObject* shape, bool owned, double*& data) {
    PyObject* a = PyObject_CallOneArg(g_bound.empty, shape);
    if (owned) Py_DECREF(shape);
    if (!a) throw PyErrSet{};
    data = reinterpret_cast<double*>(reinterpret_cast<NumpyArrayHead*>(a)->data);
    return a;
}

// The call path of operation `op`: its Euler sequence (when it takes one)
// and its row arguments in order. A new reference: the result, or None when
// the call is left to the general path. The gimbal-lock warning is given at
// `level` (1: the caller of this native function, 2: the caller of the
// package's wrapper that calls it).
PyObject* call_op(const OpRow& op, PyObject* seq, PyObject* const* row_args, std::size_t count_args, int level) {
    if (!g_bound.ready.load(std::memory_order_acquire) || op.param == seed_param) Py_RETURN_NONE;
    Params params;
    if (op.param == sequence_param && !seq_of_text(seq, params.seq)) Py_RETURN_NONE;
    std::array<Arg, 3> in;
    bool singles = true;
    bool whole = true;
    std::size_t n = 0;
    for (std::size_t k = 0; k < 3 && op.kinds[k] != Kind::none; ++k) {
        if (k >= count_args) throw_py(PyExc_TypeError, "missing argument");
        if (!read_arg(row_args[k], op.kinds[k], in[k])) Py_RETURN_NONE;
        if (in[k].single) {
            whole = false;
        } else {
            if (singles) n = in[k].count;
            singles = false;
            if (in[k].count != n) Py_RETURN_NONE;
        }
    }
    const Signature& sig = *op.sig;
    double* data = nullptr;
    if (singles) {
        const In rows{in[0].row.data(), in[1].row.data(), in[2].row.data()};
        std::array<double, 9> result{};
        const int fault = op.apply(rows, result.data(), 0, params);
        if (fault > 0) Py_RETURN_NONE;
        if (fault < 0) warn_gimbal_lock(level);
        if (sig.result == Result::number) return PyFloat_FromDouble(result[0]);
        if (sig.result == Result::flag) return PyBool_FromLong(result[0] != 0.0);
        PyObject* shape = sig.result == Result::matrix ? g_bound.shape3x3
                          : sig.out_width == 4         ? g_bound.shape4
                          : sig.out_width == 3         ? g_bound.shape3
                                                       : nullptr;
        Owned out(shape ? new_array(shape, false, data)
                        : new_array(Py_BuildValue("(n)", static_cast<Py_ssize_t>(sig.out_width)), true, data));
        std::memcpy(data, result.data(), sig.out_width * sizeof(double));
        return out.release();
    }
    if (!whole) Py_RETURN_NONE;
    const auto count = static_cast<Py_ssize_t>(n);
    const auto width = static_cast<Py_ssize_t>(sig.out_width);
    PyObject* shape = sig.result == Result::matrix ? Py_BuildValue("(nii)", count, 3, 3)
                      : sig.result == Result::row  ? Py_BuildValue("(nn)", count, width)
                                                   : Py_BuildValue("(n)", count);
    if (!shape) throw PyErrSet{};
    Owned out(new_array(shape, true, data));
    // The rows are held from here on: the allocation above may have run
    // Python code, and none runs until the loop ends.
    Loop loop;
    loop.params = params;
    loop.out = data;
    for (std::size_t k = 0; k < 3; ++k) {
        loop.in[k] = nullptr;
        loop.stride[k] = op.widths[k];
        if (!in[k].rows) continue;
        if (!in[k].hold(op.widths[k])) Py_RETURN_NONE;
        loop.in[k] = static_cast<const double*>(in[k].view.buf);
    }
    parallel_for(n, sig.grain, op.body, &loop);
    if (PyErr_Occurred()) throw PyErrSet{};
    if (loop.first_fault.load(std::memory_order_relaxed) != std::numeric_limits<std::size_t>::max()) {
        Py_RETURN_NONE;
    }
    for (Arg& a : in) a.release();
    if (loop.warned.load(std::memory_order_relaxed)) warn_gimbal_lock(level);
    if (sig.result == Result::flag) return PyObject_CallMethod(out.get(), "astype", "O", g_bound.bool_type);
    return out.release();
}

// call(op, param, a[, b[, c]]) -> the result, or None: the call path from
// the package's wrappers; param is the Euler sequence (ignored otherwise).
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs < 2 || nargs > 5) throw_py(PyExc_TypeError, "call(op, param, a[, b[, c]])");
        return call_op(op_row(args[0]), args[1], args + 2, static_cast<std::size_t>(nargs - 2), 2);
    });
}

// ---------------------------------------------------------------------------
// The package's functions themselves: one native function per row of the
// table, named and documented by its row, whose text signature is the
// row's parameters. A call of exactly its parameters by position takes the
// call path; any other call, and any call the path leaves, goes to the
// package's wrapper of the row (bound by function()), which binds the
// arguments as a Python function does and takes the general path.

std::array<PyObject*, op_count> g_general{};

std::size_t parameter_count(const Signature& s) {
    std::size_t count = 0;
    while (count < s.params.size() && s.params[count].name) ++count;
    return count;
}

template <std::size_t K>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([args, nargs, kwnames]() -> PyObject* {
        const OpRow& op = op_table[K];
        PyObject* general = g_general[K];
        if (!general) throw_py(PyExc_SystemError, "the function's wrapper is not bound");
        if (!kwnames && static_cast<std::size_t>(nargs) == parameter_count(*op.sig)) {
            PyObject* seq = Py_None;
            std::array<PyObject*, 3> rows{};
            std::size_t count = 0;
            for (std::size_t p = 0; p < static_cast<std::size_t>(nargs); ++p) {
                if (op.sig->params[p].kind == Kind::seq) {
                    seq = args[p];
                } else {
                    rows[count++] = args[p];
                }
            }
            PyObject* result = call_op(op, seq, rows.data(), count, 1);
            if (result != Py_None) return result;
            Py_DECREF(result);
        }
        PyObject* result = PyObject_Vectorcall(general, args, static_cast<std::size_t>(nargs), kwnames);
        if (!result) throw PyErrSet{};
        return result;
    });
}

using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... K>
constexpr std::array<Entry, sizeof...(K)> entries_of(std::index_sequence<K...>) {
    return {&entry<K>...};
}
constexpr std::array<Entry, op_count> entries = entries_of(std::make_index_sequence<op_count>{});

// function(op, general) -> the native function of row `op` of the table,
// whose calls the path leaves go to `general`, the package's wrapper of the
// row (kept for the life of the process).
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([module, args, nargs]() -> PyObject* {
        if (nargs != 2 || !PyCallable_Check(args[1])) throw_py(PyExc_TypeError, "function(op, general)");
        const OpRow& op = op_row(args[0]);
        const std::size_t k = static_cast<std::size_t>(&op - op_table);
        const Signature& s = *op.sig;
        if (!s.summary) throw_py(PyExc_ValueError, "the operation is written out by the package");
        static std::array<PyMethodDef, op_count> defs{};
        static std::array<std::string, op_count> docs;
        if (!g_general[k]) {
            std::string doc = std::string(s.name) + "($module";
            for (std::size_t p = 0; p < parameter_count(s); ++p) doc += std::string(", ") + s.params[p].name;
            if (s.degrees != Degrees::none) doc += ", *, degrees=False";
            docs[k] = doc + ")\n--\n\n" + s.summary;
            defs[k] = {s.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entries[k])),
                       METH_FASTCALL | METH_KEYWORDS, docs[k].c_str()};
            g_general[k] = Py_NewRef(args[1]);
        }
        Owned owner(PyUnicode_FromString("tarsk_interop"));
        return PyCFunction_NewEx(&defs[k], module, owner.get());
    });
}

// ops() -> tuple of (name, ((parameter, kind), ...), result, out width,
// degrees, summary or None, (widths...), param kind): the table. result is
// "row", "matrix", "number" or "flag"; degrees None, "in" or "out".
PyObject* ops(PyObject*, PyObject*) {
    return guarded([]() -> PyObject* {
        static constexpr const char* results[] = {"row", "matrix", "number", "flag"};
        Owned t(PyTuple_New(static_cast<Py_ssize_t>(op_count)));
        for (std::size_t k = 0; k < op_count; ++k) {
            const OpRow& r = op_table[k];
            const Signature& s = *r.sig;
            Py_ssize_t count = 0;
            while (count < 3 && s.params[count].name) ++count;
            Owned params(PyTuple_New(count));
            for (Py_ssize_t a = 0; a < count; ++a) {
                const Param& p = s.params[a];
                PyObject* pair = Py_BuildValue("(ss)", p.name, kind_names[static_cast<int>(p.kind)]);
                if (!pair) throw PyErrSet{};
                PyTuple_SET_ITEM(params.get(), a, pair);
            }
            const char* degrees = s.degrees == Degrees::in ? "in" : s.degrees == Degrees::out ? "out" : nullptr;
            PyObject* item = Py_BuildValue(
                "(sOsnzz(nnn)i)", s.name, params.get(), results[static_cast<int>(s.result)],
                static_cast<Py_ssize_t>(s.out_width), degrees, s.summary, static_cast<Py_ssize_t>(r.widths[0]),
                static_cast<Py_ssize_t>(r.widths[1]), static_cast<Py_ssize_t>(r.widths[2]), static_cast<int>(r.param));
            if (!item) throw PyErrSet{};
            PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(k), item);
        }
        return t.release();
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
        if (nargs != 3) throw_py(PyExc_TypeError, "mean(out, q, weights)");
        Rows out(args[0], 4, true);
        Rows q(args[1], 4, false);
        std::optional<Rows> weights;
        MeanLoop loop;
        loop.q = q.data();
        loop.n = q.count();
        if (out.count() != 1 || loop.n == 0) throw_py(PyExc_ValueError, "bad mean buffers");
        if (args[2] != Py_None) {
            weights.emplace(args[2], 1, false);
            if (weights->count() != loop.n) throw_py(PyExc_ValueError, "bad weights buffer");
            loop.weights = weights->data();
        }
        const std::size_t nblocks = (loop.n + block_rows - 1) / block_rows;
        loop.blocks.resize(nblocks);
        parallel_for(nblocks, 1, &mean_body, &loop);
        std::size_t row = loop.first_fault.load(std::memory_order_relaxed);
        if (row != std::numeric_limits<std::size_t>::max()) {
            return Py_BuildValue("(in)", check_quat(quat_at(loop.q + 4 * row), 0), static_cast<Py_ssize_t>(row));
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

// The sums of align over its blocks, in block order.
rot::AlignSums align_sums(AlignLoop& loop) {
    const std::size_t nblocks = (loop.n + block_rows - 1) / block_rows;
    loop.blocks.assign(nblocks, rot::align_zero());
    parallel_for(nblocks, 1, &align_body, &loop);
    rot::AlignSums total = loop.blocks[0];
    for (std::size_t blk = 1; blk < nblocks; ++blk) rot::align_sum_into(total, loop.blocks[blk]);
    return total;
}

bool sums_in_range(const rot::AlignSums& s) {
    double zero = 0.0;
    for (const auto& row : s.b) {
        for (double x : row) zero = zero + (x - x);
    }
    return zero == 0.0 && s.norms >= 0x1p-900 && s.norms <= 0x1p900;
}

// frexp's exponent of x (0 for zero).
int exponent_of(double x) {
    int e = 0;
    if (x != 0.0) std::frexp(x, &e);
    return e;
}

// align(out, a, b, weights) -> (fault, row, rssd): the rotation that best
// maps the rows of b onto those of a, into out; fault as the element
// operations give it (argument 0 a, 1 b), at row `row`.
PyObject* align(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 4) throw_py(PyExc_TypeError, "align(out, a, b, weights)");
        Rows out(args[0], 4, true);
        Rows a(args[1], 3, false);
        Rows b(args[2], 3, false);
        std::optional<Rows> weights;
        AlignLoop loop;
        loop.a = a.data();
        loop.b = b.data();
        loop.n = a.count();
        if (out.count() != 1 || loop.n == 0 || b.count() != loop.n) throw_py(PyExc_ValueError, "bad align buffers");
        if (args[3] != Py_None) {
            weights.emplace(args[3], 1, false);
            if (weights->count() != loop.n) throw_py(PyExc_ValueError, "bad weights buffer");
            loop.weights = weights->data();
        }
        auto first_non_finite = [&loop]() -> std::pair<int, std::size_t> {
            for (std::size_t r = 0; r < loop.n; ++r) {
                if (int f = check_finite(loop.a + 3 * r, 3, 0)) return {f, r};
                if (int f = check_finite(loop.b + 3 * r, 3, 1)) return {f, r};
            }
            return {no_fault, 0};
        };
        if (loop.n == 1) {
            auto [fault, row] = first_non_finite();
            if (fault) return Py_BuildValue("(ind)", fault, static_cast<Py_ssize_t>(row), 0.0);
            const Vec3d av{loop.a[0], loop.a[1], loop.a[2]};
            const Vec3d bv{loop.b[0], loop.b[1], loop.b[2]};
            bool zero = false;
            Quat q = rot::align_pair(av, bv, zero);
            if (zero) return Py_BuildValue("(ind)", fault_code(zero_norm, 0), static_cast<Py_ssize_t>(0), 0.0);
            const double w = loop.weights ? loop.weights[0] : 1.0;
            double rssd = std::sqrt(w * av.distance_squared(q.rotate(bv)));
            auto in_range = [](double x) { return x >= 0x1p-1000 && x <= 0x1p1000; };
            if (!(in_range(av.dot(av)) && in_range(bv.dot(bv)) && w <= 0x1p100)) {
                // Out of the range of the plain formula: the distance of the
                // vectors scaled by a common power of two, scaled back.
                const int e = exponent_of(std::max({std::abs(av.x), std::abs(av.y), std::abs(av.z), std::abs(bv.x),
                                                    std::abs(bv.y), std::abs(bv.z)}));
                const Vec3d as{std::ldexp(av.x, -e), std::ldexp(av.y, -e), std::ldexp(av.z, -e)};
                const Vec3d bs{std::ldexp(bv.x, -e), std::ldexp(bv.y, -e), std::ldexp(bv.z, -e)};
                rssd = std::ldexp(std::sqrt(w) * std::sqrt(as.distance_squared(q.rotate(bs))), e);
            }
            put(out.data(), q);
            return Py_BuildValue("(ind)", 0, static_cast<Py_ssize_t>(0), rssd);
        }
        rot::AlignSums total = align_sums(loop);
        double scale_back = 0.0;
        int exponent = 0;
        if (!sums_in_range(total)) {
            // Rare: a non-finite row is refused; sums that overflowed or
            // vanished are made again from the vectors and weights multiplied
            // by powers of two (exact), which turn neither the rotation nor
            // the root of the sum of squares but by the same powers.
            auto [fault, row] = first_non_finite();
            if (fault) return Py_BuildValue("(ind)", fault, static_cast<Py_ssize_t>(row), 0.0);
            double largest = 0.0, heaviest = 0.0;
            for (std::size_t k = 0; k < 3 * loop.n; ++k) {
                largest = std::max(largest, std::max(std::abs(loop.a[k]), std::abs(loop.b[k])));
            }
            for (std::size_t k = 0; loop.weights && k < loop.n; ++k) heaviest = std::max(heaviest, loop.weights[k]);
            const int ev = exponent_of(largest);
            int ew = exponent_of(heaviest);
            ew = ew - (ew & 1);  // even: the root of 2^ew is exact
            std::vector<double> as(3 * loop.n), bs(3 * loop.n), ws(loop.weights ? loop.n : 0);
            for (std::size_t k = 0; k < 3 * loop.n; ++k) {
                as[k] = std::ldexp(loop.a[k], -ev);
                bs[k] = std::ldexp(loop.b[k], -ev);
            }
            for (std::size_t k = 0; k < ws.size(); ++k) ws[k] = std::ldexp(loop.weights[k], -ew);
            loop.a = as.data();
            loop.b = bs.data();
            loop.weights = loop.weights ? ws.data() : nullptr;
            total = align_sums(loop);
            scale_back = 1.0;
            exponent = ev + ew / 2;
        }
        double rssd = 0.0;
        put(out.data(), rot::align_finish(total, rssd));
        if (scale_back != 0.0) rssd = std::ldexp(rssd, exponent);
        return Py_BuildValue("(ind)", 0, static_cast<Py_ssize_t>(0), rssd);
    });
}

// ---------------------------------------------------------------------------
// The element-wise kernels of tarsk_py's table into a result array of the
// caller's: the path of small arrays, where handing a block of the pool over
// to numpy costs more than the rows.

// kernel_into(op, out, rows, arg) -> None: out[i] = element-wise operation
// `op` of rows[i] and arg, as tarsk_py's apply (and the VecList method)
// gives it. rows a C-contiguous aligned float64 (n, 3) buffer, out a
// writable one of n results of the operation's kind. An axis above 2 is
// refused with ValueError.
PyObject* kernel_into(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 4) throw_py(PyExc_TypeError, "kernel_into(op, out, rows, arg)");
        const std::size_t k = PyLong_AsSize_t(args[0]);
        if (k == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PyErrSet{};
        if (k >= g_api->op_count) throw_py(PyExc_ValueError, "unknown element-wise operation");
        const TarskOp& op = g_api->ops[k];
        Rows rows(args[2], 3, false);
        double arg[4] = {0.0, 0.0, 0.0, 0.0};
        if (op.arg == TARSK_ARG_AXIS) {
            // Refused here: the list method's conversion treats an axis above
            // 2 as an internal failure.
            const long axis = PyLong_Check(args[3]) ? PyLong_AsLong(args[3]) : 0;
            if (axis == -1 && PyErr_Occurred()) PyErr_Clear();
            if (axis > 2) {
                PyErr_Format(PyExc_ValueError, "argument 'axis': expected 0, 1 or 2, got %ld", axis);
                throw PyErrSet{};
            }
        }
        if (op.arg != TARSK_ARG_NONE) check(g_api->convert_arg(k, args[3], arg));
        const std::size_t n = rows.count();
        const std::size_t item = op.result == TARSK_RESULT_ROWS ? 3 * sizeof(double)
                                 : op.result == TARSK_RESULT_DOUBLE ? sizeof(double)
                                                                    : 1;
        Py_buffer view;
        if (PyObject_GetBuffer(args[1], &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) throw PyErrSet{};
        const bool fits = static_cast<std::size_t>(view.len) == n * item &&
                          (n == 0 || reinterpret_cast<std::uintptr_t>(view.buf) % alignof(double) == 0);
        int rc = 0;
        if (fits && n) rc = g_api->apply(k, rows.data(), n, arg, view.buf);
        PyBuffer_Release(&view);
        if (!fits) throw_py(PyExc_ValueError, "the result buffer does not fit the rows");
        check(rc);
        Py_RETURN_NONE;
    });
}

// crmath(out, function, path, x, y): the core's correctly rounded functions
// element by element, for the tests. function: 0 sin, 1 cos, 2 atan2(x, y),
// 3 hypot(x, y) (y None for the others), 4 and 5 the sine and the cosine
// that sincos gives (path 0 only); path 0 the function, 1 its
// accurate path alone, 2 its fast path alone: rows (hi, lo, decided) of the
// double-double before rounding and 1 when the rounding test accepted it, 0
// when it did not, -1 when the argument does not take the fast path; path
// 3 (atan2 and hypot only) the functions over the whole array at once
// (atan2_n, hypot_n), path 4 the same with the result written over a copy
// of x (the first argument its own output).
PyObject* crmath(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return guarded([args, nargs]() -> PyObject* {
        if (nargs != 5) throw_py(PyExc_TypeError, "crmath(out, function, path, x, y)");
        const long function = PyLong_AsLong(args[1]);
        const long path = PyLong_AsLong(args[2]);
        if (PyErr_Occurred()) throw PyErrSet{};
        if (function < 0 || function > 5 || path < 0 || path > 4 || (function > 3 && path != 0) ||
            (path > 2 && function != 2 && function != 3)) {
            throw_py(PyExc_ValueError, "bad function or path");
        }
        Rows out(args[0], path == 2 ? 3 : 1, true);
        Rows x(args[3], 1, false);
        const bool binary = function == 2 || function == 3;
        if (binary == (args[4] == Py_None)) throw_py(PyExc_TypeError, "y is needed by atan2 and hypot only");
        std::optional<Rows> y;
        if (binary) {
            y.emplace(args[4], 1, false);
            if (y->count() != x.count()) throw_py(PyExc_ValueError, "x and y differ in length");
        }
        if (out.count() != x.count()) throw_py(PyExc_ValueError, "bad result buffer");
        const double* xs = x.data();
        const double* ys = binary ? y->data() : nullptr;
        double* o = out.data();
        namespace cr = tarsk::cr;
        if (path > 2) {
            const std::size_t n = x.count();
            const double* first = xs;
            if (path == 4) {
                std::copy(xs, xs + n, o);
                first = o;
            }
            if (function == 2) {
                cr::atan2_n(first, ys, o, n);
            } else {
                cr::hypot_n(first, ys, o, n);
            }
            Py_RETURN_NONE;
        }
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
    {"kernel_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kernel_into)), METH_FASTCALL,
     nullptr},
    {"ops", ops, METH_NOARGS, nullptr},
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&bind)), METH_FASTCALL, nullptr},
    {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call)), METH_FASTCALL, nullptr},
    {"function", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function)), METH_FASTCALL, nullptr},
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&run)), METH_FASTCALL, nullptr},
    {"single", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&single)), METH_FASTCALL, nullptr},
    {"mean", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&mean)), METH_FASTCALL, nullptr},
    {"align", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&align)), METH_FASTCALL, nullptr},
    {"crmath", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&crmath)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0: the initialisation runs on every import (see import_capi).
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_rotation", nullptr, 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace tarsk::interop::rotation_module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__rotation() {
    using namespace tarsk::interop;
    using namespace tarsk::interop::rotation_module;
    return guarded([] { return create_module(&module_def, g_api); });
}
