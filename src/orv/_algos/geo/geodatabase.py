"""The package's dataset wrapper and the file opener."""

import io
import operator
import os
import warnings
import weakref
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt
from osgeo import gdal, osr

from ...error import FormatError, GDALError, GDALWarning
from ._bandio import checked_window, get_nodata, nodata_setter, read_band, write_band
from ._copy import copy_raster, copy_vector, exists, remove_existing
from ._driverpick import by_name, for_extension, has
from ._gdalargs import integer, option_list, path_string, str_list
from ._gdalcall import creation_record
from ._gdalerrors import captured, checked, gdal_errors
from ._layer import Layer
from ._mempath import claim_mem_temp_path, release_mem_temp_path
from ._opener import open_dataset
from ._optioncheck import CREATION, LAYER_CREATION, checked_options

__all__ = ["GeoDatabase", "Layer", "open_file"]

PathArg = str | os.PathLike[str]
type Number = float | int

# Capabilities by which a driver can write a raster copy.
_RASTER_WRITES = ("DCAP_CREATE", "DCAP_CREATECOPY")


class _NamedDriver(Protocol):
    @property
    def name(self) -> str: ...


def _release(holder: list[gdal.Dataset], path: str, claimed: bool) -> None:
    """Close the wrapped dataset, then remove the temporary files it lived in."""
    try:
        if holder:
            with captured(f"closing {path!r}"):
                dataset = holder.pop()
                dataset.FlushCache()
                del dataset  # the wrapper's reference was the last one unless the caller kept one
    finally:
        if claimed:
            release_mem_temp_path(path)


def _release_unclosed(holder: list[gdal.Dataset], path: str, claimed: bool) -> None:
    """The finalizer of a wrapper that was never closed (garbage collection, interpreter exit).

    Nobody can catch an exception here, so a failure to write the dataset out is a warning
    that carries GDAL's text; ``close()`` raises it instead.
    """
    try:
        _release(holder, path, claimed)
    except GDALError as failure:
        warnings.warn(GDALWarning(str(failure)), stacklevel=1)


