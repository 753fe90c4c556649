"""Times the native ``init_variogram_model`` against the documented numpy algorithm and GSTools.

Run from the repository root after building the package (``make bench`` installs GSTools
first; without it that part is skipped):

    .venv/bin/python benchmarks/bench_krige.py [--quick]

Random points, 20 distance classes. Printed, each side by side in this one run:

0. the floor: the square-root throughput of each instruction-set path this processor runs (a
   plain loop over an array in the first-level cache), in ns per value. A pass with IEEE-exact
   distances takes at least one square root per pair, so "x floor" below is the kernel's ns per
   pair per core divided by the floor of the path it ran;
1. the native pass against the numpy reference at n = 10,000 (projected and geographic):
   best wall time of the native runs, one numpy run, the ratio, and whether the results agree
   to rtol 1e-12;
2. large cases, each in a fresh child process: wall time, growth of the peak resident set
   during the call, and ns per pair per core (time x threads / pairs);
3. thread scaling, 1 against 2 threads (threadpoolctl's limit on the native threads), with ns
   per pair per core and the floor multiple of each;
4. ns per pair on one thread for each instruction-set path this processor runs, and its floor
   multiple;
5. GSTools' ``vario_estimate`` (gstools-core backend, 2 threads) on the same points and the
   same class edges: times, the largest relative difference of the class semivariances, and
   about how many pairs fell into another class (its distances round differently).

``--quick`` shrinks every case so that the whole run takes seconds.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from krige import reference  # noqa: E402
from krige.memory import child_peak_rss  # noqa: E402

from orv._algos.spmis.krige import _pairs, core  # noqa: E402
from orv._algos.spmis.krige._distance import EARTH_RADIUS_KM  # noqa: E402

N_LAGS = 20
MIB = 1024.0 * 1024.0
THREADS = os.cpu_count() or 1


def sample(gtype, n, seed=12345):
    """Points spread over a region, with values from a smooth field plus noise."""
    rng = np.random.default_rng(seed + n)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(100.0, 120.0, n), rng.uniform(20.0, 40.0, n)])
        scale = 5.0
    else:
        points = rng.uniform(0.0, 100_000.0, size=(n, 2))
        scale = 25_000.0
    field = np.sin(points[:, 0] / scale) + np.cos(points[:, 1] / scale)
    return points, field + 0.1 * rng.standard_normal(n)


def pairs_of(n):
    return n * (n - 1) // 2


def best_time(function, args, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        best = min(best, time.perf_counter() - start)
    return best


def agree(native, expected):
    return all(
        a.shape == b.shape and np.allclose(a, b, rtol=1e-12, atol=0.0, equal_nan=True)
        for a, b in zip(native, expected, strict=True)
    )


def class_edges(points, geographic):
    """The core's class edges for these points, from the native range pass."""
    d_min, d_max, _ = _pairs.block_range(points, points, geographic=geographic, diagonal=True)
    return _pairs.class_edges(d_min, d_max, N_LAGS)


def square_root_floors():
    """ns per square root of each path's plain loop, the best path (the one in use) last."""
    floors = {}
    try:
        for path in _pairs.isa_paths():
            _pairs.force_isa(path)
            floors[path] = _pairs.square_root_ns(4096, 300)
    finally:
        _pairs.force_isa(None)
    return floors


def print_floors(floors):
    print("0. square-root floor (plain loop over 4096 doubles, one thread)")
    print("".join(f"{path + ' ns/sqrt':>18}" for path in floors))
    print("".join(f"{ns:18.3f}" for ns in floors.values()))
    print(f"path in use: {next(reversed(floors))}\n")


def against_numpy(sizes):
    print(f"1. native against the documented numpy algorithm ({THREADS} threads)")
    print(f"{'gtype':7} {'n':>7} {'numpy s':>9} {'native s':>9} {'ratio':>7}  result")
    for gtype, n in sizes:
        args = (*sample(gtype, n), N_LAGS, gtype)
        start = time.perf_counter()
        expected = reference.init_variogram_model(*args)
        numpy_time = time.perf_counter() - start
        native_time = best_time(core.init_variogram_model, args, 3)
        result = (
            "agree (rtol 1e-12)" if agree(core.init_variogram_model(*args), expected) else "DIFFER"
        )
        print(
            f"{gtype:7} {n:7d} {numpy_time:9.3f} {native_time:9.4f}"
            f" {numpy_time / native_time:7.1f}  {result}"
        )


def large_cases(sizes, floor):
    print(f"\n2. large cases, each in a child process ({THREADS} threads)")
    print(
        f"{'gtype':7} {'n':>7} {'pairs':>12} {'time s':>8} {'peak RSS MiB':>13}"
        f" {'ns/pair/core':>13} {'x floor':>8}"
    )
    for gtype, n in sizes:
        setup = (
            "import sys\n"
            f"sys.path.insert(0, {str(Path(__file__).resolve().parent)!r})\n"
            "from bench_krige import sample, N_LAGS\n"
            "from orv._algos.spmis.krige import core\n"
            f"points, values = sample({gtype!r}, {n})"
        )
        call = f"core.init_variogram_model(points, values, N_LAGS, {gtype!r})"
        peak, seconds, _ = child_peak_rss(setup, call)
        per_pair = seconds * THREADS / pairs_of(n) * 1e9
        print(
            f"{gtype:7} {n:7d} {pairs_of(n):12d} {seconds:8.2f} {peak / MIB:13.1f} {per_pair:13.2f}"
            f" {per_pair / floor:8.2f}"
        )


