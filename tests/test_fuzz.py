"""Hostile-input fuzzing of every Python-visible callable of the module.

Every callable is found by walking the classes of tarsk_py and of its
geometry submodule (and VecListIterator, reached through iter()): the
constructor, methods, static methods, property getters, setters and deleters,
the slot wrappers, and every operator and protocol function of the `operator`
and builtins modules (both operand orders). Each is called with arguments
drawn from hostile pools; every call must end in a value or in an exception
the module's conventions allow. A crash, a SystemError or an undocumented
internal failure fails the test.

The number of calls is TARSK_FUZZ_CALLS (default 100000) and the seed
TARSK_FUZZ_SEED (default 20240607):

    TARSK_FUZZ_CALLS=2000000 TARSK_FUZZ_SEED=7 python3 -m pytest tests/test_fuzz.py

TARSK_FUZZ_TRACE=1 writes every call to standard error before it is made, so
the last line before a crash names the culprit.
"""
import math
import operator
import os
import random
import sys
import sysconfig
import warnings

import numpy as np
import pytest

import tarsk_py
from tarsk_py import AngleDegrees, AngleRadians, Quat, Vec3d, VecList

from floats import panic_type


geometry = tarsk_py.geometry
VecListIterator = type(iter(VecList.empty()))
PanicException = None  # found on the first internal failure

DOCUMENTED_PANICS = {
    "assertion failed: axis <= 2",
    "assertion failed: stride != 0",
    "called `Option::unwrap()` on a `None` value",
}
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
ALLOWED = (TypeError, ValueError, OverflowError, IndexError, AttributeError, MemoryError,
           StopIteration)

CALLS = int(os.environ.get("TARSK_FUZZ_CALLS", "100000"))
SEED = int(os.environ.get("TARSK_FUZZ_SEED", "20240607"))
TRACE = os.environ.get("TARSK_FUZZ_TRACE") == "1"

CLASSES = [Vec3d, VecList, VecListIterator, AngleRadians, AngleDegrees, Quat,
           geometry.Plane, geometry.Circle]


# ---------------------------------------------------------------------------
# Receivers: small, fresh values of every class

def make_instance(cls, rng):
    f = lambda: rng.choice([0.0, 1.0, -2.5, 1e-300, math.inf, math.nan, -0.0, 3.0])
    if cls is Vec3d:
        return Vec3d(f(), f(), f())
    if cls is VecList:
        return VecList([Vec3d(f(), f(), f()) for _ in range(rng.choice([0, 0, 1, 2, 3, 5]))])
    if cls is VecListIterator:
        it = iter(make_instance(VecList, rng))
        if rng.random() < 0.3:
            next(it, None)
        return it
    if cls is AngleRadians:
        return AngleRadians(f())
    if cls is AngleDegrees:
        return AngleDegrees(f())
    if cls is Quat:
        return rng.choice([Quat.identity(), Quat(f(), f(), f(), f())])
    if cls is geometry.Plane:
        return rng.choice([geometry.Plane.xy(), geometry.Plane(Vec3d(f(), f(), f()), f())])
    if cls is geometry.Circle:
        return rng.choice([geometry.Circle.none(),
                           geometry.Circle(Vec3d(f(), f(), f()), f(), Vec3d(f(), f(), f()))])
    raise AssertionError(cls)


# ---------------------------------------------------------------------------
# Hostile objects. Each records the exceptions it raises, so that the test can
# tell an exception propagated unchanged from one the module made up.

class HostileError(Exception):
    pass


