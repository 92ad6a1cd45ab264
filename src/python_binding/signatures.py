"""Every callable of the extension ``_kestrel``, declared once.

Each entry names the callable, its parameters (name, kind, default, keyword-only
or not, and where it goes), what it returns and its docstring.
``tools/make_signatures.py`` writes from it the binding's argument tables, text
signatures, docstrings and argument readers (signatures.hpp / signatures.cpp
beside this file), the stub ``python/kestrel/_kestrel.pyi`` and
``python/kestrel/_defaults.py``, the defaults the package's own functions share
(``PYTHON_DEFAULTS``). Change a signature here, run
``python tools/make_signatures.py``, and commit what it wrote.

A default is a Python value, or ``Core("kName")``: a constant the core already
holds, whose value the generator reads from the core's headers, so the number
is written once, there. A parameter with ``field="settings.cutoff"`` is read
straight into that field of a core struct (``structs``) that the binding hands
on whole, so a new field of the core's request needs no binding code.

Docstrings are raw text: a line ending in a backslash continues on the next
source line (the text has no line break there).

It is Python rather than a data file so that the parameters several callables
share (symprec, the RDF's and the trajectories') are written once and named
where used, and so that the generator needs nothing beyond the standard library
of any Python the package supports (tomllib exists only from 3.11). It lives
beside the binding it describes; nothing imports it at run time.
"""

from __future__ import annotations

import re
import textwrap
from dataclasses import dataclass, replace
from typing import Dict, Optional, Tuple, Union

# ---- the words of the declaration -------------------------------------------


@dataclass(frozen=True)
class Kind:
    """How a parameter is converted: the C++ type it becomes, the reading
    function that fills it (``bool read(PyObject*, const char* name, T&)``,
    which leaves the target alone when the argument was not given) and its
    type in the stub."""

    cxx: str
    read: str
    stub: str
    header: Optional[str] = None  # where `read` is declared, when not in python_binding/args.hpp


FLOAT = Kind("double", "read_double", "float")
INT = Kind("std::uint64_t", "read_u64", "int")  # None fails like any other non-integer
INT_OR_NONE = Kind("std::optional<std::uint64_t>", "read_u64_or_none", "Optional[int]")
TEXT = Kind("std::string", "read_text", "str")
TEXT_OR_NONE = Kind("std::optional<std::string>", "read_text_or_none", "Optional[str]")
# A whole text to parse, held as its UTF-8 bytes object and read in place.
TEXT_IN_PLACE = Kind("TextArgument", "read_text_argument", "str")
# A str or None, checked, handed on as the caller's own object (null for None).
TEXT_OBJECT_OR_NONE = Kind("PyObject*", "read_text_object_or_none", "Optional[str]")
PATH = Kind("PathArgument", "read_path_argument", "PathArg")
BOOL = Kind("bool", "read_bool", "bool")
SIZE = Kind("std::size_t", "read_size", "int")
NUMBERS_OR_NONE = Kind("std::vector<double>", "read_numbers_or_none", "Optional[Sequence[float]]")


def OBJECT(stub: str) -> Kind:
    """Handed to the binding as it came (borrowed; null when not given): the
    binding converts it, because its checks and messages are its own."""
    return Kind("PyObject*", "read_object", stub)


# A Structure argument, read in place (not copied): "'{type}' object cannot be converted to 'Structure'" otherwise.
A_STRUCTURE = Kind("const Structure*", "read_structure", "Structure", "python_binding/structure_type.hpp")


@dataclass(frozen=True)
class Core:
    """A default the core holds as a named constant."""

    name: str


class _Required:
    def __repr__(self) -> str:
        return "REQUIRED"


REQUIRED = _Required()
# Shown as "..." in the stub: a default the binding takes from elsewhere.
UNSHOWN = object()

Default = Union[float, int, str, bool, None, Core, _Required, object]


@dataclass(frozen=True)
class Param:
    name: str
    kind: Kind
    default: Default = REQUIRED
    keyword_only: bool = False
    field: Optional[str] = None  # "settings.cutoff": a field of one of the callable's `structs`


@dataclass(frozen=True)
class CoreStruct:
    """A core request filled in place by the argument reader."""

    cxx: str
    header: str
    # A constexpr `T{}` exists: its defaults are checked against the declared ones
    # at compile time. Otherwise the reader sets the declared defaults itself.
    literal: bool = True


# What a callable is: a module function, a method, a static method or the constructor.
FUNCTION, METHOD, STATIC, CONSTRUCTOR = "function", "method", "static", "constructor"


@dataclass(frozen=True)
class Callable:
    name: str  # "prdf" for a module function, "Structure.prdf" for a member
    kind: str
    params: Tuple[Param, ...]
    returns: str  # the type in the stub
    doc: str
    structs: Tuple[Tuple[str, CoreStruct], ...] = ()
    # False: the binding matches the arguments with the Signature table but
    # converts them itself (the order of its checks is part of its messages).
    reader: bool = True
    text_signature: bool = True
    messages_name: Optional[str] = None  # as messages name it, when not "name()"
    in_stub: bool = True


