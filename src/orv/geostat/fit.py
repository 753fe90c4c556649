"""Fitting variogram models to an experimental variogram by weighted least squares.

Every model of the package is a * f(h; theta) + c: a sill, slope or scale ``a`` times a shape
``f`` with at most one shape parameter ``theta`` (the range, or the power's exponent), plus the
nugget ``c``. For a given theta the best ``a`` and ``c`` under their bounds (both
non-negative) follow in closed form, so the search runs over theta alone (variable
projection): first over a grid, which serves as many starting points, then a bounded
refinement around the best few local minima of the grid. The fit thus does not stop in a
poor local minimum of the full three-parameter problem.

Lags and semivariances are scaled to at most 1 during the search, so one grid and one set of
tolerances serve any units.
"""

import math
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from .._algos.spmis.krige import core
from ._inputs import finite_real
from .model import MODELS, VariogramModel, parameter_names

__all__ = ["WEIGHTS", "fit_model"]

WEIGHTS = ("pairs", "cressie", None)

# Shape parameters, in units of the largest lag (ranges) or as they are (exponents): the grid
# of the search and the bounds that keep them physical.
_RANGE_GRID = np.geomspace(0.02, 8.0, 36)
_RANGE_BOUNDS = (1e-6, 1e3)
_EXPONENT_GRID = np.linspace(0.02, 1.98, 25)
_EXPONENT_BOUNDS = (1e-6, 2.0 - 1e-6)
# Local minima of the grid refined, and iterations of the re-weighting for "cressie" weights.
_REFINED_MINIMA = 3
_CRESSIE_ROUNDS = 3
# Model semivariances are taken as at least this (scaled) when they divide ("cressie").
_FLOOR = 1e-9


class _Problem(NamedTuple):
    h: NDArray[np.float64]  # lags / lag_scale
    y: NDArray[np.float64]  # semivariances / value_scale
    pairs: NDArray[np.float64]
    lag_scale: float
    value_scale: float
    weights: str | None


class _Candidate(NamedTuple):
    objective: float
    a: float
    theta: float
    c: float


def _check_fixed(fixed: Mapping[str, Any] | None) -> dict[str, float]:
    if fixed is None:
        return {}
    if not isinstance(fixed, Mapping):
        raise TypeError(f"fixed must be a mapping of parameter names to values, not {fixed!r}")
    known = {name for model in MODELS for name in parameter_names(model)}
    checked = {}
    for name, value in fixed.items():
        if name not in known:
            raise ValueError(f"fixed: {name!r} is no parameter of any model")
        number = finite_real(value, f"fixed {name}")
        if name == "Range" and not number > 0:
            raise ValueError(f"fixed Range must be positive, not {number}")
        if name == "Exponent" and not 0 < number < 2:
            raise ValueError(f"fixed Exponent must lie in (0, 2), not {number}")
        if number < 0:
            raise ValueError(f"fixed {name} must be non-negative, not {number}")
        checked[name] = number
    return checked


def _candidates(model: str, fixed: dict[str, float]) -> list[str]:
    if model == "auto":
        chosen = [m for m in MODELS if set(fixed) <= set(parameter_names(m))]
        if not chosen:
            raise ValueError(f"no model has all the fixed parameters {', '.join(fixed)}")
        return chosen
    by_folded = {m.casefold(): m for m in MODELS}
    if not isinstance(model, str) or model.casefold() not in by_folded:
        raise ValueError(f"model must be 'auto' or one of {', '.join(MODELS)}; not {model!r}")
    model = by_folded[model.casefold()]
    foreign = set(fixed) - set(parameter_names(model))
    if foreign:
        raise ValueError(f"fixed: {model} has no parameter {', '.join(sorted(foreign))}")
    return [model]


