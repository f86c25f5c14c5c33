#include "tarsk/cloud.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <new>
#include <cmath>
#include <cstring>

#include "tarsk/rotation.h"

namespace tarsk::cloud {
namespace {

namespace rot = tarsk::rotation;

double abs(double x) { return x < 0 ? -x : x; }

Vec3d row(const double* rows, std::size_t j) { return {rows[3 * j], rows[3 * j + 1], rows[3 * j + 2]}; }

// Runs f(block, begin, end) for every block of n rows through the loop. The
// loop's bodies must not throw: a failure (an allocation) is caught there
// and raised as std::bad_alloc once the loop is done.
template <class F>
void for_blocks(std::size_t n, ParallelFor loop, F& f) {
    struct Ctx {
        F* f;
        std::size_t n;
        std::atomic<bool> failed;
    } ctx{&f, n, {false}};
    loop(block_count(n), 1,
         [](void* c, std::size_t b0, std::size_t b1) {
             auto* x = static_cast<Ctx*>(c);
             try {
                 for (std::size_t b = b0; b < b1; ++b) {
                     const std::size_t begin = b * block_rows;
                     const std::size_t end = std::min(x->n, begin + block_rows);
                     (*x->f)(b, begin, end);
                 }
             } catch (...) {
                 x->failed.store(true, std::memory_order_relaxed);
             }
         },
         &ctx);
    if (ctx.failed.load()) throw std::bad_alloc();
}

// Runs f(begin, end) over [0, n) in ranges of `grain` items, failures as
// for_blocks.
template <class F>
void for_ranges(std::size_t n, std::size_t grain, ParallelFor loop, F& f) {
    struct Ctx {
        F* f;
        std::atomic<bool> failed;
    } ctx{&f, {false}};
    loop(n, grain,
         [](void* c, std::size_t b, std::size_t e) {
             auto* x = static_cast<Ctx*>(c);
             try {
                 (*x->f)(b, e);
             } catch (...) {
                 x->failed.store(true, std::memory_order_relaxed);
             }
         },
         &ctx);
    if (ctx.failed.load()) throw std::bad_alloc();
}

// The largest eigenvector of a symmetric 3x3 s (full storage) with the
// fourth diagonal entry `below`, which must lie below the largest eigenvalue.
Vec3d largest3(const Matrix3& s, double below, double& value) {
    rot::Matrix4 a{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) a[r][c] = s[r][c];
    a[3][3] = below;
    std::array<double, 4> e = rot::largest_eigenvector(a, value);
    return Vec3d{e[0], e[1], e[2]}.normalize();
}

Matrix3 full(const double u[6]) {
    return Matrix3{{{u[0], u[1], u[2]}, {u[1], u[3], u[4]}, {u[2], u[4], u[5]}}};
}

// The 4x4 (or 3x3) symmetric matrix of an upper triangle stored row by row.
void unpack(const double* upper, int size, double* m) {
    int t = 0;
    for (int r = 0; r < size; ++r) {
        for (int c = r; c < size; ++c) {
            m[r * size + c] = upper[t];
            m[c * size + r] = upper[t];
            ++t;
        }
    }
}

constexpr std::uint64_t mix64(std::uint64_t z) {
    z = z + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace

// ---------------------------------------------------------------------------
// Fixed-block sums

void first_blocks(const double* rows, const double* weights, std::size_t n, double* out, ParallelFor loop) {
    auto f = [&](std::size_t b, std::size_t begin, std::size_t end) {
        double s[first_width] = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t j = begin; j < end; ++j) {
            const double w = weights ? weights[j] : 1.0;
            s[0] = s[0] + w;
            s[1] = s[1] + w * rows[3 * j];
            s[2] = s[2] + w * rows[3 * j + 1];
            s[3] = s[3] + w * rows[3 * j + 2];
        }
        std::memcpy(out + b * first_width, s, sizeof s);
    };
    for_blocks(n, loop, f);
}

void second_blocks(const double* rows, const double* weights, std::size_t n, const double centroid[3], double* out,
                   ParallelFor loop) {
    const double cx = centroid[0], cy = centroid[1], cz = centroid[2];
    auto f = [&](std::size_t b, std::size_t begin, std::size_t end) {
        double s[second_width] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t j = begin; j < end; ++j) {
            const double w = weights ? weights[j] : 1.0;
            const double x = rows[3 * j] - cx, y = rows[3 * j + 1] - cy, z = rows[3 * j + 2] - cz;
            const double wx = w * x, wy = w * y, wz = w * z;
            s[0] = s[0] + wx * x;
            s[1] = s[1] + wx * y;
            s[2] = s[2] + wx * z;
            s[3] = s[3] + wy * y;
            s[4] = s[4] + wy * z;
            s[5] = s[5] + wz * z;
        }
        std::memcpy(out + b * second_width, s, sizeof s);
    };
    for_blocks(n, loop, f);
}

void sphere_blocks(const double* rows, std::size_t n, const double centroid[3], double* out, ParallelFor loop) {
    const double cx = centroid[0], cy = centroid[1], cz = centroid[2];
    auto f = [&](std::size_t b, std::size_t begin, std::size_t end) {
        double s[sphere_width] = {};
        for (std::size_t j = begin; j < end; ++j) {
            const double v[4] = {rows[3 * j] - cx, rows[3 * j + 1] - cy, rows[3 * j + 2] - cz, 1.0};
            const double q2 = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2];
            int t = 0;
            for (int r = 0; r < 4; ++r)
                for (int c = r; c < 4; ++c) {
                    s[t] = s[t] + v[r] * v[c];
                    ++t;
                }
            for (int r = 0; r < 4; ++r) s[10 + r] = s[10 + r] + v[r] * q2;
        }
        std::memcpy(out + b * sphere_width, s, sizeof s);
    };
    for_blocks(n, loop, f);
}

