"""kestrel.plotting: the files save_prdf_plots writes."""

import csv
import sys
from pathlib import Path

import numpy as np
import pytest

from kestrel import Structure

pytest.importorskip("matplotlib")

from kestrel.plotting import save_prdf_plots  # noqa: E402
from kestrel.plotting.panels import Curve, Panel, grid_shape, nice_ceiling, panel_range  # noqa: E402

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

    # One figure of every curve, and nothing else, unless asked.
    assert [p.name for p in folder.glob("*.png")] == ["rdf.png"]
    assert (folder / "rdf.png").read_bytes()[:8] == PNG_MAGIC


PAIRS = [("Fe", "Fe"), ("Fe", "Ni"), ("Fe", "O"), ("Ni", "Ni"), ("Ni", "O"), ("O", "O")]


@pytest.mark.parametrize(
    "figures, pngs",
    [
        ("grid", {"rdf.png"}),
        ("each", {"rdf.png", "total_rdf.png"} | {f"partial_{a}-{b}.png" for a, b in PAIRS}),
        ("none", set()),
    ],
)
def test_figures_choose_the_files(tmp_path, disordered, figures, pngs):
    r, partials, total = disordered.prdf(8.0, 0.1)
    written = save_prdf_plots(r, partials, total, str(tmp_path), bin_size=0.1, figures=figures)
    assert {Path(p).name for p in written} == pngs | {"rdf.csv"}
    assert {p.name for p in tmp_path.iterdir()} == pngs | {"rdf.csv"}
    for name in pngs:
        assert (tmp_path / name).read_bytes()[:8] == PNG_MAGIC


def test_unknown_figures_value_is_refused_before_anything_is_written(tmp_path):
    with pytest.raises(ValueError) as info:
        save_prdf_plots(np.zeros(2), {}, np.zeros(2), str(tmp_path / "out"), figures="all")
    assert str(info.value) == "figures must be 'grid', 'each' or 'none', got 'all'"
    assert not (tmp_path / "out").exists()


def test_odd_labels_stay_inside_the_folder(tmp_path):
    r = np.arange(4) * 0.5
    curve = np.ones(4)
    written = save_prdf_plots(
        r, {("../x", "a/b"): curve}, curve, str(tmp_path), bin_size=0.5, title="$x_", density=None, figures="each"
    )
    assert len(written) == 4  # csv, the grid, the total and the one unordered pair
    for path in written:
        assert Path(path).parent == tmp_path and Path(path).exists()


@pytest.mark.parametrize(
    "value, ceiling",
    [(0.0123, 0.015), (0.07, 0.08), (1.0, 1.0), (1.01, 1.2), (9.1, 10.0), (0.0, 1.0), (float("nan"), 1.0), (3e5, 3e5)],
)
def test_panel_scales_end_on_round_numbers(value, ceiling):
    assert nice_ceiling(value) == pytest.approx(ceiling)


def test_panel_range_covers_every_curve_and_the_level():
    panel = Panel("A–B", [Curve([0.0, 0.03, float("nan")], "k"), Curve([0.01, -0.002], "k", "--")], level=0.05)
    low, high = panel_range(panel)
    assert (low, high) == (pytest.approx(-0.0025), pytest.approx(0.06))
    assert panel_range(Panel("flat", [Curve([0.0, 0.0], "k")])) == (0.0, 1.0)


@pytest.mark.parametrize("count, shape", [(1, (1, 1)), (2, (1, 2)), (4, (2, 3)), (7, (2, 4)), (37, (7, 6))])
def test_panels_are_laid_out_wider_than_tall(count, shape):
    assert grid_shape(count) == shape


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
