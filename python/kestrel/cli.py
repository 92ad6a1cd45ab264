"""The ``kestrel`` command line: info, rdf, expand, traj, ensemble, batch and pdf."""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
import warnings
from typing import Dict, List, Optional, Sequence, Tuple

import kestrel
from kestrel.io import format_from_name, read_structure, write_structure

FORMAT_HELP = "file format: cif, poscar (also vasp, contcar) or xyz; by default chosen from the file name"

RDF_CONVENTIONS = """\
what the curves are:
  partial A-B   pair density rho_B g_AB(r) in Å⁻³: B atoms per Å³ at distance r
                from an A atom (A is the centre); tends to rho_B = N_B / V.
                Divide by rho_B for the dimensionless g_AB(r), which tends to 1
                (--normalised draws that).
  total         rho g(r) in Å⁻³, tending to the number density rho = N / V.
  r             rdf.csv and Python's prdf() give lower bin edges (column r) and
                rdf.csv also bin centres (r_centre); the peak table prints
                centres. Partial occupancies count as fractional atoms.
  last bin      when the cutoff is not a whole number of bins, the last bin
                counts pairs only up to the cutoff but is divided by its whole
                shell, so it reads low; a warning says so.
"""


class CommandError(Exception):
    """A problem with the command line's own input, reported like a library error."""


# ---- helpers -----------------------------------------------------------------


class Progress:
    """Progress on standard error: a bar redrawn in place on a terminal, else a line per tenth.

    A log file or a pipe gets plain lines, not a screenful of carriage returns.
    """

    def __init__(self, total: int, what: str, stream=None, width: int = 30):
        self.total = max(total, 1)
        self.what = what
        self.stream = stream if stream is not None else sys.stderr
        self.width = width
        self.started = time.perf_counter()
        self.drawn = 0.0
        self.tenths_shown = 0
        isatty = getattr(self.stream, "isatty", None)
        self.on_terminal = bool(isatty and isatty())

    def update(self, done: int, total: Optional[int] = None, note: str = "") -> None:
        if total is not None:
            self.total = max(total, 1)
        if self.on_terminal:
            self._redraw(done, note)
        else:
            self._log(done, note)

    def _redraw(self, done: int, note: str) -> None:
        now = time.perf_counter()
        # Redraw at most ten times a second, and always the last state.
        if done < self.total and now - self.drawn < 0.1 and self.drawn:
            return
        self.drawn = now
        filled = int(self.width * done / self.total)
        elapsed = now - self.started
        bar = "#" * filled + "." * (self.width - filled)
        self.stream.write(f"\r[{bar}] {done}/{self.total} {self.what} {elapsed:6.1f} s{note}")
        if done >= self.total:
            self.stream.write("\n")
        self.stream.flush()

    def _log(self, done: int, note: str) -> None:
        tenths = 10 * min(done, self.total) // self.total
        if tenths <= self.tenths_shown:
            return
        self.tenths_shown = tenths
        elapsed = time.perf_counter() - self.started
        self.stream.write(f"{done}/{self.total} {self.what} ({10 * tenths}%) {elapsed:.1f} s{note.rstrip()}\n")
        self.stream.flush()


def _abc_angles(matrix: Sequence[Sequence[float]]) -> Tuple[List[float], List[float]]:
    def dot(u, v):
        return sum(x * y for x, y in zip(u, v))

    lengths = [math.sqrt(dot(v, v)) for v in matrix]
    a, b, c = matrix
    angles = []
    pairs = ((b, c, lengths[1], lengths[2]), (a, c, lengths[0], lengths[2]), (a, b, lengths[0], lengths[1]))
    for u, v, lu, lv in pairs:
        cosine = max(-1.0, min(1.0, dot(u, v) / (lu * lv)))
        angles.append(math.degrees(math.acos(cosine)))
    return lengths, angles


def first_peak(r, curve) -> Optional[Tuple[int, float]]:
    """Bin index and height of the first clear maximum of a curve, or None for a flat one.

    A local maximum counts when it reaches a fifth of the curve's highest
    value, so the ripples of a sparse histogram are passed over.
    """
    values = list(curve)
    if not values:
        return None
    highest = max(values)
    if not highest > 0:
        return None
    for i, value in enumerate(values):
        left = values[i - 1] if i > 0 else -math.inf
        right = values[i + 1] if i + 1 < len(values) else -math.inf
        if value >= 0.2 * highest and value >= left and value > right:
            return i, float(value)
    return None


