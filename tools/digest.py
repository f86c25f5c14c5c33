#!/usr/bin/env python3
"""A seeded digest over every operation of the module.

Every callable that the module's introspection records describe (each
constructor, method, static method, property getter and setter, operator
slot and module function of every class, including all VecList operations)
is called many times with seeded arguments: ordinary values of every
magnitude, signed zeros, infinities, NaNs, subnormals, and lists from empty
to a few thousand elements, so that the worker pool splits them. The bits of
every result (and the type and message of every exception) go into one
SHA-256 digest, with the bytes of the introspection records. A NaN counts as one value whatever its sign and payload,
which may differ between compilers where two NaNs meet.

The digest is taken in a fresh process for each worker count
(RAYON_NUM_THREADS), and all must agree. Two builds of the module agree when
they compute every result to the same bit: tools/compare_builds.sh compares
compilers and optimisation levels with it.

    python3 tools/digest.py [--seed N] [--rounds N] [--workers 1,2,3,7] [--path DIR]

--path puts DIR first on the module search path (a build directory).
Prints "digest <hex>" and exits with status 1 when worker counts disagree.
--per-function prints one digest per callable, for finding a difference.
"""
from __future__ import annotations

import argparse
import hashlib
import importlib.util
import math
import os
import random
import struct
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
DEFAULT_WORKERS = "1,2,3,7"

# Values that exercise every IEEE case: signed zeros, the extremes, the
# smallest subnormal, the tolerance itself and its neighbours, NaNs of both
# signs.
SPECIAL_FLOATS = [
    0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 3.0, math.pi, -math.pi, math.pi / 2,
    math.inf, -math.inf, math.nan, -math.nan,
    5e-324, -5e-324, 2.2250738585072014e-308, 1e-310,
    2.0 ** -52, 2.0 ** -53, 1.0 + 2.0 ** -52, 1.0 - 2.0 ** -53,
    1.7976931348623157e308, -1.7976931348623157e308, 1e154, 1e-154, 1e20, 1e-7,
]
LIST_LENGTHS = [0, 1, 2, 3, 7, 16, 100, 1000, 4099]


def _load_stubgen():
    spec = importlib.util.spec_from_file_location("tarsk_stubgen", HERE / "stubgen.py")
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod
    spec.loader.exec_module(mod)
    return mod


class Inputs:
    """Seeded arguments of every annotation the records use."""

    def __init__(self, rng: random.Random, tp: Any, classes: dict[str, type]):
        self.rng = rng
        self.tp = tp
        self.classes = classes

    def float(self) -> float:
        r = self.rng.random()
        if r < 0.25:
            return self.rng.choice(SPECIAL_FLOATS)
        if r < 0.5:
            return self.rng.uniform(-4.0, 4.0)
        if r < 0.6:
            return float(self.rng.randint(-3, 3))
        if r < 0.9:
            return self.rng.uniform(-1.0, 1.0) * 10.0 ** self.rng.randint(-30, 30)
        # Any bit pattern, NaN payloads and subnormals included.
        return struct.unpack("<d", self.rng.getrandbits(64).to_bytes(8, "little"))[0]

    def vec(self) -> Any:
        return self.tp.Vec3d(self.float(), self.float(), self.float())

    def veclist(self, length: int | None = None) -> Any:
        n = self.rng.choice(LIST_LENGTHS) if length is None else length
        rnd = self.rng.random
        # Mostly ordinary values, so that large lists stay cheap to make.
        return self.tp.VecList([
            self.tp.Vec3d(*(self.float() if rnd() < 0.05 else rnd() * 8.0 - 4.0 for _ in range(3)))
            for _ in range(n)])

    def instance(self, name: str) -> Any:
        tp = self.tp
        g = tp.geometry
        if name == "Vec3d":
            return self.vec()
        if name == "VecList":
            return self.veclist()
        if name == "VecListIterator":
            return iter(self.veclist(self.rng.choice([0, 1, 3, 100])))
        if name == "AngleRadians":
            return tp.AngleRadians(self.float())
        if name == "AngleDegrees":
            return tp.AngleDegrees(self.float())
        if name == "Quat":
            if self.rng.random() < 0.5:
                return tp.Quat.from_axis_angle(self.vec(), tp.AngleRadians(self.float()))
            return tp.Quat(self.float(), self.float(), self.float(), self.float())
        if name == "Plane":
            return g.Plane(self.vec(), self.float())
        if name == "Circle":
            return g.Circle(self.vec(), self.float(), self.vec())
        raise SystemExit(f"digest: no inputs for class {name}; extend tools/digest.py")

    def argument(self, param: Any, receiver: Any) -> Any:
        ann = param.annotation
        if ann == "float":
            return self.float()
        if ann == "bool":
            return self.rng.random() < 0.5
        if ann == "int":
            if param.name == "stride":
                return self.rng.choice([1, 1, 2, 3, 7, 31, 100, 5000])
            if param.name == "axis":
                return self.rng.randrange(3)
            if param.name == "index":
                n = len(receiver) if isinstance(receiver, self.tp.VecList) else 3
                # One past the end now and then: the IndexError is part of the digest.
                return self.rng.randrange(n + 1)
            raise SystemExit(f"digest: no inputs for int parameter {param.name}; extend tools/digest.py")
        if ann == "typing.Any" and param.name == "list":
            return [self.vec() for _ in range(self.rng.choice(LIST_LENGTHS[:7]))]
        if ann in self.classes:
            return self.instance(ann)
        raise SystemExit(f"digest: no inputs for annotation {ann!r}; extend tools/digest.py")


