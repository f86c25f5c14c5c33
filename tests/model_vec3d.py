"""Plain-Python model of the vector formulas, evaluated in the same order of
operations as the native code (Python floats never fuse or reassociate)."""
import math

from ieee import EPSILON, div, float_text, sqrt


def add(a, b):
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def scale(a, s):
    return (a[0] * s, a[1] * s, a[2] * s)


def divide(a, s):
    return (div(a[0], s), div(a[1], s), div(a[2], s))


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def magnitude(a):
    return sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])


def normalize(a):
    m = magnitude(a)
    return (div(a[0], m), div(a[1], m), div(a[2], m))


def is_unit(a):
    return abs(magnitude(a) - 1.0) < EPSILON


def distance_squared(a, b):
    d = sub(a, b)
    return (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]


def distance_to(a, b):
    return sqrt(distance_squared(a, b))


def distance_to_line(p, a, b):
    d = sub(b, a)
    w = sub(p, a)
    t = div((d[0] * w[0] + d[1] * w[1]) + d[2] * w[2], (d[0] * d[0] + d[1] * d[1]) + d[2] * d[2])
    f = (a[0] + d[0] * t, a[1] + d[1] * t, a[2] + d[2] * t)
    r = sub(p, f)
    return sqrt((r[0] * r[0] + r[1] * r[1]) + r[2] * r[2])


def project_onto_line(p, line_r, line_q):
    g = sub(line_r, line_q)
    v = sub(line_q, p)
    t = div((g[0] * v[0] + g[1] * v[1]) + g[2] * v[2], (g[0] * g[0] + g[1] * g[1]) + g[2] * g[2])
    return (line_q[0] - g[0] * t, line_q[1] - g[1] * t, line_q[2] - g[2] * t)


def project_onto_plane(p, normal):
    h = dot(p, normal)
    return (p[0] - normal[0] * h, p[1] - normal[1] * h, p[2] - normal[2] * h)


def scalar_triple_product(a, b, c):
    e = cross(b, c)
    return (e[0] * a[0] + a[1] * e[1]) + e[2] * a[2]


def equals(a, b):
    return all(abs(x - y) < EPSILON for x, y in zip(a, b))


def vec3d_text(v):
    return "Vec3d(" + ", ".join(float_text(c) for c in v) + ")"
