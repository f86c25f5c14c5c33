#pragma once
// Instance layout, the borrow state and the per-class type cache.
#include <Python.h>

#include <atomic>
#include <cstddef>
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

#ifndef Py_GIL_DISABLED

inline constexpr bool free_threaded = false;

// The four steps of the protocol with the global lock: a request that
// cannot be granted fails at once (the lock serialises every call, so a
// conflict can only be this thread's own).
namespace borrow_step {
// Shared access unless the word is all-ones.
inline bool take_shared(std::atomic<std::uintptr_t>& word) {
    std::uintptr_t cur = word.load(std::memory_order_relaxed);
    do {
        if (cur == exclusive_flag) return false;
    } while (!word.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}
inline void release_shared(std::atomic<std::uintptr_t>& word) noexcept {
    word.fetch_sub(1, std::memory_order_release);
}
// Exclusive access from 0.
inline bool take_exclusive(std::atomic<std::uintptr_t>& word) {
    std::uintptr_t expected = 0;
    return word.compare_exchange_strong(expected, exclusive_flag, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}
inline void release_exclusive(std::atomic<std::uintptr_t>& word) noexcept {
    word.store(0, std::memory_order_release);
}
// A view holds the list as a call does.
inline bool take_view(std::atomic<std::uintptr_t>& word) { return take_shared(word); }
inline void release_view(std::atomic<std::uintptr_t>& word) noexcept { release_shared(word); }
}  // namespace borrow_step

#else  // Py_GIL_DISABLED

// Without the global lock, calls on one object from several threads really
// overlap, so every call takes its borrows (see members.h) and a request
// that another thread's call blocks waits for it, as the lock would have
// made it wait. A request still fails at once, with the same error as with
// the lock, where waiting could never end or could deadlock:
//
//  - the calling thread itself holds the object (re-entry from a finalizer
//    or a conversion, or extending a list with itself);
//  - the calling thread already holds another borrow, and so might wait on a
//    thread that waits for it (a call whose argument conversion runs Python
//    code, or a call made from such Python code);
//  - a holder of the object is not a call but a longer-lived view (the
//    companion's array views), which nothing obliges to end.
//
// The word keeps its meaning (0 free, all-ones exclusive) and adds, for
// shared holders: bits 0..29 the number of all shared holders, bits 30..59
// the number of those that are calls (a view counts only in the first
// field), and bit 62, set by a waiting exclusive request so that new shared
// requests of threads holding nothing let it in first (for a bounded time,
// so a reader never waits on a writer forever).
inline constexpr bool free_threaded = true;

namespace borrow_ft {

inline constexpr std::uintptr_t count_mask = (std::uintptr_t{1} << 30) - 1;
inline constexpr unsigned call_shift = 30;
// One shared holder that is a call.
inline constexpr std::uintptr_t call_unit = 1 | (std::uintptr_t{1} << call_shift);
inline constexpr std::uintptr_t writer_waiting = std::uintptr_t{1} << 62;

// Takes shared or exclusive access with the policy above; false when the
// request conflicts in a way that must be reported.
bool take_shared(std::atomic<std::uintptr_t>& word);
bool take_exclusive(std::atomic<std::uintptr_t>& word);
void release_shared(std::atomic<std::uintptr_t>& word) noexcept;
void release_exclusive(std::atomic<std::uintptr_t>& word) noexcept;
// A view's hold: counted among the shared holders but not among the calls,
// and not recorded as held by the taking thread.
bool take_view(std::atomic<std::uintptr_t>& word);
void release_view(std::atomic<std::uintptr_t>& word) noexcept;

// Up to N words one call reads (shared) or changes (exclusive), taken all
// together: when another thread's call blocks one of them, every word
// already taken is given back before waiting, so two calls that take the
// same objects in different orders cannot deadlock. take_all() is false on
// a conflict to report; nothing is then held.
struct Request {
    std::atomic<std::uintptr_t>* word;
    bool exclusive;
};
bool take_all(Request* requests, std::size_t n, std::size_t& taken);
void release_all(Request* requests, std::size_t n) noexcept;

}  // namespace borrow_ft

template <std::size_t N>
class BorrowSet {
public:
    BorrowSet() = default;
    BorrowSet(const BorrowSet&) = delete;
    BorrowSet& operator=(const BorrowSet&) = delete;
    void add(std::atomic<std::uintptr_t>* word, bool exclusive) {
        if (word) requests_[n_++] = {word, exclusive};
    }
    bool take_all() {
        std::size_t taken = 0;
        bool ok = borrow_ft::take_all(requests_, n_, taken);
        held_ = ok ? n_ : 0;
        return ok;
    }
    ~BorrowSet() { borrow_ft::release_all(requests_, held_); }

private:
    borrow_ft::Request requests_[N > 0 ? N : 1]{};
    std::size_t n_ = 0;
    std::size_t held_ = 0;
};

// The four steps of the protocol without the global lock (borrow.cpp).
namespace borrow_step = borrow_ft;

#endif  // Py_GIL_DISABLED

// Holds shared access to one object's value; inert when default-constructed.
class SharedBorrow {
public:
    SharedBorrow() = default;
    // Takes shared access (without the global lock: waiting for another
    // thread's exclusive access); false on a conflict to report.
    bool try_take(std::atomic<std::uintptr_t>& word) {
        if (!borrow_step::take_shared(word)) return false;
        word_ = &word;
        return true;
    }
    void take(std::atomic<std::uintptr_t>& word) {
        if (!try_take(word)) throw_already_mutably_borrowed();
    }
    ~SharedBorrow() {
        if (word_) borrow_step::release_shared(*word_);
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
    // Takes exclusive access (without the global lock: waiting for other
    // threads' calls); false on a conflict to report.
    bool try_take(std::atomic<std::uintptr_t>& word) {
        if (!borrow_step::take_exclusive(word)) return false;
        word_ = &word;
        return true;
    }
    void take(std::atomic<std::uintptr_t>& word) {
        if (!try_take(word)) throw_already_borrowed();
    }
    ~ExclusiveBorrow() {
        if (word_) borrow_step::release_exclusive(*word_);
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::atomic<std::uintptr_t>* word_ = nullptr;
};

// Shared access held beyond one call: a view of a list's rows handed out
// through the C ABI, released by whichever thread drops the view. False when
// the request conflicts (the list is being changed, or, without the global
// lock, changed by this thread or by a call it could wait on forever); a
// change by another thread's call is waited for. Every success is matched by
// one release_view.
inline bool take_view(std::atomic<std::uintptr_t>& word) { return borrow_step::take_view(word); }
inline void release_view(std::atomic<std::uintptr_t>& word) { borrow_step::release_view(word); }

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
