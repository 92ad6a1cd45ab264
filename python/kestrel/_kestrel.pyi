"""Signatures of the compiled extension ``_kestrel``, for type checkers and editors."""

import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str
__all__: List[str]

FloatArray = npt.NDArray[np.float64]
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

class Structure:
    def __new__(
        cls,
        matrix: Sequence[Sequence[float]],
        frac_coords: Sequence[Sequence[float]],
        species: Sequence[Mapping[str, float]],
        *,
        units: Optional[Sequence[Optional[Tuple[int, int]]]] = None,
    ) -> "Structure":
        """A periodic crystal structure whose sites may be partly occupied or shared by elements."""
    @staticmethod
    def from_cif(
        path: PathArg,
        symprec: float = 1e-4,
        *,
        block: Optional[str] = None,
        occupancy_tolerance: float = 0.01,
        max_bytes: int = 1073741824,
    ) -> "Structure":
        """Read a CIF, keeping partial occupancies as they are written."""
    @staticmethod
    def from_poscar(path: PathArg, *, max_bytes: int = 1073741824) -> "Structure":
        """Read a VASP POSCAR / CONTCAR."""
    @staticmethod
    def from_xyz(path: PathArg, *, max_bytes: int = 1073741824) -> "Structure":
        """Read an extended XYZ file (needs a `Lattice="..."` field)."""
    @staticmethod
    def from_str(text: str, fmt: str, symprec: float = 1e-4, *, occupancy_tolerance: float = 0.01) -> "Structure":
        """Parse text in a named format: "cif", "poscar" or "xyz"."""
    @staticmethod
    def from_cif_str(text: str, symprec: float = 1e-4, *, occupancy_tolerance: float = 0.01) -> "Structure":
        """Same as `from_cif`, for CIF text already in memory."""
    @staticmethod
    def from_dict(data: Mapping[str, Any]) -> "Structure":
        """The Structure that `to_dict` described."""
    def to_dict(self) -> Dict[str, Any]:
        """The structure as a dict of plain lists, floats and str, for JSON."""
    def copy(self) -> "Structure":
        """A new Structure equal to this one. Returns a Structure."""
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __len__(self) -> int: ...
    @property
    def n_sites(self) -> int:
        """Number of sites (int); len(structure) is the same."""
    @property
    def n_atoms(self) -> float:
        """Number of atoms, which is fractional when sites are partly occupied."""
    @property
    def is_ordered(self) -> bool:
        """Whether every site holds one element with occupancy 1 (bool)."""
    @property
    def volume(self) -> float:
        """Cell volume in Å³ (float)."""
    @property
    def elements(self) -> List[str]:
        """The element names, sorted (list of str)."""
    @property
    def composition(self) -> Dict[str, float]:
        """{element: number of atoms in the cell}, partial occupancies summed (dict of float)."""
    @property
    def lattice_matrix(self) -> List[List[float]]:
        """Lattice vectors a, b, c as rows, in Å (3x3 list)."""
    @property
    def frac_coords(self) -> List[List[float]]:
        """Per site [x, y, z] in fractions of a, b, c, as given (not wrapped)."""
    @property
    def cart_coords(self) -> List[List[float]]:
        """Per site [x, y, z] in Å: frac_coords times lattice_matrix."""
    @property
    def species(self) -> List[Dict[str, float]]:
        """Per-site {element: occupancy}."""
    @property
    def units(self) -> List[Optional[Tuple[int, int]]]:
        """Per site None, or (unit, alternative): the place of correlated disorder the site belongs to and which of its
        alternatives it is. The sites of one alternative come and go together; two alternatives of one unit never
        coexist.
        """
    @staticmethod
    def from_arrays(
        lattice: npt.ArrayLike,
        positions: npt.ArrayLike,
        numbers_or_symbols: npt.ArrayLike,
        occupancies: Optional[npt.ArrayLike] = None,
        cartesian: bool = False,
    ) -> "Structure":
        """Build a structure from NumPy arrays, with no Python object per site."""
    def to_arrays(self) -> Tuple[FloatArray, FloatArray, npt.NDArray[np.str_], FloatArray]:
        """The structure as NumPy arrays, the inverse of `from_arrays`."""
    def disorder_summary(self) -> List[Dict[str, Any]]:
        """One entry per partially occupied site: index, coordinates, occupancies."""
    @staticmethod
    def available_threads() -> int:
        """The number of worker threads an RDF call uses when n_threads=0. Returns an int."""
    def make_supercell(self, na: int, nb: int, nc: int) -> "Structure":
        """The cell repeated na x nb x nc times."""
    def prdf(
        self,
        cutoff: float = 10.0,
        bin_size: float = 0.1,
        n_threads: int = 0,
        save_plots: Optional[str] = None,
        title: Optional[str] = None,
    ) -> Tuple[FloatArray, Dict[Tuple[str, str], FloatArray], FloatArray]:
        """Partial and total RDF."""
    def total_rdf(
        self,
        cutoff: float = 10.0,
        bin_size: float = 0.1,
        n_threads: int = 0,
    ) -> Tuple[FloatArray, FloatArray]:
        """Total RDF only."""
    def expand_occupancies(
        self,
        max_sites: int = 4096,
        seed: int = 42,
        max_denominator: int = 16,
    ) -> Tuple["Structure", Dict[str, Any]]:
        """Expand partial occupancies into an explicit ordered supercell."""

