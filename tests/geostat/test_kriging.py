"""OrdinaryKriging against an independent dense solve, and its guarantees: exactness,
neighbourhoods, anisotropy, geographic distances, identical bits whatever the threads or
windows, a fork after a threaded call, and clear errors for bad input."""

import multiprocessing
import warnings

import numpy as np
import pytest
from scipy.spatial import cKDTree

from orv._algos.spmis.krige import _kriging, core
from orv.error import ParameterError, SpmisError
from orv.geostat import CoincidentSamplesWarning, OrdinaryKriging, UnstableSystemWarning
from orv.geostat._grid import make_grid
from orv.geostat._raster import krige_window

MODELS = {
    "Linear": {"Slope": 0.02, "Nugget": 0.05},
    "Power": {"Scale": 0.1, "Exponent": 1.3, "Nugget": 0.05},
    "Gaussian": {"PSill": 1.0, "Range": 40.0, "Nugget": 0.1},
    "Spherical": {"PSill": 1.0, "Range": 40.0, "Nugget": 0.05},
    "Exponential": {"PSill": 1.0, "Range": 40.0, "Nugget": 0.05},
    "HoleEffect": {"PSill": 1.0, "Range": 40.0, "Nugget": 0.1},
}


def samples(n=300, seed=1):
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, size=(n, 2))
    values = np.sin(points[:, 0] / 20) + np.cos(points[:, 1] / 15) + 0.1 * rng.normal(size=n)
    return points, values, rng.uniform(0.0, 100.0, size=(40, 2))


def dense_kriging(points, values, targets, model, distance=None):
    """The Lagrange system [[G, 1], [1^T, 0]] of ordinary kriging, solved by numpy per target
    (G with 0 on its diagonal: a sample's semivariance with itself)."""
    function = getattr(core.variogram, model[0])
    parameters = list(model[1].values())
    if distance is None:
        distance = lambda a, b: np.sqrt(((a[:, None, :] - b[None, :, :]) ** 2).sum(-1))  # noqa: E731
    n = len(values)
    system = np.ones((n + 1, n + 1))
    system[:n, :n] = function(parameters, distance(points, points))
    np.fill_diagonal(system, 0.0)
    gammas = function(parameters, distance(points, targets))
    right = np.vstack([gammas, np.ones(len(targets))])
    weights = np.linalg.solve(system, right)
    return weights[:n].T @ values, (weights * right).sum(axis=0)


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("neighbours", [None, 20])
def test_matches_a_dense_solve(name, neighbours):
    points, values, targets = samples()
    model = (name, MODELS[name])
    estimate, variance = OrdinaryKriging(points, values, model, neighbours=neighbours).predict(
        targets
    )
    if neighbours is None:
        expected = dense_kriging(points, values, targets, model)
    else:
        _, nearest = cKDTree(points).query(targets, neighbours)
        pairs = [
            dense_kriging(points[i], values[i], t[None], model)
            for t, i in zip(targets, nearest, strict=True)
        ]
        expected = np.array(pairs)[:, :, 0].T
    np.testing.assert_allclose(estimate, expected[0], rtol=1e-10, atol=1e-12)
    np.testing.assert_allclose(variance, expected[1], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("neighbours", [None, 8])
def test_exact_at_the_samples_whatever_the_nugget(neighbours):
    points = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 2.0], [3.0, 3.0], [1.5, 0.5]])
    values = np.array([1.0, -2.0, 0.5, 4.0, 3.0])
    kriging = OrdinaryKriging(
        points,
        values,
        ("Spherical", {"PSill": 1.0, "Range": 2.0, "Nugget": 0.7}),
        neighbours=neighbours,
    )
    estimate, variance = kriging.predict(points)
    assert np.array_equal(estimate, values) and np.array_equal(variance, np.zeros(5))
    # Cell centres of the grid fall on the samples moved by half a cell.
    model = (kriging.model, kriging.parameters)
    shifted = OrdinaryKriging(points + 0.5, values, model, neighbours=neighbours)
    grid_estimate, grid_variance, _ = shifted.grid((0, 0, 4, 4), 1.0)
    assert grid_estimate[3, 0] == 1.0 and grid_variance[3, 0] == 0.0  # sample (0.5, 0.5)
    assert grid_estimate[0, 3] == 4.0 and grid_variance[0, 3] == 0.0  # sample (3.5, 3.5)


