"""``kestrel info``: a structure, its lattice, composition and disorder."""

from __future__ import annotations

import warnings
from typing import Any, Dict

from kestrel.cli.common import _abc_angles, _cif_block_names, _structure_command, json_option, print_json
from kestrel.cli.inputs import read_input


def describe_structure(args) -> Dict[str, Any]:
    """What ``kestrel info`` shows, as plain data (the --json output)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        source = read_input(args, count_frames=True)
    s = source.structure
    lengths, angles = _abc_angles(s.lattice_matrix)
    return {
        "file": args.file,
        "structure": repr(s),
        "frame": source.frame,
        "frames": source.frames,
        "data_blocks": _cif_block_names(args.file) if source.kind == "cif" else [],
        "warnings": [str(warning.message) for warning in caught],
        "lattice_matrix": s.lattice_matrix,
        "lengths": lengths,
        "angles": angles,
        "volume": s.volume,
        "n_atoms": s.n_atoms,
        "n_sites": s.n_sites,
        "composition": s.composition,
        "disorder": s.disorder_summary(),
    }


def cmd_info(args) -> int:
    info = describe_structure(args)
    if args.json:
        print_json(info)
        return 0
    print(info["structure"])
    if info["frames"] is not None and info["frames"] > 1:
        print(f"frame {info['frame']} of {info['frames']} (`kestrel traj` reads them all)")
    blocks = info["data_blocks"]
    if blocks:
        # With several, a warning below names the one shown.
        print(("data block: " if len(blocks) == 1 else "data blocks: ") + ", ".join(blocks))
    for warning in info["warnings"]:
        print(f"warning: {warning}")
    print("lattice (Å):")
    for name, row in zip("abc", info["lattice_matrix"]):
        print(f"  {name}: {row[0]:12.6f} {row[1]:12.6f} {row[2]:12.6f}")
    print("  a = {:.4f}  b = {:.4f}  c = {:.4f} Å".format(*info["lengths"]))
    print("  alpha = {:.3f}  beta = {:.3f}  gamma = {:.3f} °".format(*info["angles"]))
    print(f"volume: {info['volume']:.4f} Å³")
    print(f"atoms: {info['n_atoms']:.4f} in {info['n_sites']} sites")
    print("composition: " + ", ".join(f"{el} {amount:.4f}" for el, amount in info["composition"].items()))
    summary = info["disorder"]
    if not summary:
        print("disorder: none (every site holds one element, fully occupied)")
        return 0
    print(f"disorder: {len(summary)} of {info['n_sites']} sites are partly occupied or mixed")
    with_units = "unit" in summary[0]
    if with_units:
        _print_units(summary)
    shown = summary if args.all else summary[:FIRST_SITES]
    _print_site_table(shown, with_units)
    if len(shown) < len(summary):
        print(f"  ... and {len(summary) - len(shown)} more; --all lists every site")
    return 0


# Sites listed without --all: enough to see what the disorder is like, few
# enough that the summary above them stays on the screen.
FIRST_SITES = 20


def _print_site_table(summary, with_units: bool) -> None:
    # The occupancies column is as wide as its widest entry, so that sites of
    # four or more species keep the columns after it in line.
    texts = [", ".join(f"{el} {occ:.4f}" for el, occ in entry["occupancies"].items()) for entry in summary]
    width = max([32] + [len(text) + 2 for text in texts])
    unit_head = f"{'unit':>6}{'alt':>5}  {'found by':<9}" if with_units else ""
    head = f"  {'site':>5}  {'x':>8} {'y':>8} {'z':>8}  {'occupancies':<{width}}{'total':>8}{'vacancy':>9}"
    print((head + unit_head).rstrip())
    for entry, occupancies in zip(summary, texts):
        x, y, z = entry["frac_coords"]
        units = _unit_columns(entry) if with_units else ""
        print(
            f"  {entry['site_index']:>5}  {x:8.4f} {y:8.4f} {z:8.4f}  {occupancies:<{width}}"
            f"{entry['total_occupancy']:8.4f}{entry['vacancy']:9.4f}{units}".rstrip()
        )


def _print_units(summary) -> None:
    """How many units of alternatives that never coexist, and how each kind was found."""
    found_by: dict = {}
    for entry in summary:
        if entry["unit"] is not None:
            found_by.setdefault(entry["unit_found_by"], set()).add(entry["unit"])
    total = sum(len(units) for units in found_by.values())
    kinds = ", ".join(f"{len(found_by[kind])} from {_HOW[kind]}" for kind in _HOW if kind in found_by)
    print(f"units: {total} places holding one of their alternatives, or nothing ({kinds})")


_HOW = {
    "groups": "disorder groups",
    "symmetry": "images on a symmetry element",
    "distance": "positions closer than 0.7 Å",
    "declared": "the caller",
}


def _unit_columns(entry) -> str:
    if entry["unit"] is None:
        return f"{'-':>6}{'-':>5}  {'-':<9}"
    return f"{entry['unit']:>6}{entry['alternative']:>5}  {entry['unit_found_by']:<9}"


def add_parser(sub) -> None:
    """Adds ``kestrel info`` to the subcommands."""
    p = _structure_command(
        sub,
        "info",
        "show a structure, its lattice, composition and disorder",
        "Print the structure, its lattice, volume, composition and a table of its partly "
        "occupied or mixed sites; for a CIF also its data blocks and what the reader had to "
        "decide on its own (skipped rows, merged images, elements from labels, ...); for a "
        "trajectory (XYZ or LAMMPS dump), which frame it shows.",
        cmd_info,
    )
    p.add_argument(
        "--all", action="store_true", help=f"list every partly occupied or mixed site, not only the first {FIRST_SITES}"
    )
    json_option(p, "all of it")
