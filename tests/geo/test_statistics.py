"""DriveStatistics: the registry snapshot, lookups by position and name, and the filters."""

import inspect

import fakes
import pytest
from osgeo import gdal

from orv._algos.geo import driver as drv
from orv.error import FormatError

# Registry order is the dict order. "gtiff" only differs from "GTiff" by case, "1.0" looks like
# a float, and GPKG spells its flags in lower case.
REGISTRY = {
    "GTiff": {"DCAP_RASTER": "YES", "DCAP_CREATE": "YES", "DCAP_VIRTUALIO": "YES"},
    "ESRI Shapefile": {"DCAP_VECTOR": "YES", "DCAP_CREATE": "YES", "DCAP_UPDATE": "YES"},
    "GPKG": {"DCAP_RASTER": "yes", "DCAP_VECTOR": "Yes", "DCAP_UPDATE": "yes"},
    "1.0": {"DCAP_VIRTUALIO": "NO"},
    "gtiff": {"DCAP_RASTER": "YES", "DCAP_VIRTUALIO": "YES"},
    "MEM": {"DCAP_RASTER": "YES", "DCAP_CREATE": "YESS"},
}
NAMES = list(REGISTRY)
FILTERS = ["creatables", "rasters", "updatables", "vectors", "virtualios"]


@pytest.fixture
def fake(monkeypatch):
    return fakes.install(monkeypatch, {name: dict(meta) for name, meta in REGISTRY.items()})


@pytest.fixture
def stats(fake):
    return drv.DriveStatistics()


def names(drivers):
    return [d.name for d in drivers]


def test_construction_snapshots_plain_drivers_in_registry_order(fake):
    stats = drv.DriveStatistics()
    assert fake.events == [("GetDriverCount", ())] + [("GetDriver", (i,)) for i in range(6)]
    assert [type(d) for d in stats._drivers] == [drv.Driver] * len(REGISTRY)
    assert [d._driver for d in stats._drivers] == [fake.gdal.handle(n) for n in NAMES]
    iterator = iter(stats)
    assert list(iterator) == stats._drivers and next(iterator, "done") == "done"
    del fake.gdal.drivers["MEM"]  # later registry changes do not reach the snapshot
    assert len(stats) == len(REGISTRY) and list(stats) == stats._drivers
    assert [d.name for d in stats] == NAMES and len(drv.DriveStatistics()) == len(REGISTRY) - 1


def test_construction_errors_propagate(fake, monkeypatch):
    def broken():
        raise OSError("registry unavailable")

    monkeypatch.setattr(fake.gdal, "GetDriverCount", broken)
    with pytest.raises(OSError, match="registry unavailable"):
        drv.DriveStatistics()

    monkeypatch.setattr(fake.gdal, "GetDriverCount", lambda: 2)
    monkeypatch.setattr(fake.gdal, "GetDriver", lambda index: None)
    with pytest.raises(FormatError, match=r"^Driver\(None\) is incorrect!$"):
        drv.DriveStatistics()


@pytest.mark.parametrize(
    ("key", "expected"),
    [(0, "GTiff"), (2, "GPKG"), (-1, "MEM"), (-6, "GTiff"), (True, "ESRI Shapefile")]
    + [(6, IndexError), (-7, IndexError)],
)
def test_integer_keys_index_the_snapshot(stats, key, expected):
    if expected is IndexError:
        with pytest.raises(IndexError, match="list index out of range"):
            stats[key]
    else:
        assert stats[key] is stats._drivers[key]
        assert stats[key].name == expected


@pytest.mark.parametrize(
    ("key", "position"),
    # The first of two case-insensitive matches wins; a float is looked up by its text.
    [("GTiff", 0), ("GTIFF", 0), ("gTiFf", 0), ("ESRI SHAPEFILE", 1), ("gpkg", 2), ("1.0", 3)]
    + [(1.0, 3), ("mem", 5)],
)
def test_other_keys_match_names_case_insensitively(stats, key, position):
    assert stats[key] is stats._drivers[position]


@pytest.mark.parametrize(
    ("key", "message"),
    # Shown as given (not lower-cased); no prefix matching.
    [("NoPe", "NoPe"), ("GTi", "GTi"), ("GTiff ", "GTiff "), ("", ""), (2.5, "2.5")]
    + [(None, "None"), (slice(0, 2), "slice(0, 2, None)")],
)
def test_unknown_names_raise_format_error_with_the_given_text(stats, key, message):
    with pytest.raises(FormatError) as caught:
        stats[key]
    assert caught.value.args == (f'"{message}" is not a driver!',)


