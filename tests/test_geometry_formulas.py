"""Every plane, circle and intersection formula of the geometry submodule,
bit for bit against the plain-Python model over random inputs that include
+-0.0, NaN and +-inf. NaNs are compared as "both NaN" (their sign and
payload are not modelled)."""
import math
import struct

from hypothesis import assume, event, given, settings
from hypothesis import strategies as st

import model_geometry as m
from tarsk_py import Vec3d, geometry

Plane = geometry.Plane
Circle = geometry.Circle

EPS = 2.0**-52

special = st.sampled_from(
    [0.0, -0.0, math.nan, -math.nan, math.inf, -math.inf, 1.0, -1.0, 0.5, 2.0, 3.0, EPS, -EPS,
     5e-324, 1.7976931348623157e308]
)
doubles = st.one_of(
    special,
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(-8.0, 8.0),
    st.integers(-4, 4).map(float),
)
triples = st.tuples(doubles, doubles, doubles)
booleans = st.booleans()


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


def tup(v):
    assert type(v) is Vec3d
    return (v.x, v.y, v.z)


def same_vec(v, t):
    return all(same(a, b) for a, b in zip(tup(v), t))


def same_plane(plane, model_plane):
    assert type(plane) is Plane
    normal, distance = model_plane
    return same_vec(plane.normal, normal) and same(plane.distance, distance)


def V(t):
    return Vec3d(*t)


def raw_plane(normal, distance):
    """A plane holding exactly these fields (the setters store them raw)."""
    plane = Plane.xy()
    plane.normal = V(normal)
    plane.distance = distance
    return plane


def raw_circle(center, radius, normal):
    """A circle holding exactly these fields (the setters store them raw)."""
    circle = Circle.none()
    circle.center = V(center)
    circle.radius = radius
    circle.normal = V(normal)
    return circle


def circle_fields(circle):
    return (tup(circle.center), circle.radius, tup(circle.normal))


def same_result(got, want):
    """circle_circle: both None, or two tuples of points matching bit for bit."""
    if want is None:
        return got is None
    return (type(got) is tuple and len(got) == 2
            and same_vec(got[0], want[0]) and same_vec(got[1], want[1]))


# ---------------------------------------------------------------------------
# Coplanar circles: an axis-aligned plane, so that the coplanarity test passes
# exactly and the crossing formulas are reached.

def embed(axis, u, v, h):
    """The point with in-plane coordinates (u, v) and coordinate h on `axis`."""
    p = [u, v]
    p.insert(axis, h)
    return tuple(p)


def axis_normal(axis, sign):
    n = [0.0, 0.0]
    n.insert(axis, sign)
    return tuple(n)


small = st.floats(-4.0, 4.0)
radii = st.one_of(st.floats(0.0, 4.0), st.sampled_from([0.0, 1.0, 2.0, 0.5]))


@st.composite
def coplanar_pairs(draw):
    axis = draw(st.integers(0, 2))
    h = draw(st.one_of(st.sampled_from([0.0, -0.0, 1.0, -5.0]), small))
    c1 = embed(axis, draw(small), draw(small), h)
    c2 = embed(axis, draw(small), draw(small), h)
    n1 = axis_normal(axis, draw(st.sampled_from([1.0, -1.0])))
    n2 = axis_normal(axis, draw(st.sampled_from([1.0, -1.0])))
    return (c1, draw(radii), n1), (c2, draw(radii), n2)


# ---------------------------------------------------------------------------
# Plane


@settings(max_examples=400)
@given(triples, doubles, triples)
def test_plane_constructors(normal, distance, point):
    assert same_plane(Plane(V(normal), distance), m.plane_new(normal, distance))
    assert same_plane(Plane.from_point(V(normal), V(point)), m.plane_from_point(normal, point))


@settings(max_examples=400)
@given(triples, triples, triples)
def test_plane_from_points(p1, p2, p3):
    assert same_plane(Plane.from_points(V(p1), V(p2), V(p3)), m.plane_from_points(p1, p2, p3))


@settings(max_examples=400)
@given(triples, doubles, triples)
def test_plane_point_queries(normal, distance, point):
    plane = raw_plane(normal, distance)
    assert same_vec(plane.normal, normal) and same(plane.distance, distance)
    model = (normal, distance)
    assert same(plane.distance_to_point(V(point)), m.plane_distance_to_point(model, point))
    assert plane.contains_point(V(point)) is m.plane_contains_point(model, point)


@settings(max_examples=600)
@given(triples, doubles, triples, triples)
def test_plane_line(normal, distance, a, b):
    got = geometry.plane_line(raw_plane(normal, distance), V(a), V(b))
    assert same_vec(got, m.plane_line((normal, distance), a, b))


@settings(max_examples=300)
@given(st.tuples(small, small, small), st.tuples(small, small, small), doubles)
def test_plane_line_result_lies_on_axis_planes(a, b, h):
    # Planes x = h, y = h, z = h hold the point plane_line returns whenever
    # the line crosses them at a finite point.
    for normal in ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0)):
        plane = Plane(V(normal), h)
        got = geometry.plane_line(plane, V(a), V(b))
        want = m.plane_line(m.plane_new(normal, h), a, b)
        assert same_vec(got, want)
        k = normal.index(1.0)
        if all(math.isfinite(c) for c in want) and a[k] != b[k]:
            assert math.isclose(tup(got)[k], h, rel_tol=1e-9, abs_tol=1e-9)


