#pragma once
/* The private C ABI of tarsk_py: one const, versioned table of functions
 * that other native modules (the companion package tarsk_interop) use to
 * reach tarsk_py's objects, its element-wise operations and its worker pool,
 * without knowing any instance layout.
 *
 * How it is found: tarsk_py's initialisation stores a PyCapsule named
 * TARSK_CAPI_NAME, holding a pointer to the table, in the interpreter's
 * private dict (PyInterpreterState_GetDict) under the key TARSK_CAPI_NAME.
 * A user imports tarsk_py, fetches the capsule from that dict and compares
 * `abi` with the TARSK_CAPI_ABI it was built with; any change of this header
 * that is not an addition at the end of the table raises TARSK_CAPI_ABI.
 *
 * Rules for every function: the caller holds the interpreter's lock, except
 * for `parallel_for`, `apply` and `minimum_distance_to`, which never touch
 * Python objects but may set a Python exception on failure and so need it
 * too. A function that returns int gives 0 on success and -1 with a Python
 * exception set; a function that returns PyObject* gives a new reference or
 * null with an exception set. No C++ exception leaves any of them. Every
 * object argument is type-checked; the wrong type raises TypeError.
 *
 * Rows are arrays of n records of three doubles (x, y, z), 24 bytes each,
 * aligned to 8 bytes. */
#include <Python.h>

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TARSK_CAPI_NAME "tarsk_py._capi"
#define TARSK_CAPI_ABI 1

/* The ImportError text of an import in an interpreter other than the one
 * that first imported tarsk_py: tarsk_py keeps its module, types and table
 * for that interpreter alone, and so must every module built on the table
 * (tarsk_capi_import does not check it: the user's initialisation does). */
#define TARSK_SUBINTERPRETER_MESSAGE                                   \
    "PyO3 modules do not yet support subinterpreters, see "           \
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support"

/* The value classes whose doubles get_value and make_value exchange, with
 * their count of doubles: Vec3d (x, y, z), Quat (w, i, j, k), AngleRadians
 * and AngleDegrees (angle), Plane (normal x, y, z, distance), Circle (center
 * x, y, z, radius, normal x, y, z). */
enum TarskValueKind {
    TARSK_VEC3D = 0,
    TARSK_QUAT = 1,
    TARSK_ANGLE_RADIANS = 2,
    TARSK_ANGLE_DEGREES = 3,
    TARSK_PLANE = 4,
    TARSK_CIRCLE = 5,
    TARSK_VALUE_KINDS = 6
};

/* The argument an element-wise operation takes besides the rows, as
 * convert_arg reads it into doubles: nothing, a Vec3d (3), a Quat (4), a float
 * (1) or an axis 0..2 (1, the integer as a double). */
enum TarskArgKind {
    TARSK_ARG_NONE = 0,
    TARSK_ARG_VEC3D = 1,
    TARSK_ARG_QUAT = 2,
    TARSK_ARG_FLOAT = 3,
    TARSK_ARG_AXIS = 4
};

/* What an element-wise operation writes per row: three doubles, one double,
 * or one byte (0 or 1). */
enum TarskResultKind {
    TARSK_RESULT_ROWS = 0,
    TARSK_RESULT_DOUBLE = 1,
    TARSK_RESULT_BOOL = 2
};

/* One row of the table of element-wise operations. `name` is the name of the
 * array kernel and of the VecList method or, for an operator, `face` is the
 * VecList special method ("__add__"); `param` is the argument's name in
 * error messages. */
typedef struct TarskOp {
    const char* name;
    const char* face;
    const char* param;
    int arg;    /* TarskArgKind */
    int result; /* TarskResultKind */
} TarskOp;

