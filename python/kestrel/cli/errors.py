"""The error of the command line's own input."""


class CommandError(Exception):
    """A problem with the command line's own input, reported like a library error."""
