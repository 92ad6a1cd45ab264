"""RDFs of whole collections of structures, as a table.

``rdf_table`` turns a folder, a glob, a list of paths or a sequence of
``Structure`` objects into one row per structure (one per data block for a CIF
that holds several); ``write_rdf_table`` streams the same rows into Apache
Parquet, resumes an interrupted run, and can hand the work to a Dask cluster
whose workers write their parts of the table themselves. ``feature_matrix``
gives the fixed-length feature vectors as a NumPy array for scikit-learn.

Every input is processed in chunks by one function, ``_run_job``, whether it
runs on a local thread, a local worker process or a Dask worker: reading and
computing overlap across chunks, and a structure that fails becomes a row
with status "error" and the message, never the end of the run.
"""

from __future__ import annotations

import functools
import glob
import json
import math
import os
import threading
import time
import uuid
import warnings
from concurrent.futures import FIRST_COMPLETED, Executor, ProcessPoolExecutor, ThreadPoolExecutor, wait
from dataclasses import dataclass
from itertools import combinations_with_replacement
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple, Union

from _kestrel import Structure, __version__

if TYPE_CHECKING:
    import numpy as np  # imported where used: `import kestrel` stays free of NumPy

__all__ = [
    "rdf_table",
    "write_rdf_table",
    "read_rdf_table",
    "feature_matrix",
    "table_settings",
    "table_schema",
    "BatchSummary",
    "CURVES",
]

INSTALL_HINT = 'pip install "kestrel[batch]"'
CURVES = ("both", "total", "partials")
METADATA_KEY = b"kestrel"
TABLE_VERSION = 1

# Sources per chunk. A chunk is the unit of work handed to a thread, process or
# Dask worker and, on disk, one Parquet part: large enough that the fixed cost
# of a task and of a file is small beside the structures, small enough that a
# chunk's rows stay a few megabytes and the progress bar moves.
CHUNK_SIZE = 256
# Below this many sources the run stays in this process on threads: starting
# worker processes (each imports NumPy and pyarrow) takes half a second to a
# few seconds on a busy machine, longer than such a run takes on threads.
PROCESS_THRESHOLD = 2000

ProgressCallback = Callable[[int, int, int], None]
Source = Union[str, "os.PathLike[str]", Structure]


def _require(module: str):
    """Import one of the optional batch dependencies, naming the extra when it is missing."""
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"kestrel's batch tables need {module.split('.')[0]}: {INSTALL_HINT}") from error


# ---- settings ------------------------------------------------------------------


@dataclass(frozen=True)
class _Settings:
    """The RDF parameters of a run: what every row of one table shares."""

    cutoff: float
    bin_size: float
    curves: str
    elements: Optional[Tuple[str, ...]]
    symprec: float

    @property
    def pairs(self) -> List[Tuple[str, str]]:
        """Feature pairs: unordered pairs of the element list, each once, in list order."""
        return list(combinations_with_replacement(self.elements, 2)) if self.elements else []

    @property
    def wants_partials(self) -> bool:
        return self.curves != "total" or bool(self.elements)

    def bin_edges(self) -> List[float]:
        return list(_bin_edges(self.cutoff, self.bin_size))

    def metadata(self) -> Dict[str, Any]:
        return {
            "table_version": TABLE_VERSION,
            "kestrel_version": __version__,
            "cutoff": self.cutoff,
            "bin_size": self.bin_size,
            "curves": self.curves,
            "elements": list(self.elements) if self.elements else None,
            "feature_pairs": [list(pair) for pair in self.pairs],
            "bin_edges": self.bin_edges(),
            "symprec": self.symprec,
        }


