"""Opening real files through the drivers: archives, read-only sources, multidimensional formats,
and working with the GeoDatabase wrapper, against files GDAL writes in tmp_path."""

import io
import os
import re
import subprocess
import sys
import tarfile
import textwrap
import zipfile

import numpy as np
import pytest
from osgeo import gdal, ogr

from orv import error
from orv._algos.geo import driver

VALUES = np.arange(20, dtype=np.float32).reshape(4, 5)  # 5 columns, 4 rows


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Files made by GDAL's own drivers: name -> path."""
    folder = tmp_path_factory.mktemp("real")
    at = {name: str(folder / name) for name in "x.tif roads.shp strings.nc".split()}
    tif = gdal.GetDriverByName("GTiff").Create(at["x.tif"], 5, 4, 1, gdal.GDT_Float32)
    tif.GetRasterBand(1).WriteArray(VALUES)
    tif.SetGeoTransform((10, 1, 0, 20, 0, -1))
    tif = None
    with zipfile.ZipFile(folder / "t.zip", "w") as archive:
        archive.write(at["x.tif"], "x.tif")
    with tarfile.open(folder / "t.tar", "w") as archive:
        archive.add(at["x.tif"], "x.tif")
    shp = ogr.GetDriverByName("ESRI Shapefile").CreateDataSource(at["roads.shp"])
    layer = shp.CreateLayer("roads", geom_type=ogr.wkbLineString)
    layer.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    for i in range(3):
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetField("id", i)
        feature.SetGeometry(ogr.CreateGeometryFromWkt(f"LINESTRING ({i} 0, {i} 1)"))
        layer.CreateFeature(feature)
    feature = layer = shp = None
    with zipfile.ZipFile(folder / "roads.zip", "w") as archive:
        for suffix in ("shp", "shx", "dbf"):
            archive.write(folder / f"roads.{suffix}", f"roads.{suffix}")
    for name, options in [("t.nc", []), ("h.h5", ["FORMAT=NC4"])]:  # NC4 is an HDF5 file
        out = gdal.Translate(
            str(folder / name), at["x.tif"], format="netCDF", creationOptions=options
        )
        out = None
    del out
    gdal.BuildVRT(str(folder / "v.vrt"), [at["x.tif"]]).FlushCache()
    zarr = gdal.GetDriverByName("Zarr").Create(str(folder / "z.zarr"), 5, 4, 1, gdal.GDT_Float32)
    zarr.GetRasterBand(1).WriteArray(VALUES)
    zarr = None
    # A netCDF file holding only a string array: only the multidimensional mode reads it.
    md = gdal.GetDriverByName("netCDF").CreateMultiDimensional(at["strings.nc"])
    group = md.GetRootGroup()
    dim = group.CreateDimension("x", None, None, 3)
    group.CreateMDArray("s", [dim], gdal.ExtendedDataType.CreateString())
    md = group = dim = None
    return {path.name: str(path) for path in folder.iterdir()}


def plain(path, kind, name):
    ds = gdal.OpenEx(path, kind, [name])
    layers = [[f.GetField(0) for f in ds.GetLayer(i)] for i in range(ds.GetLayerCount())]
    values = ds.ReadAsArray() if ds.RasterCount else None
    return (
        ds.GetDriver().ShortName,
        (ds.RasterXSize, ds.RasterYSize),
        ds.RasterCount,
        layers,
        values,
    )


R, V = driver.RasterDriver, driver.VectorDriver


