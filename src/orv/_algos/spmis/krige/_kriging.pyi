# Type stubs of the native ordinary kriging kernel (private: orv.geostat.kriging uses it).

from typing import Any

import numpy as np
from numpy.typing import NDArray

type _Float64Array = NDArray[np.float64]

def prepare(
    coordinates: _Float64Array,
    values: _Float64Array,
    model: str,
    parameters: _Float64Array,
    neighbours: int,
    max_distance: float,
    transform: _Float64Array | None,
    center: _Float64Array | None,
    geographic: bool,
) -> Any: ...
def predict(
    engine: Any, targets: _Float64Array, leave_one_out: bool, threads: int
) -> tuple[_Float64Array, _Float64Array, int]: ...
def grid(
    engine: Any,
    x0: float,
    y0: float,
    dx: float,
    dy: float,
    col_off: int,
    row_off: int,
    width: int,
    height: int,
    threads: int,
) -> tuple[_Float64Array, _Float64Array, int]: ...
