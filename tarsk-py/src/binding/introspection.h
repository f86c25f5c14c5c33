#pragma once
// Introspection records: one read-only data object per module, class and
// callable, exported as "PYO3_INTROSPECTION_1_<n>" so that a stub generator
// can read the API from the library's symbol table without importing it.
//
// A record is a 4-byte little-endian length n, n bytes of JSON and zero
// padding to a multiple of 4. Every record is computed at compile time from
// the same member declarations that register the API (members.h, slots.h,
// module_decl.h), and nothing reads them at run time.
//
// The data object itself is a constexpr array with an internal name; an
// assembler directive gives it the exported name, type and size. The symbol
// number must fit an assembler immediate, so it is a 31-bit hash; the linker
// would reject a collision as a duplicate definition.
#include <array>
#include <cstddef>
#include <cstdint>

namespace tarsk::py::introspection {

// FNV-1a over a sequence of strings, each followed by a separator byte.
constexpr std::uint64_t fnv(std::initializer_list<const char*> parts) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char* p : parts) {
        for (; *p; ++p) {
            h ^= static_cast<unsigned char>(*p);
            h *= 0x100000001b3ULL;
        }
        h ^= 0x1f;
        h *= 0x100000001b3ULL;
    }
    return h;
}

constexpr std::uint64_t class_id(const char* name) { return fnv({"class", name}); }
constexpr std::uint64_t module_id(const char* name) { return fnv({"module", name}); }
constexpr std::uint64_t function_id(const char* module, const char* name) {
    return fnv({"function", module, name});
}

