"""The notebook views: what Driver._repr_html_ and DriveStatistics._repr_html_ hand to the
HTML builders, in which order, and what the real builders make of hostile driver data."""

import types

import fakes
import pytest

from orv._algos.geo import base
from orv._algos.geo import driver as drv

REAL_GET_SEL = base.get_sel
FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]

REGISTRY = {
    "GTiff": {"DCAP_RASTER": "YES", "DCAP_CREATE": "YES", "DMD_EXTENSION": "tif"},
    "ESRI Shapefile": {"DCAP_VECTOR": "YES", "DCAP_UPDATE": "YES", "DMD_EXTENSIONS": "shp dbf"},
    "GPKG": {"DCAP_RASTER": "YES", "DCAP_VECTOR": "YES", "DCAP_VIRTUALIO": "YES"},
    "MEM": {"DCAP_RASTER": "YES"},
    "CSV": {"DCAP_VECTOR": "YES", "DMD_EXTENSION": "csv", "DCAP_CREATE": "yes"},
}
# What a registry row holds for each driver above, after the position.
ROWS = {
    "GTiff": ["GTiff", "Raster", "tif", True, False, False],
    "ESRI Shapefile": ["ESRI Shapefile", "Vector", "shp", False, True, False],
    "GPKG": ["GPKG", "Raster/Vector", "", False, False, True],
    "MEM": ["MEM", "Raster", "", False, False, False],
    "CSV": ["CSV", "Vector", "csv", True, False, False],
}
NAMES = list(REGISTRY)

CREATION_XML = (
    "<CreationOptionList>"
    '<Option name="COMPRESS" type="string-select" description="Compression">'
    "<Value>NONE</Value><Value>LZW</Value></Option>"
    '<Option name="TILED" type="boolean" description="Tiles"/>'
    "</CreationOptionList>"
)


class Recorder:
    """Stands in for one builder class; every call lands in the shared event list."""

    def __init__(self, kind, events, html):
        self.kind, self.events, self.html = kind, events, html

    def __call__(self, *args, **kwargs):
        self.events.append((self.kind, args, kwargs))
        return self

    def __getattr__(self, method):
        if method not in ("set_base_info", "add_details", "add_row", "add_head", "to_html"):
            raise AttributeError(method)

        def record(*args, **kwargs):
            self.events.append((method, args, kwargs))
            return self.html if method == "to_html" else None

        return record


@pytest.fixture
def fake(monkeypatch):
    return fakes.install(monkeypatch, {name: dict(meta) for name, meta in REGISTRY.items()})


@pytest.fixture
def builders(fake, monkeypatch):
    """Recording builders installed as the module's gdata; `html` is what to_html returns."""
    html = object()
    gdata = types.SimpleNamespace(
        ORVHTMLDetails=Recorder("ORVHTMLDetails", fake.events, html),
        ORVHTMLTable=Recorder("ORVHTMLTable", fake.events, html),
    )
    monkeypatch.setattr(drv, "gdata", gdata)
    return types.SimpleNamespace(html=html, events=fake.events)


def builder_calls(events):
    """The builder events only (the fake GDAL logs two-item events)."""
    return [event for event in events if len(event) == 3]


def record_get_sel(monkeypatch, results=None):
    """Replace base.get_sel by a recorder; it answers from `results` or with the real one."""
    calls = []
    answers = iter(results or [])

    def get_sel(count, maximum):
        calls.append((count, maximum))
        return next(answers) if results else REAL_GET_SEL(count, maximum)

    monkeypatch.setattr(base, "get_sel", get_sel)
    return calls


# -- Driver view -------------------------------------------------------------------------


