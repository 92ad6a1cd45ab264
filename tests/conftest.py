"""Shared fixtures and data paths for the test suite."""

from pathlib import Path

import pytest

from kestrel import Structure

TESTS = Path(__file__).resolve().parent
ROOT = TESTS.parent
DATA = TESTS / "data"
EXAMPLES = ROOT / "examples"
# Real CIFs as laboratories publish them, laid beside the project checkout
# (or beside a folder holding it, as for a git worktree).
CORPUS = next(
    (
        folder / "shared" / "corpus" / "cod"
        for folder in ROOT.parents
        if (folder / "shared" / "corpus" / "cod").is_dir()
    ),
    ROOT.parent / "shared" / "corpus" / "cod",
)

CUBIC4 = [[4.0, 0.0, 0.0], [0.0, 4.0, 0.0], [0.0, 0.0, 4.0]]


@pytest.fixture
def cubic4():
    """The 4 angstrom cubic cell as a matrix."""
    return [row[:] for row in CUBIC4]


@pytest.fixture
def rocksalt():
    """Conventional NaCl cell, 8 ordered sites."""
    a = 5.64
    na = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]]
    cl = [[0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], na + cl, [{"Na": 1.0}] * 4 + [{"Cl": 1.0}] * 4)


@pytest.fixture
def corpus_dir():
    if not CORPUS.is_dir():
        pytest.skip("the CIF corpus is not laid beside this checkout")
    return CORPUS
