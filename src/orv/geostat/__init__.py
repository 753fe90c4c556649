"""Geostatistics: experimental variograms and fitted variogram models.

``variogram(points, values, ...)`` computes the experimental variogram (classes with pair
counts, a distance cut-off, robust and directional estimates, missing samples left out) as a
``Variogram``; ``Variogram.fit`` fits a ``VariogramModel`` to it and ``Variogram.plot`` draws
both.
"""

from ._inputs import MissingSamplesWarning
from .model import MODELS, VariogramModel
from .variogram import MAX_LAGS, Variogram, variogram

__all__ = [
    "MAX_LAGS",
    "MODELS",
    "MissingSamplesWarning",
    "Variogram",
    "VariogramModel",
    "variogram",
]
