"""Quat and Vec3d.to_quat, pinned bit for bit against the plain-Python model,
with the rotation sense, the comparison protocol and the argument errors."""
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model_angle_quat as m
from floats import EqualToAll, assert_same, bits, float_error_text
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d

NAN = float("nan")
INF = float("inf")
EPS = 2.0**-52

SPECIAL = [
    0.0, -0.0, NAN, -NAN, INF, -INF,
    5e-324, -5e-324, 1e-310, 2.2250738585072014e-308,
    1.7976931348623157e308, -1.7976931348623157e308, 1e200, -1e200,
    1.0, -1.0, 0.5, -0.5, 2.0,
    1.0 - 2.0**-53, 1.0 + 2.0**-52, 1.0 - 2.0**-52, -1.0 + 2.0**-53,
]

doubles = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(),
    st.floats(min_value=-2.0, max_value=2.0),
)
vectors = st.tuples(doubles, doubles, doubles)
moderate = st.floats(min_value=-4.0, max_value=4.0)


@st.composite
def rotations(draw):
    """Quaternions as from_axis_angle builds them: w usually in [-1, 1]."""
    axis = draw(st.tuples(moderate, moderate, moderate))
    return m.from_axis_angle(axis, draw(st.floats(min_value=-10.0, max_value=10.0)))


quats = st.one_of(st.tuples(doubles, doubles, doubles, doubles), rotations())


def assert_all_same(actual, expected):
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        assert_same(a, e)


def components(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


# --- construction and components ---------------------------------------------


@given(q=quats)
def test_constructor_keeps_the_exact_bits(q):
    for made in (Quat(*q), Quat(w=q[0], i=q[1], j=q[2], k=q[3]), Quat(q[0], q[1], k=q[3], j=q[2])):
        assert [bits(c) for c in components(made)] == [bits(c) for c in q]


@pytest.mark.parametrize("name", ["w", "i", "j", "k"])
def test_setters_change_one_component_in_place(name):
    q = Quat(1.0, 2.0, 3.0, 4.0)
    alias = q
    before = dict(zip("wijk", components(q)))
    setattr(alias, name, -0.0)
    after = dict(zip("wijk", components(q)))
    assert bits(after.pop(name)) == bits(-0.0)
    before.pop(name)
    assert after == before
    setattr(q, name, 7)
    assert type(getattr(q, name)) is float and getattr(q, name) == 7.0


@pytest.mark.parametrize("name", ["w", "i", "j", "k"])
@pytest.mark.parametrize("value", ["1", None, (1.0,), Vec3d(1, 2, 3)])
def test_setter_rejects_non_numbers_and_keeps_the_component(name, value):
    q = Quat(1.0, 2.0, 3.0, 4.0)
    with pytest.raises(TypeError) as info:
        setattr(q, name, value)
    assert str(info.value) == "argument 'value': " + float_error_text(value)
    assert components(q) == (1.0, 2.0, 3.0, 4.0)


@pytest.mark.parametrize("name", ["w", "i", "j", "k"])
def test_deleting_a_component_is_refused(name):
    q = Quat(1.0, 2.0, 3.0, 4.0)
    with pytest.raises(AttributeError) as info:
        delattr(q, name)
    assert str(info.value) == "can't delete attribute"
    assert components(q) == (1.0, 2.0, 3.0, 4.0)


@pytest.mark.parametrize("position, name", list(enumerate("wijk")))
def test_constructor_names_the_first_bad_argument(position, name):
    args = [1.0, 2.0, 3.0, 4.0]
    for later in range(position, 4):
        args[later] = "x"
    with pytest.raises(TypeError) as info:
        Quat(*args)
    assert str(info.value) == f"argument '{name}': " + float_error_text("x")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Quat(), "Quat.__new__() missing 4 required positional arguments: 'w', 'i', 'j', and 'k'"),
        (lambda: Quat(1, 0), "Quat.__new__() missing 2 required positional arguments: 'j' and 'k'"),
        (lambda: Quat(1, 0, 0), "Quat.__new__() missing 1 required positional argument: 'k'"),
        (lambda: Quat(1, 0, 0, 0, 0), "Quat.__new__() takes 4 positional arguments but 5 were given"),
        (lambda: Quat(1, 0, 0, 0, x=1), "Quat.__new__() got an unexpected keyword argument 'x'"),
        (lambda: Quat(1, 0, 0, 0, w=1), "Quat.__new__() got multiple values for argument 'w'"),
    ],
)
def test_constructor_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_too_large_int_overflows_unchanged():
    with pytest.raises(OverflowError):
        Quat(1, 0, 10**400, 0)
    q = Quat.identity()
    with pytest.raises(OverflowError):
        q.k = 10**400
    assert components(q) == (1.0, 0.0, 0.0, 0.0)


