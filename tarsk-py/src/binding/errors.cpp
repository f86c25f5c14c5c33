#include "binding/errors.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>

namespace tarsk::py {

namespace {

constexpr const char* panic_doc =
    "The exception raised when the native code of tarsk_py fails an internal check.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

// Owned references of a fetched, normalised exception.
struct Fetched {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;

    Fetched() {
        PyErr_Fetch(&type, &value, &traceback);
        if (type) {
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback && value) PyException_SetTraceback(value, traceback);
        }
    }
    ~Fetched() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
    Fetched(const Fetched&) = delete;
    Fetched& operator=(const Fetched&) = delete;

    // Hands the references back to the interpreter.
    void restore() {
        PyErr_Restore(type, value, traceback);
        type = value = traceback = nullptr;
    }
};

std::string str_of(PyObject* obj) {
    std::string out;
    if (!obj) return out;
    PyObject* s = PyObject_Str(obj);
    if (!s) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    Py_ssize_t len = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(s, &len);
    if (utf8) {
        out.assign(utf8, static_cast<size_t>(len));
    } else {
        PyErr_Clear();
        out = "<unprintable object>";
    }
    Py_DECREF(s);
    return out;
}

void set_panic(const std::string& text) {
    std::fprintf(stderr, "tarsk_py: internal failure: %s\n", text.c_str());
    PyObject* type = panic_type();
    if (!type) return;  // creating the class failed; its error stays set
    PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (!msg) return;
    PyErr_SetObject(type, msg);
    Py_DECREF(msg);
}

// When `f` holds a PanicException, reports its resumption on standard error
// and returns its message: the failure continues as an internal failure of
// the current call.
bool take_resumed_panic(Fetched& f, std::string& message) {
    PyObject* panic = panic_type();
    if (!panic) {
        PyErr_Clear();
        return false;
    }
    if (!f.type || !PyErr_GivenExceptionMatches(f.type, panic)) return false;
    std::fputs(
        "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
        "Python stack trace below:\n",
        stderr);
    PyErr_Display(f.type, f.value, f.traceback);
    PyObject* args = f.value ? PyObject_GetAttrString(f.value, "args") : nullptr;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0) {
        message = str_of(PyTuple_GET_ITEM(args, 0));
    } else {
        PyErr_Clear();
        message = str_of(f.value);
    }
    Py_XDECREF(args);
    return true;
}

[[noreturn]] void throw_system_error_no_exception() {
    throw PyError{PyExc_SystemError, "attempted to fetch exception but none was set"};
}

// Checks the pending exception: a resumed panic becomes an internal failure.
[[noreturn]] void rethrow_pending() {
    if (!PyErr_Occurred()) throw_system_error_no_exception();
    Fetched f;
    std::string message;
    if (take_resumed_panic(f, message)) throw Panic{std::move(message)};
    f.restore();
    throw PyErrSet{};
}

}  // namespace

PyObject* panic_type() {
    static PyObject* type = nullptr;  // created once, kept for the life of the process
    if (!type) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", panic_doc,
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void throw_panic(std::string text) { throw Panic{std::move(text)}; }

void throw_fetched() { rethrow_pending(); }

void set_mismatch(PyObject* culprit, const char* target) {
    PyObject* qualname = culprit ? PyType_GetQualName(Py_TYPE(culprit)) : nullptr;
    if (qualname && !PyUnicode_Check(qualname)) Py_CLEAR(qualname);
    PyObject* text;
    if (qualname) {
        text = PyUnicode_FromFormat("'%U' object cannot be cast as '%s'", qualname, target);
        Py_DECREF(qualname);
    } else {
        PyErr_Clear();
        text = PyUnicode_FromFormat("'<failed to extract type name>' object cannot be cast as '%s'", target);
    }
    if (!text) return;  // its own error stays set
    PyErr_SetObject(PyExc_TypeError, text);
    Py_DECREF(text);
}

void throw_error(const Error& err) {
    switch (err.kind) {
        case Error::Kind::mismatch:
            set_mismatch(err.culprit, err.text);
            throw PyErrSet{};
        case Error::Kind::message:
            throw PyError{err.type, err.text};
        case Error::Kind::fetched:
        case Error::Kind::none:
            break;
    }
    rethrow_pending();
}

void throw_arg_error(const char* param, const Error& err) {
    std::string prefix = std::string("argument '") + param + "': ";
    switch (err.kind) {
        case Error::Kind::mismatch:
            set_mismatch(err.culprit, err.text);  // prefixed below, like any TypeError
            break;
        case Error::Kind::message:
            if (err.type == PyExc_TypeError) throw PyError{PyExc_TypeError, prefix + err.text};
            throw PyError{err.type, err.text};
        case Error::Kind::fetched:
        case Error::Kind::none:
            break;
    }
    if (!PyErr_Occurred()) throw_system_error_no_exception();
    Fetched f;
    std::string message;
    if (take_resumed_panic(f, message)) throw Panic{std::move(message)};
    if (f.type != PyExc_TypeError) {
        f.restore();
        throw PyErrSet{};
    }
    // An exact TypeError: a new TypeError with the argument's name, carrying
    // the replaced exception's cause.
    PyObject* msg = PyUnicode_FromFormat("argument '%s': %S", param, f.value);
    if (!msg) {
        PyErr_Clear();
        msg = PyUnicode_FromFormat("argument '%s': <unprintable object>", param);
        if (!msg) throw PyErrSet{};
    }
    PyObject* replacement = PyObject_CallOneArg(PyExc_TypeError, msg);
    Py_DECREF(msg);
    if (!replacement) throw PyErrSet{};
    if (PyObject* cause = f.value ? PyException_GetCause(f.value) : nullptr) {
        PyException_SetCause(replacement, cause);  // steals `cause`
    }
    PyErr_SetObject(PyExc_TypeError, replacement);
    Py_DECREF(replacement);
    throw PyErrSet{};
}

void discard(const Error& err) {
    if (err.kind != Error::Kind::fetched) return;
    if (!PyErr_Occurred()) return;
    Fetched f;
    std::string message;
    if (take_resumed_panic(f, message)) throw Panic{std::move(message)};
    // The references are released with `f`: the error is gone.
}

void set_python_error_from_current() noexcept {
    try {
        try {
            throw;
        } catch (const PyError& e) {
            PyObject* msg =
                PyUnicode_DecodeUTF8(e.text.data(), static_cast<Py_ssize_t>(e.text.size()), "replace");
            if (msg) {
                PyErr_SetObject(e.type, msg);
                Py_DECREF(msg);
            }
        } catch (const PyErrSet&) {
            if (!PyErr_Occurred()) {
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            }
        } catch (const Panic& p) {
            set_panic(p.text);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            set_panic(e.what());
        } catch (...) {
            set_panic("native code failed an internal check");
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace tarsk::py
