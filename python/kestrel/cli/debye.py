"""``kestrel debye``: the Debye intensity of a cluster, or of a particle cut from a crystal."""

from __future__ import annotations

import math
import time

from kestrel._defaults import BIN_WIDTH
from kestrel.cli.common import CommandError, _structure_command
from kestrel.cli.sq import add_q_options, q_grid
from kestrel.io import read_structure


def _centre(text):
    if text is None:
        return None
    try:
        values = [float(part) for part in text.replace(",", " ").split()]
    except ValueError:
        values = []
    if len(values) != 3:
        raise CommandError(f"--center needs three fractional coordinates such as 0.5,0.5,0.5, got '{text}'")
    return values


def cmd_debye(args) -> int:
    from kestrel.plotting.reciprocal import save_reciprocal_plots
    from kestrel.scattering import cut_particle, debye_result, read_cluster

    q = q_grid(args.q)
    if args.bin_width is not None and not (math.isfinite(args.bin_width) and args.bin_width > 0):
        raise CommandError(f"--bin-width must be a positive number of Å, got {args.bin_width}")
    if args.diameter is None:
        cluster = read_cluster(args.file) if args.format is None else read_structure(args.file, args.format)
        what = f"cluster of {len(cluster)} sites from {args.file}"
    else:
        if not (math.isfinite(args.diameter) and args.diameter > 0):
            raise CommandError(f"--diameter must be a positive number of Å, got {args.diameter}")
        crystal = read_structure(args.file, args.format, block=args.block)
        cluster = cut_particle(crystal, args.diameter, shape=args.shape, center=_centre(args.center))
        what = f"{args.shape} of {args.diameter:g} Å cut from {args.file}: {len(cluster)} sites"
    started = time.perf_counter()
    result = debye_result(
        cluster, q, radiation=args.radiation, exact=args.exact, n_threads=args.threads, bin_width=args.bin_width
    )
    elapsed = time.perf_counter() - started
    unit = "fm^2" if result.radiation == "neutron" else "electrons^2"
    print(what)
    grid = "every pair at every Q" if result.exact else f"distances on a {result.bin_width:g} Å grid"
    print(f"{result.radiation} Debye intensity in {unit}, {grid}; {result.site_pairs:,} site pairs")
    print(f"computed {len(q)} points in {elapsed:.2f} s ({result.site_pairs / max(elapsed, 1e-9):.3g} pairs/s)")
    if args.out:
        partials = {f"{a}-{b}": v for (a, b), v in result.partials.items()} if args.partials else None
        notes = [
            f"{result.radiation} Debye intensity of the {what}",
            f"{grid}; scattering powers from {result.source}",
            f"columns: Q in 1/A; I(Q) of the whole cluster in {unit}; its self term"
            + ("; the element-pair terms (they add up to I)" if partials else ""),
        ]
        written = save_reciprocal_plots(
            q,
            {"I": result.iq, "self": result.self_term},
            args.out,
            "debye",
            [("I", f"I(Q) ({unit.replace('^2', '$^2$')})")],
            partials=partials,
            partial_label="pair term of I(Q)",
            notes=notes,
            title=args.title or what,
        )
        print("written: " + ", ".join(written))
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel debye`` to the subcommands."""
    p = _structure_command(
        sub,
        "debye",
        "Debye intensity I(Q) of a finite cluster or of a particle cut from a crystal",
        "Sum the Debye scattering equation over every pair of atoms of a finite cluster (an XYZ file "
        "with or without a lattice, or any structure file taken as it stands), or, with --diameter, of a "
        "particle cut from the crystal in FILE. With --out, write debye.csv and debye.png (and "
        "debye_partials.png with --partials).",
        cmd_debye,
    )
    p.add_argument("--diameter", type=float, default=None, help="cut a particle of this diameter (Å) from FILE")
    p.add_argument("--shape", choices=["sphere", "cube"], default="sphere", help="the particle's shape")
    p.add_argument("--center", default=None, help="the particle's centre in fractional coordinates (default 0,0,0)")
    add_q_options(p)
    p.add_argument("--exact", action="store_true", help="sum every pair at every Q instead of on a distance grid")
    p.add_argument(
        "--bin-width",
        type=float,
        default=BIN_WIDTH,
        help="spacing of the distance grid in Å (default %(default)s)",
    )
    p.add_argument(
        "--threads", type=int, default=0, help="worker threads; 0 (default) uses the shared pool sized to the machine"
    )
    p.add_argument("--out", metavar="DIR", help="write debye.csv and the figures into DIR")