def test_identity():
    q = Quat.identity()
    assert [bits(c) for c in components(q)] == [bits(c) for c in m.IDENTITY]
    assert Quat.identity() is not q
    assert repr(q) == "Quat(1, 0, 0, 0)"


# --- formulas against the model ---------------------------------------------------


@settings(max_examples=300)
@given(axis=vectors, angle=doubles)
def test_from_axis_angle_matches_model(axis, angle):
    expected = m.from_axis_angle(axis, angle)
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(angle))
    assert type(q) is Quat
    assert_all_same(components(q), expected)
    q = Quat.from_axis_angle(angle=AngleRadians(angle), axis=Vec3d(*axis))
    assert_all_same(components(q), expected)


@settings(max_examples=300)
@given(q=quats)
def test_unary_formulas_match_model(q):
    obj = Quat(*q)
    conj = obj.conjugate()
    assert type(conj) is Quat
    assert [bits(c) for c in components(conj)] == [bits(c) for c in (q[0], -q[1], -q[2], -q[3])]
    assert_same(obj.magnitude(), m.magnitude(q))
    normal = obj.normalize()
    assert type(normal) is Quat
    assert_all_same(components(normal), m.normalize(q))
    assert obj.is_unit() is m.is_unit(q)
    assert type(obj.to_vec3d()) is tuple
    assert [bits(c) for c in obj.to_vec3d()] == [bits(c) for c in m.to_vec3d(q)]
    assert [bits(c) for c in components(obj)] == [bits(c) for c in q]


@settings(max_examples=300)
@given(q=quats, v=vectors)
def test_rotate_matches_model(q, v):
    r = Quat(*q).rotate(Vec3d(*v))
    assert type(r) is Vec3d
    assert_all_same(vec(r), m.rotate(q, v))
    assert_all_same(vec(Quat(*q).rotate(v=Vec3d(*v))), m.rotate(q, v))


@settings(max_examples=300)
@given(q=quats)
def test_to_axis_angle_matches_model(q):
    result = Quat(*q).to_axis_angle()
    assert type(result) is tuple and len(result) == 2
    axis, angle = result
    assert type(axis) is Vec3d and type(angle) is AngleRadians
    expected_axis, expected_angle = m.to_axis_angle(q)
    assert_all_same(vec(axis), expected_axis)
    assert_same(angle.angle, expected_angle)


@settings(max_examples=300)
@given(q=quats)
def test_to_rotation_matrix_matches_model(q):
    rows = Quat(*q).to_rotation_matrix()
    assert type(rows) is list and len(rows) == 3
    for row, expected in zip(rows, m.to_rotation_matrix(q)):
        assert type(row) is list
        assert_all_same(row, expected)


@given(v=vectors)
def test_to_quat_matches_model(v):
    q = Vec3d(*v).to_quat()
    assert type(q) is Quat
    assert [bits(c) for c in components(q)] == [bits(c) for c in m.to_quat(v)]


@given(q=quats)
def test_repr_matches_model(q):
    assert repr(Quat(*q)) == m.quat_text(q)
    assert str(Quat(*q)) == m.quat_text(q)


# --- worked examples: the rotation sense -----------------------------------------


