#include "tarsk/kdtree.h"

#include <algorithm>
#include <array>
#include <bit>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace tarsk::kdtree {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

// Runs f(begin, end) through the caller's loop.
template <class F>
void for_ranges(ParallelFor loop, std::size_t n, std::size_t grain, F& f) {
    loop(n, grain, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<F*>(ctx))(b, e); }, &f);
}

// An array of n trivial items left uninitialised: the loops that fill it
// touch its pages first, in parallel, instead of a serial zeroing.
template <class T>
class Scratch {
public:
    explicit Scratch(std::size_t n) : items_(new T[n]), n_(n) {}
    T& operator[](std::size_t i) { return items_[i]; }
    const T& operator[](std::size_t i) const { return items_[i]; }
    T* data() { return items_.get(); }
    std::size_t size() const { return n_; }
    void swap(Scratch& other) {
        items_.swap(other.items_);
        std::swap(n_, other.n_);
    }

private:
    std::unique_ptr<T[]> items_;
    std::size_t n_;
};

// A failure inside a loop body (an allocation), raised after the loop.
struct Failure {
    std::atomic<bool> failed{false};
    void rethrow() const {
        if (failed.load(std::memory_order_relaxed)) throw std::bad_alloc();
    }
};

// The neighbouring doubles of a finite t >= 0, by its bits.
double next_up(double t) {
    std::uint64_t b;
    std::memcpy(&b, &t, sizeof b);
    ++b;
    std::memcpy(&t, &b, sizeof b);
    return t;
}
double next_down(double t) {
    std::uint64_t b;
    std::memcpy(&b, &t, sizeof b);
    --b;
    std::memcpy(&t, &b, sizeof b);
    return t;
}

// ---------------------------------------------------------------------------
// Z-order keys

// The 21 low bits of v, spread to every third bit.
std::uint64_t spread(std::uint32_t v) {
    std::uint64_t x = v & 0x1FFFFFu;
    x = (x | x << 32) & 0x001F00000000FFFFull;
    x = (x | x << 16) & 0x001F0000FF0000FFull;
    x = (x | x << 8) & 0x100F00F00F00F00Full;
    x = (x | x << 4) & 0x10C30C30C30C30C3ull;
    x = (x | x << 2) & 0x1249249249249249ull;
    return x;
}

constexpr double cells = 2097152.0;  // 2^21 cells per axis

// Maps a point to its 63-bit Z-order key over a box. The key only orders
// points for locality: any key is correct, so a degenerate or overflowing
// extent simply gives cell 0 along that axis.
struct Quantizer {
    double lo[3];
    double scale[3];

    Quantizer(const double* lo_in, const double* hi_in) {
        for (int c = 0; c < 3; ++c) {
            lo[c] = lo_in[c];
            double extent = hi_in[c] - lo_in[c];
            scale[c] = (extent > 0.0 && extent <= DBL_MAX) ? cells / extent : 0.0;
            if (!(scale[c] <= DBL_MAX)) scale[c] = 0.0;
        }
    }

    std::uint32_t cell(const double* p, int c) const {
        double v = (p[c] - lo[c]) * scale[c];
        if (!(v > 0.0)) return 0;
        if (v >= cells - 1.0) return static_cast<std::uint32_t>(cells - 1.0);
        return static_cast<std::uint32_t>(v);
    }

    std::uint64_t key(const double* p) const {
        return spread(cell(p, 0)) << 2 | spread(cell(p, 1)) << 1 | spread(cell(p, 2));
    }
};

// The top bits of a key that order queries into buckets.
constexpr unsigned bucket_bits = 15;
constexpr std::uint64_t bucket_of(std::uint64_t key) { return key >> (63 - bucket_bits); }

// ---------------------------------------------------------------------------
// Boxes

