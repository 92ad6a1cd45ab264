"""The kestrel command line, end to end: commands run as the console script runs them, each in a
process of its own (see conftest.run_kestrel), and the console script itself where how it starts
is the subject."""

import csv
import gzip
import os
import shutil
import subprocess
import sys

import pytest

from conftest import COMMAND_ENV, EXAMPLES, run_kestrel
from kestrel import Structure, read_xyz_trajectory


def kestrel_command():
    script = shutil.which("kestrel")
    return [script] if script else [sys.executable, "-m", "kestrel"]


ENV = COMMAND_ENV


def run(*args, check_exit=0):
    result = run_kestrel(*args)
    if check_exit is not None:
        assert result.returncode == check_exit, result.stderr
    return result


def run_script(*args, check_exit=0):
    """The console script in a new process, as a shell starts it."""
    result = subprocess.run(
        kestrel_command() + [str(a) for a in args], capture_output=True, text=True, timeout=300, env=ENV
    )
    if check_exit is not None:
        assert result.returncode == check_exit, result.stderr
    return result


def assert_one_line_error(result, text):
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("kestrel: error: ")
    assert text in lines[0]


@pytest.mark.parametrize("command", ["info", "rdf", "expand", "traj", "ensemble"])
def test_help_explains_every_option(command):
    out = run_script(command, "--help").stdout
    parser_options = {
        "info": ["--format"],
        "rdf": ["--cutoff", "--bin-size", "--threads", "--out", "--title"],
        "expand": ["--max-sites", "--seed", "--max-denominator", "--output"],
        "traj": ["--start", "--every", "--stop", "--cell", "--cutoff", "--bin-size", "--out"],
        "ensemble": ["--orderings", "--out", "--seed", "--max-sites"],
    }[command]
    for option in parser_options:
        assert option in out


def test_info_ordered():
    out = run("info", EXAMPLES / "MgO.xyz").stdout
    assert "Structure(8 sites, Mg4 O4)" in out
    assert "volume:" in out
    assert "disorder: none" in out


def test_info_disordered():
    out = run("info", EXAMPLES / "FeNi_disordered.cif").stdout
    assert "disordered" in out.splitlines()[0]
    assert "partly occupied or mixed" in out


def test_info_names_cif_blocks_and_prints_the_readers_warnings(tmp_path):
    path = tmp_path / "two.cif"
    path.write_text(
        "data_one\n_cell_length_a 5 _cell_length_b 5 _cell_length_c 5\n"
        "_symmetry_space_group_name_H-M 'F m -3 m'\n"
        "loop_ _atom_site_label _atom_site_type_symbol _atom_site_fract_x _atom_site_fract_y "
        "_atom_site_fract_z\nNa1 Na 0 0 0 Cl1 Cl 0.5 0.5 0.5\n"
        "data_two\n_cell_length_a 4 _cell_length_b 4 _cell_length_c 4\n"
        "loop_ _atom_site_type_symbol _atom_site_fract_x _atom_site_fract_y _atom_site_fract_z\nK 0 0 0\n"
    )
    lines = run("info", path).stdout.splitlines()
    assert lines[:4] == [
        "Structure(8 sites, Cl4 Na4)",
        "data blocks: one, two",
        f"warning: {path}: read data block 'one', the first of 2 blocks with atom sites (one, two); "
        "read_cif_blocks reads them all",
        f"warning: {path}: no symmetry operations in the file: took the 192 operations of space group 'F m -3 m'",
    ]
    assert lines[4].startswith("lattice")
    # --block picks one, compressed or not; the format comes from the name under .gz.
    packed = tmp_path / "two.cif.gz"
    packed.write_bytes(gzip.compress(path.read_bytes()))
    for given in (path, packed):
        lines = run("info", given, "--block", "TWO").stdout.splitlines()
        assert lines[:2] == ["Structure(1 sites, K1)", "data blocks: one, two"]
        assert lines[2].startswith("lattice")
    failed = run("info", path, "--block", "three", check_exit=None)
    assert failed.returncode != 0
    assert "no data block 'three' in the file; its blocks with atom sites are: one, two" in failed.stderr
    lines = run("info", EXAMPLES / "NaCl.cif").stdout.splitlines()
    assert lines[1] == "data block: NaCl" and not any(line.startswith("warning") for line in lines)


