"""Sphinx configuration of kestrel's documentation.

The API pages come from the docstrings (autodoc imports the installed package,
the compiled extension included), and the worked examples run while the site is
built (matplotlib's plot directive), so neither can drift from the code.
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")

import kestrel  # noqa: E402 - the backend is chosen first

project = "kestrel"
author = "the kestrel developers"
copyright = "the kestrel developers"
release = version = kestrel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "matplotlib.sphinxext.plot_directive",
]

# The examples run with the repository's root as their working directory, so
# they read the shipped files as a user in a fresh clone would.
plot_working_directory = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 110)]
plot_rcparams = {"figure.figsize": (7.0, 4.2), "figure.dpi": 110}

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": False}

# The docstrings are plain prose with ``literals``, not reStructuredText
# field lists; the default role keeps `x` from being read as a reference.
default_role = "literal"

# Every cross-reference must resolve, so a renamed function breaks the build (CI builds with -W).
# Types from outside the package are not documented here; the site is built offline, so there
# is no inventory of Python's or NumPy's pages to link them to.
nitpicky = True
nitpick_ignore = [("py:class", "Pair"), ("py:class", "StructureLike")]
nitpick_ignore_regex = [
    (r"py:(class|obj)", r"(os|argparse|typing|np|numpy|pyarrow|pandas)\..*"),
    # Private helper types that appear in a signature.
    (r"py:(class|obj)", r"kestrel\..*\._\w+"),
]


def _resolve_short_names(app, env, node, contnode):
    """Docstrings name the package's functions as users call them (:func:`compute_pdf`, written
    in the module that defines it): find the one documented object of that name."""
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"].rsplit(".", 1)[-1]
    domain = env.get_domain("py")
    found = sorted(name for name in domain.objects if name.rsplit(".", 1)[-1] == target)
    if not found:
        return None
    # The name users import wins: kestrel.X before kestrel.scattering.pdf.X.
    best = min(found, key=lambda name: name.count("."))
    return domain.resolve_xref(env, node["refdoc"], app.builder, node["reftype"], best, node, contnode)


def setup(app):
    app.connect("missing-reference", _resolve_short_names)


html_theme = "furo"
# The version on every page, above the navigation.
html_title = f"kestrel {version}"
html_static_path = ["_static"]
html_css_files = ["kestrel.css"]
exclude_patterns = ["_build"]
sys.path.insert(0, os.path.abspath(os.path.dirname(__file__)))
