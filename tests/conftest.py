"""Shared fixtures and data paths for the test suite."""

import os
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


def cpu_seconds(pid):
    """Processor time a running process has used so far, all its threads together.

    What a child does after an event, counted in its own processor time
    rather than on the clock, does not grow when a busy machine leaves it
    waiting for a processor."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime and stime


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
