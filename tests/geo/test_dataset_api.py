"""The public dataset functions of orv against files GDAL writes in tmp_path."""

import subprocess
import sys
import zipfile

import numpy as np
import pytest
from osgeo import gdal, ogr

import orv
from orv import error
from orv._algos.geo import driver as facade


def gtiff(path):
    ds = gdal.GetDriverByName("GTiff").Create(str(path), 4, 3, 1, gdal.GDT_Byte)
    ds.GetRasterBand(1).WriteArray(np.arange(12, dtype=np.uint8).reshape(3, 4))
    ds = None
    return path


def gpkg(path):
    ds = ogr.GetDriverByName("GPKG").CreateDataSource(str(path))
    layer = ds.CreateLayer("pts", None, ogr.wkbPoint)
    feature = ogr.Feature(layer.GetLayerDefn())
    feature.SetGeometry(ogr.CreateGeometryFromWkt("POINT (1 2)"))
    layer.CreateFeature(feature)
    feature = layer = ds = None
    return path


def gdal_refuses_writes(db):
    """Whether GDAL's own access check refuses a write through the raw dataset."""
    ds = db.dataset
    if ds.RasterCount:
        gdal.PushErrorHandler("CPLQuietErrorHandler")
        try:
            code = ds.GetRasterBand(1).WriteArray(np.zeros((3, 4), np.uint8))
        finally:
            gdal.PopErrorHandler()
        return code != 0
    return not ds.GetLayer(0).TestCapability(ogr.OLCSequentialWrite)


@pytest.mark.parametrize("make", [gtiff, gpkg], ids=["gtiff", "gpkg"])
@pytest.mark.parametrize("mode", ["r", "r+"])
def test_read_mode_never_opens_for_update(tmp_path, make, mode):
    path = make(tmp_path / ("data.tif" if make is gtiff else "data.gpkg"))
    before = path.read_bytes()
    with orv.open(path, mode) as db:
        assert db.writable == (mode == "r+")
        assert gdal_refuses_writes(db) == (mode == "r")
    if mode == "r":
        assert path.read_bytes() == before


def test_update_mode_raises_where_gdal_cannot_write(tmp_path):
    with zipfile.ZipFile(tmp_path / "t.zip", "w") as archive:
        archive.write(gtiff(tmp_path / "x.tif"), "x.tif")
    source = f"/vsizip/{tmp_path / 't.zip'}/x.tif"
    assert not orv.open(source).writable
    with pytest.raises(error.GDALError):
        orv.open(source, "r+")


@pytest.mark.parametrize("suffix", [".csv", ".txt", ".tsv"])
def test_point_tables_open_as_vector_layers(tmp_path, suffix):
    separator = "\t" if suffix == ".tsv" else ","
    rows = ["lon,lat,value", "1.5,2.5,3", "-3,4,5", "7,-1,6"]
    path = tmp_path / f"points{suffix}"
    path.write_text("\n".join(row.replace(",", separator) for row in rows) + "\n")
    options = {"X_POSSIBLE_NAMES": "lon", "Y_POSSIBLE_NAMES": "lat", "AUTODETECT_TYPE": True}
    with orv.open(path, kind="vector", options=options) as db:
        assert db.driver_name == "CSV"
        arrays = db.layer().read()
    assert arrays.x.tolist() == [1.5, -3.0, 7.0] and arrays.y.tolist() == [2.5, 4.0, -1.0]
    assert arrays["value"].tolist() == [3, 5, 6]
    if suffix == ".csv":  # without a kind the XYZ grid driver claims it and fails on it
        assert orv.open(path).driver_name == "CSV"


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda p: orv.open(p, "w"), ValueError, "mode"),
        (lambda p: orv.open(p, kind="image"), ValueError, "kind"),
        (lambda p: orv.open(p, driver="CSV", kind="raster"), error.FormatError, "CSV"),
        (lambda p: orv.open(p, options={"NOPE": 1}), error.FormatError, "NOPE"),
        (lambda p: orv.open(p, driver="NoSuch"), error.FormatError, "NoSuch"),
        (lambda p: orv.open(p.parent / "absent.tif"), error.GDALError, "absent.tif"),
    ],
)
def test_open_refuses(tmp_path, call, exc, message):
    with pytest.raises(exc, match=message):
        call(gtiff(tmp_path / "x.tif"))


def test_create_raster_sets_everything_and_checks_options(tmp_path):
    path = tmp_path / "new.tif"
    db = orv.create_raster(
        path, width=5, height=3, count=2, dtype="int16", crs=32633, nodata=-1,
        transform=(100.0, 10.0, 0.0, 200.0, 0.0, -10.0), options={"COMPRESS": "deflate"},
    )  # fmt: skip
    db.write(np.ones((2, 3, 5)))
    db.close()
    with orv.open(path) as again:
        assert (again.driver_name, again.raster_size, again.band_count) == ("GTiff", (5, 3), 2)
        assert again.read().dtype == np.int16 and again.nodata == (-1, -1)
        assert again.bounds == (100.0, 170.0, 150.0, 200.0)
        assert 'AUTHORITY["EPSG","32633"]' in again.crs
        assert again.image_structure["COMPRESSION"] == "DEFLATE"
    memory = orv.create_raster(None, width=2, height=2)
    assert memory.driver_name == "MEM" and memory.read(1).dtype == np.float32
    with pytest.raises(error.FormatError, match="ZIPPY"):
        orv.create_raster(tmp_path / "a.tif", width=1, height=1, options={"COMPRESS": "ZIPPY"})
    with pytest.raises(error.FormatError, match="COMPRES'"):
        orv.create_raster(tmp_path / "a.tif", width=1, height=1, options={"COMPRES": "LZW"})
    with pytest.raises(error.FormatError, match="no extension"):
        orv.create_raster(tmp_path / "noext", width=1, height=1)
    assert not (tmp_path / "a.tif").exists()


def test_create_raster_failing_after_creation_leaves_nothing(tmp_path):
    with pytest.raises(TypeError, match="nodata"):
        orv.create_raster(tmp_path / "n.tif", width=2, height=2, count=2, nodata=[0, "x"])
    assert list(tmp_path.iterdir()) == []


def test_create_vector_and_drivers(tmp_path):
    db = orv.create_vector(tmp_path / "v.gpkg", options={"VERSION": "1.2"})
    assert (db.driver_name, db.writable, db.layer_count) == ("GPKG", True, 0)
    assert orv.create_vector(None).driver_name == "Memory"
    assert [type(orv.driver(n)) for n in ("gtiff", "ESRI Shapefile", "GPKG")] == [
        facade.RasterDriver, facade.VectorDriver, facade.Driver,
    ]  # fmt: skip
    assert len(orv.drivers()) == gdal.GetDriverCount()


def test_import_orv_loads_neither_gdal_nor_numpy():
    code = "import sys, orv; print(sorted({'osgeo', 'numpy'} & set(sys.modules)))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "[]"
