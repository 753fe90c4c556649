"""Times ordinary kriging (``orv.OrdinaryKriging``) against GSTools and scikit-gstat.

Run from the repository root after building the package (``make bench`` installs GSTools,
gstools-core and scikit-gstat first; a peer that is missing is skipped):

    .venv/bin/python benchmarks/bench_kriging.py [--quick]

One smooth field sampled at random points, one Exponential model (PSill 1, Range 30 km,
Nugget 0.01, the same for every library). Printed, each side by side in this one run:

1. scale: n = 100,000 samples onto a 1000 x 1000 grid with 32 neighbours, estimate and
   variance, in a fresh process: wall time and peak resident memory (targets: at most 10 s
   and 500 MB on this 2-core machine);
2. GSTools' ``krige.Ordinary`` (exact, gstools-core, 2 threads) on 2,000 samples and a
   100 x 100 grid against global orv (target: 10x faster, estimates equal to 1e-6
   relative) and orv with 64 neighbours (target: 100x faster; the RMS difference to the
   global estimate is printed);
3. scikit-gstat's ``OrdinaryKriging`` with 64 points on the same data against orv with 64
   neighbours (target: 100x faster);
4. a 2000 x 2000 grid to a tiled GeoTIFF in this process and on a local Dask cluster of 2
   worker processes (target: the same file, at most 1.3x the time).

``--quick`` shrinks every case so that the whole run takes seconds.
"""

import argparse
import filecmp
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import orv

EXTENT = 100_000.0  # metres
MODEL = ("Exponential", {"PSill": 1.0, "Range": 30_000.0, "Nugget": 0.01})
THREADS = 2


def sample(n, seed=2024):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, EXTENT, size=(n, 2))
    field = np.sin(points[:, 0] / 15_000.0) + np.cos(points[:, 1] / 11_000.0)
    return points, field + 0.1 * rng.standard_normal(n)


def grid_axes(cells):
    """Cell centres of the cells x cells grid over the extent: x ascending, y descending."""
    size = EXTENT / cells
    centres = (np.arange(cells) + 0.5) * size
    return centres, EXTENT - centres, size


def timed(function, *args, repeats=1, **kwargs):
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(*args, **kwargs)
        best = min(best, time.perf_counter() - start)
    return best, result


