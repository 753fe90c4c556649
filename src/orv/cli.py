"""The ``orv`` command line (also ``python -m orv``).

    orv drivers [--raster] [--vector] [--creatable] [--json]
    orv driver NAME [--json]
    orv variogram FILE --x COL --y COL --value COL [--lags 20] [--geographic]
                  [--plot out.png] [--json]

Bad arguments, a missing or unreadable file, a non-numeric column and an unknown driver end
with a message on standard error and exit status 2.
"""

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

from ._cli import CliError

# Pair count from which the variogram command reports progress unless told otherwise.
PROGRESS_MIN_PAIRS = 5_000_000


def _positive_int(text: str) -> int:
    try:
        number = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {number}")
    return number


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orv", description="GDAL drivers of this machine and experimental semivariograms."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    drivers = commands.add_parser("drivers", help="list the GDAL driver registry")
    drivers.add_argument("--raster", action="store_true", help="only raster drivers")
    drivers.add_argument("--vector", action="store_true", help="only vector drivers")
    drivers.add_argument("--creatable", action="store_true", help="only drivers that create")
    drivers.add_argument("--json", action="store_true", help="print a JSON list")
    drivers.set_defaults(run=_run_drivers)

    driver = commands.add_parser("driver", help="one driver's capabilities and options")
    driver.add_argument("name", metavar="NAME", help="GDAL short name, in any letter case")
    driver.add_argument("--json", action="store_true", help="print a JSON object")
    driver.set_defaults(run=_run_driver)
    _add_krige(commands)

    variogram = commands.add_parser(
        "variogram",
        help="experimental semivariogram of sampled points",
        description="Reads a CSV file (header line; delimiter detected) or any vector file "
        "GDAL opens. For a vector file without --x/--y the coordinates come from point "
        "geometries. Distances are in the coordinates' units, in km with --geographic.",
    )
    variogram.add_argument("file", metavar="FILE")
    variogram.add_argument("--x", metavar="COL", help="column of the x coordinate (longitude)")
    variogram.add_argument("--y", metavar="COL", help="column of the y coordinate (latitude)")
    variogram.add_argument("--value", metavar="COL", required=True, help="sampled value column")
    variogram.add_argument("--lags", type=_positive_int, default=20, help="classes (20)")
    variogram.add_argument(
        "--geographic", action="store_true", help="longitude/latitude: great-circle distances"
    )
    variogram.add_argument("--layer", help="layer of a vector file (default: the first)")
    variogram.add_argument("--plot", metavar="PNG", help="write a plot of the classes")
    variogram.add_argument("--json", action="store_true", help="print a JSON list")
    variogram.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"progress on standard error (default: from {PROGRESS_MIN_PAIRS:,} pairs on)",
    )
    variogram.set_defaults(run=_run_variogram)
    return parser


def _print_json(data: Any) -> None:
    print(json.dumps(data, indent=2, ensure_ascii=False, default=str))


def _run_drivers(args: argparse.Namespace) -> None:
    from ._cli.registry import format_registry, registry_rows

    rows = registry_rows(raster=args.raster, vector=args.vector, creatable=args.creatable)
    _print_json(rows) if args.json else print(format_registry(rows))


def _run_driver(args: argparse.Namespace) -> None:
    from ._cli.registry import driver_details, format_driver

    details = driver_details(args.name)
    _print_json(details) if args.json else print(format_driver(details))


def _plot(path: str, classes: list[dict[str, Any]], title: str, unit: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib import pyplot as plt

    figure, axes = plt.subplots(figsize=(6, 4))
    lags = [c["lag"] for c in classes]
    gammas = [c["semivariance"] for c in classes]
    axes.plot(lags, gammas, "o-")
    for c in classes:
        axes.annotate(
            str(c["pairs"]),
            (c["lag"], c["semivariance"]),
            fontsize=7,
            textcoords="offset points",
            xytext=(0, 5),
            ha="center",
        )
    axes.set_xlabel(f"lag ({unit})")
    axes.set_ylabel("semivariance")
    axes.set_title(title)
    try:
        figure.savefig(path, dpi=100)
    except OSError as exc:
        raise CliError(f"cannot write the plot {path}: {exc.strerror or exc}") from None
    finally:
        plt.close(figure)


def _run_variogram(args: argparse.Namespace) -> None:
    from ._cli.points import read_points
    from ._cli.semivariogram import GType, ProgressReport, semivariogram
    from ._cli.text import format_table

    if args.plot and not os.path.isdir(os.path.dirname(os.path.abspath(args.plot))):
        raise CliError(f"cannot write the plot {args.plot}: no such directory")
    points, values = read_points(args.file, args.x, args.y, args.value, args.layer)
    n = len(values)
    pairs = n * (n - 1) // 2
    show = args.progress if args.progress is not None else pairs >= PROGRESS_MIN_PAIRS
    gtype: GType = "GEOGCS" if args.geographic else "PROJCS"
    progress = ProgressReport("variogram") if show else None
    classes = semivariogram(points, values, args.lags, gtype, progress)
    unit = "km" if args.geographic else "coordinate units"
    if args.plot:
        _plot(args.plot, classes, f"{os.path.basename(args.file)}: {n} points", unit)
    if args.json:
        _print_json(classes)
        return
    rows = [
        [k, f"{c['lag']:.6g}", f"{c['semivariance']:.6g}", c["pairs"]]
        for k, c in enumerate(classes)
    ]
    print(format_table(("class", "lag", "semivariance", "pairs"), rows))
    print(
        f"{n} points, {pairs:,} pairs, {len(classes)} non-empty of {args.lags} classes; "
        f"lag in {unit}"
    )


# --- The krige command (orv._cli.krige).
def _add_krige(commands: Any) -> None:
    from ._cli.krige import add_krige

    add_krige(commands)


# --- end of the krige block


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        args.run(args)
    except CliError as exc:
        print(f"orv {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader went away (`orv drivers | head`); stop quietly.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


if __name__ == "__main__":
    sys.exit(main())
