"""The documentation site keeps up with the code: every public name has an API entry, every main
job has a worked example that calls it, and every guide's examples run and print what the page
shows. The site itself is built (its gallery run) by .ci/run, with warnings as errors."""

import doctest
import importlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestrel
from conftest import ROOT, run_kestrel

DOCS = ROOT / "docs"
API = (DOCS / "api.rst").read_text(encoding="utf-8")
DOCUMENTED = set(re.findall(r"^\.\. auto\w+:: ([\w.]+)", API, flags=re.M))
GUIDES = sorted((DOCS / "guide").glob("*.rst"))
GALLERY = sorted((DOCS / "examples").glob("*.rst"))

# What a printed example may leave open: "..." stands for any text (times, counts of a search
# that runs by the clock), as in a doctest.
OUTPUT_OPTIONS = doctest.ELLIPSIS


def same_output(expected, got):
    """Whether printed text matches what a page shows, trailing blanks aside."""

    def tidy(text):
        return "\n".join(line.rstrip() for line in text.strip("\n").splitlines()) + "\n"

    return doctest.OutputChecker().check_output(tidy(expected), tidy(got), OUTPUT_OPTIONS)


def workspace(folder):
    """A folder laid out as a fresh clone for the examples: the shipped files under their paths,
    and room for what the examples write."""
    for name in ("examples", "docs"):
        os.symlink(ROOT / name, Path(folder) / name)
    return folder


def check_commands(commands, cwd):
    """Run ``kestrel ...`` commands as a user types them; return the mismatches with what a page
    shows after each (None: the page shows nothing)."""
    wrong = []
    for line, command, expected in commands:
        result = run_kestrel(*command, cwd=cwd)
        if result.returncode != 0:
            wrong.append(f"line {line}: kestrel {' '.join(command)} failed:\n{result.stderr}")
        elif "Warning" in result.stderr:
            # A shipped example that warns would warn every new user.
            wrong.append(f"line {line}: kestrel {' '.join(command)} warned:\n{result.stderr}")
        elif expected is not None and not same_output(expected, result.stdout):
            wrong.append(
                f"line {line}: kestrel {' '.join(command)} printed\n{result.stdout}\nthe page shows\n{expected}"
            )
    return wrong


def console_commands(text):
    """The ``$ kestrel ...`` lines of a page's console blocks, each with the output shown under it."""
    commands = []
    for block in re.finditer(r"^\.\. code-block:: console\n\n((?:[ ]{3}.*\n|\n)+)", text, flags=re.M):
        start = text[: block.start()].count("\n") + 3
        lines = [line[3:] for line in block.group(1).rstrip("\n").split("\n")]
        for index, line in enumerate(lines):
            if not line.startswith("$ "):
                continue
            command, rest = line[2:], index + 1
            while command.endswith("\\") and rest < len(lines):
                command, rest = command[:-1] + " " + lines[rest], rest + 1
            output = []
            for following in lines[rest:]:
                if following.startswith("$ "):
                    break
                output.append(following)
            words = command.split()
            assert words[0] == "kestrel", f"line {start + index}: only kestrel commands are run: {line}"
            commands.append((start + index, words[1:], "\n".join(output) if any(output) else None))
    return commands


SUBPACKAGES = [
    "kestrel.io",
    "kestrel.plotting",
    "kestrel.scattering",
    "kestrel.ordering",
    "kestrel.batch",
    "kestrel.cli",
]
SUBPACKAGES += ["kestrel.trajectory", "kestrel.ensemble"]


@pytest.mark.parametrize("name", sorted(kestrel.__all__))
def test_every_public_name_is_in_the_api_reference(name):
    if name == "__version__":
        assert "kestrel.__version__" in API
        return
    assert f"kestrel.{name}" in DOCUMENTED


