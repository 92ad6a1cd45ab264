"""Batch RDF tables: rows, error rows, feature vectors, Parquet with resume, Dask, the command line."""

import itertools
import json
import os
import sys

import numpy as np
import pytest

import _kestrel
import kestrel
from conftest import EXAMPLES, ROOT, local_cluster, run_kestrel
from kestrel.batch import feature_matrix, rdf_table, read_rdf_table, table_settings, write_rdf_table

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

THIN_CELL = "thin\n1.0\n4 1e-11 0\n0.2 0 51\n0 0 1\nSi\n1\nDirect\n0 0 0\n"
FENI_CIF = """data_feni
_cell_length_a 3.6
_cell_length_b 3.6
_cell_length_c 3.6
_cell_angle_alpha 90
_cell_angle_beta 90
_cell_angle_gamma 90
loop_
_symmetry_equiv_pos_as_xyz
x,y,z
loop_
_atom_site_label
_atom_site_type_symbol
_atom_site_fract_x
_atom_site_fract_y
_atom_site_fract_z
_atom_site_occupancy
Fe1 Fe 0 0 0 0.5
Ni1 Ni 0 0 0 0.5
Fe2 Fe 0.5 0.5 0 0.5
Ni2 Ni 0.5 0.5 0 0.5
O1 O 0.5 0 0.5 1
"""


@pytest.fixture
def files(tmp_path):
    """Files written by ASE and pymatgen, and one of our own disordered CIF, in a folder."""
    ase_build = pytest.importorskip("ase.build")
    ase_io = pytest.importorskip("ase.io")
    pmg = pytest.importorskip("pymatgen.core")
    cif = pytest.importorskip("pymatgen.io.cif")
    folder = tmp_path / "inputs"
    folder.mkdir()
    ase_io.write(folder / "Cu.vasp", ase_build.bulk("Cu", "fcc", a=3.61, cubic=True), format="vasp")
    ase_io.write(folder / "NaCl.xyz", ase_build.bulk("NaCl", "rocksalt", a=5.64, cubic=True), format="extxyz")
    disordered = pmg.Structure(
        pmg.Lattice.cubic(3.52), [{"Fe": 0.5, "Ni": 0.5}, {"Ni": 1.0}], [[0, 0, 0], [0.5, 0.5, 0.5]]
    )
    cif.CifWriter(disordered).write_file(folder / "FeNi.cif")
    (folder / "FeNiO.cif").write_text(FENI_CIF)
    return folder


def reference(path):
    return kestrel.read_structure(path)


def rows_by_name(table):
    return {os.path.basename(row["source"]): row for row in table.to_pylist()}


def test_rows_match_one_structure_at_a_time(files):
    table = rdf_table(files, cutoff=6.0, bin_size=0.2)
    rows = rows_by_name(table)
    assert sorted(rows) == ["Cu.vasp", "FeNi.cif", "FeNiO.cif", "NaCl.xyz"]
    for name, row in rows.items():
        s = reference(files / name)
        r, partials, total = s.prdf(6.0, 0.2)
        assert row["status"] == "ok" and row["error"] is None
        assert (row["n_sites"], row["ordered"], row["elements"]) == (s.n_sites, s.is_ordered, s.elements)
        assert row["volume"] == pytest.approx(s.volume) and row["n_atoms"] == pytest.approx(s.n_atoms)
        np.testing.assert_allclose(row["total"], total, rtol=1e-12, atol=1e-15)
        assert [(p["a"], p["b"]) for p in row["partials"]] == list(partials)
        for p in row["partials"]:
            np.testing.assert_allclose(p["g"], partials[(p["a"], p["b"])], rtol=1e-12, atol=1e-15)
        assert row["source_size"] == os.path.getsize(files / name)
    assert rows["FeNiO.cif"]["formula"] == "FeNiO"
    assert rows["FeNi.cif"]["formula"] == "Fe0.5Ni1.5"
    assert not rows["FeNi.cif"]["ordered"]


