#pragma once
#include <array>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tarsk {

// The one tolerance of the library: the machine epsilon of a double, 2^-52.
// Absolute, never scaled, always used as a strict |x| < epsilon test, so a NaN
// never passes.
inline constexpr double epsilon = 0x1p-52;

// A broken contract of a core operation (an out-of-range component index).
// The binding layer reports it as an internal failure.
struct ContractViolation : std::logic_error {
    using std::logic_error::logic_error;
};

// |a - b| < epsilon: the per-component test of every tolerant equality.
constexpr bool within_epsilon(double a, double b) {
    double d = a - b;
    return (d < 0 ? -d : d) < epsilon;
}

// Three doubles with no invariant: every combination, NaN and the infinities
// included, is a valid vector. Every operation is written out per component in
// the grouping its formula fixes; nothing is reassociated or fused.
struct Vec3d {
    double x;
    double y;
    double z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }

    // to - from.
    static constexpr Vec3d new_from_to(const Vec3d& from, const Vec3d& to) {
        return {to.x - from.x, to.y - from.y, to.z - from.z};
    }

    constexpr Vec3d add(const Vec3d& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr Vec3d subtract(const Vec3d& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr Vec3d negate() const { return {-x, -y, -z}; }
    constexpr Vec3d scale(double s) const { return {x * s, y * s, z * s}; }
    // Three true divisions, never a multiplication by 1/s.
    constexpr Vec3d divide(double s) const { return {x / s, y / s, z / s}; }

    constexpr double dot(const Vec3d& o) const { return (x * o.x + y * o.y) + z * o.z; }

    constexpr Vec3d cross(const Vec3d& o) const {
        return {y * o.z - z * o.y, z * o.x - x * o.z, x * o.y - y * o.x};
    }

    double magnitude() const { return std::sqrt((x * x + y * y) + z * z); }

    // Divides by the magnitude without a check: the zero vector gives NaNs.
    Vec3d normalize() const {
        double m = magnitude();
        return {x / m, y / m, z / m};
    }

    // True exactly when magnitude() is 1.0 or 1.0 - 2^-53.
    bool is_unit() const { return within_epsilon(magnitude(), 1.0); }

    constexpr double distance_squared(const Vec3d& o) const {
        double dx = x - o.x, dy = y - o.y, dz = z - o.z;
        return (dx * dx + dy * dy) + dz * dz;
    }

    double distance_to(const Vec3d& o) const { return std::sqrt(distance_squared(o)); }

    // Distance from this point to the unbounded line through a and b.
    double distance_to_line(const Vec3d& a, const Vec3d& b) const {
        Vec3d d = b.subtract(a);
        Vec3d w = subtract(a);
        double t = ((d.x * w.x + d.y * w.y) + d.z * w.z) / ((d.x * d.x + d.y * d.y) + d.z * d.z);
        Vec3d f{a.x + d.x * t, a.y + d.y * t, a.z + d.z * t};
        Vec3d r = subtract(f);
        return std::sqrt((r.x * r.x + r.y * r.y) + r.z * r.z);
    }

    // Foot of the perpendicular from this point on the line through line_r and
    // line_q, built from line_q.
    constexpr Vec3d project_onto_line(const Vec3d& line_r, const Vec3d& line_q) const {
        Vec3d g = line_r.subtract(line_q);
        Vec3d v = line_q.subtract(*this);
        double t = ((g.x * v.x + g.y * v.y) + g.z * v.z) / ((g.x * g.x + g.y * g.y) + g.z * g.z);
        return {line_q.x - g.x * t, line_q.y - g.y * t, line_q.z - g.z * t};
    }

    // this - normal * (this . normal); normal is used as given.
    constexpr Vec3d project_onto_plane(const Vec3d& normal) const {
        double h = dot(normal);
        return {x - normal.x * h, y - normal.y * h, z - normal.z * h};
    }

    // this . (b x c), with the cross product's components as the left factors
    // of the x and z terms exactly as the formula writes them.
    constexpr double scalar_triple_product(const Vec3d& b, const Vec3d& c) const {
        Vec3d e = b.cross(c);
        return (e.x * x + y * e.y) + e.z * z;
    }

    // The components in order.
    constexpr std::array<double, 3> to_array() const { return {x, y, z}; }

    // Component 0, 1 or 2; any other index breaks the contract.
    double at(std::uint64_t index) const {
        switch (index) {
            case 0: return x;
            case 1: return y;
            case 2: return z;
            default: throw ContractViolation("Index out of bounds");
        }
    }

    // Tolerant, per component: not transitive, and a NaN or an infinity makes
    // a vector unequal to itself.
    constexpr bool equals(const Vec3d& o) const {
        return within_epsilon(x, o.x) && within_epsilon(y, o.y) && within_epsilon(z, o.z);
    }

    friend constexpr Vec3d operator+(const Vec3d& a, const Vec3d& b) { return a.add(b); }
    friend constexpr Vec3d operator-(const Vec3d& a, const Vec3d& b) { return a.subtract(b); }
    friend constexpr Vec3d operator-(const Vec3d& a) { return a.negate(); }
    friend constexpr Vec3d operator*(const Vec3d& a, double s) { return a.scale(s); }
    friend constexpr Vec3d operator*(double s, const Vec3d& a) { return a.scale(s); }
    friend constexpr Vec3d operator/(const Vec3d& a, double s) { return a.divide(s); }
    friend constexpr bool operator==(const Vec3d& a, const Vec3d& b) { return a.equals(b); }
    friend constexpr bool operator!=(const Vec3d& a, const Vec3d& b) { return !a.equals(b); }
};

// "Vec3d(x, y, z)" with each component in the float text form.
std::string vec3d_text(const Vec3d& v);
void append_vec3d_text(std::string& out, const Vec3d& v);

}  // namespace tarsk