class GeoDatabase:
    """A GDAL dataset (raster and/or vector) owned by the package.

    ``close()`` flushes and releases the dataset; it is idempotent and also runs when the
    wrapper is garbage-collected or used as a context manager. A dataset that lives at a
    path from ``mem_temp_path`` has its /vsimem files removed once the last wrapper of that
    path is closed. Members other than ``path``, ``closed``, ``writable`` and ``close`` raise
    ValueError after closing.

    Every member runs with GDAL's messages captured: a failure raises GDALError with GDAL's
    text, a warning becomes a GDALWarning.

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
        self._claimed = claimed
        self._finalizer = weakref.finalize(
            self, _release_unclosed, self._holder, self._path, claimed
        )

    def close(self) -> None:
        """Flush and release the dataset; GDALError if GDAL fails to write it out."""
        if self._finalizer.detach() is not None:
            _release(self._holder, self._path, self._claimed)

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
        Use ``layer()`` for layers, which does keep it alive. Calls made on it directly are
        not captured: GDAL prints their messages.
        """
        if not self._holder:
            raise ValueError("I/O operation on a closed GeoDatabase")
        return self._holder[0]

    @property
    def driver_name(self) -> str:
        return str(self.dataset.GetDriver().ShortName)

    @property
    @gdal_errors
    def raster_size(self) -> tuple[int, int]:
        """(columns, rows)."""
        ds = self.dataset
        return ds.RasterXSize, ds.RasterYSize

    @property
    @gdal_errors
    def band_count(self) -> int:
        return int(self.dataset.RasterCount)

    @property
    @gdal_errors
    def layer_count(self) -> int:
        return int(self.dataset.GetLayerCount())

    @property
    @gdal_errors
    def file_list(self) -> list[str]:
        """Files making up the dataset (may be empty for in-memory drivers)."""
        return list(self.dataset.GetFileList() or [])

    @gdal_errors
    def metadata(self, domain: str = "") -> dict[str, str]:
        """Metadata items of ``domain`` as a new dict."""
        return dict(self.dataset.GetMetadata_Dict(domain) or {})

    @property
    @gdal_errors
    def image_structure(self) -> dict[str, str]:
        """The IMAGE_STRUCTURE metadata: compression, interleaving and the like."""
        return self.metadata("IMAGE_STRUCTURE")

    # --- georeferencing -------------------------------------------------------------------

    @property
    @gdal_errors
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
        checked(ds.SetGeoTransform, coefficients)

    @property
    @gdal_errors
    def bounds(self) -> tuple[float, float, float, float] | None:
        """(xmin, ymin, xmax, ymax) of the raster, from its geotransform; without bands, of
        all layers' geometries. None when there is neither."""
        if not self.band_count:
            boxes = [box for i in range(self.layer_count) if (box := self.layer(i).bounds)]
            if not boxes:
                return None
            xmins, ymins, xmaxs, ymaxs = zip(*boxes, strict=True)
            return min(xmins), min(ymins), max(xmaxs), max(ymaxs)
        transform = self.geotransform
        if transform is None:
            return None
        x0, dx, rx, y0, ry, dy = transform
        columns, rows = self.raster_size
        xs = [x0 + dx * c + rx * r for c in (0, columns) for r in (0, rows)]
        ys = [y0 + ry * c + dy * r for c in (0, columns) for r in (0, rows)]
        return min(xs), min(ys), max(xs), max(ys)

    @property
    @gdal_errors
    def crs(self) -> str | None:
        """Coordinate reference system of the raster as WKT, or None; settable.

        Set it with WKT, "EPSG:n" (or anything else GDAL reads as a user's CRS text) or an
        int EPSG code. Vector layers carry their own: ``layer(i).crs``.
        """
        return self.dataset.GetProjectionRef() or None

    @crs.setter
    def crs(self, value: str | int) -> None:
        ds = self._writable_dataset()
        checked(ds.SetProjection, crs_wkt(value))

    @property
    @gdal_errors
    def nodata(self) -> tuple[Number | None, ...]:
        """Nodata value of each band (None where a band has none); settable when writable
        with one value for every band or a sequence of one per band (None removes it)."""
        ds = self.dataset
        return tuple(get_nodata(ds.GetRasterBand(i)) for i in range(1, ds.RasterCount + 1))

    @nodata.setter
    def nodata(self, value: Number | None | Sequence[Number | None]) -> None:
        ds = self._writable_dataset()
        count = self._band_range()
        values = list(value) if isinstance(value, Sequence) else [value] * count
        if len(values) != count:
            raise ValueError(f"{len(values)} nodata values for {count} bands")
        setters = [nodata_setter(ds.GetRasterBand(i), v) for i, v in enumerate(values, start=1)]
        for method, args in setters:
            checked(method, *args)

    # --- raster values --------------------------------------------------------------------

    @gdal_errors
    def read(
        self,
        band: int | None = None,
        *,
        window: Sequence[int] | None = None,
        masked: bool = False,
    ) -> npt.NDArray[Any]:
        """Values of one band (1-based, as GDAL counts), shape (rows, columns), or of all
        bands, shape (bands, rows, columns), as a new numpy array.

        ``window``: (column offset, row offset, width, height) to read only that part;
        ValueError if it reaches beyond the raster. ``masked``: a numpy masked array whose
        mask is the band's invalid pixels (its nodata value, or its mask band).
        """
        ds = self.dataset
        bands = [self._band(band)] if band is not None else self._bands()
        area = checked_window(window, ds.RasterXSize, ds.RasterYSize)
        planes = [read_band(target, area, masked) for target in bands]
        if band is not None:
            return planes[0]
        stack = np.ma.stack if masked else np.stack
        return stack(planes)  # type: ignore[no-any-return]

    @gdal_errors
    def write(
        self, array: npt.ArrayLike, band: int | None = None, *, window: Sequence[int] | None = None
    ) -> None:
        """Write ``array`` to one band, shape (rows, columns), or to all bands, shape
        (bands, rows, columns); a 2-D array goes to a one-band raster without ``band``.

        ``window``: (column offset, row offset, width, height) to write only that part; the
        array then has the window's rows and columns. Values are converted to the band's data
        type as GDAL does; any array layout (strided, broadcast, other byte order, read-only)
        is written correctly.
        """
        ds = self._writable_dataset()
        values = np.asarray(array)
        if values.dtype.kind not in "biufc":
            raise TypeError(f"raster values must be numbers, not an array of {values.dtype}")
        col, row, width, height = checked_window(window, ds.RasterXSize, ds.RasterYSize)
        if band is None and values.ndim == 2 and self._band_range() == 1:
            band = 1
        expected: tuple[int, ...]
        if band is not None:
            bands, expected, planes = [self._band(band)], (height, width), [values]
        else:
            bands = self._bands()
            expected = (len(bands), height, width)
            planes = list(values) if values.ndim == 3 else []
        if values.shape != expected:
            where = f"window {(col, row, width, height)}" if window is not None else "the raster"
            raise ValueError(
                f"array of shape {values.shape} does not fit {where}: expected {expected}"
            )
        for target, plane in zip(bands, planes, strict=True):
            write_band(target, plane, col, row)

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

    def _bands(self) -> list[gdal.Band]:
        ds = self.dataset
        return [ds.GetRasterBand(i) for i in range(1, self._band_range() + 1)]

    def _band(self, band: int) -> gdal.Band:
        number = integer(band, "band")
        count = self._band_range()
        if not 1 <= number <= count:
            raise IndexError(f"band {number} out of range: {self._path!r} has bands 1 to {count}")
        return self.dataset.GetRasterBand(number)

    # --- vector layers --------------------------------------------------------------------

    @property
    @gdal_errors
    def layer_names(self) -> list[str]:
        ds = self.dataset
        return [ds.GetLayerByIndex(i).GetName() for i in range(ds.GetLayerCount())]

    @gdal_errors
    def layer(self, index_or_name: int | str = 0) -> Layer:
        """The layer at ``index_or_name`` (0-based, as GDAL counts; the first by default) or of
        that name. The returned Layer keeps the dataset open for as long as it is held.
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

    @gdal_errors
    def save(
        self,
        path: PathArg,
        driver: str | _NamedDriver | None = None,
        options: Mapping[str, object] | Iterable[str] | None = None,
        *,
        layer_options: Mapping[str, object] | Iterable[str] | None = None,
        promote_to_multi: bool = False,
        overwrite: bool = False,
    ) -> "GeoDatabase":
        """Copy the dataset to ``path`` and return the GeoDatabase of the new file.

        ``driver``: a driver short name or a driver object (a Driver of the package or an
        osgeo.gdal.Driver); None for the one the extension of ``path`` names, or else the
        dataset's own. ``options``: dataset creation options,
        as a {name: value} dict or "NAME=VALUE" str; None for the options the dataset was
        created with when it was created by ``create`` (or ``save``) through the same driver,
        and GDAL's defaults otherwise. ``layer_options``: layer creation options of a vector
        copy; ``promote_to_multi``: write polygons and lines of a vector copy as their multi
        types. Option names (and listed values) are checked against the driver's lists.

        Any GDAL failure during the copy raises GDALError with GDAL's text and removes what
        was written. An existing ``path`` raises FileExistsError unless ``overwrite``. The
        copy is writable unless the driver can only copy (PNG, JPEG and the like).
        """
        ds = self.dataset
        target = path_string(path, "path")
        if target == self._path:
            raise ValueError(f"cannot save {self._path!r} over itself")
        vector = not ds.RasterCount
        handle = by_name(driver) if driver is not None else self._driver_for(target, vector)
        name = handle.ShortName
        if options is None:
            created = self._creation
            options = created[1] if created is not None and created[0] == name else []
        creation = checked_options(handle, CREATION, options, "options")
        if not vector and (layer_options or promote_to_multi):
            raise ValueError("layer_options and promote_to_multi apply to vector copies only")
        layers = checked_options(handle, LAYER_CREATION, layer_options, "layer_options")
        if exists(target):
            if not overwrite:
                raise FileExistsError(f"{target!r} exists; pass overwrite=True to replace it")
            remove_existing(target)
        ds.FlushCache()
        if vector:
            copy = copy_vector(ds, target, handle, creation, layers, bool(promote_to_multi))
        else:
            copy = copy_raster(ds, target, handle, creation)
        # Drivers that can only copy (PNG, JPEG) hand back the new file opened read-only.
        return GeoDatabase(copy, writable=has(handle, "DCAP_CREATE"))

    def _driver_for(self, target: str, vector: bool) -> gdal.Driver:
        """The driver the extension of ``target`` names, else the dataset's own."""
        kind, writes = ("vector", ("DCAP_CREATE",)) if vector else ("raster", _RASTER_WRITES)
        try:
            return for_extension(target, kind, writes)
        except FormatError:
            return by_name(self.driver_name)

    def __repr__(self) -> str:
        if self.closed:
            return f"<GeoDatabase {self._path!r} (closed)>"
        return f"<GeoDatabase {self._path!r} driver={self.driver_name!r}>"