@pytest.mark.parametrize("cls", [drv.Driver, drv.RasterDriver])
def test_driver_view_passes_summary_then_live_option_maps(fake, builders, cls):
    fake.gdal.drivers["GTiff"]["DMD_CREATIONOPTIONLIST"] = CREATION_XML
    d = cls("GTiff")
    del fake.events[:]
    assert d._repr_html_() is builders.html

    calls = builder_calls(fake.events)
    assert [(name, len(args), kw) for name, args, kw in calls] == [
        ("ORVHTMLDetails", 0, {}),
        ("set_base_info", 1, {}),
        ("add_details", 1, {}),
        ("to_html", 0, {}),
    ]
    summary = calls[1][1][0]
    assert type(summary) is dict
    assert list(summary.items()) == [
        ("Name", "GTiff"),
        ("Category", "Raster"),
        ("Creatable", True),
        ("Extension", "tif"),
    ]
    details = calls[2][1][0]
    assert type(details) is dict
    assert list(details) == ["Creation Options", "Open Options"]
    # The live caches, filled by the view itself.
    assert details["Creation Options"] is d._creation_opts is d.creation_options_info
    assert list(details["Creation Options"]) == ["COMPRESS", "TILED"]
    assert details["Open Options"] == {} == d.open_options_info


def test_driver_view_reads_properties_in_order(fake, builders):
    d = drv.Driver("ESRI Shapefile")
    del fake.events[:]
    d._repr_html_()
    reads = [
        event[1][-1] if event[0] == "MajorObject_GetMetadataItem" else event[0]
        for event in fake.events
        if event[0] in ("MajorObject_GetMetadataItem", "Driver_ShortName_get", "set_base_info")
    ]
    # name, category (raster then vector), creatable, extension (falling back to the list).
    assert reads[:7] == [
        "Driver_ShortName_get",
        "DCAP_RASTER",
        "DCAP_VECTOR",
        "DCAP_CREATE",
        "DMD_EXTENSION",
        "DMD_EXTENSIONS",
        "set_base_info",
    ]
    # Then the creation option list (whichever item this driver kind uses) before the open one.
    option_reads = [key for key in reads[7:] if key.endswith("OPTIONLIST")]
    assert len(option_reads) == 2
    assert "CREATIONOPTIONLIST" in option_reads[0] and option_reads[1] == "DMD_OPENOPTIONLIST"
    summary = builder_calls(fake.events)[1][1][0]
    assert summary == {
        "Name": "ESRI Shapefile",
        "Category": "Vector",
        "Creatable": False,
        "Extension": "shp",
    }


def test_driver_view_without_option_lists_passes_two_empty_maps(fake, builders):
    drv.Driver("MEM")._repr_html_()
    details = builder_calls(fake.events)[2][1][0]
    assert details == {"Creation Options": {}, "Open Options": {}}


def test_driver_view_errors_propagate(fake, builders, monkeypatch):
    def broken(*args):
        raise RuntimeError("builder refused")

    monkeypatch.setattr(drv.gdata, "ORVHTMLDetails", broken)
    with pytest.raises(RuntimeError, match="builder refused"):
        drv.Driver("GTiff")._repr_html_()


# -- Registry view -----------------------------------------------------------------------


def registry_calls(monkeypatch, builders, shape=(20, 10), sel_results=None):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=shape))
    sel_calls = record_get_sel(monkeypatch, sel_results)
    stats = drv.DriveStatistics()
    del builders.events[:]
    assert stats._repr_html_() is builders.html
    return builder_calls(builders.events), sel_calls


def rows_added(calls):
    return [args[0] for name, args, _ in calls if name == "add_row"]


def row(i):
    return [i, *ROWS[NAMES[i]]]


def test_registry_view_with_everything_shown(fake, builders, monkeypatch):
    calls, sel_calls = registry_calls(monkeypatch, builders)
    assert sel_calls == [(5, 20), (6, 10)]
    names = [name for name, _, _ in calls]
    assert names == ["ORVHTMLTable", "set_base_info"] + ["add_row"] * 5 + ["add_head", "to_html"]
    ctor_args = calls[0][1]
    assert ctor_args == (6, 1, 0, False) and calls[0][2] == {}
    assert [type(a) for a in ctor_args] == [int, int, int, bool]
    summary = calls[1][1][0]
    assert type(summary) is dict
    assert list(summary.items()) == [("Rasters", 3), ("Vectors", 3), ("Total", 5)]
    assert rows_added(calls) == [row(i) for i in range(5)]
    assert all(type(r) is list and type(r[0]) is int for r in rows_added(calls))
    assert calls[-2][1] == (["", *FIELDS],)
    assert calls[-1][1] == ()


