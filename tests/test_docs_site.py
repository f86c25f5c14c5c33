"""The built documentation site (docs/_build/html, made by `nox -s docs`):
every internal link and image resolves, the API reference has a page for
every module and class, and a real browser (headless Chromium) renders the
index, an API page and a gallery page without console errors or missing
images, leaving screenshots under docs/_build/screenshots/.

Skipped when the site has not been built; the browser test also when no
Chromium is installed (Debian: apt-get install chromium), unless
TARSK_DOCS_REQUIRE_BROWSER=1 (as `nox -s docs` sets it)."""
import base64
import html.parser
import json
import os
import pathlib
import re
import select
import shutil
import subprocess
import time
import urllib.parse

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SITE = ROOT / "docs" / "_build" / "html"
SHOTS = ROOT / "docs" / "_build" / "screenshots"

pytestmark = [
    pytest.mark.docs,
    pytest.mark.skipif(not (SITE / "index.html").is_file(),
                       reason="the documentation site is not built (nox -s docs)"),
]


class _Page(html.parser.HTMLParser):
    """The ids, links and image sources of one HTML page."""

    def __init__(self):
        super().__init__()
        self.ids, self.links, self.images = set(), [], []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if "id" in a:
            self.ids.add(a["id"])
        if tag == "a" and a.get("href"):
            self.links.append(a["href"])
        elif tag == "link" and a.get("href"):
            self.links.append(a["href"])
        elif tag in ("img", "script") and a.get("src"):
            (self.images if tag == "img" else self.links).append(a["src"])


def _parse(path):
    page = _Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


@pytest.fixture(scope="module")
def pages():
    return {p: _parse(p) for p in sorted(SITE.rglob("*.html"))}


def _target(page, ref):
    """The file and fragment a relative reference of `page` points at, or
    None for a reference that leaves the site (another scheme or host)."""
    url = urllib.parse.urlsplit(ref)
    if url.scheme or url.netloc:
        return None
    path = (page.parent / urllib.parse.unquote(url.path)).resolve() if url.path else page
    return path, urllib.parse.unquote(url.fragment)


def test_internal_links_and_images_resolve(pages):
    broken = []
    for page, parsed in pages.items():
        for ref in parsed.links + parsed.images:
            target = _target(page, ref)
            if target is None:
                continue
            path, fragment = target
            if path.is_dir():
                path = path / "index.html"
            if not path.is_file() or SITE.resolve() not in path.parents:
                broken.append(f"{page.relative_to(SITE)}: {ref}")
            elif fragment and path.suffix == ".html" and fragment not in pages.get(path, _parse(path)).ids:
                broken.append(f"{page.relative_to(SITE)}: {ref} (no such anchor)")
    assert broken == []


def test_no_page_leaves_the_site_for_its_own_resources(pages):
    # Built without network and readable without it: scripts, style sheets
    # and images all come from the site itself.
    outside = [f"{page.relative_to(SITE)}: {ref}" for page, parsed in pages.items()
               for ref in parsed.images + [r for r in parsed.links if r.endswith((".js", ".css"))]
               if _target(page, ref) is None]
    assert outside == []


@pytest.mark.parametrize("page, needles", [
    ("api/tarsk_py/index.html", ["Vec3d", "VecList", "Quat", "AngleRadians", "AngleDegrees"]),
    ("api/tarsk_py/geometry/index.html", ["plane_line", "circle_point", "circle_point_unchecked",
                                          "circle_circle"]),
    ("api/tarsk_interop/index.html", ["to_veclist", "as_numpy", "minimum_distance_to", "to_quat"]),
    ("api/tarsk_interop/dask/index.html", ["register", "minimum_distance_to"]),
    ("api/tarsk_py/Vec3d.html", ["angle_to", "to_quat", "normalize"]),
    ("api/tarsk_py/VecList.html", ["minimum_distance_to", "rotate", "extend"]),
    ("api/tarsk_py/VecListIterator.html", ["__next__"]),
    ("api/tarsk_py/AngleRadians.html", ["to_degrees"]),
    ("api/tarsk_py/AngleDegrees.html", ["to_radians"]),
    ("api/tarsk_py/Quat.html", ["from_axis_angle", "to_rotation_matrix"]),
    ("api/tarsk_py/geometry/Plane.html", ["contains_point", "distance"]),
    ("api/tarsk_py/geometry/Circle.html", ["in_same_plane", "radius"]),
])
def test_api_reference_has_a_page_per_module_and_class(page, needles):
    text = (SITE / page).read_text(encoding="utf-8")
    missing = [n for n in needles if f'<span class="pre">{n}</span>' not in text]
    assert missing == []


@pytest.mark.parametrize("page, name, params", [
    ("api/tarsk_py/Vec3d.html", "tarsk_py.Vec3d", "x: float, y: float, z: float"),
    ("api/tarsk_py/Quat.html", "tarsk_py.Quat", "w: float, i: float, j: float, k: float"),
    ("api/tarsk_py/VecList.html", "tarsk_py.VecList", "list: Sequence[Vec3d]"),
    ("api/tarsk_py/AngleRadians.html", "tarsk_py.AngleRadians", "angle: float"),
    ("api/tarsk_py/geometry/Plane.html", "tarsk_py.geometry.Plane", "normal: Vec3d, distance: float"),
    ("api/tarsk_interop/KDTree.html", "tarsk_interop.KDTree",
     "points: ArrayLike | VecList, *, leafsize: int | None = None"),
])
def test_api_pages_show_the_constructor_signature(page, name, params):
    # The class's heading carries the parameters of its constructor (__new__
    # for tarsk_py's classes), as a reader would call it.
    text = (SITE / page).read_text(encoding="utf-8")
    heading = re.search(r'<dt class="sig sig-object py" id="[^"]+">(.*?)</dt>', text, re.S).group(1)
    shown = re.sub(r"\s+", " ", html.unescape(re.sub(r"<[^>]+>", "", heading)).replace("\u00b6", ""))
    shown = shown.strip().replace("( ", "(").replace(" )", ")")
    assert shown.startswith(f"class {name}("), shown
    shown_params = shown[len(f"class {name}("):shown.rindex(")")]
    assert re.sub(r"\b(?:typing|numpy\.typing|tarsk_py)\.", "", shown_params) == params, shown


