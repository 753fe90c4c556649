"""The driver module's frame: bindings, function and class objects, argument
errors, and the one-interpreter rules."""

import importlib
import inspect
import pathlib
import pickle
import sys
import textwrap

import pytest

from orv._algos.geo import base
from orv._algos.geo import driver as drv

SERVICES = ["error", "gdata", "dtypes", "call_gdal_fun", "xet", "env", "mem_temp_path", "_gdal"]


def test_module_binds_services_then_functions_then_classes_in_order():
    names = [name for name in vars(drv) if not name.startswith("__")]
    expected = SERVICES + [
        "_to_driver_shadow_",
        "read_xml_to_dict",
        "Driver",
        "RasterDriver",
        "VectorDriver",
        "DriveStatistics",
    ]
    assert [n for n in names if n in expected] == [n for n in expected if n in names]
    assert names[:10] == SERVICES + ["_to_driver_shadow_", "read_xml_to_dict"]
    assert drv.__doc__ is None
    for name in SERVICES:
        assert getattr(drv, name) is getattr(base, name)


def test_classes_are_plain_types_with_identity_semantics():
    assert type(drv.Driver) is type
    assert drv.Driver.__module__ == "orv._algos.geo.driver"
    assert drv.Driver.__doc__ == "A orv Driver object."
    assert drv.Driver.__qualname__ == "Driver"
    assert "__eq__" not in vars(drv.Driver) and "__hash__" not in vars(drv.Driver)
    d = drv.Driver("MEM")
    assert vars(d).keys() == {"_driver", "_open_opts", "_creation_opts"}
    assert d != drv.Driver("MEM") and hash(d) == object.__hash__(d)


MEMBERS = [
    ("__init__", "(self, name)"),
    ("__repr__", "(self)"),
    ("__str__", "(self)"),
    ("_get_metadata_item_", "(self, psz)"),
    ("open", "(self, in_src, sibling_files=[])"),
    ("set_creation_options", "(self, **kwargs)"),
    ("_set_opts_", "(self, opts, **kwargs)"),
    ("_set_creation_options_info_", "(self, raster=None)"),
]


@pytest.mark.parametrize(("member", "signature"), MEMBERS)
def test_methods_look_like_python_functions(member, signature):
    function = vars(drv.Driver)[member]
    assert function.__name__ == member
    assert function.__qualname__ == f"Driver.{member}"
    assert function.__module__ == "orv._algos.geo.driver"
    assert str(inspect.signature(function)) == signature
    assert pickle.loads(pickle.dumps(function)) is function
    bound = getattr(drv.Driver("MEM"), member)
    assert bound.__func__ is function
    function.note = "attributes live in __dict__"
    assert function.__dict__ == {"note": "attributes live in __dict__"}
    del function.note


def test_shadow_function_frame():
    f = drv._to_driver_shadow_
    assert (f.__name__, f.__qualname__, f.__doc__) == ("_to_driver_shadow_",) * 2 + (None,)
    assert f.__defaults__ == (True,)
    assert pickle.loads(pickle.dumps(f)) is f
    assert "_to_driver_shadow_" in repr(f)


def test_docstrings_are_stored_exactly():
    assert drv.Driver.__init__.__doc__ == (
        "\n        Create a Dataset object!\n\n        Parameters\n        ----------\n"
        "        name: str.\n            A driver name.\n\n        "
    )
    assert drv.Driver.__repr__.__doc__ is None
    assert drv.Driver.category.__doc__ == "Driver category. --> str"
    assert drv.Driver.virtualio.__doc__ == (
        "Whether the raster driver supports virtual dataset. --> bool"
    )
    assert type(vars(drv.Driver)["name"]) is property


def test_properties_are_read_only():
    d = drv.Driver("MEM")
    with pytest.raises(AttributeError):
        d.name = "x"
    with pytest.raises(AttributeError):
        del d.category


def _python_twin(qualname, params):
    """A Python function with the same parameters, to compare error texts."""
    namespace = {}
    exec(f"def f({params}): pass", namespace)
    function = namespace["f"]
    function.__qualname__ = qualname
    return function


