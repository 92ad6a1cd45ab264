"""The public calls: a table in memory, a table on disk, reading it back, and its feature vectors."""

from __future__ import annotations

import glob
import os
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Sequence, Tuple, Union

from kestrel._kestrel import Structure
from kestrel.batch.output import _Output
from kestrel.batch.runners import ProgressCallback, _local_workers, _run, _runner
from kestrel.batch.schema import table_schema, table_settings
from kestrel.batch.settings import _require, _settings
from kestrel.batch.sources import Source, _expand_sources

if TYPE_CHECKING:
    import numpy as np  # imported where used: `import kestrel` stays free of NumPy


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
    seconds: float

    @property
    def rate(self) -> float:
        """Inputs per second over the whole run."""
        return self.sources / self.seconds if self.seconds > 0 else float("inf")


def rdf_table(
    sources: Union[Source, Iterable[Source]],
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    curves: str = "both",
    elements: Optional[Sequence[str]] = None,
    *,
    symprec: float = 1e-4,
    workers: Optional[int] = None,
    client=None,
    processes: Optional[bool] = None,
    progress: Optional[ProgressCallback] = None,
):
    """Partial and total RDFs of many structures as one pyarrow Table, a row per structure.

    ``sources``: a folder (walked), a glob, a path, a list of those, or
    ``Structure`` objects; files are read by their names as ``read_structure``
    does, and a CIF gives a row per data block with atoms. ``curves``: "both",
    "total" or "partials". With ``elements`` every row also has ``features``:
    g_AB for each pair (A, B) of ``itertools.combinations_with_replacement(elements, 2)``,
    the pairs' curves laid end to end; pairs a structure lacks are zeros.

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
    """
    pa = _require("pyarrow")
    settings = _settings(cutoff, bin_size, curves, elements, symprec)
    items = list(enumerate(_expand_sources(sources)))
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
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    curves: str = "both",
    elements: Optional[Sequence[str]] = None,
    *,
    symprec: float = 1e-4,
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
    """
    settings = _settings(cutoff, bin_size, curves, elements, symprec)
    if client is None:
        _local_workers(workers)
    started = time.perf_counter()
    output = _Output(out, settings)
    items = list(enumerate(_expand_sources(sources)))
    skipped = 0
    if resume:
        output.check_settings()
        done, changed = output.done_sources([item for _, item in items if isinstance(item, str)])
        output.drop_rows_of(changed, unnamed=any(isinstance(item, Structure) for _, item in items))
        skipped = len(done)
        items = [(i, item) for i, item in items if not (isinstance(item, str) and item in done)]
    else:
        output.clear()
    runner, owned = _runner(len(items), workers, client, processes)
    try:
        output.create()
        counts = _run(items, settings, runner, output.part_names, progress, output.write)
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
    )


def read_rdf_table(path: Union[str, "os.PathLike[str]"]):
    """A table written by ``write_rdf_table`` (file or dataset directory), with its settings, as pyarrow."""
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

    ``table``: what ``rdf_table`` returns, or the path of a written table. A
    name reads "g_A-B[lo,hi)": g_AB over the bin from lo to hi Å. Rows with
    status "error" are NaN: filter on ``status == "ok"`` first to feed a model.
    """
    import numpy as np

    if isinstance(table, (str, os.PathLike)):
        table = read_rdf_table(table)
    settings = table_settings(table)
    if not settings.get("elements"):
        raise ValueError("this table has no feature vectors: compute it with an element list")
    edges = settings["bin_edges"]
    names = [f"g_{a}-{b}[{lo:g},{hi:g})" for a, b in settings["feature_pairs"] for lo, hi in zip(edges, edges[1:])]
    matrix = np.full((table.num_rows, len(names)), np.nan)
    features = table.column("features").combine_chunks()
    present = features.is_valid().to_numpy(zero_copy_only=False)
    matrix[present] = features.flatten().to_numpy().reshape(-1, len(names))
    return matrix, names
