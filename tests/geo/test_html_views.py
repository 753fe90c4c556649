"""The notebook views: what the driver and registry views hand to the HTML builders."""

import types

import fakes
import pytest

from orv._algos.geo import base
from orv._algos.geo import driver as drv

REAL_GET_SEL = base.get_sel
SUMMARY_KEYS = ["Name", "Category", "Creatable", "Extension"]
FIELDS = ["name", "category", "extension", "creatable", "updatable", "virtualio"]

REGISTRY = {
    "GTiff": {"DCAP_RASTER": "YES", "DCAP_CREATE": "YES", "DMD_EXTENSION": "tif"},
    "ESRI Shapefile": {"DCAP_VECTOR": "YES", "DCAP_UPDATE": "YES", "DMD_EXTENSIONS": "shp dbf"},
    "GPKG": {"DCAP_RASTER": "YES", "DCAP_VECTOR": "YES", "DCAP_VIRTUALIO": "YES"},
    "MEM": {"DCAP_RASTER": "YES"},
    "CSV": {"DCAP_VECTOR": "YES", "DMD_EXTENSION": "csv", "DCAP_CREATE": "yes"},
}
# What a registry row holds for each driver above, after the position.
ROWS = [
    ["GTiff", "Raster", "tif", True, False, False],
    ["ESRI Shapefile", "Vector", "shp", False, True, False],
    ["GPKG", "Raster/Vector", "", False, False, True],
    ["MEM", "Raster", "", False, False, False],
    ["CSV", "Vector", "csv", True, False, False],
]

CREATION_XML = (
    '<CreationOptionList><Option name="COMPRESS" type="string-select" description="Compression">'
    '<Value>NONE</Value><Value>LZW</Value></Option><Option name="TILED" type="boolean"/>'
    "</CreationOptionList>"
)


BUILDER_METHODS = ("set_base_info", "add_details", "add_row", "add_head", "to_html")


@pytest.fixture
def fake(monkeypatch):
    return fakes.install(monkeypatch, {name: dict(meta) for name, meta in REGISTRY.items()})


@pytest.fixture
def builders(fake, monkeypatch):
    """Recording builders as the module's gdata; `html` is what to_html returns."""
    html = object()
    kinds = ("ORVHTMLDetails", "ORVHTMLTable")
    methods = {method: lambda *args, **kwargs: None for method in BUILDER_METHODS}
    methods["to_html"] = lambda: html
    gdata = types.SimpleNamespace(
        **{kind: fakes.Recorder(kind, fake.events, None, dict(methods)) for kind in kinds}
    )
    monkeypatch.setattr(drv, "gdata", gdata)
    return types.SimpleNamespace(html=html, events=fake.events)


def builder_calls(events):
    """The builder events as (name, args, kwargs)."""
    names = ("ORVHTMLDetails", "ORVHTMLTable", *BUILDER_METHODS)
    return [(e[0], e[1], e[2] if len(e) == 3 else {}) for e in events if e[0] in names]


def record_get_sel(monkeypatch, results=None):
    """Replace base.get_sel by a recorder answering from `results` or with the real one."""
    calls = []
    answers = iter(results or [])

    def get_sel(count, maximum):
        calls.append((count, maximum))
        return next(answers) if results else REAL_GET_SEL(count, maximum)

    monkeypatch.setattr(base, "get_sel", get_sel)
    return calls


@pytest.mark.parametrize(
    ("cls", "name", "summary", "creation"),
    [
        (drv.Driver, "GTiff", ["GTiff", "Raster", True, "tif"], ["COMPRESS", "TILED"]),
        (drv.RasterDriver, "GTiff", ["GTiff", "Raster", True, "tif"], ["COMPRESS", "TILED"]),
        (drv.Driver, "ESRI Shapefile", ["ESRI Shapefile", "Vector", False, "shp"], []),
        (drv.Driver, "MEM", ["MEM", "Raster", False, ""], []),  # no option lists at all
    ],
)
def test_driver_view_passes_summary_then_live_option_maps(
    fake, builders, cls, name, summary, creation
):
    fake.gdal.drivers["GTiff"]["DMD_CREATIONOPTIONLIST"] = CREATION_XML
    d = cls(name)
    del fake.events[:]
    assert d._repr_html_() is builders.html
    calls = builder_calls(fake.events)
    expected = [("ORVHTMLDetails", 0), ("set_base_info", 1), ("add_details", 1), ("to_html", 0)]
    assert [(name, len(args), kw) for name, args, kw in calls] == [(*e, {}) for e in expected]
    base_info, details = calls[1][1][0], calls[2][1][0]
    assert type(base_info) is dict and type(details) is dict
    assert list(base_info.items()) == list(zip(SUMMARY_KEYS, summary, strict=True))
    assert list(details) == ["Creation Options", "Open Options"]
    # The live cache, filled by the view (an empty list is parsed again on each read).
    assert details["Creation Options"] is d._creation_opts
    assert (details["Creation Options"] is d.creation_options_info) == bool(creation)
    assert list(details["Creation Options"]) == creation
    assert details["Open Options"] == {} == d.open_options_info