@dataclass(frozen=True)
class Property:
    name: str  # "Structure.volume"
    stub: str
    doc: str


@dataclass(frozen=True)
class StubText:
    """Lines of the stub that declare no callable (type aliases, exception
    classes, dict shapes), written as they stand."""

    text: str


def doc(text: str) -> str:
    """The docstring of a raw indented block: dedented, a trailing backslash joining lines."""
    return re.sub(r"\\\n", "", textwrap.dedent(text).strip("\n"))


# ---- parameters several callables share -------------------------------------

PATH_PARAM = Param("path", PATH)
# Fractional coordinates per axis; the readers of CIF text all take it.
SYMPREC = Param("symprec", FLOAT, 1e-4)
# How far above 1 a CIF site's occupancies may add up and be scaled to 1 as rounding.
OCCUPANCY_TOLERANCE = Param("occupancy_tolerance", FLOAT, Core("kDefaultOccupancyTolerance"), keyword_only=True)
# The most text a structure file may hold once decompressed, in bytes.
MAX_BYTES = Param("max_bytes", INT, Core("kDefaultMaxFileBytes"), keyword_only=True)
CUTOFF = Param("cutoff", FLOAT, Core("kDefaultCutoff"), field="settings.cutoff")
BIN_SIZE = Param("bin_size", FLOAT, Core("kDefaultBinSize"), field="settings.bin_size")
N_THREADS = Param("n_threads", INT, 0, field="settings.n_threads")
RDF_SETTINGS = (("settings", CoreStruct("RdfSettings", "rdf/settings.hpp")),)
# The trajectory calls: which frames, and how they are read.
TRAJECTORY = "python_binding/trajectory_arguments.hpp"
MAT3_OR_NONE = Kind("std::optional<Mat3>", "read_mat3_or_none", "Optional[Sequence[Sequence[float]]]")
SELECTION = ("selection", CoreStruct("FrameSelection", "trajectory/reader.hpp"))
CHUNK_LIMITS = ("limits", CoreStruct("ChunkLimits", "trajectory/reader.hpp"))
# Holds a std::map: not a literal type, so its defaults cannot be checked at compile time.
OPTIONS = ("options", CoreStruct("TrajectoryFormatOptions", "trajectory/reader.hpp", literal=False))
EVERY = Param("every", INT, 1, field="selection.every")
START = Param("start", INT, 0, field="selection.start")
STOP = Param("stop", INT_OR_NONE, None, field="selection.stop")
CELL = Param("cell", MAT3_OR_NONE, None)
OPTIONS_CELL = Param("cell", MAT3_OR_NONE, None, field="options.cell")
TYPES = Param(
    "types", Kind("AtomTypeNames", "read_types", "Optional[Mapping[Any, str]]", TRAJECTORY), None, field="options.types"
)
FORMAT = Param("format", Kind("TrajectoryFormat", "read_format", "str", TRAJECTORY), "xyz", field="options.format")
MAX_DENOMINATOR = Param("max_denominator", INT, 16)
SEED = Param("seed", INT, 42)
EXPANSION_MAX_SITES = Param("max_sites", INT, 4096)
SHELLS = Param("shells", INT, 3)
TOL = Param("tol", FLOAT, 0.01)
STRUCTURE_PARAM = Param("structure", A_STRUCTURE)
ORDER = "python_binding/order_arguments.hpp"
REPEATS = Kind("std::optional<std::array<std::uint64_t, 3>>", "read_repeats", "Optional[Sequence[int]]", ORDER)
PAIR_TARGETS = Kind(
    "std::vector<order::PairTarget>", "read_pair_targets", "Optional[Sequence[Tuple[str, str, Sequence[float]]]]", ORDER
)
TIME_LIMIT = Kind("std::optional<double>", "read_time_limit", "Optional[float]", ORDER)
# Not the core's default (no limit): a call from Python ends within a second unless told otherwise.
SEARCH_TIME_LIMIT = Param("time_limit", TIME_LIMIT, 1.0)

# The spacing of the distance grid of a binned Debye sum.
DEBYE_BIN_WIDTH = Param("bin_width", FLOAT, Core("kDefaultDebyeBinWidth"), field="settings.bin_width")

