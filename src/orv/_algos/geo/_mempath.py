"""Unique temporary dataset paths in GDAL's in-memory file system (/vsimem).

Each path gets a directory of its own, so that every file a driver writes beside the dataset
(a shapefile's .shx and .dbf, say) is found and removed with it. Paths are remembered until
removed: a dataset wrapper claims the path of its dataset, and when its last claimant lets
go the files are unlinked, so repeated creation does not grow memory.
"""

import threading
import uuid
from typing import Any

from osgeo import gdal

_ROOT = "/vsimem/orv"
_lock = threading.Lock()
# path -> [its private directory, number of live claims]
_issued: dict[str, list[Any]] = {}


def mem_temp_path(extension=""):
    """A new, unique /vsimem path; it ends in "." + extension when one is given."""
    if extension is None:
        extension = ""
    if not isinstance(extension, str):
        raise TypeError(f"extension must be str, not {type(extension).__name__}")
    extension = extension.lstrip(".")
    if any(char in extension for char in "/\\\0"):
        raise ValueError(f"invalid extension: {extension!r}")
    directory = f"{_ROOT}/{uuid.uuid4().hex}"
    path = f"{directory}/data.{extension}" if extension else f"{directory}/data"
    with _lock:
        _issued[path] = [directory, 0]
    return path


def is_mem_temp_path(path):
    """Whether ``path`` was handed out by mem_temp_path and not yet removed."""
    with _lock:
        return path in _issued


def claim_mem_temp_path(path: str) -> bool:
    """Register one more user of ``path``; False when it is not a temporary path."""
    with _lock:
        entry = _issued.get(path)
        if entry is None:
            return False
        entry[1] += 1
        return True


def release_mem_temp_path(path: str) -> None:
    """Drop one claim on ``path``; the last one removes its files."""
    with _lock:
        entry = _issued.get(path)
        if entry is None:
            return
        entry[1] -= 1
        if entry[1] > 0:
            return
        del _issued[path]
    _remove_directory(entry[0])


def discard_mem_temp_path(path):
    """Remove the files of ``path`` now, whoever claims it."""
    with _lock:
        entry = _issued.pop(path, None)
    if entry is not None:
        _remove_directory(entry[0])


def _remove_directory(directory):
    for name in gdal.ReadDirRecursive(directory) or []:
        target = f"{directory}/{name}"
        if gdal.VSIStatL(target) is not None:
            gdal.Unlink(target)
