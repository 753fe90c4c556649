"""GDAL raster data types and their codes."""

import enum
import operator

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


def get_raster_dtype_code(dtype):
    """GDAL type code (int) for a RaterDataType, an int code or a type name such as "Float32".

    Names are matched case-insensitively. An unknown name or code raises FormatError naming
    the admissible types; a value of another kind (float, None, bool, ...) raises TypeError.
    """
    if isinstance(dtype, RaterDataType):
        member = dtype
    elif isinstance(dtype, str):
        member = _CREATABLE.get(dtype.strip().casefold())
    elif isinstance(dtype, bool) or not hasattr(type(dtype), "__index__"):
        raise TypeError(
            f"raster data type must be an int code, a type name or RaterDataType, "
            f"not {type(dtype).__name__}"
        )
    else:
        code = operator.index(dtype)
        member = RaterDataType(code) if code in RaterDataType._value2member_map_ else None
    if not member:
        raise FormatError(errors=dtype, all_sels=[m.name for m in _CREATABLE.values()])
    return int(member)
