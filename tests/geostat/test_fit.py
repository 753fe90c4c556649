"""Variogram.fit and VariogramModel."""

import dataclasses
import pickle

import numpy as np
import pytest

import orv
from orv._algos.spmis.krige import core
from orv.geostat import VariogramModel

TRUE = {
    "Linear": {"Slope": 0.02, "Nugget": 0.1},
    "Power": {"Scale": 0.05, "Exponent": 1.2, "Nugget": 0.1},
    "Gaussian": {"PSill": 1.0, "Range": 40.0, "Nugget": 0.1},
    "Spherical": {"PSill": 1.0, "Range": 50.0, "Nugget": 0.1},
    "Exponential": {"PSill": 1.0, "Range": 60.0, "Nugget": 0.1},
    "HoleEffect": {"PSill": 1.0, "Range": 30.0, "Nugget": 0.1},
}


def field_variogram(model, n=400, realizations=40, seed=0):
    """The mean experimental variogram of simulated fields of ``model`` on fixed points.

    The field is simulated as the increments from a reference point, whose covariance
    gamma(x - x0) + gamma(y - x0) - gamma(x - y) holds for the intrinsic models (Linear,
    Power) as well; the nugget is independent noise.
    """
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, (n, 2))
    parameters = dict(TRUE[model], Nugget=0.0)
    gamma = VariogramModel(model, parameters)
    to_reference = np.linalg.norm(points - 50.0, axis=1)
    between = np.linalg.norm(points[:, None] - points[None], axis=-1)
    covariance = gamma(to_reference)[:, None] + gamma(to_reference)[None, :] - gamma(between)
    factor = np.linalg.cholesky(covariance + 1e-8 * np.eye(n))
    noise = np.sqrt(TRUE[model]["Nugget"])
    runs = [
        orv.variogram(
            points,
            factor @ rng.normal(size=n) + rng.normal(scale=noise, size=n),
            n_lags=15,
            max_distance=60.0,
        )
        for _ in range(realizations)
    ]
    mean = np.mean([run.semivariance for run in runs], axis=0)
    return dataclasses.replace(runs[0], semivariance=mean)


@pytest.mark.parametrize("model", TRUE)
def test_fit_recovers_the_fields_model(model):
    experimental = field_variogram(model)
    for fixed in (None, {"Nugget": TRUE[model]["Nugget"]}):
        fitted = experimental.fit(model, fixed=fixed)
        assert fitted.model == model and list(fitted.parameters) == core.DEFAULT_PARAMETERS[model]
        for name, value in fitted.parameters.items():
            if name == "Nugget":
                assert value == pytest.approx(0.1, abs=0.04 if fixed is None else 0.0)
            else:
                assert value == pytest.approx(TRUE[model][name], rel=0.12), name
        assert 0 < fitted.rmse < 0.05


@pytest.mark.parametrize("model", TRUE)
def test_auto_finds_the_exact_model_among_six(model):
    # Semivariances exactly on the model: the search must find its global minimum.
    truth = VariogramModel(model, TRUE[model])
    experimental = field_variogram("Spherical", realizations=1)
    exact = dataclasses.replace(experimental, semivariance=truth(experimental.lags))
    fitted = exact.fit("auto", weights="cressie")
    assert fitted.model == model
    for name, value in fitted.parameters.items():
        assert value == pytest.approx(TRUE[model][name], rel=1e-5, abs=1e-7), name


def test_a_model_is_an_immutable_value_the_core_accepts():
    model = VariogramModel("Gaussian", {"Nugget": 0.1, "Range": 500, "PSill": 2})
    name, function, values = core.init_variogram_parameters(model.model, model.parameters)
    assert values == [2.0, 500.0, 0.1] and function is model.function
    np.testing.assert_array_equal(model([0.0, 250.0]), function(values, [0.0, 250.0]))
    model.parameters["Range"] = 1.0
    assert model.parameters["Range"] == 500.0
    with pytest.raises(AttributeError):
        model.rmse = 0.0
    assert pickle.loads(pickle.dumps(model)) == model


POINTS = np.random.default_rng(1).uniform(0, 10, (30, 2))
EXPERIMENTAL = orv.variogram(POINTS, POINTS[:, 0], n_lags=6)


@pytest.mark.parametrize(
    ("call", "raised", "message"),
    [
        (lambda: EXPERIMENTAL.fit("Cubic"), ValueError, "model must be 'auto' or one of"),
        (lambda: EXPERIMENTAL.fit(weights="equal"), ValueError, "weights must be"),
        (lambda: EXPERIMENTAL.fit("Linear", fixed={"Range": 3}), ValueError, "no parameter Range"),
        (lambda: EXPERIMENTAL.fit(fixed={"Sill": 3}), ValueError, "no parameter of any model"),
        (lambda: EXPERIMENTAL.fit(fixed={"Exponent": 2.5}), ValueError, "Exponent must lie"),
        (lambda: VariogramModel("Linear", {"Slope": 1}), ValueError, "missing Nugget"),
        (lambda: VariogramModel("Linear", {"Slope": 1, "Nugget": "x"}), TypeError, "Nugget"),
    ],
)
def test_bad_fit_arguments_are_named(call, raised, message):
    with pytest.raises(raised, match=message):
        call()
