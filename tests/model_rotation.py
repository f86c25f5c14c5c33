"""Plain-Python models of the rotation algebra's element formulas, each
operation rounded as the native code rounds it (Python floats are IEEE
doubles; sin, cos and atan2 are correctly rounded, as the core's are, here
by MPFR; math.sqrt is correctly rounded). Quaternions are tuples (w, i, j, k)
in tarsk's storage."""
import math

import gmpy2

_DOUBLE = gmpy2.ieee(64)


def _rounded(f, *args):
    with gmpy2.context(_DOUBLE):
        return float(f(*(gmpy2.mpfr(a) for a in args)))


def sin(x):
    return _rounded(gmpy2.sin, x)


def cos(x):
    return _rounded(gmpy2.cos, x)


def atan2(y, x):
    return _rounded(gmpy2.atan2, y, x)


def hypot(x, y):
    return _rounded(gmpy2.hypot, x, y)

MASK = (1 << 64) - 1


def in_range(v):
    """v itself when its sum of squares lies in [2^-1000, 2^1000], else v
    times the power of two that brings its largest component to [0.5, 1)."""
    n2 = 0.0
    for c in v:
        n2 = n2 + c * c
    if 2.0**-1000 <= n2 <= 2.0**1000:
        return tuple(v)
    e = math.frexp(max(abs(c) for c in v))[1]
    return tuple(math.ldexp(c, -e) for c in v)


def normalize(q):
    q = in_range(q)
    m = math.sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3])
    return tuple(c / m for c in q)


def hamilton(a, b):
    aw, ai, aj, ak = a
    bw, bi, bj, bk = b
    return (((aw * bw - ai * bi) - aj * bj) - ak * bk,
            ((aw * bi + ai * bw) + aj * bk) - ak * bj,
            ((aw * bj + aj * bw) + ak * bi) - ai * bk,
            ((aw * bk + ak * bw) + ai * bj) - aj * bi)


def compose(p, q):
    return hamilton(q, p)


def to_matrix(q):
    w, i, j, k = normalize(q)
    rows = [[1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - w * k), 2.0 * (i * k + w * j)],
            [2.0 * (i * j + w * k), 1.0 - 2.0 * (k * k + i * i), 2.0 * (j * k - w * i)],
            [2.0 * (i * k - w * j), 2.0 * (j * k + w * i), 1.0 - 2.0 * (j * j + i * i)]]
    return [[rows[c][r] for c in range(3)] for r in range(3)]


def from_textbook(w, x, y, z):
    return (w, -x, -y, -z)


def from_rotvec(r):
    x, y, z = r
    angle = (x * x + y * y) + z * z
    if 2.0**-1000 <= angle <= 2.0**1000:
        angle = math.sqrt(angle)
    else:
        e = math.frexp(max(abs(x), abs(y), abs(z)))[1]
        sx, sy, sz = (math.ldexp(c, -e) for c in r)
        angle = math.ldexp(math.sqrt((sx * sx + sy * sy) + sz * sz), e)
    if angle <= 1e-3:
        a2 = angle * angle
        scale = (0.5 - a2 / 48.0) + (a2 * a2) / 3840.0
    else:
        scale = sin(angle / 2.0) / angle
    return from_textbook(cos(angle / 2.0), x * scale, y * scale, z * scale)


def to_rotvec(q):
    w, i, j, k = normalize(q)
    x, y, z = -i, -j, -k
    if w < 0 or (w == 0 and (x < 0 or (x == 0 and (y < 0 or (y == 0 and z < 0))))):
        x, y, z, w = -x, -y, -z, -w
    angle = 2.0 * atan2(math.sqrt((x * x + y * y) + z * z), w)
    if angle <= 1e-3:
        a2 = angle * angle
        scale = (2.0 + a2 / 12.0) + (7.0 * (a2 * a2)) / 2880.0
    else:
        scale = angle / sin(angle / 2.0)
    return (scale * x, scale * y, scale * z)


def magnitude_angle(q):
    w, i, j, k = in_range(q)
    return 2.0 * atan2(math.sqrt((i * i + j * j) + k * k), abs(w))


def _norm4(q):
    return math.sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3])


