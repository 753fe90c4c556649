"""Options checked against the list a driver publishes, before they reach GDAL.

GDAL itself only warns about an option its driver does not know, and the dataset is made
without it; here such a name, or a value outside the admissible values the list gives, is
refused. Names and values compare without regard to letter case, as GDAL compares them;
names beginning with "@" are GDAL's unlisted internal options and pass unchecked.
"""

from typing import Any

from osgeo import gdal

from ...error import FormatError
from . import _xmltree
from ._gdalargs import option_list

CREATION = "DMD_CREATIONOPTIONLIST"
LAYER_CREATION = "DS_LAYER_CREATIONOPTIONLIST"
OPEN = "DMD_OPENOPTIONLIST"
_KIND = {CREATION: "creation", LAYER_CREATION: "layer creation", OPEN: "open"}


def admissible(driver: gdal.Driver, item: str) -> dict[str, list[str] | None]:
    """{upper-cased option name: upper-cased admissible values and aliases, or None}."""
    text = driver.GetMetadataItem(item) or ""
    if not text.strip():
        return {}
    listed: dict[str, list[str] | None] = {}
    for option in _xmltree.fromstring(text):
        name = option.attrib.get("name")
        if not name:
            continue
        values = []
        for value in option:
            values += [value.text or "", value.attrib.get("alias"), value.attrib.get("aliasOf")]
        listed[name.upper()] = [v.upper() for v in values if v is not None] or None
    return listed


def checked_options(driver: gdal.Driver, item: str, options: Any, what: str) -> list[str]:
    """``options`` as GDAL's "NAME=VALUE" list, every name and listed value checked.

    FormatError names the offending options (or values) and the admissible ones.
    """
    strings = option_list(options, what)
    if not strings:
        return strings
    listed = admissible(driver, item)
    kind = _KIND[item]
    unknown, wrong = [], []
    for entry in strings:
        name, _, value = entry.partition("=")
        if name.startswith("@"):
            continue
        if name.upper() not in listed:
            unknown.append(name)
        elif (values := listed[name.upper()]) is not None and value.upper() not in values:
            wrong.append((name, value, values))
    if unknown:
        raise FormatError(
            f"{driver.ShortName} has no {kind} option(s) {', '.join(map(repr, unknown))}",
            errors=unknown,
            all_sels=sorted(listed),
        )
    if wrong:
        name, value, values = wrong[0]
        raise FormatError(
            f"{value!r} is not a value of the {driver.ShortName} {kind} option {name}",
            errors=value,
            all_sels=values,
        )
    return strings
