// The module tarsk_py and its submodule geometry: what each adds, in order.
#include "angle_class.h"
#include "binding/module_decl.h"
#include "geometry/circle_class.h"
#include "geometry/intersection_functions.h"
#include "geometry/plane_class.h"
#include "quat_class.h"
#include "vec3d_class.h"
#include "vec_list.h"

namespace tarsk::py {

using GeometryModule = ModuleDecl<"geometry",
                                  AddClass<tarsk::geometry::Circle>,
                                  AddFunction<geometry_functions::CircleCircle>,
                                  AddFunction<geometry_functions::CirclePoint>,
                                  AddFunction<geometry_functions::CirclePointUnchecked>,
                                  AddFunction<geometry_functions::PlaneLine>,
                                  AddClass<tarsk::geometry::Plane>>;

TARSK_STUB_DATA(FunctionStubs<"geometry", geometry_functions::function_docs, geometry_functions::PlaneLine,
                             geometry_functions::CirclePoint, geometry_functions::CirclePointUnchecked,
                             geometry_functions::CircleCircle>)

using TopModule = ModuleDecl<"tarsk_py",
                             AddClass<tarsk::AngleDegrees>,
                             AddClass<tarsk::AngleRadians>,
                             AddClass<tarsk::Quat>,
                             AddClass<tarsk::py::VecListData>,
                             AddClass<tarsk::Vec3d>,
                             AddModule<GeometryModule>>;

}  // namespace tarsk::py

namespace tarsk::py {
// Stores the C ABI's capsule in the interpreter's private dict (capi.cpp).
int install_capi();
}  // namespace tarsk::py

PyMODINIT_FUNC PyInit_tarsk_py() {
    PyObject* module = tarsk::py::TopModule::initialise();
    if (module && tarsk::py::install_capi() < 0) Py_CLEAR(module);
    return module;
}