typedef struct TarskCapi {
    /* TARSK_CAPI_ABI of the tarsk_py that made the table. */
    unsigned int abi;
    /* sizeof(TarskCapi) of that tarsk_py: later ABIs only append. */
    size_t size;

    /* Values. is_value: 1 when `obj` is an instance of the class of `kind`,
     * else 0. get_value: the doubles of the object (TypeError for another
     * class, RuntimeError "Already mutably borrowed" while it is changed).
     * make_value: a new object holding exactly these doubles (no
     * normalisation, as the setters store them). */
    int (*is_value)(int kind, PyObject* obj);
    int (*get_value)(int kind, PyObject* obj, double* out);
    PyObject* (*make_value)(int kind, const double* in);

    /* Lists. list_borrow takes the list's shared borrow as a view holds it
     * (RuntimeError "Already mutably borrowed" when this thread is changing
     * it; without the GIL a change on another thread is waited for) and
     * gives its rows; they stay valid and unchanged until list_release, and
     * every change of the list fails with "Already borrowed" meanwhile, on
     * any thread. For holds that outlive a call (the release may come from
     * another thread); a call that only reads the list takes list_read
     * below. Every list_borrow is matched by exactly one list_release. */
    int (*is_list)(PyObject* obj);
    int (*list_borrow)(PyObject* list, const double** rows, size_t* n);
    void (*list_release)(PyObject* list);
    /* A new list holding a copy of n rows. */
    PyObject* (*list_copy)(const double* rows, size_t n);
    /* A new list reading n rows in place, which must not change while
     * `owner` lives: the list keeps a reference to `owner` and copies the
     * rows into memory of its own on its first change. */
    PyObject* (*list_adopt)(const double* rows, size_t n, PyObject* owner);
    /* The list's rows as memory that never changes again, and a new
     * reference to an object that keeps it alive: the list hands its
     * storage over to that owner and reads it from there, copying it on its
     * first change. Used to export a list's elements without a copy and
     * without keeping the list borrowed. The hand-over takes the list's
     * exclusive borrow (without the GIL: waiting for other threads' calls
     * on it); where that cannot be had (a view holds the list, or the
     * calling thread holds a borrow), the owner gets a copy of the rows and
     * the list is left as it is. Rows handed over before (and not changed
     * since) are given out again with their owner. */
    int (*list_share)(PyObject* list, const double** rows, size_t* n, PyObject** owner);

    /* The element-wise operations. */
    const TarskOp* ops;
    size_t op_count;
    /* Converts the argument of operation `op` from `obj` exactly as the
     * VecList method does (same exceptions and texts, "argument '<param>':
     * ..." included) into `out` (see TarskArgKind). */
    int (*convert_arg)(size_t op, PyObject* obj, double* out);
    /* Converts a count (a stride) as the VecList methods convert an int
     * parameter named `param`: OverflowError for a negative or too large
     * value, TypeError "argument '<param>': ..." for a non-integer. */
    int (*convert_count)(PyObject* obj, const char* param, uint64_t* out);
    /* out[i] = operation `op` of rows[i] and `arg` for i in [0, n), on the
     * pool where n pays for it; bit for bit the VecList method's result.
     * `out` holds n results of the operation's kind and does not overlap
     * `rows`. Raises what the method raises for invalid arguments (an axis
     * above 2). */
    int (*apply)(size_t op, const double* rows, size_t n, const double* arg, void* out);
    /* VecList.minimum_distance_to on n rows: its (index, distance), or its
     * exceptions. */
    int (*minimum_distance_to)(const double* rows, size_t n, const double* other, uint64_t stride,
                               uint64_t* index, double* distance);

    /* Runs body(ctx, begin, end) over disjoint ranges that together cover
     * [0, n), on tarsk_py's pool: on the calling thread below two grains,
     * else split into halves on multiples of 16 items, down to pieces of at
     * least `grain` items. Returns when every range is done. `body` must not
     * throw or touch Python objects; what it computes must not depend on how
     * [0, n) was split, so results never depend on the number of workers. */
    void (*parallel_for)(size_t n, size_t grain, void (*body)(void* ctx, size_t begin, size_t end), void* ctx);

    /* The block memory of tarsk_py's lists, for results of the same sizes:
     * large blocks on huge pages, freed ones kept in a small bounded cache
     * for the next request of their size. take_memory gives room for
     * `bytes` (null for 0, or null with MemoryError set); give_back_memory
     * takes it back with the same `bytes` and may be called without the
     * interpreter's lock. trim_memory gives every cached block back to the
     * system; memory_state reports what the cache holds. */
    void* (*take_memory)(size_t bytes);
    void (*give_back_memory)(void* p, size_t bytes);
    void (*trim_memory)(void);
    void (*memory_state)(size_t* blocks, size_t* bytes);

    /* A short read of a list, held as a call of the list's own methods holds
     * it: list_read takes the list's shared borrow (RuntimeError "Already
     * mutably borrowed" while this thread changes it; without the GIL it
     * waits for another thread's change) and gives its rows, which stay
     * valid and unchanged until list_read_end. Unlike list_borrow's hold,
     * which makes changes fail for as long as it lasts, this one makes a
     * change on another thread wait for it. The same thread calls
     * list_read_end exactly once, before it returns to the interpreter; the
     * call between the two must not wait for other threads. */
    int (*list_read)(PyObject* list, const double** rows, size_t* n);
    void (*list_read_end)(PyObject* list);
} TarskCapi;

/* Imports tarsk_py and returns its table, checked against the ABI this file
 * declares: null with ImportError set when tarsk_py has no table or another
 * ABI (the message names both numbers). Call it with the interpreter's lock
 * held, once, from the user's module initialisation. */
static inline const TarskCapi* tarsk_capi_import(void) {
    PyObject* module = PyImport_ImportModule("tarsk_py");
    if (!module) return NULL;
    Py_DECREF(module); /* kept alive by sys.modules */
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PyObject* capsule = dict ? PyDict_GetItemString(dict, TARSK_CAPI_NAME) : NULL; /* borrowed */
    if (!capsule || !PyCapsule_IsValid(capsule, TARSK_CAPI_NAME)) {
        PyErr_SetString(PyExc_ImportError,
                        "tarsk_interop needs a tarsk_py with a C ABI; reinstall both from the same source");
        return NULL;
    }
    const TarskCapi* table = (const TarskCapi*)PyCapsule_GetPointer(capsule, TARSK_CAPI_NAME);
    if (!table) return NULL;
    if (table->abi != TARSK_CAPI_ABI || table->size < sizeof(TarskCapi)) {
        PyErr_Format(PyExc_ImportError,
                     "tarsk_interop was built for the C ABI %d of tarsk_py, but the installed tarsk_py has ABI %u; "
                     "reinstall both from the same source",
                     TARSK_CAPI_ABI, table->abi);
        return NULL;
    }
    return table;
}

#ifdef __cplusplus
}
#endif
