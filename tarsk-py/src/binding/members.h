#pragma once
// Member declarations.
//
// Every Python-visible member is declared once, as a type naming its Python
// name, its kind, its parameter names and the plain C++ function it calls
// with core values:
//
//     Method<"dot", &Vec3d::dot, "other">
//
// From that one declaration come the method-table entry and its flags, the
// text-signature doc ("dot($self, other)\n--\n\n"), the argument binding with
// its display name, the conversions (from the C++ parameter types), the
// receiver access (shared for a const receiver, exclusive for a mutable one)
// and the description that the introspection records are made from.
//
// Every wrapper does: bind -> take access -> convert -> call -> convert the
// result -> release, inside one entry trampoline.
//
// Borrowing. Access to a receiver or an argument object is only observable
// by Python code that runs while the call holds it. A call runs Python code
// in an argument conversion (__float__, __index__, a sequence's iteration),
// and in any allocation of an object the collector tracks (a list or tuple
// of the result, a type object created on first need), where a collection
// can run finalizers and gc callbacks and switch threads. So a call skips the
// borrow words only when its conversions cannot run Python code, it takes
// only shared access, and its core function returns a value, finished
// reading before the result is converted. Every other call takes them
// exactly: receiver first, then each argument in order.
#include <Python.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/binder.h"
#include "binding/instance.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/introspection.h"
#include "binding/type_builder.h"

namespace tarsk::py {

// A string usable as a template argument: Method<"dot", ...>.
template <std::size_t N>
struct Name {
    char s[N]{};
    constexpr Name(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) s[i] = text[i];
    }
    constexpr const char* c_str() const { return s; }
};

// What a member is, as its introspection record describes it.
enum class MemberKind { constructor, method, static_method, getter, setter, slot, function };

// ---------------------------------------------------------------------------
// Function shapes

// A parameter of a class type, by value or by reference, takes an instance of
// that class; any other parameter type its own conversion.
template <class P>
struct ArgFor {
    using type = Arg<std::remove_cvref_t<P>>;
};
template <class P>
    requires PyClassValue<std::remove_cvref_t<P>>
struct ArgFor<P> {
    using type = Arg<const std::remove_cvref_t<P>&>;
};
template <class P>
using ArgOf = typename ArgFor<P>::type;

template <class R>
using ResultOf = Result<std::remove_cvref_t<R>>;

// ---------------------------------------------------------------------------
// Declaration checks: a member whose parameter or result type has no
// conversion stops the build here, and the compiler's instantiation context
// names the member.

template <class P>
concept Convertible = requires { ArgOf<P>::annotation; };
template <class R>
concept Returnable = std::is_void_v<R> || requires { ResultOf<R>::annotation; };

// False, but only once instantiated: the condition of a static_assert that
// fires in the instantiation naming the member.
template <class...>
inline constexpr bool reported = false;

template <class Member, class Parameter>
struct ParameterTypeWithoutConversion {
    static_assert(reported<Member, Parameter>, "a parameter of this member has a type the binder cannot convert");
};
template <class Member, class ResultType>
struct ResultTypeWithoutConversion {
    static_assert(reported<Member, ResultType>, "this member returns a type the binder cannot convert");
};

template <class Member, class Params, class R>
constexpr bool check_signature() {
    [&]<class... P>(std::tuple<P...>*) {
        (
            [] {
                if constexpr (!Convertible<P>) (void)ParameterTypeWithoutConversion<Member, P>{};
            }(),
            ...);
    }(static_cast<Params*>(nullptr));
    if constexpr (!Returnable<R>) (void)ResultTypeWithoutConversion<Member, R>{};
    return true;
}

// The constructor function of a plain value type: T{a...}. Constructor<
// &init<Vec3d, double, double, double>, "x", "y", "z"> needs no function of
// the class's own.
template <class T, class... A>
T init(A... a) {
    return T{a...};
}

// The receiver, result and parameters of a core function. A member function
// pointer or a free function whose first parameter is the receiver; a const
// receiver takes shared access, a mutable one exclusive access.
template <class F, bool HasReceiver>
struct Shape;

template <class R, class... A>
struct Shape<R (*)(A...), false> {
    using Ret = R;
    using Params = std::tuple<A...>;
    using Self = void;
    static constexpr bool exclusive = false;
};
template <class R, class... A>
struct Shape<R (*)(A...) noexcept, false> : Shape<R (*)(A...), false> {};

