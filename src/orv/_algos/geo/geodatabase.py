"""The package's dataset wrapper and the file opener."""

import io
import operator
import os
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
from osgeo import _gdal, gdal, osr

from ...error import FormatError, GDALError
from ._gdalargs import integer, option_strings, path_string, str_list
from ._gdalcall import call_gdal_fun, creation_record
from ._layer import Layer
from ._mempath import claim_mem_temp_path, release_mem_temp_path
from ._writable import source_writable

__all__ = ["GeoDatabase", "Layer", "open_file"]

PathArg = str | os.PathLike[str]


class _NamedDriver(Protocol):
    @property
    def name(self) -> str: ...


def _release(holder: list[gdal.Dataset], path: str, claimed: bool) -> None:
    """Close the wrapped dataset, then remove the temporary files it lived in."""
    if holder:
        dataset = holder.pop()
        dataset.FlushCache()
        del dataset  # the wrapper's reference was the last one unless the caller kept one
    if claimed:
        release_mem_temp_path(path)


def _checked(fun: Any, *args: Any) -> Any:
    """call_gdal_fun for a method that reports failure by a non-zero error code as well."""
    code = call_gdal_fun(fun, *args)
    if isinstance(code, int) and not isinstance(code, bool) and code != 0:
        raise GDALError(f"{getattr(fun, '__name__', 'GDAL call')} failed with error code {code}")
    return code


