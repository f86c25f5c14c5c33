"""The core's correctly rounded sin, cos, atan2 and hypot (tarsk/crmath.h)
against MPFR: every result must be the exact value rounded to the nearest
double, ties to even, bit for bit.

The functions are reached through the companion's private test entry
tarsk_interop._rotation.crmath, which evaluates one of them over a float64
array by its full method (path 0), its accurate path alone (path 1), or its
fast path alone (path 2: the double-double before rounding, and whether the
rounding test accepted it, 0 if not, -1 if the argument never takes that
path), or, for atan2 and hypot, over the whole array at once (path 3:
atan2_n and hypot_n; path 4: the same writing over a copy of the first
argument). The reference is MPFR's correctly rounded result
in the IEEE double format (53 bits, subnormals), through gmpy2.
"""
import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

gmpy2 = pytest.importorskip("gmpy2", reason="gmpy2 (MPFR) has no wheel for this interpreter")
from gmpy2 import mpfr  # noqa: E402

from tarsk_interop import _rotation  # noqa: E402

from floats import doubles  # noqa: E402

SIN, COS, ATAN2, HYPOT = range(4)
NAMES = {SIN: "sin", COS: "cos", ATAN2: "atan2", HYPOT: "hypot"}
BINARY = (ATAN2, HYPOT)
DOUBLE = gmpy2.ieee(64)  # 53 bits, the double exponent range, subnormals


def run(function, x, y=None, path=0):
    x = np.ascontiguousarray(x, dtype=np.float64)
    if y is not None:
        y = np.ascontiguousarray(y, dtype=np.float64)
    out = np.empty((len(x), 3) if path == 2 else len(x))
    _rotation.crmath(out, function, path, x, y)
    return out


def mpfr_value(function, x, y=None):
    if function == SIN:
        return gmpy2.sin(mpfr(x))
    if function == COS:
        return gmpy2.cos(mpfr(x))
    if function == ATAN2:
        return gmpy2.atan2(mpfr(x), mpfr(y))
    return gmpy2.hypot(mpfr(x), mpfr(y))


def reference(function, x, y=None):
    """MPFR's correctly rounded results as a float64 array."""
    with gmpy2.context(DOUBLE):
        if y is None:
            return np.array([float(mpfr_value(function, a)) for a in x.tolist()])
        return np.array([float(mpfr_value(function, a, b)) for a, b in zip(x.tolist(), y.tolist())])


def misrounded(function, x, y=None, path=0):
    """The arguments whose result differs from MPFR's in any bit (NaNs of
    any payload count as equal)."""
    got = run(function, x, y, path)
    want = reference(function, x, y)
    differ = got.view(np.uint64) != want.view(np.uint64)
    differ &= ~(np.isnan(got) & np.isnan(want))
    bad = np.nonzero(differ)[0]
    return [(float(x[i]).hex(), None if y is None else float(y[i]).hex(), float(got[i]).hex(), float(want[i]).hex())
            for i in bad[:10]], len(bad)


def boundary_distance(function, x, y=None):
    """How far the exact result lies from the nearest midpoint of two
    doubles, in ulps of the result (300-bit MPFR)."""
    with gmpy2.context(precision=300, emin=-20000, emax=20000):
        v = abs(mpfr_value(function, x, y))
        ulp = mpfr(2) ** max(gmpy2.get_exp(v) - 53, -1074)
        frac = v / ulp - gmpy2.floor(v / ulp)
        return float(abs(frac - mpfr("0.5")))


def random_bits(rng, n):
    """Doubles with uniformly random bit patterns: every binade, every sign,
    subnormals, and the odd infinity or NaN."""
    return rng.integers(0, 2**64, n, dtype=np.uint64).view(np.float64)


def arguments(rng, function, n):
    """A mix over the whole range: random bit patterns, the ranges where the
    rotation formulas live, and pairs of nearby magnitudes (atan2 and hypot
    near their octant and equal-argument boundaries)."""
    k = n // 4
    if function in (SIN, COS):
        x = np.concatenate([
            random_bits(rng, k),
            rng.uniform(-8.0, 8.0, k),
            rng.uniform(-1.0, 1.0, k) * 2.0 ** rng.integers(-30, 30, k),
            rng.uniform(-1.0, 1.0, n - 3 * k) * 2.0 ** rng.integers(30, 1024, n - 3 * k),
        ])
        return x, None
    x = np.concatenate([
        random_bits(rng, k),
        rng.uniform(-2.0, 2.0, k),
        rng.uniform(-1.0, 1.0, k) * 2.0 ** rng.integers(-60, 60, k),
        rng.uniform(-1.0, 1.0, n - 3 * k) * 2.0 ** rng.integers(-1074, 1024, n - 3 * k),
    ])
    y = np.concatenate([
        random_bits(rng, k),
        rng.uniform(-2.0, 2.0, k),
        x[2 * k:3 * k] * rng.uniform(0.5, 2.0, k) * rng.choice([-1.0, 1.0], k),
        rng.uniform(-1.0, 1.0, n - 3 * k) * 2.0 ** rng.integers(-1074, 1024, n - 3 * k),
    ])
    return x, y


