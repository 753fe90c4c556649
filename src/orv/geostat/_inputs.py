"""Input checks shared by the geostatistics functions (variogram, kriging).

Every public function of ``orv.geostat`` takes sampled points and values in the forms users
have at hand (numpy arrays, lists, pandas columns) and turns them into float64 arrays here,
so that the same input gives the same errors and the same warning everywhere:

- ``to_points`` and ``to_values`` convert and check the shapes, naming the argument;
- ``drop_missing`` leaves out samples with a missing coordinate or value, with one warning;
- ``use_geographic`` decides between great-circle and Euclidean distances from the
  ``geographic`` flag and the ``crs``; ``check_coordinates`` refuses coordinates that the
  chosen distances cannot take;
- ``prepare_samples`` does all of it in that order.

The signatures are stable: other modules of the package import them.
"""

import math
import numbers
import operator
import warnings
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = [
    "MissingSamplesWarning",
    "Samples",
    "check_coordinates",
    "crs_is_geographic",
    "distance_unit",
    "drop_missing",
    "prepare_samples",
    "to_points",
    "to_values",
    "use_geographic",
]

# Valid geographic coordinates, in degrees: longitudes from -180 to 360 cover both the
# [-180, 180] and the [0, 360] convention.
LONGITUDE_RANGE = (-180.0, 360.0)
LATITUDE_RANGE = (-90.0, 90.0)


class MissingSamplesWarning(UserWarning):
    """Samples with a missing coordinate or value (NaN or None) were left out."""


class Samples(NamedTuple):
    """Checked samples: ``points`` (n, k) and ``values`` (n,), float64 and C-contiguous,
    without missing samples; ``dropped`` of the input's samples were left out;
    ``geographic`` tells whether distances are great-circle kilometres."""

    points: NDArray[np.float64]
    values: NDArray[np.float64]
    dropped: int
    geographic: bool


