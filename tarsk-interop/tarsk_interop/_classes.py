"""Finding tarsk_py's classes by name, as pickle does.

Every class of tarsk_py says it lives in the module "builtins" under its own
name (``Vec3d.__module__ == "builtins"``, ``Vec3d.__qualname__ == "Vec3d"``).
pickle, cloudpickle and everything built on them (multiprocessing, Dask)
write a class as that pair and read it back with
``getattr(sys.modules["builtins"], "Vec3d")``, which fails as long as no such
attribute exists.

``install()`` gives the ``builtins`` module a module-level ``__getattr__``
(the hook that ``getattr(module, name)`` consults for names the module does
not hold) that answers the eight class names ``AngleDegrees``,
``AngleRadians``, ``Circle``, ``Plane``, ``Quat``, ``Vec3d``, ``VecList`` and
``VecListIterator`` with tarsk_py's classes. That is the whole change to the
interpreter:

- ``builtins.__getattr__`` exists (a hook already there is kept and asked
  for every other name);
- ``getattr(builtins, "Vec3d")`` and ``hasattr(builtins, "Vec3d")`` find the
  class, so pickle finds it;
- nothing else: the builtins' dictionary gains no class, so a bare name
  ``Vec3d`` in code that did not import it is still a NameError, and a name
  that the builtins do hold (say a ``builtins.Quat`` set by someone else)
  keeps its value; pickling that class then fails as it did before.
"""
from __future__ import annotations

import builtins
from typing import Any, Callable

import tarsk_py

# Marks the hook of this module, so that installing twice (a reload) does not
# stack two hooks.
_MARK = "_tarsk_interop_classes"


def classes() -> dict[str, type]:
    """The eight classes of tarsk_py by name."""
    geometry = tarsk_py.geometry
    found = [tarsk_py.AngleDegrees, tarsk_py.AngleRadians, tarsk_py.Quat, tarsk_py.VecList,
             tarsk_py.Vec3d, type(iter(tarsk_py.VecList.empty())), geometry.Plane, geometry.Circle]
    return {cls.__qualname__: cls for cls in found}


def _hook(found: dict[str, type], previous: Callable[[str], Any] | None) -> Callable[[str], Any]:
    def __getattr__(name: str) -> Any:
        cls = found.get(name)
        if cls is not None:
            return cls
        if previous is not None:
            return previous(name)
        raise AttributeError(f"module 'builtins' has no attribute '{name}'")
    setattr(__getattr__, _MARK, True)
    return __getattr__


def install() -> None:
    """Makes ``getattr(builtins, name)`` find each class of tarsk_py (see the
    module's description for exactly what that changes)."""
    previous = builtins.__dict__.get("__getattr__")
    if getattr(previous, _MARK, False):
        return
    found = {name: cls for name, cls in classes().items()
             if cls.__module__ == "builtins" and name not in builtins.__dict__}
    setattr(builtins, "__getattr__", _hook(found, previous))
