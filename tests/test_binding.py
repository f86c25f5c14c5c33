"""The binding conventions every class shares: argument binding and its exact
errors, the conversions and the argument-error rule, the borrow state, and
the operator protocol. Exercised through Vec3d, the class every other one
builds on."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from tarsk_py import Vec3d


@pytest.mark.parametrize("call, message", [
    (lambda: Vec3d(1, 2), "Vec3d.__new__() missing 1 required positional argument: 'z'"),
    (lambda: Vec3d(1), "Vec3d.__new__() missing 2 required positional arguments: 'y' and 'z'"),
    (lambda: Vec3d(), "Vec3d.__new__() missing 3 required positional arguments: 'x', 'y', and 'z'"),
    (lambda: Vec3d(y=1), "Vec3d.__new__() missing 2 required positional arguments: 'x' and 'z'"),
    (lambda: Vec3d(1, 2, 3, 4), "Vec3d.__new__() takes 3 positional arguments but 4 were given"),
    (lambda: Vec3d(1, 2, 3, w=4), "Vec3d.__new__() got an unexpected keyword argument 'w'"),
    (lambda: Vec3d(1, 2, 3, x=1), "Vec3d.__new__() got multiple values for argument 'x'"),
    (lambda: Vec3d(1, 2, y=2, x=1), "Vec3d.__new__() got multiple values for argument 'y'"),
    (lambda: Vec3d(1, 1, 1).dot(), "Vec3d.dot() missing 1 required positional argument: 'other'"),
    (lambda: Vec3d(1, 1, 1).dot(Vec3d.i(), Vec3d.j()),
     "Vec3d.dot() takes 1 positional arguments but 2 were given"),
    (lambda: Vec3d(1, 1, 1).dot(other=Vec3d.i(), nope=1),
     "Vec3d.dot() got an unexpected keyword argument 'nope'"),
    (lambda: Vec3d(1, 1, 1).dot(Vec3d.i(), other=Vec3d.j()),
     "Vec3d.dot() got multiple values for argument 'other'"),
    (lambda: Vec3d.new_from_to(Vec3d.i()), "Vec3d.new_from_to() missing 1 required positional argument: 'to'"),
    (lambda: Vec3d(1, 1, 1).distance_to_line(),
     "Vec3d.distance_to_line() missing 2 required positional arguments: 'a' and 'b'"),
    (lambda: Vec3d(1, 1, 1).dot(1), "argument 'other': 'int' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d(1, 1, 1).dot((1, 2, 3)), "argument 'other': 'tuple' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d(1, 1, 1).cross(None), "argument 'other': 'NoneType' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d(1, 1, 1).distance_to_line(Vec3d.i(), np.zeros(3)),
     "argument 'b': 'ndarray' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d("a", 1, 1), "argument 'x': must be real number, not str"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def _type_named(qualname):
    cls = type("Named", (), {})
    cls.__qualname__ = qualname
    return cls()


@pytest.mark.parametrize("call, message", [
    (lambda: Vec3d(1, 1, 1).dot(**{"other\x00": Vec3d.i()}),
     "Vec3d.dot() got an unexpected keyword argument 'other\x00'"),
    (lambda: Vec3d(1, 2, **{"z\x00": 3, "z": 3}), "Vec3d.__new__() got an unexpected keyword argument 'z\x00'"),
    (lambda: Vec3d(1, 1, 1).dot(**{"\udc80": 1}), "Vec3d.dot() got an unexpected keyword argument '\udc80'"),
    (lambda: Vec3d(1, 1, 1).dot(_type_named("A\x00B")), "argument 'other': 'A\x00B' object cannot be cast as 'Vec3d'"),
    (lambda: Vec3d(1, 1, 1).cross(_type_named("\udc80.x")),
     "argument 'other': '\udc80.x' object cannot be cast as 'Vec3d'"),
])
def test_messages_keep_names_whole(call, message):
    # Keywords and qualified type names reach the message as they are, NUL
    # characters and lone surrogates included.
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_in_any_order_and_dict():
    assert Vec3d.new_from_to(**{"from": Vec3d.i(), "to": Vec3d.j()}).to_array() == [-1.0, 1.0, 0.0]
    assert Vec3d(1, 1, 1).scalar_triple_product(c=Vec3d.k(), b=Vec3d.j()) == 1.0
    with pytest.raises(TypeError):
        Vec3d(**{1: 2})  # the interpreter refuses non-str keyword names


def test_noargs_methods_refuse_arguments():
    with pytest.raises(TypeError):
        Vec3d(1, 2, 3).magnitude(1)
    with pytest.raises(TypeError):
        Vec3d.zero(1)


class Floaty:
    """An object whose __float__ does whatever the test asks."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


class Indexy:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def raise_(exc):
    raise exc


def test_float_conversion_accepts_numeric_types():
    v = Vec3d(np.float64(1.5), np.float32(2.5), np.int64(3))
    assert v.to_array() == [1.5, 2.5, 3.0]
    assert Vec3d(Floaty(lambda: 4.0), Indexy(lambda: 5), np.bool_(True)).to_array() == [4.0, 5.0, 1.0]
    assert Vec3d(1, 1, 1) * np.float32(2) is not NotImplemented


