"""One chunk of work: reading each source, computing its curves, and the rows of the table."""

from __future__ import annotations

import re
import threading
import time
import warnings
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from kestrel._kestrel import Structure, read_cif_blocks
from kestrel.batch.schema import _schema_fields, _write_part, table_schema
from kestrel.batch.settings import _require, _Settings
from kestrel.batch.sources import _identity
from kestrel.io import format_from_name, read_structure

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


def _failed_block(error: BaseException) -> Optional[str]:
    """The data block a CIF's refusal names ("data block 'x': ..."), so that its error row says which."""
    found = re.match(r"data block '([^']*)': ", str(getattr(error, "reason", "") or ""))
    return found.group(1) if found else None


def _error_text(error: BaseException) -> str:
    message = str(error).replace("\n", " ")
    if isinstance(error, (ValueError, OSError)):
        return message  # the system's own messages say what went wrong
    return f"{type(error).__name__}: {message}"


def _read_blocks(path: str, settings: _Settings) -> List[Tuple[Optional[str], Structure]]:
    """The structures of one file; a CIF gives one per data block that has atoms."""
    limits = {"occupancy_tolerance": settings.occupancy_tolerance, "max_bytes": settings.max_bytes}
    if format_from_name(path) == "cif":
        # strict: a block that cannot be read fails the file's row, as it always has.
        blocks = read_cif_blocks(path, settings.symprec, strict=True, **limits)
        if not blocks:
            raise ValueError(f"{path} has no data block with atom sites")
        return list(blocks.items())
    return [(None, read_structure(path, symprec=settings.symprec, **limits))]


# The readers say what they had to guess through Python's warnings. In a batch
# those belong to the row they concern, not to a screenful of standard error.
# Catching warnings swaps process-wide state, so reads take turns under this
# lock; the readers hold the interpreter lock while parsing anyway, so the
# turns cost nothing, and the RDFs (which release it) still run side by side.
_READING = threading.Lock()


def _read_with_warnings(path: str, settings: _Settings) -> Tuple[List[Tuple[Optional[str], Structure]], List[str]]:
    with _READING, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        blocks = _read_blocks(path, settings)
    return blocks, [str(w.message) for w in caught]


# The pre-pass keeps what it read up to about this many sites (a few hundred
# megabytes of records); files beyond are read again by their chunks, so a
# run of large structures does not hold them all at once.
KEPT_SITES = 5_000_000


@dataclass
class _ReadFile:
    """A file the element pre-pass has read already, so that its chunk need not read it again."""

    path: str
    identity: Tuple[Optional[int], Optional[int]]
    blocks: List[Tuple[Optional[str], Structure]]
    notes: List[str]
    seconds: float  # the reading, which the rows' "seconds" include


def _source_path(item: Any) -> Optional[str]:
    """The file an item names: its path, whether or not it was read ahead; None for a structure."""
    if isinstance(item, _ReadFile):
        return item.path
    return item if isinstance(item, str) else None


def _element_union(
    items: List[Tuple[int, Any]], settings: _Settings, keep_reads: bool
) -> Tuple[Optional[Tuple[str, ...]], List[Tuple[int, Any]]]:
    """Every element with atoms in any input, sorted: the default feature list; and the items.

    Files that cannot be read are passed over here; they become error rows
    when the run reaches them. The list is None when no input could be read.
    With ``keep_reads`` (runs on threads in this process) the items come back
    with the files read here, up to KEPT_SITES sites, so the run reads those
    files once.
    """
    found = set()
    kept = []
    kept_sites = 0
    for index, item in items:
        if isinstance(item, Structure):
            structures = [item]
        else:
            try:
                started = time.perf_counter()
                identity = _identity(item)
                blocks, notes = _read_with_warnings(item, settings)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException:  # noqa: BLE001 - reported as the file's row later
                kept.append((index, item))
                continue
            structures = [structure for _, structure in blocks]
            sites = sum(structure.n_sites for structure in structures)
            if keep_reads and kept_sites + sites <= KEPT_SITES:
                kept_sites += sites
                item = _ReadFile(item, identity, blocks, notes, time.perf_counter() - started)
        kept.append((index, item))
        for structure in structures:
            found.update(element for element, amount in structure.composition.items() if amount > 0)
    return tuple(sorted(found)) or None, kept


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
            if name == "total":
                arrays.append(_list_array(values))
            elif name in ("partials", "features"):
                arrays.append(_partials_array(values))
            else:
                arrays.append(pa.array(values, type=schema.field(name).type))
        return pa.RecordBatch.from_arrays(arrays, schema=schema)


def _list_array(curves: Sequence[Optional[np.ndarray]]):
    """A list<double> column from NumPy curves in one copy (None for error rows)."""
    pa = _require("pyarrow")
    lengths = np.array([0 if c is None else len(c) for c in curves], dtype=np.int64)
    offsets = np.zeros(len(curves) + 1, dtype=np.int32)
    np.cumsum(lengths, out=offsets[1:])
    present = [c for c in curves if c is not None]
    values = np.concatenate(present) if present else np.zeros(0)
    mask = np.array([c is None for c in curves], dtype=bool)
    return pa.ListArray.from_arrays(pa.array(offsets), pa.array(values, type=pa.float64()), mask=pa.array(mask))


def _partials_array(rows: List[Optional[Dict[Tuple[str, str], np.ndarray]]]):
    """A list<struct<a, b, g>> column: each row's element pairs with their curves, in the dict's order."""
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
        # Only the pairs the structure has: over a database's union of elements
        # a dense vector would be nearly all zeros, and writing those zeros,
        # not computing the curves, would set the pace.
        features = {pair: partials[pair] for pair in settings.pairs if pair in partials}
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
        if isinstance(item, _ReadFile):
            source, identity, blocks, notes = item.path, item.identity, item.blocks, item.notes
            started -= item.seconds
        elif isinstance(item, str):
            source = item
            identity = _identity(item)
            try:
                blocks, notes = _read_with_warnings(item, job.settings)
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as failure:  # noqa: BLE001 - a failure is a row, never the end of the batch
                block = _failed_block(failure)
                rows.add(
                    index,
                    source,
                    identity,
                    block,
                    None,
                    None,
                    _error_text(failure),
                    time.perf_counter() - started,
                    None,
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
