"""The orv command line, run as a child process on the real registry and on files written
in tmp_path."""

import json
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from scipy.spatial.distance import pdist

from orv._algos.geo.driver import DriveStatistics, RasterDriver, VectorDriver
from orv._algos.spmis.krige import core

SCRIPT = pathlib.Path(sys.executable).with_name("orv")


def orv(*args, command=(sys.executable, "-m", "orv")):
    return subprocess.run([*command, *map(str, args)], capture_output=True, text=True)


def orv_json(*args):
    result = orv(*args, "--json")
    assert result.returncode == 0 and not result.stderr, result.stderr
    return json.loads(result.stdout)


def write_csv(path, points, values, delimiter=","):
    lines = [delimiter.join(["x", "y", "z"])]
    lines += [
        delimiter.join(repr(float(c)) for c in [*p, v]) for p, v in zip(points, values, strict=True)
    ]
    path.write_text("\n".join(lines) + "\n")
    return path


def reference_counts(d, n_lags):
    """Pairs per class by the documented rule, with plain comparisons."""
    d_min, d_max = d.min(), d.max()
    edges = np.append(d_min + (d_max - d_min) / n_lags * np.arange(n_lags), d_max + 0.001)
    counts = [int(((d >= edges[k]) & (d < edges[k + 1])).sum()) for k in range(n_lags)]
    return [c for c in counts if c]


@pytest.mark.parametrize(
    ("flags", "keep"),
    [
        ((), lambda d: True),
        (("--raster",), lambda d: d.is_raster),
        (("--vector", "--creatable"), lambda d: d.is_vector and d.creatable),
    ],
)
def test_drivers_json_is_the_filtered_registry(flags, keep):
    listed = orv_json("drivers", *flags)
    expected = [d for d in DriveStatistics() if keep(d)]
    assert [row["name"] for row in listed] == [d.name for d in expected]
    keys = ["name", "category", "extension", "creatable", "virtualio", "long_name"]
    assert all(list(row) == keys for row in listed)
    if "--vector" not in flags:
        gtiff = next(row for row in listed if row["name"] == "GTiff")
        assert (gtiff["category"], gtiff["extension"], gtiff["creatable"]) == (
            "Raster",
            "tif",
            True,
        )


@pytest.mark.parametrize("command", [(sys.executable, "-m", "orv"), (SCRIPT,)])
def test_drivers_table_and_console_script(command):
    if not pathlib.Path(command[0]).exists():
        pytest.skip("console script not installed")
    result = orv("drivers", "--raster", command=command)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].split()[:3] == ["name", "category", "extension"]
    assert any(line.split()[:4] == ["GTiff", "Raster", "tif", "yes"] for line in lines)
    assert lines[-1] == f"{len(DriveStatistics().rasters)} drivers"


@pytest.mark.parametrize("name", ["gtiff", "GTIFF"])
def test_driver_raster_in_any_case(name):
    details = orv_json("driver", name)
    gtiff = RasterDriver("GTiff")
    assert details["name"] == "GTiff" and details["vector"] is None
    assert details["raster"]["compress_modes"] == gtiff.compress_modes
    assert details["raster"]["data_types"] == gtiff.creation_dtypes
    assert list(details["creation_options"]) == list(gtiff.creation_options_info)
    compress = details["creation_options"]["COMPRESS"]
    assert compress["type"] == "string-select" and "LZW" in compress["values"]
    text = orv("driver", name).stdout
    assert text.startswith("GTiff - GeoTIFF\n") and "creation options (" in text


def test_driver_vector_shows_layer_options_and_field_types():
    details = orv_json("driver", "gpkg")
    gpkg = VectorDriver("GPKG")
    assert details["vector"]["field_types"] == gpkg.creation_ftypes
    assert details["vector"]["dimension"] == gpkg.dimension
    assert list(details["layer_creation_options"]) == list(gpkg.creation_options_info)
    assert list(details["open_options"]) == list(gpkg.open_options_info)


