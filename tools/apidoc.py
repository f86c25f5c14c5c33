#!/usr/bin/env python3
"""Write the API reference (docs/API.md) from the type stubs of tarsk_py.

Usage: python tools/apidoc.py STUBS [OUTPUT]

STUBS is the stub package that tools/stubgen.py writes (for example
build/.../tarsk-py/stubs/tarsk_py-stubs); without OUTPUT the page goes to
standard output. The stubs are parsed with `ast`, never imported, so the
reference shows exactly the signatures that type checkers see, which are the
module's own text signatures, and with the descriptions that the stubs carry
as docstrings (what each callable computes, its conventions, what degenerate
input gives and what it raises).
"""
from __future__ import annotations

import ast
import os
import sys

# The hand-written stubs of the companion package, rendered after the module.
INTEROP_STUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                            "tarsk-interop", "tarsk_interop", "__init__.pyi")

_GROUPS = (
    ("constructor", "Constructor"),
    ("static", "Static methods"),
    ("property", "Properties"),
    ("method", "Methods"),
    ("special", "Operators and special methods"),
)


def _signature(fn: ast.FunctionDef, name: str | None = None) -> str:
    ret = f" -> {ast.unparse(fn.returns)}" if fn.returns is not None else ""
    return f"{name or fn.name}({ast.unparse(fn.args)}){ret}"


def _decorators(fn: ast.FunctionDef) -> list[str]:
    return [ast.unparse(d) for d in fn.decorator_list]


def _comments(source: str, node: ast.AST) -> list[str]:
    """The comment lines directly above a node (its explanation in the stub)."""
    lines = source.splitlines()
    first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
    out: list[str] = []
    i = first - 2
    while i >= 0 and lines[i].strip().startswith("#"):
        out.insert(0, lines[i].strip().lstrip("#").strip())
        i -= 1
    return out


def _described(entry: str, node: ast.AST, indent: str = "  ") -> list[str]:
    """A list entry followed by the node's docstring as its continuation."""
    doc = ast.get_docstring(node, clean=True) if isinstance(
        node, (ast.FunctionDef, ast.ClassDef, ast.AsyncFunctionDef)) else None
    if not doc:
        return [entry]
    return [entry] + [f"{indent}{line}" if line else "" for line in " ".join(doc.split()).splitlines()]


def _class_section(cls: ast.ClassDef, source: str, qualname: str) -> list[str]:
    groups: dict[str, list[str]] = {key: [] for key, _ in _GROUPS}
    setters = {ast.unparse(d).rsplit(".", 1)[0]
               for f in cls.body if isinstance(f, ast.FunctionDef)
               for d in f.decorator_list if ast.unparse(d).endswith(".setter")}
    notes: list[str] = []
    for node in cls.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            if node.target.id == "__hash__":
                notes.append("Instances are not hashable (`__hash__` is `None`).")
            continue
        if not isinstance(node, ast.FunctionDef):
            continue
        decs = _decorators(node)
        remarks = _comments(source, node)
        extra = f" — {' '.join(remarks)}" if remarks else ""
        if node.name == "__new__":
            args = ast.unparse(node.args).split(", ", 1)
            params = args[1] if len(args) > 1 else ""
            groups["constructor"] += _described(f"- `{cls.name}({params})`{extra}", node)
        elif "staticmethod" in decs:
            groups["static"] += _described(f"- `{_signature(node)}`{extra}", node)
        elif "property" in decs:
            access = "read-write" if node.name in setters else "read-only"
            ann = ast.unparse(node.returns) if node.returns is not None else "typing.Any"
            groups["property"] += _described(f"- `{node.name}: {ann}` ({access}){extra}", node)
        elif any(d.endswith(".setter") for d in decs):
            continue
        elif node.name.startswith("__") and node.name.endswith("__"):
            groups["special"] += _described(f"- `{_signature(node)}`{extra}", node)
        else:
            groups["method"] += _described(f"- `{_signature(node)}`{extra}", node)
    final = any(ast.unparse(d) in ("typing.final", "final") for d in cls.decorator_list)
    out = [f"### class `{qualname}`{' (final)' if final else ''}", ""]
    # Finality shows in the heading; other remarks of the stub are repeated.
    remarks = [r for r in _comments(source, cls) if not r.startswith("The class cannot be subclassed")]
    if remarks:
        out += [" ".join(remarks), ""]
    doc = ast.get_docstring(cls, clean=True)
    if doc:
        out += [" ".join(doc.split()), ""]
    if not groups["constructor"]:
        out += ["No constructor callable from Python.", ""]
    for key, title in _GROUPS:
        if groups[key]:
            out += [f"{title}:", ""] + groups[key] + [""]
    if notes:
        out += notes + [""]
    return out