class Context:
    """What the hostile objects of one call may reach: the objects to change
    while the call runs, and the exceptions they raised."""

    def __init__(self):
        self.targets = []
        self.raised = []
        self.rng = random.Random(0)

    def fail(self, kind):
        if kind == "zero":
            exc = ZeroDivisionError("hostile")
        elif kind == "panic":
            exc = panic_type()("hostile panic")
        else:
            exc = HostileError(kind)
        self.raised.append(exc)
        raise exc

    def mutate(self):
        """Changes one of the call's objects in place (any outcome is fine:
        a borrow error is the expected answer while the object is in use)."""
        if not self.targets:
            return
        target = self.rng.choice(self.targets)
        try:
            if isinstance(target, VecList):
                action = self.rng.randrange(3)
                if action == 0:
                    target.append(Vec3d(7.0, 8.0, 9.0))
                elif action == 1:
                    target.extend(VecList([Vec3d(1.0, 1.0, 1.0)] * 3))
                else:
                    target.rotate(Quat(0.0, 1.0, 0.0, 0.0))
            elif isinstance(target, VecListIterator):
                next(target, None)
            elif isinstance(target, Vec3d):
                target.x = 123.0
            elif isinstance(target, (AngleRadians, AngleDegrees)):
                target.angle = -1.0
            elif isinstance(target, Quat):
                target.k = 42.0
            elif isinstance(target, geometry.Plane):
                target.normal = Vec3d(0.0, 0.0, 9.0)
                target.distance = 5.0
            elif isinstance(target, geometry.Circle):
                target.radius = -3.0
                target.center = Vec3d(1.0, 2.0, 3.0)
        except RuntimeError as e:
            assert str(e) in BORROW_ERRORS, e


CTX = Context()


class BadFloat:
    """__float__ that raises, returns the wrong type, or changes the call's objects."""

    def __init__(self, mode):
        self.mode = mode

    def __float__(self):
        m = self.mode
        if m == "raise":
            CTX.fail("float")
        if m == "zero":
            CTX.fail("zero")
        if m == "panic":
            CTX.fail("panic")
        if m == "wrong":
            return "1.5"
        if m == "int":
            return 3
        if m == "mutate":
            CTX.mutate()
            return 2.0
        if m == "nan":
            CTX.mutate()
            return math.nan
        return 1.0

    def __repr__(self):
        return f"BadFloat({self.mode!r})"


class BadIndex:
    """__index__ that raises, returns the wrong type or a huge value, or changes the call's objects."""

    def __init__(self, mode):
        self.mode = mode

    def __index__(self):
        m = self.mode
        if m == "raise":
            CTX.fail("index")
        if m == "wrong":
            return 1.0
        if m == "huge":
            return 2 ** 70
        if m == "negative":
            return -1
        if m == "mutate":
            CTX.mutate()
            return 1
        if m == "mutate0":
            CTX.mutate()
            return 0
        return 2

    def __repr__(self):
        return f"BadIndex({self.mode!r})"


class BadBool:
    """__bool__ that raises, returns the wrong type, or changes the call's objects."""

    def __init__(self, mode):
        self.mode = mode

    def __bool__(self):
        m = self.mode
        if m == "raise":
            CTX.fail("bool")
        if m == "wrong":
            return 1
        if m == "mutate":
            CTX.mutate()
            return True
        return False

    def __repr__(self):
        return f"BadBool({self.mode!r})"


# A class that claims to be numpy's boolean scalar, so the bool conversion
# reaches its truth-value slot.
FakeNumpyBool = type("bool_", (BadBool,), {"__module__": "numpy"})


class BadEq:
    """__eq__ that raises, returns an object whose truth raises, or changes the call's objects."""

    def __init__(self, mode):
        self.mode = mode

    def __eq__(self, other):
        m = self.mode
        if m == "raise":
            CTX.fail("eq")
        if m == "badtruth":
            return BadBool("raise")
        if m == "mutate":
            CTX.mutate()
            return False
        return NotImplemented

    __hash__ = None

    def __repr__(self):
        return f"BadEq({self.mode!r})"


class BadSequence:
    """A sequence whose __len__, __iter__ or items misbehave."""

    def __init__(self, mode, items=()):
        self.mode = mode
        self.items = list(items)

    def __len__(self):
        m = self.mode
        if m == "len_raise":
            CTX.fail("len")
        if m == "len_wrong":
            return "three"
        if m == "len_negative":
            return -1
        if m == "len_huge":
            return 2 ** 62
        if m == "len_lie":
            return 1 << 30
        if m == "mutate_len":
            CTX.mutate()
        return len(self.items)

    def __getitem__(self, i):
        if self.mode == "getitem_raise":
            CTX.fail("getitem")
        return self.items[i]

    def __iter__(self):
        m = self.mode
        if m == "iter_raise":
            CTX.fail("iter")
        if m == "iter_wrong":
            return 5
        if m == "iter_midway":
            return self._midway()
        if m == "iter_mutate":
            return self._mutating()
        return iter(self.items)

    def _midway(self):
        yield from self.items[:1]
        CTX.fail("iteration")

    def _mutating(self):
        for item in self.items:
            CTX.mutate()
            yield item

    def __repr__(self):
        return f"BadSequence({self.mode!r}, {len(self.items)} items)"