def test_quarter_turn_about_z():
    q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
    assert [bits(c) for c in components(q)] == [
        bits(c) for c in (0.7071067811865476, -0.0, -0.0, -0.7071067811865475)]
    assert repr(q) == "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"
    # Right-handed: x turns to y.
    assert vec(q.rotate(Vec3d(1, 0, 0))) == (2.220446049250313e-16, 1.0, 0.0)
    axis, angle = q.to_axis_angle()
    assert [bits(c) for c in vec(axis)] == [bits(c) for c in (-0.0, -0.0, -1.0)]
    assert angle.angle == 1.5707963267948966
    # The matrix reads the textbook sense: the transpose of what rotate does.
    assert q.to_rotation_matrix() == [
        [2.220446049250313e-16, 1.0, 0.0],
        [-1.0, 2.220446049250313e-16, 0.0],
        [0.0, 0.0, 1.0],
    ]


def test_half_turn_about_x():
    q = Quat.from_axis_angle(Vec3d(1, 0, 0), AngleRadians.pi())
    assert vec(q.rotate(Vec3d(0, 1, 0))) == (0.0, -1.0, 1.2246467991473532e-16)


@pytest.mark.parametrize(
    "axis, angle, v",
    [((0, 0, 1), 0.3, (1.0, 2.0, 3.0)), ((0.6, 0.0, 0.8), 1.1, (-2.0, 0.5, 4.0)),
     ((1, 0, 0), -2.0, (0.0, 1.0, 1.0))],
)
def test_matrix_transpose_agrees_with_rotate(axis, angle, v):
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(angle))
    rows = q.to_rotation_matrix()
    transposed = [sum(rows[r][c] * v[r] for r in range(3)) for c in range(3)]
    assert vec(q.rotate(Vec3d(*v))) == pytest.approx(transposed, abs=1e-14)


@pytest.mark.parametrize("theta", [0.5, 1.0, 3.0, 6.0])
def test_to_axis_angle_returns_the_negated_axis(theta):
    n = (0.0, 0.6, 0.8)
    axis, angle = Quat.from_axis_angle(Vec3d(*n), AngleRadians(theta)).to_axis_angle()
    assert vec(axis) == pytest.approx([-c for c in n], abs=1e-12)
    assert angle.angle == pytest.approx(theta, abs=1e-12)
    # acos never yields a negative angle: a negative theta comes back as the
    # axis itself with the positive angle.
    axis, angle = Quat.from_axis_angle(Vec3d(*n), AngleRadians(-theta)).to_axis_angle()
    assert vec(axis) == pytest.approx(n, abs=1e-12)
    assert angle.angle == pytest.approx(theta, abs=1e-12)


def test_identity_rotates_and_converts_exactly():
    q = Quat.identity()
    assert vec(q.rotate(Vec3d(1, 2, 3))) == (1.0, 2.0, 3.0)
    assert q.to_rotation_matrix() == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert q.to_vec3d() == (0.0, 0.0, 0.0)
    axis, angle = q.to_axis_angle()
    assert vec(axis) == (1.0, 0.0, 0.0) and bits(angle.angle) == bits(0.0)


@pytest.mark.parametrize("w", [1.0, 1.0 - 2.0**-53])
def test_w_within_epsilon_of_one_gives_the_x_axis(w):
    axis, angle = Quat(w, 5.0, NAN, -3.0).to_axis_angle()
    assert vec(axis) == (1.0, 0.0, 0.0) and angle.angle == 0.0


@pytest.mark.parametrize("w", [1.0 + 2.0**-52, 1.0 - 2.0**-52])
def test_w_one_epsilon_from_one_is_not_special(w):
    axis, angle = Quat(w, 0.0, 0.0, 1.0).to_axis_angle()
    assert vec(axis) != (1.0, 0.0, 0.0)
    assert_same(angle.angle, m.to_axis_angle((w, 0.0, 0.0, 1.0))[1])


def test_zero_angle_converts_back_to_the_x_axis():
    axis, angle = Quat.from_axis_angle(Vec3d(1, 2, 3), AngleRadians.zero()).to_axis_angle()
    assert vec(axis) == (1.0, 0.0, 0.0) and angle.angle == 0.0


