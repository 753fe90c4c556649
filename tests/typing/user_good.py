"""A correct user script: mypy --strict passes it, and it runs."""

from typing import Any, Literal, assert_type

import numpy as np
from numpy.typing import NDArray

from orv._algos.geo.driver import Driver, DriveStatistics, RasterDriver, VectorDriver
from orv._algos.geo.geodatabase import GeoDatabase
from orv._algos.spmis.krige import core

gtiff = RasterDriver("GTiff")
name: str = gtiff.name
assert_type(gtiff.category, Literal["Raster"])
modes: list[str] = gtiff.compress_modes
assert_type(gtiff.extensions, list[str])
assert_type(gtiff.creatable, bool)
gtiff.set_creation_options(COMPRESS="LZW")
raster = gtiff.create(None, 20, 10, 1, "Byte")
assert_type(raster, GeoDatabase)
del raster  # the wrapper closes the dataset when it goes

gpkg = VectorDriver(Driver("GPKG"))
assert_type(gpkg.dimension, Literal["XY", "XYZ", "XYM", "XYZM"])
dialects: list[str] = gpkg.sql_dialects

stats = DriveStatistics()
names = [driver.name for driver in stats]
assert stats["gtiff"].name == "GTiff" and len(stats) == len(names)
assert_type(stats.rasters, list[Driver])

points = np.array([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]])
lags, gamma = core.init_variogram_model(points, np.array([0.0, 1.0, 3.0]), 2, "PROJCS")
assert_type(lags, NDArray[np.float64])
adjusted = core.adjust_anisotropy(points, [0.0, 0.0], 2.0, 45.0)
model, fun, pars = core.init_variogram_parameters("Linear", {"Slope": 1.0, "Nugget": 0.0})
assert_type(pars, list[Any])
semivariance = fun(pars, lags)
assert_type(semivariance, NDArray[np.float64])
_model, _fun, nothing = core.init_variogram_parameters("Linear", None)
assert_type(nothing, None)
table: dict[str, list[str]] = core.DEFAULT_PARAMETERS

import orv  # noqa: E402  # the public layer, after the internal modules above

grid = orv.create_raster(None, width=4, height=3, dtype="float64", nodata=-1.0)
assert_type(grid, GeoDatabase)
grid.write(np.ones((2, 2)), window=(1, 1, 2, 2))
part: NDArray[Any] = grid.read(1, window=(0, 0, 2, 2), masked=True)
no_value: tuple[float | int | None, ...] = grid.nodata
assert grid.bounds is None and no_value == (-1.0,)
survey = orv.create_vector(None)
assert_type(survey.layer_count, int)
assert_type(orv.driver("GTiff"), Driver)

experimental = orv.variogram(points, [0.0, 1.0, 3.0], n_lags=2)
assert_type(experimental.pairs, NDArray[np.int64])
fitted: orv.VariogramModel = experimental.fit("Linear", fixed={"Nugget": 0.0})
assert_type(fitted.parameters, dict[str, float])