@pytest.mark.parametrize(
    "module, name",
    [(m, n) for m in SUBPACKAGES for n in importlib.import_module(m).__all__],
)
def test_every_public_name_of_a_subpackage_is_in_the_api_reference(module, name):
    """Documented under the subpackage, or the same object documented under another name (a
    subpackage may pass on a name of another, as ``kestrel`` passes on most)."""
    value = getattr(importlib.import_module(module), name)
    assert f"{module}.{name}" in DOCUMENTED or any(documented_object(path) is value for path in DOCUMENTED)


def documented_object(path):
    module, _, name = path.rpartition(".")
    try:
        return getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError):
        return None


def sphinx_build(source, out):
    return subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "-q", "-b", "html", str(source), str(out)],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_a_broken_reference_fails_the_build(tmp_path):
    """The site's settings make an unresolved name or page an error under -W, as CI builds it;
    a name written as users call it resolves."""
    pytest.importorskip("sphinx")
    pytest.importorskip("furo")
    source = tmp_path / "source"
    source.mkdir()
    (source / "conf.py").write_text((DOCS / "conf.py").read_text(encoding="utf-8"), encoding="utf-8")
    shutil.copytree(DOCS / "_static", source / "_static")
    page = "Home\n====\n\n.. autofunction:: kestrel.rdf_bins\n\nSee :func:`rdf_bins` and {}.\n"
    (source / "index.rst").write_text(page.format("the bins"), encoding="utf-8")
    assert sphinx_build(source, tmp_path / "good").returncode == 0
    (source / "index.rst").write_text(page.format(":func:`kestrel.no_such_function`"), encoding="utf-8")
    broken = sphinx_build(source, tmp_path / "broken")
    assert broken.returncode != 0
    assert "kestrel.no_such_function" in broken.stderr


def test_every_page_is_in_a_table_of_contents():
    pages = sorted(p.relative_to(DOCS).with_suffix("").as_posix() for p in DOCS.rglob("*.rst"))
    listed = "\n".join(p.read_text(encoding="utf-8") for p in [DOCS / "index.rst", *DOCS.glob("*/index.rst")])
    assert [page for page in pages if not page.endswith("index") and page.split("/")[-1] not in listed] == []


# Each main job and the calls a worked example must make to show it.
MAIN_JOBS = {
    "partial RDFs": ["prdf"],
    "correlated disorder": ["from_cif", "units"],
    "expansion into orderings": ["ordering_ensemble"],
    "short-range order and SQS": ["sqs", "warren_cowley"],
    "trajectories": ["trajectory_rdf"],
    "X-ray and neutron PDFs": ["compute_pdf"],
    "PDF refinement": ["refine_pdf"],
    "reciprocal space": ["compute_sq", "debye_intensity"],
    "big-box refinement": ["refine_big_box"],
    "batch tables": ["rdf_table", "feature_matrix"],
}


@pytest.mark.parametrize("job", MAIN_JOBS)
def test_every_main_job_has_a_worked_example(job):
    sources = {page.name: page.read_text(encoding="utf-8") for page in GALLERY}
    calls = MAIN_JOBS[job]
    assert [name for name, text in sources.items() if all(re.search(rf"\b{c}\b", text) for c in calls)], (
        f"no worked example calls {', '.join(calls)}"
    )


