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
    coords = [
        [0, 0, 0],
        [0, 0.5, 0.5],
        [0.5, 0, 0.5],
        [0.5, 0.5, 0],
        [0.5, 0.5, 0.5],
        [0.5, 0, 0],
        [0, 0.5, 0],
        [0, 0, 0.5],
    ]
    species = [{"Fe": 0.5, "Ni": 0.5}] * 4 + [{"O": 1.0}] * 4
    return Structure([[a, 0, 0], [0, a, 0], [0, 0, a]], coords, species)


def test_prdf_writes_csv_and_figures(tmp_path, disordered):
    folder = tmp_path / "nested" / "out"
    r, partials, total = disordered.prdf(8.0, 0.1, save_plots=str(folder), title="FeNiO rock salt")

    comments, rows = read_csv(folder / "rdf.csv")
    expected_pairs = [f"{a}-{b}" for a in ("Fe", "Ni", "O") for b in ("Fe", "Ni", "O")]
    assert rows[0] == ["r", "r_centre", "total"] + expected_pairs
    table = np.array(rows[1:], dtype=float)
    assert table.shape == (80, 12)
    # Ten significant digits: 3 x 0.1 is written 0.3.
    assert rows[4][0] == "0.3"
    np.testing.assert_allclose(table[:, 0], r, rtol=1e-9)
    np.testing.assert_allclose(table[:, 1], r + 0.05, rtol=1e-9)
    np.testing.assert_allclose(table[:, 2], total, rtol=1e-9)
    np.testing.assert_allclose(table[:, 3 + expected_pairs.index("Ni-O")], partials[("Ni", "O")], rtol=1e-9)
    assert "# number density rho = {:.10g} Å^-3".format(disordered.n_atoms / disordered.volume) in comments
    assert any("rho_B g_AB(r) (Å^-3), A the centre atom" in line for line in comments)

    pngs = {"total_rdf.png", "partials.png"} | {
        f"partial_{a}-{b}.png"
        for a, b in [("Fe", "Fe"), ("Fe", "Ni"), ("Fe", "O"), ("Ni", "Ni"), ("Ni", "O"), ("O", "O")]
    }
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


def read_csv(path):
    """The comment lines and the rows of a CSV written by kestrel."""
    with open(path, newline="", encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    comments = [line for line in lines if line.startswith("#")]
    return comments, list(csv.reader(line for line in lines if not line.startswith("#")))


def test_missing_matplotlib_names_the_extra(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r'pip install "kestrel\[plot\]" \(.*rdf.csv was written\)'):
        save_prdf_plots(np.zeros(2), {}, np.zeros(2), str(tmp_path / "out"), bin_size=0.1)
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["rdf.csv"]