def test_neighbours_equal_to_n_give_the_global_result():
    points, values, targets = samples(150)
    model = ("Exponential", MODELS["Exponential"])
    every = OrdinaryKriging(points, values, model, max_distance=1e6).predict(targets)
    assert not OrdinaryKriging(points, values, model, max_distance=1e6).is_global
    expected = OrdinaryKriging(points, values, model).predict(targets)
    np.testing.assert_allclose(every, expected, rtol=1e-10)


def test_anisotropy_is_that_of_adjust_anisotropy():
    points, values, targets = samples(200)
    model = ("Spherical", MODELS["Spherical"])
    scale, angle = 2.5, 30.0
    kriged = OrdinaryKriging(points, values, model, neighbours=25, anisotropy=(scale, angle))
    center = points.mean(axis=0)  # any centre: distances do not depend on it
    moved = OrdinaryKriging(
        core.adjust_anisotropy(points, center, scale, angle), values, model, neighbours=25
    )
    expected = moved.predict(core.adjust_anisotropy(targets, center, scale, angle))
    np.testing.assert_allclose(kriged.predict(targets), expected, rtol=1e-9)
    isotropic = OrdinaryKriging(points, values, model, neighbours=25).predict(targets)
    assert np.abs(isotropic[0] - expected[0]).max() > 1e-3


def great_circle_points(arcs_km, lon0=10.0, lat0=40.0, azimuth=35.0):
    """Longitude and latitude of the points at the given distances along a great circle."""
    radius = 6371.0088
    lat1, lon1, theta = np.radians(lat0), np.radians(lon0), np.radians(azimuth)
    delta = np.asarray(arcs_km) / radius
    lat = np.arcsin(np.sin(lat1) * np.cos(delta) + np.cos(lat1) * np.sin(delta) * np.cos(theta))
    lon = lon1 + np.arctan2(
        np.sin(theta) * np.sin(delta) * np.cos(lat1), np.cos(delta) - np.sin(lat1) * np.sin(lat)
    )
    return np.column_stack([np.degrees(lon), np.degrees(lat)])


@pytest.mark.parametrize("neighbours", [None, 6])
def test_geographic_equals_a_rotated_projected_line(neighbours):
    # Points on one great circle: their great-circle distances are the differences of their
    # arc lengths, the distances of the same arc lengths laid on a rotated straight line.
    rng = np.random.default_rng(5)
    arcs, target_arcs = np.sort(rng.uniform(0, 800, 40)), rng.uniform(0, 800, 15)
    values = np.sin(arcs / 90.0)
    model = ("Gaussian", {"PSill": 1.0, "Range": 300.0, "Nugget": 0.05})
    line = lambda s: np.column_stack([s * np.cos(0.6), s * np.sin(0.6)])  # noqa: E731
    geographic = OrdinaryKriging(
        great_circle_points(arcs), values, model, neighbours=neighbours, crs="EPSG:4326"
    )
    assert geographic.geographic
    projected = OrdinaryKriging(line(arcs), values, model, neighbours=neighbours)
    np.testing.assert_allclose(
        geographic.predict(great_circle_points(target_arcs)),
        projected.predict(line(target_arcs)),
        rtol=1e-7,
        atol=1e-9,
    )


@pytest.mark.parametrize(
    "settings",
    [{}, {"neighbours": 12}, {"neighbours": 12, "max_distance": 6.0}, {"geographic": True}],
    ids=["global", "local", "reach", "geographic"],
)
def test_same_bits_for_every_thread_count_window_and_route(settings):
    points, values, _ = samples(400)
    if settings.get("geographic"):
        points = points / 20.0  # degrees
    kriging = OrdinaryKriging(points, values, ("Exponential", MODELS["Exponential"]), **settings)
    span = points.max() - points.min()
    bounds, resolution = (points.min(), points.min(), points.max(), points.max()), span / 61
    grid = make_grid(bounds, resolution)
    whole = (grid.x0, grid.y0, grid.dx, grid.dy, 0, 0, grid.width, grid.height)
    single = _kriging.grid(kriging._native(), *whole, 1)
    for threads in (2, 3):
        again = _kriging.grid(kriging._native(), *whole, threads)
        np.testing.assert_array_equal(single[0], again[0])
        np.testing.assert_array_equal(single[1], again[1])
    np.testing.assert_array_equal(single[0], kriging.grid(bounds, resolution)[0])
    window = krige_window(kriging, grid, (17, 5, 23, 31))
    np.testing.assert_array_equal(window[0], single[0][5:36, 17:40])
    np.testing.assert_array_equal(window[1], single[1][5:36, 17:40])
    # The same cells as targets of predict.
    rows, cols = np.mgrid[5:36, 17:40]
    centres = np.column_stack(
        [grid.x0 + (cols.ravel() + 0.5) * grid.dx, grid.y0 - (rows.ravel() + 0.5) * grid.dy]
    )
    estimate, variance = kriging.predict(centres)
    np.testing.assert_array_equal(estimate, window[0].ravel())
    np.testing.assert_array_equal(variance, window[1].ravel())


