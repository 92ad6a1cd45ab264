"""The command line's edges: messages that name the file and the flag, JSON output, ASCII terminals,
the pdf U values, the trajectory's spread, expansion pools by site, the note on a long RDF."""

import csv
import io
import json
import subprocess
import sys
import threading

import pytest

from conftest import COMMAND_ENV, EXAMPLES, run_kestrel
from kestrel.cli.common import SlowCallNote


def run(*args, check_exit=0, **env):
    if env:  # the streams' encoding is set as Python starts: a process of its own
        result = subprocess.run(
            [sys.executable, "-m", "kestrel", *map(str, args)],
            capture_output=True,
            text=True,
            timeout=300,
            env=dict(COMMAND_ENV, **env),
            encoding=env.get("PYTHONIOENCODING", "utf-8"),
        )
    else:
        result = run_kestrel(*args)
    if check_exit is not None:
        assert result.returncode == check_exit, result.stderr
    return result


@pytest.mark.parametrize(
    "args, message",
    [
        (["traj", EXAMPLES / "Cu_md.xyz", "--every", "0"], "kestrel: error: --every must be at least 1, got 0"),
        (["info", "notacif.cif"], "kestrel: error: notacif.cif: not a CIF: no data block with a cell and atom sites"),
        (
            ["info", EXAMPLES / "FeNi_disordered.cif", "--format", "poscar"],
            f"kestrel: error: {EXAMPLES / 'FeNi_disordered.cif'}: line 2: expected a number, found '#'",
        ),
        (["rdf", "missing.cif"], "kestrel: error: missing.cif: No such file or directory"),
        (
            ["traj", "nocell.xyz"],
            'kestrel: error: nocell.xyz: frame 0 has no Lattice="..." and no cell was given; an RDF of a periodic '
            'system needs the cell, so pass --cell "ax ay az bx by bz cx cy cz"',
        ),
        (
            ["info", "notes.txt"],
            "kestrel: error: cannot tell the format of 'notes.txt' from its name; pass --format cif, poscar, xyz or "
            "lammps (a LAMMPS text dump)",
        ),
        (
            ["pdf", EXAMPLES / "NaCl.cif", "--u-iso", "Fe=0.004"],
            "kestrel: error: --u-iso names Fe, which the structure does not hold (it holds Cl, Na)",
        ),
    ],
)
def test_errors_are_one_line_naming_the_file_and_the_flag(tmp_path, args, message):
    (tmp_path / "notacif.cif").write_text("hello\nworld\n")
    (tmp_path / "nocell.xyz").write_text("1\nno cell here\nSi 0 0 0\n")
    result = run_kestrel(*args, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr.strip() == message


def test_readme_pdf_example_on_the_shipped_file(tmp_path):
    out = tmp_path / "pdf-out"
    result = run(
        "pdf",
        EXAMPLES / "FeNi_disordered.cif",
        "--radiation",
        "neutron",
        "--u-iso",
        "Fe=0.004,Ni=0.005",
        "--qmax",
        25,
        "--rmax",
        10,
        "--out",
        out,
    )
    # C is not named: it takes the default, and the line says so (the file gives no U).
    line = "u_iso (Å², Fe, Ni from --u-iso; C the default 0.005 (FeNi_disordered.cif gives none)): C 0.005, Fe 0.004, Ni 0.005"
    assert line in result.stdout.splitlines()
    notes = [row for row in (out / "pdf.csv").read_text().splitlines() if row.startswith("#")]
    assert notes[2] == "# radiation: neutron, Qmax 25 Å⁻¹"
    assert notes[5] == (
        "# u_iso (A^2, Fe, Ni from --u-iso; C the default 0.005 (FeNi_disordered.cif gives none)): "
        "C 0.005, Fe 0.004, Ni 0.005"
    )


def test_pdf_without_u_iso_does_not_claim_the_file_gave_values():
    result = run("pdf", EXAMPLES / "NaCl.cif", "--rmax", 8)
    assert "u_iso (Å², the default 0.005 (NaCl.cif gives none); give --u-iso to set it)" in result.stdout


def test_info_json_and_the_frame_of_a_trajectory():
    data = json.loads(run("info", "--json", EXAMPLES / "FeNi_disordered.cif").stdout)
    assert data["structure"] == "Structure(8 sites, C0.2000 Fe2.5600 Ni1.4400, disordered)"
    assert data["data_blocks"] == ["FeNi_C_disordered"] and data["frames"] is None
    assert [entry["site_index"] for entry in data["disorder"]][:2] == [0, 1]
    assert data["composition"] == pytest.approx({"C": 0.2, "Fe": 2.56, "Ni": 1.44})
    text = run("info", EXAMPLES / "Cu_md.xyz").stdout.splitlines()
    assert text[1] == "frame 0 of 20 (`kestrel traj` reads them all)"
    assert json.loads(run("info", "--json", EXAMPLES / "Cu_md.xyz").stdout)["frames"] == 20


def test_rdf_json_peak_table():
    data = json.loads(run("rdf", "--json", EXAMPLES / "NaCl.cif", "--cutoff", 6).stdout)
    peaks = {row["pair"]: row for row in data["peaks"]}
    assert set(peaks) == {"Cl-Cl", "Cl-Na", "Na-Cl", "Na-Na", "total"}
    # Na-Cl: the first neighbour at a / 2 = 2.82 Å lands in the bin 2.8-2.9, centre 2.85.
    assert peaks["Na-Cl"]["r"] == pytest.approx(2.85) and peaks["Na-Cl"]["a"] == "Na"
    assert peaks["total"]["a"] is None and data["bins"] == 60


def test_ascii_terminals_get_ascii_spellings():
    result = run("rdf", EXAMPLES / "NaCl.cif", PYTHONIOENCODING="ascii")
    assert "first peak r (A)" in result.stdout and "rho_B g_AB (A^-3)" in result.stdout
    assert run("info", EXAMPLES / "NaCl.cif", PYTHONIOENCODING="ascii").stdout.count("A^3") == 1


def test_traj_writes_the_spread_over_frames(tmp_path):
    result = run("traj", EXAMPLES / "Cu_md.xyz", "--every", 5, "--out", tmp_path / "out")
    assert "largest spread of the total over the frames" in result.stdout
    with open(tmp_path / "out" / "rdf.csv", newline="") as handle:
        rows = list(csv.DictReader(line for line in handle if not line.startswith("#")))
    assert {"total_std", "Cu-Cu_std"} <= set(rows[0])
    assert max(float(row["total_std"]) for row in rows) > 0


def test_expansion_pools_are_named_by_site(tmp_path):
    cif = tmp_path / "two_pools.cif"
    cif.write_text(
        "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_label\n"
        "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n"
        "Al1 Al 0 0 0 0.5\nMg1 Mg 0 0 0 0.5\nAl2 Al 0.5 0.5 0.5 0.25\nSi2 Si 0.5 0.5 0.5 0.75\n"
    )
    out = run("expand", cif, "-o", tmp_path / "out.vasp").stdout.splitlines()
    pools = [line.split()[:6] for line in out if line.strip().startswith("site ")]
    assert ["site", "1", "(0.5000", "0.5000", "0.5000)", "Al"] in pools
    assert ["site", "0", "(0.0000", "0.0000", "0.0000)", "Al"] in pools


class _Recorder(io.StringIO):
    """A stream that says when something was written to it."""

    def __init__(self):
        super().__init__()
        self.written = threading.Event()

    def write(self, text):
        self.written.set()
        return super().write(text)


def test_a_long_call_gets_a_note_and_a_short_one_none():
    stream = _Recorder()
    with SlowCallNote("computing", stream=stream, after=0.0, log_every=3600):
        # The call "runs" until the note has been written, however long that takes.
        assert stream.written.wait(60)
    assert stream.getvalue().startswith("computing: still running, ")
    quiet = _Recorder()
    with SlowCallNote("computing", stream=quiet, after=3600):
        pass
    assert quiet.getvalue() == ""
