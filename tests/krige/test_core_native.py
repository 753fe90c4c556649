"""The native semivariogram pass against the literal numpy algorithm it replaces.

Covers what the native pass changes under the hood: unusual inputs must fail (or succeed)
exactly as the plain numpy steps do, pair data must never be materialised on the fast
paths, the service replacements must be honoured, and the interpreter lock must be free
while the pairs are scanned.
"""

import threading
import time
import types
import warnings

import numpy as np
import pytest
import scipy.spatial.distance
from scipy import spatial

core = pytest.importorskip("orv._algos.spmis.krige.core")

from bench_krige import traced_peak  # noqa: E402
from krige_baseline import init_variogram_model as numpy_model  # noqa: E402

from orv._algos.spmis import krige  # noqa: E402


def outcome(function, *args):
    """The result, or the type and message of the exception raised."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return function(*args)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
            return type(exc), str(exc)


def assert_same_outcome(args):
    native, expected = outcome(core.init_variogram_model, *args), outcome(numpy_model, *args)
    if isinstance(expected[0], type):
        assert native == expected
        return
    assert not isinstance(native[0], type), native
    for got, want in zip(native, expected, strict=True):
        assert got.dtype == np.float64 and got.shape == want.shape
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def line(n):
    rng = np.random.default_rng(n)
    return rng.uniform(0.0, 10.0, size=(n, 2)), rng.normal(size=n)


POINTS, VALUES = line(9)


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    ("values", "n_lags"),
    [
        (list(VALUES), 3),  # no numpy indexing with a new axis
        (tuple(VALUES), 3),
        (VALUES[:-2], 3),  # fewer values than points
        (np.append(VALUES, 1.0), 3),
        (VALUES[:-2], 0),  # no class loop: only the geographic masks see the lengths
        (VALUES[:, None], 3),  # a column of values
        (VALUES.astype(int), 3),
        (VALUES > 0, 3),  # numpy refuses to subtract booleans, pdist converts them
        (VALUES.astype(str), 3),
        (VALUES.astype(object), 3),
        (np.float64(1.0), 3),
        (VALUES, np.int64(4)),
        (VALUES, True),
        (VALUES, -2),
        (VALUES, 2.5),
        (VALUES, "3"),
    ],
)
def test_unusual_values_and_class_counts_behave_as_numpy(gtype, values, n_lags):
    assert_same_outcome((POINTS, values, n_lags, gtype))


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    "points",
    [
        np.zeros((0, 2)),
        np.zeros((1, 2)),
        np.array([[0.0, 0.0], [np.nan, 1.0], [2.0, 2.0], [3.0, 1.0]]),
        np.array([[0.0, 0.0], [np.inf, 1.0], [2.0, 2.0], [3.0, 1.0]]),
        np.array([[0.0, 0.0], [0.0, 0.0], [0.0, 0.0]]),  # no distance but zero
    ],
)
def test_degenerate_points_behave_as_numpy(gtype, points):
    assert_same_outcome((points, VALUES[: len(points)], 4, gtype))


def test_gtype_without_a_truth_value_fails_as_numpy():
    assert_same_outcome((POINTS, VALUES, 3, np.array(["GEOGCS", "PROJCS"])))


def test_no_pair_gives_numpys_empty_reduction_error():
    with pytest.raises(ValueError, match="^zero-size array to reduction operation maximum"):
        core.init_variogram_model(np.zeros((1, 2)), np.zeros(1), 3, "PROJCS")


@pytest.mark.parametrize("n_lags", [10**12, 10**30])
def test_class_counts_too_large_for_memory_fail_in_numpy(n_lags):
    with pytest.raises((MemoryError, ValueError)):
        core.init_variogram_model(POINTS, VALUES, n_lags, "PROJCS")


def test_complex_values_are_refused_on_the_matrix_path():
    with pytest.raises(TypeError, match="real numbers"):
        core.init_variogram_model(POINTS, VALUES + 1j, 3, "GEOGCS")


@pytest.mark.parametrize(
    "convert",
    [
        lambda p: p.astype(np.float32),
        lambda p: np.asfortranarray(p),
        lambda p: np.repeat(p, 2, axis=0)[::2],
        lambda p: np.rint(p * 100).astype(np.int32),
        lambda p: p.astype(">f8"),
    ],
    ids=["float32", "fortran", "strided", "int32", "big-endian"],
)
def test_points_of_other_layouts_match_scipys_pdist(monkeypatch, convert):
    # A replacement init_points may hand over any array; SciPy's pdist converts it to
    # float64, and the native pass must see the same coordinates.
    converted = convert(np.random.default_rng(3).uniform(0.0, 50.0, size=(40, 3)))
    values = np.random.default_rng(4).normal(size=40)
    monkeypatch.setattr(core, "init_points", lambda raw: converted)
    d = spatial.distance.pdist(converted, metric="euclidean")
    g = 0.5 * spatial.distance.pdist(values[:, None], metric="sqeuclidean")
    expected = numpy_model_from_pairs(d, g, 6)
    lags, semivariance = core.init_variogram_model(None, values, 6, "PROJCS")
    np.testing.assert_allclose(lags, expected[0], rtol=1e-12, atol=0)
    np.testing.assert_allclose(semivariance, expected[1], rtol=1e-12, atol=0)


def numpy_model_from_pairs(d, g, n_lags):
    edges = np.append(
        d.min() + (d.max() - d.min()) / n_lags * np.arange(n_lags),
        max(d.max() + 0.001, np.nextafter(d.max(), np.inf)),
    )
    classes = [(d >= low) & (d < high) for low, high in zip(edges[:-1], edges[1:], strict=True)]
    kept = [inside for inside in classes if inside.any() and not np.isnan(g[inside].mean())]
    return np.array([d[c].mean() for c in kept]), np.array([g[c].mean() for c in kept])


@pytest.mark.parametrize(
    ("matrix", "raised", "message"),
    [
        (lambda m: m[0], IndexError, "two-dimensional"),
        (lambda m: m[None], IndexError, "two-dimensional"),
        (lambda m: m[:-1], IndexError, "axis 0; size of axis is 9 but .* is 8"),
        (lambda m: m[:, :-1], IndexError, "axis 1; size of axis is 9 but .* is 8"),
        (lambda m: m.tolist(), AttributeError, "shape"),
    ],
    ids=["row", "3-d", "short", "narrow", "list"],
)
def test_bad_distance_matrices_are_refused_before_reading(monkeypatch, matrix, raised, message):
    full = krige.great_circle_distance(POINTS, POINTS)
    monkeypatch.setattr(core, "great_circle_distance", lambda a, b: matrix(full))
    with pytest.raises(raised, match=message):
        core.init_variogram_model(POINTS, VALUES, 3, "GEOGCS")


@pytest.mark.parametrize(
    "convert",
    [
        lambda m: m.astype(np.float32),
        lambda m: np.asfortranarray(m),
        lambda m: np.repeat(m, 2, axis=1)[:, ::2],
    ],
    ids=["float32", "fortran", "strided"],
)
def test_distance_matrices_of_other_layouts_are_read_as_float64(monkeypatch, convert):
    full = krige.great_circle_distance(POINTS, POINTS)
    other = convert(full)
    as_float64 = np.ascontiguousarray(other, dtype=np.float64)
    monkeypatch.setattr(core, "great_circle_distance", lambda a, b: as_float64)
    expected = core.init_variogram_model(POINTS, VALUES, 4, "GEOGCS")
    monkeypatch.setattr(core, "great_circle_distance", lambda a, b: other)
    result = core.init_variogram_model(POINTS, VALUES, 4, "GEOGCS")
    for got, want in zip(result, expected, strict=True):
        np.testing.assert_array_equal(got, want)


def fake_spatial(pdist):
    return types.SimpleNamespace(distance=types.SimpleNamespace(pdist=pdist))


@pytest.mark.parametrize(
    ("pdist", "raised", "message"),
    [
        (lambda x, metric: np.zeros((3, 3)), ValueError, "one-dimensional"),
        (
            lambda x, metric: scipy.spatial.distance.pdist(x if metric == "euclidean" else x[1:]),
            IndexError,
            "size of axis is 28 but size of corresponding boolean axis is 36",
        ),
    ],
    ids=["matrix", "fewer-value-pairs"],
)
def test_bad_pdist_replacements_are_refused(monkeypatch, pdist, raised, message):
    monkeypatch.setattr(core, "spatial", fake_spatial(pdist))
    with pytest.raises(raised, match=message):
        core.init_variogram_model(POINTS, VALUES, 3, "PROJCS")


def test_pdist_replaced_inside_scipy_is_called(monkeypatch):
    # The core's `spatial` is SciPy's own module; a replacement bound there after import is
    # not SciPy's pdist any more and must be called like any other.
    original = scipy.spatial.distance.pdist
    metrics = []

    def doubling(x, metric):
        metrics.append(metric)
        return 2.0 * original(x, metric=metric)

    assert core.spatial.distance is scipy.spatial.distance
    expected = numpy_model_from_pairs(
        2.0 * original(POINTS), 0.5 * 2.0 * original(VALUES[:, None], "sqeuclidean"), 3
    )
    monkeypatch.setattr(scipy.spatial.distance, "pdist", doubling)
    lags, semivariance = core.init_variogram_model(POINTS, VALUES, 3, "PROJCS")
    assert metrics == ["euclidean", "sqeuclidean"]
    np.testing.assert_allclose(lags, expected[0], rtol=1e-12, atol=0)
    np.testing.assert_allclose(semivariance, expected[1], rtol=1e-12, atol=0)


def test_projected_pairs_are_never_stored():
    points, values = line(2000)  # two million pairs, 16 MB per pair array
    assert traced_peak(core.init_variogram_model, (points, values, 20, "PROJCS")) < 2**20


def test_geographic_pairs_need_no_memory_beyond_the_distance_service():
    points, values = line(1500)
    service = traced_peak(krige.great_circle_distance, (points, points))
    model = traced_peak(core.init_variogram_model, (points, values, 20, "GEOGCS"))
    # The documented steps would add a value matrix and 2 n^2 indices (4 n^2 doubles).
    assert model < service + 2**20


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_empty_classes_warn_as_numpys_mean_of_nothing(gtype):
    points = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0]])  # distances 1, 1, 2
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lags, _ = core.init_variogram_model(points, np.arange(3.0), 4, gtype)
    assert len(lags) == 2
    assert {(w.category, str(w.message)) for w in caught} == {
        (RuntimeWarning, "Mean of empty slice"),
        (RuntimeWarning, "invalid value encountered in scalar divide"),
    }
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(core.init_variogram_model(points, np.arange(3.0), 1, gtype)[0]) == 1


def test_results_are_reproducible_bit_for_bit():
    points, values = line(1200)
    first = core.init_variogram_model(points, values, 17, "PROJCS")
    for _ in range(3):
        again = core.init_variogram_model(points, values, 17, "PROJCS")
        for got, want in zip(again, first, strict=True):
            np.testing.assert_array_equal(got, want)


def test_other_threads_run_while_the_pairs_are_scanned():
    points, values = line(5000)
    start = time.perf_counter()
    core.init_variogram_model(points, values, 20, "PROJCS")
    alone = time.perf_counter() - start

    done = threading.Event()
    worker = threading.Thread(
        target=lambda: (core.init_variogram_model(points, values, 20, "PROJCS"), done.set())
    )
    longest_pause, last = 0.0, time.perf_counter()
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest_pause, last = max(longest_pause, now - last), now
    worker.join()
    # Holding the lock for the scan would stall this loop for about the whole call.
    assert longest_pause < 0.5 * alone, (longest_pause, alone)
