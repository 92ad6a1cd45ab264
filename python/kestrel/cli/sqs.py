"""``kestrel sqs``: an ordering of a disordered structure with chosen short-range order (by default an SQS)."""

from __future__ import annotations

import json
import math
import os
import time

from kestrel._defaults import SEED, SHELLS, TIME_LIMIT, TOL
from kestrel.cli.common import CommandError, StatusLine, _structure_command
from kestrel.cli.inputs import read_input
from kestrel.io import write_structure
from kestrel.ordering import sqs
from kestrel.plotting.ordering import save_sqs_plot


class SearchProgress(StatusLine):
    """The best objective so far on standard error."""

    def __call__(self, seconds: float, best: float, trials: int) -> None:
        if math.isinf(best):  # no chain has started yet
            return
        self.show(seconds, f"{seconds:6.1f} s  best objective {best:.6f}  {trials / 1e6:8.2f} M trial swaps")


def _supercell(text: str):
    parts = text.lower().split("x")
    if len(parts) == 1:
        parts *= 3
    try:
        repeats = [int(part) for part in parts]
    except ValueError:
        repeats = []
    if len(repeats) != 3 or min(repeats) < 1:
        raise CommandError(f"--supercell takes NxNxN or N with whole numbers of at least 1, got {text!r}")
    return repeats


def _read_target(path: str):
    try:
        with open(path, encoding="utf-8") as handle:
            target = json.load(handle)
    except json.JSONDecodeError as error:
        raise CommandError(f"--target {path} is not JSON: {error}") from error
    if not isinstance(target, dict):
        raise CommandError(f'--target {path} must hold an object such as {{"Fe-Ni": [-0.1, 0.0, 0.0]}}')
    return target


def _weights(text: str):
    try:
        return [float(part) for part in text.split(",")]
    except ValueError as error:
        raise CommandError(f"--weights takes numbers separated by commas, got {text!r}") from error


def _time_limit(seconds: float, iterations):
    """--time as the library takes it: seconds, or None for --iterations alone."""
    if not math.isfinite(seconds) or seconds < 0:
        raise CommandError(f"--time must be a number of seconds, 0 or more, got {seconds:g}")
    if seconds == 0 and iterations is None:
        raise CommandError("--time 0 sets no time limit, so give --iterations, the trial swaps per chain")
    return seconds if seconds > 0 else None


def cmd_sqs(args) -> int:
    s = read_input(args).structure
    progress = SearchProgress()
    started = time.perf_counter()
    ordered, report = sqs(
        s,
        supercell=_supercell(args.supercell) if args.supercell else None,
        max_sites=args.max_sites,
        shells=args.shells,
        weights=_weights(args.weights) if args.weights else None,
        target=_read_target(args.target) if args.target else None,
        time_limit=_time_limit(args.time, args.iterations),
        iterations=args.iterations,
        n_threads=args.threads,
        seed=args.seed,
        tol=args.tol,
        progress=progress,
    )
    progress.finish()
    fmt = write_structure(ordered, args.output, comment=f"ordered from {os.path.basename(args.file)}")
    print(f"{repr(s)} -> {repr(ordered)}, written as {fmt} to {args.output}")
    print(report.table())
    print(f"{report.trials_per_second / report.chains / 1e6:.2f} M trial swaps per second per chain")
    for warning in report.warnings:
        print(f"warning: {warning}")
    if args.figure != "":
        figure = args.figure or os.path.splitext(args.output)[0] + "_sqs.png"
        r, weighted, _ = s.prdf(cutoff=args.cutoff, bin_size=args.bin_size, n_threads=args.threads)
        _, partials, _ = ordered.prdf(cutoff=args.cutoff, bin_size=args.bin_size, n_threads=args.threads)
        title = f"{os.path.basename(args.file)}: ordering (objective {report.objective:.4f}) and weighted curves"
        save_sqs_plot(figure, report.trace, r, partials, weighted, args.bin_size, title=args.title or title)
        print(f"figure written to {figure} ({time.perf_counter() - started:.1f} s in all)")
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel sqs`` to the subcommands."""
    p = _structure_command(
        sub,
        "sqs",
        "an ordering with chosen short-range order: a special quasirandom structure by default",
        "Arrange the partly occupied sites of a supercell so that the Warren-Cowley parameters of "
        "the first shells come as close to zero (or to --target) as the cell allows, and write it. "
        "The objective is the sum over shells s of w_s times the sum over species pairs of "
        "|alpha - target|, w_s = 1/s.",
        cmd_sqs,
    )
    size = p.add_mutually_exclusive_group(required=True)
    size.add_argument("--supercell", metavar="NxNxN", help="repeats along a, b and c, e.g. 4x4x4")
    size.add_argument("--max-sites", type=int, help="the largest n×n×n supercell with at most this many sites")
    p.add_argument("--shells", type=int, default=SHELLS, help="neighbour shells in the objective (default %(default)s)")
    p.add_argument("--weights", metavar="W1,W2,...", help="weight of each shell (default 1/s)")
    p.add_argument(
        "--target",
        metavar="ALPHA.json",
        help='JSON object of alpha per shell by pair, e.g. {"Fe-Ni": [-0.1, 0, 0]}; other pairs aim at 0',
    )
    p.add_argument(
        "--time", type=float, default=TIME_LIMIT, help="seconds of search (default %(default)s; 0: --iterations only)"
    )
    p.add_argument("--iterations", type=int, help="trial swaps per chain; with --time 0 the result reproduces")
    p.add_argument("--seed", type=int, default=SEED, help="seed of the chains (default %(default)s)")
    p.add_argument("--threads", type=int, default=0, help="chains, one per thread; 0 (default): the shared pool")
    p.add_argument(
        "--tol", type=float, default=TOL, help="Å within which distances share a shell (default %(default)s)"
    )
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output file: *.cif, *.vasp/POSCAR or *.xyz")
    p.add_argument(
        "--figure",
        metavar="PNG",
        help="figure of the search and of the partial RDFs (default OUT's name with _sqs.png; '' for none)",
    )
    p.add_argument("--cutoff", type=float, default=8.0, help="RDF cutoff in Å for the figure (default 8)")
    p.add_argument("--bin-size", type=float, default=0.05, help="RDF bin width in Å for the figure (default 0.05)")
    p.add_argument("--title", help="title for the figure")
