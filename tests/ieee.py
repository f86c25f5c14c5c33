"""IEEE double arithmetic for the plain-Python models, where Python's own
operators would raise or lose a bit: division by zero, square roots of
negative numbers, the tolerance test and the float text form."""
import math
from decimal import Decimal

# The one tolerance of the library: the machine epsilon of a double.
EPSILON = 2.0**-52

# The NaN the hardware produces for an invalid operation such as 0/0 (inf - inf
# is computed by the hardware, so it yields the same value, sign included).
INVALID = math.inf - math.inf


def div(x, y):
    """x / y with the IEEE result for a zero divisor: a signed infinity, the
    NaN x itself, or the invalid-operation NaN for 0/0."""
    if y == 0.0:
        if math.isnan(x):
            return x
        if x == 0.0:
            return INVALID
        negative = (math.copysign(1.0, x) < 0) != (math.copysign(1.0, y) < 0)
        return -math.inf if negative else math.inf
    return x / y


def sqrt(x):
    """Correctly rounded square root; NaN for a negative number (-0.0 stays -0.0)."""
    if x < 0.0:
        return INVALID
    return math.sqrt(x)


def within_epsilon(a, b):
    """|a - b| < epsilon, strict, so a NaN never passes."""
    return abs(a - b) < EPSILON


def float_text(value):
    """Shortest round-trip digits, positional, "NaN", "inf", "-inf", "-0"."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    # repr gives the shortest round-trip digits; Decimal lays them out
    # positionally without trailing zeros.
    return sign + format(Decimal(repr(abs(value))).normalize(), "f")
