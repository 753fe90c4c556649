"""A vector layer's features as numpy arrays, read through GDAL's Arrow stream where it can.

The Arrow stream of the binding (``ogr.Layer.GetArrowStreamAsNumPy``) hands over whole
batches of columns; without it, or for columns it gets wrong, features are read one by one.
GDAL 3.6's GeoPackage and FlatGeobuf streams give wrong boolean values, so boolean fields go
through the Arrow stream only for drivers that pass a check against the one-by-one reading
(see _arrow_booleans_right).
"""

import functools
import threading
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
from osgeo import gdal, ogr

from ._gdalerrors import captured

# Features per Arrow batch: at least, and at most (when the layer's count is known).
BATCH = 65536
MAX_BATCH = 1 << 24
_HAS_ARROW = hasattr(ogr.Layer, "GetArrowStreamAsNumPy")
_LOOP_TYPES = {
    ogr.OFTInteger: np.int32,
    ogr.OFTInteger64: np.int64,
    ogr.OFTReal: np.float64,
    ogr.OFTString: object,
}
_SUBTYPES = {ogr.OFSTBoolean: np.bool_, ogr.OFSTInt16: np.int16, ogr.OFSTFloat32: np.float32}


@dataclass(frozen=True, eq=False)
class FeatureArrays:
    """The features of a layer as arrays, one item per feature in reading order.

    ``fields`` maps each field read to a masked array (NULL and unset values masked); strings
    are str objects, dates numpy datetime64. ``geometry`` holds each geometry as WKB bytes
    (None when it has none); ``x`` and ``y`` are the coordinates of a point layer (NaN for a
    missing or empty point) and None for other layers. ``arrays["name"]`` is a field.
    """

    fid: npt.NDArray[np.int64]
    # The WKB as read: fixed-size numpy void items when every geometry has one size (as the
    # Arrow stream gives them), else bytes objects and None; ``geometry`` is made on demand.
    _wkb: npt.NDArray[Any] = field(repr=False)
    fields: dict[str, np.ma.MaskedArray[Any, Any]] = field(default_factory=dict)
    x: npt.NDArray[np.float64] | None = None
    y: npt.NDArray[np.float64] | None = None

    @functools.cached_property
    def geometry(self) -> npt.NDArray[np.object_]:
        if self._wkb.dtype == object:
            return self._wkb
        objects = np.empty(len(self._wkb), dtype=object)
        objects[:] = self._wkb.tolist()
        return objects

    def __getitem__(self, name: str) -> np.ma.MaskedArray[Any, Any]:
        return self.fields[name]

    def __len__(self) -> int:
        return len(self.fid)


def read_features(layer: ogr.Layer, columns: list[str], driver: str) -> FeatureArrays:
    """Arrays of the fields ``columns`` (names of the layer's fields), FIDs and geometries of
    a layer of a dataset opened by the driver named ``driver``."""
    definition = layer.GetLayerDefn()
    kinds = {}
    for index in range(definition.GetFieldCount()):
        field_definition = definition.GetFieldDefn(index)
        kinds[field_definition.GetName()] = field_definition.GetSubType()
    booleans = [name for name in columns if kinds[name] == ogr.OFSTBoolean]
    by_loop = booleans if booleans and not _arrow_booleans_right(driver) else []
    if not _HAS_ARROW:
        return _with_points(layer, *_read_by_loop(layer, columns, geometry=True))
    arrow_columns = [name for name in columns if name not in by_loop]
    read = _read_by_arrow(layer, arrow_columns, list(kinds))
    if read is None:  # no batch at all: the loop gives the empty arrays their field types
        return _with_points(layer, *_read_by_loop(layer, columns, geometry=True))
    fid, geometry, fields = read
    if by_loop:
        _, _, looped = _read_by_loop(layer, by_loop, geometry=False)
        fields.update(looped)
    return _with_points(layer, fid, geometry, {name: fields[name] for name in columns})


def _with_points(
    layer: ogr.Layer, fid: Any, geometry: Any, fields: dict[str, Any]
) -> FeatureArrays:
    if ogr.GT_Flatten(layer.GetGeomType()) != ogr.wkbPoint:
        return FeatureArrays(fid, geometry, fields)
    x, y = point_coordinates(geometry)
    return FeatureArrays(fid, geometry, fields, x, y)


def _ignoring(layer: ogr.Layer, all_fields: list[str], wanted: list[str], geometry: bool) -> None:
    """Have GDAL skip the fields not wanted; the readers reset this to nothing ignored."""
    ignored = [name for name in all_fields if name not in wanted]
    if not geometry:
        ignored.append("OGR_GEOMETRY")
    layer.SetIgnoredFields(ignored)


