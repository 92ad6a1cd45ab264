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

from kestrel.scattering.displacements import average_u_iso, cif_u_iso
from kestrel.scattering.fitting import EnsemblePdf, PdfAgreement, fit_scale, fit_to_data
from kestrel.scattering.gr_files import MeasuredPdf, read_gr, write_gr
from kestrel.scattering.model import PdfResult, compute_pdf
from kestrel.scattering.refine import model_pdf, refine_pdf
from kestrel.scattering.refinement import PdfRefinement
from kestrel.scattering.tables import scattering_powers

__all__ = [
    "PdfResult",
    "MeasuredPdf",
    "PdfAgreement",
    "compute_pdf",
    "scattering_powers",
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
]
