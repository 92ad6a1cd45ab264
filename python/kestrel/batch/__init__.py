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

from kestrel.batch.api import BatchSummary, feature_matrix, rdf_table, read_rdf_table, write_rdf_table
from kestrel.batch.schema import table_schema, table_settings
from kestrel.batch.settings import CURVES

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
