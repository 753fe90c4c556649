"""The tolerant element-tree parser behind base.xet."""

import xml.etree.ElementTree as ET

import pytest

from orv._algos.geo import base

xet = base.xet
_gdal = base._gdal

OPTION_LIST_ITEMS = ("DMD_CREATIONOPTIONLIST", "DS_LAYER_CREATIONOPTIONLIST", "DMD_OPENOPTIONLIST")


def shape(element):
    """Everything a strict parse yields, for comparing trees."""
    children = [shape(child) for child in element]
    return element.tag, list(element.attrib.items()), element.text, element.tail, children


def registry_option_lists():
    lists = []
    for index in range(_gdal.GetDriverCount()):
        handle = _gdal.GetDriver(index)
        for item in OPTION_LIST_ITEMS:
            text = _gdal.MajorObject_GetMetadataItem(handle, item)
            if text:
                lists.append((f"{_gdal.Driver_ShortName_get(handle)}:{item}", text))
    return lists


REGISTRY_LISTS = registry_option_lists()


def unescaped(element, quote):
    """Write ``element`` back without any escaping: the slips GDAL has made in its lists."""
    attrs = "".join(f" {key}={quote}{value}{quote}" for key, value in element.attrib.items())
    inner = (element.text or "") + "".join(unescaped(child, quote) for child in element)
    return f"<{element.tag}{attrs}>{inner}</{element.tag}>{element.tail or ''}"


def test_every_registry_option_list_parses_like_the_strict_parser():
    assert len(REGISTRY_LISTS) > 50
    for label, text in REGISTRY_LISTS:
        root = xet.fromstring(text)
        assert shape(root) == shape(ET.fromstring(text)), label
        assert all(isinstance(o.attrib, dict) and "name" in o.attrib for o in root), label


@pytest.mark.parametrize("quote", ["'", '"'])
def test_registry_option_lists_written_without_escaping_are_repaired(quote):
    repaired = 0
    for label, text in REGISTRY_LISTS:
        reference = ET.fromstring(text)
        broken = unescaped(reference, quote)
        try:
            ET.fromstring(broken)
            continue  # nothing in this list needed escaping
        except ET.ParseError:
            repaired += 1
        assert shape(xet.fromstring(broken)) == shape(reference), label
    assert repaired > 0  # the registry does hold values that need escaping


@pytest.mark.parametrize(
    ("broken", "fixed"),
    [
        (
            "<R><Option name='A' description='Tom & Jerry'/></R>",
            "<R><Option name='A' description='Tom &amp; Jerry'/></R>",
        ),
        (
            "<R><Option name='A' description='a<b>c' type='int'/></R>",
            "<R><Option name='A' description='a&lt;b&gt;c' type='int'/></R>",
        ),
        (
            "<R><Option name='A' description='it's here' type='int'/></R>",
            "<R><Option name='A' description=\"it's here\" type='int'/></R>",
        ),
        (
            "<R><Option name='A'><Value>x & y < z</Value><Value>&nbsp;</Value></Option></R>",
            "<R><Option name='A'><Value>x &amp; y &lt; z</Value><Value>\xa0</Value></Option></R>",
        ),
        (
            "<R><Option name=A type=int/><Option name='B' name='C' hidden></R>",
            "<R><Option name='A' type='int'/><Option name='C' hidden='hidden'/></R>",
        ),
        (
            '<?xml version="1.0"?><!-- note --><R><O name="a">t</X></O></R>junk<more/>',
            '<R><O name="a">t&lt;/X&gt;</O></R>',
        ),
        ('<R><O name="a">\x01 &#1; &#65;</O>', '<R><O name="a">\ufffd &amp;#1; A</O></R>'),
        (
            "<R><O name='a'><![CDATA[<raw & text>]]></O><O name='b' x='1 & 2'/></R>",
            "<R><O name='a'>&lt;raw &amp; text&gt;</O><O name='b' x='1 &amp; 2'/></R>",
        ),
    ],
    ids="amp-attr lt-gt-attr quote-attr text-entity unquoted-bare stray-end illegal cdata".split(),
)
def test_hand_broken_documents_give_the_fixed_tree(broken, fixed):
    with pytest.raises(ET.ParseError):
        ET.fromstring(broken)
    assert shape(xet.fromstring(broken)) == shape(ET.fromstring(fixed))
    assert shape(xet.fromstring(broken.encode())) == shape(ET.fromstring(fixed))


def test_children_text_and_attrib_as_option_parsing_needs():
    root = xet.fromstring(
        "<OptionList><Option name='COMPRESS' type='string-select' default='NONE'>"
        "<Value>NONE</Value><Value/></Option><Option name='TILED' type='boolean'/></OptionList>"
    )
    first, second = list(root)
    assert list(first.attrib) == ["name", "type", "default"]
    assert [value.text for value in first] == ["NONE", None]
    assert first.attrib.pop("name") == "COMPRESS"  # attrib is a plain mutable dict
    assert list(second) == []


@pytest.mark.parametrize("text", ["", "just text", "<!-- only a comment -->"])
def test_documents_without_an_element_raise_parse_error(text):
    with pytest.raises(xet.ParseError):
        xet.fromstring(text)