void circle_blocks(const double* rows, std::size_t n, const double origin[3], const double eu[3],
                   const double ev[3], double* out, ParallelFor loop) {
    const Vec3d o{origin[0], origin[1], origin[2]}, u{eu[0], eu[1], eu[2]}, v{ev[0], ev[1], ev[2]};
    auto f = [&](std::size_t b, std::size_t begin, std::size_t end) {
        double s[circle_width] = {};
        for (std::size_t j = begin; j < end; ++j) {
            const Vec3d q = row(rows, j) - o;
            const double a[3] = {q.dot(u), q.dot(v), 1.0};
            const double r2 = a[0] * a[0] + a[1] * a[1];
            int t = 0;
            for (int r = 0; r < 3; ++r)
                for (int c = r; c < 3; ++c) {
                    s[t] = s[t] + a[r] * a[c];
                    ++t;
                }
            for (int r = 0; r < 3; ++r) s[6 + r] = s[6 + r] + a[r] * r2;
        }
        std::memcpy(out + b * circle_width, s, sizeof s);
    };
    for_blocks(n, loop, f);
}

void sum_blocks(const double* parts, std::size_t blocks, std::size_t width, double* total) {
    for (std::size_t j = 0; j < width; ++j) total[j] = 0.0;
    for (std::size_t b = 0; b < blocks; ++b)
        for (std::size_t j = 0; j < width; ++j) total[j] = total[j] + parts[b * width + j];
}

Vec3d centroid(const double first[first_width]) {
    return {first[1] / first[0], first[2] / first[0], first[3] / first[0]};
}

// ---------------------------------------------------------------------------
// Eigen analysis and fits

Vec3d orient(const Vec3d& v) {
    int big = 0;
    const double a[3] = {abs(v.x), abs(v.y), abs(v.z)};
    for (int c = 1; c < 3; ++c)
        if (a[c] > a[big]) big = c;
    const double comp = big == 0 ? v.x : big == 1 ? v.y : v.z;
    return comp < 0.0 ? -v : v;
}

Scatter analyse(const double second[second_width]) {
    const Matrix3 s = full(second);
    const double trace = (second[0] + second[3]) + second[5];
    Scatter out{};
    double high;
    out.largest = orient(largest3(s, -1.0, high));
    Matrix3 neg;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) neg[r][c] = -s[r][c];
    double low_neg;
    out.smallest = orient(largest3(neg, -(trace + 1.0), low_neg));
    out.high = high;
    out.low = -low_neg;
    out.middle = (trace - out.low) - out.high;
    return out;
}

