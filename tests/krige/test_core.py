"""Behaviour of the native kriging core: module frame, anisotropy, variogram set-up."""

import os
import subprocess
import sys
import types

import numpy as np
import pytest
from scipy.spatial.distance import cdist, pdist
from scipy.spatial.transform import Rotation

# Any ImportError skips: a build without the module function must not break collection.
core = pytest.importorskip("orv._algos.spmis.krige.core", exc_type=ImportError)

from orv import error  # noqa: E402
from orv._algos.spmis import krige  # noqa: E402

from . import reference  # noqa: E402

SILL_RANGE_NUGGET = ["PSill", "Range", "Nugget"]
TABLE = {"Linear": ["Slope", "Nugget"], "Power": ["Scale", "Exponent", "Nugget"]}
TABLE |= {
    name: SILL_RANGE_NUGGET for name in ("Gaussian", "Spherical", "Exponential", "HoleEffect")
}
PARAMETERS_MESSAGE = "Variogram parameters must be None or a dictionary!"
TWO_POINTS = [[0.0, 0.0], [1.0, 1.0]]


def fake_spatial(pdist_function):
    return types.SimpleNamespace(distance=types.SimpleNamespace(pdist=pdist_function))


@pytest.fixture
def recorded_errors(monkeypatch):
    """Rebinds the core's `error` to subclasses that keep the arguments they were built with."""

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.call_args, self.call_kwargs = args, kwargs

    names = ("SpmisError", "ParameterError", "ORVError")
    classes = {name: type(name, (Recorded, getattr(error, name)), {}) for name in names}
    monkeypatch.setattr(core, "error", types.SimpleNamespace(**classes))
    return types.SimpleNamespace(**classes)


@pytest.fixture
def rebind(monkeypatch):
    """Rebinds a service on the core and on the numpy reference alike."""

    def rebind_both(name, service):
        for module in (core, reference):
            monkeypatch.setattr(module, name, service)

    return rebind_both


@pytest.fixture
def euclidean_service(rebind):
    """Makes the geographic path measure plain Euclidean distances."""
    rebind("great_circle_distance", cdist)


# ---------------------------------------------------------------- module frame


def test_module_frame():
    assert core.__doc__ == "\n空间插值！\n"
    assert core.DEFAULT_PARAMETERS == TABLE and list(core.DEFAULT_PARAMETERS) == list(TABLE)
    assert all(type(names) is list for names in core.DEFAULT_PARAMETERS.values())
    docs = {
        "adjust_anisotropy": "调整数据坐标以考虑各向异性。",
        "init_variogram_parameters": "获取半变异函数参数",
        "init_variogram_model": "初始化半变异模型其他参数",
    }
    for name, doc in docs.items():
        function = getattr(core, name)
        assert (function.__doc__, function.__module__) == (doc, "orv._algos.spmis.krige.core")
    for name in krige.__all__:
        assert getattr(core, name) is getattr(krige, name), name


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {"model": "Linear"}),
        (("Linear", None, None), {}),
        (("Linear",), {"model": "Linear", "parameters": None}),
        (("Linear", None), {"extra": 1}),
    ],
)
def test_wrong_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        core.init_variogram_parameters(*args, **kwargs)


def test_all_parameters_accept_keywords():
    model, _, pars = core.init_variogram_parameters(
        parameters={"Slope": 1, "Nugget": 2}, model="Linear"
    )
    assert (model, pars) == ("Linear", [1, 2])
    moved = core.adjust_anisotropy(angle=0, scale=1, center=[0, 0], points=[[1.0, 2.0]])
    np.testing.assert_array_equal(moved, [[1.0, 2.0]])
    lags, _ = core.init_variogram_model(
        gtype="PROJCS", n_lags=1, values=np.array([0.0, 1.0]), points=[[0.0, 0.0], [3.0, 4.0]]
    )
    np.testing.assert_array_equal(lags, [5.0])


