"""Files cut short are refused, never read as a smaller structure."""

import warnings

import pytest

from conftest import CORPUS, EXAMPLES, run_kestrel
from kestrel import CifReadWarning, Structure, StructureFileError

# Real files: a mixed-site mineral whose rows span the whole line, an ordered
# file with a text field and an aniso loop after the atoms, and a shipped example.
CUT_FILES = [CORPUS / "9000087.cif", CORPUS / "1000000.cif", EXAMPLES / "FeNi_disordered.cif"]


def quiet_read(text):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CifReadWarning)
        return Structure.from_cif_str(text)


def atom_loop_span(text):
    """Byte offsets from the first atom-site row to the end of the loop."""
    start = text.index("_atom_site_fract_x")
    rows = text.index("\n", text.index("\n", start) + 1)
    while text[rows + 1 :].lstrip(" ").startswith("_"):
        rows = text.index("\n", rows + 1)
    end = text.find("\nloop_", rows)
    return rows + 1, len(text) if end < 0 else end


@pytest.mark.parametrize("path", CUT_FILES, ids=lambda p: p.name)
def test_every_cut_inside_the_atom_loop_is_refused_or_reads_whole_rows(path):
    if not path.is_file():
        pytest.skip(f"{path} is not here")
    text = path.read_text(encoding="utf-8", errors="replace")
    start, end = atom_loop_span(text)
    full = quiet_read(text)
    refused = 0
    for cut in range(start, end + 1):
        prefix = text[:cut]
        try:
            read = quiet_read(prefix)
        except StructureFileError as error:
            refused += 1
            assert error.line is not None or "no usable atom sites" in str(error), (cut, str(error))
            continue
        # A read is only ever the file up to its last line end: the rows that
        # are there whole, nothing taken from a partial line.
        whole_lines = prefix[: prefix.rfind("\n") + 1]
        assert read == quiet_read(whole_lines), cut
        assert read.n_sites <= full.n_sites
    assert refused > (end - start) // 2


@pytest.mark.parametrize(
    "tail, line, message",
    [
        ("Fe1 Fe 0 0 0", 13, "the last row of the loop of _atom_site_label has 5 of its 6 values"),
        ("Fe1 Fe 0 0 0 0.", 13, "the file ends without a line end inside the loop of _atom_site_label"),
        ("Fe1 Fe 0 0 0 1\n_publ 'cut", 14, "the file ends inside a quoted value: it is cut short"),
    ],
)
def test_the_command_line_and_the_batch_refuse_a_cut_file(tmp_path, tail, line, message):
    pytest.importorskip("pyarrow")
    header = (
        "data_x\n_cell_length_a 4\n_cell_length_b 4\n_cell_length_c 4\nloop_\n_atom_site_label\n"
        "_atom_site_type_symbol\n_atom_site_fract_x\n_atom_site_fract_y\n_atom_site_fract_z\n_atom_site_occupancy\n"
    )
    path = tmp_path / "cut.cif"
    path.write_text(header + "Ni1 Ni 0.5 0.5 0.5 1\n" + tail)
    result = run_kestrel("rdf", path, "--cutoff", 4)
    assert result.returncode != 0
    assert f"{path}: line {line}: {message}" in result.stderr
    import kestrel.batch

    table = kestrel.batch.rdf_table([path, EXAMPLES / "NaCl.cif"], cutoff=4.0, bin_size=0.5).to_pylist()
    assert [row["status"] for row in table] == ["error", "ok"]
    assert table[0]["error"].startswith(f"{path}: line {line}: {message}")


def cuts_of_the_last_lines(text, lines=3):
    """Every byte offset in the file's last few lines (its line ends excluded)."""
    start = len(text)
    for _ in range(lines + 1):
        start = text.rfind("\n", 0, start)
    return [cut for cut in range(start + 1, len(text)) if text[cut - 1] != "\n"]


def read_cut(tmp_path, name, text, read):
    path = tmp_path / name
    path.write_text(text)
    return read(path)


@pytest.mark.parametrize(
    "name, read",
    [
        ("Si.poscar", Structure.from_poscar),
        ("MgO.xyz", Structure.from_xyz),
        ("Cu_md.xyz", lambda p: __import__("kestrel").read_xyz_trajectory(p)[0][-1]),
        (
            "NaCl_md.lammpstrj",
            lambda p: __import__("kestrel").read_trajectory(p, types={1: "Na", 2: "Cl"})[0][-1],
        ),
    ],
)
def test_poscar_xyz_and_trajectories_refuse_a_cut_last_line(tmp_path, name, read):
    text = (EXAMPLES / name).read_text()
    whole = read_cut(tmp_path, name, text, read)
    for cut in cuts_of_the_last_lines(text):
        with pytest.raises(StructureFileError) as info:
            read_cut(tmp_path, name, text[:cut], read)
        message = str(info.value)
        assert any(why in message for why in ("the file ends without a line end on", "is incomplete", "ends after")), (
            cut,
            message,
        )
    # Cut at a line end, the atoms counted and not there are named.
    with pytest.raises(StructureFileError, match=r"ends after \d+ of \d+ (atoms|coordinates)"):
        read_cut(tmp_path, name, text[: text.rstrip("\n").rfind("\n") + 1], read)
    assert read_cut(tmp_path, name, text, read) == whole


def test_a_complete_last_line_without_line_end_is_named(tmp_path):
    text = (EXAMPLES / "Si.poscar").read_text().rstrip("\n")
    with pytest.raises(StructureFileError) as info:
        read_cut(tmp_path, "Si.poscar", text, Structure.from_poscar)
    assert info.value.line == 16
    assert info.value.reason == (
        "the file ends without a line end on coordinate line 8, so its last value may be cut short; end the file "
        "with a line end if it is complete"
    )
