"""Driver members read each other through the instance: subclass overrides, instance
attributes and rebound module globals are honoured on the real registry."""

import pytest
from osgeo import _gdal

from orv._algos.geo import driver as drv


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
def test_overrides_are_honoured(make, category, creatable):
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
