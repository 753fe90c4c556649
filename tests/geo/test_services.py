"""Services of orv._algos.geo.base and geodatabase against the installed GDAL."""

import gc
import itertools
import pathlib
import pickle
import uuid

import numpy as np
import pytest
from osgeo import gdal, ogr

from orv import error
from orv._algos.geo import base
from orv._algos.geo._gdalargs import option_strings
from orv._algos.geo._mempath import is_mem_temp_path
from orv._algos.geo.geodatabase import GeoDatabase, open_file

_gdal = base._gdal
call_gdal_fun = base.call_gdal_fun
mem_temp_path = base.mem_temp_path


def check(outcome, call, *args):
    """Assert that ``call(*args)`` gives ``outcome``, or raises it if it is an exception class."""
    if isinstance(outcome, type) and issubclass(outcome, Exception):
        with pytest.raises(outcome):
            call(*args)
    else:
        assert call(*args) == outcome


def exists(path):
    return gdal.VSIStatL(path) is not None


def create_gtiff(path, options=None, xsize=20, ysize=10, bands=1):
    handle = _gdal.GetDriverByName("GTiff")
    code = base.dtypes.get_raster_dtype_code("Float32")
    return call_gdal_fun(_gdal.Driver_Create, handle, path, xsize, ysize, bands, code, options)


@pytest.fixture
def vsimem_dir():
    directory = f"/vsimem/test_services/{uuid.uuid4().hex}"
    yield directory
    for name in gdal.ReadDirRecursive(directory) or []:
        gdal.Unlink(f"{directory}/{name}")


@pytest.fixture
def points_csv(vsimem_dir):
    path = f"{vsimem_dir}/points.csv"
    gdal.FileFromMemBuffer(path, b"lon,lat,name\n1.5,2.5,a\n-3,4,b\n")
    return path


def test_base_exports_exactly_the_services():
    namespace = {}
    exec("from orv._algos.geo.base import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(
        "error gdata dtypes call_gdal_fun xet env mem_temp_path _gdal get_sel".split()
    )
    assert namespace["error"] is error


@pytest.mark.parametrize(
    ("options", "compression", "block"),
    [({"COMPRESS": "LZW"}, "LZW", None), ({}, None, None)]
    + [({"TILED": True, "BLOCKXSIZE": 16, "BLOCKYSIZE": 32}, None, [16, 32])]
    + [({"TILED": False, "BLOCKYSIZE": 8}, None, [64, 8])],  # strips of 8 full-width rows
    ids="lzw none tiled strips".split(),
)
def test_creation_options_reach_gdal(vsimem_dir, options, compression, block):
    path = f"{vsimem_dir}/out.tif"
    with GeoDatabase(create_gtiff(path, options, 64, 32)) as created:
        assert created.raster_size == (64, 32)
    # 27 = update | raster | GNM | multidimensional: what a creatable raster driver passes.
    with open_file(path, 27, ["GTiff"], {}, None) as reopened:
        assert reopened.image_structure.get("COMPRESSION") == compression
        if block:
            assert reopened.dataset.GetRasterBand(1).GetBlockSize() == block


@pytest.mark.parametrize(
    ("options", "expected"),
    [({"A": True, "B": False}, ["A=YES", "B=NO"]), ({"SKIPPED": None, "KEPT": ""}, ["KEPT="])]
    + [({"N": 3, "F": 0.5, "S": "x y"}, ["N=3", "F=0.5", "S=x y"]), (None, [])]
    # What GDAL cannot take is refused.
    + [({"": 1}, ValueError), ({"A=B": 1}, ValueError), ({1: 1}, TypeError)]
    + [([("A", 1)], TypeError), ({"A": "\udc80"}, ValueError), ({"A": "x\0y"}, ValueError)],
)
def test_option_strings(options, expected):
    check(expected, option_strings, options)


def test_failure_raises_with_gdal_message_and_keeps_exception_mode():
    mode = gdal.GetUseExceptions()
    with pytest.raises(error.GDALError, match="sizes must be larger than zero") as info:
        create_gtiff("/vsimem/test_services/never.tif", {}, xsize=-1)
    assert isinstance(info.value, RuntimeError) and isinstance(info.value, error.ORVError)
    assert "Driver_Create" in str(info.value)
    assert gdal.GetUseExceptions() == mode