def _grid_in_child(queue, kriging):
    queue.put(kriging.grid((0, 0, 100, 100), 2.0))


def test_fork_after_a_threaded_call():
    points, values, _ = samples(300)
    kriging = OrdinaryKriging(points, values, ("Spherical", MODELS["Spherical"]), neighbours=16)
    grid = make_grid((0, 0, 100, 100), 2.0)
    before = _kriging.grid(kriging._native(), grid.x0, grid.y0, grid.dx, grid.dy, 0, 0, 50, 50, 2)
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with the interpreter's threads
        child = context.Process(target=_grid_in_child, args=(queue, kriging))
        child.start()
    after = queue.get(timeout=60)
    child.join(timeout=60)
    assert child.exitcode == 0
    np.testing.assert_array_equal(after[0], before[0])


def test_reach_coincident_and_missing_samples():
    points = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 0.0], [0.0, 1.0], [np.nan, 2.0], [5.0, 5.0]])
    values = np.array([1.0, 2.0, 4.0, 3.0, 9.0, np.nan])
    model = ("Exponential", MODELS["Exponential"])
    with pytest.warns(UserWarning) as caught:
        kriging = OrdinaryKriging(points, values, model, neighbours=2, max_distance=2.0)
    assert [type(w.message) for w in caught].count(CoincidentSamplesWarning) == 1
    assert len(caught) == 2  # one for the missing samples, one for the merge
    np.testing.assert_array_equal(kriging.values, [1.0, 3.0, 3.0])
    estimate, variance = kriging.predict([[1.0, 0.0], [10.0, 10.0]])
    assert estimate[0] == 3.0 and variance[0] == 0.0
    assert np.isnan(estimate[1]) and np.isnan(variance[1])


@pytest.mark.parametrize("neighbours", [None, 30])
def test_cross_validation_leaves_each_sample_out(neighbours):
    points, values, _ = samples(120)
    model = ("Exponential", MODELS["Exponential"])
    result = OrdinaryKriging(points, values, model, neighbours=neighbours).cross_validate()
    k = 119 if neighbours is None else neighbours
    for i in (0, 57, 119):
        others = np.delete(np.arange(120), i)
        nearest = others[np.argsort(((points[others] - points[i]) ** 2).sum(1))[:k]]
        expected = dense_kriging(points[nearest], values[nearest], points[i][None], model)
        np.testing.assert_allclose(
            [result.estimate[i], result.variance[i]], np.ravel(expected), rtol=1e-9
        )
    np.testing.assert_allclose(result.residuals, values - result.estimate)
    assert result.rmse == pytest.approx(np.sqrt(np.mean(result.residuals**2)))
    assert result.msse == pytest.approx(np.mean(result.residuals**2 / result.variance))


MODEL = ("Spherical", {"PSill": 1.0, "Range": 10.0, "Nugget": 0.0})
GOOD = (np.random.default_rng(0).uniform(0, 10, (20, 2)), np.arange(20.0))


@pytest.mark.parametrize(
    ("call", "error", "text"),
    [
        (lambda: OrdinaryKriging(GOOD[0], GOOD[1][:-1], MODEL), ValueError, "19 entries"),
        (lambda: OrdinaryKriging(GOOD[0][:1], GOOD[1][:1], MODEL), ValueError, "at least 2"),
        (lambda: OrdinaryKriging(GOOD[0], GOOD[1], ("Cubic", {})), SpmisError, "'Cubic'"),
        (lambda: OrdinaryKriging(*GOOD, ("Spherical", {"PSill": 1.0})), ParameterError, "Range"),
        (lambda: OrdinaryKriging(*GOOD, "Spherical"), TypeError, "VariogramModel"),
        (lambda: OrdinaryKriging(*GOOD, MODEL, neighbours=0), ValueError, "at least 1"),
        (lambda: OrdinaryKriging(*GOOD, MODEL, max_distance=-1), ValueError, "positive"),
        (lambda: OrdinaryKriging(*GOOD, MODEL).grid((0, 0, 10, 10), 0), ValueError, "positive"),
        (lambda: OrdinaryKriging(*GOOD, MODEL).grid((10, 0, 0, 10), 1), ValueError, "xmin < xmax"),
        (lambda: OrdinaryKriging(*GOOD, MODEL).grid((0, 0, 10), 1), ValueError, "four numbers"),
        (lambda: OrdinaryKriging(*GOOD, MODEL).predict([[1, 2, 3]]), ValueError, "2 columns"),
        (lambda: OrdinaryKriging(*GOOD, MODEL, anisotropy=(0, 10)), ValueError, "positive"),
        (
            lambda: OrdinaryKriging(*GOOD, MODEL, geographic=True, anisotropy=(2, 10)),
            ValueError,
            "projected",
        ),
    ],
)
def test_bad_input_gives_a_clear_error(call, error, text):
    with pytest.raises(error, match=text):
        call()