@functools.lru_cache(maxsize=16)
def _bin_edges(cutoff: float, bin_size: float) -> Tuple[float, ...]:
    # Let the engine judge the parameters (with its own messages) and say how
    # many bins it makes, on a cell too large for any pair to count.
    side = 2.0 * cutoff if math.isfinite(cutoff) and cutoff > 1.0 else 2.0
    probe = Structure([[side, 0, 0], [0, side, 0], [0, 0, side]], [[0, 0, 0]], [{"H": 1.0}])
    r, _ = probe.total_rdf(cutoff, bin_size, 1)
    return tuple(float(k) * bin_size for k in range(len(r) + 1))


def _settings(
    cutoff: float, bin_size: float, curves: str, elements: Optional[Iterable[str]], symprec: float
) -> _Settings:
    if curves not in CURVES:
        raise ValueError(f"curves must be one of {', '.join(CURVES)}, not '{curves}'")
    element_list: Optional[Tuple[str, ...]] = None
    if elements is not None:
        element_list = tuple(str(e).strip() for e in elements)
        if not element_list or any(not e for e in element_list):
            raise ValueError("the element list is empty or has an empty name")
        repeated = sorted({e for e in element_list if element_list.count(e) > 1})
        if repeated:
            raise ValueError(f"the element list names {', '.join(repeated)} more than once")
    settings = _Settings(float(cutoff), float(bin_size), curves, element_list, float(symprec))
    settings.bin_edges()  # refuses a bad cutoff or bin size before any work starts
    return settings


# ---- sources -------------------------------------------------------------------


def _is_pattern(text: str) -> bool:
    return any(ch in text for ch in "*?[")


def _visible_files(folder: str) -> List[str]:
    found = []
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found += [os.path.join(root, name) for name in sorted(files) if not name.startswith(".")]
    return found


def _expand_sources(sources: Union[Source, Iterable[Source]]) -> List[Union[str, Structure]]:
    """Paths (folders walked, globs expanded, each path once) and structures, in input order."""
    if isinstance(sources, (str, os.PathLike, Structure)):
        sources = [sources]
    items: List[Union[str, Structure]] = []
    seen: Set[str] = set()

    def add_path(path: str) -> None:
        path = os.path.abspath(path)
        if path not in seen:
            seen.add(path)
            items.append(path)

    for source in sources:
        if isinstance(source, Structure):
            items.append(source)
            continue
        if not isinstance(source, (str, os.PathLike)):
            raise TypeError(f"a source is a path, a folder, a glob or a Structure, not {type(source).__name__}")
        text = os.fspath(source)
        if os.path.isdir(text):
            found = _visible_files(text)
        elif _is_pattern(text) and not os.path.exists(text):
            found = [path for path in sorted(glob.glob(text, recursive=True)) if os.path.isfile(path)]
        else:
            found = None
        if found == []:
            # Most likely a typing slip; a run that silently does nothing would hide it.
            raise ValueError(f"no files in '{text}'" if os.path.isdir(text) else f"no files match '{text}'")
        if found:
            for path in found:
                add_path(path)
        else:
            add_path(text)  # a missing file becomes an error row, like any unreadable one
    return items


def _identity(path: str) -> Tuple[Optional[int], Optional[int]]:
    """Size and modification time: with the path, what says a file is the one already done."""
    try:
        status = os.stat(path)
    except OSError:
        return None, None
    return status.st_size, status.st_mtime_ns


# ---- one chunk of work ---------------------------------------------------------

# A Structure cannot cross a process boundary; its lattice, coordinates and
# species can, and rebuild it exactly.
_StructureRecord = Tuple[List[List[float]], List[List[float]], List[Dict[str, float]]]


@dataclass
class _Job:
    """A chunk of sources and where its rows go: a Parquet part, or back to the caller."""

    items: List[Tuple[int, Union[str, Structure, _StructureRecord]]]
    settings: _Settings
    part_path: Optional[str] = None
    n_threads: int = 0
    number: int = 0  # position of the chunk in the run, to put in-memory rows back in order


@dataclass
class _JobDone:
    number: int
    sources: int
    rows: int
    errors: int
    warned: int = 0  # rows whose reading raised warnings
    batch: Any = None  # the rows as a pyarrow RecordBatch when no part file was asked for


