"""Times orv.distributed on a LocalCluster against the single-process native core.

Run from the repository root after building the package:

    .venv/bin/python benchmarks/bench_distributed.py [--n N] [--repeats R]

For projected and geographic points (n = 100,000 by default, 20 classes) it times, in the same
run, the native ``core.init_variogram_model`` in this process (all cores) and
``orv.distributed.init_variogram_model`` on a LocalCluster of 2 worker processes with one
thread each, and prints the overhead ratio distributed / core (target <= 1.25), the block and
tile counts, the bytes each worker received (block data from the scheduler, blocks from other
workers) and sent back (partial results), the growth of this process's peak resident set
during the distributed call, whether both results are the same bits, and the cost per pair
visit per worker thread with what it implies for 10^7 points on 64 such workers.
"""

import argparse
import os
import pickle
import sys
import time
from pathlib import Path

from distributed import Client, LocalCluster
from distributed.diagnostics.plugin import WorkerPlugin

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_krige import sample  # noqa: E402

N_LAGS = 20
WORKERS = 2
MIB = 1024.0 * 1024.0
TARGET_RATIO = 1.25
BIG_N, BIG_WORKERS = 10**7, 64


class ByteCounter(WorkerPlugin):
    """Worker plugin: bytes of the orv tasks each worker computed and received."""

    name = "orv-byte-counter"

    def setup(self, worker):
        self.worker = worker
        self.counts = {"from scheduler": 0, "results": 0}

    def transition(self, key, start, finish, **kwargs):
        if finish != "memory" or start != "executing" or not str(key).startswith("orv-"):
            return
        if str(key).startswith("orv-block"):
            self.counts["from scheduler"] += self.worker.state.tasks[key].nbytes or 0
        else:  # partial results: Dask cannot size them, their pickle is what is sent back
            self.counts["results"] += len(pickle.dumps(self.worker.data[key]))


def worker_bytes(dask_worker):
    counter = dask_worker.plugins[ByteCounter.name]
    peers = sum(
        size
        for entry in dask_worker.transfer_incoming_log
        for key, size in entry["keys"].items()
        if str(key).startswith("orv-")
    )
    return {**counter.counts, "from peers": peers}


def reset_bytes(dask_worker):
    dask_worker.plugins[ByteCounter.name].setup(dask_worker)
    dask_worker.transfer_incoming_log.clear()


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def timed(function, *args, **kwargs):
    """(seconds, result, growth of this process's peak resident set in bytes; Linux)."""
    # Writing 5 resets the peak resident set size (VmHWM) to the current one.
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    before = _status_kib("VmRSS")
    start = time.perf_counter()
    result = function(*args, **kwargs)
    seconds = time.perf_counter() - start
    return seconds, result, (_status_kib("VmHWM") - before) * 1024


def same_bits(a, b):
    return all(x.tobytes() == y.tobytes() for x, y in zip(a, b, strict=True))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000, help="number of points")
    parser.add_argument("--block-size", type=int, default=None, help="points per block")
    parser.add_argument(
        "--repeats", type=int, default=1, help="timed runs per case, interleaved (best kept)"
    )
    options = parser.parse_args()

    from orv import distributed as orv_distributed
    from orv._algos.spmis.krige import _pairs, _tiled, core

    n = options.n
    plan = _tiled.BlockPlan(n, options.block_size)
    pairs = n * (n - 1) // 2
    print(
        f"n = {n}, {pairs} pairs, tile {plan.tile} points, {plan.tiles} tiles; block "
        f"{plan.block_size} points, {len(plan.starts)} blocks, {len(plan.pairs)} block pairs "
        f"(tasks per round); LocalCluster of {WORKERS} single-threaded worker processes"
    )
    failures = 0
    threads_setting = os.environ.get("OMP_NUM_THREADS")
    with (
        LocalCluster(
            n_workers=WORKERS, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        # Starting its workers, the LocalCluster leaves OMP_NUM_THREADS=1 in this process too;
        # the core here must run as it would without Dask, on every core.
        if threads_setting is None:
            os.environ.pop("OMP_NUM_THREADS", None)
        else:
            os.environ["OMP_NUM_THREADS"] = threads_setting
        client.register_plugin(ByteCounter())
        for gtype in ("PROJCS", "GEOGCS"):
            points, values = sample(gtype, n)
            args = (points, values, N_LAGS, gtype)
            client.run(reset_bytes)
            core_time = dist_time = float("inf")
            # Interleaved, best of each: load from elsewhere hits both alike.
            for _ in range(options.repeats):
                seconds, want, _ = timed(core.init_variogram_model, *args)
                core_time = min(core_time, seconds)
                seconds, got, driver_peak = timed(
                    orv_distributed.init_variogram_model,
                    *args,
                    client=client,
                    block_size=options.block_size,
                )
                dist_time = min(dist_time, seconds)
            moved = client.run(worker_bytes)
            ratio = dist_time / core_time
            identical = same_bits(got, want)
            failures += (not identical) + (ratio > TARGET_RATIO)
            # Each round visits every pair once, spread over the worker threads; the range
            # round is skipped where the driver finds the range without a pass.
            rounds = 1 if _pairs.shortcut_range(points, gtype == "GEOGCS") is not None else 2
            per_visit = dist_time * WORKERS / (rounds * pairs)
            big_pairs = BIG_N * (BIG_N - 1) // 2
            big_hours = rounds * big_pairs * per_visit / BIG_WORKERS / 3600
            print(f"\n{gtype}: core {core_time:.3f} s, distributed {dist_time:.3f} s")
            print(
                f"  overhead ratio distributed / core: {ratio:.3f} "
                f"({'within' if ratio <= TARGET_RATIO else 'ABOVE'} the {TARGET_RATIO}x target)"
            )
            print(f"  result: {'same bits as the core' if identical else 'DIFFERS from the core'}")
            for address, counts in sorted(moved.items()):
                runs = ", ".join(f"{name} {size / MIB:.2f} MiB" for name, size in counts.items())
                print(f"  worker {address}: {runs} (over {options.repeats} run(s))")
            print(
                f"  driver peak RSS growth: {driver_peak / MIB:.1f} MiB "
                f"(points and values: {(points.nbytes + values.nbytes) / MIB:.1f} MiB)"
            )
            print(
                f"  per pair visit per worker thread: {per_visit * 1e9:.2f} ns -> 10^7 points on "
                f"{BIG_WORKERS} such workers: {big_hours:.2f} h of pair work ({rounds} round(s))"
            )
    print("\nall within target and identical" if failures == 0 else f"\n{failures} check(s) failed")
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
