"""``orv.variogram``: the experimental variogram of sampled points, and the ``Variogram`` it
returns (classes with pair counts, model fitting, plotting)."""

import operator
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _pass
from ._inputs import distance_unit, finite_real, prepare_samples
from .fit import fit_model
from .model import VariogramModel

__all__ = ["ESTIMATORS", "MAX_LAGS", "Variogram", "variogram"]

ESTIMATORS = ("matheron", "cressie")
MAX_LAGS = _pass.MAX_LAGS


def _readonly(array: NDArray[Any]) -> NDArray[Any]:
    array.setflags(write=False)
    return array


@dataclass(frozen=True, eq=False)
class Variogram:
    """An experimental variogram: per non-empty distance class, in increasing distance,

    - ``lags``: the mean distance of the class's pairs (float64);
    - ``semivariance``: the class's semivariance by the ``estimator`` (float64);
    - ``pairs``: how many pairs the class holds (int64);

    and ``edges``, all n_lags + 1 class edges (class k holds the distances d with
    edges[k] <= d < edges[k + 1]). The input it was computed from is kept: ``points`` and
    ``values`` (missing samples left out), ``geographic``, ``estimator``, ``direction``,
    ``tolerance``, ``max_distance``, and ``unit``, the unit of the distances ("km" when
    geographic, the projected CRS's linear unit such as "metre", or None when unknown). The
    arrays are read-only.
    """

    lags: NDArray[np.float64]
    semivariance: NDArray[np.float64]
    pairs: NDArray[np.int64]
    edges: NDArray[np.float64]
    points: NDArray[np.float64]
    values: NDArray[np.float64]
    geographic: bool
    estimator: str
    direction: float | None
    tolerance: float
    max_distance: float | None
    unit: str | None

    def __post_init__(self) -> None:
        for name in ("lags", "semivariance", "pairs", "edges", "points", "values"):
            _readonly(getattr(self, name))

    def __len__(self) -> int:
        return int(self.lags.size)

    def __repr__(self) -> str:
        unit = f" {self.unit}" if self.unit else ""
        reach = f" up to {self.edges[-1]:.6g}{unit}" if self.edges.size else ""
        direction = (
            ""
            if self.direction is None
            else f", azimuth {self.direction:g} +/- {self.tolerance:g} degrees"
        )
        classes = f"{len(self)} class" + ("" if len(self) == 1 else "es")
        return (
            f"<Variogram: {classes}{reach}, {int(self.pairs.sum()):,} pairs of "
            f"{self.points.shape[0]} points, {self.estimator}{direction}>"
        )

    def fit(
        self,
        model: str = "auto",
        *,
        weights: str | None = "pairs",
        fixed: Mapping[str, float] | None = None,
    ) -> VariogramModel:
        """Fit a variogram model to the classes by weighted least squares.

        ``model``: one of the six models ("Linear", "Power", "Gaussian", "Spherical",
        "Exponential", "HoleEffect"; any letter case), or "auto", which fits each of them
        and keeps the one with the smallest weighted residual. ``weights``: "pairs" weighs
        each class by its pair count, "cressie" by its pair count over the squared model
        value (Cressie's weights, which favour the short lags), None weighs all alike.
        ``fixed`` holds parameters at given values, for example ``{"Nugget": 0.0}``; with
        "auto" only the models that have every fixed parameter compete.

        The bounds keep the parameters physical: sills, slopes, scales and the nugget
        non-negative, the range positive, the power's exponent in (0, 2). Returns a
        ``VariogramModel`` whose ``rmse`` is the root-mean-square difference from the
        semivariances. ValueError for an unknown model, weight or parameter, or fewer
        classes than free parameters.
        """
        return fit_model(
            self.lags, self.semivariance, self.pairs, model, weights=weights, fixed=fixed
        )

    def plot(self, ax: Any = None, model: VariogramModel | None = None) -> Any:
        """Plot the semivariance of each class, labelled with its pair count, and the curve
        of ``model`` when given, on the matplotlib axes ``ax`` (new ones by default).
        Returns the axes. matplotlib is imported here, when called."""
        from ._plot import plot_variogram

        return plot_variogram(self, ax, model)


def _n_lags(n_lags: object) -> int:
    if isinstance(n_lags, (bool, np.bool_)):
        raise TypeError(f"n_lags must be an int, not {n_lags!r}")
    try:
        count = operator.index(n_lags)  # type: ignore[arg-type]  # refused below
    except TypeError:
        raise TypeError(f"n_lags must be an int, not {type(n_lags).__name__}") from None
    if not 1 <= count <= MAX_LAGS:
        raise ValueError(f"n_lags must lie between 1 and {MAX_LAGS}, not {count}")
    return count


def _edges(edges: ArrayLike) -> NDArray[np.float64]:
    try:
        array = np.array(edges, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"edges must be a sequence of numbers: {exc}") from None
    if array.ndim != 1 or not 2 <= array.size <= MAX_LAGS + 1:
        raise ValueError(
            f"edges must be one-dimensional with 2 to {MAX_LAGS + 1} entries, not of shape "
            f"{array.shape}"
        )
    if not np.isfinite(array).all():
        raise ValueError("edges must be finite")
    if not (np.diff(array) > 0).all():
        raise ValueError("edges must increase strictly")
    return np.ascontiguousarray(array)


