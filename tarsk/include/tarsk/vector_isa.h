#pragma once

// The widest vectors of the running processor, found once: the loops that
// are compiled for several instruction sets pick their variant by it. Every
// variant does each element's operations in the same order (IEEE arithmetic
// rounds each lane exactly as it rounds a scalar, and the build forbids
// contraction into fused multiply-add), so the choice changes the speed,
// never the bits. Processors other than x86-64 have the base variant only.
namespace tarsk {

enum class VectorIsa { base, avx2, avx512 };

#if defined(__x86_64__)
inline VectorIsa vector_isa() {
    static const VectorIsa isa = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512dq")) {
            return VectorIsa::avx512;
        }
        if (__builtin_cpu_supports("avx2")) return VectorIsa::avx2;
        return VectorIsa::base;
    }();
    return isa;
}
#else
inline VectorIsa vector_isa() { return VectorIsa::base; }
#endif

}  // namespace tarsk