def scale(n, cells):
    """Kriging in a fresh interpreter: (seconds, peak resident MiB of the whole process)."""
    code = f"""
import json, sys, time
sys.path.insert(0, {str(Path(__file__).parent)!r})
from bench_kriging import sample, MODEL, EXTENT
import orv
points, values = sample({n})
orv.OrdinaryKriging  # imported before the clock starts
start = time.perf_counter()
kriging = orv.OrdinaryKriging(points, values, MODEL, neighbours=32)
estimate, variance, _ = kriging.grid((0, 0, EXTENT, EXTENT), EXTENT / {cells})
seconds = time.perf_counter() - start
with open("/proc/self/status") as status:
    peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
print(json.dumps([seconds, peak / 1024, bool((variance >= 0).all())]))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def print_scale(quick):
    n, cells = (10_000, 200) if quick else (100_000, 1000)
    seconds, peak, sane = scale(n, cells)
    print(f"1. scale: n = {n:,}, {cells} x {cells} grid, 32 neighbours, estimate and variance")
    print(
        f"   {seconds:.2f} s, peak memory {peak:.0f} MiB (targets: 10 s, 500 MiB), "
        f"variances non-negative: {sane}"
    )


def gstools_global(points, values, x, y):
    import gstools as gs

    gs.config.NUM_THREADS = THREADS
    psill, range_, nugget = MODEL[1].values()
    # GSTools' exponential model has length scale Range / 3 for the same curve.
    model = gs.Exponential(dim=2, var=psill, len_scale=range_ / 3.0, nugget=nugget)
    kriging = gs.krige.Ordinary(
        model, cond_pos=[points[:, 0], points[:, 1]], cond_val=values, exact=True
    )
    field, variance = kriging((x, y), mesh_type="structured", return_var=True)
    return field.T, variance.T  # (y, x) like orv's rows


def print_peers(quick):
    n, cells = (500, 20) if quick else (2_000, 100)
    points, values = sample(n)
    x, y, size = grid_axes(cells)
    bounds = (0.0, 0.0, EXTENT, EXTENT)
    every = orv.OrdinaryKriging(points, values, MODEL)
    local = orv.OrdinaryKriging(points, values, MODEL, neighbours=64)
    global_seconds, (global_estimate, _, _) = timed(every.grid, bounds, size, repeats=3)
    local_seconds, (local_estimate, _, _) = timed(local.grid, bounds, size, repeats=3)
    rms = float(np.sqrt(np.mean((local_estimate - global_estimate) ** 2)))
    print(f"2. n = {n:,} samples, {cells} x {cells} grid ({cells * cells:,} cells)")
    print(
        f"   orv global: {global_seconds:.3f} s; orv 64 neighbours: {local_seconds:.3f} s "
        f"(RMS difference to the global estimate {rms:.2e})"
    )
    try:
        import gstools  # noqa: F401
    except ImportError:
        print("   GSTools: not installed, skipped")
    else:
        seconds, (field, variance) = timed(gstools_global, points, values, x, y)
        difference = np.max(np.abs(field - global_estimate) / np.maximum(np.abs(field), 1e-300))
        print(
            f"   GSTools krige.Ordinary (exact, gstools-core, {THREADS} threads): {seconds:.2f} s"
            f" = {seconds / global_seconds:.1f}x orv global (target 10x), "
            f"{seconds / local_seconds:.0f}x orv 64 neighbours (target 100x)"
        )
        print(
            f"   largest relative difference of the estimates to orv global: {difference:.1e}"
            f" (target 1e-6)"
        )
    try:
        import skgstat
    except ImportError:
        print("3. scikit-gstat: not installed, skipped")
        return
    psill, range_, nugget = MODEL[1].values()
    variogram = skgstat.Variogram(
        points,
        values,
        model="exponential",
        fit_method="manual",
        fit_range=range_,
        fit_sill=psill,
        fit_nugget=nugget,
        use_nugget=True,
    )
    kriging = skgstat.OrdinaryKriging(variogram, min_points=5, max_points=64, mode="exact")
    # Its cost is per cell: a share of the grid, rows from the top, stands for the whole.
    rows = cells if quick else 25
    xx, yy = np.meshgrid(x, y[:rows])
    seconds, estimate = timed(kriging.transform, xx.ravel(), yy.ravel())
    per_cell = seconds / xx.size
    estimate = estimate.reshape(xx.shape)
    same = np.isclose(estimate, local_estimate[:rows], rtol=1e-9, atol=1e-12).mean()
    print(
        f"3. scikit-gstat OrdinaryKriging (64 points): {per_cell * 1e3:.2f} ms per cell "
        f"({xx.size:,} cells timed), {per_cell * cells * cells:.1f} s for the grid = "
        f"{per_cell * cells * cells / local_seconds:.0f}x orv 64 neighbours (target 100x); "
        f"estimates equal to 1e-9 in {same:.0%} of the cells (it keeps only the points "
        "within the model's range)"
    )


def write_tiff(kriging, path, cells, client=None):
    database = kriging.to_raster(
        path, (0.0, 0.0, EXTENT, EXTENT), EXTENT / cells, client=client, crs="EPSG:32633"
    )
    database.close()


def print_cluster(quick):
    try:
        import distributed
    except ImportError:
        print("4. Dask: not installed, skipped")
        return
    if not hasattr(orv, "create_raster"):
        print("4. Dask: orv.create_raster is not available here, skipped")
        return
    n, cells = (5_000, 400) if quick else (100_000, 2000)
    points, values = sample(n)
    kriging = orv.OrdinaryKriging(points, values, MODEL, neighbours=32)
    with tempfile.TemporaryDirectory() as folder:
        alone, shared = os.path.join(folder, "local.tif"), os.path.join(folder, "dask.tif")
        local_seconds, _ = timed(write_tiff, kriging, alone, cells)
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            with distributed.Client(cluster) as client:
                client.run(lambda: None)  # workers up before the clock starts
                cluster_seconds, _ = timed(write_tiff, kriging, shared, cells, client=client)
        same = filecmp.cmp(alone, shared, shallow=False)
        print(
            f"4. {cells} x {cells} grid to a tiled GeoTIFF, n = {n:,}, 32 neighbours: "
            f"this process {local_seconds:.2f} s, Dask (2 worker processes) "
            f"{cluster_seconds:.2f} s = {cluster_seconds / local_seconds:.2f}x (target 1.3x); "
            f"same file: {same}"
        )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small cases, a few seconds")
    quick = parser.parse_args().quick
    print_scale(quick)
    print_peers(quick)
    print_cluster(quick)


if __name__ == "__main__":
    main()
