"""The introspection records of the shared library: read from its symbol table
with the stub generator's ELF reader (without importing anything from the
file) and checked against the live module."""
import collections
import importlib.util
import inspect
import pathlib
import struct
import sys

import pytest

import tarsk_py
from tarsk_py import geometry

ROOT = pathlib.Path(__file__).resolve().parents[1]


def _load_stubgen():
    spec = importlib.util.spec_from_file_location("tarsk_stubgen", ROOT / "tools" / "stubgen.py")
    mod = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = mod  # dataclasses look their module up by name
    spec.loader.exec_module(mod)
    return mod


stubgen = _load_stubgen()
LIB = tarsk_py.__file__
ITERATOR = type(iter(tarsk_py.VecList([])))
CLASSES = {
    "Vec3d": tarsk_py.Vec3d, "VecList": tarsk_py.VecList, "VecListIterator": ITERATOR,
    "AngleRadians": tarsk_py.AngleRadians, "AngleDegrees": tarsk_py.AngleDegrees,
    "Quat": tarsk_py.Quat, "Plane": geometry.Plane, "Circle": geometry.Circle,
}
MODULES = {"tarsk_py": tarsk_py, "geometry": geometry}
STT_OBJECT, STB_GLOBAL, STV_DEFAULT, SHF_WRITE = 1, 1, 0, 0x1


@pytest.fixture(scope="module")
def elf():
    return stubgen.ElfFile(LIB)


@pytest.fixture(scope="module")
def records():
    return stubgen.read_records(LIB)


@pytest.fixture(scope="module")
def by_type(records):
    out = collections.defaultdict(list)
    for r in records:
        out[r.data["type"]].append(r.data)
    return out


@pytest.fixture(scope="module")
def class_ids(by_type):
    return {c["id"]: c["name"] for c in by_type["class"]}


def _sample(name):
    v = tarsk_py.Vec3d(1.0, 2.0, 3.0)
    return {
        "Vec3d": lambda: tarsk_py.Vec3d(1.0, 2.0, 3.0),
        "VecList": lambda: tarsk_py.VecList([v]),
        "VecListIterator": lambda: iter(tarsk_py.VecList([v])),
        "AngleRadians": lambda: tarsk_py.AngleRadians(0.5),
        "AngleDegrees": lambda: tarsk_py.AngleDegrees(30.0),
        "Quat": lambda: tarsk_py.Quat(1.0, 0.0, 0.0, 0.0),
        "Plane": lambda: geometry.Plane(tarsk_py.Vec3d(0.0, 0.0, 1.0), 2.0),
        "Circle": lambda: geometry.Circle(v, 1.5, tarsk_py.Vec3d(0.0, 0.0, 1.0)),
    }[name]()


def _params(text_signature):
    """Parameter names of a text signature, without the receiver and markers."""
    inner = text_signature.strip()[1:-1]
    names = [p.strip() for p in inner.split(",") if p.strip()]
    return [n for n in names if not n.startswith("$") and n not in ("/", "*")]


# -- counts and layout -------------------------------------------------------

def test_one_record_per_module_class_and_function(by_type):
    assert sorted(m["name"] for m in by_type["module"]) == sorted(MODULES)
    assert sorted(c["name"] for c in by_type["class"]) == sorted(CLASSES)
    module_functions = sorted(f["name"] for f in by_type["function"] if "parent" not in f)
    assert module_functions == sorted(n for m in MODULES.values() for n in m.__all__
                                      if inspect.isbuiltin(getattr(m, n)))


