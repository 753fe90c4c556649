"""Pieces of the ``orv`` command line: registry views, point readers, the semivariogram."""

import argparse


class CliError(Exception):
    """A problem with the user's input; the command line prints it and exits with status 2."""


def positive_int(text: str) -> int:
    """argparse type: an integer of at least 1."""
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {number}")
    return number
