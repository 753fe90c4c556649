"""Option lists of drivers: XML parsing, caching, configured defaults and setters."""

import xml.etree.ElementTree as ET

import fakes
import pytest
from osgeo import _gdal

from orv import error
from orv._algos.geo import driver

CREATION_XML = (
    "<CreationOptionList><Option name='COMPRESS' type='string-select' default='NONE'>"
    "<Value>NONE</Value><Value>LZW</Value></Option><Option name='TILED' type='boolean'/>"
    "</CreationOptionList>"
)
LAYER_XML = "<LayerCreationOptionList><Option name='GEOM' type='string'/></LayerCreationOptionList>"
OPEN_XML = "<OpenOptionList><Option name='NUM_THREADS' type='int'/></OpenOptionList>"

LISTS = {"DMD_CREATIONOPTIONLIST": CREATION_XML, "DMD_OPENOPTIONLIST": OPEN_XML}
LISTS["DS_LAYER_CREATIONOPTIONLIST"] = LAYER_XML
COMPRESS = {"type": "string-select", "default": "NONE", "value": ["NONE", "LZW"]}
RASTER, VECTOR = {"DCAP_RASTER": "YES"}, {"DCAP_VECTOR": "YES"}
CAPS = {"raster": RASTER, "vector": VECTOR, "both": {**RASTER, **VECTOR}, "neither": {}}


@pytest.fixture
def fake(monkeypatch):
    drivers = {kind: {**caps, **LISTS} for kind, caps in CAPS.items()}
    drivers["bare"] = {"DCAP_RASTER": "YES"}
    fake = fakes.install(monkeypatch, drivers)
    raster_defaults = {kind: {"TILED": "YES", "UNLISTED": 1} for kind in CAPS}
    fake.env.RasterConfig["creation.options"] = raster_defaults
    fake.env.VectorConfig["creation.options"] = {kind: {"GEOM": "WKT"} for kind in CAPS}
    return fake


@pytest.mark.parametrize(
    "xml, expected",
    [(CREATION_XML, {"COMPRESS": COMPRESS, "TILED": {"type": "boolean"}}), ("", {}), (None, {})]
    + [("<R a='1'><O name='A'><V/><V> x <G>deep</G></V></O></R>", {"A": {"value": [None, " x "]}})]
    + [("<R><O name='A' n='1'/><O name='B'/><O name='A' n='2'/></R>", {"A": {"n": "2"}, "B": {}})],
    ids=["worked-example", "empty", "none", "children-text", "duplicate-name"],
)
def test_read_xml_to_dict(xml, expected):
    result = driver.read_xml_to_dict(xml)
    assert result == expected and list(result) == list(expected)
    assert [list(record) for record in result.values()] == [list(r) for r in expected.values()]


def test_read_xml_to_dict_fails_on_option_without_name_and_uses_xet_at_call_time(monkeypatch):
    with pytest.raises(KeyError, match="name"):
        driver.read_xml_to_dict("<R><O type='int'/></R>")
    seen = []
    spy = fakes.Recorder("fromstring", seen, ET.fromstring)
    monkeypatch.setattr(driver, "xet", type("SpyXet", (), {"fromstring": staticmethod(spy)}))
    assert driver.read_xml_to_dict(OPEN_XML) == {"NUM_THREADS": {"type": "int"}}
    assert seen == [("fromstring", (OPEN_XML,))]


RASTER_MAP = {"COMPRESS", "TILED"}


@pytest.mark.parametrize(
    "kind, raster, options, current, capability_read",
    [
        ("raster", None, RASTER_MAP, {"TILED": "YES"}, "DCAP_RASTER"),
        ("both", None, RASTER_MAP, {"TILED": "YES"}, "DCAP_RASTER"),
        ("vector", None, {"GEOM"}, {"GEOM": "WKT"}, "DCAP_RASTER"),
        ("neither", None, {"GEOM"}, {"GEOM": "WKT"}, "DCAP_RASTER"),
        ("raster", True, RASTER_MAP, {"TILED": "YES"}, "DCAP_RASTER"),
        ("vector", "yes", RASTER_MAP, {}, "DCAP_RASTER"),
        ("both", False, {"GEOM"}, {"GEOM": "WKT"}, "DCAP_VECTOR"),
        ("vector", 0, {"GEOM"}, {"GEOM": "WKT"}, "DCAP_VECTOR"),
        ("raster", "", RASTER_MAP, {}, "DCAP_VECTOR"),
    ],
)
def test_creation_map_source(fake, kind, raster, options, current, capability_read):
    drv = driver.Driver(kind)
    info = drv._set_creation_options_info_(raster)
    assert info is drv._creation_opts
    assert set(info) == options
    assert drv.creation_options == current
    capabilities = [key for key in fake.gdal.metadata_reads() if key.startswith("DCAP_")]
    assert capabilities == [capability_read]


@pytest.mark.parametrize(
    "cls, kind, options",
    [(driver.Driver, "both", RASTER_MAP), (driver.RasterDriver, "both", RASTER_MAP)]
    + [(driver.VectorDriver, "both", {"GEOM"}), (driver.VectorDriver, "vector", {"GEOM"})],
)
def test_info_properties_pick_the_list_of_their_class(fake, cls, kind, options):
    drv = cls(kind)
    assert set(drv.creation_options_info) == options
    assert drv.open_options_info == {"NUM_THREADS": {"type": "int"}}
    # set_creation_options goes through the property of the object's own class.
    fresh = cls(kind)
    fresh.set_creation_options(**dict.fromkeys(options, "v"))
    assert set(fresh._creation_opts) == options