# ---------------------------------------------------------------------------
# Random arguments over the whole range

@pytest.mark.parametrize("function", [SIN, COS, ATAN2, HYPOT], ids=NAMES.get)
def test_random_arguments_are_correctly_rounded(function):
    x, y = arguments(np.random.default_rng(2500 + function), function, 20_000)
    bad, count = misrounded(function, x, y)
    assert count == 0, bad


@pytest.mark.parametrize("function", [SIN, COS, ATAN2, HYPOT], ids=NAMES.get)
def test_the_accurate_path_alone_is_correctly_rounded(function):
    # The path the rare hard arguments take, over ordinary ones: a fault in
    # it would otherwise show only on those few arguments.
    x, y = arguments(np.random.default_rng(2600 + function), function, 3_000)
    bad, count = misrounded(function, x, y, path=1)
    assert count == 0, bad


@pytest.mark.parametrize("function", [SIN, COS, ATAN2, HYPOT], ids=NAMES.get)
def test_the_fast_path_keeps_its_error_bound(function):
    # The rounding test trusts hi + lo to within 2^-66 of the exact value
    # (relative; hypot 2^-95): a larger error would let a misrounded result
    # through on some argument that random tests never meet.
    bound = 2.0**-95 if function == HYPOT else 2.0**-66
    x, y = arguments(np.random.default_rng(2700 + function), function, 4_000)
    fast = run(function, x, y, path=2)
    taken = (fast[:, 2] >= 0).sum()
    assert taken > len(x) // 2
    worst = 0.0
    with gmpy2.context(precision=200, emin=-20000, emax=20000):
        for i in range(len(x)):
            hi, lo = fast[i, 0], fast[i, 1]
            if fast[i, 2] < 0:
                continue
            exact = mpfr_value(function, float(x[i]), None if y is None else float(y[i]))
            if exact == 0 or not gmpy2.is_finite(exact):
                continue
            worst = max(worst, float(abs((mpfr(hi) + mpfr(lo) - exact) / exact)))
    assert worst < bound, worst


def test_sincos_gives_the_results_of_sin_and_cos():
    # One reduction and one table row for both: each result must still be
    # the correctly rounded one, with its own quadrant and sign.
    x, _ = arguments(np.random.default_rng(2550), SIN, 20_000)
    x = np.concatenate([x, [0.0, -0.0, TINY, 2.0**-27, -2.0**-26, INF, NAN, 6381956970095103.0 * 2.0**797]])
    for part, function in ((4, SIN), (5, COS)):
        got = run(part, x)
        want = reference(function, x)
        same = (got.view(np.uint64) == want.view(np.uint64)) | (np.isnan(got) & np.isnan(want))
        assert same.all(), [float(v).hex() for v in x[~same][:5]]


# ---------------------------------------------------------------------------
# Special values (C99 Annex F)

PI, HALF_PI, QUARTER_PI = math.pi, math.pi / 2, math.pi / 4
THREE_QUARTER_PI = float.fromhex("0x1.2d97c7f3321d2p+1")
INF, NAN = math.inf, math.nan
TINY = 5e-324


def bits(v):
    return struct.pack("<d", v)