float round_down(double v) {
    if (v > FLT_MAX) return FLT_MAX;
    if (v < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    float f = static_cast<float>(v);
    if (static_cast<double>(f) > v) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

float round_up(double v) {
    if (v > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (v < -FLT_MAX) return -FLT_MAX;
    float f = static_cast<float>(v);
    if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

// A lower bound of the squared distance from x to every point inside b:
// per axis the offset of x from the box (lo - x or x - hi, as rounded),
// which never exceeds the rounded |x - p| of a point p inside, then the sum
// in the order of the distance formula.
inline double box_bound(const Box& b, const double* x) {
    double o[3];
    for (int c = 0; c < 3; ++c) {
        // The larger difference is the positive one when x is outside (a
        // rounded difference keeps the exact sign), else both are <= 0.
        const double below = b.lo[c] - x[c], above = x[c] - b.hi[c];
        o[c] = std::max(std::max(below, above), 0.0);
    }
    return (o[0] * o[0] + o[1] * o[1]) + o[2] * o[2];
}

// A lower bound of the squared distance between any point inside a and any
// point inside b: per axis the gap between the boxes (as rounded, never more
// than the rounded |p - q|), summed as the distance formula sums.
inline double box_gap(const Box& a, const Box& b) {
    double g[3];
    for (int c = 0; c < 3; ++c) {
        const double after = static_cast<double>(a.lo[c]) - b.hi[c], before = static_cast<double>(b.lo[c]) - a.hi[c];
        g[c] = std::max(std::max(after, before), 0.0);
    }
    return (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2];
}

// The squared distance of stored point p from x, as Vec3d::distance_squared(x, p).
inline double squared(const double* x, const double* p) {
    double dx = x[0] - p[0], dy = x[1] - p[1], dz = x[2] - p[2];
    return (dx * dx + dy * dy) + dz * dz;
}

// ---------------------------------------------------------------------------
// The search: depth first, nearer child first, every node whose bound
// exceeds the visitor's current limit skipped. The visitor's limit never
// grows during a search.

template <class V>
void search(const View& t, const double* x, V& v) {
    struct Entry {
        double bound;
        std::size_t node;
    };
    Entry stack[72];
    int top = 0;
    const std::size_t first_leaf = (std::size_t{1} << t.depth) - 1;
    if (box_bound(t.boxes[0], x) > v.limit) return;
    std::size_t h = 0;
    for (;;) {
        bool reached = true;
        while (h < first_leaf) {
            std::size_t near = 2 * h + 1, far = near + 1;
            double bn = box_bound(t.boxes[near], x), bf = box_bound(t.boxes[far], x);
            if (bf < bn) {
                std::swap(near, far);
                std::swap(bn, bf);
            }
            if (bn > v.limit) {
                reached = false;
                break;
            }
            if (bf <= v.limit) stack[top++] = {bf, far};
            h = near;
        }
        if (reached) {
            std::size_t leaf = h - first_leaf;
            std::size_t begin = (leaf * t.n) >> t.depth, end = ((leaf + 1) * t.n) >> t.depth;
            v.scan(begin, end);
        }
        do {
            if (top == 0) return;
            --top;
        } while (stack[top].bound > v.limit);
        h = stack[top].node;
    }
}

// A limit on squared distances at least limit_squared(d) (so a search that
// prunes with it loses nothing, and every candidate below it is then
// compared by its exact key): the square root rounds to at most d only for
// t <= (d + ulp(d)/2)^2 <= d^2 (1 + 2^-51 + 2^-106), which the rounded d*d
// times 1 + 2^-50 exceeds, and the absolute 2^-1060 covers what underflows.
// Far cheaper than limit_squared, which needs several square roots.
inline double loose_limit(double d) { return d * d * (1.0 + 0x1p-50) + 0x1p-1060; }

// One candidate answer: the distance and the original row.
struct Cand {
    double d;
    std::int64_t i;
};
inline bool before(const Cand& a, const Cand& b) { return a.d < b.d || (a.d == b.d && a.i < b.i); }

// The nearest point: the best key so far (initially the bound, which no
// point reaches: distance == upper_bound is refused through its row -1,
// except for an infinite bound, where every point counts, through row n).
struct Nearest {
    const double* points;
    const std::uint32_t* perm;
    const double* x;
    Cand best;
    double limit;
    std::size_t at;  // the stored position of best (when one was found)

    void scan(std::size_t begin, std::size_t end) {
        const double x0 = x[0], x1 = x[1], x2 = x[2];
        for (std::size_t j = begin; j < end; ++j) {
            const double* p = points + 3 * j;
            double dx = x0 - p[0], dy = x1 - p[1], dz = x2 - p[2];
            double s = (dx * dx + dy * dy) + dz * dz;
            if (s <= limit) {
                Cand c{std::sqrt(s), static_cast<std::int64_t>(perm[j])};
                if (before(c, best)) {
                    best = c;
                    at = j;
                    limit = loose_limit(c.d);
                }
            }
        }
    }
};

// The k nearest: a max-heap on the key while it fills, ordered at the end.
struct NearestK {
    const double* points;
    const std::uint32_t* perm;
    const double* x;
    Cand* heap;
    std::size_t k;
    std::size_t size;
    Cand bound;
    double limit;

    void scan(std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            double s = squared(x, points + 3 * j);
            if (s > limit) continue;
            Cand c{std::sqrt(s), static_cast<std::int64_t>(perm[j])};
            if (size < k) {
                if (!before(c, bound)) continue;
                heap[size++] = c;
                std::push_heap(heap, heap + size, before);
                if (size == k) limit = loose_limit(heap[0].d);
            } else if (before(c, heap[0])) {
                std::pop_heap(heap, heap + k, before);
                heap[k - 1] = c;
                std::push_heap(heap, heap + k, before);
                limit = loose_limit(heap[0].d);
            }
        }
    }
};

// The k nearest for a small k: a list kept in key order by insertion.
struct NearestFew {
    const double* points;
    const std::uint32_t* perm;
    const double* x;
    Cand* list;
    std::size_t k;
    std::size_t size;
    Cand bound;
    double limit;

    void scan(std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            double s = squared(x, points + 3 * j);
            if (s > limit) continue;
            Cand c{std::sqrt(s), static_cast<std::int64_t>(perm[j])};
            std::size_t at;
            if (size == k) {
                if (!before(c, list[k - 1])) continue;
                at = k - 1;  // the last one drops out
            } else {
                if (!before(c, bound)) continue;
                at = size++;
            }
            for (; at > 0 && before(c, list[at - 1]); --at) list[at] = list[at - 1];
            list[at] = c;
            if (size == k) limit = loose_limit(list[k - 1].d);
        }
    }
};

// Every point within the limit, optionally only rows above `above`.
struct Collect {
    const double* points;
    const std::uint32_t* perm;
    const double* x;
    double limit;
    std::int64_t above;
    std::vector<std::int64_t>* out;

    void scan(std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            if (squared(x, points + 3 * j) <= limit && static_cast<std::int64_t>(perm[j]) > above) {
                out->push_back(perm[j]);
            }
        }
    }
};

struct Count {
    const double* points;
    const double* x;
    double limit;
    std::int64_t count;

    void scan(std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) count += squared(x, points + 3 * j) <= limit;
    }
};

