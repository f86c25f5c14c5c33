"""The worker pool behind VecList, observed from outside: results bit for bit
identical for every worker count, the worker-count rules (counted as the
process's threads), which operations start the pool, fork safety, and a pool
that cannot start. Every scenario runs in a fresh interpreter, since the pool
is started once per process; every child has a timeout, so a hang fails."""
import functools
import hashlib
import math
import os
import random
import struct
import subprocess
import sys
import textwrap

import pytest

from tarsk_py import Quat, Vec3d, VecList

# A child that outlives this has hung. The digest children take about 15 s
# each on a quiet machine and several times that under the sanitizers.
TIMEOUT = 120 * (4 if os.environ.get("TARSK_SANITIZED") == "1" else 1)

# Helpers every child starts with. `tasks()` is the number of threads of the
# process; the interpreter itself runs one.
PRELUDE = textwrap.dedent("""
    import os, sys, struct, hashlib, math
    import tarsk_py
    from tarsk_py import Vec3d, VecList, Quat
    def tasks():
        return len(os.listdir('/proc/self/task'))
""")


def run_child(code, env=None, affinity=None, timeout=TIMEOUT):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    full_env.update(env or {})
    script = PRELUDE
    if affinity is not None:
        script = f"import os\nos.sched_setaffinity(0, {sorted(affinity)!r})\n" + script
    script += textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", script], env=full_env, capture_output=True, text=True,
                          timeout=timeout)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def workers_started(env=None, affinity=None):
    out = run_child("""
        assert tasks() == 1, tasks()
        VecList([Vec3d(1, 2, 3)]).normalize()
        print(tasks() - 1)
    """, env=env, affinity=affinity)
    return int(out)


def cgroup_limit():
    """The CPU quota of this process's cgroup in whole CPUs, or None."""
    candidates = [("/sys/fs/cgroup/cpu.max", None)]
    try:
        with open("/proc/self/cgroup") as f:
            for line in f:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                if controllers == "":
                    candidates.append((f"/sys/fs/cgroup{path}/cpu.max", None))
                elif "cpu" in controllers.split(","):
                    for mount in ("/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"):
                        candidates.append((f"{mount}{path}/cpu.cfs_quota_us", f"{mount}{path}/cpu.cfs_period_us"))
    except OSError:
        pass
    for quota_path, period_path in candidates:
        try:
            if period_path is None:
                quota, period = open(quota_path).read().split()
                if quota == "max":
                    continue
                quota, period = int(quota), int(period)
            else:
                quota, period = int(open(quota_path).read()), int(open(period_path).read())
                if quota <= 0:
                    continue
            return max(1, quota // period)
        except (OSError, ValueError):
            continue
    return None


def default_count():
    n = len(os.sched_getaffinity(0))
    limit = cgroup_limit()
    return min(n, limit) if limit else n


# ---------------------------------------------------------------------------
# Worker count

ONE_CPU = {min(os.sched_getaffinity(0))}


@pytest.mark.parametrize("env, affinity, expected", [
    ({"RAYON_NUM_THREADS": "3"}, None, 3),
    ({"RAYON_NUM_THREADS": "+3"}, None, 3),
    ({"RAYON_NUM_THREADS": "1"}, None, 1),
    ({"RAYON_NUM_THREADS": "007"}, None, 7),
    # 0 selects the default, and the second variable is not consulted.
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, ONE_CPU, 1),
    # Invalid texts pass the decision on to the second variable.
    ({"RAYON_NUM_THREADS": " 3", "RAYON_RS_NUM_CPUS": "5"}, None, 5),
    ({"RAYON_NUM_THREADS": "3 ", "RAYON_RS_NUM_CPUS": "5"}, None, 5),
    ({"RAYON_NUM_THREADS": "-3", "RAYON_RS_NUM_CPUS": "5"}, None, 5),
    ({"RAYON_NUM_THREADS": "+", "RAYON_RS_NUM_CPUS": "4"}, None, 4),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "4"}, None, 4),
    ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "+2"}, ONE_CPU, 2),
    ({"RAYON_NUM_THREADS": "99999999999999999999", "RAYON_RS_NUM_CPUS": "3"}, None, 3),
    ({"RAYON_RS_NUM_CPUS": "6"}, None, 6),
    # Anything else leads to the default: the CPUs the process may run on.
    ({"RAYON_RS_NUM_CPUS": "0"}, ONE_CPU, 1),
    ({"RAYON_RS_NUM_CPUS": "-1"}, ONE_CPU, 1),
    ({"RAYON_NUM_THREADS": "-3"}, ONE_CPU, 1),
    ({}, ONE_CPU, 1),
])
def test_worker_count_rules(env, affinity, expected):
    assert workers_started(env, affinity) == expected


