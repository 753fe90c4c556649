"""orv: geospatial analysis tools."""

# --- Kriging: OrdinaryKriging (orv.geostat.kriging), loaded on first use like the rest of
# orv.geostat, as it brings SciPy along.
_KRIGING_NAMES = frozenset({"OrdinaryKriging"})


def __getattr__(name: str) -> object:
    if name in _KRIGING_NAMES:
        from orv.geostat import kriging

        return getattr(kriging, name)
    raise AttributeError(f"module 'orv' has no attribute {name!r}")


# --- end of the kriging block
