"""Raster values in and out of GDAL bands: windows, masks, nodata and safe array layouts."""

import operator
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
from osgeo import gdal

from ._dtypes import array_dtype
from ._gdalerrors import call

type Window = tuple[int, int, int, int]
"""(column offset, row offset, width, height) in pixels."""

# Largest slab of a non-contiguous array copied at once when writing it (bytes).
WRITE_CHUNK_BYTES = 16 << 20

_INT64_TYPES = {gdal.GDT_Int64: "AsInt64", gdal.GDT_UInt64: "AsUInt64"}
_INTEGER_TYPES = {gdal.GDT_Byte, gdal.GDT_UInt16, gdal.GDT_Int16, gdal.GDT_UInt32, gdal.GDT_Int32}


def checked_window(window: object, columns: int, rows: int) -> Window:
    """``window`` as four ints inside a raster of ``columns`` x ``rows``; whole raster for None.

    ValueError when it has no pixels or reaches beyond the raster, TypeError for non-integers.
    """
    if window is None:
        return 0, 0, columns, rows
    if isinstance(window, (str, bytes)) or not isinstance(window, Sequence) or len(window) != 4:
        raise TypeError("window must be (column offset, row offset, width, height)")
    values = []
    for item in window:
        if isinstance(item, bool) or not hasattr(type(item), "__index__"):
            raise TypeError(f"window values must be integers, not {type(item).__name__}")
        values.append(operator.index(item))
    col, row, width, height = values
    if col < 0 or row < 0 or width < 1 or height < 1:
        raise ValueError(f"window {tuple(values)}: offsets must be >= 0 and sizes >= 1")
    if col + width > columns or row + height > rows:
        raise ValueError(
            f"window {tuple(values)} reaches beyond the raster of {columns} columns and "
            f"{rows} rows (last column {col + width - 1}, last row {row + height - 1})"
        )
    return col, row, width, height


def read_band(band: gdal.Band, window: Window, masked: bool) -> npt.NDArray[Any]:
    """Values of ``window`` of one band; a masked array of its invalid pixels if ``masked``."""
    col, row, width, height = window
    values: npt.NDArray[Any] = call(band.ReadAsArray, col, row, width, height)
    if values is None:
        raise MemoryError(f"GDAL could not read a window of {width} x {height} pixels")
    if not masked:
        return values
    return np.ma.MaskedArray(values, mask=_invalid(band, values, window), copy=False)


def _invalid(band: gdal.Band, values: npt.NDArray[Any], window: Window) -> Any:
    """Mask of the pixels GDAL counts as invalid: from nodata directly, else the mask band."""
    flags = band.GetMaskFlags()
    if flags & gdal.GMF_ALL_VALID:
        return np.ma.nomask
    if flags == gdal.GMF_NODATA:
        nodata = get_nodata(band)
        if nodata is None:  # cannot happen with GMF_NODATA; read the mask band to be sure
            return _mask_band(band, window)
        if values.dtype.kind in "fc" and np.isnan(nodata):
            return np.isnan(values)
        return values == nodata
    return _mask_band(band, window)


def _mask_band(band: gdal.Band, window: Window) -> npt.NDArray[np.bool_]:
    col, row, width, height = window
    mask: npt.NDArray[Any] = call(band.GetMaskBand().ReadAsArray, col, row, width, height)
    return mask == 0


def write_band(band: gdal.Band, values: npt.NDArray[Any], col: int, row: int) -> None:
    """Write a 2-D array at (col, row) whatever its layout.

    GDAL's array writer reads the array's memory with its strides and byte order as given;
    zero strides (broadcast arrays) or foreign byte order are read wrongly or crash. A
    C-contiguous, aligned, native array goes as it is; any other is written in row slabs
    copied to such arrays, so memory stays bounded by WRITE_CHUNK_BYTES.
    """
    dtype = array_dtype(values.dtype)
    if values.dtype == dtype and _plain(values):
        call(band.WriteArray, values, col, row)
        return
    rows_per_chunk = max(1, WRITE_CHUNK_BYTES // max(1, values.shape[1] * dtype.itemsize))
    for start in range(0, values.shape[0], rows_per_chunk):
        slab = np.array(values[start : start + rows_per_chunk], dtype=dtype, order="C")
        call(band.WriteArray, slab, col, row + start)


def _plain(values: npt.NDArray[Any]) -> bool:
    """C-contiguous, aligned and with the strides of a fresh array (no zero strides)."""
    if not (values.flags.c_contiguous and values.flags.aligned):
        return False
    expected = values.itemsize
    for size, stride in zip(values.shape[::-1], values.strides[::-1], strict=True):
        if stride != expected:
            return False
        expected *= size
    return True


def get_nodata(band: gdal.Band) -> float | int | None:
    """The band's nodata value: int for integer bands, float otherwise, None when unset."""
    suffix = _INT64_TYPES.get(band.DataType)
    if suffix is not None:
        value = getattr(band, f"GetNoDataValue{suffix}")()
        return None if value is None else int(value)
    value = band.GetNoDataValue()
    if value is None:
        return None
    if band.DataType in _INTEGER_TYPES and float(value).is_integer():
        return int(value)
    return float(value)


def nodata_setter(band: gdal.Band, value: object) -> tuple[Any, tuple[Any, ...]]:
    """The band's method and arguments that set (or, for None, remove) its nodata value;
    TypeError or ValueError for a value the band cannot take. Nothing is changed yet."""
    if value is None:
        return band.DeleteNoDataValue, ()
    if isinstance(value, bool) or not isinstance(value, (int, float, np.number)):
        raise TypeError(f"nodata must be a number or None, not {type(value).__name__}")
    suffix = _INT64_TYPES.get(band.DataType)
    if suffix is None:
        return band.SetNoDataValue, (float(value),)
    if not float(value).is_integer():
        raise ValueError(f"nodata of a 64-bit integer band must be an integer, not {value!r}")
    return getattr(band, f"SetNoDataValue{suffix}"), (int(value),)
