"""Plain-Python reference model of the angle and quaternion arithmetic.

Every function evaluates its formula with Python floats in exactly the order
the core library does (one rounding per operation, no fused multiply-add,
sin/cos/tan/acos of the same C library, correctly rounded math.sqrt),
so property tests can compare the extension module against it bit for bit.

Angles are plain floats; vectors are (x, y, z) tuples; quaternions are
(w, i, j, k) tuples; matrices are tuples of three row tuples.
"""

import ctypes
import ctypes.util
import math

from ieee import div, float_text, within_epsilon

# Named angle constants: the doubles nearest to the exact values.
ZERO = 0.0
PI = 3.141592653589793
TWO_PI = 6.283185307179586
HALF_PI = 1.5707963267948966
QUARTER_PI = 0.7853981633974483
THIRD_PI = 1.0471975511965976
SIXTH_PI = 0.5235987755982988


# The C library's sin, cos, tan and acos, called directly: they give the
# platform's results to the last bit, NaN sign included, and never raise where
# Python's math module would (an infinity, acos outside [-1, 1]).
_libm = ctypes.CDLL(ctypes.util.find_library("m") or None)
for _name in ("sin", "cos", "tan", "acos"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = (ctypes.c_double,)
c_sin, c_cos, c_tan, c_acos = _libm.sin, _libm.cos, _libm.tan, _libm.acos
del _name

# --- angles -----------------------------------------------------------------


def radians_sin(a):
    return c_sin(a)


def radians_cos(a):
    return c_cos(a)


def radians_tan(a):
    return c_tan(a)


def radians_sec(a):
    return div(1.0, c_cos(a))


def radians_csc(a):
    return div(1.0, c_sin(a))


def radians_cot(a):
    return div(1.0, c_tan(a))


def to_degrees(a):
    """(a * 180.0) / pi: product first, then division."""
    return (a * 180.0) / PI


def to_radians(d):
    """(d * pi) / 180.0: product first, then division."""
    return (d * PI) / 180.0


def radians_add(a, b):
    return a + b


def radians_subtract(a, b):
    return a - b


def radians_scale(a, s):
    return s * a


def radians_divide(a, s):
    return div(a, s)


def negate(a):
    return -a


def radians_text(a):
    return float_text(a) + " radians"


def degrees_text(d):
    return float_text(d) + "\u00b0"


def float_text_fixed(value, precision):
    """Exactly `precision` digits after the point (rounded), with the same
    spelling of NaN and the infinities as float_text."""
    if math.isnan(value) or math.isinf(value):
        return float_text(value)
    return format(value, ".%df" % max(precision, 0))


def radians_text_fixed(a, precision):
    return float_text_fixed(a, precision) + " radians"


def degrees_text_fixed(d, precision):
    return float_text_fixed(d, precision) + "\u00b0"


def angle_to(a, b):
    """acos(d / (na * nb)) without clamping; NaN for a zero vector."""
    ax, ay, az = a
    bx, by, bz = b
    d = (ax * bx + ay * by) + az * bz
    na = math.sqrt((ax * ax + ay * ay) + az * az)
    nb = math.sqrt((bx * bx + by * by) + bz * bz)
    c = div(d, na * nb)
    return c_acos(c)


# --- quaternions ------------------------------------------------------------

IDENTITY = (1.0, 0.0, 0.0, 0.0)


def hamilton(a, b):
    """The Hamilton product a * b, each component left to right."""
    aw, ai, aj, ak = a
    bw, bi, bj, bk = b
    return (
        ((aw * bw - ai * bi) - aj * bj) - ak * bk,
        ((aw * bi + ai * bw) + aj * bk) - ak * bj,
        ((aw * bj + aj * bw) + ak * bi) - ai * bk,
        ((aw * bk + ak * bw) + ai * bj) - aj * bi,
    )


def from_axis_angle(axis, angle):
    """(cos h, sin h * x, sin h * y, sin h * z) with h = angle * (-0.5)."""
    h = angle * (-0.5)
    s = c_sin(h)
    c = c_cos(h)
    return (c, s * axis[0], s * axis[1], s * axis[2])


def conjugate(q):
    w, i, j, k = q
    return (w, -i, -j, -k)


def magnitude(q):
    w, i, j, k = q
    return math.sqrt(((w * w + i * i) + j * j) + k * k)


def normalize(q):
    w, i, j, k = q
    m = magnitude(q)
    return (div(w, m), div(i, m), div(j, m), div(k, m))


def is_unit(q):
    return within_epsilon(magnitude(q), 1.0)


def rotate(q, v):
    """Vector part of (conjugate(q) * (0.0, v)) * q."""
    p = hamilton(conjugate(q), (0.0, v[0], v[1], v[2]))
    r = hamilton(p, q)
    return (r[1], r[2], r[3])


def to_vec3d(q):
    return (q[1], q[2], q[3])


def to_axis_angle(q):
    """((x, y, z), angle); ((1, 0, 0), 0.0) when w is within epsilon of 1."""
    w, i, j, k = q
    if within_epsilon(w, 1.0):
        return ((1.0, 0.0, 0.0), 0.0)
    a = c_acos(w)
    angle = a + a
    s = c_sin(angle * 0.5)
    return ((div(i, s), div(j, s), div(k, s)), angle)


def to_rotation_matrix(q):
    w, i, j, k = q
    return (
        (1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - w * k), 2.0 * (i * k + w * j)),
        (2.0 * (i * j + w * k), 1.0 - 2.0 * (k * k + i * i), 2.0 * (j * k - w * i)),
        (2.0 * (i * k - w * j), 2.0 * (j * k + w * i), 1.0 - 2.0 * (j * j + i * i)),
    )


def quat_equals(a, b):
    return all(within_epsilon(x, y) for x, y in zip(a, b))


def quat_text(q):
    return "Quat(" + ", ".join(float_text(c) for c in q) + ")"


def to_quat(v):
    """The pure quaternion (+0.0, x, y, z)."""
    return (0.0, v[0], v[1], v[2])
