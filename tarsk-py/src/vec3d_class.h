#pragma once
// The Python class Vec3d, for every binding file that converts vectors.
#include "binding/instance.h"
#include "tarsk/vec3d.h"

namespace tarsk::py {
TARSK_PY_CLASS(tarsk::Vec3d, "Vec3d");
}  // namespace tarsk::py