def _module_section(path: str, modname: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        source = f.read()
    tree = ast.parse(source, filename=path)
    exported: list[str] = []
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            exported = list(ast.literal_eval(node.value))
    out = [f"## Module `{modname}`", ""]
    if exported:
        out += ["Members, in the order of `__all__`: "
                + ", ".join(f"`{n}`" for n in exported) + ".", ""]
    functions = []
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            out += _class_section(node, source, f"{modname}.{node.name}")
        elif isinstance(node, ast.FunctionDef):
            remarks = _comments(source, node)
            extra = f" — {' '.join(remarks)}" if remarks else ""
            functions += _described(f"- `{_signature(node)}`{extra}", node)
    if functions:
        out += ["### Functions", ""] + functions + [""]
    return out


def submodules(init_path: str) -> list[str]:
    """Submodules named by `from . import X` in the package's __init__.pyi."""
    with open(init_path, encoding="utf-8") as f:
        tree = ast.parse(f.read(), filename=init_path)
    return [alias.name for node in tree.body
            if isinstance(node, ast.ImportFrom) and node.level == 1 and node.module is None
            for alias in node.names]


def render(stub_dir: str) -> str:
    pkg = os.path.basename(os.path.normpath(stub_dir))
    root = pkg[:-len("-stubs")] if pkg.endswith("-stubs") else pkg
    init = os.path.join(stub_dir, "__init__.pyi")
    lines = [
        f"# `{root}` API reference",
        "",
        "Generated by `tools/apidoc.py` from the type stubs that `tools/stubgen.py`",
        "writes from the introspection records of the built module; do not edit.",
        "Regenerate after a build with",
        f"`python3 tools/apidoc.py <build>/tarsk-py/stubs/{pkg} docs/API.md`.",
        "",
        "Every parameter is positional-or-keyword unless a `/` follows it. A final class",
        "cannot be subclassed. Each entry says what the callable computes, what degenerate",
        "input gives and what it raises; the conventions they share (units, the rotation",
        "sense of `Quat`, the plane equation `normal . p + distance = 0`, the absolute",
        "tolerance 2^-52 with its strict test, failures as `pyo3_runtime.PanicException`)",
        "are explained in the README's [Conventions](../README.md#conventions) section.",
        "",
    ]
    lines += _module_section(init, root)
    for sub in submodules(init):
        lines += _module_section(os.path.join(stub_dir, f"{sub}.pyi"), f"{root}.{sub}")
    if root == "tarsk_py" and os.path.exists(INTEROP_STUB):
        lines += [
            "## Companion package `tarsk_interop`",
            "",
            "Installed with `tarsk_py`; its stubs are written by hand",
            "(`tarsk-interop/tarsk_interop/__init__.pyi`). Importing it registers",
            "pickling and copying support (the `copyreg` reducers) for `Vec3d`,",
            "`VecList`, `AngleRadians`, `AngleDegrees`, `Quat`, `Plane` and `Circle`;",
            "`VecListIterator` stays unpicklable. Array arguments are array-likes of",
            "real numbers; each kernel gives, bit for bit, what the `VecList` method",
            "of the same name gives for `to_veclist(a)`.",
            "",
        ]
        lines += _module_section(INTEROP_STUB, "tarsk_interop")[2:]
    while lines and lines[-1] == "":
        lines.pop()
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print("usage: apidoc.py STUBS [OUTPUT]", file=sys.stderr)
        return 2
    try:
        text = render(argv[1])
    except (OSError, SyntaxError) as e:
        print(f"apidoc: cannot read the stubs in {argv[1]}: {e}", file=sys.stderr)
        return 2
    if len(argv) == 3:
        os.makedirs(os.path.dirname(os.path.abspath(argv[2])), exist_ok=True)
        with open(argv[2], "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