def crs_wkt(value: object) -> str:
    """WKT of a CRS given as WKT, "EPSG:n" or any other user text GDAL reads, or an EPSG int."""
    srs = osr.SpatialReference()
    if isinstance(value, str):
        checked(srs.SetFromUserInput, value)
    elif isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(f"crs must be WKT, 'EPSG:n' or an int code, not {type(value).__name__}")
    else:
        checked(srs.ImportFromEPSG, operator.index(value))  # type: ignore[arg-type]
    return str(srs.ExportToWkt())


def open_file(
    in_src: PathArg,
    flags: int = 0,
    allowed_drivers: Iterable[str] | None = None,
    open_options: Mapping[str, object] | Iterable[str] | None = None,
    sibling_files: Iterable[str | os.PathLike[str]] | None = None,
    *,
    read_only_fallback: bool = True,
) -> GeoDatabase:
    """Open ``in_src`` with GDAL and return it as a GeoDatabase.

    ``flags``: GDAL open flags (GDAL_OF_*). ``allowed_drivers``: short names of the drivers to
    try, None for all. ``open_options``: {name: value} (as for creation options) or a list of
    "NAME=VALUE" str. ``sibling_files``: None, or a list/iterable of file names (str or
    os.PathLike) beside ``in_src``. Every list reaches GDAL rebuilt from checked str; a wrong
    kind of argument raises TypeError.

    Kinds are tried in the order of _opener.kind_attempts. Update (GDAL_OF_UPDATE) is used
    only where the source can be written: with ``read_only_fallback`` (the default) a source
    that GDAL's file system will not open for writing (an archive, a remote or compressed
    stream, a file without write permission) is opened read-only from the start, and one GDAL
    refuses to open for update is opened read-only instead; ``writable`` of the result tells
    which. Without it, such a source raises. A file GDAL cannot open at all raises GDALError
    with GDAL's message.
    """
    path = path_string(in_src, "in_src")
    flags = integer(flags, "flags")
    if flags < 0:
        raise ValueError(f"flags must not be negative, got {flags}")
    drivers = str_list(allowed_drivers, "allowed_drivers")
    options = option_list(open_options, "open_options")
    siblings = str_list(sibling_files, "sibling_files", paths=True)
    dataset, writable = open_dataset(path, flags, drivers, options, siblings, read_only_fallback)
    return GeoDatabase(dataset, writable=writable)
