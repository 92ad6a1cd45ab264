"""``kestrel pdf``: the X-ray or neutron G(r), optionally against measured data."""

from __future__ import annotations

import os
import time
import warnings
from typing import Dict, List, Sequence, Tuple

from kestrel._kestrel import _cif_site_u_iso
from kestrel.cli.common import CommandError, _structure_command
from kestrel.cli.inputs import read_input
from kestrel.io import format_from_name
from kestrel.plotting import save_pdf_plots
from kestrel.scattering import compute_pdf, fit_to_data, read_gr, refine_pdf
from kestrel.scattering.displacements import DEFAULT_U_ISO, cif_u_iso
from kestrel.scattering.q_files import Q_KINDS


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


def _file_u_iso(args, structure, needed: Sequence[str]):
    """Per-element U from a CIF's own displacement parameters, else the default, and which it was.

    The description is true of the elements in ``needed``: a CIF that gives
    none of them a value is not said to be their source.
    """

    default = {element: DEFAULT_U_ISO for element in structure.elements}
    fmt = args.format or format_from_name(args.file)
    if (fmt or "").lower() != "cif":
        return default, f"the default {DEFAULT_U_ISO:g}"
    given = {element for site in _cif_site_u_iso(args.file, block=args.block) for element, u in site.items() if u}
    name = os.path.basename(args.file)
    if not given & set(needed):
        return default, f"the default {DEFAULT_U_ISO:g} ({name} gives none)"
    u_iso, notes = cif_u_iso(args.file, structure, DEFAULT_U_ISO, block=args.block)
    for note in notes:
        warnings.warn(note, stacklevel=2)
    return u_iso, f"from the displacement parameters of {name}"


def _pdf_u_iso(args, structure):
    """The per-element u_iso for compute_pdf and where each value came from, in one line.

    --u-iso sets what it names; the other elements take the CIF's own values,
    else the default, and the line says which elements took which.
    """
    given = _parse_u_iso(args.u_iso, structure.elements) if args.u_iso is not None else {}
    unknown = [element for element in given if element not in structure.elements]
    if unknown:
        raise CommandError(
            f"--u-iso names {', '.join(unknown)}, which the structure does not hold "
            f"(it holds {', '.join(structure.elements)})"
        )
    rest = [element for element in structure.elements if element not in given]
    if not rest:
        return given, "from --u-iso"
    from_file, origin = _file_u_iso(args, structure, rest)
    u_iso = {element: given.get(element, from_file[element]) for element in structure.elements}
    if not given:
        # Only a default is worth a hint; the file's own values are the user's.
        return u_iso, origin + ("; give --u-iso to set it" if origin.startswith("the default") else "")
    return u_iso, f"{', '.join(given)} from --u-iso; {', '.join(rest)} {origin}"


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

    if args.refine is not None:
        return _refine(args)
    s = read_input(args).structure
    u_iso, u_origin = _pdf_u_iso(args, s)
    options = dict(
        radiation=args.radiation or "xray",
        u_iso=u_iso,
        qmax=args.qmax,
        qdamp=args.qdamp or 0.0,
        partials=True,
        n_threads=args.threads,
    )
    started = time.perf_counter()
    fit = None
    if args.data:
        if len(args.data) > 1 or args.kind not in (None, "gr") or _q_suffix(args.data[0]):
            raise CommandError(
                "comparing with S(Q), F(Q) or I(Q) data, or with several --data, is a refinement: "
                "add --refine (such as --refine scale)"
            )
        data = read_gr(args.data[0])
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
        save_pdf_plots(result, args.out, fit=fit, title=args.title, u_source=u_origin, source=args.file)
        print(f"figures and pdf.csv written to {args.out}")
    return 0


