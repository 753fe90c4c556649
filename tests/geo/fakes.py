"""A fake GDAL binding and fake package services for tests of orv._algos.geo.driver.

The driver module looks up every service at call time, so a test swaps the fakes in::

    import fakes

    fake = fakes.install(monkeypatch, {
        "GTiff": {"DCAP_RASTER": "YES", "DCAP_CREATE": "YES", "DMD_EXTENSION": "tif"},
        "ESRI Shapefile": {"DCAP_VECTOR": "YES"},
    })
    drv = driver.RasterDriver("GTiff")
    fake.events  # [("GetDriverByName", ("GTiff",)), ("MajorObject_GetMetadataItem", ...), ...]

``install(monkeypatch, drivers)`` patches ``_gdal``, ``call_gdal_fun``, ``mem_temp_path``,
``dtypes`` and ``env`` on the driver module and ``GeoDatabase`` and ``open_file`` on the real
``orv._algos.geo.geodatabase`` module (where the driver imports them from at call time). It
returns a ``Fakes`` namespace holding each fake and ``events``, one list in which every fake
records its calls as ``(name, args)`` in call order.

- ``drivers``: {short name: {metadata key: value}}; the registry index is the dict order. The
  dicts are used live: a test may change them after install. ``fake.gdal.handle(name)`` is the
  driver's handle (its repr contains "GDALDriverShadow *"); an absent key reads as None.
- ``fake.gdal.metadata_reads()``: the metadata keys read so far, in order.
- ``Recorder(name, events, result, methods)`` is the one recording fake; see its docstring.
- ``call_gdal_fun(fun, *args)`` records and returns ``fun(*args)``; the fake ``Driver_Create``
  returns a ``FakeDataset`` holding its arguments.
- ``mem_temp_path(ext)`` returns ``"/vsimem/fake/data." + ext``.
- ``dtypes.get_raster_dtype_code(dtype)`` returns ``("code", dtype)``.
- ``GeoDatabase(ds)`` returns ``FakeGeoDatabase(ds)``; ``open_file(...)`` returns a new
  ``object()`` each call, kept in ``fake.open_file.results``.
- ``env.RasterConfig`` / ``env.VectorConfig`` are plain dicts ``{"creation.options": {}}``;
  ``env.JupyterShowMaxShape`` is (20, 10).
"""

import types
from dataclasses import dataclass

from orv._algos.geo import driver, geodatabase


class FakeHandle:
    """Stands for one registered driver; recognised by its repr only."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"<Swig Object of type 'GDALDriverShadow *' for {self.name}>"


@dataclass
class FakeDataset:
    args: tuple


@dataclass
class FakeGeoDatabase:
    ds: object


class Recorder:
    """A callable that logs ``(name, args)`` (plus kwargs if any) in ``events`` and returns
    ``result(*args, **kwargs)``, or itself when ``result`` is None (a builder class whose
    instance is the recorder). ``methods`` maps attribute names to results: each attribute is
    a recorder of its own on the same event list; any other attribute is missing."""

    def __init__(self, name, events, result=None, methods=None):
        self.name = name
        self.events = events
        self.result = result
        self.methods = methods or {}
        self.calls = []
        self.results = []

    def __call__(self, *args, **kwargs):
        self.calls.append(args if not kwargs else (args, kwargs))
        self.events.append((self.name, args) if not kwargs else (self.name, args, kwargs))
        value = self if self.result is None else self.result(*args, **kwargs)
        self.results.append(value)
        return value

    def __getattr__(self, name):
        methods = self.__dict__.get("methods", {})
        if name not in methods:
            raise AttributeError(name)
        return Recorder(name, self.events, methods[name])


class FakeGdal:
    """The part of osgeo._gdal that the driver module calls."""

    def __init__(self, drivers, events):
        self.drivers = drivers
        self.events = events
        self._handles = {name: FakeHandle(name) for name in drivers}

    def handle(self, name):
        return self._handles[name]

    def metadata_reads(self):
        return [args[1] for name, args in self.events if name == "MajorObject_GetMetadataItem"]

    def _log(self, name, *args):
        self.events.append((name, args))

    def GetDriverCount(self):
        self._log("GetDriverCount")
        return len(self.drivers)

    def GetDriver(self, index):
        self._log("GetDriver", index)
        names = list(self.drivers)
        return self._handles[names[index]] if 0 <= index < len(names) else None

    def GetDriverByName(self, name):
        self._log("GetDriverByName", name)
        return self._handles.get(name)

    def Driver_ShortName_get(self, handle):
        self._log("Driver_ShortName_get", handle)
        return handle.name

    def MajorObject_GetMetadataItem(self, handle, key):
        self._log("MajorObject_GetMetadataItem", handle, key)
        return self.drivers[handle.name].get(key)

    def Driver_Create(self, *args):
        self._log("Driver_Create", *args)
        return FakeDataset(args)


def install(monkeypatch, drivers):
    """Swap the fakes into the driver module and geodatabase; see the module docstring."""
    events = []
    fake = types.SimpleNamespace(events=events, gdal=FakeGdal(drivers, events))
    fake.call_gdal_fun = Recorder("call_gdal_fun", events, lambda fun, *args: fun(*args))
    fake.mem_temp_path = Recorder("mem_temp_path", events, lambda ext: "/vsimem/fake/data." + ext)
    fake.dtypes = types.SimpleNamespace(
        get_raster_dtype_code=Recorder("get_raster_dtype_code", events, lambda d: ("code", d))
    )
    fake.env = types.SimpleNamespace(
        RasterConfig={"creation.options": {}},
        VectorConfig={"creation.options": {}},
        JupyterShowMaxShape=(20, 10),
    )
    fake.GeoDatabase = Recorder("GeoDatabase", events, FakeGeoDatabase)
    fake.open_file = Recorder("open_file", events, lambda *args: object())
    for name in ("call_gdal_fun", "mem_temp_path", "dtypes", "env"):
        monkeypatch.setattr(driver, name, getattr(fake, name))
    monkeypatch.setattr(driver, "_gdal", fake.gdal)
    monkeypatch.setattr(geodatabase, "GeoDatabase", fake.GeoDatabase)
    monkeypatch.setattr(geodatabase, "open_file", fake.open_file)
    return fake
