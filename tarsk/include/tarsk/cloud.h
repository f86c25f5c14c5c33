#pragma once
// Point clouds: least-squares fits of planes, lines, spheres and circles,
// a seeded RANSAC plane search, normals from k nearest neighbours and
// point-to-point ICP on the spatial index.
//
// Fixed-block sums. Every sum over the points is made in blocks of
// block_rows consecutive rows: each block's partial sum runs row after row
// from zero, and the partials are added in block order. A block's partial
// depends only on its rows, so a caller that cuts the rows at multiples of
// block_rows (a Dask chunking, a worker pool's ranges) and adds the partials
// in block order gets the same bits as one pass.
//
// The symmetric eigen problems (3x3 scatter matrices) are solved by the
// rotation module's cyclic Jacobi solver: the largest eigenvector of S, and
// of -S for the smallest, each embedded in a 4x4 matrix whose fourth row and
// column are zero off the diagonal (Jacobi rotations never mix them in) and
// whose fourth diagonal entry lies below the eigenvalue sought.
//
// Only + - * / and sqrt are used, each rounded on its own, so the results are
// the same bits on every IEEE-754 machine and for every worker count.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tarsk/kdtree.h"
#include "tarsk/quat.h"
#include "tarsk/vec3d.h"

namespace tarsk::cloud {

using kdtree::ParallelFor;

// Rows of one block of a fixed-block sum.
inline constexpr std::size_t block_rows = 4096;
inline std::size_t block_count(std::size_t n) { return (n + block_rows - 1) / block_rows; }

// Widths of the per-block partials below.
inline constexpr std::size_t first_width = 4;    // sum w, sum w x, sum w y, sum w z
inline constexpr std::size_t second_width = 6;   // sum w q q^T: xx, xy, xz, yy, yz, zz (q = p - centroid)
inline constexpr std::size_t sphere_width = 14;  // [q 1][q 1]^T upper triangle (10), [q 1] |q|^2 (4)
inline constexpr std::size_t circle_width = 9;   // [u v 1][u v 1]^T upper triangle (6), [u v 1] (u^2 + v^2) (3)
inline constexpr std::size_t residual_width = 2; // sum w, sum w r^2

// Per-block partials of n rows (weights null: every weight 1) into
// out[block * width + j], block_count(n) blocks.
void first_blocks(const double* rows, const double* weights, std::size_t n, double* out, ParallelFor loop);
void second_blocks(const double* rows, const double* weights, std::size_t n, const double centroid[3], double* out,
                   ParallelFor loop);
void sphere_blocks(const double* rows, std::size_t n, const double centroid[3], double* out, ParallelFor loop);
// In-plane coordinates u = (p - origin) . eu, v = (p - origin) . ev.
void circle_blocks(const double* rows, std::size_t n, const double origin[3], const double eu[3],
                   const double ev[3], double* out, ParallelFor loop);

// The partials added in block order: total[j] = ((p0[j] + p1[j]) + p2[j]) ...
void sum_blocks(const double* parts, std::size_t blocks, std::size_t width, double* total);

// The centroid of first-moment totals: sum w p / sum w.
Vec3d centroid(const double first[first_width]);

// Eigen analysis of a scatter matrix (second-moment totals).
struct Scatter {
    Vec3d smallest;  // unit eigenvector of the smallest eigenvalue
    Vec3d largest;   // unit eigenvector of the largest eigenvalue
    double low, middle, high;  // eigenvalues, middle = trace - low - high
};
Scatter analyse(const double second[second_width]);

// The sign rule of fitted directions: v turned so that its component of
// largest magnitude (the first of equal ones) is positive.
Vec3d orient(const Vec3d& v);

// What is wrong with a point set for a fit.
enum class Fault { none, identical, collinear, coplanar, not_finite };

// The degeneracy rules of the plane and line fits: identical when the
// spread along the best line, sqrt(high / sum w), is at most 1e-14 times the
// largest centroid coordinate magnitude (or zero); collinear (plane, circle)
// when middle <= 1e-14 * high.
Fault plane_fault(const Scatter& s, const Vec3d& c, double weight);

// The identical and not_finite rules of plane_fault for sphere totals
// (their trace sum |q|^2 and count), relative to the centroid c.
Fault spread_fault(const double sums[sphere_width], const Vec3d& c);

// Solves the symmetric positive system m x = b (size 3 to 6, m in full
// storage, row-major) after scaling by the diagonal, by Gaussian elimination
// with partial pivoting; false when a pivot is at most 1e-13 of the scaled
// diagonal (a singular or nearly singular system).
bool solve(double* m, double* b, int size);

// A sphere from centred sphere totals (sphere_blocks): centre relative to
// the centroid, and radius. Fault coplanar when the system is singular.
Fault sphere_from(const double sums[sphere_width], Vec3d& centre, double& radius);
// A circle in the plane from circle totals: (cu, cv) and radius.
Fault circle_from(const double sums[circle_width], double& cu, double& cv, double& radius);

// An in-plane basis of unit normal n: eu = normalize(n x e), e the axis of
// the smallest |component| of n (the first of equal ones), ev = n x eu.
void plane_basis(const Vec3d& n, Vec3d& eu, Vec3d& ev);

// Residuals of one shape, per row into r (n values), and as per-block
// partials (sum w, sum w r^2) for the root mean square.
enum class Shape { plane, line, sphere, circle };
struct Primitive {
    Shape shape;
    Vec3d point;      // plane: unit normal; line: point; sphere, circle: centre
    Vec3d direction;  // line: unit direction; circle: unit normal
    double value;     // plane: distance (n.p + value = 0); sphere, circle: radius
};
// plane: n.p + d (signed); line: the distance |q - (q.u) u|, q = p - point;
// sphere: |p - c| - r (signed); circle: sqrt(h^2 + (rho - r)^2), h = q.n,
// rho = |q - h n|.
double residual(const Primitive& f, const Vec3d& p);
void residuals(const Primitive& f, const double* rows, std::size_t n, double* r, ParallelFor loop);
void residual_blocks(const Primitive& f, const double* rows, const double* weights, std::size_t n, double* out,
                     ParallelFor loop);

// ---------------------------------------------------------------------------
// Normals

// The unit normal of each of the tree's points from its k nearest stored
// points (itself included): the smallest eigenvector of their scatter about
// their centroid. Oriented toward *viewpoint when it is given (n.(v - p) >= 0),
// else by orient(). `rows` are the tree's points in original order; normals
// go to out[3 * row].
void normals(const kdtree::View& tree, const double* rows, std::size_t k, const double* viewpoint, double* out,
             ParallelFor loop);

// The same for m finite query rows x (normal of x's point q into out[3 * q]),
// each from its k nearest stored points: the tree's own points given as x
// get the bits normals() gives them.
void normals_at(const kdtree::View& tree, const double* rows, const double* x, std::size_t m, std::size_t k,
                const double* viewpoint, double* out, ParallelFor loop);

// ---------------------------------------------------------------------------
// RANSAC

// The three rows of sample `iteration` of stream `seed` among n >= 3 rows:
// drawn by a counter-based hash of (seed, iteration, draw), each draw
// mapped onto [0, n) by the high word of a 64 x 64-bit product, redrawn
// while equal to an earlier one.
void sample(std::uint64_t seed, std::uint64_t iteration, std::size_t n, std::size_t out[3]);

// The plane through the sample's three points: unit normal
// (b - a) x (c - a) / |...| and distance -(n . a); false when the three
// points are collinear (zero cross product).
bool sample_plane(const double* rows, const std::size_t idx[3], Vec3d& normal, double& distance);

// The number of rows with |n . p + d| <= threshold for every sampled plane of
// iterations [first, first + iterations) into count (0 for a collinear sample).
void ransac_counts(const double* rows, std::size_t n, double threshold, std::uint64_t seed, std::uint64_t first,
                   std::size_t iterations, std::int64_t* count, ParallelFor loop);

// The rows within threshold of a plane, ascending.
void plane_inliers(const double* rows, std::size_t n, const Vec3d& normal, double distance, double threshold,
                   std::vector<std::int64_t>& out);

// ---------------------------------------------------------------------------
// ICP

struct IcpResult {
    Quat rotation;      // storage sense: y = rotation.rotate(p) + translation
    Vec3d translation;
    double rmse;        // of the matched distances under the returned transform (0 when none)
    double fitness;     // matched / m
    std::size_t iterations;
    bool converged;
};

// Point-to-point ICP of m source rows onto the tree's points (`target` in
// original order). The source is taken in the order of its own index
// (kdtree::build, leaves of at most 12 points), and every sum runs over that
// order in fixed blocks. Each evaluation moves every source point, takes its
// nearest target point (ties by lower row) and keeps it when the distance
// is at most max_distance. Each step maps the centred moved points onto their
// centred matches by align_finish (the rotation module's best rotation) and
// composes that with the transform. It stops after max_iterations steps, when
// fewer than three points match, or when a step changes the fitness by at
// most tolerance and the rmse by at most tolerance * rmse (converged).
//
// With target_normals (unit normals of the target rows, original order) each
// step is point to plane instead: the small motion (omega, t') about the
// centroid cm of the moved matched points that minimises
// sum ((y - q) . n + ((y - cm) x n) . omega + n . t')^2, solved from its 6x6
// normal equations (solve), the turn taken as the normalised storage
// quaternion (1, -omega / 2); when those equations are singular (a flat
// target leaves motions along it free) the step is point to point.
IcpResult icp(const kdtree::View& tree, const double* target, const double* source, std::size_t m,
              double max_distance, std::size_t max_iterations, double tolerance, const Quat& rotation,
              const Vec3d& translation, ParallelFor loop, const double* target_normals = nullptr);

// rows moved by y = u.rotate(p) + translation into out, u the normalised
// rotation (four true divisions by its magnitude; the caller refuses a
// quaternion of zero norm).
void transform(const double* rows, std::size_t n, const Quat& rotation, const Vec3d& translation, double* out,
               ParallelFor loop);

}  // namespace tarsk::cloud
