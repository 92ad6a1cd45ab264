"""``kestrel batch``: RDFs of many structure files into a Parquet table."""

from __future__ import annotations

import time

from kestrel._defaults import BIN_SIZE, CUTOFF
from kestrel.batch import write_rdf_table
from kestrel.cli.common import Progress, reading_limit_options


def _batch_note(started: float, done: int, total: int, errors: int) -> str:
    """Errors so far and time left, for the batch progress bar (which shows the rate)."""
    elapsed = time.perf_counter() - started
    rate = done / elapsed if elapsed > 0 else 0.0
    left = f"{(total - done) / rate:.0f} s left" if rate > 0 else "-- s left"
    return f", {errors} errors, {left}   "


def cmd_batch(args) -> int:
    elements = args.elements.split(",") if args.elements is not None else None
    progress = Progress(0, "inputs")
    started = None

    def show(done: int, total: int, errors: int) -> None:
        # The clock starts with the first chunk, as the summary's rate does,
        # so the two rates agree.
        nonlocal started
        if started is None:
            started = progress.started = time.perf_counter()
        progress.update(done, total, note=_batch_note(started, done, total, errors))

    summary = write_rdf_table(
        args.inputs,
        args.out,
        cutoff=args.cutoff,
        bin_size=args.bin_size,
        curves=args.curves,
        elements=elements,
        occupancy_tolerance=args.occupancy_tolerance,
        max_bytes=args.max_bytes,
        workers=args.workers,
        client=args.scheduler,
        resume=not args.restart,
        progress=show,
    )
    if summary.skipped:
        print(f"skipped {summary.skipped} inputs already in {summary.out}")
    print(
        f"{summary.sources} inputs, {summary.rows} rows: {summary.ok} ok, {summary.errors} errors, "
        f"in {summary.seconds:.2f} s ({summary.rate:.0f} inputs/s, {summary.mode}, {summary.workers} workers); "
        f"table written to {summary.out}"
    )
    if summary.warned:
        print(f"{summary.warned} rows carry warnings of the reader (column warnings)")


def add_parser(sub) -> None:
    """Adds ``kestrel batch`` to the subcommands."""
    p = sub.add_parser(
        "batch",
        help="RDFs of many structure files into a Parquet table",
        description="Compute the RDFs of every input (files, folders, globs) into one Parquet table, "
        "a row per structure; inputs that fail become rows with status error. A run "
        "started again with the same output skips the inputs already done.",
    )
    p.add_argument("inputs", nargs="+", help="structure files, folders (walked) or quoted globs")
    p.add_argument("--out", required=True, help="*.parquet for one file; any other name for a dataset directory")
    p.add_argument("--cutoff", type=float, default=CUTOFF, help="largest pair distance in Å (default %(default)s)")
    p.add_argument("--bin-size", type=float, default=BIN_SIZE, help="histogram bin width in Å (default %(default)s)")
    p.add_argument(
        "--curves",
        choices=["both", "total", "partials"],
        default="both",
        help="which curves the table keeps (default both)",
    )
    p.add_argument(
        "--elements",
        metavar="A,B,...",
        help="fixed element list for the feature vectors (a structure with another element is an error row); "
        "by default the union of the elements of all inputs",
    )
    reading_limit_options(p)
    p.add_argument("--workers", type=int, default=None, help="local workers (default: one per core)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="run on a Dask cluster (e.g. tcp://host:8786)")
    p.add_argument("--restart", action="store_true", help="compute everything again instead of resuming")
    p.set_defaults(run=cmd_batch)
