"""The classes themselves travel by reference: after `import tarsk_interop`,
`getattr(builtins, name)` finds each of tarsk_py's eight classes (and
nothing else changes in the interpreter), so pickle, cloudpickle and Dask
write and read them as names; on a real LocalCluster a class comes back as
the same class, a `__main__` function naming Vec3d runs on the workers, and a
tarsk object that cannot be rebuilt is an error on the client, not lost
workers and a hang."""
import builtins
import copy
import json
import pickle
import subprocess
import sys
import textwrap
import types

import pytest

import tarsk_interop
from tarsk_interop import _classes
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

CLASSES = [AngleDegrees, AngleRadians, Quat, Vec3d, VecList, type(iter(VecList.empty())),
           geometry.Plane, geometry.Circle]
NAMES = sorted(cls.__qualname__ for cls in CLASSES)


def _python(code, timeout=120):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)
    return proc


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_class_pickles_by_name(protocol):
    for cls in CLASSES:
        data = pickle.dumps(cls, protocol=protocol)
        assert pickle.loads(data) is cls
        assert cls.__qualname__.encode() in data and len(data) < 64


def test_cloudpickle_ships_the_classes_by_reference():
    cloudpickle = pytest.importorskip("cloudpickle")
    for cls in CLASSES:
        data = cloudpickle.dumps(cls)
        # By reference: plain pickle reads it, and it is the class itself.
        assert pickle.loads(data) is cls and len(data) < 64


def test_exactly_the_eight_names_are_found_and_nothing_else_changes():
    assert sorted(_classes.classes()) == NAMES
    for cls in CLASSES:
        assert getattr(builtins, cls.__qualname__) is cls
        assert cls.__qualname__ not in vars(builtins)
    # No name reaches the builtins' dictionary, so none becomes a bare name.
    assert "__getattr__" not in vars(builtins)
    for name in ("Vec3d", "__getattr__"):
        with pytest.raises(NameError):
            eval(name, {})
    with pytest.raises(AttributeError, match="^module 'builtins' has no attribute 'Vec3dd'$"):
        getattr(builtins, "Vec3dd")
    module_type = type(builtins)
    assert isinstance(builtins, types.ModuleType)
    _classes.install()  # a second install (a reload) keeps the one type
    assert type(builtins) is module_type
    # The module itself still pickles and copies by reference where it did.
    assert copy.deepcopy(builtins) is builtins
    cloudpickle = pytest.importorskip("cloudpickle")

    def uses_the_module():
        return builtins.len([1, 2])

    assert pickle.loads(cloudpickle.dumps(uses_the_module))() == 2