// The queries run in a local order, so their rows and result slots are
// scattered in memory: fetch those of a query a few places ahead while this
// one searches.
template <class D, class I>
inline void prefetch_query(const Scratch<std::size_t>& order, std::size_t p, std::size_t end, const double* x,
                           D* d, I* index, std::size_t k) {
    constexpr std::size_t ahead = 8;
    if (p + ahead < end) {
        const std::size_t q = order[p + ahead];
        __builtin_prefetch(x + 3 * q);
        __builtin_prefetch(d + q * k, 1);
        __builtin_prefetch(index + q * k, 1);
    }
}

// The order in which to run m queries so that neighbouring queries share
// cache: by the leading bits of their Z-order key over the tree's box,
// stable (query order within a bucket). Any order gives the same answers.
Scratch<std::size_t> query_order(const View& t, const double* x, std::size_t m, ParallelFor loop) {
    Scratch<std::size_t> order(m);
    if (m < 4096 || t.n == 0) {
        for (std::size_t q = 0; q < m; ++q) order[q] = q;
        return order;
    }
    double lo[3], hi[3];
    for (int c = 0; c < 3; ++c) {
        lo[c] = t.boxes[0].lo[c];
        hi[c] = t.boxes[0].hi[c];
    }
    const Quantizer qz(lo, hi);
    Scratch<std::uint16_t> bucket(m);
    auto keys = [&](std::size_t b, std::size_t e) {
        for (std::size_t q = b; q < e; ++q) bucket[q] = static_cast<std::uint16_t>(bucket_of(qz.key(x + 3 * q)));
    };
    for_ranges(loop, m, 8192, keys);
    std::vector<std::size_t> start(std::size_t{1} << bucket_bits, 0);
    for (std::size_t q = 0; q < m; ++q) ++start[bucket[q]];
    std::size_t sum = 0;
    for (auto& s : start) {
        std::size_t c = s;
        s = sum;
        sum += c;
    }
    for (std::size_t q = 0; q < m; ++q) order[start[bucket[q]]++] = q;
    return order;
}

// Sorts n distinct keys of `bits` bits ascending, using `spare` (room for
// n keys) and leaving `keys` pointing at the sorted array: least significant digit
// first, each pass a stable counting sort over fixed blocks (histograms per
// block in parallel, offsets in block order, each block scattering its own
// keys), so the passes do not depend on the split either.
void radix_sort(std::uint64_t*& keys, std::uint64_t*& spare, std::size_t n, unsigned bits, ParallelFor loop) {
    constexpr unsigned digit = 8;
    constexpr std::size_t radix = std::size_t{1} << digit, block = 65536;
    const std::size_t blocks = (n + block - 1) / block;
    std::vector<std::size_t> count(blocks * radix);
    for (unsigned shift = 0; shift < bits; shift += digit) {
        std::fill(count.begin(), count.end(), 0);
        auto histogram = [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                std::size_t* c = count.data() + k * radix;
                for (std::size_t i = k * block; i < std::min(n, (k + 1) * block); ++i) {
                    ++c[(keys[i] >> shift) & (radix - 1)];
                }
            }
        };
        for_ranges(loop, blocks, 1, histogram);
        std::size_t sum = 0;
        for (std::size_t d = 0; d < radix; ++d) {
            for (std::size_t k = 0; k < blocks; ++k) {
                std::size_t c = count[k * radix + d];
                count[k * radix + d] = sum;
                sum += c;
            }
        }
        auto scatter = [&](std::size_t b, std::size_t e) {
            for (std::size_t k = b; k < e; ++k) {
                std::size_t* c = count.data() + k * radix;
                for (std::size_t i = k * block; i < std::min(n, (k + 1) * block); ++i) {
                    spare[c[(keys[i] >> shift) & (radix - 1)]++] = keys[i];
                }
            }
        };
        for_ranges(loop, blocks, 1, scatter);
        std::swap(keys, spare);
    }
}

// The per-query searches of variable-length results: fixed chunks of query
// positions, each collecting its queries' results in its own vector, then
// one pass placing each query's rows at its offset.
constexpr std::size_t chunk_queries = 256;

