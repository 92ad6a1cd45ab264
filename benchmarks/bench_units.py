"""The cost of correlated disorder in the RDF: a molecular crystal with units against its ordered twin.

Units add an exact correction over the pairs within each unit to the ordinary pair loop. This runs
prdf on three structures of the same size and cutoff:

- the ordered twin: every atom fully occupied;
- the same sites with partial occupancies and no units (the independent weights);
- the same sites with every molecule a unit of two orientations (the correlated weights).

and prints the best of a few runs of each, with the ratio to the ordered twin. The target is the
molecular crystal with units within 10% of the ordered twin. A structure without units takes the same
path as before the units existed; compare this script's middle line across versions for that.

    PYTHONPATH=build:python python3 benchmarks/bench_units.py [--cells 6] [--repeats 5] [--cutoff 10]
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from kestrel import Structure

# A small molecule in two orientations: a C-O pair and a C-N pair at 1.2 A, sharing the C.
ORIENTATIONS = [
    [("C", (0.0, 0.0, 0.0)), ("O", (1.2, 0.0, 0.0)), ("H", (-0.6, 0.9, 0.0)), ("H", (-0.6, -0.9, 0.0))],
    [("C", (0.05, 0.05, 0.0)), ("O", (0.0, 1.2, 0.0)), ("H", (0.9, -0.6, 0.0)), ("H", (-0.9, -0.6, 0.0))],
]
CELL = 6.0  # angstrom per molecule along each axis


def crystal(cells: int, kind: str) -> Structure:
    """`cells`^3 molecules on a cubic lattice; kind is 'ordered', 'independent' or 'units'."""
    rng = np.random.default_rng(7)
    edge = CELL * cells
    frac, species, units = [], [], []
    for index, corner in enumerate(np.ndindex(cells, cells, cells)):
        centre = (np.array(corner) + 0.5) * CELL + rng.uniform(-0.3, 0.3, 3)
        chosen = ORIENTATIONS[:1] if kind == "ordered" else ORIENTATIONS
        for alternative, orientation in enumerate(chosen):
            occupancy = 1.0 if kind == "ordered" else (0.6, 0.4)[alternative]
            for element, offset in orientation:
                frac.append(list((centre + np.array(offset)) / edge))
                species.append({element: occupancy})
                units.append((index, alternative))
    matrix = [[edge, 0, 0], [0, edge, 0], [0, 0, edge]]
    if kind != "units":
        return Structure(matrix, frac, species)  # as a version without units builds it
    return Structure(matrix, frac, species, units=units)


def best_time(structure: Structure, cutoff: float, repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        structure.prdf(cutoff=cutoff, bin_size=0.05)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=6)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--cutoff", type=float, default=10.0)
    args = parser.parse_args()
    # The ordered twin has as many sites as the disordered ones: two molecules per cell, both whole.
    twin = crystal(args.cells, "independent")
    ordered = Structure(twin.lattice_matrix, twin.frac_coords, [{next(iter(s)): 1.0} for s in twin.species])
    cases = [("ordered twin", ordered), ("partial, no units", twin)]
    try:
        cases.append(("partial, units", crystal(args.cells, "units")))
    except TypeError:
        print("(this version has no units: their line is left out)")
    print(f"{twin.n_sites} sites, cutoff {args.cutoff} A, best of {args.repeats}")
    reference = None
    for name, structure in cases:
        seconds = best_time(structure, args.cutoff, args.repeats)
        reference = reference or seconds
        print(f"  {name:<20} {seconds * 1e3:9.2f} ms   x{seconds / reference:.3f}")


if __name__ == "__main__":
    main()