# MDAnalysis guesses masses and time steps a LAMMPS dump does not give, and says so.
@pytest.mark.filterwarnings("ignore::UserWarning:MDAnalysis")
@pytest.mark.parametrize("page", [DOCS / "index.rst", *GUIDES, *GALLERY], ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_page_examples_print_what_the_page_shows(page, tmp_path, monkeypatch):
    """A page's ``>>>`` examples run in order in one namespace, as a reader types them, and its
    ``$ kestrel`` commands run after them in the same folder. (The gallery's figures are drawn by
    the site's build; here its printed lines are checked.)"""
    pytest.importorskip("matplotlib")
    text = page.read_text(encoding="utf-8")
    monkeypatch.chdir(workspace(tmp_path))
    test = doctest.DocTestParser().get_doctest(text, {"__name__": "__guide__"}, page.stem, str(page), 0)
    report = []
    runner = doctest.DocTestRunner(optionflags=OUTPUT_OPTIONS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test, out=report.append, clear_globs=True)
    wrong = check_commands(console_commands(text), tmp_path)
    assert not report and not wrong, "".join(report) + "\n".join(wrong)


def code_lines(text):
    """(line number, width as shown) of every line a page shows as code: directive blocks
    (code-block, plot) and top-level doctest blocks, their indent taken off."""
    lines = text.splitlines()
    shown, inside, doctest_block = [], False, False
    for number, line in enumerate(lines, 1):
        if re.match(r"\.\. (code-block|plot|literalinclude)::", line):
            inside = True
            continue
        if inside and line and not line.startswith(" "):
            inside = False
        doctest_block = line.startswith(">>>") or (doctest_block and line != "")
        if inside and line.startswith("   ") and not re.match(r"   :[\w-]+:", line):
            shown.append((number, len(line) - 3))
        elif doctest_block:
            shown.append((number, len(line)))
    return shown


# The widest code a page may show. The theme's column (docs/_static/kestrel.css) holds 110
# columns of its code font in windows down to 1000 px wide; the margin is for wider fonts.
CODE_COLUMNS = 104


@pytest.mark.parametrize("page", GUIDES + GALLERY + [DOCS / "index.rst"], ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_code_fits_the_column(page):
    wide = [number for number, width in code_lines(page.read_text(encoding="utf-8")) if width > CODE_COLUMNS]
    assert wide == [], f"{page.name}: lines wider than {CODE_COLUMNS} columns: {wide}"


def test_code_lines_are_found_in_directives_and_doctests():
    text = "prose\n\n.. plot::\n   :context:\n\n   x = 1\n\nmore\n\n>>> y\n2\n\nend\n"
    assert code_lines(text) == [(6, 5), (10, 5), (11, 1)]


def python_blocks(text):
    """(line, code) of a page's ``code-block:: python`` blocks: code shown but not run (a cluster's
    address, files a clone lacks)."""
    blocks = []
    for block in re.finditer(r"^\.\. code-block:: python\n\n((?:[ ]{3}.*\n|\n)+)", text, flags=re.M):
        code = "\n".join(line[3:] for line in block.group(1).split("\n"))
        blocks.append((text[: block.start()].count("\n") + 3, code))
    return blocks


@pytest.mark.parametrize("page", [DOCS / "index.rst", *GUIDES, *GALLERY], ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_code_shown_but_not_run_is_python_that_names_real_calls(page):
    """What a page cannot run it can still not misspell: each block compiles, and each
    ``kestrel.name`` it calls exists."""
    for line, code in python_blocks(page.read_text(encoding="utf-8")):
        compile(code, f"{page.name}:{line}", "exec")
        missing = [name for name in re.findall(r"\bkestrel\.(\w+)", code) if not hasattr(kestrel, name)]
        assert missing == [], f"{page.name}:{line}: kestrel has no {missing}"


def test_console_blocks_are_read_with_their_output():
    text = (
        ".. code-block:: console\n\n   $ kestrel info x.cif\n   Structure(1 site)\n"
        "   $ kestrel rdf x.cif \\\n       --cutoff 5\n\nafter\n"
    )
    assert console_commands(text) == [
        (3, ["info", "x.cif"], "Structure(1 site)"),
        (5, ["rdf", "x.cif", "--cutoff", "5"], None),
    ]


@pytest.mark.parametrize(
    "expected, got, same",
    [
        ("Rw = 0.0712\nconverged after ... s", "Rw = 0.0712  \nconverged after 54 in 0.801 s\n", True),
        ("Rw = 0.0712", "Rw = 0.0713", False),
        ("a\nb", "a\n", False),
    ],
)
def test_printed_output_is_compared_as_shown(expected, got, same):
    assert same_output(expected, got) is same