class FloatSub(float):
    pass


class IntSub(int):
    pass


def hostile_pool(rng):
    """Arguments for one call: plain values, numpy values, instances of every
    class and hostile objects."""
    v = Vec3d(1.0, 2.0, 3.0)
    plain = [
        None, True, False, 0, 1, 2, 3, -1, -2 ** 63, 2 ** 63, 2 ** 64, 2 ** 64 - 1, 10 ** 400,
        IntSub(1), 0.0, -0.0, 1.0, math.nan, -math.nan, math.inf, -math.inf, 5e-324, 2.2e-308,
        1.7976931348623157e308, FloatSub(2.5), 1 + 2j,
        "", "x", "1.5", b"", b"abc", bytearray(b"12"), [], [v], [v, v], [1, 2, 3], (), (v,),
        (1.0, 2.0, 3.0), {}, {v: 1}, set(), range(3), object(), Vec3d, VecList, type,
        np.float64(1.5), np.float32(math.nan), np.int64(-1), np.uint64(2 ** 64 - 1), np.int8(2),
        np.bool_(True), np.bool_(False), np.zeros(3), np.array([1.0]), np.array(2.0),
        np.array([v], dtype=object), np.array([], dtype=float),
    ]
    hostile = [
        BadFloat(m) for m in ("raise", "zero", "panic", "wrong", "int", "mutate", "nan", "ok")
    ] + [
        BadIndex(m) for m in ("raise", "wrong", "huge", "negative", "mutate", "mutate0", "ok")
    ] + [
        BadBool(m) for m in ("raise", "wrong", "mutate", "ok")
    ] + [
        FakeNumpyBool(m) for m in ("raise", "wrong", "mutate", "ok")
    ] + [
        BadEq(m) for m in ("raise", "badtruth", "mutate", "ni")
    ] + [
        BadSequence(m, items)
        for m in ("len_raise", "len_wrong", "len_negative", "len_huge", "len_lie", "mutate_len",
                  "getitem_raise", "iter_raise", "iter_wrong", "iter_midway", "iter_mutate", "ok")
        for items in ([v, Vec3d(0.0, 0.0, 1.0)], [v, 1.0])
    ]
    return plain, hostile


# ---------------------------------------------------------------------------
# The callables

def text_params(obj):
    sig = getattr(obj, "__text_signature__", None)
    if not sig:
        return None
    inner = sig.strip()[1:-1]
    names = [p.strip() for p in inner.split(",") if p.strip()]
    return [n for n in names if n not in ("$self", "$cls", "/", "*")]


def op_in(name):
    fn = getattr(operator, name)
    return lambda a, b: fn(a, b)


def inplace(name):
    fn = getattr(operator, name)

    def call(a, b):
        return fn(a, b)  # falls back to the binary slot; never changes `a`
    return call


BINARY_OPERATORS = {name: op_in(name) for name in (
    "add", "sub", "mul", "truediv", "floordiv", "mod", "pow", "matmul", "eq", "ne", "lt", "le",
    "gt", "ge", "contains", "getitem", "and_", "or_", "xor", "lshift")}
BINARY_OPERATORS.update({name: inplace(name) for name in ("iadd", "isub", "imul", "itruediv")})
UNARY_OPERATORS = {
    "neg": operator.neg, "pos": operator.pos, "abs": abs, "invert": operator.invert,
    "hash": hash, "repr": repr, "str": str, "len": len, "iter": iter, "bool": bool,
    "float": float, "int": int, "index": operator.index, "list": list,
    "next": lambda o: next(o), "next_default": lambda o: next(o, None), "dir": dir,
    "format": lambda o: format(o, ""), "reduce": lambda o: o.__reduce_ex__(2),
    "sizeof": lambda o: o.__sizeof__(), "copy": lambda o: __import__("copy").copy(o),
}


