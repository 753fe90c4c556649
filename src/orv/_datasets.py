"""Opening and creating datasets, and the driver registry: the package's public entry points.

GDAL and numpy are imported at the first call, not at ``import orv``, which they would slow
down by about 0.4 s.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    from ._algos.geo.driver import Driver, DriveStatistics
    from ._algos.geo.geodatabase import GeoDatabase

type PathArg = str | os.PathLike[str]
type Options = Mapping[str, object] | Iterable[str]
type DriverArg = str | Driver

# Text tables GDAL's CSV driver reads when told to, whatever the extension says.
TEXT_TABLE_SUFFIXES = (".txt", ".tsv")


def open(  # noqa: A001 - the package's own open, as in other geodata libraries
    path: PathArg,
    mode: Literal["r", "r+"] = "r",
    *,
    driver: DriverArg | None = None,
    kind: Literal["raster", "vector"] | None = None,
    options: Options | None = None,
) -> GeoDatabase:
    """Open an existing dataset.

    ``mode``: "r" opens read-only, never for update; "r+" for update (GDALError when GDAL
    cannot). ``driver``: a driver name or object, to use only that driver. ``kind``: "raster"
    or "vector" to try only drivers of that kind, so that a point CSV opens as a vector layer;
    with "vector", text tables named .txt or .tsv open through the CSV driver. ``options``:
    open options ({name: value} or "NAME=VALUE" str), checked by name (and listed value)
    against the driver's open options.
    """
    from osgeo import gdal

    from ._algos.geo import _driverpick
    from ._algos.geo._gdalargs import option_list, path_string
    from ._algos.geo.geodatabase import open_file

    if mode not in ("r", "r+"):
        raise ValueError(f"mode must be 'r' or 'r+', not {mode!r}")
    if kind not in (None, "raster", "vector"):
        raise ValueError(f"kind must be 'raster', 'vector' or None, not {kind!r}")
    source = path_string(path, "path")
    handle = None if driver is None else _driverpick.by_name(driver, kind)
    csv_named = handle is None or handle.ShortName == "CSV"
    if kind == "vector" and csv_named and source.lower().endswith(TEXT_TABLE_SUFFIXES):
        handle = gdal.GetDriverByName("CSV")
        source = source if source.upper().startswith("CSV:") else f"CSV:{source}"
    kinds = {
        None: gdal.OF_RASTER | gdal.OF_VECTOR | gdal.OF_MULTIDIM_RASTER,
        "raster": gdal.OF_RASTER,
        "vector": gdal.OF_VECTOR,
    }[kind]
    strings = option_list(options, "options")
    # Options are checked against the driver that will read the file, before it does; when
    # none was given, against those that recognise it (any one of them may end up reading).
    candidates = [handle] if handle is not None else _identified(source, kinds) if strings else []
    _options_fit_one(candidates, strings)
    flags = kinds | (gdal.OF_UPDATE if mode == "r+" else 0)
    drivers = None if handle is None else [handle.ShortName]
    opened = open_file(source, flags, drivers, strings, None, read_only_fallback=False)
    if strings and not candidates:  # recognised by none beforehand: the driver that took it
        try:
            _options_fit_one([_driverpick.by_name(opened.driver_name)], strings)
        except BaseException:
            opened.close()
            raise
    return opened


def _identified(source: str, kinds: int) -> list[Any]:
    """The drivers GDAL recognises ``source`` with, for all ``kinds`` and for each alone."""
    from osgeo import gdal

    from ._algos.geo._gdalerrors import quiet

    found: dict[str, Any] = {}
    with quiet():
        for flags in (kinds, kinds & gdal.OF_VECTOR, kinds & gdal.OF_RASTER):
            candidate = gdal.IdentifyDriverEx(source, flags) if flags else None
            if candidate is not None:
                found.setdefault(candidate.ShortName, candidate)
    return list(found.values())


def _options_fit_one(candidates: list[Any], strings: list[str]) -> None:
    """FormatError unless some candidate driver lists all the open options (or none given)."""
    from ._algos.geo import _optioncheck

    first: Exception | None = None
    for candidate in candidates:
        try:
            _optioncheck.checked_options(candidate, _optioncheck.OPEN, strings, "options")
            return
        except Exception as exc:
            first = first or exc
    if first is not None:
        raise first


def create_raster(
    path: PathArg | None,
    *,
    width: int,
    height: int,
    count: int = 1,
    dtype: Any = "float32",
    driver: DriverArg | None = None,
    crs: str | int | None = None,
    transform: Sequence[float] | Any | None = None,
    nodata: float | int | Sequence[float | int | None] | None = None,
    options: Options | None = None,
) -> GeoDatabase:
    """Create a raster of ``width`` columns, ``height`` rows and ``count`` bands, writable.

    ``path``: the file to write, or None for a dataset in memory. ``driver``: a driver name
    or object; None chooses by the extension of ``path`` (MEM when ``path`` is None).
    ``dtype``: a numpy dtype or name, or a GDAL type name or code. ``crs``: WKT, "EPSG:n" or
    an EPSG code. ``transform``: GDAL's six geotransform coefficients (x of the left edge,
    pixel width, row rotation, y of the top edge, column rotation, pixel height, negative
    for north-up), or an object with ``to_gdal()``. ``nodata``: one value for every band or
    one per band. ``options``: creation options, checked by name and, where the driver lists
    admissible values, by value. On any failure nothing is left at ``path``.
    """
    from ._algos.geo import _dtypes
    from ._algos.geo._gdalargs import integer, path_string
    from ._algos.geo.geodatabase import crs_wkt

    sizes = [integer(v, name) for v, name in ((width, "width"), (height, "height"))]
    sizes.append(integer(count, "count"))
    if min(sizes) < 1:
        raise ValueError(f"width, height and count must be at least 1, not {tuple(sizes)}")
    target = None if path is None else path_string(path, "path")
    handle = _chosen_driver(driver, target, "raster", "MEM")
    code = _dtypes.get_raster_dtype_code(dtype)
    wkt = None if crs is None else crs_wkt(crs)
    coefficients = None if transform is None else _geotransform(transform)
    created = _created(handle, target, [*sizes, code], options)
    try:
        if wkt is not None:
            created.crs = wkt
        if coefficients is not None:
            created.geotransform = coefficients
        if nodata is not None:
            created.nodata = nodata
    except BaseException:
        _discard(created, handle)
        raise
    return created


def create_vector(
    path: PathArg | None, *, driver: DriverArg | None = None, options: Options | None = None
) -> GeoDatabase:
    """Create an empty vector dataset, writable; layers are added through ``.dataset``.

    ``path``: the file (or folder) to write, or None for a dataset in memory. ``driver``: a
    driver name or object; None chooses by the extension of ``path`` (Memory when ``path``
    is None). ``options``: dataset creation options, checked against the driver's list.
    """
    from ._algos.geo._gdalargs import path_string

    target = None if path is None else path_string(path, "path")
    handle = _chosen_driver(driver, target, "vector", "Memory")
    return _created(handle, target, [0, 0, 0, 0], options)


def drivers() -> DriveStatistics:
    """The GDAL driver registry: iterate it, index it by name or position, show it."""
    from ._algos.geo.driver import DriveStatistics

    return DriveStatistics()


def driver(name: str) -> Driver:
    """The driver of that short name (any letter case): a RasterDriver when it handles only
    rasters, a VectorDriver when only vector data, a Driver otherwise."""
    from ._algos.geo.driver import Driver, RasterDriver, VectorDriver

    found = Driver(name)
    if found.is_raster and not found.is_vector:
        return RasterDriver(found)
    if found.is_vector and not found.is_raster:
        return VectorDriver(found)
    return found


def _chosen_driver(driver: object, target: str | None, kind: str, in_memory: str) -> Any:
    from ._algos.geo import _driverpick

    if driver is not None:
        handle = _driverpick.by_name(driver, kind)
    elif target is None:
        handle = _driverpick.by_name(in_memory)
    else:
        handle = _driverpick.for_extension(target, kind)
    if not _driverpick.has(handle, "DCAP_CREATE"):
        raise _format_error(f"{handle.ShortName} cannot create datasets; use one that can")
    return handle


def _created(handle: Any, target: str | None, sizes: list[int], options: object) -> GeoDatabase:
    from osgeo import _gdal

    from ._algos.geo import _optioncheck
    from ._algos.geo._gdalcall import call_gdal_fun
    from ._algos.geo._mempath import mem_temp_path
    from ._algos.geo.geodatabase import GeoDatabase

    creation = _optioncheck.checked_options(handle, _optioncheck.CREATION, options, "options")
    if target is None:
        extension = (handle.GetMetadataItem("DMD_EXTENSION") or "").split()
        target = mem_temp_path(extension[0] if extension else "")
    return GeoDatabase(call_gdal_fun(_gdal.Driver_Create, handle, target, *sizes, creation))


def _discard(created: GeoDatabase, handle: Any) -> None:
    from ._algos.geo._copy import remove_written

    files, path = created.file_list, created.path
    created.close()
    remove_written(path, handle, files)


def _geotransform(transform: object) -> list[float]:
    to_gdal = getattr(transform, "to_gdal", None)
    values = list(to_gdal() if callable(to_gdal) else transform)  # type: ignore[call-overload,arg-type]
    if len(values) != 6:
        raise ValueError(f"transform has 6 coefficients, not {len(values)}")
    return [float(v) for v in values]


def _format_error(message: str) -> Exception:
    from .error import FormatError

    return FormatError(message)
