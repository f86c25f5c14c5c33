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

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc circle_docs[] = {
    {"", "A circle in space: the points of the plane through `center` perpendicular to `normal` at distance `radius` from the center. The constructor stores |radius| and normalises the normal; the setters store values unchanged. Equality: centers equal within 2^-52 per component, radii exactly equal, normals parallel within 2^-52 in the same or opposite direction. Not hashable; no ordering; repr is the interpreter's default. Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "A circle with the center unchanged, radius |radius| (-2 becomes 2) and normal N(normal); a zero normal gives a NaN normal. Raises TypeError for a center or normal that is not a Vec3d or a radius not convertible to float."},
    {"none", "The placeholder for no circle: center (0, 0, 0), radius 0.0, normal (NaN, NaN, NaN). It is degenerate, has area 0.0, equals no circle (itself included) and shares no plane with any circle."},
    {"center", "The center (a copy); the setter stores any Vec3d unchanged."},
    {"radius", "The radius; the setter stores any value unchanged (a negative value too)."},
    {"normal", "The normal of the circle's plane (a copy); the setter stores any Vec3d unchanged, without normalising."},
    {"area", "(radius * radius) * pi (read-only; positive also for a negative stored radius)."},
    {"get_plane", "The plane of the circle, Plane.from_point(normal, center): unit normal N(normal), distance -(center . N(normal))."},
    {"in_same_plane", "True when the stored normals are parallel within 2^-52 (same or opposite direction) and |other.normal . other.center - self.normal . self.center| < 2^-52. Two circles in one plane with opposite normals count only when the plane passes within 2^-52 of the origin."},
    {"is_degenerate", "True exactly when radius == 0.0 (-0.0 included; NaN or negative radii are not degenerate)."},
    {"__eq__", "Centers equal within 2^-52 per component, radii exactly equal, and normals parallel within 2^-52 (opposite normals count as equal). Not transitive; a NaN field makes a circle unequal to itself. Other types give NotImplemented (then identity decides); != is the negation of ==."},
};

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

TARSK_STUB_DATA(CircleClass::Stubs<circle_docs>)

template <>
PyTypeObject* create_type<Circle>() {
    return CircleClass::create();
}

}  // namespace tarsk::py
