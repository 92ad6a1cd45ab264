"""``kestrel sq``: the S(Q), F(Q) and I(Q) of a crystal, as a CSV and a figure."""

from __future__ import annotations

import math
import time

import numpy as np

from kestrel.cli.common import CommandError, _structure_command
from kestrel.io import read_structure

Q_DEFAULT = "0.5:25:0.01"


def q_grid(text: str):
    """'START:STOP:STEP' in Å⁻¹ as the points START, START + STEP, ... up to STOP (included when on the grid)."""

    parts = text.split(":")
    try:
        start, stop, step = (float(part) for part in parts)
    except ValueError:
        raise CommandError(f"--q must be START:STOP:STEP in Å⁻¹, such as {Q_DEFAULT}; got '{text}'") from None
    if not all(math.isfinite(v) for v in (start, stop, step)) or start < 0 or step <= 0 or stop < start:
        raise CommandError(f"--q needs 0 <= START <= STOP and STEP > 0, got '{text}'")
    count = int(math.floor((stop - start) / step * (1.0 + 1e-12))) + 1
    if count > 10_000_000:
        raise CommandError(f"--q asks for {count} points; at most 10,000,000")
    return start + np.arange(count) * step


def cmd_sq(args) -> int:
    from kestrel.cli.pdf import _pdf_u_iso
    from kestrel.plotting.reciprocal import save_reciprocal_plots
    from kestrel.scattering import compute_sq

    q = q_grid(args.q)
    s = read_structure(args.file, args.format, block=args.block)
    u_iso, u_origin = _pdf_u_iso(args, s)
    if args.qdamp is not None and not (math.isfinite(args.qdamp) and args.qdamp >= 0):
        raise CommandError(f"--qdamp must be a number of at least 0, got {args.qdamp}")
    started = time.perf_counter()
    result = compute_sq(s, q, radiation=args.radiation, u_iso=u_iso, qdamp=args.qdamp or 0.0)
    elapsed = time.perf_counter() - started
    print(repr(s))
    unit = "fm" if result.radiation == "neutron" else "electrons"
    print(f"{result.radiation} S(Q), Faber-Ziman, scattering powers in {unit} ({result.source})")
    print(f"u_iso (Å², {u_origin}): " + ", ".join(f"{el} {u:g}" for el, u in result.u_iso.items()))
    print(f"{result.n_reflections} Bragg reflections; qdamp {result.qdamp:g} Å⁻¹")
    print(f"computed {len(q)} points in {elapsed * 1000:.1f} ms")
    if args.out:
        partials = {f"S_{a}-{b}": v for (a, b), v in result.partials.items()} if args.partials else None
        notes = [
            f"{result.radiation} total scattering of {args.file}, Faber-Ziman",
            f"u_iso (A^2, {u_origin}): " + ", ".join(f"{el} {u!r}" for el, u in result.u_iso.items()),
            f"qdamp {result.qdamp!r} 1/A; number density {result.density!r} atoms/A^3",
            f"columns: Q in 1/A; S(Q); F(Q) = Q[S(Q) - 1] in 1/A; I(Q) per atom in {unit}^2"
            + ("; partials S_AB(Q)" if partials else ""),
        ]
        written = save_reciprocal_plots(
            q,
            {"S": result.sq, "F": result.fq, "I": result.iq},
            args.out,
            "sq",
            [("S", "S(Q)"), ("F", "F(Q) (Å$^{-1}$)")],
            partials=partials,
            partial_label="S$_{AB}$(Q)",
            notes=notes,
            title=args.title or f"{args.file}, {result.radiation}",
        )
        print("written: " + ", ".join(written))
    return 0


def add_parser(sub) -> None:
    """Adds ``kestrel sq`` to the subcommands."""
    p = _structure_command(
        sub,
        "sq",
        "X-ray or neutron total structure factor S(Q) and F(Q) of a crystal",
        "Compute the Faber-Ziman S(Q), F(Q) = Q[S(Q) - 1] and the intensity per atom of a periodic "
        "crystal, with the displacement model and resolution of `kestrel pdf`. With --out, write sq.csv "
        "and sq.png (and sq_partials.png with --partials).",
        cmd_sq,
    )
    add_q_options(p)
    p.add_argument(
        "--u-iso",
        default=None,
        metavar="U",
        help="isotropic displacement parameter in Å², one number or ELEMENT=U pairs; default as for kestrel pdf",
    )
    p.add_argument("--qdamp", type=float, default=None, help="instrument resolution, a Gaussian of this width in Q")
    p.add_argument("--out", metavar="DIR", help="write sq.csv and the figures into DIR")


def add_q_options(p) -> None:
    """--q, --radiation, --partials and --title, which kestrel sq and kestrel debye share."""
    p.add_argument(
        "--q", default=Q_DEFAULT, metavar="START:STOP:STEP", help="the Q points in Å⁻¹ (default %(default)s)"
    )
    p.add_argument(
        "--radiation",
        choices=["xray", "neutron"],
        default="xray",
        help="X-ray (Cromer-Mann f0(Q)) or neutron (coherent scattering lengths); default %(default)s",
    )
    p.add_argument("--partials", action="store_true", help="also write and draw the element-pair curves")
    p.add_argument("--title", help="title for the figures")