class Target:
    """One callable: how to call it and with how many arguments."""

    def __init__(self, name, cls, receiver, nargs, call):
        self.name = name
        self.cls = cls              # class of the receiver, or None
        self.receiver = receiver    # True when the call needs a receiver
        self.nargs = nargs
        self.call = call            # call(receiver, args, kwargs)
        self.count = 0
        self.foreign = ()           # exceptions of the other operand's own type


def enumerate_targets():
    targets = []
    for cls in CLASSES:
        cname = cls.__name__
        for name, attr in vars(cls).items():
            kind = type(attr).__name__
            if name == "__new__":
                params = text_params(cls) or []
                targets.append(Target(f"{cname}()", cls, False, len(params),
                                      lambda r, a, k, cls=cls: cls(*a, **k)))
                targets.append(Target(f"{cname}.__new__", cls, False, len(params) + 1,
                                      lambda r, a, k, cls=cls: cls.__new__(*a, **k)))
            elif kind == "method_descriptor":
                params = text_params(attr)
                targets.append(Target(f"{cname}.{name}", cls, True, len(params),
                                      lambda r, a, k, name=name: getattr(r, name)(*a, **k)))
                targets.append(Target(f"{cname}.{name} unbound", cls, False, len(params) + 1,
                                      lambda r, a, k, attr=attr: attr(*a, **k)))
            elif kind == "staticmethod":
                attr = getattr(cls, name)
                params = text_params(attr)
                targets.append(Target(f"{cname}.{name}", cls, False, len(params),
                                      lambda r, a, k, attr=attr: attr(*a, **k)))
                targets.append(Target(f"{cname}().{name}", cls, True, len(params),
                                      lambda r, a, k, name=name: getattr(r, name)(*a, **k)))
            elif kind == "getset_descriptor":
                targets.append(Target(f"{cname}.{name} get", cls, True, 0,
                                      lambda r, a, k, name=name: getattr(r, name)))
                targets.append(Target(f"{cname}.{name} set", cls, True, 1,
                                      lambda r, a, k, name=name: setattr(r, name, *a)))
                targets.append(Target(f"{cname}.{name} delete", cls, True, 0,
                                      lambda r, a, k, name=name: delattr(r, name)))
                targets.append(Target(f"{cname}.{name} descriptor get", cls, False, 1,
                                      lambda r, a, k, attr=attr: attr.__get__(*a)))
                targets.append(Target(f"{cname}.{name} descriptor set", cls, False, 2,
                                      lambda r, a, k, attr=attr: attr.__set__(*a)))
            elif kind == "wrapper_descriptor":
                # Slot wrappers called directly with any receiver and operands.
                n = 0 if name in ("__repr__", "__hash__", "__neg__", "__len__", "__iter__",
                                  "__next__") else 1
                targets.append(Target(f"{cname}.{name} wrapper", cls, False, n + 1,
                                      lambda r, a, k, attr=attr: attr(*a, **k)))
                targets.append(Target(f"{cname}().{name}", cls, True, n,
                                      lambda r, a, k, name=name: getattr(r, name)(*a, **k)))
        for opname, fn in BINARY_OPERATORS.items():
            targets.append(Target(f"{cname} {opname} x", cls, True, 1,
                                  lambda r, a, k, fn=fn: fn(r, *a)))
            t = Target(f"x {opname} {cname}", cls, True, 1, lambda r, a, k, fn=fn: fn(*a, r))
            if opname == "getitem":
                t.foreign = (LookupError,)  # a dict or list indexed with the receiver
            targets.append(t)
        for opname, fn in UNARY_OPERATORS.items():
            targets.append(Target(f"{opname}({cname})", cls, True, 0,
                                  lambda r, a, k, fn=fn: fn(r)))
        targets.append(Target(f"{cname} setattr undefined", cls, True, 1,
                              lambda r, a, k: setattr(r, "undefined_name", *a)))
        targets.append(Target(f"{cname} getitem negative", cls, True, 0,
                              lambda r, a, k: r[-1]))
    for name in geometry.__all__:
        attr = getattr(geometry, name)
        if type(attr).__name__ == "builtin_function_or_method":
            params = text_params(attr)
            targets.append(Target(f"geometry.{name}", None, False, len(params),
                                  lambda r, a, k, attr=attr: attr(*a, **k)))
    return targets