def _parse_cell(text: Optional[str]):
    if text is None:
        return None
    parts = text.replace(",", " ").split()
    try:
        numbers = [float(p) for p in parts]
    except ValueError:
        raise CommandError(f"--cell needs 9 numbers, got '{text}'") from None
    if len(numbers) != 9:
        raise CommandError(f"--cell needs 9 numbers, got {len(numbers)}")
    return [numbers[0:3], numbers[3:6], numbers[6:9]]


def _save_curves(
    out: str,
    r,
    partials,
    total,
    bin_size: float,
    title: Optional[str],
    density: float,
    partner_densities: Optional[Dict[str, float]] = None,
    normalised: bool = False,
) -> None:
    from kestrel.plotting import save_prdf_plots

    save_prdf_plots(
        r,
        partials,
        total,
        out,
        bin_size=bin_size,
        title=title,
        density=density,
        partner_densities=partner_densities,
        normalised=normalised,
    )


def _print_peaks(r, partials, total, composition: Dict[str, float], volume: float, bin_size: float) -> None:
    # Peaks are placed at the centre of their bin; r holds the lower edges.
    # The curves are pair densities; dividing by the partner's density gives g.
    print(f"{'pair':<12}{'first peak r (Å)':>18}{'ρ_B g_AB (Å⁻³)':>16}{'g_AB':>10}")
    for (a, b), curve in partials.items():
        peak = first_peak(r, curve)
        label = f"{a}-{b}"
        if peak is None:
            print(f"{label:<12}{'-':>18}{'-':>16}{'-':>10}")
            continue
        partner_density = composition.get(b, 0.0) / volume
        relative = peak[1] / partner_density if partner_density > 0 else float("nan")
        centre = float(r[peak[0]]) + bin_size / 2
        print(f"{label:<12}{centre:>18.4f}{peak[1]:>16.5f}{relative:>10.3f}")
    peak = first_peak(r, total)
    if peak is not None:
        total_density = sum(composition.values()) / volume
        relative = peak[1] / total_density if total_density > 0 else float("nan")
        centre = float(r[peak[0]]) + bin_size / 2
        print(f"{'total':<12}{centre:>18.4f}{peak[1]:>16.5f}{relative:>10.3f}")
    print("r: bin centres; A-B: B atoms around an A atom")


def _partner_densities(composition: Dict[str, float], volume: float) -> Dict[str, float]:
    return {element: amount / volume for element, amount in composition.items()}


def _note_other_frames(path: str, fmt: Optional[str], cell) -> None:
    """Say so when an extended XYZ file holds more frames than the one read."""
    if (fmt or format_from_name(path) or "").lower() not in ("xyz", "extxyz"):
        return
    try:
        _, later, _ = kestrel.read_xyz_trajectory(path, start=1, stop=2, cell=cell)
    except ValueError:
        return
    if later:
        print(
            f"kestrel: note: {path} holds more than one frame and rdf used frame 0; "
            "`kestrel traj` averages over the frames",
            file=sys.stderr,
        )


# ---- subcommands -------------------------------------------------------------