# ---- the defaults the Python package shares -------------------------------------
# tools/make_signatures.py writes each as a constant of python/kestrel/_defaults.py
# (named as the parameter, in capitals), so the package's own functions and the
# command line take the number from here instead of writing it again. The text
# heads the constant there.
PYTHON_DEFAULTS = (
    (SYMPREC, "Fractional coordinates per axis: CIF readers merge symmetry copies closer than this."),
    (OCCUPANCY_TOLERANCE, "How far above 1 a CIF site's occupancies may add up and be scaled to 1 as rounding."),
    (MAX_BYTES, "Bytes: the most text a structure file may hold, decompressed, before it is refused."),
    (CUTOFF, "Å: the largest pair distance an RDF counts."),
    (BIN_SIZE, "Å: the width of an RDF's bins."),
    (SEED, "The seed of the random placement of an expansion, and of the ordering searches."),
    (EXPANSION_MAX_SITES, "The largest supercell, in sites, an expansion of partial occupancies may build."),
    (MAX_DENOMINATOR, "The largest denominator tried when occupancies are made fractions."),
    (SHELLS, "The neighbour shells short-range order is measured and searched over."),
    (TOL, "Å: distances within this of a shell's first distance belong to that shell."),
    (SEARCH_TIME_LIMIT, "Seconds an ordering search runs unless told otherwise."),
    (DEBYE_BIN_WIDTH, "Å: the spacing of the distance grid a binned Debye intensity sums pairs on."),
)

# ---- the stub's opening -------------------------------------------------------

STUB_HEADER = StubText('''\
"""Signatures of the compiled extension ``_kestrel``, for type checkers and editors."""

import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, TypedDict, Union

import numpy as np
import numpy.typing as npt

__version__: str
__all__: List[str]

FloatArray = npt.NDArray[np.float64]
PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
''')

# ---- the class Structure, in the stub's order ----------------------------------

