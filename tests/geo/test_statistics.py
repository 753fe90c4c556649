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


def test_construction_counts_once_then_builds_plain_drivers_in_registry_order(fake):
    stats = drv.DriveStatistics()
    assert fake.events == [("GetDriverCount", ())] + [("GetDriver", (i,)) for i in range(6)]
    assert len(stats) == len(REGISTRY)
    assert [type(d) for d in stats._drivers] == [drv.Driver] * len(REGISTRY)
    assert [d._driver for d in stats._drivers] == [fake.gdal.handle(n) for n in NAMES]


def test_snapshot_ignores_later_registry_changes(fake, stats):
    kept = list(stats)
    del fake.gdal.drivers["MEM"]
    assert len(stats) == len(REGISTRY)
    assert list(stats) == kept
    assert len(drv.DriveStatistics()) == len(REGISTRY) - 1


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
    + [(False, "GTiff"), (6, IndexError), (7, IndexError), (-7, IndexError)],
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
    [("GTiff", 0), ("GTIFF", 0), ("gTiFf", 0), ("esri shapefile", 1), ("ESRI SHAPEFILE", 1)]
    + [("gpkg", 2), ("1.0", 3), (1.0, 3), ("mem", 5)],
)
def test_other_keys_match_names_case_insensitively(stats, key, position):
    assert stats[key] is stats._drivers[position]


@pytest.mark.parametrize(
    ("key", "message"),
    # Shown as given (not lower-cased); no prefix matching.
    [("nope", "nope"), ("NoPe", "NoPe"), ("GTi", "GTi"), ("GTiff ", "GTiff "), ("", "")]
    + [(2.5, "2.5"), (None, "None"), (slice(0, 2), "slice(0, 2, None)")],
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


def test_iteration_yields_the_drivers_in_order_and_stops_after_the_last(stats):
    iterator = iter(stats)
    assert list(iterator) == stats._drivers
    assert next(iterator, "exhausted") == "exhausted"
    assert [d.name for d in stats] == NAMES


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
    # A category property that only contains the word still counts.
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
    members = [name for name in vars(drv.DriveStatistics) if not name.startswith("__")]
    assert members == ["_repr_html_", *FILTERS]
    dunder = [n for n in vars(drv.DriveStatistics) if n in ("__init__", "__getitem__", "__len__")]
    assert dunder == ["__init__", "__getitem__", "__len__"]
    assert drv.DriveStatistics.__doc__ == "Drive statistics object."
    assert drv.DriveStatistics.__mro__ == (drv.DriveStatistics, object)
    assert drv.DriveStatistics._repr_html_.__doc__ == "HTML style for Jupyter NoteBook."
    assert drv.DriveStatistics.__getitem__.__doc__ is None
    assert drv.DriveStatistics.__getitem__.__qualname__ == "DriveStatistics.__getitem__"
    words = ["created", "raster", "updatables", "vector", "virtualios"]
    for name, word in zip(FILTERS, words, strict=True):
        prop = vars(drv.DriveStatistics)[name]
        assert isinstance(prop, property) and prop.fset is None
        assert prop.__doc__ == f"List of supported drivers that can be {word}. --> list"


class TestRealRegistry:
    """Against GDAL itself, checked through the osgeo.gdal API."""

    def test_length_and_positions_follow_gdal(self):
        stats = drv.DriveStatistics()
        count = gdal.GetDriverCount()
        assert len(stats) == count
        assert stats[0].name == gdal.GetDriver(0).ShortName
        assert stats[-1].name == gdal.GetDriver(count - 1).ShortName
        assert sum(1 for _ in stats) == count

    @pytest.mark.parametrize("key", ["GTiff", "gtiff", "GTIFF", "gTIFF"])
    def test_name_lookup(self, key):
        stats = drv.DriveStatistics()
        assert stats[key] is stats["GTiff"]
        assert stats[key].name == "GTiff"

    @pytest.mark.parametrize(
        ("prop", "key"),
        [("creatables", "DCAP_CREATE"), ("updatables", "DCAP_UPDATE"), ("rasters", "DCAP_RASTER")]
        + [("virtualios", "DCAP_VIRTUALIO"), ("vectors", "DCAP_VECTOR")],
    )
    def test_filters_match_the_capability_items(self, prop, key):
        expected = [
            gdal.GetDriver(i).ShortName
            for i in range(gdal.GetDriverCount())
            if (gdal.GetDriver(i).GetMetadataItem(key) or "").upper() == "YES"
        ]
        assert names(getattr(drv.DriveStatistics(), prop)) == expected
