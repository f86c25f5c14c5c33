#pragma once
// The data-parallel kernels over arrays of Vec3d. Every kernel asks for the
// worker count first (which starts the pool, even for an empty input). Work
// too small to pay for waking a worker (fewer than two grains of items, see
// below) runs directly on the calling thread; larger work is divided into
// halves on the pool (the left one len / 2 items rounded down to a whole
// number of blocks, see kBlock), down to pieces of at least one grain,
// combining results left before right. The order of results comes from this
// structure alone, so results never depend on the number of workers, on the
// grain or on who finished first.
//
// Per-element functions run concurrently on several threads: they must be
// callable through a const reference and touch nothing but plain values.
// Internal failures are thrown as PoolError; an exception thrown by a piece
// ends the operation after the other pieces finish and is rethrown here.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "lists/array.h"
#include "pool/error.h"
#include "pool/join.h"
#include "pool/registry.h"
#include "tarsk/vec3d.h"
#include "tarsk/vector_isa.h"

namespace tarsk::py::lists {

using pool::join_context;
using pool::PoolError;
using pool::worker_count;

// The element type par_map_collect stores for results of type T. Booleans are
// stored as bytes (0 or 1): std::vector<bool> packs bits, whose words pieces
// could not write independently.
template <class T>
using collected_t = std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>;

// The key of a double under IEEE 754 totalOrder, as a signed integer:
// negative NaN < -inf < negative numbers < -0 < +0 < positive numbers < +inf
// < positive NaN.
inline std::int64_t total_order_key(double x) {
    std::int64_t bits = std::bit_cast<std::int64_t>(x);
    // With the sign set, flip the other 63 bits (b >> 63 is all ones).
    bits ^= static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
    return bits;
}

// Position within the input and key of the winner of par_min_by_key.
using MinByKey = std::optional<std::pair<std::size_t, double>>;

// Sequential grains: the fewest items worth handing to another thread.
//
// Cost model. Handing work to an idle pool costs wake-ups before anything is
// saved: the caller wakes a worker and is woken by it when the job is done
// (about 38 us round trip when the workers sleep), and that worker wakes a
// second one for the half it offers (about 6 us more): about 45 us in all.
// Against it, the cost of one item on one thread, for the cheapest function
// of each kind of kernel (so that no kernel of that kind wakes a worker for
// less work than the wake-up costs):
//   par_map_collect  0.47 ns  (copy and * by a scalar: a load and a store of
//                              a Vec3d; normalize is 1.5 ns, rotate 1.35 ns)
//   par_map_join     185 ns   (the shortest round-trip text of three doubles)
//   par_min_by_key   0.86 ns  (stride 1: a squared distance and a compare)
//                    5 ns     (any larger stride: 4.5 to 5.5 ns where the
//                              candidates stay cached, up to 30 ns where not)
// A half is offered to another worker only when it costs at least the
// wake-up, so a grain is the wake-up cost divided by the item cost, rounded
// to the nearest power of two, and a piece splits only into halves of at
// least one grain. Work of fewer than two grains stays on the calling thread.
// The figures are medians from tools/calibrate_grain.sh on the 2-core
// development machine (AMD EPYC, g++ 12, -O3; maps measured on 2^17
// elements), typical of several runs; on a loaded machine a woken thread can
// wait milliseconds for a processor, and such runs were set aside. Rerun it
// to recalibrate. Grains change speed only, never a result.
inline constexpr std::size_t kMapGrain = std::size_t{1} << 17;        // 45 us / 0.47 ns = 96k
inline constexpr std::size_t kJoinGrain = std::size_t{1} << 8;        // 45 us / 185 ns = 243
inline constexpr std::size_t kKeyGrain = std::size_t{1} << 16;        // 45 us / 0.86 ns = 52k
inline constexpr std::size_t kStridedKeyGrain = std::size_t{1} << 13;  // 45 us / 5 ns = 9k

// Items per block. Every split falls on a multiple of kBlock items from the
// start, so every piece but the last holds whole blocks, and an item's place
// within its block is its index modulo kBlock, whatever the division.
//
// This matters to the element loops because the path an element takes
// through a compiled loop decides which of two NaN operands survives: for
// a + b with two NaNs the processor returns the NaN of its first source
// operand, and the compiler orders the operands of a commutative operation
// as it likes, differently in a vectorised body than in its scalar
// remainder, and even between copies of one unrolled remainder. With blocks
// fixed by the index (and the loops below, which run whole blocks through
// one loop body and leave only the last count % kBlock items to a remainder
// loop) an element's path depends on its index and the array's length only:
// the remainder loop only ever sees the array's last n % kBlock elements.
// kBlock is a multiple of every vector width in elements (2, 4 and 8
// doubles).
inline constexpr std::size_t kBlock = 16;
static_assert(kMapGrain % kBlock == 0 && kJoinGrain % kBlock == 0 && kKeyGrain % kBlock == 0 &&
                  kStridedKeyGrain % kBlock == 0,
              "a grain of whole blocks keeps both halves of a split at least one grain long");

namespace detail {

// How far to divide: about worker_count pieces, halving the budget at every
// split; a piece that was stolen (so some worker was idle) gets a fresh
// budget of at least worker_count. A piece splits only into halves of at
// least `grain` items (and at least one item).
struct Splitter {
    std::size_t splits;
    std::size_t threads;
    std::size_t grain;

