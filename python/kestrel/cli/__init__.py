"""The ``kestrel`` command line: info, rdf, expand, traj, ensemble, batch and pdf, one module each."""

from kestrel.cli.main import build_parser, main

__all__ = ["main", "build_parser"]