@pytest.mark.parametrize(
    "curves, columns", [("total", {"total"}), ("partials", {"partials"}), ("both", {"total", "partials"})]
)
def test_curves_choose_the_columns(rocksalt, curves, columns):
    table = rdf_table([rocksalt], curves=curves)
    assert columns == {"total", "partials"} & set(table.column_names)
    # With no element list, the features run over the elements of every input.
    assert "features" in table.column_names and table_settings(table)["elements"] == ["Cl", "Na"]
    row = table.to_pylist()[0]
    assert row["index"] == 0 and row["source"] is None
    if "total" in columns:
        np.testing.assert_allclose(row["total"], rocksalt.total_rdf()[1], rtol=1e-12)


def test_sources_mix_paths_globs_and_structures(files, rocksalt):
    table = rdf_table([rocksalt, str(files / "*.cif"), files / "Cu.vasp", files / "Cu.vasp"])
    assert [os.path.basename(s) if s else None for s in table.column("source").to_pylist()] == [
        None,
        "FeNi.cif",
        "FeNiO.cif",
        "Cu.vasp",
    ]
    assert table.column("index").to_pylist() == [0, 1, 2, 3]


def test_failures_become_rows(tmp_path, files):
    (files / "notes.txt").write_text("not a structure\n")
    (files / "thin.vasp").write_text(THIN_CELL)
    (files / "broken.cif").write_text("data_x\n_cell_length_a 3\n")
    # Latin-1 in the block's name reads, with a warning; in a number it refuses the file.
    (files / "latin1.cif").write_bytes(FENI_CIF.replace("feni", "f\xe9ni").encode("latin-1"))
    (files / "latin1_number.cif").write_bytes(
        FENI_CIF.replace("_cell_length_b 3.6", "_cell_length_b 3.6\xc5").encode("latin-1")
    )
    missing = tmp_path / "missing.cif"
    table = rdf_table([files, missing], cutoff=5.0, bin_size=0.5)
    rows = rows_by_name(table)
    assert len(rows) == 10
    errors = {name: row["error"] for name, row in rows.items() if row["status"] == "error"}
    assert set(errors) == {"notes.txt", "thin.vasp", "broken.cif", "latin1_number.cif", "missing.cif"}
    assert errors["notes.txt"].startswith("cannot tell the format of")
    assert errors["thin.vasp"].startswith("the cutoff reaches too many periodic images of this cell")
    assert "line 3: byte 0xC5 is not UTF-8" in errors["latin1_number.cif"]
    assert any("as Latin-1 (line 1)" in warning for warning in rows["latin1.cif"]["warnings"])
    assert str(missing) in errors["missing.cif"]
    # A structure that was read but could not be computed keeps what was read.
    assert rows["thin.vasp"]["n_sites"] == 1 and rows["thin.vasp"]["total"] is None
    assert rows["missing.cif"]["formula"] is None and rows["missing.cif"]["source_size"] is None
    assert all(row["status"] == "ok" for name, row in rows.items() if name not in errors)


def test_feature_vectors_in_pair_order(files):
    elements = ["O", "Fe", "Ni", "Cu"]
    table = rdf_table(files, cutoff=4.0, bin_size=0.5, elements=elements)
    matrix, names = feature_matrix(table)
    pairs = list(itertools.combinations_with_replacement(elements, 2))
    n_bins = 8
    assert matrix.shape == (4, len(pairs) * n_bins)
    assert names[0] == "g_O-O[0,0.5)" and names[n_bins] == "g_O-Fe[0,0.5)" and names[-1] == "g_Cu-Cu[3.5,4)"
    for row, vector in zip(table.to_pylist(), matrix):
        if os.path.basename(row["source"]) == "NaCl.xyz":
            assert row["status"] == "error"
            assert row["error"] == "the structure holds Cl, Na, which the element list leaves out"
            assert np.isnan(vector).all()
            continue
        _, partials, _ = reference(row["source"]).prdf(4.0, 0.5)
        for k, pair in enumerate(pairs):
            expected = partials.get(pair, np.zeros(n_bins))
            np.testing.assert_allclose(vector[k * n_bins : (k + 1) * n_bins], expected, rtol=1e-12, atol=1e-15)
    settings = table_settings(table)
    assert settings["feature_pairs"] == [list(p) for p in pairs]
    assert settings["bin_edges"] == [0.5 * k for k in range(9)]


