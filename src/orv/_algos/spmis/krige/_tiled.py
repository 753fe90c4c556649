"""The experimental semivariogram computed block pair by block pair.

The pairs {i, j} of n points (row r > column c) are cut into square blocks of ``block_size``
points, a multiple of the native tile edge ``_pairs.tile_size(n)``, so every block pair covers
whole kernel tiles. Each block pair is reduced on its own, in two rounds:

1. the smallest and largest distance of its pairs (``range_of_blocks``), merged into the range
   of all pairs, from which the class edges follow exactly as the kriging core computes them;
2. the pair count and the exact distance and semivariance sums per class (``classes_of_blocks``),
   merged exactly in block-pair order, so the totals are those of the single-machine pass.

``finish`` then takes the class means as the core does. Nothing here needs Dask: ``run_local``
runs the rounds in this process, ``orv.distributed`` schedules the same functions on a cluster.
A task holds two blocks, O(block_size) memory; the caller holds the points, O(n).
"""

import math
import operator
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from orv import error

from . import _pairs
from ._distance import great_circle_distance
from ._points import init_points

# Default blocks: at least this many points, and at most this many blocks per side, so a task
# does a few hundred million pair visits at most for n up to ~10^6 and the task count stays in
# the thousands (MAX_BLOCKS * (MAX_BLOCKS + 1) / 2 block pairs) for any n.
MIN_BLOCK_POINTS = 8192
MAX_BLOCKS = 128

GEOGRAPHIC = "GEOGCS"
PROJECTED = "PROJCS"


