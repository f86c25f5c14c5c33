#pragma once
// A spatial index over points in three dimensions: exact nearest-neighbour,
// fixed-radius and pair searches whose answers are exactly those of a
// brute-force scan.
//
// Exactness. The distance of a stored point p from a query x is
// Vec3d::distance_to(x, p): d = x - p per component, then
// sqrt((dx*dx + dy*dy) + dz*dz), each operation rounded on its own. Answers
// are ordered by the key (distance, original index), so equal distances go
// to the lower index. Every lower bound the search prunes with is computed
// with the same rounded operations in the same order from per-axis offsets
// that never exceed |x - p| for any point of the pruned box; rounding is
// monotone, so the bound never exceeds a computed squared distance, and a
// pruned box never held an answer. Comparisons against a distance d are
// made on squared distances through a limit at least as large as the
// largest double whose square root is at most d (limit_squared(d), or a
// cheap bound just above it while the nearest are being collected), so a
// pruned candidate could never enter the answer, and a candidate under the
// limit enters only by its exact key, with the square root taken then.
//
// Layout. The points are stored once, in tree order, with the permutation
// to their original rows beside them. The tree is a perfect binary tree of
// depth D in heap order (children of node h are 2h+1 and 2h+2) over 2^D
// leaves of nearly equal size: leaf l holds the points [l*n >> D,
// (l+1)*n >> D), and a node holds the points of its leaves. Each node splits
// its points at the first point of its right half, ordered by coordinate
// (then row) along the widest axis of its box, so its two halves lie on
// either side of a plane. Each node keeps the box of its points as six
// floats rounded outward, so the box always contains them.
//
// Parallel work runs through a caller-supplied loop (ParallelFor); every
// result is computed per item or per fixed block, so it does not depend on
// how the loop splits the items.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarsk::kdtree {

// Runs body(ctx, begin, end) over disjoint ranges covering [0, n) and returns
// when all are done. `body` never throws.
using ParallelFor = void (*)(std::size_t n, std::size_t grain,
                             void (*body)(void* ctx, std::size_t begin, std::size_t end), void* ctx);

// The loop on the calling thread alone.
void serial_for(std::size_t n, std::size_t grain, void (*body)(void* ctx, std::size_t begin, std::size_t end),
                void* ctx);

// The outward-rounded bounds of the points under one node.
struct Box {
    float lo[3];
    float hi[3];
};

// The largest point count of an index (its permutation holds 32-bit rows).
inline constexpr std::size_t max_points = 0xFFFFFFFEu;

// The depth of the tree for n points and at most `leafsize` points per leaf:
// the smallest depth whose leaves hold at most leafsize points (0 for n <= leafsize).
unsigned depth_for(std::size_t n, std::size_t leafsize);

// The node count of a tree of that depth: 2^(depth + 1) - 1.
inline std::size_t node_count(unsigned depth) { return (std::size_t{2} << depth) - 1; }

// The first row among n rows of three doubles that holds a NaN or an
// infinity, or n when every row is finite.
std::size_t first_non_finite(const double* rows, std::size_t n, ParallelFor loop);

// A built index, read only. Every pointer stays valid while the view is used.
struct View {
    const double* points = nullptr;   // n rows (x, y, z) in tree order
    const std::uint32_t* perm = nullptr;  // original row of each stored point
    const Box* boxes = nullptr;       // node_count(depth) boxes in heap order
    std::size_t n = 0;
    unsigned depth = 0;
};

// Builds the index of n finite rows (checked by the caller) into the
// caller's buffers: n sorted rows, n permutation entries and
// node_count(depth) boxes. Deterministic: the same rows give the same bytes.
void build(const double* rows, std::size_t n, unsigned depth, double* points, std::uint32_t* perm, Box* boxes,
           ParallelFor loop);

// The k nearest stored points of each of m finite queries, nearest first,
// ties by ascending original row, only points at a distance below
// upper_bound (every point when it is +inf): distances into d[q*k + j],
// original rows into index[q*k + j]; missing neighbours get +inf and n.
void query(const View& tree, const double* x, std::size_t m, std::size_t k, double upper_bound, double* d,
           std::int64_t* index, ParallelFor loop);

// The stored points within distance r (distance <= r) of each query, by
// ascending original row. Results of query q are rows[offsets[q],
// offsets[q + 1]); offsets has m + 1 entries.
void ball(const View& tree, const double* x, std::size_t m, double r, std::vector<std::int64_t>& rows,
          std::vector<std::size_t>& offsets, ParallelFor loop);

// Only the counts of ball(): count[q] for each query.
void ball_count(const View& tree, const double* x, std::size_t m, double r, std::int64_t* count, ParallelFor loop);

// Room for `count` results, from the caller (it may throw).
using Allocate = std::int64_t* (*)(void* ctx, std::size_t count);

// Every pair (i, j), i < j, of original rows whose points lie within
// distance r of each other (distance_to(row i, row j) <= r), sorted
// lexicographically, written as out[2t], out[2t + 1] into the room that
// allocate(ctx, 2 * pairs) gives.
void pairs(const View& tree, double r, Allocate allocate, void* ctx, ParallelFor loop);

// The largest double t >= 0 with sqrt(t) <= d (d >= 0, +inf for +inf):
// sqrt(s) <= d exactly when s <= limit_squared(d), for any s >= 0.
double limit_squared(double d);

}  // namespace tarsk::kdtree
