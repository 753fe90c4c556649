"""The ``krige`` command: a file's samples to a fitted variogram and a kriged two-band GeoTIFF
(estimate, variance), with an optional plot."""

import argparse
import math
import os
import sys
import time
from typing import Any, TextIO

import numpy as np

from . import CliError, positive_int

# Cells from which the command reports progress unless told otherwise.
PROGRESS_MIN_CELLS = 4_000_000
DEFAULT_NEIGHBOURS = 32
# The plot shows the grid decimated to at most this many cells a side.
PLOT_CELLS = 800


class TileProgress:
    """``progress(done, total)`` for tiles on a stream: a bar on a terminal, else a line per
    completed tenth."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.bar = self.stream.isatty()
        self.shown = -1

    def __call__(self, done: int, total: int) -> None:
        share = 100 * done // max(total, 1)
        if self.bar:
            self.stream.write(f"\rkrige: [{'#' * (share // 5):<20}] {share:3d}%")
            if done == total:
                self.stream.write("\n")
        elif share // 10 > self.shown // 10:
            self.stream.write(f"krige: {share}% of {total:,} tiles\n")
        else:
            return
        self.shown = share
        self.stream.flush()


def _neighbours(text: str) -> int | None:
    if text.lower() == "all":
        return None
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a count nor 'all'") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {count}")
    return count


def _positive(text: str) -> float:
    try:
        number = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (number > 0 and math.isfinite(number)):
        raise argparse.ArgumentTypeError(f"must be positive, not {text}")
    return number


def add_krige(commands: Any) -> None:
    krige = commands.add_parser(
        "krige",
        help="krige sampled points to a GeoTIFF (estimate, variance)",
        description="Reads the samples as `orv variogram` does (a CSV file or any vector file "
        "GDAL opens), fits a variogram model to them, kriges them onto a grid and writes a "
        "two-band GeoTIFF: band 1 the estimate, band 2 the kriging variance. The CRS is "
        "--crs, else the layer's; a geographic CRS means great-circle distances in km.",
    )
    krige.add_argument("file", metavar="FILE")
    krige.add_argument("--x", metavar="COL", help="column of the x coordinate (longitude)")
    krige.add_argument("--y", metavar="COL", help="column of the y coordinate (latitude)")
    krige.add_argument("--value", metavar="COL", required=True, help="sampled value column")
    krige.add_argument("--layer", help="layer of a vector file (default: the first)")
    krige.add_argument(
        "--model", default="auto", help="variogram model to fit, or auto for the best (auto)"
    )
    krige.add_argument("--lags", type=positive_int, default=20, help="variogram classes (20)")
    krige.add_argument(
        "--max-distance",
        type=_positive,
        metavar="D",
        help="only pairs and neighbours within D (km when geographic)",
    )
    krige.add_argument(
        "--neighbours",
        type=_neighbours,
        default=DEFAULT_NEIGHBOURS,
        metavar="K",
        help=f"nearest samples per cell, or all (global kriging) ({DEFAULT_NEIGHBOURS})",
    )
    cells = krige.add_mutually_exclusive_group(required=True)
    cells.add_argument("--resolution", type=_positive, metavar="R", help="cell size")
    cells.add_argument(
        "--size", type=positive_int, nargs=2, metavar=("COLUMNS", "ROWS"), help="grid size in cells"
    )
    krige.add_argument(
        "--bounds",
        type=float,
        nargs=4,
        metavar=("XMIN", "YMIN", "XMAX", "YMAX"),
        help="grid extent (default: the samples' extent)",
    )
    krige.add_argument(
        "--crs", help="CRS of the coordinates, e.g. EPSG:32633 (default: the layer's)"
    )
    krige.add_argument("--out", required=True, metavar="OUT.tif", help="GeoTIFF to write")
    krige.add_argument("--plot", metavar="PNG", help="also plot estimate and variance")
    krige.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"progress on standard error (default: from {PROGRESS_MIN_CELLS:,} cells on)",
    )
    krige.set_defaults(run=run_krige)


def _folder_exists(path: str, what: str) -> None:
    if not os.path.isdir(os.path.dirname(os.path.abspath(path))):
        raise CliError(f"cannot write {what} {path}: no such directory")


def _grid_of(args: argparse.Namespace, points: np.ndarray) -> tuple[tuple[float, ...], Any]:
    if args.bounds is not None:
        bounds = tuple(args.bounds)
    else:
        low, high = points.min(axis=0), points.max(axis=0)
        bounds = (float(low[0]), float(low[1]), float(high[0]), float(high[1]))
        if not (bounds[0] < bounds[2] and bounds[1] < bounds[3]):
            raise CliError("the samples lie on a line; give --bounds")
    if args.resolution is not None:
        return bounds, args.resolution
    columns, rows = args.size
    return bounds, ((bounds[2] - bounds[0]) / columns, (bounds[3] - bounds[1]) / rows)


def _plot(path: str, database: Any, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    dataset = database.dataset
    width, height = dataset.RasterXSize, dataset.RasterYSize
    step = max(1, math.ceil(max(width, height) / PLOT_CELLS))
    x0, dx, _, y0, _, dy = dataset.GetGeoTransform()
    extent = (x0, x0 + dx * width, y0 + dy * height, y0)
    figure, axes = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    for band, (ax, name, colours) in enumerate(
        zip(axes, ("estimate", "variance"), ("viridis", "magma"), strict=True), start=1
    ):
        plane = dataset.GetRasterBand(band).ReadAsArray(
            buf_xsize=max(1, width // step), buf_ysize=max(1, height // step)
        )
        image = ax.imshow(plane, extent=extent, cmap=colours, origin="upper")
        ax.set_title(name)
        figure.colorbar(image, ax=ax, shrink=0.8)
    figure.suptitle(title)
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise CliError(f"cannot write the plot {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(figure)


def _fit(points: np.ndarray, values: np.ndarray, args: argparse.Namespace, crs: Any) -> Any:
    from ..geostat import variogram

    classes = variogram(points, values, n_lags=args.lags, max_distance=args.max_distance, crs=crs)
    return classes.fit(args.model)


def run_krige(args: argparse.Namespace) -> None:
    import warnings

    from ..error import ORVError
    from ..geostat import CoincidentSamplesWarning, MissingSamplesWarning, OrdinaryKriging
    from ..geostat._grid import make_grid
    from .points import read_points

    _folder_exists(args.out, "the raster")
    if args.plot:
        _folder_exists(args.plot, "the plot")
    table = read_points(args.file, args.x, args.y, args.value, args.layer)
    for note in table.notes:
        print(f"orv krige: note: {note}", file=sys.stderr)
    crs = args.crs if args.crs is not None else table.crs
    start = time.perf_counter()
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model = _fit(table.points, table.values, args, crs)
            kriging = OrdinaryKriging(
                table.points,
                table.values,
                model,
                neighbours=args.neighbours,
                max_distance=args.max_distance,
                crs=crs,
            )
            values_text = "  ".join(f"{k}={v:.6g}" for k, v in model.parameters.items())
            print(f"model: {model.model}  {values_text}")
            bounds, resolution = _grid_of(args, kriging.points)
            grid = make_grid(bounds, resolution)
            cells = grid.width * grid.height
            show = args.progress if args.progress is not None else cells >= PROGRESS_MIN_CELLS
            database = kriging.to_raster(
                args.out, bounds, resolution, crs=crs, progress=TileProgress() if show else None
            )
    except (ValueError, TypeError, ORVError) as exc:
        raise CliError(f"{args.file}: {exc}") from None
    # Rows left out or merged are counted in the summary; other warnings are shown.
    counted = (MissingSamplesWarning, CoincidentSamplesWarning)
    for warning in caught:
        if not issubclass(warning.category, counted):
            print(f"orv krige: warning: {warning.message}", file=sys.stderr)
    with database:
        if args.plot:
            title = f"{os.path.basename(args.file)}: {len(kriging.values)} samples"
            _plot(args.plot, database, title)
    reach = "all samples" if args.neighbours is None else f"{args.neighbours} neighbours"
    print(
        f"{args.out}: {grid.width} x {grid.height} cells of {grid.dx:g} x {grid.dy:g}, "
        f"bands estimate and variance, {len(kriging.values)} samples, {reach}, "
        f"{time.perf_counter() - start:.1f} s"
    )
    skipped = len(table.values) - len(kriging.values)
    if skipped:
        print(
            f"{skipped} of {len(table.values)} rows skipped or merged: a coordinate or the "
            "value is missing, or the location repeats"
        )
