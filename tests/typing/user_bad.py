"""A faulty user script: each marked line must draw exactly the mypy error code it names."""

import numpy as np

from orv._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver
from orv._algos.spmis.krige import core

gtiff = RasterDriver("GTiff")
label: str = gtiff.is_raster  # error: assignment
print(gtiff.long_nmae)  # error: attr-defined
gtiff.name = "COG"  # error: misc
gtiff.create(None, "3", 10, 20)  # error: arg-type
modes: list[int] = gtiff.compress_modes  # error: assignment
RasterDriver(2.5)  # error: arg-type
dimension: int = VectorDriver("GPKG").dimension  # error: assignment
DriveStatistics()[1.5]  # error: index
points = np.zeros((3, 2))
core.init_variogram_model(points, np.zeros(3), 4, "projcs")  # error: arg-type
core.adjust_anisotropy(points, [0.0, 0.0], 1.0)  # error: call-arg
core.init_variogram_parameters("Linear", [1.0, 0.0])  # error: call-overload