template <class Fill>
void gather(std::size_t m, const Scratch<std::size_t>& order, Fill fill, std::vector<std::int64_t>& rows,
            std::vector<std::size_t>& offsets, ParallelFor loop) {
    const std::size_t chunks = (m + chunk_queries - 1) / chunk_queries;
    std::vector<std::vector<std::int64_t>> found(chunks);
    std::vector<std::size_t> count(m);
    Failure failure;
    auto body = [&](std::size_t b, std::size_t e) {
        try {
            std::vector<std::int64_t> one;
            for (std::size_t c = b; c < e; ++c) {
                auto& out = found[c];
                for (std::size_t p = c * chunk_queries; p < std::min(m, (c + 1) * chunk_queries); ++p) {
                    const std::size_t q = order[p];
                    one.clear();
                    fill(q, one);
                    std::sort(one.begin(), one.end());
                    out.insert(out.end(), one.begin(), one.end());
                    count[q] = one.size();
                }
            }
        } catch (...) {
            failure.failed.store(true, std::memory_order_relaxed);
        }
    };
    for_ranges(loop, chunks, 1, body);
    failure.rethrow();
    offsets.assign(m + 1, 0);
    for (std::size_t q = 0; q < m; ++q) offsets[q + 1] = offsets[q] + count[q];
    rows.resize(offsets[m]);
    auto place = [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c < e; ++c) {
            const std::int64_t* from = found[c].data();
            for (std::size_t p = c * chunk_queries; p < std::min(m, (c + 1) * chunk_queries); ++p) {
                const std::size_t q = order[p];
                std::copy(from, from + count[q], rows.data() + offsets[q]);
                from += count[q];
            }
            std::vector<std::int64_t>().swap(found[c]);
        }
    };
    for_ranges(loop, chunks, 1, place);
}

// A point of the build: coordinates and original row.
struct Pt {
    double c[3];
    std::uint64_t row;
};

// select_positions for whole points of a large range: the pivot is the
// element at mid's proportion of an evenly spaced sample, so it lands near
// mid and few rounds follow; the partition moves every point (two copies)
// instead of branching on the comparison.
void select_points(Pt* first, Pt* mid, Pt* last, int axis) {
    auto less = [axis](const Pt& a, const Pt& b) {
        return (a.c[axis] < b.c[axis]) | ((a.c[axis] == b.c[axis]) & (a.row < b.row));
    };
    constexpr std::ptrdiff_t samples = 31;
    while (last - first > 64) {
        const std::ptrdiff_t len = last - first;
        std::ptrdiff_t pick[samples];
        for (std::ptrdiff_t k = 0; k < samples; ++k) pick[k] = (2 * k + 1) * len / (2 * samples);
        const std::ptrdiff_t rank = std::min<std::ptrdiff_t>(samples - 1, (mid - first) * samples / len);
        std::nth_element(pick, pick + rank, pick + samples,
                         [first, &less](std::ptrdiff_t a, std::ptrdiff_t b) { return less(first[a], first[b]); });
        std::swap(first[pick[rank]], *(last - 1));
        const Pt pivot = *(last - 1);
        Pt* w = first;
        for (Pt* r = first; r < last - 1; ++r) {
            const Pt x = *r;
            const bool smaller = less(x, pivot);
            *r = *w;
            *w = x;
            w += smaller;
        }
        std::swap(*w, *(last - 1));
        if (w == mid) return;
        if (mid < w) {
            last = w;
        } else {
            first = w + 1;
        }
    }
    std::nth_element(first, mid, last, less);
}

// Orders the positions [first, last) around mid as nth_element does, by
// (key, row) of each position, a strict total order (so the set on each side
// is unique): quickselect with a median-of-three pivot and a partition
// without branches (each position is moved whatever the comparison says, so
// there is nothing to mispredict), insertion sort below 16 positions.
void select_positions(std::uint16_t* first, std::uint16_t* mid, std::uint16_t* last, const double* key,
                      const std::uint32_t* row) {
    auto less = [key, row](std::uint16_t a, std::uint16_t b) {
        return (key[a] < key[b]) | ((key[a] == key[b]) & (row[a] < row[b]));
    };
    while (last - first > 16) {
        std::uint16_t* m = first + (last - first) / 2;
        std::uint16_t a = *first, b = *m, c = *(last - 1);
        // The median of the three goes to the end, as the pivot.
        if (less(b, a)) std::swap(a, b);
        if (less(c, b)) std::swap(b, c);
        if (less(b, a)) std::swap(a, b);
        std::uint16_t* pivot_at = *first == b ? first : (*m == b ? m : last - 1);
        std::swap(*pivot_at, *(last - 1));
        const std::uint16_t pivot = *(last - 1);
        std::uint16_t* w = first;
        for (std::uint16_t* r = first; r < last - 1; ++r) {
            const std::uint16_t x = *r;
            const bool smaller = less(x, pivot);
            *r = *w;
            *w = x;
            w += smaller;
        }
        std::swap(*w, *(last - 1));
        if (w == mid) return;
        if (mid < w) {
            last = w;
        } else {
            first = w + 1;
        }
    }
    for (std::uint16_t* i = first + 1; i < last; ++i) {
        const std::uint16_t x = *i;
        std::uint16_t* j = i;
        for (; j > first && less(x, *(j - 1)); --j) *j = *(j - 1);
        *j = x;
    }
}

}  // namespace

void serial_for(std::size_t n, std::size_t, void (*body)(void*, std::size_t, std::size_t), void* ctx) {
    if (n) body(ctx, 0, n);
}

double limit_squared(double d) {
    if (!(d < inf)) return inf;
    double t = d * d;
    while (t > 0.0 && !(std::sqrt(t) <= d)) t = next_down(t);
    for (;;) {
        double u = next_up(t);
        if (!(std::sqrt(u) <= d)) return t;
        t = u;
    }
}