def test_default_worker_count_follows_affinity_and_quota():
    assert workers_started({}) == default_count()


def test_pool_starts_once_and_keeps_its_workers():
    out = run_child("""
        vl = VecList([Vec3d(i, i, i) for i in range(1000)])
        first = tasks()
        for _ in range(50):
            vl = vl.normalize() * 2.0
        print(first, tasks())
    """, env={"RAYON_NUM_THREADS": "3"})
    assert out.split() == ["4", "4"]


# Which operations start the pool: each runs as the first operation of a child
# whose list was built without the pool.
STARTERS = {
    "constructor": "VecList([])",
    "constructor_items": "VecList([v])",
    "rotate": "vl.rotate(Quat.identity())",
    "repr": "repr(vl)",
    "repr_empty": "repr(VecList.empty())",
    "str": "str(vl)",
    "dot": "vl.dot(v)",
    "cross": "vl.cross(v)",
    "magnitude": "vl.magnitude()",
    "normalize": "vl.normalize()",
    "normalize_empty": "VecList.empty().normalize()",
    "is_unit": "vl.is_unit()",
    "distance_to": "vl.distance_to(v)",
    "distance_squared": "vl.distance_squared(v)",
    "to_array": "vl.to_array()",
    "collapse": "vl.collapse(0)",
    "minimum_distance_to": "vl.minimum_distance_to(v, 1)",
    "add": "vl + v",
    "sub": "vl - v",
    "mul": "vl * 2",
    "rmul": "2 * vl",
    "div": "vl / 2",
}
NON_STARTERS = """
    vl = VecList.empty()
    vl.append(v)
    vl.append(v)
    vl.extend(VecList.empty())
    other = VecList.empty(); other.append(v); vl.extend(other)
    len(vl); vl[0]; vl.list
    it = iter(vl); iter(it); list(it); next(iter(vl))
    try:
        vl[10]
    except IndexError:
        pass
    try:
        vl.extend(vl)
    except RuntimeError:
        pass
"""


def test_operations_that_never_start_the_pool():
    out = run_child("v = Vec3d(1, 2, 3)\n" + textwrap.dedent(NON_STARTERS) + "print(tasks())\n",
                    env={"RAYON_NUM_THREADS": "3"})
    assert int(out) == 1