def test_driver_view_reads_properties_in_order(fake, builders):
    d = drv.Driver("ESRI Shapefile")
    del fake.events[:]
    d._repr_html_()
    reads = [
        args[-1] if name.startswith("Major") else name
        for name, args, *_ in fake.events
        if name in ("MajorObject_GetMetadataItem", "Driver_ShortName_get", "set_base_info")
    ]
    # name, category, creatable, extension (falling back to the list), then the option lists.
    assert reads[:7] == [
        *("Driver_ShortName_get", "DCAP_RASTER", "DCAP_VECTOR", "DCAP_CREATE"),
        *("DMD_EXTENSION", "DMD_EXTENSIONS", "set_base_info"),
    ]
    option_reads = [key for key in reads[7:] if key.endswith("OPTIONLIST")]
    assert len(option_reads) == 2
    assert "CREATIONOPTIONLIST" in option_reads[0] and option_reads[1] == "DMD_OPENOPTIONLIST"


def test_builder_and_selection_errors_propagate(fake, builders, monkeypatch):
    def refuse(*args):
        raise OverflowError("refused")

    stats = drv.DriveStatistics()
    monkeypatch.setattr(drv.gdata, "ORVHTMLDetails", refuse)
    with pytest.raises(OverflowError, match="refused"):
        drv.Driver("GTiff")._repr_html_()
    monkeypatch.setitem(drv.gdata.ORVHTMLTable.methods, "add_row", refuse)
    with pytest.raises(OverflowError, match="refused"):
        stats._repr_html_()
    monkeypatch.setattr(base, "get_sel", refuse)
    with pytest.raises(OverflowError, match="refused"):
        stats._repr_html_()


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
    return [i, *ROWS[i]]


SUMMARY = {"Rasters": 3, "Vectors": 3, "Total": 5}


def test_registry_view_with_everything_shown(fake, builders, monkeypatch):
    calls, sel_calls = registry_calls(monkeypatch, builders)
    assert sel_calls == [(5, 20), (6, 10)]
    names = [name for name, _, _ in calls]
    assert names == ["ORVHTMLTable", "set_base_info"] + ["add_row"] * 5 + ["add_head", "to_html"]
    assert calls[0][1:] == ((6, 1, 0, False), {})
    assert [type(a) for a in calls[0][1]] == [int, int, int, bool]
    summary = calls[1][1][0]
    assert type(summary) is dict and list(summary.items()) == list(SUMMARY.items())
    assert rows_added(calls) == [row(i) for i in range(5)]
    assert all(type(r) is list and type(r[0]) is int for r in rows_added(calls))
    assert calls[-2][1:] == ((["", *FIELDS],), {}) and calls[-1][1] == ()


ELLIPSIS = "..."


@pytest.mark.parametrize(
    ("row_sel", "shown"),
    # (0, 0) as a tuple marks "no tail"; a list does not; an empty tail still shows the cut;
    # every item of a range goes to range().
    [(((0, 2), (3, 5)), [0, 1, ELLIPSIS, 3, 4]), (((1, 3), (0, 0)), [1, 2])]
    + [(((0, 2), [0, 0]), [0, 1, ELLIPSIS]), (((0, 1), (5, 5)), [0, ELLIPSIS])]
    + [(((0, 5, 2), (0, 0)), [0, 2, 4]), (([4], (0, 0)), [0, 1, 2, 3])]
    + [(((0, 0), (3, 0, -1)), [ELLIPSIS, 3, 2, 1])],
)
def test_registry_rows_follow_the_row_selection(fake, builders, monkeypatch, row_sel, shown):
    calls, sel_calls = registry_calls(monkeypatch, builders, sel_results=[(row_sel, 9), (0, 6)])
    assert sel_calls == [(5, 20), (6, 10)]
    assert rows_added(calls) == [[ELLIPSIS] * 7 if i == ELLIPSIS else row(i) for i in shown]