@pytest.mark.parametrize(
    "arguments, message",
    [
        (dict(cutoff=0.0), "cutoff must be positive"),
        (dict(bin_size=20.0), "bin_size must be positive and no larger than the cutoff"),
        (dict(curves="pairs"), "curves must be one of both, total, partials, not 'pairs'"),
        (dict(elements=["Fe", "O", "Fe"]), "the element list names Fe more than once"),
        (dict(elements=[]), "the element list is empty or has an empty name"),
    ],
)
def test_bad_settings_refused_before_any_work(rocksalt, arguments, message):
    with pytest.raises(ValueError) as error:
        rdf_table([rocksalt], **arguments)
    assert str(error.value) == message


def test_sources_that_name_nothing_are_refused(tmp_path):
    with pytest.raises(ValueError) as error:
        rdf_table([tmp_path / "*.cfi"])
    assert str(error.value) == f"no files match '{tmp_path / '*.cfi'}'"
    with pytest.raises(ValueError) as error:
        rdf_table(tmp_path)
    assert str(error.value) == f"no files in '{tmp_path}'"
    with pytest.raises(TypeError, match="a source is a path, a folder, a glob or a Structure, not int"):
        rdf_table([3])


def read_back_three_ways(path, dataset):
    """The same table through pyarrow, pandas and DuckDB, as {source: total curve}."""
    import duckdb
    import pandas as pd

    via_arrow = read_rdf_table(path)
    via_pandas = pd.read_parquet(path)
    pattern = os.path.join(path, "*.parquet") if dataset else path
    via_duckdb = duckdb.sql(f"SELECT source, total FROM read_parquet('{pattern}')").fetchall()
    curves = {s: t for s, t in zip(via_arrow.column("source").to_pylist(), via_arrow.column("total").to_pylist())}
    assert {s: list(t) for s, t in zip(via_pandas["source"], via_pandas["total"]) if t is not None} == {
        s: t for s, t in curves.items() if t is not None
    }
    assert {s: t for s, t in via_duckdb} == curves
    return via_arrow


@pytest.mark.parametrize("name, layout", [("table.parquet", "file"), ("table", "dataset")])
def test_parquet_reads_back_the_same_everywhere(tmp_path, files, name, layout):
    pytest.importorskip("duckdb")
    out = tmp_path / name
    summary = write_rdf_table(files, out, cutoff=5.0, bin_size=0.25, elements=["Fe", "Ni", "O", "Cu"])
    assert (summary.layout, summary.sources, summary.rows, summary.errors) == (layout, 4, 4, 1)
    assert out.is_file() == (layout == "file")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["inputs", name]
    table = read_back_three_ways(str(out), layout == "dataset")
    in_memory = rdf_table(files, cutoff=5.0, bin_size=0.25, elements=["Fe", "Ni", "O", "Cu"])
    assert table.drop_columns(["seconds"]).equals(in_memory.drop_columns(["seconds"]))
    settings = json.loads(pq.read_schema(out if layout == "file" else out / "_common_metadata").metadata[b"kestrel"])
    assert (settings["cutoff"], settings["bin_size"], settings["curves"]) == (5.0, 0.25, "both")
    assert settings["elements"] == ["Fe", "Ni", "O", "Cu"]
    assert settings["kestrel_version"] == kestrel.__version__
    assert len(settings["bin_edges"]) == 21


