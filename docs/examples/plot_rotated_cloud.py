"""
A point cloud rotated, and its nearest point
============================================

Rotates 2,000 points a quarter turn about the z axis with
``tarsk_interop.rotate`` (array in, array out) and marks the point nearest
to a target with ``minimum_distance_to`` at stride 1, which is always the
exact nearest point.
"""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tarsk_interop as ti
from tarsk_py import AngleRadians, Quat, Vec3d

rng = np.random.default_rng(7)
cloud = rng.normal(size=(2_000, 3)) * (2.0, 0.6, 0.3)

# A quarter turn about +z: counter-clockwise seen from above.
q = Quat.from_axis_angle(Vec3d.k(), AngleRadians.half_pi())
turned = ti.rotate(cloud, q)

target = Vec3d(1.0, 1.5, 0.0)
index, distance = ti.minimum_distance_to(turned, target, 1)
assert index == int(np.argmin(ti.distance_to(turned, target)))

fig, ax = plt.subplots(figsize=(6, 6))
ax.scatter(cloud[:, 0], cloud[:, 1], s=3, alpha=0.35, label="points")
ax.scatter(turned[:, 0], turned[:, 1], s=3, alpha=0.35, label="rotated a quarter turn about +z")
ax.plot([target.x], [target.y], "k+", markersize=14, label="target")
ax.plot([turned[index, 0]], [turned[index, 1]], "o", markersize=12, markerfacecolor="none",
        markeredgecolor="red", label=f"nearest: row {index}, distance {distance:.3f}")
ax.set_aspect("equal")
ax.set_xlabel("x")
ax.set_ylabel("y")
ax.legend(loc="lower left", fontsize=8)
ax.set_title("Seen from +z (the z axis points at the reader)")
plt.show()
