"""Sampled points for the ``variogram`` command: from a CSV file or a GDAL vector file.

A sample whose coordinate or value is missing (an empty CSV cell, "NA", "NaN", a null field, a
feature without geometry) is read as NaN, for the variogram to leave out and count; any other
text in a numeric column is an error.
"""

import csv
import io
import math
import os
from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from . import CliError

CSV_SUFFIXES = (".csv", ".tsv", ".txt")
# CSV cells that mean "no value" (compared in lower case, without surrounding blanks).
MISSING_TEXTS = frozenset({"", "na", "n/a", "nan", "null", "none"})
# The longest CSV field read (Python's default of 128 KiB refuses longer ones outright).
CSV_FIELD_LIMIT = 1 << 30
# Read when a CSV file is not UTF-8 (and no --encoding says otherwise): every byte decodes.
FALLBACK_ENCODING = "latin-1"


class Table(NamedTuple):
    """Coordinates (n, 2) and values (n,), NaN where missing; the layer's CRS (WKT) or None;
    notes for the user (such as an encoding fallback)."""

    points: NDArray[np.float64]
    values: NDArray[np.float64]
    crs: Any
    notes: list[str]


def _shown(item: object) -> str:
    text = repr(item)
    return text if len(text) <= 40 else text[:37] + "..."


def _number(item: object, column: str, where: str) -> float:
    if item is None:
        return math.nan
    if isinstance(item, str) and item.strip().lower() in MISSING_TEXTS:
        return math.nan
    try:
        number = float(item)  # type: ignore[arg-type]  # anything float() refuses is reported
    except (TypeError, ValueError):
        raise CliError(f"column {column!r} is not numeric: {_shown(item)} at {where}") from None
    if math.isinf(number):
        raise CliError(f"column {column!r} holds {_shown(item)} at {where}, not a finite number")
    return number


def _as_table(rows: list[tuple[float, float, float]], crs: Any, notes: list[str]) -> Table:
    table = np.array(rows, dtype=np.float64).reshape(-1, 3)
    return Table(np.ascontiguousarray(table[:, :2]), np.ascontiguousarray(table[:, 2]), crs, notes)


def _column(name: str, columns: Iterable[str], path: str) -> str:
    columns = list(columns)
    if name in columns:
        return name
    folded = [c for c in columns if c.casefold() == name.casefold()]
    if len(folded) == 1:
        return folded[0]
    raise CliError(f"{path}: no column {name!r}; the columns are {', '.join(columns)}")


def decode_text(raw: bytes, path: str, encoding: str | None) -> tuple[str, list[str]]:
    """The text of a CSV file and notes on how it was decoded: ``encoding`` when given;
    else UTF-8 (with or without a byte-order mark), UTF-16 when a byte-order mark or the
    zero bytes of ASCII text in UTF-16 say so, and otherwise Latin-1, with a note."""
    if encoding is not None:
        try:
            return raw.decode(encoding), []
        except LookupError:
            raise CliError(f"unknown encoding {encoding!r}") from None
        except UnicodeDecodeError as exc:
            reason = f"{exc.reason} at byte {exc.start}"
            raise CliError(f"{path}: not {encoding} text ({reason})") from None
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        return _decoded(raw, "utf-16", path), []
    head = raw[:4096]
    if head.count(0) > len(head) // 4:
        # ASCII text in UTF-16 without a byte-order mark: every other byte is zero.
        even_zeros = head[0::2].count(0)
        guess = "utf-16-be" if even_zeros > head[1::2].count(0) else "utf-16-le"
        return _decoded(raw, guess, path), [f"{path}: read as {guess.upper()} (no byte-order mark)"]
    try:
        return raw.decode("utf-8-sig"), []
    except UnicodeDecodeError:
        return raw.decode(FALLBACK_ENCODING), [
            f"{path}: not UTF-8; read as Latin-1 (give --encoding to choose another)"
        ]


def _decoded(raw: bytes, encoding: str, path: str) -> str:
    try:
        return raw.decode(encoding)
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not {encoding} text ({exc.reason} at byte {exc.start})") from None


