"""The tiled pair passes: the same bits on every path, thread count and tile grouping."""

import os
import pickle

import numpy as np
import pytest
import scipy.spatial.distance

core = pytest.importorskip("orv._algos.spmis.krige.core")
_pairs = pytest.importorskip("orv._algos.spmis.krige._pairs")

from orv._algos.spmis import krige  # noqa: E402

from . import reference  # noqa: E402
from .memory import child_peak_rss  # noqa: E402


def scattered(gtype, n, seed=7):
    rng = np.random.default_rng(seed)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)])
    else:
        points = rng.uniform(0.0, 1000.0, (n, 3))
    return points, rng.normal(size=n)


def bits(result):
    return [array.tobytes() for array in result]


def matrix_service(a, b):
    """Another callable than the package's service, with the very same distances."""
    return krige.great_circle_distance(a, b)


def condensed_pdist(x, metric):
    return scipy.spatial.distance.pdist(x, metric=metric)


# Each pair source of the kernel: points (native distances), a distance matrix and
# condensed arrays from services that are not the package's or SciPy's own.
SOURCES = {
    "projected": ("PROJCS", None, None),
    "geographic": ("GEOGCS", None, None),
    "matrix": ("GEOGCS", "great_circle_distance", matrix_service),
    "condensed": ("PROJCS", "spatial", None),
}


@pytest.mark.parametrize("source", SOURCES)
def test_every_path_and_thread_count_gives_the_same_bits(monkeypatch, source):
    gtype, service, replacement = SOURCES[source]
    if service == "spatial":
        replacement = type("Spatial", (), {"distance": type("D", (), {"pdist": condensed_pdist})})
    if service:
        monkeypatch.setattr(core, service, replacement)
    points, values = scattered(gtype, 700)
    values[5] = np.inf  # an infinite term makes its classes infinite on every path alike
    outcomes = set()
    try:
        for path in _pairs.isa_paths():
            _pairs.force_isa(path)
            for threads in ("1", "2", "3", "8"):
                monkeypatch.setenv("OMP_NUM_THREADS", threads)  # read by every pass
                result = core.init_variogram_model(points, values, 13, gtype)
                outcomes.add(tuple(bits(result)))
    finally:
        _pairs.force_isa(None)
    assert len(outcomes) == 1
    assert len(result[0]) > 0


def compact(gtype, n, dims=2, seed=11):
    """Points spread over a region: their leaves are summed in registers, pair by pair at
    the edges of classes."""
    rng = np.random.default_rng(seed)
    if gtype == "GEOGCS":
        points = np.column_stack([rng.uniform(100, 120, n), rng.uniform(20, 40, n)])
    elif dims == 0:  # geographic, the whole globe: leaves too wide for the small-angle form
        points = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-90, 90, n)])
    else:
        points = rng.uniform(0.0, 1000.0, (n, dims))
    return points, rng.normal(size=n)


