"""``kestrel ensemble``: the RDF spread over many orderings of a disordered structure."""

from __future__ import annotations

import kestrel
from kestrel.cli.common import Progress, _expand_options, _rdf_options, _structure_command
from kestrel.cli.inputs import read_input
from kestrel.cli.sqs import _read_target
from kestrel.plotting import save_ensemble_plots


def cmd_ensemble(args) -> int:
    s = read_input(args).structure
    progress = Progress(args.orderings, "orderings")
    result = kestrel.ordering_ensemble(
        s,
        n_orderings=args.orderings,
        seed=args.seed,
        max_sites=args.max_sites,
        max_denominator=args.max_denominator,
        cutoff=args.cutoff,
        bin_size=args.bin_size,
        n_threads=args.threads,
        progress=progress.update,
        sro=_sro(args.sro),
    )
    print(repr(s))
    n = result.reports[0]["scale"][0]
    print(f"{len(result.seeds)} orderings (seeds {result.seeds[0]} to {result.seeds[-1]}), supercell {n}x{n}x{n}")
    # Absolute numbers alone do not say whether a spread matters: each is
    # also given as a share of the peak of its own weighted curve.
    print(f"  {'curve':<10}{'max |mean - weighted|':>34}{'max std':>26}")
    print(f"  {'':<10}{'Å⁻³':>20}{'% of peak':>14}{'Å⁻³':>12}{'% of peak':>14}")
    for label, difference, spread, peak in result.deviations():
        print(
            f"  {label:<10}{difference:20.5f}{_percent(difference, peak):>14}{spread:12.5f}{_percent(spread, peak):>14}"
        )
    if result.sro is not None:
        objectives = result.sro.objectives()
        print(
            f"{result.sro.label} orderings from the same random starts: objective {min(objectives):.4f} to "
            f"{max(objectives):.4f}; sro.png sets them beside the random fills"
        )
    for warning in result.reports[0]["warnings"]:
        print(f"warning: {warning}")
    if args.out:
        save_ensemble_plots(result, args.out, title=args.title)
        print(f"figures and ensemble.csv written to {args.out}")
    return 0


def _sro(text):
    """None, "random", or the target a JSON file holds."""
    if text is None or text == "random":
        return text

    return _read_target(text)


def _percent(value: float, peak: float) -> str:
    return f"{100 * value / peak:.2f}" if peak > 0 else "-"


def add_parser(sub) -> None:
    """Adds ``kestrel ensemble`` to the subcommands."""
    p = _structure_command(
        sub,
        "ensemble",
        "RDF spread over many random orderings of a disordered structure",
        "Expand the structure with seeds seed, seed+1, ..., compute the curves of every "
        "ordering, and compare their mean and spread with the occupancy-weighted curves of "
        "the disordered structure.",
        cmd_ensemble,
    )
    p.add_argument("--orderings", type=int, default=16, help="number of orderings (default 16)")
    _expand_options(p)
    _rdf_options(p)
    p.add_argument(
        "--sro",
        metavar="random|ALPHA.json",
        help="also search each ordering for a short-range order: 'random' for SQS, or a JSON target of alpha "
        "per shell by pair; the searched orderings and the random fills share one n×n×n supercell",
    )
