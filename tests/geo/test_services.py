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


def exists(path):
    return gdal.VSIStatL(path) is not None


def create_gtiff(path, options=None, xsize=20, ysize=10, bands=1):
    handle = _gdal.GetDriverByName("GTiff")
    code = base.dtypes.get_raster_dtype_code("Float32")
    return call_gdal_fun(_gdal.Driver_Create, handle, path, xsize, ysize, bands, code, options)


@pytest.fixture
def vsimem_dir():
    """A private /vsimem directory, emptied afterwards."""
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
    assert set(namespace) - {"__builtins__"} == {
        *("error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path"),
        *("_gdal", "get_sel"),
    }
    assert namespace["error"] is error


# --- call_gdal_fun -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("options", "expected_compression"),
    [({"COMPRESS": "LZW"}, "LZW"), ({"COMPRESS": "DEFLATE"}, "DEFLATE"), ({}, None)],
)
def test_creation_option_dict_reaches_gdal(vsimem_dir, options, expected_compression):
    path = f"{vsimem_dir}/out.tif"
    with GeoDatabase(create_gtiff(path, options)) as created:
        assert created.raster_size == (20, 10)
    # 27 = update | raster | GNM | multidimensional: what a creatable raster driver passes.
    with open_file(path, 27, ["GTiff"], {}, None) as reopened:
        assert reopened.image_structure.get("COMPRESSION") == expected_compression


def test_bool_and_int_options_are_spelled_for_gdal(vsimem_dir):
    options = {"TILED": True, "BLOCKXSIZE": 16, "BLOCKYSIZE": 32}
    with GeoDatabase(create_gtiff(f"{vsimem_dir}/tiled.tif", options, 64, 64)) as gdb:
        assert gdb.dataset.GetRasterBand(1).GetBlockSize() == [16, 32]
    options = {"TILED": False, "BLOCKYSIZE": 8}  # strips of 8 full-width rows
    with GeoDatabase(create_gtiff(f"{vsimem_dir}/strips.tif", options, 64, 64)) as gdb:
        assert gdb.dataset.GetRasterBand(1).GetBlockSize() == [64, 8]


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        ({"A": True, "B": False}, ["A=YES", "B=NO"]),
        ({"N": 3, "F": 0.5, "S": "x y"}, ["N=3", "F=0.5", "S=x y"]),
        ({"SKIPPED": None, "KEPT": ""}, ["KEPT="]),
        (None, []),
    ],
)
def test_option_strings(options, expected):
    assert option_strings(options) == expected


@pytest.mark.parametrize(
    ("options", "exc"),
    [({"": 1}, ValueError), ({"A=B": 1}, ValueError), ({1: 1}, TypeError), ([("A", 1)], TypeError)]
    + [({"A": "\udc80"}, ValueError), ({"A": "x\0y"}, ValueError)],
)
def test_option_strings_rejects_what_gdal_cannot_take(options, exc):
    with pytest.raises(exc):
        option_strings(options)


def test_failure_raises_with_gdal_message_and_keeps_exception_mode():
    mode = gdal.GetUseExceptions()
    with pytest.raises(error.GDALError, match="sizes must be larger than zero") as info:
        create_gtiff("/vsimem/test_services/never.tif", {}, xsize=-1)
    assert isinstance(info.value, RuntimeError)
    assert isinstance(info.value, error.ORVError)
    assert "Driver_Create" in str(info.value)
    assert gdal.GetUseExceptions() == mode


def test_failure_with_a_result_drops_it_and_its_temp_files():
    # GTiff returns a broken dataset for the unknown type code 0 and reports CE_Failure.
    path = mem_temp_path("tif")
    handle = _gdal.GetDriverByName("GTiff")
    with pytest.raises(error.GDALError, match="scanline size is zero"):
        call_gdal_fun(_gdal.Driver_Create, handle, path, 4, 4, 1, 0, {})
    assert not exists(path)
    assert not is_mem_temp_path(path)


def test_gdal_warnings_become_python_warnings(vsimem_dir):
    with pytest.warns(RuntimeWarning, match="does not support creation option FOO"):
        ds = create_gtiff(f"{vsimem_dir}/warned.tif", {"FOO": "BAR"})
    GeoDatabase(ds).close()


# --- mem_temp_path and the dataset wrapper -------------------------------------------------


