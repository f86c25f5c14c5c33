// The Python class Circle of the geometry submodule: construction, the stored
// fields (assigned raw), the read-only area and the plane queries. It defines
// == only; != is answered through the interpreter's full == protocol, and
// with a comparison but no hash the class is unhashable.
#include "binding/slots.h"
#include "geometry/circle_class.h"
#include "geometry/plane_class.h"
#include "vec3d_class.h"

namespace tarsk::py {

using tarsk::geometry::Circle;

using CircleClass = ClassDecl<
    Circle,
    Constructor<&Circle::make, "center", "radius", "normal">,
    Static<"none", &Circle::none>,
    Field<"center", &Circle::center>,
    Field<"radius", &Circle::radius>,
    Field<"normal", &Circle::normal>,
    Getter<"area", &Circle::area>,
    Method<"get_plane", &Circle::get_plane>,
    Method<"in_same_plane", &Circle::in_same_plane, "other">,
    Method<"is_degenerate", &Circle::is_degenerate>,
    Compare<CompareOp::eq>>;

template <>
PyTypeObject* create_type<Circle>() {
    return CircleClass::create();
}

}  // namespace tarsk::py
