#include "tarsk/angle.h"

#include <cmath>

#include "tarsk/float_text.h"

namespace tarsk {

namespace {

constexpr const char* radians_suffix = " radians";
// U+00B0 DEGREE SIGN in UTF-8.
constexpr const char* degree_sign = "\xC2\xB0";

}  // namespace

double AngleRadians::sin() const { return std::sin(angle); }
double AngleRadians::cos() const { return std::cos(angle); }
double AngleRadians::tan() const { return std::tan(angle); }
double AngleRadians::sec() const { return 1.0 / std::cos(angle); }
double AngleRadians::csc() const { return 1.0 / std::sin(angle); }
double AngleRadians::cot() const { return 1.0 / std::tan(angle); }

std::string AngleRadians::text() const {
    std::string out;
    out.reserve(32);
    append_float_text(out, angle);
    out.append(radians_suffix);
    return out;
}

std::string AngleRadians::text(int precision) const {
    return float_text_fixed(angle, precision).append(radians_suffix);
}

std::string AngleDegrees::text() const {
    std::string out;
    out.reserve(32);
    append_float_text(out, angle);
    out.append(degree_sign);
    return out;
}

std::string AngleDegrees::text(int precision) const {
    return float_text_fixed(angle, precision).append(degree_sign);
}

AngleRadians angle_to(const Vec3d& a, const Vec3d& b) {
    double d = (a.x * b.x + a.y * b.y) + a.z * b.z;
    double na = std::sqrt((a.x * a.x + a.y * a.y) + a.z * a.z);
    double nb = std::sqrt((b.x * b.x + b.y * b.y) + b.z * b.z);
    double c = d / (na * nb);
    return {std::acos(c)};
}

}  // namespace tarsk