@pytest.mark.parametrize("name", ["table.parquet", "table"])
def test_resume_skips_what_is_done_and_redoes_what_changed(tmp_path, files, name):
    out = tmp_path / name
    first = write_rdf_table(sorted(files.glob("*.cif")), out, cutoff=5.0)
    assert (first.sources, first.skipped) == (2, 0)
    # The default element list of the first run (Fe, Ni, O) does not cover the folder.
    with pytest.raises(ValueError) as narrower:
        write_rdf_table(files, out, cutoff=5.0)
    assert str(narrower.value) == (
        f"{out} already holds a table whose features cover Fe,Ni,O, and the inputs also hold Cl, Cu, Na; "
        "write to another output, start again (resume=False, --restart), or pass the element list"
    )
    first = write_rdf_table(files, out, cutoff=5.0, resume=False)
    assert (first.sources, first.skipped) == (4, 0)
    again = write_rdf_table(sorted(files.glob("*.cif")), out, cutoff=5.0)  # a subset keeps the stored list
    assert (again.sources, again.skipped) == (0, 2)
    again = write_rdf_table(files, out, cutoff=5.0)
    assert (again.sources, again.skipped) == (0, 4)
    (files / "FeNiO.cif").write_text(FENI_CIF.replace("3.6", "3.7"))
    os.utime(files / "FeNiO.cif", ns=(1, 1))
    changed = write_rdf_table(files, out, cutoff=5.0)
    assert (changed.sources, changed.skipped) == (1, 3)
    rows = read_rdf_table(out).to_pylist()
    assert sorted(os.path.basename(r["source"]) for r in rows) == ["Cu.vasp", "FeNi.cif", "FeNiO.cif", "NaCl.xyz"]
    feni = next(r for r in rows if r["source"].endswith("FeNiO.cif"))
    assert feni["volume"] == pytest.approx(3.7**3) and feni["source_mtime_ns"] == 1
    with pytest.raises(ValueError) as info:
        write_rdf_table(files, out, cutoff=6.0)
    assert str(info.value) == (
        f"{out} already holds a table computed with cutoff 5, bin_size 0.1, curves both, "
        "elements Cl,Cu,Fe,Na,Ni,O; write to another output, use the same settings, or start it again with these "
        "(resume=False, --restart)"
    )
    fresh = write_rdf_table(files, out, cutoff=6.0, resume=False)
    assert (fresh.sources, fresh.skipped) == (4, 0)
    assert read_rdf_table(out).num_rows == 4


def test_structures_are_computed_again_and_replace_their_rows(tmp_path, files, rocksalt):
    out = tmp_path / "table.parquet"
    write_rdf_table([rocksalt, files / "Cu.vasp"], out)
    again = write_rdf_table([rocksalt, rocksalt.make_supercell(2, 1, 1), files / "Cu.vasp"], out)
    assert (again.sources, again.skipped) == (2, 1)
    rows = read_rdf_table(out).to_pylist()
    assert sorted((r["index"], r["n_sites"]) for r in rows if r["source"] is None) == [(0, 8), (1, 16)]
    assert len(rows) == 3


def test_an_interrupted_run_resumes(tmp_path, files):
    out = tmp_path / "table.parquet"
    inputs = [EXAMPLES / "NaCl.cif", EXAMPLES / "Si.poscar"] + sorted(files.iterdir())

    def stop_after_first_chunk(done, total, errors):
        if done:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        write_rdf_table(inputs, out, workers=1, progress=stop_after_first_chunk)
    # The chunks finished before the interruption are in the file, and nothing else is left about.
    rows_done = pq.read_table(out).num_rows
    assert 0 < rows_done < len(inputs)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["inputs", "table.parquet"]
    summary = write_rdf_table(inputs, out, workers=1)
    assert (summary.skipped, summary.sources) == (rows_done, len(inputs) - rows_done)
    assert sorted(read_rdf_table(out).column("source").to_pylist()) == sorted(str(p) for p in inputs)


def test_processes_and_threads_make_the_same_table(files, rocksalt):
    inputs = [rocksalt] + sorted(files.iterdir())
    threads = rdf_table(inputs, cutoff=5.0, processes=False)
    processes = rdf_table(inputs, cutoff=5.0, processes=True, workers=2)
    assert processes.drop_columns(["seconds"]).equals(threads.drop_columns(["seconds"]))


