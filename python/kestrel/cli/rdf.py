"""``kestrel rdf``: partial and total RDFs of one structure."""

from __future__ import annotations

import sys
import time

import kestrel
from kestrel.cli.common import (
    SlowCallNote,
    _figures_option,
    _files_written,
    _normalised_option,
    _partner_densities,
    _print_peaks,
    _rdf_options,
    _save_curves,
    _structure_command,
    json_option,
    peak_table,
    print_json,
)
from kestrel.cli.inputs import note_other_frames, read_input

RDF_CONVENTIONS = """\
what the curves are:
  partial A-B   pair density rho_B g_AB(r) in Å⁻³: B atoms per Å³ at distance r
                from an A atom (A is the centre); tends to rho_B = N_B / V.
                Divide by rho_B for the dimensionless g_AB(r), which tends to 1
                (--normalised draws that).
  total         rho g(r) in Å⁻³, tending to the number density rho = N / V.
  r             rdf.csv and Python's prdf() give lower bin edges (column r) and
                rdf.csv also bin centres (r_centre); the peak table prints
                centres. Partial occupancies count as fractional atoms.
  last bin      when the cutoff is not a whole number of bins, the last bin
                counts pairs only up to the cutoff but is divided by its whole
                shell, so it reads low; a warning says so.
"""


def cmd_rdf(args) -> int:
    source = read_input(args)
    s = source.structure
    note_other_frames(source, args.file, "rdf")
    started = time.perf_counter()
    with SlowCallNote(f"computing the RDF of {s.n_sites} sites up to {args.cutoff:g} Å"):
        r, partials, total = s.prdf(cutoff=args.cutoff, bin_size=args.bin_size, n_threads=args.threads)
    elapsed = time.perf_counter() - started
    threads = args.threads or kestrel.Structure.available_threads()
    if args.json:
        print_json(
            {
                "structure": repr(s),
                "file": args.file,
                "cutoff": args.cutoff,
                "bin_size": args.bin_size,
                "bins": len(r),
                "seconds": elapsed,
                "threads": threads,
                "peaks": peak_table(r, partials, total, s.composition, s.volume, args.bin_size),
            }
        )
    else:
        print(repr(s))
        _print_peaks(r, partials, total, s.composition, s.volume, args.bin_size)
        print(
            f"computed {len(partials)} partial curves of {len(r)} bins up to {args.cutoff:g} Å "
            f"in {elapsed * 1000:.1f} ms on {threads} threads"
        )
    if args.out:
        _save_curves(
            args.out,
            r,
            partials,
            total,
            args.bin_size,
            args.title,
            s.n_atoms / s.volume,
            _partner_densities(s.composition, s.volume),
            args.normalised,
            figures=args.figures,
        )
        print(f"{_files_written(args.figures)} written to {args.out}", file=sys.stderr if args.json else sys.stdout)
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel rdf`` to the subcommands."""
    p = _structure_command(
        sub,
        "rdf",
        "partial and total radial distribution functions",
        "Compute the element-resolved partial and the total RDF over all periodic images, "
        "partial occupancies as weights; print the first peak of each partial and, with "
        "--out, write figures and a CSV.",
        cmd_rdf,
        epilog=RDF_CONVENTIONS,
    )
    _rdf_options(p)
    _figures_option(p)
    _normalised_option(p)
    json_option(p, "the peak table (each curve's first peak: r in Å, pair density in Å⁻³, g)")