def test_every_defined_member_has_its_record(by_type, class_ids):
    # The other direction of test_function_records_match_runtime: each method,
    # static method, constructor and property the classes define at runtime
    # has its record (a writable property also its setter record).
    have = {(class_ids[f["parent"]], f["name"], tuple(f.get("decorators") or ()))
            for f in by_type["function"] if "parent" in f}
    for cls_name, cls in CLASSES.items():
        for name, attr in vars(cls).items():
            kind = type(attr).__name__
            if name == "__new__" or kind == "method_descriptor":
                assert (cls_name, name, ()) in have, (cls_name, name)
            elif kind == "staticmethod":
                assert (cls_name, name, ("staticmethod",)) in have, (cls_name, name)
            elif kind == "getset_descriptor":
                assert (cls_name, name, ("property",)) in have, (cls_name, name)
                obj = _sample(cls_name)
                try:
                    setattr(obj, name, getattr(obj, name))
                except AttributeError:
                    assert (cls_name, name, (f"{name}.setter",)) not in have
                else:
                    assert (cls_name, name, (f"{name}.setter",)) in have, (cls_name, name)


def test_symbol_layout(elf, records):
    syms = stubgen.record_symbols(elf)
    assert len(syms) == len(records)
    numbers = [int(s.name[len(stubgen.RECORD_PREFIX):]) for s in syms]
    assert len(set(numbers)) == len(numbers) and all(0 <= n < 2**64 for n in numbers)
    for s in syms:
        raw = elf.symbol_bytes(s)
        (n,) = struct.unpack_from("<I", raw)
        assert s.size == 4 + (n + 3) // 4 * 4, s.name
        assert raw[4 + n:] == bytes(s.size - 4 - n), s.name
        assert s.type == STT_OBJECT and s.visibility == STV_DEFAULT, s.name
        # Read-only data: the section holding the record is not writable.
        assert not elf.sections[s.shndx].flags & SHF_WRITE, s.name


def test_padding_rule_on_synthetic_records():
    # A 65-byte text takes 3 bytes of padding (size 72), a 60-byte text none (size 64).
    for n, size in ((65, 72), (60, 64)):
        text = b'{"type":"class"' + b" " * (n - 16) + b"}"
        assert len(text) == n
        raw = struct.pack("<I", n) + text + bytes(size - 4 - n)
        rec = stubgen.decode_record("PYO3_INTROSPECTION_1_7", raw)
        assert (rec.size, rec.length, rec.data) == (size, n, {"type": "class"})
    text = b'{"type":"class"' + b" " * 49 + b"}"
    with pytest.raises(stubgen.StubgenError, match="symbol size"):
        stubgen.decode_record("PYO3_INTROSPECTION_1_7", struct.pack("<I", 65) + text + bytes(7))
    with pytest.raises(stubgen.StubgenError, match="padding"):
        stubgen.decode_record("PYO3_INTROSPECTION_1_7", struct.pack("<I", 65) + text + b"\0\0\1")
    with pytest.raises(stubgen.StubgenError, match="JSON"):
        stubgen.decode_record("PYO3_INTROSPECTION_1_7", struct.pack("<I", 4) + b"[1]x")
    with pytest.raises(stubgen.StubgenError, match='"type"'):
        stubgen.decode_record("PYO3_INTROSPECTION_1_7", struct.pack("<I", 4) + b"[1] ")


def test_exported_dynamic_symbols(elf):
    defined = [s for s in elf.symbols(".dynsym") if s.shndx != 0 and s.name]
    names = {s.name for s in defined}
    records = {n for n in names if n.startswith(stubgen.RECORD_PREFIX)}
    assert names - records == {"PyInit_tarsk_py"}
    assert len(records) == len(stubgen.record_symbols(elf))
    assert all(s.bind == STB_GLOBAL for s in defined)


# -- links between the records -----------------------------------------------

def test_ids_unique_and_parents_resolve(by_type, class_ids):
    ids = [r["id"] for t in ("module", "class") for r in by_type[t]]
    ids += [f["id"] for f in by_type["function"] if "id" in f]
    module_functions = [f for f in by_type["function"] if "id" in f]
    assert len(ids) == len(set(ids)) == len(MODULES) + len(CLASSES) + len(module_functions)
    for ident in ids:
        assert ident.isdigit() and int(ident) < 2**64
    for f in by_type["function"]:
        assert ("parent" in f) != ("id" in f), f
        if "parent" in f:
            assert f["parent"] in class_ids, f


