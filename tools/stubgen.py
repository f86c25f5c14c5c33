#!/usr/bin/env python3
"""Write type stubs for tarsk_py from the introspection records of its shared library.

Usage: python tools/stubgen.py LIB.so OUTDIR

The library is never imported. Its ELF symbol table is searched for the
records (data objects named PYO3_INTROSPECTION_1_<number>), each record is
read from the file and decoded, and a stub-only package (PEP 561) is written
to OUTDIR/<module>-stubs/: __init__.pyi for the top-level module and one
<name>.pyi per submodule.

Record layout: a 4-byte little-endian length n, n bytes of UTF-8 JSON (one
object with a "type" key), then zero bytes up to a multiple of 4; the
symbol's size covers the padding.

Beside the records, the build leaves the library's stub data in the
section .tarsk_stubs (not loaded at run time): one entry per class and per
module's functions, laid out like a record, with the precise annotation of
every parameter and result and a description of every member. When the
section is present, the stubs carry those annotations and descriptions as
docstrings; without it (the installed library, from which the build removes
the section) they carry the records' annotations only.

Any failure (not an ELF shared library, no records, a malformed record)
prints one line "stubgen: ..." on standard error and exits with status 2.

Only the standard library is used, so the build can run this with the
interpreter it builds for.
"""
from __future__ import annotations

import json
import keyword
import os
import re
import struct
import sys
import textwrap
from dataclasses import dataclass, field
from typing import Any

RECORD_PREFIX = "PYO3_INTROSPECTION_1_"
_RECORD_NAME = re.compile(re.escape(RECORD_PREFIX) + r"[0-9]+\Z")

# ELF constants used here.
_ET_DYN = 3
_SHT_SYMTAB = 2
_SHT_NOBITS = 8
_SHT_DYNSYM = 11
_SHN_UNDEF = 0
_SHN_LORESERVE = 0xFF00
_SHN_ABS = 0xFFF1
_PT_LOAD = 1
_PT_DYNAMIC = 2
_DT_NULL = 0
_DT_FLAGS_1 = 0x6FFFFFFB
_DF_1_PIE = 0x08000000


class StubgenError(Exception):
    """A failure reported to the user as one line, without a traceback."""


# ---------------------------------------------------------------------------
# ELF reading
# ---------------------------------------------------------------------------

@dataclass(frozen=True)
class Section:
    index: int
    name: str
    type: int
    flags: int
    addr: int
    offset: int
    size: int
    link: int
    entsize: int


@dataclass(frozen=True)
class Symbol:
    name: str
    value: int
    size: int
    info: int
    other: int
    shndx: int

    @property
    def bind(self) -> int:
        return self.info >> 4

    @property
    def type(self) -> int:
        return self.info & 0xF

    @property
    def visibility(self) -> int:
        return self.other & 0x3


