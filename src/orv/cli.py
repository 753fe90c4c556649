"""The ``orv`` command line (also ``python -m orv``).

    orv drivers [--raster] [--vector] [--creatable] [--json]
    orv driver NAME [--json]
    orv variogram FILE --value COL [--x COL --y COL] [--lags 20 | --edges E0,E1,...]
                  [--max-distance D] [--estimator matheron|cressie]
                  [--direction AZIMUTH [--tolerance 22.5]] [--fit MODEL|auto]
                  [--geographic] [--encoding ENC] [--plot out.png] [--json]
    orv krige FILE --value COL [--x COL --y COL] [--model auto|NAME] [--lags N]
              [--max-distance D] [--neighbours K|all] (--resolution R | --size COLUMNS ROWS)
              [--bounds XMIN YMIN XMAX YMAX] [--crs CRS] --out OUT.tif [--plot OUT.png]

Bad arguments, a missing or unreadable file, a non-numeric column and an unknown driver end
with a message on standard error and exit status 2.
"""

import argparse
import json
import os
import sys
from collections.abc import Sequence
from typing import Any

from ._cli import CliError, positive_int


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

    _add_variogram(commands)
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


def _add_variogram(commands: Any) -> None:
    from ._cli.semivariogram import PROGRESS_MIN_PAIRS, parse_edges

    variogram = commands.add_parser(
        "variogram",
        help="experimental semivariogram of sampled points",
        description="Reads a CSV file (header line; delimiter detected; UTF-8, else UTF-16 "
        "or Latin-1 as stated, or --encoding) or any vector file GDAL opens. For a vector "
        "file without --x/--y the coordinates come from point geometries, and a geographic "
        "CRS of the layer means great-circle distances in km. Rows with a missing "
        "coordinate or value are skipped and counted.",
    )
    variogram.add_argument("file", metavar="FILE")
    variogram.add_argument("--x", metavar="COL", help="column of the x coordinate (longitude)")
    variogram.add_argument("--y", metavar="COL", help="column of the y coordinate (latitude)")
    variogram.add_argument("--value", metavar="COL", required=True, help="sampled value column")
    variogram.add_argument("--lags", type=positive_int, default=20, help="classes (20)")
    variogram.add_argument(
        "--max-distance", type=float, metavar="D", help="leave out pairs farther apart than D"
    )
    variogram.add_argument(
        "--edges", type=parse_edges, metavar="E0,E1,...", help="explicit class edges"
    )
    variogram.add_argument(
        "--estimator", choices=("matheron", "cressie"), default="matheron", help="(matheron)"
    )
    variogram.add_argument(
        "--direction", type=float, metavar="AZIMUTH", help="degrees clockwise from north"
    )
    variogram.add_argument(
        "--tolerance", type=float, default=22.5, metavar="DEG", help="around --direction (22.5)"
    )
    variogram.add_argument(
        "--fit", metavar="MODEL", help="fit a model (Spherical, Exponential, ..., or auto)"
    )
    variogram.add_argument(
        "--geographic", action="store_true", help="longitude/latitude: great-circle distances"
    )
    variogram.add_argument("--layer", help="layer of a vector file (default: the first)")
    variogram.add_argument("--encoding", help="encoding of a CSV file (default: detected)")
    variogram.add_argument("--plot", metavar="PNG", help="write a plot of the classes")
    variogram.add_argument("--json", action="store_true", help="print JSON")
    variogram.add_argument(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help=f"progress on standard error (default: from {PROGRESS_MIN_PAIRS:,} pairs on)",
    )
    variogram.set_defaults(run=_run_variogram)


def _run_variogram(args: argparse.Namespace) -> None:
    from ._cli.semivariogram import run_variogram

    run_variogram(args)


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
