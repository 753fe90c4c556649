"""Vector layers through GeoDatabase: arrays, schema, failures that must raise, safe copies."""

import numpy as np
import pytest
from osgeo import gdal, ogr, osr

import orv
from orv import error

FIELDS = [
    ("count", ogr.OFTInteger, ogr.OFSTNone, lambda k: k * 3),
    ("big", ogr.OFTInteger64, ogr.OFSTNone, lambda k: 2**40 + k),
    ("share", ogr.OFTReal, ogr.OFSTNone, lambda k: k / 4),
    ("label", ogr.OFTString, ogr.OFSTNone, lambda k: f"é{k}"),
    ("flag", ogr.OFTInteger, ogr.OFSTBoolean, lambda k: k % 3 == 0),
]
NAMES = [name for name, *_ in FIELDS]
N = 40


def null_at(k, column):
    return (k + column) % 7 == 0


def write_points(path, driver):
    ds = ogr.GetDriverByName(driver).CreateDataSource(str(path))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(3857)
    layer = ds.CreateLayer("pts", srs, ogr.wkbPoint)
    for name, kind, subtype, _ in FIELDS:
        definition = ogr.FieldDefn(name, kind)
        definition.SetSubType(subtype)
        layer.CreateField(definition)
    for k in range(N):
        feature = ogr.Feature(layer.GetLayerDefn())
        for column, (name, _, _, value) in enumerate(FIELDS):
            if not null_at(k, column):
                feature.SetField(name, value(k))
        if k != 5 or driver == "FlatGeobuf":  # one without a geometry, where it can be kept
            feature.SetGeometry(ogr.CreateGeometryFromWkt(f"POINT ({k} {-k / 2})"))
        layer.CreateFeature(feature)
    feature = layer = ds = None
    return path


@pytest.mark.parametrize(
    "driver, name", [("GPKG", "p.gpkg"), ("FlatGeobuf", "p.fgb"), ("GeoJSON", "p.geojson")]
)
def test_layer_arrays_match_feature_by_feature_reading(tmp_path, driver, name):
    path = write_points(tmp_path / name, driver)
    by_feature = {}
    source = gdal.OpenEx(str(path))  # held: a layer of a dropped dataset reads freed memory
    for feature in source.GetLayer(0):
        row = {f: feature.GetField(f) if feature.IsFieldSetAndNotNull(f) else None for f in NAMES}
        shape = feature.GetGeometryRef()
        by_feature[feature.GetFID()] = row, shape.GetPoint_2D() if shape else None
    with orv.open(path) as db:
        layer = db.layer()
        arrays = layer.read()
        assert (len(layer), len(arrays), layer.geometry_type) == (N, N, "Point")
        assert layer.bounds == (0.0, -19.5, 39.0, 0.0)
        assert 'AUTHORITY["EPSG","3857"]' in layer.crs
        assert layer.read(["label"]).fields.keys() == {"label"}
    for slot, fid in enumerate(arrays.fid.tolist()):
        row, point = by_feature[fid]
        got = {f: arrays[f].tolist()[slot] for f in NAMES}
        assert got == {f: bool(v) if f == "flag" and v is not None else v for f, v in row.items()}
        xy = (arrays.x[slot], arrays.y[slot])
        assert xy == point if point else np.isnan(xy).all() and arrays.geometry[slot] is None
    assert arrays["share"].dtype == np.float64 and arrays["flag"].dtype == np.bool_


def test_schema_and_unknown_columns(tmp_path):
    layer = orv.open(write_points(tmp_path / "p.gpkg", "GPKG")).layer("pts")
    assert layer.schema == {
        "count": "Integer", "big": "Integer64", "share": "Real", "label": "String",
        "flag": "Boolean",
    }  # fmt: skip
    with pytest.raises(KeyError, match="nope"):
        layer.read(["count", "nope"])


OSM = """<?xml version="1.0" encoding="UTF-8"?>
<osm version="0.6" generator="test">
  <node id="1" lat="0.0" lon="0.0" version="1"><tag k="amenity" v="cafe"/></node>
  <node id="2" lat="0.0" lon="1.0" version="1"/>
  <node id="3" lat="1.0" lon="1.0" version="1"><tag k="amenity" v="bar"/></node>
  <node id="{fourth}" lat="2.0" lon="1.0" version="1"><tag k="amenity" v="pub"/></node>
  <node id="5" lat="2.0" lon="2.0" version="1"><tag k="amenity" v="pub"/></node>
  <way id="10" version="1"><nd ref="1"/><nd ref="2"/><nd ref="3"/><tag k="highway" v="x"/></way>
</osm>
"""