STRUCTURE = [
    Callable(
        "Structure",
        CONSTRUCTOR,
        (
            Param("matrix", OBJECT("Sequence[Sequence[float]]")),
            Param("frac_coords", OBJECT("Sequence[Sequence[float]]")),
            Param("species", OBJECT("Sequence[Mapping[str, float]]")),
            Param("units", OBJECT("Optional[Sequence[Optional[Tuple[int, int]]]]"), None, keyword_only=True),
        ),
        '"Structure"',
        doc(r"""
        A periodic crystal structure whose sites may be partly occupied or shared by elements.

        Parameters: matrix (3x3, rows a, b, c in Å); frac_coords (per site [x, y, z], fractions of
        a, b, c); species (per site {element: occupancy}, occupancies summing to at most 1).
        `units` declares correlated disorder: one entry per site, None for a site that is filled on its
        own, or a pair (unit, alternative) of integers. A unit is one place that holds exactly one of its
        alternatives, or nothing: the sites of one alternative come and go together (a pair of them
        weighs min(occ_i, occ_j) in the RDF) and two alternatives never coexist (weight 0). Numbers are
        taken in order of first appearance; each site joins its unit at its image nearest the unit's
        first site.
        Immutable. Compares equal to a structure with exactly the same numbers and units; hashable,
        picklable, len() is the number of sites.
        """),
        reader=False,
        messages_name="Structure.__new__()",
    ),
    Callable(
        "Structure.from_cif",
        STATIC,
        (PATH_PARAM, SYMPREC, Param("block", TEXT_OR_NONE, None, keyword_only=True), OCCUPANCY_TOLERANCE, MAX_BYTES),
        '"Structure"',
        doc(r"""
        Read a CIF, keeping partial occupancies as they are written.

        Reads the first data block with a cell and atom sites, or the block named `block`, applies its
        symmetry operations (or those of its space-group symbol) and merges positions that coincide. A name
        ending in .gz, .bz2 or .xz is decompressed.

        Parameters: path (str, bytes or os.PathLike); symprec (float, fractional coordinates per axis):
        symmetry copies closer than this along each of a, b and c are merged into one site; block (str or
        None, keyword only); occupancy_tolerance (float, keyword only): a site whose occupancies add up to
        more than 1 by at most this is taken as rounded and scaled to 1, with a CifReadWarning; one above it
        is refused; max_bytes (int, keyword only): a file whose text, decompressed, is larger raises
        WorkLimitError.
        Returns a Structure. Warns with CifReadWarning for each thing the reader had to decide.
        Raises StructureFileError (a ValueError naming the file, and the line where known) for a file it
        refuses, a file cut short included, WorkLimitError for one that expands to too many positions, and
        OSError (FileNotFoundError, ...) when the file cannot be read.
        """),
    ),
    Callable(
        "Structure.from_poscar",
        STATIC,
        (PATH_PARAM, MAX_BYTES),
        '"Structure"',
        doc(r"""
        Read a VASP POSCAR / CONTCAR.

        Parameters: path (str, bytes or os.PathLike); max_bytes (int, keyword only) as for from_cif.
        Returns a Structure (lengths in Å). Raises StructureFileError naming the file and line it
        refuses, WorkLimitError for a text beyond max_bytes, OSError when it cannot be read.
        """),
    ),
    Callable(
        "Structure.from_xyz",
        STATIC,
        (PATH_PARAM, MAX_BYTES),
        '"Structure"',
        doc(r"""
        Read an extended XYZ file (needs a `Lattice="..."` field).

        Parameters: path (str, bytes or os.PathLike); the file's first frame is read, positions in Å;
        max_bytes (int, keyword only) as for from_cif. Returns a Structure. Raises StructureFileError
        naming the file and line it refuses, WorkLimitError for a text beyond max_bytes, OSError when it
        cannot be read.
        """),
    ),
    Callable(
        "Structure.from_str",
        STATIC,
        (Param("text", TEXT_IN_PLACE), Param("fmt", TEXT), SYMPREC, OCCUPANCY_TOLERANCE),
        '"Structure"',
        doc(r"""
        Parse text in a named format: "cif", "poscar" or "xyz".

        Parameters: text (str); fmt (str, any case; also "vasp", "contcar", "extxyz"); symprec (float,
        fractional) and occupancy_tolerance (float, keyword only), CIF only, as for from_cif. Returns a
        Structure. Raises StructureFileError (with the
        line where known) for text the reader refuses, ValueError for an unknown format name.
        """),
    ),
    Callable(
        "Structure.from_cif_str",
        STATIC,
        (Param("text", TEXT_IN_PLACE), SYMPREC, OCCUPANCY_TOLERANCE),
        '"Structure"',
        doc(r"""
        Same as `from_cif`, for CIF text already in memory.

        Parameters: text (str); symprec (float, fractional) and occupancy_tolerance (float, keyword only) as
        for from_cif. Returns a Structure.
        """),
    ),
    Callable(
        "Structure.from_dict",
        STATIC,
        (Param("data", OBJECT("Mapping[str, Any]")),),
        '"Structure"',
        doc(r"""
        The Structure that `to_dict` described.

        Parameters: data (dict with the keys "lattice_matrix" (3x3, rows a, b, c in Å),
        "frac_coords" and "species", and "units" for correlated disorder, as the constructor takes
        them). Returns a Structure equal to the one that made the dict. Raises ValueError for a missing or
        unknown key.
        """),
    ),
    Callable(
        "Structure.to_dict",
        METHOD,
        (),
        "Dict[str, Any]",
        doc(r"""
        The structure as a dict of plain lists, floats and str, for JSON.

        Returns {"lattice_matrix": rows a, b, c in Å, "frac_coords": per site [x, y, z],
        "species": per site {element: occupancy}}, and "units" (per site None or (unit, alternative))
        when the structure has units of correlated disorder. `Structure.from_dict` rebuilds an equal structure
        (json.dumps writes every float exactly, so the round trip through JSON is exact too).
        """),
    ),
    Callable(
        "Structure.copy",
        METHOD,
        (),
        '"Structure"',
        "A new Structure equal to this one. Returns a Structure.",
    ),
    Callable(
        "Structure.__reduce__",
        METHOD,
        (),
        "Tuple[Any, ...]",
        "Pickling support: the constructor and its three arguments.",
        in_stub=False,
    ),
    StubText("def __eq__(self, other: object) -> bool: ..."),
    StubText("def __hash__(self) -> int: ..."),
    StubText("def __len__(self) -> int: ..."),
    Property("Structure.n_sites", "int", "Number of sites (int); len(structure) is the same."),
    Property("Structure.n_atoms", "float", "Number of atoms, which is fractional when sites are partly occupied."),
    Property("Structure.is_ordered", "bool", "Whether every site holds one element with occupancy 1 (bool)."),
    Property("Structure.volume", "float", "Cell volume in Å³ (float)."),
    Property("Structure.elements", "List[str]", "The element names, sorted (list of str)."),
    Property(
        "Structure.composition",
        "Dict[str, float]",
        "{element: number of atoms in the cell}, partial occupancies summed (dict of float).",
    ),
    Property("Structure.lattice_matrix", "List[List[float]]", "Lattice vectors a, b, c as rows, in Å (3x3 list)."),
    Property(
        "Structure.frac_coords",
        "List[List[float]]",
        "Per site [x, y, z] in fractions of a, b, c, as given (not wrapped).",
    ),
    Property(
        "Structure.cart_coords", "List[List[float]]", "Per site [x, y, z] in Å: frac_coords times lattice_matrix."
    ),
    Property("Structure.species", "List[Dict[str, float]]", "Per-site {element: occupancy}."),
    Property(
        "Structure.units",
        "List[Optional[Tuple[int, int]]]",
        doc(r"""
        Per site None, or (unit, alternative): the place of correlated disorder the site belongs to and which of
        its alternatives it is. The sites of one alternative come and go together; two alternatives of one unit
        never coexist.
        """),
    ),
    Callable(
        "Structure.from_arrays",
        STATIC,
        (
            Param("lattice", OBJECT("npt.ArrayLike")),
            Param("positions", OBJECT("npt.ArrayLike")),
            Param("numbers_or_symbols", OBJECT("npt.ArrayLike")),
            Param("occupancies", OBJECT("Optional[npt.ArrayLike]"), None),
            Param("cartesian", OBJECT("bool"), False),
        ),
        '"Structure"',
        doc(r"""
        Build a structure from NumPy arrays, with no Python object per site.

        Parameters: lattice (3x3, rows a, b, c in Å); positions ((n, 3), fractional, or Cartesian in Å
        with cartesian=True); numbers_or_symbols (n atomic numbers, or n element symbols); occupancies
        (n floats, or None for full sites). Returns a Structure with one element per site.
        """),
        reader=False,
    ),
    Callable(
        "Structure.to_arrays",
        METHOD,
        (),
        "Tuple[FloatArray, FloatArray, npt.NDArray[np.str_], FloatArray]",
        doc(r"""
        The structure as NumPy arrays, the inverse of `from_arrays`.

        Returns (lattice (3, 3), frac_coords (n, 3), symbols (n,), occupancies (n,)). Raises ValueError
        for a site holding several elements or a structure with units of correlated disorder.
        """),
    ),
    Callable(
        "Structure.disorder_summary",
        METHOD,
        (),
        "List[Dict[str, Any]]",
        doc(r"""
        One entry per partially occupied site: index, coordinates, occupancies.

        Empty for a fully ordered structure, so it doubles as the check a
        caller needs before reporting anything to the user.

        Returns a list of dicts with "site_index" (from 0), "frac_coords", "occupancies"
        ({element: occupancy}), "total_occupancy" and "vacancy" (1 - total_occupancy).
        """),
    ),
    Callable(
        "Structure.available_threads",
        STATIC,
        (),
        "int",
        "The number of worker threads an RDF call uses when n_threads=0. Returns an int.",
    ),
    Callable(
        "Structure.make_supercell",
        METHOD,
        (Param("na", INT), Param("nb", INT), Param("nc", INT)),
        '"Structure"',
        doc(r"""
        The cell repeated na x nb x nc times.

        Parameters: na, nb, nc (int, at least 1): repeats along a, b and c. Returns a new Structure
        with na * nb * nc times the sites. Raises WorkLimitError above the supercell size limit.
        """),
    ),
    Callable(
        "Structure.prdf",
        METHOD,
        (
            CUTOFF,
            BIN_SIZE,
            N_THREADS,
            Param("save_plots", TEXT_OBJECT_OR_NONE, None),
            Param("title", TEXT_OBJECT_OR_NONE, None),
        ),
        "Tuple[FloatArray, Dict[Tuple[str, str], FloatArray], FloatArray]",
        doc(r"""
        Partial and total RDF.

        Parameters: cutoff (float, Å): the largest distance counted; bin_size (float, Å); n_threads
        (int, 0 = every available core); save_plots (str folder or None); title (str or None, for the
        figures).
        Returns (r, partials, total) where `partials` maps ("A", "B") to rho_B g_AB(r), the
        number of B atoms per Å³ at distance r from an A atom (A is the centre), in Å⁻³; it tends to
        rho_B = N_B / V at long range. `total` is rho g(r) in Å⁻³. `r` holds the lower bin edges in Å
        (bin k counts r[k] <= d < r[k] + bin_size; a distance within a relative 1e-10 below an edge
        counts as on it, so equal distances share a bin whatever cell describes the crystal). All
        three are float64 NumPy arrays. Divide a partial by rho_B (composition[B] / volume) for the
        dimensionless g_AB.
        With `save_plots="some/folder"` the curves are also written there as
        figures plus a CSV (needs matplotlib); None, the default, saves nothing.
        Raises ValueError for a bad cutoff or bin size, WorkLimitError when the work or memory would be
        above kestrel's limits.
        """),
        structs=RDF_SETTINGS,
    ),
    Callable(
        "Structure.total_rdf",
        METHOD,
        (CUTOFF, BIN_SIZE, N_THREADS),
        "Tuple[FloatArray, FloatArray]",
        doc(r"""
        Total RDF only.

        Parameters as for prdf. Returns (r, total): lower bin edges in Å and rho g(r) in Å⁻³.
        """),
        structs=RDF_SETTINGS,
    ),
    Callable(
        "Structure.expand_occupancies",
        METHOD,
        (EXPANSION_MAX_SITES, SEED, MAX_DENOMINATOR),
        'Tuple["Structure", Dict[str, Any]]',
        doc(r"""
        Expand partial occupancies into an explicit ordered supercell.

        Parameters: max_sites (int): the largest supercell, in sites; seed (int): the random placement's
        seed; max_denominator (int): the largest denominator tried when occupancies are made fractions.
        Returns (ordered, report): an ordered Structure of an n x n x n supercell, and a dict with
        "scale" ([n, n, n]), "n_vacancies", "warnings" (list of str) and "occupancy_report" (one
        dict per pool and element: "site_index" and "frac_coords" of the pool's first source site,
        "element", "target_occupancy", "sites_in_pool", "atoms_placed", "actual_occupancy").
        Raises WorkLimitError when the structure alone exceeds max_sites.
        """),
    ),
]

