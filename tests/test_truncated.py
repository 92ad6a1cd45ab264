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
