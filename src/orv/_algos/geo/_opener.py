"""Opening a source with GDAL: which kinds to try in which order, and update or read-only."""

from osgeo import _gdal, gdal

from ._gdalcall import call_gdal_fun
from ._writable import source_writable

# Kinds of dataset GDAL can open; the classic kinds are tried before the others.
_CLASSIC_KINDS = gdal.OF_RASTER | gdal.OF_VECTOR
_OTHER_KINDS = (gdal.OF_MULTIDIM_RASTER, gdal.OF_GNM)
_ALL_KINDS = _CLASSIC_KINDS | gdal.OF_MULTIDIM_RASTER | gdal.OF_GNM


def kind_attempts(flags: int) -> list[int]:
    """The kind bits of each open to try, in order.

    Asked for raster or vector together with the multidimensional or network kinds, a driver
    such as netCDF answers in its multidimensional mode (no bands): so the classic kinds come
    first and the others are tried, one by one, only if the classic open fails. Asked for
    both raster and vector, a raster driver may claim a file and fail on it (a point CSV
    taken by the XYZ grid driver): so the vector kind alone is tried next.
    """
    kinds = flags & _ALL_KINDS
    classic = kinds & _CLASSIC_KINDS
    others = [kind for kind in _OTHER_KINDS if kinds & kind]
    if not classic:
        return [kinds]
    fallback = [gdal.OF_VECTOR] if classic == _CLASSIC_KINDS else []
    return [classic, *fallback, *others]


def open_dataset(
    path: str,
    flags: int,
    drivers: list[str],
    options: list[str],
    siblings: list[str],
    read_only_fallback: bool,
) -> tuple[gdal.Dataset, bool]:
    """(the opened dataset, whether it was opened for update); see geodatabase.open_file."""
    # Verbose errors make GDAL say why a file was not opened instead of returning silently.
    other_flags = (flags & ~(_ALL_KINDS | gdal.OF_UPDATE)) | gdal.OF_VERBOSE_ERROR
    modes = [0]
    if flags & gdal.OF_UPDATE:
        if not read_only_fallback:
            modes = [gdal.OF_UPDATE]
        elif source_writable(path) is not False:
            modes.insert(0, gdal.OF_UPDATE)
    # GDALError, or the binding's RuntimeError when the user turned on GDAL's exceptions.
    failures: list[RuntimeError] = []
    for kinds in kind_attempts(flags):
        failure: RuntimeError | None = None
        for mode in modes:
            try:
                dataset = call_gdal_fun(
                    _gdal.OpenEx, path, other_flags | kinds | mode, drivers, options, siblings
                )
            except RuntimeError as exc:
                failure = exc  # the read-only attempt's message, when there is one, is kept
                continue
            return dataset, bool(mode)
        if failure is not None:
            failures.append(failure)
    raise failures[0]