Fault plane_fault(const Scatter& s, const Vec3d& c, double weight) {
    if (!std::isfinite(s.high) || !std::isfinite(s.low) || !std::isfinite(c.x) || !std::isfinite(c.y) ||
        !std::isfinite(c.z)) {
        return Fault::not_finite;
    }
    const double scale = std::max(abs(c.x), std::max(abs(c.y), abs(c.z)));
    const double spread = std::sqrt((s.high > 0.0 ? s.high : 0.0) / weight);
    if (spread == 0.0 || spread <= 1e-14 * scale) return Fault::identical;
    if (s.middle <= 1e-14 * s.high) return Fault::collinear;
    return Fault::none;
}

Fault spread_fault(const double sums[sphere_width], const Vec3d& c) {
    for (std::size_t j = 0; j < sphere_width; ++j)
        if (!std::isfinite(sums[j])) return Fault::not_finite;
    if (!std::isfinite(c.x) || !std::isfinite(c.y) || !std::isfinite(c.z)) return Fault::not_finite;
    const double scale = std::max(abs(c.x), std::max(abs(c.y), abs(c.z)));
    const double spread = std::sqrt(((sums[0] + sums[4]) + sums[7]) / sums[9]);
    if (spread == 0.0 || spread <= 1e-14 * scale) return Fault::identical;
    return Fault::none;
}

bool solve(double* m, double* b, int size) {
    // Scale rows and columns by 1 / sqrt(diagonal), so the diagonal is 1.
    double d[6];
    for (int r = 0; r < size; ++r) {
        const double diag = m[r * size + r];
        if (!(diag > 0.0) || !std::isfinite(diag)) return false;
        d[r] = 1.0 / std::sqrt(diag);
    }
    for (int r = 0; r < size; ++r) {
        for (int c = 0; c < size; ++c) m[r * size + c] = (m[r * size + c] * d[r]) * d[c];
        b[r] = b[r] * d[r];
    }
    int order[6] = {0, 1, 2, 3, 4, 5};
    for (int col = 0; col < size; ++col) {
        int pivot = col;
        for (int r = col + 1; r < size; ++r)
            if (abs(m[order[r] * size + col]) > abs(m[order[pivot] * size + col])) pivot = r;
        std::swap(order[col], order[pivot]);
        const int p = order[col];
        const double pv = m[p * size + col];
        if (!(abs(pv) > 1e-13)) return false;
        for (int r = col + 1; r < size; ++r) {
            const int q = order[r];
            const double f = m[q * size + col] / pv;
            for (int c = col; c < size; ++c) m[q * size + c] = m[q * size + c] - f * m[p * size + c];
            b[q] = b[q] - f * b[p];
        }
    }
    double x[6];
    for (int col = size - 1; col >= 0; --col) {
        const int p = order[col];
        double s = b[p];
        for (int c = col + 1; c < size; ++c) s = s - m[p * size + c] * x[c];
        x[col] = s / m[p * size + col];
    }
    for (int r = 0; r < size; ++r) b[r] = x[r] * d[r];
    return true;
}

Fault sphere_from(const double sums[sphere_width], Vec3d& centre, double& radius) {
    // Unknowns (a, b, c, e) of |q|^2 = a qx + b qy + c qz + e: centre (a, b, c) / 2,
    // radius sqrt(e + |centre|^2).
    double m[16], b[4];
    unpack(sums, 4, m);
    for (int r = 0; r < 4; ++r) b[r] = sums[10 + r];
    if (!solve(m, b, 4)) return Fault::coplanar;
    centre = Vec3d{b[0] * 0.5, b[1] * 0.5, b[2] * 0.5};
    const double r2 = b[3] + centre.dot(centre);
    if (!(r2 > 0.0) || !std::isfinite(r2)) return Fault::coplanar;
    radius = std::sqrt(r2);
    return Fault::none;
}

Fault circle_from(const double sums[circle_width], double& cu, double& cv, double& radius) {
    for (std::size_t j = 0; j < circle_width; ++j)
        if (!std::isfinite(sums[j])) return Fault::not_finite;
    double m[9], b[3];
    unpack(sums, 3, m);
    for (int r = 0; r < 3; ++r) b[r] = sums[6 + r];
    if (!solve(m, b, 3)) return Fault::collinear;
    cu = b[0] * 0.5;
    cv = b[1] * 0.5;
    const double r2 = b[2] + (cu * cu + cv * cv);
    if (!(r2 > 0.0) || !std::isfinite(r2)) return Fault::collinear;
    radius = std::sqrt(r2);
    return Fault::none;
}

