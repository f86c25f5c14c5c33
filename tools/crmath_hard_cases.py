"""Searches for arguments of the core's correctly rounded functions whose
exact result lies close to a rounding boundary (the midpoint of two
doubles), for tests/test_crmath.py.

    python tools/crmath_hard_cases.py [millions] [seed]

Random arguments go through the fast path alone (tarsk_interop._rotation.crmath,
path 2); those its rounding test rejects lie within about 2^-66 (relative) of a
boundary. MPFR (gmpy2, 300 bits) then measures each one's distance to the
nearest midpoint in units of the result's ulp, and the closest ones are
printed as (function, arguments, distance) with the arguments in hex.
"""
import sys

import gmpy2
import numpy as np
from gmpy2 import mpfr

from tarsk_interop import _rotation

NAMES = ("sin", "cos", "atan2", "hypot")


def fast(function, x, y):
    out = np.empty((len(x), 3))
    _rotation.crmath(out, function, 2, x, y)
    return out


def arguments(rng, function, n):
    if function < 2:
        parts = [rng.uniform(-8, 8, n // 2), rng.uniform(-1, 1, n - n // 2) * 2.0 ** rng.integers(-26, 60, n - n // 2)]
        return np.concatenate(parts), None
    x = rng.uniform(-1, 1, n) * 2.0 ** rng.integers(-40, 40, n)
    y = rng.uniform(-1, 1, n) * 2.0 ** rng.integers(-40, 40, n)
    return x, y


def distance(function, x, y):
    with gmpy2.context(precision=300, emin=-20000, emax=20000):
        a = mpfr(x)
        if function == 0:
            v = gmpy2.sin(a)
        elif function == 1:
            v = gmpy2.cos(a)
        elif function == 2:
            v = gmpy2.atan2(a, mpfr(y))
        else:
            v = gmpy2.hypot(a, mpfr(y))
        v = abs(v)
        e = gmpy2.get_exp(v)  # v in [2^(e-1), 2^e)
        ulp = mpfr(2) ** (e - 53)
        frac = v / ulp - gmpy2.floor(v / ulp)
        return float(abs(frac - mpfr("0.5")))


def main():
    millions = float(sys.argv[1]) if len(sys.argv) > 1 else 4
    rng = np.random.default_rng(int(sys.argv[2]) if len(sys.argv) > 2 else 7)
    chunk = 1_000_000
    for function in range(4):
        found = []
        for _ in range(int(millions * 1e6) // chunk):
            x, y = arguments(rng, function, chunk)
            r = fast(function, x, y)
            for i in np.nonzero(r[:, 2] == 0.0)[0]:
                xi = float(x[i])
                yi = None if y is None else float(y[i])
                found.append((distance(function, xi, yi), xi, yi))
        found.sort()
        for d, xi, yi in found[:25]:
            args = xi.hex() if yi is None else f"{xi.hex()}, {yi.hex()}"
            print(f"{NAMES[function]}\t{args}\t{d:.3e}")
        print(f"# {NAMES[function]}: {len(found)} of {int(millions * 1e6)} rejected by the rounding test",
              file=sys.stderr)


if __name__ == "__main__":
    main()
