"""Times a full sweep of the GDAL driver registry through DriveStatistics and Driver.

The sweep builds a DriveStatistics, then reads every property of every driver (name,
long_name, category, extension, extensions, is_raster, is_vector, creatable, updatable,
virtualio). The baseline makes the same GDAL calls with the same keys and the same string work
(``upper() == "YES"``, ``split()``) straight on ``_gdal`` in plain Python. Each sweep runs
``--repeat`` times and the best time counts. Under valgrind's callgrind (when it is on PATH)
the two sweeps are also counted in executed instructions: three child runs share the same
imports and warm-up, and two of them add ``--sweeps`` sweeps of one kind; the differences are
the sweeps' own instructions. Target: the full sweep takes at most 1.0x the bare calls (0.7x as
a stretch). ``DriveStatistics()._repr_html_()`` is timed as well; ``--before PYTHON`` times it,
and the wall-time sweep ratio, with another interpreter's installation (for example the main
branch's environment) in the same run: the two are timed in alternating rounds, since the
machine's speed drifts, and under callgrind the instructions of one ``_repr_html_()`` are
counted for both.

    .venv/bin/python benchmarks/bench_registry.py [--repeat N] [--before PYTHON] [--no-callgrind]
"""

import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time
import warnings

warnings.filterwarnings("ignore", category=FutureWarning)

from orv._algos.geo import driver as drv  # noqa: E402
from orv._algos.geo.base import _gdal  # noqa: E402

TARGET_RATIO = 1.0
STRETCH_RATIO = 0.7
ROUNDS = 5
PROPERTIES = (
    "name",
    "long_name",
    "category",
    "extension",
    "extensions",
    "is_raster",
    "is_vector",
    "creatable",
    "updatable",
    "virtualio",
)


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


def best_time(sweep, repeat):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        sweep()
        best = min(best, time.perf_counter() - start)
    return best


def best_alternating(first, second, repeat):
    """Best times of two sweeps run in turn, so that a drift of the machine's speed meets both."""
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for slot, sweep in enumerate((first, second)):
            start = time.perf_counter()
            sweep()
            best[slot] = min(best[slot], time.perf_counter() - start)
    return best


def repr_html():
    return drv.DriveStatistics()._repr_html_()


def run_child(mode, sweeps):
    """The body of one callgrind child: imports, one warm-up sweep of each kind, then
    ``sweeps`` sweeps of ``mode`` (none for the shared part)."""
    facade_sweep(), bare_sweep()
    sweep = {"facade": facade_sweep, "bare": bare_sweep, "repr": repr_html, "setup": None}[mode]
    for _ in range(sweeps if sweep else 0):
        sweep()


def callgrind_instructions(mode, sweeps, python=sys.executable):
    command = [
        "valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
        python, os.path.abspath(__file__), "--child", mode, "--sweeps", str(sweeps),
    ]  # fmt: skip
    # Spinning BLAS worker threads and hash randomisation would make the counts vary.
    quiet = {
        **os.environ,
        "OPENBLAS_NUM_THREADS": "1",
        "OMP_NUM_THREADS": "1",
        "PYTHONHASHSEED": "0",
    }
    done = subprocess.run(command, capture_output=True, text=True, check=True, env=quiet)
    found = re.search(r"Collected\s*:\s*([\d,]+)", done.stderr) or re.search(
        r"I\s+refs:\s*([\d,]+)", done.stderr
    )
    if found is None:
        raise SystemExit("callgrind printed no instruction count:\n" + done.stderr[-2000:])
    return int(found.group(1).replace(",", ""))


def report_instructions(sweeps):
    setup = callgrind_instructions("setup", sweeps)
    facade = callgrind_instructions("facade", sweeps) - setup
    bare = callgrind_instructions("bare", sweeps) - setup
    print(
        f"instructions per full sweep (callgrind, {sweeps} sweeps): facade {facade // sweeps:,}"
        f" / bare {bare // sweeps:,}  ratio {facade / bare:.3f}x"
    )
    return facade / bare


def repr_instructions(python, calls):
    """Instructions of one DriveStatistics()._repr_html_() under ``python``: the difference of
    two child runs that make ``calls`` and twice as many calls."""
    once = callgrind_instructions("repr", calls, python)
    return (callgrind_instructions("repr", 2 * calls, python) - once) // calls


def timings(repeat):
    """Best wall times in ms: the full sweeps and DriveStatistics()._repr_html_()."""
    return {
        "facade": best_time(facade_sweep, repeat) * 1e3,
        "bare": best_time(bare_sweep, repeat) * 1e3,
        "repr_html": best_time(repr_html, repeat) * 1e3,
    }


def best_of(timed, fresh):
    return {key: min(value, fresh[key]) for key, value in timed.items()}


def before_timings(python, repeat):
    code = (
        "import sys; sys.path.insert(0, sys.argv[1]); import bench_registry as b;"
        "import json; print(json.dumps(b.timings(int(sys.argv[2]))))"
    )
    here = os.path.dirname(os.path.abspath(__file__))
    done = subprocess.run(
        [python, "-c", code, here, str(repeat)], capture_output=True, text=True, check=True
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=50, help="runs per sweep; the best counts")
    parser.add_argument("--sweeps", type=int, default=20, help="sweeps counted under callgrind")
    parser.add_argument("--before", metavar="PYTHON", help="interpreter of the installation before")
    parser.add_argument("--no-callgrind", action="store_true", help="skip instruction counts")
    parser.add_argument(
        "--child", choices=("setup", "facade", "bare", "repr"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if args.child:
        return run_child(args.child, args.sweeps)

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
        facade_time, bare_time = best_alternating(facade, bare, args.repeat)
        print(
            f"{label:36s} {facade_time * 1e3:8.3f} / {bare_time * 1e3:8.3f}"
            f"  ratio {facade_time / bare_time:.3f}x"
        )
    ratios = {"wall": facade_time / bare_time}
    if not args.no_callgrind and shutil.which("valgrind"):
        ratios["instructions"] = report_instructions(args.sweeps)

    # The machine's speed drifts over seconds: this installation and the one before are timed
    # in alternating rounds, and the best round of each counts.
    now = timings(args.repeat)
    before = before_timings(args.before, args.repeat) if args.before else None
    for _ in range(ROUNDS - 1 if args.before else 0):
        now = best_of(now, timings(args.repeat))
        before = best_of(before, before_timings(args.before, args.repeat))
    print(f"DriveStatistics()._repr_html_()      {now['repr_html']:8.3f} ms")
    if before:
        print(
            f"  before ({args.before}), best of {ROUNDS} alternating rounds:"
            f" {before['repr_html']:.3f} ms, now / before"
            f" {now['repr_html'] / before['repr_html']:.3f}x;"
            f" the full sweep took {before['facade'] / before['bare']:.3f}x the bare calls before,"
            f" {now['facade'] / now['bare']:.3f}x now"
        )
    if before and "instructions" in ratios:
        now_count, before_count = (
            repr_instructions(p, args.sweeps) for p in (sys.executable, args.before)
        )
        print(
            f"  instructions per _repr_html_() (callgrind): {now_count:,} now / {before_count:,}"
            f" before  ratio {now_count / before_count:.3f}x"
        )
    for kind, ratio in ratios.items():
        verdict = "within" if ratio <= TARGET_RATIO else "above"
        stretch = " and the stretch goal" if ratio <= STRETCH_RATIO else ""
        print(f"full sweep ({kind}) is {verdict} the {TARGET_RATIO}x target{stretch}")


if __name__ == "__main__":
    main()
