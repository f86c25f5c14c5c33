"""Single calls of the geometry submodule: tarsk_py against the same formula
in plain Python on float tuples and against sympy.geometry where it has the
operation. sympy has no circle in space, so its circle rows use the 2D
circles of the same figures (the unit circles about (0, 0) and (1, 0)).
The first row is one Vec3d.dot call, the binding's cost of a call with two
arguments, for reference."""
import math

from sympy.geometry import Circle as SCircle, Line3D, Plane as SPlane, Point, Point3D

from tarsk_py import Vec3d, geometry

EPS = 2.0**-52

# -- The same formulas on float tuples -------------------------------------------


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def normalize(v):
    length = math.sqrt((v[0] * v[0] + v[1] * v[1]) + v[2] * v[2])
    return (v[0] / length, v[1] / length, v[2] / length)


def plane_from_points(p1, p2, p3):
    a = (p2[0] - p1[0], p2[1] - p1[1], p2[2] - p1[2])
    b = (p3[0] - p1[0], p3[1] - p1[1], p3[2] - p1[2])
    n = normalize((a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]))
    return (n, -((p1[0] * n[0] + p1[1] * n[1]) + p1[2] * n[2]))


def contains_point(plane, p):
    n, d = plane
    return abs(d + ((n[0] * p[0] + n[1] * p[1]) + n[2] * p[2])) < EPS


def plane_line(plane, a, b):
    n, d = plane
    D = (b[0] - a[0], b[1] - a[1], b[2] - a[2])
    t = (-d - dot(n, a)) / dot(n, D)
    return (a[0] + D[0] * t, a[1] + D[1] * t, a[2] + D[2] * t)


def circle_point(circle, p, inner):
    c, r, normal = circle
    n = normalize(normal)
    s = (n[0] * p[0] + n[1] * p[1]) + n[2] * p[2]
    k = (c[0] * n[0] + c[1] * n[1]) + c[2] * n[2]
    if not abs(s - k) < EPS:
        return False
    dx, dy, dz = p[0] - c[0], p[1] - c[1], p[2] - c[2]
    dist = math.sqrt((dx * dx + dy * dy) + dz * dz)
    if inner and dist < r:
        return True
    return abs(dist - r) < EPS


def parallel(u, v):
    if abs(u[0] - v[0]) < EPS and abs(u[1] - v[1]) < EPS and abs(u[2] - v[2]) < EPS:
        return 1
    if abs(u[0] + v[0]) < EPS and abs(u[1] + v[1]) < EPS and abs(u[2] + v[2]) < EPS:
        return -1
    return 0


def circle_circle(circle1, circle2):
    c1, r1, n1 = circle1
    c2, r2, n2 = circle2
    direction = parallel(n1, n2)
    if (abs(c1[0] - c2[0]) < EPS and abs(c1[1] - c2[1]) < EPS and abs(c1[2] - c2[2]) < EPS
            and r1 == r2 and direction != 0):
        return None
    own, theirs = dot(n1, c1), dot(n2, c2)
    if direction == 0 or not abs(theirs - own if direction == 1 else theirs + own) < EPS:
        return None
    dx, dy, dz = c1[0] - c2[0], c1[1] - c2[1], c1[2] - c2[2]
    dist = math.sqrt((dx * dx + dy * dy) + dz * dz)
    if dist > r1 + r2 or dist < abs(r1 - r2):
        return None
    D = (c2[0] - c1[0], c2[1] - c1[1], c2[2] - c1[2])
    q = dist * dist
    u = (r1 * r1 - r2 * r2) / (q + q) + 0.5
    h = math.sqrt(r1 * r1 - q * (u * u))
    P = (c1[0] + D[0] * u, c1[1] + D[1] * u, c1[2] + D[2] * u)
    e = normalize((D[1] * n2[2] - D[2] * n2[1], D[2] * n2[0] - D[0] * n2[2], D[0] * n2[1] - D[1] * n2[0]))
    return ((P[0] + e[0] * h, P[1] + e[1] * h, P[2] + e[2] * h),
            (P[0] - e[0] * h, P[1] - e[1] * h, P[2] - e[2] * h))


