#pragma once
// Conversions between Python objects and core values.
//
// Arg<P> converts one bound argument into the parameter type P of a core
// call. `load` never throws for a rejected object: it reports an Error, so a
// binary operator can answer NotImplemented without formatting anything.
// `may_run_python` tells whether converting an object can run Python code;
// only then can another caller observe the borrow state, so only then must a
// call take its borrows (see members.h).
//
// Result<R> converts a core result into a new Python object.
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/errors.h"
#include "binding/introspection.h"
#include "binding/instance.h"

namespace tarsk::py {

// The precise annotation of a conversion, for the stubs: its own
// write_precise where the record's annotation is left open ("typing.Any"),
// else the record's annotation.
template <class C>
constexpr void precise_text(introspection::Sink& s) {
    if constexpr (requires { C::write_precise(s); }) {
        C::write_precise(s);
    } else {
        s.raw(C::annotation);
    }
}

// The conversion of a parameter type; a type without one is refused when the
// member is declared (see members.h).
template <class P>
struct Arg;

// float: an exact float is read directly, anything else goes through the
// interpreter's float conversion (__float__, else __index__).
template <>
struct Arg<double> {
    static constexpr const char* annotation = "float";
    using Holder = double;
    static bool may_run_python(PyObject* o) { return !PyFloat_CheckExact(o); }
    static bool load(PyObject* o, Holder& h, Error& err, bool) {
        if (PyFloat_CheckExact(o)) [[likely]] {
            h = PyFloat_AS_DOUBLE(o);
            return true;
        }
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) {
            err = Error::fetched();
            return false;
        }
        h = v;
        return true;
    }
    static double get(Holder& h) { return h; }
};

// Unsigned 64-bit integer: an int (bool included) directly, anything else
// through the interpreter's index conversion; negative or too large values
// raise the interpreter's OverflowError.
template <>
struct Arg<std::uint64_t> {
    static constexpr const char* annotation = "int";
    using Holder = std::uint64_t;
    static bool may_run_python(PyObject* o) { return !PyLong_Check(o); }
    static bool load(PyObject* o, Holder& h, Error& err, bool);
    static std::uint64_t get(Holder& h) { return h; }
};

// bool: True and False, and numpy's boolean scalars through their truth-value
// slot. Nothing else, not even int.
template <>
struct Arg<bool> {
    static constexpr const char* annotation = "bool";
    using Holder = bool;
    static bool may_run_python(PyObject* o) { return o != Py_True && o != Py_False; }
    static bool load(PyObject* o, Holder& h, Error& err, bool);
    static bool get(Holder& h) { return h; }
};

// An instance of one of the module's classes, held with shared access for the
// call when borrows are taken. The value is read in place.
template <PyClassValue T>
struct Arg<const T&> {
    static constexpr const char* annotation = ClassInfo<T>::name;
    struct Holder {
        const T* value = nullptr;
        SharedBorrow borrow;
    };
    static bool may_run_python(PyObject*) { return false; }
#ifdef Py_GIL_DISABLED
    // The word a call takes together with its other borrows; null for an
    // object the conversion will refuse.
    static std::atomic<std::uintptr_t>* borrow_word(PyObject* o) {
        return is_instance<T>(o) ? &as_instance<T>(o)->borrow : nullptr;
    }
#endif
    static bool load(PyObject* o, Holder& h, Error& err, bool take) {
        if (!is_instance<T>(o)) [[unlikely]] {
            err = Error::mismatch(o, ClassInfo<T>::name);
            return false;
        }
        Instance<T>* inst = as_instance<T>(o);
        if (take && !h.borrow.try_take(inst->borrow)) {
            err = Error::message(PyExc_RuntimeError, "Already mutably borrowed");
            return false;
        }
        h.value = &inst->value;
        return true;
    }
    static const T& get(Holder& h) { return *h.value; }
};

// ---------------------------------------------------------------------------
// Results

template <class R>
struct Result;

template <>
struct Result<double> {
    static constexpr const char* annotation = "float";
    static PyObject* convert(double v) {
        PyObject* r = PyFloat_FromDouble(v);
        if (!r) throw PyErrSet{};
        return r;
    }
};