def test_operations_that_start_the_pool():
    # One child per operation; the scripts run concurrently to keep this short.
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["RAYON_NUM_THREADS"] = "3"
    procs = {}
    for name, expr in STARTERS.items():
        script = (PRELUDE + "v = Vec3d(1, 2, 3)\nvl = VecList.empty()\nvl.append(v)\nvl.append(v)\n"
                  + f"before = tasks()\n{expr}\nprint(before, tasks())\n")
        procs[name] = subprocess.Popen([sys.executable, "-c", script], env=env, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True)
    results = {}
    for name, proc in procs.items():
        try:
            out, err = proc.communicate(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            pytest.fail(f"{name} hung")
        assert proc.returncode == 0, err
        results[name] = out.split()
    assert results == {name: ["1", "4"] for name in STARTERS}


def test_failed_internal_checks_start_nothing_but_failures_before_the_pool():
    # collapse(3) and minimum_distance_to(_, 0) fail before touching the list.
    out = run_child("""
        P = None
        vl = VecList.empty()
        for call in (lambda: vl.collapse(3), lambda: vl.minimum_distance_to(Vec3d(0, 0, 0), 0)):
            try:
                call()
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
        print(tasks())
    """, env={"RAYON_NUM_THREADS": "3"})
    assert int(out) == 1


# ---------------------------------------------------------------------------
# Bit-identical results for every worker count

def grains():
    """The sequential grains of the kernels (items): work below two grains
    runs on the calling thread, larger work splits into pieces of at least
    one grain. Read from the source, so that the sizes below stay around
    them when they are recalibrated."""
    import pathlib
    import re
    text = (pathlib.Path(__file__).parents[1] / "tarsk-py" / "src" / "lists" / "kernels.h").read_text()
    found = dict(re.findall(r"k(\w+)Grain = std::size_t\{1\} << (\d+);", text))
    assert set(found) == {"Map", "Join", "Key", "StridedKey"}, found
    return {name: 1 << int(shift) for name, shift in found.items()}


GRAINS = grains()
# Every operation runs on N elements, enough for the maps to split; the sizes
# of AROUND on the first N_MAX elements (N of make_data, then uniform in
# [-100, 100), which is quicker to make).
N = 2 * GRAINS["Map"] + 3
SEED = 20240607


def around(grain):
    """Sizes either side of the first split (two grains) and of the second."""
    return [2 * grain - 1, 2 * grain, 2 * grain + 1, 4 * grain - 1, 4 * grain + 1]


AROUND = {name: around(g) for name, g in GRAINS.items()}
N_MAX = max(AROUND["Map"])


def make_data(n, seed):
    rng = random.Random(seed)
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 1e308, -1e-308, 1.0]

    def comp():
        r = rng.random()
        if r < 0.02:
            return rng.choice(specials)
        if r < 0.1:
            return rng.uniform(-1, 1) * 10.0 ** rng.randint(-300, 300)
        return rng.uniform(-100, 100)

    return [(comp(), comp(), comp()) for _ in range(n)]


