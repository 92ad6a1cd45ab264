"""The refined G(r) over all phases: the parameters, the grid it is summed on, the Q-range cut-off and envelopes."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Dict, List, Optional

from kestrel.scattering.model import TERMINATION_PERIODS
from kestrel.scattering.pairs import PEAK_REACH

if TYPE_CHECKING:
    import numpy as np

    from kestrel.scattering.phase import PhaseModel

# Sharpening never narrows a peak below a fifth of its width (σ'² >= 0.04 σ²),
# so a large delta at short r gives a narrow peak, not a negative variance.
SHARPENING_FLOOR = 0.04

# Lowest U (Å²) a fit may reach: a zero width is a delta function no grid resolves.
U_FLOOR = 1e-5

_FOUR_PI = 4.0 * math.pi


@dataclass
class Parameter:
    """One refinable number: its value, bounds, and whether the fit varies it."""

    name: str
    value: float
    lower: float = -math.inf
    upper: float = math.inf
    vary: bool = False


def sphere_envelope(r, diameter: float):
    """The fraction of pairs a sphere of this diameter keeps at distance r: 1 − 3/2 x + 1/2 x³, x = r/d ≤ 1."""
    import numpy as np

    x = np.asarray(r) / diameter
    return np.where(x < 1.0, 1.0 - 1.5 * x + 0.5 * x**3, 0.0)


# ---- the model over all phases -------------------------------------------------------------------


class CombinedModel:
    """All phases, the shared instrument parameters and the grid the model is summed on."""

    def __init__(self, phases: List[PhaseModel], ensemble: bool, qmax: Optional[float], r_fit, instrument: dict, vary):
        import numpy as np

        self.phases = phases
        self.ensemble = ensemble
        self.qmax = qmax
        self.vary = vary
        self.parameters: List[Parameter] = []
        index: Dict[str, int] = {}
        self.maps = []
        for phase in phases:
            mapping = []
            for p in phase.parameters:
                if p.name not in index:
                    index[p.name] = len(self.parameters)
                    self.parameters.append(p)
                mapping.append(index[p.name])
            self.maps.append(np.array(mapping, dtype=int))
        for name in ("qdamp", "qbroad"):
            index[name] = len(self.parameters)
            self.parameters.append(Parameter(name, instrument[name], 0.0, 1.0, name in vary))
        self.index = index
        self.r_fit = r_fit
        self._grid, self._take = evaluation_grid(r_fit, qmax)

    def needed_reach(self, values) -> float:
        """How far pairs must be known: the grid's end plus the widest Gaussian's reach."""
        widest = 0.0
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            u = [local[k] for k, p in enumerate(phase.parameters) if p.name[len(phase.prefix) :].startswith("U")]
            widest = max(widest, 2.0 * max(u, default=0.0))
        end = float(self._grid[-1])
        sigma = math.sqrt(widest + (values[self.index["qbroad"]] * end) ** 2)
        return end + PEAK_REACH * sigma + 0.5

    def evaluate(self, values) -> np.ndarray:
        import numpy as np

        shared = {"qbroad": values[self.index["qbroad"]]}
        total = np.zeros(len(self._grid))
        needed = self.needed_reach(values)
        for phase, mapping in zip(self.phases, self.maps):
            local = values[mapping]
            phase.ensure_reach(local, needed, self.vary)
            total += phase.contribution(local, self._grid, shared)
        if self.ensemble:
            total /= len(self.phases)
        return self._finish(total, values)

    def phase_curves(self, values) -> List[np.ndarray]:
        """Each phase's own scaled curve on the fit points, with the shared termination and damping."""
        shared = {"qbroad": values[self.index["qbroad"]]}
        return [
            self._finish(phase.contribution(values[mapping], self._grid, shared), values)
            for phase, mapping in zip(self.phases, self.maps)
        ]

    def _finish(self, total, values):
        import numpy as np

        if self.qmax is not None:
            total = terminate(total, float(self._grid[1] - self._grid[0]), self.qmax)
        qdamp = values[self.index["qdamp"]]
        if qdamp:
            total = total * np.exp(-0.5 * (qdamp * self._grid) ** 2)
        return self._take(total)


def evaluation_grid(r_fit, qmax: Optional[float]):
    """A uniform grid the model is summed on, and how to read the fit points off it.

    Without qmax the grid is the fit points themselves when they are
    uniform. The cut-off at qmax needs the model from r = 0 and well past the
    last point (its ripples reach far), on a step of at most π / (4 qmax).
    Points off the grid are read by cubic interpolation.
    """
    import numpy as np

    diffs = np.diff(r_fit)
    uniform = len(r_fit) > 1 and float(np.ptp(diffs)) <= 1e-6 * float(np.mean(diffs))
    step = float(np.mean(diffs)) if uniform else (float(np.min(diffs)) / 2.0 if len(r_fit) > 1 else 0.01)
    if qmax is None:
        if uniform:
            return r_fit.copy(), lambda curve: curve
        start, end = float(r_fit[0]), float(r_fit[-1])
    else:
        step = step / math.ceil(step / (math.pi / (4.0 * qmax)))
        start, end = 0.0, float(r_fit[-1]) + TERMINATION_PERIODS * 2.0 * math.pi / qmax
    count = int(math.ceil((end - start) / step)) + 1
    grid = start + np.arange(count) * step
    position = (r_fit - start) / step
    nearest = np.rint(position).astype(int)
    if np.all(np.abs(position - nearest) < 1e-6):
        return grid, lambda curve: curve[nearest]
    from scipy.interpolate import CubicSpline

    return grid, lambda curve: CubicSpline(grid, curve)(r_fit)


def terminate(curve, step: float, qmax: float):
    """Cut a curve on the points 0, step, 2 step, ... off at qmax: a sine transform, zeroed above qmax, and back.

    G(r) and F(Q) are a sine-transform pair; the discrete transform of the
    curve's odd extension holds F at Q_k = π k / (n step), and keeping only
    Q ≤ qmax is the convolution with sin(qmax r)/(π r) that a finite Q
    range makes. Coefficient k stands for the band of Q within half a
    spacing of Q_k, so the one the cut-off falls in keeps the share of its
    band below qmax: the cut then sits at qmax itself, not at the nearest
    Q_k (which would shift the ripples' phase). The curve is padded with
    zeros to four times its length (a fast one), which puts the periodic
    images of the odd extension far beyond its end and makes the spacing
    of Q fine.
    """
    import numpy as np
    from scipy import fft

    n = fft.next_fast_len(4 * len(curve))
    padded = np.zeros(n)
    padded[: len(curve)] = curve
    # DST-I of the interior points 1 .. n-1 (the ends are the zeros of the odd extension).
    coefficients = fft.dst(padded[1:], type=1)
    spacing = math.pi / (n * step)
    q = spacing * np.arange(1, n)
    coefficients *= np.clip((qmax - q) / spacing + 0.5, 0.0, 1.0)
    out = np.empty(len(curve))
    out[0] = 0.0
    out[1:] = fft.idst(coefficients, type=1)[: len(curve) - 1]
    return out
