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


def test_trajectory_and_arrays_example_runs(monkeypatch):
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    code = text.split("### Trajectories and arrays", 1)[1].split("```python", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(ROOT)
    scope = {}
    exec(compile(code, "README.md", "exec"), scope)
    assert repr(scope["frames"][0]) == "Structure(64 sites, Cl32 Na32)"
    assert repr(scope["result"]) == "TrajectoryRdf(3 of 6 frames (0 to 4), 4 partials, 50 bins up to 5 Å)"
    assert scope["frac_coords"].shape == (100_000, 3) and set(scope["symbols"].tolist()) == {"Na", "Cl"}
