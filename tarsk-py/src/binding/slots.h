#pragma once
// Type-slot members (operators, comparison, repr, hash, length, indexing,
// iteration) and the class declaration that turns a member list into a type.
//
// Slots receive their operands unchecked. A binary number slot or the
// comparison slot whose receiver is not an instance answers NotImplemented;
// any other slot raises the type-mismatch TypeError for its receiver.
#include <iterator>
#include <string_view>

#include "binding/members.h"

namespace tarsk::py {

// A receiver that a non-number slot got unchecked.
template <class Self>
inline Self& slot_receiver(PyObject* self) {
    if (!is_instance<Self>(self)) [[unlikely]] throw_error(Error::mismatch(self, ClassInfo<Self>::name));
    return as_instance<Self>(self)->value;
}

// One forward or reflected form of a binary operator: the result, or null
// for NotImplemented (the conversion error discarded unformatted).
using BinaryFn = PyObject* (*)(PyObject* receiver, PyObject* operand);

// The binary number operators, in the order of the table below.
enum class BinaryOp { add, subtract, multiply, true_divide };

// One row per binary operator: its number slot, its method name, and the
// name of its reflected form where a class may define one (null where none
// may). A slot computes the forward form, then the reflected form with the
// operands swapped; each answers NotImplemented for an operand it refuses.
struct NumberOperator {
    BinaryOp op;
    int slot;
    const char* name;
    const char* reflected;
};

inline constexpr NumberOperator number_operators[] = {
    {BinaryOp::add, Py_nb_add, "__add__", nullptr},
    {BinaryOp::subtract, Py_nb_subtract, "__sub__", nullptr},
    {BinaryOp::multiply, Py_nb_multiply, "__mul__", "__rmul__"},
    {BinaryOp::true_divide, Py_nb_true_divide, "__truediv__", nullptr},
};

constexpr const NumberOperator& number_operator(BinaryOp op) {
    return number_operators[static_cast<std::size_t>(op)];
}
static_assert([] {
    for (std::size_t i = 0; i < std::size(number_operators); ++i) {
        if (static_cast<std::size_t>(number_operators[i].op) != i) return false;
    }
    return true;
}(), "the number operator table follows the order of BinaryOp");

// One form of a binary operator; F(const T& self, A operand).
template <BinaryOp Op, bool IsReflected, auto F, Name P>
struct BinaryForm {
    using S = Shape<decltype(F), true>;
    static_assert(std::tuple_size_v<typename S::Params> == 1, "a binary operator takes one operand");
    static_assert(check_signature<BinaryForm, typename S::Params, typename S::Ret>());
    static_assert(!IsReflected || number_operator(Op).reflected != nullptr,
                  "this operator has no reflected form");
    static constexpr BinaryOp op = Op;
    static constexpr bool reflected = IsReflected;
    static constexpr const char* py_name =
        IsReflected ? number_operator(Op).reflected : number_operator(Op).name;
    static constexpr std::array records{function_info<typename S::Params, ParamNames<P>>(
        py_name, introspection::Receiver::self, returns_of<typename S::Ret>, introspection::Decorator::none,
        precise_returns_of<typename S::Ret>)};

