#!/usr/bin/env python3
"""Digests of the built module's results, one line per group, for comparing
two machines (tools/aarch64_module.sh runs it on x86-64 and under
qemu-aarch64).

The groups are the suite's own digest programs, taken from the test files
(the string assigned to the name given below, read with ast, so that the
tests and this comparison run one program):

    rotation     tests/test_rotation.py DIGEST: every rotation function
    elementwise  tests/test_interop.py CHILD: the array kernels of the
                 element-wise operations, checked against tarsk_py's methods
    kdtree       tests/test_kdtree.py DIGEST: the spatial index
    cloud        tests/test_cloud.py DIGEST: fits, normals, ICP, RANSAC

Each program runs with its NaNs counted as one value (every `x.tobytes()` of
it hashes the array with its NaNs made one quiet NaN): which NaN an
operation makes is the machine's choice. And tarsk_py itself, through
tools/digest.py (every callable of every class
with seeded arguments, the introspection records included):

    tarsk_py     every callable except the fixed surface below, quaternion
                 arguments made from their four components
    fixed        AngleRadians.sin, cos, tan, sec, csc, cot, Quat.from_axis_angle,
                 Quat.to_axis_angle and Vec3d.angle_to: the platform C library's
                 sin, cos, tan and acos, the same bits on one platform only

    python3 tools/module_digest.py [--rounds N] [--per-function] [GROUP...]

Prints "machine MACHINE PATH" (the processor and the module's file), then
"GROUP HEXDIGEST" per group (with --per-function, the tarsk_py and
fixed groups' callables as "tarsk_py:KEY HEX16" lines as well). Every group
runs in this process, one after the other, with the worker count the
environment sets.
"""
from __future__ import annotations

import argparse
import ast
import contextlib
import hashlib
import importlib.util
import io
import platform
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

PROGRAMS = {
    "rotation": ("tests/test_rotation.py", "DIGEST"),
    "elementwise": ("tests/test_interop.py", "CHILD"),
    "kdtree": ("tests/test_kdtree.py", "DIGEST"),
    "cloud": ("tests/test_cloud.py", "DIGEST"),
}
GROUPS = [*PROGRAMS, "tarsk_py", "fixed"]

# The callables whose results come from the platform C library's sin, cos,
# tan and acos.
FIXED_SURFACE = {
    "AngleRadians.sin", "AngleRadians.cos", "AngleRadians.tan",
    "AngleRadians.sec", "AngleRadians.csc", "AngleRadians.cot",
    "Quat.from_axis_angle", "Quat.to_axis_angle", "Vec3d.angle_to",
}


def program_source(path: str, name: str) -> str:
    """The program that `name = textwrap.dedent(\"\"\"...\"\"\")` assigns in a test file."""
    tree = ast.parse((ROOT / path).read_text(), path)
    for node in tree.body:
        if (isinstance(node, ast.Assign) and len(node.targets) == 1
                and isinstance(node.targets[0], ast.Name) and node.targets[0].id == name
                and isinstance(node.value, ast.Call) and len(node.value.args) == 1
                and isinstance(node.value.args[0], ast.Constant)
                and isinstance(node.value.args[0].value, str)
                and ast.unparse(node.value.func) == "textwrap.dedent"):
            return textwrap.dedent(node.value.args[0].value)
    raise SystemExit(f"module_digest: {path} assigns no textwrap.dedent program to {name}")


class NanAsOne(ast.NodeTransformer):
    """Rewrites every `x.tobytes()` of a program into `_tobytes_nan_as_one(x)`."""

    def visit_Call(self, node: ast.Call) -> ast.AST:
        self.generic_visit(node)
        if (isinstance(node.func, ast.Attribute) and node.func.attr == "tobytes"
                and not node.args and not node.keywords):
            return ast.copy_location(
                ast.Call(ast.Name("_tobytes_nan_as_one", ast.Load()), [node.func.value], []), node)
        return node


def _tobytes_nan_as_one(x):
    """The bytes of an array with every NaN made the one quiet NaN of its type.

    IEEE 754 leaves the sign and payload of a NaN result to the machine: where
    an operation makes a new NaN (inf - inf, 0 / 0), x86-64 gives one with the
    sign bit set and aarch64 one without. As in tools/digest.py, a NaN counts
    as one value."""
    import numpy as np

    x = np.asarray(x)
    if x.dtype.kind in "fc":
        x = x.copy()
        x[np.isnan(x)] = np.nan
    return x.tobytes()


def run_program(path: str, name: str) -> str:
    """The digest the program prints as its last line, with its NaNs counted
    as one value."""
    tree = NanAsOne().visit(ast.parse(program_source(path, name)))
    ast.fix_missing_locations(tree)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(tree, f"{path}:{name}", "exec"),
             {"__name__": "__digest__", "_tobytes_nan_as_one": _tobytes_nan_as_one})
    lines = out.getvalue().split()
    if not lines:
        raise SystemExit(f"module_digest: {path}:{name} printed nothing")
    return lines[-1]


def load_digest_tool():
    spec = importlib.util.spec_from_file_location("tarsk_digest", ROOT / "tools" / "digest.py")
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod
    spec.loader.exec_module(mod)
    return mod


def callables(rounds: int, seed: int) -> list[tuple[str, str]]:
    """(key, hex16) of every callable of tarsk_py, from tools/digest.py, and
    of its introspection records (key "records")."""
    tool = load_digest_tool()

    class Inputs(tool.Inputs):
        # Half the quaternions tools/digest.py makes come from
        # from_axis_angle, which the C library's sin and cos compute; here
        # every quaternion is made from four seeded components, so that the
        # callables beyond the fixed surface see the same arguments
        # everywhere.
        def instance(self, name):
            if name == "Quat":
                return self.tp.Quat(self.float(), self.float(), self.float(), self.float())
            return super().instance(name)

    tool.Inputs = Inputs
    _, _, lines = tool.digest(seed, rounds, per_function=True)
    out = []
    for line in lines:
        h, key = line.split(" ", 1)
        out.append(("records" if key == "(introspection records)" else key, h))
    return out


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=30, help="calls per tarsk_py callable (default 30)")
    ap.add_argument("--seed", type=int, default=20261208)
    ap.add_argument("--per-function", action="store_true",
                    help="also print each tarsk_py callable's digest")
    ap.add_argument("groups", nargs="*", choices=[[]] + GROUPS, default=[],
                    metavar="GROUP", help=f"one of {', '.join(GROUPS)} (default: all)")
    a = ap.parse_args(argv)
    groups = a.groups or GROUPS
    import tarsk_py
    print("machine", platform.machine(), tarsk_py.__file__, flush=True)
    for g in groups:
        if g in PROGRAMS:
            print(g, run_program(*PROGRAMS[g]), flush=True)
    if "tarsk_py" in groups or "fixed" in groups:
        entries = callables(a.rounds, a.seed)
        for g in ("tarsk_py", "fixed"):
            if g not in groups:
                continue
            # A key is Class.name, with [decorator] after it for static
            # methods and properties.
            chosen = [(k, h) for k, h in entries if (k.split("[")[0] in FIXED_SURFACE) == (g == "fixed")]
            if g == "fixed" and len(chosen) != len(FIXED_SURFACE):
                raise SystemExit("module_digest: the module lacks " +
                                 ", ".join(sorted(FIXED_SURFACE - {k.split("[")[0] for k, _ in chosen})))
            if a.per_function:
                for k, h in chosen:
                    print(f"{g}:{k} {h}")
            print(g, hashlib.sha256("".join(f"{k}={h}\n" for k, h in chosen).encode()).hexdigest(),
                  flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