def test_mem_temp_paths_are_unique_and_in_vsimem():
    paths = [mem_temp_path("tif") for _ in range(200)]
    assert len(set(paths)) == len(paths)
    assert all(p.startswith("/vsimem/") and p.endswith(".tif") for p in paths)


@pytest.mark.parametrize(
    ("extension", "suffix"), [("tif", ".tif"), (".gpkg", ".gpkg"), ("", ""), (None, "")]
)
def test_mem_temp_path_extension(extension, suffix):
    name = mem_temp_path(extension).rsplit("/", 1)[1]
    assert name.endswith(suffix)
    assert ("." in name) == bool(suffix)


@pytest.mark.parametrize(("extension", "exc"), [("a/b", ValueError), (3, TypeError)])
def test_mem_temp_path_rejects_bad_extension(extension, exc):
    with pytest.raises(exc):
        mem_temp_path(extension)


def test_close_removes_the_temp_file_and_is_idempotent():
    path = mem_temp_path("tif")
    gdb = GeoDatabase(create_gtiff(path, {}))
    assert gdb.path == path
    assert exists(path)
    gdb.close()
    assert gdb.closed
    assert not exists(path)
    gdb.close()
    with pytest.raises(ValueError, match="closed"):
        gdb.raster_size  # noqa: B018


def test_garbage_collection_removes_the_temp_file():
    paths = [mem_temp_path("tif") for _ in range(5)]
    for path in paths:
        GeoDatabase(create_gtiff(path, {}))  # dropped at once
    gc.collect()
    assert not any(exists(p) for p in paths)


def test_explicit_paths_are_left_in_place(vsimem_dir):
    path = f"{vsimem_dir}/kept.tif"
    GeoDatabase(create_gtiff(path, {})).close()
    assert exists(path)


def test_all_files_of_a_temp_dataset_are_removed():
    path = mem_temp_path("shp")
    handle = _gdal.GetDriverByName("ESRI Shapefile")
    gdb = GeoDatabase(call_gdal_fun(_gdal.Driver_Create, handle, path, 0, 0, 0, 0, []))
    layer = gdb.dataset.CreateLayer("points", None, ogr.wkbPoint)
    layer.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    del layer
    files = gdb.file_list
    assert len(files) >= 3  # .shp, .shx, .dbf
    assert gdb.layer_count == 1
    gdb.close()
    assert not any(exists(f) for f in files)


def test_temp_file_lives_until_its_last_wrapper_closes():
    path = mem_temp_path("tif")
    first = GeoDatabase(create_gtiff(path, {}))
    first.dataset.FlushCache()
    second = open_file(path, gdal.OF_RASTER, [], {}, None)
    first.close()
    assert exists(path)
    assert second.raster_size == (20, 10)
    second.close()
    assert not exists(path)


def test_wrapper_members(vsimem_dir):
    with GeoDatabase(create_gtiff(f"{vsimem_dir}/m.tif", {}, 7, 5, 3)) as gdb:
        assert (gdb.driver_name, gdb.raster_size, gdb.band_count, gdb.layer_count) == (
            "GTiff",
            (7, 5),
            3,
            0,
        )
        assert "m.tif" in repr(gdb)
    assert "closed" in repr(gdb)


@pytest.mark.parametrize("value", [None, "a.tif", object()])
def test_wrapper_needs_a_dataset(value):
    with pytest.raises(TypeError):
        GeoDatabase(value)


# --- open_file -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "siblings",
    [
        np.array("points.csv"),  # 0-d array: GDAL's binding raises SystemError on it
        ["points.csv", 1],
        [None],
        [b"points.csv"],
        "points.csv",
        pathlib.PurePosixPath("points.csv"),
        {"points.csv": 1},
        5,
    ],
    ids=["0d-array", "int-item", "none-item", "bytes-item", "bare-str", "bare-path", "dict", "int"],
)
def test_open_file_rejects_bad_sibling_files(points_csv, siblings):
    with pytest.raises(TypeError, match="sibling_files"):
        open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, siblings)


@pytest.mark.parametrize("siblings", [["x\0y"], ["\udc80"]])
def test_open_file_rejects_sibling_names_c_cannot_hold(points_csv, siblings):
    with pytest.raises(ValueError, match="sibling_files"):
        open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, siblings)


@pytest.mark.parametrize(
    "siblings",
    [
        None,
        [],
        ("points.csv",),
        [pathlib.PurePosixPath("points.csv")],
        np.array(["points.csv"]),
        iter(["points.csv"]),
    ],
    ids=["none", "empty", "tuple", "pathlike", "array", "iterator"],
)
def test_open_file_accepts_good_sibling_files(points_csv, siblings):
    with open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, siblings) as gdb:
        assert gdb.layer_count == 1