def reader_of(fifo, processes, give_up_after=300.0):
    """The process among ``processes`` that holds ``fifo`` open, and our write end.

    Opening the write end succeeds only once a reader has the pipe open; the
    reader's open then returns, and its descriptor shows in /proc. The test
    waits on those events, polling, not on a clock: the limit only ends a
    run that went wrong instead of hanging it.
    """
    import time

    deadline = time.monotonic() + give_up_after
    writer = None
    while time.monotonic() < deadline:
        if writer is None:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.01)
                continue
        for process in processes():
            try:
                links = [os.readlink(f"/proc/{process.pid}/fd/{fd}") for fd in os.listdir(f"/proc/{process.pid}/fd")]
            except OSError:  # a process that just ended
                continue
            if str(fifo) in links:
                return process.pid, writer
        time.sleep(0.01)
    if writer is not None:
        os.close(writer)  # the reader sees the end of the file, and the run can finish
    raise AssertionError(f"no worker opened {fifo}")


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_a_worker_killed_from_outside_loses_nothing(tmp_path, files):
    import multiprocessing
    import signal

    # The last input is a named pipe: the worker that takes it waits on it
    # until killed, so the kill always finds that chunk in flight and every
    # other chunk done, however fast the machine computes them. Once killed,
    # the pipe becomes a plain file, which its chunk, computed again one input
    # at a time, reads: a worker that died of something else than its input
    # costs no row.
    blocked = files / "waiting.cif"
    os.mkfifo(blocked)
    out = tmp_path / "table"
    inputs = sorted(set(files.iterdir()) - {blocked}) + [EXAMPLES / "NaCl.cif", EXAMPLES / "Si.poscar", blocked]
    elements = ["Cl", "Cu", "Fe", "Na", "Ni", "O", "Si"]  # no pre-pass: it would wait on the pipe itself

    def kill_the_waiting_worker(done, total, errors):
        if done == total - 1 and not killed:
            pid, writer = reader_of(blocked, multiprocessing.active_children)
            os.kill(pid, signal.SIGKILL)
            os.close(writer)
            os.remove(blocked)
            blocked.write_text(FENI_CIF)
            killed.append(pid)

    killed = []
    first = write_rdf_table(inputs, out, elements=elements, processes=True, workers=2, progress=kill_the_waiting_worker)
    assert killed and (first.rows, first.errors) == (len(inputs), 0)
    table = read_rdf_table(out)
    assert sorted(table.column("source").to_pylist()) == sorted(map(str, inputs))
    assert set(table.column("status").to_pylist()) == {"ok"}


# An input whose RDF takes far longer than any machine computes in the CPU time
# the tests below give a worker: it dies of SIGXCPU, a real limit met by a real
# input, with the good inputs of its chunk around it.
HOG_ATOMS = 40000
HOG_CUTOFF = 200.0


def cpu_hog_folder(tmp_path):
    rng = np.random.default_rng(5)
    side = (HOG_ATOMS / 0.08) ** (1 / 3)  # a metal's density: some 2.7e6 neighbours per atom within the cutoff
    positions = "".join(f"{x:.6f} {y:.6f} {z:.6f}\n" for x, y, z in rng.random((HOG_ATOMS, 3)))
    folder = tmp_path / "inputs"
    folder.mkdir()
    good = ["NaCl.cif", "Si.poscar", "MgO.xyz", "TiO2_rutile.cif"]
    for k in range(23):
        name = good[k % len(good)]
        (folder / f"{k:02d}_{name}").write_bytes((EXAMPLES / name).read_bytes())
    (folder / "12_hog.vasp").write_text(
        f"hog\n1.0\n{side} 0 0\n0 {side} 0\n0 0 {side}\nCu\n{HOG_ATOMS}\nDirect\n{positions}"
    )
    return folder


def _cap_cpu_seconds(seconds: float) -> None:
    """RLIMIT_CPU at what this process has used plus ``seconds``; children inherit it and count from zero."""
    import resource
    import time

    _, hard = resource.getrlimit(resource.RLIMIT_CPU)
    resource.setrlimit(resource.RLIMIT_CPU, (int(time.process_time() + seconds), hard))