// Writes JSON text, or only counts it when `out` is null.
struct Sink {
    unsigned char* out = nullptr;
    std::size_t n = 0;
    constexpr void put(char c) {
        if (out) out[n] = static_cast<unsigned char>(c);
        ++n;
    }
    constexpr void raw(const char* s) {
        for (; *s; ++s) put(*s);
    }
    constexpr void string(const char* s) {
        put('"');
        for (; *s; ++s) {
            if (*s == '"' || *s == '\\') put('\\');
            put(*s);
        }
        put('"');
    }
    constexpr void number_string(std::uint64_t v) {
        char digits[24]{};
        int k = 0;
        do {
            digits[k++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v);
        put('"');
        while (k) put(digits[--k]);
        put('"');
    }
    constexpr void key(const char* k) {
        string(k);
        put(':');
    }
};

// Writes the precise annotation of a type (for the stubs only; the records
// keep `annotation`). One that writes nothing (`no_precise`) leaves the
// precise annotation to be `annotation` itself. The pointer is never null: a
// constant expression may call a function pointer, but the undefined-behaviour
// sanitizer rejects comparing one.
using TextFn = void (*)(Sink&);

constexpr void no_precise(Sink&) {}

struct Param {
    const char* name;
    const char* annotation;
    TextFn precise = &no_precise;
};

enum class Receiver { none, self, cls };
enum class Decorator { none, staticmethod, property, setter };

// One callable as its record describes it.
struct FunctionInfo {
    const char* name;
    Receiver receiver;
    const Param* params;
    std::size_t nparams;
    const char* returns;
    Decorator decorator;
    TextFn precise_returns = &no_precise;
};

// {"type":"function", "name", "parent" | "id", "arguments", "returns", "decorators"}
constexpr void write_function(Sink& s, const FunctionInfo& f, std::uint64_t parent, std::uint64_t id) {
    s.put('{');
    s.key("type");
    s.string("function");
    s.put(',');
    s.key("name");
    s.string(f.name);
    s.put(',');
    if (parent) {
        s.key("parent");
        s.number_string(parent);
    } else {
        s.key("id");
        s.number_string(id);
    }
    s.put(',');
    s.key("arguments");
    s.put('{');
    bool any = false;
    if (f.receiver != Receiver::none) {
        s.key("posonlyargs");
        s.raw(f.receiver == Receiver::self ? "[{\"name\":\"self\"}]" : "[{\"name\":\"cls\"}]");
        any = true;
    }
    if (f.nparams > 0) {
        if (any) s.put(',');
        s.key("args");
        s.put('[');
        for (std::size_t i = 0; i < f.nparams; ++i) {
            if (i) s.put(',');
            s.put('{');
            s.key("name");
            s.string(f.params[i].name);
            s.put(',');
            s.key("annotation");
            s.string(f.params[i].annotation);
            s.put('}');
        }
        s.put(']');
    }
    s.put('}');
    s.put(',');
    s.key("returns");
    s.string(f.returns);
    if (f.decorator != Decorator::none) {
        s.put(',');
        s.key("decorators");
        s.put('[');
        s.put('"');
        if (f.decorator == Decorator::staticmethod) s.raw("staticmethod");
        if (f.decorator == Decorator::property) s.raw("property");
        if (f.decorator == Decorator::setter) {
            s.raw(f.name);
            s.raw(".setter");
        }
        s.put('"');
        s.put(']');
    }
    s.put('}');
}

constexpr void write_class(Sink& s, const char* name) {
    s.put('{');
    s.key("type");
    s.string("class");
    s.put(',');
    s.key("id");
    s.number_string(class_id(name));
    s.put(',');
    s.key("name");
    s.string(name);
    s.put('}');
}

constexpr void write_module(Sink& s, const char* name, const std::uint64_t* members, std::size_t count) {
    s.put('{');
    s.key("type");
    s.string("module");
    s.put(',');
    s.key("id");
    s.number_string(module_id(name));
    s.put(',');
    s.key("name");
    s.string(name);
    s.put(',');
    s.key("members");
    s.put('[');
    for (std::size_t i = 0; i < count; ++i) {
        if (i) s.put(',');
        s.number_string(members[i]);
    }
    s.put(']');
    s.put(',');
    s.key("incomplete");
    s.raw("false");
    s.put('}');
}

// One length-prefixed JSON text: its length as four little-endian bytes,
// the text, and zeros up to a multiple of four bytes. Source provides
// `static constexpr void write(Sink&)`.
template <class Source>
struct Framed {
    static constexpr std::size_t json_size = [] {
        Sink s;
        Source::write(s);
        return s.n;
    }();
    static constexpr std::size_t size = (4 + json_size + 3) / 4 * 4;
    static constexpr std::array<unsigned char, size> frame() {
        std::array<unsigned char, size> a{};
        a[0] = static_cast<unsigned char>(json_size & 0xff);
        a[1] = static_cast<unsigned char>((json_size >> 8) & 0xff);
        a[2] = static_cast<unsigned char>((json_size >> 16) & 0xff);
        a[3] = static_cast<unsigned char>((json_size >> 24) & 0xff);
        Sink s{a.data() + 4, 0};
        Source::write(s);
        return a;
    }
};

// The bytes of one record. Source also provides `static constexpr
// std::uint64_t key` (for the number).
template <class Source>
struct Record : Framed<Source> {
    static constexpr std::array<unsigned char, Framed<Source>::size> bytes = Framed<Source>::frame();
    static constexpr std::uint32_t number = static_cast<std::uint32_t>((Source::key ^ (Source::key >> 31)) & 0x7fffffffU);
};

// Gives a record its exported name, type and size. Never called: taking its
// address instantiates it, and `used` keeps it in the object file.
template <class Source>
[[gnu::used, gnu::noinline]] void export_record() {
    using R = Record<Source>;
    asm volatile(
        ".globl PYO3_INTROSPECTION_1_%c0\n\t"
        ".type PYO3_INTROSPECTION_1_%c0, @object\n\t"
        ".set PYO3_INTROSPECTION_1_%c0, %c1\n\t"
        ".size PYO3_INTROSPECTION_1_%c0, %c2"
        :
        // "i" (on aarch64 "S", a symbolic address) and the "c" modifier (a
        // bare constant or symbol, no '$' or '(%rip)') are the operand forms
        // both g++ and clang++ accept; an address of static storage is a
        // link-time constant to the assembler even in position-independent
        // code.
#if defined(__aarch64__)
        : "n"(R::number), "S"(&R::bytes), "n"(R::size));
#else
        : "n"(R::number), "i"(&R::bytes), "n"(R::size));
#endif
}