# Computes every operation and prints one digest per line. The element bytes
# of every result are hashed exactly, NaN payloads and signs included. Then
# sizes around each kernel's grain, where the division into pieces changes.
DIGEST_CHILD = """
    import array, itertools, random
    exec(DATA_SRC)
    vs = [Vec3d(*t) for t in make_data(N, SEED)]
    tail = [(u >> 11) * 2.0**-53 * 200.0 - 100.0
            for u in struct.unpack(f"<{3 * (N_MAX - N)}Q", random.Random(SEED).randbytes(24 * (N_MAX - N)))]
    all_vs = vs + [Vec3d(*tail[i:i + 3]) for i in range(0, len(tail), 3)]
    vl = VecList(vs)
    o = Vec3d(0.25, -3.5, 7.0)
    q = Quat(0.8, -0.36, 0.48, 0.0)
    def vbytes(r):
        return array.array("d", itertools.chain.from_iterable(r.to_array())).tobytes()
    def fbytes(r):
        return struct.pack(f"<{len(r)}d", *r)
    def h(b):
        return hashlib.sha256(b).hexdigest()
    results = {
        "to_array": vbytes(vl),
        "normalize": vbytes(vl.normalize()),
        "cross": vbytes(vl.cross(o)),
        "add": vbytes(vl + o),
        "sub": vbytes(vl - o),
        "mul": vbytes(vl * 1.7),
        "rmul": vbytes(-0.3 * vl),
        "div": vbytes(vl / 3.0),
        "div0": vbytes(vl / 0.0),
        "collapse0": vbytes(vl.collapse(0)),
        "collapse1": vbytes(vl.collapse(1)),
        "collapse2": vbytes(vl.collapse(2)),
        "dot": fbytes(vl.dot(o)),
        "magnitude": fbytes(vl.magnitude()),
        "distance_to": fbytes(vl.distance_to(o)),
        "distance_squared": fbytes(vl.distance_squared(o)),
        "is_unit": bytes(vl.is_unit()),
        "repr": repr(vl).encode(),
    }
    r = VecList(vs)
    r.rotate(q)
    results["rotate"] = vbytes(r)
    finite = [v for v in vs if all(abs(c) < 1e3 for c in (v.x, v.y, v.z))]
    fl = VecList(finite)
    for stride in (1, 3, 7, 1000, 10**9):
        p, d = fl.minimum_distance_to(o, stride)
        results[f"min{stride}"] = struct.pack("<Qd", p, d)
    # Ties everywhere: the earliest position must win whatever the split.
    same = VecList([Vec3d(1, 1, 1)] * (4 * GRAINS["Key"] + 1))
    results["tie"] = struct.pack("<Qd", *same.minimum_distance_to(Vec3d(0, 0, 0), 1))
    for n in AROUND["Map"]:
        sub = VecList(all_vs[:n])
        results[f"dot {n}"] = fbytes(sub.dot(o))
        results[f"distance_squared {n}"] = fbytes(sub.distance_squared(o))
    finite_all = [v for v in all_vs if all(abs(c) < 1e3 for c in (v.x, v.y, v.z))]
    assert len(finite_all) > max(AROUND["Key"]) and len(finite_all) > 3 * max(AROUND["StridedKey"])
    for n in AROUND["Join"]:
        results[f"repr {n}"] = repr(VecList(vs[:n])).encode()
    for n in AROUND["Key"]:
        results[f"min1 {n}"] = struct.pack("<Qd", *VecList(finite_all[:n]).minimum_distance_to(o, 1))
    for candidates in AROUND["StridedKey"]:
        n = 3 * (candidates - 1) + 1
        results[f"min3 {candidates}"] = struct.pack("<Qd", *VecList(finite_all[:n]).minimum_distance_to(o, 3))
    # Two different NaN payloads meeting in one operation (element and
    # argument, or two components of one element): the one that survives must
    # not depend on where a piece ends. The list splits differently for each
    # worker count and its length is no multiple of any vector width; its five
    # element kinds recur at every offset around every place a split can fall,
    # where the elements are compared (every element of the float results).
    def nan(payload, sign=0):
        return struct.unpack("<d", struct.pack("<Q", sign << 63 | 0x7ff8 << 48 | payload))[0]
    A, B, C, D, E = nan(0x123), nan(0xabc), nan(0x456, 1), nan(0x789), nan(0xdef, 1)
    kinds = [Vec3d(A, C, D), Vec3d(A, 1.0, 2.0), Vec3d(3.0, C, -1.0), Vec3d(2.0, 1.0, D), Vec3d(-0.5, 0.25, 4.0)]
    m = 4 * GRAINS["Map"] + 37
    nl = VecList((kinds * (m // len(kinds) + 1))[:m])
    near = sorted({min(max(k * m // 16 + d, 0), m - 1) for k in range(17) for d in range(-40, 40)})
    def sample(r):
        return b"".join(struct.pack("<3d", v.x, v.y, v.z) for v in map(r.__getitem__, near))
    nan_results = {"list": sample(nl), "normalize": sample(nl.normalize()), "magnitude": fbytes(nl.magnitude()),
                   "is_unit": bytes(nl.is_unit()), "collapse": sample(nl.collapse(1)),
                   "mul": sample(nl * B), "rmul": sample(E * nl), "div": sample(nl / B)}
    for k, other in enumerate((Vec3d(B, B, B), Vec3d(0.5, E, -2.0))):
        nan_results.update({
            f"add {k}": sample(nl + other), f"sub {k}": sample(nl - other), f"cross {k}": sample(nl.cross(other)),
            f"dot {k}": fbytes(nl.dot(other)), f"distance_to {k}": fbytes(nl.distance_to(other)),
            f"distance_squared {k}": fbytes(nl.distance_squared(other)),
            f"min1 {k}": struct.pack("<Qd", *nl.minimum_distance_to(other, 1)),
            f"min3 {k}": struct.pack("<Qd", *nl.minimum_distance_to(other, 3))})
    r = VecList((kinds * (m // len(kinds) + 1))[:m])
    r.rotate(Quat(B, 0.6, E, 0.8))
    nan_results["rotate"] = sample(r)
    results.update({f"nan {name}": b for name, b in nan_results.items()})
    for name, b in results.items():
        print(name.replace(" ", "_"), h(b))
"""