def test_rdf_writes_figures_and_csv(tmp_path):
    out_dir = tmp_path / "plots"
    result = run("rdf", EXAMPLES / "MgO.xyz", "--cutoff", 6, "--bin-size", 0.05, "--out", out_dir, "--title", "MgO")
    lines = result.stdout.splitlines()
    peaks = {line.split()[0]: line.split() for line in lines if line.split() and "-" in line.split()[0]}
    assert set(peaks) == {"Mg-Mg", "Mg-O", "O-Mg", "O-O"}
    # Mg-O nearest neighbours sit at a/2.
    assert float(peaks["Mg-O"][1]) == pytest.approx(4.212 / 2, abs=0.05)
    assert any(line.startswith("computed ") and " ms on " in line for line in lines)
    with open(out_dir / "rdf.csv") as handle:
        header = next(csv.reader(line for line in handle if not line.startswith("#")))
    assert header[:3] == ["r", "r_centre", "total"]
    assert len(header) == 7
    assert sorted(p.name for p in out_dir.glob("*.png"))


def test_expand_writes_an_ordered_structure(tmp_path):
    target = tmp_path / "ordered.vasp"
    result = run("expand", EXAMPLES / "FeNi_disordered.cif", "--max-sites", 256, "--seed", 7, "-o", target)
    assert "supercell" in result.stdout
    back = Structure.from_poscar(str(target))
    assert back.is_ordered
    assert back.n_sites <= 256


def test_expand_to_xyz_matches_the_library(tmp_path):
    target = tmp_path / "ordered.xyz"
    run("expand", EXAMPLES / "FeNi_disordered.cif", "--max-sites", 128, "-o", target)
    ordered, _ = Structure.from_cif(str(EXAMPLES / "FeNi_disordered.cif")).expand_occupancies(max_sites=128)
    assert Structure.from_xyz(str(target)).composition == pytest.approx(ordered.composition)


def test_traj_progress_and_output(tmp_path):
    result = run("traj", EXAMPLES / "Cu_md.xyz", "--every", 5, "--cutoff", 5, "--out", tmp_path / "t")
    assert "read 20 frames, kept 4 (0 to 15)" in result.stdout
    assert "4/4 frames" in result.stderr
    assert (tmp_path / "t" / "rdf.csv").exists()


def test_traj_with_given_cell(tmp_path):
    frames, _, _ = read_xyz_trajectory(str(EXAMPLES / "Cu_md.xyz"), stop=1)
    cell = " ".join(str(x) for row in frames[0].lattice_matrix for x in row)
    result = run("traj", EXAMPLES / "Cu_md.xyz", "--stop", 2, "--cutoff", 4, "--cell", cell)
    assert "kept 2" in result.stdout


def test_ensemble(tmp_path):
    result = run(
        "ensemble",
        EXAMPLES / "FeNi_disordered.cif",
        "--orderings",
        3,
        "--max-sites",
        128,
        "--cutoff",
        5,
        "--out",
        tmp_path / "e",
    )
    assert "3 orderings" in result.stdout
    assert "3/3 orderings" in result.stderr
    assert (tmp_path / "e" / "ensemble.png").exists()
    assert (tmp_path / "e" / "ensemble.csv").exists()