def _cif_block_names(path: str) -> List[str]:
    """Names of the data blocks with atom sites, or none when they cannot all be read."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.CifReadWarning)
        try:
            return list(kestrel.read_cif_blocks(path))
        except (OSError, ValueError):
            return []


def cmd_info(args) -> int:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        s = read_structure(args.file, args.format)
    print(repr(s))
    is_cif = (args.format or os.path.splitext(args.file)[1].lstrip(".")).lower() == "cif"
    blocks = _cif_block_names(args.file) if is_cif else []
    if blocks:
        # With several, a warning below names the one shown.
        print(("data block: " if len(blocks) == 1 else "data blocks: ") + ", ".join(blocks))
    for warning in caught:
        print(f"warning: {warning.message}")
    lengths, angles = _abc_angles(s.lattice_matrix)
    print("lattice (Å):")
    for name, row in zip("abc", s.lattice_matrix):
        print(f"  {name}: {row[0]:12.6f} {row[1]:12.6f} {row[2]:12.6f}")
    print("  a = {:.4f}  b = {:.4f}  c = {:.4f} Å".format(*lengths))
    print("  alpha = {:.3f}  beta = {:.3f}  gamma = {:.3f} °".format(*angles))
    print(f"volume: {s.volume:.4f} Å³")
    print(f"atoms: {s.n_atoms:.4f} in {s.n_sites} sites")
    print("composition: " + ", ".join(f"{el} {amount:.4f}" for el, amount in s.composition.items()))
    summary = s.disorder_summary()
    if not summary:
        print("disorder: none (every site holds one element, fully occupied)")
        return 0
    print(f"disorder: {len(summary)} of {s.n_sites} sites are partly occupied or mixed")
    print(f"  {'site':>5}  {'x':>8} {'y':>8} {'z':>8}  {'occupancies':<32}{'total':>8}{'vacancy':>9}")
    for entry in summary:
        x, y, z = entry["frac_coords"]
        occupancies = ", ".join(f"{el} {occ:.4f}" for el, occ in entry["occupancies"].items())
        print(
            f"  {entry['site_index']:>5}  {x:8.4f} {y:8.4f} {z:8.4f}  {occupancies:<32}"
            f"{entry['total_occupancy']:8.4f}{entry['vacancy']:9.4f}"
        )
    return 0


def cmd_rdf(args) -> int:
    s = read_structure(args.file, args.format)
    _note_other_frames(args.file, args.format, s.lattice_matrix)
    started = time.perf_counter()
    r, partials, total = s.prdf(cutoff=args.cutoff, bin_size=args.bin_size, n_threads=args.threads)
    elapsed = time.perf_counter() - started
    threads = args.threads or kestrel.Structure.available_threads()
    print(repr(s))
    _print_peaks(r, partials, total, s.composition, s.volume, args.bin_size)
    print(
        f"computed {len(partials)} partial curves of {len(r)} bins up to {args.cutoff:g} Å "
        f"in {elapsed * 1000:.1f} ms on {threads} threads"
    )
    if args.out:
        _save_curves(
            args.out,
            r,
            partials,
            total,
            args.bin_size,
            args.title,
            s.n_atoms / s.volume,
            _partner_densities(s.composition, s.volume),
            args.normalised,
        )
        print(f"figures and rdf.csv written to {args.out}")
    return 0


def cmd_expand(args) -> int:
    s = read_structure(args.file, args.format)
    ordered, report = s.expand_occupancies(
        max_sites=args.max_sites, seed=args.seed, max_denominator=args.max_denominator
    )
    fmt = write_structure(ordered, args.output, comment=f"expanded from {os.path.basename(args.file)}")
    n = report["scale"][0]
    print(f"{repr(s)} -> {repr(ordered)}")
    print(f"supercell {n}x{n}x{n}, {report['n_vacancies']} vacancies, written as {fmt} to {args.output}")
    if report["occupancy_report"]:
        print(f"  {'element':<8}{'target':>9}{'sites':>7}{'placed':>8}{'actual':>9}")
        for row in report["occupancy_report"]:
            print(
                f"  {row['element']:<8}{row['target_occupancy']:9.4f}{row['sites_in_pool']:7d}"
                f"{row['atoms_placed']:8d}{row['actual_occupancy']:9.4f}"
            )
    for warning in report["warnings"]:
        print(f"warning: {warning}")
    return 0


def cmd_traj(args) -> int:
    cell = _parse_cell(args.cell)
    progress = None

    def show_progress(done: int, total: int) -> None:
        nonlocal progress
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
    )
    elapsed = time.perf_counter() - started
    indices = result.frame_indices
    print(f"read {result.frames_read} frames, kept {len(indices)} ({indices[0]} to {indices[-1]})")
    print(f"frame-averaged curves of {repr(result.last_frame)}")
    _print_peaks(
        result.r, result.mean_partials, result.mean_total, result.mean_composition, result.mean_volume, args.bin_size
    )
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
        )
        print(f"figures and rdf.csv written to {args.out}")
    return 0


def cmd_ensemble(args) -> int:
    s = read_structure(args.file, args.format)
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
    for warning in result.reports[0]["warnings"]:
        print(f"warning: {warning}")
    if args.out:
        from kestrel.plotting import save_ensemble_plots

        save_ensemble_plots(result, args.out, title=args.title)
        print(f"figures and ensemble.csv written to {args.out}")
    return 0


def _percent(value: float, peak: float) -> str:
    return f"{100 * value / peak:.2f}" if peak > 0 else "-"


def _batch_note(started: float, done: int, total: int, errors: int) -> str:
    """Rate, errors so far and time left, for the batch progress bar."""
    elapsed = time.perf_counter() - started
    rate = done / elapsed if elapsed > 0 else 0.0
    left = f"{(total - done) / rate:.0f} s left" if rate > 0 else "-- s left"
    return f", {rate:.0f}/s, {errors} errors, {left}   "


def cmd_batch(args) -> int:
    from kestrel.batch import write_rdf_table

    elements = args.elements.split(",") if args.elements is not None else None
    progress = Progress(0, "inputs")
    started = time.perf_counter()

    def show(done: int, total: int, errors: int) -> None:
        progress.update(done, total, note=_batch_note(started, done, total, errors))

    summary = write_rdf_table(
        args.inputs,
        args.out,
        cutoff=args.cutoff,
        bin_size=args.bin_size,
        curves=args.curves,
        elements=elements,
        workers=args.workers,
        client=args.scheduler,
        resume=not args.restart,
        progress=show,
    )
    if summary.skipped:
        print(f"skipped {summary.skipped} inputs already in {summary.out}")
    print(
        f"{summary.sources} inputs, {summary.rows} rows: {summary.ok} ok, {summary.errors} errors, "
        f"in {summary.seconds:.2f} s ({summary.rate:.0f} inputs/s, {summary.mode}, {summary.workers} workers); "
        f"table written to {summary.out}"
    )
    if summary.warned:
        print(f"{summary.warned} rows carry warnings of the reader (column warnings)")


def _parse_u_iso(text: str, elements: Sequence[str]):
    """'0.005', 'Fe=0.004,Ni=0.005' or '0.005,Fe=0.004' (the bare number for the rest)."""
    default = None
    per_element: Dict[str, float] = {}
    for part in text.replace(" ", "").split(","):
        name, _, value = part.rpartition("=")
        try:
            number = float(value)
        except ValueError:
            raise CommandError(f"--u-iso: expected a number or ELEMENT=NUMBER, found '{part}'") from None
        if name:
            per_element[name] = number
        else:
            default = number
    if default is None and not per_element:
        raise CommandError("--u-iso: no value given")
    if default is None:
        return per_element
    return {element: per_element.get(element, default) for element in elements}


def _pdf_u_iso(args, structure):
    """The u_iso for compute_pdf and where it came from: --u-iso, else a CIF's own values."""
    from kestrel.scattering.displacements import DEFAULT_U_ISO, cif_u_iso

    if args.u_iso is not None:
        return _parse_u_iso(args.u_iso, structure.elements), "from --u-iso"
    fmt = args.format or format_from_name(args.file)
    if (fmt or "").lower() != "cif":
        return DEFAULT_U_ISO, "the default; give --u-iso to set it"
    u_iso, notes = cif_u_iso(args.file, structure, DEFAULT_U_ISO)
    for note in notes:
        warnings.warn(note, stacklevel=2)
    return u_iso, f"from the displacement parameters of {os.path.basename(args.file)}"