def test_a_later_hook_that_does_not_chain_leaves_the_classes_found():
    proc = _python("""
        import builtins, pickle
        import tarsk_interop, tarsk_py
        def later(name):
            if name == "Other":
                return 42
            raise AttributeError(name)
        builtins.__getattr__ = later                         # another library's hook
        assert builtins.Other == 42
        assert pickle.loads(pickle.dumps(tarsk_py.Vec3d)) is tarsk_py.Vec3d
        print("found")
        """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "found"


def test_a_fresh_process_loads_the_classes_after_importing_tarsk_interop():
    data = pickle.dumps(CLASSES).hex()
    proc = _python(f"""
        import pickle
        try:
            pickle.loads(bytes.fromhex("{data}"))
        except AttributeError as exc:
            print("without:", exc)
        import tarsk_interop
        print("with:", sorted(c.__qualname__ for c in pickle.loads(bytes.fromhex("{data}"))))
        """)
    assert proc.returncode == 0, proc.stderr
    without, with_ = proc.stdout.splitlines()
    assert without.startswith("without: ") and "builtins" in without
    assert with_ == f"with: {NAMES}"


def test_an_existing_hook_and_taken_names_are_kept():
    proc = _python("""
        import builtins, pickle
        def earlier(name):
            if name == "Other":
                return 42
            raise AttributeError(name)
        builtins.__getattr__ = earlier
        builtins.Quat = "someone else's"
        import tarsk_interop, tarsk_py
        assert builtins.Other == 42                          # asked for other names
        assert builtins.Vec3d is tarsk_py.Vec3d
        assert builtins.Quat == "someone else's"             # a held name keeps its value
        try:
            pickle.dumps(tarsk_py.Quat)
        except pickle.PicklingError:
            print("Quat refused")
        """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "Quat refused"


# -- on a real cluster ---------------------------------------------------------

# Run as a script, so that its functions live in __main__ and Dask ships them
# by value (cloudpickle), as it does for a user's script or notebook. The
# packages are imported under the main guard only: the worker processes, which
# import this script as __mp_main__, get tarsk_interop from register() alone.
CLUSTER_SCRIPT = r'''
import json
import pickle
import struct


def ident(x):
    return x


def make(x, y, z):
    return Vec3d(x, y, z)  # a global of __main__


def classes_of(objects):
    return [type(o) for o in objects]


class BrokenVecList:
    """Pickles as a VecList whose element bytes are cut short."""

    def __reduce__(self):
        return tarsk_interop._veclist_from_buffer, (b"\0" * 25,)


if __name__ == "__main__":
    from distributed import Client, LocalCluster

    import tarsk_interop
    import tarsk_interop.dask as tid
    from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList, geometry

    classes = [AngleDegrees, AngleRadians, Quat, Vec3d, VecList, type(iter(VecList.empty())),
               geometry.Plane, geometry.Circle]
    out = {}
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \
            Client(cluster, timeout=60) as client:
        tid.register(client)
        workers = len(client.scheduler_info()["workers"])
        out["same classes"] = all(client.submit(ident, cls, pure=False).result(timeout=60) is cls
                                  for cls in classes)
        back = client.submit(ident, classes, pure=False).result(timeout=60)
        out["all at once"] = back == classes and all(a is b for a, b in zip(back, classes))
        v = client.submit(make, 1.5, -0.0, 5e-324, pure=False).result(timeout=60)
        out["main function"] = type(v) is Vec3d and \
            struct.pack("<3d", v.x, v.y, v.z) == struct.pack("<3d", 1.5, -0.0, 5e-324)
        objects = [Vec3d(1, 2, 3), Quat(1, 0, 0, 0), VecList([Vec3d(0, 0, 1)])]
        out["types from workers"] = client.submit(classes_of, objects, pure=False).result(timeout=60) == \
            [Vec3d, Quat, VecList]
        try:
            client.submit(ident, BrokenVecList(), pure=False).result(timeout=60)
            out["broken"] = "no error"
        except TimeoutError:
            out["broken"] = "hang"
        except Exception as exc:
            out["broken"] = f"{type(exc).__name__}"
        out["workers before"] = workers
        out["workers after"] = len(client.run(lambda: 1))
        out["still works"] = client.submit(make, 1.0, 2.0, 3.0, pure=False).result(timeout=60).z == 3.0
    print(json.dumps(out))
'''


@pytest.fixture(scope="module")
def cluster_run(tmp_path_factory):
    pytest.importorskip("distributed")
    script = tmp_path_factory.mktemp("cluster") / "script.py"
    script.write_text(CLUSTER_SCRIPT)
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                          cwd=script.parent)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_classes_travel_as_classes_on_a_cluster(cluster_run):
    assert cluster_run["same classes"] is True
    assert cluster_run["all at once"] is True
    assert cluster_run["types from workers"] is True


def test_a_main_function_naming_vec3d_runs_on_the_workers(cluster_run):
    assert cluster_run["main function"] is True


def test_an_object_that_cannot_be_rebuilt_is_an_error_on_the_client(cluster_run):
    assert cluster_run["broken"] not in ("no error", "hang")
    assert cluster_run["workers before"] == cluster_run["workers after"] == 2
    assert cluster_run["still works"] is True
