"""HTML builders of base.gdata."""

import re

import pytest

from orv._algos.geo import base

gdata = base.gdata
HOSTILE = "<script>alert(1)</script>"
ESCAPED = "&lt;script&gt;alert(1)&lt;/script&gt;"


class MarkupRepr:
    def __repr__(self):
        return "<img src=x onerror=alert(2)>"


def rows(html):
    cells = r"<t[hd][^>]*>(.*?)</t[hd]>"
    return [re.findall(cells, row) for row in re.findall(r"<tr>(.*?)</tr>", html, flags=re.S)]


def assert_no_raw_markup(html):
    assert "<script" not in html.lower() and "<img" not in html.lower()
    assert "onerror=" not in html.replace("onerror=alert(2)&gt;", "")


def details_html(options, base_info=None):
    builder = gdata.ORVHTMLDetails()
    builder.set_base_info(base_info or {"Name": "GTiff", "Creatable": True})
    builder.add_details(options)
    return builder.to_html()


def test_details_escape_every_text():
    record = dict.fromkeys(["type", "description", "default", HOSTILE], HOSTILE)
    record.update(value=[HOSTILE, None], current=MarkupRepr())
    # "Open Options" holds a record that is not a mapping.
    options = {HOSTILE: {HOSTILE: record}, "Open Options": {"X": HOSTILE}}
    html = details_html(options, base_info={HOSTILE: HOSTILE, "Obj": MarkupRepr()})
    assert_no_raw_markup(html)
    assert html.count(ESCAPED) >= 10
    assert "&lt;img src=x onerror=alert(2)&gt;" in html


def test_details_show_records_per_section():
    compress = {"type": "string-select", "default": "NONE", "value": ["NONE", "LZW"]}
    compress.update(current="LZW", scope="raster")
    # Chosen values keep their type visible.
    creation = {"COMPRESS": compress, "TILED": {"type": "boolean"}, "N": {"current": 3}}
    creation["Z"] = {"current": None}
    html = details_html({"Creation Options": creation, "Open Options": {}})
    titles = re.findall(r"<summary[^>]*>(.*?)</summary>", html)
    assert titles == ["Creation Options (4)", "Open Options (0)"]
    table_rows = rows(html)
    assert ["Name", "GTiff"] in table_rows
    compress = next(r for r in table_rows if r[0] == "COMPRESS")
    assert compress == ["COMPRESS", "string-select", "NONE", "NONE, LZW", "LZW", "", "scope=raster"]
    tiled = next(r for r in table_rows if r[0] == "TILED")
    assert tiled[1] == "boolean" and tiled[4] == ""  # nothing chosen
    open_section = html.split("Open Options (0)</summary>", 1)[1]
    assert ">none<" in open_section.split("</details>", 1)[0]
    assert {r[0]: r[4] for r in table_rows if r[0] in ("N", "Z")} == {"N": "3", "Z": "None"}


def build_table(n_fields, body, head, **kwargs):
    table = gdata.ORVHTMLTable(n_fields, 1, **kwargs)
    table.set_base_info({"Rasters": 2, "Vectors": 1, "Total": 3})
    for row in body:
        table.add_row(row)
    table.add_head(head)
    return table.to_html()


HEAD = ["", "name", "category", "extension", "creatable", "updatable", "virtualio"]
BODY = [
    [0, "VRT", "Raster", "vrt", True, True, True],
    ["...", "...", "...", "...", "...", "...", "..."],
    [9, "CSV", "Vector", "csv", True, True, True],
]


@pytest.mark.parametrize("n_fields", [6, 0, None])  # 0 and None: no field limit
def test_table_header_renders_first_though_added_last(n_fields):
    html = build_table(n_fields, BODY, HEAD)
    assert html.index("<thead>") < html.index("<tbody>")
    assert rows(html)[0] == HEAD
    assert rows(html)[1] == ["0", "VRT", "Raster", "vrt"] + ["True"] * 3
    assert [r[1] for r in rows(html)[1:]] == ["VRT", "...", "CSV"]
    summary = html[: html.index("<table")]
    assert [re.sub("<[^>]+>", "", part) for part in summary.split(" &middot; ")][-1] == "Total: 3"


def test_table_cuts_field_columns_to_the_shown_count():
    ellipsis_row = ["..."] * 5  # what a caller sends for 1 info + 4 field columns
    html = build_table(4, [BODY[0], ellipsis_row, BODY[2]], HEAD)
    assert rows(html) == [
        ["", "name", "category", "...", "updatable", "virtualio"],
        ["0", "VRT", "Raster", "...", "True", "True"],
        ["..."] * 6,
        ["9", "CSV", "Vector", "...", "True", "True"],
    ]


def test_table_escapes_and_cuts_long_cells():
    html = build_table(6, [[HOSTILE, MarkupRepr(), "x" * 50]], [HOSTILE], max_cell_chars=20)
    assert_no_raw_markup(html)
    assert rows(html)[1][2] == "x" * 17 + "..."


def test_table_cells_keep_their_own_text_when_values_repeat():
    # Equal values of other types print differently; a repeated value keeps its column's tag.
    body = [[1, 1, True, "1", 1.0, 10**5000], [True, 1, True, "1", 1.0, None]]
    html = build_table(0, body, HEAD[:6])
    assert rows(html)[1:] == [
        ["1", "1", "True", "1", "1.0", "&lt;int object&gt;"],
        ["True", "1", "True", "1", "1.0", "None"],
    ]
    assert html.count("<th style") == 6 + 2  # the header and one row label per row


def test_table_can_be_collapsed():
    html = build_table(6, BODY, HEAD, collapsed=True)
    assert html.count("<details>") == 1
    assert "Rasters" in re.search(r"<summary[^>]*>(.*?)</summary>", html).group(1)


def test_output_is_self_contained():
    html = details_html({"Creation Options": {"A": {"type": "int"}}}) + build_table(6, BODY, HEAD)
    assert "<script" not in html and "<style" not in html and "class=" not in html
    assert "color: inherit" in html
