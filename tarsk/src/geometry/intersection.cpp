#include "tarsk/geometry/intersection.h"

#include <cmath>

namespace tarsk::geometry {

bool circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    Vec3d n = circle.normal.normalize();
    const Vec3d& c = circle.center;
    double s = (n.x * point.x + n.y * point.y) + n.z * point.z;
    double k = (c.x * n.x + c.y * n.y) + c.z * n.z;
    if (!within_epsilon(s, k)) {
        return false;
    }
    return circle_point_unchecked(circle, point, inner);
}

bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    const Vec3d& c = circle.center;
    double dx = point.x - c.x;
    double dy = point.y - c.y;
    double dz = point.z - c.z;
    double r = std::sqrt((dx * dx + dy * dy) + dz * dz);
    if (inner && r < circle.radius) {
        return true;
    }
    return within_epsilon(r, circle.radius);
}

std::optional<std::pair<Vec3d, Vec3d>> circle_circle(const Circle& circle1, const Circle& circle2) {
    if (circle1.equals(circle2)) {
        return std::nullopt;
    }
    if (!circle1.in_same_plane(circle2)) {
        return std::nullopt;
    }
    const Vec3d& c1 = circle1.center;
    const Vec3d& c2 = circle2.center;
    const Vec3d& n2 = circle2.normal;
    double r1 = circle1.radius;
    double r2 = circle2.radius;

    double dx = c1.x - c2.x;
    double dy = c1.y - c2.y;
    double dz = c1.z - c2.z;
    double dist = std::sqrt((dx * dx + dy * dy) + dz * dz);
    if (dist > r1 + r2) {
        return std::nullopt;  // apart
    }
    if (dist < std::fabs(r1 - r2)) {
        return std::nullopt;  // one inside the other
    }

    // The common chord crosses the line of centers at the fraction u from c1;
    // h is its half-length (NaN when rounding makes the radicand negative).
    Vec3d d = c2.subtract(c1);
    double q = dist * dist;
    double u = (r1 * r1 - r2 * r2) / (q + q) + 0.5;
    double h = std::sqrt(r1 * r1 - q * (u * u));
    Vec3d p{c1.x + d.x * u, c1.y + d.y * u, c1.z + d.z * u};
    Vec3d e = d.cross(n2).normalize();
    Vec3d first{p.x + e.x * h, p.y + e.y * h, p.z + e.z * h};
    Vec3d second{p.x - e.x * h, p.y - e.y * h, p.z - e.z * h};
    return std::pair<Vec3d, Vec3d>{first, second};
}

}  // namespace tarsk::geometry