def test_failure_with_a_result_drops_it_and_its_temp_files():
    # GTiff returns a broken dataset for the unknown type code 0 and reports CE_Failure.
    path = mem_temp_path("tif")
    handle = _gdal.GetDriverByName("GTiff")
    with pytest.raises(error.GDALError, match="scanline size is zero"):
        call_gdal_fun(_gdal.Driver_Create, handle, path, 4, 4, 1, 0, {})
    assert not exists(path) and not is_mem_temp_path(path)


def test_gdal_warnings_become_python_warnings(vsimem_dir):
    with pytest.warns(RuntimeWarning, match="does not support creation option FOO"):
        ds = create_gtiff(f"{vsimem_dir}/warned.tif", {"FOO": "BAR"})
    GeoDatabase(ds).close()


@pytest.mark.parametrize(
    ("extension", "suffix"),
    [("tif", ".tif"), (".gpkg", ".gpkg"), ("", ""), (None, "")]
    + [("a/b", ValueError), (3, TypeError)],
)
def test_mem_temp_paths_are_unique_and_keep_the_extension(extension, suffix):
    if not isinstance(suffix, str):
        return check(suffix, mem_temp_path, extension)
    paths = [mem_temp_path(extension) for _ in range(100)]
    name = paths[0].rsplit("/", 1)[1]
    assert len(set(paths)) == len(paths) and paths[0].startswith("/vsimem/")
    assert name.endswith(suffix) and ("." in name) == bool(suffix)


@pytest.mark.parametrize("temporary", [True, False])
def test_close_is_idempotent_and_removes_only_temp_files(vsimem_dir, temporary):
    path = mem_temp_path("tif") if temporary else f"{vsimem_dir}/kept.tif"
    gdb = GeoDatabase(create_gtiff(path, {}, 7, 5, 3))
    summary = (gdb.path, gdb.driver_name, gdb.raster_size, gdb.band_count, gdb.layer_count)
    assert summary == (path, "GTiff", (7, 5), 3, 0)
    assert path.rsplit("/", 1)[1] in repr(gdb) and exists(path)
    gdb.close()
    assert gdb.closed and "closed" in repr(gdb)
    assert exists(path) is not temporary
    gdb.close()
    with pytest.raises(ValueError, match="closed"):
        gdb.raster_size  # noqa: B018


def test_all_files_of_a_temp_dataset_are_removed():
    path = mem_temp_path("shp")
    handle = _gdal.GetDriverByName("ESRI Shapefile")
    gdb = GeoDatabase(call_gdal_fun(_gdal.Driver_Create, handle, path, 0, 0, 0, 0, []))
    layer = gdb.dataset.CreateLayer("points", None, ogr.wkbPoint)
    layer.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    del layer
    files = gdb.file_list
    assert len(files) >= 3 and gdb.layer_count == 1  # .shp, .shx, .dbf
    gdb.close()
    assert not any(exists(f) for f in files)


def test_temp_file_lives_until_its_last_wrapper_goes():
    path = mem_temp_path("tif")
    first = GeoDatabase(create_gtiff(path, {}))
    first.dataset.FlushCache()
    second = open_file(path, gdal.OF_RASTER, [], {}, None)
    first.close()
    assert exists(path) and second.raster_size == (20, 10)
    del second  # dropped without closing: garbage collection removes the file
    gc.collect()
    assert not exists(path)


@pytest.mark.parametrize("value", [None, "a.tif", object()])
def test_wrapper_needs_a_dataset(value):
    with pytest.raises(TypeError):
        GeoDatabase(value)


@pytest.mark.parametrize(
    ("siblings", "exc"),
    # A 0-d array makes GDAL's binding raise SystemError; NUL and lone surrogates do not fit C.
    [(np.array("p.csv"), TypeError), (["p.csv", 1], TypeError), ([None], TypeError)]
    + [([b"p.csv"], TypeError), ("p.csv", TypeError), ({"p.csv": 1}, TypeError)]
    + [(pathlib.PurePosixPath("p.csv"), TypeError), (5, TypeError)]
    + [(["x\0y"], ValueError), (["\udc80"], ValueError)],
    ids="0d-array int-item none-item bytes-item str path dict int nul surrogate".split(),
)
def test_open_file_rejects_bad_sibling_files(points_csv, siblings, exc):
    with pytest.raises(exc, match="sibling_files"):
        open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, siblings)


