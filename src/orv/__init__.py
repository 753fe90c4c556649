"""orv: geospatial analysis tools.

Datasets: ``open``, ``create_raster``, ``create_vector``; GDAL's drivers: ``drivers``,
``driver``. GDAL itself is loaded at the first call, keeping ``import orv`` quick.
Geostatistics: ``variogram`` (a ``Variogram``, whose ``fit`` gives a ``VariogramModel``) and
``OrdinaryKriging``.
"""

from typing import TYPE_CHECKING

from ._datasets import create_raster, create_vector, driver, drivers, open

__all__ = [
    "create_raster",
    "create_vector",
    "driver",
    "drivers",
    "open",
    "variogram",
    "Variogram",
    "VariogramModel",
    "OrdinaryKriging",
]

# --- Geostatistics (orv.geostat): variogram, Variogram, VariogramModel, OrdinaryKriging.
# Loaded on first use, as it brings SciPy along, which commands such as `orv drivers` do not
# need.
if TYPE_CHECKING:
    from orv.geostat.kriging import OrdinaryKriging as OrdinaryKriging
    from orv.geostat.model import VariogramModel as VariogramModel
    from orv.geostat.variogram import Variogram as Variogram
    from orv.geostat.variogram import variogram as variogram

_GEOSTAT_NAMES = frozenset({"variogram", "Variogram", "VariogramModel", "OrdinaryKriging"})


def __getattr__(name: str) -> object:
    if name in _GEOSTAT_NAMES:
        from orv import geostat

        return getattr(geostat, name)
    raise AttributeError(f"module 'orv' has no attribute {name!r}")


# --- end of the geostatistics block
