"""Raster values through GeoDatabase: windows, masks, nodata and arrays of any layout."""

import io

import numpy as np
import pytest
from osgeo import gdal

import orv

VALUES = np.arange(7 * 5, dtype=np.float32).reshape(5, 7)  # 7 columns, 5 rows


@pytest.fixture
def raster():
    db = orv.create_raster(None, width=7, height=5, count=2)
    db.write(np.stack([VALUES, -VALUES]))
    return db


@pytest.mark.parametrize(
    "window", [(0, 0, 7, 5), (6, 4, 1, 1), (3, 0, 4, 5), (0, 2, 7, 3), (2, 1, 3, 2)]
)
def test_windows_read_and_write_exactly_their_pixels(raster, window):
    col, row, width, height = window
    part = (slice(row, row + height), slice(col, col + width))
    assert np.array_equal(raster.read(1, window=window), VALUES[part])
    assert np.array_equal(raster.read(window=window), np.stack([VALUES, -VALUES])[:, *part])
    raster.write(np.full((height, width), 99), 2, window=window)
    expected = -VALUES.copy()
    expected[part] = 99
    assert np.array_equal(raster.read(2), expected) and np.array_equal(raster.read(1), VALUES)


@pytest.mark.parametrize(
    "window, exc",
    [((5, 0, 3, 1), ValueError), ((0, 4, 1, 2), ValueError), ((-1, 0, 1, 1), ValueError)]
    + [((0, 0, 0, 1), ValueError), ((0, 0, 1), TypeError), ((0, 0, 1.0, 1), TypeError)],
)
def test_windows_outside_or_malformed_are_refused(raster, window, exc):
    with pytest.raises(exc, match="window"):
        raster.read(1, window=window)
    with pytest.raises(exc, match="window"):
        raster.write(np.zeros((1, 1)), 1, window=window)


def layouts():
    base = np.arange(5 * 7, dtype=np.float64).reshape(5, 7)
    yield "zero-stride", np.broadcast_to(np.float64(7), (5, 7))
    yield "row-broadcast", np.broadcast_to(base[0], (5, 7))
    yield "fortran", np.asfortranarray(base)
    yield "byte-swapped", base.astype(">f8")
    yield "reversed", base[::-1, ::-1]
    yield "every-other", np.arange(10 * 14, dtype=np.int32).reshape(10, 14)[::2, ::2]
    read_only = base.copy()
    read_only.flags.writeable = False
    yield "read-only", read_only
    yield "int8", (base - 20).astype(np.int8)
    yield "bool", base % 2 == 0


@pytest.mark.parametrize("name, array", list(layouts()), ids=[n for n, _ in layouts()])
def test_any_array_layout_is_written_as_its_values(name, array):
    db = orv.create_raster(None, width=7, height=5, dtype="float64")
    db.write(array)  # a 2-D array needs no band number on a one-band raster
    assert np.array_equal(db.read(1), np.asarray(array, dtype=np.float64))


def test_large_zero_stride_array_is_written_in_bounded_slabs():
    db = orv.create_raster(None, width=4096, height=4096, dtype="uint8")
    db.write(np.broadcast_to(np.float64(7), (4096, 4096)), 1)
    values = db.read(1)
    assert values.min() == values.max() == 7


@pytest.mark.parametrize(
    "dtype, nodata, fill", [("uint16", 65535, 65535), ("float32", np.nan, np.nan)]
)
def test_masked_reads_hide_nodata(tmp_path, dtype, nodata, fill):
    path = tmp_path / "dem.tif"
    values = np.arange(12, dtype=dtype).reshape(3, 4)
    values[1, 2] = values[0, 0] = fill
    with orv.create_raster(path, width=4, height=3, dtype=dtype, nodata=nodata) as db:
        db.write(values)
    with orv.open(path) as db:
        masked = db.read(1, masked=True)
        window = db.read(masked=True, window=(1, 0, 3, 2))
        assert np.array_equal(db.read(1), values, equal_nan=True)
    expected = np.zeros((3, 4), bool)
    expected[1, 2] = expected[0, 0] = True
    assert np.array_equal(masked.mask, expected) and masked.sum() == np.nansum(values) - (
        0 if np.isnan(fill) else 2 * fill
    )
    assert window.shape == (1, 2, 3) and np.array_equal(window.mask[0], expected[:2, 1:])


def test_masked_read_uses_the_mask_band(tmp_path):
    path = str(tmp_path / "masked.tif")
    ds = gdal.GetDriverByName("GTiff").Create(path, 4, 3, 1, gdal.GDT_Byte)
    ds.CreateMaskBand(gdal.GMF_PER_DATASET)
    mask = np.full((3, 4), 255, np.uint8)
    mask[2, 3] = 0
    ds.GetRasterBand(1).GetMaskBand().WriteArray(mask)
    ds = None
    with orv.open(path) as db:
        assert db.read(1, masked=True).mask.tolist() == (mask == 0).tolist()
        assert db.read(1, masked=True, window=(0, 0, 2, 2)).mask.tolist() == [[False] * 2] * 2


def test_nodata_per_band_is_settable_only_when_writable(tmp_path):
    db = orv.create_raster(None, width=2, height=2, count=3, dtype="int64")
    assert db.nodata == (None, None, None)
    db.nodata = [-(2**62), None, 5]
    assert db.nodata == (-(2**62), None, 5)
    with pytest.raises(ValueError, match="must be an integer"):
        db.nodata = 1.5
    with pytest.raises(ValueError, match="3 bands"):
        db.nodata = [1, 2]
    assert db.nodata == (-(2**62), None, 5)
    with orv.create_raster(tmp_path / "r.tif", width=2, height=2) as created:
        created.nodata = -9999
    with pytest.raises(io.UnsupportedOperation):
        orv.open(tmp_path / "r.tif").nodata = 0
    assert orv.open(tmp_path / "r.tif").nodata == (-9999.0,)