def test_maps_are_cached_and_defaults_applied_once(fake):
    drv = driver.Driver("raster")
    info = drv.creation_options_info
    reads = len(fake.gdal.metadata_reads())
    fake.env.RasterConfig["creation.options"]["raster"]["TILED"] = "NO"
    assert drv._set_creation_options_info_(False) is info
    assert drv.creation_options_info is info and drv.open_options_info is drv.open_options_info
    assert drv.creation_options == {"TILED": "YES"}
    assert drv.creation_options is not drv.creation_options
    assert len(fake.gdal.metadata_reads()) == reads + 1  # the open list, parsed once


def test_driver_without_lists(fake):
    drv = driver.Driver("bare")
    assert drv.creation_options_info == {} and drv.open_options_info == {}
    drv.set_open_options()
    with pytest.raises(error.FormatError) as caught:
        drv.set_open_options(X=1)
    assert (caught.value.errors, caught.value.all_sels) == (["X"], {})
    assert drv.open_options == {} and drv.creation_options == {}
    reads = fake.gdal.metadata_reads()  # an empty list is parsed again on every read
    assert reads.count("DMD_CREATIONOPTIONLIST") == 2 and reads.count("DMD_OPENOPTIONLIST") == 4


def test_malformed_list_fails_and_is_retried(fake):
    fake.gdal.drivers["raster"]["DMD_OPENOPTIONLIST"] = "no markup at all"
    drv = driver.Driver("raster")
    with pytest.raises(ET.ParseError):
        _ = drv.open_options_info
    fake.gdal.drivers["raster"]["DMD_OPENOPTIONLIST"] = OPEN_XML
    assert list(drv.open_options_info) == ["NUM_THREADS"]


@pytest.mark.parametrize(
    "config, outcome",
    # The open map takes no creation defaults.
    [({}, {}), ({"creation.options": {"other": {"TILED": "YES"}}}, {})]
    + [({"creation.options": {"raster": {"TILED": 7}}}, {"TILED": 7})]
    + [({"creation.options": {"raster": {"NUM_THREADS": 4}}}, {})]
    + [({"creation.options": {"raster": None}}, AttributeError)],
)
def test_configured_defaults(fake, config, outcome):
    fake.env.RasterConfig = config
    drv = driver.RasterDriver("raster")
    if isinstance(outcome, dict):
        assert drv.creation_options == outcome and drv.open_options == {}
    else:
        with pytest.raises(outcome):
            _ = drv.creation_options_info


@pytest.mark.parametrize(
    "kwargs, errors",
    [({"compress": "LZW"}, ["compress"])]
    + [({"TILED": "NO", "X": 1, "COMPRESS": "LZ", "Y": 2}, ["X", "Y"])],
)
def test_unknown_names_are_rejected_before_anything_changes(fake, kwargs, errors):
    drv = driver.RasterDriver("raster")
    before = {name: dict(record) for name, record in drv.creation_options_info.items()}
    with pytest.raises(error.FormatError) as caught:
        drv.set_creation_options(**kwargs)
    assert caught.value.errors == errors and caught.value.all_sels is drv.creation_options_info
    assert drv.creation_options_info == before


def test_setters_store_values_unchanged_in_map_order(fake):
    drv = driver.RasterDriver("raster")
    value = object()
    assert drv.set_creation_options(TILED=value, COMPRESS=3) is None
    assert drv.set_creation_options() is None
    assert list(drv.creation_options.items()) == [("COMPRESS", 3), ("TILED", value)]
    drv.set_open_options(NUM_THREADS="ALL_CPUS")
    drv.set_open_options(NUM_THREADS=2)
    assert drv.open_options == {"NUM_THREADS": 2}
    opts = {"A": {}}
    assert drv._set_opts_(opts, A=None) is None and opts == {"A": {"current": None}}


def test_copies_share_only_filled_maps(fake):
    source = driver.RasterDriver("both")
    source.set_creation_options(COMPRESS="LZW")
    copy = driver.VectorDriver(source)
    assert copy.creation_options_info is source.creation_options_info  # filled: shared, kept
    copy.set_creation_options(TILED="NO")
    assert source.creation_options == {"COMPRESS": "LZW", "TILED": "NO"}
    _ = source.open_options_info  # filled after the copy was made: the copy parses its own
    assert copy.open_options_info is not source.open_options_info


@pytest.mark.parametrize("index", range(_gdal.GetDriverCount()))
def test_every_installed_option_list_parses(index):
    plain = driver.Driver(index)
    kinds = [(driver.RasterDriver, plain.is_raster), (driver.VectorDriver, plain.is_vector)]
    drivers = [plain] + [cls(index) for cls, wanted in kinds if wanted]
    for info in [m for d in drivers for m in (d.creation_options_info, d.open_options_info)]:
        for name, record in info.items():
            assert isinstance(name, str) and isinstance(record, dict)
            assert all(isinstance(v, str | None) for v in record.get("value", []))
