"""``kestrel traj``: the frame-averaged RDF of a trajectory."""

from __future__ import annotations

import time

import kestrel
from kestrel.cli.common import (
    Progress,
    _figures_option,
    _files_written,
    _normalised_option,
    _parse_cell,
    _partner_densities,
    _print_peaks,
    _rdf_options,
    _save_curves,
)
from kestrel.cli.inputs import parse_types


def cmd_traj(args) -> int:
    cell = _parse_cell(args.cell)
    progress = None

    def show_progress(done: int, total: int) -> None:
        nonlocal progress
        if total == 0:
            return  # a pipe: the total is not known beforehand
        if progress is None:
            progress = Progress(total, "frames")
        progress.update(done)

    started = time.perf_counter()
    result = kestrel.trajectory_rdf(
        args.file,
        every=args.every,
        start=args.start,
        stop=args.stop,
        cell=cell,
        cutoff=args.cutoff,
        bin_size=args.bin_size,
        n_threads=args.threads,
        progress=show_progress,
        types=parse_types(args.types),
    )
    elapsed = time.perf_counter() - started
    indices = result.frame_indices
    print(f"read {result.frames_read} frames, kept {len(indices)} ({indices[0]} to {indices[-1]})")
    print(f"frame-averaged curves of {repr(result.last_frame)}")
    _print_peaks(
        result.r, result.mean_partials, result.mean_total, result.mean_composition, result.mean_volume, args.bin_size
    )
    spread = float(max(result.std_total)) if len(result.std_total) else 0.0
    print(f"largest spread of the total over the frames: {spread:.5f} Å⁻³ (standard deviation)")
    print(f"computed {len(indices)} frames in {elapsed:.2f} s")
    if args.out:
        _save_curves(
            args.out,
            result.r,
            result.mean_partials,
            result.mean_total,
            args.bin_size,
            args.title,
            result.mean_n_atoms / result.mean_volume,
            _partner_densities(result.mean_composition, result.mean_volume),
            args.normalised,
            std_total=result.std_total,
            std_partials=result.std_partials,
            figures=args.figures,
        )
        print(
            f"{_files_written(args.figures)} written to {args.out} "
            "(means, and in rdf.csv their spread over the frames as *_std columns)"
        )
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel traj`` to the subcommands."""
    p = sub.add_parser(
        "traj",
        help="frame-averaged RDF of a trajectory (extended XYZ or LAMMPS dump)",
        description="Read the selected frames of an extended XYZ trajectory or a LAMMPS text dump (*.lammpstrj, "
        "*.dump, dump.*) and average their partial and total RDFs.",
    )
    p.add_argument("file", help="multi-frame extended XYZ file or LAMMPS text dump (a named pipe works too)")
    p.add_argument("--start", type=int, default=0, help="first frame to keep, counted from 0 (default 0)")
    p.add_argument("--every", type=int, default=1, help="keep every n-th frame from --start (default 1)")
    p.add_argument("--stop", type=int, default=None, help="stop before this frame (default: the end)")
    p.add_argument(
        "--cell",
        metavar='"9 NUMBERS"',
        help="lattice vectors a, b, c as 9 numbers in Å, for files without Lattice= fields",
    )
    p.add_argument(
        "--types",
        metavar='"1=Na,2=Cl"',
        help="elements of a LAMMPS dump's atom types, for dumps without an element column",
    )
    _rdf_options(p)
    _figures_option(p)
    _normalised_option(p)
    p.set_defaults(run=cmd_traj)
