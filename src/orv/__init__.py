"""orv: geospatial analysis tools."""

from typing import TYPE_CHECKING

# --- Geostatistics (orv.geostat): variogram, Variogram, VariogramModel. Loaded on first use,
# as it brings SciPy along, which commands such as `orv drivers` do not need.
if TYPE_CHECKING:
    from orv.geostat.model import VariogramModel as VariogramModel
    from orv.geostat.variogram import Variogram as Variogram
    from orv.geostat.variogram import variogram as variogram

_GEOSTAT_NAMES = frozenset({"variogram", "Variogram", "VariogramModel"})


def __getattr__(name: str) -> object:
    if name in _GEOSTAT_NAMES:
        from orv import geostat

        return getattr(geostat, name)
    raise AttributeError(f"module 'orv' has no attribute {name!r}")


# --- end of the geostatistics block