@functools.lru_cache(maxsize=None)
def digests_for(count):
    import inspect
    data_src = inspect.getsource(make_data)
    code = (f"N = {N}\nN_MAX = {N_MAX}\nSEED = {SEED}\nGRAINS = {GRAINS!r}\nAROUND = {AROUND!r}\n"
            f"DATA_SRC = {data_src!r}\n"
            + textwrap.dedent(DIGEST_CHILD))
    out = run_child(code + "print('workers', tasks() - 1)\n", env={"RAYON_NUM_THREADS": str(count)})
    lines = dict(line.split() for line in out.splitlines())
    assert lines.pop("workers") == str(count)
    return dict(lines)


def parent_digests():
    """The same results computed element by element with Vec3d, in this
    process; NaNs are canonicalised since the per-element route may carry
    another NaN payload than the list route."""
    data = make_data(N, SEED)
    vs = [Vec3d(*t) for t in data]
    o = Vec3d(0.25, -3.5, 7.0)
    q = Quat(0.8, -0.36, 0.48, 0.0)
    return vs, o, q


def canon(x):
    return math.nan if x != x else x


def canon_vbytes(vs):
    return b"".join(struct.pack("<3d", canon(v.x), canon(v.y), canon(v.z)) for v in vs)


def test_results_identical_for_worker_counts():
    # The children run concurrently (the machine is small; they are short).
    import concurrent.futures
    with concurrent.futures.ThreadPoolExecutor(4) as ex:
        digests = dict(zip((1, 2, 3, 7), ex.map(digests_for, (1, 2, 3, 7))))
    base = digests[1]
    assert len(base) >= 20
    for count in (2, 3, 7):
        assert digests[count] == base, count


def test_large_list_matches_per_element_vec3d():
    """In this process (default worker count), a list large enough to be split
    gives for every element what the Vec3d operation gives."""
    vs, o, q = parent_digests()
    vl = VecList(vs)

    def check_vecs(result, fn):
        assert canon_vbytes(result.list) == canon_vbytes([fn(v) for v in vs])

    def check_floats(result, fn):
        want = [fn(v) for v in vs]
        assert struct.pack(f"<{len(result)}d", *map(canon, result)) == struct.pack(
            f"<{len(want)}d", *map(canon, want))

    # The other operations share these kernels; their formulas are checked
    # element by element on small lists elsewhere.
    check_vecs(vl, lambda v: v)
    check_vecs(vl.normalize(), Vec3d.normalize)
    check_vecs(vl - o, lambda v: v - o)
    check_floats(vl.dot(o), lambda v: v.dot(o))
    assert vl.is_unit() == [v.is_unit() for v in vs]
    assert repr(vl) == "[" + "\n".join(map(repr, vs)) + "]"
    r = VecList(vs)
    r.rotate(q)
    check_vecs(r, q.rotate)


def test_child_results_match_parent():
    """The worker-count children and this process agree on the results that
    carry no NaN (exact bytes)."""
    vs, o, q = parent_digests()
    child = digests_for(2)

    def h(b):
        return hashlib.sha256(b).hexdigest()

    vb = lambda rs: b"".join(struct.pack("<3d", v.x, v.y, v.z) for v in rs)  # noqa: E731
    assert child["to_array"] == h(vb(vs))
    assert child["collapse2"] == h(vb([Vec3d(v.x, v.y, 0.0) for v in vs]))
    assert child["repr"] == h(("[" + "\n".join(map(repr, vs)) + "]").encode())
    assert child["is_unit"] == h(bytes(v.is_unit() for v in vs))
    finite = [v for v in vs if all(abs(c) < 1e3 for c in (v.x, v.y, v.z))]
    keys = [v.distance_squared(o) for v in finite]
    best = min(range(len(keys)), key=lambda i: (keys[i], i))
    assert child["min1"] == h(struct.pack("<Qd", best, math.sqrt(keys[best])))


