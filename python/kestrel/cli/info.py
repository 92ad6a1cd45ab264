"""``kestrel info``: a structure, its lattice, composition and disorder."""

from __future__ import annotations

import warnings
from typing import Any, Dict, Optional

from kestrel.cli.common import _abc_angles, _cif_block_names, _structure_command, json_option, print_json
from kestrel.io import format_from_name, read_structure


def _xyz_frames(path: str, fmt: Optional[str]) -> Optional[int]:
    """How many frames an extended XYZ file holds (its first is what was read), else None."""
    from kestrel._kestrel import _count_xyz_trajectory_frames

    if (fmt or format_from_name(path) or "").lower() not in ("xyz", "extxyz"):
        return None
    try:
        frames, _ = _count_xyz_trajectory_frames(path)
    except (OSError, ValueError):
        return None
    return frames


def describe_structure(args) -> Dict[str, Any]:
    """What ``kestrel info`` shows, as plain data (the --json output)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = read_structure(args.file, args.format, block=args.block, occupancy_tolerance=args.occupancy_tolerance)
    is_cif = (args.format or format_from_name(args.file) or "").lower() == "cif"
    lengths, angles = _abc_angles(s.lattice_matrix)
    frames = _xyz_frames(args.file, args.format)
    return {
        "file": args.file,
        "structure": repr(s),
        "frame": 0 if frames is not None else None,
        "frames": frames,
        "data_blocks": _cif_block_names(args.file) if is_cif else [],
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
        print(f"frame 0 of {info['frames']} (`kestrel traj` reads them all)")
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
    unit_head = f"{'unit':>6}{'alt':>5}  {'found by':<9}" if with_units else ""
    print(
        f"  {'site':>5}  {'x':>8} {'y':>8} {'z':>8}  {'occupancies':<32}{'total':>8}{'vacancy':>9}{unit_head}".rstrip()
    )
    for entry in summary:
        x, y, z = entry["frac_coords"]
        occupancies = ", ".join(f"{el} {occ:.4f}" for el, occ in entry["occupancies"].items())
        units = _unit_columns(entry) if with_units else ""
        print(
            f"  {entry['site_index']:>5}  {x:8.4f} {y:8.4f} {z:8.4f}  {occupancies:<32}"
            f"{entry['total_occupancy']:8.4f}{entry['vacancy']:9.4f}{units}".rstrip()
        )
    return 0


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
        "multi-frame extended XYZ, which frame it shows.",
        cmd_info,
    )
    json_option(p, "all of it")
