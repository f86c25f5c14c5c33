"""AngleRadians, AngleDegrees and Vec3d.angle_to, pinned bit for bit against
the plain-Python model, plus the comparison protocol and the argument errors."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model_angle_quat as m
from floats import EqualToAll, assert_same, bits, float_error_text
import tarsk_py
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d

NAN = float("nan")
INF = float("inf")

SPECIAL = [
    0.0, -0.0, NAN, -NAN, INF, -INF,
    5e-324, -5e-324, 1e-310, -2.2250738585072014e-308,
    1.7976931348623157e308, -1.7976931348623157e308, 1e300, -1e300,
    1.0, -1.0, 0.5, 7.0, 180.0, 1e16, 1e22,
    m.PI, m.HALF_PI, -m.HALF_PI, m.TWO_PI, m.THIRD_PI,
]

doubles = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(),
    st.floats(min_value=-10.0, max_value=10.0),
)
vectors = st.tuples(doubles, doubles, doubles)


# --- construction, property, constants --------------------------------------


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@given(x=doubles)
def test_constructor_and_property_keep_the_exact_bits(cls, x):
    a = cls(x)
    assert bits(a.angle) == bits(x)
    assert bits(cls(angle=x).angle) == bits(x)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize(
    "arg, expected",
    [(2, 2.0), (True, 1.0), (Fraction(1, 3), 1 / 3), (-(2**53) - 1, -9007199254740992.0)],
)
def test_constructor_converts_numbers_to_float(cls, arg, expected):
    value = cls(arg).angle
    assert type(value) is float and bits(value) == bits(expected)


@pytest.mark.parametrize(
    "name, value",
    [("zero", m.ZERO), ("pi", m.PI), ("two_pi", m.TWO_PI), ("half_pi", m.HALF_PI),
     ("quarter_pi", m.QUARTER_PI), ("third_pi", m.THIRD_PI), ("sixth_pi", m.SIXTH_PI)],
)
def test_constants(name, value):
    make = getattr(AngleRadians, name)
    a = make()
    assert type(a) is AngleRadians
    assert bits(a.angle) == bits(value)
    assert make() is not a
    assert make.__text_signature__ == "()"


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_setter_changes_the_object_seen_by_every_name(cls):
    a = cls(1.0)
    alias = a
    alias.angle = 2.5
    assert a.angle == 2.5
    a.angle = 3
    assert type(alias.angle) is float and alias.angle == 3.0


# --- trigonometry and conversions -------------------------------------------

TRIG = [
    ("sin", m.radians_sin), ("cos", m.radians_cos), ("tan", m.radians_tan),
    ("sec", m.radians_sec), ("csc", m.radians_csc), ("cot", m.radians_cot),
]


@pytest.mark.parametrize("name, model", TRIG)
@settings(max_examples=300)
@given(x=doubles)
def test_trigonometry_matches_model(name, model, x):
    assert_same(getattr(AngleRadians(x), name)(), model(x))


@pytest.mark.parametrize(
    "name, x, expected",
    [
        ("cot", 0.0, INF),
        ("cot", -0.0, -INF),
        ("csc", 0.0, INF),
        ("csc", -0.0, -INF),
        ("sin", -0.0, -0.0),
        ("tan", -0.0, -0.0),
        ("cos", 0.0, 1.0),
    ],
)
def test_trigonometry_of_zero(name, x, expected):
    assert bits(getattr(AngleRadians(x), name)()) == bits(expected)


@pytest.mark.parametrize(
    "name, x, low, high",
    [("tan", m.HALF_PI, 1.6e16, 1.7e16), ("sec", m.HALF_PI, 1.6e16, 1.7e16),
     ("csc", m.PI, 8.1e15, 8.2e15)],
)
def test_near_poles_results_are_large_but_finite(name, x, low, high):
    assert low < getattr(AngleRadians(x), name)() < high


@pytest.mark.parametrize("name", [n for n, _ in TRIG])
@pytest.mark.parametrize("x", [NAN, INF, -INF])
def test_trigonometry_of_non_finite_is_nan(name, x):
    assert math.isnan(getattr(AngleRadians(x), name)())


@settings(max_examples=300)
@given(x=doubles)
def test_unit_conversions_match_model(x):
    d = AngleRadians(x).to_degrees()
    assert type(d) is AngleDegrees
    assert_same(d.angle, m.to_degrees(x))
    r = AngleDegrees(x).to_radians()
    assert type(r) is AngleRadians
    assert_same(r.angle, m.to_radians(x))


@pytest.mark.parametrize(
    "radians, degrees",
    [
        (m.PI, 180.0), (m.TWO_PI, 360.0), (m.HALF_PI, 90.0), (m.QUARTER_PI, 45.0),
        (m.THIRD_PI, 59.99999999999999), (m.SIXTH_PI, 29.999999999999996),
        (1.0, 57.29577951308232),
    ],
)
def test_to_degrees_worked_values(radians, degrees):
    assert AngleRadians(radians).to_degrees().angle == degrees


@pytest.mark.parametrize(
    "degrees, radians",
    [(180.0, m.PI), (90.0, m.HALF_PI), (60.0, m.THIRD_PI), (30.0, m.SIXTH_PI),
     (1.0, 0.017453292519943295)],
)
def test_to_radians_worked_values(degrees, radians):
    assert AngleDegrees(degrees).to_radians().angle == radians


def test_round_trips_keep_rounding():
    assert AngleRadians.pi().to_degrees() == AngleDegrees(180.0)
    assert AngleDegrees(180).to_radians() == AngleRadians.pi()
    assert AngleDegrees(30.0).to_radians().to_degrees().angle == 29.999999999999996


# --- arithmetic --------------------------------------------------------------


@settings(max_examples=300)
@given(x=doubles, y=doubles)
def test_arithmetic_matches_model(x, y):
    a, b = AngleRadians(x), AngleRadians(y)
    for result, expected in [
        (a + b, m.radians_add(x, y)),
        (a - b, m.radians_subtract(x, y)),
        (a * y, m.radians_scale(x, y)),
        (a / y, m.radians_divide(x, y)),
    ]:
        assert type(result) is AngleRadians
        assert_same(result.angle, expected)
    assert bits(a.angle) == bits(x) and bits(b.angle) == bits(y)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@given(x=doubles)
def test_negation_flips_only_the_sign_bit(cls, x):
    n = -cls(x)
    assert type(n) is cls
    (raw,) = struct.unpack("<Q", bits(x))
    (negated,) = struct.unpack("<Q", bits(n.angle))
    assert negated == raw ^ (1 << 63)


@pytest.mark.parametrize(
    "expr, expected",
    [
        (lambda: AngleRadians(1) / 0, INF),
        (lambda: AngleRadians(-1) / 0.0, -INF),
        (lambda: AngleRadians(1) / -0.0, -INF),
        (lambda: AngleRadians(1) * 2, 2.0),
        (lambda: AngleRadians(1) * True, 1.0),
        (lambda: AngleRadians(3) * Fraction(1, 2), 1.5),
        (lambda: AngleRadians(5.0) * 0.0, 0.0),
        (lambda: AngleRadians(-5.0) * 0.0, -0.0),
        (lambda: AngleRadians(7.0) + AngleRadians.zero(), 7.0),
    ],
)
def test_worked_arithmetic(expr, expected):
    assert bits(expr().angle) == bits(expected)


def test_zero_over_zero_is_nan_without_raising():
    assert math.isnan((AngleRadians(0) / 0).angle)


class Rescaler:
    """A right operand that handles the reflected forms itself."""

    def __rmul__(self, other):
        return "rmul"

    def __radd__(self, other):
        return "radd"


@pytest.mark.parametrize(
    "expr",
    [
        lambda a: 2 * a,
        lambda a: 2.0 * a,
        lambda a: a + 1.0,
        lambda a: 1.0 + a,
        lambda a: a + AngleDegrees(1),
        lambda a: a - 1,
        lambda a: 1 - a,
        lambda a: 2 / a,
        lambda a: a * a,
        lambda a: a * "2",
        lambda a: a / AngleRadians(1),
        lambda a: a / None,
        lambda a: a @ a,
        lambda a: a % 2,
        lambda a: abs(a),
        lambda a: +a,
        lambda a: float(a),
    ],
)
def test_unsupported_radians_operations_raise_type_error(expr):
    with pytest.raises(TypeError):
        expr(AngleRadians(1.0))


def test_refused_operand_lets_the_other_side_answer():
    a = AngleRadians(1.0)
    assert a * Rescaler() == "rmul"
    assert a + Rescaler() == "radd"


@pytest.mark.parametrize(
    "expr",
    [
        lambda d: d + d,
        lambda d: d - d,
        lambda d: d * 2,
        lambda d: 2 * d,
        lambda d: d / 2,
        lambda d: d + AngleRadians(1),
    ],
)
def test_degrees_have_no_arithmetic(expr):
    with pytest.raises(TypeError):
        expr(AngleDegrees(5.0))


@pytest.mark.parametrize(
    "name",
    ["sin", "cos", "tan", "sec", "csc", "cot", "to_degrees", "zero", "pi", "two_pi",
     "half_pi", "quarter_pi", "third_pi", "sixth_pi"],
)
def test_degrees_lack_radians_members(name):
    assert not hasattr(AngleDegrees, name)
    with pytest.raises(AttributeError):
        getattr(AngleDegrees(5), name)


def test_radians_lack_to_radians():
    assert not hasattr(AngleRadians, "to_radians")


def test_sum_needs_a_start_value():
    angles = [AngleRadians(0.1), AngleRadians(0.2), AngleRadians(0.3)]
    with pytest.raises(TypeError):
        sum(angles)
    total = sum(angles, AngleRadians.zero())
    assert type(total) is AngleRadians
    assert bits(total.angle) == bits(m.radians_add(m.radians_add(m.radians_add(0.0, 0.1), 0.2), 0.3))


@pytest.mark.parametrize("obj", [AngleRadians(0.0), AngleRadians(-0.0), AngleDegrees(0.0), AngleRadians(NAN)])
def test_every_angle_is_true(obj):
    assert bool(obj) is True


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_results_are_new_objects(cls):
    a = cls(1.0)
    assert -a is not a
    assert -a is not -a
    if cls is AngleRadians:
        assert a * 1 is not a and a.to_degrees() is not a.to_degrees()


# --- comparison --------------------------------------------------------------


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@settings(max_examples=300)
@given(x=doubles, y=doubles)
def test_comparisons_are_ieee_without_tolerance(cls, x, y):
    a, b = cls(x), cls(y)
    assert (a == b) is (x == y)
    assert (a != b) is (x != y)
    assert (a < b) is (x < y)
    assert (a <= b) is (x <= y)
    assert (a > b) is (x > y)
    assert (a >= b) is (x >= y)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_nan_angle_is_unequal_to_itself(cls):
    a = cls(NAN)
    assert not a == a
    assert a != a
    assert not (a < a or a <= a or a > a or a >= a)
    assert not (a < cls(1.0) or a >= cls(1.0))


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_signed_zeros_are_equal(cls):
    assert cls(0.0) == cls(-0.0)
    assert not cls(0.0) != cls(-0.0)


@pytest.mark.parametrize(
    "a, other",
    [
        (AngleRadians(1), AngleDegrees(1)),
        (AngleDegrees(1), AngleRadians(1)),
        (AngleRadians(1), 1.0),
        (AngleRadians(1), 1),
        (AngleDegrees(1), 1.0),
        (AngleRadians(0), None),
        (AngleRadians(1), Quat(1, 0, 0, 0)),
        (AngleRadians(1), (1.0,)),
    ],
)
def test_foreign_operands_are_unequal_and_unordered(a, other):
    assert (a == other) is False
    assert (a != other) is True
    assert (other == a) is False
    assert (other != a) is True
    for op in (lambda p, q: p < q, lambda p, q: p <= q, lambda p, q: p > q, lambda p, q: p >= q):
        with pytest.raises(TypeError):
            op(a, other)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


class EqRaises:
    def __eq__(self, other):
        raise KeyError("eq failed")


class EqBadTruth:
    def __eq__(self, other):
        return BadTruth()


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_not_equal_runs_the_full_equality_protocol(cls):
    # a != x asks a == x, which reaches the other side's __eq__.
    assert (cls(1.0) != EqualToAll()) is False
    with pytest.raises(KeyError):
        cls(1.0) != EqRaises()
    with pytest.raises(ZeroDivisionError):
        cls(1.0) != EqBadTruth()


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_angles_are_unhashable(cls):
    a = cls(1.0)
    assert cls.__hash__ is None
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        {a}
    with pytest.raises(TypeError):
        {a: 1}


# --- text ---------------------------------------------------------------------


@given(x=doubles)
def test_repr_matches_model(x):
    assert repr(AngleRadians(x)) == m.radians_text(x)
    assert str(AngleRadians(x)) == m.radians_text(x)
    assert repr(AngleDegrees(x)) == m.degrees_text(x)
    assert str(AngleDegrees(x)) == m.degrees_text(x)


@pytest.mark.parametrize(
    "obj, text",
    [
        (AngleRadians(1), "1 radians"),
        (AngleRadians(-0.0), "-0 radians"),
        (AngleRadians(0.1), "0.1 radians"),
        (AngleRadians(-0.5), "-0.5 radians"),
        (AngleRadians.pi(), "3.141592653589793 radians"),
        (-AngleRadians.zero(), "-0 radians"),
        (AngleRadians(NAN), "NaN radians"),
        (AngleRadians(INF), "inf radians"),
        (AngleDegrees(45.5), "45.5\u00b0"),
        (AngleDegrees(90.0), "90\u00b0"),
        (AngleRadians.pi().to_degrees(), "180\u00b0"),
    ],
)
def test_repr_examples(obj, text):
    assert repr(obj) == text


# --- binding: signatures, arguments, attributes -------------------------------


@pytest.mark.parametrize(
    "obj, signature",
    [
        (AngleRadians, "(angle)"),
        (AngleDegrees, "(angle)"),
        (AngleRadians.sin, "($self)"),
        (AngleRadians.cot, "($self)"),
        (AngleRadians.to_degrees, "($self)"),
        (AngleDegrees.to_radians, "($self)"),
        (AngleRadians.zero, "()"),
        (Vec3d.angle_to, "($self, other)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c(), "{0}.__new__() missing 1 required positional argument: 'angle'"),
        (lambda c: c(1, 2), "{0}.__new__() takes 1 positional arguments but 2 were given"),
        (lambda c: c(x=1), "{0}.__new__() got an unexpected keyword argument 'x'"),
        (lambda c: c(1, angle=2), "{0}.__new__() got multiple values for argument 'angle'"),
        (lambda c: c("1"), "argument 'angle': " + float_error_text("1")),
        (lambda c: c(None), "argument 'angle': " + float_error_text(None)),
        (lambda c: c(Quat(1, 0, 0, 0)), "argument 'angle': " + float_error_text(Quat(1, 0, 0, 0))),
    ],
)
def test_constructor_errors(cls, call, message):
    with pytest.raises(TypeError) as info:
        call(cls)
    assert type(info.value) is TypeError
    assert str(info.value) == message.format(cls.__name__)


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_too_large_int_overflows_unchanged(cls):
    with pytest.raises(OverflowError):
        cls(10**400)
    a = cls(1.5)
    with pytest.raises(OverflowError):
        a.angle = 10**400
    assert a.angle == 1.5


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
@pytest.mark.parametrize("value", ["2", None, [1.0], AngleRadians(2.0)])
def test_setter_rejects_non_numbers_and_keeps_the_value(cls, value):
    a = cls(1.5)
    with pytest.raises(TypeError) as info:
        a.angle = value
    assert str(info.value) == "argument 'value': " + float_error_text(value)
    assert a.angle == 1.5


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_deleting_angle_is_refused(cls):
    a = cls(1.5)
    with pytest.raises(AttributeError) as info:
        del a.angle
    assert str(info.value) == "can't delete attribute"
    assert a.angle == 1.5


@pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
def test_class_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        cls(1.0).other = 1


def test_method_through_the_class_checks_its_receiver():
    with pytest.raises(TypeError):
        AngleRadians.sin(1.0)
    with pytest.raises(TypeError):
        AngleRadians.sin(AngleDegrees(1.0))


def test_module_order():
    names = tarsk_py.__all__
    assert names[:3] == ["AngleDegrees", "AngleRadians", "Quat"]
    assert names.index("Vec3d") > 2
    assert tarsk_py.AngleRadians is AngleRadians and tarsk_py.AngleDegrees is AngleDegrees


# --- Vec3d.angle_to -------------------------------------------------------------


@settings(max_examples=300)
@given(a=vectors, b=vectors)
def test_angle_to_matches_model(a, b):
    r = Vec3d(*a).angle_to(Vec3d(*b))
    assert type(r) is AngleRadians
    assert_same(r.angle, m.angle_to(a, b))
    assert_same(Vec3d(*a).angle_to(other=Vec3d(*b)).angle, m.angle_to(a, b))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ((1, 0, 0), (0, 1, 0), m.HALF_PI),
        ((1, 0, 0), (-1, 0, 0), m.PI),
        ((1, 2, 3), (1, 2, 3), 0.0),
        ((1, 1, 1), (1, 1, 1), NAN),
        ((0, 0, 0), (1, 0, 0), NAN),
        ((1, 0, 0), (0, 0, 0), NAN),
    ],
)
def test_angle_to_worked_values(a, b, expected):
    r = Vec3d(*a).angle_to(Vec3d(*b)).angle
    if math.isnan(expected):
        assert math.isnan(r)
    else:
        assert r == expected
    if a == (1, 0, 0) and b == (0, 1, 0):
        assert Vec3d(*a).angle_to(Vec3d(*b)) == AngleRadians.half_pi()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda v: v.angle_to(1), "argument 'other': 'int' object cannot be cast as 'Vec3d'"),
        (lambda v: v.angle_to((1, 0, 0)), "argument 'other': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda v: v.angle_to(), "Vec3d.angle_to() missing 1 required positional argument: 'other'"),
        (lambda v: v.angle_to(v, v), "Vec3d.angle_to() takes 1 positional arguments but 2 were given"),
        (lambda v: v.angle_to(b=v), "Vec3d.angle_to() got an unexpected keyword argument 'b'"),
    ],
)
def test_angle_to_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(Vec3d(1.0, 0.0, 0.0))
    assert str(info.value) == message
