"""The direct path to the GDAL library gives what the binding's wrappers give.

The real `_gdal` takes the direct path; a namespace holding the very same functions is
another object, so the facade calls the binding through it: the two runs compare the paths
side by side on the real registry.
"""

import types

import pytest
from osgeo import _gdal, gdal

from orv._algos.geo import driver as drv

PROPERTIES = (
    "name", "long_name", "category", "extension", "extensions", "is_raster", "is_vector",
    "creatable", "updatable", "virtualio",
)  # fmt: skip
# Every metadata key the facade reads, and one no driver has.
KEYS = (
    "DCAP_RASTER", "DCAP_VECTOR", "DCAP_CREATE", "DCAP_UPDATE", "DCAP_VIRTUALIO",
    "DCAP_CREATECOPY", "DCAP_COORDINATE_EPOCH", "DCAP_Z_GEOMETRIES",
    "DCAP_MEASURED_GEOMETRIES", "DCAP_MULTIPLE_VECTOR_LAYERS", "DMD_EXTENSION",
    "DMD_EXTENSIONS", "DMD_LONGNAME", "DMD_CREATIONDATATYPES", "DMD_CREATIONFIELDDATATYPES",
    "DMD_SUBDATASETS", "SQL_DIALECTS", "DMD_CREATIONOPTIONLIST",
    "DS_LAYER_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST", "NO_SUCH_KEY",
)  # fmt: skip
# Keys the binding converts or rejects itself.
ODD_KEYS = ("DMD_LONGNAME\0tail", "DMD_LONGNAMÉ", "\udc80", b"DMD_LONGNAME", None, 3)


def outcome(function, *args):
    try:
        value = function(*args)
    except Exception as exc:  # the exception is part of the result compared
        return ("raised", type(exc), str(exc))
    return (type(value), value)


def sweep():
    stats = drv.DriveStatistics()
    rows = [[outcome(getattr, d, p) for p in PROPERTIES] for d in stats]
    items = [[outcome(d._get_metadata_item_, k) for k in KEYS + ODD_KEYS] for d in stats]
    return rows, items


@pytest.fixture
def via_binding(monkeypatch):
    def use():
        monkeypatch.setattr(drv, "_gdal", types.SimpleNamespace(**vars(_gdal)))

    return use


def test_whole_registry_same_on_both_paths(via_binding):
    direct = sweep()
    via_binding()
    assert sweep() == direct
    assert len(direct[0]) == _gdal.GetDriverCount()


@pytest.mark.parametrize("handle", [None, object(), "GTiff", _gdal.GetDriver(0).this.__class__])
def test_foreign_handles_give_the_binding_errors(via_binding, handle):
    d = drv.Driver(0)
    d._driver = handle
    direct = [outcome(getattr, d, p) for p in PROPERTIES]
    via_binding()
    assert [outcome(getattr, d, p) for p in PROPERTIES] == direct


@pytest.mark.parametrize("name", ["MajorObject_GetMetadataItem", "Driver_ShortName_get"])
def test_rebound_binding_function_is_called(monkeypatch, name):
    calls = []
    original = getattr(_gdal, name)
    monkeypatch.setattr(_gdal, name, lambda *args: calls.append(args) or original(*args))
    d = drv.Driver("GTiff")
    assert (d.name, d.long_name) == ("GTiff", "GeoTIFF") and calls


def test_handle_repr_is_asked_when_it_may_differ(monkeypatch):
    handle = _gdal.GetDriver(0)
    assert drv._to_driver_shadow_(handle) is handle
    handle.__repr__ = lambda: "overridden"
    assert drv._to_driver_shadow_(handle) is handle.this
    fresh = _gdal.GetDriver(0)
    monkeypatch.setattr(gdal.Driver, "__repr__", lambda self: "changed")
    assert drv._to_driver_shadow_(fresh) is fresh.this


@pytest.mark.parametrize("uses_exceptions", [False, True])
def test_pending_error_left_as_the_binding_leaves_it(uses_exceptions):
    d = drv.Driver("GTiff")
    before = gdal.GetUseExceptions()
    gdal.PushErrorHandler("CPLQuietErrorHandler")
    (gdal.UseExceptions if uses_exceptions else gdal.DontUseExceptions)()
    try:
        states = []
        for read in (lambda: _gdal.MajorObject_GetMetadataItem(d._driver, "DCAP_RASTER"),
                     lambda: d.is_raster):  # fmt: skip
            gdal.Error(gdal.CE_Warning, 1, "pending")
            read()
            states.append(gdal.GetLastErrorMsg())
    finally:
        (gdal.UseExceptions if before else gdal.DontUseExceptions)()
        gdal.PopErrorHandler()
    assert states[0] == ("" if uses_exceptions else "pending") and states[1] == states[0]


class YesToAll(drv.Driver):
    def _get_metadata_item_(self, key):
        return "yes"


class NotRaster(drv.Driver):
    is_raster = property(lambda self: False)


class CountedHandle(drv.Driver):
    reads = 0

    @property
    def _driver(self):
        CountedHandle.reads += 1
        return self.__dict__["handle"]

    @_driver.setter
    def _driver(self, value):
        self.__dict__["handle"] = value


class Traced(drv.Driver):
    seen = []

    def __getattribute__(self, name):
        Traced.seen.append(name)
        return super().__getattribute__(name)


def instance_says_yes(name):
    d = drv.Driver(name)
    d._get_metadata_item_ = lambda key: "yes"
    return d


@pytest.mark.parametrize(
    "make, category, creatable",
    [
        (instance_says_yes, "Raster/Vector", True),
        (YesToAll, "Raster/Vector", True),
        (NotRaster, "", True),
        (CountedHandle, "Raster", True),
        (Traced, "Raster", True),
    ],
)
def test_overrides_are_honoured_on_the_direct_path(make, category, creatable):
    d = make("GTiff")
    CountedHandle.reads, Traced.seen[:] = 0, []
    assert (d.category, d.creatable) == (category, creatable)
    if make is CountedHandle:
        assert CountedHandle.reads == 3  # one per flag read, as the getters make them
    if make is Traced:
        assert {"is_raster", "is_vector", "_get_metadata_item_", "_driver"} <= set(Traced.seen)


def test_filters_follow_a_replaced_category(monkeypatch):
    kinds = property(lambda self: "Raster" if self.name == "GTiff" else "Vector only")
    monkeypatch.setattr(drv.Driver, "category", kinds)
    stats = drv.DriveStatistics()
    assert [d.name for d in stats.rasters] == ["GTiff"]
    assert len(stats.vectors) == len(stats) - 1


class Plain(drv.Driver):
    pass


class Counted(drv.Driver):
    made = 0

    def __init__(self, name):
        Counted.made += 1
        super().__init__(name)


@pytest.mark.parametrize("kind", [Plain, Counted])
def test_registry_builds_the_driver_class_bound_at_call_time(monkeypatch, kind):
    monkeypatch.setattr(drv, "Driver", kind)
    Counted.made = 0
    stats = drv.DriveStatistics()
    assert {type(d) for d in stats} == {kind} and stats[0].name == _gdal.GetDriver(0).ShortName
    assert Counted.made == (len(stats) if kind is Counted else 0)


def test_an_object_passing_for_a_driver_is_copied_as_one():
    class PassesForDriver:
        __class__ = property(lambda self: drv.Driver)
        _driver, _open_opts, _creation_opts = _gdal.GetDriver(0), {}, {}

    source = PassesForDriver()
    copy = drv.Driver(source)
    assert copy._driver is source._driver and copy._open_opts is source._open_opts
