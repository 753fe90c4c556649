"""orv: geospatial analysis tools."""

# --- Geostatistics (orv.geostat): variogram, Variogram, VariogramModel. Loaded on first use,
# as it brings SciPy along, which commands such as `orv drivers` do not need.
_GEOSTAT_NAMES = frozenset({"variogram", "Variogram", "VariogramModel"})


def __getattr__(name: str) -> object:
    if name in _GEOSTAT_NAMES:
        from orv import geostat

        return getattr(geostat, name)
    raise AttributeError(f"module 'orv' has no attribute {name!r}")


# --- end of the geostatistics block
