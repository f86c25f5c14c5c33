#include "tarsk/geometry/plane.h"

namespace tarsk::geometry {

Plane Plane::make(const Vec3d& normal, double distance) {
    return {normal.normalize(), -distance};
}

Plane Plane::from_point(const Vec3d& normal, const Vec3d& point) {
    Vec3d n = normal.normalize();
    return {n, -((point.x * n.x + point.y * n.y) + point.z * n.z)};
}

Plane Plane::from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
    Vec3d a = point2.subtract(point1);
    Vec3d b = point3.subtract(point1);
    Vec3d n = a.cross(b).normalize();
    return {n, -((point1.x * n.x + point1.y * n.y) + point1.z * n.z)};
}

}  // namespace tarsk::geometry
