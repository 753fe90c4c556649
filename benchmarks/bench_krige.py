"""Times the native ``init_variogram_model`` against the plain numpy baseline.

Run from the repository root after building the package:

    .venv/bin/python benchmarks/bench_krige.py [--repeats N] [--quick]

For each case (projected and geographic points, n = 500 and 3000, and n = 10000 projected;
20 distance classes) it prints the best wall time of several runs, the peak extra memory seen
by tracemalloc (numpy reports its buffers to it; memory allocated by C++ code is not seen
there, hence the second column, the growth of the process's peak resident set), the ratios
baseline/native for time and native/baseline for memory, and whether the two results agree
to rtol 1e-12. Without the native module it times the baseline alone.
"""

import argparse
import gc
import sys
import time
import tracemalloc
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from krige_baseline import init_variogram_model as baseline_model  # noqa: E402

N_LAGS = 20
CASES = [("PROJCS", 500), ("PROJCS", 3000), ("GEOGCS", 500), ("GEOGCS", 3000), ("PROJCS", 10000)]
QUICK_CASES = [("PROJCS", 500), ("GEOGCS", 500)]
MIB = 1024.0 * 1024.0


def load_native():
    try:
        from orv._algos.spmis.krige import core
    except ImportError as exc:
        print(f"native module orv._algos.spmis.krige.core not available ({exc});")
        print("timing the numpy baseline alone.")
        return None
    return core.init_variogram_model


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


def best_time(function, args, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function(*args)
        best = min(best, time.perf_counter() - start)
    return best


def traced_peak(function, args):
    """Peak bytes allocated through Python's allocators during the call, above the start."""
    gc.collect()
    tracemalloc.start()
    try:
        start = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        function(*args)
        return tracemalloc.get_traced_memory()[1] - start
    finally:
        tracemalloc.stop()


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def rss_peak_growth(function, args):
    """Growth of the peak resident set during the call, in bytes; None where unsupported."""
    gc.collect()
    try:
        # Writing 5 resets the peak resident set size (VmHWM) to the current one (Linux).
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        before = _status_kib("VmRSS")
    except OSError:
        return None
    function(*args)
    return (_status_kib("VmHWM") - before) * 1024


def results_agree(native_result, baseline_result):
    return all(
        a.shape == b.shape and np.allclose(a, b, rtol=1e-12, atol=0.0, equal_nan=True)
        for a, b in zip(native_result, baseline_result, strict=True)
    )


def measure(function, args, repeats):
    return {
        "time": best_time(function, args, repeats),
        "traced": traced_peak(function, args),
        "rss": rss_peak_growth(function, args),
    }


def fmt_mib(value):
    return "n/a" if value is None else f"{value / MIB:9.1f}"


def fmt_ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator == 0:
        return "n/a"
    return f"{numerator / denominator:8.3g}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per case (best kept)")
    parser.add_argument("--quick", action="store_true", help="only the n = 500 cases")
    options = parser.parse_args()

    native_model = load_native()
    header = (
        f"{'gtype':7} {'n':>6} {'impl':8} {'time s':>9} {'traced MiB':>10} {'RSS MiB':>9}"
        f" {'time b/n':>8} {'mem n/b':>8} {'rss n/b':>8}  result"
    )
    print(header)
    print("-" * len(header))
    all_agree = True
    for gtype, n in QUICK_CASES if options.quick else CASES:
        points, values = sample(gtype, n)
        args = (points, values, N_LAGS, gtype)
        base = measure(baseline_model, args, options.repeats)
        print(
            f"{gtype:7} {n:6d} {'numpy':8} {base['time']:9.4f} {fmt_mib(base['traced']):>10}"
            f" {fmt_mib(base['rss']):>9}"
        )
        if native_model is None:
            continue
        native = measure(native_model, args, options.repeats)
        agree = results_agree(native_model(*args), baseline_model(*args))
        all_agree = all_agree and agree
        print(
            f"{gtype:7} {n:6d} {'native':8} {native['time']:9.4f}"
            f" {fmt_mib(native['traced']):>10} {fmt_mib(native['rss']):>9}"
            f" {fmt_ratio(base['time'], native['time']):>8}"
            f" {fmt_ratio(native['traced'], base['traced']):>8}"
            f" {fmt_ratio(native['rss'], base['rss']):>8}"
            f"  {'agree (rtol 1e-12)' if agree else 'DIFFER'}"
        )
    if native_model is not None:
        print("all results agree" if all_agree else "some results DIFFER from the baseline")
    return 0 if all_agree else 1


if __name__ == "__main__":
    sys.exit(main())