def _linear_fit(f, y, w, a_fixed, c_fixed):
    """(a, c) >= 0 minimising sum w (y - a f - c)^2, either held at a given value."""
    if a_fixed is not None and c_fixed is not None:
        return a_fixed, c_fixed
    if a_fixed is not None:
        return a_fixed, max(0.0, float(np.dot(w, y - a_fixed * f) / w.sum()))
    wff = float(np.dot(w * f, f))
    if c_fixed is not None:
        return (max(0.0, float(np.dot(w * f, y - c_fixed) / wff)) if wff > 0 else 0.0), c_fixed
    sw, wf, wy, wfy = (
        float(w.sum()),
        float(np.dot(w, f)),
        float(np.dot(w, y)),
        float(np.dot(w * f, y)),
    )
    det = sw * wff - wf * wf
    if det > 1e-12 * sw * wff:
        a, c = (sw * wfy - wf * wy) / det, (wff * wy - wf * wfy) / det
        if a >= 0 and c >= 0:
            return a, c
    # The optimum lies on a bound: only the nugget, or no nugget.
    options = [(0.0, max(0.0, wy / sw)), ((max(0.0, wfy / wff) if wff > 0 else 0.0), 0.0)]
    return min(options, key=lambda ac: float(np.dot(w, (y - ac[0] * f - ac[1]) ** 2)))


class _ModelFit:
    """The search for one model."""

    def __init__(self, model: str, problem: _Problem, fixed: dict[str, float]) -> None:
        self.model = model
        self.names = parameter_names(model)
        self.problem = problem
        self.function = core.init_variogram_parameters(model, None)[1]
        self.shape = self.names[1] if len(self.names) == 3 else None
        # Scaled values of the fixed parameters (None: free).
        p = problem
        self.c_fixed = fixed["Nugget"] / p.value_scale if "Nugget" in fixed else None
        self.theta_fixed = None
        if self.shape == "Range" and "Range" in fixed:
            self.theta_fixed = fixed["Range"] / p.lag_scale
        elif self.shape == "Exponent" and "Exponent" in fixed:
            self.theta_fixed = fixed["Exponent"]
        self.a_given = fixed.get(self.names[0])

    def a_fixed(self, theta: float) -> float | None:
        """The scaled value of a fixed sill, slope or scale, for shape parameter theta."""
        if self.a_given is None:
            return None
        return (
            self.a_given
            * self.problem.lag_scale ** self._lag_power(theta)
            / (self.problem.value_scale)
        )

    def _lag_power(self, theta: float) -> float:
        # How the first parameter scales with the lags: a slope per distance, a scale per
        # distance ** exponent, a sill not at all.
        return {"Linear": 1.0, "Power": theta}.get(self.model, 0.0)

    def basis(self, theta: float) -> NDArray[np.float64]:
        values = [1.0, 0.0] if self.shape is None else [1.0, theta, 0.0]
        return np.asarray(self.function(values, self.problem.h), dtype=np.float64)

    def solve(self, theta: float) -> _Candidate:
        """The best (a, c) for theta, and the weighted residual sum they leave."""
        p = self.problem
        f = self.basis(theta)
        a_fixed = self.a_fixed(theta)
        if p.weights == "cressie":
            # Weights pairs / model ** 2 depend on the fit: re-weighted a few times, starting
            # from the experimental values.
            model = p.y
            for _ in range(_CRESSIE_ROUNDS):
                w = p.pairs / np.maximum(model, _FLOOR) ** 2
                a, c = _linear_fit(f, p.y, w, a_fixed, self.c_fixed)
                model = a * f + c
            residual = (p.y - model) / np.maximum(model, _FLOOR)
            objective = float(np.dot(p.pairs, residual**2))
        else:
            w = p.pairs if p.weights == "pairs" else np.ones_like(p.y)
            a, c = _linear_fit(f, p.y, w, a_fixed, self.c_fixed)
            objective = float(np.dot(w, (p.y - a * f - c) ** 2))
        return _Candidate(objective, a, theta, c)

    def best(self) -> _Candidate:
        if self.shape is None:
            return self.solve(0.0)
        if self.theta_fixed is not None:
            return self.solve(self.theta_fixed)
        grid, bounds = (
            (_RANGE_GRID, _RANGE_BOUNDS)
            if self.shape == "Range"
            else (_EXPONENT_GRID, _EXPONENT_BOUNDS)
        )
        tried = [self.solve(float(theta)) for theta in grid]
        scores = np.array([c.objective for c in tried])
        padded = np.concatenate(([np.inf], scores, [np.inf]))
        minima = np.flatnonzero((scores <= padded[:-2]) & (scores <= padded[2:]))
        minima = minima[np.argsort(scores[minima], kind="stable")][:_REFINED_MINIMA]
        best = min(tried, key=lambda c: c.objective)
        # Ranges are searched on a log scale, exponents on their own.
        log = self.shape == "Range"
        from scipy import optimize  # type: ignore[import-untyped]  # SciPy ships no annotations

        for i in minima:
            low = grid[i - 1] if i > 0 else bounds[0]
            high = grid[i + 1] if i + 1 < grid.size else bounds[1]
            lo, hi = (math.log(low), math.log(high)) if log else (low, high)
            found = optimize.minimize_scalar(
                lambda x: self.solve(math.exp(x) if log else x).objective,
                bounds=(lo, hi),
                method="bounded",
                options={"xatol": 1e-6},
            )
            candidate = self.solve(math.exp(found.x) if log else float(found.x))
            if candidate.objective < best.objective:
                best = candidate
        return best

    def model_of(self, candidate: _Candidate) -> dict[str, float]:
        """The candidate's parameters in the original units, in the core's order."""
        p = self.problem
        a = candidate.a * p.value_scale / p.lag_scale ** self._lag_power(candidate.theta)
        values = {self.names[0]: a, "Nugget": candidate.c * p.value_scale}
        if self.shape == "Range":
            values["Range"] = candidate.theta * p.lag_scale
        elif self.shape == "Exponent":
            values["Exponent"] = candidate.theta
        return {name: float(values[name]) for name in self.names}