@pytest.mark.parametrize(
    ("points", "values", "lags", "delimiter"),
    [
        # Distances 1, 3, 2 with edges [1, 2, 3.001]: 2 lies on the inner edge, upper class.
        ([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0]], [0.0, 1.0, 3.0], 2, ","),
        # A grid: many distances tie, some on class edges.
        ([[i, j] for i in range(6) for j in range(6)], list(range(36)), 5, ";"),
        (np.random.default_rng(7).uniform(0, 50, (200, 2)).tolist(), list(range(200)), 12, "\t"),
    ],
)
def test_variogram_csv_matches_the_core(tmp_path, points, values, lags, delimiter):
    csv = write_csv(tmp_path / "samples.csv", points, values, delimiter)
    classes = orv_json("variogram", csv, "--x", "x", "--y", "y", "--value", "z", "--lags", lags)
    xy, z = np.array(points, dtype=float), np.array(values, dtype=float)
    expected_lags, expected_gamma = core.init_variogram_model(xy, z, lags, "PROJCS")
    assert [c["lag"] for c in classes] == expected_lags.tolist()
    assert [c["semivariance"] for c in classes] == expected_gamma.tolist()
    assert [c["pairs"] for c in classes] == reference_counts(pdist(xy), lags)


def test_variogram_geographic_vector_file_with_plot(tmp_path):
    from osgeo import ogr, osr

    rng = np.random.default_rng(3)
    lonlat, z = rng.uniform([5, 45], [7, 47], (60, 2)), rng.normal(size=60)
    path = tmp_path / "samples.gpkg"
    dataset = ogr.GetDriverByName("GPKG").CreateDataSource(str(path))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(4326)
    layer = dataset.CreateLayer("samples", srs, ogr.wkbPoint)
    layer.CreateField(ogr.FieldDefn("z", ogr.OFTReal))
    for (lon, lat), value in zip(lonlat, z, strict=True):
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetField("z", float(value))
        feature.SetGeometry(ogr.CreateGeometryFromWkt(f"POINT ({float(lon)!r} {float(lat)!r})"))
        layer.CreateFeature(feature)
    dataset = layer = None
    png = tmp_path / "plot.png"
    classes = orv_json(
        "variogram", path, "--value", "z", "--lags", 6, "--geographic", "--plot", png
    )
    expected_lags, _ = core.init_variogram_model(lonlat, z, 6, "GEOGCS")
    assert [c["lag"] for c in classes] == expected_lags.tolist()
    assert sum(c["pairs"] for c in classes) == 60 * 59 // 2
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_variogram_reports_progress_on_stderr(tmp_path):
    rng = np.random.default_rng(5)
    n = 3000  # several blocks of pairs
    csv = write_csv(tmp_path / "big.csv", rng.uniform(0, 1, (n, 2)).tolist(), rng.normal(size=n))
    result = orv("variogram", csv, "--x", "x", "--y", "y", "--value", "z", "--progress")
    assert result.returncode == 0, result.stderr
    shares = [int(s) for s in re.findall(r"(\d+)% of", result.stderr)]
    assert len(shares) >= 2 and shares == sorted(shares) and shares[-1] == 100
    assert result.stdout.splitlines()[-1].startswith(f"{n} points, {n * (n - 1) // 2:,} pairs")


def test_variogram_progress_through_the_tiled_runner(tmp_path):
    pytest.importorskip("orv._algos.spmis.krige._tiled")
    test_variogram_reports_progress_on_stderr(tmp_path)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("driver", "NoSuchDriver"), "unknown driver 'NoSuchDriver'"),
        (("variogram", "{tmp}/absent.csv", "--x", "x", "--y", "y", "--value", "z"), "no such file"),
        (
            ("variogram", "{csv}", "--x", "x", "--y", "y", "--value", "label"),
            "column 'label' is not numeric",
        ),
        (("variogram", "{csv}", "--x", "x", "--y", "y", "--value", "w"), "no column 'w'"),
        (("variogram", "{csv}", "--value", "z"), "needs --x and --y"),
        (
            ("variogram", "{csv}", "--x", "x", "--y", "y", "--value", "z", "--lags", "0"),
            "at least 1",
        ),
        (("variogram", "{csv}", "--x", "x", "--y", "y"), "--value"),
        (("variogram", "{tmp}/junk.shp", "--value", "z"), "not a vector file"),
        (("drivers", "--bogus"), "unrecognized arguments"),
        ((), "required"),
    ],
)
def test_errors_exit_with_status_2(tmp_path, args, message):
    csv = tmp_path / "labels.csv"
    csv.write_text("x,y,z,label\n0,0,1,a\n1,1,2,b\n")
    (tmp_path / "junk.shp").write_text("not a shapefile")
    result = orv(*(a.format(tmp=tmp_path, csv=csv) for a in args))
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