@pytest.mark.parametrize("function, args, want", [
    (SIN, (0.0,), 0.0), (SIN, (-0.0,), -0.0), (SIN, (TINY,), TINY), (SIN, (-TINY,), -TINY),
    (SIN, (2.2250738585072014e-308,), 2.2250738585072014e-308), (SIN, (INF,), NAN), (SIN, (-INF,), NAN),
    (SIN, (NAN,), NAN),
    (COS, (0.0,), 1.0), (COS, (-0.0,), 1.0), (COS, (TINY,), 1.0), (COS, (INF,), NAN), (COS, (NAN,), NAN),
    (ATAN2, (0.0, 0.0), 0.0), (ATAN2, (-0.0, 0.0), -0.0), (ATAN2, (0.0, -0.0), PI), (ATAN2, (-0.0, -0.0), -PI),
    (ATAN2, (0.0, -1.0), PI), (ATAN2, (-0.0, -1.0), -PI), (ATAN2, (0.0, 1.0), 0.0), (ATAN2, (-0.0, 1.0), -0.0),
    (ATAN2, (1.0, 0.0), HALF_PI), (ATAN2, (1.0, -0.0), HALF_PI), (ATAN2, (-1.0, 0.0), -HALF_PI),
    (ATAN2, (1.0, INF), 0.0), (ATAN2, (-1.0, INF), -0.0), (ATAN2, (1.0, -INF), PI), (ATAN2, (-1.0, -INF), -PI),
    (ATAN2, (INF, 1.0), HALF_PI), (ATAN2, (-INF, -1.0), -HALF_PI), (ATAN2, (INF, INF), QUARTER_PI),
    (ATAN2, (-INF, INF), -QUARTER_PI), (ATAN2, (INF, -INF), THREE_QUARTER_PI),
    (ATAN2, (-INF, -INF), -THREE_QUARTER_PI), (ATAN2, (0.0, INF), 0.0), (ATAN2, (-0.0, -INF), -PI),
    (ATAN2, (NAN, 1.0), NAN), (ATAN2, (1.0, NAN), NAN), (ATAN2, (INF, NAN), NAN),
    (ATAN2, (TINY, 1e300), 0.0), (ATAN2, (-TINY, -1e300), -PI), (ATAN2, (1e300, TINY), HALF_PI),
    (HYPOT, (INF, NAN), INF), (HYPOT, (NAN, -INF), INF), (HYPOT, (-INF, 1.0), INF), (HYPOT, (NAN, 1.0), NAN),
    (HYPOT, (0.0, -0.0), 0.0), (HYPOT, (-0.0, -3.0), 3.0), (HYPOT, (-3.0, 4.0), 5.0),
    (HYPOT, (TINY, TINY), TINY), (HYPOT, (3 * TINY, 4 * TINY), 5 * TINY),
    (HYPOT, (1.7976931348623157e308, 1.7976931348623157e308), INF),
    (HYPOT, (1.7976931348623157e308, 1.0), 1.7976931348623157e308),
])
def test_special_values(function, args, want):
    x = np.array([args[0]])
    y = np.array([args[1]]) if len(args) > 1 else None
    for path in (0, 1):
        got = float(run(function, x, y, path)[0])
        if math.isnan(want):
            assert math.isnan(got)
        else:
            assert bits(got) == bits(want), (path, got, want)


def test_special_values_agree_with_mpfr():
    # The table above, and every pair of a set of hostile values, as MPFR
    # rounds them (the quadrant rules of atan2 at zeros and infinities).
    values = [0.0, -0.0, TINY, -TINY, 2.2250738585072014e-308, 1e-300, 0.5, 1.0, -1.0, 3.0, 1e300,
              1.7976931348623157e308, -1.7976931348623157e308, INF, -INF, NAN]
    x = np.array([a for a in values for _ in values])
    y = np.array([b for _ in values for b in values])
    for function in (SIN, COS):
        bad, count = misrounded(function, np.array(values))
        assert count == 0, (NAMES[function], bad)
    for function in BINARY:
        bad, count = misrounded(function, x, y)
        assert count == 0, (NAMES[function], bad)


# ---------------------------------------------------------------------------
# Hard cases: arguments whose exact result lies next to a rounding boundary

def cubic_crossings(kind, exponents, per_binade=6):
    """Arguments x = M 2^(e-52) in [2^e, 2^(e+1)) at which the gap between
    x and sin x = x - x^3/6 + ... or atan x = x - x^3/3 + ... (or between 1
    and cos x = 1 - x^2/2 + ...) is nearest to half an ulp plus whole ulps:
    the exact result then lies within about 2^-52 ulp of a midpoint. Found
    by solving for each crossing in MPFR and trying the integers M around
    it."""
    f = {"sin": gmpy2.sin, "cos": gmpy2.cos, "atan": gmpy2.atan}[kind]
    found = []
    with gmpy2.context(precision=300, emin=-20000, emax=20000):
        def ulps(v):
            value = f(v)
            gap = 1 - value if kind == "cos" else v - value
            return gap / mpfr(2) ** (gmpy2.get_exp(value) - 53)

        for e in exponents:
            lo, hi = mpfr(2) ** e, mpfr(2) ** (e + 1) * (1 - mpfr(2) ** -60)
            first = int(gmpy2.floor(ulps(lo) - mpfr("0.5"))) + 1
            last = int(gmpy2.floor(ulps(hi) - mpfr("0.5")))
            for k in range(first, last + 1)[:per_binade]:
                target = mpfr(k) + mpfr("0.5")
                a, b = lo, hi
                for _ in range(110):
                    mid = (a + b) / 2
                    if ulps(mid) < target:
                        a = mid
                    else:
                        b = mid
                m = int(gmpy2.floor(a / mpfr(2) ** (e - 52)))
                found += [float(mpfr(c) * mpfr(2) ** (e - 52)) for c in range(m - 1, m + 3)]
    return found


