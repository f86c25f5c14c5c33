#pragma once
// Instance layout, the borrow state and the per-class type cache.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "binding/errors.h"

namespace tarsk::py {

// Every instance: the object header, the class's core value by value, and
// one borrow word.
//
// The borrow word is 0 while nobody uses the value, all-ones while one caller
// has exclusive access, and otherwise the number of shared holders. Shared
// access is an increment unless the word is all-ones; exclusive access a
// compare-and-exchange from 0. Releases use release ordering so that a store
// made under exclusive access is visible to whoever takes the value next;
// acquisitions use acquire ordering for the same pairing. A request that
// cannot be granted fails at once.
template <class T>
struct Instance {
    PyObject_HEAD
    T value;
    std::atomic<std::uintptr_t> borrow;
};

inline constexpr std::uintptr_t exclusive_flag = ~std::uintptr_t{0};

// The Python name of a class of the module, one specialisation per core value
// type, declared with the class (TARSK_PY_CLASS). `name` is the class name.
template <class T>
struct ClassInfo;

// A core value type that is a class of the module.
template <class T>
concept PyClassValue = requires { ClassInfo<T>::name; };

// The cached type object of a class; null until created.
template <class T>
inline PyTypeObject* type_cache = nullptr;

// Creates and caches the type object of class T; defined beside the class's
// member declarations. Returns null with a Python exception set on failure.
template <class T>
PyTypeObject* create_type();

// Declares core value type T as a class of the module named NAME, for every
// file that converts its values: its Python name and its type creation.
// Used in namespace tarsk::py, in the header of the class's binding.
#define TARSK_PY_CLASS(T, NAME)                             \
    template <>                                             \
    struct ClassInfo<T> {                                   \
        static constexpr const char name[] = NAME;          \
    };                                                      \
    template <>                                             \
    PyTypeObject* create_type<T>()

// The type object of class T, created on first need. A failure to create it
// here is an internal failure.
template <class T>
inline PyTypeObject* get_type() {
    if (PyTypeObject* t = type_cache<T>) [[likely]] return t;
    if (PyTypeObject* t = create_type<T>()) return t;
    PyErr_Clear();
    throw_panic(std::string("An error occurred while initializing class ") + ClassInfo<T>::name);
}

template <class T>
inline Instance<T>* as_instance(PyObject* obj) {
    return reinterpret_cast<Instance<T>*>(obj);
}

// True when obj is an instance of class T. The classes cannot be
// subclassed, so the exact type test is the whole isinstance test.
template <class T>
inline bool is_instance(PyObject* obj) {
    PyTypeObject* t = type_cache<T>;
    return t && Py_TYPE(obj) == t;  // no instance can exist before its type
}

[[noreturn]] void throw_already_mutably_borrowed();
[[noreturn]] void throw_already_borrowed();

// Takes shared access to the value of `word` or returns false when
// exclusive access is held. Every success is matched by one release_shared.
// The guard below uses these two; a holder that outlives one call (a view
// handed out through the C ABI) calls them directly.
inline bool try_take_shared(std::atomic<std::uintptr_t>& word) {
    std::uintptr_t cur = word.load(std::memory_order_relaxed);
    do {
        if (cur == exclusive_flag) return false;
    } while (!word.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}

inline void release_shared(std::atomic<std::uintptr_t>& word) { word.fetch_sub(1, std::memory_order_release); }

// Holds shared access to one object's value; inert when default-constructed.
class SharedBorrow {
public:
    SharedBorrow() = default;
    // Takes shared access or returns false when exclusive access is held.
    bool try_take(std::atomic<std::uintptr_t>& word) {
        if (!try_take_shared(word)) return false;
        word_ = &word;
        return true;
    }
    void take(std::atomic<std::uintptr_t>& word) {
        if (!try_take(word)) throw_already_mutably_borrowed();
    }
    ~SharedBorrow() {
        if (word_) release_shared(*word_);
    }
    SharedBorrow(SharedBorrow&& o) noexcept : word_(std::exchange(o.word_, nullptr)) {}
    SharedBorrow& operator=(SharedBorrow&&) = delete;

private:
    std::atomic<std::uintptr_t>* word_ = nullptr;
};

// Holds exclusive access to one object's value.
class ExclusiveBorrow {
public:
    ExclusiveBorrow() = default;
    void take(std::atomic<std::uintptr_t>& word) {
        std::uintptr_t expected = 0;
        if (!word.compare_exchange_strong(expected, exclusive_flag, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
            throw_already_borrowed();
        }
        word_ = &word;
    }
    ~ExclusiveBorrow() {
        if (word_) word_->store(0, std::memory_order_release);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::atomic<std::uintptr_t>* word_ = nullptr;
};

// The allocation slot of every class: fixed-size objects that the cycle
// collector never tracks, so a plain object allocation does; the value and
// the borrow word are constructed by the caller.
template <class T>
PyObject* alloc_instance(PyTypeObject* type, Py_ssize_t) noexcept {
    PyObject* obj = static_cast<PyObject*>(PyObject_Malloc(sizeof(Instance<T>)));
    if (!obj) return PyErr_NoMemory();
    return PyObject_Init(obj, type);  // takes a reference to the (heap) type
}

// A new instance of class T holding `value`, created through the type's
// allocation slot with a fresh borrow state.
template <class T>
inline PyObject* new_instance(T&& value) {
    using V = std::remove_cvref_t<T>;
    PyTypeObject* type = get_type<V>();
    PyObject* obj = alloc_instance<V>(type, 0);  // the slot installed for every class
    if (!obj) throw PyErrSet{};
    Instance<V>* inst = as_instance<V>(obj);
    new (&inst->value) V(std::forward<T>(value));
    new (&inst->borrow) std::atomic<std::uintptr_t>(0);
    return obj;
}

// The dealloc slot: drops the core value and frees the object through the
// type's free slot. Never calls back into Python code.
template <class T>
void dealloc_instance(PyObject* obj) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    as_instance<T>(obj)->value.~T();
    type->tp_free(obj);
    Py_DECREF(type);
}

}  // namespace tarsk::py