unsigned depth_for(std::size_t n, std::size_t leafsize) {
    if (leafsize == 0) leafsize = 1;
    unsigned depth = 0;
    // The largest leaf of depth D holds ceil(n / 2^D) points.
    while (depth < 40 && ((n + (std::size_t{1} << depth) - 1) >> depth) > leafsize) ++depth;
    return depth;
}

std::size_t first_non_finite(const double* rows, std::size_t n, ParallelFor loop) {
    std::atomic<std::size_t> first{n};
    auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const double* p = rows + 3 * i;
            // x - x is 0 for a finite x and NaN for NaN and the infinities.
            if ((p[0] - p[0]) + (p[1] - p[1]) + (p[2] - p[2]) != 0.0) {
                std::size_t seen = first.load(std::memory_order_relaxed);
                while (i < seen && !first.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
                }
                return;
            }
        }
    };
    for_ranges(loop, n, 16384, body);
    return first.load(std::memory_order_relaxed);
}

void build(const double* rows, std::size_t n, unsigned depth, double* points, std::uint32_t* perm, Box* boxes,
           ParallelFor loop) {
    const std::size_t leaves = std::size_t{1} << depth;
    const std::size_t first_leaf = leaves - 1;
    Box empty;
    for (int c = 0; c < 3; ++c) {
        empty.lo[c] = std::numeric_limits<float>::infinity();
        empty.hi[c] = -std::numeric_limits<float>::infinity();
    }
    if (n == 0) {
        for (std::size_t h = 0; h < node_count(depth); ++h) boxes[h] = empty;
        return;
    }

    // The bounding box, per fixed block then in block order (min and max are
    // exact, so any order gives the same box).
    constexpr std::size_t block = 16384;
    const std::size_t blocks = (n + block - 1) / block;
    std::vector<std::array<double, 6>> part(blocks);
    auto bounds = [&](std::size_t b, std::size_t e) {
        for (std::size_t k = b; k < e; ++k) {
            std::array<double, 6> a{inf, inf, inf, -inf, -inf, -inf};
            for (std::size_t i = k * block; i < std::min(n, (k + 1) * block); ++i) {
                for (int c = 0; c < 3; ++c) {
                    a[c] = std::min(a[c], rows[3 * i + c]);
                    a[3 + c] = std::max(a[3 + c], rows[3 * i + c]);
                }
            }
            part[k] = a;
        }
    };
    for_ranges(loop, blocks, 1, bounds);
    double lo[3] = {inf, inf, inf}, hi[3] = {-inf, -inf, -inf};
    for (const auto& a : part) {
        for (int c = 0; c < 3; ++c) {
            lo[c] = std::min(lo[c], a[c]);
            hi[c] = std::max(hi[c], a[3 + c]);
        }
    }

    // The splits: node i of a level takes the points of its leaves, and
    // splits them at the first point of its right half, after ordering
    // them around it by (coordinate, row) along the widest axis of its box;
    // so the two halves lie on either side of a plane, and their boxes
    // overlap at most on it. The top levels split one node per task; below,
    // each task finishes whole subtrees.
    Scratch<Pt> work(n);
    auto load = [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) work[j] = {{rows[3 * j], rows[3 * j + 1], rows[3 * j + 2]}, j};
    };
    for_ranges(loop, n, 8192, load);
    using Bounds = std::array<double, 6>;
    // Splits node i of `level`, whose points are bounded by `box`; gives the
    // boxes of its two children.
    auto split = [&](unsigned level, std::size_t i, const Bounds& box, Bounds& left, Bounds& right) {
        const unsigned shift = depth - level;
        const std::size_t begin = ((i << shift) * n) >> depth, end = (((i + 1) << shift) * n) >> depth;
        const std::size_t mid = (((2 * i + 1) << (shift - 1)) * n) >> depth;
        int axis = 0;
        for (int c = 1; c < 3; ++c) {
            if (box[3 + c] - box[c] > box[3 + axis] - box[axis]) axis = c;
        }
        left = box;
        right = box;
        if (begin < mid && mid < end) {
            select_points(work.data() + begin, work.data() + mid, work.data() + end, axis);
            left[3 + axis] = work[mid].c[axis];
            right[axis] = work[mid].c[axis];
        }
    };
    const unsigned top = std::min(depth, 6u);
    std::vector<Bounds> level_boxes{Bounds{lo[0], lo[1], lo[2], hi[0], hi[1], hi[2]}}, next;
    for (unsigned level = 0; level < top; ++level) {
        next.resize(level_boxes.size() * 2);
        auto split_level = [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) split(level, i, level_boxes[i], next[2 * i], next[2 * i + 1]);
        };
        for_ranges(loop, level_boxes.size(), 1, split_level);
        level_boxes.swap(next);
    }
    auto finish = [&](std::size_t b, std::size_t e) {
        // Depth first within each subtree, with an explicit stack.
        struct Job {
            unsigned level;
            std::size_t i;
            Bounds box;
        };
        std::vector<Job> jobs, local;
        // A small subtree is split on 16-bit positions into copies of its
        // coordinates (which stay in the core's cache) with a selection
        // whose partition has no branches, and its points are moved once at
        // the end.
        constexpr std::size_t small = 16384;
        std::vector<double> coord[3];
        std::vector<std::uint32_t> rows_of;
        std::vector<std::uint16_t> at;
        std::vector<Pt> moved;
        auto split_small = [&](const Job& root) {
            const unsigned shift = depth - root.level;
            const std::size_t base = ((root.i << shift) * n) >> depth;
            const std::size_t count = ((((root.i + 1) << shift) * n) >> depth) - base;
            for (int c = 0; c < 3; ++c) coord[c].resize(count);
            rows_of.resize(count);
            at.resize(count);
            for (std::size_t k = 0; k < count; ++k) {
                const Pt& p = work[base + k];
                coord[0][k] = p.c[0];
                coord[1][k] = p.c[1];
                coord[2][k] = p.c[2];
                rows_of[k] = static_cast<std::uint32_t>(p.row);
                at[k] = static_cast<std::uint16_t>(k);
            }
            local.assign(1, root);
            while (!local.empty()) {
                Job job = local.back();
                local.pop_back();
                if (job.level == depth) continue;
                const unsigned sh = depth - job.level;
                const std::size_t begin = ((job.i << sh) * n) >> depth, end = (((job.i + 1) << sh) * n) >> depth;
                const std::size_t mid = (((2 * job.i + 1) << (sh - 1)) * n) >> depth;
                int axis = 0;
                for (int c = 1; c < 3; ++c) {
                    if (job.box[3 + c] - job.box[c] > job.box[3 + axis] - job.box[axis]) axis = c;
                }
                Bounds l = job.box, r = job.box;
                if (begin < mid && mid < end) {
                    const double* key = coord[axis].data();
                    select_positions(at.data() + (begin - base), at.data() + (mid - base), at.data() + (end - base),
                                     key, rows_of.data());
                    l[3 + axis] = r[axis] = key[at[mid - base]];
                }
                local.push_back({job.level + 1, 2 * job.i + 1, r});
                local.push_back({job.level + 1, 2 * job.i, l});
            }
            moved.resize(count);
            for (std::size_t k = 0; k < count; ++k) moved[k] = work[base + at[k]];
            std::copy(moved.begin(), moved.end(), work.data() + base);
        };
        for (std::size_t s = b; s < e; ++s) {
            jobs.push_back({top, s, level_boxes[s]});
            while (!jobs.empty()) {
                Job job = jobs.back();
                jobs.pop_back();
                if (job.level == depth) continue;
                const unsigned shift = depth - job.level;
                const std::size_t size = ((((job.i + 1) << shift) * n) >> depth) - (((job.i << shift) * n) >> depth);
                if (size <= small) {
                    split_small(job);
                    continue;
                }
                Bounds l, r;
                split(job.level, job.i, job.box, l, r);
                jobs.push_back({job.level + 1, 2 * job.i + 1, r});
                jobs.push_back({job.level + 1, 2 * job.i, l});
            }
        }
    };
    if (top < depth) {
        Failure failure;
        auto guarded_finish = [&](std::size_t b, std::size_t e) {
            try {
                finish(b, e);
            } catch (...) {
                failure.failed.store(true, std::memory_order_relaxed);
            }
        };
        for_ranges(loop, level_boxes.size(), 1, guarded_finish);
        failure.rethrow();
    }
    auto store = [&](std::size_t b, std::size_t e) {
        for (std::size_t j = b; j < e; ++j) {
            points[3 * j] = work[j].c[0];
            points[3 * j + 1] = work[j].c[1];
            points[3 * j + 2] = work[j].c[2];
            perm[j] = static_cast<std::uint32_t>(work[j].row);
        }
    };
    for_ranges(loop, n, 8192, store);

    // Leaf boxes from their points, then each level from the one below.
    auto leaf_boxes = [&](std::size_t b, std::size_t e) {
        for (std::size_t l = b; l < e; ++l) {
            std::size_t begin = (l * n) >> depth, end = ((l + 1) * n) >> depth;
            if (begin == end) {
                boxes[first_leaf + l] = empty;
                continue;
            }
            double a[6] = {inf, inf, inf, -inf, -inf, -inf};
            for (std::size_t j = begin; j < end; ++j) {
                for (int c = 0; c < 3; ++c) {
                    a[c] = std::min(a[c], points[3 * j + c]);
                    a[3 + c] = std::max(a[3 + c], points[3 * j + c]);
                }
            }
            Box& box = boxes[first_leaf + l];
            for (int c = 0; c < 3; ++c) {
                box.lo[c] = round_down(a[c]);
                box.hi[c] = round_up(a[3 + c]);
            }
        }
    };
    for_ranges(loop, leaves, 256, leaf_boxes);
    for (unsigned level = depth; level-- > 0;) {
        const std::size_t first = (std::size_t{1} << level) - 1;
        auto merge = [&](std::size_t b, std::size_t e) {
            for (std::size_t h = first + b; h < first + e; ++h) {
                const Box &l = boxes[2 * h + 1], &r = boxes[2 * h + 2];
                for (int c = 0; c < 3; ++c) {
                    boxes[h].lo[c] = std::min(l.lo[c], r.lo[c]);
                    boxes[h].hi[c] = std::max(l.hi[c], r.hi[c]);
                }
            }
        };
        for_ranges(loop, std::size_t{1} << level, 1024, merge);
    }
}

