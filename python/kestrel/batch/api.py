"""The public calls: a table in memory, a table on disk, reading it back, and its feature vectors."""

from __future__ import annotations

import dataclasses
import glob
import os
import time
from dataclasses import dataclass
from typing import Any, Iterable, List, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel._defaults import BIN_SIZE, CUTOFF, MAX_BYTES, OCCUPANCY_TOLERANCE, SYMPREC
from kestrel._kestrel import Structure
from kestrel.batch.output import _Output
from kestrel.batch.rows import _element_union, _source_path
from kestrel.batch.runners import ProgressCallback, _local_workers, _on_threads, _run, _runner
from kestrel.batch.schema import table_schema, table_settings
from kestrel.batch.settings import _require, _Settings, _settings
from kestrel.batch.sources import Source, _expand_sources

# ---- running the chunks --------------------------------------------------------


@dataclass
class BatchSummary:
    """What a batch run did: counts, time, where the table went."""

    out: Optional[str]
    layout: Optional[str]  # "file", "dataset", or None for a table kept in memory
    mode: str  # "threads", "processes" or "dask"
    workers: int
    sources: int  # inputs computed in this run
    skipped: int  # inputs found already done in the output
    rows: int
    ok: int
    errors: int
    warned: int  # rows whose reading raised warnings (in their "warnings" column)
    seconds: float  # the whole call: checking the output, the element pre-pass, computing, finishing
    computing_seconds: float = 0.0  # from the first chunk handed out to the last one back

    @property
    def rate(self) -> float:
        """Inputs per second while the chunks ran: the rate the progress callback's caller sees."""
        seconds = self.computing_seconds or self.seconds
        return self.sources / seconds if seconds > 0 else float("inf")


def _with_element_union(settings: _Settings, items, on_threads: bool) -> Tuple[_Settings, List[Tuple[int, Any]]]:
    """The settings with the element list of every input when none was given, and the items.

    On threads in this process the files read for the list stay read for the run.
    """
    if settings.elements is not None:
        return settings, items
    elements, items = _element_union(items, settings, keep_reads=on_threads)
    return dataclasses.replace(settings, elements=elements), items


def _resumed_elements(output: _Output, settings: _Settings) -> _Settings:
    """On resume with the default element list: the stored list, when it covers every input."""
    stored = (output.stored_settings() or {}).get("elements")
    if not stored:
        return settings
    beyond = sorted(set(settings.elements or ()) - set(stored))
    if beyond:
        raise ValueError(
            f"{output.path} already holds a table whose features cover {','.join(stored)}, and the inputs also "
            f"hold {', '.join(beyond)}; write to another output, start again (resume=False, --restart), or pass "
            "the element list"
        )
    return dataclasses.replace(settings, elements=tuple(stored))