    static PyObject* apply(PyObject* receiver, PyObject* operand) {
        using Self = typename S::Self;
        using A = ArgOf<std::tuple_element_t<0, typename S::Params>>;
        if (!is_instance<Self>(receiver)) return nullptr;
#ifdef Py_GIL_DISABLED
        // Both borrows at once when the operand's conversion runs no Python
        // code (see call_with_receiver); else one by one.
        BorrowSet<2> set;
        bool take = true;
        if (!A::may_run_python(operand)) {
            set.add(&as_instance<Self>(receiver)->borrow, false);
            if constexpr (requires { A::borrow_word(operand); }) set.add(A::borrow_word(operand), false);
            take = !set.take_all();
        }
#else
        bool take = A::may_run_python(operand) || refers_into_call<typename S::Ret>;
#endif
        SharedBorrow borrow;
        if (take && !borrow.try_take(as_instance<Self>(receiver)->borrow)) return nullptr;
        typename A::Holder h;
        Error err;
        if (!A::load(operand, h, err, take)) {
            discard(err);
            return nullptr;
        }
        return ResultOf<typename S::Ret>::convert(std::invoke(F, as_instance<Self>(receiver)->value, A::get(h)));
    }
    template <class Cls>
    static void install(TypeBuilder&) {}  // the class installs one number slot per operator
};

// The forward form of an operator: Binary<BinaryOp::add, &Vec3d::add, "other">.
template <BinaryOp Op, auto F, Name P>
using Binary = BinaryForm<Op, false, F, P>;
// The reflected form, with the right operand as receiver:
// Reflected<BinaryOp::multiply, &Vec3d::scale, "lhs"> is __rmul__.
template <BinaryOp Op, auto F, Name P>
using Reflected = BinaryForm<Op, true, F, P>;

// The number slot of one operator: forward form, then the reflected form
// with the operands swapped where the class has one. Whether a form exists
// is passed as a flag: comparing a function's address with null is not a
// constant expression under -fsanitize=undefined.
template <BinaryFn Forward, bool HasForward, BinaryFn Backward, bool HasBackward>
PyObject* number_slot(PyObject* left, PyObject* right) {
    return entry<PyObject*>(nullptr, [&] {
        if constexpr (HasForward) {
            if (PyObject* r = Forward(left, right)) return r;
        }
        if constexpr (HasBackward) {
            if (PyObject* r = Backward(right, left)) return r;
        }
        return Py_NewRef(Py_NotImplemented);
    });
}

// Comparison operators, in the interpreter's numbering (Py_LT ... Py_GE).
enum class CompareOp { lt = Py_LT, le = Py_LE, eq = Py_EQ, ne = Py_NE, gt = Py_GT, ge = Py_GE };

// One comparison operator of a class, answered by the core type's own C++
// operator: Compare<CompareOp::eq>. A class without `ne` answers != through
// the interpreter's full == protocol, negated.
template <CompareOp Op>
struct Compare {
    static constexpr CompareOp compare_op = Op;
    static constexpr const char* py_name = Op == CompareOp::lt   ? "__lt__"
                                           : Op == CompareOp::le ? "__le__"
                                           : Op == CompareOp::eq ? "__eq__"
                                           : Op == CompareOp::ne ? "__ne__"
                                           : Op == CompareOp::gt ? "__gt__"
                                                                 : "__ge__";

