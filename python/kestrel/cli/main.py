"""The ``kestrel`` command line: the parser of every command, the checks on options, and one line per error."""

from __future__ import annotations

import argparse
import codecs
import errno
import math
import os
import sys
import warnings
from typing import Optional, Sequence

import kestrel
from kestrel.cli import batch, debye, ensemble, expand, info, pdf, rdf, rmc, sq, sqs, traj
from kestrel.cli.common import CommandError


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kestrel", description="Radial distribution functions of periodic crystals, partial occupancies included."
    )
    parser.add_argument("--version", action="version", version=f"kestrel {kestrel.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    info.add_parser(sub)
    rdf.add_parser(sub)
    expand.add_parser(sub)
    traj.add_parser(sub)
    ensemble.add_parser(sub)
    batch.add_parser(sub)
    pdf.add_parser(sub)
    sqs.add_parser(sub)
    sq.add_parser(sub)
    debye.add_parser(sub)
    rmc.add_parser(sub)
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
    "frame": ("--frame", 0),
    "workers": ("--workers", 1),
    "shells": ("--shells", 1),
    "iterations": ("--iterations", 0),
}
_LENGTH_OPTIONS = {"cutoff": "--cutoff", "bin_size": "--bin-size"}
_LARGEST_COUNT = 2**64 - 1

# The advice for an error that names the parameter that would mend it
# (its `parameter` field), in the command line's terms.
_FLAG_ADVICE = {
    "cell": ', so pass --cell "ax ay az bx by bz cx cy cz"',
    "types": ", so pass --types 1=Na,2=Cl, an element for each type",
    "fmt": "; pass --format cif, poscar or xyz",
    "occupancy_tolerance": "; pass a larger --occupancy-tolerance to scale it down to 1 as rounding",
    "max_bytes": "; pass a larger --max-bytes to read it",
}


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


def _one_line(error: BaseException) -> str:
    return str(error).replace("\n", " ")


def describe(error: BaseException) -> str:
    """One line for an error, put together from its fields: the file, the line, the reason and advice."""
    parameter, reason = getattr(error, "parameter", None), getattr(error, "reason", None)
    if parameter in _FLAG_ADVICE and reason is not None:
        filename, line = getattr(error, "filename", None), getattr(error, "line", None)
        where = (f"{filename}: " if filename else "") + (f"line {line}: " if line else "")
        return _one_line(Exception(where + reason + _FLAG_ADVICE[parameter]))
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
        if error.errno == errno.EISDIR:
            text += "; give a structure file, not a directory (`kestrel batch` reads every file of a folder)"
        return _one_line(Exception(text))
    return _one_line(error)


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    print(f"kestrel: warning: {_one_line(Warning(message))}", file=sys.stderr)


# What the output's non-ASCII characters become on a stream that cannot
# encode them (PYTHONIOENCODING=ascii, an old console): readable spellings,
# and "?" for anything else (element names and paths are the user's own).
_ASCII_SPELLINGS = (
    ("⁻³", "^-3"),
    ("⁻²", "^-2"),
    ("⁻¹", "^-1"),
    ("³", "^3"),
    ("²", "^2"),
    ("Å", "A"),
    ("ρ", "rho"),
    ("π", "pi"),
    ("σ", "sigma"),
    ("°", " deg"),
    ("×", "x"),
    ("−", "-"),
    ("–", "-"),
    ("₀", "0"),
    ("…", "..."),
)


def _spell_in_ascii(error: UnicodeEncodeError):
    # The handler gets the whole run of characters the codec could not
    # encode, so "Å⁻³" arrives together and reads "A^-3".
    text = error.object[error.start : error.end]
    for unicode, ascii in _ASCII_SPELLINGS:
        text = text.replace(unicode, ascii)
    return "".join(ch if ord(ch) < 128 else "?" for ch in text), error.end


codecs.register_error("kestrel-ascii", _spell_in_ascii)


def _streams_that_cannot_say_angstrom() -> None:
    """Let the output through on streams whose encoding lacks Å, ρ and ⁻³, spelled in ASCII."""
    for stream in (sys.stdout, sys.stderr):
        encoding = getattr(stream, "encoding", None) or "ascii"
        try:
            "Åρ⁻³°".encode(encoding)
        except (UnicodeEncodeError, LookupError):
            reconfigure = getattr(stream, "reconfigure", None)
            if reconfigure is not None:
                reconfigure(errors="kestrel-ascii")


def _quiet_stdout() -> None:
    # Python flushes stdout once more at exit; with the reader gone that
    # flush would fail again and print a complaint, so point it at /dev/null.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the ``kestrel`` command line.

    Parameters: ``argv``, the arguments (default: the process's). Returns the exit status: 0, 1 for
    an error (one line on standard error), 2 for a fault of kestrel's own, 130 when interrupted.
    """
    _streams_that_cannot_say_angstrom()
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
        print(f"kestrel: error: {describe(error)}", file=sys.stderr)
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
