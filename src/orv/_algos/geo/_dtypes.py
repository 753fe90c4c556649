"""GDAL raster data types and their codes."""

import enum
import operator
from typing import Any

import numpy as np

from ...error import FormatError


class RaterDataType(enum.IntEnum):
    """GDAL raster data types; each value is GDAL's type code."""

    Unknown = 0
    Byte = 1
    UInt16 = 2
    Int16 = 3
    UInt32 = 4
    Int32 = 5
    Float32 = 6
    Float64 = 7
    CInt16 = 8
    CInt32 = 9
    CFloat32 = 10
    CFloat64 = 11
    UInt64 = 12
    Int64 = 13


RasterDataType = RaterDataType

# A raster band needs a concrete type, so "Unknown" is not accepted for creation.
_CREATABLE = {member.name.casefold(): member for member in RaterDataType if member}

# numpy's types that GDAL stores as they are (bool as bytes, as GDAL's own array I/O does).
# int8 and float16 have no GDAL type here.
_NUMPY_TYPES = {
    np.dtype(np.bool_): RaterDataType.Byte,
    np.dtype(np.uint8): RaterDataType.Byte,
    np.dtype(np.uint16): RaterDataType.UInt16,
    np.dtype(np.int16): RaterDataType.Int16,
    np.dtype(np.uint32): RaterDataType.UInt32,
    np.dtype(np.int32): RaterDataType.Int32,
    np.dtype(np.float32): RaterDataType.Float32,
    np.dtype(np.float64): RaterDataType.Float64,
    np.dtype(np.complex64): RaterDataType.CFloat32,
    np.dtype(np.complex128): RaterDataType.CFloat64,
    np.dtype(np.uint64): RaterDataType.UInt64,
    np.dtype(np.int64): RaterDataType.Int64,
}
_NOT_A_TYPE = "no GDAL raster data type for this value (numpy dtypes accepted: {})".format(
    ", ".join(str(t) for t in _NUMPY_TYPES)
)


def _from_numpy(dtype):
    """The member for a numpy dtype, scalar type or dtype name; None when numpy has none."""
    try:
        numpy_type = np.dtype(dtype)
    except (TypeError, ValueError):
        return None
    return _NUMPY_TYPES.get(numpy_type.newbyteorder("="))


def get_raster_dtype_code(dtype):
    """GDAL type code (int) for the data type ``dtype`` of a new raster.

    Accepted: a RaterDataType, an int code (numpy integers too), a GDAL type name such as
    "Float32" (case-insensitive), a numpy dtype, a numpy scalar type (numpy.uint8) or a numpy
    type name ("uint8", "float32"). A type GDAL has no type for (int8, float16, str, ...), an
    unknown name or code raises FormatError naming the admissible types; a value of another
    kind (float, None, bool, ...) raises TypeError.
    """
    if isinstance(dtype, RaterDataType):
        member = dtype
    elif isinstance(dtype, str):
        member = _CREATABLE.get(dtype.strip().casefold()) or _from_numpy(dtype.strip())
    elif isinstance(dtype, (np.dtype, type)):
        member = _from_numpy(dtype)
    elif isinstance(dtype, bool) or not hasattr(type(dtype), "__index__"):
        raise TypeError(
            "raster data type must be a GDAL type code or name, a RaterDataType or a numpy "
            f"dtype, scalar type or type name, not a {type(dtype).__name__} value"
        )
    else:
        code = operator.index(dtype)
        member = RaterDataType(code) if code in RaterDataType._value2member_map_ else None
    if not member:
        raise FormatError(_NOT_A_TYPE, errors=dtype, all_sels=[m.name for m in _CREATABLE.values()])
    return int(member)


# numpy types GDAL's array I/O does not take, and the type their values are written as.
_WIDENED: dict[np.dtype[Any], np.dtype[Any]] = {
    np.dtype(np.int8): np.dtype(np.int16),
    np.dtype(np.float16): np.dtype(np.float32),
}


def array_dtype(dtype: np.dtype[Any]) -> np.dtype[Any]:
    """The native-order numpy dtype in which values of ``dtype`` reach GDAL's array I/O.

    bool is written as uint8, int8 as int16 and float16 as float32; any other type without
    a GDAL counterpart (str, object, datetime, ...) raises TypeError.
    """
    native = dtype.newbyteorder("=")
    if native == np.dtype(np.bool_):
        return np.dtype(np.uint8)
    if native in _WIDENED:
        return _WIDENED[native]
    if native in _NUMPY_TYPES:
        return np.dtype(native)
    raise TypeError(f"raster values must be numbers, not an array of {dtype}")
