"""
The sense of ``rotate``
=======================

``Quat.from_axis_angle(axis, angle).rotate(v)`` turns ``v`` right-handedly
about ``axis``: counter-clockwise when you look down the axis from its tip.
Here the axis is +z, pointing at the reader, and ``Vec3d.i()`` is turned in
steps of 30 degrees.
"""
import math

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

from tarsk_py import AngleDegrees, Quat, Vec3d

fig, ax = plt.subplots(figsize=(5.5, 5.5))
ax.add_patch(plt.Circle((0, 0), 1.0, fill=False, color="0.8"))
for degrees in range(0, 360, 30):
    q = Quat.from_axis_angle(Vec3d.k(), AngleDegrees(degrees).to_radians())
    v = q.rotate(Vec3d.i())
    assert math.isclose(math.atan2(v.y, v.x) % (2 * math.pi), math.radians(degrees), abs_tol=1e-12)
    ax.annotate("", xy=(v.x, v.y), xytext=(0, 0),
                arrowprops={"arrowstyle": "->", "color": "tab:blue" if degrees else "black"})
    ax.text(1.15 * v.x, 1.15 * v.y, f"{degrees}°", ha="center", va="center", fontsize=8)
ax.annotate("", xy=(-0.35, 0.5), xytext=(0.5, 0.35),
            arrowprops={"arrowstyle": "->", "color": "tab:red", "connectionstyle": "arc3,rad=0.3"})
ax.text(0.08, -0.1, "⊙ +z (towards you)", ha="left", va="top", fontsize=10)
ax.set_xlim(-1.4, 1.4)
ax.set_ylim(-1.4, 1.4)
ax.set_aspect("equal")
ax.set_xlabel("x")
ax.set_ylabel("y")
ax.set_title("q.rotate(Vec3d.i()) for q = from_axis_angle(+z, angle)")
plt.show()
