"""Pieces of the ``orv`` command line: registry views, point readers, the semivariogram."""


class CliError(Exception):
    """A problem with the user's input; the command line prints it and exits with status 2."""