def finite_real(value: object, what: str) -> float:
    """``value`` as a finite float: TypeError for anything but a real number (bools included),
    ValueError for NaN and infinities; ``what`` names it in the message."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.number)):
        raise TypeError(f"{what} must be a real number, not {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError):  # a complex numpy scalar
        raise TypeError(f"{what} must be a real number, not {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{what} must be finite, not {number}")
    return number


def _as_float64(data: ArrayLike, name: str) -> NDArray[np.float64]:
    """``data`` as a float64 array; None becomes NaN, anything that is not a real number is
    a TypeError naming ``name``."""
    try:
        array = np.asarray(data)
    except ValueError as exc:  # nested sequences of unequal lengths
        raise ValueError(f"{name} must be a rectangular array of numbers: {exc}") from None
    kind = array.dtype.kind
    if kind in "iuf":
        return np.asarray(array, dtype=np.float64)
    if kind == "O":
        try:
            # Python numbers, None (-> NaN) and pandas' missing markers convert; text does not.
            return np.asarray(array, dtype=np.float64)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"{name} must hold numbers only: {exc}") from None
    raise TypeError(f"{name} must hold real numbers, not {array.dtype} values")


def to_points(points: ArrayLike, *, name: str = "points") -> NDArray[np.float64]:
    """Point coordinates as a C-contiguous float64 array of shape (n, k), k >= 1.

    One row per point, one column per coordinate (x, y[, z], or longitude, latitude). Missing
    coordinates (None or NaN) become NaN and are left for ``drop_missing``. Raises TypeError
    for non-numeric input and ValueError for any shape but (n, k), both naming ``name``.
    """
    array = _as_float64(points, name)
    if array.ndim != 2 or array.shape[1] < 1:
        raise ValueError(
            f"{name} must be a 2-D array with one row per point and one column per coordinate, "
            f"not an array of shape {array.shape}"
        )
    return np.ascontiguousarray(array)


def to_values(values: ArrayLike, n: int, *, name: str = "values") -> NDArray[np.float64]:
    """Sampled values as a C-contiguous float64 array of shape (n,), one per point.

    A column of shape (n, 1) is accepted. Missing values (None or NaN) become NaN. Raises
    TypeError for non-numeric input and ValueError when the count is not ``n``.
    """
    array = _as_float64(values, name)
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, not an array of shape {array.shape}")
    if array.shape[0] != n:
        raise ValueError(f"{name} has {array.shape[0]} entries but there are {n} points")
    return np.ascontiguousarray(array)


def drop_missing(
    points: NDArray[np.float64], values: NDArray[np.float64], *, stacklevel: int = 2
) -> tuple[NDArray[np.float64], NDArray[np.float64], int]:
    """(points, values, dropped) without the samples that have a NaN coordinate or value.

    When any is dropped, one ``MissingSamplesWarning`` says how many, attributed
    ``stacklevel`` frames up from the caller of this function (as ``warnings.warn`` counts,
    1 being the caller). Infinite coordinates or values are not missing: they raise
    ValueError, as nothing sensible can be computed from them.
    """
    coordinate_nan = np.isnan(points).any(axis=1)
    value_nan = np.isnan(values)
    missing = coordinate_nan | value_nan
    if np.isinf(points[~missing]).any():
        raise ValueError("points hold infinite coordinates")
    if np.isinf(values[~missing]).any():
        raise ValueError("values hold infinite values")
    dropped = int(missing.sum())
    if dropped == 0:
        return points, values, 0
    kept = ~missing
    warnings.warn(
        f"{dropped} of {missing.size} samples left out as missing (no value: "
        f"{int(value_nan.sum())}, a coordinate missing: {int(coordinate_nan.sum())})",
        MissingSamplesWarning,
        stacklevel=stacklevel + 1,
    )
    return np.ascontiguousarray(points[kept]), np.ascontiguousarray(values[kept]), dropped


def _spatial_reference(crs: Any) -> Any:
    """An ``osr.SpatialReference`` for ``crs``: one itself, "EPSG:n", WKT, PROJ text or
    anything else GDAL reads as a user's CRS text, an int EPSG code, or an object with
    ``to_wkt()`` (pyproj's and rasterio's CRS)."""
    from osgeo import osr

    from .._algos.geo.base import call_gdal_fun
    from ..error import GDALError

    if isinstance(crs, osr.SpatialReference):
        return crs
    if hasattr(crs, "to_wkt") and not isinstance(crs, str):
        crs = crs.to_wkt()
    srs = osr.SpatialReference()
    try:
        if isinstance(crs, str):
            code = call_gdal_fun(srs.SetFromUserInput, crs)
        elif isinstance(crs, bool) or not hasattr(type(crs), "__index__"):
            raise TypeError(
                "crs must be an osr.SpatialReference, a CRS text such as 'EPSG:4326' or WKT, "
                f"an int EPSG code or an object with to_wkt(), not {type(crs).__name__}"
            )
        else:
            code = call_gdal_fun(srs.ImportFromEPSG, operator.index(crs))
    except (GDALError, RuntimeError) as exc:  # RuntimeError: the user enabled GDAL exceptions
        raise ValueError(
            f"crs {crs!r} is not a coordinate reference system GDAL reads: {exc}"
        ) from None
    if code != 0:
        raise ValueError(f"crs {crs!r} is not a coordinate reference system GDAL reads")
    return srs


def crs_is_geographic(crs: Any) -> bool:
    """Whether ``crs`` (any form ``use_geographic`` takes) is a geographic (longitude,
    latitude) system. ValueError when GDAL cannot read it."""
    return bool(_spatial_reference(crs).IsGeographic())


def distance_unit(geographic: bool, crs: Any = None) -> str | None:
    """The unit of distances and lags: "km" when geographic, else the linear unit of a
    projected ``crs`` (for example "metre"), else None (the coordinates' own unit)."""
    if geographic:
        return "km"
    if crs is None:
        return None
    srs = _spatial_reference(crs)
    if not srs.IsProjected() and not srs.IsLocal():
        return None
    return str(srs.GetLinearUnitsName()) or None


def use_geographic(geographic: bool | None, crs: Any = None) -> bool:
    """Whether coordinates are longitude and latitude with great-circle distances.

    ``geographic`` None leaves it to ``crs``: a geographic CRS means True, a projected one or
    none False. An explicit True or False must agree with a ``crs`` when both are given
    (ValueError otherwise); anything but True, False or None is a TypeError.
    """
    if geographic is not None and not isinstance(geographic, (bool, np.bool_)):
        raise TypeError(f"geographic must be True, False or None, not {geographic!r}")
    if crs is None:
        return bool(geographic)
    from_crs = crs_is_geographic(crs)
    if geographic is not None and bool(geographic) != from_crs:
        kind = "geographic" if from_crs else "not geographic"
        raise ValueError(f"geographic={bool(geographic)} contradicts the crs, which is {kind}")
    return from_crs


def check_coordinates(points: NDArray[np.float64], geographic: bool) -> None:
    """Refuse coordinates the distances cannot take (ValueError).

    Geographic points need two columns, longitude in [-180, 360] and latitude in [-90, 90]
    degrees. Projected points must lie close enough together that squared coordinate
    differences stay finite (about 1.3e154 apart at most), or every distance overflows.
    """
    if points.shape[0] == 0:
        return
    if geographic:
        if points.shape[1] != 2:
            raise ValueError(
                f"geographic points need two columns (longitude, latitude), not {points.shape[1]}"
            )
        for column, label, (low, high) in (
            (0, "longitude", LONGITUDE_RANGE),
            (1, "latitude", LATITUDE_RANGE),
        ):
            smallest, largest = points[:, column].min(), points[:, column].max()
            if smallest < low or largest > high:
                bad = smallest if smallest < low else largest
                raise ValueError(
                    f"points: {label} {bad:g} lies outside [{low:g}, {high:g}] degrees; are "
                    "these projected coordinates? (geographic is for longitude and latitude)"
                )
        return
    span = points.max(axis=0) - points.min(axis=0)
    with np.errstate(over="ignore"):
        squared = float(np.sum(np.square(span)))
    if not math.isfinite(squared):
        raise ValueError(
            f"points: distances overflow float64 (coordinates span up to {float(span.max()):g})"
        )


def prepare_samples(
    points: ArrayLike,
    values: ArrayLike,
    *,
    geographic: bool | None = None,
    crs: Any = None,
    minimum: int = 2,
    stacklevel: int = 2,
) -> Samples:
    """``to_points``, ``to_values``, ``use_geographic``, ``drop_missing`` and
    ``check_coordinates`` in turn; then at least ``minimum`` samples must remain
    (ValueError). ``stacklevel`` is that of ``drop_missing``'s warning, counted from the
    caller of this function."""
    point_array = to_points(points)
    value_array = to_values(values, point_array.shape[0])
    is_geographic = use_geographic(geographic, crs)
    point_array, value_array, dropped = drop_missing(
        point_array, value_array, stacklevel=stacklevel + 1
    )
    n = point_array.shape[0]
    if n < minimum:
        left = f" ({dropped} left out as missing)" if dropped else ""
        raise ValueError(f"need at least {minimum} samples with values, got {n}{left}")
    check_coordinates(point_array, is_geographic)
    return Samples(point_array, value_array, dropped, is_geographic)
