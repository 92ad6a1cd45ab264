"""``kestrel sqs`` end to end: the written ordering, the alpha table, the figure and one-line errors."""

import json

import numpy as np
import pytest
from ase.io import read as ase_read

from kestrel import Structure, write_cif
from kestrel.ordering import warren_cowley
from test_cli import assert_one_line_error, run

FCC = [[0, 0, 0], [0.5, 0.5, 0], [0.5, 0, 0.5], [0, 0.5, 0.5]]


@pytest.fixture
def alloy_cif(tmp_path):
    path = tmp_path / "alloy.cif"
    write_cif(Structure(np.eye(3) * 3.6, FCC, [{"Fe": 0.5, "Ni": 0.25, "Cr": 0.25}] * 4), str(path))
    return path


def test_writes_the_ordering_the_table_and_the_figure(alloy_cif, tmp_path):
    out = tmp_path / "sqs.vasp"
    result = run("sqs", alloy_cif, "--supercell", "4x4x4", "--time", "0", "--iterations", "200000", "-o", out)
    atoms = ase_read(str(out), format="vasp")
    symbols = atoms.get_chemical_symbols()
    assert (symbols.count("Fe"), symbols.count("Ni"), symbols.count("Cr")) == (128, 64, 64)
    assert "α Cr-Fe" in result.stdout and "neighbours" in result.stdout and "objective" in result.stdout
    # The printed table is that of the written structure.
    written = warren_cowley(Structure(atoms.cell.array, atoms.get_scaled_positions(), [{s: 1.0} for s in symbols]))
    first_shell = written.alpha[("Cr", "Fe")][0]
    row = next(line for line in result.stdout.splitlines() if line.startswith("α Cr-Fe"))
    assert float(row.split()[2]) == pytest.approx(first_shell, abs=5e-5)
    assert (tmp_path / "sqs_sqs.png").stat().st_size > 10_000


def test_target_file_and_seed_reproduce(alloy_cif, tmp_path):
    target = tmp_path / "alpha.json"
    target.write_text(json.dumps({"Fe-Ni": [-0.1, 0, 0]}))
    outputs = []
    for name in ("a.xyz", "b.xyz"):
        run(
            "sqs",
            alloy_cif,
            "--max-sites",
            "300",
            "--time",
            "0",
            "--iterations",
            "30000",
            "--threads",
            "2",
            "--target",
            target,
            "--seed",
            "5",
            "--figure",
            "",
            "-o",
            tmp_path / name,
        )
        outputs.append((tmp_path / name).read_text())
    assert outputs[0] == outputs[1]
    assert not list(tmp_path.glob("*.png"))


@pytest.mark.parametrize(
    "options, text",
    [
        (["--supercell", "4x4"], "--supercell takes NxNxN or N with whole numbers of at least 1, got '4x4'"),
        (["--supercell", "1x1x1"], "the supercell is too small for 3 shells: a site meets its own image"),
        (["--supercell", "3", "--weights", "1,-1,1"], "weights must be finite and not negative; shell 2 has -1.0000"),
        (["--supercell", "3", "--shells", "0"], "--shells must be at least 1, got 0"),
    ],
)
def test_bad_options_get_one_line(alloy_cif, tmp_path, options, text):
    result = run("sqs", alloy_cif, *options, "--time", "0.1", "-o", tmp_path / "x.cif", check_exit=None)
    assert_one_line_error(result, text)


@pytest.mark.parametrize(
    "time, text",
    [
        ("-1", "--time must be a number of seconds, 0 or more, got -1"),
        ("nan", "--time must be a number of seconds, 0 or more, got nan"),
        ("0", "--time 0 sets no time limit, so give --iterations, the trial swaps per chain"),
    ],
)
def test_a_time_that_cannot_limit_the_search_gets_one_line(alloy_cif, tmp_path, time, text):
    result = run("sqs", alloy_cif, "--supercell", "3", "--time", time, "-o", tmp_path / "x.cif", check_exit=None)
    assert_one_line_error(result, text)
    assert str(result.stderr).strip() == f"kestrel: error: {text}"


def test_a_target_for_a_missing_pair_gets_one_line(alloy_cif, tmp_path):
    target = tmp_path / "alpha.json"
    target.write_text(json.dumps({"Fe-Co": 0.1}))
    result = run("sqs", alloy_cif, "--supercell", "3", "--target", target, "-o", tmp_path / "x.cif", check_exit=None)
    assert_one_line_error(result, "target names the pair Fe-Co, which no sublattice holds (pairs: Cr-Fe, Cr-Ni, Fe-Ni)")
