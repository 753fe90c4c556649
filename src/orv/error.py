"""Exception hierarchy shared by all orv subpackages.

Every class accepts either one ready-made message or the keywords ``errors`` (the rejected
value, or a list of them) and ``all_sels`` (the admissible choices: a mapping, whose keys are
used, or any iterable).  With the keywords the message is built here, e.g.
``Unsupported value(s): 'compress'. Admissible: 'COMPRESS', 'TILED'``.

Building the message never fails and never gives an empty text: ``errors=None`` is a
rejected value like any other ("Unsupported value(s): None"), an exception built without a
message says what kind of error it is, a value whose ``repr`` raises is described by its type,
long reprs are shortened and long lists are cut with a count of what was left out.
"""

from collections.abc import Iterable, Mapping, Sized
from itertools import islice
from typing import Any, Final

# Limits that keep a message readable when a caller passes a huge registry or value.
MAX_LISTED_ITEMS: Final = 20
MAX_ITEM_CHARS: Final = 80


class _Absent:
    """Type of the sentinel for "the keyword was not given" (None is a rejected value too)."""

    def __repr__(self) -> str:
        return "<absent>"


_ABSENT: Final = _Absent()


def safe_repr(value: object, limit: int | None = None) -> str:
    """``repr(value)`` that never raises; cut to ``limit`` characters when one is given."""
    try:
        text = repr(value)
    except Exception:
        text = f"<{type(value).__name__} object>"
    if limit is not None and len(text) > limit:
        text = text[: max(limit - 3, 0)] + "..."
    return text


def _rejected_items(errors: object) -> Iterable[object]:
    # A list-like is a list of rejected values; anything else is one rejected value.
    if isinstance(errors, (list, tuple, set, frozenset)):
        return errors
    return (errors,)


def _choice_items(all_sels: object) -> Iterable[object]:
    if isinstance(all_sels, Mapping):
        return all_sels.keys()
    if isinstance(all_sels, (str, bytes, bytearray)) or not isinstance(all_sels, Iterable):
        return (all_sels,)
    return all_sels


def _format_items(items: Iterable[object]) -> str:
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
            count = len(items) if isinstance(items, Sized) else None
        except Exception:
            count = None
        texts.append("..." if count is None else f"... ({count - MAX_LISTED_ITEMS} more)")
    return ", ".join(texts)


def build_message(
    message: object = None, errors: object = _ABSENT, all_sels: object = _ABSENT
) -> str:
    """The text an ORVError carries; see the module docstring (empty when nothing is given)."""
    parts = []
    if message is not None:
        parts.append(message if isinstance(message, str) else safe_repr(message))
    if errors is not _ABSENT:
        parts.append(f"Unsupported value(s): {_format_items(_rejected_items(errors))}")
    if all_sels is not _ABSENT:
        parts.append(f"Admissible: {_format_items(_choice_items(all_sels))}")
    return ". ".join(parts)


class ORVError(Exception):
    """An error raised by orv."""

    errors: Any
    """The rejected value(s) given as ``errors``; None when the keyword was not given."""
    all_sels: Any
    """The admissible choices given as ``all_sels``; None when the keyword was not given."""

    def __init__(
        self, message: object = None, *, errors: object = _ABSENT, all_sels: object = _ABSENT
    ) -> None:
        self.errors = None if errors is _ABSENT else errors
        self.all_sels = None if all_sels is _ABSENT else all_sels
        if isinstance(message, str) and not message:
            message = None
        if errors is _ABSENT and all_sels is _ABSENT and message is not None:
            # One-argument form: the message is used exactly as given.
            super().__init__(message)
        else:
            super().__init__(build_message(message, errors, all_sels) or self._default_message())

    @classmethod
    def _default_message(cls) -> str:
        doc = (cls.__doc__ or "").strip()
        return doc.splitlines()[0] if doc else cls.__name__


class FormatError(ORVError):
    """A format, driver, option or data type that orv cannot use."""


class SpmisError(ORVError):
    """An invalid input to the spatial interpolation tools."""


class ParameterError(ORVError):
    """An invalid model parameter."""


class GDALError(ORVError, RuntimeError):
    """GDAL reported a failure; the message is GDAL's own."""


class GDALWarning(RuntimeWarning):
    """A warning GDAL reported during an operation of orv; the message is GDAL's own."""