def _formula(composition: Dict[str, float]) -> str:
    parts = []
    for element, amount in composition.items():
        text = f"{amount:.4f}".rstrip("0").rstrip(".")
        parts.append(element if text == "1" else element + text)
    return "".join(parts)


def _error_text(error: BaseException) -> str:
    message = str(error).replace("\n", " ")
    if isinstance(error, (ValueError, OSError)):
        return message  # the system's own messages say what went wrong
    return f"{type(error).__name__}: {message}"


def _read_blocks(path: str, symprec: float) -> List[Tuple[Optional[str], Structure]]:
    """The structures of one file; a CIF gives one per data block that has atoms."""
    import _kestrel

    read_blocks = getattr(_kestrel, "read_cif_blocks", None)
    if read_blocks is not None and path.lower().endswith(".cif"):
        blocks = read_blocks(path, symprec)
        if not blocks:
            raise ValueError(f"{path} has no data block with atom sites")
        return list(blocks.items())
    from kestrel.io import read_structure

    return [(None, read_structure(path, symprec=symprec))]


# The readers say what they had to guess through Python's warnings. In a batch
# those belong to the row they concern, not to a screenful of standard error.
# Catching warnings swaps process-wide state, so reads take turns under this
# lock; the readers hold the interpreter lock while parsing anyway, so the
# turns cost nothing, and the RDFs (which release it) still run side by side.
_READING = threading.Lock()


def _read_with_warnings(path: str, symprec: float) -> Tuple[List[Tuple[Optional[str], Structure]], List[str]]:
    with _READING, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        blocks = _read_blocks(path, symprec)
    return blocks, [str(w.message) for w in caught]


class _Rows:
    """Column-wise rows of one chunk, turned into one Arrow record batch at the end."""

    def __init__(self, settings: _Settings):
        self.settings = settings
        self.columns: Dict[str, list] = {name: [] for name in _schema_fields(settings)}
        self.errors = 0
        self.warned = 0

    def add(
        self,
        index: int,
        source: Optional[str],
        identity,
        block: Optional[str],
        structure: Optional[Structure],
        curves,
        error: Optional[str],
        seconds: float,
        notes: Optional[List[str]],
    ) -> None:
        c = self.columns
        c["index"].append(index)
        c["source"].append(source)
        c["block"].append(block)
        c["source_size"].append(identity[0])
        c["source_mtime_ns"].append(identity[1])
        if structure is not None:
            composition = structure.composition
            c["formula"].append(_formula(composition))
            c["elements"].append(list(composition))
            c["n_sites"].append(structure.n_sites)
            c["n_atoms"].append(structure.n_atoms)
            c["volume"].append(structure.volume)
            c["ordered"].append(structure.is_ordered)
        else:
            for name in ("formula", "elements", "n_sites", "n_atoms", "volume", "ordered"):
                c[name].append(None)
        c["status"].append("error" if error is not None else "ok")
        c["error"].append(error)
        c["warnings"].append(notes)
        c["seconds"].append(seconds)
        partials, total, features = curves if curves is not None else (None, None, None)
        if "total" in c:
            c["total"].append(total)
        if "partials" in c:
            c["partials"].append(partials)
        if "features" in c:
            c["features"].append(features)
        self.errors += error is not None
        self.warned += bool(notes)

    def record_batch(self):
        pa = _require("pyarrow")
        schema = table_schema(self.settings)
        arrays = []
        for name in schema.names:
            values = self.columns[name]
            if name in ("total", "features"):
                arrays.append(_list_array(values))
            elif name == "partials":
                arrays.append(_partials_array(values))
            else:
                arrays.append(pa.array(values, type=schema.field(name).type))
        return pa.RecordBatch.from_arrays(arrays, schema=schema)


