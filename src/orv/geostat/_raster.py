"""Kriged grids written tile by tile into a two-band raster (estimate, variance).

Tiles are kriged in this process or by tasks on a Dask cluster, and always written here in
the same row-by-row order, so both routes give the same file. A kriged tile does not depend
on which process or thread computed it (the kernel's results depend on each target alone).
"""

import warnings
from collections import deque
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._grid import Grid

type Window = tuple[int, int, int, int]
type Outcome = tuple[NDArray[np.float64], NDArray[np.float64], int]

BAND_NAMES = ("estimate", "variance")
# On a cluster: the edge of the parts a tile is kriged in, and the parts in flight ahead of
# the one being assembled, per worker thread.
CLUSTER_PART = 128
_AHEAD_PER_THREAD = 4


def krige_window(kriging: Any, grid: Grid, window: Window) -> Outcome:
    """(estimate, variance, unstable) of one window: the task a cluster runs."""
    from .._algos.spmis.krige import _kriging

    col, row, width, height = window
    return _kriging.grid(
        kriging._native(), grid.x0, grid.y0, grid.dx, grid.dy, col, row, width, height, 0
    )


def _local(kriging: Any, grid: Grid, windows: list[Window]) -> Iterator[Outcome]:
    for window in windows:
        yield krige_window(kriging, grid, window)


def _parts(window: Window, edge: int) -> list[Window]:
    col, row, width, height = window
    return [
        (col + c, row + r, min(edge, width - c), min(edge, height - r))
        for r in range(0, height, edge)
        for c in range(0, width, edge)
    ]


def _on_cluster(client: Any, kriging: Any, grid: Grid, windows: list[Window]) -> Iterator[Outcome]:
    """The windows' outcomes in order. Each window is kriged in parts of at most
    CLUSTER_PART x CLUSTER_PART cells, so that the workers share the work evenly; a bounded
    number of parts is in flight ahead of the window being written."""
    [shared] = client.scatter([kriging], broadcast=True, hash=False)
    threads = sum(client.nthreads().values()) or 1
    ahead = max(8, _AHEAD_PER_THREAD * threads)
    parts = [_parts(window, CLUSTER_PART) for window in windows]
    queue = ((k, part) for k, window_parts in enumerate(parts) for part in window_parts)
    pending: deque[Any] = deque()

    def submit(count: int) -> None:
        for _, part in queue:
            pending.append(client.submit(krige_window, shared, grid, part, pure=False))
            count -= 1
            if count <= 0:
                return

    try:
        submit(ahead)
        for window, window_parts in zip(windows, parts, strict=True):
            _, _, width, height = window
            estimate = np.empty((height, width))
            variance = np.empty((height, width))
            unstable = 0
            for col, row, part_width, part_height in window_parts:
                part_estimate, part_variance, count = pending.popleft().result()
                submit(1)
                rows = slice(row - window[1], row - window[1] + part_height)
                cols = slice(col - window[0], col - window[0] + part_width)
                estimate[rows, cols] = part_estimate
                variance[rows, cols] = part_variance
                unstable += count
            yield estimate, variance, unstable
    finally:
        client.cancel(list(pending) + [shared])


def _crs_text(crs: Any) -> Any:
    if crs is None or isinstance(crs, (str, int)):
        return crs
    if hasattr(crs, "ExportToWkt"):  # osr.SpatialReference
        return crs.ExportToWkt()
    if hasattr(crs, "to_wkt"):  # pyproj, rasterio
        return crs.to_wkt()
    raise TypeError(f"crs must be WKT, 'EPSG:n', an EPSG code or a CRS object, not {crs!r}")


def _discard(database: Any) -> None:
    """Close a partly written raster and remove its files."""
    from osgeo import gdal  # type: ignore[import-untyped]  # the binding ships no annotations

    try:
        files = list(database.dataset.GetFileList() or [database.path])
    except Exception:
        files = [database.path]
    try:
        database.close()
    except Exception:
        pass  # the file goes anyway
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    try:
        for name in files:
            gdal.Unlink(name)
    finally:
        gdal.PopErrorHandler()


def write_raster(
    kriging: Any,
    path: Any,
    grid: Grid,
    *,
    crs: Any,
    driver: str,
    options: Any,
    nodata: float | None,
    tile: int,
    client: Any,
    dtype: Any,
    progress: Callable[[int, int], None] | None,
) -> Any:
    """Create the raster, krige and write every tile, and return the open dataset wrapper;
    see ``OrdinaryKriging.to_raster``."""
    import orv

    if options is None and isinstance(driver, str) and driver.upper() == "GTIFF":
        options = {"TILED": "YES"}
    database = orv.create_raster(
        path,
        width=grid.width,
        height=grid.height,
        count=2,
        dtype=dtype,
        driver=driver,
        crs=_crs_text(crs),
        transform=grid.geotransform,
        nodata=nodata,
        options=options,
    )
    windows = list(grid.tiles(tile))
    unstable = 0
    try:
        for band, name in enumerate(BAND_NAMES, start=1):
            database.dataset.GetRasterBand(band).SetDescription(name)
        outcomes = (
            _local(kriging, grid, windows)
            if client is None
            else _on_cluster(client, kriging, grid, windows)
        )
        for done, (window, (estimate, variance, count)) in enumerate(
            zip(windows, outcomes, strict=True), start=1
        ):
            unstable += count
            planes = np.stack([estimate, variance])
            if nodata is not None:
                planes[np.isnan(planes)] = nodata
            database.write(planes, window=window)
            if progress is not None:
                progress(done, len(windows))
        database.dataset.FlushCache()
    except BaseException:
        _discard(database)
        raise
    if unstable:
        from .kriging import UnstableSystemWarning

        warnings.warn(
            f"{unstable} cell(s) had a kriging system that is not positive definite; they were "
            "solved by LU and may be inaccurate",
            UnstableSystemWarning,
            stacklevel=3,
        )
    return database