class GeoDatabase:
    """A GDAL dataset (raster and/or vector) owned by the package.

    ``close()`` flushes and releases the dataset; it is idempotent and also runs when the
    wrapper is garbage-collected or used as a context manager. A dataset that lives at a
    path from ``mem_temp_path`` has its /vsimem files removed once the last wrapper of that
    path is closed. Members other than ``path``, ``closed``, ``writable`` and ``close`` raise
    ValueError after closing.

    ``writable`` is what the opener decided (``open_file`` passes it); when it is not given,
    a dataset created through ``call_gdal_fun`` (``create``, ``save``) counts as writable and
    any other as read-only.
    """

    def __init__(self, ds: gdal.Dataset, *, writable: bool | None = None) -> None:
        if not isinstance(ds, gdal.Dataset):
            raise TypeError(f"GeoDatabase wraps an osgeo.gdal.Dataset, not {type(ds).__name__}")
        self._path: str = ds.GetDescription()
        self._creation = creation_record(ds)
        self._writable = bool(writable) if writable is not None else self._creation is not None
        self._holder = [ds]
        claimed = claim_mem_temp_path(self._path)
        self._finalizer = weakref.finalize(self, _release, self._holder, self._path, claimed)

    def close(self) -> None:
        self._finalizer()

    def __enter__(self) -> "GeoDatabase":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    @property
    def closed(self) -> bool:
        return not self._holder

    @property
    def path(self) -> str:
        """Path (or name) of the dataset as GDAL was given it."""
        return self._path

    @property
    def writable(self) -> bool:
        """Whether the dataset was opened or created for writing."""
        return self._writable

    @property
    def dataset(self) -> gdal.Dataset:
        """The wrapped osgeo.gdal.Dataset, for everything the wrapper does not offer.

        Objects taken from it (bands, layers) do not keep the dataset alive: using them after
        the wrapper was closed or collected reads freed memory and can crash the process.
        Use ``layer()`` for layers, which does keep it alive.
        """
        if not self._holder:
            raise ValueError("I/O operation on a closed GeoDatabase")
        return self._holder[0]

    @property
    def driver_name(self) -> str:
        return str(self.dataset.GetDriver().ShortName)

    @property
    def raster_size(self) -> tuple[int, int]:
        """(columns, rows)."""
        ds = self.dataset
        return ds.RasterXSize, ds.RasterYSize

    @property
    def band_count(self) -> int:
        return int(self.dataset.RasterCount)

    @property
    def layer_count(self) -> int:
        return int(self.dataset.GetLayerCount())

    @property
    def file_list(self) -> list[str]:
        """Files making up the dataset (may be empty for in-memory drivers)."""
        return list(self.dataset.GetFileList() or [])

    def metadata(self, domain: str = "") -> dict[str, str]:
        """Metadata items of ``domain`` as a new dict."""
        return dict(self.dataset.GetMetadata_Dict(domain) or {})

    @property
    def image_structure(self) -> dict[str, str]:
        """The IMAGE_STRUCTURE metadata: compression, interleaving and the like."""
        return self.metadata("IMAGE_STRUCTURE")

    # --- georeferencing -------------------------------------------------------------------

    @property
    def geotransform(self) -> tuple[float, float, float, float, float, float] | None:
        """GDAL's six affine coefficients, or None when the dataset has none; settable."""
        transform = self.dataset.GetGeoTransform(can_return_null=True)
        if transform is None:
            return None
        x0, dx, rx, y0, ry, dy = (float(v) for v in transform)
        return x0, dx, rx, y0, ry, dy

    @geotransform.setter
    def geotransform(self, value: Sequence[float]) -> None:
        ds = self._writable_dataset()
        coefficients = [float(v) for v in value]
        if len(coefficients) != 6:
            raise ValueError(f"a geotransform has 6 coefficients, not {len(coefficients)}")
        _checked(ds.SetGeoTransform, coefficients)

    @property
    def crs(self) -> str | None:
        """Coordinate reference system of the raster as WKT, or None; settable.

        Set it with WKT, "EPSG:n" (or anything else GDAL reads as a user's CRS text) or an
        int EPSG code. Vector layers carry their own: ``layer(i).GetSpatialRef()``.
        """
        return self.dataset.GetProjectionRef() or None

    @crs.setter
    def crs(self, value: str | int) -> None:
        ds = self._writable_dataset()
        srs = osr.SpatialReference()
        if isinstance(value, str):
            _checked(srs.SetFromUserInput, value)
        elif isinstance(value, bool) or not hasattr(type(value), "__index__"):
            raise TypeError(f"crs must be WKT, 'EPSG:n' or an int code, not {type(value).__name__}")
        else:
            _checked(srs.ImportFromEPSG, operator.index(value))
        _checked(ds.SetProjection, srs.ExportToWkt())

    # --- raster values --------------------------------------------------------------------

    def read(self, band: int | None = None) -> npt.NDArray[Any]:
        """Values of one band (1-based, as GDAL counts), shape (rows, columns), or of all
        bands, shape (bands, rows, columns), as a new numpy array."""
        ds = self.dataset
        values: npt.NDArray[Any]
        if band is not None:
            values = call_gdal_fun(self._band(band).ReadAsArray)
            return values
        self._band_range()
        values = call_gdal_fun(ds.ReadAsArray)
        return values if values.ndim == 3 else values[np.newaxis]

    def write(self, array: npt.ArrayLike, band: int | None = None) -> None:
        """Write ``array`` to one band, shape (rows, columns), or to all bands, shape
        (bands, rows, columns). The data type is converted to the band's as GDAL does."""
        ds = self._writable_dataset()
        values = np.asarray(array)
        if values.dtype.kind not in "biufc":
            raise TypeError(f"raster values must be numbers, not an array of {values.dtype}")
        if values.dtype.kind == "b":
            values = values.astype(np.uint8)
        rows_columns = (ds.RasterYSize, ds.RasterXSize)
        if band is not None:
            bands = [self._band(band)]
            expected: tuple[int, ...] = rows_columns
            planes = [values]
        else:
            count = self._band_range()
            bands = [ds.GetRasterBand(i) for i in range(1, count + 1)]
            expected = (count, *rows_columns)
            planes = list(values) if values.ndim == 3 else []
        if values.shape != expected:
            raise ValueError(
                f"array of shape {values.shape} does not fit {self._path!r}: expected {expected}"
            )
        for target, plane in zip(bands, planes, strict=True):
            _checked(target.WriteArray, plane)

    def _writable_dataset(self) -> gdal.Dataset:
        ds = self.dataset
        if not self._writable:
            raise io.UnsupportedOperation(f"{self._path!r} was opened read-only")
        return ds

    def _band_range(self) -> int:
        count = self.band_count
        if not count:
            raise ValueError(f"{self._path!r} has no raster bands")
        return count

    def _band(self, band: int) -> gdal.Band:
        number = integer(band, "band")
        count = self._band_range()
        if not 1 <= number <= count:
            raise IndexError(f"band {number} out of range: {self._path!r} has bands 1 to {count}")
        return self.dataset.GetRasterBand(number)

    # --- vector layers --------------------------------------------------------------------

    @property
    def layer_names(self) -> list[str]:
        ds = self.dataset
        return [ds.GetLayerByIndex(i).GetName() for i in range(ds.GetLayerCount())]

    def layer(self, index_or_name: int | str) -> Layer:
        """The layer at ``index_or_name`` (0-based, as GDAL counts) or of that name.

        The returned Layer keeps the dataset open for as long as it is held.
        """
        ds = self.dataset
        if isinstance(index_or_name, str):
            found = ds.GetLayerByName(index_or_name)
            if found is None:
                raise KeyError(f"no layer {index_or_name!r}; layers: {self.layer_names}")
        else:
            index = integer(index_or_name, "layer index")
            count = ds.GetLayerCount()
            if not 0 <= index < count:
                raise IndexError(f"layer index {index} out of range: {count} layer(s)")
            found = ds.GetLayerByIndex(index)
        return Layer(self, found)

    # --- copies ---------------------------------------------------------------------------

    def save(
        self,
        path: PathArg,
        driver: str | _NamedDriver | None = None,
        options: Mapping[str, object] | Iterable[str] | None = None,
    ) -> "GeoDatabase":
        """Copy the dataset to ``path`` and return the GeoDatabase of the new file.

        ``driver``: a driver short name or a driver object (a Driver of the package or an
        osgeo.gdal.Driver); None for the dataset's own. ``options``: creation options, as a
        {name: value} dict or "NAME=VALUE" str; None for the options the dataset was created
        with when it was created by ``create`` (or ``save``) through the same driver, and
        GDAL's defaults otherwise (a dataset that was opened, or a copy to another format).
        The copy is writable unless the driver can only copy (PNG, JPEG and the like).
        """
        ds = self.dataset
        target = path_string(path, "path")
        if target == self._path:
            raise ValueError(f"cannot save {self._path!r} over itself")
        name = self.driver_name if driver is None else _driver_name(driver)
        handle = _gdal.GetDriverByName(name)
        if handle is None:
            raise FormatError(f'"{name}" is not a driver!')
        if options is None:
            created = self._creation
            options = created[1] if created is not None and created[0] == name else []
        ds.FlushCache()
        if ds.RasterCount:
            copy = call_gdal_fun(_gdal.Driver_CreateCopy, handle, target, ds, 1, options)
        else:  # a vector dataset: layer by layer, which formats' raster copies cannot do
            creation = _options_list(options)

            def VectorTranslate(dest: str, source: gdal.Dataset) -> gdal.Dataset:  # noqa: N802
                return gdal.VectorTranslate(
                    dest, source, format=name, datasetCreationOptions=creation
                )

            copy = call_gdal_fun(VectorTranslate, target, ds)
        # Drivers that can only copy (PNG, JPEG) hand back the new file opened read-only.
        can_update = (_gdal.MajorObject_GetMetadataItem(handle, "DCAP_CREATE", "") or "").upper()
        return GeoDatabase(copy, writable=can_update == "YES")

    def __repr__(self) -> str:
        if self.closed:
            return f"<GeoDatabase {self._path!r} (closed)>"
        return f"<GeoDatabase {self._path!r} driver={self.driver_name!r}>"


