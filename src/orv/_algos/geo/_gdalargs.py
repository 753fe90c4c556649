"""Turn Python values into the plain str and list-of-str arguments GDAL's binding reads.

The binding copies each string into C memory. Given anything else in a string list it fails
badly (GDAL 3.6 raises SystemError for a 0-d numpy array, and items it cannot read have
crashed the process), so every list handed to GDAL is rebuilt here from checked items.
"""

import numbers
import operator
import os
from collections.abc import Iterable, Mapping
from typing import Any, cast


def c_string(value: str, what: str) -> str:
    """``value`` (str) as a plain str that survives the trip to C; ValueError otherwise."""
    text = str.__str__(value)  # drops str subclasses and their overrides
    if "\0" in text:
        raise ValueError(f"{what} contains a NUL character: {text!r}")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as exc:
        raise ValueError(f"{what} is not valid Unicode text: {text!r}") from exc
    return text


def path_string(value: object, what: str = "path") -> str:
    """A str or os.PathLike path as a checked str."""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
        if isinstance(value, bytes):
            value = os.fsdecode(value)
    if not isinstance(value, str):
        raise TypeError(f"{what} must be str or os.PathLike, not {type(value).__name__}")
    return c_string(value, what)


def integer(value: Any, what: str) -> int:
    """``value`` as a plain int: any integer type (numpy's included), never a bool or float."""
    if isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(
            f"{what} must be an integer (int or numpy integer), not {type(value).__name__}"
        )
    return operator.index(value)


def plain_scalar(value: object) -> object:
    """A numpy integer scalar as int and an os.PathLike as str; anything else unchanged.

    Used for arguments whose meaning is not known: what the binding reads wrongly (it refuses
    numpy integers and paths) becomes what it reads, while bools, arrays and handles pass.
    """
    if isinstance(value, numbers.Integral) and not isinstance(value, int):
        return operator.index(value)
    if isinstance(value, os.PathLike):
        return path_string(value)
    return value


def str_list(values: object, what: str, *, paths: bool = False) -> list[str]:
    """A new list of checked str built from None or an iterable of str (or os.PathLike).

    A bare str, bytes, mapping or path is refused rather than iterated, as is anything that
    is not iterable (a 0-d numpy array included).
    """
    if values is None:
        return []
    if isinstance(values, (str, bytes, bytearray, Mapping, os.PathLike)):
        raise TypeError(f"{what} must be a list of str, not a single {type(values).__name__}")
    try:
        items = list(cast(Iterable[object], values))
    except TypeError:
        raise TypeError(f"{what} must be a list of str, not {type(values).__name__}") from None
    result = []
    for index, item in enumerate(items):
        label = f"{what}[{index}]"
        if paths and isinstance(item, os.PathLike):
            result.append(path_string(item, label))
        elif isinstance(item, str):
            result.append(c_string(item, label))
        else:
            allowed = "str or os.PathLike" if paths else "str"
            raise TypeError(f"{label} must be {allowed}, not {type(item).__name__}")
    return result


def option_strings(options: object, what: str = "options") -> list[str]:
    """GDAL's "NAME=VALUE" list for an option mapping.

    True/False become YES/NO, None leaves the option out (nothing chosen), other values are
    written with str(). Names must be non-empty str without "=".
    """
    if options is None:
        return []
    if not isinstance(options, Mapping):
        raise TypeError(f"{what} must be a mapping, not {type(options).__name__}")
    result = []
    for name, value in options.items():
        if not isinstance(name, str):
            raise TypeError(f"{what} names must be str, not {type(name).__name__}")
        if not name or "=" in name:
            raise ValueError(f"invalid {what} name: {name!r}")
        if value is None:
            continue
        if isinstance(value, bool):
            text = "YES" if value else "NO"
        else:
            text = value if isinstance(value, str) else str(value)
        result.append(c_string(f"{name}={text}", f"{what}[{name!r}]"))
    return result


def option_list(options: object, what: str = "options") -> list[str]:
    """GDAL's "NAME=VALUE" list for options given as None, a {name: value} mapping (see
    option_strings) or an iterable of "NAME=VALUE" str; the one normaliser of options."""
    if options is None or isinstance(options, Mapping):
        return option_strings(options, what)
    return str_list(options, what)