@pytest.mark.parametrize(
    "args, text",
    [
        (["info", "does-not-exist.cif"], "does-not-exist.cif: No such file or directory"),
        (["rdf", EXAMPLES / "MgO.xyz", "--cutoff", "-1"], "cutoff must be positive"),
        (["rdf", EXAMPLES / "MgO.xyz", "--bin-size", "20"], "bin_size must be positive and no larger than the cutoff"),
        (["info", EXAMPLES / "MgO.xyz", "--format", "pdb"], "unknown format 'pdb'; kestrel reads cif, poscar and xyz"),
        (["info", EXAMPLES / "Cu_md.xyz", "--format", "poscar"], "expected a number"),
        (["traj", EXAMPLES / "Cu_md.xyz", "--cell", "1 2 3"], "--cell needs 9 numbers, got 3"),
        (["traj", EXAMPLES / "Cu_md.xyz", "--start", "50"], "none matched start/every/stop"),
        (["expand", EXAMPLES / "MgO.xyz", "-o", "out.pdb"], "cannot tell the output format"),
        (["info", "structure.pdb"], "cannot tell the format"),
    ],
)
def test_bad_input_is_one_line(args, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    assert_one_line_error(run(*args, check_exit=None), text)


def test_missing_arguments_exit_with_usage():
    result = run_script("expand", EXAMPLES / "MgO.xyz", check_exit=2)
    assert "usage:" in result.stderr
    assert "Traceback" not in result.stderr


def write_xyz_without_cell(path):
    path.write_text("2\nProperties=species:S:1:pos:R:3\nCu 0 0 0\nCu 1.8 1.8 0\n" * 2)
    return path


@pytest.mark.parametrize(
    "args, text",
    [
        (["rdf", EXAMPLES / "MgO.xyz", "--threads", "-1"], "--threads must be 0 (all cores) or more, got -1"),
        (["rdf", EXAMPLES / "MgO.xyz", "--cutoff", "inf"], "--cutoff must be a finite number of Å, got inf"),
        (["rdf", EXAMPLES / "MgO.xyz", "--bin-size", "nan"], "--bin-size must be a finite number of Å, got nan"),
        (["ensemble", EXAMPLES / "MgO.xyz", "--orderings", "0"], "--orderings must be at least 1, got 0"),
        (["expand", EXAMPLES / "MgO.xyz", "--seed", "-3", "-o", "x.vasp"], "--seed must be at least 0, got -3"),
        (["expand", EXAMPLES / "MgO.xyz", "--max-sites", str(2**64), "-o", "x.vasp"], "--max-sites is too large"),
        (["traj", EXAMPLES / "Cu_md.xyz", "--every", "0"], "--every must be at least 1, got 0"),
        (["info", "."], ".: Is a directory; give a structure file, not a directory"),
        (["info", "notes.txt"], "pass --format cif, poscar, xyz or lammps"),
        (["traj", "nocell.xyz"], 'so pass --cell "ax ay az bx by bz cx cy cz"'),
    ],
)
def test_flag_errors_name_the_flag(args, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_xyz_without_cell(tmp_path / "nocell.xyz")
    result = run(*args, check_exit=1)
    assert_one_line_error(result, text)
    assert "cell=[[" not in result.stderr


def test_a_library_type_error_is_an_internal_error(monkeypatch, capsys):
    from kestrel import cli
    from kestrel.cli import inputs

    def broken(*args, **kwargs):
        raise TypeError("argument 'fmt': 'int' object cannot be converted to 'PyString'")

    monkeypatch.setattr(inputs, "read_structure", broken)
    assert cli.main(["info", str(EXAMPLES / "MgO.xyz")]) == 2
    assert capsys.readouterr().err == (
        "kestrel: internal error (TypeError): argument 'fmt': 'int' object cannot be converted to 'PyString'\n"
    )


def test_rdf_without_matplotlib_still_writes_the_csv(tmp_path):
    # A matplotlib that cannot be imported, found before the real one.
    (tmp_path / "fake" / "matplotlib").mkdir(parents=True)
    (tmp_path / "fake" / "matplotlib" / "__init__.py").write_text("raise ImportError('no matplotlib here')\n")
    env = dict(ENV, PYTHONPATH=os.pathsep.join([str(tmp_path / "fake"), ENV.get("PYTHONPATH", "")]))
    result = subprocess.run(
        kestrel_command() + ["rdf", str(EXAMPLES / "MgO.xyz"), "--cutoff", "5", "--out", str(tmp_path / "out")],
        capture_output=True,
        text=True,
        env=env,
    )
    assert_one_line_error(result, 'pip install "kestrel[plot]"')
    assert "rdf.csv was written" in result.stderr
    assert "Mg-O" in result.stdout  # the results were printed before the figures were tried
    assert [p.name for p in (tmp_path / "out").iterdir()] == ["rdf.csv"]


def test_a_closed_pipe_ends_quietly():
    process = subprocess.Popen(
        kestrel_command() + ["rdf", str(EXAMPLES / "MgO.xyz"), "--cutoff", "5"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=ENV,
    )
    process.stdout.close()  # as `head` does once it has its lines
    stderr = process.stderr.read().decode()
    assert process.wait(timeout=300) == 141
    assert stderr == ""


def test_progress_off_a_terminal_is_plain_lines(tmp_path):
    result = run("traj", EXAMPLES / "Cu_md.xyz", "--cutoff", 4)
    assert "\r" not in result.stderr
    lines = [line for line in result.stderr.splitlines() if "frames (" in line]
    assert [line.split()[0] for line in lines] == [f"{k}/20" for k in range(2, 21, 2)]


def test_rdf_on_a_trajectory_says_it_used_frame_0():
    result = run("rdf", EXAMPLES / "Cu_md.xyz", "--cutoff", 4)
    assert "holds more than one frame and rdf used frame 0; `kestrel traj` averages" in result.stderr
    assert "more than one frame" not in run("rdf", EXAMPLES / "MgO.xyz", "--cutoff", 4).stderr


@pytest.mark.parametrize(
    "cutoff, bin_size, warned", [(5, 0.3, True), (6, 0.05, False), (6, 0.02, False), (5, 0.07, True)]
)
def test_warning_when_the_cutoff_is_not_a_whole_number_of_bins(cutoff, bin_size, warned):
    result = run("rdf", EXAMPLES / "MgO.xyz", "--cutoff", cutoff, "--bin-size", bin_size)
    assert ("is not a whole number of" in result.stderr) == warned
    if warned:
        r, _ = Structure.from_xyz(str(EXAMPLES / "MgO.xyz")).total_rdf(cutoff, bin_size)
        assert f"last bin ({r[-1]:g} to {r[-1] + bin_size:g} Å)" in result.stderr


def test_rdf_help_states_the_conventions():
    out = run("rdf", "--help").stdout
    for words in ("rho_B g_AB(r) in Å⁻³", "lower bin edges", "bin centres", "--normalised", "A is the centre"):
        assert words in out


@pytest.mark.parametrize(
    "figures, files, said",
    [
        ([], ["rdf.csv", "rdf.png"], "rdf.csv and rdf.png written to"),
        (["--figures", "none"], ["rdf.csv"], "rdf.csv written to"),
        (
            ["--figures", "each"],
            ["partial_Mg-Mg.png", "partial_Mg-O.png", "partial_O-O.png", "rdf.csv", "rdf.png", "total_rdf.png"],
            "rdf.csv, rdf.png and a figure per curve written to",
        ),
    ],
)
def test_figures_option_chooses_the_files(tmp_path, figures, files, said):
    result = run("rdf", EXAMPLES / "MgO.xyz", "--cutoff", 6, "--out", tmp_path / "g", *figures)
    assert sorted(p.name for p in (tmp_path / "g").iterdir()) == files
    assert f"{said} {tmp_path / 'g'}" in result.stdout


def test_normalised_figures_and_cif_output(tmp_path):
    run("rdf", EXAMPLES / "MgO.xyz", "--cutoff", 6, "--normalised", "--out", tmp_path / "g")
    assert sorted(p.name for p in (tmp_path / "g").iterdir()) == ["rdf.csv", "rdf.png"]
    target = tmp_path / "ordered.cif"
    result = run("expand", EXAMPLES / "FeNi_disordered.cif", "--max-sites", 64, "-o", target)
    assert "written as cif" in result.stdout
    ordered, _ = Structure.from_cif(str(EXAMPLES / "FeNi_disordered.cif")).expand_occupancies(max_sites=64)
    back = Structure.from_cif(str(target))
    assert back.species == ordered.species
    assert back.frac_coords == ordered.frac_coords


def test_ensemble_of_an_ordered_structure_runs_once():
    result = run("ensemble", EXAMPLES / "MgO.xyz", "--cutoff", 4)
    assert "1 orderings" in result.stdout
    assert "kestrel: warning: the structure is ordered" in result.stderr
    assert "% of peak" in result.stdout