class ElfFile:
    """A 64-bit little-endian ELF file read into memory."""

    def __init__(self, path: str) -> None:
        self.path = path
        try:
            with open(path, "rb") as f:
                self.data = f.read()
        except OSError as e:
            raise StubgenError(f"cannot read {path}: {e.strerror or e}") from None
        d = self.data
        if len(d) < 64 or d[:4] != b"\x7fELF":
            raise StubgenError(f"not an ELF shared library: {path}")
        if d[4] != 2 or d[5] != 1:
            raise StubgenError(
                f"not a 64-bit little-endian ELF file (only those are supported): {path}")
        (self.e_type, _machine, _version, _entry, self.e_phoff, self.e_shoff, _flags,
         _ehsize, self.e_phentsize, self.e_phnum, self.e_shentsize, self.e_shnum,
         self.e_shstrndx) = struct.unpack_from("<HHIQQQIHHHHHH", d, 16)
        self.sections = self._read_sections()
        self.segments = self._read_segments()

    # -- raw access -------------------------------------------------------
    def _bytes(self, offset: int, size: int, what: str) -> bytes:
        if offset < 0 or size < 0 or offset + size > len(self.data):
            raise StubgenError(f"malformed ELF file ({what} lies outside the file): {self.path}")
        return self.data[offset:offset + size]

    def _read_sections(self) -> list[Section]:
        if self.e_shoff == 0 or self.e_shnum == 0:
            return []
        if self.e_shentsize < 64:
            raise StubgenError(f"malformed ELF file (section header size): {self.path}")
        raw = []
        for i in range(self.e_shnum):
            hdr = self._bytes(self.e_shoff + i * self.e_shentsize, 64, "section header")
            raw.append(struct.unpack_from("<IIQQQQIIQQ", hdr))
        names = b""
        if 0 < self.e_shstrndx < len(raw):
            s = raw[self.e_shstrndx]
            names = self._bytes(s[4], s[5], "section name table")
        sections = []
        for i, (name, typ, flags, addr, offset, size, link, _info, _align, entsize) in enumerate(raw):
            sections.append(Section(i, _cstr(names, name), typ, flags, addr, offset, size, link, entsize))
        return sections

    def _read_segments(self) -> list[tuple[int, int, int, int, int]]:
        """(type, offset, vaddr, filesz, memsz) of every program header."""
        if self.e_phoff == 0 or self.e_phnum == 0:
            return []
        if self.e_phentsize < 56:
            raise StubgenError(f"malformed ELF file (program header size): {self.path}")
        segs = []
        for i in range(self.e_phnum):
            hdr = self._bytes(self.e_phoff + i * self.e_phentsize, 56, "program header")
            p_type, _flags, offset, vaddr, _paddr, filesz, memsz, _align = struct.unpack_from(
                "<IIQQQQQQ", hdr)
            segs.append((p_type, offset, vaddr, filesz, memsz))
        return segs

    # -- what kind of file ------------------------------------------------
    def is_shared_library(self) -> bool:
        """ET_DYN and not a position-independent executable (DF_1_PIE)."""
        if self.e_type != _ET_DYN:
            return False
        for p_type, offset, _vaddr, filesz, _memsz in self.segments:
            if p_type != _PT_DYNAMIC:
                continue
            dyn = self._bytes(offset, filesz, "dynamic section")
            for pos in range(0, len(dyn) - 15, 16):
                tag, val = struct.unpack_from("<qQ", dyn, pos)
                if tag == _DT_NULL:
                    break
                if tag == _DT_FLAGS_1 and val & _DF_1_PIE:
                    return False
        return True

    # -- symbols ----------------------------------------------------------
    def symbols(self, table: str) -> list[Symbol]:
        """The symbols of ".symtab" or ".dynsym" ([] when the file has no such table)."""
        want = {".symtab": _SHT_SYMTAB, ".dynsym": _SHT_DYNSYM}[table]
        out: list[Symbol] = []
        for sec in self.sections:
            if sec.type != want:
                continue
            if not 0 <= sec.link < len(self.sections):
                raise StubgenError(f"malformed ELF file (string table link): {self.path}")
            strsec = self.sections[sec.link]
            strtab = self._bytes(strsec.offset, strsec.size, "string table")
            entsize = sec.entsize or 24
            if entsize < 24:
                raise StubgenError(f"malformed ELF file (symbol size): {self.path}")
            body = self._bytes(sec.offset, sec.size, "symbol table")
            for pos in range(0, len(body) - 23, entsize):
                st_name, st_info, st_other, st_shndx, st_value, st_size = struct.unpack_from(
                    "<IBBHQQ", body, pos)
                out.append(Symbol(_cstr(strtab, st_name), st_value, st_size, st_info,
                                  st_other, st_shndx))
        return out

    def symbol_bytes(self, sym: Symbol) -> bytes:
        """The st_size bytes of a defined data symbol, read from the file."""
        offset = None
        if _SHN_UNDEF < sym.shndx < _SHN_LORESERVE and sym.shndx < len(self.sections):
            sec = self.sections[sym.shndx]
            if sec.type == _SHT_NOBITS:
                raise StubgenError(
                    f"malformed record {sym.name} in {self.path}: it lies in a section without file data")
            if sec.addr <= sym.value and sym.value + sym.size <= sec.addr + sec.size:
                offset = sec.offset + (sym.value - sec.addr)
        elif sym.shndx == _SHN_UNDEF:
            raise StubgenError(f"malformed record {sym.name} in {self.path}: the symbol is undefined")
        if offset is None and sym.shndx != _SHN_ABS:
            for p_type, p_offset, vaddr, filesz, _memsz in self.segments:
                if p_type == _PT_LOAD and vaddr <= sym.value and sym.value + sym.size <= vaddr + filesz:
                    offset = p_offset + (sym.value - vaddr)
                    break
        if offset is None:
            raise StubgenError(
                f"malformed record {sym.name} in {self.path}: its address is not backed by file data")
        return self._bytes(offset, sym.size, f"record {sym.name}")