def test_api_pages_show_the_stub_descriptions():
    # The text of a stub docstring with characters that reStructuredText
    # would read as markup (| and *) arrives as written.
    text = (SITE / "api" / "tarsk_py" / "geometry" / "Plane.html").read_text(encoding="utf-8")
    assert "|distance + normal . point|" in text


# -- a real browser -----------------------------------------------------------

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class DevTools:
    """Headless Chromium driven over the DevTools protocol on a pipe (file
    descriptors 3 and 4 of the browser), so no port is opened."""

    def __init__(self, profile):
        to_browser_r, self._to_browser = os.pipe()
        self._from_browser, from_browser_w = os.pipe()

        def child_fds():
            # Copies first, so that neither end is overwritten by the other.
            read_end, write_end = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(read_end, 3)
            os.dup2(write_end, 4)

        # The browser is not the module under test: a sanitizer's preloaded
        # runtime and options (tools/sanitize.sh) stay with the interpreter.
        env = {k: v for k, v in os.environ.items()
               if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")}
        self.proc = subprocess.Popen(
            [CHROMIUM, "--headless=new", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe",
             f"--user-data-dir={profile}", "--no-first-run", "--no-default-browser-check",
             "--disable-extensions", "--disable-background-networking", "--disable-sync",
             "--window-size=1280,900", "--hide-scrollbars", "about:blank"],
            pass_fds=(3, 4), preexec_fn=child_fds, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._next_id = 0
        self.events = []
        try:
            target = self.call("Target.createTarget", url="about:blank")["targetId"]
            self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
            for domain in ("Page", "Runtime", "Log"):
                self.call(f"{domain}.enable", session=True)
        except BaseException:
            # A browser that never answered is not left running.
            self.close()
            raise

    def _read(self, deadline):
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._from_browser], [], [], left)[0]:
                raise TimeoutError("no answer from the browser")
            chunk = os.read(self._from_browser, 1 << 16)
            if not chunk:
                raise EOFError("the browser closed its pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=False, timeout=60.0, **params):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            reply = self._read(deadline)
            if reply.get("id") == self._next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})
            self.events.append(reply)

    def wait_for(self, method, timeout=60.0):
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.events):
                if event.get("method") == method:
                    return self.events.pop(i)
            self.events.append(self._read(deadline))

    def close(self):
        try:
            os.close(self._to_browser)
            os.close(self._from_browser)
        finally:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


def _console_errors(events):
    errors = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.exceptionThrown":
            errors.append(params["exceptionDetails"].get("text", "exception"))
        elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            errors.append(" ".join(str(a.get("value", a.get("description"))) for a in params["args"]))
        elif method == "Log.entryAdded" and params["entry"]["level"] == "error":
            errors.append(f"{params['entry'].get('text')} {params['entry'].get('url', '')}")
    return errors


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    if CHROMIUM is None:
        if os.environ.get("TARSK_DOCS_REQUIRE_BROWSER") == "1":
            pytest.fail("no chromium on PATH (Debian: apt-get install chromium)")
        pytest.skip("no chromium on PATH (Debian: apt-get install chromium)")
    devtools = DevTools(tmp_path_factory.mktemp("chromium-profile"))
    try:
        yield devtools
    finally:
        devtools.close()


# Every image of the page loaded and has pixels; the page has a heading.
_IMAGES = """JSON.stringify({
  broken: Array.from(document.images).filter(i => !i.complete || i.naturalWidth === 0).map(i => i.src),
  images: document.images.length,
  heading: (document.querySelector('h1') || {}).textContent || ''
})"""


@pytest.mark.parametrize("page, min_images", [
    ("index.html", 0),
    ("api/tarsk_py/Vec3d.html", 0),
    ("auto_examples/plot_strided_search.html", 1),
    ("guide/rotations.html", 1),
])
def test_pages_render_in_a_browser(browser, page, min_images):
    browser.events.clear()
    browser.call("Page.navigate", session=True, url=(SITE / page).as_uri())
    browser.wait_for("Page.loadEventFired")
    state = json.loads(browser.call("Runtime.evaluate", session=True, expression=_IMAGES,
                                    returnByValue=True)["result"]["value"])
    shot = browser.call("Page.captureScreenshot", session=True, format="png")
    SHOTS.mkdir(parents=True, exist_ok=True)
    path = SHOTS / (page.replace("/", "_").removesuffix(".html") + ".png")
    path.write_bytes(base64.b64decode(shot["data"]))
    assert path.read_bytes().startswith(b"\x89PNG")
    assert state["heading"].strip()
    assert state["broken"] == []
    assert state["images"] >= min_images
    assert _console_errors(browser.events) == []