using Exporter = void (*)();

// ---------------------------------------------------------------------------
// Stub data: what the stubs say beyond the records. For each class (or for
// the module functions of one module) one entry, laid out like a record (a
// 4-byte length, JSON text, zero padding to a multiple of 4):
//
//   {"class":"Vec3d","doc":"...","members":[{"name":"dot","decorator":"",
//    "args":["Vec3d"],"returns":"float","doc":"..."}, ...]}
//
// (a module's functions: {"module":"geometry","members":[...]}). The
// annotations are the precise ones, written from the C++ types; the
// descriptions come from a table beside the class's declaration. The entries
// are placed in a section of their own that is not loaded at run time (see
// TARSK_STUB_DATA), read by tools/stubgen.py and removed from the library
// after the stubs are written.

// The description of one member, by its Python name; "" names the class.
struct Doc {
    const char* name;
    const char* text;
};

constexpr bool same_text(const char* a, const char* b) {
    for (; *a && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

template <class Docs>
constexpr const char* find_doc(const Docs& docs, const char* name) {
    for (const Doc& d : docs) {
        if (same_text(d.name, name)) return d.text;
    }
    return "";
}

constexpr void write_precise(Sink& s, const char* annotation, TextFn precise) {
    s.put('"');
    const std::size_t start = s.n;
    precise(s);
    if (s.n == start) s.raw(annotation);
    s.put('"');
}

constexpr void write_stub_member(Sink& s, const FunctionInfo& f, const char* doc) {
    s.put('{');
    s.key("name");
    s.string(f.name);
    s.put(',');
    s.key("decorator");
    s.string(f.decorator == Decorator::staticmethod ? "staticmethod"
             : f.decorator == Decorator::property   ? "property"
             : f.decorator == Decorator::setter     ? "setter"
                                                    : "");
    s.put(',');
    s.key("args");
    s.put('[');
    for (std::size_t i = 0; i < f.nparams; ++i) {
        if (i) s.put(',');
        write_precise(s, f.params[i].annotation, f.params[i].precise);
    }
    s.put(']');
    s.put(',');
    s.key("returns");
    write_precise(s, f.returns, f.precise_returns);
    s.put(',');
    s.key("doc");
    s.string(doc);
    s.put('}');
}

}  // namespace tarsk::py::introspection

// Places the stub data of a declaration (a class declaration with its
// description table, or a module's function list) in the section
// ".tarsk_stubs". With GCC the section is written without the "allocate"
// flag, like debug information: it takes no memory at run time and no
// symbol names it. The build removes it from the library once the stubs are
// written (tarsk-py/CMakeLists.txt). The assembler's comment character hides
// the flags GCC appends after the name: "#" on x86-64, "//" on AArch64.
#if defined(__clang__)
#define TARSK_STUB_SECTION ".tarsk_stubs"
#elif defined(__aarch64__)
#define TARSK_STUB_SECTION ".tarsk_stubs,\"\",@progbits //"
#else
#define TARSK_STUB_SECTION ".tarsk_stubs,\"\",@progbits #"
#endif
#define TARSK_STUB_DATA_NAME2(a, b) a##b
#define TARSK_STUB_DATA_NAME(a, b) TARSK_STUB_DATA_NAME2(a, b)
#define TARSK_STUB_DATA(...)                                                              \
    [[gnu::used, gnu::section(TARSK_STUB_SECTION)]] static constexpr auto                 \
        TARSK_STUB_DATA_NAME(tarsk_stub_data_, __LINE__) =                                \
            ::tarsk::py::introspection::Framed<__VA_ARGS__>::frame();