TARGETS = enumerate_targets()


def test_every_callable_is_enumerated():
    names = {t.name for t in TARGETS}
    for expected in ("Vec3d.dot", "Vec3d.x set", "VecList.minimum_distance_to", "VecList.collapse",
                     "VecListIterator.__next__ wrapper", "next(VecListIterator)", "Quat.from_axis_angle",
                     "Circle.area get", "Plane.from_points", "geometry.circle_point",
                     "geometry.circle_circle", "geometry.plane_line",
                     "geometry.circle_point_unchecked", "AngleDegrees.to_radians",
                     "AngleRadians lt x", "x mul VecList", "hash(Vec3d)", "VecList()"):
        assert expected in names, expected
    for cls in CLASSES:
        for name, attr in vars(cls).items():
            if callable(attr) or type(attr).__name__ in ("getset_descriptor", "staticmethod"):
                assert any(t.cls is cls and name.strip("_") in t.name for t in TARGETS), (cls, name)


# ---------------------------------------------------------------------------
# The run

class Failure(AssertionError):
    pass


def check_outcome(desc, exc, foreign=()):
    """Raises Failure when `exc` is not an allowed outcome of a call."""
    if exc is None or isinstance(exc, foreign):
        return
    if any(exc is r for r in CTX.raised):
        return  # a hostile object's own exception, propagated unchanged
    if type(exc).__name__ == "PanicException":
        if exc.args and exc.args[0] in DOCUMENTED_PANICS:
            return
        # A PanicException raised by a hostile object resumes as an internal
        # failure of the call, with the same message.
        if any(type(r) is type(exc) and r.args == exc.args for r in CTX.raised):
            return
        raise Failure(f"{desc}: undocumented internal failure {exc!r}")
    if isinstance(exc, SystemError):
        raise Failure(f"{desc}: SystemError {exc!r}")
    if type(exc) is RuntimeError:
        if str(exc) in BORROW_ERRORS:
            return
        raise Failure(f"{desc}: RuntimeError {exc!r}")
    if isinstance(exc, ZeroDivisionError):
        raise Failure(f"{desc}: ZeroDivisionError not raised by a hostile object: {exc!r}")
    if isinstance(exc, HostileError):
        raise Failure(f"{desc}: a hostile exception that was not propagated unchanged: {exc!r}")
    if isinstance(exc, ALLOWED):
        return
    raise Failure(f"{desc}: {type(exc).__module__}.{type(exc).__qualname__}: {exc!r}")


def check_borrow_released(obj):
    """Every call gives back what it borrowed: exclusive access to each object
    it touched can be taken again afterwards."""
    if isinstance(obj, VecList):
        obj.extend(VecList.empty())
    elif isinstance(obj, Vec3d):
        obj.x = obj.x
    elif isinstance(obj, (AngleRadians, AngleDegrees)):
        obj.angle = obj.angle
    elif isinstance(obj, Quat):
        obj.w = obj.w
    elif isinstance(obj, geometry.Plane):
        obj.distance = obj.distance
    elif isinstance(obj, geometry.Circle):
        obj.radius = obj.radius


MODULE_TYPES = tuple(CLASSES)


def draw_argument(rng, receiver, plain, hostile, instances):
    r = rng.random()
    if r < 0.30:
        return rng.choice(plain)
    if r < 0.60:
        return rng.choice(hostile)
    if r < 0.70 and receiver is not None:
        return receiver
    return rng.choice(instances)