class Encoder:
    """Bytes of a result: every float by its bits, module objects by their properties."""

    def __init__(self, tp: Any, getters: dict[str, list[str]]):
        self.tp = tp
        self.getters = getters
        self.by_type = {getattr(tp, n, None) or getattr(tp.geometry, n, None): n for n in getters}

    def encode(self, v: Any, out: bytearray) -> None:
        if v is None:
            out += b"N"
        elif v is NotImplemented:
            out += b"I"
        elif isinstance(v, bool):
            out += b"T" if v else b"F"
        elif isinstance(v, float):
            # Every NaN counts as one value: where a NaN comes from two NaN
            # operands, which one's sign and payload it carries is the
            # compiler's choice (x86 passes on the first operand, and the
            # operands of a commutative operation may be swapped).
            out += b"f" + (b"NaN" if v != v else struct.pack("<d", v))
        elif isinstance(v, int):
            out += b"i" + str(v).encode() + b";"
        elif isinstance(v, str):
            b = v.encode()
            out += b"s" + str(len(b)).encode() + b":" + b
        elif isinstance(v, (tuple, list)):
            out += b"(" if isinstance(v, tuple) else b"["
            for item in v:
                self.encode(item, out)
            out += b")"
        elif type(v) in self.by_type:
            name = self.by_type[type(v)]
            out += b"<" + name.encode()
            for attr in self.getters[name]:
                self.encode(getattr(v, attr), out)
            if name == "VecList":
                self.encode(v.list, out)
            out += b">"
        elif type(v).__name__ == "VecListIterator":
            out += b"<VecListIterator>"
        else:
            raise SystemExit(f"digest: cannot encode a result of type {type(v).__name__}")

    def outcome(self, call: Callable[[], Any], out: bytearray) -> None:
        try:
            result = call()
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # the exception (internal failures too) is part of the result
            out += b"E" + type(e).__name__.encode() + b":" + str(e).encode() + b";"
            return
        self.encode(result, out)


def _call(tp: Any, cls: type | None, fn: Any, inp: Inputs, enc: Encoder, out: bytearray) -> None:
    """One call of fn with fresh arguments; its outcome is appended to out."""
    owner = cls.__name__ if cls is not None else None
    receiver = inp.instance(owner) if owner is not None and fn.receiver == "self" else None
    args = [inp.argument(p, receiver) for p in fn.params]
    name = fn.name
    dec = fn.decorator
    if fn.receiver == "cls":                       # constructor
        enc.outcome(lambda: cls(*args), out)
    elif fn.receiver is None:                      # static method or module function
        target = cls if cls is not None else tp.geometry
        enc.outcome(lambda: getattr(target, name)(*args), out)
    elif dec == "property":
        enc.outcome(lambda: getattr(receiver, name), out)
    elif dec is not None and dec.endswith(".setter"):
        enc.outcome(lambda: setattr(receiver, name, args[0]), out)
        enc.encode(receiver, out)
    elif dec is not None:
        raise SystemExit(f"digest: unknown decorator {dec!r} of {owner}.{name}")
    elif name == "__next__":
        def drain() -> list[Any]:
            items = []
            while True:
                try:
                    items.append(receiver.__next__())
                except StopIteration:
                    return items
        enc.outcome(drain, out)
    elif name == "__iter__":
        enc.outcome(lambda: list(receiver.__iter__()), out)
    elif name == "__hash__":
        enc.outcome(lambda: hash(receiver), out)
    else:
        enc.outcome(lambda: getattr(receiver, name)(*args), out)
        if name in ("append", "extend", "rotate"):
            enc.encode(receiver, out)


