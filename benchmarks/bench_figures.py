"""The figures of `kestrel rdf --out` and `prdf(save_plots=...)` against one bare matplotlib figure.

An 8-element structure has 36 unordered pairs: with the total, 37 curves.
Drawn as 37 axes, or as 37 files, the figures used to cost 40 times the
computation. The target: the default figure (all 37 curves in one PNG) costs
at most a few bare figures (matplotlib's default figure, one axes, one line), and
the CSV alone nothing worth measuring.

Printed: the median CPU seconds of each step over a few rounds (CPU rather
than wall time, so that other work on a shared machine counts less), and each
step over the bare figure.

Run: PYTHONPATH=build:python python3 benchmarks/bench_figures.py [rounds]
"""

import os
import statistics
import sys
import tempfile
import time

import numpy as np

from kestrel import Structure
from kestrel.plotting import save_prdf_plots

ELEMENTS = ["Al", "Ca", "Fe", "Mg", "Na", "O", "Si", "Ti"]


def eight_elements(n_sites=40, edge=9.0, seed=3):
    """Sites at least 1.6 Å apart in a cube, the eight elements in turn, some shared."""
    rng = np.random.default_rng(seed)
    frac = []
    while len(frac) < n_sites:
        candidate = rng.random(3)
        if all(np.linalg.norm((candidate - f + 0.5) % 1.0 - 0.5) * edge > 1.6 for f in frac):
            frac.append(candidate)
    species = []
    for k in range(n_sites):
        a, b = ELEMENTS[k % 8], ELEMENTS[(k + 3) % 8]
        species.append({a: 0.7, b: 0.3} if k % 5 == 0 else {a: 1.0})
    return Structure(np.eye(3) * edge, np.array(frac).tolist(), species)


def bare_figure(path):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure()  # matplotlib's defaults: 6.4 x 4.8 inches at 100 dpi
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    x = np.linspace(0, 10, 100)
    axes.plot(x, np.sin(x))
    figure.savefig(path)


def cpu_seconds(fn, rounds):
    fn()  # imports, font caches
    times = []
    for _ in range(rounds):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return statistics.median(times)


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    s = eight_elements()
    folder = tempfile.mkdtemp(prefix="kestrel-figures-")
    r, partials, total = s.prdf(10.0, 0.1)
    density = s.n_atoms / s.volume
    rho = {element: amount / s.volume for element, amount in s.composition.items()}

    def save(figures):
        return lambda: save_prdf_plots(r, partials, total, folder, 0.1, None, density, rho, figures=figures)

    steps = [
        ("bare figure (1 axes, 1 line)", lambda: bare_figure(os.path.join(folder, "bare.png"))),
        ("prdf, 10 Å", lambda: s.prdf(10.0, 0.1)),
        ("CSV only (figures='none')", save("none")),
        ("default: one figure of 37 panels", save("grid")),
        ("figures='each': that and 37 files", save("each")),
    ]
    print(f"{s!r}: {len(partials)} partials; median CPU seconds of {rounds} rounds")
    bare = None
    for name, fn in steps:
        seconds = cpu_seconds(fn, rounds)
        bare = bare or seconds
        print(f"{name:38s} {seconds:8.3f} s  {seconds / bare:6.1f} bare figures")


if __name__ == "__main__":
    main()
