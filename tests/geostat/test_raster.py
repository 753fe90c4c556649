"""to_raster: the grid written tile by tile, the same file on a Dask cluster, nothing left
behind on failure."""

import filecmp

import numpy as np
import pytest

import orv
from orv.geostat import OrdinaryKriging

BOUNDS, CELL = (0.0, 0.0, 300.0, 200.0), 2.5


@pytest.fixture(scope="module")
def kriging():
    rng = np.random.default_rng(11)
    points = rng.uniform(0.0, 250.0, size=(500, 2))  # cells past x = 275 are out of reach
    values = np.sin(points[:, 0] / 40.0) + np.cos(points[:, 1] / 30.0)
    model = ("Spherical", {"PSill": 1.0, "Range": 120.0, "Nugget": 0.01})
    return OrdinaryKriging(points, values, model, neighbours=16, max_distance=25.0)


def test_bands_georeference_and_tiles(kriging, tmp_path):
    estimate, variance, transform = kriging.grid(BOUNDS, CELL)
    paths = [tmp_path / f"tile{tile}.tif" for tile in (32, 512)]
    for path, tile in zip(paths, (32, 512), strict=True):
        with kriging.to_raster(path, BOUNDS, CELL, crs="EPSG:32633", tile=tile, dtype="float64"):
            pass
    assert filecmp.cmp(paths[0], paths[1], shallow=False)
    with orv.open(paths[0]) as raster:
        assert raster.geotransform == transform and "UTM zone 33N" in raster.crs
        np.testing.assert_array_equal(raster.read(1), estimate)
        np.testing.assert_array_equal(raster.read(2), variance)
        names = [raster.dataset.GetRasterBand(b).GetDescription() for b in (1, 2)]
    assert names == ["estimate", "variance"] and np.isnan(estimate).any()  # cells out of reach
    with kriging.to_raster(tmp_path / "nodata.tif", BOUNDS, CELL, nodata=-9999.0) as raster:
        assert raster.nodata == (-9999.0, -9999.0)
        assert (raster.read(1)[np.isnan(estimate)] == -9999.0).all()


def test_a_failure_leaves_no_file(kriging, tmp_path):
    path = tmp_path / "broken.tif"

    def stop(done, total):
        if done == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kriging.to_raster(path, BOUNDS, CELL, tile=16, progress=stop)
    assert not path.exists()


def test_a_dask_cluster_writes_the_same_file(kriging, tmp_path):
    distributed = pytest.importorskip("distributed")
    local, remote = tmp_path / "local.tif", tmp_path / "remote.tif"
    kriging.to_raster(local, BOUNDS, CELL, tile=64).close()
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster:
        with distributed.Client(cluster) as client:
            kriging.to_raster(remote, BOUNDS, CELL, tile=200, client=client).close()  # 4 parts
    assert filecmp.cmp(local, remote, shallow=False)
