"""A vector layer that keeps its dataset open for as long as it is held.

GDAL's binding hands out layers that do not keep their dataset alive: once the dataset goes,
using the layer reads freed memory. A Layer holds the package's dataset wrapper, so the
dataset stays open while the Layer, or a method taken from it, is referenced.
"""

from collections.abc import Iterator
from typing import Any, Protocol

from osgeo import ogr


class _Owner(Protocol):
    @property
    def closed(self) -> bool: ...

    @property
    def path(self) -> str: ...


class Layer:
    """One layer of a GeoDatabase.

    Iterating yields the layer's features (osgeo.ogr.Feature), from the first each time;
    ``len()`` is GDAL's feature count. Every other attribute is that of the osgeo.ogr.Layer,
    and its methods are called through this object, so they keep the dataset open too.
    Objects they hand out (the layer definition, a spatial reference) follow GDAL's rules.
    Once the GeoDatabase was closed explicitly, every use raises ValueError.
    """

    __slots__ = ("_owner", "_layer")

    def __init__(self, owner: _Owner, layer: ogr.Layer) -> None:
        self._owner = owner
        self._layer = layer

    def _live(self) -> ogr.Layer:
        if self._owner.closed:
            raise ValueError(f"layer of a closed GeoDatabase ({self._owner.path!r})")
        return self._layer

    @property
    def name(self) -> str:
        return str(self._live().GetName())

    @property
    def ogr_layer(self) -> ogr.Layer:
        """The osgeo.ogr.Layer itself; it does not keep the dataset alive."""
        return self._live()

    def __len__(self) -> int:
        return int(self._live().GetFeatureCount())

    def __iter__(self) -> Iterator[ogr.Feature]:
        self._live().ResetReading()
        while (feature := self._live().GetNextFeature()) is not None:
            yield feature

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._live(), name)
        if not callable(value):
            return value

        def call_through_layer(*args: Any, **kwargs: Any) -> Any:
            return getattr(self._live(), name)(*args, **kwargs)

        call_through_layer.__name__ = name
        call_through_layer.__doc__ = getattr(value, "__doc__", None)
        return call_through_layer

    def __repr__(self) -> str:
        if self._owner.closed:
            return f"<Layer of closed GeoDatabase {self._owner.path!r}>"
        return f"<Layer {self.name!r} of {self._owner.path!r}>"
