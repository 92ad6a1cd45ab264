"""What a PDF model is set up with: its refinable parameters, the settings of a phase and of the fit, and the
checks of the arguments a user gives."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Dict, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

# Lowest U (Å²) a fit may reach: a zero width is a delta function no grid resolves.
U_FLOOR = 1e-5

# What ``vary`` may name: one kind of parameter each.
VARY_NAMES = (
    "scale",
    "lattice",
    "uiso",
    "uaniso",
    "delta1",
    "delta2",
    "qdamp",
    "qbroad",
    "diameter",
    "xyz",
    "occupancy",
)

UIso = Union[float, Mapping[str, float]]


@dataclass
class Parameter:
    """One refinable number: its name (with the phase's prefix), value, bounds, whether the fit varies it.

    ``kind`` is what the number is, one of VARY_NAMES (U of an element or a
    site is "uiso", a tensor component "uaniso", a lattice constant
    "lattice"); ``local`` is its name within its phase.
    """

    name: str
    value: float
    lower: float = -math.inf
    upper: float = math.inf
    vary: bool = False
    kind: str = ""
    local: str = ""


@dataclass(frozen=True)
class PhaseSettings:
    """How one phase's model is built: radiation, threads, U per element or per site, spglib's tolerance."""

    radiation: str = "xray"
    n_threads: int = 0
    u_per: str = "element"
    symprec: float = 1e-3
    scale: float = 1.0
    cif_path: Optional[str] = None  # where anisotropic U are read from


@dataclass(frozen=True)
class Instrument:
    """The instrument's part of the model: the Q range's end (None: no cut-off) and the resolution's start values."""

    qmax: Optional[float] = None
    qdamp: float = 0.0
    qbroad: float = 0.0


@dataclass(frozen=True)
class UserChoices:
    """A user's start values, bounds and held parameters, by name."""

    start: Mapping[str, float] = field(default_factory=dict)
    bounds: Mapping[str, Tuple[float, float]] = field(default_factory=dict)
    fix: Tuple[str, ...] = ()

    @classmethod
    def of(cls, start=None, bounds=None, fix: Union[str, Sequence[str]] = ()) -> "UserChoices":
        names = [f.strip() for f in fix.split(",") if f.strip()] if isinstance(fix, str) else list(fix or ())
        return cls(dict(start or {}), dict(bounds or {}), tuple(names))

    def apply(self, parameters: List[Parameter]) -> None:
        """Set the bounds, start values and held parameters; refuse unknown names and impossible values."""
        by_name = {p.name: p for p in parameters}

        def find(name: str) -> Parameter:
            if name not in by_name:
                raise ValueError(f"unknown parameter '{name}': this model's parameters are {', '.join(by_name)}")
            return by_name[name]

        for name, limits in self.bounds.items():
            parameter = find(name)
            try:
                low, high = (float(v) for v in limits)
            except (TypeError, ValueError):
                raise ValueError(
                    f"bounds of '{name}' must be a pair of numbers (lower, upper), got {limits!r}"
                ) from None
            if not low < high:
                raise ValueError(f"bounds of '{name}' must have lower < upper, got ({low:g}, {high:g})")
            parameter.lower, parameter.upper = low, high
        for name, value in self.start.items():
            parameter = find(name)
            try:
                parameter.value = float(value)
            except (TypeError, ValueError):
                raise ValueError(f"start value of '{name}' must be a number, got {value!r}") from None
        for name in self.fix:
            find(name).vary = False


def check_fit_start(parameters: List[Parameter]) -> None:
    """A fit needs something to vary, and every varied start within its bounds."""
    if not any(p.vary for p in parameters):
        raise ValueError("every parameter is fixed: nothing is left to refine")
    for parameter in parameters:
        if parameter.vary and not parameter.lower <= parameter.value <= parameter.upper:
            raise ValueError(
                f"start value {parameter.value:g} of '{parameter.name}' lies outside its bounds "
                f"[{parameter.lower:g}, {parameter.upper:g}]"
            )


def vary_names(vary: Union[str, Sequence[str]]) -> frozenset:
    """The kinds ``vary`` names (a list, or one comma-separated text), each checked."""
    if isinstance(vary, str):
        vary = [v.strip() for v in vary.split(",") if v.strip()]
    names = list(vary)
    for name in names:
        if name not in VARY_NAMES:
            raise ValueError(f"unknown name '{name}' in vary: choose from {', '.join(VARY_NAMES)}")
    if not names:
        raise ValueError(f"vary names nothing to refine: choose from {', '.join(VARY_NAMES)}")
    return frozenset(names)


# ---- argument checks -----------------------------------------------------------------------------


def element_u(u_iso: UIso, elements: Sequence[str]) -> Dict[str, float]:
    """One positive U (Å²) per element, from one number for all or a dict per element."""
    if isinstance(u_iso, Mapping):
        missing = [e for e in elements if e not in u_iso]
        if missing:
            raise ValueError(f"u_iso has no value for element '{missing[0]}'")
        values = {e: u_iso[e] for e in elements}
    else:
        values = {e: u_iso for e in elements}
    checked = {}
    for element, value in values.items():
        try:
            number = float(value)
        except (TypeError, ValueError):
            raise TypeError(f"u_iso of '{element}' must be a number, got {value!r}") from None
        if not (math.isfinite(number) and number > 0.0):
            raise ValueError(f"u_iso must be a positive number of Å², got {value!r} for '{element}'")
        checked[element] = number
    return checked


def check_positive(name: str, value, allow_zero: bool = False) -> float:
    number = float(value)
    if not math.isfinite(number) or number < 0.0 or (number == 0.0 and not allow_zero):
        raise ValueError(f"{name} must be a {'non-negative' if allow_zero else 'positive'} number, got {value!r}")
    return number


def evaluation_points(cutoff, bin_size, r) -> np.ndarray:
    """The points a G(r) is asked for: ``r`` as given (checked), else 0, bin_size, ... up to the cutoff."""
    if r is not None:
        given = np.asarray(r, dtype=float).ravel()
        if not np.all(np.isfinite(given)) or np.any(given < 0):
            raise ValueError("r must hold finite, non-negative distances")
        return given
    cutoff = check_positive("cutoff", cutoff)
    bin_size = check_positive("bin_size", bin_size)
    if bin_size > cutoff:
        raise ValueError("bin_size must be positive and no larger than the cutoff")
    # The grid includes the cutoff itself when it is a whole number of steps.
    count = int(math.floor(cutoff / bin_size * (1.0 + 1e-12))) + 1
    return np.arange(count, dtype=float) * bin_size
