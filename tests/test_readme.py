"""The README's quickstart runs as written."""

import os

import pytest

from conftest import ROOT


def test_quickstart_runs(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib")
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    code = text.split("```python", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)
    os.symlink(ROOT / "examples", tmp_path / "examples")
    exec(compile(code, "README.md", "exec"), {})
    assert (tmp_path / "rdf-out" / "rdf.csv").exists()
    assert (tmp_path / "rdf-out" / "partials.png").exists()