template <class R, class S, class... A>
struct Shape<R (*)(S, A...), true> {
    static_assert(std::is_lvalue_reference_v<S>, "a receiver is taken by reference");
    using Ret = R;
    using Params = std::tuple<A...>;
    using Self = std::remove_cvref_t<S>;
    static constexpr bool exclusive = !std::is_const_v<std::remove_reference_t<S>>;
};
template <class R, class S, class... A>
struct Shape<R (*)(S, A...) noexcept, true> : Shape<R (*)(S, A...), true> {};

template <class R, class C, class... A>
struct Shape<R (C::*)(A...) const, true> {
    using Ret = R;
    using Params = std::tuple<A...>;
    using Self = C;
    static constexpr bool exclusive = false;
};
template <class R, class C, class... A>
struct Shape<R (C::*)(A...) const noexcept, true> : Shape<R (C::*)(A...) const, true> {};
template <class R, class C, class... A>
struct Shape<R (C::*)(A...), true> {
    using Ret = R;
    using Params = std::tuple<A...>;
    using Self = C;
    static constexpr bool exclusive = true;
};

// ---------------------------------------------------------------------------
// The call road

// Holds the receiver's access for one call.
template <class Self, bool Exclusive>
struct Receiver {
    std::conditional_t<Exclusive, ExclusiveBorrow, SharedBorrow> borrow;
    Self* value;
    Receiver(PyObject* self, bool take) : value(&as_instance<Self>(self)->value) {
        if (take) borrow.take(as_instance<Self>(self)->borrow);
    }
};

template <class Params>
struct Loader;

template <class... A>
struct Loader<std::tuple<A...>> {
    static constexpr std::size_t count = sizeof...(A);
    using Holders = std::tuple<typename ArgOf<A>::Holder...>;

    static bool may_run_python(PyObject* const* slots) {
        return may_run(slots, std::index_sequence_for<A...>{});
    }
#ifdef Py_GIL_DISABLED
    // Adds the borrow word of every argument that is an instance of a class
    // of the module, in order, as a shared request.
    template <class Set>
    static void collect(PyObject* const* slots, Set& set) {
        collect_each(slots, set, std::index_sequence_for<A...>{});
    }
#endif
    // Converts every argument in declaration order; the first failure is
    // raised under its parameter's name.
    static void load(PyObject* const* slots, const char* const* names, Holders& h, bool take) {
        load_each(slots, names, h, take, std::index_sequence_for<A...>{});
    }

private:
#ifdef Py_GIL_DISABLED
    template <class Set, std::size_t... I>
    static void collect_each(PyObject* const* slots, Set& set, std::index_sequence<I...>) {
        (
            [&] {
                if constexpr (requires { ArgOf<A>::borrow_word(slots[I]); }) {
                    set.add(ArgOf<A>::borrow_word(slots[I]), false);
                }
            }(),
            ...);
    }
#endif
    template <std::size_t... I>
    static bool may_run(PyObject* const* slots, std::index_sequence<I...>) {
        return (false || ... || ArgOf<A>::may_run_python(slots[I]));
    }
    template <std::size_t... I>
    static void load_each(PyObject* const* slots, const char* const* names, Holders& h,
                          [[maybe_unused]] bool take, std::index_sequence<I...>) {
        Error err;
        (void)err;
        ((ArgOf<A>::load(slots[I], std::get<I>(h), err, take) ? void() : throw_arg_error(names[I], err)),
         ...);
    }
};

// Calls F with the receiver (if any) and the converted arguments, and
// converts its result.
template <auto F, class S, class... Self>
PyObject* invoke_converted(typename Loader<typename S::Params>::Holders& h, Self*... self) {
    using R = typename S::Ret;
    auto call = [&]<std::size_t... I>(std::index_sequence<I...>) -> decltype(auto) {
        using P = typename S::Params;
        return std::invoke(F, *self...,
                           ArgOf<std::tuple_element_t<I, P>>::get(std::get<I>(h))...);
    };
    constexpr auto seq = std::make_index_sequence<Loader<typename S::Params>::count>{};
    if constexpr (std::is_void_v<R>) {
        call(seq);
        return Py_NewRef(Py_None);
    } else {
        return ResultOf<R>::convert(call(seq));
    }
}

// A result that still refers into the receiver or an argument (a
// reference) is read while it is converted, so the call holds its objects.
template <class R>
inline constexpr bool refers_into_call = std::is_reference_v<R>;