void query(const View& t, const double* x, std::size_t m, std::size_t k, double upper_bound, double* d,
           std::int64_t* index, ParallelFor loop) {
    const Scratch<std::size_t> order = query_order(t, x, m, loop);
    const auto n = static_cast<std::int64_t>(t.n);
    const Cand bound{upper_bound, upper_bound < inf ? -1 : n};
    const double limit = limit_squared(upper_bound);
    if (k == 1) {
        auto body = [&](std::size_t b, std::size_t e) {
            // Each query starts from the answer of the one before it in
            // this range (a point near it, as the order is local): a real
            // candidate, so the search only prunes sooner.
            std::size_t previous = t.n;
            for (std::size_t p = b; p < e; ++p) {
                const std::size_t q = order[p];
                prefetch_query(order, p, e, x, d, index, 1);
                Nearest v{t.points, t.perm, x + 3 * q, bound, limit, t.n};
                if (previous < t.n) v.scan(previous, previous + 1);
                search(t, v.x, v);
                previous = v.at;
                if (v.best.i < 0 || v.best.i == n) v.best = {inf, n};
                d[q] = v.best.d;
                index[q] = v.best.i;
            }
        };
        for_ranges(loop, m, 256, body);
        return;
    }
    Failure failure;
    auto body = [&](std::size_t b, std::size_t e) {
        try {
            std::vector<Cand> heap(k);
            for (std::size_t p = b; p < e; ++p) {
                const std::size_t q = order[p];
                prefetch_query(order, p, e, x, d, index, k);
                std::size_t size;
                if (k <= 16) {
                    NearestFew v{t.points, t.perm, x + 3 * q, heap.data(), k, 0, bound, limit};
                    search(t, v.x, v);
                    size = v.size;
                } else {
                    NearestK v{t.points, t.perm, x + 3 * q, heap.data(), k, 0, bound, limit};
                    search(t, v.x, v);
                    std::sort_heap(heap.data(), heap.data() + v.size, before);
                    size = v.size;
                }
                for (std::size_t j = 0; j < k; ++j) {
                    Cand c = j < size ? heap[j] : Cand{inf, n};
                    d[q * k + j] = c.d;
                    index[q * k + j] = c.i;
                }
            }
        } catch (...) {
            failure.failed.store(true, std::memory_order_relaxed);
        }
    };
    for_ranges(loop, m, 256, body);
    failure.rethrow();
}