# ---------------------------------------------------------------------------
# Sleep and wake-up

def test_no_lost_wake_up_under_stress(tmp_path):
    """New work announced while a worker wakes for its own latch always gets a
    worker (tests/native/sleep_stress.cpp drives the pool's sleep state
    directly, aiming the announcement at the instant of that wake-up)."""
    import pathlib
    import shutil
    cxx = os.environ.get("CXX") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    root = pathlib.Path(__file__).parents[1]
    exe = tmp_path / "sleep_stress"
    subprocess.run([cxx, "-std=c++20", "-O2", "-pthread", f"-I{root / 'tarsk-py' / 'src'}", "-o", str(exe),
                    str(root / "tests" / "native" / "sleep_stress.cpp"),
                    str(root / "tarsk-py" / "src" / "pool" / "sleep.cpp")], check=True, timeout=TIMEOUT)
    proc = subprocess.run([str(exe), "3"], capture_output=True, text=True, timeout=TIMEOUT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.startswith("rounds ") and " lost 0 " in proc.stdout, proc.stdout


# ---------------------------------------------------------------------------
# fork

def test_os_fork_child_starts_a_fresh_pool():
    out = run_child("""
        import signal
        vl = VecList([Vec3d(i, 0, 0) for i in range(10_000)])
        m = vl.normalize()
        parent_tasks = tasks()
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            signal.alarm(ALARM)  # a hang kills the child instead of blocking
            try:
                os.close(r)
                t0 = tasks()
                got = VecList([Vec3d(i, 0, 0) for i in range(10_000)]).normalize()
                ok = got.list[5].x == 1.0 and len(got) == 10_000 and repr(got) == repr(m)
                msg = f"{int(ok)} {t0} {tasks()}"
            except BaseException as e:
                msg = f"0 {e!r}"
            os.write(w, msg.encode())
            os._exit(0)
        os.close(w)
        _, status = os.waitpid(pid, 0)
        print(parent_tasks, os.read(r, 200).decode(), status)
    """.replace("ALARM", str(TIMEOUT // 6)), env={"RAYON_NUM_THREADS": "3"})
    # The child's wait status follows its report (14: killed by the alarm).
    assert out.split() == ["4", "1", "1", "4", "0"], out


def test_multiprocessing_fork_context():
    out = run_child("""
        import multiprocessing as mp
        def work(n):
            vl = VecList([Vec3d(i, 1, 2) for i in range(n)])
            return [vl.magnitude()[n - 1], len(vl.normalize()), repr(VecList.empty()), tasks()]
        if __name__ == "__main__":
            VecList([Vec3d(1, 2, 3)] * 1000).normalize()  # the parent's pool runs
            ctx = mp.get_context("fork")
            with ctx.Pool(2) as pool:
                results = [pool.apply_async(work, (n,)) for n in (10, 5000, 100_000)]
                got = [r.get(timeout=30) for r in results]
            print(got)
    """, env={"RAYON_NUM_THREADS": "2"})
    got = eval(out)
    assert [g[:3] for g in got] == [[Vec3d(9, 1, 2).magnitude(), 10, "[]"],
                                    [Vec3d(4999, 1, 2).magnitude(), 5000, "[]"],
                                    [Vec3d(99_999, 1, 2).magnitude(), 100_000, "[]"]]
    assert all(g[3] >= 3 for g in got)  # the worker process has its own pool


def test_fork_before_the_pool_started():
    out = run_child("""
        import signal
        pid = os.fork()
        if pid == 0:
            signal.alarm(20)
            n = len(VecList([Vec3d(1, 2, 3)] * 100).normalize())
            os._exit(0 if n == 100 and tasks() == 3 else 1)
        _, status = os.waitpid(pid, 0)
        VecList([Vec3d(1, 2, 3)] * 100).normalize()
        print(status, tasks())
    """, env={"RAYON_NUM_THREADS": "2"})
    assert out.split() == ["0", "3"]


# ---------------------------------------------------------------------------
# A pool that cannot start

NOT_INITIALIZED = "The global thread pool has not been initialized."


@pytest.mark.parametrize("count", ["18446744073709551615", "4000000000"])
def test_huge_worker_count_fails_cleanly(count):
    out = run_child("""
        vl = VecList.empty()
        vl.append(Vec3d(1, 2, 3))
        messages = []
        for _ in range(2):
            try:
                vl.normalize()
            except BaseException as e:
                assert type(e).__name__ == "PanicException"
                assert not isinstance(e, Exception)
                messages.append(e.args[0])
        # The list is untouched, and the pool-free operations still work.
        assert [ (v.x, v.y, v.z) for v in vl ] == [(1, 2, 3)]
        vl.append(Vec3d(4, 5, 6))
        print(repr(messages))
    """, env={"RAYON_NUM_THREADS": count})
    messages = eval(out)
    assert len(messages) == 2 and messages[0] == messages[1]
    assert messages[0].startswith(NOT_INITIALIZED + ": ")


def test_thread_creation_failing_midway_fails_cleanly():
    # A ceiling on the address space lets a few hundred worker stacks be
    # mapped and then refuses: the start fails after some threads exist.
    out = run_child("""
        import resource
        size = int(open('/proc/self/statm').read().split()[0]) * os.sysconf('SC_PAGE_SIZE')
        limit = size + (1 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        results = []
        for _ in range(2):
            try:
                VecList([Vec3d(1, 2, 3)])
                results.append("started")
            except BaseException as e:
                results.append(type(e).__name__ + ": " + e.args[0])
        print(repr(results))
    """, env={"RAYON_NUM_THREADS": "20000"})
    results = eval(out)
    assert results[0] == results[1]
    assert results[0].startswith("PanicException: " + NOT_INITIALIZED + ": ")


def test_idle_workers_take_no_cpu():
    # Large enough that the workers share the work before they go idle.
    out = run_child(f"""
        import time
        vl = VecList([Vec3d(i, i, i) for i in range({4 * GRAINS["Map"]})])
        for _ in range(5):
            vl.normalize()
        time.sleep(0.3)
        t0 = os.times()
        time.sleep(1.0)
        t1 = os.times()
        print((t1.user - t0.user) + (t1.system - t0.system))
    """, env={"RAYON_NUM_THREADS": "4"})
    assert float(out) < 0.05


def test_small_work_wakes_no_worker():
    """Work below two grains runs on the calling thread: a thousand such calls
    leave the sleeping workers asleep (a worker that is woken and sleeps again
    counts a voluntary context switch), while work above them wakes them."""
    out = run_child(f"""
        import time
        def switches():
            total = 0
            for tid in os.listdir('/proc/self/task'):
                if int(tid) == os.getpid():
                    continue
                with open(f'/proc/self/task/{{tid}}/status') as f:
                    for line in f:
                        if line.startswith('voluntary_ctxt_switches:'):
                            total += int(line.split()[1])
            return total
        o = Vec3d(1, 2, 3)
        small = VecList([Vec3d(i, i, i) for i in range({2 * GRAINS["Map"] - 1})])
        large = VecList([Vec3d(i, i, i) for i in range({2 * GRAINS["Map"]})])
        texts = VecList([Vec3d(i, i, i) for i in range({2 * GRAINS["Join"] - 1})])
        keys = VecList([Vec3d(i, i, i) for i in range({2 * GRAINS["Key"] - 1})])
        large.normalize()
        time.sleep(0.3)
        before = switches()
        for _ in range(200):
            small.normalize(); small + o; small.dot(o); repr(texts); keys.minimum_distance_to(o, 1)
        quiet = switches() - before
        before = switches()
        for _ in range(20):
            time.sleep(0.01)
            large.normalize()
        print(quiet, switches() - before)
    """, env={"RAYON_NUM_THREADS": "2"})
    quiet, woken = map(int, out.split())
    assert quiet < 20
    assert woken >= 20