// bind -> access -> convert -> call for a member with a receiver.
template <auto F, class S>
PyObject* call_with_receiver(PyObject* self, PyObject* const* slots, const char* const* names) {
    using L = Loader<typename S::Params>;
#ifdef Py_GIL_DISABLED
    // Every borrow is taken. A call whose conversions run no Python code
    // takes them all at once, waiting for other threads' calls; otherwise
    // (or for a conflict within this thread, which the road below reports
    // exactly as the GIL build does) they are taken one by one.
    BorrowSet<L::count + 1> set;
    if (!L::may_run_python(slots)) {
        set.add(&as_instance<typename S::Self>(self)->borrow, S::exclusive);
        L::collect(slots, set);
    }
    bool take = !(!L::may_run_python(slots) && set.take_all());
#else
    bool take = L::may_run_python(slots) || (S::exclusive && L::count > 0) ||
                refers_into_call<typename S::Ret>;
#endif
    Receiver<typename S::Self, S::exclusive> recv(self, take);
    typename L::Holders h;
    L::load(slots, names, h, take);
    return invoke_converted<F, S>(h, recv.value);
}

// bind -> convert -> call for a static method or module function.
template <auto F, class S>
PyObject* call_static(PyObject* const* slots, const char* const* names) {
    using L = Loader<typename S::Params>;
#ifdef Py_GIL_DISABLED
    BorrowSet<L::count> set;
    if (!L::may_run_python(slots)) L::collect(slots, set);
    bool take = !(!L::may_run_python(slots) && set.take_all());
#else
    bool take = L::may_run_python(slots) || refers_into_call<typename S::Ret>;
#endif
    typename L::Holders h;
    L::load(slots, names, h, take);
    return invoke_converted<F, S>(h);
}

// The text-signature doc of a callable: "name($self, a, b)\n--\n\n".
const char* make_text_signature(const char* name, bool with_self, const char* const* params,
                                std::size_t nparams);

// ---------------------------------------------------------------------------
// Declarations

// A method-table entry's function, whatever its calling convention.
template <class Fn>
PyCFunction as_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <Name... P>
struct ParamNames {
    static constexpr std::size_t count = sizeof...(P);
    static constexpr const char* names[count + 1] = {P.c_str()..., nullptr};
};

// The record view of a parameter list and a result.
template <class Params, class Names, std::size_t... I>
constexpr auto param_table(std::index_sequence<I...>) {
    return std::array<introspection::Param, sizeof...(I)>{
        introspection::Param{Names::names[I], ArgOf<std::tuple_element_t<I, Params>>::annotation,
                             &precise_text<ArgOf<std::tuple_element_t<I, Params>>>}...};
}
template <class Params, class Names>
inline constexpr auto params_of = param_table<Params, Names>(std::make_index_sequence<Names::count>{});
template <class R>
inline constexpr const char* returns_of = ResultOf<R>::annotation;

template <class R>
inline constexpr introspection::TextFn precise_returns_of = &precise_text<ResultOf<R>>;

template <class Params, class Names>
constexpr introspection::FunctionInfo function_info(const char* name, introspection::Receiver receiver,
                                                    const char* returns,
                                                    introspection::Decorator decorator,
                                                    introspection::TextFn precise_returns = &introspection::no_precise) {
    return {name, receiver, params_of<Params, Names>.data(), Names::count, returns, decorator,
            precise_returns};
}

// What every declared method, static method and module function shares:
// its shape, its parameter names, its record and the wrappers that bind,
// convert and call. `Cls` is the class name shown in binding errors, null
// for a module function.
template <Name N, auto F, bool HasReceiver, Name... P>
struct CallableDecl {
    using S = Shape<decltype(F), HasReceiver>;
    using Names = ParamNames<P...>;
    static_assert(std::tuple_size_v<typename S::Params> == Names::count,
                  "one name per parameter");
    static_assert(check_signature<CallableDecl, typename S::Params, typename S::Ret>());
    static constexpr const char* py_name = N.c_str();

    static constexpr auto record(introspection::Receiver receiver, introspection::Decorator decorator) {
        return std::array{function_info<typename S::Params, Names>(N.c_str(), receiver,
                                                                   returns_of<typename S::Ret>, decorator,
                                                                   precise_returns_of<typename S::Ret>)};
    }
    static PyObject* call(PyObject* self, PyObject* const* slots) {
        if constexpr (HasReceiver) {
            return call_with_receiver<F, S>(self, slots, Names::names);
        } else {
            return call_static<F, S>(slots, Names::names);
        }
    }
    template <const char* Cls>
    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&] {
            static constexpr Signature sig{Cls, N.c_str(), Names::names, Names::count};
            PyObject* slots[Names::count + 1];
            bind_fast(sig, args, nargs, kwnames, slots);
            return call(self, slots);
        });
    }
    static PyObject* noargs(PyObject* self, PyObject*) {
        return entry<PyObject*>(nullptr, [&] { return call(self, nullptr); });
    }
    // The method-table entry: the no-argument convention when there are no
    // parameters, else the fast convention with keywords.
    template <const char* Cls>
    static PyMethodDef definition(int extra_flags) {
        const char* doc = make_text_signature(N.c_str(), HasReceiver, Names::names, Names::count);
        if constexpr (Names::count == 0) {
            return {N.c_str(), as_cfunction(&noargs), METH_NOARGS | extra_flags, doc};
        } else {
            return {N.c_str(), as_cfunction(&fast<Cls>), METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
        }
    }
};

