"""orv: geospatial analysis tools.

Datasets: ``open``, ``create_raster``, ``create_vector``; GDAL's drivers: ``drivers``,
``driver``. GDAL itself is loaded at the first call, keeping ``import orv`` quick.
"""

from ._datasets import create_raster, create_vector, driver, drivers, open

__all__ = ["create_raster", "create_vector", "driver", "drivers", "open"]

# --- Kriging: OrdinaryKriging (orv.geostat.kriging), loaded on first use like the rest of
# orv.geostat, as it brings SciPy along.
_KRIGING_NAMES = frozenset({"OrdinaryKriging"})


def __getattr__(name: str) -> object:
    if name in _KRIGING_NAMES:
        from orv.geostat import kriging

        return getattr(kriging, name)
    raise AttributeError(f"module 'orv' has no attribute {name!r}")


# --- end of the kriging block
