"""The code in the guides and the README runs as written: every fenced
```python block of docs/*.md, docs/guide/*.md and README.md is executed, the blocks of
one page in order in one namespace (a page reads like one session), so the
pages cannot drift from the package. Where a block prints, one line per
`print(...)  # comment`, each comment must begin with what was printed."""
import contextlib
import io
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
PAGES = sorted((ROOT / "docs").glob("*.md")) + sorted((ROOT / "docs" / "guide").glob("*.md")) + [ROOT / "README.md"]
# Libraries the pages compare with, which not every interpreter has.
PEERS = ("glm", "pyglm", "scipy", "matplotlib")
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """The fenced python blocks of a markdown text, each with the line it starts on."""
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in FENCE.finditer(text)]


def printed_comments(source):
    """The comments of the block's top-level print lines, in order."""
    return [line.split("#", 1)[1].strip() for line in source.splitlines()
            if line.startswith("print(") and "  # " in line]


def test_block_extraction():
    text = "intro\n```python\na = 1\n```\n```sh\nls\n```\n\n```python\nb = a + 1\n```\n"
    assert python_blocks(text) == [(3, "a = 1\n"), (10, "b = a + 1\n")]


@pytest.mark.parametrize("page", [p for p in PAGES if "```python" in p.read_text()],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_code_blocks_run(page):
    blocks = python_blocks(page.read_text())
    assert blocks, "a python fence that the extraction does not see"
    # A page comparing with a peer library runs where that library installs.
    for peer in PEERS:
        if re.search(rf"^\s*(import|from) {peer}\b", page.read_text(), re.MULTILINE):
            pytest.importorskip(peer)
    namespace = {"__name__": f"docs_{page.stem.replace('-', '_')}"}
    for line, source in blocks:
        # Compiled with the page's line numbers, so a failure points at the page.
        code = compile("\n" * (line - 1) + source, str(page), "exec")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(code, namespace)
        expected = printed_comments(source)
        if expected:
            printed = out.getvalue().splitlines()
            assert len(printed) == len(expected), f"{page.name}:{line}: one line per commented print"
            for shown, comment in zip(printed, expected):
                assert comment.startswith(shown), f"{page.name}:{line}: printed {shown!r}, the comment says {comment!r}"


def test_readme_is_what_a_newcomer_reads_first():
    # Everything else lives in the guides; the README keeps its two commands.
    text = (ROOT / "README.md").read_text()
    assert len(text.splitlines()) < 200
    assert "python3 -m pip install . && python3 examples/demo.py" in text
    assert "python3 -m pip install '.[test]' && python3 -m pytest" in text