def rdf_table(
    sources: Union[Source, Iterable[Source]],
    cutoff: float = CUTOFF,
    bin_size: float = BIN_SIZE,
    curves: str = "both",
    elements: Optional[Sequence[str]] = None,
    *,
    symprec: float = SYMPREC,
    occupancy_tolerance: float = OCCUPANCY_TOLERANCE,
    max_bytes: int = MAX_BYTES,
    workers: Optional[int] = None,
    client=None,
    processes: Optional[bool] = None,
    progress: Optional[ProgressCallback] = None,
):
    """Partial and total RDFs of many structures as one pyarrow Table, a row per structure.

    ``sources``: a folder (walked), a glob, a path, a list of those, or
    ``Structure`` objects; files are read by their names as ``read_structure``
    does, and a CIF gives a row per data block with atoms. ``curves``: "both",
    "total" or "partials". Every row also has ``features``: g_AB for each pair
    (A, B) of ``itertools.combinations_with_replacement(elements, 2)`` that the
    structure has, as a list of {a, b, g}; ``feature_matrix`` lays them end to
    end, zeros for the pairs a structure lacks. By default
    (``elements=None``) the element list is the union over all inputs, sorted,
    from a pre-pass that reads every file once, so every row has the same
    feature columns; a given list is kept as it is, and a structure with an
    element outside it is a row with status "error".

    Columns: index (position among the expanded sources), source (the path;
    None for a Structure), block, source_size and source_mtime_ns, formula,
    elements, n_sites, n_atoms, volume, ordered, status ("ok" or "error"),
    error, warnings (what the reader had to guess), seconds (reading and
    computing), then total, partials (a list of {a, b, g}) and features as
    asked. A structure that cannot be read or computed is a row with status
    "error" and the message. ``client`` (a ``distributed.Client`` or a scheduler
    address) runs the chunks on a Dask cluster; ``progress(done, total,
    errors)`` is called as chunks finish. The settings are in the table's
    metadata (``kestrel.batch.table_settings``). To keep memory flat on large
    runs, write to Parquet with ``write_rdf_table`` instead.

    Parameters not named above: ``cutoff`` and ``bin_size`` in Å; ``symprec`` (fractional, CIF
    only); ``occupancy_tolerance`` (CIF only), how far above 1 a site's occupancies may add up and be
    scaled to 1 as rounding, as for ``Structure.from_cif``; ``max_bytes``, the most text one file may
    hold once decompressed (a file beyond is an error row naming it and the limit); ``workers``
    (local threads or processes, default one per core); ``processes`` (True or False forces processes
    or threads). Returns a ``pyarrow.Table``.
    """
    pa = _require("pyarrow")
    settings = _settings(cutoff, bin_size, curves, elements, symprec, occupancy_tolerance, max_bytes)
    items = list(enumerate(_expand_sources(sources)))
    settings, items = _with_element_union(settings, items, _on_threads(len(items), workers, client, processes))
    runner, owned = _runner(len(items), workers, client, processes)
    batches: List[Any] = []
    try:
        _run(items, settings, runner, None, progress, batches.append)
    finally:
        if owned is not None:
            owned.close()
    return pa.Table.from_batches(batches, schema=table_schema(settings))


def write_rdf_table(
    sources: Union[Source, Iterable[Source]],
    out: Union[str, "os.PathLike[str]"],
    cutoff: float = CUTOFF,
    bin_size: float = BIN_SIZE,
    curves: str = "both",
    elements: Optional[Sequence[str]] = None,
    *,
    symprec: float = SYMPREC,
    occupancy_tolerance: float = OCCUPANCY_TOLERANCE,
    max_bytes: int = MAX_BYTES,
    workers: Optional[int] = None,
    client=None,
    processes: Optional[bool] = None,
    resume: bool = True,
    progress: Optional[ProgressCallback] = None,
) -> BatchSummary:
    """Like ``rdf_table``, streamed into Parquet at ``out``; returns a ``BatchSummary``.

    ``out`` ending in ".parquet" is one file, written by this process as the
    chunks come back; any other name is a dataset directory with one part per
    chunk, which is what large and cluster runs should use: the workers write
    their parts there themselves, so it must be reachable from them at the
    same path, as must the input files. With ``resume`` (the default) files
    already in the output with the same size and modification time are
    skipped (``summary.skipped``), and files changed since are done again,
    their old rows replaced, as are the rows of Structure objects. Memory
    stays flat however many sources go through: only a few chunks are in
    flight at a time.

    Local runs of fewer than 2,000 sources use threads in this process; larger
    ones worker processes (``processes`` forces either), which, like any
    ``multiprocessing`` user, needs a script's code under ``if __name__ == "__main__":``.

    Parameters: as for ``rdf_table`` (``cutoff`` and ``bin_size`` in Å, ``curves``, ``elements``,
    ``symprec``, ``occupancy_tolerance``, ``max_bytes``, ``client``, ``progress(done, total, errors)``),
    and ``out`` and ``resume`` as above.
    """
    settings = _settings(cutoff, bin_size, curves, elements, symprec, occupancy_tolerance, max_bytes)
    if client is None:
        _local_workers(workers)
    started = time.perf_counter()
    items = list(enumerate(_expand_sources(sources)))
    given_elements = settings.elements is not None
    # A resumed run has no more sources than this, so it stays on threads too.
    settings, items = _with_element_union(settings, items, _on_threads(len(items), workers, client, processes))
    output = _Output(out, settings)
    skipped = 0
    if resume and not given_elements:
        output.settings = settings = _resumed_elements(output, settings)
    if resume:
        output.check_settings()
        done, changed = output.done_sources([path for _, item in items if (path := _source_path(item))])
        output.drop_rows_of(changed, unnamed=any(isinstance(item, Structure) for _, item in items))
        skipped = len(done)
        items = [(i, item) for i, item in items if _source_path(item) not in done]
    else:
        output.clear()
    runner, owned = _runner(len(items), workers, client, processes)
    computing = time.perf_counter()
    try:
        output.create()
        counts = _run(items, settings, runner, output.part_names, progress, output.write)
        computing = time.perf_counter() - computing
    finally:
        if owned is not None:
            owned.close()
        output.finish()
    return BatchSummary(
        output.path,
        output.layout,
        runner.mode,
        runner.workers,
        len(items),
        skipped,
        counts["rows"],
        counts["rows"] - counts["errors"],
        counts["errors"],
        counts["warned"],
        time.perf_counter() - started,
        computing,
    )


