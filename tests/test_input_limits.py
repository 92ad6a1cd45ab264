"""No input exhausts the machine: decompression streams under a limit, text that holds no structure is refused
from its head, archives cut short are refused."""

import bz2
import gzip
import lzma
import os
import re
import subprocess
import sys

import pytest

import kestrel
from conftest import EXAMPLES, local_cluster
from kestrel import Structure, StructureFileError, WorkLimitError, read_cif_blocks, read_structure

COMPRESSORS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}
KINDS = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz"}
MIB = 1 << 20


def packed(tmp_path, name, text, suffix):
    path = tmp_path / (name + suffix)
    data = text if isinstance(text, bytes) else text.encode()
    path.write_bytes(COMPRESSORS[suffix](data) if suffix else data)
    return path


def padded_cif(total_bytes):
    """NaCl with a comment that makes the text `total_bytes` long."""
    text = (EXAMPLES / "NaCl.cif").read_text()
    return text + "#" + "x" * (total_bytes - len(text) - 2) + "\n"


@pytest.mark.parametrize("suffix", ["", *COMPRESSORS])
@pytest.mark.parametrize(
    "name, reader, message",
    [
        ("blank.cif", Structure.from_cif, "not a CIF: the first 1 MiB of the text hold no data block, loop or tag"),
        ("blank.xyz", Structure.from_xyz, "the first 1 MiB of the file hold nothing but whitespace"),
        ("POSCAR", Structure.from_poscar, "the first 1 MiB of the file hold nothing but whitespace"),
    ],
)
def test_a_bomb_of_blanks_is_refused_from_its_head(tmp_path, suffix, name, reader, message):
    # Refused after the first megabyte: the rest is never inflated.
    path = packed(tmp_path, name, b" \n" * (2 * MIB), suffix)
    with pytest.raises(StructureFileError) as info:
        reader(path)
    assert str(info.value) == f"{path}: {message}"
    assert info.value.filename == str(path)


@pytest.mark.parametrize("suffix", ["", *COMPRESSORS])
def test_text_beyond_max_bytes_is_a_work_limit_naming_file_and_limit(tmp_path, suffix):
    path = packed(tmp_path, "big.cif", padded_cif(3 * MIB), suffix)
    verb = "decompresses to" if suffix else "holds"
    for read in (
        lambda: Structure.from_cif(path, max_bytes=2 * MIB),
        lambda: read_structure(path, max_bytes=2 * MIB),
        lambda: read_cif_blocks(path, max_bytes=2 * MIB),
        lambda: kestrel._kestrel._cif_site_u_iso(path, max_bytes=2 * MIB),
    ):
        with pytest.raises(WorkLimitError) as info:
            read()
        assert str(info.value) == (
            f"{path}: the file {verb} more than 2 MiB of text, the limit max_bytes sets; pass a larger max_bytes "
            "to read it"
        )
        assert (info.value.filename, info.value.parameter) == (str(path), "max_bytes")
    assert Structure.from_cif(path, max_bytes=4 * MIB).n_sites == 8
    assert Structure.from_cif(path).n_sites == 8


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_large_texts_inflate_whole_across_chunks(tmp_path, suffix):
    # Many frames' worth of one large XYZ: far more than one output chunk.
    atoms = "".join(f"Si {i % 17} {i % 13} {i % 11}\n" for i in range(400_000))
    text = f'400000\nLattice="20 0 0 0 20 0 0 0 20"\n{atoms}'
    plain = packed(tmp_path, "big.xyz", text, "")
    assert Structure.from_xyz(packed(tmp_path, "big.xyz", text, suffix)) == Structure.from_xyz(plain)


PEAK_GROWTH = """
import sys
import kestrel

def status(key):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(key))

open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from what the process holds now
before = status("VmRSS:")
structure = kestrel.Structure.from_xyz(sys.argv[1])
print(status("VmHWM:") - before)
"""


@pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK), reason="reads and resets the peak memory in /proc")
@pytest.mark.parametrize("suffix", [".gz", ".xz"])
def test_a_compressed_text_is_held_once_not_grown_through_copies(tmp_path, suffix):
    # gzip and xz state the text's size at their end, and the text's buffer is allocated at that
    # size. Grown as it came, a text just above 32 MiB would be copied from a full 32 MiB buffer
    # into a 64 MiB one: for a moment the process would hold twice the text.
    atoms = 40_000
    rows = "".join(f"Si {i % 17} {i % 13} {i % 11}".ljust(999) + "\n" for i in range(atoms))
    text = f'{atoms}\nLattice="20 0 0 0 20 0 0 0 20"\n{rows}'
    path = packed(tmp_path, "padded.xyz", text, suffix)
    done = subprocess.run([sys.executable, "-c", PEAK_GROWTH, str(path)], capture_output=True, text=True, check=True)
    assert int(done.stdout) < 1.5 * len(text)  # the text, the decoder's window (8 MiB for xz) and a piece of output


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_an_archive_cut_short_or_empty_is_refused(tmp_path, suffix):
    text = (EXAMPLES / "NaCl.cif").read_bytes()
    whole = COMPRESSORS[suffix](text)
    for cut, why in ((len(whole) // 2, "it is cut short: it ends inside its compressed data"), (0, "it is empty")):
        path = tmp_path / f"cut{cut}.cif{suffix}"
        path.write_bytes(whole[:cut])
        with pytest.raises(OSError) as info:
            Structure.from_cif(path)
        assert str(info.value) == f"could not read {path}: not a valid {KINDS[suffix]} file ({why})"


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_concatenated_streams_read_whole_and_trailing_padding_is_ignored(tmp_path, suffix):
    text = (EXAMPLES / "NaCl.cif").read_text()
    half = text.index("loop_")
    path = tmp_path / ("two.cif" + suffix)
    compress = COMPRESSORS[suffix]
    path.write_bytes(compress(text[:half].encode()) + compress(text[half:].encode()) + b"\0" * 512)
    assert Structure.from_cif(path) == Structure.from_cif(EXAMPLES / "NaCl.cif")


def test_a_corrupt_stream_after_a_header_is_refused(tmp_path):
    whole = gzip.compress((EXAMPLES / "NaCl.cif").read_bytes())
    path = tmp_path / "bad.cif.gz"
    path.write_bytes(whole[:20] + bytes(b ^ 0x5A for b in whole[20:]))
    with pytest.raises(OSError, match=rf"^could not read {re.escape(str(path))}: not a valid gzip file \("):
        Structure.from_cif(path)


def test_max_bytes_is_keyword_only_and_an_integer():
    with pytest.raises(TypeError):
        Structure.from_poscar(EXAMPLES / "Si.poscar", 100)
    with pytest.raises(TypeError):
        Structure.from_poscar(EXAMPLES / "Si.poscar", max_bytes=1.5)
    with pytest.raises(WorkLimitError, match="more than 100 bytes of text"):
        Structure.from_poscar(EXAMPLES / "Si.poscar", max_bytes=100)


# ---- a batch over a folder of real files with hostile ones mixed in ------------------------------


@pytest.fixture(scope="module")
def hostile_folder(tmp_path_factory):
    """Real files, and beside them bombs, truncated archives, binary and empty files: {name: good}."""
    folder = tmp_path_factory.mktemp("mixed")
    good = {}
    for name in ("NaCl.cif", "FeNi_disordered.cif", "Si.poscar", "MgO.xyz", "TiO2_rutile.cif"):
        (folder / name).write_bytes((EXAMPLES / name).read_bytes())
        good[name] = True
    # The same files compressed, which must read as well.
    for name, suffix in (("NaCl.cif", ".gz"), ("MgO.xyz", ".bz2"), ("Si.poscar", ".xz")):
        packed_name = name.replace(".poscar", "") + "_packed" + (".vasp" if "poscar" in name else "") + suffix
        packed_name = packed_name if "poscar" in name else name.replace(".", "_packed.") + suffix
        (folder / packed_name).write_bytes(COMPRESSORS[suffix]((EXAMPLES / name).read_bytes()))
        good[packed_name] = True
    bomb = gzip.compress(b" " * (8 * MIB), 9)
    (folder / "bomb.cif.gz").write_bytes(bomb)
    (folder / "bomb.xyz.gz").write_bytes(bomb)
    (folder / "big.cif.xz").write_bytes(lzma.compress(padded_cif(3 * MIB).encode()))  # beyond the test's limit
    whole = gzip.compress((EXAMPLES / "NaCl.cif").read_bytes())
    (folder / "truncated.cif.gz").write_bytes(whole[: len(whole) // 2])
    (folder / "cut.cif").write_text((EXAMPLES / "FeNi_disordered.cif").read_text().rstrip("\n")[:-3])
    (folder / "binary.cif").write_bytes(bytes(range(256)) * 64)
    (folder / "empty.xyz").write_bytes(b"")
    (folder / "empty.cif.bz2").write_bytes(b"")
    for name in ("bomb.cif.gz", "bomb.xyz.gz", "big.cif.xz", "truncated.cif.gz", "cut.cif", "binary.cif"):
        good[name] = False
    good["empty.xyz"] = good["empty.cif.bz2"] = False
    return folder, good


def check_rows(table, good):
    rows = {row["source"].rsplit("/", 1)[-1]: row for row in table.to_pylist()}
    assert set(rows) == set(good)
    for name, row in rows.items():
        assert (row["status"] == "ok") == good[name], (name, row["error"])
        if not good[name]:
            assert name in row["error"], row["error"]
    assert "more than 2 MiB of text, the limit max_bytes sets" in rows["big.cif.xz"]["error"]
    assert "not a CIF: the first 1 MiB" in rows["bomb.cif.gz"]["error"]
    assert "it is cut short" in rows["truncated.cif.gz"]["error"]


@pytest.mark.parametrize("processes", [False, True])
def test_a_batch_keeps_every_good_row_and_makes_each_bad_file_one_error_row(hostile_folder, processes):
    pytest.importorskip("pyarrow")
    from kestrel.batch import rdf_table

    folder, good = hostile_folder
    table = rdf_table(folder, cutoff=4.0, bin_size=0.5, max_bytes=2 * MIB, processes=processes, workers=2)
    check_rows(table, good)


def test_the_same_batch_on_a_dask_cluster(hostile_folder):
    distributed = pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    from kestrel.batch import rdf_table

    folder, good = hostile_folder
    with local_cluster() as cluster, distributed.Client(cluster) as client:
        table = rdf_table(folder, cutoff=4.0, bin_size=0.5, max_bytes=2 * MIB, client=client)
    check_rows(table, good)


def _allocate_in_worker(size):
    import resource

    try:
        bytearray(size)
    except MemoryError:
        return "MemoryError", resource.getrlimit(resource.RLIMIT_DATA)[0]
    return "allocated", resource.getrlimit(resource.RLIMIT_DATA)[0]


def test_local_worker_processes_run_under_a_memory_budget():
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    from kestrel.batch.runners import MIN_BUDGET, _start_worker_process

    with ProcessPoolExecutor(
        1, mp_context=multiprocessing.get_context("spawn"), initializer=_start_worker_process, initargs=(MIN_BUDGET,)
    ) as pool:
        # Beyond the budget an allocation fails in the worker, which lives on to report it.
        assert pool.submit(_allocate_in_worker, 2 * MIN_BUDGET).result() == ("MemoryError", MIN_BUDGET)
        assert pool.submit(_allocate_in_worker, MIN_BUDGET // 8).result() == ("allocated", MIN_BUDGET)
