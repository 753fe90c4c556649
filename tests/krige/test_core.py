"""Behaviour of the native kriging core: module frame, anisotropy, variogram set-up."""

import math
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

TABLE = {
    "Linear": ["Slope", "Nugget"],
    "Power": ["Scale", "Exponent", "Nugget"],
    "Gaussian": ["PSill", "Range", "Nugget"],
    "Spherical": ["PSill", "Range", "Nugget"],
    "Exponential": ["PSill", "Range", "Nugget"],
    "HoleEffect": ["PSill", "Range", "Nugget"],
}
SERVICES = [
    "np",
    "error",
    "init_points",
    "to_numeric_array",
    "spatial",
    "great_circle_distance",
    "variogram",
]
PARAMETERS_MESSAGE = "Variogram parameters must be None or a dictionary!"


def euclidean_matrix(points_a, points_b):
    return cdist(points_a, points_b)


@pytest.fixture
def recorded_errors(monkeypatch):
    """Rebinds the core's `error` to classes that keep the arguments they were built with."""

    class Recorded(Exception):
        def __init__(self, *args, **kwargs):
            super().__init__(*args)
            self.call_args = args
            self.call_kwargs = kwargs

    fake = types.SimpleNamespace(
        **{
            name: type(name, (Recorded,), {})
            for name in ("SpmisError", "ParameterError", "ORVError")
        }
    )
    monkeypatch.setattr(core, "error", fake)
    return fake


def run_python(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)


# ---------------------------------------------------------------- module frame


def test_module_doc_and_parameter_table():
    assert core.__doc__ == "\n空间插值！\n"
    assert core.DEFAULT_PARAMETERS == TABLE
    assert list(core.DEFAULT_PARAMETERS) == list(TABLE)
    assert all(type(names) is list for names in core.DEFAULT_PARAMETERS.values())


@pytest.mark.parametrize(
    ("name", "doc"),
    [
        ("adjust_anisotropy", "调整数据坐标以考虑各向异性。"),
        ("init_variogram_parameters", "获取半变异函数参数"),
        ("init_variogram_model", "初始化半变异模型其他参数"),
    ],
)
def test_function_docstring_and_home_module(name, doc):
    function = getattr(core, name)
    assert function.__doc__ == doc
    assert function.__module__ == "orv._algos.spmis.krige.core"


@pytest.mark.parametrize("name", SERVICES)
def test_services_are_the_parent_packages(name):
    assert getattr(core, name) is getattr(krige, name)


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
    result = run_python(
        "import orv._algos.spmis.krige as k\n"
        "del k.init_points\n"
        "import orv._algos.spmis.krige.core\n"
    )
    assert result.returncode != 0
    assert "ImportError" in result.stderr
    assert "cannot import name" in result.stderr and "init_points" in result.stderr


def test_second_import_returns_the_same_module():
    import importlib

    assert importlib.import_module("orv._algos.spmis.krige.core") is core


# ---------------------------------------------------------------- adjust_anisotropy


