"""Geostatistics: experimental variograms, fitted variogram models and kriging.

``variogram(points, values, ...)`` computes the experimental variogram (classes with pair
counts, a distance cut-off, robust and directional estimates, missing samples left out) as a
``Variogram``; ``Variogram.fit`` fits a ``VariogramModel`` to it and ``Variogram.plot`` draws
both. ``OrdinaryKriging(points, values, model, ...)`` kriges with such a model: estimates and
variances at targets, on grids and into rasters, and its cross-validation.
"""

from ._inputs import MissingSamplesWarning
from .kriging import (
    GLOBAL_MAX_SAMPLES,
    CoincidentSamplesWarning,
    CrossValidation,
    OrdinaryKriging,
    UnstableSystemWarning,
)
from .model import MODELS, VariogramModel
from .variogram import MAX_LAGS, Variogram, variogram

__all__ = [
    "GLOBAL_MAX_SAMPLES",
    "MAX_LAGS",
    "MODELS",
    "CoincidentSamplesWarning",
    "CrossValidation",
    "MissingSamplesWarning",
    "OrdinaryKriging",
    "UnstableSystemWarning",
    "Variogram",
    "VariogramModel",
    "variogram",
]