    // The operator on the values of class T.
    template <class T>
    struct For {
        static constexpr CompareOp compare_op = Op;
        static constexpr const char* py_name = Compare::py_name;
        static constexpr introspection::Param params[] = {{"other", ClassInfo<T>::name}};
        static constexpr std::array records{introspection::FunctionInfo{
            py_name, introspection::Receiver::self, params, 1, "bool", introspection::Decorator::none}};
        static bool compare(PyObject* a, PyObject* b) {
            const T& x = as_instance<T>(a)->value;
            const T& y = as_instance<T>(b)->value;
            if constexpr (Op == CompareOp::lt) return x < y;
            if constexpr (Op == CompareOp::le) return x <= y;
            if constexpr (Op == CompareOp::eq) return x == y;
            if constexpr (Op == CompareOp::ne) return x != y;
            if constexpr (Op == CompareOp::gt) return x > y;
            if constexpr (Op == CompareOp::ge) return x >= y;
        }
        template <class Cls>
        static void install(TypeBuilder&) {}  // the class installs one comparison slot
    };
};

using CompareFn = bool (*)(PyObject*, PyObject*);

template <class Cls>
bool borrowable(PyObject* obj) {
    return as_instance<Cls>(obj)->borrow.load(std::memory_order_acquire) != exclusive_flag;
}

// The comparison slot of a class; Decl::compare_table holds its operators.
template <class Cls, class Decl>
PyObject* compare_slot(PyObject* self, PyObject* other, int op) {
    static constexpr std::array<CompareFn, 6> Table = Decl::compare_table();
    // Which operators exist, as flags: comparing a function's address with
    // null is not a constant expression under -fsanitize=undefined.
    static constexpr std::array<bool, 6> Defined = Decl::compare_defined();
    return entry<PyObject*>(nullptr, [&]() -> PyObject* {
        if constexpr (!Defined[Py_NE]) {
            if (op == Py_NE) {
                PyObject* eq = PyObject_RichCompare(self, other, Py_EQ);
                if (!eq) throw_fetched();
                int truth = PyObject_IsTrue(eq);
                Py_DECREF(eq);
                if (truth < 0) throw_fetched();
                return Py_NewRef(truth ? Py_False : Py_True);
            }
        }
#ifdef Py_GIL_DISABLED
        // Both values are read under shared borrows; an object this thread
        // holds exclusively is not comparable, as with the GIL.
        if (!is_instance<Cls>(self) || !is_instance<Cls>(other)) return Py_NewRef(Py_NotImplemented);
        BorrowSet<2> set;
        set.add(&as_instance<Cls>(self)->borrow, false);
        set.add(&as_instance<Cls>(other)->borrow, false);
        if (!set.take_all()) return Py_NewRef(Py_NotImplemented);
#else
        if (!is_instance<Cls>(self) || !borrowable<Cls>(self)) return Py_NewRef(Py_NotImplemented);
        if (!is_instance<Cls>(other) || !borrowable<Cls>(other)) return Py_NewRef(Py_NotImplemented);
#endif
        // One case per operator, each calling its function directly.
        auto answer = [&]<int Op>() -> PyObject* {
            if constexpr (!Defined[Op]) {
                return Py_NewRef(Py_NotImplemented);
            } else {
                return Py_NewRef(Table[Op](self, other) ? Py_True : Py_False);
            }
        };
        switch (op) {
            case Py_LT: return answer.template operator()<Py_LT>();
            case Py_LE: return answer.template operator()<Py_LE>();
            case Py_EQ: return answer.template operator()<Py_EQ>();
            case Py_NE: return answer.template operator()<Py_NE>();
            case Py_GT: return answer.template operator()<Py_GT>();
            case Py_GE: return answer.template operator()<Py_GE>();
            default: return Py_NewRef(Py_NotImplemented);
        }
    });
}

// Slots with the receiver only. None converts an argument, so only a result
// that refers into the receiver makes one take the borrow word.
enum class UnaryOp { neg, repr, hash, len, iter, next };

template <UnaryOp Op, auto F>
struct Unary {
    using S = Shape<decltype(F), true>;
    using Self = typename S::Self;
    static constexpr const char* py_name = Op == UnaryOp::neg    ? "__neg__"
                                           : Op == UnaryOp::repr ? "__repr__"
                                           : Op == UnaryOp::hash ? "__hash__"
                                           : Op == UnaryOp::len  ? "__len__"
                                           : Op == UnaryOp::iter ? "__iter__"
                                                                 : "__next__";
    // __next__ yields the value inside the optional; an absent one ends the
    // iteration.
    static constexpr introspection::TextFn precise_returns = [] {
        if constexpr (Op == UnaryOp::next) {
            return precise_returns_of<typename std::remove_cvref_t<typename S::Ret>::value_type>;
        } else {
            return precise_returns_of<typename S::Ret>;
        }
    }();
    static constexpr std::array records{function_info<std::tuple<>, ParamNames<>>(
        py_name, introspection::Receiver::self, returns_of<typename S::Ret>, introspection::Decorator::none,
        precise_returns)};