def fit_model(
    lags: NDArray[np.float64],
    semivariance: NDArray[np.float64],
    pairs: NDArray[np.int64],
    model: str = "auto",
    *,
    weights: str | None = "pairs",
    fixed: Mapping[str, float] | None = None,
) -> VariogramModel:
    """The model fitted to the classes (lags, semivariance, pairs); see ``Variogram.fit``."""
    if weights not in WEIGHTS:
        raise ValueError(f"weights must be 'pairs', 'cressie' or None, not {weights!r}")
    held = _check_fixed(fixed)
    models = _candidates(model, held)
    lags = np.asarray(lags, dtype=np.float64)
    semivariance = np.asarray(semivariance, dtype=np.float64)
    free = max(len(parameter_names(m)) - len(held) for m in models)
    if lags.size < max(free, 1):
        raise ValueError(
            f"fitting {free} parameters needs at least {max(free, 1)} non-empty classes, "
            f"not {lags.size}"
        )
    lag_scale = float(lags.max()) if lags.max() > 0 else 1.0
    value_scale = float(semivariance.max()) if semivariance.max() > 0 else 1.0
    problem = _Problem(
        lags / lag_scale,
        semivariance / value_scale,
        np.asarray(pairs, dtype=np.float64),
        lag_scale,
        value_scale,
        weights,
    )
    searches = [_ModelFit(m, problem, held) for m in models]
    chosen, candidate = min(((s, s.best()) for s in searches), key=lambda item: item[1].objective)
    parameters = chosen.model_of(candidate)
    fitted = VariogramModel(chosen.model, parameters)
    rmse = float(np.sqrt(np.mean((semivariance - fitted(lags)) ** 2)))
    return VariogramModel(chosen.model, parameters, rmse=rmse)