def _options_list(options: Mapping[str, object] | Iterable[str]) -> list[str]:
    if isinstance(options, Mapping):
        return option_strings(options, "options")
    return str_list(options, "options")


def _driver_name(driver: object) -> str:
    if isinstance(driver, str):
        return driver
    for attribute in ("ShortName", "name"):  # osgeo.gdal.Driver, then the package's Driver
        name = getattr(driver, attribute, None)
        if isinstance(name, str):
            return name
    raise TypeError(f"driver must be a driver name or a driver, not {type(driver).__name__}")


# Kinds of dataset GDAL can open; the classic kinds are tried before the others.
_CLASSIC_KINDS = gdal.OF_RASTER | gdal.OF_VECTOR
_OTHER_KINDS = (gdal.OF_MULTIDIM_RASTER, gdal.OF_GNM)
_ALL_KINDS = _CLASSIC_KINDS | gdal.OF_MULTIDIM_RASTER | gdal.OF_GNM


def _kind_attempts(flags: int) -> list[int]:
    """The kind bits of each open to try, in order.

    Asked for raster or vector together with the multidimensional or network kinds, a driver
    such as netCDF answers in its multidimensional mode (no bands): so the classic kinds come
    first and the others are tried, one by one, only if the classic open fails.
    """
    kinds = flags & _ALL_KINDS
    classic = kinds & _CLASSIC_KINDS
    others = [kind for kind in _OTHER_KINDS if kinds & kind]
    if not classic or not others:
        return [kinds]
    return [classic, *others]