def _read_by_arrow(
    layer: ogr.Layer, columns: list[str], all_fields: list[str]
) -> tuple[Any, Any, dict[str, Any]] | None:
    fid_name = layer.GetFIDColumn() or "OGC_FID"
    geometry_name = (
        (layer.GetGeometryColumn() or "wkb_geometry")
        if layer.GetLayerDefn().GetGeomFieldCount()
        else None
    )
    parts: dict[str, list[Any]] = {name: [] for name in [fid_name, *columns]}
    if geometry_name is not None:
        parts[geometry_name] = []
    _ignoring(layer, all_fields, columns, geometry=True)
    try:
        with captured("reading the layer's Arrow stream"):
            layer.ResetReading()
            # One batch for the whole layer when its count is known cheaply: the arrays are
            # then used as GDAL hands them, without joining batches.
            size = min(max(layer.GetFeatureCount(force=0), BATCH), MAX_BATCH)
            stream = layer.GetArrowStreamAsNumPy(
                options=["INCLUDE_FID=YES", f"MAX_FEATURES_IN_BATCH={size}"]
            )
        while True:
            with captured("reading the layer's Arrow stream"):
                batch = stream.GetNextRecordBatch()
            if not batch:
                break
            for name, values in parts.items():
                values.append(batch[name])
    finally:
        layer.SetIgnoredFields([])
        layer.ResetReading()
    if not parts[fid_name]:
        return None
    fid = np.ma.getdata(_joined(parts.pop(fid_name))).astype(np.int64, copy=False)
    if geometry_name is None:
        geometry = np.full(len(fid), None, dtype=object)
    else:
        geometry = _joined_wkb(parts.pop(geometry_name))
    fields = {name: _strings_decoded(_joined(values)) for name, values in parts.items()}
    return fid, geometry, fields


def _joined_wkb(batches: list[Any]) -> npt.NDArray[Any]:
    """The geometry batches as one array: fixed-size void items kept as they are when every
    batch has them, without NULLs; else bytes objects with None for NULL."""
    datas = [np.ma.getdata(batch) for batch in batches]
    masked = any(np.ma.is_masked(batch) for batch in batches)
    if not masked and len({data.dtype for data in datas}) == 1 and datas[0].dtype.kind == "V":
        return datas[0] if len(datas) == 1 else np.concatenate(datas)
    parts = []
    for batch, data in zip(batches, datas, strict=True):
        objects = np.empty(len(data), dtype=object)
        objects[:] = data.tolist()
        if np.ma.is_masked(batch):
            objects[np.ma.getmaskarray(batch)] = None
        parts.append(objects)
    return np.concatenate(parts)


def _joined(batches: list[Any]) -> np.ma.MaskedArray[Any, Any]:
    if len(batches) == 1:
        return np.ma.MaskedArray(batches[0])
    data = np.concatenate([np.ma.getdata(batch) for batch in batches])
    if not any(np.ma.is_masked(batch) for batch in batches):
        return np.ma.MaskedArray(data)
    return np.ma.MaskedArray(data, mask=np.concatenate([np.ma.getmaskarray(b) for b in batches]))


def _strings_decoded(values: np.ma.MaskedArray[Any, Any]) -> np.ma.MaskedArray[Any, Any]:
    """Byte strings (as the Arrow stream gives them) as str objects, decoded as UTF-8."""
    if values.dtype.kind != "S":
        return values
    texts = np.array([item.decode("utf-8", "replace") for item in values.data.tolist()], object)
    return np.ma.MaskedArray(texts, mask=values.mask)


def _read_by_loop(
    layer: ogr.Layer, columns: list[str], geometry: bool
) -> tuple[Any, Any, dict[str, Any]]:
    definition = layer.GetLayerDefn()
    indices = [definition.GetFieldIndex(name) for name in columns]
    values: list[list[Any]] = [[] for _ in columns]
    nulls: list[list[bool]] = [[] for _ in columns]
    fids: list[int] = []
    geometries: list[bytes | None] = []
    all_fields = [definition.GetFieldDefn(i).GetName() for i in range(definition.GetFieldCount())]
    _ignoring(layer, all_fields, columns, geometry)
    try:
        with captured("reading the layer's features"):
            layer.ResetReading()
            while (feature := layer.GetNextFeature()) is not None:
                fids.append(feature.GetFID())
                if geometry:
                    shape = feature.GetGeometryRef()
                    geometries.append(None if shape is None else bytes(shape.ExportToIsoWkb()))
                for slot, index in enumerate(indices):
                    null = not feature.IsFieldSetAndNotNull(index)
                    nulls[slot].append(null)
                    values[slot].append(None if null else feature.GetField(index))
    finally:
        layer.SetIgnoredFields([])
        layer.ResetReading()
    fields = {}
    for slot, (name, index) in enumerate(zip(columns, indices, strict=True)):
        fields[name] = _loop_column(definition.GetFieldDefn(index), values[slot], nulls[slot])
    return np.array(fids, dtype=np.int64), np.array(geometries, dtype=object), fields


def _loop_column(
    definition: ogr.FieldDefn, values: list[Any], nulls: list[bool]
) -> np.ma.MaskedArray[Any, Any]:
    dtype = _SUBTYPES.get(definition.GetSubType()) or _LOOP_TYPES.get(definition.GetType(), object)
    if dtype is not object:
        filler = dtype(0)
        values = [filler if null else value for value, null in zip(values, nulls, strict=True)]
    data: npt.NDArray[Any] = np.empty(len(values), dtype=dtype)
    data[:] = values
    return np.ma.MaskedArray(data, mask=np.array(nulls, dtype=bool))