def _refine(args) -> int:
    """``--refine``: a least-squares refinement against ``--data``, its table, CSVs and figure."""

    if not args.data:
        raise CommandError("--refine needs --data: the measured G(r), S(Q), F(Q) or I(Q) to refine against")
    s = read_input(args).structure
    u_iso = None if args.u_iso is None else _parse_u_iso(args.u_iso, s.elements)
    if u_iso is None and (args.format or format_from_name(args.file) or "").lower() == "cif":
        u_iso = cif_u_iso(args.file, s, DEFAULT_U_ISO)[0]
    with warnings.catch_warnings(record=True):
        warnings.simplefilter("always", RuntimeWarning)  # the report lists them
        fit = refine_pdf(
            s,
            args.data,
            kind=_kinds(args.kind, len(args.data)),
            q_range=_q_range(args.q_range),
            start=_starts(args.start_values),
            radiation=args.radiation,
            vary=args.refine,
            rmin=args.rmin,
            rmax=args.rmax,
            qmax=args.qmax,
            qdamp=args.qdamp,
            u_iso=u_iso,
            fix=args.fix or (),
            n_threads=args.threads,
        )
    print(repr(s))
    print("settings: " + ", ".join(f"{key} {origin}" for key, origin in fit.settings.items()))
    print(fit.report())
    out = args.out or os.path.splitext(os.path.basename(args.file))[0] + "_refinement"
    written = fit.save_plots(out, title=args.title)
    print("written: " + ", ".join(written))
    return 0 if fit.converged else 1


def _q_suffix(path: str) -> bool:
    return os.path.splitext(path)[1].lstrip(".").lower() in Q_KINDS


def _kinds(text, count: int):
    """--kind: one kind for every --data, or one per --data, comma-separated ('-' goes by the suffix)."""
    if text is None:
        return None
    kinds = [None if part.strip() in ("", "-") else part.strip() for part in text.split(",")]
    if len(kinds) == 1:
        return kinds[0]
    if len(kinds) != count:
        raise CommandError(f"--kind names {len(kinds)} kinds for {count} --data files; give one, or one per file")
    return kinds


def _q_range(text):
    """--q-range QMIN:QMAX in Å⁻¹."""
    if text is None:
        return None
    low, colon, high = text.partition(":")
    try:
        if not colon:
            raise ValueError
        return float(low), float(high)
    except ValueError:
        raise CommandError(f"--q-range: expected QMIN:QMAX in Å⁻¹, such as 1.5:25, found '{text}'") from None


def _starts(text):
    """--start NAME=VALUE,...: start values of parameters by the names of the table."""
    if text is None:
        return None
    starts = {}
    for part in text.split(","):
        name, equals, value = part.strip().rpartition("=")
        try:
            if not (equals and name):
                raise ValueError
            starts[name.strip()] = float(value)
        except ValueError:
            raise CommandError(f"--start: expected NAME=VALUE, such as diameter=30, found '{part.strip()}'") from None
    return starts


def add_parser(sub) -> None:
    """Adds ``kestrel pdf`` to the subcommands."""
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
        default=None,
        help="X-ray (form factors at Q = 0) or neutron (coherent scattering lengths); default: what the data's "
        "header states, else xray",
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
        "--qdamp",
        type=float,
        default=None,
        help="instrument resolution: damp G(r) by exp(-(QDAMP r)²/2); default: the data's header, else 0 "
        "(with --refine: the start value)",
    )
    p.add_argument(
        "--data",
        metavar="FILE",
        action="append",
        help="measured G(r): a .gr file of r, G (and uncertainty) columns; with --refine also S(Q), F(Q) or I(Q) "
        "in .sq, .fq or .iq files of Q and value columns; give --data again to refine against several at once",
    )
    p.add_argument(
        "--kind",
        metavar="KIND",
        default=None,
        help="what a --data file holds where its suffix does not say: gr, sq, fq or iq; one for every file, "
        "or comma-separated, one per --data ('-' goes by the suffix)",
    )
    p.add_argument(
        "--q-range", metavar="QMIN:QMAX", default=None, help="with --refine: the Q range (Å⁻¹) of the fit to data in Q"
    )
    p.add_argument(
        "--start",
        dest="start_values",
        metavar="NAME=VALUE,...",
        default=None,
        help="with --refine: start values by the names of the table, such as diameter=30,a=3.52",
    )
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
    p.add_argument(
        "--refine",
        metavar="NAMES",
        default=None,
        help="refine against --data by least squares, varying the comma-separated NAMES among scale, lattice, "
        "uiso, uaniso, delta1, delta2, qdamp, qbroad, diameter, xyz, occupancy; prints the parameters with "
        "their uncertainties and Rw (one per data set and a joint one), writes refinement.csv (G(r)), "
        "refinement_fq.csv (and the like for data in Q), parameters.csv and refinement.png into --out "
        "(default STRUCTURE_refinement); exits 1 when the fit does not converge",
    )
    p.add_argument(
        "--fix",
        metavar="NAMES",
        default=None,
        help="with --refine: comma-separated parameters to hold at their start values although their kind "
        "is refined, by the names of the table (such as 'z(Zn0)' or 'U(O)')",
    )
