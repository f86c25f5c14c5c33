"""Single calls on one vector: tarsk_py.Vec3d against glm.dvec3 and numpy.

Closest peers chosen:
  Vec3d.zero()               glm.dvec3() (the zero vector), np.zeros(3)
  Vec3d.new_from_to(a, b)    b - a
  VecList.list (4 vectors)   list() of a glm.array of four dvec3, ndarray.tolist()
"""
import numpy as np
import glm

from tarsk_py import Vec3d, VecList

a, b = Vec3d(1.0, 2.0, 3.0), Vec3d(0.5, -1.0, 2.0)
ga, gb = glm.dvec3(1.0, 2.0, 3.0), glm.dvec3(0.5, -1.0, 2.0)
na, nb = np.array([1.0, 2.0, 3.0]), np.array([0.5, -1.0, 2.0])

lst, glst, nlst = VecList([a, b, a, b]), glm.array(ga, gb, ga, gb), np.array([na, nb, na, nb])

T = {"a": a, "b": b, "Vec3d": Vec3d, "lst": lst}
G = {"a": ga, "b": gb, "glm": glm, "lst": glst}
N = {"a": na, "b": nb, "np": np, "lst": nlst}

CASES = [
    ("Vec3d(1.0, 2.0, 3.0)", {"tarsk_py": ("Vec3d(1.0, 2.0, 3.0)", T),
                              "glm": ("glm.dvec3(1.0, 2.0, 3.0)", G),
                              "numpy": ("np.array((1.0, 2.0, 3.0))", N)}),
    ("a + b", {"tarsk_py": ("a + b", T), "glm": ("a + b", G), "numpy": ("a + b", N)}),
    ("a * 2.0", {"tarsk_py": ("a * 2.0", T), "glm": ("a * 2.0", G), "numpy": ("a * 2.0", N)}),
    ("2.0 * a", {"tarsk_py": ("2.0 * a", T), "glm": ("2.0 * a", G), "numpy": ("2.0 * a", N)}),
    ("a.dot(b)", {"tarsk_py": ("a.dot(b)", T), "glm": ("glm.dot(a, b)", G),
                  "numpy": ("np.dot(a, b)", N)}),
    ("a.cross(b)", {"tarsk_py": ("a.cross(b)", T), "glm": ("glm.cross(a, b)", G),
                    "numpy": ("np.cross(a, b)", N)}),
    ("a.normalize()", {"tarsk_py": ("a.normalize()", T), "glm": ("glm.normalize(a)", G),
                       "numpy": ("a / np.linalg.norm(a)", N)}),
    ("a.x", {"tarsk_py": ("a.x", T), "glm": ("a.x", G), "numpy": ("a[0]", N)}),
    ("a[1]", {"tarsk_py": ("a[1]", T), "glm": ("a[1]", G), "numpy": ("a[1]", N)}),
    ("hash(a)", {"tarsk_py": ("hash(a)", T), "glm": ("hash(a)", G),
                 "numpy": ("hash(a.tobytes())", N)}),
    ("a == b", {"tarsk_py": ("a == b", T), "glm": ("a == b", G),
                "numpy": ("np.array_equal(a, b)", N)}),
    ("Vec3d.zero()", {"tarsk_py": ("Vec3d.zero()", T), "glm": ("glm.dvec3()", G),
                      "numpy": ("np.zeros(3)", N)}),
    ("Vec3d.new_from_to(a, b)", {"tarsk_py": ("Vec3d.new_from_to(a, b)", T), "glm": ("b - a", G),
                                 "numpy": ("b - a", N)}),
    ("VecList.list (4 vectors)", {"tarsk_py": ("lst.list", T), "glm": ("list(lst)", G),
                                  "numpy": ("lst.tolist()", N)}),
]
