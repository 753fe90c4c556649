# Type stubs of the native kriging core. `tests/typing` checks them against the built module
# with mypy's stubtest and compares every docstring with the runtime's.

from typing import Any, Literal, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .variogram import VariogramModel

type _Float64Array = NDArray[np.float64]

# Model name -> the model's parameter names, in the order the values are returned.
DEFAULT_PARAMETERS: dict[str, list[str]]

def adjust_anisotropy(
    points: ArrayLike, center: ArrayLike, scale: ArrayLike, angle: ArrayLike
) -> _Float64Array:
    """调整数据坐标以考虑各向异性。"""

# Without parameters the third item is None; with a dict it lists the values in the order
# of DEFAULT_PARAMETERS[model].
@overload
def init_variogram_parameters(model: str, parameters: None) -> tuple[str, VariogramModel, None]:
    """获取半变异函数参数"""

@overload
def init_variogram_parameters(
    model: str, parameters: dict[str, Any]
) -> tuple[str, VariogramModel, list[Any]]: ...

# `values` is used without conversion: a numpy array with one value per point.
def init_variogram_model(
    points: ArrayLike,
    values: NDArray[Any],
    n_lags: int,
    gtype: Literal["GEOGCS", "PROJCS"],
) -> tuple[_Float64Array, _Float64Array]:
    """初始化半变异模型其他参数"""
