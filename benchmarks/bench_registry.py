"""Times a full sweep of the GDAL driver registry through DriveStatistics and Driver.

The sweep builds a DriveStatistics, then reads every property of every driver (name,
long_name, category, extension, extensions, is_raster, is_vector, creatable, updatable,
virtualio). The baseline makes the same GDAL calls with the same keys and the same string work
(``upper() == "YES"``, ``split()``) straight on ``_gdal`` in plain Python. The two sweeps run
in turn ``--repeat`` times, so that a drift of the machine's speed meets both, and the best
time of each counts. The ratio is reported for information: the facade calls the binding and
does more than the bare calls, and no target is set for it. ``DriveStatistics()._repr_html_()``
is timed as well.

    .venv/bin/python benchmarks/bench_registry.py [--repeat N]
"""

import argparse
import time
import warnings

warnings.filterwarnings("ignore", category=FutureWarning)

from orv._algos.geo import driver as drv  # noqa: E402
from orv._algos.geo.base import _gdal  # noqa: E402


def facade_rows(stats):
    return [
        (
            d.name,
            d.long_name,
            d.category,
            d.extension,
            d.extensions,
            d.is_raster,
            d.is_vector,
            d.creatable,
            d.updatable,
            d.virtualio,
        )
        for d in stats
    ]


def facade_sweep():
    return facade_rows(drv.DriveStatistics())


def _item(handle, key):
    return _gdal.MajorObject_GetMetadataItem(handle, key) or ""


def _flag(handle, key):
    return _item(handle, key).upper() == "YES"


def _category(handle):
    kinds = []
    if _flag(handle, "DCAP_RASTER"):
        kinds.append("Raster")
    if _flag(handle, "DCAP_VECTOR"):
        kinds.append("Vector")
    return "/".join(kinds)


def _extension(handle):
    ext = _item(handle, "DMD_EXTENSION")
    if ext:
        return ext
    exts = _item(handle, "DMD_EXTENSIONS").split()
    return exts[0] if exts else ""


def bare_handles():
    return [_gdal.GetDriver(index) for index in range(_gdal.GetDriverCount())]


def bare_rows(handles):
    return [
        (
            _gdal.Driver_ShortName_get(handle),
            _item(handle, "DMD_LONGNAME"),
            _category(handle),
            _extension(handle),
            _item(handle, "DMD_EXTENSIONS").split(),
            _flag(handle, "DCAP_RASTER"),
            _flag(handle, "DCAP_VECTOR"),
            _flag(handle, "DCAP_CREATE"),
            _flag(handle, "DCAP_UPDATE"),
            _flag(handle, "DCAP_VIRTUALIO"),
        )
        for handle in handles
    ]


def bare_sweep():
    return bare_rows(bare_handles())


def best_times(sweeps, repeat):
    """Best time of each sweep, the sweeps run in turn so that a drift of the machine's speed
    meets all of them."""
    best = [float("inf")] * len(sweeps)
    for _ in range(repeat):
        for slot, sweep in enumerate(sweeps):
            start = time.perf_counter()
            sweep()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def repr_html():
    return drv.DriveStatistics()._repr_html_()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50, help="runs per sweep; the best counts")
    args = parser.parse_args()

    # Both sweeps must see the same registry and compute the same values.
    if facade_sweep() != bare_sweep():
        raise SystemExit("the two sweeps disagree; the comparison would be meaningless")

    stats, handles = drv.DriveStatistics(), bare_handles()
    phases = (
        ("build (DriveStatistics / GetDriver)", drv.DriveStatistics, bare_handles),
        ("property reads", lambda: facade_rows(stats), lambda: bare_rows(handles)),
        ("full sweep", facade_sweep, bare_sweep),
    )
    print(f"drivers: {_gdal.GetDriverCount()}, best of {args.repeat} runs (facade / bare, ms)")
    for label, facade, bare in phases:
        facade_time, bare_time = best_times((facade, bare), args.repeat)
        print(
            f"{label:36s} {facade_time * 1e3:8.3f} / {bare_time * 1e3:8.3f}"
            f"  ratio {facade_time / bare_time:.3f}x"
        )
    (repr_time,) = best_times((repr_html,), args.repeat)
    print(f"DriveStatistics()._repr_html_()      {repr_time * 1e3:8.3f} ms")


if __name__ == "__main__":
    main()
