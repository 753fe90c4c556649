"""The threads of the native passes: fork-safe, under OMP_NUM_THREADS and threadpoolctl, and
their failures reach the caller as exceptions."""

import os
import signal
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from threadpoolctl import threadpool_info, threadpool_limits

core = pytest.importorskip("orv._algos.spmis.krige.core")


def run_child(code, tmp_path, *args, timeout=120):
    """Runs a script in a fresh interpreter: a hang or a crash fails the test, not the suite.
    A hung child is killed with every process it started."""
    script = tmp_path / "child.py"
    script.write_text(textwrap.dedent(code))
    child = subprocess.Popen(
        [sys.executable, str(script), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.communicate()
        pytest.fail(f"the child still ran after {timeout} s")
    assert child.returncode == 0, err
    return out.split()


FORKED = """
import multiprocessing, sys
import numpy as np
from orv._algos.spmis.krige import core

rng = np.random.default_rng(1)
points, values = rng.uniform(0.0, 1000.0, (3000, 2)), rng.normal(size=3000)

def job(_):
    return core.init_variogram_model(points, values, 10, "PROJCS")[1].tobytes()

if __name__ == "__main__":
    parent = job(0)  # the threaded pass runs in the parent before the children start
    with multiprocessing.get_context(sys.argv[1]).Pool(2) as pool:
        print(pool.map(job, range(4)) == [parent] * 4)
"""


@pytest.mark.slow
@pytest.mark.parametrize("method", ["fork", "forkserver", "spawn"])
def test_processes_started_after_a_threaded_pass_run_it_again(tmp_path, method):
    assert run_child(FORKED, tmp_path, method, timeout=60) == ["True"]


def threads_while(call):
    """How many threads this process gained at most while `call` ran on a thread of its own."""
    before = len(os.listdir("/proc/self/task"))
    worker = threading.Thread(target=call)
    most = before
    worker.start()
    while worker.is_alive():
        most = max(most, len(os.listdir("/proc/self/task")))
    worker.join()
    return most - before


@pytest.mark.parametrize(
    ("omp_num_threads", "limit", "threads"), [("3", None, 3), ("3", 2, 2), (None, 1, 1)]
)
def test_thread_count_follows_omp_num_threads_and_threadpoolctl(
    monkeypatch, omp_num_threads, limit, threads
):
    if omp_num_threads is None:
        monkeypatch.delenv("OMP_NUM_THREADS", raising=False)
    else:
        monkeypatch.setenv("OMP_NUM_THREADS", omp_num_threads)
    rng = np.random.default_rng(3)
    points, values = rng.uniform(0.0, 1.0, (8000, 2)), rng.normal(size=8000)
    with threadpool_limits(limits=limit, user_api="openmp"):
        (info,) = [entry for entry in threadpool_info() if entry["internal_api"] == "orv"]
        assert info["num_threads"] == threads
        # The calling thread is the first worker; the others are started for each pass.
        assert threads_while(lambda: core.init_variogram_model(points, values, 9, "PROJCS")) == (
            threads
        )


HUGE_TILES = """
import numpy as np
from orv._algos.spmis.krige import _pairs, _tiled

rng = np.random.default_rng(2)
points, values = rng.uniform(0.0, 1.0, (100, 2)), rng.normal(size=100)
edges = np.linspace(0.0, 1.5, 8)
blocks = (points, values)
want = _pairs.block_classes(points, values, points, values, edges, 256, False, True).totals()
for tile in (2**31, 2**40):
    got = _tiled.classes_of_blocks(blocks, blocks, edges, tile, False, True).totals()
    print(all(a.tobytes() == b.tobytes() for a, b in zip(got, want)))
"""


def test_huge_tiles_allocate_only_what_the_points_need(tmp_path):
    # One tile of 100 points whatever its edge: the same sums, and no buffer of the tile's size.
    assert run_child(HUGE_TILES, tmp_path) == ["True", "True"]


EXHAUSTED = """
import resource
import numpy as np
from orv._algos.spmis.krige import _pairs, _tiled, core

rng = np.random.default_rng(2)
points, values = rng.uniform(0.0, 1.0, (600, 2)), rng.normal(size=600)
many = np.linspace(0.0, 1.5, 2**24 + 1)  # each worker's class sums need some 2.7 GiB
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 2 * 2**30, resource.RLIM_INFINITY))
calls = [
    lambda: _pairs.block_classes(points, values, points, values, many, 256, False, True),
    lambda: core.init_variogram_model(points, values, 2**24, "PROJCS"),
    lambda: _tiled.run_local(points, values, 2**31, "PROJCS"),
    lambda: _tiled.run_local(points, values, 2**40, "GEOGCS"),
]
for call in calls:
    try:
        call()
    except MemoryError:
        print("MemoryError")
print(len(core.init_variogram_model(points, values, 5, "PROJCS")[0]))
"""


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("ORV_UNDER_SANITIZER")),
    reason="the sanitizer's allocator ends the process on a failed operator new",
)
def test_memory_exhausted_inside_the_workers_raises_memory_error(tmp_path):
    assert run_child(EXHAUSTED, tmp_path) == ["MemoryError"] * 4 + ["5"]
