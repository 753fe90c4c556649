"""orv krige, run as a child process on CSV files written in tmp_path."""

import subprocess
import sys

import numpy as np
import pytest

import orv


def run(*args, cwd):
    return subprocess.run(
        [sys.executable, "-m", "orv", "krige", *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
    )


@pytest.fixture
def samples(tmp_path):
    rng = np.random.default_rng(4)
    points = rng.uniform(0.0, 500.0, size=(300, 2))
    values = np.sin(points[:, 0] / 90.0) + np.cos(points[:, 1] / 70.0)
    rows = ["x,y,z", *(f"{x},{y},{z}" for (x, y), z in zip(points, values, strict=True))]
    (tmp_path / "samples.csv").write_text("\n".join(rows) + "\n")
    return tmp_path


def test_samples_to_a_georeferenced_two_band_raster_and_a_plot(samples):
    result = run(
        "samples.csv", "--x", "x", "--y", "y", "--value", "z", "--model", "Spherical",
        "--size", "40", "20", "--bounds", "0", "0", "500", "250", "--crs", "EPSG:32633",
        "--neighbours", "16", "--out", "map.tif", "--plot", "map.png",
        cwd=samples,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    first, *_, last = result.stdout.splitlines()
    assert first.startswith("model: Spherical  PSill=") and "Range=" in first
    assert last.startswith("map.tif: 40 x 20 cells of 12.5 x 12.5")
    with orv.open(samples / "map.tif") as raster:
        assert raster.raster_size == (40, 20) and raster.band_count == 2
        assert raster.geotransform == (0.0, 12.5, 0.0, 250.0, 0.0, -12.5)
        assert "UTM zone 33N" in raster.crs
        estimate, variance = raster.read(1), raster.read(2)
    assert np.isfinite(estimate).all() and (variance >= 0).all()
    assert (samples / "map.png").stat().st_size > 0


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (("missing.csv", "--resolution", "10"), "no such file"),
        (("samples.csv", "--resolution", "10", "--model", "Cubic"), "Cubic"),
        (("samples.csv", "--resolution", "-1"), "must be positive"),
        (("samples.csv", "--resolution", "10", "--bounds", "9", "0", "1", "5"), "xmin < xmax"),
        (("samples.csv", "--resolution", "10", "--size", "4", "4"), "not allowed with"),
        (("samples.csv", "--resolution", "10", "--out", "nowhere/map.tif"), "no such directory"),
        (("samples.csv", "--resolution", "10", "--neighbours", "0"), "at least 1"),
    ],
)
def test_bad_input_ends_with_a_message_and_status_2(samples, args, message):
    file, *rest = args
    command = [file, "--x", "x", "--y", "y", "--value", "z", *rest]
    if "--out" not in rest:
        command += ["--out", "map.tif"]
    result = run(*command, cwd=samples)
    assert result.returncode == 2 and message in result.stderr, result.stderr
    assert not (samples / "map.tif").exists()
