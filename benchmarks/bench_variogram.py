"""Times the public variogram layer against its baselines, side by side in one run.

    .venv/bin/python benchmarks/bench_variogram.py [--quick]

Printed, with the ratio and the target of each:

1. ``orv.variogram`` with defaults against ``core.init_variogram_model`` on the same 100,000
   projected points (20 classes), runs interleaved: at most 1.1x the core call;
2. ``orv.variogram`` with ``max_distance`` at a tenth of the extent against the same call
   without it, n = 100,000: at least 10x faster (about 3 % of the pairs lie inside);
3. ``Variogram.fit("auto")`` on 20 classes: under 50 ms (best of a few runs, after one to
   import SciPy's optimiser).

``--quick`` shrinks the point sets so that the run takes seconds (the targets are for the full
sizes).
"""

import argparse
import time

import numpy as np

import orv
from orv._algos.spmis.krige import core

EXTENT = 100_000.0


def sample(n, seed=2024):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, EXTENT, (n, 2))
    field = np.sin(points[:, 0] / 20_000.0) + np.cos(points[:, 1] / 15_000.0)
    return points, field + 0.2 * rng.standard_normal(n)


def best_times(calls, repeats):
    """Best wall time of each call, the calls run in turn ``repeats`` times."""
    best = [float("inf")] * len(calls)
    for _ in range(repeats):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def report(label, times, names, ratio, target):
    shown = "  ".join(f"{name} {t:8.3f} s" for name, t in zip(names, times, strict=True))
    print(f"{label:<34} {shown}  ratio {ratio:6.2f}  ({target})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small point sets")
    args = parser.parse_args()
    n = 10_000 if args.quick else 100_000
    repeats = 3 if args.quick else 2
    points, values = sample(n)
    print(f"n = {n:,} projected points, 20 classes")

    times = best_times(
        [
            lambda: orv.variogram(points, values),
            lambda: core.init_variogram_model(points, values, 20, "PROJCS"),
        ],
        repeats,
    )
    report("defaults vs the core call", times, ("orv", "core"), times[0] / times[1], "<= 1.1")

    cut = EXTENT / 10.0
    inside = orv.variogram(points, values, max_distance=cut).pairs.sum() / (n * (n - 1) / 2)
    times = best_times(
        [
            lambda: orv.variogram(points, values, max_distance=cut),
            lambda: orv.variogram(points, values),
        ],
        repeats,
    )
    report(
        f"max_distance (extent/10, {inside:.1%} in)",
        times,
        ("with", "without"),
        times[1] / times[0],
        ">= 10 faster",
    )

    experimental = orv.variogram(*sample(2_000))
    experimental.fit("auto")  # imports SciPy's optimiser
    (fit_time,) = best_times([lambda: experimental.fit("auto")], 5)
    print(f"{'fit(auto), 20 classes':<34} {fit_time * 1e3:8.1f} ms  (< 50 ms)")


if __name__ == "__main__":
    main()