def read_csv(path: str, x: str, y: str, value: str, encoding: str | None = None) -> Table:
    """Rows of a delimited text file with a header line; the delimiter is detected."""
    try:
        with open(path, "rb") as stream:
            raw = stream.read()
    except OSError as exc:
        raise CliError(f"{path}: cannot read ({exc.strerror or exc})") from None
    text, notes = decode_text(raw, path, encoding)
    csv.field_size_limit(CSV_FIELD_LIMIT)
    head = text[:65536]
    try:
        dialect: type[csv.Dialect] | csv.Dialect = csv.Sniffer().sniff(head, ",;\t|")
    except csv.Error:
        dialect = csv.excel
    reader = csv.DictReader(io.StringIO(text, newline=""), dialect=dialect)
    try:
        if not reader.fieldnames:
            raise CliError(f"{path}: no header line")
        names = [_column(c, reader.fieldnames, path) for c in (x, y, value)]
        rows = [
            tuple(_number(row[c], c, f"line {reader.line_num}") for c in names) for row in reader
        ]
    except csv.Error as exc:
        raise CliError(f"{path}: line {reader.line_num}: {exc}") from None
    return _as_table(rows, None, notes)  # type: ignore[arg-type]


def read_vector(path: str, x: str | None, y: str | None, value: str, layer: str | None) -> Table:
    """Features of a vector file (or folder): coordinates from point geometries, or from two
    fields. The layer's CRS comes along when the coordinates are its geometries'.

    GDAL messages that reach no handler of the opener (a broken file in a folder of
    shapefiles, say) are not printed: they join the error message, or the notes of a table
    read in spite of them.
    """
    from osgeo import gdal

    complaints: list[str] = []
    gdal.PushErrorHandler(lambda level, number, text: complaints.append(f"GDAL: {text}"))
    try:
        table = _read_layer(path, x, y, value, layer)
    except CliError as exc:
        if not complaints:
            raise
        raise CliError(f"{exc} ({'; '.join(complaints)})") from None
    finally:
        gdal.PopErrorHandler()
    return table._replace(notes=complaints)


def _read_layer(path: str, x: str | None, y: str | None, value: str, layer: str | None) -> Table:
    from .. import open as open_dataset
    from ..error import GDALError

    try:
        database = open_dataset(path, kind="vector")
    except GDALError as exc:
        kind = "a folder, not vector data" if os.path.isdir(path) else "not a vector file"
        raise CliError(f"{path}: {kind} GDAL can open ({exc})") from None
    with database:
        try:
            source = database.layer(0 if layer is None else layer)
        except (KeyError, IndexError):
            raise CliError(
                f"{path}: no layer {layer!r}" if layer else f"{path}: no layer"
            ) from None
        fields = list(source.schema)
        value_field = _column(value, fields, path)
        xy_fields = [] if x is None else [_column(x, fields, path), _column(y or "", fields, path)]
        arrays = source.read([value_field, *xy_fields])
        crs = None if xy_fields else source.crs
    if xy_fields:
        coordinates = [_numbers(arrays[name], name, arrays.fid) for name in xy_fields]
    elif arrays.x is None or arrays.y is None:
        raise CliError(f"{path}: the layer has no point geometries; give --x and --y")
    else:
        # A feature without a point has NaN coordinates: left out and counted.
        coordinates = [arrays.x.tolist(), arrays.y.tolist()]
    values = _numbers(arrays[value_field], value, arrays.fid)
    return _as_table(list(zip(*coordinates, values, strict=True)), crs, [])


def _numbers(column: np.ma.MaskedArray, name: str, fids: NDArray[np.int64]) -> list[float]:
    """A field's values as floats, each checked as _number checks a CSV cell (NULL: NaN)."""
    items = column.tolist()  # masked (NULL) items become None
    return [_number(item, name, f"feature {fid}") for item, fid in zip(items, fids, strict=True)]


def read_points(
    path: str,
    x: str | None,
    y: str | None,
    value: str,
    layer: str | None,
    encoding: str | None = None,
) -> Table:
    """The sampled points in ``path``: a CSV file by its suffix, else a vector file (a
    folder too: GDAL reads folders of shapefiles)."""
    if not path.startswith("/vsi") and not os.path.exists(path):
        raise CliError(f"{path}: no such file")
    if (x is None) != (y is None):
        raise CliError("give both --x and --y, or neither (point geometries)")
    if path.lower().endswith(CSV_SUFFIXES) and not os.path.isdir(path):
        if x is None or y is None:
            raise CliError(f"{path}: a CSV file needs --x and --y")
        return read_csv(path, x, y, value, encoding)
    return read_vector(path, x, y, value, layer)