@pytest.mark.parametrize(
    "siblings",
    [None, [], ("points.csv",), [pathlib.PurePosixPath("points.csv")]]
    + [np.array(["points.csv"]), iter(["points.csv"])],
    ids="none empty tuple pathlike array iterator".split(),
)
def test_open_file_accepts_good_sibling_files(points_csv, siblings):
    with open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, siblings) as gdb:
        assert gdb.layer_count == 1


@pytest.mark.parametrize(
    ("options", "points"),
    [({"X_POSSIBLE_NAMES": "lon", "Y_POSSIBLE_NAMES": "lat"}, [(1.5, 2.5), (-3.0, 4.0)])]
    + [(["X_POSSIBLE_NAMES=lon", "Y_POSSIBLE_NAMES=lat"], [(1.5, 2.5), (-3.0, 4.0)])]
    + [({}, [None, None])],  # without options the CSV driver reads no geometry
    ids=["dict", "list", "none"],
)
def test_open_file_passes_open_options(points_csv, options, points):
    with open_file(pathlib.PurePosixPath(points_csv), gdal.OF_VECTOR, ["CSV"], options) as gdb:
        assert gdb.driver_name == "CSV"
        read = [(g := f.GetGeometryRef()) and g.GetPoint_2D() for f in gdb.dataset.GetLayer(0)]
        assert read == points


UNKNOWN = "not recognized as a supported file format"


@pytest.mark.parametrize(
    ("name", "flags", "drivers", "message"),
    [("points.csv", gdal.OF_VECTOR, ["GTiff"], UNKNOWN)]
    + [("points.csv", gdal.OF_RASTER, ["CSV"], UNKNOWN), ("missing.csv", 0, [], "No such file")],
)
def test_open_file_failure_carries_gdal_message(points_csv, name, flags, drivers, message):
    with pytest.raises(error.GDALError, match=message):
        open_file(points_csv.replace("points.csv", name), flags, drivers, {}, None)


@pytest.mark.parametrize(
    ("kwargs", "exc"),
    [({"allowed_drivers": "CSV"}, TypeError), ({"allowed_drivers": [1]}, TypeError)]
    + [({"open_options": "X_POSSIBLE_NAMES=lon"}, TypeError), ({"flags": 1.0}, TypeError)]
    + [({"flags": -1}, ValueError)],
)
def test_open_file_rejects_bad_arguments(points_csv, kwargs, exc):
    with pytest.raises(exc):
        open_file(points_csv, **kwargs)


def test_data_type_enum_matches_gdal():
    members = list(base.dtypes.RaterDataType)
    assert len(members) == gdal.GDT_TypeCount
    assert all(gdal.GetDataTypeName(int(m)) == m.name for m in members)


@pytest.mark.parametrize(
    ("dtype", "code"),
    [("Float32", gdal.GDT_Float32), ("byte", gdal.GDT_Byte), (" UINT16 ", gdal.GDT_UInt16)]
    + [(gdal.GDT_Float64, gdal.GDT_Float64), (np.int32(gdal.GDT_Int32), gdal.GDT_Int32)]
    + [(base.dtypes.RaterDataType.CFloat32, gdal.GDT_CFloat32)]
    + [("Float33", error.FormatError), ("Unknown", error.FormatError), (0, error.FormatError)]
    + [(99, error.FormatError), (1.5, TypeError), (None, TypeError), (True, TypeError)]
    # numpy's forms: dtypes, scalar types and names, with no GDAL type for int8 and float16.
    + [(np.uint8, gdal.GDT_Byte), (np.dtype(">f4"), gdal.GDT_Float32), ("uint8", gdal.GDT_Byte)]
    + [("float32", gdal.GDT_Float32), (np.complex128, gdal.GDT_CFloat64), (bool, gdal.GDT_Byte)]
    + [("int8", error.FormatError), (np.float16, error.FormatError), (str, error.FormatError)]
    + [(np.float64(1.0), TypeError)],
)
def test_raster_dtype_code(dtype, code):
    check(code, base.dtypes.get_raster_dtype_code, dtype)
    if isinstance(code, int):
        assert type(base.dtypes.get_raster_dtype_code(dtype)) is int


