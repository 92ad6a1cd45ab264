"""The structure commands open what `kestrel traj` opens: one frame of a LAMMPS dump or an XYZ trajectory,
and a file none of them takes gets a message that names the command that does."""

import shutil

import pytest

from conftest import EXAMPLES, run_kestrel
from kestrel import read_trajectory

DUMP = EXAMPLES / "NaCl_md.lammpstrj"
TYPES = ["--types", "1=Na,2=Cl"]


def run(*args, check_exit=0, cwd=None):
    result = run_kestrel(*args, cwd=cwd)
    if check_exit is not None:
        assert result.returncode == check_exit, result.stderr
    return result


def one_line_error(result):
    assert result.returncode == 1, result.stdout
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kestrel: error: "), result.stderr
    return lines[0][len("kestrel: error: ") :]


@pytest.mark.parametrize(
    "command",
    [
        ["info"],
        ["rdf", "--cutoff", "5"],
        ["expand", "-o", "out.vasp"],
        ["pdf", "--rmax", "8"],
        ["ensemble", "--orderings", "1", "--cutoff", "4"],
    ],
    ids=lambda c: c[0],
)
@pytest.mark.parametrize("frame", [None, 4])
def test_structure_commands_read_a_frame_of_a_lammps_dump(command, frame, tmp_path):
    frame_args = [] if frame is None else ["--frame", str(frame)]
    result = run(command[0], DUMP, *TYPES, *frame_args, *command[1:], cwd=tmp_path)
    frames, _, _ = read_trajectory(DUMP, start=frame or 0, stop=(frame or 0) + 1, types={1: "Na", 2: "Cl"})
    assert repr(frames[0]) in result.stdout


def test_info_says_which_frame_of_how_many():
    lines = run("info", DUMP, *TYPES, "--frame", "2").stdout.splitlines()
    assert lines[:2] == ["Structure(64 sites, Cl32 Na32)", "frame 2 of 6 (`kestrel traj` reads them all)"]
    lines = run("info", EXAMPLES / "Cu_md.xyz", "--frame", "7").stdout.splitlines()
    assert lines[1] == "frame 7 of 20 (`kestrel traj` reads them all)"


def test_a_later_xyz_frame_is_that_frame():
    coords = {}
    for frame in (0, 13):
        result = run("info", EXAMPLES / "Cu_md.xyz", "--frame", str(frame), "--json")
        coords[frame] = result.stdout
    assert coords[0] != coords[13]
    result = run("rdf", EXAMPLES / "Cu_md.xyz", "--frame", "13", "--cutoff", "4")
    assert "rdf used frame 13; `kestrel traj` averages over the frames" in result.stderr


def test_a_dump_under_another_name_is_known_by_its_first_line(tmp_path):
    renamed = tmp_path / "run.txt"
    shutil.copy(DUMP, renamed)
    assert run("info", renamed, *TYPES).stdout.startswith("Structure(64 sites, Cl32 Na32)\nframe 0 of 6")


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["info", DUMP, *TYPES, "--frame", "6"],
            f"{DUMP} holds 6 frames (0 to 5); there is no frame 6",
        ),
        (
            ["rdf", EXAMPLES / "NaCl.cif", "--frame", "1"],
            f"--frame picks a frame of an XYZ trajectory or a LAMMPS dump; {EXAMPLES / 'NaCl.cif'} is read as cif",
        ),
        (
            ["info", EXAMPLES / "Cu_md.xyz", *TYPES],
            f"--types names the atom types of a LAMMPS dump; {EXAMPLES / 'Cu_md.xyz'} is read as xyz",
        ),
        (
            ["info", DUMP, *TYPES, "--block", "x"],
            f"--block picks a data block of a CIF; {DUMP} is read as a LAMMPS dump",
        ),
        (
            ["rdf", EXAMPLES / "Ni-xray.gr"],
            f"{EXAMPLES / 'Ni-xray.gr'} is a measured G(r); `kestrel pdf STRUCTURE --data {EXAMPLES / 'Ni-xray.gr'}` "
            "compares a structure with it",
        ),
        (
            ["info", EXAMPLES],
            f"{EXAMPLES}: Is a directory; give a structure file, not a directory (`kestrel batch` reads every file of "
            "a folder)",
        ),
        (
            ["sqs", EXAMPLES / "Cu_md.xyz", "--frame", "-2", "-o", "x.cif", "--supercell", "1"],
            "--frame must be at least 0, got -2",
        ),
        (
            ["info", DUMP],
            f"{DUMP}: frame 0 gives atom types but no elements, so pass --types 1=Na,2=Cl, an element for each type",
        ),
    ],
)
def test_what_cannot_be_read_says_what_to_do(args, message, tmp_path):
    assert one_line_error(run(*args, check_exit=None)) == message


def test_info_lists_the_first_sites_and_all_on_request(tmp_path):
    from kestrel import Structure, write_cif

    # 25 sites of four species each, one of five: wider than any fixed column.
    species = [{"Co": 0.25, "Cr": 0.25, "Fe": 0.25, "Ni": 0.25}] * 24 + [
        {"Mn": 0.5, "Fe": 0.1, "Co": 0.1, "V": 0.1, "Cr": 0.2}
    ]
    coords = [[i / 25, (7 * i % 25) / 25, (11 * i % 25) / 25] for i in range(25)]
    path = tmp_path / "hea.cif"
    write_cif(Structure([[12, 0, 0], [0, 12, 0], [0, 0, 12]], coords, species), str(path))
    lines = run("info", path).stdout.splitlines()
    head = next(i for i, line in enumerate(lines) if line.lstrip().startswith("site"))
    table = lines[head : head + 21]
    assert len({len(line) for line in table}) == 1, "\n".join(table)  # every column in line
    assert [line.split()[0] for line in table[1:]] == [str(i) for i in range(20)]
    assert lines[head + 21 :] == ["  ... and 5 more; --all lists every site"]
    everything = run("info", path, "--all").stdout.splitlines()
    assert len(everything) == head + 26 and "Co 0.1000, Cr 0.2000, Fe 0.1000, Mn 0.5000, V 0.1000" in everything[-1]
    assert len({len(line) for line in everything[head:]}) == 1


@pytest.mark.parametrize("total, steps", [(6, range(1, 7)), (151, [1, 15, 16, 57, 150, 151]), (3, [1, 2, 3])])
def test_progress_lines_agree_on_the_share_and_give_a_rate(total, steps):
    import io
    import re

    from kestrel.cli.common import Progress

    stream = io.StringIO()
    progress = Progress(total, "frames", stream=stream)
    for done in steps:
        progress.update(done)
    for line in stream.getvalue().splitlines():
        done, shown, percent, rate = re.fullmatch(
            r"(\d+)/(\d+) frames \((\d+)%\), [\d.]+ s, ([\d.e+]+) frames/s", line
        ).groups()
        assert int(shown) == total and int(percent) == 100 * int(done) // total and float(rate) > 0
    assert stream.getvalue().splitlines()[-1].startswith(f"{total}/{total} frames (100%), ")