def assert_the_hog_is_the_one_error_row(table, folder):
    rows = {r["source"]: r for r in table.to_pylist()}
    assert sorted(rows) == sorted(str(p) for p in folder.iterdir())
    hog = str(folder / "12_hog.vasp")
    assert rows[hog]["status"] == "error" and rows[hog]["error"] == (
        "the worker process died computing this input alone (killed by a signal or a resource limit, or out of memory)"
    )
    assert {r["status"] for source, r in rows.items() if source != hog} == {"ok"}


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_CPU and SIGXCPU")
def test_an_input_that_kills_its_worker_process_is_one_error_row(tmp_path):
    import subprocess

    folder = cpu_hog_folder(tmp_path)
    out = tmp_path / "table"
    # A process of its own, whose pool processes inherit the CPU limit.
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); from test_batch import _cap_cpu_seconds; "
        "_cap_cpu_seconds(5); from kestrel.batch import write_rdf_table; "
        "s = write_rdf_table(sys.argv[2], sys.argv[3], cutoff=float(sys.argv[4]), bin_size=0.5, processes=True, "
        "workers=2); print(s.rows, s.errors)"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(ROOT / "tests"), str(folder), str(out), str(HOG_CUTOFF)],
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["24", "1"]
    assert_the_hog_is_the_one_error_row(read_rdf_table(out), folder)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_CPU and SIGXCPU")
def test_an_input_that_kills_its_dask_worker_is_one_error_row(tmp_path, caplog):
    distributed = pytest.importorskip("distributed")
    folder = cpu_hog_folder(tmp_path)

    class CpuCap(distributed.WorkerPlugin):
        def setup(self, worker) -> None:
            _cap_cpu_seconds(5)

    with local_cluster() as cluster, distributed.Client(cluster) as client:
        # A plugin, so that the workers the nannies start again get the limit too (the nannies
        # themselves live in this process, which must not get it).
        client.register_plugin(CpuCap())
        table = rdf_table(folder, cutoff=HOG_CUTOFF, bin_size=0.5, client=client)
        assert "kestrel-batch" not in client.run_on_scheduler(lambda dask_scheduler: dict(dask_scheduler.task_metadata))
    assert_the_hog_is_the_one_error_row(table, folder)
    # Once in its chunk, once alone: not once on every worker the scheduler would try next.
    assert sum("Restarting worker" in r.getMessage() for r in caplog.records) == 2


def test_dask_workers_write_the_same_table(tmp_path, files, cluster, rocksalt):
    distributed = pytest.importorskip("distributed")
    inputs = [rocksalt] + sorted(files.iterdir()) + [EXAMPLES / "NaCl.cif", EXAMPLES / "FeNi_disordered.cif"]
    local = write_rdf_table(inputs, tmp_path / "local", cutoff=6.0, elements=["Fe", "Ni", "O", "C", "Cu"])
    with distributed.Client(cluster) as client:
        remote = write_rdf_table(
            inputs, tmp_path / "remote", cutoff=6.0, elements=["Fe", "Ni", "O", "C", "Cu"], client=client
        )
        worker_pids = set(client.run(os.getpid).values())
    assert (remote.mode, remote.rows, remote.errors) == ("dask", local.rows, local.errors)
    assert os.getpid() not in worker_pids
    a = read_rdf_table(tmp_path / "local").drop_columns(["seconds"])
    b = read_rdf_table(tmp_path / "remote").drop_columns(["seconds"])
    assert b.equals(a)
    # A scheduler address works as well as a client, and in memory too.
    in_memory = rdf_table(inputs, cutoff=6.0, elements=["Fe", "Ni", "O", "C", "Cu"], client=cluster.scheduler_address)
    assert in_memory.drop_columns(["seconds"]).equals(a)