@pytest.mark.parametrize(
    "cls, name, source, writable",
    [(R, "GTiff", "/vsizip/{t.zip}/x.tif", False), (R, "GTiff", "/vsitar/{t.tar}/x.tif", False)]
    + [(R, "GTiff", "{x.tif}", True), (V, "ESRI Shapefile", "/vsizip/{roads.zip}", False)]
    + [(R, "netCDF", "{t.nc}", True), (R, "HDF5", "{h.h5}", False), (R, "VRT", "{v.vrt}", True)]
    + [(R, "Zarr", "{z.zarr}", False)],  # GDAL refuses to update it
    ids="zip tar tif zipped-shp netcdf hdf5 vrt zarr".split(),
)
def test_opens_what_plain_gdal_opens(files, cls, name, source, writable):
    path = re.sub(r"\{(.+?)\}", lambda match: files[match[1]], source)
    kind = gdal.OF_VECTOR if cls is driver.VectorDriver else gdal.OF_RASTER
    answer, size, bands, layers, values = plain(path, kind, name)  # HDF5 answers as HDF5Image
    opened = cls(name).open(path)
    assert (opened.driver_name, opened.writable) == (answer, writable)
    assert (opened.raster_size, opened.band_count, opened.layer_count) == (size, bands, len(layers))
    assert [[f.GetField(0) for f in opened.layer(i)] for i in range(len(layers))] == layers
    if bands:
        assert np.array_equal(opened.read()[0], values) and values.sum() == VALUES.sum()
    else:
        assert layers == [[0, 1, 2]] and opened.layer_names == ["roads"]


def test_only_multidimensional_file_still_opens(files):
    opened = driver.RasterDriver("netCDF").open(files["strings.nc"])
    group = opened.dataset.GetRootGroup()
    assert opened.band_count == 0 and group.GetMDArrayNames() == ["s"]


@pytest.fixture
def gdal_exceptions():
    was_on = gdal.GetUseExceptions()
    gdal.UseExceptions()
    yield
    if not was_on:
        gdal.DontUseExceptions()


def test_read_only_fallback_with_gdal_exceptions_on(files, gdal_exceptions):
    for cls, name, path in [
        (R, "GTiff", f"/vsizip/{files['t.zip']}/x.tif"),
        (R, "Zarr", files["z.zarr"]),
    ]:
        opened = cls(name).open(path)
        assert (opened.writable, opened.band_count) == (False, 1)


def test_unreadable_file_raises_gdal_message(files):
    with pytest.raises(error.GDALError, match="not recognized as a supported file format"):
        driver.RasterDriver("netCDF").open(files["roads.shp"])


@pytest.mark.skipif(hasattr(os, "geteuid") and os.geteuid() == 0, reason="root may write anyway")
def test_write_protected_file_opens_read_only(tmp_path):
    path = tmp_path / "locked.tif"
    driver.RasterDriver().create(path, 3, 2, 1).close()
    path.chmod(0o444)
    opened = driver.RasterDriver().open(path)
    assert not opened.writable and opened.raster_size == (3, 2)
    with pytest.raises(io.UnsupportedOperation, match="read-only"):
        opened.write(np.zeros((2, 3)), 1)


