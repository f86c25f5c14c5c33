"""
Bulk size sweep: VecList against numpy
======================================

Time per call of ``VecList.normalize`` and of the same formula written with
numpy, for lists of 1 to 100,000 vectors, on the machine that built this
page (best of a few runs each, so the figures are rough). Small lists run on
the calling thread; from 262,144 elements on, the work is shared by the
worker pool. ``bench/bulk.py`` runs the full sweep, up to ten million.
"""
import timeit

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import tarsk_interop as ti

sizes = [1, 10, 100, 1_000, 10_000, 100_000]
tarsk_times, numpy_times = [], []
rng = np.random.default_rng(0)
for n in sizes:
    a = rng.normal(size=(n, 3))
    points = ti.to_veclist(a)
    number = max(1, 20_000 // n)
    tarsk_times.append(min(timeit.repeat(points.normalize, number=number, repeat=3)) / number)
    numpy_times.append(min(timeit.repeat(lambda: a / np.sqrt((a * a).sum(axis=1))[:, None],
                                         number=number, repeat=3)) / number)

fig, ax = plt.subplots(figsize=(7, 4.5))
ax.loglog(sizes, tarsk_times, "o-", label="VecList.normalize()")
ax.loglog(sizes, numpy_times, "s-", label="numpy: a / sqrt((a*a).sum(axis=1))")
ax.set_xlabel("n (vectors)")
ax.set_ylabel("seconds per call")
ax.grid(True, which="both", alpha=0.3)
ax.legend()
plt.show()

for n, t, p in zip(sizes, tarsk_times, numpy_times):
    print(f"n = {n:>7}: tarsk {t * 1e6:10.2f} us, numpy {p * 1e6:10.2f} us, ratio {t / p:.3f}")
