"""The experimental semivariogram computed block pair by block pair.

The pairs {i, j} of n points (row r > column c), taken in the native pass's spatial order
(``_pairs.spatial_order``), are cut into square blocks of ``block_size`` points, a multiple of
the native tile edge ``_pairs.tile_size(n)``, so every block pair covers whole kernel tiles.
Each block pair is reduced on its own, in two rounds:

1. the smallest and largest distance of its pairs (``range_of_blocks``), merged into the range
   of all pairs by ``_pairs.merge_ranges``, from which ``_pairs.class_edges`` gives the class
   edges; where the native shortcut finds that range without visiting the pairs
   (``_pairs.shortcut_range``: projected points of one or two columns, geographic points),
   the caller takes it and this round is skipped;
2. the pair count and the exact distance and semivariance sums per class (``classes_of_blocks``),
   merged exactly in block-pair order, so the totals are those of the single-machine pass.

``_pairs.class_means`` then takes the class means. The three steps between and after the
rounds are the kriging core's own (its errors and warnings included). ``run`` does the rounds
on any executor: ``run_local`` on a thread pool of this process, ``orv.distributed`` on a Dask
cluster. A task holds two blocks, O(block_size) memory; the caller holds the points, O(n).
"""

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
    values = np.ascontiguousarray(values.reshape(-1), dtype=np.float64)
    # Blocks of the points in the native pass's spatial order, so that the block pairs cover
    # the very tiles (and leaf pairs) of the single-machine pass.
    order = _pairs.spatial_order(points, geographic)
    return PairData(np.ascontiguousarray(points[order]), values[order], geographic)


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


# ---------------------------------------------------------------- round 1: distance range


def range_of_blocks(block_a, block_b, geographic, diagonal):
    """(smallest distance, largest distance, pairs) of one block pair."""
    return _pairs.block_range(block_a[0], block_b[0], geographic=geographic, diagonal=diagonal)


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


# ---------------------------------------------------------------- the two rounds


def run(points, values, n_lags, gtype, make_rounds, *, progress=None, block_size=None):
    """The semivariogram by blocks: (lags, semivariance, counts, edges).

    Same result, bit for bit, and same errors and warnings as ``core.init_variogram_model``;
    ``counts`` holds the pair count of each kept class, ``edges`` all the class edges. Values
    that are not a numeric array with one value per point are handed to the core itself
    (``counts`` and ``edges`` are then None).

    ``make_rounds(data, plan)`` gives the executor of the rounds, an object with
    ``each_pair(function, *arguments)``, which calls ``function(block_i, block_j, *arguments,
    i == j)`` for every block pair (i, j) of ``plan.pairs`` and gives the results in that order,
    and ``release()``, called once the rounds are over. ``progress(done, total)`` is called after
    each block pair of either round with the pair visits done so far and the total of both
    rounds (each round visits every pair once, so total = n * (n - 1)).
    """
    data = prepare(points, values, gtype)
    if data is None:
        from . import core

        return (*core.init_variogram_model(points, values, n_lags, gtype), None, None)
    plan = BlockPlan(data.points.shape[0], block_size)
    tracker = _Progress(progress, plan)
    rounds = make_rounds(data, plan)
    try:
        shortcut = _pairs.shortcut_range(data.points, data.geographic)
        if shortcut is None:
            ranges = tracker.each(rounds.each_pair(range_of_blocks, data.geographic))
            d_min, d_max, _ = _pairs.merge_ranges(ranges)
        else:
            # The range of all pairs, found here without visiting them: the first round is done.
            d_min, d_max, _ = shortcut
            tracker.advance(plan.total_pairs)
        edges = _pairs.class_edges(d_min, d_max, n_lags)
        merged = None
        if edges.size > 1:
            partials = rounds.each_pair(classes_of_blocks, edges, plan.tile, data.geographic)
            merged = _pairs.merge_partials(tracker.each(partials))
        else:
            tracker.advance(plan.total_pairs)  # no class to fill: the second round is empty
    finally:
        rounds.release()
    return (*_pairs.class_means(merged), edges)


def run_local(points, values, n_lags, gtype, *, progress=None, block_size=None):
    """``run`` in this process: block pairs on a thread pool of the available cores (the
    kernels release the GIL), each on one thread."""
    return run(
        points, values, n_lags, gtype, _ThreadPoolRounds, progress=progress, block_size=block_size
    )


class _ThreadPoolRounds:
    def __init__(self, data, plan):
        self.plan = plan
        self.blocks = [data.block(plan, k) for k in range(len(plan.starts))]
        workers = max(1, min(len(plan.pairs), os.process_cpu_count() or 1))
        self.pool = ThreadPoolExecutor(max_workers=workers)

    def each_pair(self, function, *arguments):
        futures = [
            self.pool.submit(function, self.blocks[i], self.blocks[j], *arguments, i == j)
            for i, j in self.plan.pairs
        ]
        return (future.result() for future in futures)

    def release(self):
        self.pool.shutdown(cancel_futures=True)


class _Progress:
    def __init__(self, callback, plan):
        self.callback, self.plan = callback, plan
        self.total, self.done = 2 * plan.total_pairs, 0

    def each(self, results):
        """The results of a round as a list, reporting each block pair as it arrives."""
        collected = []
        for (i, j), result in zip(self.plan.pairs, results, strict=True):
            collected.append(result)
            self.advance(self.plan.point_pairs(i, j))
        return collected

    def advance(self, pairs):
        self.done += pairs
        if self.callback is not None:
            self.callback(self.done, self.total)