CALLS = [
    ((), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1,), {"name": 2}),
    ((), {"nmae": 1}),
    ((), {"zzz": 1}),
    ((), {"zzz": 1, "name": 2}),
    ((), {"name": 1, "zzz": 2}),
    ((1, 2), {"name": 3}),
    ((1, 2), {"data": 3}),
]
TWINS = [
    ("_to_driver_shadow_", "data, allow_error=True", lambda: drv._to_driver_shadow_),
    ("Driver.__init__", "self, name", lambda: drv.Driver.__init__),
]


def _failing_calls():
    """(native getter, args, kwargs, message) for every call the twin refuses."""
    cases = []
    for qualname, params, native in TWINS:
        twin = _python_twin(qualname, params)
        for args, kwargs in CALLS:
            try:
                twin(*args, **kwargs)
            except TypeError as error:
                cases.append(pytest.param(native, args, kwargs, str(error), id=str(error)))
    return cases


@pytest.mark.parametrize(("native", "args", "kwargs", "message"), _failing_calls())
def test_argument_errors_match_the_interpreter(native, args, kwargs, message):
    with pytest.raises(TypeError) as got:
        native()(*args, **kwargs)
    assert str(got.value) == message


def test_non_string_keywords_are_refused():
    with pytest.raises(TypeError, match="keywords must be strings"):
        drv._to_driver_shadow_(**{1: 2})


def test_reimport_returns_the_same_module():
    module = sys.modules.pop("orv._algos.geo.driver")
    try:
        again = importlib.import_module("orv._algos.geo.driver")
        assert again is module
        assert again.Driver is drv.Driver
    finally:
        sys.modules["orv._algos.geo.driver"] = module


def test_executing_another_module_object_is_refused():
    spec = importlib.util.find_spec("orv._algos.geo.driver")
    fresh = importlib.util.module_from_spec(spec)
    assert fresh is drv  # the create step hands back the executed module
    spec.loader.exec_module(fresh)  # executing it again does nothing
    assert fresh.Driver is drv.Driver


SUBINTERPRETER = textwrap.dedent(
    """
    import sys
    sys.path[:] = {path!r}
    try:
        import orv._algos.geo.driver
    except ImportError as error:
        result = str(error)
    else:
        result = "imported"
    """
)


@pytest.mark.parametrize("config", ["legacy", "isolated"])
def test_second_interpreter_is_refused(config, tmp_path):
    interpreters = pytest.importorskip("_interpreters")
    out = tmp_path / "result.txt"
    script = SUBINTERPRETER.format(path=sys.path) + f"open({str(out)!r}, 'w').write(result)\n"
    interp = interpreters.create(config)
    try:
        interpreters.run_string(interp, script)
    finally:
        interpreters.destroy(interp)
    assert out.read_text() == (
        "Interpreter change detected - this module can only be loaded into one interpreter "
        "per process."
    )


def test_module_links_no_gdal_library():
    # GDAL is reached through the binding only: the binary names no GDAL library to load.
    binary = pathlib.Path(drv.__file__).read_bytes()
    assert b"libgdal" not in binary and b"GDALGetDriver" not in binary


def test_names_rebound_after_use_are_seen_by_the_next_call(monkeypatch):
    from osgeo import _gdal

    d = drv.Driver("GTiff")
    assert d.is_raster is True  # warm every lookup on the way
    # A service rebound on the driver module.
    monkeypatch.setattr(drv, "_gdal", FakeGdalModule(_gdal, {"DCAP_RASTER": "no"}))
    assert d.is_raster is False
    monkeypatch.undo()
    assert d.is_raster is True
    # A function rebound inside the service module itself.
    monkeypatch.setattr(_gdal, "MajorObject_GetMetadataItem", lambda handle, key: "yes")
    assert d.is_vector is True
    monkeypatch.undo()
    assert d.is_vector is False
    # A name removed from the module is looked up in the builtins, then missing.
    monkeypatch.delattr(drv, "_gdal")
    with pytest.raises(NameError, match="^name '_gdal' is not defined$"):
        _ = d.name
    import builtins

    monkeypatch.setattr(builtins, "_gdal", _gdal, raising=False)
    assert d.name == "GTiff"


class FakeGdalModule:
    """Answers metadata from a dict and everything else from the real binding."""

    def __init__(self, real, items):
        self._real = real
        self._items = items

    def MajorObject_GetMetadataItem(self, handle, key):
        return self._items.get(key)

    def __getattr__(self, name):
        return getattr(self._real, name)
