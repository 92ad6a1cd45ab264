"""What the commands share: the error of the command line's own input, progress, options and printing helpers."""

from __future__ import annotations

import argparse
import json
import math
import sys
import threading
import time
import warnings
from typing import Dict, List, Optional, Sequence, Tuple

import kestrel
from kestrel._defaults import BIN_SIZE, CUTOFF, MAX_BYTES, MAX_DENOMINATOR, MAX_SITES, OCCUPANCY_TOLERANCE, SEED
from kestrel.cli.errors import CommandError
from kestrel.cli.inputs import add_input_options
from kestrel.plotting import save_prdf_plots

FORMAT_HELP = (
    "file format: cif, poscar (also vasp, contcar), xyz or lammps (a text dump); by default chosen from the file name"
)


# ---- helpers -----------------------------------------------------------------


class StatusLine:
    """A line of live status on standard error: redrawn in place on a terminal, else written once a second.

    A log file or a pipe gets a plain line a second, not a screenful of carriage returns.
    """

    def __init__(self, stream=None):
        self.stream = stream if stream is not None else sys.stderr
        isatty = getattr(self.stream, "isatty", None)
        self.on_terminal = bool(isatty and isatty())
        self.shown = 0.0

    def show(self, seconds: float, line: str) -> None:
        if self.on_terminal:
            self.stream.write("\r" + line)
        elif seconds - self.shown >= 1.0:
            self.shown = seconds
            self.stream.write(line + "\n")
        self.stream.flush()

    def finish(self) -> None:
        if self.on_terminal:
            self.stream.write("\n")
            self.stream.flush()


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
        filled = int(self.width * min(done, self.total) / self.total)
        bar = "#" * filled + "." * (self.width - filled)
        self.stream.write(f"\r[{bar}] {self.state(done, now - self.started)}{note}")
        if done >= self.total:
            self.stream.write("\n")
        self.stream.flush()

    def _log(self, done: int, note: str) -> None:
        tenths = 10 * min(done, self.total) // self.total
        if tenths <= self.tenths_shown:
            return
        self.tenths_shown = tenths
        self.stream.write(f"{self.state(done, time.perf_counter() - self.started)}{note.rstrip()}\n")
        self.stream.flush()

    def state(self, done: int, elapsed: float) -> str:
        """ "57/151 inputs (37%), 12.0 s, 4.75 inputs/s": the share is of what is done, rounded down."""
        percent = 100 * min(done, self.total) // self.total
        rate = f", {_per_second(done / elapsed)} {self.what}/s" if done and elapsed > 0 else ""
        return f"{done}/{self.total} {self.what} ({percent}%), {elapsed:.1f} s{rate}"


def _per_second(rate: float) -> str:
    # Three digits or so whatever the size: 0.123, 4.56, 78.9, 1234.
    return f"{rate:.3g}" if rate < 100 else f"{rate:.0f}"


class SlowCallNote:
    """A line on standard error while one long library call runs, once it has taken ``after`` seconds.

    The RDF is one call into the engine, which gives no progress of its own,
    so this says only that it is still working and for how long: redrawn in
    place on a terminal, a line every ``log_every`` seconds otherwise. The call
    must release the interpreter lock (the engine's calls do) for the note's
    thread to run; Ctrl-C still reaches the call, which runs on the main thread.
    """

    def __init__(self, what: str, stream=None, after: float = 2.0, log_every: float = 30.0):
        self.what = what
        self.stream = stream if stream is not None else sys.stderr
        self.after = after
        self.log_every = log_every
        isatty = getattr(self.stream, "isatty", None)
        self.on_terminal = bool(isatty and isatty())
        self._finished = threading.Event()
        self._shown = False
        self._thread = threading.Thread(target=self._watch, name="kestrel-progress", daemon=True)

    def __enter__(self) -> "SlowCallNote":
        self.started = time.perf_counter()
        self._thread.start()
        return self

    def __exit__(self, *exc_info) -> None:
        self._finished.set()
        self._thread.join()
        if self._shown and self.on_terminal:
            elapsed = time.perf_counter() - self.started
            self.stream.write(f"\r{self.what}: done in {elapsed:.1f} s\n")
            self.stream.flush()

    def _watch(self) -> None:
        if self._finished.wait(self.after):
            return
        interval = 0.5 if self.on_terminal else self.log_every
        while not self._finished.is_set():
            elapsed = time.perf_counter() - self.started
            end = "" if self.on_terminal else "\n"
            self.stream.write(
                f"\r{self.what}: still running, {elapsed:.0f} s{end}"
                if self.on_terminal
                else f"{self.what}: still running, {elapsed:.0f} s{end}"
            )
            self.stream.flush()
            self._shown = True
            self._finished.wait(interval)


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
    std_total=None,
    std_partials=None,
    figures: str = "grid",
) -> None:

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
        std_total=std_total,
        std_partials=std_partials,
        figures=figures,
    )


