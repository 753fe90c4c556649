"""Geostatistics: kriging (``OrdinaryKriging``)."""

from .kriging import (
    GLOBAL_MAX_SAMPLES,
    CoincidentSamplesWarning,
    CrossValidation,
    OrdinaryKriging,
    UnstableSystemWarning,
)

__all__ = [
    "GLOBAL_MAX_SAMPLES",
    "CoincidentSamplesWarning",
    "CrossValidation",
    "OrdinaryKriging",
    "UnstableSystemWarning",
]