def test_configured_defaults_name_real_driver_options():
    env = base.env
    lists = [(env.RasterConfig, "DMD_CREATIONOPTIONLIST")]
    for config, item in lists + [(env.VectorConfig, "DS_LAYER_CREATIONOPTIONLIST")]:
        for driver, defaults in config.get("creation.options", {}).items():
            handle = _gdal.GetDriverByName(driver)
            assert handle is not None, driver
            listed = base.xet.fromstring(_gdal.MajorObject_GetMetadataItem(handle, item))
            assert set(defaults) <= {element.attrib["name"] for element in listed}
    assert min(base.env.JupyterShowMaxShape) > 0


def test_config_reset_restores_defaults():
    config = base.env.RasterConfig
    shipped = {key: dict(value) for key, value in config.items()}
    config["creation.options"]["GTiff"] = {"COMPRESS": "LZW"}
    config["other"] = 1
    config.reset()
    assert config == shipped


@pytest.mark.parametrize(
    ("count", "maximum", "expected"),
    [(210, 20, (((0, 10), (200, 210)), 20)), (7, 3, (((0, 2), (6, 7)), 3))]
    + [(5, 1, (((0, 1), (5, 5)), 1)), (6, None, (((0, 6), (0, 0)), 6))]
    + [(6, 0, (((0, 6), (0, 0)), 6)), (0, 5, (((0, 0), (0, 0)), 0))]
    + [(-1, 5, ValueError), (5, -1, ValueError), (5, 2.5, TypeError)],
)
def test_get_sel(count, maximum, expected):
    check(expected, base.get_sel, count, maximum)


@pytest.mark.parametrize(("count", "maximum"), list(itertools.product(range(12), range(1, 8))))
def test_get_sel_shows_distinct_items_in_order(count, maximum):
    (head, tail), shown = base.get_sel(count, maximum)
    items = [*range(*head), *range(*tail)]
    assert items == sorted(set(items)) and all(0 <= i < count for i in items)
    assert len(items) == shown == min(count, maximum)
    assert (tail == (0, 0)) == (count <= maximum)


COMPRESS_MESSAGE = "'compress'. Admissible: 'COMPRESS', 'TILED'"


class Hostile:
    def __repr__(self):
        raise RuntimeError("no repr")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [({"errors": "x"}, "'x'"), ({"errors": ["a", 2]}, "'a', 2"), ({"errors": None}, "None")]
    + [({"errors": None, "all_sels": ["a"]}, "None. Admissible: 'a'")]
    + [({"errors": Hostile()}, "<Hostile object>")]
    + [({"errors": ["X"], "all_sels": {}}, "'X'. Admissible: none")]
    + [({"errors": "q", "all_sels": ("a", "b")}, "'q'. Admissible: 'a', 'b'")]
    + [({"errors": "q", "all_sels": "ab"}, "'q'. Admissible: 'ab'")]
    + [({"errors": ["compress"], "all_sels": {"COMPRESS": {}, "TILED": {}}}, COMPRESS_MESSAGE)],
)
@pytest.mark.parametrize("cls", [error.FormatError, error.SpmisError])
def test_error_message_from_keywords(cls, kwargs, message):
    exc = cls(**kwargs)
    assert str(exc) == "Unsupported value(s): " + message
    assert exc.errors is kwargs.get("errors") and exc.all_sels is kwargs.get("all_sels")


def test_error_message_cuts_long_lists_and_reprs():
    text = str(error.SpmisError(errors=["x" * 10_000], all_sels=list(range(1000))))
    assert len(text) < 500 and "... (980 more)" in text
    infinite = str(error.ParameterError(errors="v", all_sels=itertools.count()))
    assert infinite.endswith("19, ...")


def test_error_plain_message_hierarchy_and_pickling():
    exc = error.FormatError('"ESRI Shapefile" is not a raster driver!')
    assert str(exc) == '"ESRI Shapefile" is not a raster driver!'
    assert exc.errors is None and exc.all_sels is None
    assert str(error.ORVError()) == "An error raised by orv." == str(error.ORVError(""))
    for cls in (error.FormatError, error.SpmisError, error.ParameterError, error.GDALError):
        assert issubclass(cls, error.ORVError)
    exc = error.ParameterError(errors=["sill"], all_sels=["nugget", "range"])
    copy = pickle.loads(pickle.dumps(exc))
    assert type(copy) is error.ParameterError and str(copy) == str(exc)
    assert (copy.errors, copy.all_sels) == (["sill"], ["nugget", "range"])
