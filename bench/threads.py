"""Threads beside the module's calls, on the interpreter that runs this
script (with the GIL or free-threaded; the header line says which).

- python beside bulk: the speed of a pure-Python loop on one thread while a
  second thread calls VecList.normalize on a 1,000,000-element list back to
  back, as a fraction of its speed alone;
- two lists, two threads: two threads each normalising its own
  1,000,000-element list, against one thread doing both lists' calls; the
  figure is (time of the two threads) / (time of the one thread), so 0.5 is
  perfect scaling and 1.0 none;
- race: one thread rotating a shared list in place while three read it
  (dot and magnitude), for --race-seconds at each size; every read is
  checked against the states the list can have, computed on one thread
  beforehand. Each size runs in a child process, so a crash is counted, not
  fatal;
- appends: four threads appending to one list for --append-seconds, with
  the number of appends refused by a borrow error.

    python bench/threads.py [--seconds 3] [--race-seconds 15] [--sizes 2000,300000] [--runs 1]
                            [--append-seconds 10] [--skip-speed]
"""
import argparse
import array
import hashlib
import subprocess
import sys
import sysconfig
import threading
import time

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def python_work(deadline):
    """Pure-Python work until the deadline; returns the iterations done."""
    n = 0
    x = 0
    while time.perf_counter() < deadline:
        for i in range(1000):
            x = (x * 31 + i) % 1_000_003
        n += 1
    return n


def python_beside_bulk(seconds):
    from tarsk_py import Vec3d, VecList

    vl = VecList([Vec3d(i * 0.5, -i * 0.25, 1.0 + i) for i in range(1_000_000)])
    alone = python_work(time.perf_counter() + seconds)
    stop = threading.Event()
    calls = [0]

    def bulk():
        while not stop.is_set():
            vl.normalize()
            calls[0] += 1

    t = threading.Thread(target=bulk)
    t.start()
    time.sleep(0.2)
    beside = python_work(time.perf_counter() + seconds)
    stop.set()
    t.join()
    return beside / alone, calls[0]


def two_lists(repeats):
    from tarsk_py import Vec3d, VecList

    lists = [VecList([Vec3d(i * 0.5 + k, -i * 0.25, 1.0 + i) for i in range(1_000_000)]) for k in range(2)]
    for vl in lists:
        vl.normalize()  # the pool is started and warm

    def work(vl):
        for _ in range(repeats):
            vl.normalize()

    t0 = time.perf_counter()
    for vl in lists:
        work(vl)
    one = time.perf_counter() - t0
    threads = [threading.Thread(target=work, args=(vl,)) for vl in lists]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    two = time.perf_counter() - t0
    return two / one, one, two


def appends(seconds):
    """Four threads appending to one list for `seconds`: (appended, refused)."""
    from tarsk_py import Vec3d, VecList

    shared = VecList.empty()
    stop = threading.Event()
    counts = [[0, 0] for _ in range(4)]

    def run(w):
        v = Vec3d(float(w), 1.0, 2.0)
        c = counts[w]
        while not stop.is_set():
            try:
                shared.append(v)
                c[0] += 1
            except RuntimeError:
                c[1] += 1

    threads = [threading.Thread(target=run, args=(w,)) for w in range(4)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    assert len(shared) == sum(c[0] for c in counts)
    return sum(c[0] for c in counts), sum(c[1] for c in counts)


def digest(values):
    return hashlib.sha256(array.array("d", values).tobytes()).digest()


def race_child(n, seconds):
    """One race at size n in this process; prints 'reads wrong'. The writer
    turns the list by half a turn about z, which is exact, so the list has
    exactly two states, and a read of anything else is wrong."""
    import random

    from tarsk_py import Quat, Vec3d, VecList

    rng = random.Random(n)
    start = [Vec3d(rng.uniform(-9, 9), rng.uniform(-9, 9), rng.uniform(-9, 9)) for _ in range(n)]
    half_turn = Quat(0.0, 0.0, 0.0, 1.0)
    o = Vec3d(0.25, -1.5, 3.0)
    model = VecList(start)
    states = set()
    for _ in range(2):
        states.add(digest(model.dot(o)))
        states.add(digest(model.magnitude()))
        model.rotate(half_turn)
    shared = VecList(start)
    stop = threading.Event()
    totals = [0, 0]
    lock = threading.Lock()

    def writer():
        while not stop.is_set():
            shared.rotate(half_turn)

    def reader(r):
        reads = wrong = 0
        while not stop.is_set():
            res = shared.dot(o) if (reads + r) % 2 else shared.magnitude()
            reads += 1
            if digest(res) not in states:
                wrong += 1
        with lock:
            totals[0] += reads
            totals[1] += wrong

    threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(r,)) for r in range(3)]
    for t in threads:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    print(totals[0], totals[1])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--repeats", type=int, default=20)
    ap.add_argument("--race-seconds", type=float, default=15.0)
    ap.add_argument("--sizes", default="2000,20000,300000")
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--append-seconds", type=float, default=10.0)
    ap.add_argument("--skip-speed", action="store_true")
    ap.add_argument("--race-child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.race_child:
        race_child(args.race_child, args.race_seconds)
        return
    import tarsk_py  # noqa: F401 - imported first, so a GIL turned on shows below

    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"# {sys.version.split()[0]} {'free-threaded' if FREE_THREADED else 'GIL build'}, GIL {'on' if gil else 'off'}")
    if not args.skip_speed:
        frac, calls = python_beside_bulk(args.seconds)
        print(f"python beside bulk: {frac:.0%} of its speed alone ({calls} normalize calls meanwhile)")
        ratio, one, two = two_lists(args.repeats)
        print(f"two lists, two threads: {ratio:.2f} of one thread's time ({one:.2f} s -> {two:.2f} s)")
    done, refused = appends(args.append_seconds)
    print(f"four threads appending to one list for {args.append_seconds:g} s: {done} appended,"
          f" {refused} refused with a borrow error")
    for n in (int(s) for s in args.sizes.split(",") if s):
        for run in range(args.runs):
            p = subprocess.run([sys.executable, __file__, "--race-child", str(n), "--race-seconds",
                                str(args.race_seconds)], capture_output=True, text=True)
            if p.returncode != 0:
                print(f"race n={n} run {run + 1}: died with status {p.returncode} {p.stderr.strip()[-200:]!r}")
            else:
                reads, wrong = map(int, p.stdout.split())
                print(f"race n={n} run {run + 1}: {wrong} wrong of {reads} reads in {args.race_seconds:g} s")


if __name__ == "__main__":
    main()
