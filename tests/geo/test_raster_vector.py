"""RasterDriver and VectorDriver: capability checks, properties and dataset creation."""

import gc
import itertools

import fakes
import pytest
from osgeo import gdal, ogr

from orv import error
from orv._algos.geo import driver, geodatabase

CREATION_XML = (
    "<CreationOptionList><Option name='COMPRESS'><Value>NONE</Value><Value>LZW</Value></Option>"
    "<Option name='TILED'/></CreationOptionList>"
)


@pytest.fixture
def fake(monkeypatch):
    # Registry positions matter: 0 is GTiff, 3 is Neither.
    gtiff = {"DCAP_RASTER": "YES", "DMD_EXTENSION": "tif"}
    shapefile = {"DCAP_VECTOR": "YES", "DMD_EXTENSIONS": "shp dbf"}
    both = {"DCAP_RASTER": "yes", "DCAP_VECTOR": "YES"}
    drivers = {"GTiff": gtiff, "ESRI Shapefile": shapefile, "Both": both, "Neither": {}}
    return fakes.install(monkeypatch, drivers)


def last(fake, name):
    return [event[1] for event in fake.events if event[0] == name][-1]


@pytest.mark.parametrize(
    "cls, name, message",
    [(driver.RasterDriver, "ESRI Shapefile", '"ESRI Shapefile" is not a raster driver!')]
    + [(driver.RasterDriver, 3, '"3" is not a raster driver!')]
    + [(driver.VectorDriver, 0, '"0" is not a vector driver!')]
    + [(driver.VectorDriver, "Nope", "Driver(Nope) is incorrect!")],
)
def test_construction_rejects(fake, cls, name, message):
    with pytest.raises(error.FormatError) as caught:
        cls(name)
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "cls, default, category",
    [(driver.RasterDriver, "GTiff", "Raster"), (driver.VectorDriver, "ESRI Shapefile", "Vector")],
)
def test_defaults_and_constant_category(fake, cls, default, category):
    assert cls()._driver is fake.gdal.handle(default)
    both = cls("Both")
    assert (both.category, str(both)) == (category, f"Both - {category}")
    assert driver.Driver(both).category == "Raster/Vector"
    assert fake.gdal.metadata_reads()[-2:] == ["DCAP_RASTER", "DCAP_VECTOR"]


FLAGS = [
    (driver.RasterDriver, "coordinate_epoch", "DCAP_COORDINATE_EPOCH"),
    (driver.RasterDriver, "copyable", "DCAP_CREATECOPY"),
    (driver.RasterDriver, "sub_datasets", "DMD_SUBDATASETS"),
    (driver.VectorDriver, "multi_layers", "DCAP_MULTIPLE_VECTOR_LAYERS"),
    (driver.VectorDriver, "transformable", "DCAP_CREATE"),
]


@pytest.mark.parametrize("cls, prop, key", FLAGS)
@pytest.mark.parametrize("value, expected", [("yes", True), ("NO", False), (None, False)])
def test_capability_flags(fake, cls, prop, key, value, expected):
    fake.gdal.drivers["Both"][key] = value
    assert getattr(cls("Both"), prop) is expected


@pytest.mark.parametrize("copy, create", list(itertools.product([None, "YES"], repeat=2)))
def test_raster_transformable_is_copyable_or_creatable(fake, copy, create):
    fake.gdal.drivers["GTiff"].update(DCAP_CREATECOPY=copy, DCAP_CREATE=create)
    assert driver.RasterDriver().transformable is bool(copy or create)


@pytest.mark.parametrize(
    "z, m, expected",
    [(None, None, "XY"), ("yes", None, "XYZ"), ("NO", "YES", "XYM"), ("YES", "Yes", "XYZM")],
)
def test_dimension(fake, z, m, expected):
    fake.gdal.drivers["ESRI Shapefile"].update(DCAP_Z_GEOMETRIES=z, DCAP_MEASURED_GEOMETRIES=m)
    assert driver.VectorDriver().dimension == expected