@pytest.mark.parametrize(
    ("gtype", "dims"), [("PROJCS", 1), ("PROJCS", 2), ("PROJCS", 3), ("PROJCS", 5),
                        ("GEOGCS", 2), ("WORLD", 0)]
)  # fmt: skip
def test_register_sums_give_the_same_bits_everywhere(monkeypatch, gtype, dims):
    points, values = compact(gtype, 1531, dims)
    gtype = "GEOGCS" if gtype == "WORLD" else gtype
    outcomes = set()
    try:
        for path in _pairs.isa_paths():
            _pairs.force_isa(path)
            for threads in ("1", "3"):
                monkeypatch.setenv("OMP_NUM_THREADS", threads)
                result = core.init_variogram_model(points, values, 7, gtype)
                outcomes.add(tuple(bits(result)))
    finally:
        _pairs.force_isa(None)
    assert len(outcomes) == 1
    expected = reference.init_variogram_model(points, values, 7, gtype)
    for got, want in zip(result, expected, strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


EDGE_CASES = {
    # NaN and infinite coordinates, antipodes, coincident points, poles, the date line.
    "special": np.array(
        [
            [0.0, 0.0],
            [180.0, 0.0],
            [0.0, 0.0],
            [np.nan, 10.0],
            [10.0, np.nan],
            [45.0, 90.0],
            [-135.0, 90.0],
            [0.0, -90.0],
            [179.9, 1.0],
            [-179.9, -1.0],
            [np.inf, 0.0],
            [30.0, 60.0],
        ]
    ),
    "scattered": scattered("GEOGCS", 300)[0],
    "no-nan": np.array([[0.0, 0.0], [180.0, 0.0], [0.0, 0.0], [90.0, 45.0], [-90.0, -45.0]]),
}


@pytest.mark.parametrize("case", EDGE_CASES)
def test_geographic_stream_matches_the_services_matrix(monkeypatch, case):
    points = EDGE_CASES[case]
    values = np.arange(len(points), dtype=float)
    streamed = core.init_variogram_model(points, values, 4, "GEOGCS")
    matrix = krige.great_circle_distance(points, points)
    np.testing.assert_array_equal(matrix, matrix.T)
    assert np.all(np.diag(matrix)[~np.isnan(points).any(axis=1) & np.isfinite(points).all(1)] == 0)
    monkeypatch.setattr(core, "great_circle_distance", matrix_service)
    # The streamed pass visits the points in spatial order, the matrix in index order: the
    # same classes, summed in another order.
    matrix_result = core.init_variogram_model(points, values, 4, "GEOGCS")
    for got, want in zip(matrix_result, streamed, strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-13, atol=0)
    assert _pairs.great_circle_matrix(points, points).tobytes() == matrix.tobytes()


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(("n", "n_lags"), [(2, 3), (257, 20), (1100, 7), (300, 5000)])
def test_close_to_the_numpy_algorithm(gtype, n, n_lags):
    points, values = scattered(gtype, n, seed=n)
    native = core.init_variogram_model(points, values, n_lags, gtype)
    expected = reference.init_variogram_model(points, values, n_lags, gtype)
    for got, want in zip(native, expected, strict=True):
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def block_partials(points, values, edges, bounds, geographic):
    tile = _pairs.tile_size(len(points))
    for i in range(len(bounds) - 1):
        for j in range(i + 1):
            rows, columns = slice(bounds[i], bounds[i + 1]), slice(bounds[j], bounds[j + 1])
            yield _pairs.block_classes(
                points[rows], values[rows], points[columns], values[columns], edges,
                tile=tile, geographic=geographic, diagonal=i == j,
            )  # fmt: skip


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_merged_blocks_give_the_cores_bits(gtype):
    geographic = gtype == "GEOGCS"
    points, values = scattered(gtype, 1300)
    if not geographic:
        points = np.ascontiguousarray(points[:, :2])
    values[[3, 900]] = np.inf  # infinite classes stay, the one with inf - inf goes
    d_min, d_max, pairs = _pairs.block_range(points, points, geographic=geographic, diagonal=True)
    assert pairs == 1300 * 1299 // 2
    edges = _pairs.class_edges(d_min, d_max, 9)
    bounds = [0, 256, 768, 1024, 1300]  # blocks of one, two and one tiles, and the rest
    parts = list(block_partials(points, values, edges, bounds, geographic))
    parts = pickle.loads(pickle.dumps(parts[::-1]))
    halves = [_pairs.merge_partials(parts[:3]), _pairs.merge_partials(parts[3:])]
    merged = _pairs.merge_partials(halves)
    counts, _, semivariance = merged.totals()
    assert counts.dtype == np.int64 and counts.sum() == pairs
    lags, gamma, kept_counts = _pairs.class_means(merged)
    assert 0 < len(lags) < 9 and np.isinf(gamma).any()
    assert bits((lags, gamma)) == bits(core.init_variogram_model(points, values, 9, gtype))
    assert kept_counts.tolist() == counts[(counts > 0) & ~np.isnan(semivariance)].tolist()
    ranges = [
        _pairs.block_range(points[a:b], points[c:d], geographic=geographic, diagonal=a == c)
        for a, b in zip(bounds, bounds[1:], strict=False)
        for c, d in zip(bounds, bounds[1:], strict=False)
        if c <= a
    ]
    assert _pairs.merge_ranges(ranges) == (d_min, d_max, pairs)


def misaligned(array):
    """The same float64 values at an address that is not a multiple of 8, as unpickled ones."""
    raw = np.empty(array.nbytes + 1, np.uint8)
    copy = raw[1:].view(array.dtype).reshape(array.shape)
    copy[...] = array
    return copy


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_misaligned_buffers_are_read_safely(gtype):
    geographic = gtype == "GEOGCS"
    points, values = scattered(gtype, 300)
    points = np.ascontiguousarray(points[:, :2])
    odd_points, odd_values = misaligned(points), misaligned(values)
    assert odd_points.ctypes.data % 8 != 0
    expected = core.init_variogram_model(points, values, 7, gtype)
    assert bits(core.init_variogram_model(odd_points, odd_values, 7, gtype)) == bits(expected)
    edges = np.linspace(0.0, 1e5, 8)
    args = dict(tile=_pairs.tile_size(300), geographic=geographic, diagonal=True)
    odd = _pairs.block_classes(odd_points, odd_values, odd_points, odd_values, edges, **args)
    even = _pairs.block_classes(points, values, points, values, edges, **args)
    assert bits(odd.totals()) == bits(even.totals())


TWO = np.zeros((2, 2))
BLOCKS = (TWO, np.zeros(2), TWO, np.zeros(2), np.zeros(3))


@pytest.mark.parametrize(
    ("call", "raised"),
    [
        (lambda: _pairs.tile_size(-1), ValueError),
        (lambda: _pairs.great_circle_matrix(np.zeros((2, 3)), TWO), ValueError),
        (lambda: _pairs.great_circle_matrix(TWO.astype(np.float32), TWO), TypeError),
        (lambda: _pairs.block_range(np.zeros((3, 2)), TWO, True, True), ValueError),
        (lambda: _pairs.block_range(TWO, TWO, 1, True), TypeError),
        (lambda: _pairs.block_classes(*BLOCKS, 12, False, False), ValueError),
        (lambda: _pairs.block_classes(TWO, np.zeros(3), *BLOCKS[2:], 8, False, False), ValueError),
        (lambda: _pairs.merge_partials([]), ValueError),
        (lambda: _pairs.ClassPartial(b"\x01"), ValueError),
        (lambda: _pairs.force_isa("no-such-path"), ValueError),
    ],
)
def test_bad_arguments_are_refused(call, raised):
    with pytest.raises(raised):
        call()


@pytest.mark.slow
@pytest.mark.skipif(
    bool(os.environ.get("ORV_UNDER_SANITIZER")),
    reason="the sanitizer's shadow memory and quarantine swamp the resident set",
)
def test_geographic_memory_stays_linear():
    # 15,000 points: the service's matrix alone would take 1.8 GB.
    setup = (
        "import numpy as np\n"
        "from orv._algos.spmis.krige import core\n"
        "rng = np.random.default_rng(1)\n"
        "points = np.column_stack([rng.uniform(-180, 180, 15000), rng.uniform(-90, 90, 15000)])\n"
        "values = rng.normal(size=15000)"
    )
    call = "result = len(core.init_variogram_model(points, values, 20, 'GEOGCS')[0])"
    peak, _, classes = child_peak_rss(setup, call)
    assert classes == 20
    assert peak < 64 * 2**20, peak
