"""The ``variogram`` command: ``orv.variogram`` of a file's samples as a table or JSON, with an
optional fitted model and plot."""

import argparse
import json
import os
import sys
import warnings
from typing import Any, TextIO

from . import CliError
from .text import format_table

# Pair count from which the command reports progress unless told otherwise.
PROGRESS_MIN_PAIRS = 5_000_000


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


def parse_edges(text: str) -> list[float]:
    """--edges: comma-separated numbers."""
    try:
        return [float(item) for item in text.split(",")]
    except ValueError:
        message = f"{text!r} is not a comma-separated list of numbers"
        raise argparse.ArgumentTypeError(message) from None


def _unit_text(variogram: Any, geographic_from_crs: bool) -> str:
    if variogram.geographic:
        source = "the layer's geographic CRS" if geographic_from_crs else "--geographic"
        return f"km (great-circle distances, from {source})"
    return variogram.unit or "coordinate units"


def _plot(path: str, variogram: Any, model: Any, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure, axes = plt.subplots(figsize=(6, 4))
    try:
        variogram.plot(axes, model)
        axes.set_title(title)
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise CliError(f"cannot write the plot {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(figure)


def _model_json(model: Any) -> dict[str, Any]:
    return {"model": model.model, "parameters": model.parameters, "rmse": model.rmse}


def run_variogram(args: argparse.Namespace) -> None:
    from ..geostat import MissingSamplesWarning, variogram
    from .points import read_points

    if args.plot and not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
        raise CliError(f"cannot write the plot {args.plot}: no such directory")
    table = read_points(args.file, args.x, args.y, args.value, args.layer, args.encoding)
    for note in table.notes:
        print(f"orv variogram: note: {note}", file=sys.stderr)
    n_read = len(table.values)
    show = args.progress if args.progress is not None else n_read**2 // 2 >= PROGRESS_MIN_PAIRS
    try:
        with warnings.catch_warnings():
            # The rows left out are counted in the summary instead.
            warnings.simplefilter("ignore", MissingSamplesWarning)
            result = variogram(
                table.points,
                table.values,
                n_lags=args.lags,
                max_distance=args.max_distance,
                edges=args.edges,
                estimator=args.estimator,
                direction=args.direction,
                tolerance=args.tolerance,
                geographic=True if args.geographic else None,
                crs=table.crs,
                progress=ProgressReport("variogram") if show else None,
            )
        model = None if args.fit is None else result.fit(args.fit)
    except (ValueError, TypeError) as exc:
        raise CliError(f"{args.file}: {exc}") from None
    n = result.points.shape[0]
    skipped = n_read - n
    unit = _unit_text(result, result.geographic and not args.geographic)
    if args.plot:
        _plot(args.plot, result, model, f"{os.path.basename(args.file)}: {n} points")
    classes = [
        {"lag": float(lag), "semivariance": float(gamma), "pairs": int(count)}
        for lag, gamma, count in zip(result.lags, result.semivariance, result.pairs, strict=True)
    ]
    if args.json:
        data: Any = classes if model is None else {"classes": classes, "model": _model_json(model)}
        print(json.dumps(data, indent=2, ensure_ascii=False))
        return
    rows = [
        [k, f"{c['lag']:.6g}", f"{c['semivariance']:.6g}", c["pairs"]]
        for k, c in enumerate(classes)
    ]
    print(format_table(("class", "lag", "semivariance", "pairs"), rows))
    n_lags = result.edges.size - 1
    print(
        f"{n} points, {n * (n - 1) // 2:,} pairs, {len(classes)} non-empty of {n_lags} "
        f"classes; lag in {unit}"
    )
    if skipped:
        print(f"{skipped} of {n_read} rows skipped: a coordinate or the value is missing")
    if model is not None:
        values = "  ".join(f"{name}={value:.6g}" for name, value in model.parameters.items())
        print(f"fitted {model.model}: {values}  (rmse {model.rmse:.6g})")