def read_rdf_table(path: Union[str, "os.PathLike[str]"]):
    """A table written by ``write_rdf_table`` (file or dataset directory), with its settings, as pyarrow.

    Parameters: ``path``, the file or directory ``write_rdf_table`` wrote. Returns a
    ``pyarrow.Table``.
    """
    pa = _require("pyarrow")
    pq = _require("pyarrow.parquet")
    path = os.fspath(path)
    if not os.path.isdir(path):
        return pq.read_table(path)
    parts = sorted(glob.glob(os.path.join(glob.escape(path), "part-*.parquet")))
    if not parts:
        raise ValueError(f"{path} holds no table parts")
    schema = pq.read_schema(parts[0])
    return pa.concat_tables([pq.read_table(part, schema=schema) for part in parts])


def feature_matrix(table) -> Tuple[np.ndarray, List[str]]:
    """The ``features`` column as an (n_rows, n_features) float64 array, with the column names.

    The column keeps, row by row, only the pairs the structure has; here
    every row gets every pair of the element list, zeros for those it lacks.

    ``table``: what ``rdf_table`` returns, or the path of a written table. A
    name reads "g_A-B[lo,hi)": g_AB over the bin from lo to hi Å. Rows with
    status "error" are NaN: filter on ``status == "ok"`` first to feed a model.
    """
    pa = _require("pyarrow")
    pc = _require("pyarrow.compute")
    if isinstance(table, (str, os.PathLike)):
        table = read_rdf_table(table)
    settings = table_settings(table)
    if not settings.get("elements"):
        raise ValueError("this table has no feature vectors: compute it with an element list")
    edges = settings["bin_edges"]
    names = [f"g_{a}-{b}[{lo:g},{hi:g})" for a, b in settings["feature_pairs"] for lo, hi in zip(edges, edges[1:])]
    features = table.column("features").combine_chunks()
    present = features.is_valid().to_numpy(zero_copy_only=False)
    matrix = np.full((table.num_rows, len(names)), np.nan)
    if pa.types.is_floating(features.type.value_type):  # tables written before the pairs were stored sparsely
        matrix[present] = features.flatten().to_numpy().reshape(-1, len(names))
        return matrix, names
    n_bins = len(edges) - 1
    matrix[present] = 0.0
    slot = {tuple(pair): k * n_bins for k, pair in enumerate(settings["feature_pairs"])}
    rows = pc.list_parent_indices(features).to_numpy()
    entries = features.flatten()
    starts = [slot[pair] for pair in zip(entries.field("a").to_pylist(), entries.field("b").to_pylist())]
    curves = entries.field("g").flatten().to_numpy(zero_copy_only=False).reshape(-1, n_bins)
    columns = np.asarray(starts, dtype=np.int64)[:, None] + np.arange(n_bins)
    matrix[rows[:, None], columns] = curves
    return matrix, names
