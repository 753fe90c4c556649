"""Exception hierarchy shared by all orv subpackages.

Every class accepts either one ready-made message or the keywords ``errors`` (the rejected
value, or a list of them) and ``all_sels`` (the admissible choices: a mapping, whose keys are
used, or any iterable).  With the keywords the message is built here, e.g.
``Unsupported value(s): 'compress'. Admissible: 'COMPRESS', 'TILED'``.

Building the message never fails: a value whose ``repr`` raises is described by its type,
long reprs are shortened and long lists are cut with a count of what was left out.
"""

from collections.abc import Iterable, Mapping
from itertools import islice

# Limits that keep a message readable when a caller passes a huge registry or value.
MAX_LISTED_ITEMS = 20
MAX_ITEM_CHARS = 80

# Sentinel for "the keyword was not given" (None is a legitimate rejected value).
_ABSENT = object()


def safe_repr(value, limit=None):
    """``repr(value)`` that never raises; cut to ``limit`` characters when one is given."""
    try:
        text = repr(value)
    except Exception:
        text = f"<{type(value).__name__} object>"
    if limit is not None and len(text) > limit:
        text = text[: max(limit - 3, 0)] + "..."
    return text


def _rejected_items(errors):
    # A list-like is a list of rejected values; anything else is one rejected value.
    if isinstance(errors, (list, tuple, set, frozenset)):
        return errors
    return (errors,)


def _choice_items(all_sels):
    if isinstance(all_sels, Mapping):
        return all_sels.keys()
    if isinstance(all_sels, (str, bytes, bytearray)) or not isinstance(all_sels, Iterable):
        return (all_sels,)
    return all_sels


def _format_items(items):
    """Comma-separated reprs of at most MAX_LISTED_ITEMS items, then a note on the rest."""
    try:
        shown = list(islice(iter(items), MAX_LISTED_ITEMS + 1))
    except Exception:
        return f"<unlistable {type(items).__name__}>"
    if not shown:
        return "none"
    texts = [safe_repr(item, MAX_ITEM_CHARS) for item in shown[:MAX_LISTED_ITEMS]]
    if len(shown) > MAX_LISTED_ITEMS:
        try:
            texts.append(f"... ({len(items) - MAX_LISTED_ITEMS} more)")
        except Exception:
            texts.append("...")
    return ", ".join(texts)


def build_message(message=None, errors=_ABSENT, all_sels=_ABSENT):
    """The text an ORVError carries; see the module docstring."""
    parts = []
    if message is not None:
        parts.append(message if isinstance(message, str) else safe_repr(message))
    if errors is not _ABSENT:
        parts.append(f"Unsupported value(s): {_format_items(_rejected_items(errors))}")
    if all_sels is not _ABSENT:
        parts.append(f"Admissible: {_format_items(_choice_items(all_sels))}")
    return ". ".join(parts)


class ORVError(Exception):
    """Base class of all orv errors."""

    def __init__(self, message=None, *, errors=None, all_sels=None):
        self.errors = errors
        self.all_sels = all_sels
        if errors is None and all_sels is None:
            # One-argument form: the message is used exactly as given.
            args = () if message is None else (message,)
        else:
            args = (
                build_message(
                    message,
                    _ABSENT if errors is None else errors,
                    _ABSENT if all_sels is None else all_sels,
                ),
            )
        super().__init__(*args)


class FormatError(ORVError):
    """A format, driver, option or data type that orv cannot use."""


class SpmisError(ORVError):
    """An invalid input to the spatial interpolation tools."""


class ParameterError(ORVError):
    """An invalid model parameter."""


class GDALError(ORVError, RuntimeError):
    """GDAL reported a failure; the message is GDAL's own."""