# Found with tools/crmath_hard_cases.py: random arguments that the fast
# path's rounding test rejects, those closest to a midpoint by MPFR.
SEARCHED = {
    SIN: ["-0x1.c1aa828fc5a64p+2", "-0x1.60e189c628d58p+52", "-0x1.80ff4989e69b4p+2", "0x1.cff042d38366cp+1"],
    COS: ["-0x1.6a09e6ccde670p-27", "-0x1.462451a5444dcp+57", "0x1.c7d5ecc4580dcp+1", "0x1.8382680815fe8p-3"],
    ATAN2: [("0x1.395aa74d7d794p+6", "0x1.2905e57debae0p-12"), ("-0x1.671f91e34e618p-38", "0x1.3cb44e947d630p-24"),
            ("-0x1.c4b434918fe90p-1", "0x1.dc71e4bfd0864p+0"), ("-0x1.9a6b91d216ec0p-19", "0x1.73ada926d4cc2p-13")],
}


def pythagorean_ties():
    """(a, b) with a^2 + b^2 = c^2, c an odd integer of 54 bits: c is the
    midpoint of two doubles, which hypot rounds to the even one."""
    pairs = []
    for m in range(96_040_000, 96_040_040):
        n0 = round(m * 0.41421356)
        for n in (n0 - 1, n0, n0 + 1):
            if (m - n) % 2 == 0 or math.gcd(m, n) != 1:
                continue
            a, b, c = m * m - n * n, 2 * m * n, m * m + n * n
            if c.bit_length() == 54 and a < 2**53 and b < 2**53:
                pairs.append((float(a), float(b)))
    return pairs


def hard_cases():
    cases = {
        SIN: cubic_crossings("sin", range(-26, -21)),
        COS: cubic_crossings("cos", range(-27, -24)),
    }
    atan = cubic_crossings("atan", range(-26, -22))
    # atan2(x, 1) = atan x, also with both scaled far up and down, where the
    # scaling into the working range must stay exact.
    cases[ATAN2] = ([(x, 1.0) for x in atan] + [(x * 2.0**900, 2.0**900) for x in atan[:12]] +
                    [(x * 2.0**-1000, 2.0**-1000) for x in atan[:12]])
    for function in (SIN, COS):
        cases[function] += [float.fromhex(h) for h in SEARCHED[function]]
    cases[ATAN2] += [tuple(float.fromhex(v) for v in pair) for pair in SEARCHED[ATAN2]]
    # The double closest to a multiple of pi/2: the most cancelling reduction.
    worst = 6381956970095103.0 * 2.0**797
    cases[SIN] += [worst, -worst]
    cases[COS] += [worst, -worst]
    ties = pythagorean_ties()
    cases[HYPOT] = (ties + [(a * 2.0**-1060, b * 2.0**-1060) for a, b in ties[:5]] +
                    [(a * 2.0**-1122, b * 2.0**-1122) for a, b in ties[:5]] +
                    [(-a * 2.0**970, b * 2.0**970) for a, b in ties[:5]])
    return cases


@pytest.mark.parametrize("function", [SIN, COS, ATAN2, HYPOT], ids=NAMES.get)
def test_hard_cases_are_correctly_rounded(function):
    cases = hard_cases()[function]
    if function in BINARY:
        x, y = np.array([c[0] for c in cases]), np.array([c[1] for c in cases])
    else:
        x, y = np.array(cases), None
    # They are hard: the closest lie on a midpoint (hypot) or within 2^-40
    # ulp of one, far inside what the fast path can decide.
    close = min(boundary_distance(function, float(x[i]), None if y is None else float(y[i]))
                for i in range(len(x)))
    assert close < 2.0**-40, close
    fast = run(function, x, y, path=2)
    assert (fast[:, 2] == 0.0).sum() >= 5  # the rounding test sends them on
    for path in (0, 1):
        bad, count = misrounded(function, x, y, path=path)
        assert count == 0, (path, bad)


