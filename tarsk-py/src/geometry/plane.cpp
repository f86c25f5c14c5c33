// The Python class Plane of the geometry submodule: construction, the two
// stored fields (assigned raw) and the point queries. Equality and hash are
// the interpreter's identity defaults.
#include "binding/slots.h"
#include "geometry/plane_class.h"
#include "vec3d_class.h"

namespace tarsk::py {

using tarsk::geometry::Plane;

// What each member computes, for the stubs and the API reference (the
// runtime __doc__ of each member is its text signature only).
constexpr introspection::Doc plane_docs[] = {
    {"", "An oriented plane in normal form: the points p with normal . p + distance = 0. With a unit normal, -distance is the signed distance of the plane from the origin along the normal (the plane z = 3 has normal (0, 0, 1) and distance -3). Constructors normalise the normal; the setters store values unchanged. No geometric input raises: a zero normal or collinear points give NaN fields. No equality, repr or hash of its own (identity semantics). Arguments are converted as annotated: a class-typed parameter takes only an instance of that class and a float parameter anything float() accepts through __float__ or __index__; otherwise TypeError with a message starting \"argument '<name>': \"."},
    {"__new__", "The plane N(normal) . p = distance: the normal is normalised and the stored distance is the negated argument (0.0 is stored as -0.0); the argument is not divided by the normal's length. A zero normal gives a NaN normal. Raises TypeError for a normal that is not a Vec3d or a distance not convertible to float."},
    {"xy", "The plane z = 0: normal (0, 0, 1), distance -0.0."},
    {"xz", "The plane y = 0: normal (0, 1, 0), distance -0.0."},
    {"yz", "The plane x = 0: normal (1, 0, 0), distance -0.0."},
    {"from_point", "The plane through `point` perpendicular to `normal`: unit normal n = N(normal), distance -(point . n). A zero normal gives NaN fields."},
    {"from_points", "The plane through three points, its unit normal (point2 - point1) x (point3 - point1) normalised, i.e. towards the side from which the points run counter-clockwise; distance -(point1 . normal). Collinear or coincident points give an all-NaN plane, without an error."},
    {"normal", "The normal vector (a copy); the setter stores any Vec3d unchanged, without normalising, and later operations use it as stored."},
    {"distance", "The constant term of normal . p + distance = 0; the setter stores the value unchanged."},
    {"distance_to_point", "|distance + normal . point|: the unsigned distance of the point from the plane (the side is lost). With a non-unit stored normal, that distance times the normal's length. NaN for a NaN plane."},
    {"contains_point", "True when |distance + normal . point| < 2^-52 (absolute, strict, not scaled by the coordinates): a point at distance 2^-52 or more from a unit-normal plane is not contained. False for a NaN plane."},
};

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

TARSK_STUB_DATA(PlaneClass::Stubs<plane_docs>)

template <>
PyTypeObject* create_type<Plane>() {
    return PlaneClass::create();
}

}  // namespace tarsk::py
