"""The test suite under every supported interpreter: `nox` runs all three,
`nox -s tests-3.12` one of them. Extra arguments go to pytest
(`nox -- -x tests/test_vec3d.py`).

Each session installs the package with its test extras into its own
environment, so the module is built once per interpreter (incrementally,
in build/<wheel tag>). The release checks (the wheel and sdist builds, the
builds with other compilers) are not repeated per interpreter; .ci/run runs
them once.

Interpreters are found on PATH as python3.11, python3.12 and python3.13;
pyenv's installations (PYENV_ROOT, default ~/.pyenv) are added to PATH when
present."""
import glob
import os

import nox

PYTHONS = ["3.11", "3.12", "3.13"]

nox.options.sessions = ["tests"]
nox.options.reuse_existing_virtualenvs = True

_pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
for _version in PYTHONS:
    for _bin in sorted(glob.glob(os.path.join(_pyenv, "versions", f"{_version}.*", "bin")), reverse=True)[:1]:
        if _bin not in os.environ.get("PATH", "").split(os.pathsep):
            os.environ["PATH"] = _bin + os.pathsep + os.environ.get("PATH", "")


@nox.session(python=PYTHONS)
def tests(session: nox.Session) -> None:
    session.install("-q", ".[test]")
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                "-m", "not wheel and not builds", *session.posargs)


@nox.session
def docs(session: nox.Session) -> None:
    """The documentation site, into docs/_build/html, with warnings as errors and
    without network, then its checks: the guides' code, the links, the API
    pages, and headless Chromium (Debian's chromium package) rendering pages
    into screenshots under docs/_build/screenshots."""
    import shutil

    session.install("-q", ".[docs]")
    for generated in ("docs/_build", "docs/auto_examples"):
        shutil.rmtree(generated, ignore_errors=True)
    session.run("python", "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", "docs", "docs/_build/html")
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                "tests/test_docs.py", "tests/test_docs_site.py", *session.posargs,
                env={"TARSK_DOCS_REQUIRE_BROWSER": "1"})
