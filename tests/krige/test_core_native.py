"""The native semivariogram pass against the plain numpy algorithm it replaces."""

import threading
import time
import types
import warnings

import numpy as np
import pytest
import scipy.spatial.distance

core = pytest.importorskip("orv._algos.spmis.krige.core")


from orv._algos.spmis import krige  # noqa: E402

from . import reference  # noqa: E402
from .memory import traced_peak  # noqa: E402


def outcome(function, *args):
    """The result, or the type and message of the exception raised."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return function(*args)
        except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
            return type(exc), str(exc)


def assert_same_outcome(*args):
    native = outcome(core.init_variogram_model, *args)
    expected = outcome(reference.init_variogram_model, *args)
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
FULL = krige.great_circle_distance(POINTS, POINTS)
FOUR = np.array([[0.0, 0.0], [np.nan, 1.0], [2.0, 2.0], [3.0, 1.0]])
LINE = np.array([[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [3.0, 0.0], [5.0, 0.0]])


@pytest.mark.parametrize(
    "gtype", ["PROJCS", "GEOGCS", np.array(["GEOGCS", "PROJCS"])], ids=["PROJCS", "GEOGCS", "array"]
)
@pytest.mark.parametrize(
    ("points", "values", "n_lags"),
    [
        (POINTS, list(VALUES), 3),  # no numpy indexing with a new axis
        (POINTS, tuple(VALUES), 3),
        (POINTS, VALUES[:-2], 3),  # fewer values than points
        (POINTS, np.append(VALUES, 1.0), 3),
        (POINTS, VALUES[:-2], 0),  # no class loop: only the geographic masks see the lengths
        (POINTS, VALUES[:, None], 3),  # a column of values
        (POINTS, VALUES.astype(int), 3),
        (POINTS, VALUES > 0, 3),  # numpy refuses to subtract booleans, pdist converts them
        (POINTS, VALUES.astype(str), 3),
        (POINTS, VALUES.astype(object), 3),
        (POINTS, np.float64(1.0), 3),
        (POINTS, VALUES, np.int64(4)),
        (POINTS, VALUES, True),
        (POINTS, VALUES, 0),
        (POINTS, VALUES, -2),
        (POINTS, VALUES, 2.5),
        (POINTS, VALUES, "3"),
        (np.zeros((0, 2)), VALUES[:0], 4),
        (np.zeros((1, 2)), VALUES[:1], 4),  # no pair: numpy's empty reduction error
        (FOUR, VALUES[:4], 4),
        (np.where(np.isnan(FOUR), np.inf, FOUR), VALUES[:4], 4),
        (np.zeros((3, 2)), VALUES[:3], 4),  # no distance but zero
        # Infinite values: classes with an infinite term stay, those where inf - inf is NaN go.
        (LINE, np.array([0.0, np.inf, 1.0, 2.0, 4.0]), 4),
        (LINE, np.array([np.inf, np.inf, 1.0, 2.0, 4.0]), 4),
        (LINE, np.array([-np.inf, np.inf, 1.0, 2.0, 4.0]), 4),
    ],
)
def test_unusual_inputs_behave_as_numpy(gtype, points, values, n_lags):
    assert_same_outcome(points, values, n_lags, gtype)


@pytest.mark.parametrize("n_lags", [10**12, 10**30])
def test_class_counts_too_large_for_memory_fail_in_numpy(n_lags):
    with pytest.raises((MemoryError, ValueError)):
        core.init_variogram_model(POINTS, VALUES, n_lags, "PROJCS")


def test_complex_values_are_refused_on_the_matrix_path():
    with pytest.raises(TypeError, match="real numbers"):
        core.init_variogram_model(POINTS, VALUES + 1j, 3, "GEOGCS")


LAYOUTS = {
    "float32": lambda a: a.astype(np.float32),
    "fortran": np.asfortranarray,
    "row-strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "column-strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "int32": lambda a: np.rint(a * 100).astype(np.int32),
    "big-endian": lambda a: a.astype(">f8"),
}


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_arrays_of_other_layouts_are_read_as_float64(monkeypatch, layout, gtype):
    # A replacement init_points or distance service may hand over any array; the native pass
    # must see the same numbers as numpy does in float64.
    service = "init_points" if gtype == "PROJCS" else "great_circle_distance"
    converted = LAYOUTS[layout](POINTS if gtype == "PROJCS" else FULL)
    monkeypatch.setattr(core, service, lambda *raw: converted)
    monkeypatch.setattr(reference, service, lambda *raw: np.array(converted, dtype=float))
    assert_same_outcome(POINTS, VALUES, 4, gtype)


def fewer_value_pairs(x, metric):
    return scipy.spatial.distance.pdist(x if metric == "euclidean" else x[1:])


SIZES = "size of axis is 9 but .* is 8"
FEWER = "size of axis is 28 but size of corresponding boolean axis is 36"


@pytest.mark.parametrize(
    ("gtype", "bad", "raised", "message"),
    [
        ("GEOGCS", FULL[0], IndexError, "two-dimensional"),
        ("GEOGCS", FULL[None], IndexError, "two-dimensional"),
        ("GEOGCS", FULL[:-1], IndexError, "axis 0; " + SIZES),
        ("GEOGCS", FULL[:, :-1], IndexError, "axis 1; " + SIZES),
        ("GEOGCS", FULL.tolist(), AttributeError, "shape"),
        ("PROJCS", lambda x, metric: np.zeros((3, 3)), ValueError, "one-dimensional"),
        ("PROJCS", fewer_value_pairs, IndexError, FEWER),
    ],
    ids=["row", "3-d", "short", "narrow", "list", "pdist-matrix", "fewer-value-pairs"],
)
def test_bad_service_results_are_refused_before_reading(monkeypatch, gtype, bad, raised, message):
    # A bad distance matrix (geographic) or pdist replacement (projected) fails cleanly.
    if gtype == "GEOGCS":
        monkeypatch.setattr(core, "great_circle_distance", lambda a, b: bad)
    else:
        monkeypatch.setattr(
            core, "spatial", types.SimpleNamespace(distance=types.SimpleNamespace(pdist=bad))
        )
    with pytest.raises(raised, match=message):
        core.init_variogram_model(POINTS, VALUES, 3, gtype)


def test_pdist_replaced_inside_scipy_is_called(monkeypatch):
    # The core's `spatial` is SciPy's own module; a replacement bound there after import is
    # not SciPy's pdist any more and must be called like any other.
    original, metrics = scipy.spatial.distance.pdist, []

    def doubling(x, metric):
        metrics.append(metric)
        return 2.0 * original(x, metric=metric)

    assert core.spatial.distance is scipy.spatial.distance
    monkeypatch.setattr(scipy.spatial.distance, "pdist", doubling)
    assert_same_outcome(POINTS, VALUES, 3, "PROJCS")
    assert metrics == ["euclidean", "sqeuclidean"] * 2  # the native pass, then numpy's


@pytest.mark.slow
def test_pairs_are_never_stored():
    points, values = line(2000)  # two million pairs, 16 MB per pair array
    assert traced_peak(core.init_variogram_model, (points, values, 20, "PROJCS")) < 2**20
    # On the geographic path the documented steps would add a value matrix and 2 n^2 indices.
    points, values = line(1500)
    service = traced_peak(krige.great_circle_distance, (points, points))
    assert traced_peak(core.init_variogram_model, (points, values, 20, "GEOGCS")) < service + 2**20


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
    runs = [np.concatenate(core.init_variogram_model(points, values, 17, "PROJCS")) for _ in "1234"]
    for again in runs[1:]:
        np.testing.assert_array_equal(again, runs[0])


def test_other_threads_run_while_the_pairs_are_scanned():
    # Big enough that the scan outlasts the interpreter's switch interval many times over,
    # however fast the machine.
    points, values = line(20000)
    start = time.perf_counter()
    core.init_variogram_model(points, values, 20, "PROJCS")
    alone = time.perf_counter() - start

    worker = threading.Thread(target=core.init_variogram_model, args=(points, values, 20, "PROJCS"))
    longest_pause, last = 0.0, time.perf_counter()
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest_pause, last = max(longest_pause, now - last), now
    worker.join()
    # Holding the lock for the scan would stall this loop for about the whole call.
    assert longest_pause < 0.5 * alone, (longest_pause, alone)
