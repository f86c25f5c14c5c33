"""The geometry submodule: its namespace, the Plane and Circle classes, the
four intersection functions on worked examples, and every argument error."""
import importlib
import math
import struct
import sys

import numpy as np
import pytest

import tarsk_py
from tarsk_py import Vec3d, geometry

Circle = geometry.Circle
Plane = geometry.Plane
circle_circle = geometry.circle_circle
circle_point = geometry.circle_point
circle_point_unchecked = geometry.circle_point_unchecked
plane_line = geometry.plane_line

NAN = math.nan
INF = math.inf


def tup(v):
    assert type(v) is Vec3d
    return (v.x, v.y, v.z)


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Bit for bit, except that any two NaNs match."""
    return (math.isnan(a) and math.isnan(b)) or bits(a) == bits(b)


def same_tuple(got, want):
    return len(got) == len(want) and all(same(a, b) for a, b in zip(got, want))


def unit_circle(center=(0.0, 0.0, 0.0), normal=(0.0, 0.0, 1.0), radius=1.0):
    return Circle(Vec3d(*center), radius, Vec3d(*normal))


# ---------------------------------------------------------------------------
# The submodule


def test_geometry_namespace_in_order():
    assert geometry.__all__ == [
        "Circle",
        "circle_circle",
        "circle_point",
        "circle_point_unchecked",
        "plane_line",
        "Plane",
    ]
    assert geometry.__name__ == "geometry"
    assert tarsk_py.geometry is geometry
    for name in geometry.__all__:
        assert getattr(geometry, name) is not None


def test_geometry_is_an_attribute_not_an_importable_module():
    from tarsk_py import geometry as again

    assert again is geometry
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("tarsk_py.geometry")
    assert "tarsk_py.geometry" not in sys.modules


@pytest.mark.parametrize(
    "obj, signature",
    [
        (Plane, "(normal, distance)"),
        (Plane.xy, "()"),
        (Plane.xz, "()"),
        (Plane.yz, "()"),
        (Plane.from_point, "(normal, point)"),
        (Plane.from_points, "(point1, point2, point3)"),
        (Plane.distance_to_point, "($self, point)"),
        (Plane.contains_point, "($self, point)"),
        (Circle, "(center, radius, normal)"),
        (Circle.none, "()"),
        (Circle.get_plane, "($self)"),
        (Circle.in_same_plane, "($self, other)"),
        (Circle.is_degenerate, "($self)"),
        (plane_line, "(plane, a, b)"),
        (circle_point, "(circle, point, inner)"),
        (circle_point_unchecked, "(circle, point, inner)"),
        (circle_circle, "(circle1, circle2)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


def test_docs_are_only_the_signature():
    assert Plane.__doc__ is None or Plane.__doc__ == ""
    assert plane_line.__doc__ is None or plane_line.__doc__ == ""
    assert Circle.__dict__["radius"].__doc__ in (None, "")
    assert Plane.__dict__["distance"].__doc__ in (None, "")


@pytest.mark.parametrize("cls", [Plane, Circle])
def test_class_type_properties(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    instance = Plane.xy() if cls is Plane else Circle.none()
    with pytest.raises(AttributeError):
        instance.undefined = 1
    assert repr(instance).startswith(f"<builtins.{cls.__name__} object at 0x")
    assert str(instance) == repr(instance)


# ---------------------------------------------------------------------------
# Plane


def test_plane_constructor_normalises_and_flips_distance():
    plane = Plane(Vec3d(0.0, 0.0, 2.0), 3.0)
    assert tup(plane.normal) == (0.0, 0.0, 1.0)
    assert same(plane.distance, -3.0)
    assert plane.contains_point(Vec3d(0.0, 0.0, 3.0)) is True
    assert plane.contains_point(Vec3d(0.0, 0.0, -3.0)) is False
    keywords = Plane(distance=3, normal=Vec3d(0.0, 0.0, 2.0))
    assert tup(keywords.normal) == (0.0, 0.0, 1.0) and same(keywords.distance, -3.0)


def test_plane_degenerate_inputs_give_nan_without_raising():
    zero = Plane(Vec3d(0.0, 0.0, 0.0), 1.0)
    assert all(math.isnan(c) for c in tup(zero.normal))
    assert same(zero.distance, -1.0)
    collinear = Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(2, 0, 0))
    assert all(math.isnan(c) for c in tup(collinear.normal))
    assert math.isnan(collinear.distance)
    assert math.isnan(collinear.distance_to_point(Vec3d(1, 1, 1)))
    assert collinear.contains_point(Vec3d(0, 0, 0)) is False


@pytest.mark.parametrize(
    "make, normal",
    [(Plane.xy, (0.0, 0.0, 1.0)), (Plane.xz, (0.0, 1.0, 0.0)), (Plane.yz, (1.0, 0.0, 0.0))],
)
def test_coordinate_planes(make, normal):
    plane = make()
    assert tup(plane.normal) == normal
    assert bits(plane.distance) == bits(-0.0)
    # Each contains the two axes its name denotes and not the third.
    axes = [Vec3d(5.0, 0.0, 0.0), Vec3d(0.0, 5.0, 0.0), Vec3d(0.0, 0.0, 5.0)]
    off_axis = normal.index(1.0)
    for i, axis in enumerate(axes):
        assert plane.contains_point(axis) is (i != off_axis)
    assert make() is not make()
    assert tup(Plane.xy().xz().normal) == (0.0, 1.0, 0.0)  # callable on an instance
    with pytest.raises(TypeError, match="takes no arguments"):
        make(1)


def test_plane_from_point_and_from_points():
    plane = Plane.from_point(Vec3d(0.0, 0.0, 4.0), Vec3d(7.0, -3.0, 2.0))
    assert tup(plane.normal) == (0.0, 0.0, 1.0)
    assert plane.distance == -2.0
    through = Plane.from_points(
        point1=Vec3d(0.0, 0.0, 1.0), point2=Vec3d(1.0, 0.0, 1.0), point3=Vec3d(0.0, 1.0, 1.0)
    )
    assert tup(through.normal) == (0.0, 0.0, 1.0)
    assert through.distance == -1.0
    assert through.distance_to_point(Vec3d(3.0, 4.0, -2.0)) == 3.0


def test_plane_contains_point_tolerance_is_strict_and_absolute():
    plane = Plane.xy()
    eps = 2.0**-52
    assert plane.contains_point(Vec3d(0.0, 0.0, eps)) is False
    assert plane.contains_point(Vec3d(0.0, 0.0, eps / 2)) is True
    assert plane.contains_point(Vec3d(0.0, 0.0, NAN)) is False


def test_plane_setters_store_raw_values():
    plane = Plane.xy()
    plane.normal = Vec3d(0.0, 0.0, 2.0)
    assert tup(plane.normal) == (0.0, 0.0, 2.0)
    assert plane.distance_to_point(Vec3d(0.0, 0.0, 1.0)) == 2.0
    plane = Plane.xy()
    plane.distance = 1.0
    assert plane.distance == 1.0
    assert plane.contains_point(Vec3d(0.0, 0.0, -1.0)) is True
    assert plane.contains_point(Vec3d(0.0, 0.0, 1.0)) is False
    plane.distance = 7  # any float-convertible value
    assert plane.distance == 7.0 and type(plane.distance) is float


def test_plane_values_are_copied_in_and_out():
    normal = Vec3d(0.0, 0.0, 1.0)
    plane = Plane(normal, 1.0)
    normal.z = 5.0
    got = plane.normal
    got.x = 9.0
    assert tup(plane.normal) == (0.0, 0.0, 1.0)
    assert plane.normal is not plane.normal
    plane.normal = normal
    normal.y = 3.0
    assert tup(plane.normal) == (0.0, 0.0, 5.0)


def test_plane_has_identity_equality_and_hash():
    a, b = Plane.xy(), Plane.xy()
    assert a == a and not (a != a)
    assert a != b and not (a == b)
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    with pytest.raises(TypeError):
        a < b


# ---------------------------------------------------------------------------
# Circle


def test_circle_constructor_takes_absolute_radius_and_unit_normal():
    circle = Circle(Vec3d(1.0, 2.0, 3.0), -2.5, Vec3d(0.0, 0.0, 3.0))
    assert tup(circle.center) == (1.0, 2.0, 3.0)
    assert circle.radius == 2.5
    assert tup(circle.normal) == (0.0, 0.0, 1.0)
    assert Circle(Vec3d(0, 0, 0), -3, Vec3d(0, 0, 1)).area == 28.274333882308138
    keywords = Circle(normal=Vec3d(0, 0, 3), radius=2, center=Vec3d(1, 2, 3))
    assert keywords == Circle(Vec3d(1, 2, 3), 2, Vec3d(0, 0, 1))


def test_circle_setters_store_raw_values():
    circle = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 3))
    circle.radius = -2.5
    assert circle.radius == -2.5
    assert circle.is_degenerate() is False
    assert circle.area == (-2.5 * -2.5) * math.pi
    circle.normal = Vec3d(0.0, 0.0, 3.0)
    assert tup(circle.normal) == (0.0, 0.0, 3.0)
    circle.center = Vec3d(1.0, -1.0, 0.5)
    assert tup(circle.center) == (1.0, -1.0, 0.5)
    circle.radius = -1
    assert circle.area == math.pi


def test_none_circle():
    none = Circle.none()
    assert none.radius == 0.0
    assert none.is_degenerate() is True
    assert none.area == 0.0
    assert tup(none.center) == (0.0, 0.0, 0.0)
    assert all(math.isnan(c) for c in tup(none.normal))
    assert (none == none) is False
    assert (none != none) is True
    assert (none == Circle.none()) is False


def test_circle_equality():
    base = unit_circle()
    assert base == unit_circle(normal=(0.0, 0.0, -1.0))
    assert (base != unit_circle(normal=(0.0, 0.0, -1.0))) is False
    assert base != unit_circle(radius=math.nextafter(1.0, 2.0))
    assert base == unit_circle(center=(1e-17, 0.0, 0.0))
    assert base != unit_circle(center=(0.0, 0.0, 1e-15))
    assert base != unit_circle(normal=(0.0, 1.0, 0.0))


def test_circle_comparison_protocol():
    circle = unit_circle()
    assert (circle == 5) is False
    assert (circle != 5) is True
    assert (circle == "circle") is False
    assert (circle != "circle") is True
    assert (circle == Plane.xy()) is False
    for op in ("<", "<=", ">", ">="):
        with pytest.raises(TypeError):
            eval(f"circle {op} circle")
    with pytest.raises(TypeError):
        circle < 5


def test_circle_not_equal_asks_the_full_equality_protocol():
    class EqualToAll:
        def __eq__(self, other):
            return True

    class Broken(Exception):
        pass

    class RaisingEq:
        def __eq__(self, other):
            raise Broken("eq")

    class Untruthy:
        def __bool__(self):
            raise Broken("bool")

    class UntruthyEq:
        def __eq__(self, other):
            return Untruthy()

    circle = unit_circle()
    # The reflected __eq__ answers, so != is its negation.
    assert (circle != EqualToAll()) is False
    with pytest.raises(Broken, match="eq"):
        circle != RaisingEq()
    with pytest.raises(Broken, match="bool"):
        circle != UntruthyEq()


def test_circle_is_unhashable():
    circle = unit_circle()
    assert Circle.__hash__ is None
    with pytest.raises(TypeError):
        hash(circle)
    with pytest.raises(TypeError):
        {circle}


def test_circle_area_is_read_only():
    circle = unit_circle()
    with pytest.raises(AttributeError):
        circle.area = 3.0
    with pytest.raises(AttributeError):
        del circle.area
    assert circle.area == math.pi


def test_circle_get_plane():
    plane = Circle(Vec3d(0.0, 0.0, 2.0), 1.0, Vec3d(0.0, 0.0, 1.0)).get_plane()
    assert type(plane) is Plane
    assert tup(plane.normal) == (0.0, 0.0, 1.0)
    assert plane.distance == -2.0
    raw = unit_circle(center=(0.0, 0.0, 2.0))
    raw.normal = Vec3d(0.0, 0.0, 5.0)
    assert tup(raw.get_plane().normal) == (0.0, 0.0, 1.0)  # normalised here
    assert tup(raw.normal) == (0.0, 0.0, 5.0)  # but not stored back


def test_in_same_plane_follows_the_matched_normal_direction():
    up, down = (0.0, 0.0, 1.0), (0.0, 0.0, -1.0)
    # One plane z = 1 (or z = 5), normals agreeing or opposite: coplanar.
    for z in (1.0, 5.0, 0.0):
        a = unit_circle(center=(0.0, 0.0, z), normal=up)
        assert a.in_same_plane(unit_circle(center=(3.0, 1.0, z), normal=up)) is True
        assert a.in_same_plane(unit_circle(center=(3.0, 1.0, z), normal=down)) is True
        assert unit_circle(center=(1.0, 0.0, z), normal=down).in_same_plane(a) is True
    # z = 5 against z = -5: parallel planes, never coplanar.
    high = unit_circle(center=(0.0, 0.0, 5.0), normal=up)
    assert high.in_same_plane(unit_circle(center=(0.0, 0.0, -5.0), normal=down)) is False
    assert high.in_same_plane(unit_circle(center=(0.0, 0.0, -5.0), normal=up)) is False
    assert high.in_same_plane(unit_circle(center=(0.0, 0.0, 5.0), normal=(0.0, 1.0, 0.0))) is False
    assert Circle.none().in_same_plane(Circle.none()) is False


def test_circle_values_are_copied_in_and_out():
    center = Vec3d(1.0, 2.0, 3.0)
    circle = Circle(center, 1.0, Vec3d(0, 0, 1))
    center.x = 100.0
    got = circle.center
    got.y = 100.0
    assert tup(circle.center) == (1.0, 2.0, 3.0)
    assert circle.center is not circle.center


# ---------------------------------------------------------------------------
# Intersection functions


def test_plane_line_examples():
    xy = Plane.xy()
    assert tup(plane_line(xy, Vec3d(0, 0, 1), Vec3d(0, 0, -1))) == (0.0, 0.0, 0.0)
    # The point is found outside the segment too.
    assert tup(plane_line(xy, Vec3d(1, 2, 3), Vec3d(1, 2, 5))) == (1.0, 2.0, 0.0)
    parallel = tup(plane_line(xy, Vec3d(0, 0, 1), Vec3d(1, 0, 1)))
    assert any(math.isinf(c) or math.isnan(c) for c in parallel)
    same_point = tup(plane_line(xy, Vec3d(1, 1, 1), Vec3d(1, 1, 1)))
    assert all(math.isnan(c) for c in same_point)


def test_plane_line_meets_the_plane_it_is_given():
    # The plane n . p + d = 0 with n = (0, 0, 1) built with distance 2 is
    # z = 2 (stored distance -2); the line along z meets it at (0, 0, 2).
    plane = Plane(Vec3d(0.0, 0.0, 1.0), 2.0)
    assert plane.distance == -2.0
    point = plane_line(plane, Vec3d(0.0, 0.0, 0.0), Vec3d(0.0, 0.0, 1.0))
    assert tup(point) == (0.0, 0.0, 2.0)
    assert plane.contains_point(point) is True
    # The same through a plane stored by assignment: z = -3.
    raw = Plane.xy()
    raw.distance = 3.0
    hit = plane_line(plane=raw, a=Vec3d(1.0, 1.0, 0.0), b=Vec3d(1.0, 1.0, 1.0))
    assert tup(hit) == (1.0, 1.0, -3.0)
    assert raw.contains_point(hit) is True
    # An oblique plane x + y = 4 (normal unnormalised on purpose).
    oblique = Plane.xy()
    oblique.normal = Vec3d(1.0, 1.0, 0.0)
    oblique.distance = -4.0
    assert tup(plane_line(oblique, Vec3d(0, 0, 7), Vec3d(1, 1, 7))) == (2.0, 2.0, 7.0)


def test_circle_point_examples():
    circle = unit_circle()
    for inner in (False, True):
        assert circle_point(circle, Vec3d(1, 0, 0), inner) is True
        assert circle_point(circle, Vec3d(2, 0, 0), inner) is False
    assert circle_point(circle, Vec3d(0.5, 0, 0), False) is False
    assert circle_point(circle, Vec3d(0.5, 0, 0), True) is True
    assert circle_point(circle=circle, point=Vec3d(0.5, 0, 0), inner=True) is True
    # Off the plane: only the unchecked test accepts it.
    assert circle_point(circle, Vec3d(0, 0, 0.5), True) is False
    assert circle_point_unchecked(circle, Vec3d(0, 0, 0.5), True) is True
    assert circle_point(circle, Vec3d(0, 0, 1e-15), True) is False
    assert circle_point_unchecked(circle, Vec3d(0, 0, 1e-15), True) is True
    assert circle_point_unchecked(circle, Vec3d(0, 0, 0.5), False) is False


def test_circle_point_on_the_none_circle():
    none = Circle.none()
    for point in (Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(1e-300, 0, 0)):
        for inner in (False, True):
            assert circle_point(none, point, inner) is False
    assert circle_point_unchecked(none, Vec3d(0, 0, 0), False) is True
    assert circle_point_unchecked(none, Vec3d(1e-17, 0, 0), False) is True
    assert circle_point_unchecked(none, Vec3d(1e-15, 0, 0), True) is False


def test_circle_point_accepts_numpy_bool_for_inner():
    circle = unit_circle()
    half = Vec3d(0.5, 0, 0)
    assert circle_point(circle, half, np.True_) is True
    assert circle_point(circle, half, np.False_) is False
    assert circle_point_unchecked(circle, half, np.bool_(True)) is True
    assert circle_point_unchecked(circle, half, np.array([False])[0]) is False


def test_circle_circle_crossing_unit_circles():
    result = circle_circle(unit_circle(), unit_circle(center=(1.0, 0.0, 0.0)))
    assert type(result) is tuple and len(result) == 2
    first, second = result
    assert tup(first) == (0.5, -0.8660254037844386, 0.0)
    assert tup(second) == (0.5, 0.8660254037844386, 0.0)


def test_circle_circle_touching_and_missing():
    touching = circle_circle(unit_circle(), unit_circle(center=(2.0, 0.0, 0.0)))
    assert [tup(p) for p in touching] == [(1.0, 0.0, 0.0), (1.0, 0.0, 0.0)]
    circle = unit_circle()
    assert circle_circle(circle, circle) is None
    assert circle_circle(circle, unit_circle(normal=(0.0, 0.0, -1.0))) is None  # equal
    assert circle_circle(circle, unit_circle(center=(3.0, 0.0, 0.0))) is None  # apart
    assert circle_circle(circle, unit_circle(radius=0.25)) is None  # nested
    assert circle_circle(circle, unit_circle(center=(0.5, 0, 0), normal=(0, 1, 0))) is None
    assert circle_circle(circle, unit_circle(center=(0.5, 0, 1), normal=(0, 0, 1))) is None


def test_circle_circle_with_opposite_normals_in_one_plane():
    c1 = unit_circle(center=(0.0, 0.0, 1.0), normal=(0.0, 0.0, 1.0))
    c2 = unit_circle(center=(1.0, 0.0, 1.0), normal=(0.0, 0.0, -1.0))
    first, second = circle_circle(c1, c2)
    # The side of the first point follows circle2's normal.
    assert tup(first) == (0.5, 0.8660254037844386, 1.0)
    assert tup(second) == (0.5, -0.8660254037844386, 1.0)
    both_up = circle_circle(c1, unit_circle(center=(1.0, 0.0, 1.0), normal=(0.0, 0.0, 1.0)))
    assert [tup(p) for p in both_up] == [(0.5, -0.8660254037844386, 1.0),
                                          (0.5, 0.8660254037844386, 1.0)]
    for point in (first, second):
        assert circle_point(c1, point, False) is True
        assert c1.get_plane().contains_point(point) is True


def test_circle_circle_in_mirrored_planes_is_none():
    high = unit_circle(center=(0.0, 0.0, 5.0), normal=(0.0, 0.0, 1.0))
    low = unit_circle(center=(1.0, 0.0, -5.0), normal=(0.0, 0.0, -1.0))
    assert circle_circle(high, low) is None
    assert circle_circle(low, high) is None


# ---------------------------------------------------------------------------
# Bad input

V0 = Vec3d(0.0, 0.0, 0.0)
C0 = Circle(V0, 1.0, Vec3d(0.0, 0.0, 1.0))
P0 = Plane.xy()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Plane(1, 2.0), "argument 'normal': 'int' object cannot be cast as 'Vec3d'"),
        (lambda: Plane.from_point(V0, (1, 2, 3)),
         "argument 'point': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda: Plane.from_point(None, V0),
         "argument 'normal': 'NoneType' object cannot be cast as 'Vec3d'"),
        (lambda: Plane.from_points(P0, V0, V0),
         "argument 'point1': 'Plane' object cannot be cast as 'Vec3d'"),
        (lambda: Plane.from_points(V0, C0, V0),
         "argument 'point2': 'Circle' object cannot be cast as 'Vec3d'"),
        (lambda: Plane.from_points(V0, V0, 3.0),
         "argument 'point3': 'float' object cannot be cast as 'Vec3d'"),
        (lambda: P0.distance_to_point([0, 0, 0]),
         "argument 'point': 'list' object cannot be cast as 'Vec3d'"),
        (lambda: P0.contains_point(C0), "argument 'point': 'Circle' object cannot be cast as 'Vec3d'"),
        (lambda: Circle("c", 1.0, V0), "argument 'center': 'str' object cannot be cast as 'Vec3d'"),
        (lambda: Circle(V0, 1.0, 1), "argument 'normal': 'int' object cannot be cast as 'Vec3d'"),
        (lambda: C0.in_same_plane(P0), "argument 'other': 'Plane' object cannot be cast as 'Circle'"),
        (lambda: plane_line(C0, V0, V0), "argument 'plane': 'Circle' object cannot be cast as 'Plane'"),
        (lambda: plane_line(P0, 0, V0), "argument 'a': 'int' object cannot be cast as 'Vec3d'"),
        (lambda: plane_line(P0, V0, None), "argument 'b': 'NoneType' object cannot be cast as 'Vec3d'"),
        (lambda: circle_point(P0, V0, True),
         "argument 'circle': 'Plane' object cannot be cast as 'Circle'"),
        (lambda: circle_point(C0, C0, True), "argument 'point': 'Circle' object cannot be cast as 'Vec3d'"),
        (lambda: circle_point(C0, V0, 1), "argument 'inner': 'int' object cannot be cast as 'bool'"),
        (lambda: circle_point(C0, V0, 0), "argument 'inner': 'int' object cannot be cast as 'bool'"),
        (lambda: circle_point(C0, V0, None),
         "argument 'inner': 'NoneType' object cannot be cast as 'bool'"),
        (lambda: circle_point(C0, V0, 1.0), "argument 'inner': 'float' object cannot be cast as 'bool'"),
        (lambda: circle_point(C0, V0, np.int64(1)),
         "argument 'inner': 'int64' object cannot be cast as 'bool'"),
        (lambda: circle_point_unchecked(C0, V0, 1),
         "argument 'inner': 'int' object cannot be cast as 'bool'"),
        (lambda: circle_point_unchecked(V0, V0, True),
         "argument 'circle': 'Vec3d' object cannot be cast as 'Circle'"),
        (lambda: circle_circle(C0, P0), "argument 'circle2': 'Plane' object cannot be cast as 'Circle'"),
        (lambda: circle_circle(P0, C0), "argument 'circle1': 'Plane' object cannot be cast as 'Circle'"),
        # The first failing argument is the one reported.
        (lambda: circle_point(5, 5, 5), "argument 'circle': 'int' object cannot be cast as 'Circle'"),
        (lambda: circle_circle(1, 2), "argument 'circle1': 'int' object cannot be cast as 'Circle'"),
    ],
)
def test_argument_type_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: Plane(V0, "two"), "distance"),
        (lambda: Circle(V0, "one", V0), "radius"),
        (lambda: Circle(V0, [1.0], V0), "radius"),
    ],
)
def test_float_argument_errors_carry_the_prefix(call, name):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).startswith(f"argument '{name}': ")
    assert type(info.value) is TypeError


def test_float_overflow_is_raised_unchanged():
    with pytest.raises(OverflowError):
        Plane(V0, 10**400)
    with pytest.raises(OverflowError):
        Circle(V0, -(10**400), V0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: plane_line(P0, V0), "plane_line() missing 1 required positional argument: 'b'"),
        (lambda: circle_point(),
         "circle_point() missing 3 required positional arguments: 'circle', 'point', and 'inner'"),
        (lambda: circle_circle(C0, C0, C0), "circle_circle() takes 2 positional arguments but 3 were given"),
        (lambda: circle_point_unchecked(C0, V0, True, inside=True),
         "circle_point_unchecked() got an unexpected keyword argument 'inside'"),
        (lambda: circle_circle(C0, circle1=C0), "circle_circle() got multiple values for argument 'circle1'"),
        (lambda: Plane(V0), "Plane.__new__() missing 1 required positional argument: 'distance'"),
        (lambda: Circle(V0), "Circle.__new__() missing 2 required positional arguments: 'radius' and 'normal'"),
        (lambda: Plane.from_point(V0), "Plane.from_point() missing 1 required positional argument: 'point'"),
        (lambda: C0.in_same_plane(C0, C0), "Circle.in_same_plane() takes 1 positional arguments but 2 were given"),
        (lambda: P0.contains_point(pt=V0), "Plane.contains_point() got an unexpected keyword argument 'pt'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def plane_state(p):
    return tup(p.normal) + (p.distance,)


def circle_state(c):
    return tup(c.center) + (c.radius,) + tup(c.normal)


@pytest.mark.parametrize(
    "make, state, attr, bad, error, message",
    [
        (Plane.xy, plane_state, "normal", 5, TypeError,
         "argument 'value': 'int' object cannot be cast as 'Vec3d'"),
        (Plane.xy, plane_state, "distance", "far", TypeError, None),
        (Plane.xy, plane_state, "distance", 10**400, OverflowError, None),
        (lambda: unit_circle(), circle_state, "center", (1, 2, 3), TypeError,
         "argument 'value': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda: unit_circle(), circle_state, "radius", None, TypeError, None),
        (lambda: unit_circle(), circle_state, "radius", 10**400, OverflowError, None),
        (lambda: unit_circle(), circle_state, "normal", Plane.xy(), TypeError,
         "argument 'value': 'Plane' object cannot be cast as 'Vec3d'"),
    ],
)
def test_failing_setter_leaves_the_object_unchanged(make, state, attr, bad, error, message):
    obj = make()
    before = state(obj)
    with pytest.raises(error) as info:
        setattr(obj, attr, bad)
    if message is not None:
        assert str(info.value) == message
    elif error is TypeError:
        assert str(info.value).startswith("argument 'value': ")
    assert same_tuple(state(obj), before)


@pytest.mark.parametrize(
    "make, state, attr",
    [
        (Plane.xy, plane_state, "normal"),
        (Plane.xy, plane_state, "distance"),
        (lambda: unit_circle(), circle_state, "center"),
        (lambda: unit_circle(), circle_state, "radius"),
        (lambda: unit_circle(), circle_state, "normal"),
    ],
)
def test_deleting_a_property_fails_and_changes_nothing(make, state, attr):
    obj = make()
    before = state(obj)
    with pytest.raises(AttributeError) as info:
        delattr(obj, attr)
    assert str(info.value) == "can't delete attribute"
    assert same_tuple(state(obj), before)


def test_degenerate_geometry_never_raises():
    nan = Vec3d(NAN, NAN, NAN)
    inf = Vec3d(INF, -INF, INF)
    zero = Circle(V0, 0.0, V0)
    assert all(math.isnan(c) for c in tup(zero.normal))
    assert zero.is_degenerate() is True
    for circle in (zero, Circle.none(), Circle(nan, NAN, nan), Circle(inf, INF, inf)):
        assert circle_circle(circle, circle) is None
        assert circle_point(circle, inf, True) is False
        assert isinstance(circle_point_unchecked(circle, nan, True), bool)
        assert type(circle.get_plane()) is Plane
        assert isinstance(circle.area, float)
    plane = Plane(nan, NAN)
    assert all(math.isnan(c) for c in tup(plane_line(plane, inf, nan)))
