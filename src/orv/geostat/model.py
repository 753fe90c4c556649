"""``VariogramModel``: a variogram model with its parameter values, as kriging takes it."""

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige import core
from ._inputs import finite_real

__all__ = ["MODELS", "VariogramModel"]

# The six model names, in the kriging core's table order.
MODELS: tuple[str, ...] = tuple(core.DEFAULT_PARAMETERS)


def parameter_names(model: str) -> tuple[str, ...]:
    """The parameter names of ``model`` in the core's order (ValueError for an unknown one)."""
    if not isinstance(model, str) or model not in core.DEFAULT_PARAMETERS:
        raise ValueError(f"model must be one of {', '.join(MODELS)}; not {model!r}")
    return tuple(core.DEFAULT_PARAMETERS[model])


class VariogramModel:
    """A variogram model and its parameter values; immutable.

    ``VariogramModel("Spherical", {"PSill": 2.0, "Range": 500.0, "Nugget": 0.1})`` makes one
    by hand; ``Variogram.fit`` makes one from data.

    - ``model``: one of the six names of ``core.DEFAULT_PARAMETERS`` (``MODELS``);
    - ``parameters``: a new dict of the values in that table's names and order, so that
      ``core.init_variogram_parameters(model, parameters)`` accepts it;
    - ``function``: the package's model function, called as ``function(values, distances)``;
    - ``rmse``: the root-mean-square difference from the experimental semivariances it was
      fitted to (NaN for a model made by hand);
    - calling it with distances gives the model semivariance at each one, as float64.

    Every parameter of the model must be given, as a finite real number, and no other.
    """

    __slots__ = ("_model", "_values", "_function", "_rmse")

    def __init__(
        self, model: str, parameters: Mapping[str, float], *, rmse: float = math.nan
    ) -> None:
        names = parameter_names(model)
        if not isinstance(parameters, Mapping):
            raise TypeError(f"parameters must be a mapping of names to values, not {parameters!r}")
        missing = [name for name in names if name not in parameters]
        unknown = [name for name in parameters if name not in names]
        if missing or unknown:
            raise ValueError(
                f"{model} takes the parameters {', '.join(names)}"
                + (f"; missing {', '.join(missing)}" if missing else "")
                + (f"; unknown {', '.join(map(repr, unknown))}" if unknown else "")
            )
        values = tuple(finite_real(parameters[name], f"parameter {name}") for name in names)
        given = dict(zip(names, values, strict=True))
        _, function, _ = core.init_variogram_parameters(model, given)
        object.__setattr__(self, "_model", model)
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "_function", function)
        object.__setattr__(self, "_rmse", float(rmse))

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"VariogramModel is immutable: cannot set {name!r}")

    @property
    def model(self) -> str:
        return self._model

    @property
    def parameters(self) -> dict[str, float]:
        return dict(zip(parameter_names(self._model), self._values, strict=True))

    @property
    def function(self) -> Any:
        return self._function

    @property
    def rmse(self) -> float:
        return self._rmse

    def __call__(self, distances: ArrayLike) -> NDArray[np.float64]:
        """The model semivariance at ``distances`` (a number or an array-like)."""
        return np.asarray(self._function(list(self._values), distances), dtype=np.float64)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, VariogramModel):
            return NotImplemented
        return (self._model, self._values) == (other._model, other._values)

    def __hash__(self) -> int:
        return hash((self._model, self._values))

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild, (self._model, self.parameters, self._rmse))

    def __repr__(self) -> str:
        values = ", ".join(f"{name}={value:.6g}" for name, value in self.parameters.items())
        rmse = "" if math.isnan(self._rmse) else f", rmse={self._rmse:.6g}"
        return f"VariogramModel({self._model}: {values}{rmse})"


def _rebuild(model: str, parameters: dict[str, float], rmse: float) -> VariogramModel:
    return VariogramModel(model, parameters, rmse=rmse)