@pytest.fixture
def osm(tmp_path):
    """OpenStreetMap files: a good one, and one whose node ids stop increasing midway."""
    for name, fourth in [("good.osm", 4), ("broken.osm", 2)]:
        (tmp_path / name).write_text(OSM.format(fourth=fourth))
    return tmp_path


@pytest.mark.parametrize(
    "use",
    [len, list, lambda layer: layer.read()]
    + [lambda layer: layer.GetNextFeature() and layer.GetNextFeature() and None],
    ids=["len", "iterate", "read", "through"],
)
def test_a_source_failing_midway_raises(osm, use):
    with pytest.raises(error.GDALError, match="Non increasing node id"):
        use(orv.open(osm / "broken.osm").layer("points"))


def test_unknown_feature_count_is_counted(osm):
    assert gdal.OpenEx(str(osm / "good.osm")).GetLayerByName("points").GetFeatureCount() == -1
    points = orv.open(osm / "good.osm").layer("points")
    assert len(points) == len(list(points)) == 4


def test_failed_save_raises_and_leaves_no_output(osm, tmp_path):
    with pytest.raises(error.GDALError, match="Non increasing node id"):
        orv.open(osm / "broken.osm").save(tmp_path / "out.gpkg")
    mixed = orv.create_vector(None)
    layer = mixed.dataset.CreateLayer("boroughs", None, ogr.wkbPolygon)
    for wkt in [
        "POLYGON ((0 0,1 0,1 1,0 0))",
        "MULTIPOLYGON (((0 0,1 0,1 1,0 0)),((5 5,6 5,6 6,5 5)))",
    ]:
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetGeometry(ogr.CreateGeometryFromWkt(wkt))
        layer.CreateFeature(feature)
    feature = layer = None
    with pytest.raises(error.GDALError, match="Mismatched geometry type"):
        mixed.save(tmp_path / "b.fgb")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.osm", "good.osm"]
    copy = mixed.save(
        tmp_path / "b.fgb", promote_to_multi=True, layer_options={"SPATIAL_INDEX": False}
    )
    assert copy.layer().geometry_type == "Multi Polygon" and len(copy.layer()) == 2
    copy.close()
    with pytest.raises(FileExistsError):
        mixed.save(tmp_path / "b.fgb")
    with pytest.raises(error.FormatError, match="SPATIAL_INDX"):
        mixed.save(tmp_path / "c.fgb", overwrite=True, layer_options={"SPATIAL_INDX": "NO"})
    assert (
        len(
            mixed.save(
                tmp_path / "b.fgb", "FlatGeobuf", overwrite=True, promote_to_multi=True
            ).layer()
        )
        == 2
    )


def test_message_that_is_not_utf8_raises_gdal_error(tmp_path):
    (tmp_path / "bad.geojson").write_bytes(b'{"type": "FeatureCollection", "features": [\xff\xfe')
    with pytest.raises(error.GDALError, match="Unexpected character \\(\ufffd\\)"):
        orv.open(tmp_path / "bad.geojson")


def test_gdal_warnings_become_gdal_warnings(tmp_path):
    db = orv.create_vector(tmp_path / "w.shp")
    db.dataset.CreateLayer("w", None, ogr.wkbPoint)
    with pytest.warns(error.GDALWarning, match="laundered"):
        db.layer("w").CreateField(ogr.FieldDefn("a_long_field_name", ogr.OFTString))


def test_a_folder_with_a_broken_shapefile_raises_and_an_unclosed_one_only_warns(tmp_path):
    for suffix, content in ((".shp", b"garbage"), (".shx", b"x"), (".dbf", b"y")):
        (tmp_path / f"broken{suffix}").write_bytes(content)
    db = orv.open(tmp_path, kind="vector")
    with pytest.raises(error.GDALError, match="unreadable, or corrupt"):
        _ = db.layer_count
    # A wrapper collected without close() cannot raise: GDAL's text arrives as a warning.
    db = orv.open(tmp_path, kind="vector")
    with pytest.warns(error.GDALWarning, match="closing"):
        del db
