"""orv: geospatial analysis tools.

Datasets: ``open``, ``create_raster``, ``create_vector``; GDAL's drivers: ``drivers``,
``driver``. GDAL itself is loaded at the first call, keeping ``import orv`` quick.
"""

from ._datasets import create_raster, create_vector, driver, drivers, open

__all__ = ["create_raster", "create_vector", "driver", "drivers", "open"]