// Instance method: Method<"dot", &Vec3d::dot, "other">.
template <Name N, auto F, Name... P>
struct Method : CallableDecl<N, F, true, P...> {
    static constexpr MemberKind kind = MemberKind::method;
    static constexpr auto records =
        Method::record(introspection::Receiver::self, introspection::Decorator::none);

    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_method(Method::template definition<ClassInfo<Cls>::name>(0));
    }
};

// Static method: Static<"new_from_to", &Vec3d::new_from_to, "from", "to">.
template <Name N, auto F, Name... P>
struct Static : CallableDecl<N, F, false, P...> {
    static constexpr MemberKind kind = MemberKind::static_method;
    static constexpr auto records =
        Static::record(introspection::Receiver::none, introspection::Decorator::staticmethod);

    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_method(Static::template definition<ClassInfo<Cls>::name>(METH_STATIC));
    }
};

// Module function: Function<"plane_line", &plane_line, "plane", "a", "b">.
template <Name N, auto F, Name... P>
struct Function : CallableDecl<N, F, false, P...> {
    static constexpr MemberKind kind = MemberKind::function;
    static constexpr auto records =
        Function::record(introspection::Receiver::none, introspection::Decorator::none);

    // The method definition the module's function object is made from.
    static PyMethodDef* definition() {
        static PyMethodDef def = Function::template CallableDecl<N, F, false, P...>::template definition<nullptr>(0);
        return &def;
    }
};

// Constructor (the type's new slot): Constructor<&make_vec3d, "x", "y", "z">.
// F returns the new instance's core value.
template <auto F, Name... P>
struct Constructor {
    using S = Shape<decltype(F), false>;
    using Names = ParamNames<P...>;
    static_assert(std::tuple_size_v<typename S::Params> == Names::count,
                  "one name per parameter");
    static_assert(check_signature<Constructor, typename S::Params, void>());
    static constexpr MemberKind kind = MemberKind::constructor;
    static constexpr const char* py_name = "__new__";
    static constexpr std::array records{function_info<typename S::Params, Names>(
        "__new__", introspection::Receiver::cls, "None", introspection::Decorator::none)};

    // Converts the bound arguments and creates the instance.
    template <class Cls>
    static PyObject* construct(PyTypeObject* type, PyObject* const* slots) {
        using L = Loader<typename S::Params>;
#ifdef Py_GIL_DISABLED
        BorrowSet<L::count> set;
        if (!L::may_run_python(slots)) L::collect(slots, set);
        bool take = !(!L::may_run_python(slots) && set.take_all());
#else
        bool take = L::may_run_python(slots);
#endif
        typename L::Holders h;
        L::load(slots, Names::names, h, take);
        Cls value = [&]<std::size_t... I>(std::index_sequence<I...>) {
            return std::invoke(F, ArgOf<std::tuple_element_t<I, typename S::Params>>::get(std::get<I>(h))...);
        }(std::make_index_sequence<Names::count>{});
        PyObject* obj = type->tp_alloc(type, 0);
        if (!obj) throw PyErrSet{};
        new (&as_instance<Cls>(obj)->value) Cls(std::move(value));
        new (&as_instance<Cls>(obj)->borrow) std::atomic<std::uintptr_t>(0);
        return obj;
    }
    template <class Cls>
    static constexpr Signature signature{ClassInfo<Cls>::name, "__new__", Names::names, Names::count};