@pytest.mark.parametrize("l_fields", [3, 6, 10])
def test_column_selection_sets_table_width_and_ellipsis_row(fake, builders, monkeypatch, l_fields):
    sel_results = [(((0, 2), (3, 5)), 4), ("column ranges", l_fields)]
    calls, sel_calls = registry_calls(monkeypatch, builders, (4, 3), sel_results)
    assert sel_calls == [(5, 4), (6, 3)]
    rows = rows_added(calls)
    assert calls[0][1] == (l_fields, 1, 0, False) and rows[2] == [ELLIPSIS] * (1 + l_fields)
    # Data rows always carry the position and all six fields; the builder thins them.
    assert [r for r in rows if r[0] != ELLIPSIS] == [row(0), row(1), row(3), row(4)]


def test_registry_view_with_the_real_builder_and_selection(fake, monkeypatch):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=(2, 4)))
    html = drv.DriveStatistics()._repr_html_()
    texts = [cells.split("</tr>")[0] for cells in html.split("<tr>")[1:]]
    # header, row 0, the ellipsis row, row 4; four of six columns with a "..." between.
    assert len(texts) == 4 and ">GTiff<" in texts[1] and ">CSV<" in texts[3]
    # 1 + 4 cells, padded by the builder to the data rows' 1 + 2 + 1 + 2.
    assert texts[2].count(">...<") == 6
    assert "Rasters</b>: 3" in html and "Total</b>: 5" in html


ONE, NONE = "need more than 1 value to unpack", "need more than 0 values to unpack"
MANY = "too many values to unpack (expected 2)"
FULL = ((0, 5), (0, 0))


@pytest.mark.parametrize(
    ("shape", "sel_results", "exc", "message"),
    [((20,), None, ValueError, ONE), ((), None, ValueError, NONE), ("abc", None, ValueError, MANY)]
    + [(iter([20]), None, ValueError, ONE), (20, None, TypeError, "'int' object is not iterable")]
    # Then each selection must unpack into two.
    + [((20, 10), [(FULL,)], ValueError, ONE), ((20, 10), [(FULL, 5, 5)], ValueError, MANY)]
    + [((20, 10), [(FULL, 5), [(0, 6)]], ValueError, ONE)]
    + [((20, 10), [(FULL, 5), [(0, 6), 6, 6]], ValueError, MANY)],
)
@pytest.mark.usefixtures("builders")
def test_shape_and_selections_unpack_into_two(fake, monkeypatch, shape, sel_results, exc, message):
    monkeypatch.setattr(drv, "env", types.SimpleNamespace(JupyterShowMaxShape=shape))
    record_get_sel(monkeypatch, sel_results)
    with pytest.raises(exc) as caught:
        drv.DriveStatistics()._repr_html_()
    assert caught.value.args == (message,)
    if sel_results is None:
        assert builder_calls(fake.events) == []


def test_max_shape_may_be_any_two_item_iterable(fake, builders, monkeypatch):
    calls, sel_calls = registry_calls(monkeypatch, builders, shape=iter([2, None]))
    assert sel_calls == [(5, 2), (6, None)]
    assert rows_added(calls)[1] == [ELLIPSIS] * 7


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


HOSTILE_XML = (
    '<CreationOptionList><Option name="&lt;b&gt;BOLD" type="string" default="&lt;i&gt;" '
    'description="&lt;script&gt;alert(3)&lt;/script&gt;"><Value>&lt;iframe src=x&gt;</Value>'
    "</Option></CreationOptionList>"
)


def test_real_builders_escape_hostile_metadata_and_option_values(monkeypatch):
    name = "<script>alert(1)</script>"
    hostile = {
        "DMD_EXTENSION": '"><img src=x onerror=alert(2)>',
        "DMD_CREATIONOPTIONLIST": HOSTILE_XML,
    }
    fakes.install(monkeypatch, {name: {"DCAP_RASTER": "YES", **hostile}, "GTiff": {}})
    d = drv.RasterDriver(name)
    d.set_creation_options(**{"<b>BOLD": '<a href="javascript:x">'})
    driver_html, registry_html = d._repr_html_(), drv.DriveStatistics()._repr_html_()
    for html in (driver_html, registry_html):
        tags = ("<script", "<img", "<iframe", "<b>bold", "<i>", "<a href")
        assert not [tag for tag in tags if tag in html.lower()]
        assert "&lt;script&gt;alert(1)&lt;/script&gt;" in html
        assert "&quot;&gt;&lt;img src=x onerror=alert(2)&gt;" in html
    for text in (
        "alert(3)&lt;/script&gt;",
        "&lt;iframe src=x&gt;",
        "&lt;a href=&quot;javascript:x",
    ):
        assert text in driver_html