def thread_scaling(sizes, floor, repeats):
    print(f"\n3. thread scaling (threadpoolctl limits; best of {repeats})")
    print(
        f"{'gtype':7} {'n':>7} {'1 thread s':>11} {'2 threads s':>12} {'speed-up':>9}"
        f" {'ns/pair/core 1':>15} {'2':>6} {'x floor 1':>10} {'2':>6}"
    )
    for gtype, n in sizes:
        args = (*sample(gtype, n), N_LAGS, gtype)
        times = []
        for threads in (1, 2):
            with threadpool_limits(limits=threads, user_api="openmp"):
                times.append(best_time(core.init_variogram_model, args, repeats))
        per_pair = [
            seconds * threads / pairs_of(n) * 1e9
            for threads, seconds in zip((1, 2), times, strict=True)
        ]
        print(
            f"{gtype:7} {n:7d} {times[0]:11.3f} {times[1]:12.3f} {times[0] / times[1]:9.2f}"
            f" {per_pair[0]:15.2f} {per_pair[1]:6.2f}"
            f" {per_pair[0] / floor:10.2f} {per_pair[1] / floor:6.2f}"
        )


def isa_paths(sizes, floors):
    print("\n4. instruction-set paths (1 thread; the results are the same bits on each)")
    paths = list(floors)
    print(f"{'gtype':7} {'n':>7}" + "".join(f" {p + ' ns/pair':>17} {'x floor':>8}" for p in paths))
    for gtype, n in sizes:
        args = (*sample(gtype, n), N_LAGS, gtype)
        cells = []
        try:
            for path in paths:
                _pairs.force_isa(path)
                with threadpool_limits(limits=1, user_api="openmp"):
                    seconds = best_time(core.init_variogram_model, args, 3)
                per_pair = seconds / pairs_of(n) * 1e9
                cells.append(f" {per_pair:17.2f} {per_pair / floors[path]:8.2f}")
        finally:
            _pairs.force_isa(None)
        print(f"{gtype:7} {n:7d}" + "".join(cells))


def against_gstools(sizes):
    print("\n5. GSTools vario_estimate (gstools-core, 2 threads), same points and class edges")
    try:
        import gstools
    except ImportError:
        print("GSTools is not installed (make bench installs gstools and gstools-core); skipped")
        return
    print(
        f"{'gtype':7} {'n':>7} {'GSTools s':>10} {'native s':>9} {'ratio':>7}"
        f" {'rel diff':>12} {'pairs moved':>12}"
    )
    for gtype, n in sizes:
        points, values = sample(gtype, n)
        geographic = gtype == "GEOGCS"
        edges = class_edges(points, geographic)
        if geographic:
            # GSTools takes (latitude, longitude) and scales the great-circle angle by geo_scale.
            position = (points[:, 1], points[:, 0])
            options = {"latlon": True, "geo_scale": EARTH_RADIUS_KM}
        else:
            position = (points[:, 0], points[:, 1])
            options = {}

        def estimate(position=position, values=values, edges=edges, options=options):
            # A copy: GSTools rescales geographic bin edges in place.
            return gstools.vario_estimate(
                position, values, edges.copy(), return_counts=True, num_threads=2, **options
            )

        # A geographic GSTools run takes tens of seconds: timed once.
        gstools_time = best_time(estimate, (), 1 if geographic else 3)
        _, gamma, counts = estimate()
        args = (points, values, N_LAGS, gtype)
        with threadpool_limits(limits=2, user_api="openmp"):
            native_time = best_time(core.init_variogram_model, args, 3)
        partial = _pairs.block_classes(
            points, values, points, values, edges,
            tile=_pairs.tile_size(n), geographic=geographic, diagonal=True,
        )  # fmt: skip
        native_counts, _, semivariance_sums = partial.totals()
        both = (counts > 0) & (native_counts > 0)
        native_gamma = semivariance_sums[both] / native_counts[both]
        difference = np.max(np.abs(gamma[both] - native_gamma) / np.abs(native_gamma))
        moved = int(np.abs(counts - native_counts).sum()) // 2
        print(
            f"{gtype:7} {n:7d} {gstools_time:10.3f} {native_time:9.4f}"
            f" {gstools_time / native_time:7.1f} {difference:12.2e} {moved:12d}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small cases only")
    options = parser.parse_args()
    floors = square_root_floors()
    floor = next(reversed(floors.values()))
    print_floors(floors)
    if options.quick:
        against_numpy([("PROJCS", 1000), ("GEOGCS", 1000)])
        large_cases([("PROJCS", 5000), ("GEOGCS", 5000)], floor)
        thread_scaling([("PROJCS", 3000), ("GEOGCS", 3000)], floor, 3)
        isa_paths([("PROJCS", 3000), ("GEOGCS", 3000)], floors)
        against_gstools([("PROJCS", 2000), ("GEOGCS", 2000)])
    else:
        against_numpy([("PROJCS", 10_000), ("GEOGCS", 10_000)])
        large_cases([("PROJCS", 100_000), ("GEOGCS", 40_000), ("GEOGCS", 100_000)], floor)
        # Best of 3: a geographic pass on one thread takes about 6 s.
        thread_scaling([("PROJCS", 100_000), ("GEOGCS", 100_000)], floor, 3)
        isa_paths([("PROJCS", 20_000), ("GEOGCS", 20_000)], floors)
        against_gstools([("PROJCS", 10_000), ("GEOGCS", 10_000)])
    return 0


if __name__ == "__main__":
    sys.exit(main())
