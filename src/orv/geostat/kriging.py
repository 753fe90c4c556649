"""Ordinary kriging: estimates and their variances from sampled values and a variogram model.

``OrdinaryKriging`` checks the samples and the model once; ``predict`` kriges given targets,
``grid`` a north-up grid, ``to_raster`` a grid tile by tile into a two-band raster (estimate,
variance), on this machine or a Dask cluster, and ``cross_validate`` leaves each sample out
in turn. The native kernel (``orv._algos.spmis.krige._kriging``) does the work with the GIL
released, on the package's worker threads (``OMP_NUM_THREADS`` and threadpoolctl's limits
apply). Each target's result depends on its own neighbourhood alone, computed in a fixed
order, so it is the same for every thread count, tile size and cluster.
"""

import math
import numbers
import threading
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige import _kriging, core, great_circle_distance
from .._algos.spmis.krige import variogram as model_functions
from . import _grid
from ._inputs import finite_real, prepare_samples, to_points

__all__ = [
    "GLOBAL_MAX_SAMPLES",
    "CoincidentSamplesWarning",
    "CrossValidation",
    "OrdinaryKriging",
    "UnstableSystemWarning",
]

# Global kriging holds the n x n system of all samples (n = 10,000: 800 MB); beyond this
# count the neighbourhoods must be local.
GLOBAL_MAX_SAMPLES = 10_000

# Parameters that must be positive (a zero range divides by zero).
_POSITIVE = ("Range",)

type Array = NDArray[np.float64]


class CoincidentSamplesWarning(UserWarning):
    """Samples at the same location were merged into one with their mean value."""


class UnstableSystemWarning(RuntimeWarning):
    """Kriging systems that were not positive definite were solved by LU instead."""


class CrossValidation(NamedTuple):
    """Leave-one-out cross-validation: for each sample, the ``estimate`` and ``variance``
    kriged without it, the ``residuals`` (observed minus estimate) and the ``standardized``
    errors (residual over the kriging standard deviation); with their ``mean_error``,
    ``rmse`` (root-mean-square residual) and ``msse`` (mean squared standardised error,
    about 1 when the model's variances are right). Samples that could not be estimated
    (no other sample in reach) are NaN and left out of the summary."""

    estimate: Array
    variance: Array
    residuals: Array
    standardized: Array
    mean_error: float
    rmse: float
    msse: float


# --- samples ------------------------------------------------------------------------------


def _merge_coincident(points: Array, values: Array, stacklevel: int) -> tuple[Array, Array]:
    """The samples with those at the same location merged into the first of them, with the
    mean of their values (one warning)."""
    _, first, inverse, counts = np.unique(
        points, axis=0, return_index=True, return_inverse=True, return_counts=True
    )
    if first.size == points.shape[0]:
        return points, values
    means = np.bincount(inverse.ravel(), weights=values) / counts
    order = np.argsort(first)  # keep the samples in their given order
    warnings.warn(
        f"{points.shape[0] - first.size} samples share their location with another and were "
        f"merged into {int((counts > 1).sum())} samples, each with the mean value",
        CoincidentSamplesWarning,
        stacklevel=stacklevel + 1,
    )
    return np.ascontiguousarray(points[first[order]]), np.ascontiguousarray(means[order])


# --- model and neighbourhood ----------------------------------------------------------------


def _model_of(model: Any) -> tuple[str, dict[str, float]]:
    """(name, parameters in the core's order) of a VariogramModel or a (name, dict) pair."""
    if hasattr(model, "model") and hasattr(model, "parameters"):
        name, given = model.model, model.parameters
    elif isinstance(model, Sequence) and not isinstance(model, str) and len(model) == 2:
        name, given = model
    else:
        raise TypeError(
            "model must be a VariogramModel (from Variogram.fit) or a (name, parameters) pair "
            f"such as ('Spherical', {{'PSill': 1.0, 'Range': 100.0, 'Nugget': 0.0}}), not {model!r}"
        )
    if given is None or not isinstance(given, Mapping):
        raise TypeError(f"the parameters of {name!r} must be a dict of names to values")
    # The core checks the name and the names of the parameters, and orders them.
    name, _, ordered = core.init_variogram_parameters(name, dict(given))
    parameters = {}
    for key, value in zip(core.DEFAULT_PARAMETERS[name], ordered, strict=True):
        number = finite_real(value, f"parameter {key}")
        if key in _POSITIVE and number <= 0:
            raise ValueError(f"parameter {key} must be positive, not {number}")
        parameters[key] = number
    return name, parameters


