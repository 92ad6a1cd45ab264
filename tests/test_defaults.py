"""A default the package shares with the extension is written once, in the declaration of its signatures.

The package's functions and command-line options take it from kestrel._defaults,
which tools/make_signatures.py writes from src/python_binding/signatures.py.
"""

import ast
import importlib
import inspect
import pkgutil
import sys
import warnings
from pathlib import Path

import pytest

import kestrel
from kestrel.cli.main import build_parser

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "python" / "kestrel"
sys.path.insert(0, str(ROOT / "tools"))
import make_signatures  # noqa: E402

# parameter name -> its declared default
DECLARED = {param.name: make_signatures.core_value(param.default) for param, _ in make_signatures.D.PYTHON_DEFAULTS}
# The command line's options whose names differ from the parameter they set.
OPTION_PARAMS = {"time": "time_limit"}

# Parameters that share a name with a shared default but hold another quantity, and why.
OTHER_QUANTITIES = {
    ("kestrel.scattering.pdf.compute_pdf", "cutoff"): "G(r) is drawn out further than an RDF",
    ("kestrel.scattering.pdf.compute_pdf", "bin_size"): "G(r)'s r step is finer than an RDF's bins",
    ("kestrel.scattering.refine.refine_pdf", "symprec"): "spglib's tolerance for finding symmetry, in Å",
    ("kestrel.scattering.pdf.model_pdf", "symprec"): "as refine_pdf's",
    ("kestrel.scattering.constraints.crystal_symmetry", "symprec"): "as refine_pdf's",
    ("kestrel.plotting.rdf.save_prdf_plots", "bin_size"): "None: the curves are drawn at the bin edges given",
    ("kestrel.ordering.search.sqs", "max_sites"): "None: the supercell is asked for by repeats, or sized otherwise",
    ("kestrel pdf", "bin_size"): "compute_pdf's r step",
    ("kestrel sqs", "cutoff"): "a figure of the searched cell, shorter than an RDF's default",
    ("kestrel sqs", "bin_size"): "the same figure's bins",
    ("kestrel sqs", "max_sites"): "no default: --supercell or --max-sites is required",
    ("kestrel.bigbox.refine.refine_big_box", "max_sites"): "None: sized by supercell, or 4096 sites",
    ("kestrel.bigbox.refine.refine_big_box", "time_limit"): "a refinement runs a minute, not a search's second",
    ("kestrel rmc", "max_sites"): "no default: --supercell, else 4096 sites",
    ("kestrel rmc", "time_limit"): "a refinement's minute",
}


def literal_restatements(path: Path):
    """(line, name) of each literal in the file equal to a shared default, where that default's
    parameter is declared (a function's default), passed (a keyword, a dict key) or offered (argparse)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))

    def restated(name, node):
        return (
            name in DECLARED
            and isinstance(node, ast.Constant)
            and type(node.value) is type(DECLARED[name])
            and node.value == DECLARED[name]
        )

    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            args = node.args
            positional = args.posonlyargs + args.args
            pairs = list(zip(positional[len(positional) - len(args.defaults) :], args.defaults))
            pairs += [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
            yield from ((d.lineno, a.arg) for a, d in pairs if restated(a.arg, d))
        elif isinstance(node, ast.Call):
            keywords = {k.arg: k.value for k in node.keywords if k.arg}
            yield from ((v.lineno, k) for k, v in keywords.items() if restated(k, v))
            options = [a.value for a in node.args if isinstance(a, ast.Constant) and str(a.value).startswith("--")]
            if getattr(node.func, "attr", "") == "add_argument" and options and "default" in keywords:
                dest = options[0][2:].replace("-", "_")
                dest = OPTION_PARAMS.get(dest, dest)
                if restated(dest, keywords["default"]):
                    yield node.lineno, dest
        elif isinstance(node, ast.Dict):
            for key, value in zip(node.keys, node.values):
                if isinstance(key, ast.Constant) and isinstance(key.value, str) and restated(key.value, value):
                    yield value.lineno, key.value


@pytest.mark.parametrize("path", sorted(PACKAGE.rglob("*.py")), ids=lambda p: p.relative_to(PACKAGE).as_posix())
def test_no_module_writes_a_shared_default_again(path):
    found = [f"{line}: {name}" for line, name in literal_restatements(path)]
    assert not found, f"write these as kestrel._defaults.{{NAME}}: {found}"


def package_functions():
    """Every function and method defined in the package's own source, by its full name."""
    for info in pkgutil.walk_packages(kestrel.__path__, "kestrel."):
        if info.name == "kestrel.__main__":  # runs the command line when imported
            continue
        with warnings.catch_warnings():
            # Old module names still import, each with its deprecation warning.
            warnings.simplefilter("ignore", DeprecationWarning)
            module = importlib.import_module(info.name)
        for value in vars(module).values():
            members = [value] + (list(vars(value).values()) if inspect.isclass(value) else [])
            for member in members:
                member = getattr(member, "__func__", member)
                if inspect.isfunction(member) and member.__module__ == info.name:
                    code = member.__code__.co_filename
                    # The package as imported: the checkout, or an installed copy of it.
                    if Path(code).resolve().is_relative_to(Path(kestrel.__file__).resolve().parent):
                        yield f"{info.name}.{member.__qualname__}", member


def test_every_signature_shows_the_declared_default():
    # Looked at as callers see the functions: a default written as another
    # number, or taken from a wrong name, shows here; another quantity is listed.
    seen, wrong = set(), []
    for name, function in package_functions():
        for parameter in inspect.signature(function).parameters.values():
            if parameter.name not in DECLARED or parameter.default is inspect.Parameter.empty:
                continue
            seen.add(parameter.name)
            if (name, parameter.name) in OTHER_QUANTITIES:
                continue
            if parameter.default != DECLARED[parameter.name]:
                wrong.append(f"{name}({parameter.name}={parameter.default!r})")
    assert not wrong, f"declared: {DECLARED}"
    assert seen == set(DECLARED), "a shared default no function of the package takes"


def test_the_command_line_offers_and_states_the_declared_defaults():
    offered = set()
    subparsers = next(a for a in build_parser()._actions if a.choices and isinstance(a.choices, dict))
    for command, parser in subparsers.choices.items():
        shown = " ".join(parser.format_help().split())
        for action in parser._actions:
            name = OPTION_PARAMS.get(action.dest, action.dest)
            if name not in DECLARED or (f"kestrel {command}", name) in OTHER_QUANTITIES:
                continue
            offered.add(name)
            assert action.default == DECLARED[name], (command, action.option_strings)
            assert f"(default {action.default}" in shown, (command, action.option_strings)
    assert offered == set(DECLARED) - {"symprec"}  # the command line reads CIFs at the default symprec


@pytest.mark.parametrize(
    "source, restated",
    [
        ("def f(cutoff=10.0, bin_size=0.2): ...", ["cutoff"]),
        ("def f(*, symprec=1e-4, seed=7): ...", ["symprec"]),
        ("f(max_denominator=16, shells=3.0)", ["max_denominator"]),
        ("p.add_argument('--time', type=float, default=1.0)", ["time_limit"]),
        ("options = {'shells': 3, 'tol': TOL}", ["shells"]),
    ],
)
def test_the_scan_finds_a_default_written_again(tmp_path, source, restated):
    path = tmp_path / "module.py"
    path.write_text(source + "\n")
    assert [name for _, name in literal_restatements(path)] == restated
