"""Big-box refinement: which disorder a sample has, from its measured total scattering.

An ordered supercell of the structure is changed move by move (swaps within
pools of sites, exchanges of unit alternatives, displacements) so that its
G(r) comes closer to the data; its short-range order (Warren–Cowley α),
partial pair distribution functions and bond lengths are then read off.
"""

from kestrel.bigbox.curves import BigBoxData
from kestrel.bigbox.refine import refine_big_box
from kestrel.bigbox.result import BigBoxFit, SroSummary

__all__ = ["refine_big_box", "BigBoxFit", "BigBoxData", "SroSummary"]
