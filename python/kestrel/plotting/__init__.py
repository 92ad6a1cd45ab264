"""Figures and CSVs of RDF curves: ``Structure.prdf(save_plots=...)`` and ordering ensembles.

matplotlib is an optional dependency (``pip install "kestrel[plot]"``); it is
imported when a figure is drawn, never when kestrel is imported, and only
through its Agg canvas, so the caller's pyplot backend is left alone. The CSV
is written first, so a missing matplotlib costs the figures only.

What the curves are: ``r`` holds the lower bin edges (Å); the partial curve of
the pair (A, B) is the pair density rho_B g_AB(r) in Å⁻³, A being the centre
atom, which tends to rho_B = N_B / V at large r; the total is rho g(r), tending
to the number density rho = N / V. Dividing by the density gives the
dimensionless g(r), which tends to 1.
"""

from kestrel.plotting.ensemble import save_ensemble_plots
from kestrel.plotting.pdf import save_pdf_plots
from kestrel.plotting.rdf import save_prdf_plots
from kestrel.plotting.refinement import save_refinement_plots
from kestrel.plotting.tables import bin_centres, dimensionless, write_table

__all__ = [
    "save_prdf_plots",
    "save_ensemble_plots",
    "save_pdf_plots",
    "save_refinement_plots",
    "dimensionless",
    "bin_centres",
    "write_table",
]