def test_w_of_minus_one_gives_a_full_turn():
    axis, angle = Quat(-1.0, 0.0, 0.0, 0.0).to_axis_angle()
    assert angle == AngleRadians.two_pi()


def test_zero_angle_gives_negative_zero_components():
    q = Quat.from_axis_angle(Vec3d(1, 2, 3), AngleRadians(0.0))
    assert [bits(c) for c in components(q)] == [bits(c) for c in (1.0, -0.0, -0.0, -0.0)]


def test_scaling_quaternion():
    q = Quat.identity()
    q.w = 2
    assert components(q) == (2.0, 0.0, 0.0, 0.0)
    assert vec(q.rotate(Vec3d(1, 2, 3))) == (4.0, 8.0, 12.0)


def test_axis_is_not_normalised():
    q = Quat.from_axis_angle(Vec3d(0, 0, 2), AngleRadians.half_pi())
    assert q.k == -1.414213562373095
    assert vec(q.rotate(Vec3d(1, 0, 0))) == pytest.approx((-1.5, 2.0, 0.0), abs=1e-12)


def test_magnitude_and_normalize():
    q = Quat(1, 2, 3, 4)
    assert q.magnitude() == 5.477225575051661
    assert not q.is_unit()
    assert q.normalize().magnitude() == 0.9999999999999999
    assert q.normalize().is_unit()
    zero = Quat(0, 0, 0, 0).normalize()
    assert all(math.isnan(c) for c in components(zero))
    assert not zero.is_unit()


@pytest.mark.parametrize(
    "q, unit",
    [((1.0, 0, 0, 0), True), ((1.0 - 2.0**-53, 0, 0, 0), True),
     ((1.0 + 2.0**-52, 0, 0, 0), False), ((NAN, 0, 0, 0), False), ((0.6, 0.8, 0, 0), True)],
)
def test_is_unit_is_strict(q, unit):
    assert Quat(*q).is_unit() is unit


def test_infinite_component_makes_rotate_nan():
    r = Quat(INF, 0, 0, 0).rotate(Vec3d(1, 0, 0))
    assert all(math.isnan(c) for c in vec(r))


def test_results_are_new_objects():
    q = Quat.identity()
    assert q.conjugate() is not q
    assert q.normalize() is not q.normalize()
    v = Vec3d(1, 2, 3)
    assert q.rotate(v) is not v


# --- comparison ----------------------------------------------------------------


@settings(max_examples=300)
@given(a=quats, b=quats)
def test_equality_matches_model(a, b):
    assert (Quat(*a) == Quat(*b)) is m.quat_equals(a, b)
    assert (Quat(*a) != Quat(*b)) is (not m.quat_equals(a, b))


@pytest.mark.parametrize("index", range(4))
@pytest.mark.parametrize("delta, equal", [(1e-16, True), (3e-16, False), (EPS, False), (-1e-16, True)])
def test_equality_tolerance_per_component(index, delta, equal):
    base = [0.0, 0.0, 0.0, 0.0]
    moved = list(base)
    moved[index] = delta
    assert (Quat(*base) == Quat(*moved)) is equal
    assert (Quat(*base) != Quat(*moved)) is (not equal)


def test_nan_quaternion_is_unequal_to_itself():
    q = Quat(1.0, NAN, 0.0, 0.0)
    assert not q == q
    assert q != q


@pytest.mark.parametrize("other", [(1, 0, 0, 0), [1, 0, 0, 0], 1.0, None, Vec3d(1, 0, 0), AngleRadians(1)])
def test_foreign_operands_are_unequal(other):
    q = Quat.identity()
    assert (q == other) is False
    assert (q != other) is True
    assert (other == q) is False


def test_not_equal_is_direct_not_through_equality():
    # Unlike the angle classes, Quat's != does not ask the other side's __eq__.
    assert (Quat.identity() != EqualToAll()) is True
    assert (Quat.identity() == EqualToAll()) is True


@pytest.mark.parametrize(
    "op",
    [lambda a, b: a < b, lambda a, b: a <= b, lambda a, b: a > b, lambda a, b: a >= b],
)
@pytest.mark.parametrize("other", [Quat.identity(), (1, 0, 0, 0), 1.0])
def test_orderings_raise(op, other):
    with pytest.raises(TypeError):
        op(Quat.identity(), other)


