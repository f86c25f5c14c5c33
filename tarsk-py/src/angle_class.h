#pragma once
// The Python classes AngleRadians and AngleDegrees, for every binding file
// that converts angles.
#include "tarsk/angle.h"
#include "binding/instance.h"

namespace tarsk::py {
TARSK_PY_CLASS(tarsk::AngleRadians, "AngleRadians");
TARSK_PY_CLASS(tarsk::AngleDegrees, "AngleDegrees");
}  // namespace tarsk::py
