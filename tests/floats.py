"""Shared test helpers: bit-exact comparisons of doubles, strategies of
hostile doubles, objects that probe the comparison protocol, and the
internal-failure exception class."""
import math
import struct

import pytest

from hypothesis import strategies as st

SPECIALS = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
            1.7976931348623157e308, -1.7976931348623157e308, 1.0, -1.0, 0.1, 1e300, 1e-300]


def bits(x):
    return struct.pack("<d", x)


def assert_same(actual, expected):
    """Identical doubles; for a NaN, any NaN."""
    assert type(actual) is float
    if math.isnan(expected):
        assert math.isnan(actual)
    else:
        assert bits(actual) == bits(expected)


def float_error_text(obj):
    """The interpreter's own text for a failed float conversion of obj."""
    with pytest.raises(TypeError) as info:
        math.fabs(obj)
    return str(info.value)


def same(a, b):
    """Bit-identical doubles, with any two NaNs counted as the same value
    (the model cannot always reproduce the sign of a NaN)."""
    if a != a and b != b:
        return True
    return bits(a) == bits(b)


def same_vec(v, t):
    return same(v.x, t[0]) and same(v.y, t[1]) and same(v.z, t[2])


# Any double: ordinary values of every magnitude, subnormals, signed zeros,
# infinities and NaN.
doubles = st.one_of(st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
                    st.sampled_from(SPECIALS))
# Moderate values, where most formulas give finite results.
moderate = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
components = st.one_of(moderate, doubles)
triples = st.tuples(components, components, components)


class EqualToAll:
    """Claims equality with anything and leaves != to the other side."""

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return NotImplemented

    __hash__ = None


def panic_type():
    """pyo3_runtime.PanicException, taken from a documented internal failure
    (the class is reachable only through an instance; it derives from
    BaseException)."""
    from tarsk_py import VecList

    try:
        VecList.empty().collapse(3)
    except BaseException as e:  # noqa: BLE001
        assert type(e).__name__ == "PanicException"
        return type(e)
    raise AssertionError("collapse(3) did not fail")