def _pdf_peaks(r, g, count: int = 5) -> List[Tuple[float, float]]:
    """The first local maxima of G(r) that rise above zero to a tenth of its highest value."""
    highest = max(g) if len(g) else 0.0
    peaks = []
    for k in range(1, len(g) - 1):
        if g[k] > 0.1 * highest and g[k] >= g[k - 1] and g[k] > g[k + 1]:
            peaks.append((float(r[k]), float(g[k])))
            if len(peaks) == count:
                break
    return peaks


def cmd_pdf(args) -> int:
    from kestrel.plotting import save_pdf_plots
    from kestrel.scattering import compute_pdf, fit_to_data, read_gr

    s = read_structure(args.file, args.format)
    u_iso, u_origin = _pdf_u_iso(args, s)
    options = dict(
        radiation=args.radiation, u_iso=u_iso, qmax=args.qmax, qdamp=args.qdamp, partials=True, n_threads=args.threads
    )
    started = time.perf_counter()
    fit = None
    if args.data:
        data = read_gr(args.data)
        fit = fit_to_data(s, data, rmin=args.rmin, rmax=args.rmax, **options)
        result = fit.model
    else:
        rmax = 20.0 if args.rmax is None else args.rmax
        result = compute_pdf(s, cutoff=rmax, bin_size=args.bin_size, **options)
        if args.rmin is not None:
            keep = result.r >= args.rmin
            result.r, result.g = result.r[keep], result.g[keep]
            result.partials = {pair: curve[keep] for pair, curve in result.partials.items()}
    elapsed = time.perf_counter() - started
    print(repr(s))
    scattering = ", ".join(f"{el} {value:g}" for el, value in result.scattering.items())
    unit = "fm" if result.radiation == "neutron" else "electrons"
    print(f"{result.radiation} G(r), scattering powers ({unit}, {result.source}): {scattering}")
    print(f"u_iso (Å², {u_origin}): " + ", ".join(f"{el} {u:g}" for el, u in result.u_iso.items()))
    print(f"{'peak':<6}{'r (Å)':>10}{'G (Å⁻²)':>12}")
    for k, (position, height) in enumerate(_pdf_peaks(result.r, result.g), start=1):
        print(f"{k:<6}{position:>10.3f}{height:>12.4f}")
    if fit is not None:
        print(f"fit over {fit.rmin:g} to {fit.rmax:g} Å ({len(fit.r)} points): scale {fit.scale:.6g}, Rw {fit.rw:.4f}")
    print(f"computed {len(result.r)} points in {elapsed * 1000:.1f} ms")
    if args.out:
        save_pdf_plots(result, args.out, fit=fit, title=args.title)
        print(f"figures and pdf.csv written to {args.out}")
    return 0


