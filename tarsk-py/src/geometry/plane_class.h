#pragma once
// The Python class Plane, for every binding file that converts planes.
#include "binding/instance.h"
#include "tarsk/geometry/plane.h"

namespace tarsk::py {
TARSK_PY_CLASS(tarsk::geometry::Plane, "Plane");
}  // namespace tarsk::py