class BlockPlan:
    """Blocks [k * block_size, min((k + 1) * block_size, n)) and the block pairs (i >= j)."""

    def __init__(self, n, block_size=None):
        self.n = n
        self.tile = _pairs.tile_size(n)
        self.block_size = _aligned_block_size(n, self.tile, block_size)
        self.starts = list(range(0, n, self.block_size))
        # Row-major over the lower triangle of blocks: the fixed merge order.
        self.pairs = [(i, j) for i in range(len(self.starts)) for j in range(i + 1)]

    def bounds(self, k):
        return self.starts[k], min(self.starts[k] + self.block_size, self.n)

    def point_pairs(self, i, j):
        """Number of point pairs of block pair (i, j)."""
        rows = self.bounds(i)[1] - self.bounds(i)[0]
        if i == j:
            return rows * (rows - 1) // 2
        return rows * (self.bounds(j)[1] - self.bounds(j)[0])

    @property
    def total_pairs(self):
        return self.n * (self.n - 1) // 2

    @property
    def tiles(self):
        """Number of kernel tiles (I >= J) that the block pairs cover."""
        per_side = -(-self.n // self.tile)
        return per_side * (per_side + 1) // 2


def _aligned_block_size(n, tile, block_size):
    if block_size is None:
        wanted = max(MIN_BLOCK_POINTS, -(-n // MAX_BLOCKS))
    else:
        wanted = operator.index(block_size)
        if wanted < 1:
            raise ValueError(f"block_size must be a positive number of points, not {wanted}")
    # Rounded up to whole tiles: a block pair must cover whole kernel tiles.
    return max(1, -(-wanted // tile)) * tile


class PairData:
    """The converted points, their values as float64 and the kind of distance."""

    def __init__(self, points, values, geographic):
        self.points = points
        self.values = values
        self.geographic = geographic

    def block(self, plan, k):
        start, stop = plan.bounds(k)
        return np.ascontiguousarray(self.points[start:stop]), np.ascontiguousarray(
            self.values[start:stop]
        )


def prepare(points, values, gtype):
    """Convert and check the input as the kriging core does, in the core's order.

    Returns a ``PairData``, or None when ``values`` are not a numeric array with one value per
    point: those inputs are left to the single-machine core, whose own result or error is then
    the answer. Raises what the core raises for a bad ``gtype`` (after the points are
    converted) and for geographic points that are not (longitude, latitude) pairs.
    """
    points = init_points(points)
    if gtype == GEOGRAPHIC:
        # The distance service's own checks of the coordinates, on no points at all.
        great_circle_distance(points[:0], points[:0])
        geographic = True
    elif gtype == PROJECTED:
        geographic = False
    else:
        raise error.SpmisError(errors=gtype)
    if not _values_fit_blocks(values, points.shape[0], geographic):
        return None
    return PairData(points, np.ascontiguousarray(values.reshape(-1), dtype=np.float64), geographic)


def _values_fit_blocks(values, n, geographic):
    # The core subtracts values (geographic: booleans refused by numpy) or hands them to pdist
    # as one column (projected: booleans count as 0 and 1, a column must be 1-D); anything
    # else takes its special paths, with their own errors.
    if type(values) is not np.ndarray or values.shape[:1] != (n,):
        return False
    kind = values.dtype.kind
    if kind not in ("iuf" if geographic else "biuf") or (kind == "f" and values.itemsize > 8):
        return False
    return values.ndim == 1 or (geographic and values.shape == (n, 1))


def raise_no_pairs():
    """numpy's error for the maximum of no distances, as the core raises it."""
    np.max(np.zeros(0))


# ---------------------------------------------------------------- round 1: distance range


def range_of_blocks(block_a, block_b, geographic, diagonal):
    """(smallest distance, largest distance, pairs) of one block pair."""
    return _pairs.block_range(block_a[0], block_b[0], geographic=geographic, diagonal=diagonal)


def merge_ranges(ranges):
    """The range of all pairs from the ranges of the block pairs; NaN anywhere gives NaN."""
    low, high, pairs = math.inf, -math.inf, 0
    for block_low, block_high, block_pairs in ranges:
        if block_pairs == 0:
            continue
        pairs += block_pairs
        if math.isnan(block_low) or math.isnan(block_high):
            low = high = math.nan
        elif not math.isnan(low):
            low, high = min(low, block_low), max(high, block_high)
    return low, high, pairs


class ClassEdges:
    """Class edges from the distance range, with the core's numpy steps and errors."""

    def __init__(self, d_min, d_max, n_lags):
        d_max = np.float64(d_max)
        d_min = np.float64(d_min)
        dd = (d_max - d_min) / n_lags
        bins = d_min + dd * np.arange(n_lags)
        self.bins = np.append(bins, _last_edge(d_max))
        self.lags = np.zeros(n_lags)
        self.semivariance = np.zeros(n_lags)
        self.n_classes = max(operator.index(n_lags), 0)

    @property
    def edges(self):
        """The n_classes + 1 edges as the float64 array the tile kernel reads."""
        return np.ascontiguousarray(self.bins[: self.n_classes + 1], dtype=np.float64)


def _last_edge(d_max):
    # d_max + 0.001, or the next double above d_max where the offset is lost to rounding, so
    # the largest distance stays inside the last class.
    shifted = d_max + 0.001
    if shifted > d_max or np.isnan(shifted):
        return shifted
    return np.nextafter(d_max, np.inf)


# ---------------------------------------------------------------- round 2: class totals


def classes_of_blocks(block_a, block_b, edges, tile, geographic, diagonal):
    """Exact per-class partial sums of one block pair (a ``_pairs.ClassPartial``)."""
    return _pairs.block_classes(
        block_a[0],
        block_a[1],
        block_b[0],
        block_b[1],
        edges,
        tile=tile,
        geographic=geographic,
        diagonal=diagonal,
    )


def merge_classes(partials):
    """Merge the block-pair partials (given in block-pair order) into class totals."""
    return _pairs.merge_partials(partials).totals()


def finish(classes, totals):
    """(lags, semivariance, counts, edges) of the kept classes, as the core's last steps give
    them; ``edges`` are all the class edges.

    ``totals`` is None when there is no class to fill (n_lags <= 0).
    """
    lags, semivariance = classes.lags, classes.semivariance
    counts = np.zeros(classes.n_classes, dtype=np.int64)
    if totals is not None:
        counts, distance_sum, semivariance_sum = totals
        filled = counts > 0
        with np.errstate(invalid="ignore", divide="ignore"):
            lags[: classes.n_classes] = np.where(filled, distance_sum / counts, np.nan)
            semivariance[: classes.n_classes] = np.where(filled, semivariance_sum / counts, np.nan)
        if not filled.all():
            # The core takes numpy's mean of an empty selection once, with its warnings.
            np.mean(np.zeros(0))
    kept = ~np.isnan(semivariance)
    return lags[kept], semivariance[kept], counts[kept[: counts.size]], classes.bins


# ---------------------------------------------------------------- in this process


def run_local(points, values, n_lags, gtype, *, progress=None, block_size=None):
    """The semivariogram by blocks in this process: (lags, semivariance, counts, edges).

    Same result, bit for bit, and same errors as ``core.init_variogram_model`` (values that are
    not a numeric array with one value per point are handed to the core itself; ``counts`` and
    ``edges`` are then None). ``counts`` holds the pair count of each kept class, ``edges`` all
    the class edges. ``progress(done, total)`` is called after each block pair of either round
    with the pair visits done so far and the total of both rounds (each round visits every pair
    once, so total = n * (n - 1)). Block pairs run on a thread pool of the available cores (the
    kernels release the GIL).
    """
    data = prepare(points, values, gtype)
    if data is None:
        from . import core

        return (*core.init_variogram_model(points, values, n_lags, gtype), None, None)
    plan = BlockPlan(data.points.shape[0], block_size)
    if plan.total_pairs == 0:
        raise_no_pairs()
    blocks = [data.block(plan, k) for k in range(len(plan.starts))]
    tracker = _Progress(progress, 2 * plan.total_pairs)
    workers = min(len(plan.pairs), os.process_cpu_count() or 1)
    with ThreadPoolExecutor(max_workers=workers) as pool:

        def each_pair(function, *arguments):
            futures = [
                pool.submit(function, blocks[i], blocks[j], *arguments, i == j)
                for i, j in plan.pairs
            ]
            results = []
            for (i, j), future in zip(plan.pairs, futures, strict=True):
                results.append(future.result())
                tracker.advance(plan.point_pairs(i, j))
            return results

        d_min, d_max, _ = merge_ranges(each_pair(range_of_blocks, data.geographic))
        classes = ClassEdges(d_min, d_max, n_lags)
        totals = None
        if classes.n_classes > 0:
            partials = each_pair(classes_of_blocks, classes.edges, plan.tile, data.geographic)
            totals = merge_classes(partials)
        else:
            tracker.advance(plan.total_pairs)  # no class to fill: the second round is empty
    return finish(classes, totals)


class _Progress:
    def __init__(self, callback, total):
        self.callback, self.total, self.done = callback, total, 0

    def advance(self, pairs):
        self.done += pairs
        if self.callback is not None:
            self.callback(self.done, self.total)