@pytest.mark.skipif(not hasattr(_kestrel, "read_cif_blocks"), reason="the CIF reader reads one block")
def test_a_row_per_cif_block(tmp_path):
    path = tmp_path / "two.cif"
    path.write_text(FENI_CIF + FENI_CIF.replace("data_feni", "data_second").replace("3.6", "4.0"))
    guessed = tmp_path / "labels.cif"
    guessed.write_text(
        FENI_CIF.replace("_atom_site_type_symbol\n", "")
        .replace(" Fe 0", " 0")
        .replace(" Ni 0", " 0")
        .replace(" O 0", " 0")
        .replace("Ni2", "NI2")  # N or Ni: the reader has to choose
    )
    rows = rdf_table([path, guessed], cutoff=4.0).to_pylist()
    assert [(r["block"], r["index"], r["volume"]) for r in rows[:2]] == [
        ("feni", 0, pytest.approx(3.6**3)),
        ("second", 0, pytest.approx(4.0**3)),
    ]
    assert rows[0]["warnings"] == rows[1]["warnings"] == []
    # What the reader had to guess is in the row, not on standard error.
    assert rows[2]["status"] == "ok" and rows[2]["formula"] == "FeNiO" and len(rows[2]["warnings"]) == 1


def test_missing_extra_names_the_install_command(monkeypatch, rocksalt):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r'pip install "kestrel\[batch\]"'):
        rdf_table([rocksalt])


def run_cli(*args):
    return run_kestrel("batch", *args, cwd=ROOT)


def test_command_line_runs_resumes_and_reports(tmp_path, files):
    (files / "thin.vasp").write_text(THIN_CELL)
    out = tmp_path / "t.parquet"
    result = run_cli(files, "--out", out, "--cutoff", 5, "--bin-size", 0.5, "--elements", "Fe,Ni,O,Cu,Si")
    assert result.returncode == 0, result.stderr
    summary = result.stdout.strip().splitlines()[-1]
    assert summary.startswith("5 inputs, 5 rows: 3 ok, 2 errors, in ")
    assert "5/5 inputs" in result.stderr
    assert feature_matrix(out)[0].shape == (5, 15 * 10)
    again = run_cli(files, "--out", out, "--cutoff", 5, "--bin-size", 0.5, "--elements", "Fe,Ni,O,Cu,Si")
    assert again.returncode == 0 and f"skipped 5 inputs already in {out}" in again.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (
            ["--out", "/nonexistent-folder/t.parquet"],
            "cannot write /nonexistent-folder/t.parquet: the folder /nonexistent-folder does not exist",
        ),
        (["--out", "{tmp}/t.parquet", "--bin-size", "0"], "bin_size must be positive and no larger than the cutoff"),
        (["--out", "{tmp}/t.parquet", "--elements", "Fe,,O"], "the element list is empty or has an empty name"),
        (["--out", "{tmp}/t.parquet", "--workers", "0"], "--workers must be at least 1, got 0"),
    ],
)
def test_command_line_errors_are_one_line(tmp_path, args, message):
    result = run_cli(EXAMPLES / "NaCl.cif", *[a.format(tmp=tmp_path) for a in args])
    assert result.returncode == 1
    assert result.stderr.strip().splitlines() == [f"kestrel: error: {message}"]


def test_the_default_element_list_is_the_union_over_a_folder_of_mixed_files(files, tmp_path):
    (files / "broken.cif").write_text("data_x\n_cell_length_a 4\n")  # an error row, left out of the union
    table = rdf_table(files, cutoff=4.0)
    settings = table_settings(table)
    assert settings["elements"] == ["Cl", "Cu", "Fe", "Na", "Ni", "O"]
    rows = {os.path.basename(r["source"]): r for r in table.to_pylist()}
    assert rows["broken.cif"]["status"] == "error"
    assert all(r["status"] == "ok" for name, r in rows.items() if name != "broken.cif")
    X, names = feature_matrix(table)
    n_bins = len(settings["bin_edges"]) - 1
    assert X.shape == (5, 21 * n_bins) and len(names) == X.shape[1]  # 21 pairs of 6 elements, every row alike
    # Each row's features are its own partials in the union's pair order, zeros for pairs it lacks.
    s = kestrel.read_structure(files / "Cu.vasp")
    _, partials, _ = s.prdf(cutoff=4.0)
    row = [i for i, r in enumerate(table.to_pylist()) if r["source"].endswith("Cu.vasp")][0]
    pairs = settings["feature_pairs"]
    cu = pairs.index(["Cu", "Cu"])
    np.testing.assert_allclose(X[row, cu * n_bins : (cu + 1) * n_bins], partials[("Cu", "Cu")], rtol=1e-12)
    others = np.delete(X[row].reshape(len(pairs), n_bins), cu, axis=0)
    assert not others.any()


