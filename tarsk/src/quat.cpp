#include "tarsk/quat.h"

#include "tarsk/float_text.h"

namespace tarsk {

Quat Quat::from_axis_angle(const Vec3d& axis, AngleRadians angle) {
    double h = angle.angle * (-0.5);
    double s = std::sin(h);
    double c = std::cos(h);
    return {c, s * axis.x, s * axis.y, s * axis.z};
}

AxisAngle Quat::to_axis_angle() const {
    if (within_epsilon(w, 1.0)) {
        return {Vec3d{1.0, 0.0, 0.0}, AngleRadians{0.0}};
    }
    double a = std::acos(w);
    double angle = a + a;
    double s = std::sin(angle * 0.5);
    return {Vec3d{i / s, j / s, k / s}, AngleRadians{angle}};
}

void append_quat_text(std::string& out, const Quat& q) { append_tuple_text(out, "Quat", {q.w, q.i, q.j, q.k}); }

std::string quat_text(const Quat& q) {
    std::string out;
    out.reserve(48);
    append_quat_text(out, q);
    return out;
}

}  // namespace tarsk
