"""Variogram model functions.

Every model is called as ``f(parameters, distances)`` and returns the model semivariance at
each distance as a float64 array of the shape of ``distances`` (a number, giving a 0-d array,
or an array-like, converted with ``to_numeric_array``). ``parameters`` is a sequence of
numbers in the model's order (the order of the kriging core's ``DEFAULT_PARAMETERS``):

============  ==========================  ==========================================
model         parameters                  semivariance at distance h
============  ==========================  ==========================================
Linear        Slope, Nugget               Slope * h + Nugget
Power         Scale, Exponent, Nugget     Scale * h ** Exponent + Nugget
Gaussian      PSill, Range, Nugget        PSill * (1 - exp(-3 (h / Range) ** 2)) + Nugget
Exponential   PSill, Range, Nugget        PSill * (1 - exp(-3 h / Range)) + Nugget
Spherical     PSill, Range, Nugget        PSill * (1.5 r - 0.5 r ** 3) + Nugget, r = h / Range,
                                          and PSill + Nugget from h = Range on
HoleEffect    PSill, Range, Nugget        PSill * (1 - sin(pi r) / (pi r)) + Nugget, r = h / Range
============  ==========================  ==========================================

Range is in the units of the distances and must be positive. For the Gaussian and the
Exponential model it is the practical range, where the model reaches 95 % of the partial sill
(1 - exp(-3)); the Spherical model reaches its sill exactly at Range; the hole-effect model
reaches the sill at Range and then oscillates about it with a decaying amplitude. All models
give the nugget at distance 0 (the limit from above). A parameter sequence of the wrong length
raises ``orv.error.ParameterError``.
"""

from collections.abc import Callable, Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from orv import error

from ._points import to_numeric_array

__all__ = [
    "Linear",
    "Power",
    "Gaussian",
    "Spherical",
    "Exponential",
    "HoleEffect",
    "VariogramModel",
]

# What every model function is: f(parameters, distances) -> semivariances.
type VariogramModel = Callable[[ArrayLike, ArrayLike], NDArray[np.float64]]

_SILL_RANGE_NUGGET = ("PSill", "Range", "Nugget")


def _unpack(model: str, names: Sequence[str], parameters: ArrayLike) -> NDArray[np.float64]:
    values = to_numeric_array(parameters).ravel()
    if values.size != len(names):
        raise error.ParameterError(
            f"{model} takes {len(names)} parameters ({', '.join(names)}), got {values.size}"
        )
    return values


def _result(semivariances: ArrayLike) -> NDArray[np.float64]:
    # Arithmetic on 0-d arrays yields numpy scalars; keep the array type promised above.
    return np.asarray(semivariances, dtype=np.float64)


def Linear(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Linear model: Slope * h + Nugget; parameters (Slope, Nugget)."""
    slope, nugget = _unpack("Linear", ("Slope", "Nugget"), parameters)
    return _result(slope * to_numeric_array(distances) + nugget)


def Power(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Power model: Scale * h ** Exponent + Nugget; parameters (Scale, Exponent, Nugget)."""
    scale, exponent, nugget = _unpack("Power", ("Scale", "Exponent", "Nugget"), parameters)
    return _result(scale * to_numeric_array(distances) ** exponent + nugget)


def Gaussian(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Gaussian model: PSill * (1 - exp(-3 (h / Range) ** 2)) + Nugget."""
    psill, range_, nugget = _unpack("Gaussian", _SILL_RANGE_NUGGET, parameters)
    ratio = to_numeric_array(distances) / range_
    return _result(psill * (1.0 - np.exp(-3.0 * ratio**2)) + nugget)


def Spherical(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Spherical model: PSill * (1.5 r - 0.5 r ** 3) + Nugget below Range, PSill + Nugget on."""
    psill, range_, nugget = _unpack("Spherical", _SILL_RANGE_NUGGET, parameters)
    ratio = np.minimum(to_numeric_array(distances) / range_, 1.0)
    return _result(psill * (1.5 * ratio - 0.5 * ratio**3) + nugget)


def Exponential(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Exponential model: PSill * (1 - exp(-3 h / Range)) + Nugget."""
    psill, range_, nugget = _unpack("Exponential", _SILL_RANGE_NUGGET, parameters)
    ratio = to_numeric_array(distances) / range_
    return _result(psill * (1.0 - np.exp(-3.0 * ratio)) + nugget)


def HoleEffect(parameters: ArrayLike, distances: ArrayLike) -> NDArray[np.float64]:
    """Hole-effect model: PSill * (1 - sin(pi r) / (pi r)) + Nugget with r = h / Range."""
    psill, range_, nugget = _unpack("HoleEffect", _SILL_RANGE_NUGGET, parameters)
    ratio = to_numeric_array(distances) / range_
    return _result(psill * (1.0 - np.sinc(ratio)) + nugget)