def test_arguments_next_to_multiples_of_half_pi():
    # The doubles nearest to k pi/2 leave a reduced argument far below the
    # argument itself, where the reduction must keep its relative accuracy:
    # below 2^20 (Cody and Waite's reduction, which hands reduced arguments
    # under 2^-30 to the exact one), at the switch and far above it.
    ks = list(range(1, 200)) + [2**19 + 1, 667544, 667545, 2**20 - 1, 2**20, 2**20 + 1, 10**9 + 7, 2**40 + 3]
    with gmpy2.context(precision=300, emin=-20000, emax=20000):
        half_pi = gmpy2.const_pi() / 2
        near = [float(mpfr(k) * half_pi) for k in ks]
    x = np.array(near + [math.nextafter(v, math.inf) for v in near] + [math.nextafter(v, 0.0) for v in near])
    x = np.concatenate([x, -x])
    for function in (SIN, COS):
        for path in (0, 1):
            bad, count = misrounded(function, x, path=path)
            assert count == 0, (NAMES[function], path, bad)


def test_tiny_atan2_quotients_round_to_nearest_with_ties_toward_zero():
    # Below 2^-599, atan2(y, x) for x > 0 is y/x less a relative 2^-1198:
    # an exact quotient on a midpoint rounds toward zero (where atan lies),
    # in the subnormals too.
    y = np.array([3 * TINY, TINY, 5 * TINY, 3 * TINY, 1.5, -1.5, 2.0**-600 * 3, 7 * TINY])
    x = np.array([2.0, 2.0, 2.0, 4.0, 2.0**1022, 2.0**1022, 2.0, 1.0])
    bad, count = misrounded(ATAN2, x=y, y=x)
    assert count == 0, bad
    bad, count = misrounded(ATAN2, x=y, y=x, path=1)
    assert count == 0, bad


# ---------------------------------------------------------------------------
# Millions of random arguments, once

@pytest.mark.slow
@pytest.mark.parametrize("function", [SIN, COS, ATAN2, HYPOT], ids=NAMES.get)
def test_millions_of_random_arguments_are_correctly_rounded(function):
    rng = np.random.default_rng(2800 + function)
    total = 0
    for _ in range(10):
        x, y = arguments(rng, function, 200_000)
        bad, count = misrounded(function, x, y)
        assert count == 0, bad
        total += len(x)
    assert total == 2_000_000


# ---------------------------------------------------------------------------
# atan2_n and hypot_n: many pairs at once, the bits of one at a time

# Pairs next to each other share the vector lanes: any value beside any
# other, the hostile ones (zeros, subnormals, infinities, NaN, huge and tiny
# ratios) among ordinary ones, with and without a lane group's tail.
_pair_value = st.one_of(doubles, st.floats(-2.0, 2.0), st.sampled_from([TINY, -TINY, 2.0**-600, 2.0**600, 1e-160,
                                                                         1e160, 2.0**-250, 2.0**250, 2.0**400]))
_pairs = st.lists(st.tuples(_pair_value, _pair_value), max_size=23)


def _all_at_once_agree(function, x, y):
    one = run(function, x, y, path=0).view(np.uint64)
    for path in (3, 4):
        many = run(function, x, y, path=path).view(np.uint64)
        bad = np.nonzero(many != one)[0]
        assert len(bad) == 0, [(float(x[i]).hex(), float(y[i]).hex(), path) for i in bad[:5]]


@settings(max_examples=300, deadline=None)
@given(pairs=_pairs, function=st.sampled_from(BINARY))
def test_many_pairs_at_once_give_the_bits_of_one_at_a_time(pairs, function):
    x = np.array([p[0] for p in pairs], dtype=np.float64)
    y = np.array([p[1] for p in pairs], dtype=np.float64)
    _all_at_once_agree(function, x, y)


@pytest.mark.parametrize("function", BINARY, ids=NAMES.get)
def test_many_pairs_at_once_round_like_one_at_a_time(function):
    # The whole range, and the hard cases whose lanes fail the fast rounding
    # test and are redone one at a time, at every position in a lane group.
    x, y = arguments(np.random.default_rng(24), function, 40_000)
    _all_at_once_agree(function, x, y)
    hard = hard_cases()[function]
    hx, hy = np.array([c[0] for c in hard]), np.array([c[1] for c in hard])
    for shift in range(4):
        _all_at_once_agree(function, np.concatenate([np.ones(shift), hx]), np.concatenate([np.ones(shift), hy]))