def _cstr(table: bytes, offset: int) -> str:
    if offset >= len(table):
        return ""
    end = table.find(b"\0", offset)
    if end < 0:
        end = len(table)
    return table[offset:end].decode("utf-8", "replace")


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------

@dataclass
class Record:
    symbol: str          # PYO3_INTROSPECTION_1_<number>
    size: int            # st_size of the symbol
    length: int          # n, the length of the JSON text
    data: dict[str, Any]  # the decoded JSON object


def decode_record(name: str, raw: bytes, where: str = "") -> Record:
    """Check one record's layout and decode its JSON text."""
    loc = f"{name}{' in ' + where if where else ''}"
    if len(raw) < 4:
        raise StubgenError(f"malformed record {loc}: {len(raw)} bytes, shorter than its length field")
    (n,) = struct.unpack_from("<I", raw, 0)
    expected = 4 + (n + 3) // 4 * 4
    if len(raw) != expected:
        raise StubgenError(
            f"malformed record {loc}: symbol size {len(raw)}, expected {expected} for a text of {n} bytes")
    if any(raw[4 + n:]):
        raise StubgenError(f"malformed record {loc}: padding after the text is not zero")
    try:
        data = json.loads(raw[4:4 + n].decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise StubgenError(f"malformed record {loc}: text is not UTF-8 JSON ({e})") from None
    if not isinstance(data, dict) or not isinstance(data.get("type"), str):
        raise StubgenError(f"malformed record {loc}: not a JSON object with a \"type\"")
    return Record(name, len(raw), n, data)


def record_symbols(elf: ElfFile) -> list[Symbol]:
    """Every record symbol, from .symtab and .dynsym, once each, in address order."""
    found: dict[str, Symbol] = {}
    for table in (".dynsym", ".symtab"):
        for sym in elf.symbols(table):
            if _RECORD_NAME.match(sym.name) and sym.shndx != _SHN_UNDEF:
                found.setdefault(sym.name, sym)
    return sorted(found.values(), key=lambda s: (s.value, s.name))


STUB_SECTION = ".tarsk_stubs"


def read_stub_data(elf: ElfFile) -> list[dict[str, Any]]:
    """The entries of the stub-data section ([] when the library has none)."""
    out: list[dict[str, Any]] = []
    for sec in elf.sections:
        if sec.name != STUB_SECTION or sec.type == _SHT_NOBITS:
            continue
        body = elf._bytes(sec.offset, sec.size, "stub data")
        pos = 0
        while pos + 4 <= len(body):
            (n,) = struct.unpack_from("<I", body, pos)
            if n == 0:          # padding between entries of different objects
                pos += 4
                continue
            text = body[pos + 4:pos + 4 + n]
            try:
                entry = json.loads(text.decode("utf-8"))
            except (UnicodeDecodeError, ValueError) as e:
                raise StubgenError(f"malformed stub data at {pos} in {elf.path}: {e}") from None
            if not isinstance(entry, dict):
                raise StubgenError(f"malformed stub data at {pos} in {elf.path}: not a JSON object")
            out.append(entry)
            pos += 4 + (n + 3) // 4 * 4
    return out


def read_records(path: str) -> list[Record]:
    """All records of the shared library at path (StubgenError on any failure)."""
    elf = ElfFile(path)
    if not elf.is_shared_library():
        raise StubgenError(f"not an ELF shared library: {path}")
    syms = record_symbols(elf)
    if not syms:
        raise StubgenError(f"no {RECORD_PREFIX}* records in {path}")
    return [decode_record(s.name, elf.symbol_bytes(s), path) for s in syms]


# ---------------------------------------------------------------------------
# The API model built from the records
# ---------------------------------------------------------------------------

@dataclass
class Param:
    name: str
    annotation: str


@dataclass
class Function:
    name: str
    receiver: str | None        # "self", "cls" or None
    params: list[Param]
    returns: str
    decorator: str | None       # "staticmethod", "property", "<name>.setter" or None
    doc: str = ""               # the description (from the stub data)


@dataclass
class Class:
    id: str
    name: str
    members: list[Function] = field(default_factory=list)
    doc: str = ""


@dataclass
class Module:
    id: str
    name: str
    member_ids: list[str]
    classes: list[Class] = field(default_factory=list)
    functions: list[Function] = field(default_factory=list)
    submodules: list["Module"] = field(default_factory=list)


def _need(rec: Record, key: str, typ: type) -> Any:
    val = rec.data.get(key)
    if not isinstance(val, typ):
        raise StubgenError(f"malformed record {rec.symbol}: \"{key}\" missing or not a {typ.__name__}")
    return val


def _function(rec: Record) -> Function:
    name = _need(rec, "name", str)
    args = _need(rec, "arguments", dict)
    receiver = None
    posonly = args.get("posonlyargs", [])
    if not isinstance(posonly, list) or len(posonly) > 1:
        raise StubgenError(f"malformed record {rec.symbol}: \"posonlyargs\" is not a list of one receiver")
    if posonly:
        receiver = posonly[0].get("name") if isinstance(posonly[0], dict) else None
        if receiver not in ("self", "cls"):
            raise StubgenError(f"malformed record {rec.symbol}: receiver is not self or cls")
    params = []
    for a in args.get("args", []):
        if not (isinstance(a, dict) and isinstance(a.get("name"), str)
                and isinstance(a.get("annotation"), str)):
            raise StubgenError(f"malformed record {rec.symbol}: an argument lacks its name or annotation")
        params.append(Param(a["name"], a["annotation"]))
    decorator = None
    if "decorators" in rec.data:
        decs = _need(rec, "decorators", list)
        if len(decs) != 1 or not isinstance(decs[0], str):
            raise StubgenError(f"malformed record {rec.symbol}: \"decorators\" is not a one-item list")
        decorator = decs[0]
    return Function(name, receiver, params, _need(rec, "returns", str), decorator)


def build_api(records: list[Record]) -> Module:
    """Link the records into the top-level module, its classes and submodules."""
    modules: dict[str, tuple[Record, Module]] = {}
    classes: dict[str, Class] = {}
    functions: dict[str, Function] = {}
    methods: list[tuple[str, Record]] = []
    ids: set[str] = set()

    def new_id(rec: Record) -> str:
        ident = _need(rec, "id", str)
        if ident in ids:
            raise StubgenError(f"malformed record {rec.symbol}: id {ident} is used twice")
        ids.add(ident)
        return ident

    for rec in records:
        kind = rec.data["type"]
        if kind == "module":
            members = _need(rec, "members", list)
            if not all(isinstance(m, str) for m in members):
                raise StubgenError(f"malformed record {rec.symbol}: \"members\" are not id strings")
            ident = new_id(rec)
            modules[ident] = (rec, Module(ident, _need(rec, "name", str), members))
        elif kind == "class":
            ident = new_id(rec)
            classes[ident] = Class(ident, _need(rec, "name", str))
        elif kind == "function":
            if "parent" in rec.data:
                methods.append((_need(rec, "parent", str), rec))
            else:
                functions[new_id(rec)] = _function(rec)
        else:
            raise StubgenError(f"malformed record {rec.symbol}: unknown type {kind!r}")

    for parent, rec in methods:
        if parent not in classes:
            raise StubgenError(f"malformed record {rec.symbol}: parent {parent} is not a class record")
        classes[parent].members.append(_function(rec))

    owned: set[str] = set()
    for rec, mod in modules.values():
        for m in mod.member_ids:
            if m in owned:
                raise StubgenError(f"malformed record {rec.symbol}: member {m} belongs to two modules")
            owned.add(m)
            if m in classes:
                mod.classes.append(classes[m])
            elif m in functions:
                mod.functions.append(functions[m])
            elif m in modules:
                mod.submodules.append(modules[m][1])
            else:
                raise StubgenError(f"malformed record {rec.symbol}: member {m} has no record")
    roots = [mod for ident, (_, mod) in modules.items() if ident not in owned]
    if len(roots) != 1:
        raise StubgenError(f"malformed records: expected one top-level module, found {len(roots)}")
    root = roots[0]
    for ident, fn in functions.items():
        if ident not in owned:
            raise StubgenError(f"malformed records: module function {fn.name} belongs to no module")
    # Classes of no module (iterator types) are described with the top-level module.
    root.classes.extend(c for ident, c in classes.items() if ident not in owned)
    return root


def _decorator_kind(fn: Function) -> str:
    if fn.decorator is None:
        return ""
    return "setter" if fn.decorator.endswith(".setter") else fn.decorator


def _apply(fn: Function, data: dict[str, Any], where: str) -> None:
    args = data.get("args")
    if not isinstance(args, list) or len(args) != len(fn.params):
        raise StubgenError(f"malformed stub data for {where}.{fn.name}: its arguments differ from the record")
    for p, ann in zip(fn.params, args):
        p.annotation = str(ann)
    fn.returns = str(data.get("returns", fn.returns))
    fn.doc = str(data.get("doc", ""))


def apply_stub_data(root: Module, entries: list[dict[str, Any]]) -> None:
    """Give the members the precise annotations and descriptions of the stub data."""
    classes: dict[str, Class] = {}
    functions: dict[str, dict[str, Function]] = {}

    def walk(mod: Module) -> None:
        for c in mod.classes:
            classes[c.name] = c
        functions[mod.name] = {f.name: f for f in mod.functions}
        for sub in mod.submodules:
            walk(sub)
    walk(root)
    for entry in entries:
        members = entry.get("members", [])
        if "class" in entry:
            cls = classes.get(entry["class"])
            if cls is None:
                raise StubgenError(f"stub data names a class without a record: {entry['class']}")
            cls.doc = str(entry.get("doc", ""))
            by_key = {(f.name, _decorator_kind(f)): f for f in cls.members}
            for m in members:
                fn = by_key.get((m.get("name"), m.get("decorator")))
                if fn is None:
                    raise StubgenError(f"stub data names a member without a record: {cls.name}.{m.get('name')}")
                _apply(fn, m, cls.name)
        elif "module" in entry:
            fns = functions.get(entry["module"], {})
            for m in members:
                fn = fns.get(m.get("name"))
                if fn is None:
                    raise StubgenError(f"stub data names a function without a record: {m.get('name')}")
                _apply(fn, m, entry["module"])


# ---------------------------------------------------------------------------
# Stub text
# ---------------------------------------------------------------------------

_COMPARISONS = ("__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__")


def _member_order(fn: Function) -> tuple[int, str, int]:
    """Constructor, static methods, properties (getter before setter), methods, special methods."""
    if fn.name == "__new__":
        group = 0
    elif fn.decorator == "staticmethod":
        group = 1
    elif fn.decorator is not None:
        group = 2
    elif not (fn.name.startswith("__") and fn.name.endswith("__")):
        group = 3
    else:
        group = 4
    return (group, fn.name, 0 if fn.decorator == "property" else 1)


_BUILTIN_TYPES = ("list", "tuple", "float", "int", "bool", "str")


def _annotation(ann: str, used: set[str], shadowed: frozenset[str] = frozenset()) -> str:
    """The annotation text; a builtin type that a member of the class shadows
    (VecList's property `list`) is written as builtins.<name>."""
    if "typing." in ann:
        used.add("typing")
    for name in _BUILTIN_TYPES:
        if name in shadowed:
            new = re.sub(rf"(?<![\w.]){name}\b", f"builtins.{name}", ann)
            if new != ann:
                used.add("builtins")
                ann = new
    return ann


def _signature(fn: Function, cls: Class | None, used: set[str]) -> tuple[str, list[str]]:
    """The parameter list and result of fn, and the comments that explain deviations."""
    notes: list[str] = []
    parts: list[str] = []
    shadowed = frozenset(f.name for f in cls.members) if cls is not None else frozenset()
    if fn.receiver:
        parts.append(fn.receiver)
    last_renamed = -1
    names = []
    for i, p in enumerate(fn.params):
        ann = p.annotation
        name = p.name
        if fn.name in ("__eq__", "__ne__") and cls is not None:
            # Overrides of object.__eq__/__ne__ must accept any object; the slot
            # answers NotImplemented for anything but an instance of the class.
            ann = "object"
        if keyword.iskeyword(name):
            notes.append(
                f"'{name}' is a Python keyword and cannot name a parameter here: written '{name}_'\n"
                f"and positional-only; the runtime also takes it by position.")
            name = name + "_"
            last_renamed = i
        names.append(f"{name}: {_annotation(ann, used, shadowed)}")
    if fn.name.startswith("__") and fn.name.endswith("__") and fn.name != "__new__":
        # Operator slots take their operand by position only.
        last_renamed = len(names) - 1
    for i, text in enumerate(names):
        parts.append(text)
        if i == last_renamed:
            parts.append("/")
    returns = fn.returns
    if fn.name == "__new__" and cls is not None:
        returns = cls.name     # the record gives the initialiser's None
    elif fn.name in _COMPARISONS and cls is not None:
        returns = "bool" if returns in ("bool", "typing.Any") else returns
    return f"({', '.join(parts)}) -> {_annotation(returns, used, shadowed)}", notes


def _docstring(text: str, indent: str) -> list[str]:
    """A docstring, wrapped to the stub's line length."""
    text = text.replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if text.endswith('"'):
        text += " "
    lines = textwrap.wrap(text, width=96 - len(indent), break_on_hyphens=False,
                          break_long_words=False)
    if len(lines) == 1 and len(lines[0]) + len(indent) + 6 <= 96:
        return [f'{indent}"""{lines[0]}"""']
    return [f'{indent}"""{lines[0]}'] + [f"{indent}{ln}" for ln in lines[1:]] + [f'{indent}"""']


def _def(fn: Function, sig: str, indent: str) -> list[str]:
    if not fn.doc:
        return [f"{indent}def {fn.name}{sig}: ..."]
    return [f"{indent}def {fn.name}{sig}:"] + _docstring(fn.doc, indent + "    ")


def _class_text(cls: Class, used: set[str], in_module: bool) -> list[str]:
    used.add("typing")
    lines = ["# The class cannot be subclassed.", "@typing.final"]
    if not in_module:
        lines[:0] = ["# Not an attribute of the module: only reachable as the type of the",
                     "# objects that other members return."]
        lines.append("@typing.type_check_only")
    lines.append(f"class {cls.name}:")
    names = {f.name for f in cls.members}
    body: list[str] = _docstring(cls.doc, "    ") if cls.doc else []
    for fn in sorted(cls.members, key=_member_order):
        sig, notes = _signature(fn, cls, used)
        for note in notes:
            body.extend(f"    # {line}" for line in note.splitlines())
        if fn.decorator is not None:
            body.append(f"    @{fn.decorator}")
        if fn.decorator is not None and fn.decorator.endswith(".setter"):
            fn.doc = ""         # the getter documents the property
        body.extend(_def(fn, sig, "    "))
    if "__eq__" in names and "__hash__" not in names:
        body.append("    # Defines __eq__ without __hash__: instances are unhashable.")
        body.append("    __hash__: typing.ClassVar[None]  # type: ignore[assignment]")
    if not body:
        body.append("    ...")
    return lines + body


def module_stub(mod: Module, root: Module) -> str:
    used: set[str] = set()
    chunks: list[list[str]] = []
    own = {c.name for c in mod.classes}
    public = set(_public_names(mod))
    for cls in mod.classes:
        chunks.append(_class_text(cls, used, cls.name in public))
    for fn in mod.functions:
        sig, notes = _signature(fn, None, used)
        chunks.append([f"# {line}" for n in notes for line in n.splitlines()]
                      + _def(fn, sig, ""))
    text_body = "\n\n".join("\n".join(c) for c in chunks)

    header = [f'"""Type stubs of {"the module " + root.name if mod is root else "the submodule " + root.name + "." + mod.name}.',
              "",
              "Generated by tools/stubgen.py from the introspection records of the",
              "shared library and, where the library still carries it, its stub data",
              '(precise annotations and descriptions); do not edit."""', ""]
    imports = []
    if "builtins" in used:
        imports.append("import builtins")
    if "typing" in used:
        imports.append("import typing")
    if mod is root:
        for sub in mod.submodules:
            imports.append(f"from . import {sub.name} as {sub.name}")
    else:
        # Classes defined elsewhere (in the top-level module) that annotations name.
        all_classes = {c.name for c in root.classes}
        wanted = sorted(n for n in all_classes - own if re.search(rf"\b{re.escape(n)}\b", text_body))
        if wanted:
            imports.append(f"from {root.name} import {', '.join(wanted)}")
    exports = [c.name for c in mod.classes if c.name in _public_names(mod)] + \
        [f.name for f in mod.functions] + [s.name for s in mod.submodules]
    order = _public_names(mod)
    exports.sort(key=order.index)
    all_line = "__all__ = [" + ", ".join(f'"{n}"' for n in exports) + "]"
    return "\n".join(header + imports + ["", all_line, "", ""]) + text_body + "\n"


def _public_names(mod: Module) -> list[str]:
    """Names of the module's members, in the order in which initialisation adds them."""
    by_id = {c.id: c.name for c in mod.classes}
    by_id.update({s.id: s.name for s in mod.submodules})
    names = []
    fns = iter(mod.functions)
    for m in mod.member_ids:
        names.append(by_id[m] if m in by_id else next(fns).name)
    return names


def write_stubs(root: Module, outdir: str) -> list[str]:
    pkg = os.path.join(outdir, f"{root.name}-stubs")
    os.makedirs(pkg, exist_ok=True)
    written = []

    def emit(mod: Module, filename: str) -> None:
        path = os.path.join(pkg, filename)
        text = module_stub(mod, root)
        tmp = path + ".tmp"
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(tmp, path)
        written.append(path)

    emit(root, "__init__.pyi")
    for sub in root.submodules:
        if sub.submodules:
            raise StubgenError(f"nested submodules are not supported: {root.name}.{sub.name}")
        emit(sub, f"{sub.name}.pyi")
    return written


def main(argv: list[str]) -> int:
    if len(argv) != 3 or argv[1].startswith("-"):
        print("usage: stubgen.py LIB.so OUTDIR", file=sys.stderr)
        return 2
    lib, outdir = argv[1], argv[2]
    try:
        root = build_api(read_records(lib))
        apply_stub_data(root, read_stub_data(ElfFile(lib)))
        write_stubs(root, outdir)
    except StubgenError as e:
        print(f"stubgen: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"stubgen: cannot write stubs to {outdir}: {e.strerror or e}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