def test_quat_is_unhashable():
    q = Quat.identity()
    assert Quat.__hash__ is None
    with pytest.raises(TypeError):
        hash(q)
    with pytest.raises(TypeError):
        {q}


@pytest.mark.parametrize(
    "expr",
    [lambda q: q * q, lambda q: q + q, lambda q: q - q, lambda q: -q, lambda q: q * 2,
     lambda q: 2 * q, lambda q: q / 2, lambda q: q * Vec3d(1, 0, 0), lambda q: abs(q)],
)
def test_no_arithmetic(expr):
    with pytest.raises(TypeError):
        expr(Quat.identity())


@pytest.mark.parametrize("q", [Quat(0, 0, 0, 0), Quat(NAN, 0, 0, 0), Quat.identity()])
def test_every_quat_is_true(q):
    assert bool(q) is True


# --- text --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "q, text",
    [
        (Quat(0.5, -0.5, 0.25, 1e-7), "Quat(0.5, -0.5, 0.25, 0.0000001)"),
        (Quat(-0.0, NAN, INF, -INF), "Quat(-0, NaN, inf, -inf)"),
        (Vec3d(1, 2, 3).to_quat(), "Quat(0, 1, 2, 3)"),
    ],
)
def test_repr_examples(q, text):
    assert repr(q) == text


# --- binding: signatures and argument errors --------------------------------------


@pytest.mark.parametrize(
    "obj, signature",
    [
        (Quat, "(w, i, j, k)"),
        (Quat.identity, "()"),
        (Quat.from_axis_angle, "(axis, angle)"),
        (Quat.conjugate, "($self)"),
        (Quat.magnitude, "($self)"),
        (Quat.normalize, "($self)"),
        (Quat.is_unit, "($self)"),
        (Quat.rotate, "($self, v)"),
        (Quat.to_vec3d, "($self)"),
        (Quat.to_axis_angle, "($self)"),
        (Quat.to_rotation_matrix, "($self)"),
        (Vec3d.to_quat, "($self)"),
    ],
)
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleDegrees(90)),
         "argument 'angle': 'AngleDegrees' object cannot be cast as 'AngleRadians'"),
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), 1.5),
         "argument 'angle': 'float' object cannot be cast as 'AngleRadians'"),
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), 1),
         "argument 'angle': 'int' object cannot be cast as 'AngleRadians'"),
        (lambda: Quat.from_axis_angle((0, 0, 1), AngleRadians(1)),
         "argument 'axis': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda: Quat.from_axis_angle(Quat.identity(), 1.0),
         "argument 'axis': 'Quat' object cannot be cast as 'Vec3d'"),
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1)),
         "Quat.from_axis_angle() missing 1 required positional argument: 'angle'"),
        (lambda: Quat.from_axis_angle(),
         "Quat.from_axis_angle() missing 2 required positional arguments: 'axis' and 'angle'"),
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1), 0),
         "Quat.from_axis_angle() takes 2 positional arguments but 3 were given"),
        (lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), axis=Vec3d(0, 0, 1)),
         "Quat.from_axis_angle() got multiple values for argument 'axis'"),
        (lambda: Quat.identity().rotate((1, 2, 3)),
         "argument 'v': 'tuple' object cannot be cast as 'Vec3d'"),
        (lambda: Quat.identity().rotate(Quat.identity()),
         "argument 'v': 'Quat' object cannot be cast as 'Vec3d'"),
        (lambda: Quat.identity().rotate(),
         "Quat.rotate() missing 1 required positional argument: 'v'"),
        (lambda: Quat.identity().rotate(vector=Vec3d(1, 2, 3)),
         "Quat.rotate() got an unexpected keyword argument 'vector'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_class_shape():
    assert Quat.__module__ == "builtins"
    with pytest.raises(TypeError):
        type("Sub", (Quat,), {})
    with pytest.raises(AttributeError):
        Quat.identity().x = 1.0
