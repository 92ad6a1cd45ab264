"""Writing the table as Parquet, a file or a dataset directory, and resuming a run."""

from __future__ import annotations

import glob
import json
import os
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Set, Tuple, Union

from kestrel.batch.runners import CHUNK_SIZE, WORKER_LOST
from kestrel.batch.schema import WRITE_OPTIONS, table_schema
from kestrel.batch.settings import METADATA_KEY, _require, _Settings
from kestrel.batch.sources import _identity

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
        writer = pq.ParquetWriter(self.temporary, table_schema(self.settings), **WRITE_OPTIONS)
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

    def stored_settings(self) -> Optional[Dict[str, Any]]:
        """The settings of the rows already in the output, or None when it holds none."""
        pq = _require("pyarrow.parquet")
        stored = self._stored()
        if not stored:
            return None
        return json.loads((pq.read_schema(stored[0]).metadata or {}).get(METADATA_KEY, b"{}"))

    def check_settings(self) -> None:
        found = self.stored_settings()
        if found is None:
            return
        wanted = self.settings.metadata()
        keys = ("cutoff", "bin_size", "curves", "elements")
        if any(found.get(key) != wanted[key] for key in keys):
            said = ", ".join(f"{key} {_shown(found.get(key))}" for key in keys)
            raise ValueError(
                f"{self.path} already holds a table computed with {said}; "
                "write to another output, use the same settings, or start it again with these "
                "(resume=False, --restart)"
            )
        self._check_layout()

    def _check_layout(self) -> None:
        """Refuse to append to rows whose columns have other types, e.g. features stored densely."""
        pq = _require("pyarrow.parquet")
        stored = pq.read_schema(self._stored()[0])
        wanted = table_schema(self.settings)
        differ = [f.name for f in wanted if f.name in stored.names and stored.field(f.name).type != f.type]
        if differ:
            raise ValueError(
                f"{self.path} holds a table whose {', '.join(differ)} column is laid out as an earlier "
                "version wrote it; write to another output, or pass resume=False to start it afresh"
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
            pq.write_table(table.filter(pc.invert(drop)), temporary, **WRITE_OPTIONS)
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