ELLIPSIS = "..."


@pytest.mark.parametrize(
    ("row_sel", "shown"),
    [
        (((0, 2), (3, 5)), [0, 1, ELLIPSIS, 3, 4]),
        (((0, 3), (4, 5)), [0, 1, 2, ELLIPSIS, 4]),
        (((1, 3), (0, 0)), [1, 2]),  # the tuple (0, 0) marks "no tail"
        (((0, 2), [0, 0]), [0, 1, ELLIPSIS]),  # a list is not that marker
        (((0, 1), (5, 5)), [0, ELLIPSIS]),  # an empty tail still shows the cut
        (((0, 5, 2), (0, 0)), [0, 2, 4]),  # every item of a range goes to range()
        (([4], (0, 0)), [0, 1, 2, 3]),
        (((0, 0), (3, 0, -1)), [ELLIPSIS, 3, 2, 1]),
    ],
)
def test_registry_rows_follow_the_row_selection(fake, builders, monkeypatch, row_sel, shown):
    calls, sel_calls = registry_calls(
        monkeypatch, builders, sel_results=[(row_sel, 99), ((0, 6), 6)]
    )
    assert sel_calls == [(5, 20), (6, 10)]
    expected = [[ELLIPSIS] * 7 if i == ELLIPSIS else row(i) for i in shown]
    assert rows_added(calls) == expected
    assert [name for name, _, _ in calls][-2:] == ["add_head", "to_html"]


@pytest.mark.parametrize("l_fields", [3, 6, 10])
def test_column_selection_sets_table_width_and_ellipsis_row(fake, builders, monkeypatch, l_fields):
    calls, sel_calls = registry_calls(
        monkeypatch,
        builders,
        shape=(4, 3),
        sel_results=[(((0, 2), (3, 5)), 4), ("column ranges", l_fields)],
    )
    assert sel_calls == [(5, 4), (6, 3)]
    assert calls[0][1] == (l_fields, 1, 0, False)
    rows = rows_added(calls)
    assert rows[2] == [ELLIPSIS] * (1 + l_fields)
    # Data rows always carry the position and all six fields; the builder thins them.
    assert [r for r in rows if r[0] != ELLIPSIS] == [row(0), row(1), row(3), row(4)]


def test_registry_view_with_the_real_builder_and_selection(fake, monkeypatch):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=(2, 4)))
    html = drv.DriveStatistics()._repr_html_()
    table = html[html.index("<table") :]
    texts = [cells.split("</tr>")[0] for cells in table.split("<tr>")[1:]]
    # header, row 0, the ellipsis row, row 4; four of six columns with a "..." between.
    assert len(texts) == 4
    assert ">GTiff<" in texts[1] and ">CSV<" in texts[3]
    # The ellipsis row: 1 + 4 cells, padded by the builder to the data rows' 1 + 2 + 1 + 2.
    assert texts[2].count(">...<") == 6
    assert "Rasters</b>: 3" in html and "Total</b>: 5" in html


@pytest.mark.parametrize(
    ("shape", "message"),
    [
        ((20,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        ((20, 10, 1), "too many values to unpack (expected 2)"),
        ("abc", "too many values to unpack (expected 2)"),
        (iter([20]), "need more than 1 value to unpack"),
        (iter([20, 10, 1]), "too many values to unpack (expected 2)"),
    ],
)
def test_max_shape_must_unpack_into_two(fake, builders, monkeypatch, shape, message):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=shape))
    stats = drv.DriveStatistics()
    with pytest.raises(ValueError) as caught:
        stats._repr_html_()
    assert caught.value.args == (message,)
    assert builder_calls(fake.events) == []


def test_max_shape_may_be_any_two_item_iterable(fake, builders, monkeypatch):
    calls, sel_calls = registry_calls(monkeypatch, builders, shape=iter([2, None]))
    assert sel_calls == [(5, 2), (6, None)]
    assert rows_added(calls)[1] == [ELLIPSIS] * 7


def test_max_shape_must_be_iterable(fake, builders, monkeypatch):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=20))
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        drv.DriveStatistics()._repr_html_()