def _list_array(curves: Sequence[Optional[np.ndarray]]):
    """A list<double> column from NumPy curves in one copy (None for error rows)."""
    import numpy as np

    pa = _require("pyarrow")
    lengths = np.array([0 if c is None else len(c) for c in curves], dtype=np.int64)
    offsets = np.zeros(len(curves) + 1, dtype=np.int32)
    np.cumsum(lengths, out=offsets[1:])
    present = [c for c in curves if c is not None]
    values = np.concatenate(present) if present else np.zeros(0)
    mask = np.array([c is None for c in curves], dtype=bool)
    return pa.ListArray.from_arrays(pa.array(offsets), pa.array(values, type=pa.float64()), mask=pa.array(mask))


def _partials_array(rows: List[Optional[Dict[Tuple[str, str], np.ndarray]]]):
    """A list<struct<a, b, g>> column: every ordered element pair of a row with its curve."""
    import numpy as np

    pa = _require("pyarrow")
    a: List[str] = []
    b: List[str] = []
    curves: List[np.ndarray] = []
    counts = []
    for partials in rows:
        counts.append(0 if partials is None else len(partials))
        if partials:
            for (first, second), curve in partials.items():
                a.append(first)
                b.append(second)
                curves.append(curve)
    pairs = pa.StructArray.from_arrays(
        [pa.array(a, type=pa.string()), pa.array(b, type=pa.string()), _list_array(curves)], names=["a", "b", "g"]
    )
    offsets = np.zeros(len(rows) + 1, dtype=np.int32)
    np.cumsum(counts, out=offsets[1:])
    mask = np.array([p is None for p in rows], dtype=bool)
    return pa.ListArray.from_arrays(pa.array(offsets), pairs, mask=pa.array(mask))


def _curves(structure: Structure, settings: _Settings, n_threads: int):
    """(partials, total, features) of one structure, each None when the table does not keep it."""
    if settings.elements:
        outside = [e for e, amount in structure.composition.items() if amount > 0 and e not in settings.elements]
        if outside:
            raise ValueError(f"the structure holds {', '.join(outside)}, which the element list leaves out")
    if not settings.wants_partials:
        _, total = structure.total_rdf(settings.cutoff, settings.bin_size, n_threads)
        return None, total, None
    _, partials, total = structure.prdf(settings.cutoff, settings.bin_size, n_threads)
    features = None
    if settings.elements:
        import numpy as np

        zeros = np.zeros(len(total))
        features = np.concatenate([partials.get(pair, zeros) for pair in settings.pairs])
    return (
        partials if settings.curves != "total" else None,
        total if settings.curves != "partials" else None,
        features,
    )


def _run_job(job: _Job) -> _JobDone:
    """Read and compute one chunk; write its Parquet part or return its rows.

    Runs unchanged on a local thread, a local worker process or a Dask worker.
    """
    rows = _Rows(job.settings)
    for index, item in job.items:
        started = time.perf_counter()
        if isinstance(item, str):
            source: Optional[str] = item
            identity = _identity(item)
            try:
                blocks, notes = _read_with_warnings(item, job.settings.symprec)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as failure:  # noqa: BLE001 - a failure is a row, never the end of the batch
                rows.add(
                    index, source, identity, None, None, None, _error_text(failure), time.perf_counter() - started, None
                )
                continue
        else:
            source, identity, notes = None, (None, None), []
            blocks = [(None, item if isinstance(item, Structure) else Structure(*item))]
        read_seconds = (time.perf_counter() - started) / len(blocks)
        for block, structure in blocks:
            started = time.perf_counter()
            message: Optional[str] = None
            try:
                curves = _curves(structure, job.settings, job.n_threads)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as failure:  # noqa: BLE001 - as above
                curves, message = None, _error_text(failure)
            rows.add(
                index,
                source,
                identity,
                block,
                structure,
                curves,
                message,
                read_seconds + time.perf_counter() - started,
                notes,
            )
    batch = rows.record_batch()
    done = _JobDone(job.number, len(job.items), batch.num_rows, rows.errors, rows.warned)
    if job.part_path is None:
        done.batch = batch
    else:
        _write_part(batch, job.part_path)
    return done