def test_argument_error_rule():
    # An exact TypeError gets the argument prefix and keeps its cause.
    root = ValueError("root cause")

    def typeerror_with_cause():
        raise TypeError("inner text") from root

    with pytest.raises(TypeError) as info:
        Vec3d(1, Floaty(typeerror_with_cause), 3)
    assert str(info.value) == "argument 'y': inner text"
    assert info.value.__cause__ is root

    # A subclass of TypeError, and any other exception, pass unchanged.
    class MyTypeError(TypeError):
        pass

    for exc in (MyTypeError("sub"), RuntimeError("rt"), ZeroDivisionError("zd"), KeyError("k")):
        with pytest.raises(type(exc)) as info:
            Vec3d(Floaty(lambda exc=exc: raise_(exc)), 1, 1)
        assert info.value is exc

    # __float__ returning the wrong type is the interpreter's TypeError, prefixed.
    # The interpreter's own text: "__float__ returned non-float (type str)"
    # up to 3.14, "Floaty.__float__() must return a float, not str" from 3.15.
    with pytest.raises(TypeError, match=r"^argument 'z': .*__float__(\(\) must return a float| returned non-float)"):
        Vec3d(1, 2, Floaty(lambda: "nope"))

    # Conversion stops at the first failure: later arguments are not converted.
    seen = []
    with pytest.raises(TypeError, match="^argument 'x': "):
        Vec3d("bad", Floaty(lambda: seen.append("y") or 1.0), 1)
    assert seen == []


def test_numpy_bool_is_recognised_on_every_call():
    # A type is numpy's boolean scalar while its module and name say so; the
    # first one accepted is not remembered beyond that. A fresh interpreter,
    # so that the type is the first of its kind the module sees.
    code = textwrap.dedent("""
        from tarsk_py import Vec3d, geometry
        circle = geometry.Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))

        def answer(value):
            try:
                return geometry.circle_point(circle, Vec3d(0.5, 0, 0), value)
            except TypeError as exc:
                return str(exc)

        Fake = type("bool_", (), {"__bool__": lambda self: True})
        Fake.__module__ = "numpy"
        print(answer(Fake()))
        Fake.__module__ = "numpy\\x00 elsewhere"
        print(answer(Fake()))
        Fake.__module__, Fake.__name__ = "numpy", "int8"
        print(answer(Fake()))
        Fake.__name__ = "bool"
        print(answer(Fake()))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    refused = "argument 'inner': 'bool_' object cannot be cast as 'bool'"
    assert out.splitlines() == ["True", refused, refused, "True"]  # __qualname__ stays


def test_index_conversion():
    v = Vec3d(1, 2, 3)
    assert v[Indexy(lambda: 2)] == 3.0
    assert v[np.int64(1)] == 2.0
    with pytest.raises(OverflowError):
        v[Indexy(lambda: -1)]
    with pytest.raises(OverflowError):
        v[2 ** 64]
    with pytest.raises(RuntimeError, match="^inner$"):
        v[Indexy(lambda: raise_(RuntimeError("inner")))]
    # The interpreter's own text: "__index__ returned non-int (type float)"
    # up to 3.14, "__index__() must return an int, not float" from 3.15.
    with pytest.raises(TypeError, match=r"^argument 'index': .*__index__(\(\) must return an int| returned non-int)"):
        v[Indexy(lambda: 1.0)]


def test_binary_operators_discard_conversion_errors():
    v = Vec3d(1, 2, 3)
    calls = []

    def failing():
        calls.append(1)
        raise ValueError("not a number")

    # A failed conversion answers NotImplemented: the interpreter's TypeError,
    # never the conversion's own exception.
    with pytest.raises(TypeError, match="unsupported operand"):
        v * Floaty(failing)
    assert calls  # the conversion was attempted (forward and reflected forms)
    assert v.__mul__("x") is NotImplemented
    assert v.__add__(1) is NotImplemented
    with pytest.raises(TypeError, match="unsupported operand"):
        v / Floaty(failing)
    assert (v * Floaty(lambda: 2.0)).to_array() == [2.0, 4.0, 6.0]
    assert (Floaty(lambda: 3.0) * v).to_array() == [3.0, 6.0, 9.0]


def test_borrow_state_is_observed_by_code_run_during_a_call():
    v = Vec3d(1, 2, 3)
    seen = {}

    def read_receiver():
        seen["x"] = v.x  # shared access beside the call's shared access: fine
        return 2.0

    assert (v * Floaty(read_receiver)).to_array() == [2.0, 4.0, 6.0]
    assert seen["x"] == 1.0

    def write_receiver():
        try:
            v.x = 100.0  # exclusive access while the call holds the vector
        except RuntimeError as exc:
            seen["error"] = str(exc)
        return 2.0

    assert (v / Floaty(write_receiver)).to_array() == [0.5, 1.0, 1.5]
    assert seen["error"] == "Already borrowed"
    assert v.x == 1.0

    # Outside any call the setter works.
    v.x = 100.0
    assert v.x == 100.0


def test_comparison_with_foreign_objects():
    v = Vec3d(1, 2, 3)

    class Other:
        def __eq__(self, other):
            return "decided"

        __hash__ = None

    assert (v == Other()) == "decided"
    assert (v == 1) is False and (v != 1) is True
    with pytest.raises(TypeError, match="not supported between instances of 'builtins.Vec3d' and 'int'"):
        v < 1


def test_unsupported_operand_texts_name_qualified_types():
    with pytest.raises(TypeError, match=r"'builtins\.Vec3d' and 'int'"):
        Vec3d(1, 2, 3) + 1
    with pytest.raises(TypeError, match=r"'int' and 'builtins\.Vec3d'"):
        1 - Vec3d(1, 2, 3)
