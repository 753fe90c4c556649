"""Driver.open: open flags, the opener's arguments and opening real files."""

import fakes
import pytest
from osgeo import ogr

from orv import error
from orv._algos.geo import driver, geodatabase

OPEN_XML = "<OpenOptionList><Option name='A'/><Option name='B'/></OpenOptionList>"
RASTER = {"DCAP_RASTER": "YES"}
VECTOR = {"DCAP_VECTOR": "YES"}


@pytest.fixture
def fake(monkeypatch):
    drivers = {"R": {**RASTER, "DMD_OPENOPTIONLIST": OPEN_XML}, "V": dict(VECTOR)}
    drivers.update(RV={**RASTER, **VECTOR}, none={"DCAP_UPDATE": "YES"})  # updatable only
    return fakes.install(monkeypatch, drivers)


@pytest.mark.parametrize(
    "cls, name, flags",
    [(driver.RasterDriver, "R", 26), (driver.RasterDriver, "RV", 26), (driver.VectorDriver, "V", 4)]
    + [(driver.VectorDriver, "RV", 4), (driver.Driver, "R", 26), (driver.Driver, "V", 4)]
    + [(driver.Driver, "RV", 0), (driver.Driver, "none", 0)],
)
@pytest.mark.parametrize("create", [None, "yes"])
def test_flags_and_opener_arguments(fake, cls, name, flags, create):
    fake.gdal.drivers[name]["DCAP_CREATE"] = create
    siblings = ["a.aux"]
    assert cls(name).open("in.tif", siblings) is fake.open_file.results[-1]
    src, sent_flags, allowed, options, sent_siblings = fake.open_file.calls[-1]
    assert (src, sent_flags, allowed, options) == ("in.tif", flags | bool(create), [name], {})
    assert sent_siblings is siblings


def test_default_siblings_list_is_shared_and_options_arrive_as_dict(fake):
    default = driver.Driver.open.__defaults__[0]
    assert (
        driver.Driver.open.__defaults__ == ([],) and default is driver.Driver.open.__defaults__[0]
    )
    drv = driver.RasterDriver("R")
    drv.set_open_options(B=2)
    drv.open("one")
    driver.Driver("V").open(in_src="two")
    assert [call[4] is default for call in fake.open_file.calls] == [True, True]
    assert fake.open_file.calls[0][3] == {"B": 2}
    with pytest.raises(TypeError, match="unexpected keyword argument 'driver'"):
        drv.open("x", driver="R")


def test_opener_is_imported_at_each_call(fake, monkeypatch):
    drv = driver.Driver("R")
    monkeypatch.setattr(geodatabase, "open_file", lambda *args: "opened")
    assert drv.open("x") == "opened"
    monkeypatch.delattr(geodatabase, "open_file")
    with pytest.raises(ImportError, match="^cannot import name open_file$"):
        drv.open("x")


def test_real_open_passes_options_and_restricts_to_its_driver(tmp_path):
    path = tmp_path / "points.csv"
    path.write_text("name,lon,lat\na,1.5,2.5\nb,-3,4\n")
    csv = driver.Driver("CSV")
    csv.set_open_options(X_POSSIBLE_NAMES="lon", Y_POSSIBLE_NAMES="lat")
    with csv.open(str(path)) as opened:
        points = [
            (f.GetGeometryRef().GetGeometryType(), f.GetGeometryRef().GetPoint_2D())
            for f in opened.dataset.GetLayer(0)
        ]
    assert points == [(ogr.wkbPoint, (1.5, 2.5)), (ogr.wkbPoint, (-3.0, 4.0))]
    raster = str(tmp_path / "r.tif")
    driver.RasterDriver().create(raster, 7, 5, 2).close()
    opened = driver.RasterDriver("GTiff").open(raster)
    assert (opened.raster_size, opened.band_count) == ((7, 5), 2)
    with pytest.raises(error.GDALError, match="not recognized"):
        driver.RasterDriver("PNG").open(raster)
