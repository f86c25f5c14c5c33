"""Python code that runs in the middle of a call without being an argument's
conversion: a garbage collection started by an allocation (finalizers and
gc.callbacks), and the end of a daemon thread at interpreter exit. Each case
runs in a fresh interpreter, so that a fault ends that process and not the
test run."""
import subprocess
import sys
import sysconfig
import textwrap

import pytest


def run_python(code, timeout=60):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, (proc.returncode, proc.stdout, proc.stderr[-2000:])
    return proc.stdout


# The free-threaded collector does not start a collection for the first
# allocations after gc.set_threshold(1), so no collection runs inside the
# call (the borrow words guard those builds: tests/test_free_threading.py).
needs_threshold_collection = pytest.mark.skipif(
    bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
    reason="the free-threaded collector does not run inside a call on gc.set_threshold(1)")


@needs_threshold_collection
def test_collection_inside_a_call_cannot_change_what_the_call_reads():
    # Every call that builds a list or tuple of its result, with a collector
    # hook that changes the receiver and the arguments whenever a collection
    # starts. The result must be the one computed from the values at the call.
    out = run_python("""
        import gc
        from tarsk_py import Quat, Vec3d, VecList, geometry

        def V(i):
            return Vec3d(i + 0.5, 2.0 * i - 1.0, 0.25 * i)

        def grow(lst):
            for i in range(2000):
                lst.append(V(i))

        def shift(v):
            v.x, v.y, v.z = v.x + 1e6, -v.y, v.z + 7.0

        def cases():
            # (label, function, arguments, changes made during the call)
            for name in ("list", "to_array", "magnitude", "is_unit", "dot", "distance_to",
                         "distance_squared", "minimum_distance_to"):
                lst, o = VecList([V(i) for i in range(5)]), Vec3d(0.5, 1.5, -2.0)
                if name == "list":
                    fn, args = VecList.list.__get__, (lst,)
                else:
                    fn = getattr(lst, name)
                    args = {"dot": (o,), "distance_to": (o,), "distance_squared": (o,),
                            "minimum_distance_to": (o, 1)}.get(name, ())
                yield f"VecList.{name}", fn, args, [lambda lst=lst: grow(lst), lambda o=o: shift(o)]
            v = Vec3d(1.0, 2.0, 3.0)
            yield "Vec3d.to_array", v.to_array, (), [lambda: shift(v)]
            for name in ("to_rotation_matrix", "to_axis_angle", "to_vec3d"):
                q = Quat(0.5, 0.5, -0.5, 0.5)
                def change(q=q):
                    q.w, q.i, q.j, q.k = 9.0, 8.0, 7.0, 6.0
                yield f"Quat.{name}", getattr(q, name), (), [change]
            c1 = geometry.Circle(Vec3d(0, 0, 0), 2.0, Vec3d(0, 0, 1))
            c2 = geometry.Circle(Vec3d(1, 0, 0), 2.0, Vec3d(0, 0, 1))
            def radius():
                c1.radius = 0.5
            def center():
                c2.center = Vec3d(100.0, 0.0, 0.0)
            yield "circle_circle", geometry.circle_circle, (c1, c2), [radius, center]

        def plain(x):
            if isinstance(x, (list, tuple)):
                return [plain(e) for e in x]
            return repr(x)

        changes = None
        def on_gc(phase, info):
            global changes
            if changes and phase == "start":
                todo, changes = changes, None
                for change in todo:
                    try:
                        change()
                    except RuntimeError:
                        pass  # the call holds the object
        gc.callbacks.append(on_gc)

        for label, fn, args, todo in cases():
            expected = plain(fn(*args))
            gc.collect()
            gc.set_threshold(1)
            changes = todo
            got = fn(*args)
            gc.set_threshold(700)
            assert changes is None, label  # a collection ran inside the call
            got = plain(got)
            assert got == expected, (label, got, expected)
            print(label, "ok")
    """)
    lines = out.splitlines()
    assert lines and all(line.endswith(" ok") for line in lines), out


def test_daemon_thread_inside_a_conversion_at_exit():
    # The interpreter ends a daemon thread that wakes up inside a call while
    # it shuts down by unwinding the thread; the unwind must pass through the
    # call. The thread spends nearly all its time sleeping in a conversion.
    for _ in range(3):
        run_python("""
            import threading, time
            from tarsk_py import Vec3d

            class Slow:
                def __float__(self):
                    started.set()
                    time.sleep(0.001)
                    return 1.0

            def convert_forever():
                while True:
                    Vec3d(Slow(), 0, 0)

            started = threading.Event()
            threading.Thread(target=convert_forever, daemon=True).start()
            started.wait()
        """)


@needs_threshold_collection
def test_iterator_type_made_by_a_finalizer_during_its_creation():
    # The first iterator creates the iterator type; a collection during that
    # creation makes another iterator. Both belong to the one type.
    out = run_python("""
        import gc
        from tarsk_py import Vec3d, VecList

        lst = VecList([Vec3d(1, 2, 3), Vec3d(4, 5, 6)])
        made = []
        def on_gc(phase, info):
            if phase == "start" and not made:
                made.append(iter(lst))
        gc.callbacks.append(on_gc)
        gc.set_threshold(1)
        it = iter(lst)
        gc.set_threshold(700)
        gc.callbacks.remove(on_gc)
        assert made and type(made[0]) is type(it), made
        print([v.to_array() for v in made[0]] == [v.to_array() for v in it])
    """)
    assert out.strip() == "True"