class CifReadWarning(UserWarning): ...
class ShortLastBinWarning(UserWarning): ...

class RdfBins(TypedDict):
    cutoff: float
    bin_size: float
    n_bins: int
    edges: List[float]
    short_last_bin: Optional[str]

def rdf_bins(cutoff: float = 10.0, bin_size: float = 0.1) -> RdfBins:
    """The bins every RDF of this cutoff and bin size has (lengths in Å)."""

class StructureFileError(ValueError):
    filename: Optional[str]
    line: Optional[int]
    reason: Optional[str]

class WorkLimitError(ValueError):
    filename: Optional[str]
    reason: Optional[str]
    parameter: Optional[str]

def read_cif_blocks(
    path: PathArg,
    symprec: float = 1e-4,
    strict: bool = False,
    *,
    occupancy_tolerance: float = 0.01,
    max_bytes: int = 1073741824,
) -> Dict[str, Structure]:
    """Read every data block of a CIF that has atom sites."""

def read_xyz_trajectory(
    path: PathArg,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
) -> Tuple[List[Structure], List[int], int]:
    """Read selected frames of a multi-frame XYZ trajectory."""

# Private: the space-group table, for the tests.
def _space_group_operations(hall: str) -> List[Tuple[List[List[int]], List[float]]]:
    """Every operation of the space group a Hall symbol names, as (rotation, translation)."""

def _find_space_group_setting(
    hall: Optional[str] = None,
    hermann_mauguin: Optional[str] = None,
    number: Optional[int] = None,
) -> Optional[Tuple[int, str, str, str]]:
    """(number, hall, hermann_mauguin, extension) of the tabulated setting named, or None."""

# Private: the displacement parameter U (Å²) of each site of a CIF, behind scattering.cif_u_iso.
def _cif_site_u_iso(
    path: PathArg,
    symprec: float = 1e-4,
    block: Optional[str] = None,
    *,
    max_bytes: int = 1073741824,
) -> List[Dict[str, Optional[float]]]:
    """Per site of Structure.from_cif(path, symprec, block), {element: isotropic U in Å² or None}."""

# Private: the one Gaussian peak sum behind kestrel.scattering's G(r).
def _gaussian_peak_sums(
    centres: npt.ArrayLike,
    weights: npt.ArrayLike,
    sigmas: npt.ArrayLike,
    x: npt.ArrayLike,
    reach: float = 8.0,
    n_threads: int = 0,
) -> FloatArray:
    """Σ_k weights[k] N(x; centres[k], sigmas[k]) at the ascending points x, each peak within reach sigmas."""

def _gaussian_peak_slopes(
    centres: npt.ArrayLike,
    weights: npt.ArrayLike,
    sigmas: npt.ArrayLike,
    weight_slopes: npt.ArrayLike,
    centre_slopes: npt.ArrayLike,
    variance_slopes: npt.ArrayLike,
    x: npt.ArrayLike,
    reach: float = 8.0,
    n_threads: int = 0,
) -> FloatArray:
    """d/dθ_p of the peak sum at the ascending points x, one row per parameter; the slopes of each peak's weight, centre
    and variance σ² are (peaks, parameters) arrays.
    """

# Private: the site pairs a refined G(r) is summed over.
def _site_pairs(
    lattice: npt.ArrayLike,
    frac: npt.ArrayLike,
    reach: float,
    rotations: Optional[npt.ArrayLike] = None,
    translations: Optional[npt.ArrayLike] = None,
    orbit: Optional[npt.ArrayLike] = None,
    n_threads: int = 0,
) -> Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], FloatArray, FloatArray]:
    """(site_i, site_j, shift, count): the ordered site pairs within reach (0 < d <= reach), or with a space group
    (rotations, translations, orbit) its groups of pairs from each orbit's representative, with multiplicities.
    """

# Building blocks of kestrel.trajectory_rdf.
TrajectoryPosition = Tuple[int, int, int, bool]  # (offset, frame, kept, finished)

def _read_xyz_trajectory_chunk(
    path: PathArg,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    position: Optional[TrajectoryPosition] = None,
    max_frames: int = ...,
    max_atoms: int = ...,
) -> Tuple[List[Structure], List[int], TrajectoryPosition]:
    """Read a chunk of a multi-frame XYZ trajectory."""

