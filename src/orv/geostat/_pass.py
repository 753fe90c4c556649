"""The pair passes behind ``orv.variogram``: which native pass runs, and where.

Two passes, both native, both bit-identical whatever the thread count or instruction set:

- the kriging core's own pass over all pairs (``core_pass``), for the default classes with
  the Matheron estimator and no direction, so that the result is the core's to the bit; run
  in one call here, by blocks with progress reports, or by the tiled runner on a Dask cluster;
- the pass over points ordered in space (``ordered_pass``) for everything else: explicit
  edges, a cut-off (whose cost follows the pairs inside it), the Cressie-Hawkins estimator,
  a direction. Its work is cut into parts whose exact per-class sums merge to the same bits
  however they are grouped: one part here, ten with progress reports, or one Dask task each.
"""

import math
import warnings
from collections.abc import Callable
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige import _pairs, _tiled

# The most classes a pass takes.
MAX_LAGS = 4096
# Parts of an ordered pass with progress reports, and per worker thread of a cluster.
PROGRESS_PARTS = 10
PARTS_PER_CLUSTER_THREAD = 4

type Progress = Callable[[int, int], None]


class Classes(NamedTuple):
    """All ``edges``; per non-empty class the pair ``counts``, the mean distance ``lags``
    and the mean of the estimator's terms ``means`` (half squared differences for Matheron,
    roots of absolute differences for Cressie-Hawkins)."""

    edges: NDArray[np.float64]
    counts: NDArray[np.int64]
    lags: NDArray[np.float64]
    means: NDArray[np.float64]


def core_edges(d_min: float, d_max: float, n_lags: int) -> NDArray[np.float64]:
    """The kriging core's n_lags + 1 equal class edges from d_min, the last just above d_max."""
    return _pairs.class_edges(d_min, d_max, n_lags)


def _gtype(geographic: bool) -> str:
    return "GEOGCS" if geographic else "PROJCS"


def _kept(edges: NDArray[np.float64], partial: Any) -> Classes:
    """The classes the kriging core keeps, from the merged ClassPartial of their pairs."""
    with warnings.catch_warnings():
        # The core takes numpy's mean of an empty class, with numpy's warning; here an empty
        # class is simply left out.
        warnings.simplefilter("ignore", RuntimeWarning)
        lags, means, counts = _pairs.class_means(partial)
    return Classes(edges, counts, lags, means)


def core_pass(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    n_lags: int,
    geographic: bool,
    *,
    client: Any = None,
    progress: Progress | None = None,
) -> Classes:
    """The default classes by the kriging core's pass: lags and semivariances equal those of
    ``core.init_variogram_model(points, values, n_lags, gtype)`` bit for bit. Here in one
    call; with progress reports by the tiled runner in this process; with a client by the
    same runner on the cluster."""
    if client is None and progress is None:
        d_min, d_max, _ = _pairs.point_range(points, geographic)
        edges = core_edges(d_min, d_max, n_lags)
        return _kept(edges, _pairs.variogram_classes(points, values, edges, geographic))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        if client is None:
            lags, means, counts, edges = _tiled.run_local(
                points, values, n_lags, _gtype(geographic), progress=progress
            )
        else:
            from .. import distributed

            lags, means, counts, edges = _tiled.run(
                points,
                values,
                n_lags,
                _gtype(geographic),
                distributed.cluster_rounds(client),
                progress=progress,
            )
    return Classes(edges, counts, lags, means)


# ------------------------------------------------------------------ the ordered pass


def _range_part(data, geographic, cutoff, part, parts, threads):
    return _pairs.pair_range(data[0], geographic, cutoff, part, parts, threads)


def _classes_part(data, edges, geographic, estimator, azimuth, tolerance, part, parts, threads):
    coords, values = data
    return _pairs.filtered_classes(
        coords, values, edges, geographic, estimator, azimuth, tolerance, part, parts, threads
    )


def _hold(coords, values):
    return coords, values


class _Here:
    """All parts in this process: one part on every thread, or ``parts`` in turn with a
    progress report after each."""

    def __init__(self, data, progress: Progress | None, pairs: int) -> None:
        self.data = data
        self.progress = progress
        self.parts = 1 if progress is None else PROGRESS_PARTS
        self.pairs = pairs
        self.rounds_done = 0

    def each_part(self, function, *arguments):
        results = []
        for part in range(self.parts):
            results.append(function(self.data, *arguments, part, self.parts, 0))
            if self.progress is not None:
                # Two rounds, each over the pairs, as the tiled runner counts them.
                share = (self.rounds_done * self.parts + part + 1) / (2 * self.parts)
                self.progress(int(2 * self.pairs * share), 2 * self.pairs)
        self.rounds_done += 1
        return results

    def skip_round(self) -> None:
        self.rounds_done += 1

    def release(self) -> None:
        pass


class _Cluster:
    """Parts as tasks of a Dask client, one thread each; the points travel once, as the data
    of one task, so the scheduler can recompute them when a worker is lost."""

    def __init__(self, client, data) -> None:
        self.client = client
        self.parts = max(1, PARTS_PER_CLUSTER_THREAD * sum(client.nthreads().values()))
        self.data = client.submit(_hold, *data, pure=False)

    def each_part(self, function, *arguments):
        futures = [
            self.client.submit(function, self.data, *arguments, part, self.parts, 1, pure=False)
            for part in range(self.parts)
        ]
        return self.client.gather(futures)

    def skip_round(self) -> None:
        pass

    def release(self) -> None:
        self.client.cancel([self.data])


def ordered_pass(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    geographic: bool,
    *,
    n_lags: int,
    max_distance: float | None,
    edges: NDArray[np.float64] | None,
    estimator: str,
    direction: float | None,
    tolerance: float,
    client: Any = None,
    progress: Progress | None = None,
) -> Classes:
    """Classes by the pass over points ordered in space.

    The edges are ``edges`` when given; with ``max_distance``, n_lags equal classes from the
    smallest pair distance to max_distance, the last one closed; else the core's classes.
    ValueError when no pair lies within max_distance.
    """
    order = _pairs.spatial_order(points, geographic)
    data = (np.ascontiguousarray(points[order]), np.ascontiguousarray(values[order]))
    n = points.shape[0]
    runner = _Here(data, progress, n * (n - 1) // 2) if client is None else _Cluster(client, data)
    try:
        if edges is None:
            cutoff = math.inf if max_distance is None else float(max_distance)
            ranges = runner.each_part(_range_part, geographic, cutoff)
            d_min = min((low for low, _ in ranges if not math.isnan(low)), default=math.nan)
            if max_distance is None:
                d_max = max(high for _, high in ranges if not math.isnan(high))
                edges = core_edges(d_min, d_max, n_lags)
            else:
                if not d_min <= max_distance:
                    raise ValueError(f"no pair of points lies within max_distance={max_distance}")
                edges = core_edges(d_min, max_distance, n_lags)
                # The last class includes max_distance itself.
                edges[-1] = np.nextafter(max_distance, math.inf)
        else:
            runner.skip_round()
        partials = runner.each_part(
            _classes_part, edges, geographic, estimator, direction, tolerance
        )
    finally:
        runner.release()
    return _kept(edges, _pairs.merge_partials(partials))