def test_module_members_follow_all(by_type, class_ids):
    names = dict(class_ids)
    names.update({m["id"]: m["name"] for m in by_type["module"]})
    names.update({f["id"]: f["name"] for f in by_type["function"] if "id" in f})
    mods = {m["name"]: m for m in by_type["module"]}
    assert set(mods) == {"tarsk_py", "geometry"}
    for name, module in MODULES.items():
        rec = mods[name]
        assert rec["incomplete"] is False
        assert [names[m] for m in rec["members"]] == list(module.__all__)
    top = mods["tarsk_py"]["members"]
    assert len(top) == len(tarsk_py.__all__) and top[-1] == mods["geometry"]["id"]
    # VecListIterator belongs to no module.
    owned = set(top) | set(mods["geometry"]["members"])
    assert [class_ids[c] for c in class_ids if c not in owned] == ["VecListIterator"]


# -- every function record against the live module ----------------------------

def test_function_records_match_runtime(by_type, class_ids):
    module_of_function = {}
    for m in by_type["module"]:
        for ident in m["members"]:
            module_of_function[ident] = MODULES[m["name"]]
    seen = set()
    for f in by_type["function"]:
        name, args, dec = f["name"], f["arguments"], f.get("decorators")
        assert set(args) <= {"posonlyargs", "args"}, f
        arg_names = [a["name"] for a in args.get("args", [])]
        for a in args.get("args", []):
            assert set(a) == {"name", "annotation"} and a["annotation"], f
        assert isinstance(f["returns"], str) and f["returns"], f
        if "id" in f:  # module function
            fn = getattr(module_of_function[f["id"]], name)
            assert "posonlyargs" not in args and dec is None
            assert _params(fn.__text_signature__) == arg_names, f
            continue
        cls_name = class_ids[f["parent"]]
        cls = CLASSES[cls_name]
        key = (cls_name, name, tuple(dec or ()))
        assert key not in seen, f"two records for {key}"
        seen.add(key)
        if name == "__new__":
            assert args["posonlyargs"] == [{"name": "cls"}] and dec is None
            assert f["returns"] == "None"
            assert _params(cls.__text_signature__) == arg_names, f
            continue
        attr = cls.__dict__[name]
        if dec == ["staticmethod"]:
            # A staticmethod whose function belongs to the class, as every
            # introspection tool expects of a static method (the interpreter
            # shows no __self__ for a function made from a static entry).
            assert "posonlyargs" not in args
            assert isinstance(attr, staticmethod) and inspect.getattr_static(cls, name) is attr, f
            fn = getattr(cls, name)
            assert inspect.isbuiltin(fn) and fn.__self__ is None, f
            assert fn.__qualname__ == f"{cls_name}.{name}", f
            assert _params(fn.__text_signature__) == arg_names, f
            continue
        assert args["posonlyargs"] == [{"name": "self"}], f
        if dec == ["property"]:
            assert inspect.isgetsetdescriptor(attr) and arg_names == [], f
        elif dec is not None:
            assert dec == [f"{name}.setter"] and inspect.isgetsetdescriptor(attr), f
            assert arg_names == ["value"] and f["returns"] == "None", f
            obj = _sample(cls_name)
            setattr(obj, name, getattr(obj, name))  # the setter exists
        elif name.startswith("__") and name.endswith("__"):
            # A slot wrapper: its runtime text signature has the operand as "value"
            # or "key", so only the count of parameters can be compared.
            assert len(_params(attr.__text_signature__)) == len(arg_names), f
        else:
            assert _params(attr.__text_signature__) == arg_names, f
    # Getters without a setter record are read-only at runtime.
    getters = {(c, n) for c, n, d in seen if d == ("property",)}
    setters = {(c, n) for c, n, d in seen if d and d[0].endswith(".setter")}
    assert setters <= getters
    for cls_name, name in getters - setters:
        with pytest.raises(AttributeError):
            setattr(_sample(cls_name), name, getattr(_sample(cls_name), name))
    # Every property, method and static method of the runtime has a record.
    for cls_name, cls in CLASSES.items():
        for attr_name, attr in vars(cls).items():
            if attr_name.startswith("_"):
                continue
            assert any(c == cls_name and n == attr_name for c, n, _ in seen), (cls_name, attr_name)


