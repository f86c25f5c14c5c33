"""The test suite under every supported interpreter: `nox` runs them all,
`nox -s tests-3.12` one of them. Extra arguments go to pytest
(`nox -- -x tests/test_vec3d.py`).

Each session installs the package with its test extras into its own
environment, so the module is built once per interpreter (incrementally,
in build/<wheel tag>). The release checks (the wheel and sdist builds, the
builds with other compilers) are not repeated per interpreter; .ci/run runs
them once.

Two kinds of interpreter:

- found: python3.11, python3.12 and python3.13 on PATH; pyenv's
  installations (PYENV_ROOT, default ~/.pyenv) are added to PATH when
  present;
- provided: CPython 3.14 and 3.15 from Debian unstable's binary packages and
  the free-threaded 3.13t built from Debian's source package, made (once,
  then cached) by tools/pythons.sh. Their sessions make their own venv
  without pip and install pip from Debian's pip wheel, which the script also
  provides."""
import glob
import os

import nox

# Interpreters found on PATH, and interpreters tools/pythons.sh provides.
FOUND = ["3.11", "3.12", "3.13"]
PROVIDED = ["3.14", "3.15", "3.13t"]

nox.options.sessions = ["tests"] + [f"tests-{v}" for v in PROVIDED]
nox.options.reuse_existing_virtualenvs = True

PYTEST = ["python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-m", "not wheel and not builds and not slow"]

_pyenv = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
for _version in FOUND:
    for _bin in sorted(glob.glob(os.path.join(_pyenv, "versions", f"{_version}.*", "bin")), reverse=True)[:1]:
        if _bin not in os.environ.get("PATH", "").split(os.pathsep):
            os.environ["PATH"] = _bin + os.pathsep + os.environ.get("PATH", "")


@nox.session(python=FOUND)
def tests(session: nox.Session) -> None:
    session.install("-q", ".[test]")
    session.run(*PYTEST, *session.posargs)


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


def _provided_session(version: str):
    def run(session: nox.Session) -> None:
        tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tools", "pythons.sh")
        interpreter = session.run(tool, version, silent=True, external=True).strip().splitlines()[-1]
        pip_wheel = session.run(tool, "pip-wheel", silent=True, external=True).strip().splitlines()[-1]
        env_dir = os.path.join(".nox", f"tests-{version.replace('.', '-')}")
        python = os.path.join(env_dir, "bin", "python")
        if not os.path.exists(python):
            session.run(interpreter, "-m", "venv", "--without-pip", env_dir, external=True)
            # pip runs from its own wheel to install itself.
            session.run(python, os.path.join(pip_wheel, "pip"), "install", "-q", "--no-index", pip_wheel,
                        external=True)
        bin_dir = os.path.abspath(os.path.join(env_dir, "bin"))
        env = {"PATH": bin_dir + os.pathsep + os.environ.get("PATH", ""), "VIRTUAL_ENV": os.path.abspath(env_dir)}
        # Wheels of an older release rather than a long build from source:
        # the newest numpy may have no wheel for a new or free-threaded
        # interpreter, and mypy's Rust parser (ast-serialize) cannot be built
        # offline, so a mypy that needs it without a wheel is passed over.
        session.run(python, "-m", "pip", "install", "-q", "--prefer-binary", "--only-binary", "ast-serialize",
                    ".[test]", env=env, external=True)
        session.run(python, *PYTEST[1:], *session.posargs, env=env, external=True)

    run.__name__ = f"tests-{version}"
    run.__doc__ = f"The suite under CPython {version} from tools/pythons.sh."
    return nox.session(name=f"tests-{version}", python=False)(run)


for _version in PROVIDED:
    globals()[f"_tests_{_version.replace('.', '_')}"] = _provided_session(_version)
