"""kestrel.plotting: the files save_prdf_plots writes."""

import csv
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrel import Structure

pytest.importorskip("matplotlib")

from kestrel.plotting import save_prdf_plots  # noqa: E402

PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def disordered():
    a = 5.64
    coords = [[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0], [0.5, 0.5, 0.5], [0.5, 0, 0], [0, 0.5, 0], [0, 0, 0.5]]
    species = [{"Fe": 0.5, "Ni": 0.5}] * 4 + [{"O": 1.0}] * 4
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], coords, species)


def test_prdf_writes_csv_and_figures(tmp_path, disordered):
    folder = tmp_path / "nested" / "out"
    r, partials, total = disordered.prdf(8.0, 0.1, save_plots=str(folder), title="FeNiO rock salt")

    with open(folder / "rdf.csv", newline="", encoding="utf-8") as handle:
        rows = list(csv.reader(handle))
    expected_pairs = [f"{a}-{b}" for a in ("Fe", "Ni", "O") for b in ("Fe", "Ni", "O")]
    assert rows[0] == ["r", "total"] + expected_pairs
    table = np.array(rows[1:], dtype=float)
    assert table.shape == (80, 11)
    np.testing.assert_array_equal(table[:, 0], r)
    np.testing.assert_array_equal(table[:, 1], total)
    np.testing.assert_array_equal(table[:, 2 + expected_pairs.index("Ni-O")], partials[("Ni", "O")])

    pngs = {"total_rdf.png", "partials.png"} | {f"partial_{a}-{b}.png" for a, b in
                                [("Fe", "Fe"), ("Fe", "Ni"), ("Fe", "O"), ("Ni", "Ni"), ("Ni", "O"), ("O", "O")]}
    assert {p.name for p in folder.glob("*.png")} == pngs
    for name in pngs:
        assert (folder / name).read_bytes()[:8] == PNG_MAGIC


def test_odd_labels_stay_inside_the_folder(tmp_path):
    r = np.arange(4) * 0.5
    curve = np.ones(4)
    written = save_prdf_plots(r, {("../x", "a/b"): curve}, curve, str(tmp_path), bin_size=0.5, title=None, density=None)
    assert len(written) == 4  # csv, total, the one unordered pair and the panel of all pairs
    for path in written:
        assert Path(path).parent == tmp_path and Path(path).exists()


def test_missing_matplotlib_names_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r'pip install "kestrel\[plot\]"'):
        save_prdf_plots(np.zeros(2), {}, np.zeros(2), str(tmp_path / "never"), bin_size=0.1)
    assert not (tmp_path / "never").exists()
