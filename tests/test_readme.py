"""The README's examples run as written and print what it shows.

A ```python block runs in a fresh namespace in a folder laid out as a fresh clone; a ```text block
right after it is what it prints. A ```bash block's ``kestrel`` commands run the same way, a
```text block after them being what the last one prints. A block after an HTML comment
``<!-- not run: why -->`` is left alone (it needs a cluster or files the clone lacks)."""

import contextlib
import io
import re
import shlex
import warnings

import pytest

from conftest import ROOT
from test_docs import check_commands, same_output, workspace

README = (ROOT / "README.md").read_text(encoding="utf-8")
FENCE = re.compile(r"^(<!-- not run: [^>]*-->\n)?```(\w*)\n(.*?)^```\n", flags=re.M | re.S)


def blocks(text):
    """(line, language, code, the printed output shown after it or None, whether it is run)."""
    found = [
        (text[: m.start(2)].count("\n") + 1, m.group(2), m.group(3), m.group(1) is None, m.end())
        for m in FENCE.finditer(text)
    ]
    result = []
    for index, (line, language, code, run, end) in enumerate(found):
        if language == "text":
            continue
        following = found[index + 1] if index + 1 < len(found) else None
        shown = (
            following[2]
            if following and following[1] == "text" and text[end : following[4]].lstrip("\n").startswith("```text")
            else None
        )
        result.append((line, language, code, shown, run))
    return result


def kestrel_commands(code):
    """The ``kestrel`` commands of a shell block, continuation lines joined."""
    lines = code.replace("\\\n", " ").splitlines()
    return [shlex.split(line.split(" #", 1)[0])[1:] for line in lines if line.startswith("kestrel ")]


PYTHON = [(line, code, shown) for line, language, code, shown, run in blocks(README) if language == "python" and run]
SHELL = [
    (line, kestrel_commands(code), shown)
    for line, language, code, shown, run in blocks(README)
    if language == "bash" and run and kestrel_commands(code)
]


def test_the_readme_has_examples_with_their_output():
    assert PYTHON and SHELL
    assert any(shown for _, _, shown in PYTHON) and any(shown for _, _, shown in SHELL)


@pytest.mark.parametrize("line, code, shown", PYTHON, ids=[f"line{line}" for line, _, _ in PYTHON])
def test_python_example_prints_what_the_readme_shows(line, code, shown, tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    monkeypatch.chdir(workspace(tmp_path))
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), warnings.catch_warnings():
        # A shipped example that warns would warn every new user: it is a fault here.
        warnings.simplefilter("error")
        exec(compile("\n" * line + code, "README.md", "exec"), {"__name__": "__readme__"})
    if shown is not None:
        assert same_output(shown, printed.getvalue()), f"printed\n{printed.getvalue()}\nthe README shows\n{shown}"


@pytest.mark.parametrize("line, commands, shown", SHELL, ids=[f"line{line}" for line, _, _ in SHELL])
def test_command_prints_what_the_readme_shows(line, commands, shown, tmp_path):
    expected = [None] * (len(commands) - 1) + [shown]
    assert check_commands([(line, c, e) for c, e in zip(commands, expected)], workspace(tmp_path)) == []


def test_blocks_are_read_with_their_output_and_markers():
    text = "```python\nprint(1)\n```\n\n```text\n1\n```\n<!-- not run: a cluster -->\n```python\nx\n```\n```bash\nkestrel rdf a.cif \\\n  --cutoff 5  # a note\n```\n"
    assert blocks(text) == [
        (1, "python", "print(1)\n", "1\n", True),
        (9, "python", "x\n", None, False),
        (12, "bash", "kestrel rdf a.cif \\\n  --cutoff 5  # a note\n", None, True),
    ]
    assert kestrel_commands(blocks(text)[2][2]) == [["rdf", "a.cif", "--cutoff", "5"]]