def _neighbours_of(neighbours: Any) -> int | None:
    if neighbours is None:
        return None
    if isinstance(neighbours, bool) or not isinstance(neighbours, numbers.Integral):
        raise TypeError(f"neighbours must be an int or None, not {neighbours!r}")
    if neighbours < 1:
        raise ValueError(f"neighbours must be at least 1, not {neighbours}")
    return int(neighbours)


def _distance_of(max_distance: Any) -> float | None:
    if max_distance is None:
        return None
    if isinstance(max_distance, bool) or not isinstance(max_distance, numbers.Real):
        raise TypeError(f"max_distance must be a number or None, not {max_distance!r}")
    distance = float(max_distance)
    if not (distance > 0 and math.isfinite(distance)):
        raise ValueError(f"max_distance must be positive and finite, not {distance}")
    return distance


def _anisotropy_transform(anisotropy: Any, points: Array) -> tuple[Array, Array]:
    """(matrix, center) of the map core.adjust_anisotropy applies: p -> c + M (p - c). The
    kernel applies M (p - c) to samples and targets alike, which leaves every distance as
    adjust_anisotropy's coordinates give it."""
    try:
        scale, angle = anisotropy
    except (TypeError, ValueError):
        raise TypeError(f"anisotropy must be a (scale, angle) pair, not {anisotropy!r}") from None
    for what, value in (("scale", scale), ("angle", angle)):
        array = np.asarray(value, dtype=np.float64) if _is_numeric(value) else None
        if array is None or array.size == 0 or not np.isfinite(array).all():
            raise ValueError(f"anisotropy {what} must be finite numbers, not {value!r}")
        if what == "scale" and (array <= 0).any():
            raise ValueError(f"anisotropy scale must be positive, not {value!r}")
    dims = points.shape[1]
    if dims not in (2, 3):
        raise ValueError(f"anisotropy needs points of 2 or 3 columns, not {dims}")
    origin = np.zeros(dims)
    # The images of the unit vectors about the origin are the columns of M.
    images = core.adjust_anisotropy(np.eye(dims), origin, scale, angle)
    matrix = np.ascontiguousarray(np.asarray(images, dtype=np.float64).T)
    center = 0.5 * (points.min(axis=0) + points.max(axis=0))
    return matrix, np.ascontiguousarray(center)


def _is_numeric(value: Any) -> bool:
    try:
        return np.asarray(value).dtype.kind in "iuf"
    except (TypeError, ValueError):
        return False


# --- kriging --------------------------------------------------------------------------------


