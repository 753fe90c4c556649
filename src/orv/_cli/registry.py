"""What the ``drivers`` and ``driver`` commands show, built on the driver facade."""

from typing import Any

from .._algos.geo.driver import (
    Driver,
    DriveStatistics,
    RasterDriver,
    VectorDriver,
    read_xml_to_dict,
)
from ..error import FormatError
from . import CliError
from .text import format_table, yes_no

REGISTRY_KEYS = ("name", "category", "extension", "creatable", "virtualio", "long_name")


def registry_rows(*, raster: bool, vector: bool, creatable: bool) -> list[dict[str, Any]]:
    """One dict per registered driver (keys REGISTRY_KEYS) that passes every filter given."""
    stats = DriveStatistics()
    drivers: list[Driver] = list(stats)
    if raster:
        drivers = [d for d in drivers if d.is_raster]
    if vector:
        drivers = [d for d in drivers if d.is_vector]
    if creatable:
        drivers = [d for d in drivers if d.creatable]
    return [{key: getattr(d, key) for key in REGISTRY_KEYS} for d in drivers]


def format_registry(rows: list[dict[str, Any]]) -> str:
    headers = ("name", "category", "extension", "creatable", "virtual I/O", "long name")
    body = [
        [
            r["name"],
            r["category"],
            r["extension"],
            yes_no(r["creatable"]),
            yes_no(r["virtualio"]),
            r["long_name"],
        ]
        for r in rows
    ]
    return f"{format_table(headers, body)}\n{len(rows)} drivers"


def find_driver(name: str) -> Driver:
    """The registered driver of that short name, in any letter case."""
    try:
        return DriveStatistics()[name]
    except FormatError:
        raise CliError(
            f"unknown driver {name!r} (`orv drivers` lists the drivers of this machine)"
        ) from None


def _options(info: dict[str, dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """Option records as JSON objects: the XML attributes, "values" and a chosen "current"."""
    options = {}
    for name, record in info.items():
        entry = {key: value for key, value in record.items() if key != "value"}
        if "value" in record:
            entry["values"] = list(record["value"])
        options[name] = entry
    return options


def driver_details(name: str) -> dict[str, Any]:
    """Everything ``orv driver NAME`` shows, as a JSON-ready dict."""
    driver = find_driver(name)
    short = driver.name
    details: dict[str, Any] = {
        "name": short,
        "long_name": driver.long_name,
        "category": driver.category,
        "extension": driver.extension,
        "extensions": driver.extensions,
        "creatable": driver.creatable,
        "updatable": driver.updatable,
        "virtualio": driver.virtualio,
        "raster": None,
        "vector": None,
    }
    if driver.is_raster:
        rd = RasterDriver(short)
        details["raster"] = {
            "copyable": rd.copyable,
            "sub_datasets": rd.sub_datasets,
            "coordinate_epoch": rd.coordinate_epoch,
            "transformable": rd.transformable,
            "data_types": rd.creation_dtypes,
            "compress_modes": rd.compress_modes,
        }
        creation = rd.creation_options_info
    else:
        # A vector driver's dataset creation options; the facade's creation map of a vector
        # driver is its layer creation list.
        creation = read_xml_to_dict(driver._get_metadata_item_("DMD_CREATIONOPTIONLIST"))
    details["creation_options"] = _options(creation)
    layer_creation: dict[str, dict[str, Any]] = {}
    if driver.is_vector:
        vd = VectorDriver(short)
        details["vector"] = {
            "multi_layers": vd.multi_layers,
            "dimension": vd.dimension,
            "sql_dialects": vd.sql_dialects,
            "transformable": vd.transformable,
            "field_types": vd.creation_ftypes,
        }
        layer_creation = vd.creation_options_info
    details["layer_creation_options"] = _options(layer_creation)
    details["open_options"] = _options(driver.open_options_info)
    return details


def _format_options(title: str, options: dict[str, dict[str, Any]]) -> list[str]:
    if not options:
        return [f"{title}: none"]
    rows = []
    for name, option in options.items():
        values = " | ".join(str(v) for v in option.get("values", []))
        default = option.get("default", "")
        if "current" in option:
            default = f"{default} (preset {option['current']})".strip()
        rows.append([name, option.get("type", ""), default, values])
    table = format_table(("option", "type", "default", "admissible values"), rows)
    return [f"{title} ({len(options)}):", *("  " + line for line in table.splitlines())]


def format_driver(details: dict[str, Any]) -> str:
    flags = [key for key in ("creatable", "updatable", "virtualio") if details[key]]
    lines = [
        f"{details['name']} - {details['long_name']}",
        f"category:     {details['category']}",
        f"extensions:   {' '.join(details['extensions']) or '-'}",
    ]
    raster, vector = details["raster"], details["vector"]
    if raster:
        flags += [k for k in ("copyable", "sub_datasets", "coordinate_epoch") if raster[k]]
        lines.append(f"data types:   {' '.join(raster['data_types']) or '-'}")
        lines.append(f"compression:  {' '.join(str(m) for m in raster['compress_modes']) or '-'}")
    if vector:
        flags += ["multi_layers"] if vector["multi_layers"] else []
        lines.append(f"field types:  {' '.join(vector['field_types']) or '-'}")
        lines.append(f"dimension:    {vector['dimension']}")
        lines.append(f"SQL dialects: {' '.join(vector['sql_dialects']) or '-'}")
    lines.insert(3, f"capabilities: {', '.join(flags) or '-'}")
    lines += _format_options("creation options", details["creation_options"])
    if vector:
        lines += _format_options("layer creation options", details["layer_creation_options"])
    lines += _format_options("open options", details["open_options"])
    return "\n".join(lines)