# -- Inputs ------------------------------------------------------------------------

P1, P2, P3 = (0.0, 0.0, 1.0), (1.0, 0.0, 1.0), (0.0, 1.0, 1.0)
POINT = (0.5, 0.25, 1.0)
A, B = (0.0, 0.0, 0.0), (0.25, 0.5, 2.0)
C1 = ((0.0, 0.0, 0.0), 1.0, (0.0, 0.0, 1.0))
C2 = ((1.0, 0.0, 0.0), 1.0, (0.0, 0.0, 1.0))
RIM = (1.0, 0.0, 0.0)


def vec(t):
    return Vec3d(*t)


T = {
    "Plane": geometry.Plane,
    "plane_line": geometry.plane_line,
    "circle_point": geometry.circle_point,
    "circle_circle": geometry.circle_circle,
    "p1": vec(P1), "p2": vec(P2), "p3": vec(P3),
    "plane": geometry.Plane.from_points(vec(P1), vec(P2), vec(P3)),
    "p": vec(POINT), "a": vec(A), "b": vec(B),
    "c1": geometry.Circle(vec(C1[0]), C1[1], vec(C1[2])),
    "c2": geometry.Circle(vec(C2[0]), C2[1], vec(C2[2])),
    "rim": vec(RIM),
}
PY = {
    "plane_from_points": plane_from_points, "contains_point": contains_point,
    "plane_line": plane_line, "circle_point": circle_point, "circle_circle": circle_circle,
    "dot": dot,
    "p1": P1, "p2": P2, "p3": P3, "plane": plane_from_points(P1, P2, P3),
    "p": POINT, "a": A, "b": B, "c1": C1, "c2": C2, "rim": RIM,
}
S = {
    "Plane": SPlane, "Line3D": Line3D,
    "p1": Point3D(*P1), "p2": Point3D(*P2), "p3": Point3D(*P3),
    "plane": SPlane(Point3D(*P1), Point3D(*P2), Point3D(*P3)),
    "p": Point3D(*POINT), "line": Line3D(Point3D(*A), Point3D(*B)),
    "c1": SCircle(Point(0.0, 0.0), 1.0), "c2": SCircle(Point(1.0, 0.0), 1.0),
    "rim": Point(1.0, 0.0),
}

CASES = [
    ("Vec3d.dot (for reference)", {"tarsk_py": ("a.dot(b)", T), "python": ("dot(a, b)", PY)}),
    ("Plane.from_points", {"tarsk_py": ("Plane.from_points(p1, p2, p3)", T),
                           "python": ("plane_from_points(p1, p2, p3)", PY),
                           "sympy": ("Plane(p1, p2, p3)", S)}),
    ("plane.contains_point(p)", {"tarsk_py": ("plane.contains_point(p)", T),
                                 "python": ("contains_point(plane, p)", PY),
                                 "sympy": ("p in plane", S)}),
    ("plane_line", {"tarsk_py": ("plane_line(plane, a, b)", T),
                    "python": ("plane_line(plane, a, b)", PY),
                    "sympy": ("plane.intersection(line)", S)}),
    ("circle_point", {"tarsk_py": ("circle_point(c1, rim, False)", T),
                      "python": ("circle_point(c1, rim, False)", PY),
                      "sympy": ("rim in c1", S)}),
    ("circle_circle", {"tarsk_py": ("circle_circle(c1, c2)", T),
                       "python": ("circle_circle(c1, c2)", PY),
                       "sympy": ("c1.intersection(c2)", S)}),
]

# Each geometry call costs at most 1.5 times one Vec3d.dot call (the binding's
# per-call cost): checked by single_call.py --check, not shown in its table.
TARGETS = [(name, "Vec3d.dot (for reference)", 1.5) for name, _ in CASES[1:]]
