"""The package's dataset wrapper and the file opener."""

import operator
import weakref
from collections.abc import Mapping

from osgeo import _gdal, gdal

from ._gdalargs import option_strings, path_string, str_list
from ._gdalcall import call_gdal_fun
from ._mempath import claim_mem_temp_path, release_mem_temp_path


def _release(holder, path, claimed):
    """Close the wrapped dataset, then remove the temporary files it lived in."""
    if holder:
        dataset = holder.pop()
        dataset.FlushCache()
        del dataset  # the wrapper's reference was the last one unless the caller kept one
    if claimed:
        release_mem_temp_path(path)


class GeoDatabase:
    """A GDAL dataset (raster and/or vector) owned by the package.

    ``close()`` flushes and releases the dataset; it is idempotent and also runs when the
    wrapper is garbage-collected or used as a context manager. A dataset that lives at a
    path from ``mem_temp_path`` has its /vsimem files removed once the last wrapper of that
    path is closed. Members other than ``path``, ``closed`` and ``close`` raise ValueError
    after closing.
    """

    def __init__(self, ds):
        if not isinstance(ds, gdal.Dataset):
            raise TypeError(f"GeoDatabase wraps an osgeo.gdal.Dataset, not {type(ds).__name__}")
        self._path = ds.GetDescription()
        self._holder = [ds]
        claimed = claim_mem_temp_path(self._path)
        self._finalizer = weakref.finalize(self, _release, self._holder, self._path, claimed)

    def close(self):
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    @property
    def closed(self):
        return not self._holder

    @property
    def path(self):
        """Path (or name) of the dataset as GDAL was given it."""
        return self._path

    @property
    def dataset(self):
        """The wrapped osgeo.gdal.Dataset; do not keep it beyond the wrapper's life."""
        if not self._holder:
            raise ValueError("I/O operation on a closed GeoDatabase")
        return self._holder[0]

    @property
    def driver_name(self):
        return self.dataset.GetDriver().ShortName

    @property
    def raster_size(self):
        """(columns, rows)."""
        ds = self.dataset
        return ds.RasterXSize, ds.RasterYSize

    @property
    def band_count(self):
        return self.dataset.RasterCount

    @property
    def layer_count(self):
        return self.dataset.GetLayerCount()

    @property
    def file_list(self):
        """Files making up the dataset (may be empty for in-memory drivers)."""
        return list(self.dataset.GetFileList() or [])

    def metadata(self, domain=""):
        """Metadata items of ``domain`` as a new dict."""
        return dict(self.dataset.GetMetadata_Dict(domain) or {})

    @property
    def image_structure(self):
        """The IMAGE_STRUCTURE metadata: compression, interleaving and the like."""
        return self.metadata("IMAGE_STRUCTURE")

    def __repr__(self):
        if self.closed:
            return f"<GeoDatabase {self._path!r} (closed)>"
        return f"<GeoDatabase {self._path!r} driver={self.driver_name!r}>"


def open_file(in_src, flags=0, allowed_drivers=None, open_options=None, sibling_files=None):
    """Open ``in_src`` with GDAL and return it as a GeoDatabase.

    ``flags``: GDAL open flags (GDAL_OF_*). ``allowed_drivers``: short names of the drivers to
    try, None for all. ``open_options``: {name: value} (as for creation options) or a list of
    "NAME=VALUE" str. ``sibling_files``: None, or a list/iterable of file names (str or
    os.PathLike) beside ``in_src``. Every list reaches GDAL rebuilt from checked str; a wrong
    kind of argument raises TypeError. A file GDAL cannot open raises GDALError with GDAL's
    message.
    """
    path = path_string(in_src, "in_src")
    if isinstance(flags, bool):
        raise TypeError("flags must be an int of GDAL open flags, not bool")
    flags = operator.index(flags)
    if flags < 0:
        raise ValueError(f"flags must not be negative, got {flags}")
    drivers = str_list(allowed_drivers, "allowed_drivers")
    if open_options is None or isinstance(open_options, Mapping):
        options = option_strings(open_options, "open_options")
    else:
        options = str_list(open_options, "open_options")
    siblings = str_list(sibling_files, "sibling_files", paths=True)
    # Verbose errors make GDAL say why a file was not opened instead of returning silently.
    flags |= gdal.OF_VERBOSE_ERROR
    ds = call_gdal_fun(_gdal.OpenEx, path, flags, drivers, options, siblings)
    return GeoDatabase(ds)