void ball(const View& t, const double* x, std::size_t m, double r, std::vector<std::int64_t>& rows,
          std::vector<std::size_t>& offsets, ParallelFor loop) {
    const Scratch<std::size_t> order = query_order(t, x, m, loop);
    const double limit = limit_squared(r);
    auto fill = [&](std::size_t q, std::vector<std::int64_t>& out) {
        Collect v{t.points, t.perm, x + 3 * q, limit, -1, &out};
        search(t, v.x, v);
    };
    gather(m, order, fill, rows, offsets, loop);
}

void ball_count(const View& t, const double* x, std::size_t m, double r, std::int64_t* count, ParallelFor loop) {
    const Scratch<std::size_t> order = query_order(t, x, m, loop);
    const double limit = limit_squared(r);
    auto body = [&](std::size_t b, std::size_t e) {
        for (std::size_t p = b; p < e; ++p) {
            const std::size_t q = order[p];
            prefetch_query(order, p, e, x, count, count, 1);
            Count v{t.points, x + 3 * q, limit, 0};
            search(t, v.x, v);
            count[q] = v.count;
        }
    };
    for_ranges(loop, m, 256, body);
}

void pairs(const View& t, double r, Allocate allocate, void* ctx, ParallelFor loop) {
    // Leaf against leaf: each leaf A meets every leaf B >= A whose box may
    // hold a point within r of a point of A (a lower bound on the squared
    // distances between the two boxes, as in box_gap), found by walking
    // pairs of nodes down the tree, so every pair of points is compared
    // once. The pairs found, as keys (lower row, higher row), are sorted by
    // radix and written out.
    const std::size_t n = t.n;
    if (n < 2) {
        allocate(ctx, 0);
        return;
    }
    const double limit = limit_squared(r);
    const unsigned depth = t.depth;
    const std::size_t leaves = std::size_t{1} << depth, first_leaf = leaves - 1;
    const Box* boxes = t.boxes;
    // The pairs of points of leaves A <= B: every point of A against every
    // later point of B.
    const double* const pts = t.points;
    const std::uint32_t* const perm = t.perm;
    auto leaf_pairs = [pts, perm, boxes, n, depth, first_leaf, limit](std::size_t a, std::size_t b,
                                                                       std::vector<std::uint64_t>& keys) {
        const std::size_t a0 = (a * n) >> depth, a1 = ((a + 1) * n) >> depth;
        const std::size_t b0 = (b * n) >> depth, b1 = ((b + 1) * n) >> depth;
        const Box& other = boxes[first_leaf + b];
        double s[64];
        for (std::size_t p = a0; p < a1; ++p) {
            const double* x = pts + 3 * p;
            if (box_bound(other, x) > limit) continue;
            const std::size_t q0 = a == b ? p + 1 : b0;
            // The squared distances first (a loop without branches), then the test.
            for (std::size_t q = q0; q < b1; q += 64) {
                const std::size_t count = std::min<std::size_t>(64, b1 - q);
                for (std::size_t u = 0; u < count; ++u) s[u] = squared(x, pts + 3 * (q + u));
                for (std::size_t u = 0; u < count; ++u) {
                    if (s[u] <= limit) {
                        const std::uint64_t pp = perm[p], qq = perm[q + u];
                        keys.push_back(pp < qq ? pp << 32 | qq : qq << 32 | pp);
                    }
                }
            }
        }
    };
    // Node pairs (g, h) of one level, g <= h (so every leaf of g comes
    // before or is every leaf of h), whose boxes may hold a close pair:
    // down to `level` (collected), or to the leaves (compared).
    struct NodePair {
        std::size_t g, h;
        unsigned level;
    };
    auto descend = [&](NodePair start, unsigned stop, std::vector<NodePair>* collect,
                       std::vector<std::uint64_t>* keys) {
        std::vector<NodePair> stack{start};
        while (!stack.empty()) {
            NodePair np = stack.back();
            stack.pop_back();
            if (box_gap(boxes[np.g], boxes[np.h]) > limit) continue;
            if (np.level == stop) {
                if (collect) {
                    collect->push_back(np);
                } else {
                    leaf_pairs(np.g - first_leaf, np.h - first_leaf, *keys);
                }
                continue;
            }
            const std::size_t g1 = 2 * np.g + 1, h1 = 2 * np.h + 1;
            const unsigned next = np.level + 1;
            if (np.g == np.h) {
                stack.push_back({g1 + 1, g1 + 1, next});
                stack.push_back({g1, g1 + 1, next});
                stack.push_back({g1, g1, next});
            } else {
                stack.push_back({g1 + 1, h1 + 1, next});
                stack.push_back({g1 + 1, h1, next});
                stack.push_back({g1, h1 + 1, next});
                stack.push_back({g1, h1, next});
            }
        }
    };
    // The close node pairs of a middle level are the tasks; each task
    // collects its pairs on its own.
    std::vector<NodePair> tasks;
    descend({0, 0, 0}, std::min(depth, 6u), &tasks, nullptr);
    const std::size_t chunks = tasks.size();
    std::vector<std::vector<std::uint64_t>> found(chunks);
    Failure failure;
    auto find = [&](std::size_t b, std::size_t e) {
        try {
            // One growing buffer per range of tasks, each task's pairs then
            // copied out at their exact size (growing many vectors in
            // parallel makes the threads queue on the system's memory map).
            std::vector<std::uint64_t> buffer;
            for (std::size_t c = b; c < e; ++c) {
                buffer.clear();
                descend(tasks[c], depth, nullptr, &buffer);
                found[c].assign(buffer.begin(), buffer.end());
            }
        } catch (...) {
            failure.failed.store(true, std::memory_order_relaxed);
        }
    };
    for_ranges(loop, chunks, 1, find);
    failure.rethrow();

    // All keys in one array, then sorted: the keys are distinct, so the
    // order is unique. The result's own room (two int64 per pair) holds the
    // keys and the sort's spare array, one in each half, so the pairs take
    // no memory beyond what they are found in and what they are returned in.
    std::vector<std::size_t> at(chunks + 1, 0);
    for (std::size_t c = 0; c < chunks; ++c) at[c + 1] = at[c] + found[c].size();
    const std::size_t total = at[chunks];
    std::int64_t* out = allocate(ctx, 2 * total);
    if (total == 0) return;
    std::uint64_t* keys = reinterpret_cast<std::uint64_t*>(out) + total;
    std::uint64_t* spare = reinterpret_cast<std::uint64_t*>(out);
    const unsigned bits = static_cast<unsigned>(std::bit_width(n - 1));
    auto gather_keys = [&](std::size_t b, std::size_t e) {
        for (std::size_t c = b; c < e; ++c) {
            std::uint64_t* to = keys + at[c];
            for (std::uint64_t key : found[c]) *to++ = (key >> 32) << bits | (key & 0xFFFFFFFFu);
            std::vector<std::uint64_t>().swap(found[c]);
        }
    };
    for_ranges(loop, chunks, 1, gather_keys);
    radix_sort(keys, spare, total, 2 * bits, loop);
    // Each key becomes its two rows in place: from the front when the keys
    // sit in the back half (pair s is written below key s + 1), from the
    // back when they sit in the front half (pair s is written at or above
    // key s).
    const std::uint64_t low = (std::uint64_t{1} << bits) - 1;
    auto expand = [&](std::size_t s) {
        const std::uint64_t key = keys[s];
        out[2 * s] = static_cast<std::int64_t>(key >> bits);
        out[2 * s + 1] = static_cast<std::int64_t>(key & low);
    };
    if (keys == reinterpret_cast<std::uint64_t*>(out)) {
        for (std::size_t s = total; s-- > 0;) expand(s);
    } else {
        for (std::size_t s = 0; s < total; ++s) expand(s);
    }
}

}  // namespace tarsk::kdtree
