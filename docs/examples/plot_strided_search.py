"""
The strided search along a path
===============================

``minimum_distance_to(other, stride)`` looks in two levels: first at every
``stride``-th element, then at every element from ``stride`` positions
before the best of those to fewer than ``stride`` after it. Along a path,
where neighbours in the list are neighbours in space, that window holds the
nearest point; on unordered points it may not (right).
"""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tarsk_interop as ti
from tarsk_py import Vec3d

stride = 25
target = Vec3d(0.3, 0.9, 0.0)

t = np.linspace(0.0, 3.0 * np.pi, 400)
path = np.column_stack([np.cos(t) * (1 + t / 10), np.sin(t) * (1 + t / 10), np.zeros_like(t)])
rng = np.random.default_rng(3)
scattered = rng.uniform(-2.0, 2.0, size=(400, 3)) * (1.0, 1.0, 0.0)

fig, axes = plt.subplots(1, 2, figsize=(11, 5.5))
for ax, points, title in [(axes[0], path, "a path"), (axes[1], scattered, "unordered points")]:
    found, _ = ti.minimum_distance_to(points, target, stride)
    exact, _ = ti.minimum_distance_to(points, target, 1)
    samples = np.arange(0, len(points), stride)
    best = samples[np.argmin(ti.distance_squared(points[samples], target))]
    window = np.arange(max(best - stride, 0), min(best + stride, len(points)))
    assert found == window[np.argmin(ti.distance_squared(points[window], target))]
    ax.plot(points[:, 0], points[:, 1], "-" if points is path else ".", color="0.75", markersize=3)
    ax.plot(points[window, 0], points[window, 1], ".", color="tab:orange", label="second level: the window")
    ax.plot(points[samples, 0], points[samples, 1], "s", color="tab:blue", markersize=4,
            label=f"first level: every {stride}th point")
    ax.plot([target.x], [target.y], "k+", markersize=14, label="target")
    ax.plot([points[exact, 0]], [points[exact, 1]], "o", markersize=14, markerfacecolor="none",
            markeredgecolor="green", label=f"exact nearest (stride 1): {exact}")
    ax.plot([points[found, 0]], [points[found, 1]], "x", color="red", markersize=10,
            label=f"found with stride {stride}: {found}")
    ax.set_aspect("equal")
    ax.set_title(title)
    ax.legend(loc="lower left", fontsize=7)
plt.show()
