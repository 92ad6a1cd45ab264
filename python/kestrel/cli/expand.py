"""``kestrel expand``: an ordered supercell that meets the occupancies."""

from __future__ import annotations

import os

from kestrel.cli.common import _expand_options, _structure_command
from kestrel.cli.inputs import read_input
from kestrel.io import write_structure


def cmd_expand(args) -> int:
    s = read_input(args).structure
    ordered, report = s.expand_occupancies(
        max_sites=args.max_sites, seed=args.seed, max_denominator=args.max_denominator
    )
    fmt = write_structure(ordered, args.output, comment=f"expanded from {os.path.basename(args.file)}")
    n = report["scale"][0]
    print(f"{repr(s)} -> {repr(ordered)}")
    print(f"supercell {n}x{n}x{n}, {report['n_vacancies']} vacancies, written as {fmt} to {args.output}")
    if report["occupancy_report"]:
        # A pool is named by its first site in the input: two pools may hold the same elements.
        print(f"  {'pool (first site, x y z)':<30}{'element':<8}{'target':>9}{'sites':>7}{'placed':>8}{'actual':>9}")
        for row in report["occupancy_report"]:
            x, y, z = row["frac_coords"]
            pool = f"site {row['site_index']} ({x:.4f} {y:.4f} {z:.4f})"
            print(
                f"  {pool:<30}{row['element']:<8}{row['target_occupancy']:9.4f}{row['sites_in_pool']:7d}"
                f"{row['atoms_placed']:8d}{row['actual_occupancy']:9.4f}"
            )
    if report.get("unit_report"):
        # Each copy of a unit took one whole alternative, or none.
        print(f"  {'unit':<6}{'alt':>4}{'target':>9}{'copies':>8}{'placed':>8}{'actual':>9}")
        for row in report["unit_report"]:
            print(
                f"  {row['unit']:<6}{row['alternative']:>4}{row['target_occupancy']:9.4f}{row['units_in_pool']:8d}"
                f"{row['copies_placed']:8d}{row['actual_occupancy']:9.4f}"
            )
    for warning in report["warnings"]:
        print(f"warning: {warning}")
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel expand`` to the subcommands."""
    p = _structure_command(
        sub,
        "expand",
        "expand partial occupancies into an ordered supercell",
        "Place whole atoms on an n×n×n supercell so that the occupancies are met as closely "
        "as the site limit allows, and write it as POSCAR, extended XYZ or CIF.",
        cmd_expand,
    )
    _expand_options(p)
    p.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="OUT",
        help="output file: *.vasp, *.poscar, POSCAR or CONTCAR for POSCAR; *.xyz or *.extxyz for "
        "extended XYZ; *.cif for CIF",
    )
