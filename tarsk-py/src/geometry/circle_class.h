#pragma once
// The Python class Circle, for every binding file that converts circles.
#include "binding/instance.h"
#include "tarsk/geometry/circle.h"

namespace tarsk::py {
TARSK_PY_CLASS(tarsk::geometry::Circle, "Circle");
}  // namespace tarsk::py
