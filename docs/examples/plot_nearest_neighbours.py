"""
Nearest neighbours on a scanned surface, and the tie rule
=========================================================

Left: a cloud sampled from a bumpy sheet (seen from above, coloured by
height), a few query points with their 8 nearest neighbours from
``KDTree.query``, and the points within a radius of one more query from
``query_ball_point``. Every answer is checked against a brute-force scan
with the same distance formula, bit for bit.

Right: the tie rule. The query sits at the centre of a square of lattice
points, all four at the same distance; ``query(x, k=2)`` returns the two of
lowest row, whatever order the tree stores them in.
"""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tarsk_interop as ti

rng = np.random.default_rng(4)
u, v = rng.random(1500), rng.random(1500)
cloud = np.column_stack([u, v, 0.08 * np.sin(7 * u) * np.cos(5 * v) + 0.003 * rng.standard_normal(1500)])
tree = ti.KDTree(cloud)

queries = np.array([[0.2, 0.25, 0.0], [0.75, 0.3, 0.05], [0.45, 0.7, -0.05]])
d, i = tree.query(queries, k=8)
ball_centre, radius = np.array([0.8, 0.8, 0.0]), 0.1
ball = tree.query_ball_point(ball_centre, radius)

# The same answers from a scan: distances as Vec3d.distance_to computes them.
diff = [queries[:, None, c] - cloud[None, :, c] for c in range(3)]
scan = np.sqrt((diff[0] * diff[0] + diff[1] * diff[1]) + diff[2] * diff[2])
order = np.array([np.lexsort((np.arange(len(cloud)), row))[:8] for row in scan])
assert (order == i).all() and np.take_along_axis(scan, order, 1).tobytes() == d.tobytes()

fig, axes = plt.subplots(1, 2, figsize=(11, 5.5))
ax = axes[0]
ax.scatter(cloud[:, 0], cloud[:, 1], c=cloud[:, 2], s=5, cmap="viridis")
for q, nearest in zip(queries, i):
    for p in cloud[nearest]:
        ax.plot([q[0], p[0]], [q[1], p[1]], "-", color="tab:red", linewidth=1.2)
    ax.scatter(cloud[nearest, 0], cloud[nearest, 1], s=18, color="tab:red")
    ax.plot(q[0], q[1], "k+", markersize=14, markeredgewidth=2)
ax.scatter(cloud[ball, 0], cloud[ball, 1], s=30, facecolors="none", edgecolors="tab:orange",
           label=f"query_ball_point, r = {radius}: {len(ball)} points")
ax.add_patch(plt.Circle(ball_centre[:2], radius, fill=False, linestyle="--", color="tab:orange"))
ax.set_aspect("equal")
ax.set_title("k = 8 nearest of three queries, and one ball")
ax.legend(loc="lower left", fontsize=8)

ax = axes[1]
lattice = np.array([[x, y, 0.0] for x in range(4) for y in range(4)])[::-1]
ties = ti.KDTree(lattice)
centre = [1.5, 1.5, 0.0]
_, chosen = ties.query(centre, k=2)
ax.scatter(lattice[:, 0], lattice[:, 1], s=40, color="0.6")
for row, p in enumerate(lattice):
    ax.annotate(str(row), p[:2], textcoords="offset points", xytext=(6, 6), fontsize=9)
ax.scatter(lattice[chosen, 0], lattice[chosen, 1], s=160, facecolors="none", edgecolors="tab:red",
           label=f"query(x, k=2) -> rows {chosen.tolist()}")
ax.plot(centre[0], centre[1], "k+", markersize=14)
ax.set_aspect("equal")
ax.set_xlim(-0.5, 3.8)
ax.set_ylim(-0.5, 3.8)
ax.set_title("four points at one distance: the lowest rows win")
ax.legend(loc="lower left", fontsize=8)
plt.show()
