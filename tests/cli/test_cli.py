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


def command_registry():
    """The drivers a fresh command process has: GDAL adds its NUMPY driver to processes that
    import osgeo.gdal_array (as the dataset tests do)."""
    return [d for d in DriveStatistics() if d.name != "NUMPY"]


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
    expected = [d for d in command_registry() if keep(d)]
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
    assert lines[-1] == f"{sum(d.is_raster for d in command_registry())} drivers"


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


def write_gpkg(path, points, values, epsg):
    from osgeo import ogr, osr

    dataset = ogr.GetDriverByName("GPKG").CreateDataSource(str(path))
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(epsg)
    layer = dataset.CreateLayer("samples", srs, ogr.wkbPoint)
    layer.CreateField(ogr.FieldDefn("z", ogr.OFTReal))
    for (x, y), value in zip(points, values, strict=True):
        feature = ogr.Feature(layer.GetLayerDefn())
        if not np.isnan(value):  # a NaN value stays unset: a null field
            feature.SetField("z", float(value))
        feature.SetGeometry(ogr.CreateGeometryFromWkt(f"POINT ({float(x)!r} {float(y)!r})"))
        layer.CreateFeature(feature)
    return path


def test_variogram_of_a_geographic_layer_with_fit_and_plot(tmp_path):
    rng = np.random.default_rng(3)
    lonlat, z = rng.uniform([5, 45], [7, 47], (60, 2)), rng.normal(size=60)
    z[7] = np.nan
    path = write_gpkg(tmp_path / "samples.gpkg", lonlat, z, 4326)
    png = tmp_path / "plot.png"
    args = ("variogram", path, "--value", "z", "--lags", 6, "--plot", png, "--fit", "spherical")
    result = orv_json(*args)
    kept = ~np.isnan(z)
    expected_lags, _ = core.init_variogram_model(lonlat[kept], z[kept], 6, "GEOGCS")
    assert [c["lag"] for c in result["classes"]] == expected_lags.tolist()
    assert sum(c["pairs"] for c in result["classes"]) == 59 * 58 // 2
    assert result["model"]["model"] == "Spherical"
    assert list(result["model"]["parameters"]) == ["PSill", "Range", "Nugget"]
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    lines = orv(*args).stdout.splitlines()
    assert lines[-3].endswith("lag in km (great-circle distances, from the layer's geographic CRS)")
    assert lines[-2] == "1 of 60 rows skipped: a coordinate or the value is missing"
    assert lines[-1].startswith("fitted Spherical: PSill=")


def test_variogram_of_a_projected_layer_names_its_unit(tmp_path):
    rng = np.random.default_rng(4)
    xy = rng.uniform([5e5, 5.6e6], [6e5, 5.7e6], (50, 2))
    path = write_gpkg(tmp_path / "samples.gpkg", xy, rng.normal(size=50), 3857)
    result = orv("variogram", path, "--value", "z", "--max-distance", 3e4, "--estimator", "cressie")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1].endswith("classes; lag in metre")
    result = orv("variogram", path, "--value", "z", "--geographic")
    assert result.returncode == 2 and "contradicts the crs" in result.stderr


@pytest.mark.parametrize(
    ("content", "args", "note", "pairs"),
    [
        ("x;y;zé\n0;0;1\n3;4;2\n6;8;4\n".encode("latin-1"), ("--value", "zé"), "Latin-1", 3),
        ("x,y,z\n0,0,1\n3,4,2\n6,8,4\n".encode("utf-16"), ("--value", "z"), "", 3),
        ("x,y,z\n0,0,1\n3,4,2\n6,8,4\n".encode("utf-16-le"), ("--value", "z"), "UTF-16-LE", 3),
        (
            "x,y,zé\n0,0,1\n3,4,2\n6,8,4\n".encode("latin-1"),
            ("--value", "zé", "--encoding", "utf-8"),
            "not utf-8 text",
            None,
        ),
        (
            f"x,y,z,w\n0,0,1,{'a' * 200_000}\n3,4,,b\n6,8,4,c\n9,9,1,d\n".encode(),
            ("--value", "z"),
            "",
            3,
        ),
    ],
)
def test_variogram_reads_csv_in_any_encoding_and_size(tmp_path, content, args, note, pairs):
    path = tmp_path / "samples.csv"
    path.write_bytes(content)
    result = orv("variogram", path, "--x", "x", "--y", "y", *args, "--lags", 2)
    assert note in result.stderr and "Traceback" not in result.stderr
    if pairs is None:
        assert result.returncode == 2
    else:
        assert result.returncode == 0
        assert result.stdout.splitlines()[
            -2 if "w" in content.decode("latin-1") else -1
        ].startswith(f"3 points, {pairs} pairs")


def test_variogram_reports_progress_on_stderr(tmp_path):
    rng = np.random.default_rng(5)
    n = 3000  # several blocks of pairs
    csv = write_csv(tmp_path / "big.csv", rng.uniform(0, 1, (n, 2)).tolist(), rng.normal(size=n))
    result = orv("variogram", csv, "--x", "x", "--y", "y", "--value", "z", "--progress")
    assert result.returncode == 0, result.stderr
    shares = [int(s) for s in re.findall(r"(\d+)% of", result.stderr)]
    assert len(shares) >= 2 and shares == sorted(shares) and shares[-1] == 100
    assert result.stdout.splitlines()[-1].startswith(f"{n} points, {n * (n - 1) // 2:,} pairs")


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
        (("variogram", "{tmp}/empty", "--value", "z"), "a folder, not vector data"),
        (("variogram", "{one}", "--x", "x", "--y", "y", "--value", "z"), "at least 2 samples"),
        (("variogram", "{far}", "--x", "x", "--y", "y", "--value", "z"), "distances overflow"),
        (
            ("variogram", "{far}", "--x", "x", "--y", "y", "--value", "z", "--geographic"),
            "longitude 1e+200 lies outside",
        ),
        (
            ("variogram", "{csv}", "--x", "x", "--y", "y", "--value", "z", "--lags", "1000000000"),
            "n_lags must lie between 1 and 4096",
        ),
        (
            ("variogram", "{csv}", "--x", "x", "--y", "y", "--value", "z", "--edges", "0,a"),
            "comma-separated list",
        ),
        (("drivers", "--bogus"), "unrecognized arguments"),
        ((), "required"),
    ],
)
def test_errors_exit_with_status_2(tmp_path, args, message):
    csv = tmp_path / "labels.csv"
    csv.write_text("x,y,z,label\n0,0,1,a\n1,1,2,b\n")
    (tmp_path / "junk.shp").write_text("not a shapefile")
    (tmp_path / "empty").mkdir()
    (tmp_path / "one.csv").write_text("x,y,z\n0,0,1\n")
    (tmp_path / "far.csv").write_text("x,y,z\n0,0,1\n1e200,0,2\n2,2,3\n")
    names = {"tmp": tmp_path, "csv": csv, "one": tmp_path / "one.csv", "far": tmp_path / "far.csv"}
    result = orv(*(a.format(**names) for a in args))
    assert result.returncode == 2
    assert message in result.stderr and "Traceback" not in result.stderr