def digest(seed: int, rounds: int, per_function: bool = False) -> tuple[str, int, list[str]]:
    """The digest of this process's module: (hex digest, number of calls, per-callable lines)."""
    import tarsk_py as tp

    sg = _load_stubgen()
    root = sg.build_api(sg.read_records(tp.__file__))
    # The records themselves, byte for byte: every build exports the same.
    elf = sg.ElfFile(tp.__file__)
    records = hashlib.sha256()
    for sym in sorted(sg.record_symbols(elf), key=lambda s: s.name):
        records.update(f"{sym.name} {sym.size}\n".encode() + elf.symbol_bytes(sym))
    classes: dict[str, type] = {}
    members: list[tuple[type | None, Any]] = []

    def visit(mod: Any, ns: Any) -> None:
        for c in mod.classes:
            cls = getattr(ns, c.name, None)
            if cls is None:  # the iterator class is no attribute of the module
                cls = type(iter(tp.VecList.empty()))
            classes[c.name] = cls
            members.extend((cls, f) for f in c.members)
        members.extend((None, f) for f in mod.functions)
        for sub in mod.submodules:
            visit(sub, getattr(ns, sub.name))

    visit(root, tp)
    getters = {}
    for c in list(root.classes) + [c for s in root.submodules for c in s.classes]:
        getters[c.name] = sorted({f.name for f in c.members if f.decorator == "property"} - {"list"})
    enc = Encoder(tp, getters)

    total = hashlib.sha256()
    total.update(b"records=" + records.hexdigest().encode() + b"\n")
    lines = [f"{records.hexdigest()[:16]} (introspection records)"] if per_function else []
    calls = 0
    for cls, fn in sorted(members, key=lambda m: (m[0].__name__ if m[0] else "", m[1].name,
                                                   m[1].decorator or "")):
        key = f"{cls.__name__ if cls else 'geometry'}.{fn.name}" + (f"[{fn.decorator}]" if fn.decorator else "")
        rng = random.Random(f"{seed}:{key}")
        inp = Inputs(rng, tp, classes)
        out = bytearray()
        for _ in range(rounds):
            _call(tp, cls, fn, inp, enc, out)
            calls += 1
        h = hashlib.sha256(bytes(out)).hexdigest()
        total.update(key.encode() + b"=" + h.encode() + b"\n")
        if per_function:
            lines.append(f"{h[:16]} {key}")
    return total.hexdigest(), calls, lines


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seed", type=int, default=20261207)
    ap.add_argument("--rounds", type=int, default=30, help="calls per callable (default 30)")
    ap.add_argument("--workers", default=DEFAULT_WORKERS,
                    help="comma-separated worker counts, one process each (default 1,2,3,7)")
    ap.add_argument("--path", help="directory put first on the module search path")
    ap.add_argument("--per-function", action="store_true", help="print one digest per callable")
    ap.add_argument("--in-process", action="store_true", help=argparse.SUPPRESS)
    a = ap.parse_args(argv)

    if a.path:
        sys.path.insert(0, os.path.abspath(a.path))
    if a.in_process:
        h, calls, lines = digest(a.seed, a.rounds, a.per_function)
        print("\n".join(lines + [f"{h} {calls}"]))
        return 0

    results = {}
    for w in [int(x) for x in a.workers.split(",")]:
        env = dict(os.environ, RAYON_NUM_THREADS=str(w))
        env.pop("RAYON_RS_NUM_CPUS", None)
        cmd = [sys.executable, __file__, "--in-process", f"--seed={a.seed}", f"--rounds={a.rounds}"]
        if a.path:
            cmd.append(f"--path={os.path.abspath(a.path)}")
        if a.per_function:
            cmd.append("--per-function")
        r = subprocess.run(cmd, env=env, capture_output=True, text=True)
        if r.returncode != 0:
            sys.stderr.write(r.stderr)
            print(f"digest: the run with {w} workers failed (status {r.returncode})", file=sys.stderr)
            return 2
        *lines, last = r.stdout.strip().splitlines()
        results[w] = (last.split()[0], lines)
        print(f"workers {w}: {last.split()[0]} ({last.split()[1]} calls)")
    digests = {d for d, _ in results.values()}
    if len(digests) != 1:
        print("digest: worker counts disagree", file=sys.stderr)
        if a.per_function:
            first = next(iter(results.values()))[1]
            for w, (_, lines) in results.items():
                for x, y in zip(first, lines):
                    if x != y:
                        print(f"  workers {w}: {y} (first run: {x.split()[0]})", file=sys.stderr)
        return 1
    if a.per_function:
        print("\n".join(next(iter(results.values()))[1]))
    print(f"digest {digests.pop()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
