"""Services of the geo package, gathered under the names the native driver module imports."""

# Importing osgeo.gdal registers the binding's proxy classes: without them a dataset handle
# from _gdal has no destructor, and a dataset created in /vsimem would never be closed.
from osgeo import _gdal
from osgeo import gdal as _gdal_proxy_classes  # noqa: F401

from ... import error
from . import _config as env
from . import _dtypes as dtypes
from . import _html as gdata
from . import _xmltree as xet
from ._gdalcall import call_gdal_fun
from ._mempath import mem_temp_path
from ._selection import get_sel

__all__ = [
    "error",
    "gdata",
    "dtypes",
    "call_gdal_fun",
    "xet",
    "env",
    "mem_temp_path",
    "_gdal",
    "get_sel",
]