    bool try_split(std::size_t len, bool migrated) {
        if (len / 2 < grain) return false;
        if (migrated) {
            splits = std::max(threads, splits / 2);
            return true;
        }
        if (splits > 0) {
            splits /= 2;
            return true;
        }
        return false;
    }
};

// The length of the left half of a piece of len items that splits: len / 2
// rounded down to whole blocks. Pieces start on multiples of kBlock, and a
// piece splits only when len / 2 is at least one grain, a whole number of
// blocks, so both halves keep at least one grain.
inline std::size_t left_len(std::size_t len) { return len / 2 / kBlock * kBlock; }

// leaf(lo, hi) processes items [lo, hi) in increasing order;
// combine(left, right) merges the results of neighbouring ranges.
template <class Leaf, class Combine>
std::invoke_result_t<Leaf&, std::size_t, std::size_t> bridge(std::size_t lo, std::size_t hi, Splitter splitter,
                                                             bool migrated, Leaf& leaf, Combine& combine) {
    if (!splitter.try_split(hi - lo, migrated)) return leaf(lo, hi);
    const std::size_t mid = lo + left_len(hi - lo);
    auto left = [&](bool m) { return bridge(lo, mid, splitter, m, leaf, combine); };
    auto right = [&](bool m) { return bridge(mid, hi, splitter, m, leaf, combine); };
    auto [l, r] = join_context(left, right);
    return combine(std::move(l), std::move(r));
}

// Runs len items: directly on this thread below two grains (and below two
// items), else split once here and handed to the pool as one job while this
// thread waits.
template <class Leaf, class Combine>
std::invoke_result_t<Leaf&, std::size_t, std::size_t> run(std::size_t len, std::size_t grain, Leaf& leaf,
                                                          Combine& combine) {
    const std::size_t threads = worker_count();
    Splitter splitter{threads, threads, std::max<std::size_t>(grain, 1)};
    if (!splitter.try_split(len, false)) return leaf(0, len);
    const std::size_t mid = left_len(len);
    auto left = [&](bool m) { return bridge(0, mid, splitter, m, leaf, combine); };
    auto right = [&](bool m) { return bridge(mid, len, splitter, m, leaf, combine); };
    auto [l, r] = join_context(left, right);
    return combine(std::move(l), std::move(r));
}

// The element loop of par_map_collect, compiled for three instruction sets
// and chosen once from the running processor (tarsk/vector_isa.h; other
// processors have the base loop only). Every element's operations and their
// order are the same in all three: only the number of elements handled per
// instruction differs, and IEEE arithmetic rounds each lane exactly as it
// rounds a scalar (no contraction into fused multiply-add, which the build
// forbids for every target).
//
// The loop itself, inlined into each variant. First the whole blocks, each
// by one loop of kBlock iterations: a known count, a multiple of every
// vector width, which the compiler vectorises whole, with no remainder and
// no iterations peeled off the front to align the accesses (a number that
// would follow the piece's start address). `#pragma GCC unroll 1` keeps that
// loop from being unrolled into kBlock scalar copies before it can be
// vectorised. The block start passes through an empty asm statement, so the
// loop over blocks has no counter the compiler can follow and is never
// unrolled: at -O3 unroll-and-jam would otherwise run pairs of blocks by one
// body and the odd last block of a piece by another. Then the count % kBlock
// elements left over, one by one: a piece starts on a block and only the
// last piece ends inside one, so this loop only ever runs the array's last
// n % kBlock elements (see kBlock). Each variant is kept out of line, so
// that every piece runs the same machine code. The result slots share no
// memory with the input (__restrict) or with f (copied here), so the blocks
// run without run-time overlap checks.
template <class E, class F>
[[gnu::always_inline]] inline void map_blocks(E* __restrict out, const Vec3d* __restrict in, std::size_t count,
                                              const F& f_ref) {
    const F f = f_ref;
    const std::size_t whole = count - count % kBlock;
    for (std::size_t b = 0; b < whole; b += kBlock) {
        asm("" : "+r"(b));
#pragma GCC unroll 1
        for (std::size_t k = 0; k < kBlock; ++k) out[b + k] = static_cast<E>(f(in[b + k]));
    }
    for (std::size_t k = whole; k < count; ++k) out[k] = static_cast<E>(f(in[k]));
}

template <class E, class F>
[[gnu::noinline]] void map_range_base(E* __restrict out, const Vec3d* __restrict in, std::size_t count,
                                      const F& f) {
    map_blocks(out, in, count, f);
}

#if defined(__x86_64__)
template <class E, class F>
[[gnu::noinline, gnu::target("avx2")]] void map_range_avx2(E* __restrict out, const Vec3d* __restrict in,
                                                           std::size_t count, const F& f) {
    map_blocks(out, in, count, f);
}

template <class E, class F>
[[gnu::noinline, gnu::target("avx512f,avx512vl,avx512dq")]] void map_range_avx512(E* __restrict out,
                                                                                   const Vec3d* __restrict in,
                                                                                   std::size_t count,
                                                                                   const F& f) {
    map_blocks(out, in, count, f);
}
#endif

// out[k] = f(in[k]) for k in [0, count), in increasing k.
template <class E, class F>
void map_range(E* out, const Vec3d* in, std::size_t count, const F& f) {
#if defined(__x86_64__)
    switch (vector_isa()) {
        case VectorIsa::avx512: return map_range_avx512(out, in, count, f);
        case VectorIsa::avx2: return map_range_avx2(out, in, count, f);
        case VectorIsa::base: return map_range_base(out, in, count, f);
    }
#else
    map_range_base(out, in, count, f);
#endif
}

// The best of candidates [lo, hi) of par_min_by_key: a later candidate
// replaces the running best only if its key is strictly smaller. Kept out of
// line, so that every piece computes its keys with the same machine code
// (the NaN a key carries, and so its place in the order, can depend on how
// the compiler ordered the operands of the key's additions).
template <class K>
[[gnu::noinline]] MinByKey min_in_range(std::span<const Vec3d> input, std::size_t stride, std::size_t lo,
                                        std::size_t hi, const K& key) {
    MinByKey best;
    for (std::size_t c = lo; c < hi; ++c) {
        const std::size_t position = c * stride;
        const double k = key(input[position]);
        if (!best || total_order_key(best->second) > total_order_key(k)) best.emplace(position, k);
    }
    return best;
}

// The result slots a piece of par_map_collect has written: [start, start + len).
struct Written {
    std::size_t start;
    std::size_t len;
};

}  // namespace detail

// out[i] = f(input[i]) for every i, into input.size() slots the caller
// provides (not overlapping the input). E is the stored element type.
template <class E, class F>
void par_map_into(E* out, std::span<const Vec3d> input, const F& f) {
    const std::size_t n = input.size();
    // Each piece writes exactly the slots of its own positions, in order.
    auto leaf = [&](std::size_t lo, std::size_t hi) {
        detail::map_range(out + lo, input.data() + lo, hi - lo, f);
        return detail::Written{lo, hi - lo};
    };
    // Only writes that continue the left run count; a gap loses the right.
    auto combine = [](detail::Written l, detail::Written r) {
        if (l.start + l.len == r.start) l.len += r.len;
        return l;
    };
    detail::Written total = detail::run(n, kMapGrain, leaf, combine);
    if (total.len != n)
        throw PoolError("expected " + std::to_string(n) + " total writes, but got " + std::to_string(total.len));
}

// result[i] = f(input[i]) for every i, as an array of exactly input.size()
// elements allocated once; T defaults to f's result type. Booleans come back
// as bytes (see collected_t).
template <class T = void, class F>
auto par_map_collect(std::span<const Vec3d> input, const F& f) {
    using R = std::conditional_t<std::is_void_v<T>, std::invoke_result_t<const F&, const Vec3d&>, T>;
    using E = collected_t<R>;
    Array<E> out;
    out.resize(input.size());  // no initialisation of trivial elements
    par_map_into(out.data(), input, f);
    return out;
}

// body(lo, hi) over disjoint ranges covering [0, n), split as every kernel
// splits (see run); body must not throw.
template <class Body>
void par_for(std::size_t n, std::size_t grain, const Body& body) {
    struct Done {};
    auto leaf = [&](std::size_t lo, std::size_t hi) {
        if (lo != hi) body(lo, hi);
        return Done{};
    };
    auto combine = [](Done, Done) { return Done{}; };
    detail::run(n, grain, leaf, combine);
}

// g(input[0]) + sep + g(input[1]) + sep + ... + g(input[n-1]); "" for n = 0.
// g is either std::string(const Vec3d&) or void(std::string& out, const
// Vec3d&) appending the element's text to out. Each piece builds one text of
// its elements (with the separators between them); the pieces' texts are
// collected in order and appended, with a separator between neighbours, to
// one string reserved at its exact final length.
template <class G>
std::string par_map_join(std::span<const Vec3d> input, const G& g, std::string_view sep) {
    using Chunks = std::vector<std::string>;
    auto leaf = [&](std::size_t lo, std::size_t hi) {
        Chunks chunks;
        if (lo == hi) return chunks;
        std::string& text = chunks.emplace_back();
        for (std::size_t i = lo; i < hi; ++i) {
            if (i != lo) text.append(sep);
            if constexpr (std::is_invocable_v<const G&, std::string&, const Vec3d&>) {
                g(text, input[i]);
            } else {
                text.append(g(input[i]));
            }
        }
        return chunks;
    };
    auto combine = [](Chunks l, Chunks r) {
        if (l.empty()) return r;
        l.insert(l.end(), std::make_move_iterator(r.begin()), std::make_move_iterator(r.end()));
        return l;
    };
    Chunks chunks = detail::run(input.size(), kJoinGrain, leaf, combine);
    std::size_t total = 0;
    for (const auto& chunk : chunks) total += chunk.size();
    if (!chunks.empty()) total += (chunks.size() - 1) * sep.size();
    std::string out;
    out.reserve(total);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
        if (k != 0) out.append(sep);
        out.append(chunks[k]);
    }
    return out;
}

// Among the candidates 0, stride, 2*stride, ... below input.size() (positions
// within input), the one with the smallest key(input[position]) under IEEE
// totalOrder, the earliest among equal keys; nothing without candidates.
// stride must be at least 1.
template <class K>
MinByKey par_min_by_key(std::span<const Vec3d> input, std::size_t stride, const K& key) {
    const std::size_t m = input.size();
    const std::size_t candidates = m == 0 ? 0 : (m - 1) / stride + 1;
    auto leaf = [&](std::size_t lo, std::size_t hi) { return detail::min_in_range(input, stride, lo, hi, key); };
    // The left best stays unless its key is strictly greater.
    auto combine = [](MinByKey l, MinByKey r) {
        if (!l) return r;
        if (!r) return l;
        return total_order_key(l->second) > total_order_key(r->second) ? r : l;
    };
    return detail::run(candidates, stride == 1 ? kKeyGrain : kStridedKeyGrain, leaf, combine);
}

}  // namespace tarsk::py::lists