def _count_xyz_trajectory_frames(
    path: PathArg,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    types: Optional[Mapping[Any, str]] = None,
    format: str = "xyz",
) -> Tuple[int, int]:
    """Count the frames a read would go through and keep, without parsing them. Returns (frames_read, frames_kept)."""

def _warren_cowley(
    structure: Structure,
    shells: int = 3,
    tol: float = 0.01,
    sublattices: Optional[Sequence[int]] = None,
) -> List[Dict[str, Any]]:
    """Per sublattice, its sites, species, counts, shell radii, coordination and alpha (flat [s][a][b])."""

def _sqs(
    structure: Structure,
    supercell: Optional[Sequence[int]] = None,
    max_sites: Optional[int] = None,
    shells: int = 3,
    weights: Optional[Sequence[float]] = None,
    target: Optional[Sequence[Tuple[str, str, Sequence[float]]]] = None,
    time_limit: Optional[float] = 1.0,
    iterations: Optional[int] = None,
    n_threads: int = 0,
    seed: int = 42,
    tol: float = 0.01,
    max_denominator: int = 16,
    progress: Optional[Callable[[float, float, int], Any]] = None,
) -> Tuple[Structure, Dict[str, Any]]:
    """An ordering of the partly occupied sites with chosen short-range order, and its report."""

# Private: the pair sums of the Debye scattering equation, behind kestrel.debye_intensity.
def _debye_sums(
    structure: Structure,
    q: Optional[Sequence[float]],
    bin_width: float = 0.002,
    exact: bool = False,
    n_threads: int = 0,
) -> Tuple[List[str], List[float], FloatArray, int]:
    """(elements, self, pairs, site_pairs): per element its occupancy sum, the weight of f^2; per unordered element pair
    (A <= B, A-major) a row of n_q sums of pair weight times sin(Qr)/(Qr) over ordered pairs of distinct sites; and
    how many unordered site pairs were summed.
    """

# Private: the Bragg part of a crystal's total scattering, behind kestrel.compute_sq.
def _bragg_sums(
    lattice: Optional[Sequence[Sequence[float]]],
    frac: Optional[Sequence[float]],
    occupancy: Optional[Sequence[float]],
    u: Optional[Sequence[float]],
    q: Optional[Sequence[float]],
    qdamp: float = 0.0,
    n_threads: int = 0,
) -> Tuple[FloatArray, int, int]:
    """(pairs, reflections, copies): the Bragg sums B_AB(Q) per atom (n_q x n_el x n_el) of the average crystal given by
    lattice rows, flat fractional coordinates and flat per-site occupancies of the elements u names; the reflections
    summed (G and -G apart) and how many copies of the cell summed the given one holds.
    """

def _big_box_model(
    structure: Structure,
    supercell: Optional[Sequence[int]],
    sublattices: Optional[Sequence[int]] = None,
    seed: int = 42,
) -> Dict[str, Any]:
    """The supercell a big-box refinement starts from: lattice, frac (flat), species (codes into elements, -1 for a
    vacancy), elements, pools (sites that trade places) and units (per pool of unit copies, per copy, per
    alternative, its (site, species)).
    """

def _big_box_refine(
    model: Dict[str, Any],
    data: Sequence[Dict[str, Any]],
    swap: bool = True,
    displace: bool = False,
    max_step: float = 0.1,
    min_distance: Optional[Sequence[float]] = None,
    bin: float = 0.005,
    n_bins: int = 0,
    iterations: Optional[int] = None,
    time_limit: Optional[float] = None,
    seed: int = 42,
    replicas: Sequence[int] = None,
    n_threads: int = 0,
    progress: Optional[Callable[[float, float, int], Any]] = None,
) -> List[Dict[str, Any]]:
    """Run big-box replicas on `model` (as _big_box_model gives it) against `data`: per data set a dict of first, step,
    oversample, data, weight, factor, baseline, profile (per pair), centre and importance, or for a curve in Q of q,
    data, weight, baseline, pair_q (per pair), taper (per bin), bin and importance. Returns per replica its species,
    frac, counts, rw, scale, rw_total, history, tried, accepted and seconds.
    """

class _TrajectoryStream: ...  # a capsule holding an open trajectory

def _open_trajectory(
    path: PathArg,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    types: Optional[Mapping[Any, str]] = None,
    format: str = "xyz",
) -> _TrajectoryStream:
    """Open a trajectory (format 'xyz' or 'lammps-dump') for reading chunk after chunk. The file is opened by the first
    _next_trajectory_chunk; it may be a pipe.
    """

def _next_trajectory_chunk(
    stream: _TrajectoryStream,
    max_frames: int,
    max_atoms: int,
) -> Tuple[List[Structure], List[int], Tuple[int, bool]]:
    """Read on until max_frames kept frames or max_atoms atoms in them. Returns (structures, frame_indices,
    (frames_read, finished)).
    """