def test_layers_outlive_or_refuse_their_wrapper_in_a_child_process(files):
    # Used after their dataset went, GDAL's own layers read freed memory: a crash fails here.
    script = textwrap.dedent(
        f"""
        import gc
        from orv._algos.geo import driver
        layer = driver.VectorDriver().open({files["roads.shp"]!r}).layer("roads")
        gc.collect()
        print([feature.GetField("id") for feature in layer], len(layer), layer.GetName())
        opened = driver.VectorDriver().open({files["roads.shp"]!r})
        layer, method = opened.layer(0), opened.layer(0).GetFeatureCount
        opened.close()
        for use in (lambda: list(layer), method, lambda: layer.name):
            try:
                use()
            except ValueError as exc:
                print(exc)
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    closed = f"layer of a closed GeoDatabase ({files['roads.shp']!r})"
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["[0, 1, 2] 3 roads", closed, closed, closed]


@pytest.mark.parametrize("key, exc", [(1, IndexError), ("rivers", KeyError), (0.0, TypeError)])
def test_layer_lookup_errors(files, key, exc):
    with pytest.raises(exc):
        driver.VectorDriver().open(files["roads.shp"]).layer(key)


def test_read_write_georeferencing_and_save(tmp_path):
    gtiff = driver.RasterDriver()
    gtiff.set_creation_options(COMPRESS="DEFLATE")
    created = gtiff.create(None, np.int64(5), np.int32(4), np.uint8(2), np.dtype("int16"))
    assert created.writable and created.geotransform is None and created.crs is None
    data = np.arange(40).reshape(2, 4, 5)
    created.write(data)
    created.write(data[0] * 10, np.int8(2))
    created.geotransform = (100, 10, 0, 200, 0, -10)
    created.crs = "EPSG:32633"
    saved = created.save(tmp_path / "kept.tif")
    assert saved.path == str(tmp_path / "kept.tif") and saved.writable
    assert saved.image_structure["COMPRESSION"] == "DEFLATE"  # the creating driver's options
    assert np.array_equal(saved.read(), np.stack([data[0], data[0] * 10]))
    assert saved.read(1).dtype == np.int16 and saved.geotransform == created.geotransform
    assert 'AUTHORITY["EPSG","32633"]' in saved.crs
    saved.crs = 4326
    assert saved.dataset.GetSpatialRef().GetAuthorityCode(None) == "4326"
    other = saved.save(tmp_path / "kept.img", driver.RasterDriver("HFA"), {"COMPRESSED": True})
    assert other.driver_name == "HFA" and np.array_equal(other.read(2), data[0] * 10)
    plain_copy = driver.RasterDriver().open(tmp_path / "kept.tif").save(tmp_path / "plain.tif")
    assert "COMPRESSION" not in plain_copy.image_structure  # an opened file has no recorded options
    png = driver.RasterDriver("MEM").create(None, 4, 3, 1, "uint8").save(tmp_path / "a.png", "PNG")
    assert not png.writable and png.read(1).shape == (3, 4)  # PNG can only copy


@pytest.mark.parametrize(
    "call, exc",
    [
        (lambda g: g.write(np.zeros((5, 4))), ValueError),
        (lambda g: g.write(np.zeros((1, 4))), ValueError),
    ]
    + [(lambda g: g.write(np.zeros((4, 5)), 2), IndexError), (lambda g: g.read(0), IndexError)]
    + [(lambda g: g.read(1.0), TypeError), (lambda g: g.write([["a"]], 1), TypeError)]
    + [(lambda g: setattr(g, "crs", "nonsense"), error.GDALError)]
    + [(lambda g: setattr(g, "crs", True), TypeError)]
    + [(lambda g: setattr(g, "geotransform", (1, 2)), ValueError)]
    + [(lambda g: g.save(g.path), ValueError), (lambda g: g.save("a.tif", 5), TypeError)],
)
def test_wrapper_errors(call, exc):
    with pytest.raises(exc):
        call(driver.RasterDriver("MEM").create(None, 5, 4, 1))


def test_read_only_and_closed_wrappers_refuse(files):
    opened = driver.RasterDriver().open(f"/vsizip/{files['t.zip']}/x.tif")
    with pytest.raises(io.UnsupportedOperation, match="read-only"):
        opened.crs = 4326
    opened.close()
    with pytest.raises(ValueError, match="closed"):
        opened.read()


@pytest.mark.parametrize("size", [2.0, True, "2", np.float64(2)])
def test_sizes_must_be_integers(size):
    with pytest.raises(TypeError, match="must be an integer"):
        driver.RasterDriver("MEM").create(None, size, 2, 1)


def test_paths_may_be_path_objects(tmp_path):
    raster = driver.RasterDriver().create(tmp_path / "p.tif", np.int64(3), np.uint16(2), 1)
    vector = driver.VectorDriver("GPKG").create(tmp_path / "p.gpkg")
    assert (raster.path, vector.path) == (str(tmp_path / "p.tif"), str(tmp_path / "p.gpkg"))
    raster.close()
    siblings = [tmp_path / "p.tif"]
    assert driver.RasterDriver().open(tmp_path / "p.tif", siblings).raster_size == (3, 2)


def test_vector_save_copies_layers(tmp_path):
    gpkg = driver.VectorDriver("GPKG").create(None)
    layer = gpkg.dataset.CreateLayer("pts", geom_type=ogr.wkbPoint)
    feature = ogr.Feature(layer.GetLayerDefn())
    feature.SetGeometry(ogr.CreateGeometryFromWkt("POINT (1 2)"))
    layer.CreateFeature(feature)
    feature = layer = None
    for path, name in [(tmp_path / "copy.gpkg", None), (tmp_path / "copy.shp", "ESRI Shapefile")]:
        copy = gpkg.save(path, name)
        points = [f.GetGeometryRef().ExportToWkt() for f in copy.layer(0)]
        assert (copy.writable, copy.layer_count, points) == (True, 1, ["POINT (1 2)"])