@pytest.mark.parametrize(
    "cls, prop, key",
    [
        (driver.RasterDriver, "creation_dtypes", "DMD_CREATIONDATATYPES"),
        (driver.VectorDriver, "creation_ftypes", "DMD_CREATIONFIELDDATATYPES"),
        (driver.VectorDriver, "sql_dialects", "SQL_DIALECTS"),
    ],
)
def test_word_lists(fake, cls, prop, key):
    drv = cls("Both")
    assert getattr(drv, prop) == []
    fake.gdal.drivers["Both"][key] = " Byte\tFloat32 \n Int16 "
    assert getattr(drv, prop) == ["Byte", "Float32", "Int16"]


def test_compress_modes(fake):
    gtiff = driver.RasterDriver()
    assert gtiff.compress_modes == []
    fake.gdal.drivers["GTiff"]["DMD_CREATIONOPTIONLIST"] = CREATION_XML
    gtiff = driver.RasterDriver()
    assert gtiff.compress_modes is gtiff.creation_options_info["COMPRESS"]["value"]
    assert gtiff.compress_modes == ["NONE", "LZW"]
    fake.gdal.drivers["GTiff"]["DMD_CREATIONOPTIONLIST"] = CREATION_XML.replace("COMPRESS", "Z")
    assert driver.RasterDriver().compress_modes == []


@pytest.mark.parametrize(
    "args, kwargs, size",
    # Sizes given by position bind as (xsize, ysize, bands); keywords bind by name.
    [(("p", 3, 100, 200), {}, (3, 100, 200)), (("p", 3, 100, 200, "Byte"), {}, (3, 100, 200))]
    + [(("p", 3, 100, 200), {"dtype": "Byte"}, (3, 100, 200))]
    + [(("p",), {"bands": 3, "ysize": 100, "xsize": 200}, (200, 100, 3))]
    + [(("p", 3, 100), {"xsize": 200}, (200, 100, 3))]
    + [(("p", 3), {"xsize": 200, "ysize": 100, "dtype": "Byte"}, (200, 100, 3))]
    + [((), {"out_dst": "p", "bands": 3, "ysize": 100, "xsize": 200}, (200, 100, 3))],
)
@pytest.mark.parametrize("bound", [True, False])
def test_raster_create_size_order(fake, args, kwargs, size, bound):
    drv = driver.RasterDriver()
    create = drv.create if bound else lambda *a, **k: driver.RasterDriver.create(drv, *a, **k)
    result = create(*args, **kwargs)
    dtype = ("code", "Byte" if "Byte" in args or "dtype" in kwargs else "Float32")
    gdal_args = (fake.gdal.handle("GTiff"), "p", *size, dtype, {})
    assert last(fake, "call_gdal_fun") == (fake.gdal.Driver_Create, *gdal_args)
    assert result == fakes.FakeGeoDatabase(fakes.FakeDataset(gdal_args))
    assert [name for name, _ in fake.events[-3:]] == [
        "call_gdal_fun",
        "Driver_Create",
        "GeoDatabase",
    ]


def test_raster_private_create_order_of_steps(fake):
    fake.gdal.drivers["GTiff"]["DMD_CREATIONOPTIONLIST"] = CREATION_XML
    fake.env.RasterConfig["creation.options"]["GTiff"] = {"COMPRESS": "LZW"}
    drv = driver.RasterDriver()
    del fake.events[:]
    ds = drv._create_(None, 1, 10, 20)
    steps = [args[1] if name.startswith("Major") else name for name, args in fake.events]
    assert steps == [
        *("DCAP_RASTER", "DMD_CREATIONOPTIONLIST", "Driver_ShortName_get"),  # options first
        *("DMD_EXTENSION", "mem_temp_path", "get_raster_dtype_code"),
        *("call_gdal_fun", "Driver_Create"),
    ]
    assert last(fake, "mem_temp_path") == ("tif",)
    expected = (fake.gdal.handle("GTiff"), "/vsimem/fake/data.tif", 20, 10, 1, ("code", "Float32"))
    assert ds.args == (*expected, {"COMPRESS": "LZW"})
    drv._create_("", 1, 10, 20, 6)
    assert last(fake, "Driver_Create")[1:] == ("", 20, 10, 1, ("code", 6), {"COMPRESS": "LZW"})
    assert [event[0] for event in fake.events].count("mem_temp_path") == 1


