"""The main job of orv's native modules, end to end.

1. What a few real GDAL drivers answer through ``Driver``.
2. A compressed GeoTIFF created in memory through ``RasterDriver`` with
   options chosen by keyword, filled from numpy, one band read back into numpy
   and saved to ``out/demo.tif``; a GeoPackage through ``VectorDriver``, and a
   CSV file opened through ``Driver.open`` with open options.
3. Real files as they ship: a zipped shapefile and a netCDF file, both made
   here through the drivers, opened through the drivers (read-only where the
   source cannot be written).
4. The registry view and one driver view written to ``out/registry.html``.
5. The experimental semivariogram of a seeded sample data set, plotted to
   ``out/semivariogram.png``.
6. Kriging: a known smooth field sampled at random points, its variogram fitted,
   kriged to the two-band GeoTIFF ``out/kriged.tif`` (estimate, variance), both
   plotted to ``out/kriging.png``, and the RMSE against the known field printed.
"""

import pathlib
import sys
import warnings
import zipfile

import numpy as np

warnings.filterwarnings("ignore", message="Neither gdal.UseExceptions", category=FutureWarning)

from osgeo import ogr  # noqa: E402

from orv._algos.geo import driver  # noqa: E402
from orv._algos.spmis.krige import core  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parent.parent / "out"


def show_drivers():
    print("== Drivers ==")
    fields = (
        "long_name",
        "category",
        "extension",
        "extensions",
        "creatable",
        "updatable",
        "virtualio",
    )
    for name in ("GTiff", "ESRI Shapefile", "GPKG", "MEM"):
        d = driver.Driver(name)
        print(f"{d!r}")
        for field in fields:
            print(f"    {field:<10} {getattr(d, field)!r}")


def create_and_open():
    print("\n== Creating and opening ==")
    tiff = driver.RasterDriver("GTiff")
    print("GTiff COMPRESS values:", ", ".join(tiff.compress_modes))
    tiff.set_creation_options(COMPRESS="DEFLATE", TILED="YES")
    print("chosen creation options:", tiff.creation_options)
    OUT.mkdir(exist_ok=True)
    with tiff.create(None, 300, 200, 2, np.uint16) as raster:
        rows, columns = np.indices((200, 300))
        raster.write(np.stack([rows * 300 + columns, rows + columns]))
        raster.geotransform = (600000.0, 10.0, 0.0, 5300000.0, 0.0, -10.0)
        raster.crs = "EPSG:32632"
        band = raster.read(2)
        print(
            f"in-memory GeoTIFF {raster.path}: band 2 read into numpy as {band.dtype}"
            f" {band.shape}, mean {band.mean():.1f}"
        )
        tif_path = OUT / "demo.tif"
        tif_path.unlink(missing_ok=True)
        # Saved with the options the GeoTIFF was created with (DEFLATE, tiles).
        with raster.save(tif_path, overwrite=True) as saved:
            width, height = saved.raster_size
            print(
                f"saved to {tif_path.name}: {width} x {height} pixels, {saved.band_count} bands,"
                f" compression {saved.image_structure.get('COMPRESSION')}"
            )

    gpkg_path = OUT / "demo.gpkg"
    gpkg_path.unlink(missing_ok=True)
    with driver.VectorDriver("GPKG").create(str(gpkg_path)) as gpkg:
        print(f"GeoPackage created by {gpkg.driver_name} at {gpkg_path.name}")

    csv_path = OUT / "stations.csv"
    csv_path.write_text("station,lon,lat,value\nA,11.2,47.1,3.5\nB,11.9,47.6,4.1\n")
    csv = driver.Driver("CSV")
    csv.set_open_options(X_POSSIBLE_NAMES="lon", Y_POSSIBLE_NAMES="lat")
    with csv.open(str(csv_path)) as opened:
        layer = opened.layer(0)
        points = [feature.GetGeometryRef().ExportToWkt() for feature in layer]
        print(f"CSV opened with open options {csv.open_options}: {points}")


