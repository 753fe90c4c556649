"""The experimental semivariogram of the ``variogram`` command, with pairs per class.

The native core returns the mean lag and semivariance of each non-empty class but not how
many pairs a class holds. When the tiled runner (``krige._tiled.run_local``) is importable it
gives all three in one pass, with progress reports. Otherwise the core computes the means and
``class_counts`` counts the pairs in a second pass with the core's own rules: Euclidean
distances as the square root of the column-ordered sum of squared differences (the operations
of SciPy's pdist), great-circle distances from the package's distance service, the same class
edges, half-open classes. The pass works on blocks of rows, so memory stays bounded for any n.
"""

import importlib
import sys
import warnings
from collections.abc import Callable, Iterator
from typing import Any, Literal, TextIO

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige import great_circle_distance
from .._algos.spmis.krige.core import init_variogram_model

run_local: Callable[..., Any] | None
try:  # the tiled runner is optional: without it the core runs without progress reports
    run_local = importlib.import_module("orv._algos.spmis.krige._tiled").run_local
except ImportError:
    run_local = None

type GType = Literal["GEOGCS", "PROJCS"]
type Progress = Callable[[int, int], None]

# Distances computed per block: rows x columns of the block's distance matrix.
_BLOCK_ENTRIES = 1 << 22


class ProgressReport:
    """``progress(done, total)`` callback writing to a stream: a bar on a terminal, else a
    line per completed tenth of the pairs."""

    def __init__(self, label: str, stream: TextIO | None = None) -> None:
        self.label = label
        self.stream = stream if stream is not None else sys.stderr
        self.bar = self.stream.isatty()
        self.shown = -1

    def __call__(self, done: int, total: int) -> None:
        share = 100 if total <= 0 else min(100, 100 * done // total)
        if self.bar:
            filled = share // 5
            self.stream.write(f"\r{self.label}: [{'#' * filled:<20}] {share:3d}%")
            if share == 100:
                self.stream.write("\n")
        elif share // 10 > self.shown // 10 or (share == 100 and self.shown < 100):
            self.stream.write(f"{self.label}: {share}% of {total:,} pairs\n")
        else:
            return
        self.shown = share
        self.stream.flush()


def _distances(
    rows: NDArray[np.float64], columns: NDArray[np.float64], gtype: GType, *, squared: bool = False
) -> NDArray[np.float64]:
    """Distance matrix rows x columns (squared Euclidean distances when asked)."""
    if gtype == "GEOGCS":
        return great_circle_distance(rows, columns)
    total = np.subtract.outer(rows[:, 0], columns[:, 0])
    total *= total
    for k in range(1, rows.shape[1]):  # column order, as the core sums
        step = np.subtract.outer(rows[:, k], columns[:, k])
        step *= step
        total += step
    return total if squared else np.sqrt(total, out=total)


def _block_distances(
    points: NDArray[np.float64], start: int, stop: int, gtype: GType, *, squared: bool = False
) -> list[NDArray[np.float64]]:
    """Distances of the pairs (i, j) with start <= i < stop and i < j: the pairs inside the
    block, then the block against all later points."""
    block = points[start:stop]
    inner = _distances(block, block, gtype, squared=squared)
    upper = np.triu_indices(stop - start, k=1)
    return [inner[upper], _distances(block, points[stop:], gtype, squared=squared).ravel()]


def _blocks(n: int) -> Iterator[tuple[int, int]]:
    step = max(1, _BLOCK_ENTRIES // max(n, 1))
    for start in range(0, n, step):
        yield start, min(n, start + step)


def class_edges(d_min: float, d_max: float, n_lags: int) -> NDArray[np.float64]:
    """The core's n_lags + 1 class edges for distances between d_min and d_max."""
    low, high = np.float64(d_min), np.float64(d_max)
    lower = low + (high - low) / n_lags * np.arange(n_lags)
    last = high + 0.001
    if last <= high:  # 0.001 is lost to rounding for very large distances
        last = np.nextafter(high, np.inf)
    return np.append(lower, last)


def class_counts(
    points: NDArray[np.float64], n_lags: int, gtype: GType, progress: Progress | None = None
) -> NDArray[np.int64]:
    """Pairs per distance class (all n_lags classes, empty ones included)."""
    n = points.shape[0]
    total = n * (n - 1) // 2
    # The square root is monotonic and correctly rounded: the extremes of the squared
    # distances give the extreme distances exactly, without taking every root twice.
    low, high = np.inf, -np.inf
    for start, stop in _blocks(n):
        for d in _block_distances(points, start, stop, gtype, squared=gtype == "PROJCS"):
            if d.size:
                low, high = min(low, d.min()), max(high, d.max())
    if gtype == "PROJCS":
        low, high = np.sqrt(low), np.sqrt(high)
    edges = class_edges(low, high, n_lags)
    counts = np.zeros(n_lags, dtype=np.int64)
    done = 0
    for start, stop in _blocks(n):
        for d in _block_distances(points, start, stop, gtype):
            classes = np.searchsorted(edges, d, side="right") - 1
            counts += np.bincount(classes, minlength=n_lags)[:n_lags]
            done += d.size
        if progress is not None:
            progress(done, total)
    return counts


def semivariogram(
    points: NDArray[np.float64],
    values: NDArray[np.float64],
    n_lags: int,
    gtype: GType,
    progress: Progress | None = None,
) -> list[dict[str, float | int]]:
    """One {lag, semivariance, pairs} per non-empty class, in the core's order.

    ``values`` must be finite (the readers ensure it), so a class is kept exactly when it
    holds a pair.
    """
    with warnings.catch_warnings():
        # An empty class is numpy's mean of an empty selection; it is dropped, not an error.
        warnings.simplefilter("ignore", RuntimeWarning)
        if run_local is not None:
            result = run_local(points, values, n_lags, gtype, progress=progress)
            lags, semivariance, counts = result[0], result[1], np.asarray(result[2])
        else:
            lags, semivariance = init_variogram_model(points, values, n_lags, gtype)
            counts = class_counts(points, n_lags, gtype, progress)
    if counts.size != lags.size:
        counts = counts[counts > 0]
    if counts.size != lags.size:
        raise RuntimeError(
            f"{counts.size} classes with pairs, but the core returned {lags.size} classes"
        )
    return [
        {"lag": float(lag), "semivariance": float(gamma), "pairs": int(count)}
        for lag, gamma, count in zip(lags, semivariance, counts, strict=True)
    ]