def test_an_explicit_element_list_keeps_error_rows_for_other_elements(files):
    table = rdf_table(files, cutoff=4.0, elements=["Fe", "Ni", "O"])
    errors = {os.path.basename(r["source"]): r["error"] for r in table.to_pylist() if r["status"] == "error"}
    assert errors == {
        "Cu.vasp": "the structure holds Cu, which the element list leaves out",
        "NaCl.xyz": "the structure holds Cl, Na, which the element list leaves out",
    }


def test_features_keep_only_the_pairs_a_row_has_and_older_dense_tables_still_read(files, tmp_path):
    out = tmp_path / "t.parquet"
    write_rdf_table(files, out, cutoff=4.0)
    table = read_rdf_table(out)
    pairs = {tuple(p) for p in table_settings(table)["feature_pairs"]}
    for row in table.to_pylist():
        if row["status"] == "ok":
            present = {e for e in row["elements"]}
            assert {(f["a"], f["b"]) for f in row["features"]} == {p for p in pairs if set(p) <= present}
    X, names = feature_matrix(table)

    # A table as earlier versions wrote it: every row's features dense, end to end.
    import pyarrow as pa
    import pyarrow.parquet as pq

    dense = pa.array([None if np.isnan(x).all() else x for x in X], type=pa.list_(pa.float64()))
    older = table.set_column(table.schema.get_field_index("features"), "features", dense)
    older = older.replace_schema_metadata(table.schema.metadata)
    pq.write_table(older, out)
    X_older, names_older = feature_matrix(out)
    np.testing.assert_array_equal(X_older, X)
    assert names_older == names
    with pytest.raises(ValueError) as refused:
        write_rdf_table(files, out, cutoff=4.0)
    assert str(refused.value) == (
        f"{out} holds a table whose features column is laid out as an earlier version wrote it; "
        "write to another output, or pass resume=False to start it afresh"
    )
    write_rdf_table(files, out, cutoff=4.0, resume=False)
    np.testing.assert_array_equal(feature_matrix(out)[0], X)


def test_files_beyond_the_kept_budget_are_read_again_with_the_same_rows(files, monkeypatch):
    import kestrel.batch.rows

    everything_kept = rdf_table(files, cutoff=4.0, workers=2)
    monkeypatch.setattr(kestrel.batch.rows, "KEPT_SITES", 3)  # keeps a file or two, then reads the rest again
    partly_kept = rdf_table(files, cutoff=4.0, workers=2)
    assert everything_kept.drop(["seconds"]).equals(partly_kept.drop(["seconds"]))


def test_an_error_row_names_the_data_block_that_failed(tmp_path):
    good = "_cell_length_a 4\n_cell_length_b 4\n_cell_length_c {c}\n_cell_angle_alpha 90\n_cell_angle_beta 90\n"
    good += "_cell_angle_gamma 90\nloop_\n_atom_site_label\n_atom_site_fract_x\n_atom_site_fract_y\n"
    good += "_atom_site_fract_z\nFe1 0 0 0\n"
    path = tmp_path / "two.cif"
    path.write_text("data_one\n" + good.format(c=4) + "data_two\n" + good.format(c="1/4"))
    (row,) = rdf_table([str(path)], cutoff=4.0).to_pylist()
    assert (row["status"], row["block"]) == ("error", "two")
    assert row["error"].endswith(
        "data block 'two': _cell_length_c is '1/4', a fraction: cell parameters, "
        "occupancies and displacement parameters take a number such as 17.633(4)"
    )
