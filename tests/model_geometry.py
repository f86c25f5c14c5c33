"""Reference model of the core planes, circles and intersections.

Plain Python floats, evaluated operation by operation in the same order as the
C++ core, so its results can be compared with the module bit for bit.
Vectors are 3-tuples (x, y, z); a plane is (normal, distance); a circle is
(center, radius, normal). Division by zero and square roots of negative
numbers give the IEEE results (infinities, NaN) instead of raising. The sign
and payload of a NaN are not modelled: compare NaNs as "both NaN".
"""

import math

from ieee import EPSILON, div, sqrt, within_epsilon

PI = 3.141592653589793
NAN = math.nan


# -- Vector rules ----------------------------------------------------------------


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (
        a[1] * b[2] - a[2] * b[1],
        a[2] * b[0] - a[0] * b[2],
        a[0] * b[1] - a[1] * b[0],
    )


def subtract(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def normalize(v):
    """N(v): three true divisions by the length; the zero vector gives NaNs."""
    length = sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])
    return (div(v[0], length), div(v[1], length), div(v[2], length))


def parallel_direction(u, v):
    """'agreeing' (tested first), 'opposite', or None."""
    if within_epsilon(u[0], v[0]) and within_epsilon(u[1], v[1]) and within_epsilon(u[2], v[2]):
        return "agreeing"
    if abs(u[0] + v[0]) < EPSILON and abs(u[1] + v[1]) < EPSILON and abs(u[2] + v[2]) < EPSILON:
        return "opposite"
    return None


def parallel_within_tolerance(u, v):
    return parallel_direction(u, v) is not None


# -- Plane: normal . p + distance = 0 ----------------------------------------------


def plane_new(normal, distance):
    """The plane N(normal) . p = distance, stored as (N(normal), -distance)."""
    return (normalize(normal), -distance)


def plane_from_point(normal, point):
    n = normalize(normal)
    return (n, -((point[0] * n[0] + point[1] * n[1]) + point[2] * n[2]))


def plane_from_points(point1, point2, point3):
    a = subtract(point2, point1)
    b = subtract(point3, point1)
    n = normalize(cross(a, b))
    return (n, -((point1[0] * n[0] + point1[1] * n[1]) + point1[2] * n[2]))


def plane_xy():
    return ((0.0, 0.0, 1.0), -0.0)


def plane_xz():
    return ((0.0, 1.0, 0.0), -0.0)


def plane_yz():
    return ((1.0, 0.0, 0.0), -0.0)


def plane_distance_to_point(plane, point):
    normal, distance = plane
    return abs(distance + ((normal[0] * point[0] + normal[1] * point[1]) + normal[2] * point[2]))


def plane_contains_point(plane, point):
    return plane_distance_to_point(plane, point) < EPSILON


# -- Circle ------------------------------------------------------------------------


def circle_new(center, radius, normal):
    return (tuple(center), abs(radius), normalize(normal))


def circle_none():
    return ((0.0, 0.0, 0.0), 0.0, (NAN, NAN, NAN))


def circle_area(circle):
    radius = circle[1]
    return (radius * radius) * PI


def circle_get_plane(circle):
    center, _, normal = circle
    return plane_from_point(normal, center)


def circle_in_same_plane(circle, other):
    """Parallel stored normals, then the offsets n . c: equal for agreeing
    normals, cancelling for opposite ones (both lie on n . p + d = 0)."""
    own = dot(circle[2], circle[0])
    theirs = dot(other[2], other[0])
    direction = parallel_direction(circle[2], other[2])
    if direction == "agreeing":
        return abs(theirs - own) < EPSILON
    if direction == "opposite":
        return abs(theirs + own) < EPSILON
    return False


def circle_is_degenerate(circle):
    return circle[1] == 0.0


def circle_equals(a, b):
    return (
        within_epsilon(a[0][0], b[0][0])
        and within_epsilon(a[0][1], b[0][1])
        and within_epsilon(a[0][2], b[0][2])
        and a[1] == b[1]
        and parallel_within_tolerance(a[2], b[2])
    )


# -- Intersections -----------------------------------------------------------------


def plane_line(plane, a, b):
    """Where the line through a and b meets n . x = -distance."""
    n, distance = plane
    d = subtract(b, a)
    t = div(-distance - dot(n, a), dot(n, d))
    return (a[0] + d[0] * t, a[1] + d[1] * t, a[2] + d[2] * t)


def circle_point_unchecked(circle, point, inner):
    center, radius, _ = circle
    dx = point[0] - center[0]
    dy = point[1] - center[1]
    dz = point[2] - center[2]
    r = sqrt((dx * dx + dy * dy) + dz * dz)
    if inner and r < radius:
        return True
    return within_epsilon(r, radius)


def circle_point(circle, point, inner):
    center, _, normal = circle
    n = normalize(normal)
    s = (n[0] * point[0] + n[1] * point[1]) + n[2] * point[2]
    k = (center[0] * n[0] + center[1] * n[1]) + center[2] * n[2]
    if not within_epsilon(s, k):
        return False
    return circle_point_unchecked(circle, point, inner)


def circle_circle(circle1, circle2):
    """None, or the pair (first, second) of crossing points."""
    if circle_equals(circle1, circle2):
        return None
    if not circle_in_same_plane(circle1, circle2):
        return None
    c1, r1, _ = circle1
    c2, r2, n2 = circle2
    dx = c1[0] - c2[0]
    dy = c1[1] - c2[1]
    dz = c1[2] - c2[2]
    dist = sqrt((dx * dx + dy * dy) + dz * dz)
    if dist > r1 + r2:
        return None
    if dist < abs(r1 - r2):
        return None
    d = subtract(c2, c1)
    q = dist * dist
    u = div(r1 * r1 - r2 * r2, q + q) + 0.5
    h = sqrt(r1 * r1 - q * (u * u))
    p = (c1[0] + d[0] * u, c1[1] + d[1] * u, c1[2] + d[2] * u)
    e = normalize(cross(d, n2))
    first = (p[0] + e[0] * h, p[1] + e[1] * h, p[2] + e[2] * h)
    second = (p[0] - e[0] * h, p[1] - e[1] * h, p[2] - e[2] * h)
    return (first, second)