def slerp(p, q, t):
    p = normalize(p)
    q = normalize(q)
    dot = ((p[0] * q[0] + p[1] * q[1]) + p[2] * q[2]) + p[3] * q[3]
    flip = dot < 0
    if dot == 0:
        turn = hamilton(p, (q[0], -q[1], -q[2], -q[3]))
        flip = turn[1] < 0 or (turn[1] == 0 and (turn[2] < 0 or (turn[2] == 0 and turn[3] < 0)))
    if flip:
        q = tuple(-c for c in q)
    d = tuple(a - b for a, b in zip(p, q))
    s = tuple(a + b for a, b in zip(p, q))
    between = 2.0 * atan2(_norm4(d), _norm4(s))
    sb = sin(between)
    if sb == 0.0:
        a, b = 1.0 - t, t
    else:
        a = sin((1.0 - t) * between) / sb
        b = sin(t * between) / sb
    return normalize(tuple(a * x + b * y for x, y in zip(p, q)))


def from_euler(seq, angles):
    axes = ["xyz".index(c) for c in seq.lower()]

    def elementary(axis, angle):
        h = angle * 0.5
        s = -sin(h)
        return (cos(h),) + tuple(s if n == axis else 0.0 for n in range(3))

    q = elementary(axes[0], angles[0])
    for axis, angle in zip(axes[1:], angles[1:]):
        e = elementary(axis, angle)
        q = compose(q, e) if seq.isupper() else compose(e, q)
    return q


def _mix64(z):
    z = (z + 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def random(seed, index):
    base = (_mix64(seed) + _mix64(~index & MASK)) & MASK
    base = _mix64(base)
    draw = 0
    while True:
        coords = []
        for _ in range(4):
            u = (_mix64((base + draw) & MASK) >> 11) * 2.0**-53
            coords.append(2.0 * u - 1.0)
            draw += 1
        w, x, y, z = coords
        s = ((w * w + x * x) + y * y) + z * z
        if 0.0 < s <= 1.0:
            return normalize((w, x, y, z))


def to_euler(q, seq):
    """(angles, gimbal lock): the angle-from-quaternion method on the textbook
    (x, y, z, w) normalised in that order."""
    w, i, j, k = in_range(q)
    t = [-i, -j, -k, w]
    m = math.sqrt(((t[0] * t[0] + t[1] * t[1]) + t[2] * t[2]) + t[3] * t[3])
    t = [c / m for c in t]
    extrinsic = seq.islower()
    axes = ["xyz".index(c) for c in seq.lower()]
    a0, b0, c0 = (axes[0], axes[1], axes[2]) if extrinsic else (axes[2], axes[1], axes[0])
    symmetric = a0 == c0
    if symmetric:
        c0 = 3 - a0 - b0
    sign = float((a0 - b0) * (b0 - c0) * (c0 - a0) // 2)
    if symmetric:
        a, b, c, d = t[3], t[a0], t[b0], t[c0] * sign
    else:
        a, b, c, d = t[3] - t[b0], t[a0] + t[c0] * sign, t[b0] + t[3], t[c0] * sign - t[a0]
    half_sum = atan2(b, a)
    half_diff = atan2(d, c)
    angles = [0.0, 0.0, 0.0]
    angles[1] = 2.0 * atan2(hypot(c, d), hypot(a, b))
    near_zero = abs(angles[1]) <= 1e-7
    near_pi = abs(angles[1] - math.pi) <= 1e-7
    regular = not (near_zero or near_pi)
    first, third = (0, 2) if extrinsic else (2, 0)
    angles[0] = 2.0 * half_sum if near_zero else (2.0 * half_diff) * (-1.0 if extrinsic else 1.0)
    if regular:
        angles[first] = half_sum - half_diff
    last = half_sum + half_diff if regular else angles[third]
    if not symmetric:
        last = last * sign
        angles[1] = angles[1] - math.pi / 2.0
    angles[third] = last
    for n in range(3):
        if angles[n] < -math.pi:
            angles[n] = angles[n] + 2.0 * math.pi
        elif angles[n] > math.pi:
            angles[n] = angles[n] - 2.0 * math.pi
    return tuple(angles), not regular
