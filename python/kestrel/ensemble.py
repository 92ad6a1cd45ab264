"""Ordering ensembles: how much does one particular ordering of a disordered
crystal differ from the occupancy-weighted average?

Each ordering is an expansion of the partial occupancies with its own seed;
the curves of all orderings give a mean and a spread, which sit beside the
curves computed directly from the fractional occupancies.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Callable, Dict, List, Optional, Tuple

from _kestrel import Structure

if TYPE_CHECKING:
    import numpy as np

    from kestrel.pdf import EnsemblePdf

Pair = Tuple[str, str]

__all__ = ["EnsembleResult", "ordering_ensemble"]


@dataclass
class EnsembleResult:
    r: np.ndarray
    mean_partials: Dict[Pair, np.ndarray]
    std_partials: Dict[Pair, np.ndarray]
    mean_total: np.ndarray
    std_total: np.ndarray
    disordered_partials: Dict[Pair, np.ndarray]
    disordered_total: np.ndarray
    difference_partials: Dict[Pair, np.ndarray]  # mean of the orderings minus the weighted curve
    difference_total: np.ndarray
    seeds: List[int] = field(default_factory=list)
    reports: List[dict] = field(default_factory=list)
    density: float = 0.0
    pdf: Optional[EnsemblePdf] = None  # the weighted G(r), when asked for with pdf={...}


def ordering_ensemble(
    structure: Structure,
    n_orderings: int = 16,
    seed: int = 42,
    max_sites: int = 4096,
    max_denominator: int = 16,
    cutoff: float = 10.0,
    bin_size: float = 0.1,
    n_threads: int = 0,
    progress: Optional[Callable[[int, int], None]] = None,
    pdf: Optional[Dict[str, object]] = None,
) -> EnsembleResult:
    """Expand ``structure`` with seeds seed, seed + 1, ... and average the curves.

    Returns the mean and standard deviation of every partial and of the total
    over the orderings, the occupancy-weighted curves of the disordered
    structure, and the difference between the two. ``progress(done, total)``
    is called after each ordering.

    With ``pdf`` (a dict of :func:`kestrel.compute_pdf` options such as
    ``{"radiation": "neutron", "u_iso": 0.005}``; the cutoff defaults to
    ``cutoff``) the scattering-weighted G(r) of every ordering is computed
    too, and ``result.pdf`` holds its mean and spread beside the G(r) of the
    occupancy-weighted structure.
    """
    import numpy as np  # kestrel itself imports without NumPy

    if n_orderings < 1:
        raise ValueError("n_orderings must be at least 1")
    r, disordered_partials, disordered_total = structure.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
    pairs = list(disordered_partials)
    pdfs = None
    if pdf is not None:
        from kestrel.pdf import OrderingPdfs

        pdfs = OrderingPdfs(structure, pdf, cutoff, n_threads)
    stacks: Dict[Pair, List[np.ndarray]] = {pair: [] for pair in pairs}
    totals: List[np.ndarray] = []
    seeds: List[int] = []
    reports: List[dict] = []
    for k in range(n_orderings):
        this_seed = seed + k
        ordered, report = structure.expand_occupancies(
            max_sites=max_sites, seed=this_seed, max_denominator=max_denominator
        )
        _, partials, total = ordered.prdf(cutoff=cutoff, bin_size=bin_size, n_threads=n_threads)
        for pair in pairs:
            # An element that no ordering could place has no curve of its own.
            stacks[pair].append(partials.get(pair, np.zeros_like(r)))
        totals.append(total)
        if pdfs is not None:
            pdfs.add(ordered)
        seeds.append(this_seed)
        reports.append(report)
        if progress is not None:
            progress(k + 1, n_orderings)
    mean_partials = {pair: np.mean(stacks[pair], axis=0) for pair in pairs}
    std_partials = {pair: np.std(stacks[pair], axis=0) for pair in pairs}
    mean_total = np.mean(totals, axis=0)
    return EnsembleResult(
        r=r,
        mean_partials=mean_partials,
        std_partials=std_partials,
        mean_total=mean_total,
        std_total=np.std(totals, axis=0),
        disordered_partials=disordered_partials,
        disordered_total=disordered_total,
        difference_partials={pair: mean_partials[pair] - disordered_partials[pair] for pair in pairs},
        difference_total=mean_total - disordered_total,
        seeds=seeds,
        reports=reports,
        density=structure.n_atoms / structure.volume,
        pdf=pdfs.result() if pdfs is not None else None,
    )


def _pyplot():
    try:
        import matplotlib
    except ImportError as error:
        raise ImportError('plotting needs matplotlib: pip install "kestrel[plot]"') from error
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def save_ensemble_plots(result: EnsembleResult, folder: str, title: Optional[str] = None) -> List[str]:
    """Write ensemble.csv and ensemble.png (one panel per unordered pair plus the total).

    Each panel draws the mean over the orderings with a band of one standard
    deviation, over the occupancy-weighted curve of the disordered structure.
    Returns the paths written.
    """
    import csv
    import os

    os.makedirs(folder, exist_ok=True)
    pairs = [pair for pair in result.mean_partials if pair[0] <= pair[1]]
    csv_path = os.path.join(folder, "ensemble.csv")
    with open(csv_path, "w", newline="", encoding="utf-8") as handle:
        writer = csv.writer(handle)
        header = ["r", "total_weighted", "total_mean", "total_std"]
        for a, b in result.mean_partials:
            header += [f"{a}-{b}_weighted", f"{a}-{b}_mean", f"{a}-{b}_std"]
        writer.writerow(header)
        for k, r in enumerate(result.r):
            row = [r, result.disordered_total[k], result.mean_total[k], result.std_total[k]]
            for pair in result.mean_partials:
                row += [result.disordered_partials[pair][k], result.mean_partials[pair][k], result.std_partials[pair][k]]
            writer.writerow([f"{float(v):.10g}" for v in row])

    plt = _pyplot()
    panels = [("total", result.disordered_total, result.mean_total, result.std_total)]
    panels += [(f"{a}–{b}", result.disordered_partials[(a, b)], result.mean_partials[(a, b)],
                result.std_partials[(a, b)]) for a, b in pairs]
    columns = min(3, len(panels))
    rows = (len(panels) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(4.8 * columns, 3.4 * rows), squeeze=False, sharex=True)
    for axis, (label, weighted, mean, std) in zip(axes.flat, panels):
        axis.fill_between(result.r, mean - std, mean + std, color="tab:orange", alpha=0.3, linewidth=0,
                          label="orderings: mean ± 1σ")
        axis.plot(result.r, mean, color="tab:orange", linewidth=1.2)
        axis.plot(result.r, weighted, color="black", linewidth=1.0, linestyle="--", label="occupancy-weighted")
        axis.set_title(label)
        axis.tick_params(labelbottom=True)
        axis.set_xlabel("r (Å)")
        axis.set_ylabel("g(r) (Å⁻³)")
    for axis in list(axes.flat)[len(panels):]:
        axis.set_visible(False)
    axes.flat[0].legend(frameon=False, fontsize="small")
    figure.suptitle(title or f"{len(result.seeds)} orderings against the disordered structure")
    figure.tight_layout()
    png_path = os.path.join(folder, "ensemble.png")
    figure.savefig(png_path, dpi=150)
    plt.close(figure)
    return [csv_path, png_path]
