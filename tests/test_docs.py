"""The documentation site covers the public names; the site itself is built (and its examples
run) by .ci/run, with warnings as errors."""

import re

import pytest

from conftest import ROOT
from test_layout import PUBLIC_NAMES

API = (ROOT / "docs" / "api.rst").read_text(encoding="utf-8")
DOCUMENTED = set(re.findall(r"^\.\. auto\w+:: ([\w.]+)", API, flags=re.M))


@pytest.mark.parametrize("module, name", [(m, n) for m, names in PUBLIC_NAMES.items() for n in names])
def test_every_public_name_is_in_the_api_reference(module, name):
    if name == "__version__":
        assert "kestrel.__version__" in API
        return
    assert f"{module}.{name}" in DOCUMENTED or f"kestrel.{name}" in DOCUMENTED


def test_every_page_is_in_a_table_of_contents():
    index = (ROOT / "docs" / "index.rst").read_text(encoding="utf-8")
    pages = sorted(p.relative_to(ROOT / "docs").with_suffix("").as_posix() for p in (ROOT / "docs").rglob("*.rst"))
    assert [page for page in pages if page != "index" and page not in index] == []