void plane_basis(const Vec3d& n, Vec3d& eu, Vec3d& ev) {
    const double a[3] = {abs(n.x), abs(n.y), abs(n.z)};
    int small = 0;
    for (int c = 1; c < 3; ++c)
        if (a[c] < a[small]) small = c;
    const Vec3d e = small == 0 ? Vec3d::i() : small == 1 ? Vec3d::j() : Vec3d::k();
    eu = n.cross(e).normalize();
    ev = n.cross(eu);
}

double residual(const Primitive& f, const Vec3d& p) {
    switch (f.shape) {
        case Shape::plane:
            return f.point.dot(p) + f.value;
        case Shape::line: {
            const Vec3d q = p - f.point;
            const double t = q.dot(f.direction);
            const Vec3d o = q - f.direction * t;
            return std::sqrt(o.dot(o));
        }
        case Shape::sphere: {
            const Vec3d q = p - f.point;
            return std::sqrt(q.dot(q)) - f.value;
        }
        case Shape::circle: {
            const Vec3d q = p - f.point;
            const double h = q.dot(f.direction);
            const Vec3d o = q - f.direction * h;
            const double rho = std::sqrt(o.dot(o)) - f.value;
            return std::sqrt(h * h + rho * rho);
        }
    }
    return 0.0;
}

void residuals(const Primitive& f, const double* rows, std::size_t n, double* r, ParallelFor loop) {
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) r[j] = residual(f, row(rows, j));
    };
    for_ranges(n, 4096, loop, body);
}

void residual_blocks(const Primitive& f, const double* rows, const double* weights, std::size_t n, double* out,
                     ParallelFor loop) {
    auto body = [&](std::size_t b, std::size_t begin, std::size_t end) {
        double sw = 0.0, s2 = 0.0;
        for (std::size_t j = begin; j < end; ++j) {
            const double w = weights ? weights[j] : 1.0;
            const double r = residual(f, row(rows, j));
            sw = sw + w;
            s2 = s2 + (w * r) * r;
        }
        out[b * residual_width] = sw;
        out[b * residual_width + 1] = s2;
    };
    for_blocks(n, loop, body);
}

// ---------------------------------------------------------------------------
// Normals

namespace {

// The normal of one point p from the original rows of its k neighbours.
Vec3d normal_of(const double* rows, const std::int64_t* nb, std::size_t k, const Vec3d& p, const double* viewpoint) {
    double cx = 0.0, cy = 0.0, cz = 0.0;
    for (std::size_t j = 0; j < k; ++j) {
        const double* q = rows + 3 * static_cast<std::size_t>(nb[j]);
        cx = cx + q[0];
        cy = cy + q[1];
        cz = cz + q[2];
    }
    const double kk = static_cast<double>(k);
    cx = cx / kk;
    cy = cy / kk;
    cz = cz / kk;
    double u[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < k; ++j) {
        const double* q = rows + 3 * static_cast<std::size_t>(nb[j]);
        const double x = q[0] - cx, y = q[1] - cy, z = q[2] - cz;
        u[0] = u[0] + x * x;
        u[1] = u[1] + x * y;
        u[2] = u[2] + x * z;
        u[3] = u[3] + y * y;
        u[4] = u[4] + y * z;
        u[5] = u[5] + z * z;
    }
    Matrix3 neg = full(u);
    for (auto& r : neg)
        for (auto& v : r) v = -v;
    const double trace = (u[0] + u[3]) + u[5];
    double value;
    Vec3d nv = largest3(neg, -(trace + 1.0), value);
    if (viewpoint) {
        const Vec3d to = Vec3d{viewpoint[0], viewpoint[1], viewpoint[2]} - p;
        if (nv.dot(to) < 0.0) nv = -nv;
        return nv;
    }
    return orient(nv);
}

// Normals of m query rows x (x_row(q) gives query q's point) into
// out[3 * at(q)], in runs of 64 queries.
template <class At>
void normals_of(const kdtree::View& tree, const double* rows, const double* x, std::size_t m, std::size_t k,
                const double* viewpoint, double* out, At at, ParallelFor loop) {
    auto body = [&](std::size_t begin, std::size_t end) {
        std::vector<double> d(k * 64);
        std::vector<std::int64_t> idx(k * 64);
        for (std::size_t s = begin; s < end; s += 64) {
            const std::size_t cnt = std::min<std::size_t>(64, end - s);
            kdtree::query(tree, x + 3 * s, cnt, k, HUGE_VAL, d.data(), idx.data(), &kdtree::serial_for);
            for (std::size_t q = 0; q < cnt; ++q) {
                const Vec3d nv = normal_of(rows, idx.data() + q * k, k, row(x, s + q), viewpoint);
                const std::size_t o = at(s + q);
                out[3 * o] = nv.x;
                out[3 * o + 1] = nv.y;
                out[3 * o + 2] = nv.z;
            }
        }
    };
    for_ranges(m, 1024, loop, body);
}

}  // namespace