# ---- parser ------------------------------------------------------------------


def _rdf_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--cutoff", type=float, default=10.0, help="largest pair distance in Å (default 10)")
    p.add_argument("--bin-size", type=float, default=0.1, help="histogram bin width in Å (default 0.1)")
    p.add_argument(
        "--threads", type=int, default=0, help="worker threads; 0 (default) uses the shared pool sized to the machine"
    )
    p.add_argument("--out", metavar="DIR", help="write PNG figures and a CSV of the curves into DIR")
    p.add_argument("--title", help="title for the figures")


def _normalised_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--normalised",
        action="store_true",
        help="draw the dimensionless g_AB(r) = pair density / ρ_B, which tends to 1, instead of the "
        "pair densities (the CSV keeps the pair densities)",
    )


def _expand_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--max-sites",
        type=int,
        default=4096,
        help="largest number of sites the n×n×n supercell may hold (default 4096)",
    )
    p.add_argument("--seed", type=int, default=42, help="seed of the random placement (default 42)")
    p.add_argument(
        "--max-denominator",
        type=int,
        default=16,
        help="largest denominator used to approximate an occupancy as a fraction (default 16)",
    )


def _structure_command(
    sub, name: str, summary: str, description: str, run, epilog: Optional[str] = None
) -> argparse.ArgumentParser:
    """A subcommand that reads one structure file."""
    p = sub.add_parser(
        name,
        help=summary,
        description=description,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter if epilog else argparse.HelpFormatter,
    )
    p.add_argument("file", help="structure file (CIF, POSCAR/CONTCAR or extended XYZ)")
    p.add_argument("--format", help=FORMAT_HELP)
    p.set_defaults(run=run)
    return p


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrel", description="Radial distribution functions of periodic crystals, partial occupancies included."
    )
    parser.add_argument("--version", action="version", version=f"kestrel {kestrel.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    _structure_command(
        sub,
        "info",
        "show a structure, its lattice, composition and disorder",
        "Print the structure, its lattice, volume, composition and a table of its partly "
        "occupied or mixed sites; for a CIF also its data blocks and what the reader had to "
        "decide on its own (skipped rows, merged images, elements from labels, ...).",
        cmd_info,
    )

    p = _structure_command(
        sub,
        "rdf",
        "partial and total radial distribution functions",
        "Compute the element-resolved partial and the total RDF over all periodic images, "
        "partial occupancies as weights; print the first peak of each partial and, with "
        "--out, write figures and a CSV.",
        cmd_rdf,
        epilog=RDF_CONVENTIONS,
    )
    _rdf_options(p)
    _normalised_option(p)

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

    p = sub.add_parser(
        "traj",
        help="frame-averaged RDF of a multi-frame extended XYZ trajectory",
        description="Read the selected frames of an extended XYZ trajectory and average their partial and total RDFs.",
    )
    p.add_argument("file", help="multi-frame extended XYZ file")
    p.add_argument("--start", type=int, default=0, help="first frame to keep, counted from 0 (default 0)")
    p.add_argument("--every", type=int, default=1, help="keep every n-th frame from --start (default 1)")
    p.add_argument("--stop", type=int, default=None, help="stop before this frame (default: the end)")
    p.add_argument(
        "--cell",
        metavar='"9 NUMBERS"',
        help="lattice vectors a, b, c as 9 numbers in Å, for files without Lattice= fields",
    )
    _rdf_options(p)
    _normalised_option(p)
    p.set_defaults(run=cmd_traj)

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

    p = sub.add_parser(
        "batch",
        help="RDFs of many structure files into a Parquet table",
        description="Compute the RDFs of every input (files, folders, globs) into one Parquet table, "
        "a row per structure; inputs that fail become rows with status error. A run "
        "started again with the same output skips the inputs already done.",
    )
    p.add_argument("inputs", nargs="+", help="structure files, folders (walked) or quoted globs")
    p.add_argument("--out", required=True, help="*.parquet for one file; any other name for a dataset directory")
    p.add_argument("--cutoff", type=float, default=10.0, help="largest pair distance in Å (default 10)")
    p.add_argument("--bin-size", type=float, default=0.1, help="histogram bin width in Å (default 0.1)")
    p.add_argument(
        "--curves",
        choices=["both", "total", "partials"],
        default="both",
        help="which curves the table keeps (default both)",
    )
    p.add_argument(
        "--elements",
        metavar="A,B,...",
        help="fixed element list: every row gets a feature vector over its element pairs",
    )
    p.add_argument("--workers", type=int, default=None, help="local workers (default: one per core)")
    p.add_argument("--scheduler", metavar="ADDRESS", help="run on a Dask cluster (e.g. tcp://host:8786)")
    p.add_argument("--restart", action="store_true", help="compute everything again instead of resuming")
    p.set_defaults(run=cmd_batch)

    p = _structure_command(
        sub,
        "pdf",
        "X-ray or neutron pair distribution function G(r), optionally against data",
        "Compute the total-scattering G(r) = 4πr[ρ(r) − ρ₀] with Faber–Ziman weights, thermal "
        "broadening and optional Q-range termination; with --data, fit its scale to a measured "
        "G(r) and report Rw. With --out, write pdf.csv and figures.",
        cmd_pdf,
    )
    p.add_argument(
        "--radiation",
        choices=["xray", "neutron"],
        default="xray",
        help="X-ray (form factors at Q = 0) or neutron (coherent scattering lengths); default xray",
    )
    p.add_argument(
        "--u-iso",
        default=None,
        metavar="U",
        help="isotropic displacement parameter in Å²: one number, or ELEMENT=U pairs such as "
        "Fe=0.004,Ni=0.005 (a bare number sets the rest); default: a CIF's own U_iso, B_iso "
        "or anisotropic U, averaged per element (0.005 where it gives none), else 0.005",
    )
    p.add_argument("--qmax", type=float, default=None, help="apply the termination of a Q range ending at QMAX (Å⁻¹)")
    p.add_argument(
        "--qdamp", type=float, default=0.0, help="instrument resolution: damp G(r) by exp(-(QDAMP r)²/2); default 0"
    )
    p.add_argument("--data", metavar="FILE", help="measured G(r): a .gr file of r, G (and uncertainty) columns")
    p.add_argument("--rmin", type=float, default=None, help="smallest r of the output and the fit (Å)")
    p.add_argument(
        "--rmax",
        type=float,
        default=None,
        help="largest r of the output and the fit (Å); default 20, or the end of the data",
    )
    p.add_argument("--bin-size", type=float, default=0.01, help="r step of the model without data (default 0.01)")
    p.add_argument(
        "--threads", type=int, default=0, help="worker threads; 0 (default) uses the shared pool sized to the machine"
    )
    p.add_argument("--out", metavar="DIR", help="write pdf.csv, pdf.png and pdf_partials.png into DIR")
    p.add_argument("--title", help="title for the figures")
    return parser