def test_import_fails_when_a_service_is_missing():
    code = (
        "import orv._algos.spmis.krige as k\ndel k.init_points\nimport orv._algos.spmis.krige.core"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
    assert result.returncode != 0
    assert "ImportError: cannot import name" in result.stderr and "init_points" in result.stderr


# ---------------------------------------------------------------- adjust_anisotropy


@pytest.mark.parametrize(
    ("points", "center", "scale", "angle", "expected"),
    [
        ([[1.0, 0.0]], [0.0, 0.0], 1, 90, [[0.0, -1.0]]),
        ([[1, 1], [2, 3], [0, -1]], [1.0, 1.0], 2, 0, [[1, 1], [2, 5], [0, -3]]),
        ([[0.0, 1.0, 0.0]], [0.0, 0.0, 0.0], [1, 1], [90, 90, 0], [[1.0, 0.0, 0.0]]),
        ([[1.0, 1.0, 1.0]], [0.0, 0.0, 0.0], [2, 3], [0, 0, 0], [[1.0, 2.0, 3.0]]),
        ([[1.0, 1.0, 1.0]], [0.0, 0.0, 0.0], 2, 0, [[1.0, 2.0, 2.0]]),
    ],
)
def test_adjust_anisotropy_examples(points, center, scale, angle, expected):
    result = core.adjust_anisotropy(points, center, scale, angle)
    assert result.shape == np.shape(expected)
    np.testing.assert_allclose(result, expected, atol=1e-12)


@pytest.mark.parametrize(
    ("short", "full"),
    [
        ((2.0, 30.0), ([2.0, 2.0], [30.0, 30.0, 30.0])),  # one value serves every axis
        (([2.0], [30.0, 40.0]), ([2.0, 2.0], [30.0, 40.0, 40.0])),  # the last one repeats
        (([2.0, 3.0, 9.0, 9.0], [10.0, 20.0, 30.0, 99.0]), ([2.0, 3.0], [10.0, 20.0, 30.0])),
    ],
)
def test_adjust_anisotropy_pads_with_last_value_and_ignores_surplus(short, full):
    points, center = np.random.default_rng(0).normal(size=(5, 3)), [0.5, -1.0, 2.0]
    np.testing.assert_array_equal(
        core.adjust_anisotropy(points, center, *short),
        core.adjust_anisotropy(points, center, *full),
    )


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("columns", [2, 3])
def test_adjust_anisotropy_is_centre_plus_stretch_rotation(columns, seed):
    rng = np.random.default_rng(seed)
    points, center = rng.normal(size=(20, columns)), rng.normal(size=columns)
    scale, angles = rng.uniform(0.2, 5.0, columns - 1), rng.uniform(-180.0, 180.0, columns)
    # Extrinsic x, then y, then z, each by the negated angle; in the plane only about z.
    axes = "z" if columns == 2 else "xyz"
    rotation = Rotation.from_euler(axes, -angles[: len(axes)], degrees=True).as_matrix()
    # Older SciPy returns a stack of one matrix for a single axis given as an array.
    rotation = rotation.reshape(3, 3)[:columns, :columns]
    expected = (np.diag([1.0, *scale]) @ rotation @ (points - center).T).T + center
    before = points.copy()
    result = core.adjust_anisotropy(points, center, scale, angles)
    np.testing.assert_allclose(result, expected, atol=1e-12)
    # No rotation or stretch about the origin is exact, and the input is never written.
    identity = core.adjust_anisotropy(points, np.zeros(columns), 1, 0)
    assert identity is not points
    np.testing.assert_array_equal(identity, before)
    np.testing.assert_array_equal(points, before)


@pytest.mark.parametrize(
    ("points", "center", "scale", "angle", "raised", "match"),
    [
        (np.ones((3, 1)), np.zeros(1), 1, 0, UnboundLocalError, "stretch"),
        (np.ones((3, 4)), np.zeros(4), 1, 0, UnboundLocalError, "stretch"),
        (np.ones((3, 2)), [0.0, 0.0, 0.0, 0.0], 1, 0, ValueError, None),  # numpy's own errors
        (np.ones((3, 2)), [0.0, 0.0], [], 0, ValueError, None),
        (np.ones((3, 2)), [0.0, 0.0], 1, [], ValueError, None),
    ],
    ids=["1-column", "4-columns", "long-center", "no-scale", "no-angle"],
)
def test_adjust_anisotropy_failures(points, center, scale, angle, raised, match):
    with pytest.raises(raised, match=match):
        core.adjust_anisotropy(points, center, scale, angle)


def test_adjust_anisotropy_uses_rebound_services_in_order(monkeypatch):
    calls = []

    def recording(name, service):
        return lambda value: calls.append((name, value)) or service(value)

    monkeypatch.setattr(core, "init_points", recording("points", krige.init_points))
    monkeypatch.setattr(core, "to_numeric_array", recording("numeric", krige.to_numeric_array))
    args = ([[1.0, 2.0]], (0.0, 0.0), 3.0, 45.0)
    core.adjust_anisotropy(*args)
    assert calls == list(zip(["points", "numeric", "numeric", "numeric"], args, strict=True))


# ---------------------------------------------------------------- init_variogram_parameters


def test_parameters_none_or_dict_in_table_order():
    model = "Linear"
    result = core.init_variogram_parameters(model, None)
    assert result == (model, krige.variogram.Linear, None) and result[0] is model
    given = {"Nugget": 0.1, "Range": 500, "PSill": 2, "Colour": "blue"}  # extra keys ignored
    model, fun, pars = core.init_variogram_parameters("Gaussian", given)
    assert (model, fun, pars) == ("Gaussian", krige.variogram.Gaussian, [2, 500, 0.1])
    assert type(pars) is list


@pytest.mark.parametrize(
    ("model", "parameters", "raised", "errors"),
    [
        ("gaussian", None, "SpmisError", "gaussian"),
        ("Kriging", [1, 2], "SpmisError", "Kriging"),
        ("Power", {"Scale": 1}, "ParameterError", ["Exponent", "Nugget"]),
        ("Linear", {}, "ParameterError", ["Slope", "Nugget"]),
        ("Spherical", [1, 2, 3], "ORVError", None),
        ("Spherical", (1, 2, 3), "ORVError", None),
    ],
)
def test_parameters_errors_are_built_as_documented(
    recorded_errors, model, parameters, raised, errors
):
    with pytest.raises(getattr(recorded_errors, raised)) as info:
        core.init_variogram_parameters(model, parameters)
    call = info.value.call_args, info.value.call_kwargs
    if raised == "ORVError":
        assert call == ((PARAMETERS_MESSAGE,), {})
    else:  # unknown models list the whole table, missing parameters the model's own list
        choices = core.DEFAULT_PARAMETERS
        choices = choices[model] if raised == "ParameterError" else choices
        assert call == ((), {"errors": errors, "all_sels": choices})
        assert call[1]["all_sels"] is choices


def test_parameters_read_through_the_dicts_own_methods():
    class Hiding(dict):
        def keys(self):
            return [key for key in super().keys() if key != "Nugget"]

    with pytest.raises(error.ParameterError) as info:
        core.init_variogram_parameters("Exponential", Hiding(PSill=1, Range=2, Nugget=3))
    assert info.value.errors == ["Nugget"]

    class Doubling(dict):
        def __getitem__(self, key):
            return 2 * super().__getitem__(key)

    assert core.init_variogram_parameters("Linear", Doubling(Slope=1, Nugget=5))[2] == [2, 10]


def test_parameters_see_names_rebound_on_the_module(monkeypatch):
    def custom(parameters, distances):
        return distances

    with pytest.raises(TypeError):  # an unhashable model
        core.init_variogram_parameters(["Linear"], None)
    monkeypatch.setattr(core, "DEFAULT_PARAMETERS", {"Custom": ["A", "B"]})
    monkeypatch.setattr(core, "variogram", types.SimpleNamespace(Custom=custom))
    assert core.init_variogram_parameters("Custom", {"B": 2, "A": 1}) == ("Custom", custom, [1, 2])
    with pytest.raises(error.SpmisError):
        core.init_variogram_parameters("Linear", None)
    monkeypatch.setattr(core, "DEFAULT_PARAMETERS", TABLE)
    with pytest.raises(AttributeError):  # a model without its function
        core.init_variogram_parameters("Linear", None)


# ---------------------------------------------------------------- init_variogram_model


def assert_matches_reference(result, *args):
    expected = reference.init_variogram_model(*args)
    for got, want in zip(result, expected, strict=True):
        assert isinstance(got, np.ndarray) and got.dtype == np.float64
        assert got.shape == want.shape
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


def random_case(seed, kind, n):
    rng = np.random.default_rng(seed)
    if kind == "geographic":
        points = np.column_stack([rng.uniform(-40, 40, n), rng.uniform(-60, 60, n)])
    elif kind == "ties":
        # Integer positions 0..20 with both ends present: with the class counts used below
        # the edges are whole numbers, so many distances fall exactly on an edge.
        points = rng.integers(0, 21, size=(n, 1)).astype(float)
        points[:2, 0] = [0.0, 20.0]
    else:
        columns = int(rng.integers(1, 5))
        points = rng.normal(scale=10.0 ** rng.uniform(-3, 5), size=(n, columns))
    values = rng.normal(size=n) * 10.0 ** rng.uniform(-2, 3)
    if seed % 3 == 0:
        values[rng.integers(n)] = np.nan
    return points, values


@pytest.mark.parametrize("n_lags", [1, 4, 20, 300])
@pytest.mark.parametrize(
    ("kind", "gtype", "n"),
    [
        ("projected", "PROJCS", 60),
        ("ties", "PROJCS", 40),
        ("ties", "GEOGCS-euclidean", 40),
        ("geographic", "GEOGCS", 50),
        ("projected", "GEOGCS-euclidean", 45),
        ("projected", "PROJCS", 700),  # a quarter of a million pairs
    ],
)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_model_matches_numpy_reference(rebind, seed, kind, gtype, n, n_lags):
    points, values = random_case(seed, kind, n)
    if gtype == "GEOGCS-euclidean":
        rebind("great_circle_distance", cdist)
        gtype = "GEOGCS"
    result = core.init_variogram_model(points, values, n_lags, gtype)
    assert_matches_reference(result, points, values, n_lags, gtype)
    assert len(result[0]) <= n_lags
    assert np.all(np.diff(result[0]) > 0)


@pytest.mark.parametrize(
    ("d_min", "d_max", "n_lags"), [(0.1, 0.7, 3), (1.3, 1e3 / 7, 7), (2.0 / 3, 50.0, 9)]
)
@pytest.mark.parametrize("gtype", ["GEOGCS", "PROJCS"])
def test_model_distances_on_and_beside_the_edges(rebind, d_min, d_max, n_lags, gtype):
    # Distances exactly on each class edge and one double either side: any other way of
    # computing the edges, or of comparing with them, moves some of them.
    edges = d_min + (d_max - d_min) / n_lags * np.arange(n_lags)
    beside = [np.nextafter(edges, -np.inf), np.nextafter(edges, np.inf)]
    near = np.concatenate([edges, *beside, [d_max, np.nextafter(d_max, -np.inf)]])
    near = near[(near >= d_min) & (near <= d_max)]
    n = 10
    d, matrix = np.resize(near, n * (n - 1) // 2), np.zeros((n, n))
    matrix[np.tril_indices(n, -1)] = d
    values = np.random.default_rng(n_lags).normal(size=n)
    rebind("great_circle_distance", lambda a, b: matrix.copy())

    def crafted_pdist(x, *, metric):  # the metric by keyword only: the core must name it
        return d.copy() if metric == "euclidean" else pdist(x, metric)

    rebind("spatial", fake_spatial(crafted_pdist))
    result = core.init_variogram_model(np.zeros((n, 2)), values, n_lags, gtype)
    assert_matches_reference(result, np.zeros((n, 2)), values, n_lags, gtype)


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize("unit", [1.0, 1e14])
def test_model_collinear_example(euclidean_service, gtype, unit):
    # At 3e14 the spacing of doubles is 0.0625, so d_max + 0.001 == d_max; the last edge must
    # still lie above the largest distance.
    points = np.array([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]]) * unit
    lags, semivariance = core.init_variogram_model(points, np.array([0.0, 1.0, 3.0]), 2, gtype)
    np.testing.assert_allclose(lags, np.array([1.0, 2.5]) * unit, rtol=1e-15)
    np.testing.assert_allclose(semivariance, [0.5, 3.25], rtol=1e-15)


@pytest.mark.parametrize("n_lags", [1, 5])
@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_all_distances_equal(euclidean_service, gtype, n_lags):
    # The corners of a regular simplex are all sqrt(2) apart.
    values = np.array([0.0, 1.0, 3.0, 7.0])
    lags, semivariance = core.init_variogram_model(np.eye(4), values, n_lags, gtype)
    np.testing.assert_allclose(lags, [np.sqrt(2.0)], rtol=1e-15)
    expected = np.mean(0.5 * pdist(values[:, None], "sqeuclidean"))
    np.testing.assert_allclose(semivariance, [expected], rtol=1e-14)


def test_model_nan_value_removes_only_the_classes_it_touches():
    # Points 0..4 on a line plus one at 2.5 whose value is missing: its distances (0.5, 1.5,
    # 2.5) fall in the classes [0.5, 1), [1.5, 2), [2.5, 3), which disappear; the classes of
    # distances 1, 2, 3 and 4 stay, with their own pairs only.
    points = np.array([[0.0], [1.0], [2.0], [3.0], [4.0], [2.5]])
    values = np.array([1.0, 4.0, 2.0, 8.0, 5.0, np.nan])
    lags, semivariance = core.init_variogram_model(points, values, 7, "PROJCS")
    np.testing.assert_allclose(lags, [1.0, 2.0, 3.0, 4.0], rtol=1e-15)
    line = values[:5]
    expected = [np.mean(0.5 * (line[step:] - line[:-step]) ** 2) for step in (1, 2, 3, 4)]
    np.testing.assert_allclose(semivariance, expected, rtol=1e-14)


@pytest.mark.parametrize(
    ("row", "column", "value", "emptied"),
    [
        (1, 0, np.nan, True),  # below the diagonal: every edge becomes NaN
        (2, 1, np.inf, True),  # the class width becomes infinite
        (0, 1, np.nan, False),  # above the diagonal: never read
        (0, 2, -5.0, False),
        (1, 1, np.nan, False),  # the diagonal is not read either
    ],
)
def test_model_reads_only_below_the_diagonal(monkeypatch, row, column, value, emptied):
    points, values = random_case(7, "projected", 12)

    def distorted(points_a, points_b):
        matrix = cdist(points_a, points_b)
        matrix[row, column] = value
        return matrix

    monkeypatch.setattr(core, "great_circle_distance", distorted)
    result = core.init_variogram_model(points, values, 6, "GEOGCS")
    if emptied:
        assert result[0].shape == (0,) and result[1].shape == (0,)
    else:
        assert_matches_reference(result, points, values, 6, "PROJCS")


@pytest.mark.parametrize("gtype", ["projcs", "Geogcs", "GEOGCS ", "UTM", None, b"PROJCS"])
def test_model_unknown_gtype_after_converting_points(monkeypatch, recorded_errors, gtype):
    converted = []
    monkeypatch.setattr(core, "init_points", lambda p: converted.append(p) or krige.init_points(p))
    with pytest.raises(recorded_errors.SpmisError) as info:
        core.init_variogram_model(TWO_POINTS, np.zeros(2), 3, gtype)
    assert (info.value.call_args, info.value.call_kwargs) == ((), {"errors": gtype})
    assert converted == [TWO_POINTS]


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_uses_rebound_point_and_distance_services(monkeypatch, gtype):
    points, values = random_case(9, "projected", 20)
    doubled, calls = 2.0 * krige.init_points(points), []
    monkeypatch.setattr(core, "init_points", lambda raw: doubled)
    monkeypatch.setattr(
        core, "great_circle_distance", lambda a, b: calls.append((a, b)) or cdist(a, b)
    )
    result = core.init_variogram_model(points, values, 5, gtype)
    assert_matches_reference(result, doubled, values, 5, "PROJCS")
    # The geographic path measures the converted points, once.
    assert [(a is doubled, b is doubled) for a, b in calls] == [(True, True)] * (gtype == "GEOGCS")