void normals(const kdtree::View& tree, const double* rows, std::size_t k, const double* viewpoint, double* out,
             ParallelFor loop) {
    // The tree's points in tree order (neighbouring queries walk the same
    // leaves), each written to its original row.
    normals_of(tree, rows, tree.points, tree.n, k, viewpoint, out,
               [&](std::size_t j) { return static_cast<std::size_t>(tree.perm[j]); }, loop);
}

void normals_at(const kdtree::View& tree, const double* rows, const double* x, std::size_t m, std::size_t k,
                const double* viewpoint, double* out, ParallelFor loop) {
    normals_of(tree, rows, x, m, k, viewpoint, out, [](std::size_t j) { return j; }, loop);
}

// ---------------------------------------------------------------------------
// RANSAC

void sample(std::uint64_t seed, std::uint64_t iteration, std::size_t n, std::size_t out[3]) {
    const std::uint64_t base = mix64(mix64(seed) + mix64(~iteration));
    std::uint64_t draw = 0;
    for (int j = 0; j < 3; ++j) {
        for (;;) {
            const unsigned __int128 wide =
                static_cast<unsigned __int128>(mix64(base + draw++)) * static_cast<unsigned __int128>(n);
            const std::size_t v = static_cast<std::size_t>(wide >> 64);
            bool again = false;
            for (int e = 0; e < j; ++e) again = again || out[e] == v;
            if (!again) {
                out[j] = v;
                break;
            }
        }
    }
}

bool sample_plane(const double* rows, const std::size_t idx[3], Vec3d& normal, double& distance) {
    const Vec3d a = row(rows, idx[0]), b = row(rows, idx[1]), c = row(rows, idx[2]);
    const Vec3d cr = (b - a).cross(c - a);
    const double len = std::sqrt(cr.dot(cr));
    if (!(len > 0.0) || !std::isfinite(len)) return false;
    normal = cr.divide(len);
    distance = -normal.dot(a);
    return true;
}

void ransac_counts(const double* rows, std::size_t n, double threshold, std::uint64_t seed, std::uint64_t first,
                   std::size_t iterations, std::int64_t* count, ParallelFor loop) {
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t it = begin; it < end; ++it) {
            std::size_t idx[3];
            sample(seed, first + it, n, idx);
            Vec3d nv;
            double d;
            std::int64_t c = 0;
            if (sample_plane(rows, idx, nv, d)) {
                const double nx = nv.x, ny = nv.y, nz = nv.z;
                for (std::size_t j = 0; j < n; ++j) {
                    const double r = (nx * rows[3 * j] + ny * rows[3 * j + 1]) + nz * rows[3 * j + 2];
                    const double e = r + d;
                    c += (e <= threshold) & (e >= -threshold);
                }
            }
            count[it] = c;
        }
    };
    for_ranges(iterations, 1, loop, body);
}

void plane_inliers(const double* rows, std::size_t n, const Vec3d& normal, double distance, double threshold,
                   std::vector<std::int64_t>& out) {
    out.clear();
    for (std::size_t j = 0; j < n; ++j) {
        const double e = normal.dot(row(rows, j)) + distance;
        if (e <= threshold && e >= -threshold) out.push_back(static_cast<std::int64_t>(j));
    }
}

// ---------------------------------------------------------------------------
// ICP

