// The Python class Plane of the geometry submodule: construction, the two
// stored fields (assigned raw) and the point queries. Equality and hash are
// the interpreter's identity defaults.
#include "binding/slots.h"
#include "geometry/plane_class.h"
#include "vec3d_class.h"

namespace tarsk::py {

using tarsk::geometry::Plane;

using PlaneClass = ClassDecl<
    Plane,
    Constructor<&Plane::make, "normal", "distance">,
    Static<"xy", &Plane::xy>,
    Static<"xz", &Plane::xz>,
    Static<"yz", &Plane::yz>,
    Static<"from_point", &Plane::from_point, "normal", "point">,
    Static<"from_points", &Plane::from_points, "point1", "point2", "point3">,
    Field<"normal", &Plane::normal>,
    Field<"distance", &Plane::distance>,
    Method<"distance_to_point", &Plane::distance_to_point, "point">,
    Method<"contains_point", &Plane::contains_point, "point">>;

template <>
PyTypeObject* create_type<Plane>() {
    return PlaneClass::create();
}

}  // namespace tarsk::py