# ---------------------------------------------------------------------------
# Circle


@settings(max_examples=400)
@given(triples, doubles, triples)
def test_circle_constructor(center, radius, normal):
    circle = Circle(V(center), radius, V(normal))
    want = m.circle_new(center, radius, normal)
    got = circle_fields(circle)
    assert same_vec(circle.center, want[0])
    assert same(got[1], want[1])
    assert same_vec(circle.normal, want[2])


@settings(max_examples=400)
@given(triples, doubles, triples)
def test_circle_single_queries(center, radius, normal):
    circle = raw_circle(center, radius, normal)
    model = (center, radius, normal)
    assert same(circle.area, m.circle_area(model))
    assert circle.is_degenerate() is m.circle_is_degenerate(model)
    assert same_plane(circle.get_plane(), m.circle_get_plane(model))


@settings(max_examples=600)
@given(triples, doubles, triples, triples, doubles, triples)
def test_circle_pair_relations(c1, r1, n1, c2, r2, n2):
    a, b = raw_circle(c1, r1, n1), raw_circle(c2, r2, n2)
    ma, mb = (c1, r1, n1), (c2, r2, n2)
    equal = m.circle_equals(ma, mb)
    assert (a == b) is equal
    assert (a != b) is (not equal)
    assert a.in_same_plane(b) is m.circle_in_same_plane(ma, mb)
    assert same_result(geometry.circle_circle(a, b), m.circle_circle(ma, mb))


@settings(max_examples=600)
@given(coplanar_pairs())
def test_coplanar_circle_pairs(pair):
    ma, mb = pair
    a, b = raw_circle(*ma), raw_circle(*mb)
    assert a.in_same_plane(b) is True
    assert (a == b) is m.circle_equals(ma, mb)
    want = m.circle_circle(ma, mb)
    event("crossing" if want is not None else "no crossing")
    got = geometry.circle_circle(a, b)
    assert same_result(got, want)
    if want is not None:
        # Each crossing point is tested against both circles as the model does.
        for point in want:
            for circle, model in ((a, ma), (b, mb)):
                for inner in (False, True):
                    assert (geometry.circle_point(circle, V(point), inner)
                            is m.circle_point(model, point, inner))


@st.composite
def crossing_pairs(draw):
    """Two circles in one axis plane whose centers are closer than the sum
    and farther apart than the difference of their radii."""
    axis = draw(st.integers(0, 2))
    h = draw(small)
    r1, r2 = draw(st.floats(0.25, 4.0)), draw(st.floats(0.25, 4.0))
    lo, hi = abs(r1 - r2), r1 + r2
    dist = lo + (hi - lo) * draw(st.floats(0.05, 0.95))
    angle = draw(st.floats(-math.pi, math.pi))
    u, v = draw(small), draw(small)
    c1 = embed(axis, u, v, h)
    c2 = embed(axis, u + dist * math.cos(angle), v + dist * math.sin(angle), h)
    n1 = axis_normal(axis, draw(st.sampled_from([1.0, -1.0])))
    n2 = axis_normal(axis, draw(st.sampled_from([1.0, -1.0])))
    return (c1, r1, n1), (c2, r2, n2)


@settings(max_examples=300)
@given(crossing_pairs())
def test_crossing_circles_give_points_on_both(pair):
    ma, mb = pair
    want = m.circle_circle(ma, mb)
    assume(want is not None and not any(math.isnan(c) for p in want for c in p))
    got = geometry.circle_circle(raw_circle(*ma), raw_circle(*mb))
    assert same_result(got, want)
    for point in got:
        for center, radius, _ in (ma, mb):
            assert math.isclose(point.distance_to(V(center)), radius, rel_tol=1e-9, abs_tol=1e-9)


@settings(max_examples=600)
@given(triples, doubles, triples, triples, booleans)
def test_circle_point(center, radius, normal, point, inner):
    circle = raw_circle(center, radius, normal)
    model = (center, radius, normal)
    assert geometry.circle_point(circle, V(point), inner) is m.circle_point(model, point, inner)
    assert (geometry.circle_point_unchecked(circle, V(point), inner)
            is m.circle_point_unchecked(model, point, inner))


@settings(max_examples=600)
@given(st.integers(0, 2), st.sampled_from([1.0, -1.0]), doubles, small, small, small, small,
       radii, booleans)
def test_circle_point_in_the_plane(axis, sign, h, cu, cv, pu, pv, radius, inner):
    # Points in the circle's own plane pass the plane test, so the rim and
    # disc tests decide.
    model = (embed(axis, cu, cv, h), radius, axis_normal(axis, sign))
    point = embed(axis, pu, pv, h)
    circle = raw_circle(*model)
    want = m.circle_point(model, point, inner)
    event(f"inside={want}")
    assert geometry.circle_point(circle, V(point), inner) is want
    assert (geometry.circle_point_unchecked(circle, V(point), inner)
            is m.circle_point_unchecked(model, point, inner))
