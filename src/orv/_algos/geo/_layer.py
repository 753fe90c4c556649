"""A vector layer that keeps its dataset open for as long as it is held.

GDAL's binding hands out layers that do not keep their dataset alive: once the dataset goes,
using the layer reads freed memory. A Layer holds the package's dataset wrapper, so the
dataset stays open while the Layer, or a method taken from it, is referenced. Every call to
GDAL runs with its messages captured: a failure raises GDALError, a warning is a GDALWarning.
"""

from collections.abc import Iterable, Iterator
from typing import Any, Protocol

from osgeo import ogr

from ._featurearrays import FeatureArrays, read_features
from ._gdalerrors import call, captured, gdal_errors


class _Owner(Protocol):
    @property
    def closed(self) -> bool: ...

    @property
    def path(self) -> str: ...

    @property
    def driver_name(self) -> str: ...


class Layer:
    """One layer of a GeoDatabase.

    Iterating yields the layer's features (osgeo.ogr.Feature), from the first each time, and
    raises GDALError when GDAL fails while reading (never ending early). ``len()`` is the
    feature count, counted by reading when the driver does not know it. ``read()`` gives the
    features as arrays. Every other attribute is that of the osgeo.ogr.Layer, and its methods
    are called through this object, so they keep the dataset open too. Objects they hand out
    (the layer definition, a spatial reference) follow GDAL's rules. Once the GeoDatabase was
    closed explicitly, every use raises ValueError.
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

    @property
    @gdal_errors
    def crs(self) -> str | None:
        """Coordinate reference system of the layer's geometries as WKT, or None."""
        srs = self._live().GetSpatialRef()
        return srs.ExportToWkt() if srs is not None else None

    @property
    @gdal_errors
    def bounds(self) -> tuple[float, float, float, float] | None:
        """(xmin, ymin, xmax, ymax) of the layer's geometries; None when it has none."""
        layer = self._live()
        if not layer.GetLayerDefn().GetGeomFieldCount() or not len(self):
            return None
        xmin, xmax, ymin, ymax = layer.GetExtent(force=1)
        return float(xmin), float(ymin), float(xmax), float(ymax)

    @property
    @gdal_errors
    def geometry_type(self) -> str:
        """GDAL's name of the declared geometry type ("Point", "Multi Polygon", ...)."""
        return str(ogr.GeometryTypeToName(self._live().GetGeomType()))

    @property
    @gdal_errors
    def schema(self) -> dict[str, str]:
        """{field name: GDAL's field type name}; a subtype such as Boolean replaces its type."""
        definition = self._live().GetLayerDefn()
        schema = {}
        for index in range(definition.GetFieldCount()):
            field = definition.GetFieldDefn(index)
            subtype = field.GetSubType()
            schema[field.GetName()] = (
                ogr.GetFieldSubTypeName(subtype)
                if subtype != ogr.OFSTNone
                else ogr.GetFieldTypeName(field.GetType())
            )
        return schema

    def __len__(self) -> int:
        layer = self._live()
        with captured("counting features"):
            count = layer.GetFeatureCount(force=1)
            if count >= 0:
                return int(count)
            layer.ResetReading()
            count = 0
            while layer.GetNextFeature() is not None:
                count += 1
            layer.ResetReading()
        return count

    def __iter__(self) -> Iterator[ogr.Feature]:
        call(self._live().ResetReading)
        while (feature := call(self._live().GetNextFeature)) is not None:
            yield feature

    def read(self, columns: Iterable[str] | None = None) -> FeatureArrays:
        """The features as arrays: FIDs, geometries as WKB, ``x``/``y`` for a point layer and
        the fields ``columns`` (all fields when None) as masked arrays. Filters set on the
        layer apply; fields set to be ignored (SetIgnoredFields) are no longer ignored after.
        KeyError names a column the layer does not have."""
        if isinstance(columns, str):
            raise TypeError("columns must be a list of field names, not a single str")
        layer = self._live()
        fields = list(self.schema)
        wanted = fields if columns is None else list(columns)
        unknown = [name for name in wanted if name not in fields]
        if unknown:
            raise KeyError(f"no field(s) {unknown} in layer {self.name!r}; fields: {fields}")
        return read_features(layer, wanted, self._owner.driver_name)

    def __getattr__(self, name: str) -> Any:
        value = getattr(self._live(), name)
        if not callable(value):
            return value

        def call_through_layer(*args: Any, **kwargs: Any) -> Any:
            return call(getattr(self._live(), name), *args, **kwargs)

        call_through_layer.__name__ = name
        call_through_layer.__doc__ = getattr(value, "__doc__", None)
        return call_through_layer

    def __repr__(self) -> str:
        if self._owner.closed:
            return f"<Layer of closed GeoDatabase {self._owner.path!r}>"
        return f"<Layer {self.name!r} of {self._owner.path!r}>"