def _write_part(batch, path: str) -> None:
    # Written under a temporary name and renamed, so that a run killed midway
    # never leaves a truncated part for the next run to trip over.
    pq = _require("pyarrow.parquet")
    pa = _require("pyarrow")
    temporary = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{uuid.uuid4().hex[:8]}.tmp")
    pq.write_table(pa.Table.from_batches([batch]), temporary)
    os.replace(temporary, path)


# ---- the table -----------------------------------------------------------------


def _schema_fields(settings: _Settings) -> List[str]:
    names = [
        "index",
        "source",
        "block",
        "source_size",
        "source_mtime_ns",
        "formula",
        "elements",
        "n_sites",
        "n_atoms",
        "volume",
        "ordered",
        "status",
        "error",
        "warnings",
        "seconds",
    ]
    if settings.curves in ("both", "total"):
        names.append("total")
    if settings.curves in ("both", "partials"):
        names.append("partials")
    if settings.elements:
        names.append("features")
    return names


def table_schema(settings: _Settings):
    """The Arrow schema of a table, its settings in the metadata under the key "kestrel"."""
    pa = _require("pyarrow")
    curve = pa.list_(pa.float64())
    types = {
        "index": pa.int64(),
        "source": pa.string(),
        "block": pa.string(),
        "source_size": pa.int64(),
        "source_mtime_ns": pa.int64(),
        "formula": pa.string(),
        "elements": pa.list_(pa.string()),
        "n_sites": pa.int64(),
        "n_atoms": pa.float64(),
        "volume": pa.float64(),
        "ordered": pa.bool_(),
        "status": pa.string(),
        "error": pa.string(),
        "warnings": pa.list_(pa.string()),
        "seconds": pa.float64(),
        "total": curve,
        "partials": pa.list_(pa.struct([("a", pa.string()), ("b", pa.string()), ("g", curve)])),
        "features": curve,
    }
    fields = [pa.field(name, types[name]) for name in _schema_fields(settings)]
    return pa.schema(fields, metadata={METADATA_KEY: json.dumps(settings.metadata()).encode()})


def table_settings(table) -> Dict[str, Any]:
    """The RDF parameters, element list, bin edges and version stored with a table."""
    metadata = table.schema.metadata or {}
    if METADATA_KEY not in metadata:
        raise ValueError("this table carries no kestrel settings in its metadata")
    return json.loads(metadata[METADATA_KEY])


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


def _encode(item: Union[str, Structure, _StructureRecord]) -> Union[str, _StructureRecord]:
    if isinstance(item, Structure):
        return (item.lattice_matrix, item.frac_coords, item.species)
    return item


WORKER_LOST = (
    "the worker computing this chunk ended abruptly (killed, or out of memory); its structures were not computed"
)


def _lost_job(job: _Job) -> _JobDone:
    """Error rows for every source of a chunk whose worker died, so the table says what is missing."""
    rows = _Rows(job.settings)
    for index, item in job.items:
        path = item if isinstance(item, str) else None
        rows.add(index, path, _identity(path) if path else (None, None), None, None, None, WORKER_LOST, 0.0, None)
    batch = rows.record_batch()
    done = _JobDone(job.number, len(job.items), batch.num_rows, rows.errors)
    if job.part_path is None:
        done.batch = batch
    else:
        _write_part(batch, job.part_path)
    return done