void transform(const double* rows, std::size_t n, const Quat& rotation, const Vec3d& translation, double* out,
               ParallelFor loop) {
    const Quat q = rotation.normalize();
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            const Vec3d y = q.rotate(row(rows, j)) + translation;
            out[3 * j] = y.x;
            out[3 * j + 1] = y.y;
            out[3 * j + 2] = y.z;
        }
    };
    for_ranges(n, 4096, loop, body);
}

namespace {

// One evaluation of the correspondences.
struct Match {
    double count = 0.0;
    double sq = 0.0;  // sum of squared distances
    Vec3d moved{0.0, 0.0, 0.0}, found{0.0, 0.0, 0.0};  // sums of matched moved points and their targets
};

struct IcpWork {
    const kdtree::View& tree;
    const double* target;
    const double* source;
    std::size_t m;
    double max_distance;
    double bound;
    ParallelFor loop;
    std::vector<double> moved;      // m rows
    std::vector<std::int64_t> hit;  // target row, or -1
    std::vector<Match> parts;
    std::vector<rot::AlignSums> align;
    const double* normals = nullptr;  // target normals (point to plane), or null
    std::vector<std::array<double, 27>> plane_parts;

    Match evaluate(const Quat& q, const Vec3d& t) {
        auto body = [&](std::size_t b, std::size_t begin, std::size_t end) {
            Match s;
            // The whole block in one search call: each query starts from the
            // answer of the one before it.
            std::vector<double> d(end - begin);
            std::vector<std::int64_t> idx(end - begin);
            for (std::size_t j = begin; j < end; ++j) {
                const Vec3d y = q.rotate(row(source, j)) + t;
                moved[3 * j] = y.x;
                moved[3 * j + 1] = y.y;
                moved[3 * j + 2] = y.z;
            }
            kdtree::query(tree, moved.data() + 3 * begin, end - begin, 1, bound, d.data(), idx.data(),
                          &kdtree::serial_for);
            for (std::size_t j = begin; j < end; ++j) {
                const std::size_t e = j - begin;
                if (d[e] <= max_distance) {
                    hit[j] = idx[e];
                    s.count = s.count + 1.0;
                    s.sq = s.sq + d[e] * d[e];
                    s.moved = s.moved + row(moved.data(), j);
                    s.found = s.found + row(target, static_cast<std::size_t>(idx[e]));
                } else {
                    hit[j] = -1;
                }
            }
            parts[b] = s;
        };
        for_blocks(m, loop, body);
        Match total;
        for (const Match& p : parts) {
            total.count = total.count + p.count;
            total.sq = total.sq + p.sq;
            total.moved = total.moved + p.moved;
            total.found = total.found + p.found;
        }
        return total;
    }

    // Point-to-plane normal equations about cm: a = [(y - cm) x n, n],
    // r = (y - q) . n; upper triangle of sum a a^T (21), then sum a r (6).
    std::array<double, 27> plane_sums(const Vec3d& cm) {
        auto body = [&](std::size_t b, std::size_t begin, std::size_t end) {
            std::array<double, 27> s{};
            for (std::size_t j = begin; j < end; ++j) {
                if (hit[j] < 0) continue;
                const std::size_t t = static_cast<std::size_t>(hit[j]);
                const Vec3d y = row(moved.data(), j);
                const Vec3d nv = row(normals, t);
                const Vec3d c = (y - cm).cross(nv);
                const double a[6] = {c.x, c.y, c.z, nv.x, nv.y, nv.z};
                const double r = (y - row(target, t)).dot(nv);
                int e = 0;
                for (int u = 0; u < 6; ++u)
                    for (int v = u; v < 6; ++v) {
                        s[e] = s[e] + a[u] * a[v];
                        ++e;
                    }
                for (int u = 0; u < 6; ++u) s[21 + u] = s[21 + u] + a[u] * r;
            }
            plane_parts[b] = s;
        };
        for_blocks(m, loop, body);
        std::array<double, 27> total{};
        for (const auto& p : plane_parts)
            for (int e = 0; e < 27; ++e) total[e] = total[e] + p[e];
        return total;
    }

