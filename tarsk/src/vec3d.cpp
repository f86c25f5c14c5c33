#include "tarsk/vec3d.h"

#include "tarsk/float_text.h"

namespace tarsk {

void append_vec3d_text(std::string& out, const Vec3d& v) { append_tuple_text(out, "Vec3d", {v.x, v.y, v.z}); }

std::string vec3d_text(const Vec3d& v) {
    std::string out;
    out.reserve(32);
    append_vec3d_text(out, v);
    return out;
}

}  // namespace tarsk
