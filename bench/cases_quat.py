"""Single calls on quaternions and angles: tarsk_py against PyGLM, with
scipy's Rotation (one rotation, one vector) where it has an equivalent.

Closest peers chosen:
  AngleRadians(1.0).sin(), a.sin()  glm.sin(1.0) (scalar overload)
  a.to_degrees()                    glm.degrees(1.0)
  Quat.identity()                   glm.dquat() (the identity)
  AngleRadians.pi()                 glm.pi()
  v.angle_to(w)                     glm.acos(glm.dot(glm.normalize(a), glm.normalize(b))):
                                    PyGLM's glm.angle takes only a quaternion,
                                    so this spells out the formula of glm's
                                    vector angle (without its clamp); the row
                                    "[unit inputs]" times acos(dot) alone on
                                    pre-normalised vectors.
For the same axis and angle, glm's q * v and scipy's apply turn a vector as
Quat.rotate does (their quaternions hold the conjugate components).
"""
import math

import glm
import numpy as np
from scipy.spatial.transform import Rotation

from tarsk_py import AngleRadians, Quat, Vec3d

axis, v = Vec3d(0.0, 0.6, 0.8), Vec3d(1.0, 2.0, 3.0)
theta = AngleRadians(1.0)
q = Quat.from_axis_angle(axis, theta)
a = AngleRadians(1.0)
w = Vec3d(0.5, -1.0, 2.0)

gaxis, gv, gw = glm.dvec3(0.0, 0.6, 0.8), glm.dvec3(1.0, 2.0, 3.0), glm.dvec3(0.5, -1.0, 2.0)
gq = glm.angleAxis(1.0, gaxis)
gu, guw = glm.normalize(gv), glm.normalize(gw)

naxis, nv = np.array([0.0, 0.6, 0.8]), np.array([1.0, 2.0, 3.0])
rot = Rotation.from_rotvec(naxis * 1.0)

T = {"Quat": Quat, "AngleRadians": AngleRadians, "axis": axis, "theta": theta, "q": q,
     "v": v, "w": w, "a": a}
G = {"glm": glm, "axis": gaxis, "q": gq, "v": gv, "a": gv, "b": gw, "ua": gu, "ub": guw}
S = {"Rotation": Rotation, "axis": naxis, "r": rot, "v": nv,
     "quat": np.array([0.0, 0.0, 0.0, 1.0])}
M = {"math": math}

CASES = [
    ("Quat.identity()", {"tarsk_py": ("Quat.identity()", T), "glm": ("glm.dquat()", G)}),
    ("AngleRadians.pi()", {"tarsk_py": ("AngleRadians.pi()", T), "glm": ("glm.pi()", G)}),
    ("Quat(1.0, 0.0, 0.0, 0.0)", {
        "tarsk_py": ("Quat(1.0, 0.0, 0.0, 0.0)", T),
        "glm": ("glm.dquat(1.0, 0.0, 0.0, 0.0)", G),
        "scipy": ("Rotation.from_quat(quat)", S)}),
    ("Quat.from_axis_angle(axis, angle)", {
        "tarsk_py": ("Quat.from_axis_angle(axis, theta)", T),
        "glm": ("glm.angleAxis(1.0, axis)", G),
        "scipy": ("Rotation.from_rotvec(axis * 1.0)", S)}),
    ("q.rotate(v)", {
        "tarsk_py": ("q.rotate(v)", T),
        "glm": ("q * v", G),
        "scipy": ("r.apply(v)", S)}),
    ("q.to_rotation_matrix()", {
        "tarsk_py": ("q.to_rotation_matrix()", T),
        "glm": ("glm.mat3_cast(q)", G),
        "scipy": ("r.as_matrix()", S)}),
    ("AngleRadians(1.0).sin()", {
        "tarsk_py": ("AngleRadians(1.0).sin()", T),
        "glm": ("glm.sin(1.0)", G),
        "math": ("math.sin(1.0)", M)}),
    ("a.sin()", {
        "tarsk_py": ("a.sin()", T),
        "glm": ("glm.sin(1.0)", G),
        "math": ("math.sin(1.0)", M)}),
    ("a.to_degrees()", {
        "tarsk_py": ("a.to_degrees()", T),
        "glm": ("glm.degrees(1.0)", G),
        "math": ("math.degrees(1.0)", M)}),
    ("v.angle_to(w)", {
        "tarsk_py": ("v.angle_to(w)", T),
        "glm": ("glm.acos(glm.dot(glm.normalize(a), glm.normalize(b)))", G)}),
    ("v.angle_to(w) [unit inputs]", {
        "tarsk_py": ("v.angle_to(w)", T),
        "glm": ("glm.acos(glm.dot(ua, ub))", G)}),
]
