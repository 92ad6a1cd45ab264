"""Total-scattering pair distribution functions: the G(r) an X-ray or neutron
experiment measures, computed from kestrel's occupancy-weighted partials, and
measured G(r) files read, scaled and compared with it.

Conventions (those compared by Keen, J. Appl. Cryst. 34 (2001) 172):

* ``c_A = N_A / N`` is the occupancy-weighted concentration of element A,
  ``rho0 = N / V`` the number density of atoms, ``b_A`` the scattering power
  (neutron coherent scattering length, or the X-ray form factor at Q = 0) and
  ``<b> = sum_A c_A b_A``.
* ``g_AB(r)`` is the partial pair distribution function normalised to 1 at
  large r (kestrel's ``prdf`` partials are the pair densities ``rho0 c_B g_AB``,
  A the centre atom), and the total is the Faber-Ziman sum
  ``g(r) = sum_AB c_A c_B b_A b_B g_AB(r) / <b>^2``.
* What is returned is the reduced pair distribution function
  ``G(r) = 4 pi r [rho(r) - rho0] = 4 pi rho0 r [g(r) - 1]`` in Å⁻², with
  ``rho(r) = rho0 g(r)``. In Keen's notation that is ``G^PDF(r) = D(r) / <b>^2``,
  where ``D(r) = 4 pi rho0 r G_K(r)`` and ``G_K(r) = sum_AB c_A c_B b_A b_B
  [g_AB(r) - 1] = <b>^2 [g(r) - 1]``. Below the first pair distance G(r)
  follows the straight line ``-4 pi rho0 r``.
"""

import importlib
from typing import TYPE_CHECKING

# Each public name and the module that holds it; a module is imported when
# one of its names is first asked for, so importing kestrel stays cheap
# (the refinement brings scipy's optimiser, for one).
_HOMES = {
    "PdfResult": "pdf",
    "compute_pdf": "pdf",
    "model_pdf": "pdf",
    "MeasuredPdf": "gr_files",
    "read_gr": "gr_files",
    "write_gr": "gr_files",
    "PdfAgreement": "agreement",
    "fit_scale": "agreement",
    "fit_to_data": "agreement",
    "EnsemblePdf": "orderings",
    "average_u_iso": "displacements",
    "cif_u_iso": "displacements",
    "scattering_powers": "powers",
    "scattering_weights": "powers",
    "ScatteringWeights": "powers",
    "refine_pdf": "refine",
    "PdfRefinement": "fit_result",
    "DataSetFit": "fit_result",
    "compute_sq": "sq",
    "SqResult": "sq",
    "debye_intensity": "debye",
    "debye_result": "debye",
    "DebyeResult": "debye",
    "DEBYE_BIN_WIDTH": "debye",
    "cut_particle": "particles",
    "read_cluster": "particles",
    "read_q_data": "q_files",
    "MeasuredScattering": "q_files",
}

__all__ = [
    "PdfResult",
    "MeasuredPdf",
    "PdfAgreement",
    "compute_pdf",
    "scattering_powers",
    "scattering_weights",
    "ScatteringWeights",
    "read_gr",
    "write_gr",
    "fit_scale",
    "fit_to_data",
    "average_u_iso",
    "cif_u_iso",
    "EnsemblePdf",
    "refine_pdf",
    "model_pdf",
    "PdfRefinement",
    "DataSetFit",
    "compute_sq",
    "SqResult",
    "debye_intensity",
    "debye_result",
    "DebyeResult",
    "DEBYE_BIN_WIDTH",
    "cut_particle",
    "read_cluster",
    "read_q_data",
    "MeasuredScattering",
]

if TYPE_CHECKING:
    from kestrel.scattering.agreement import PdfAgreement, fit_scale, fit_to_data
    from kestrel.scattering.debye import DEBYE_BIN_WIDTH, DebyeResult, debye_intensity, debye_result
    from kestrel.scattering.displacements import average_u_iso, cif_u_iso
    from kestrel.scattering.fit_result import DataSetFit, PdfRefinement
    from kestrel.scattering.gr_files import MeasuredPdf, read_gr, write_gr
    from kestrel.scattering.orderings import EnsemblePdf
    from kestrel.scattering.particles import cut_particle, read_cluster
    from kestrel.scattering.pdf import PdfResult, compute_pdf, model_pdf
    from kestrel.scattering.powers import ScatteringWeights, scattering_powers, scattering_weights
    from kestrel.scattering.q_files import MeasuredScattering, read_q_data
    from kestrel.scattering.refine import refine_pdf
    from kestrel.scattering.sq import SqResult, compute_sq


def __getattr__(name: str):
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module 'kestrel.scattering' has no attribute '{name}'")
    value = getattr(importlib.import_module(f"kestrel.scattering.{home}"), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))