@pytest.mark.parametrize(
    ("points", "center", "scale", "angle", "expected"),
    [
        ([[1.0, 0.0]], [0.0, 0.0], 1, 90, [[0.0, -1.0]]),
        (
            [[1.0, 1.0], [2.0, 3.0], [0.0, -1.0]],
            [1.0, 1.0],
            2,
            0,
            [[1.0, 1.0], [2.0, 5.0], [0.0, -3.0]],
        ),
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
    points = np.random.default_rng(0).normal(size=(5, 3))
    center = [0.5, -1.0, 2.0]
    np.testing.assert_array_equal(
        core.adjust_anisotropy(points, center, *short),
        core.adjust_anisotropy(points, center, *full),
    )


@pytest.mark.parametrize("seed", range(4))
def test_adjust_anisotropy_is_centre_plus_stretch_rotation(seed):
    rng = np.random.default_rng(seed)
    points3, center3 = rng.normal(size=(20, 3)), rng.normal(size=3)
    scale, angles = rng.uniform(0.2, 5.0, 2), rng.uniform(-180.0, 180.0, 3)
    # Extrinsic x, then y, then z, each by the negated angle.
    rotation = Rotation.from_euler("xyz", -angles, degrees=True).as_matrix()
    stretch = np.diag([1.0, *scale])
    expected = (stretch @ rotation @ (points3 - center3).T).T + center3
    np.testing.assert_allclose(
        core.adjust_anisotropy(points3, center3, scale, angles), expected, atol=1e-12
    )

    points2, center2 = rng.normal(size=(20, 2)), rng.normal(size=2)
    theta = np.radians(angles[0])
    rotation2 = np.array([[np.cos(theta), np.sin(theta)], [-np.sin(theta), np.cos(theta)]])
    expected2 = (np.diag([1.0, scale[0]]) @ rotation2 @ (points2 - center2).T).T + center2
    np.testing.assert_allclose(
        core.adjust_anisotropy(points2, center2, scale[0], angles[0]), expected2, atol=1e-12
    )


@pytest.mark.parametrize("columns", [2, 3])
def test_adjust_anisotropy_identity_at_origin_is_exact(columns):
    points = np.random.default_rng(1).normal(size=(7, columns))
    before = points.copy()
    result = core.adjust_anisotropy(points, np.zeros(columns), 1, 0)
    np.testing.assert_array_equal(result, points)
    assert result is not points
    np.testing.assert_array_equal(points, before)


@pytest.mark.parametrize("columns", [1, 4])
def test_adjust_anisotropy_other_column_counts_fail_on_stretch(columns):
    with pytest.raises(UnboundLocalError, match="stretch"):
        core.adjust_anisotropy(np.ones((3, columns)), np.zeros(columns), 1, 0)


@pytest.mark.parametrize(
    ("center", "scale", "angle"),
    [([0.0, 0.0, 0.0, 0.0], 1, 0), ([0.0, 0.0], [], 0), ([0.0, 0.0], 1, [])],
)
def test_adjust_anisotropy_numpy_errors_propagate(center, scale, angle):
    with pytest.raises(ValueError):
        core.adjust_anisotropy(np.ones((3, 2)), center, scale, angle)


def test_adjust_anisotropy_uses_rebound_services_in_order(monkeypatch):
    calls = []

    def recording(name, service):
        def wrapper(value):
            calls.append((name, value))
            return service(value)

        return wrapper

    monkeypatch.setattr(core, "init_points", recording("points", krige.init_points))
    monkeypatch.setattr(core, "to_numeric_array", recording("numeric", krige.to_numeric_array))
    core.adjust_anisotropy([[1.0, 2.0]], (0.0, 0.0), 3.0, 45.0)
    assert calls == [
        ("points", [[1.0, 2.0]]),
        ("numeric", (0.0, 0.0)),
        ("numeric", 3.0),
        ("numeric", 45.0),
    ]


# ---------------------------------------------------------------- init_variogram_parameters


def test_parameters_none_gives_model_function_and_none():
    model = "Linear"
    result = core.init_variogram_parameters(model, None)
    assert result == (model, krige.variogram.Linear, None)
    assert result[0] is model


def test_parameters_ordered_by_table_and_extra_keys_ignored():
    given = {"Nugget": 0.1, "Range": 500, "PSill": 2, "Colour": "blue"}
    model, fun, pars = core.init_variogram_parameters("Gaussian", given)
    assert (model, fun, pars) == ("Gaussian", krige.variogram.Gaussian, [2, 500, 0.1])
    assert type(pars) is list


@pytest.mark.parametrize(
    ("model", "parameters", "raised", "args", "kwargs"),
    [
        ("gaussian", None, "SpmisError", (), {"errors": "gaussian", "all_sels": TABLE}),
        ("Kriging", [1, 2], "SpmisError", (), {"errors": "Kriging", "all_sels": TABLE}),
        (
            "Power",
            {"Scale": 1},
            "ParameterError",
            (),
            {"errors": ["Exponent", "Nugget"], "all_sels": ["Scale", "Exponent", "Nugget"]},
        ),
        (
            "Linear",
            {},
            "ParameterError",
            (),
            {"errors": ["Slope", "Nugget"], "all_sels": ["Slope", "Nugget"]},
        ),
        ("Spherical", [1, 2, 3], "ORVError", (PARAMETERS_MESSAGE,), {}),
        ("Spherical", (1, 2, 3), "ORVError", (PARAMETERS_MESSAGE,), {}),
    ],
)
def test_parameters_errors_are_built_as_documented(
    recorded_errors, model, parameters, raised, args, kwargs
):
    with pytest.raises(getattr(recorded_errors, raised)) as info:
        core.init_variogram_parameters(model, parameters)
    assert info.value.call_args == args
    assert info.value.call_kwargs == kwargs
    if "all_sels" in kwargs and raised == "SpmisError":
        assert info.value.call_kwargs["all_sels"] is core.DEFAULT_PARAMETERS
    if raised == "ParameterError":
        assert info.value.call_kwargs["all_sels"] is core.DEFAULT_PARAMETERS[model]


@pytest.mark.parametrize(
    ("model", "parameters", "raised"),
    [
        ("LINEAR", None, error.SpmisError),
        ("Power", {"Scale": 1}, error.ParameterError),
        ("Linear", ["Slope", "Nugget"], error.ORVError),
    ],
)
def test_parameters_raise_the_package_errors(model, parameters, raised):
    with pytest.raises(raised):
        core.init_variogram_parameters(model, parameters)


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

    monkeypatch.setattr(core, "DEFAULT_PARAMETERS", {"Custom": ["A", "B"]})
    monkeypatch.setattr(core, "variogram", types.SimpleNamespace(Custom=custom))
    assert core.init_variogram_parameters("Custom", {"B": 2, "A": 1}) == ("Custom", custom, [1, 2])
    with pytest.raises(error.SpmisError):
        core.init_variogram_parameters("Linear", None)


def test_parameters_missing_model_function_and_unhashable_model(monkeypatch):
    with pytest.raises(TypeError):
        core.init_variogram_parameters(["Linear"], None)
    monkeypatch.setattr(core, "variogram", types.SimpleNamespace())
    with pytest.raises(AttributeError):
        core.init_variogram_parameters("Linear", None)


# ---------------------------------------------------------------- init_variogram_model


def oracle(points, values, n_lags, matrix=None):
    """Expected semivariogram, pair by pair: exact sums per class [edge k, edge k + 1)."""
    points = np.asarray(points, dtype=float)
    upper, lower = np.triu_indices(len(points), 1)
    d = pdist(points) if matrix is None else matrix[lower, upper]  # row > column
    g = 0.5 * (values[upper] - values[lower]) ** 2
    d_min, d_max = d.min(), d.max()
    width = (d_max - d_min) / n_lags
    edges = list(d_min + width * np.arange(n_lags))
    edges.append(max(d_max + 0.001, np.nextafter(d_max, np.inf)))
    lags, semivariance = [], []
    for low, high in zip(edges[:-1], edges[1:], strict=True):
        inside = (low <= d) & (d < high)
        count = int(inside.sum())
        if count and not math.isnan(mean_g := math.fsum(g[inside]) / count):
            lags.append(math.fsum(d[inside]) / count)
            semivariance.append(mean_g)
    return np.array(lags), np.array(semivariance)


def assert_same_semivariogram(result, expected):
    lags, semivariance = result
    assert isinstance(lags, np.ndarray) and isinstance(semivariance, np.ndarray)
    assert lags.dtype == np.float64 and semivariance.dtype == np.float64
    assert lags.shape == expected[0].shape and semivariance.shape == expected[1].shape
    np.testing.assert_allclose(lags, expected[0], rtol=1e-12, atol=0)
    np.testing.assert_allclose(semivariance, expected[1], rtol=1e-12, atol=0)


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
def test_model_matches_pairwise_oracle(monkeypatch, seed, kind, gtype, n, n_lags):
    points, values = random_case(seed, kind, n)
    matrix = None
    if gtype == "GEOGCS-euclidean":
        monkeypatch.setattr(core, "great_circle_distance", euclidean_matrix)
        gtype, matrix = "GEOGCS", euclidean_matrix(points, points)
    elif gtype == "GEOGCS":
        matrix = krige.great_circle_distance(points, points)
    result = core.init_variogram_model(points, values, n_lags, gtype)
    assert_same_semivariogram(result, oracle(points, values, n_lags, matrix))
    assert len(result[0]) <= n_lags
    assert np.all(np.diff(result[0]) > 0)


@pytest.mark.parametrize(
    ("d_min", "d_max", "n_lags"), [(0.1, 0.7, 3), (1.3, 1e3 / 7, 7), (2.0 / 3, 50.0, 9)]
)
@pytest.mark.parametrize("source", ["matrix", "pdist"])
def test_model_distances_on_and_beside_the_edges(monkeypatch, d_min, d_max, n_lags, source):
    # Distances placed exactly on each computed class edge and one double either side: any
    # other way of computing the edges, or of comparing with them, moves some of them.
    edges = d_min + (d_max - d_min) / n_lags * np.arange(n_lags)
    near = np.concatenate(
        [
            edges,
            np.nextafter(edges, -np.inf),
            np.nextafter(edges, np.inf),
            [d_max, np.nextafter(d_max, -np.inf)],
        ]
    )
    near = near[(near >= d_min) & (near <= d_max)]
    n = 10
    upper, lower = np.triu_indices(n, 1)
    d = np.resize(near, len(upper))
    matrix = np.zeros((n, n))
    matrix[lower, upper] = d
    values = np.random.default_rng(n_lags).normal(size=n)
    if source == "matrix":
        monkeypatch.setattr(core, "great_circle_distance", lambda a, b: matrix.copy())
        gtype = "GEOGCS"
    else:

        def crafted_pdist(array, metric):
            return d.copy() if metric == "euclidean" else pdist(array, metric=metric)

        fake = types.SimpleNamespace(distance=types.SimpleNamespace(pdist=crafted_pdist))
        monkeypatch.setattr(core, "spatial", fake)
        gtype = "PROJCS"
    result = core.init_variogram_model(np.zeros((n, 2)), values, n_lags, gtype)
    assert_same_semivariogram(result, oracle(np.zeros((n, 2)), values, n_lags, matrix))


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_collinear_example(monkeypatch, gtype):
    monkeypatch.setattr(core, "great_circle_distance", euclidean_matrix)
    points = [[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]]
    lags, semivariance = core.init_variogram_model(points, np.array([0.0, 1.0, 3.0]), 2, gtype)
    np.testing.assert_allclose(lags, [1.0, 2.5], rtol=1e-15)
    np.testing.assert_allclose(semivariance, [0.5, 3.25], rtol=1e-15)


def test_model_projected_equals_geographic_with_euclidean_service(monkeypatch):
    points, values = random_case(4, "projected", 80)
    projected = core.init_variogram_model(points, values, 15, "PROJCS")
    monkeypatch.setattr(core, "great_circle_distance", euclidean_matrix)
    assert_same_semivariogram(core.init_variogram_model(points, values, 15, "GEOGCS"), projected)


@pytest.mark.parametrize("n_lags", [1, 5])
def test_model_all_distances_equal(monkeypatch, n_lags):
    values = np.array([0.0, 1.0, 3.0, 7.0])
    expected_sv = np.mean(0.5 * pdist(values[:, None], "sqeuclidean"))
    # The corners of a regular simplex are all sqrt(2) apart.
    lags, semivariance = core.init_variogram_model(np.eye(4), values, n_lags, "PROJCS")
    np.testing.assert_allclose(lags, [np.sqrt(2.0)], rtol=1e-15)
    np.testing.assert_allclose(semivariance, [expected_sv], rtol=1e-14)
    monkeypatch.setattr(core, "great_circle_distance", lambda a, b: np.full((4, 4), 250.0))
    lags, semivariance = core.init_variogram_model(np.zeros((4, 2)), values, n_lags, "GEOGCS")
    np.testing.assert_allclose(lags, [250.0], rtol=1e-15)
    np.testing.assert_allclose(semivariance, [expected_sv], rtol=1e-14)


def test_model_single_class_is_the_mean_of_all_pairs():
    points, values = random_case(5, "projected", 30)
    values[:] = np.abs(values)
    lags, semivariance = core.init_variogram_model(points, values, 1, "PROJCS")
    np.testing.assert_allclose(lags, [np.mean(pdist(points))], rtol=1e-12)
    np.testing.assert_allclose(
        semivariance, [np.mean(0.5 * pdist(values[:, None]) ** 2)], rtol=1e-12
    )


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
    "values",
    [
        [0.0, np.inf, 1.0, 2.0, 4.0],  # classes with the point give inf, and are kept
        [np.inf, np.inf, 1.0, 2.0, 4.0],  # inf - inf is NaN: the class of pair (0, 1) goes
        [-np.inf, np.inf, 1.0, 2.0, 4.0],
    ],
)
def test_model_infinite_values(values):
    points = np.array([[0.0], [1.0], [2.0], [3.0], [5.0]])
    values = np.array(values)
    result = core.init_variogram_model(points, values, 4, "PROJCS")
    assert_same_semivariogram(result, oracle(points, values, 4))
    assert np.isinf(result[1]).any()


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
    values[:] = np.abs(values)

    def distorted(points_a, points_b):
        matrix = euclidean_matrix(points_a, points_b)
        matrix[row, column] = value
        return matrix

    monkeypatch.setattr(core, "great_circle_distance", distorted)
    lags, semivariance = core.init_variogram_model(points, values, 6, "GEOGCS")
    if emptied:
        assert lags.shape == (0,) and semivariance.shape == (0,)
    else:
        assert_same_semivariogram(
            (lags, semivariance), core.init_variogram_model(points, values, 6, "PROJCS")
        )


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_largest_pair_counted_where_adding_a_millimetre_is_lost(monkeypatch, gtype):
    # At 3e14 the spacing of doubles is 0.0625, so d_max + 0.001 == d_max; the last edge must
    # still lie above the largest distance.
    monkeypatch.setattr(core, "great_circle_distance", euclidean_matrix)
    points = np.array([[0.0, 0.0], [1e14, 0.0], [3e14, 0.0]])
    assert 3e14 + 0.001 == 3e14
    lags, semivariance = core.init_variogram_model(points, np.array([0.0, 1.0, 3.0]), 2, gtype)
    np.testing.assert_allclose(lags, [1e14, 2.5e14], rtol=1e-15)
    np.testing.assert_allclose(semivariance, [0.5, 3.25], rtol=1e-15)


@pytest.mark.parametrize("gtype", ["projcs", "Geogcs", "GEOGCS ", "UTM", None, b"PROJCS"])
def test_model_unknown_gtype_after_converting_points(monkeypatch, recorded_errors, gtype):
    converted = []

    def init_points(points):
        converted.append(points)
        return krige.init_points(points)

    monkeypatch.setattr(core, "init_points", init_points)
    with pytest.raises(recorded_errors.SpmisError) as info:
        core.init_variogram_model([[0.0, 0.0], [1.0, 1.0]], np.zeros(2), 3, gtype)
    assert info.value.call_args == ()
    assert info.value.call_kwargs == {"errors": gtype}
    assert converted == [[[0.0, 0.0], [1.0, 1.0]]]


def test_model_unknown_gtype_raises_package_error():
    with pytest.raises(error.SpmisError) as info:
        core.init_variogram_model([[0.0, 0.0], [1.0, 1.0]], np.zeros(2), 3, "projcs")
    assert info.value.errors == "projcs"


@pytest.mark.parametrize("count", [0, 1])
@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_needs_two_points(count, gtype):
    with pytest.raises(ValueError):
        core.init_variogram_model(np.zeros((count, 2)), np.zeros(count), 4, gtype)


@pytest.mark.parametrize(
    ("n_lags", "raised"), [(2.5, TypeError), (-1, ValueError), ("3", TypeError)]
)
def test_model_bad_class_counts_fail(n_lags, raised):
    with pytest.raises(raised):
        core.init_variogram_model(np.eye(3), np.arange(3.0), n_lags, "PROJCS")


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_model_zero_classes_gives_empty_result():
    lags, semivariance = core.init_variogram_model(np.eye(3), np.arange(3.0), 0, "PROJCS")
    assert lags.shape == (0,) and semivariance.shape == (0,)


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
def test_model_values_are_used_unconverted(gtype):
    # A list has no numpy indexing with a new axis.
    with pytest.raises(TypeError):
        core.init_variogram_model(np.eye(3)[:, :2], [0.0, 1.0, 2.0], 2, gtype)


def test_model_integer_values_match_float_values():
    points, _ = random_case(8, "projected", 25)
    values = np.random.default_rng(8).integers(-50, 50, 25)
    assert_same_semivariogram(
        core.init_variogram_model(points, values, 5, "PROJCS"),
        core.init_variogram_model(points, values.astype(float), 5, "PROJCS"),
    )


def test_model_uses_rebound_point_and_distance_services(monkeypatch):
    points, values = random_case(9, "projected", 20)
    points = points[:, :1] if points.shape[1] > 2 else points
    converted, distance_calls = [], []

    def doubled_points(raw):
        converted.append(2.0 * krige.init_points(raw))
        return converted[-1]

    def distances(points_a, points_b):
        distance_calls.append((points_a, points_b))
        return euclidean_matrix(points_a, points_b)

    expected = oracle(2.0 * points, values, 5)
    monkeypatch.setattr(core, "init_points", doubled_points)
    assert_same_semivariogram(core.init_variogram_model(points, values, 5, "PROJCS"), expected)
    monkeypatch.setattr(core, "great_circle_distance", distances)
    assert_same_semivariogram(core.init_variogram_model(points, values, 5, "GEOGCS"), expected)
    assert len(distance_calls) == 1
    assert distance_calls[0][0] is converted[-1] and distance_calls[0][1] is converted[-1]


def test_model_uses_rebound_pdist(monkeypatch):
    points, values = random_case(10, "projected", 20)
    calls = []

    def pdist_stretched(array, **kwargs):
        calls.append((array, kwargs))
        result = pdist(array, **kwargs)
        return 3.0 * result if kwargs["metric"] == "euclidean" else result

    fake = types.SimpleNamespace(distance=types.SimpleNamespace(pdist=pdist_stretched))
    monkeypatch.setattr(core, "spatial", fake)
    result = core.init_variogram_model(points, values, 6, "PROJCS")
    assert_same_semivariogram(result, oracle(3.0 * points, values, 6))
    assert [kwargs for _, kwargs in calls] == [{"metric": "euclidean"}, {"metric": "sqeuclidean"}]
    np.testing.assert_array_equal(calls[0][0], points)
    np.testing.assert_array_equal(calls[1][0], values[:, None])
