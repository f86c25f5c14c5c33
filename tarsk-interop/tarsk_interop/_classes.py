"""Finding tarsk_py's classes by name, as pickle does.

Every class of tarsk_py says it lives in the module "builtins" under its own
name (``Vec3d.__module__ == "builtins"``, ``Vec3d.__qualname__ == "Vec3d"``).
pickle, cloudpickle and everything built on them (multiprocessing, Dask)
write a class as that pair and read it back with
``getattr(sys.modules["builtins"], "Vec3d")``, which fails as long as no such
attribute exists.

``install()`` makes the ``builtins`` module object an instance of a subclass
of its module type (``builtins.__class__ = ...``, the documented way to
customise a module's attribute access) whose ``__getattr__`` answers the
eight class names ``AngleDegrees``, ``AngleRadians``, ``Circle``, ``Plane``,
``Quat``, ``Vec3d``, ``VecList`` and ``VecListIterator`` with tarsk_py's
classes. Python asks a type's ``__getattr__`` only for a name that ordinary
lookup does not find, so exactly this changes:

- ``getattr(builtins, "Vec3d")``, ``hasattr(builtins, "Vec3d")`` and
  ``from builtins import Vec3d`` find the class, so pickle finds it;
- ``type(builtins)`` is that subclass (``isinstance(builtins,
  types.ModuleType)`` still holds), which pickles and copies by reference,
  as cloudpickle and dill pickle the module;
- nothing else: the builtins' dictionary gains no name (neither the classes
  nor a hook), so a bare ``Vec3d`` or ``__getattr__`` in code is still a
  NameError; a name the builtins do hold (say a ``builtins.Quat`` set by
  someone else) keeps its value, and pickling that class then fails as it did
  before; a module-level hook (a ``builtins.__getattr__`` in the dictionary,
  set before or after the import) is asked first, and this one answers the
  names it leaves unanswered, so a later hook that does not chain turns
  nothing off.

A type of the builtins module set by someone else before is kept as the
base of the subclass and asked for every other name; one set after the
import replaces this one unless it derives from it.
"""
from __future__ import annotations

import builtins
import importlib
from typing import Any

import tarsk_py

# Marks the type made here, so that installing twice (a reload) does not
# stack two.
_MARK = "_tarsk_interop_classes"


def classes() -> dict[str, type]:
    """The eight classes of tarsk_py by name."""
    geometry = tarsk_py.geometry
    found = [tarsk_py.AngleDegrees, tarsk_py.AngleRadians, tarsk_py.Quat, tarsk_py.VecList,
             tarsk_py.Vec3d, type(iter(tarsk_py.VecList.empty())), geometry.Plane, geometry.Circle]
    return {cls.__qualname__: cls for cls in found}


def _module_type(found: dict[str, type], base: type) -> type:
    """A subclass of `base` (the module type of builtins) whose instances
    answer the names of `found` after ordinary lookup and `base`'s own
    __getattr__ (if any) for every other name."""
    fallback = getattr(base, "__getattr__", None)

    def __getattr__(self: Any, name: str) -> Any:
        cls = found.get(name)
        if cls is not None:
            return cls
        if fallback is not None:
            return fallback(self, name)
        raise AttributeError(f"module 'builtins' has no attribute '{name}'")

    def __reduce__(self: Any) -> Any:
        return importlib.import_module, ("builtins",)

    namespace = {
        "__slots__": (),
        "__module__": __name__,
        "__doc__": "The type of the builtins module while tarsk_interop is imported: a module whose "
                   "missing attributes include tarsk_py's classes.",
        "__getattr__": __getattr__,
        "__reduce__": __reduce__,
        _MARK: True,
    }
    return type("BuiltinsModule", (base,), namespace)


def install() -> None:
    """Makes ``getattr(builtins, name)`` find each class of tarsk_py (see the
    module's description for exactly what that changes)."""
    base = type(builtins)
    if getattr(base, _MARK, False):
        return
    found = {name: cls for name, cls in classes().items() if cls.__module__ == "builtins"}
    builtins.__class__ = _module_type(found, base)