def test_lookup_reads_names_afresh_and_propagates_their_errors(fake, stats, monkeypatch):
    def broken(handle):
        raise RuntimeError(f"no name for {handle.name}")

    monkeypatch.setattr(fake.gdal, "Driver_ShortName_get", broken)
    with pytest.raises(RuntimeError, match="no name for GTiff"):
        stats["MEM"]
    assert stats[5] is stats._drivers[5]  # a position needs no name


def test_getitem_binds_indices_by_keyword_and_rejects_wrong_counts(stats):
    assert stats.__getitem__(indices="gpkg") is stats[2]
    signature = inspect.signature(drv.DriveStatistics.__getitem__)
    assert list(signature.parameters) == ["self", "indices"]
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        drv.DriveStatistics(1)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'indices'"):
        stats.__getitem__()


@pytest.mark.parametrize(
    ("prop", "expected"),
    [
        ("creatables", ["GTiff", "ESRI Shapefile"]),
        ("rasters", ["GTiff", "GPKG", "gtiff", "MEM"]),
        ("updatables", ["ESRI Shapefile", "GPKG"]),
        ("vectors", ["ESRI Shapefile", "GPKG"]),
        ("virtualios", ["GTiff", "gtiff"]),
    ],
)
def test_filters_return_new_lists_of_the_snapshot_drivers(stats, prop, expected):
    first, second = getattr(stats, prop), getattr(stats, prop)
    assert names(first) == expected
    assert first is not second and first == second
    assert all(any(d is kept for kept in stats._drivers) for d in first)


def test_filters_read_the_drivers_afresh(fake, stats):
    fake.gdal.drivers["MEM"]["DCAP_CREATE"] = "YES"
    fake.gdal.drivers["GTiff"]["DCAP_RASTER"] = "NO"
    fake.gdal.drivers["1.0"]["DCAP_VECTOR"] = "yes"
    assert names(stats.creatables) == ["GTiff", "ESRI Shapefile", "MEM"]
    assert names(stats.rasters) == ["GPKG", "gtiff", "MEM"]
    assert names(stats.vectors) == ["ESRI Shapefile", "GPKG", "1.0"]


def test_raster_filter_tests_category_by_substring(stats, monkeypatch):
    monkeypatch.setattr(drv.Driver, "category", property(lambda self: f"[{self.name}Raster]"))
    assert names(stats.rasters) == NAMES
    assert names(stats.vectors) == []


def test_filter_errors_propagate(fake, stats, monkeypatch):
    def broken(handle, key):
        raise RuntimeError(f"metadata {key} unreadable")

    monkeypatch.setattr(fake.gdal, "MajorObject_GetMetadataItem", broken)
    for prop, key in [("creatables", "DCAP_CREATE"), ("rasters", "DCAP_RASTER")]:
        with pytest.raises(RuntimeError, match=f"metadata {key} unreadable"):
            getattr(stats, prop)


def test_class_members_kinds_and_docstrings():
    cls = drv.DriveStatistics
    assert [name for name in vars(cls) if not name.startswith("__")] == ["_repr_html_", *FILTERS]
    dunder = [n for n in vars(cls) if n in ("__init__", "__getitem__", "__len__")]
    assert dunder == ["__init__", "__getitem__", "__len__"] and cls.__mro__ == (cls, object)
    docs = ("Drive statistics object.", "HTML style for Jupyter NoteBook.", None)
    assert (cls.__doc__, cls._repr_html_.__doc__, cls.__getitem__.__doc__) == docs
    assert cls.__getitem__.__qualname__ == "DriveStatistics.__getitem__"
    words = ["created", "raster", "updatables", "vector", "virtualios"]
    for name, word in zip(FILTERS, words, strict=True):
        prop = vars(cls)[name]
        assert isinstance(prop, property) and prop.fset is None
        assert prop.__doc__ == f"List of supported drivers that can be {word}. --> list"


def test_real_registry_positions_names_and_filters():
    stats, count = drv.DriveStatistics(), gdal.GetDriverCount()
    real = [gdal.GetDriver(i) for i in range(count)]
    assert len(stats) == count and names(stats) == [d.ShortName for d in real]
    assert stats["gTIFF"] is stats["GTiff"] and stats[-1].name == real[-1].ShortName
    keys = ["CREATE", "RASTER", "UPDATE", "VECTOR", "VIRTUALIO"]
    for prop, key in zip(FILTERS, keys, strict=True):
        flags = [(d.GetMetadataItem(f"DCAP_{key}") or "").upper() for d in real]
        expected = [d.ShortName for d, flag in zip(real, flags, strict=True) if flag == "YES"]
        assert names(getattr(stats, prop)) == expected, prop
