#!/usr/bin/env python3
"""Bring the stubs of the rotation functions in line with the table of
operations of tarsk_interop's native rotation module.

Usage: python tools/rotation_stubs.py [--check]

Every function made from a row of the table (tarsk_interop._rotation_algebra.
TABLE, read from the native module) has its signature in both stub files,
tarsk_interop/__init__.pyi and tarsk_interop/dask.pyi, and its name in their
__all__. This tool rewrites each such signature from its row (parameter
names in order, their annotations by kind, degrees=False where the row has
angles, the result by the row's result) and keeps the docstring under it; a
function the stubs lack is added after the last function of the table, with
the row's summary as its docstring, and its name to __all__. With --check it
changes nothing and exits with status 1 when a stub file differs from what
it would write.

It imports the installed tarsk_interop (install the package first).
"""
from __future__ import annotations

import argparse
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "tarsk-interop" / "tarsk_interop"


def signature(name: str, row: tuple, in_memory: bool, kind_type: dict[str, str]) -> str:
    arguments, result, degrees, _ = row
    params = []
    for param, kind in arguments:
        annotation = kind_type[kind] if in_memory or kind == "seq" else "Any"
        params.append(f"{param}: {annotation}")
    if degrees:
        params.append("*, degrees: bool = False")
    if not in_memory:
        returns = "da.Array"
    elif isinstance(result, tuple) and result:
        returns = "npt.NDArray[np.float64]"
    else:
        returns = "Any"  # a number or a flag: a float or bool for single rotations, else an array
    return f"def {name}({', '.join(params)}) -> {returns}:"


def rewrite(text: str, table: dict, in_memory: bool, kind_type: dict[str, str]) -> str:
    lines = text.split("\n")
    last = None
    for name, row in table.items():
        wanted = signature(name, row, in_memory, kind_type)
        at = [k for k, line in enumerate(lines) if re.match(rf"def {name}\(", line)]
        if at:
            lines[at[0]] = wanted
            last = at[0]
            continue
        summary = row[3] if in_memory else f"tarsk_interop.{name} chunk by chunk. {row[3]}"
        where = last + 2 if last is not None else len(lines)
        lines[where:where] = [wanted, f'    """{summary}"""']
        last = where
    text = "\n".join(lines)
    # __all__: every function of the table, added where missing.
    match = re.search(r"__all__ = \[(.*?)\]", text, re.S)
    if match is None:
        raise SystemExit("rotation_stubs: no __all__ in a stub file")
    body = match.group(1)
    missing = [name for name in table if f'"{name}"' not in body]
    if missing:
        added = "".join(f'\n    "{name}",' for name in missing)
        body = body.rstrip() + ("," if not body.rstrip().endswith(",") else "") + added + "\n"
        text = text[:match.start(1)] + body + text[match.end(1):]
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true")
    args = parser.parse_args()
    from tarsk_interop import _rotation_algebra as algebra
    differ = []
    for file, in_memory in (("__init__.pyi", True), ("dask.pyi", False)):
        path = STUBS / file
        old = path.read_text()
        new = rewrite(old, algebra.TABLE, in_memory, algebra._KIND_TYPE)
        if new != old:
            differ.append(file)
            if not args.check:
                path.write_text(new)
    if args.check and differ:
        print(f"rotation_stubs: {', '.join(differ)} differ from the table; run python tools/rotation_stubs.py")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
