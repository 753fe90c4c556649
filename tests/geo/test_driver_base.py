"""The Driver base class against a fake binding (exact calls and results) and
against the real GDAL registry."""

import fakes
import pytest
from osgeo import _gdal

from orv import error
from orv._algos.geo import driver as drv

DRIVERS = {
    "GTiff": {
        "DCAP_RASTER": "YES",
        "DCAP_CREATE": "YES",
        "DMD_EXTENSION": "tif",
        "DMD_EXTENSIONS": "tif tiff",
        "DMD_LONGNAME": "GeoTIFF",
    },
    "Both": {
        "DCAP_RASTER": "yes",
        "DCAP_VECTOR": "Yes",
        "DCAP_UPDATE": "yes",
        "DMD_EXTENSIONS": "  a\tb  ",
    },
    "Neither": {"DCAP_RASTER": "NO", "DCAP_VIRTUALIO": "YESS"},
}


@pytest.fixture
def fake(monkeypatch):
    return fakes.install(monkeypatch, {name: dict(items) for name, items in DRIVERS.items()})


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("GTiff", ("GTiff", "GeoTIFF", ["tif", "tiff"], "tif", True, False, False, "Raster")),
        ("Both", ("Both", "", ["a", "b"], "a", False, True, False, "Raster/Vector")),
        ("Neither", ("Neither", "", [], "", False, False, False, "")),
    ],
)
def test_properties_answer_from_metadata(fake, name, expected):
    d = drv.Driver(name)
    got = (
        d.name,
        d.long_name,
        d.extensions,
        d.extension,
        d.creatable,
        d.updatable,
        d.virtualio,
        d.category,
    )
    assert got == expected
    assert str(d) == repr(d) == f"{name} - {expected[-1]}"


def test_construction_calls(fake):
    drv.Driver("GTiff")
    assert fake.events == [("GetDriverByName", ("GTiff",))]
    fake.events.clear()
    by_index = drv.Driver(True)  # bool is an int: index 1
    assert fake.events == [("GetDriver", (True,))]
    assert by_index._driver is fake.gdal.handle("Both")
    assert (by_index._open_opts, by_index._creation_opts) == ({}, {})
    assert by_index._open_opts is not by_index._creation_opts


def test_copy_shares_handle_and_caches_and_recomputes_category(fake):
    source = drv.RasterDriver("Both") if hasattr(drv, "RasterDriver") else drv.Driver("Both")
    copy = drv.Driver(source)
    assert type(copy) is drv.Driver
    assert copy._driver is source._driver
    assert copy._open_opts is source._open_opts
    assert copy._creation_opts is source._creation_opts
    assert copy.category == "Raster/Vector"


def test_metadata_item_call_and_empty_fallback(fake):
    d = drv.Driver("GTiff")
    fake.events.clear()
    assert d._get_metadata_item_("MISSING") == ""
    assert fake.events == [("MajorObject_GetMetadataItem", (fake.gdal.handle("GTiff"), "MISSING"))]


def test_each_access_asks_again(fake):
    d = drv.Driver("GTiff")
    assert d.updatable is False
    fake.gdal.drivers["GTiff"]["DCAP_UPDATE"] = "yes"
    assert d.updatable is True
    assert fake.gdal.metadata_reads().count("DCAP_UPDATE") == 2


class Wrapper:
    """Not a handle itself, but carries one as `this`."""

    def __init__(self, inner):
        self.this = inner


@pytest.mark.parametrize(
    ("value", "message"),
    [
        ("nope", "Driver(nope) is incorrect!"),
        (3.5, "Driver(3.5) is incorrect!"),
        (7, "Driver(7) is incorrect!"),
        (None, "Driver(None) is incorrect!"),
        (Wrapper(None), None),
    ],
)
def test_shadow_rejects_non_handles(fake, value, message):
    assert drv._to_driver_shadow_(value) is None
    with pytest.raises(error.FormatError) as raised:
        drv._to_driver_shadow_(value, False)
    if message is not None:
        assert str(raised.value) == message


def test_shadow_accepts_handles_drivers_and_this(fake):
    handle = fake.gdal.handle("GTiff")
    assert drv._to_driver_shadow_(handle) is handle
    assert drv._to_driver_shadow_(drv.Driver("GTiff")) is handle
    assert drv._to_driver_shadow_(Wrapper(handle)) is handle


@pytest.mark.parametrize(
    ("name", "message"),
    [("Unknown", "Driver(Unknown) is incorrect!"), (99, "Driver(None) is incorrect!")],
)
def test_unknown_names_and_indices(fake, name, message):
    with pytest.raises(
        error.FormatError, match=r"^" + message.replace("(", r"\(").replace(")", r"\)")
    ):
        drv.Driver(name)


def test_errors_of_the_binding_propagate(fake, monkeypatch):
    def broken(*args):
        raise KeyError("binding failed")

    monkeypatch.setattr(fake.gdal, "MajorObject_GetMetadataItem", broken)
    d = drv.Driver("GTiff")
    with pytest.raises(KeyError, match="binding failed"):
        _ = d.is_raster


def test_missing_init_gives_attribute_error():
    d = drv.Driver.__new__(drv.Driver)
    with pytest.raises(AttributeError):
        _ = d.name


def test_real_registry_handles():
    count = _gdal.GetDriverCount()
    assert count > 0
    first = drv.Driver(0)
    assert first.name == _gdal.Driver_ShortName_get(_gdal.GetDriver(0))
    gtiff = drv.Driver("GTiff")
    assert (gtiff.category, gtiff.extension, gtiff.creatable) == ("Raster", "tif", True)
    from osgeo import gdal

    # The binding's driver object and its raw handle are both accepted.
    assert drv.Driver(gdal.GetDriverByName("GPKG")).category == "Raster/Vector"
    assert drv.Driver(gdal.GetDriverByName("GPKG").this).name == "GPKG"
