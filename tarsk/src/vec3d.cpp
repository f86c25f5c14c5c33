#include "vec3d.h"

#include "float_text.h"

namespace tarsk {

void append_vec3d_text(std::string& out, const Vec3d& v) {
    out.append("Vec3d(");
    append_float_text(out, v.x);
    out.append(", ");
    append_float_text(out, v.y);
    out.append(", ");
    append_float_text(out, v.z);
    out.push_back(')');
}

std::string vec3d_text(const Vec3d& v) {
    std::string out;
    out.reserve(32);
    append_vec3d_text(out, v);
    return out;
}

}  // namespace tarsk