# The whole-number options by their argparse name: flag and smallest value.
# The library takes them as unsigned 64-bit integers.
_COUNT_OPTIONS = {
    "threads": ("--threads", 0),
    "orderings": ("--orderings", 1),
    "max_sites": ("--max-sites", 1),
    "max_denominator": ("--max-denominator", 1),
    "seed": ("--seed", 0),
    "start": ("--start", 0),
    "every": ("--every", 1),
    "stop": ("--stop", 0),
    "workers": ("--workers", 1),
}
_LENGTH_OPTIONS = {"cutoff": "--cutoff", "bin_size": "--bin-size"}
_LARGEST_COUNT = 2**64 - 1

# Library messages that name a Python argument, reworded for the command line.
_FLAG_HINTS = (
    ("so pass cell=[[a],[b],[c]]", 'so pass --cell "ax ay az bx by bz cx cy cz"'),
    ("pass the format (cif, poscar or xyz)", "pass --format cif, poscar or xyz"),
    ("every must be at least 1", "--every must be at least 1"),
)


def check_options(args) -> None:
    """Refuse flag values the library would misread, naming the flag."""
    for dest, (flag, least) in _COUNT_OPTIONS.items():
        value = getattr(args, dest, None)
        if value is None:
            continue
        if value < least:
            wanted = "0 (all cores) or more" if dest == "threads" else f"at least {least}"
            raise CommandError(f"{flag} must be {wanted}, got {value}")
        if value > _LARGEST_COUNT:
            raise CommandError(f"{flag} is too large: {value}")
    for dest, flag in _LENGTH_OPTIONS.items():
        value = getattr(args, dest, None)
        if value is not None and not math.isfinite(value):
            raise CommandError(f"{flag} must be a finite number of Å, got {value}")
    cutoff, bin_size = getattr(args, "cutoff", None), getattr(args, "bin_size", None)
    if cutoff is not None and bin_size is not None and 0 < bin_size <= cutoff:
        _warn_about_last_bin(cutoff, bin_size)


