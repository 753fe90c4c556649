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


def _block_distances(
    points: NDArray[np.float64], start: int, stop: int, gtype: GType
) -> NDArray[np.float64]:
    """Distances of the pairs (i, j), start <= i < stop, i < j, in row order."""
    rows, rest = points[start:stop], points[start:]
    if gtype == "GEOGCS":
        matrix = great_circle_distance(rows, rest)
    else:
        squares = (rows[:, np.newaxis, :] - rest[np.newaxis, :, :]) ** 2
        total = squares[:, :, 0].copy()
        for column in range(1, squares.shape[2]):
            total += squares[:, :, column]
        matrix = np.sqrt(total)
    upper = np.arange(rest.shape[0])[np.newaxis, :] > np.arange(stop - start)[:, np.newaxis]
    return matrix[upper]


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
    d_min, d_max = np.inf, -np.inf
    for start, stop in _blocks(n):
        d = _block_distances(points, start, stop, gtype)
        if d.size:
            d_min, d_max = min(d_min, d.min()), max(d_max, d.max())
    edges = class_edges(d_min, d_max, n_lags)
    counts = np.zeros(n_lags, dtype=np.int64)
    done = 0
    for start, stop in _blocks(n):
        d = _block_distances(points, start, stop, gtype)
        counts += np.bincount(np.searchsorted(edges, d, side="right") - 1, minlength=n_lags)[
            :n_lags
        ]
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