def point_coordinates(
    wkb: npt.NDArray[Any],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """x and y of point WKB items (NaN where there is none); vectorised for the usual case
    of points of one byte order and dimension, one by one otherwise."""
    if wkb.dtype.kind == "V":
        found = _fixed_size_points(wkb)
        if found is not None:
            return found
        objects = np.empty(len(wkb), dtype=object)
        objects[:] = wkb.tolist()
        wkb = objects
    x = np.full(len(wkb), np.nan)
    y = np.full(len(wkb), np.nan)
    present = np.not_equal(wkb, None)  # type: ignore[call-overload]  # elementwise
    items = wkb[present].tolist()
    if items and (np.fromiter(map(len, items), np.int64, len(items)) == len(items[0])).all():
        joined = np.frombuffer(b"".join(items), dtype=f"V{len(items[0])}")
        found = _fixed_size_points(joined)
        if found is not None:
            x[present], y[present] = found
            return x, y
    with captured("reading point geometries"):
        for slot, item in zip(np.flatnonzero(present), items, strict=True):
            point = ogr.CreateGeometryFromWkb(item)
            if point is not None and not point.IsEmpty():
                x[slot], y[slot] = point.GetX(), point.GetY()
    return x, y


def _fixed_size_points(
    wkb: npt.NDArray[np.void],
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]] | None:
    """x and y read in place from WKB items of one size, or None unless all are points of
    one byte order (2-D, Z, M or ZM, ISO or extended codes)."""
    size = wkb.dtype.itemsize
    if size < 21 or not len(wkb):
        return None
    first = wkb[:1].view(np.uint8)[0]
    if first not in (0, 1):
        return None
    endian = "<" if first == 1 else ">"
    layout = np.dtype(
        [("order", "u1"), ("kind", f"{endian}u4"), ("x", f"{endian}f8"), ("y", f"{endian}f8")]
        + ([("rest", f"V{size - 21}")] if size > 21 else [])
    )
    records = wkb.view(layout)
    order = records["order"]
    if order.min() != order.max():
        return None
    kind = records["kind"]
    low, high = int(kind.min()), int(kind.max())
    kinds = np.array([low]) if low == high else kind.astype(np.uint32)  # usually one kind
    if not ((kinds % 1000 == 1) & (kinds < 4000) | ((kinds & 0x0FFFFFFF) == 1)).all():
        return None
    return records["x"].astype(np.float64), records["y"].astype(np.float64)


_verdicts: dict[str, bool] = {}
_verdict_lock = threading.Lock()


def _arrow_booleans_right(name: str) -> bool:
    """Whether the Arrow stream of the driver ``name`` gives booleans right (checked once per
    driver on a small dataset it writes in memory; False when it cannot write one)."""
    with _verdict_lock:
        if name not in _verdicts:
            _verdicts[name] = _check_booleans(name)
        return _verdicts[name]


def _check_booleans(name: str) -> bool:
    driver = gdal.GetDriverByName(name) if name else None
    if driver is None or (driver.GetMetadataItem("DCAP_CREATE") or "").upper() != "YES":
        return False
    extension = (driver.GetMetadataItem("DMD_EXTENSIONS") or "").split()
    path = f"/vsimem/orv-boolean-check/check.{extension[0] if extension else 'data'}"
    expected = [True, False, None, True, True, False, None, False, True, True, False, True]
    try:
        with captured("checking the Arrow stream's booleans"):
            dataset = driver.Create(path, 0, 0, 0, gdal.GDT_Unknown)
            if dataset is None:
                return False
            layer = dataset.CreateLayer("check", None, ogr.wkbPoint)
            definition = ogr.FieldDefn("flag", ogr.OFTInteger)
            definition.SetSubType(ogr.OFSTBoolean)
            layer.CreateField(definition)
            for value in expected:
                feature = ogr.Feature(layer.GetLayerDefn())
                if value is not None:
                    feature.SetField("flag", int(value))
                feature.SetGeometry(ogr.CreateGeometryFromWkt("POINT (1 2)"))
                layer.CreateFeature(feature)
            feature = layer = None
            if (driver.GetMetadataItem("DCAP_VIRTUALIO") or "").upper() == "YES":
                dataset = None  # read back what the driver wrote, as a user's file is read
                dataset = gdal.OpenEx(path, gdal.OF_VECTOR)
            read = _read_by_arrow(dataset.GetLayer(0), ["flag"], ["flag"])
            got = read[2]["flag"] if read is not None else None
            return got is not None and got.dtype == np.bool_ and got.tolist() == expected
    except Exception:  # a driver that cannot write the check cannot be trusted with it
        return False
    finally:
        dataset = None
        for file in gdal.ReadDirRecursive("/vsimem/orv-boolean-check") or []:
            gdal.Unlink(f"/vsimem/orv-boolean-check/{file}")