class _Runner:
    """Runs jobs on threads, local processes or a Dask client, a bounded number in flight."""

    def __init__(self, mode: str, workers: int, client=None):
        self.mode = mode
        self.workers = workers
        self.client = client

    def run(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        if self.mode == "dask":
            self._run_dask(jobs, on_done)
        else:
            self._run_local(jobs, on_done)

    def _executor(self) -> Executor:
        if self.mode == "threads":
            return ThreadPoolExecutor(self.workers, thread_name_prefix="kestrel-batch")
        import multiprocessing

        # spawn, not fork: a forked child would inherit the engine's thread
        # pool without its threads. Each process computes one structure at a
        # time on one engine thread; the processes fill the cores.
        return ProcessPoolExecutor(
            self.workers, mp_context=multiprocessing.get_context("spawn"), initializer=_one_engine_thread
        )

    def _run_local(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        from concurrent.futures.process import BrokenProcessPool

        executor = self._executor()
        in_flight: Dict[Any, Tuple[_Job, Executor]] = {}

        def collect(future) -> None:
            nonlocal executor
            job, ran_on = in_flight.pop(future)
            try:
                done = future.result()
            except BrokenProcessPool:
                # A dead process breaks the whole pool: its chunks in flight
                # become error rows, and a fresh pool takes the rest.
                done = _lost_job(job)
                if ran_on is executor:
                    executor.shutdown(wait=False)
                    executor = self._executor()
            on_done(done)

        try:
            for job in jobs:
                if self.mode == "processes":
                    job.items = [(index, _encode(item)) for index, item in job.items]
                in_flight[executor.submit(_run_job, job)] = (job, executor)
                # Twice the workers in flight keeps every worker fed while the
                # rest of the sources wait as plain paths.
                while len(in_flight) >= 2 * self.workers:
                    finished, _ = wait(list(in_flight), return_when=FIRST_COMPLETED)
                    for future in finished:
                        collect(future)
            while in_flight:
                collect(next(iter(in_flight)))
        finally:
            # On an interruption the chunks not yet started are dropped; those
            # running finish and keep their parts for the next run.
            executor.shutdown(wait=True, cancel_futures=True)

    def _run_dask(self, jobs: Iterator[_Job], on_done: Callable[[_JobDone], None]) -> None:
        distributed = _require("distributed")
        limit = 2 * max(1, sum(self.client.nthreads().values()))
        pending = distributed.as_completed()
        submitted: Dict[str, _Job] = {}

        def collect(future) -> None:
            job = submitted.pop(future.key)
            try:
                done = future.result()
            except distributed.KilledWorker:
                done = _lost_job(job)
            future.release()
            on_done(done)

        for job in jobs:
            job.items = [(index, _encode(item)) for index, item in job.items]
            future = self.client.submit(_run_job, job, pure=False)
            submitted[future.key] = job
            pending.add(future)
            while len(submitted) >= limit:
                collect(next(pending))
        for future in pending:
            collect(future)


def _one_engine_thread() -> None:
    os.environ["RAYON_NUM_THREADS"] = "1"


def _local_workers(workers: Optional[int]) -> int:
    n = workers if workers is not None else (os.cpu_count() or 1)
    if n < 1:
        raise ValueError(f"workers must be 1 or more, not {n}")
    return n


def _runner(n_sources: int, workers: Optional[int], client, processes: Optional[bool]) -> Tuple[_Runner, Any]:
    """Where the chunks run, and a client to close afterwards when we opened it."""
    if client is not None:
        distributed = _require("distributed")
        owned = None
        if isinstance(client, str):
            client = owned = distributed.Client(client)
        n = max(1, sum(client.nthreads().values()))
        return _Runner("dask", n, client), owned
    n = _local_workers(workers)
    if processes is None:
        processes = n > 1 and n_sources >= PROCESS_THRESHOLD
    return _Runner("processes" if processes else "threads", n, None), None


def _chunk_size(n_sources: int, workers: int) -> int:
    # Small runs are cut finer so that every worker gets a share.
    return max(1, min(CHUNK_SIZE, math.ceil(n_sources / (4 * workers))))


def _jobs(
    items: List[Tuple[int, Any]],
    settings: _Settings,
    size: int,
    n_threads: int,
    part_name: Optional[Callable[[int], str]],
) -> Iterator[_Job]:
    for number, start in enumerate(range(0, len(items), size)):
        yield _Job(items[start : start + size], settings, part_name(number) if part_name else None, n_threads, number)


def _run(
    items, settings, runner: _Runner, part_name, progress: Optional[ProgressCallback], sink: Callable[[Any], None]
) -> Dict[str, int]:
    """Run every chunk; returns the counts (sources, rows, errors, warned).

    Chunks that come back with their rows (no part file) hand them to ``sink``
    in chunk order, whatever order they finish in.
    """
    counts = {"sources": 0, "rows": 0, "errors": 0, "warned": 0}
    finished_early: Dict[int, Any] = {}
    next_number = 0
    total = len(items)
    # Local processes and Dask workers run one engine thread per structure;
    # threads in this process share the engine's pool.
    n_threads = 0

    def on_done(done: _JobDone) -> None:
        counts["sources"] += done.sources
        counts["rows"] += done.rows
        counts["errors"] += done.errors
        counts["warned"] += done.warned
        nonlocal next_number
        if done.batch is not None:
            finished_early[done.number] = done.batch
        while next_number in finished_early:
            sink(finished_early.pop(next_number))
            next_number += 1
        if progress is not None:
            progress(counts["sources"], total, counts["errors"])

    if progress is not None:
        progress(0, total, 0)
    runner.run(_jobs(items, settings, _chunk_size(total, runner.workers), n_threads, part_name), on_done)
    return counts


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


# ---- Parquet output ------------------------------------------------------------


def _shown(value: Any) -> str:
    if isinstance(value, list):
        return ",".join(map(str, value))
    return "none" if value is None else f"{value:g}" if isinstance(value, float) else str(value)


class _Output:
    """A Parquet table on disk: a single file, or a dataset directory of parts.

    A directory gets one part file per chunk, written by whoever computed the
    chunk. A single file ("*.parquet", for runs small enough to pass through
    this process) is written here as the chunks come back, under a temporary
    name that replaces the file when the run ends, interrupted or not. Either
    way an interrupted run loses only the chunks in flight.
    """

    def __init__(self, out: Union[str, "os.PathLike[str]"], settings: _Settings):
        self.path = os.path.abspath(os.fspath(out))
        self.settings = settings
        single = self.path.lower().endswith(".parquet") and not os.path.isdir(self.path)
        self.layout = "file" if single else "dataset"
        self.parts_dir = self.path  # a dataset's parts live in the directory itself
        parent = os.path.dirname(self.path)
        if not os.path.isdir(parent):
            raise OSError(f"cannot write {self.path}: the folder {parent} does not exist")
        where = self.path if not single and os.path.isdir(self.path) else parent
        if not os.access(where, os.W_OK | os.X_OK):
            raise OSError(f"cannot write into {where}: permission denied")
        self.replace_existing = False  # a run that does not resume drops what was there
        self.writer: Any = None  # the single file's writer, once its earlier rows are copied
        self.temporary = os.path.join(parent, f".{os.path.basename(self.path)}.{uuid.uuid4().hex[:8]}.tmp")
        # Part names sort by run, then by chunk: reading them in name order
        # gives the rows in the order the runs made them.
        self.run_stamp = time.strftime("%Y%m%dT%H%M%S") + "-" + uuid.uuid4().hex[:6]

    def create(self) -> None:
        """Make the directory, or open the single file's writer with the rows kept from earlier runs."""
        if self.layout == "dataset":
            os.makedirs(self.parts_dir, exist_ok=True)
            return
        pq = _require("pyarrow.parquet")
        writer = pq.ParquetWriter(self.temporary, table_schema(self.settings))
        for earlier in self._stored():
            for batch in pq.ParquetFile(earlier).iter_batches(batch_size=CHUNK_SIZE):
                writer.write_batch(batch)
        self.writer = writer

    def write(self, batch) -> None:
        """Append a chunk's rows to the single file."""
        self.writer.write_batch(batch)

    @property
    def part_names(self) -> Optional[Callable[[int], str]]:
        return self.part_name if self.layout == "dataset" else None

    def part_name(self, number: int) -> str:
        return os.path.join(self.parts_dir, f"part-{self.run_stamp}-{number:06d}.parquet")

    def _parts(self) -> List[str]:
        if self.layout == "file":
            return []
        return sorted(glob.glob(os.path.join(glob.escape(self.parts_dir), "part-*.parquet")))

    def _stored(self) -> List[str]:
        """Files holding rows already: the single file, or the parts."""
        keep_file = self.layout == "file" and os.path.isfile(self.path) and not self.replace_existing
        earlier = [self.path] if keep_file else []
        return earlier + self._parts()

    def check_settings(self) -> None:
        pq = _require("pyarrow.parquet")
        stored = self._stored()
        if not stored:
            return
        found = json.loads((pq.read_schema(stored[0]).metadata or {}).get(METADATA_KEY, b"{}"))
        wanted = self.settings.metadata()
        keys = ("cutoff", "bin_size", "curves", "elements")
        if any(found.get(key) != wanted[key] for key in keys):
            said = ", ".join(f"{key} {_shown(found.get(key))}" for key in keys)
            raise ValueError(
                f"{self.path} already holds a table computed with {said}; "
                "write to another output or use the same settings"
            )

    def done_sources(self, paths: List[str]) -> Tuple[Set[str], Set[str]]:
        """Of the given paths: those already done with this size and time, and those to do again."""
        pq = _require("pyarrow.parquet")
        recorded: Dict[str, Tuple[Any, Any]] = {}
        for stored in self._stored():
            columns = pq.read_table(stored, columns=["source", "source_size", "source_mtime_ns", "error"]).to_pydict()
            for source, size, mtime, error in zip(
                columns["source"], columns["source_size"], columns["source_mtime_ns"], columns["error"]
            ):
                if source is not None:
                    # A source whose worker died was never tried: do it again.
                    recorded[source] = (None, None) if error == WORKER_LOST else (size, mtime)
        done: Set[str] = set()
        changed: Set[str] = set()
        for path in paths:
            if path in recorded:
                (done if recorded[path] == _identity(path) else changed).add(path)
        return done, changed

    def drop_rows_of(self, sources: Set[str], unnamed: bool = False) -> None:
        """Remove the rows of files changed since they were done, before they are done again.

        With ``unnamed`` also the rows of Structure objects: nothing says which
        object a row came from, so a run given objects computes them all again.
        """
        if not sources and not unnamed:
            return
        pa = _require("pyarrow")
        pq = _require("pyarrow.parquet")
        pc = _require("pyarrow.compute")

        for stored in self._stored():
            table = pq.read_table(stored)
            source = table["source"]
            drop = pc.is_in(source, value_set=pa.array(sorted(sources), type=pa.string()))
            if unnamed:
                drop = pc.or_(drop, pc.is_null(source))
            if not pc.any(drop).as_py():
                continue
            temporary = stored + ".tmp"
            pq.write_table(table.filter(pc.invert(drop)), temporary)
            os.replace(temporary, stored)

    def clear(self) -> None:
        """Start afresh: forget the rows of earlier runs (only our own files are touched)."""
        for path in self._parts():
            os.remove(path)
        self.replace_existing = True

    def finish(self) -> None:
        """Close the table: the dataset's common schema, or the single file put in place."""
        pq = _require("pyarrow.parquet")
        if self.layout == "dataset":
            if os.path.isdir(self.parts_dir):
                pq.write_metadata(table_schema(self.settings), os.path.join(self.parts_dir, "_common_metadata"))
            return
        if self.writer is None:  # failed while copying the earlier rows: keep the file as it was
            if os.path.exists(self.temporary):
                os.remove(self.temporary)
            return
        self.writer.close()
        self.writer = None
        os.replace(self.temporary, self.path)


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
