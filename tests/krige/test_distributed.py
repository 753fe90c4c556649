"""The Dask semivariogram against the single-machine core, on a real LocalCluster."""

import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
core = pytest.importorskip("orv._algos.spmis.krige.core")

from orv import distributed as orv_distributed  # noqa: E402
from orv._algos.spmis.krige import _pairs, _tiled  # noqa: E402

pytestmark = pytest.mark.slow  # a cluster of worker processes


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster, set_as_default=False) as connected:
            yield connected


def sample(gtype, n, seed=7):
    rng = np.random.default_rng(seed + n)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(100.0, 101.0, n), rng.uniform(30.0, 31.0, n)])
    else:
        points = rng.uniform(0.0, 1000.0, size=(n, 2))
    return points, rng.normal(size=n)


def outcome(function, *args, **kwargs):
    """(result or (exception type, message), the warnings issued)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = function(*args, **kwargs)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
            result = (type(exc), str(exc))
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(got, want):
    (got_result, got_warnings), (want_result, want_warnings) = got, want
    assert got_warnings == want_warnings
    if isinstance(want_result[0], type):
        assert got_result == want_result
        return
    assert len(got_result) == len(want_result)
    for a, b in zip(got_result, want_result, strict=True):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert a.tobytes() == b.tobytes()  # bit for bit


TILE = _pairs.tile_size(1000)


def points_case(gtype, n, *, nan_at=None):
    points, values = sample(gtype, n)
    if nan_at is not None:
        values[nan_at] = np.nan
    return points, values


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    ("n", "block_size", "nan_at", "n_lags"),
    [
        (40, None, None, 6),  # fewer points than one block
        (3 * TILE + 5, TILE, None, 8),  # the last block is short
        (2 * TILE + 1, 2 * TILE, 3, 5),  # a NaN value drops the classes of its pairs
        (2, None, None, 4),  # one pair: all classes but the last empty
        (1, None, None, 4),  # one point: numpy's empty-reduction error
        (0, None, None, 4),
        (TILE + 3, TILE, None, 0),  # no class at all
    ],
)
def test_matches_core_bit_for_bit(client, gtype, n, block_size, nan_at, n_lags):
    points, values = points_case(gtype, n, nan_at=nan_at)
    want = outcome(core.init_variogram_model, points, values, n_lags, gtype)
    got = outcome(
        orv_distributed.init_variogram_model,
        points,
        values,
        n_lags,
        gtype,
        client=client,
        block_size=block_size,
    )
    assert_same(got, want)
    # The same blocks in this process, with progress reports.
    reports = []
    local = outcome(
        _tiled.run_local,
        points,
        values,
        n_lags,
        gtype,
        block_size=block_size,
        progress=lambda done, total: reports.append((done, total)),
    )
    if isinstance(want[0][0], type):
        assert_same(local, want)
        return
    assert_same((local[0][:2], local[1]), want)
    assert reports[-1] == (n * (n - 1), n * (n - 1))
    assert all(a[0] <= b[0] for a, b in zip(reports, reports[1:], strict=False))
    counts = local[0][2]
    assert counts.dtype == np.int64 and counts.size == want[0][0].size and np.all(counts > 0)
    if nan_at is None and n_lags > 0:
        assert counts.sum() == n * (n - 1) // 2


def test_points_without_a_range_shortcut_take_the_range_round(client):
    # Three columns: no shortcut finds the range, so the block pairs' ranges are merged.
    points = np.random.default_rng(3).uniform(0.0, 1000.0, (2 * TILE + 9, 3))
    values = np.random.default_rng(4).normal(size=len(points))
    assert _pairs.shortcut_range(points, False) is None
    assert _pairs.shortcut_range(points[:, :2].copy(), False) is not None
    want = outcome(core.init_variogram_model, points, values, 6, "PROJCS")
    got = outcome(
        orv_distributed.init_variogram_model,
        *(points, values, 6, "PROJCS"),
        client=client,
        block_size=TILE,
    )
    assert_same(got, want)


def test_threaded_scheduler_and_default_client(client):
    points, values = sample("PROJCS", 2 * TILE + 7)
    want = outcome(core.init_variogram_model, points, values, 7, "PROJCS")
    threaded = outcome(
        orv_distributed.init_variogram_model, points, values, 7, "PROJCS", block_size=TILE
    )
    assert_same(threaded, want)
    with distributed.Client(client.cluster):  # now the default client
        default = outcome(
            orv_distributed.init_variogram_model, points, values, 7, "PROJCS", block_size=TILE
        )
    assert_same(default, want)


POINTS, VALUES = sample("PROJCS", 9)


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    ("points", "values", "n_lags", "gtype_used"),
    [
        (POINTS, VALUES, 3, "projcs"),  # gtype is case-sensitive, checked after the points
        ([[1.0, 2.0], [3.0]], VALUES, 3, None),  # ragged points
        (np.zeros((1, 2)), VALUES[:1], 3, None),
        (np.zeros((3, 3)), VALUES[:3], 3, None),  # three geographic columns
        (POINTS, list(VALUES), 3, None),  # no numpy indexing with a new axis
        (POINTS, VALUES[:-1], 3, None),  # fewer values than points
        (POINTS, VALUES > 0, 3, None),  # booleans: numbers to pdist, refused by numpy
        (POINTS, VALUES[:, None], 3, None),
        (POINTS, VALUES.astype(np.float32), 3, None),
        (POINTS, VALUES, "3", None),
        (POINTS, VALUES, 2.5, None),
        (POINTS, VALUES, -1, None),
    ],
)
def test_errors_and_odd_inputs_as_the_core(client, points, values, n_lags, gtype, gtype_used):
    gtype = gtype_used or gtype
    want = outcome(core.init_variogram_model, points, values, n_lags, gtype)
    got = outcome(
        orv_distributed.init_variogram_model, points, values, n_lags, gtype, client=client
    )
    assert_same(got, want)
    assert_same(outcome(lambda *a: _tiled.run_local(*a)[:2], points, values, n_lags, gtype), want)


def test_missing_dask_says_how_to_install():
    blocker = (
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.split('.')[0] in ('dask', 'distributed'):\n"
        "            raise ImportError(f'No module named {name!r}')\n"
        "sys.meta_path.insert(0, Block())\n"
        "import orv.distributed\n"
        "orv.distributed.init_variogram_model([[0, 0], [1, 1]], [0.0, 1.0], 2, 'PROJCS')\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", blocker], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 1
    assert "ImportError: orv.distributed needs Dask" in result.stderr
    assert "pip install orv[distributed]" in result.stderr


def test_killed_worker_changes_nothing(client):
    n = 24 * TILE
    points, values = sample("GEOGCS", n)
    want = outcome(core.init_variogram_model, points, values, 12, "GEOGCS")
    done = {}

    def run():
        done["got"] = outcome(
            orv_distributed.init_variogram_model,
            points,
            values,
            12,
            "GEOGCS",
            client=client,
            block_size=TILE,
        )

    runner = threading.Thread(target=run)
    runner.start()
    victim = _worker_running_a_class_task(client)
    assert victim is not None, "the second round finished before a worker could be killed"
    os.kill(victim, signal.SIGKILL)
    assert runner.is_alive()  # killed mid-run, not after the result
    runner.join(timeout=120)
    assert not runner.is_alive()
    assert_same(done["got"], want)
    client.wait_for_workers(2, timeout=60)  # the nanny restarts it for the other tests


def _worker_running_a_class_task(client, timeout=60.0):
    """Pid of a worker process busy with a second-round task, once a few have finished."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        finished = client.run_on_scheduler(
            lambda dask_scheduler: sum(
                key.startswith("orv-classes") and task.state == "memory"
                for key, task in dask_scheduler.tasks.items()
                if isinstance(key, str)
            )
        )
        if finished >= 4:
            for address, keys in client.processing().items():
                if any(str(key).startswith("orv-classes") for key in keys):
                    return client.run(os.getpid, workers=[address])[address]
        time.sleep(0.005)
    return None