def open_file(
    in_src: PathArg,
    flags: int = 0,
    allowed_drivers: Iterable[str] | None = None,
    open_options: Mapping[str, object] | Iterable[str] | None = None,
    sibling_files: Iterable[str | os.PathLike[str]] | None = None,
) -> GeoDatabase:
    """Open ``in_src`` with GDAL and return it as a GeoDatabase.

    ``flags``: GDAL open flags (GDAL_OF_*). ``allowed_drivers``: short names of the drivers to
    try, None for all. ``open_options``: {name: value} (as for creation options) or a list of
    "NAME=VALUE" str. ``sibling_files``: None, or a list/iterable of file names (str or
    os.PathLike) beside ``in_src``. Every list reaches GDAL rebuilt from checked str; a wrong
    kind of argument raises TypeError.

    Kinds: the classic raster/vector kinds are tried before the multidimensional and network
    kinds (see _kind_attempts). Update (GDAL_OF_UPDATE) is used only where the source can be
    written: a source that GDAL's file system will not open for writing (an archive, a remote
    or compressed stream, a file without write permission) is opened read-only from the start,
    and one GDAL refuses to open for update is opened read-only instead; ``writable`` of the
    result tells which. A file GDAL cannot open at all raises GDALError with GDAL's message.
    """
    path = path_string(in_src, "in_src")
    flags = integer(flags, "flags")
    if flags < 0:
        raise ValueError(f"flags must not be negative, got {flags}")
    drivers = str_list(allowed_drivers, "allowed_drivers")
    if open_options is None or isinstance(open_options, Mapping):
        options = option_strings(open_options, "open_options")
    else:
        options = str_list(open_options, "open_options")
    siblings = str_list(sibling_files, "sibling_files", paths=True)
    # Verbose errors make GDAL say why a file was not opened instead of returning silently.
    other_flags = (flags & ~(_ALL_KINDS | gdal.OF_UPDATE)) | gdal.OF_VERBOSE_ERROR
    modes = [0]
    if flags & gdal.OF_UPDATE and source_writable(path) is not False:
        modes.insert(0, gdal.OF_UPDATE)
    # GDALError, or the binding's RuntimeError when the user turned on GDAL's exceptions.
    failures: list[RuntimeError] = []
    for kinds in _kind_attempts(flags):
        failure: RuntimeError | None = None
        for mode in modes:
            try:
                ds = call_gdal_fun(
                    _gdal.OpenEx, path, other_flags | kinds | mode, drivers, options, siblings
                )
            except RuntimeError as exc:
                failure = exc  # the read-only attempt's message, when there is one, is kept
                continue
            return GeoDatabase(ds, writable=bool(mode))
        if failure is not None:
            failures.append(failure)
    raise failures[0]
