"""Timing shared by the bulk benchmarks."""
import time


def best_time(fn, repeat, min_total=0.2, clock=time.perf_counter):
    """Best seconds per call with the pool warm: calls are batched so that one
    batch takes at least min_total / repeat seconds."""
    fn()  # warm up (and start the pool)
    number = 1
    while True:
        t0 = clock()
        for _ in range(number):
            fn()
        elapsed = clock() - t0
        if elapsed >= min_total / repeat or number >= 1 << 20:
            break
        number *= 2
    best = elapsed / number
    for _ in range(repeat - 1):
        t0 = clock()
        for _ in range(number):
            fn()
        best = min(best, (clock() - t0) / number)
    return best
