"""``kestrel rmc``: a big-box refinement of a supercell against measured G(r), F(Q) or S(Q) data."""

from __future__ import annotations

import math
import os

from kestrel._defaults import SEED, SHELLS
from kestrel.bigbox import BigBoxData, refine_big_box
from kestrel.cli.common import CommandError, StatusLine, _structure_command
from kestrel.cli.sqs import _supercell
from kestrel.io import read_structure, write_structure


class RefinementProgress(StatusLine):
    """Rw and attempted moves per second on standard error."""

    def __call__(self, seconds: float, rw: float, tried: int) -> None:
        if math.isinf(rw) or seconds <= 0:
            return
        self.show(seconds, f"{seconds:6.1f} s  Rw {rw:.4f}  {tried / seconds:10.0f} moves/s")


def _data_item(text: str) -> BigBoxData:
    """PATH, PATH:RADIATION or PATH:RADIATION:WEIGHT."""
    path, *rest = text.split(":")
    radiation = rest[0] if rest and rest[0] else None
    if radiation not in (None, "xray", "neutron"):
        raise CommandError(f"--data {text}: the radiation must be xray or neutron, got {radiation!r}")
    weight = 1.0
    if len(rest) > 1:
        try:
            weight = float(rest[1])
        except ValueError as error:
            raise CommandError(f"--data {text}: the weight must be a number, got {rest[1]!r}") from error
    return BigBoxData(path, radiation=radiation, weight=weight)


def cmd_rmc(args) -> int:
    s = read_structure(args.file, args.format, block=args.block, occupancy_tolerance=args.occupancy_tolerance)
    start = args.start_from
    if start not in ("random", "sqs"):
        start = read_structure(start)
    progress = RefinementProgress()
    fit = refine_big_box(
        s,
        [_data_item(text) for text in args.data],
        radiation=args.radiation,
        supercell=_supercell(args.supercell) if args.supercell else None,
        max_sites=args.max_sites,
        moves=args.moves,
        u_iso=args.u_iso,
        qmax=args.qmax,
        qdamp=args.qdamp,
        rmin=args.rmin,
        rmax=args.rmax,
        max_step=args.max_step,
        min_distance=args.min_distance,
        shells=args.shells,
        start=start,
        time_limit=args.time if args.time > 0 else None,
        iterations=args.iterations,
        replicas=args.replicas,
        n_threads=args.threads,
        seed=args.seed,
        progress=progress,
    )
    progress.finish()
    print(fit.report())
    if args.output:
        fmt = write_structure(fit.structure, args.output, comment=f"big-box fit of {os.path.basename(args.file)}")
        print(f"fitted structure written as {fmt} to {args.output}")
    if args.out:
        written = fit.save_plots(args.out, title=os.path.basename(args.file))
        print(f"{len(written)} files written to {args.out}")
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel rmc`` to the subcommands."""
    p = _structure_command(
        sub,
        "rmc",
        "big-box refinement of a supercell against measured G(r), F(Q) or S(Q): short-range order, displacements",
        "Fit an ordered supercell of the structure to measured pair distribution functions by "
        "trial moves (swaps within pools of sites, displacements), annealed over the run, and "
        "report its Warren-Cowley parameters, bond lengths and Rw.",
        cmd_rmc,
    )
    p.add_argument(
        "--data",
        action="append",
        required=True,
        metavar="FILE[:RADIATION[:WEIGHT]]",
        help="a G(r) (.gr), F(Q) (.fq) or S(Q) (.sq) file; repeat for several data sets, "
        "e.g. x.gr:xray n.fq:neutron:0.5",
    )
    p.add_argument("--radiation", default="xray", choices=("xray", "neutron"), help="default xray")
    size = p.add_mutually_exclusive_group()
    size.add_argument("--supercell", metavar="NxNxN", help="repeats along a, b and c, e.g. 8x8x8")
    size.add_argument("--max-sites", type=int, help="the largest n×n×n supercell with at most this many sites")
    p.add_argument("--moves", default="swap", help="swap, displace or swap,displace (default swap)")
    p.add_argument("--time", type=float, default=60.0, help="seconds per replica (default 60; 0: --iterations only)")
    p.add_argument("--iterations", type=int, help="trial moves per replica; with --time 0 the result reproduces")
    p.add_argument("--replicas", type=int, default=1, help="independent runs, for the spread of alpha (default 1)")
    p.add_argument("--threads", type=int, default=0, help="threads for the replicas; 0 (default): the shared pool")
    p.add_argument("--seed", type=int, default=SEED, help="seed of the start and the moves (default %(default)s)")
    p.add_argument("--rmin", type=float, default=1.0, help="Å, start of the fit range (default 1)")
    p.add_argument("--rmax", type=float, default=20.0, help="Å, end of the fit range (default 20)")
    p.add_argument("--qmax", type=float, help="Å⁻¹, the data's Q cut-off")
    p.add_argument("--qdamp", type=float, default=0.0, help="Å⁻¹, the instrument's resolution damping (default 0)")
    p.add_argument("--u-iso", type=float, help="Å², the peaks' displacement parameter (default 0.005)")
    p.add_argument("--max-step", type=float, default=0.1, help="Å, the largest displacement step (default 0.1)")
    p.add_argument("--min-distance", type=float, help="Å, no displacement brings two atoms closer")
    p.add_argument("--shells", type=int, default=SHELLS, help="shells of the alpha table (default %(default)s)")
    p.add_argument(
        "--start", dest="start_from", default="random", help="random (default), sqs, or a structure file on its sites"
    )
    p.add_argument("-o", "--output", metavar="OUT", help="write the fitted supercell: *.cif, *.vasp/POSCAR or *.xyz")
    p.add_argument("--out", metavar="FOLDER", help="folder for the figures and the curves as CSV")