def open_real_files():
    print("\n== Real files ==")
    OUT.mkdir(exist_ok=True)
    shapefile = driver.VectorDriver("ESRI Shapefile")
    folder = OUT / "roads"
    folder.mkdir(exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    with shapefile.create(folder / "roads.shp") as created:
        layer = created.dataset.CreateLayer("roads", geom_type=ogr.wkbLineString)
        layer.CreateField(ogr.FieldDefn("name", ogr.OFTString))
        for name, wkt in [("A7", "LINESTRING (0 0, 5 5)"), ("B12", "LINESTRING (5 5, 9 2)")]:
            feature = ogr.Feature(layer.GetLayerDefn())
            feature.SetField("name", name)
            feature.SetGeometry(ogr.CreateGeometryFromWkt(wkt))
            layer.CreateFeature(feature)
        del layer, feature
    archive = OUT / "roads.zip"
    with zipfile.ZipFile(archive, "w") as zipped:
        for part in sorted(folder.iterdir()):
            zipped.write(part, part.name)
    with shapefile.open(f"/vsizip/{archive}") as roads:
        layer = roads.layer(0)
        names = [feature.GetField("name") for feature in layer]
        print(
            f"zipped shapefile: layers {roads.layer_names}, {len(layer)} features {names},"
            f" writable {roads.writable}"
        )

    netcdf = driver.RasterDriver("netCDF")
    grid_path = OUT / "grid.nc"
    grid_path.unlink(missing_ok=True)
    with netcdf.create(grid_path, 5, 4, 1, "float32") as grid:
        grid.write(np.arange(20, dtype=np.float32).reshape(1, 4, 5))
    with netcdf.open(grid_path) as grid:
        width, height = grid.raster_size
        print(
            f"netCDF {grid_path.name}: {width} x {height}, {grid.band_count} band,"
            f" sum of values {grid.read(1).sum():g}, writable {grid.writable}"
        )


def write_registry_page():
    stats = driver.DriveStatistics()
    print(
        f"\n== Registry == {len(stats)} drivers, {len(stats.rasters)} raster,"
        f" {len(stats.vectors)} vector"
    )
    page = (
        "<!doctype html><html><head><meta charset='utf-8'><title>GDAL drivers</title></head>"
        "<body>"
        + stats._repr_html_()
        + driver.RasterDriver("GTiff")._repr_html_()
        + "</body></html>"
    )
    OUT.mkdir(exist_ok=True)
    path = OUT / "registry.html"
    path.write_text(page, encoding="utf-8")
    print(f"registry view written to {path}")


def semivariogram():
    rng = np.random.default_rng(20261208)
    points = rng.uniform(0.0, 1000.0, size=(400, 2))
    # A smooth field plus noise: semivariance grows with distance.
    values = np.sin(points[:, 0] / 150.0) + np.cos(points[:, 1] / 200.0)
    values += rng.normal(0.0, 0.1, size=len(points))
    lags, semivariance = core.init_variogram_model(points, values, 20, "PROJCS")
    print("\n== Experimental semivariogram (400 points, 20 classes) ==")
    for lag, gamma in zip(lags[:5], semivariance[:5], strict=True):
        print(f"    lag {lag:8.2f}  semivariance {gamma:.4f}")
    print(f"    ... {len(lags)} classes in all")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(6, 4))
    ax.plot(lags, semivariance, "o-")
    ax.set_xlabel("lag distance")
    ax.set_ylabel("semivariance")
    ax.set_title("Experimental semivariogram")
    OUT.mkdir(exist_ok=True)
    path = OUT / "semivariogram.png"
    fig.savefig(path, dpi=100)
    print(f"plot written to {path}")


def known_field(x, y):
    """The smooth field the kriging demo samples and then reconstructs."""
    return np.sin(x / 150.0) + np.cos(y / 200.0) + 0.5 * np.sin((x + y) / 90.0)


def krige_known_field():
    import orv

    rng = np.random.default_rng(20261209)
    points = rng.uniform(0.0, 1000.0, size=(800, 2))
    values = known_field(points[:, 0], points[:, 1])
    print("\n== Kriging a known field (800 samples) ==")
    model = orv.variogram(points, values, n_lags=20, max_distance=600.0).fit("auto")
    print(f"    fitted {model}")
    kriging = orv.OrdinaryKriging(points, values, model, neighbours=32)
    check = kriging.cross_validate()
    print(
        f"    leave-one-out: RMSE {check.rmse:.4f}, mean squared standardised error "
        f"{check.msse:.3g}"
    )
    OUT.mkdir(exist_ok=True)
    path = OUT / "kriged.tif"
    bounds, cell = (0.0, 0.0, 1000.0, 1000.0), 2.5
    with kriging.to_raster(path, bounds, cell, crs="EPSG:32633") as raster:
        estimate = raster.dataset.GetRasterBand(1).ReadAsArray().astype(np.float64)
        variance = raster.dataset.GetRasterBand(2).ReadAsArray().astype(np.float64)
        width, height = raster.raster_size
    centres = (np.arange(width) + 0.5) * cell
    truth = known_field(centres[np.newaxis, :], 1000.0 - centres[:, np.newaxis])
    rmse = float(np.sqrt(np.mean((estimate - truth) ** 2)))
    print(f"    {width} x {height} cells written to {path}")
    print(f"    RMSE against the known field: {rmse:.4f} (field range {np.ptp(truth):.2f})")

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5), constrained_layout=True)
    extent = (0.0, 1000.0, 0.0, 1000.0)
    for ax, plane, title, colours in (
        (axes[0], estimate, "estimate", "viridis"),
        (axes[1], variance, "kriging variance", "magma"),
    ):
        image = ax.imshow(plane, extent=extent, cmap=colours)
        ax.set_title(title)
        fig.colorbar(image, ax=ax, shrink=0.8)
    axes[1].plot(points[:, 0], points[:, 1], ".", color="white", markersize=1.5)
    plot = OUT / "kriging.png"
    fig.savefig(plot, dpi=100)
    plt.close(fig)
    print(f"plot written to {plot}")


def main():
    show_drivers()
    create_and_open()
    open_real_files()
    write_registry_page()
    semivariogram()
    krige_known_field()
    return 0


if __name__ == "__main__":
    sys.exit(main())