PREPARED = {
    "coordinates": GOOD[0],
    "values": GOOD[1],
    "model": "Spherical",
    "parameters": np.array([1.0, 10.0, 0.0]),
    "neighbours": 4,
    "max_distance": np.inf,
    "transform": None,
    "center": None,
    "geographic": False,
}
ENGINE = _kriging.prepare(**PREPARED)
WHOLE = (0.0, 0.0, 1.0, 1.0, 0, 0, 3, 3, 0)


def prepare(**changes):
    return lambda: _kriging.prepare(**{**PREPARED, **changes})


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (prepare(parameters=np.ones(2)), ValueError),
        (prepare(model="Cubic"), ValueError),
        (prepare(coordinates=GOOD[0].T.copy()), ValueError),
        (prepare(coordinates=np.full((20, 2), np.nan)), ValueError),
        (prepare(coordinates=GOOD[0][:, :1].copy()), ValueError),
        (prepare(coordinates=GOOD[0][:0].copy(), values=GOOD[1][:0].copy()), ValueError),
        (prepare(neighbours=-1), ValueError),
        (prepare(neighbours=2**70), ValueError),
        (prepare(max_distance=np.nan), ValueError),
        (prepare(transform=np.eye(3), center=np.zeros(3)), ValueError),
        (prepare(values=GOOD[1].astype(np.float32)), TypeError),
        (prepare(geographic=1), TypeError),
        (lambda: _kriging.predict(object(), GOOD[0], False, 0), TypeError),
        (lambda: _kriging.predict(ENGINE, GOOD[0][:, :1].copy(), False, 0), ValueError),
        (lambda: _kriging.predict(ENGINE, GOOD[0][:3], True, 0), ValueError),
        (lambda: _kriging.grid(ENGINE, 0.0, 0.0, 0.0, *WHOLE[3:]), ValueError),
        (lambda: _kriging.grid(ENGINE, np.inf, *WHOLE[1:]), ValueError),
        (lambda: _kriging.grid(ENGINE, *WHOLE[:6], 2**40, 2**40, 0), ValueError),
        (lambda: _kriging.grid(ENGINE, *WHOLE[:8], True), TypeError),
    ],
)
def test_the_kernel_refuses_bad_arguments(call, error):
    with pytest.raises(error):
        call()


def test_the_kernel_survives_non_finite_data():
    values = GOOD[1].copy()
    values[3] = np.nan
    engine = _kriging.prepare(
        GOOD[0], values, "Gaussian", np.array([1.0, 1e-300, 0.0]), 5, np.inf, None, None, False
    )
    targets = np.array([[np.nan, 1.0], [np.inf, 0.0], [5.0, 5.0], [1e308, -1e308]])
    estimate, variance, _ = _kriging.predict(engine, targets, False, 0)
    assert np.isnan(estimate[:2]).all() and estimate.shape == (4,)
    _kriging.grid(engine, -1e308, 1e308, 1e307, 1e307, 0, 0, 4, 4, 0)


@pytest.mark.parametrize("neighbours", [None, 10])
def test_systems_that_are_not_positive_definite_fall_back_to_lu(neighbours):
    # A power above 2 is no valid variogram: its increments' covariance is indefinite.
    points, values, targets = samples(60)
    model = ("Power", {"Scale": 0.01, "Exponent": 2.5, "Nugget": 0.0})
    kriging = OrdinaryKriging(points, values, model, neighbours=neighbours)
    with pytest.warns(UnstableSystemWarning, match="solved by LU"):
        estimate, variance = kriging.predict(targets[:5])
    if neighbours is None:
        expected = dense_kriging(points, values, targets[:5], model)
        np.testing.assert_allclose(estimate, expected[0], rtol=1e-7)
        np.testing.assert_allclose(variance, np.maximum(expected[1], 0.0), rtol=1e-7, atol=1e-9)
