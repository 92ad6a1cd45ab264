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
    ) -> "Structure": ...
    @staticmethod
    def from_cif(path: PathArg, symprec: float = 1e-4, block: Optional[str] = None) -> "Structure": ...
    @staticmethod
    def from_poscar(path: PathArg) -> "Structure": ...
    @staticmethod
    def from_xyz(path: PathArg) -> "Structure": ...
    @staticmethod
    def from_str(text: str, fmt: str, symprec: float = 1e-4) -> "Structure": ...
    @staticmethod
    def from_cif_str(text: str, symprec: float = 1e-4) -> "Structure": ...
    @staticmethod
    def from_dict(data: Mapping[str, Any]) -> "Structure": ...
    def to_dict(self) -> Dict[str, Any]: ...
    def copy(self) -> "Structure": ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __len__(self) -> int: ...
    @property
    def n_sites(self) -> int: ...
    @property
    def n_atoms(self) -> float:
        """Number of atoms, which is fractional when sites are partly occupied."""
    @property
    def is_ordered(self) -> bool: ...
    @property
    def volume(self) -> float: ...
    @property
    def elements(self) -> List[str]: ...
    @property
    def composition(self) -> Dict[str, float]: ...
    @property
    def lattice_matrix(self) -> List[List[float]]: ...
    @property
    def frac_coords(self) -> List[List[float]]: ...
    @property
    def cart_coords(self) -> List[List[float]]: ...
    @property
    def species(self) -> List[Dict[str, float]]:
        """Per-site {element: occupancy}."""
    @property
    def units(self) -> List[Optional[Tuple[int, int]]]:
        """Per site None, or (unit, alternative): the place of correlated disorder the site belongs to."""
    @staticmethod
    def from_arrays(
        lattice: npt.ArrayLike,
        positions: npt.ArrayLike,
        numbers_or_symbols: npt.ArrayLike,
        occupancies: Optional[npt.ArrayLike] = None,
        cartesian: bool = False,
    ) -> "Structure": ...
    def to_arrays(self) -> Tuple[FloatArray, FloatArray, npt.NDArray[np.str_], FloatArray]: ...
    def disorder_summary(self) -> List[Dict[str, Any]]: ...
    @staticmethod
    def available_threads() -> int: ...
    def make_supercell(self, na: int, nb: int, nc: int) -> "Structure": ...
    def prdf(
        self,
        cutoff: float = 10.0,
        bin_size: float = 0.1,
        n_threads: int = 0,
        save_plots: Optional[str] = None,
        title: Optional[str] = None,
    ) -> Tuple[FloatArray, Dict[Tuple[str, str], FloatArray], FloatArray]:
        """Lower bin edges r (Å), the partial pair densities rho_B g_AB(r) (Å⁻³, A the
        centre atom) keyed by (A, B), and the total pair density (Å⁻³)."""
    def total_rdf(
        self, cutoff: float = 10.0, bin_size: float = 0.1, n_threads: int = 0
    ) -> Tuple[FloatArray, FloatArray]: ...
    def expand_occupancies(
        self, max_sites: int = 4096, seed: int = 42, max_denominator: int = 16
    ) -> Tuple["Structure", Dict[str, Any]]: ...

class CifReadWarning(UserWarning): ...
class ShortLastBinWarning(UserWarning): ...

class RdfBins(TypedDict):
    cutoff: float
    bin_size: float
    n_bins: int
    edges: List[float]
    short_last_bin: Optional[str]

def rdf_bins(cutoff: float = 10.0, bin_size: float = 0.1) -> RdfBins: ...

class StructureFileError(ValueError):
    filename: Optional[str]
    line: Optional[int]
    reason: Optional[str]

class WorkLimitError(ValueError):
    filename: Optional[str]
    reason: Optional[str]

def read_cif_blocks(path: PathArg, symprec: float = 1e-4, strict: bool = False) -> Dict[str, Structure]: ...
def read_xyz_trajectory(
    path: PathArg,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
) -> Tuple[List[Structure], List[int], int]: ...

# Private: the space-group table, for the tests.
def _space_group_operations(hall: str) -> List[Tuple[List[List[int]], List[float]]]: ...
def _find_space_group_setting(
    hall: Optional[str] = None, hermann_mauguin: Optional[str] = None, number: Optional[int] = None
) -> Optional[Tuple[int, str, str, str]]: ...

# Private: the displacement parameter U (Å²) of each site of a CIF, behind kestrel.scattering.cif_u_iso.
def _cif_site_u_iso(
    path: str, symprec: float = 1e-4, block: Optional[str] = None
) -> List[Dict[str, Optional[float]]]: ...

# Building blocks of kestrel.trajectory_rdf.
TrajectoryPosition = Tuple[int, int, int, bool]  # (offset, frame, kept, finished)

def _read_xyz_trajectory_chunk(
    path: str,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    position: Optional[TrajectoryPosition] = None,
    max_frames: int = ...,
    max_atoms: int = ...,
) -> Tuple[List[Structure], List[int], TrajectoryPosition]: ...
def _count_xyz_trajectory_frames(
    path: str,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    types: Optional[Mapping[Any, str]] = None,
    format: str = "xyz",
) -> Tuple[int, int]: ...
def _warren_cowley(
    structure: Structure, shells: int = 3, tol: float = 0.01, sublattices: Optional[Sequence[int]] = None
) -> List[Dict[str, Any]]: ...
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
) -> Tuple[Structure, Dict[str, Any]]: ...

class _TrajectoryStream: ...  # a capsule holding an open trajectory

def _open_trajectory(
    path: str,
    every: int = 1,
    start: int = 0,
    stop: Optional[int] = None,
    cell: Optional[Sequence[Sequence[float]]] = None,
    types: Optional[Mapping[Any, str]] = None,
    format: str = "xyz",
) -> _TrajectoryStream: ...
def _next_trajectory_chunk(
    stream: _TrajectoryStream, max_frames: int, max_atoms: int
) -> Tuple[List[Structure], List[int], Tuple[int, bool]]: ...