template <>
struct Result<bool> {
    static constexpr const char* annotation = "bool";
    static PyObject* convert(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};

// A boolean stored in one byte. Arrays that several threads fill element by
// element hold these instead of bool (std::vector<bool> packs bits, whose
// words could not be written independently); each converts to True or False.
// Trivially default-constructible, so an array of them can be allocated
// without a pass over its memory.
struct ByteBool {
    std::uint8_t value;
    ByteBool() = default;
    constexpr ByteBool(bool b) : value(b ? 1 : 0) {}
    constexpr explicit operator bool() const { return value != 0; }
};

template <>
struct Result<ByteBool> {
    static constexpr const char* annotation = "bool";
    static PyObject* convert(ByteBool v) { return Py_NewRef(v.value ? Py_True : Py_False); }
};

template <>
struct Result<std::string> {
    static constexpr const char* annotation = "str";
    static PyObject* convert(const std::string& s) {
        PyObject* r = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (!r) throw PyErrSet{};
        return r;
    }
};

template <>
struct Result<std::uint64_t> {
    static constexpr const char* annotation = "int";
    static PyObject* convert(std::uint64_t v) {
        PyObject* r = PyLong_FromUnsignedLongLong(v);
        if (!r) throw PyErrSet{};
        return r;
    }
};

template <>
struct Result<std::int64_t> {
    static constexpr const char* annotation = "int";
    static PyObject* convert(std::int64_t v) {
        PyObject* r = PyLong_FromLongLong(v);
        if (!r) throw PyErrSet{};
        return r;
    }
};

template <PyClassValue T>
struct Result<T> {
    static constexpr const char* annotation = ClassInfo<T>::name;
    // A value of the class is moved or copied in as it comes (an element of
    // a container arrives as a const lvalue); anything else is converted to
    // the class's value first.
    template <class U>
    static PyObject* convert(U&& v) {
        if constexpr (std::is_same_v<std::remove_cvref_t<U>, T>) {
            return new_instance(std::forward<U>(v));
        } else {
            return new_instance<T>(T(std::forward<U>(v)));
        }
    }
};

// Owns a new reference until released; drops it on unwinding.
using boundary::Owned;

// Fixed arrays and vectors (with any allocator) become lists.
template <class T, std::size_t N>
struct Result<std::array<T, N>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        s.raw("list[");
        precise_text<Result<T>>(s);
        s.put(']');
    }
    static PyObject* convert(const std::array<T, N>& a) {
        Owned list(PyList_New(static_cast<Py_ssize_t>(N)));
        for (std::size_t i = 0; i < N; ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Result<T>::convert(a[i]));
        }
        return list.release();
    }
};

template <class T, class A>
struct Result<std::vector<T, A>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        s.raw("list[");
        precise_text<Result<T>>(s);
        s.put(']');
    }
    static PyObject* convert(const std::vector<T, A>& v) {
        Owned list(PyList_New(static_cast<Py_ssize_t>(v.size())));
        for (std::size_t i = 0; i < v.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Result<T>::convert(v[i]));
        }
        return list.release();
    }
};

// Fixed groups become tuples.
template <class... T>
struct Result<std::tuple<T...>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        s.raw("tuple[");
        bool first = true;
        ((first ? void() : s.raw(", "), first = false, precise_text<Result<T>>(s)), ...);
        s.put(']');
    }
    template <class Tuple>
    static PyObject* convert(Tuple&& t) {
        Owned tuple(PyTuple_New(sizeof...(T)));
        fill(tuple.get(), std::forward<Tuple>(t), std::index_sequence_for<T...>{});
        return tuple.release();
    }

private:
    template <class Tuple, std::size_t... I>
    static void fill(PyObject* tuple, Tuple&& t, std::index_sequence<I...>) {
        (PyTuple_SET_ITEM(tuple, I, Result<T>::convert(std::get<I>(std::forward<Tuple>(t)))), ...);
    }
};

template <class A, class B>
struct Result<std::pair<A, B>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        s.raw("tuple[");
        precise_text<Result<A>>(s);
        s.raw(", ");
        precise_text<Result<B>>(s);
        s.put(']');
    }
    template <class Pair>
    static PyObject* convert(Pair&& p) {
        Owned tuple(PyTuple_New(2));
        PyTuple_SET_ITEM(tuple.get(), 0, Result<A>::convert(std::forward<Pair>(p).first));
        PyTuple_SET_ITEM(tuple.get(), 1, Result<B>::convert(std::forward<Pair>(p).second));
        return tuple.release();
    }
};

// An absent value becomes None.
template <class T>
struct Result<std::optional<T>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) {
        precise_text<Result<T>>(s);
        s.raw(" | None");
    }
    template <class Opt>
    static PyObject* convert(Opt&& o) {
        if (!o) return Py_NewRef(Py_None);
        return Result<T>::convert(*std::forward<Opt>(o));
    }
};

// A value whose published annotation is left open ("typing.Any"), converted
// as the value itself.
template <class T>
struct Untyped {
    T value;
};

template <class T>
struct Result<Untyped<T>> {
    static constexpr const char* annotation = "typing.Any";
    static constexpr void write_precise(introspection::Sink& s) { precise_text<Result<T>>(s); }
    template <class U>
    static PyObject* convert(U&& u) {
        return Result<T>::convert(std::forward<U>(u).value);
    }
};

// Results of setters and in-place methods.
template <>
struct Result<void> {
    static constexpr const char* annotation = "None";
};

}  // namespace tarsk::py