# ---- the module's own names, in the stub's order -----------------------------------

MODULE = [
    StubText("""\
class CifReadWarning(UserWarning): ...
class ShortLastBinWarning(UserWarning): ...

class RdfBins(TypedDict):
    cutoff: float
    bin_size: float
    n_bins: int
    edges: List[float]
    short_last_bin: Optional[str]
"""),
    Callable(
        "rdf_bins",
        FUNCTION,
        (
            replace(CUTOFF, field=None),
            replace(BIN_SIZE, field=None),
        ),
        "RdfBins",
        doc(r"""
        The bins every RDF of this cutoff and bin size has (lengths in Å).

        Returns a dict: 'cutoff' and 'bin_size' as given, 'n_bins', 'edges' (the
        n_bins + 1 bin edges k * bin_size, from 0), and 'short_last_bin': None, or
        the sentence of the ShortLastBinWarning that prdf and total_rdf give when
        the last bin reaches past the cutoff. Raises ValueError for a cutoff or bin
        size that gives no RDF.
        """),
    ),
    StubText("""\
class StructureFileError(ValueError):
    filename: Optional[str]
    line: Optional[int]
    reason: Optional[str]

class WorkLimitError(ValueError):
    filename: Optional[str]
    reason: Optional[str]
    parameter: Optional[str]
"""),
    Callable(
        "read_cif_blocks",
        FUNCTION,
        (PATH_PARAM, SYMPREC, Param("strict", BOOL, False), OCCUPANCY_TOLERANCE, MAX_BYTES),
        "Dict[str, Structure]",
        doc(r"""
        Read every data block of a CIF that has atom sites.

        Returns {block name: Structure} in file order; blocks without atom sites are left out. A block that \
        cannot be read is left out with a CifReadWarning naming it and the reason; with strict=True it fails \
        the call instead, as does a file none of whose blocks can be read.

        Parameters: path (str, bytes or os.PathLike); symprec (float, fractional coordinates per axis),
        occupancy_tolerance and max_bytes (keyword only) as for Structure.from_cif; strict (bool). Raises
        StructureFileError naming the file and the block that fails.
        """),
    ),
    Callable(
        "read_xyz_trajectory",
        FUNCTION,
        (PATH_PARAM, EVERY, START, STOP, CELL),
        "Tuple[List[Structure], List[int], int]",
        doc(r"""
        Read selected frames of a multi-frame XYZ trajectory.

        Keeps frames start, start + every, ... before stop. Returns
        (structures, frame_indices, frames_read).

        Parameters: path (str, bytes or os.PathLike); every (int, at least 1), start (int, from 0) and
        stop (int or None, exclusive) select frames by index; cell (3x3, rows a, b, c in Å, or None) is
        used for frames without a Lattice field.
        Returns (structures, frame_indices, frames_read): a Structure per kept frame, their indices
        (from 0) and how many frames were read. Raises StructureFileError naming the file for content
        it refuses, FileNotFoundError and other OSErrors when the file cannot be opened.
        """),
        structs=(SELECTION,),
    ),
    StubText("# Private: the space-group table, for the tests."),
    Callable(
        "_space_group_operations",
        FUNCTION,
        (Param("hall", TEXT),),
        "List[Tuple[List[List[int]], List[float]]]",
        "Every operation of the space group a Hall symbol names, as (rotation, translation).",
    ),
    Callable(
        "_find_space_group_setting",
        FUNCTION,
        (
            Param("hall", OBJECT("Optional[str]"), None),
            Param("hermann_mauguin", OBJECT("Optional[str]"), None),
            Param("number", OBJECT("Optional[int]"), None),
        ),
        "Optional[Tuple[int, str, str, str]]",
        "(number, hall, hermann_mauguin, extension) of the tabulated setting named, or None.",
    ),
    StubText("# Private: the displacement parameter U (Å²) of each site of a CIF, behind scattering.cif_u_iso."),
    Callable(
        "_cif_site_u_iso",
        FUNCTION,
        (Param("path", PATH), SYMPREC, Param("block", TEXT_OR_NONE, None), MAX_BYTES),
        "List[Dict[str, Optional[float]]]",
        "Per site of Structure.from_cif(path, symprec, block), {element: isotropic U in Å² or None}.",
    ),
    StubText("# Private: the one Gaussian peak sum behind kestrel.scattering's G(r)."),
    Callable(
        "_gaussian_peak_sums",
        FUNCTION,
        (
            Param("centres", OBJECT("npt.ArrayLike")),
            Param("weights", OBJECT("npt.ArrayLike")),
            Param("sigmas", OBJECT("npt.ArrayLike")),
            Param("x", OBJECT("npt.ArrayLike")),
            Param("reach", FLOAT, 8.0),
            Param("n_threads", INT, 0),
        ),
        "FloatArray",
        "Σ_k weights[k] N(x; centres[k], sigmas[k]) at the ascending points x, each peak within reach sigmas.",
    ),
    Callable(
        "_gaussian_peak_slopes",
        FUNCTION,
        (
            Param("centres", OBJECT("npt.ArrayLike")),
            Param("weights", OBJECT("npt.ArrayLike")),
            Param("sigmas", OBJECT("npt.ArrayLike")),
            Param("weight_slopes", OBJECT("npt.ArrayLike")),
            Param("centre_slopes", OBJECT("npt.ArrayLike")),
            Param("variance_slopes", OBJECT("npt.ArrayLike")),
            Param("x", OBJECT("npt.ArrayLike")),
            Param("reach", FLOAT, 8.0),
            Param("n_threads", INT, 0),
        ),
        "FloatArray",
        "d/dθ_p of the peak sum at the ascending points x, one row per parameter; the slopes of each peak's "
        "weight, centre and variance σ² are (peaks, parameters) arrays.",
    ),
    StubText("# Private: the site pairs a refined G(r) is summed over."),
    Callable(
        "_site_pairs",
        FUNCTION,
        (
            Param("lattice", OBJECT("npt.ArrayLike")),
            Param("frac", OBJECT("npt.ArrayLike")),
            Param("reach", FLOAT),
            Param("rotations", OBJECT("Optional[npt.ArrayLike]"), None),
            Param("translations", OBJECT("Optional[npt.ArrayLike]"), None),
            Param("orbit", OBJECT("Optional[npt.ArrayLike]"), None),
            Param("n_threads", INT, 0),
        ),
        "Tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], FloatArray, FloatArray]",
        "(site_i, site_j, shift, count): the ordered site pairs within reach (0 < d <= reach), or with a space group "
        "(rotations, translations, orbit) its groups of pairs from each orbit's representative, with multiplicities.",
    ),
    StubText("""\
# Building blocks of kestrel.trajectory_rdf.
TrajectoryPosition = Tuple[int, int, int, bool]  # (offset, frame, kept, finished)
"""),
    Callable(
        "_read_xyz_trajectory_chunk",
        FUNCTION,
        (
            PATH_PARAM,
            EVERY,
            START,
            STOP,
            CELL,
            Param(
                "position",
                Kind("TrajectoryPosition", "read_position", "Optional[TrajectoryPosition]", TRAJECTORY),
                None,
            ),
            Param("max_frames", INT, UNSHOWN, field="limits.frames"),
            Param("max_atoms", INT, UNSHOWN, field="limits.atoms"),
        ),
        "Tuple[List[Structure], List[int], TrajectoryPosition]",
        doc(r"""
        Read a chunk of a multi-frame XYZ trajectory.

        Arguments path, every, start, stop, cell as for read_xyz_trajectory, then
        position (None: the start of the file), max_frames and max_atoms: reads on until
        max_frames kept frames or max_atoms atoms in them. Returns (structures,
        frame_indices, next_position); next_position is (offset, frame, kept, finished).
        """),
        structs=(SELECTION, CHUNK_LIMITS),
        text_signature=False,
    ),
    Callable(
        "_count_xyz_trajectory_frames",
        FUNCTION,
        (PATH_PARAM, EVERY, START, STOP, OPTIONS_CELL, TYPES, FORMAT),
        "Tuple[int, int]",
        doc(r"""
        Count the frames a read would go through and keep, without parsing them.
        Returns (frames_read, frames_kept).
        """),
        structs=(SELECTION, OPTIONS),
    ),
    Callable(
        "_warren_cowley",
        FUNCTION,
        (STRUCTURE_PARAM, SHELLS, TOL, Param("sublattices", OBJECT("Optional[Sequence[int]]"), None)),
        "List[Dict[str, Any]]",
        "Per sublattice, its sites, species, counts, shell radii, coordination and alpha (flat [s][a][b]).",
    ),
    Callable(
        "_sqs",
        FUNCTION,
        (
            STRUCTURE_PARAM,
            Param("supercell", REPEATS, None, field="request.supercell"),
            Param("max_sites", INT_OR_NONE, None, field="request.max_sites"),
            replace(SHELLS, kind=SIZE, field="request.shells"),
            Param("weights", NUMBERS_OR_NONE, None, field="request.weights"),
            Param("target", PAIR_TARGETS, None, field="request.target"),
            SEARCH_TIME_LIMIT,
            Param("iterations", INT_OR_NONE, None, field="request.anneal.iterations"),
            Param("n_threads", INT, 0),
            replace(SEED, field="request.anneal.seed"),
            replace(TOL, field="request.tol"),
            replace(MAX_DENOMINATOR, field="request.max_denominator"),
            Param("progress", OBJECT("Optional[Callable[[float, float, int], Any]]"), None),
        ),
        "Tuple[Structure, Dict[str, Any]]",
        "An ordering of the partly occupied sites with chosen short-range order, and its report.",
        structs=(("request", CoreStruct("order::SqsRequest", "order/sqs.hpp", literal=False)),),
    ),
    StubText("# Private: the pair sums of the Debye scattering equation, behind kestrel.debye_intensity."),
    Callable(
        "_debye_sums",
        FUNCTION,
        (
            STRUCTURE_PARAM,
            Param("q", NUMBERS_OR_NONE),
            DEBYE_BIN_WIDTH,
            Param("exact", BOOL, False, field="settings.exact"),
            Param("n_threads", INT, 0, field="settings.n_threads"),
        ),
        "Tuple[List[str], List[float], FloatArray, int]",
        doc(r"""
        (elements, self, pairs, site_pairs): per element its occupancy sum, the weight of f^2; per unordered \
        element pair (A <= B, A-major) a row of n_q sums of pair weight times sin(Qr)/(Qr) over ordered pairs \
        of distinct sites; and how many unordered site pairs were summed.
        """),
        structs=(("settings", CoreStruct("DebyeSettings", "scattering/debye.hpp")),),
    ),
    StubText("# Private: the Bragg part of a crystal's total scattering, behind kestrel.compute_sq."),
    Callable(
        "_bragg_sums",
        FUNCTION,
        (
            Param("lattice", MAT3_OR_NONE),
            Param("frac", NUMBERS_OR_NONE),
            Param("occupancy", NUMBERS_OR_NONE),
            Param("u", NUMBERS_OR_NONE, field="settings.u"),
            Param("q", NUMBERS_OR_NONE),
            Param("qdamp", FLOAT, 0.0, field="settings.qdamp"),
            Param("n_threads", INT, 0, field="settings.n_threads"),
        ),
        "Tuple[FloatArray, int, int]",
        doc(r"""
        (pairs, reflections, copies): the Bragg sums B_AB(Q) per atom (n_q x n_el x n_el) of the average \
        crystal given by lattice rows, flat fractional coordinates and flat per-site occupancies of the \
        elements u names; the reflections summed (G and -G apart) and how many copies of the cell summed \
        the given one holds.
        """),
        structs=(("settings", CoreStruct("BraggSettings", "scattering/bragg.hpp")),),
    ),
    Callable(
        "_big_box_model",
        FUNCTION,
        (
            STRUCTURE_PARAM,
            Param("supercell", REPEATS),
            Param("sublattices", OBJECT("Optional[Sequence[int]]"), None),
            SEED,
        ),
        "Dict[str, Any]",
        doc(r"""
        The supercell a big-box refinement starts from: lattice, frac (flat), species \
        (codes into elements, -1 for a vacancy), elements, pools (sites that trade places) \
        and units (per pool of unit copies, per copy, per alternative, its (site, species)).
        """),
    ),
    Callable(
        "_big_box_refine",
        FUNCTION,
        (
            Param("model", OBJECT("Dict[str, Any]")),
            Param("data", OBJECT("Sequence[Dict[str, Any]]")),
            Param("swap", BOOL, True, field="settings.swap"),
            Param("displace", BOOL, False, field="settings.displace"),
            Param("max_step", FLOAT, 0.1, field="settings.max_step"),
            Param("min_distance", OBJECT("Optional[Sequence[float]]"), None),
            Param("bin", FLOAT, 0.005, field="settings.bin"),
            Param("n_bins", SIZE, 0, field="settings.n_bins"),
            Param("iterations", INT_OR_NONE, None, field="settings.iterations"),
            Param("time_limit", TIME_LIMIT, None),
            Param("seed", INT, 42, field="settings.seed"),
            Param("replicas", OBJECT("Sequence[int]"), None),
            Param("n_threads", INT, 0),
            Param("progress", OBJECT("Optional[Callable[[float, float, int], Any]]"), None),
        ),
        "List[Dict[str, Any]]",
        doc(r"""
        Run big-box replicas on `model` (as _big_box_model gives it) against `data`: per data set \
        a dict of first, step, oversample, data, weight, factor, baseline, profile (per pair), centre \
        and importance, or for a curve in Q of q, data, weight, baseline, pair_q (per pair), taper \
        (per bin), bin and importance. Returns per replica its species, frac, counts, rw, scale, rw_total, history, \
        tried, accepted and seconds.
        """),
        structs=(("settings", CoreStruct("bigbox::RefineSettings", "bigbox/refine.hpp", literal=False)),),
    ),
    StubText("class _TrajectoryStream: ...  # a capsule holding an open trajectory"),
    Callable(
        "_open_trajectory",
        FUNCTION,
        (PATH_PARAM, EVERY, START, STOP, OPTIONS_CELL, TYPES, FORMAT),
        "_TrajectoryStream",
        doc(r"""
        Open a trajectory (format 'xyz' or 'lammps-dump') for reading chunk after chunk.
        The file is opened by the first _next_trajectory_chunk; it may be a pipe.
        """),
        structs=(SELECTION, OPTIONS),
    ),
    Callable(
        "_next_trajectory_chunk",
        FUNCTION,
        (
            Param("stream", OBJECT("_TrajectoryStream")),
            Param("max_frames", INT, field="limits.frames"),
            Param("max_atoms", INT, field="limits.atoms"),
        ),
        "Tuple[List[Structure], List[int], Tuple[int, bool]]",
        doc(r"""
        Read on until max_frames kept frames or max_atoms atoms in them. Returns
        (structures, frame_indices, (frames_read, finished)).
        """),
        structs=(CHUNK_LIMITS,),
    ),
]

DECLARED: Dict[str, Union[Callable, Property]] = {
    item.name: item for item in STRUCTURE + MODULE if isinstance(item, (Callable, Property))
}
