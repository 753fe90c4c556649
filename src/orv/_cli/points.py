"""Sampled points for the ``variogram`` command: from a CSV file or a GDAL vector file."""

import csv
import math
import os
from collections.abc import Iterable

import numpy as np
from numpy.typing import NDArray

from . import CliError

CSV_SUFFIXES = (".csv", ".tsv", ".txt")
# GDAL's open flag for vector datasets (GDAL_OF_VECTOR).
_OF_VECTOR = 4

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
    from osgeo import ogr

    from .._algos.geo.geodatabase import open_file
    from ..error import GDALError

    try:
        database = open_file(path, _OF_VECTOR)
    except GDALError as exc:
        raise CliError(f"{path}: not a vector file GDAL can open ({exc})") from None
    with database:
        dataset = database.dataset
        source = dataset.GetLayer(0) if layer is None else dataset.GetLayerByName(layer)
        if source is None:
            raise CliError(f"{path}: no layer {layer!r}" if layer else f"{path}: no layer")
        definition = source.GetLayerDefn()
        fields = [definition.GetFieldDefn(i).GetName() for i in range(definition.GetFieldCount())]
        value_field = _column(value, fields, path)
        xy_fields = (
            None if x is None else (_column(x, fields, path), _column(y or "", fields, path))
        )
        rows = []
        for feature in source:
            where = f"feature {feature.GetFID()}"
            if xy_fields is None:
                geometry = feature.GetGeometryRef()
                if geometry is None or ogr.GT_Flatten(geometry.GetGeometryType()) != ogr.wkbPoint:
                    raise CliError(f"{path}: {where} has no point geometry; give --x and --y")
                px, py = float(geometry.GetX()), float(geometry.GetY())
            else:
                px, py = (_number(feature.GetField(f), f, where) for f in xy_fields)
            rows.append((px, py, _number(feature.GetField(value_field), value, where)))
    return _as_samples(rows, path)


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