@pytest.mark.parametrize(
    ("sel_results", "message"),
    [
        ([(((0, 5), (0, 0)),)], "need more than 1 value to unpack"),
        ([(((0, 5), (0, 0)), 5, 5)], "too many values to unpack (expected 2)"),
        ([(((0, 5), (0, 0)), 5), [(0, 6)]], "need more than 1 value to unpack"),
        ([(((0, 5), (0, 0)), 5), [(0, 6), 6, 6]], "too many values to unpack (expected 2)"),
    ],
)
def test_selections_must_unpack_into_two(fake, builders, monkeypatch, sel_results, message):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=(20, 10)))
    record_get_sel(monkeypatch, sel_results)
    with pytest.raises(ValueError) as caught:
        drv.DriveStatistics()._repr_html_()
    assert caught.value.args == (message,)


def test_get_sel_is_imported_from_base_on_every_call(fake, builders, monkeypatch):
    stats = drv.DriveStatistics()
    first = record_get_sel(monkeypatch)
    stats._repr_html_()
    second = record_get_sel(monkeypatch)
    stats._repr_html_()
    assert first == second == [(5, 20), (6, 10)]
    monkeypatch.delattr(base, "get_sel")
    with pytest.raises(ImportError, match="^cannot import name get_sel$"):
        stats._repr_html_()


class RefusingTable:
    def __init__(self, *args):
        pass

    def set_base_info(self, mapping):
        pass

    def add_row(self, row):
        raise RuntimeError("row refused")


def test_registry_view_errors_propagate(fake, monkeypatch):
    stats = drv.DriveStatistics()
    monkeypatch.setattr(drv, "gdata", types.SimpleNamespace(ORVHTMLTable=RefusingTable))
    with pytest.raises(RuntimeError, match="row refused"):
        stats._repr_html_()

    def refusing_get_sel(count, maximum):
        raise OverflowError("selection refused")

    monkeypatch.setattr(base, "get_sel", refusing_get_sel)
    with pytest.raises(OverflowError, match="selection refused"):
        stats._repr_html_()


# -- Escaping through the real builders ---------------------------------------------------

HOSTILE_NAME = "<script>alert(1)</script>"
HOSTILE_EXT = '"><img src=x onerror=alert(2)>'
HOSTILE_XML = (
    "<CreationOptionList>"
    '<Option name="&lt;b&gt;BOLD" type="string" '
    'description="&lt;script&gt;alert(3)&lt;/script&gt;" default="&lt;i&gt;">'
    "<Value>&lt;iframe src=x&gt;</Value></Option>"
    "</CreationOptionList>"
)


@pytest.fixture
def hostile(monkeypatch):
    registry = {
        HOSTILE_NAME: {
            "DCAP_RASTER": "YES",
            "DMD_EXTENSION": HOSTILE_EXT,
            "DMD_CREATIONOPTIONLIST": HOSTILE_XML,
        },
        "GTiff": {"DCAP_RASTER": "YES"},
    }
    fake = fakes.install(monkeypatch, registry)
    monkeypatch.setattr(drv, "gdata", base.gdata)
    return fake


def assert_inert(html):
    lowered = html.lower()
    for tag in ("<script", "<img", "<iframe", "<b>bold", "<i>", "<a href"):
        assert tag not in lowered


def test_driver_view_escapes_metadata_and_option_values(hostile):
    d = drv.RasterDriver(HOSTILE_NAME)
    d.set_creation_options(**{"<b>BOLD": '<a href="javascript:x">'})
    html = d._repr_html_()
    assert_inert(html)
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
    assert "&quot;&gt;&lt;img src=x onerror=alert(2)&gt;" in html
    assert "&lt;script&gt;alert(3)&lt;/script&gt;" in html
    assert "&lt;iframe src=x&gt;" in html
    assert "&lt;a href=&quot;javascript:x&quot;&gt;" in html


def test_registry_view_escapes_driver_names_and_extensions(hostile):
    html = drv.DriveStatistics()._repr_html_()
    assert_inert(html)
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
    assert "&quot;&gt;&lt;img src=x onerror=alert(2)&gt;" in html