def peak_table(r, partials, total, composition: Dict[str, float], volume: float, bin_size: float) -> List[dict]:
    """The first peak of each partial and of the total: one dict per curve, for printing or JSON.

    Keys: "pair" ("A-B" or "total"), "a" and "b" (None for the total), "r" (the bin centre, Å),
    "pair_density" (the curve's height, Å⁻³) and "g" (that height over the partner's density);
    the last three are None for a curve without a clear peak.
    """
    # Peaks are placed at the centre of their bin; r holds the lower edges.
    # The curves are pair densities; dividing by the partner's density gives g.
    rows = []
    curves = [((a, b), curve, composition.get(b, 0.0) / volume) for (a, b), curve in partials.items()]
    curves.append((None, total, sum(composition.values()) / volume))
    for pair, curve, partner_density in curves:
        peak = first_peak(r, curve)
        row = {"pair": "total" if pair is None else f"{pair[0]}-{pair[1]}", "a": None, "b": None}
        if pair is not None:
            row["a"], row["b"] = pair
        if peak is None:
            row.update(r=None, pair_density=None, g=None)
        else:
            relative = peak[1] / partner_density if partner_density > 0 else None
            row.update(r=float(r[peak[0]]) + bin_size / 2, pair_density=peak[1], g=relative)
        if pair is not None or peak is not None:
            rows.append(row)
    return rows


def _print_peaks(r, partials, total, composition: Dict[str, float], volume: float, bin_size: float) -> None:
    print(f"{'pair':<12}{'first peak r (Å)':>18}{'ρ_B g_AB (Å⁻³)':>16}{'g_AB':>10}")
    for row in peak_table(r, partials, total, composition, volume, bin_size):
        if row["r"] is None:
            print(f"{row['pair']:<12}{'-':>18}{'-':>16}{'-':>10}")
            continue
        relative = row["g"] if row["g"] is not None else float("nan")
        print(f"{row['pair']:<12}{row['r']:>18.4f}{row['pair_density']:>16.5f}{relative:>10.3f}")
    print("r: bin centres; A-B: B atoms around an A atom")


def json_option(p: argparse.ArgumentParser, what: str) -> None:
    p.add_argument("--json", action="store_true", help=f"print {what} as JSON on standard output, nothing else")


def print_json(data) -> None:
    # ensure_ascii: the JSON then travels through any terminal or pipe encoding.
    print(json.dumps(data, indent=2, allow_nan=False))


def _partner_densities(composition: Dict[str, float], volume: float) -> Dict[str, float]:
    return {element: amount / volume for element, amount in composition.items()}


# ---- subcommands -------------------------------------------------------------


def _cif_block_names(path: str) -> List[str]:
    """Names of the data blocks with atom sites, or none when they cannot all be read."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kestrel.CifReadWarning)
        try:
            return list(kestrel.read_cif_blocks(path))
        except (OSError, ValueError):
            return []


# ---- parser ------------------------------------------------------------------


def _rdf_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--cutoff", type=float, default=CUTOFF, help="largest pair distance in Å (default %(default)s)")
    p.add_argument("--bin-size", type=float, default=BIN_SIZE, help="histogram bin width in Å (default %(default)s)")
    p.add_argument(
        "--threads", type=int, default=0, help="worker threads; 0 (default) uses the shared pool sized to the machine"
    )
    p.add_argument("--out", metavar="DIR", help="write PNG figures and a CSV of the curves into DIR")
    p.add_argument("--title", help="title for the figures")


def _byte_count(text: str) -> int:
    """A number of bytes, as given or with a K, M or G (binary) after it: 2G, 500M."""
    scale = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    number = text[:-1] if scale > 1 else text
    try:
        count = int(float(number) * scale)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of bytes such as 2G or 500M, found '{text}'") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"expected at least one byte, found '{text}'")
    return count


def reading_limit_options(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--max-bytes",
        type=_byte_count,
        default=MAX_BYTES,
        metavar="N",
        help="refuse a file whose text, decompressed, passes N bytes, given as a count or as 2G, 500M "
        "(default %(default)s, 1 GiB)",
    )
    p.add_argument(
        "--occupancy-tolerance",
        type=float,
        default=OCCUPANCY_TOLERANCE,
        metavar="T",
        help="a CIF site whose occupancies add up to at most 1 + T is taken as rounded and scaled to 1; "
        "above that it is refused (default %(default)s)",
    )


def _files_written(figures: str) -> str:
    """What --out wrote, as the closing line names it."""
    return {"grid": "rdf.csv and rdf.png", "each": "rdf.csv, rdf.png and a figure per curve", "none": "rdf.csv"}[
        figures
    ]


def _figures_option(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--figures",
        choices=("grid", "each", "none"),
        default="grid",
        help="with --out: grid (default) draws every curve in one figure, rdf.png; each adds a file per "
        "curve (total_rdf.png, partial_A-B.png); none writes rdf.csv alone",
    )


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
        default=MAX_SITES,
        help="largest number of sites the n×n×n supercell may hold (default %(default)s)",
    )
    p.add_argument("--seed", type=int, default=SEED, help="seed of the random placement (default %(default)s)")
    p.add_argument(
        "--max-denominator",
        type=int,
        default=MAX_DENOMINATOR,
        help="largest denominator used to approximate an occupancy as a fraction (default %(default)s)",
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
    p.add_argument(
        "file", help="structure file (CIF, POSCAR/CONTCAR or extended XYZ), XYZ trajectory or LAMMPS text dump"
    )
    p.add_argument("--format", help=FORMAT_HELP)
    p.add_argument(
        "--block",
        metavar="NAME",
        help="the data block of a CIF to read (default: the first with a cell and atom sites)",
    )
    reading_limit_options(p)
    add_input_options(p)
    p.set_defaults(run=run)
    return p