# -- spot checks ---------------------------------------------------------------

def _functions(by_type, class_ids, cls_name, name):
    return [f for f in by_type["function"]
            if "parent" in f and class_ids[f["parent"]] == cls_name and f["name"] == name]


def test_vec3d_new_record(by_type, class_ids):
    (rec,) = _functions(by_type, class_ids, "Vec3d", "__new__")
    assert rec["arguments"] == {
        "posonlyargs": [{"name": "cls"}],
        "args": [{"name": n, "annotation": "float"} for n in "xyz"],
    }
    assert rec["returns"] == "None"
    assert "decorators" not in rec


def test_vec3d_zero_record(by_type, class_ids):
    (rec,) = _functions(by_type, class_ids, "Vec3d", "zero")
    assert rec["arguments"] == {}
    assert rec["returns"] == "Vec3d"
    assert rec["decorators"] == ["staticmethod"]


def test_plane_normal_records(by_type, class_ids):
    recs = _functions(by_type, class_ids, "Plane", "normal")
    assert len(recs) == 2
    getter = next(r for r in recs if r["decorators"] == ["property"])
    setter = next(r for r in recs if r["decorators"] == ["normal.setter"])
    assert getter["returns"] == "Vec3d"
    assert getter["arguments"] == {"posonlyargs": [{"name": "self"}]}
    assert setter["arguments"]["args"] == [{"name": "value", "annotation": "Vec3d"}]
    assert setter["returns"] == "None"


def test_comparison_records(by_type, class_ids):
    comparisons = {"__eq__", "__ne__", "__lt__", "__le__", "__gt__", "__ge__"}
    expected = {
        "Vec3d": {"__eq__", "__ne__"}, "Quat": {"__eq__", "__ne__"},
        "AngleRadians": {"__eq__", "__lt__", "__le__", "__gt__", "__ge__"},
        "AngleDegrees": {"__eq__", "__lt__", "__le__", "__gt__", "__ge__"},
        "Circle": {"__eq__"},
    }
    for cls_name in CLASSES:
        found = {f["name"] for f in by_type["function"]
                 if class_ids.get(f.get("parent")) == cls_name and f["name"] in comparisons}
        assert found == expected.get(cls_name, set()), cls_name
        for name in found:
            (rec,) = _functions(by_type, class_ids, cls_name, name)
            assert rec["arguments"]["args"] == [{"name": "other", "annotation": cls_name}]


def test_annotations(by_type, class_ids):
    (new,) = _functions(by_type, class_ids, "VecList", "__new__")
    assert new["arguments"]["args"] == [{"name": "list", "annotation": "typing.Any"}]
    for cls_name, name, returns in (
        ("Vec3d", "__hash__", "int"), ("VecList", "__len__", "int"), ("Vec3d", "__repr__", "str"),
        ("VecList", "__iter__", "VecListIterator"), ("VecListIterator", "__iter__", "VecListIterator"),
        ("VecListIterator", "__next__", "typing.Any"), ("Vec3d", "angle_to", "AngleRadians"),
        ("Vec3d", "to_array", "typing.Any"), ("VecList", "append", "None"),
        ("VecList", "minimum_distance_to", "typing.Any"), ("Vec3d", "cross", "Vec3d"),
    ):
        (rec,) = _functions(by_type, class_ids, cls_name, name)
        assert rec["returns"] == returns, (cls_name, name)
    (minimum,) = _functions(by_type, class_ids, "VecList", "minimum_distance_to")
    assert minimum["arguments"]["args"] == [
        {"name": "other", "annotation": "Vec3d"}, {"name": "stride", "annotation": "int"}]
    funcs = {f["name"]: f for f in by_type["function"] if "id" in f}
    assert funcs["plane_line"]["returns"] == funcs["circle_circle"]["returns"] == "typing.Any"
    assert funcs["circle_point"]["arguments"]["args"][2] == {"name": "inner", "annotation": "bool"}