def _warn_about_last_bin(cutoff: float, bin_size: float) -> None:
    # The same edges as the library: ceil((cutoff + bin) / bin) of them, k * bin each.
    last_edge = (math.ceil((cutoff + bin_size) / bin_size) - 1) * bin_size
    if last_edge > cutoff * (1 + 1e-12):
        print(
            f"kestrel: warning: the cutoff {cutoff:g} Å is not a whole number of {bin_size:g} Å bins; the last "
            f"bin ({last_edge - bin_size:g} to {last_edge:g} Å) counts pairs only up to {cutoff:g} Å but is "
            "divided by its whole shell, so it reads low",
            file=sys.stderr,
        )


def _one_line(error: BaseException) -> str:
    message = str(error).replace("\n", " ")
    for library_words, command_words in _FLAG_HINTS:
        message = message.replace(library_words, command_words)
    return message


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    print(f"kestrel: warning: {_one_line(Warning(message))}", file=sys.stderr)


def _quiet_stdout() -> None:
    # Python flushes stdout once more at exit; with the reader gone that
    # flush would fail again and print a complaint, so point it at /dev/null.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _show_warning
            check_options(args)
            status = args.run(args)
            sys.stdout.flush()
            return status
    except BrokenPipeError:
        # The reader went away (`kestrel ... | head`): stop quietly, with the
        # status of a program ended by SIGPIPE.
        _quiet_stdout()
        return 141
    except (ValueError, OSError, ImportError, CommandError) as error:
        print(f"kestrel: error: {_one_line(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("kestrel: interrupted", file=sys.stderr)
        return 130
    except SystemExit:
        raise
    except BaseException as error:  # noqa: BLE001 - one line, never a traceback
        # Anything else is a bug of ours: a TypeError means we called the
        # library wrongly, and the extension's internal error derives from
        # BaseException. Still one line, but say so.
        print(f"kestrel: internal error ({type(error).__name__}): {_one_line(error)}", file=sys.stderr)
        return 2