def test_raster_create_failures_stop_later_steps(fake, monkeypatch):
    def reject(dtype):
        raise error.FormatError(errors=dtype, all_sels=["Float32"])

    monkeypatch.setattr(fake.dtypes, "get_raster_dtype_code", reject)
    with pytest.raises(error.FormatError):
        driver.RasterDriver().create(None, 1, 1, 1, "Bad")
    assert "call_gdal_fun" not in [event[0] for event in fake.events]
    monkeypatch.setattr(fake.dtypes, "get_raster_dtype_code", int)
    monkeypatch.delattr(geodatabase, "GeoDatabase")
    with pytest.raises(ImportError, match="^cannot import name GeoDatabase$"):
        driver.RasterDriver().create("p", 1, 1, 1, "6")
    assert last(fake, "Driver_Create")[5] == 6


@pytest.mark.parametrize("out_dst, path", [(None, "/vsimem/fake/data.shp"), ("", ""), ("v", "v")])
def test_vector_create(fake, out_dst, path):
    drv = driver.VectorDriver()
    drv.set_creation_options()  # chosen options never reach a vector dataset
    result = drv.create(out_dst)
    args = (fake.gdal.handle("ESRI Shapefile"), path, 0, 0, 0, 0, [])
    assert last(fake, "call_gdal_fun") == (fake.gdal.Driver_Create, *args)
    assert result == fakes.FakeGeoDatabase(fakes.FakeDataset(args))
    assert drv._create_(out_dst) == fakes.FakeDataset(args)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'out_dst'"):
        drv.create()


@pytest.mark.parametrize("name", ["MEM", "GTiff"])
def test_real_create_both_call_styles(name):
    drv = driver.RasterDriver(name)
    by_position = drv.create(None, 3, 100, 200, "Byte")
    by_name = drv.create(None, bands=3, ysize=100, xsize=200)
    assert (by_position.raster_size, by_position.band_count) == ((3, 100), 200)
    assert (by_name.raster_size, by_name.band_count) == ((200, 100), 3)
    assert by_name.dataset.GetRasterBand(1).DataType == gdal.GDT_Float32


def test_real_gtiff_compression_in_memory_and_on_disk(tmp_path, monkeypatch):
    gtiff = driver.RasterDriver()
    assert {"LZW", "DEFLATE"} <= set(gtiff.compress_modes)
    gtiff.set_creation_options(COMPRESS="LZW")
    in_memory = gtiff.create(None, 8, 8, 1)
    in_memory.dataset.FlushCache()
    assert gdal.Open(in_memory.path).GetMetadata("IMAGE_STRUCTURE")["COMPRESSION"] == "LZW"
    defaults = driver.env.RasterConfig["creation.options"]
    monkeypatch.setitem(defaults, "GTiff", {"COMPRESS": "DEFLATE"})
    driver.RasterDriver("GTiff").create(str(tmp_path / "out.tif"), 8, 8, 2, "Int16").close()
    reopened = gdal.Open(str(tmp_path / "out.tif"))
    assert reopened.GetMetadata("IMAGE_STRUCTURE")["COMPRESSION"] == "DEFLATE"
    assert (reopened.RasterXSize, reopened.RasterYSize, reopened.RasterCount) == (8, 8, 2)


def test_real_vector_create(tmp_path):
    shapefile = driver.VectorDriver()
    assert shapefile.transformable and "Integer" in shapefile.creation_ftypes
    in_memory = shapefile.create(None)
    assert in_memory.path.endswith(".shp") and in_memory.layer_count == 0
    on_disk = shapefile.create(str(tmp_path / "x.shp"))
    layer = on_disk.dataset.CreateLayer("x", geom_type=ogr.wkbPoint)
    assert layer is not None and on_disk.layer_count == 1


@pytest.mark.slow
@pytest.mark.parametrize("close", [True, False])
def test_repeated_in_memory_creation_leaves_nothing_behind(close):
    raster, vector = driver.RasterDriver("GTiff"), driver.VectorDriver("GPKG")
    for _ in range(50):
        for dataset in [raster.create(None, 64, 64, 1), vector.create(None)]:
            if close:
                dataset.close()
        del dataset
        gc.collect()
        assert not gdal.ReadDirRecursive("/vsimem/orv")