@pytest.mark.parametrize(
    "options",
    [
        {"X_POSSIBLE_NAMES": "lon", "Y_POSSIBLE_NAMES": "lat"},
        ["X_POSSIBLE_NAMES=lon", "Y_POSSIBLE_NAMES=lat"],
    ],
    ids=["dict", "list"],
)
def test_open_file_passes_open_options(points_csv, options):
    with open_file(points_csv, gdal.OF_VECTOR, ["CSV"], options, []) as gdb:
        points = [f.GetGeometryRef().GetPoint_2D() for f in gdb.dataset.GetLayer(0)]
    assert points == [(1.5, 2.5), (-3.0, 4.0)]


def test_open_file_without_options_reads_no_geometry(points_csv):
    with open_file(points_csv, gdal.OF_VECTOR, ["CSV"], {}, None) as gdb:
        assert all(f.GetGeometryRef() is None for f in gdb.dataset.GetLayer(0))


@pytest.mark.parametrize(
    ("flags", "drivers", "message"),
    [
        (gdal.OF_VECTOR, ["GTiff"], "not recognized as a supported file format"),
        (gdal.OF_RASTER, ["CSV"], "not recognized as a supported file format"),
    ],
)
def test_open_file_failure_carries_gdal_message(points_csv, flags, drivers, message):
    with pytest.raises(error.GDALError, match=message):
        open_file(points_csv, flags, drivers, {}, None)


def test_open_file_missing_file():
    with pytest.raises(error.GDALError, match="No such file or directory"):
        open_file("/vsimem/test_services/missing.csv", 0, [], {}, None)


@pytest.mark.parametrize(
    ("kwargs", "exc"),
    [
        ({"allowed_drivers": "CSV"}, TypeError),
        ({"allowed_drivers": [1]}, TypeError),
        ({"open_options": "X_POSSIBLE_NAMES=lon"}, TypeError),
        ({"flags": 1.0}, TypeError),
        ({"flags": -1}, ValueError),
    ],
)
def test_open_file_rejects_bad_arguments(points_csv, kwargs, exc):
    with pytest.raises(exc):
        open_file(points_csv, **kwargs)


def test_open_file_takes_a_pathlike(points_csv):
    with open_file(pathlib.PurePosixPath(points_csv), gdal.OF_VECTOR) as gdb:
        assert gdb.driver_name == "CSV"


# --- data types, configuration, selection --------------------------------------------------


def test_data_type_enum_matches_gdal():
    members = list(base.dtypes.RaterDataType)
    assert len(members) == gdal.GDT_TypeCount
    assert all(gdal.GetDataTypeName(int(m)) == m.name for m in members)


@pytest.mark.parametrize(
    ("dtype", "code"),
    [
        ("Float32", gdal.GDT_Float32),
        ("byte", gdal.GDT_Byte),
        (" UINT16 ", gdal.GDT_UInt16),
        (gdal.GDT_Float64, gdal.GDT_Float64),
        (np.int32(gdal.GDT_Int32), gdal.GDT_Int32),
        (base.dtypes.RaterDataType.CFloat32, gdal.GDT_CFloat32),
    ],
)
def test_raster_dtype_code(dtype, code):
    result = base.dtypes.get_raster_dtype_code(dtype)
    assert result == code
    assert type(result) is int


@pytest.mark.parametrize(
    ("dtype", "exc"),
    [
        ("Float33", error.FormatError),
        ("Unknown", error.FormatError),
        (0, error.FormatError),
        (99, error.FormatError),
        (1.5, TypeError),
        (None, TypeError),
        (True, TypeError),
    ],
)
def test_raster_dtype_code_rejects(dtype, exc):
    with pytest.raises(exc):
        base.dtypes.get_raster_dtype_code(dtype)


def test_configured_defaults_name_real_driver_options():
    for config, item in [
        (base.env.RasterConfig, "DMD_CREATIONOPTIONLIST"),
        (base.env.VectorConfig, "DS_LAYER_CREATIONOPTIONLIST"),
    ]:
        for driver, defaults in config.get("creation.options", {}).items():
            handle = _gdal.GetDriverByName(driver)
            assert handle is not None, driver
            listed = base.xet.fromstring(_gdal.MajorObject_GetMetadataItem(handle, item))
            assert set(defaults) <= {element.attrib["name"] for element in listed}
    rows, cols = base.env.JupyterShowMaxShape
    assert rows > 0 and cols > 0


