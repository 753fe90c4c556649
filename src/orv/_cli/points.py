"""Sampled points for the ``variogram`` command: from a CSV file or a GDAL vector file."""

import csv
import math
import os
from collections.abc import Iterable

import numpy as np
from numpy.typing import NDArray

from . import CliError

CSV_SUFFIXES = (".csv", ".tsv", ".txt")

type Samples = tuple[NDArray[np.float64], NDArray[np.float64]]


def _number(text: object, column: str, where: str) -> float:
    try:
        number = float(text)  # type: ignore[arg-type]  # anything float() refuses is reported
    except (TypeError, ValueError):
        raise CliError(f"column {column!r} is not numeric: {text!r} at {where}") from None
    if not math.isfinite(number):
        raise CliError(f"column {column!r} holds {text!r} at {where}, not a finite number")
    return number


def _as_samples(rows: list[tuple[float, float, float]], path: str) -> Samples:
    if len(rows) < 2:
        raise CliError(f"{path}: a semivariogram needs at least two points, found {len(rows)}")
    table = np.array(rows, dtype=np.float64)
    return np.ascontiguousarray(table[:, :2]), np.ascontiguousarray(table[:, 2])


def _column(name: str, columns: Iterable[str], path: str) -> str:
    columns = list(columns)
    if name in columns:
        return name
    folded = [c for c in columns if c.casefold() == name.casefold()]
    if len(folded) == 1:
        return folded[0]
    raise CliError(f"{path}: no column {name!r}; the columns are {', '.join(columns)}")


def read_csv(path: str, x: str, y: str, value: str) -> Samples:
    """Rows of a delimited text file with a header line; the delimiter is detected."""
    with open(path, newline="", encoding="utf-8-sig") as stream:
        head = stream.read(65536)
        stream.seek(0)
        try:
            dialect: type[csv.Dialect] | csv.Dialect = csv.Sniffer().sniff(head, ",;\t|")
        except csv.Error:
            dialect = csv.excel
        reader = csv.DictReader(stream, dialect=dialect)
        if not reader.fieldnames:
            raise CliError(f"{path}: no header line")
        names = [_column(c, reader.fieldnames, path) for c in (x, y, value)]
        rows = []
        for row in reader:
            where = f"line {reader.line_num}"
            rows.append(tuple(_number(row[c], c, where) for c in names))
    return _as_samples(rows, path)  # type: ignore[arg-type]


def read_vector(path: str, x: str | None, y: str | None, value: str, layer: str | None) -> Samples:
    """Features of a vector file: coordinates from point geometries, or from two fields."""
    from .. import open as open_dataset
    from ..error import GDALError

    try:
        database = open_dataset(path, kind="vector")
    except GDALError as exc:
        raise CliError(f"{path}: not a vector file GDAL can open ({exc})") from None
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
    if xy_fields:
        coordinates = [_numbers(arrays[name], name, arrays.fid) for name in xy_fields]
    elif arrays.x is None or arrays.y is None or np.isnan(arrays.x).any():
        missing = 0 if arrays.x is None else int(np.flatnonzero(np.isnan(arrays.x))[0])
        where = f"feature {arrays.fid[missing]}" if len(arrays) else "the layer"
        raise CliError(f"{path}: {where} has no point geometry; give --x and --y")
    else:
        coordinates = [arrays.x.tolist(), arrays.y.tolist()]
    values = _numbers(arrays[value_field], value, arrays.fid)
    return _as_samples(list(zip(*coordinates, values, strict=True)), path)


def _numbers(column: np.ma.MaskedArray, name: str, fids: NDArray[np.int64]) -> list[float]:
    """A field's values as floats, each checked as _number checks a CSV cell."""
    items = column.tolist()  # masked (NULL) items become None
    return [_number(item, name, f"feature {fid}") for item, fid in zip(items, fids, strict=True)]


def read_points(path: str, x: str | None, y: str | None, value: str, layer: str | None) -> Samples:
    """Coordinates (n, 2) and values (n,) of the sampled points in ``path``."""
    if not path.startswith("/vsi") and not os.path.isfile(path):
        raise CliError(f"{path}: no such file")
    if (x is None) != (y is None):
        raise CliError("give both --x and --y, or neither (point geometries)")
    if path.lower().endswith(CSV_SUFFIXES):
        if x is None or y is None:
            raise CliError(f"{path}: a CSV file needs --x and --y")
        return read_csv(path, x, y, value)
    return read_vector(path, x, y, value, layer)