    // The new slot: a positional tuple and a keyword dict.
    template <class Cls>
    static PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return entry<PyObject*>(nullptr, [&] {
            PyObject* slots[Names::count + 1];
            bind_tuple(signature<Cls>, args, kwargs, slots);
            return construct<Cls>(type, slots);
        });
    }
    // Calling the class: the same binding and construction through the fast
    // calling convention, without building the tuple and dict.
    template <class Cls>
    static PyObject* vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                                PyObject* kwnames) {
        return entry<PyObject*>(nullptr, [&] {
            PyObject* slots[Names::count + 1];
            bind_fast(signature<Cls>, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
            return construct<Cls>(reinterpret_cast<PyTypeObject*>(type), slots);
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        b.set_doc(make_text_signature(ClassInfo<Cls>::name, false, Names::names, Names::count));
        b.add_slot(Py_tp_new, reinterpret_cast<void*>(&tp_new<Cls>));
        b.set_vectorcall(&vectorcall<Cls>);
    }
};

// Read-only property: Getter<"area", &Circle::area>.
template <Name N, auto F>
struct Getter {
    using S = Shape<decltype(F), true>;
    static_assert(check_signature<Getter, typename S::Params, typename S::Ret>());
    static constexpr MemberKind kind = MemberKind::getter;
    static constexpr unsigned name_parts = 1;  // shares its name with a setter
    static constexpr const char* py_name = N.c_str();
    static constexpr std::array records{function_info<std::tuple<>, ParamNames<>>(
        N.c_str(), introspection::Receiver::self, returns_of<typename S::Ret>,
        introspection::Decorator::property, precise_returns_of<typename S::Ret>)};

    static PyObject* get(PyObject* self, void*) {
        return entry<PyObject*>(nullptr, [&] {
            Receiver<typename S::Self, false> recv(self, free_threaded || refers_into_call<typename S::Ret>);
            return ResultOf<typename S::Ret>::convert(std::invoke(F, *recv.value));
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_getter(N.c_str(), &get);
    }
};

// Property setter: Setter<"angle", &set_angle>, F(T& self, V value). The
// value is converted first; exclusive access is taken for the store.
template <Name N, auto F>
struct Setter {
    using S = Shape<decltype(F), true>;
    static_assert(check_signature<Setter, typename S::Params, void>());
    static constexpr MemberKind kind = MemberKind::setter;
    static constexpr unsigned name_parts = 2;  // shares its name with a getter
    static constexpr const char* py_name = N.c_str();
    static constexpr std::array records{function_info<typename S::Params, ParamNames<"value">>(
        N.c_str(), introspection::Receiver::self, "None", introspection::Decorator::setter)};

    static int set(PyObject* self, PyObject* value, void*) {
        return entry<int>(-1, [&] {
            if (!value) throw_py(PyExc_AttributeError, "can't delete attribute");
            using L = Loader<typename S::Params>;
            static constexpr const char* names[] = {"value", nullptr};
            typename L::Holders h;
            L::load(&value, names, h, true);
            using Self = typename S::Self;
            ExclusiveBorrow borrow;
            borrow.take(as_instance<Self>(self)->borrow);
            std::invoke(F, as_instance<Self>(self)->value,
                        ArgOf<std::tuple_element_t<0, typename S::Params>>::get(std::get<0>(h)));
            return 0;
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_setter(N.c_str(), &set);
    }
};

template <auto M>
struct FieldAccess;
template <class C, class V, V C::*M>
struct FieldAccess<M> {
    static V get(const C& self) { return self.*M; }
    static void set(C& self, const V& value) { self.*M = value; }
};

// Both accessors of a stored field: Field<"x", &Vec3d::x>.
template <Name N, auto M>
struct Field {
    using Get = Getter<N, &FieldAccess<M>::get>;
    using Set = Setter<N, &FieldAccess<M>::set>;
    static constexpr const char* py_name = N.c_str();
    static constexpr std::array records{Get::records[0], Set::records[0]};

    template <class Cls>
    static void install(TypeBuilder& b) {
        Get::template install<Cls>(b);
        Set::template install<Cls>(b);
    }
};

// The stub data of a module's functions F... with the descriptions of the
// table Docs (see TARSK_STUB_DATA).
template <Name Module, const auto& Docs, class... F>
struct FunctionStubs {
    static constexpr bool every_doc_names_a_function() {
        for (const auto& d : Docs) {
            if (!(false || ... || introspection::same_text(d.name, F::py_name))) return false;
        }
        return true;
    }
    static_assert(every_doc_names_a_function(), "a description names no function of this module");

    static constexpr void write(introspection::Sink& s) {
        s.put('{');
        s.key("module");
        s.string(Module.c_str());
        s.put(',');
        s.key("members");
        s.put('[');
        bool first = true;
        ([&] {
            if (!first) s.put(',');
            first = false;
            introspection::write_stub_member(s, F::records[0], introspection::find_doc(Docs, F::py_name));
        }(), ...);
        s.put(']');
        s.put('}');
    }
};

}  // namespace tarsk::py
