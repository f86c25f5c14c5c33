#include "tarsk/geometry/circle.h"

namespace tarsk::geometry {

Circle Circle::make(const Vec3d& center, double radius, const Vec3d& normal) {
    return {center, std::fabs(radius), normal.normalize()};
}

}  // namespace tarsk::geometry