    static PyObject* object_slot(PyObject* self) {
        return entry<PyObject*>(nullptr, [&] {
            const Self& value = slot_receiver<Self>(self);
            SharedBorrow borrow;
            if constexpr (free_threaded || refers_into_call<typename S::Ret>) {
                borrow.take(as_instance<Self>(self)->borrow);
            }
            return ResultOf<typename S::Ret>::convert(std::invoke(F, value));
        });
    }
    static Py_hash_t hash_slot(PyObject* self) {
        return entry<Py_hash_t>(-1, [&] {
            const Self& value = slot_receiver<Self>(self);
            SharedBorrow borrow;
            if constexpr (free_threaded) borrow.take(as_instance<Self>(self)->borrow);
            Py_hash_t h = static_cast<Py_hash_t>(std::invoke(F, value));
            return h == -1 ? -2 : h;
        });
    }
    static Py_ssize_t len_slot(PyObject* self) {
        return entry<Py_ssize_t>(-1, [&] {
            const Self& value = slot_receiver<Self>(self);
            SharedBorrow borrow;
            if constexpr (free_threaded) borrow.take(as_instance<Self>(self)->borrow);
            return static_cast<Py_ssize_t>(std::invoke(F, value));
        });
    }
    // F returns an optional value; an absent one ends the iteration (null
    // without an exception, as the iteration protocol allows). Without the
    // GIL the iterator is held exclusively while it advances, so threads
    // sharing one iterator each get distinct elements.
    static PyObject* next_slot(PyObject* self) {
        return entry<PyObject*>(nullptr, [&]() -> PyObject* {
            auto& value = slot_receiver<Self>(self);
            ExclusiveBorrow borrow;
            if constexpr (free_threaded) borrow.take(as_instance<Self>(self)->borrow);
            auto item = std::invoke(F, value);
            if (!item) return nullptr;
            return Result<std::remove_cvref_t<decltype(*item)>>::convert(std::move(*item));
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        if constexpr (Op == UnaryOp::neg) b.add_slot(Py_nb_negative, reinterpret_cast<void*>(&object_slot));
        if constexpr (Op == UnaryOp::repr) b.add_slot(Py_tp_repr, reinterpret_cast<void*>(&object_slot));
        if constexpr (Op == UnaryOp::iter) b.add_slot(Py_tp_iter, reinterpret_cast<void*>(&object_slot));
        if constexpr (Op == UnaryOp::hash) b.add_slot(Py_tp_hash, reinterpret_cast<void*>(&hash_slot));
        if constexpr (Op == UnaryOp::len) b.add_slot(Py_mp_length, reinterpret_cast<void*>(&len_slot));
        if constexpr (Op == UnaryOp::next) b.add_slot(Py_tp_iternext, reinterpret_cast<void*>(&next_slot));
    }
};

// __iter__ of an iterator: the object itself.
template <class Self>
struct IterSelf {
    static constexpr const char* py_name = "__iter__";
    static constexpr std::array records{function_info<std::tuple<>, ParamNames<>>(
        py_name, introspection::Receiver::self, ClassInfo<Self>::name, introspection::Decorator::none)};
    static PyObject* slot(PyObject* self) {
        return entry<PyObject*>(nullptr, [&] {
            slot_receiver<Self>(self);
            return Py_NewRef(self);
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_slot(Py_tp_iter, reinterpret_cast<void*>(&slot));
    }
};

// obj[index] through the mapping protocol: GetItem<&at>, F(const T&, uint64).
template <auto F>
struct GetItem {
    using S = Shape<decltype(F), true>;
    using Self = typename S::Self;
    static constexpr const char* py_name = "__getitem__";
    static constexpr const char* names[] = {"index", nullptr};
    static constexpr std::array records{function_info<typename S::Params, ParamNames<"index">>(
        py_name, introspection::Receiver::self, returns_of<typename S::Ret>, introspection::Decorator::none,
        precise_returns_of<typename S::Ret>)};

    static PyObject* slot(PyObject* self, PyObject* key) {
        return entry<PyObject*>(nullptr, [&] {
            slot_receiver<Self>(self);
            return call_with_receiver<F, S>(self, &key, names);
        });
    }
    template <class Cls>
    static void install(TypeBuilder& b) {
        b.add_slot(Py_mp_subscript, reinterpret_cast<void*>(&slot));
    }
};

// ---------------------------------------------------------------------------
// Classes

template <class M>
concept BinaryMember = requires { M::op; M::reflected; M::apply; };
template <class M>
concept CompareMember = requires { M::compare_op; M::compare; };

// A member as the class uses it: one that depends on its class (a
// comparison) is completed with the class's value type.
template <class M, class T>
struct ResolveMember {
    using type = M;
};
template <class M, class T>
    requires requires { typename M::template For<T>; }
struct ResolveMember<M, T> {
    using type = typename M::template For<T>;
};

// The parts of a Python name a member defines: a getter and a setter each
// define one part of a property's name, every other member all of it.
template <class M>
constexpr unsigned name_parts() {
    if constexpr (requires { M::name_parts; }) {
        return M::name_parts;
    } else {
        return 3;
    }
}

// Reported when two members of one class define the same Python name; the
// compiler's instantiation context names the second member.
template <class Member>
struct MemberNameDefinedTwice {
    static_assert(reported<Member>, "two members of one class define this member's Python name");
};

// Record sources of a class: the class record and one per callable.
template <class T>
struct ClassRecord {
    static constexpr std::uint64_t key = introspection::fnv({"class record", ClassInfo<T>::name});
    static constexpr void write(introspection::Sink& s) { introspection::write_class(s, ClassInfo<T>::name); }
};

template <class T, class M, std::size_t K>
struct MemberRecord {
    static constexpr const introspection::FunctionInfo& info = M::records[K];
    static constexpr std::uint64_t key = introspection::fnv(
        {"member record", ClassInfo<T>::name, info.name,
         info.decorator == introspection::Decorator::setter ? "setter" : ""});
    static constexpr void write(introspection::Sink& s) {
        introspection::write_function(s, info, introspection::class_id(ClassInfo<T>::name), 0);
    }
};

// A class: its core value type and its resolved members in registration
// order (see ClassDecl).
template <class T, class... M>
struct ClassType {
    using Value = T;

    // The exported records of the class and of every member.
    template <class Member, std::size_t... K>
    static constexpr auto member_exporters(std::index_sequence<K...>) {
        return std::array<introspection::Exporter, sizeof...(K)>{
            &introspection::export_record<MemberRecord<T, Member, K>>...};
    }
    static constexpr auto exporters = std::tuple{
        std::array<introspection::Exporter, 1>{&introspection::export_record<ClassRecord<T>>},
        member_exporters<M>(std::make_index_sequence<M::records.size()>{})...};

    // The stub data of the class: the precise annotations of every member's
    // records and the descriptions of the table Docs (see TARSK_STUB_DATA).
    template <const auto& Docs>
    struct Stubs {
        static constexpr bool documents_a_member(const char* name) {
            if (*name == 0) return true;
            bool found = false;
            ([&] {
                for (const auto& r : M::records) found = found || introspection::same_text(r.name, name);
            }(), ...);
            return found;
        }
        static constexpr bool every_doc_names_a_member() {
            for (const auto& d : Docs) {
                if (!documents_a_member(d.name)) return false;
            }
            return true;
        }
        static_assert(every_doc_names_a_member(), "a description names no member of this class");

        static constexpr void write(introspection::Sink& s) {
            s.put('{');
            s.key("class");
            s.string(ClassInfo<T>::name);
            s.put(',');
            s.key("doc");
            s.string(introspection::find_doc(Docs, ""));
            s.put(',');
            s.key("members");
            s.put('[');
            bool first = true;
            ([&] {
                for (const auto& r : M::records) {
                    if (!first) s.put(',');
                    first = false;
                    introspection::write_stub_member(s, r, introspection::find_doc(Docs, r.name));
                }
            }(), ...);
            s.put(']');
            s.put('}');
        }
    };

    // Creates the type object once per process and caches it. Null with a
    // Python exception set on failure.
    static PyTypeObject* create() {
        (void)exporters;
        if constexpr (constexpr std::size_t d = first_duplicate(); d < sizeof...(M)) {
            (void)MemberNameDefinedTwice<std::tuple_element_t<d, std::tuple<M...>>>{};
        }
        if (type_cache<T>) return type_cache<T>;
        static const std::string qualified = std::string("builtins.") + ClassInfo<T>::name;
        return entry<PyTypeObject*>(nullptr, [] {
            TypeBuilder b(qualified.c_str(), static_cast<int>(sizeof(Instance<T>)));
            b.add_slot(Py_tp_alloc, reinterpret_cast<void*>(&alloc_instance<T>));
            b.add_slot(Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_instance<T>));
            (M::template install<T>(b), ...);
            [&]<std::size_t... I>(std::index_sequence<I...>) {
                (install_number<number_operators[I].op>(b), ...);
            }(std::make_index_sequence<std::size(number_operators)>{});
            if constexpr ((CompareMember<M> || ...)) {
                b.add_slot(Py_tp_richcompare, reinterpret_cast<void*>(&compare_slot<T, ClassType>));
            }
            PyTypeObject* type = b.build();
            if (!type) throw PyErrSet{};
            // Building allocates objects the collector tracks, so a finalizer
            // can run inside it and may already have needed, and created,
            // this type. The first one stays the only one.
            if (PyTypeObject* first = type_cache<T>) {
                Py_DECREF(type);
                return first;
            }
            type_cache<T> = type;
            return type;
        });
    }

    static constexpr std::array<CompareFn, 6> compare_table() {
        std::array<CompareFn, 6> table{};
        (put_compare<M>(table), ...);
        return table;
    }
    static constexpr std::array<bool, 6> compare_defined() {
        std::array<bool, 6> defined{};
        (put_defined<M>(defined), ...);
        return defined;
    }

private:
    // The index of the first member whose name an earlier member already
    // defines (a getter and a setter may share one), or the member count.
    static constexpr std::size_t first_duplicate() {
        constexpr std::array<std::string_view, sizeof...(M)> names{std::string_view(M::py_name)...};
        constexpr std::array<unsigned, sizeof...(M)> parts{name_parts<M>()...};
        for (std::size_t j = 0; j < names.size(); ++j) {
            for (std::size_t i = 0; i < j; ++i) {
                if (names[i] == names[j] && (parts[i] & parts[j]) != 0) return j;
            }
        }
        return sizeof...(M);
    }

    template <class Member, BinaryOp Op, bool IsReflected>
    static constexpr bool is_form() {
        if constexpr (BinaryMember<Member>) {
            return Member::op == Op && Member::reflected == IsReflected;
        } else {
            return false;
        }
    }
    template <BinaryOp Op, bool IsReflected>
    static constexpr bool has_form = (is_form<M, Op, IsReflected>() || ...);
    // The function of the first member implementing the form (null when
    // none does).
    template <BinaryOp Op, bool IsReflected>
    static constexpr BinaryFn find_form() {
        BinaryFn found = nullptr;
        (
            [&] {
                if constexpr (is_form<M, Op, IsReflected>()) {
                    if (!found) found = &M::apply;
                }
            }(),
            ...);
        return found;
    }
    // The number slot of one operator, when the class has either form.
    template <BinaryOp Op>
    static void install_number(TypeBuilder& b) {
        constexpr bool forward = has_form<Op, false>;
        constexpr bool backward = has_form<Op, true>;
        if constexpr (forward || backward) {
            b.add_slot(number_operator(Op).slot,
                       reinterpret_cast<void*>(&number_slot<find_form<Op, false>(), forward,
                                                            find_form<Op, true>(), backward>));
        }
    }
    template <class Member>
    static constexpr void put_compare(std::array<CompareFn, 6>& table) {
        if constexpr (CompareMember<Member>) table[static_cast<int>(Member::compare_op)] = &Member::compare;
    }
    template <class Member>
    static constexpr void put_defined(std::array<bool, 6>& defined) {
        if constexpr (CompareMember<Member>) defined[static_cast<int>(Member::compare_op)] = true;
    }
};

// A class declaration: its core value type and its members in registration
// order.
//     using Vec3dClass = ClassDecl<tarsk::Vec3d, Constructor<...>, Method<...>, ...>;
template <class T, class... M>
using ClassDecl = ClassType<T, typename ResolveMember<M, T>::type...>;

}  // namespace tarsk::py
