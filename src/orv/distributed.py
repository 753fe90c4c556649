"""The experimental semivariogram on a Dask cluster.

``init_variogram_model`` gives, bit for bit, the result of the kriging core's
``orv._algos.spmis.krige.core.init_variogram_model`` on one machine, whatever the cluster: the
pairs are cut into block pairs aligned to the native kernel's tiles, each block pair is reduced
by a task to a few numbers per distance class, and the exact partial sums are merged in
block-pair order. Dask is optional: ``pip install orv[distributed]`` installs it. This module
imports without it and says so when it is called.
"""

import uuid
from functools import partial

from orv._algos.spmis.krige import _tiled

__all__ = ["init_variogram_model"]

INSTALL_HINT = (
    "orv.distributed needs Dask and its distributed scheduler; install them with "
    "`pip install orv[distributed]` (or `pip install 'dask[distributed]'`)"
)


def init_variogram_model(points, values, n_lags, gtype, *, client=None, block_size=None):
    """Experimental semivariogram (lags, semivariance) computed by Dask tasks.

    Arguments, result and errors are those of ``core.init_variogram_model``: ``points`` are
    converted by the package's ``init_points``, ``gtype`` is "GEOGCS" (great-circle distances
    in km) or "PROJCS" (Euclidean), and the classes without pairs or with a NaN semivariance
    are left out.

    ``client``: a ``dask.distributed.Client``; None takes the current default client, or
    Dask's local threaded scheduler when there is none. ``block_size``: points per block
    (rounded up to whole kernel tiles); by default at least 8192 points and at most 128 blocks
    per side, so a task holds O(block_size) memory while this process holds O(n).

    The points are put in the native pass's spatial order here, and each block of points and
    values is sent once, as the data of one task, so a worker that dies has its blocks resent
    by the scheduler and its tasks recomputed. The distance range of all pairs is found here
    where the native shortcut applies (projected points of one or two columns, geographic
    points), else by a first round over the block pairs; then, with the class edges computed
    from it here, a round gives the per-class counts and sums. Only these small partial
    results come back. Each task runs the native kernel on one thread with the GIL released.

    Values that are not a numeric array with one value per point are not split into blocks:
    the single-machine core is called with them here, so its own result or error is the answer.
    """
    _require_dask()
    lags, semivariance, *_ = _tiled.run(
        points, values, n_lags, gtype, cluster_rounds(client), block_size=block_size
    )
    return lags, semivariance


def cluster_rounds(client):
    """The executor of the tiled runner's rounds (``_tiled.run``'s ``make_rounds``) on
    ``client``, as ``init_variogram_model`` uses it."""
    return partial(_rounds, client)


def _rounds(client, data, plan):
    if client is None:
        client = _default_client()
    if client is None:
        return _ThreadedRounds(data, plan)
    return _ClusterRounds(client, data, plan)


def _require_dask():
    try:
        import dask  # noqa: F401
    except ImportError as exc:
        raise ImportError(INSTALL_HINT) from exc


def _default_client():
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:  # no client in this process
        return None


def _hold_block(coordinates, values):
    return coordinates, values


class _ClusterRounds:
    """Block pairs as tasks of a distributed client; the blocks live on the workers."""

    def __init__(self, client, data, plan):
        self.client = client
        self.plan = plan
        self.token = uuid.uuid4().hex
        # The block is the task's own data (not scattered), so the scheduler can resend it
        # when the worker holding it is lost.
        self.blocks = [
            client.submit(_hold_block, *data.block(plan, k), key=f"orv-block-{self.token}-{k}")
            for k in range(len(plan.starts))
        ]

    def each_pair(self, function, *arguments):
        name = function.__name__.replace("_", "-")
        futures = [
            self.client.submit(
                function,
                self.blocks[i],
                self.blocks[j],
                *arguments,
                i == j,
                key=f"orv-{name}-{self.token}-{i}-{j}",
            )
            for i, j in self.plan.pairs
        ]
        # Gathered in block-pair order, whatever order they finished in.
        return self.client.gather(futures)

    def release(self):
        self.client.cancel(self.blocks)


class _ThreadedRounds:
    """Block pairs as tasks of Dask's local threaded scheduler, in this process."""

    def __init__(self, data, plan):
        import dask

        self.dask = dask
        self.plan = plan
        hold = dask.delayed(_hold_block, pure=False)
        self.blocks = [hold(*data.block(plan, k)) for k in range(len(plan.starts))]

    def each_pair(self, function, *arguments):
        task = self.dask.delayed(function, pure=False)
        tasks = [
            task(self.blocks[i], self.blocks[j], *arguments, i == j) for i, j in self.plan.pairs
        ]
        return list(self.dask.compute(*tasks, scheduler="threads"))

    def release(self):
        self.blocks = []
