"""
Registering two scans with ICP
==============================

Two scans of a bumpy surface, the second seen after a known motion (about 6
degrees and a shift) with noise. ``tarsk_interop.icp`` on the index of the
first finds the motion; left: the scans before (a slice across the surface),
right: after applying the result, with the rmse of each iteration count
beside.
"""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tarsk_interop as ti

rng = np.random.default_rng(11)
u, v = rng.random((2, 15_000))
target = np.column_stack([u, v, 0.12 * np.sin(6 * u) * np.cos(4 * v)])

turn = np.array([np.cos(0.05), 0.0, np.sin(0.05), 0.0])  # (w, i, j, k): ~5.7 degrees about y
shift = np.array([0.03, -0.02, 0.02])
source = ti.apply_transform(target[::2] - shift, turn * [1, -1, -1, -1], [0, 0, 0])
source += rng.normal(scale=0.002, size=source.shape)

tree = ti.KDTree(target)
result = ti.icp(source, target, max_distance=0.1, max_iterations=40, tree=tree)
aligned = result.apply(source)
angle = np.degrees(2 * np.arccos(min(1.0, abs(float(np.dot(result.rotation, turn))))))

# The rmse after 0, 4, 8, ... steps (each run starts again from the identity).
steps = np.arange(0, 41, 4)
rmse = [ti.icp(source, target, 0.1, max_iterations=int(s), tolerance=0.0, tree=tree).rmse for s in steps]

fig, axes = plt.subplots(1, 3, figsize=(14, 4.5), gridspec_kw={"width_ratios": [1, 1, 0.8]})
band_t = np.abs(target[:, 1] - 0.5) < 0.02
for ax, moved, title in [(axes[0], source, "before"), (axes[1], aligned, "after icp")]:
    band_s = np.abs(moved[:, 1] - 0.5) < 0.02
    ax.plot(target[band_t, 0], target[band_t, 2], ".", color="0.6", markersize=3, label="target scan")
    ax.plot(moved[band_s, 0], moved[band_s, 2], ".", color="tab:red", markersize=3, label="source scan")
    ax.set_title(f"{title}: a slice at y = 0.5")
    ax.set_xlabel("x")
    ax.set_ylabel("z")
    ax.legend(loc="lower left", fontsize=8)
axes[1].text(0.02, 0.95, f"rotation error {angle:.3f} deg\nrmse {result.rmse:.4f}, fitness {result.fitness:.2f}\n"
             f"{result.iterations} iterations, converged {result.converged}",
             transform=axes[1].transAxes, va="top", fontsize=8)
axes[2].semilogy(steps, rmse, "o-")
axes[2].set_xlabel("ICP steps")
axes[2].set_ylabel("rmse of matched pairs")
axes[2].set_title("convergence")
fig.tight_layout()
plt.show()