class OrdinaryKriging:
    """Ordinary kriging of sampled values with a variogram model.

    ``points``: coordinates, one row per sample (x, y[, z], or longitude, latitude);
    ``values``: one value per sample. Samples with a missing coordinate or value are left
    out with one warning; samples at the same location are merged into one with their mean
    value, with one ``CoincidentSamplesWarning``. At least two sample locations must remain.

    ``model``: a ``VariogramModel`` (from ``Variogram.fit``), or a pair (name, parameters)
    such as ``("Exponential", {"PSill": 1.0, "Range": 500.0, "Nugget": 0.1})``, checked and
    ordered by the kriging core's ``init_variogram_parameters``. All six models work, the
    unbounded Linear and Power too: the systems are solved in semivariances.

    ``neighbours``: None kriges every target from every sample (global kriging, up to
    ``GLOBAL_MAX_SAMPLES`` samples); k uses the k nearest samples of each target, only those
    within ``max_distance`` when it is given (all samples within it when k is None). A
    target with no sample in reach gets NaN.

    ``anisotropy``: (scale, angle) for the kriging core's ``adjust_anisotropy``: distances
    are taken after rotating the coordinates by -angle degrees and stretching the second axis
    by scale (for 3 columns: three angles and two scales, as that function takes them).
    ``geographic`` / ``crs``: longitude and latitude in degrees with great-circle distances
    in km (neighbours searched on the sphere), told directly or by a geographic ``crs``; a
    ``crs`` is also written to rasters.

    Kriging is exact: at a sample's location the estimate is its value and the variance 0,
    whatever the nugget. Estimates and variances are float64.
    """

    def __init__(
        self,
        points: ArrayLike,
        values: ArrayLike,
        model: Any,
        *,
        neighbours: int | None = None,
        max_distance: float | None = None,
        anisotropy: tuple[Any, Any] | None = None,
        geographic: bool | None = None,
        crs: Any = None,
    ) -> None:
        samples = prepare_samples(
            points, values, geographic=geographic, crs=crs, minimum=2, stacklevel=2
        )
        if not samples.geographic and samples.points.shape[1] not in (2, 3):
            raise ValueError(f"points must have 2 or 3 columns, not {samples.points.shape[1]}")
        self.model, self.parameters = _model_of(model)
        self.neighbours = _neighbours_of(neighbours)
        self.max_distance = _distance_of(max_distance)
        point_array, value_array = _merge_coincident(samples.points, samples.values, stacklevel=2)
        if point_array.shape[0] < 2:
            raise ValueError("need at least two distinct sample locations")
        self.points: Array = point_array
        self.values: Array = value_array
        self.geographic: bool = samples.geographic
        self.crs = crs
        self.anisotropy = anisotropy
        self._transform: tuple[Array, Array] | None = None
        if anisotropy is not None:
            if self.geographic:
                raise ValueError("anisotropy applies to projected coordinates, not geographic ones")
            self._transform = _anisotropy_transform(anisotropy, point_array)
        if self.is_global and point_array.shape[0] > GLOBAL_MAX_SAMPLES:
            raise ValueError(
                f"global kriging of {point_array.shape[0]:,} samples needs a dense system of "
                f"{point_array.shape[0] ** 2 * 8 / 1e9:.1f} GB; give neighbours (for example 32), "
                f"or at most {GLOBAL_MAX_SAMPLES:,} samples"
            )
        self._lock = threading.Lock()
        self._engine: Any = None

    @property
    def is_global(self) -> bool:
        """Whether every sample takes part in every target's system."""
        n = self.points.shape[0]
        return self.max_distance is None and (self.neighbours is None or self.neighbours >= n)

    def __repr__(self) -> str:
        values = ", ".join(f"{k}={v:.6g}" for k, v in self.parameters.items())
        reach = "global" if self.is_global else f"neighbours={self.neighbours}"
        if self.max_distance is not None:
            reach += f", max_distance={self.max_distance:g}"
        return f"OrdinaryKriging({self.points.shape[0]} samples, {self.model}: {values}, {reach})"

    # Pickled without the native engine (a process builds its own on first use), so that
    # tasks on a cluster receive the samples and settings only.
    def __getstate__(self) -> dict[str, Any]:
        state = self.__dict__.copy()
        del state["_lock"], state["_engine"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()
        self._engine = None

    def _native(self) -> Any:
        with self._lock:
            if self._engine is None:
                matrix, center = self._transform if self._transform is not None else (None, None)
                self._engine = _kriging.prepare(
                    self.points,
                    self.values,
                    self.model,
                    np.array(list(self.parameters.values()), dtype=np.float64),
                    0 if self.neighbours is None else self.neighbours,
                    math.inf if self.max_distance is None else self.max_distance,
                    matrix,
                    center,
                    self.geographic,
                )
            return self._engine

    def _checked(self, outcome: tuple[Array, Array, int], stacklevel: int) -> tuple[Array, Array]:
        estimate, variance, unstable = outcome
        if unstable:
            warnings.warn(
                f"{unstable} target(s) had a kriging system that is not positive definite (an "
                "invalid model, or a Gaussian model without nugget, which is numerically "
                "singular); they were solved by LU and may be inaccurate",
                UnstableSystemWarning,
                stacklevel=stacklevel + 1,
            )
        return estimate, variance

    def predict(self, targets: ArrayLike) -> tuple[Array, Array]:
        """(estimate, variance) at ``targets``: one row per target with the samples'
        columns (one target may be given as a flat sequence). Float64 arrays of one entry
        per target; NaN for a target with a missing coordinate or no sample in reach."""
        columns = self.points.shape[1]
        if np.ndim(targets) == 1 and np.size(targets) == columns:
            targets = [targets]  # one target as a flat sequence
        array = to_points(targets, name="targets")
        if array.shape[1] != columns:
            raise ValueError(
                f"targets must have {columns} columns like the samples, not shape {array.shape}"
            )
        outcome = _kriging.predict(self._native(), np.ascontiguousarray(array), False, 0)
        return self._checked(outcome, stacklevel=2)

    def _grid_points(self) -> None:
        if self.points.shape[1] != 2:
            raise ValueError("grids and rasters need samples of two coordinates")

    def grid(
        self, bounds: Sequence[float], resolution: float | Sequence[float]
    ) -> tuple[Array, Array, tuple[float, ...]]:
        """(estimate, variance, geotransform) on the grid covering ``bounds`` (xmin, ymin,
        xmax, ymax) with cells of ``resolution`` (one size, or (x size, y size)).

        The arrays are north-up, shape (rows, columns): row 0 is the northern edge, and the
        targets are the cell centres, (xmin + (c + 0.5) dx, ymax - (r + 0.5) dy). When a
        span is not a whole number of cells the last column (row) reaches past xmax (below
        ymin). ``geotransform`` is GDAL's (xmin, dx, 0, ymax, 0, -dy).
        """
        self._grid_points()
        grid = _grid.make_grid(bounds, resolution)
        outcome = _kriging.grid(
            self._native(), grid.x0, grid.y0, grid.dx, grid.dy, 0, 0, grid.width, grid.height, 0
        )
        estimate, variance = self._checked(outcome, stacklevel=2)
        return estimate, variance, grid.geotransform

    def to_raster(
        self,
        path: Any,
        bounds: Sequence[float],
        resolution: float | Sequence[float],
        *,
        crs: Any = None,
        driver: str = "GTiff",
        options: Any = None,
        nodata: float | None = None,
        tile: int = 512,
        client: Any = None,
        dtype: Any = "float32",
        progress: Callable[[int, int], None] | None = None,
    ) -> Any:
        """Krige the grid of ``grid(bounds, resolution)`` into a two-band raster at ``path``
        (band 1 the estimate, band 2 the variance) and return its dataset wrapper, open.

        The raster is created through the package's drivers (``orv.create_raster``) with the
        grid's geotransform and ``crs`` (by default the one this kriging was given), and
        written tile by tile, ``tile`` x ``tile`` cells at a time, so memory stays bounded by
        the tile whatever the grid. With GTiff and no ``options`` the file is tiled.
        ``nodata``: the value written where the estimate is NaN (no sample in reach), and set
        as the bands' nodata. ``dtype``: the bands' data type. ``client``: a Dask
        ``distributed.Client``; the tiles are kriged on its workers and written here in the
        same order, so the file is the same, bit for bit. ``progress(done, total)`` is called
        after each tile. On failure no partial file is left behind.
        """
        from ._raster import write_raster

        self._grid_points()
        grid = _grid.make_grid(bounds, resolution)
        return write_raster(
            self,
            path,
            grid,
            crs=self.crs if crs is None else crs,
            driver=driver,
            options=options,
            nodata=nodata,
            tile=_grid.tile_size(tile),
            client=client,
            dtype=dtype,
            progress=progress,
        )

    def cross_validate(self) -> CrossValidation:
        """Leave-one-out cross-validation of the model and neighbourhood on the samples
        (after merging coincident ones): each sample is kriged from the others."""
        if self.is_global:
            estimate, variance = self._global_leave_one_out()
        else:
            outcome = _kriging.predict(self._native(), self.points, True, 0)
            estimate, variance = self._checked(outcome, stacklevel=2)
        residuals = self.values - estimate
        with np.errstate(divide="ignore", invalid="ignore"):
            standardized = residuals / np.sqrt(variance)
        known = np.isfinite(residuals)
        scaled = known & np.isfinite(standardized)
        return CrossValidation(
            estimate,
            variance,
            residuals,
            standardized,
            float(np.mean(residuals[known])) if known.any() else math.nan,
            float(np.sqrt(np.mean(residuals[known] ** 2))) if known.any() else math.nan,
            float(np.mean(standardized[scaled] ** 2)) if scaled.any() else math.nan,
        )

    def _distances(self) -> Array:
        if self.geographic:
            return np.asarray(great_circle_distance(self.points, self.points))
        points = self.points
        if self._transform is not None:
            matrix, center = self._transform
            points = (points - center) @ matrix.T
        from scipy.spatial.distance import cdist  # type: ignore[import-untyped]

        return np.asarray(cdist(points, points))

    def _global_leave_one_out(self) -> tuple[Array, Array]:
        # Dubrule's identities: with B the inverse of the ordinary kriging matrix
        # [[-G, 1], [1^T, 0]], leaving sample i out gives the residual (B z)_i / B_ii and the
        # variance 1 / B_ii, from one inversion instead of n.
        n = self.points.shape[0]
        function = getattr(model_functions, self.model)
        gamma = np.asarray(function(list(self.parameters.values()), self._distances()))
        np.fill_diagonal(gamma, 0.0)
        system = np.ones((n + 1, n + 1))
        system[:n, :n] = -gamma
        system[n, n] = 0.0
        inverse = np.linalg.inv(system)
        diagonal = np.diagonal(inverse)[:n]
        residuals = (inverse[:n, :n] @ self.values) / diagonal
        return self.values - residuals, 1.0 / diagonal