    rot::AlignSums step_sums(const Vec3d& cm, const Vec3d& cf) {
        auto body = [&](std::size_t b, std::size_t begin, std::size_t end) {
            rot::AlignSums s = rot::align_zero();
            for (std::size_t j = begin; j < end; ++j) {
                if (hit[j] < 0) continue;
                rot::align_add(s, row(target, static_cast<std::size_t>(hit[j])) - cf, row(moved.data(), j) - cm,
                               1.0);
            }
            align[b] = s;
        };
        for_blocks(m, loop, body);
        rot::AlignSums total = rot::align_zero();
        for (const auto& a : align) rot::align_sum_into(total, a);
        return total;
    }
};

}  // namespace

IcpResult icp(const kdtree::View& tree, const double* target, const double* source, std::size_t m,
              double max_distance, std::size_t max_iterations, double tolerance, const Quat& rotation,
              const Vec3d& translation, ParallelFor loop, const double* target_normals) {
    // The source in the spatial order of its own index: consecutive queries
    // walk the same leaves of the target's tree. Every sum runs over this
    // order, which depends only on the source points.
    std::vector<double> ordered;
    if (m <= kdtree::max_points) {
        const unsigned depth = kdtree::depth_for(m, 12);
        ordered.resize(3 * m);
        std::vector<std::uint32_t> perm(m);
        std::vector<kdtree::Box> boxes(kdtree::node_count(depth));
        kdtree::build(source, m, depth, ordered.data(), perm.data(), boxes.data(), loop);
        source = ordered.data();
    }
    IcpWork w{tree, target, source, m, max_distance, std::nextafter(max_distance, HUGE_VAL), loop,
              {},   {},     {},     {}, target_normals, {}};
    w.moved.resize(3 * m);
    w.hit.resize(m);
    w.parts.resize(block_count(m));
    w.align.resize(block_count(m));
    if (target_normals) w.plane_parts.resize(block_count(m));
    IcpResult r{};
    Quat q = rotation.normalize();
    Vec3d t = translation;
    const double mm = static_cast<double>(m);
    auto metrics = [&](const Match& s, double& rmse, double& fitness) {
        rmse = s.count > 0.0 ? std::sqrt(s.sq / s.count) : 0.0;
        fitness = mm > 0.0 ? s.count / mm : 0.0;
    };
    Match cur = w.evaluate(q, t);
    double rmse, fitness;
    metrics(cur, rmse, fitness);
    std::size_t it = 0;
    bool converged = false;
    while (it < max_iterations && cur.count >= 3.0) {
        const Vec3d cm = cur.moved.divide(cur.count);
        const Vec3d cf = cur.found.divide(cur.count);
        Quat step{1.0, 0.0, 0.0, 0.0};
        Vec3d dt{0.0, 0.0, 0.0};
        bool planar = false;
        if (w.normals) {
            // y' = cm + step (y - cm) + t', the small turn omega as the
            // normalised storage quaternion (1, -omega / 2).
            const std::array<double, 27> ps = w.plane_sums(cm);
            double mtx[36], rhs[6];
            unpack(ps.data(), 6, mtx);
            for (int u = 0; u < 6; ++u) rhs[u] = -ps[21 + u];
            if (solve(mtx, rhs, 6)) {
                step = Quat{1.0, -0.5 * rhs[0], -0.5 * rhs[1], -0.5 * rhs[2]}.normalize();
                dt = (cm + Vec3d{rhs[3], rhs[4], rhs[5]}) - step.rotate(cm);
                planar = true;
            }
        }
        if (!planar) {
            rot::AlignSums sums = w.step_sums(cm, cf);
            double rssd;
            step = rot::align_finish(sums, rssd);
            // y' = step (y - cm) + cf, with y = q p + t.
            dt = cf - step.rotate(cm);
        }
        q = rot::compose(step, q).normalize();
        t = step.rotate(t) + dt;
        ++it;
        Match next = w.evaluate(q, t);
        double nr, nf;
        metrics(next, nr, nf);
        const bool still = abs(nf - fitness) <= tolerance && abs(nr - rmse) <= tolerance * rmse;
        cur = next;
        rmse = nr;
        fitness = nf;
        if (still) {
            converged = true;
            break;
        }
    }
    r.rotation = q;
    r.translation = t;
    r.rmse = rmse;
    r.fitness = fitness;
    r.iterations = it;
    r.converged = converged;
    return r;
}

}  // namespace tarsk::cloud