def test_config_reset_restores_defaults():
    config = base.env.RasterConfig
    shipped = {key: dict(value) for key, value in config.items()}
    config["creation.options"]["GTiff"] = {"COMPRESS": "LZW"}
    config["other"] = 1
    config.reset()
    assert config == shipped


@pytest.mark.parametrize(
    ("count", "maximum", "expected"),
    [
        (210, 20, (((0, 10), (200, 210)), 20)),
        (7, 3, (((0, 2), (6, 7)), 3)),
        (5, 1, (((0, 1), (5, 5)), 1)),
        (6, 10, (((0, 6), (0, 0)), 6)),
        (6, 6, (((0, 6), (0, 0)), 6)),
        (6, None, (((0, 6), (0, 0)), 6)),
        (6, 0, (((0, 6), (0, 0)), 6)),
        (0, 5, (((0, 0), (0, 0)), 0)),
    ],
)
def test_get_sel(count, maximum, expected):
    assert base.get_sel(count, maximum) == expected


@pytest.mark.parametrize(("count", "maximum"), list(itertools.product(range(12), range(1, 8))))
def test_get_sel_shows_distinct_items_in_order(count, maximum):
    (head, tail), shown = base.get_sel(count, maximum)
    items = list(range(*head)) + list(range(*tail))
    assert items == sorted(set(items))
    assert len(items) == shown == min(count, maximum)
    assert all(0 <= i < count for i in items)
    assert (tail == (0, 0)) == (count <= maximum)


@pytest.mark.parametrize(
    ("count", "maximum", "exc"), [(-1, 5, ValueError), (5, -1, ValueError), (5, 2.5, TypeError)]
)
def test_get_sel_rejects(count, maximum, exc):
    with pytest.raises(exc):
        base.get_sel(count, maximum)


# --- error messages ------------------------------------------------------------------------


class Hostile:
    def __repr__(self):
        raise RuntimeError("no repr")


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        (
            {"errors": ["compress"], "all_sels": {"COMPRESS": {}, "TILED": {}}},
            "Unsupported value(s): 'compress'. Admissible: 'COMPRESS', 'TILED'",
        ),
        ({"errors": "x"}, "Unsupported value(s): 'x'"),
        ({"errors": ["a", 2]}, "Unsupported value(s): 'a', 2"),
        ({"errors": ["X"], "all_sels": {}}, "Unsupported value(s): 'X'. Admissible: none"),
        (
            {"errors": "q", "all_sels": ("a", "b")},
            "Unsupported value(s): 'q'. Admissible: 'a', 'b'",
        ),
        ({"errors": "q", "all_sels": "ab"}, "Unsupported value(s): 'q'. Admissible: 'ab'"),
        ({"errors": Hostile()}, "Unsupported value(s): <Hostile object>"),
    ],
)
def test_error_message_from_keywords(kwargs, message):
    exc = error.FormatError(**kwargs)
    assert str(exc) == message
    assert exc.errors is kwargs.get("errors")
    assert exc.all_sels is kwargs.get("all_sels")


def test_error_message_cuts_long_lists_and_reprs():
    exc = error.SpmisError(errors=["x" * 10_000], all_sels=list(range(1000)))
    text = str(exc)
    assert len(text) < 500
    assert "... (980 more)" in text
    infinite = str(error.ParameterError(errors="v", all_sels=itertools.count()))
    assert infinite.endswith("19, ...")


def test_error_plain_message_and_hierarchy():
    exc = error.FormatError('"ESRI Shapefile" is not a raster driver!')
    assert str(exc) == '"ESRI Shapefile" is not a raster driver!'
    assert exc.errors is None and exc.all_sels is None
    for cls in (error.FormatError, error.SpmisError, error.ParameterError, error.GDALError):
        assert issubclass(cls, error.ORVError)
    assert str(error.ORVError()) == ""


def test_error_survives_pickling():
    exc = error.ParameterError(errors=["sill"], all_sels=["nugget", "range"])
    copy = pickle.loads(pickle.dumps(exc))
    assert (type(copy), str(copy), copy.errors, copy.all_sels) == (
        error.ParameterError,
        str(exc),
        ["sill"],
        ["nugget", "range"],
    )