def _cressie_hawkins(mean_roots: NDArray[np.float64], pairs: NDArray[np.int64]) -> Any:
    # 2 gamma = mean(|z_i - z_j| ** 0.5) ** 4 / (0.457 + 0.494 / N + 0.045 / N ** 2).
    n = pairs.astype(np.float64)
    return 0.5 * mean_roots**4 / (0.457 + 0.494 / n + 0.045 / n**2)


def variogram(
    points: ArrayLike,
    values: ArrayLike,
    *,
    n_lags: int = 20,
    max_distance: float | None = None,
    edges: ArrayLike | None = None,
    estimator: str = "matheron",
    direction: float | None = None,
    tolerance: float = 22.5,
    geographic: bool | None = None,
    crs: Any = None,
    client: Any = None,
    progress: Any = None,
) -> Variogram:
    """The experimental variogram of sampled points.

    ``points``: coordinates, one row per point (x, y[, z], or longitude, latitude); ``values``:
    one value per point. Lists, numpy arrays and pandas columns are converted with numpy.
    Samples with a missing coordinate or value (NaN or None) are left out, with one warning
    (``MissingSamplesWarning``) saying how many.

    Classes:

    - by default ``n_lags`` classes of equal width from the smallest to just above the
      largest pair distance: exactly the kriging core's classes, so that without missing
      values ``lags`` and ``semivariance`` equal ``core.init_variogram_model(points, values,
      n_lags, "PROJCS" or "GEOGCS")`` bit for bit;
    - ``max_distance``: pairs farther apart are left out, and the n_lags classes run from the
      smallest pair distance to max_distance, the last class including it; the cost follows
      the pairs within max_distance rather than all pairs;
    - ``edges``: explicit, strictly increasing class edges (n_lags is then ignored).

    ``estimator``: "matheron", the mean of half the squared value differences of a class's
    pairs, or "cressie", the Cressie-Hawkins robust estimator for skewed data or outliers.
    ``direction``: an azimuth in degrees clockwise from north (y up, x east); only pairs whose
    separation lies within ``tolerance`` degrees of it, in either sense, count (tolerance in
    (0, 90]; 90 keeps every pair). Classes follow from all pairs, so variograms of several
    directions share their classes.

    ``geographic``: coordinates are longitude and latitude in degrees, and distances
    great-circle kilometres; None decides by ``crs`` (an ``osr.SpatialReference``, "EPSG:n",
    WKT, an int EPSG code or an object with ``to_wkt()``): geographic when the CRS is, else
    not. ``client``: a ``dask.distributed.Client`` runs the same pass on the cluster with the
    same bits. ``progress(done, total)``, when given, is called as the pass advances.

    At most ``MAX_LAGS`` classes. TypeError or ValueError, naming the argument, for input of
    the wrong kind or shape, fewer than two usable samples, a bad class setting, geographic
    coordinates out of range and distances that overflow.
    """
    n_lags = _n_lags(n_lags)
    if max_distance is not None:
        max_distance = finite_real(max_distance, "max_distance")
        if max_distance <= 0:
            raise ValueError(f"max_distance must be positive, not {max_distance}")
    if edges is not None:
        if max_distance is not None:
            raise ValueError("give edges or max_distance, not both")
        edges = _edges(edges)
    if not isinstance(estimator, str) or estimator.lower() not in ESTIMATORS:
        raise ValueError(f"estimator must be 'matheron' or 'cressie', not {estimator!r}")
    estimator = estimator.lower()
    tolerance = finite_real(tolerance, "tolerance")
    if direction is not None:
        direction = finite_real(direction, "direction")
        if not 0 < tolerance <= 90:
            raise ValueError(f"tolerance must lie in (0, 90] degrees, not {tolerance}")
    samples = prepare_samples(points, values, geographic=geographic, crs=crs)
    if direction is not None and samples.points.shape[1] < 2:
        raise ValueError("a direction needs points with at least two coordinates")

    default_classes = max_distance is None and edges is None
    if default_classes and estimator == "matheron" and direction is None:
        classes = _pass.core_pass(
            samples.points,
            samples.values,
            n_lags,
            samples.geographic,
            client=client,
            progress=progress,
        )
    else:
        classes = _pass.ordered_pass(
            samples.points,
            samples.values,
            samples.geographic,
            n_lags=n_lags,
            max_distance=max_distance,
            edges=edges,
            estimator=estimator,
            direction=direction,
            tolerance=tolerance,
            client=client,
            progress=progress,
        )
    counts = np.asarray(classes.counts, dtype=np.int64)
    semivariance = (
        classes.means if estimator == "matheron" else _cressie_hawkins(classes.means, counts)
    )
    return Variogram(
        lags=np.array(classes.lags, dtype=np.float64),
        semivariance=np.array(semivariance, dtype=np.float64),
        pairs=counts.copy(),
        edges=np.array(classes.edges, dtype=np.float64),
        # Copies: the caller's own arrays may have come through unconverted.
        points=samples.points.copy(),
        values=samples.values.copy(),
        geographic=samples.geographic,
        estimator=estimator,
        direction=direction,
        tolerance=tolerance,
        max_distance=max_distance,
        unit=distance_unit(samples.geographic, crs),
    )
