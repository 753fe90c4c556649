"""Kriging support services.

The native kriging core (``orv._algos.spmis.krige.core``) takes exactly these seven names from
this package when it is imported: ``np`` (numpy), ``error`` (``orv.error``), ``init_points``,
``to_numeric_array``, ``spatial`` (``scipy.spatial``), ``great_circle_distance`` and
``variogram`` (the model functions). The core is not imported here: import it by its own name.
"""

import numpy as np
from scipy import spatial  # type: ignore[import-untyped]  # SciPy ships no annotations

from orv import error
from orv._threads import register_with_threadpoolctl

from . import variogram
from ._distance import great_circle_distance
from ._points import init_points, to_numeric_array

# threadpoolctl (when installed) sees and limits the native passes' threads.
register_with_threadpoolctl()

__all__ = [
    "np",
    "error",
    "init_points",
    "to_numeric_array",
    "spatial",
    "great_circle_distance",
    "variogram",
]
