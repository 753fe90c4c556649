"""Call a function of GDAL's binding and turn a GDAL failure into an exception."""

import functools
import weakref
from collections.abc import Callable, Mapping
from typing import Any

from osgeo import _gdal, gdal

from ._gdalargs import integer, option_list, path_string, plain_scalar, str_list
from ._gdalerrors import GDALMessages
from ._mempath import discard_mem_temp_path, is_mem_temp_path


def _keep(value, what):
    return value


# What each argument of the binding functions the package calls means, by position. The
# binding takes only str for paths, plain int for sizes and lists of str for options; any
# other function gets the generic treatment of plain_scalar (and mappings become options).
_PARAMETERS = {
    _gdal.Driver_Create: (
        ("driver", _keep),
        ("path", path_string),
        ("column count", integer),
        ("row count", integer),
        ("band count", integer),
        ("data type code", integer),
        ("creation options", option_list),
    ),
    _gdal.Driver_CreateCopy: (
        ("driver", _keep),
        ("path", path_string),
        ("source dataset", _keep),
        ("strict", integer),
        ("creation options", option_list),
    ),
    _gdal.OpenEx: (
        ("path", path_string),
        ("open flags", integer),
        ("allowed drivers", str_list),
        ("open options", option_list),
        ("sibling files", functools.partial(str_list, paths=True)),
    ),
}

# Position of the creation options in the calls that make a dataset.
_CREATION_OPTIONS_AT = {_gdal.Driver_Create: 6, _gdal.Driver_CreateCopy: 4}
# Creation options a dataset was made with, for copies that should look the same:
# dataset -> (driver short name, "NAME=VALUE" list).
_creation_records: weakref.WeakKeyDictionary[object, tuple[str, list[str]]] = (
    weakref.WeakKeyDictionary()
)


def creation_record(dataset: object) -> tuple[str, list[str]] | None:
    """(driver short name, creation options) of a dataset that call_gdal_fun created, or None."""
    try:
        return _creation_records.get(dataset)
    except TypeError:  # not weakly referenceable, so not one of ours
        return None


def _lookup(table, fun):
    try:
        return table.get(fun)
    except TypeError:  # an unhashable callable is none of the binding's functions
        return None


def _binding_args(fun, args):
    parameters = _lookup(_PARAMETERS, fun) or ()
    name = getattr(fun, "__name__", "GDAL call")
    converted = []
    for index, arg in enumerate(args):
        if index < len(parameters):
            what, convert = parameters[index]
            converted.append(convert(arg, f"{name}: {what}"))
        elif isinstance(arg, Mapping):
            converted.append(option_list(arg))
        else:
            converted.append(plain_scalar(arg))
    return tuple(converted)


def call_gdal_fun(fun: Callable[..., Any], *args: object) -> Any:
    """``fun(*args)`` for a function of osgeo._gdal, raising GDALError when GDAL fails.

    This is the one place where arguments become what the binding takes: for the functions
    the package calls (Driver_Create, Driver_CreateCopy, OpenEx) each argument is checked
    and converted by its meaning (os.PathLike paths to str, numpy integers to int, bools and
    floats refused with TypeError, option mappings to GDAL's "NAME=VALUE" list); for any
    other function mappings become option lists, numpy integers int and paths str.
    A call fails when it returns None or GDAL reports a CE_Failure/CE_Fatal during it; the
    exception carries GDAL's messages (decoded leniently) and a partial result is dropped,
    together with the files of a fresh temporary path it wrote. GDAL warnings of a successful
    call become Python warnings (GDALWarning). GDAL's own exception mode is left as the user
    set it.
    """
    fresh_temp_paths = [
        arg
        for arg in args
        if isinstance(arg, str) and is_mem_temp_path(arg) and gdal.VSIStatL(arg) is None
    ]
    try:
        args = _binding_args(fun, args)
        with GDALMessages(getattr(fun, "__name__", "GDAL call")) as messages:
            result = fun(*args)
        failure = messages.error("no result and no message from GDAL" if result is None else None)
        if failure is not None:
            result = None  # a half-made dataset is closed here, before its files go
            raise failure
    except BaseException:
        for path in fresh_temp_paths:
            discard_mem_temp_path(path)
        raise
    messages.emit()
    options_at = _lookup(_CREATION_OPTIONS_AT, fun)
    if options_at is not None:
        options = args[options_at] if len(args) > options_at else []
        _remember_creation(result, args[0], options)
    return result


def _remember_creation(dataset, driver, options):
    try:
        name = _gdal.Driver_ShortName_get(driver)
        _creation_records[dataset] = (name, list(options))
    except TypeError:  # a handle or dataset the binding or weakref cannot take: nothing to keep
        pass
