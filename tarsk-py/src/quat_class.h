#pragma once
// The Python class Quat, for every binding file that converts quaternions.
#include "binding/instance.h"
#include "tarsk/quat.h"

namespace tarsk::py {
TARSK_PY_CLASS(tarsk::Quat, "Quat");
}  // namespace tarsk::py
