"""Whether a source can be opened for writing, asked of GDAL's file systems before opening it.

A dataset opened in update mode from a source that cannot be written may come back emptied
(GDAL skips the files it cannot update and only prints a warning), so the opener asks first.
The answer is GDAL's own: the file system of the path is asked to open the file for reading
and writing, which /vsizip/, /vsitar/, /vsigzip/, /vsicurl/, /vsis3/ and the like refuse, as
does the operating system for a file without write permission. Nothing is written.
"""

import os

from osgeo import gdal

from ._gdalerrors import quiet


def source_writable(path: str) -> bool | None:
    """True or False when GDAL can tell; None for a source that is no file GDAL can stat.

    None covers connection strings and driver-specific names ("NETCDF:x.nc:var"): only
    opening them can tell. A directory (a folder of shapefiles, a zip opened as a folder) is
    writable when it is and every file directly in it is.
    """
    with quiet():
        stat = gdal.VSIStatL(path)
        if stat is None:
            return None
        if stat.IsDirectory():
            return _directory_writable(path)
        return _file_writable(path)


def _file_writable(path: str) -> bool:
    try:
        handle = gdal.VSIFOpenExL(path, "rb+", False)
    except RuntimeError:  # the refusal, when the user turned on GDAL's exceptions
        return False
    if handle is None:
        return False
    gdal.VSIFCloseL(handle)
    return True


def _directory_writable(path: str) -> bool:
    if not path.startswith("/vsi") and not os.access(path, os.W_OK | os.X_OK):
        return False
    directory = path.rstrip("/")
    for name in gdal.ReadDir(path) or []:
        if name in (".", ".."):
            continue
        child = f"{directory}/{name}"
        stat = gdal.VSIStatL(child)
        if stat is not None and not stat.IsDirectory() and not _file_writable(child):
            return False
    return True
