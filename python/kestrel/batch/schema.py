"""The Arrow schema of the table, its metadata and the Parquet parts."""

from __future__ import annotations

import json
import os
import uuid
from typing import Any, Dict, List

from kestrel.batch.settings import METADATA_KEY, _require, _Settings

# Dictionary encoding pays off on the text columns, which repeat; on the
# curves it costs a third of the writing time and saves almost nothing.
_DICTIONARY_COLUMNS = ["source", "block", "formula", "elements", "status", "error", "warnings"]
WRITE_OPTIONS = {"use_dictionary": _DICTIONARY_COLUMNS}


def _write_part(batch, path: str) -> None:
    # Written under a temporary name and renamed, so that a run killed midway
    # never leaves a truncated part for the next run to trip over.
    pq = _require("pyarrow.parquet")
    pa = _require("pyarrow")
    temporary = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{uuid.uuid4().hex[:8]}.tmp")
    pq.write_table(pa.Table.from_batches([batch]), temporary, **WRITE_OPTIONS)
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
    pairs = pa.list_(pa.struct([("a", pa.string()), ("b", pa.string()), ("g", curve)]))
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
        "partials": pairs,
        "features": pairs,
    }
    fields = [pa.field(name, types[name]) for name in _schema_fields(settings)]
    return pa.schema(fields, metadata={METADATA_KEY: json.dumps(settings.metadata()).encode()})


def table_settings(table) -> Dict[str, Any]:
    """The RDF parameters, element list, bin edges and version stored with a table.

    Returns a dict: cutoff, bin_size, curves, elements, feature_pairs, bin_edges, symprec and the
    versions.
    """
    metadata = table.schema.metadata or {}
    if METADATA_KEY not in metadata:
        raise ValueError("this table carries no kestrel settings in its metadata")
    return json.loads(metadata[METADATA_KEY])