def run_fuzz(calls, seed):
    rng = random.Random(seed)
    CTX.rng = random.Random(seed + 1)
    plain, hostile = hostile_pool(rng)
    outcomes = {"value": 0, "exception": 0}
    for n in range(calls):
        target = TARGETS[rng.randrange(len(TARGETS))]
        instances = [make_instance(rng.choice(CLASSES), rng) for _ in range(3)]
        receiver = make_instance(target.cls, rng) if target.cls is not None else None
        nargs = target.nargs
        shape = rng.random()
        if shape < 0.04:
            nargs = max(0, nargs + rng.choice([-2, -1, 1, 2]))  # wrong arity
        args = [draw_argument(rng, receiver, plain, hostile, instances) for _ in range(nargs)]
        kwargs = {}
        if shape > 0.97 and target.nargs:
            kwargs[rng.choice(["other", "x", "list", "stride", "bogus", "value", "\ud800", "é"])] = \
                draw_argument(rng, receiver, plain, hostile, instances)
        CTX.targets = [receiver] if receiver is not None and target.receiver else []
        CTX.targets += [a for a in args if isinstance(a, MODULE_TYPES)]
        if not CTX.targets:
            CTX.targets = instances
        CTX.raised.clear()
        desc = None
        if TRACE:
            desc = f"#{n} {target.name} receiver={receiver!r} args={args!r} kwargs={kwargs!r}"
            print(desc, file=sys.stderr, flush=True)
        exc = None
        try:
            target.call(receiver if target.receiver else None, args, kwargs)
        except BaseException as e:  # noqa: BLE001 - every outcome is checked below
            if isinstance(e, (KeyboardInterrupt, Failure)):
                raise
            exc = e
        if exc is None:
            outcomes["value"] += 1
        else:
            outcomes["exception"] += 1
            try:
                check_outcome(target.name, exc, target.foreign)
            except Failure as f:
                desc = desc or f"#{n} {target.name} receiver={receiver!r} args={args!r} kwargs={kwargs!r}"
                raise Failure(f"{f}\n  call: {desc}") from exc
        target.count += 1
        for obj in [receiver, *args, *kwargs.values(), *instances]:
            if isinstance(obj, MODULE_TYPES) and not isinstance(obj, VecListIterator):
                check_borrow_released(obj)
        exc = None
    return outcomes


def test_fuzz_every_callable():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        outcomes = run_fuzz(CALLS, SEED)
    assert outcomes["value"] + outcomes["exception"] == CALLS
    # Both kinds of outcome are common, and every callable was reached.
    assert outcomes["value"] > CALLS // 20
    assert outcomes["exception"] > CALLS // 20
    if CALLS >= 50_000:
        missed = [t.name for t in TARGETS if t.count == 0]
        assert not missed, missed


OUT_OF_MEMORY = r"""
import resource
from tarsk_py import Vec3d, VecList
v = Vec3d(1.0, 2.0, 3.0)
big = VecList([v] * 500_000)
big.normalize()  # the pool is running before the limit is set
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
limit = mapped + 150_000_000  # room for a dozen results of the big list
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
ops = {
    "extend": lambda: [b.extend(big) for b in [VecList.empty()] for _ in range(20)] and None,
    "mul": lambda: big * 2.0,
    "normalize": lambda: big.normalize(),
    "dot": lambda: big.dot(v),
    "repr": lambda: repr(big),
    "to_array": lambda: big.to_array(),
    "list": lambda: big.list,
    "new": lambda: VecList([v] * 3_000_000),
    "iter": lambda: list(iter(big)),
}
for name, op in ops.items():
    kept = []
    try:
        for _ in range(60):
            kept.append(op())
    except MemoryError:
        pass
    else:
        raise AssertionError(name + " never ran out of memory")
    kept.clear()
    assert len(big.normalize()) == 500_000  # still usable afterwards
print("ok")
"""


@pytest.mark.skipif(os.environ.get("TARSK_SANITIZED") == "1"
                    or os.environ.get("TARSK_UNDER_VALGRIND") == "1",
                    reason="an address-space limit breaks the checking runtimes")
@pytest.mark.skipif(bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                    reason="under the free-threaded interpreter's allocator (mimalloc) some operations"
                           " (repr) never meet the address-space limit")
def test_running_out_of_memory_raises_memory_error():
    """Under an address-space limit every allocating operation, on the
    calling thread or on the workers, fails with MemoryError and leaves the
    process working."""
    import subprocess
    out = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True,
                         timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
