"""Sphinx configuration of the tarsk_py documentation site.

Build it with `nox -s docs` (or `sphinx-build -W --keep-going -b html docs
docs/_build/html` in an environment with the package and its `docs` extra
installed). The API reference is generated from the installed type stubs,
the gallery runs docs/examples/ at build time, and nothing is fetched from
the network."""
from __future__ import annotations

import pathlib
import re
import shutil

import tarsk_interop
import tarsk_py

HERE = pathlib.Path(__file__).resolve().parent

project = "tarsk_py"
author = "the tarsk_py developers"
copyright = "the tarsk_py developers"
version = release = tarsk_interop.__version__


def _stub_tree() -> pathlib.Path:
    """The installed stubs of both packages, laid out under their import names
    (tarsk_py's stubs are installed as the stub-only package tarsk_py-stubs)."""
    out = HERE / "_build" / "stubs"
    shutil.rmtree(out, ignore_errors=True)
    sources = {
        "tarsk_py": pathlib.Path(tarsk_py.__file__).resolve().parent / "tarsk_py-stubs",
        "tarsk_interop": pathlib.Path(tarsk_interop.__file__).resolve().parent,
    }
    for name, source in sources.items():
        stubs = sorted(source.glob("*.pyi"))
        if not stubs:
            raise RuntimeError(f"no type stubs of {name} in {source}: install the package first")
        (out / name).mkdir(parents=True)
        for stub in stubs:
            shutil.copy(stub, out / name / stub.name)
    # VecListIterator is not an attribute of the module (so not in its
    # __all__), but users meet it as the type of iter(VecList): give it a page.
    init = out / "tarsk_py" / "__init__.pyi"
    text = init.read_text()
    if "class VecListIterator" in text and '"VecListIterator"' not in text:
        init.write_text(text.replace("__all__ = [", '__all__ = ["VecListIterator", ', 1))
    return out


extensions = [
    "myst_parser",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "examples/README.txt", "auto_examples/*.ipynb",
                    "auto_examples/*.py", "auto_examples/*.zip", "auto_examples/*.md5",
                    "auto_examples/*.codeobj.json"]

myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

# The API reference: one page per module and per class, from the stubs.
autoapi_type = "python"
autoapi_dirs = [str(_stub_tree())]
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_own_page_level = "class"
autoapi_keep_files = False
autoapi_add_toctree_entry = False
autoapi_member_order = "groupwise"
autoapi_options = ["members", "undoc-members", "special-members", "show-module-summary",
                   "imported-members"]
autoapi_python_class_content = "both"

# The gallery: every example runs when the site is built; a failing example
# fails the build.
sphinx_gallery_conf = {
    "examples_dirs": str(HERE / "examples"),
    "gallery_dirs": str(HERE / "auto_examples"),
    "filename_pattern": r"/plot_",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "matplotlib_animations": False,
    "plot_gallery": "True",
    # The timing pages load their table scripts from the network.
    "write_computation_times": False,
}

html_theme = "furo"
html_title = f"tarsk_py {release}"
html_static_path: list[str] = []
html_show_sourcelink = False

nitpicky = False
suppress_warnings = ["config.cache"]

# The stubs' descriptions are plain text, not reStructuredText: `name` is
# code, and characters such as | * _ are meant literally.
default_role = "literal"
# Idempotent: a description that reaches the hook twice (a constructor's,
# which the class page repeats) is escaped once.
_INLINE_MARKUP = re.compile(r"(?<!\\)([|*_])")


def _plain_text(app, what, name, obj, options, lines):
    for i, line in enumerate(lines):
        parts = line.split("`")
        # Escape outside backquoted code only (the even-numbered parts).
        lines[i] = "`".join(_INLINE_MARKUP.sub(r"\\\1", part) if k % 2 == 0 else part
                            for k, part in enumerate(parts))


def _constructors_from_new() -> None:
    """The classes are built by __new__ (their stubs declare no __init__), and
    AutoAPI reads a class's signature from __init__ only: without this, every
    class page would show a bare class name. A class with no __init__ takes
    the parameters of its __new__, less `cls`."""
    from autoapi import _objects

    init_args = _objects.PythonClass.args

    def args(self) -> str:
        text = init_args.fget(self)
        if text or self.constructor is not None:
            return text
        for child in self.children:
            if child.short_name == "__new__" and child.type == "method":
                return _objects._format_args(child.obj["args"], ignore_self="cls")
        return text

    _objects.PythonClass.args = property(args, doc=init_args.__doc__)


_constructors_from_new()


def setup(app):
    if "autodoc-process-docstring" not in app.events.events:
        app.add_event("autodoc-process-docstring")
    app.connect("autodoc-process-docstring", _plain_text)
