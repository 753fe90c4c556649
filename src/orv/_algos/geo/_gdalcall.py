"""Call a function of GDAL's binding and turn a GDAL failure into an exception."""

import warnings
from collections.abc import Mapping

from osgeo import _gdal, gdal

from ...error import GDALError
from ._gdalargs import option_strings
from ._mempath import discard_mem_temp_path, is_mem_temp_path

_FAILURE = (gdal.CE_Failure, gdal.CE_Fatal)


class _ErrorCollector:
    """Collect GDAL's messages during one call instead of printing them."""

    def __init__(self):
        self.messages = []

    def __call__(self, err_class, err_no, message):
        if err_class >= gdal.CE_Warning:
            self.messages.append((err_class, message))

    def __enter__(self):
        _gdal.ErrorReset()
        gdal.PushErrorHandler(self)
        return self

    def __exit__(self, *exc_info):
        gdal.PopErrorHandler()


def call_gdal_fun(fun, *args):
    """``fun(*args)`` for a function of osgeo._gdal, raising GDALError when GDAL fails.

    Every mapping argument (creation or open options) is passed as GDAL's "NAME=VALUE" list.
    A call fails when it returns None or leaves a CE_Failure/CE_Fatal error behind; the
    exception carries GDAL's messages and a partial result is dropped, together with the files
    of a fresh temporary path it wrote. GDAL warnings of a successful call become Python
    warnings. GDAL's own exception mode is left as the user set it.
    """
    args = tuple(option_strings(arg) if isinstance(arg, Mapping) else arg for arg in args)
    fresh_temp_paths = [
        arg
        for arg in args
        if isinstance(arg, str) and is_mem_temp_path(arg) and gdal.VSIStatL(arg) is None
    ]
    try:
        with _ErrorCollector() as collector:
            result = fun(*args)
        if result is None or _gdal.GetLastErrorType() in _FAILURE:
            result = None  # a half-made dataset is closed here, before its files go
            raise GDALError(_failure_message(fun, collector.messages))
    except BaseException:
        for path in fresh_temp_paths:
            discard_mem_temp_path(path)
        raise
    for _, message in collector.messages:
        warnings.warn(f"GDAL: {message}", RuntimeWarning, stacklevel=2)
    return result


def _failure_message(fun, messages):
    name = getattr(fun, "__name__", "GDAL call")
    texts = list(dict.fromkeys(text for level, text in messages if level in _FAILURE))
    if not texts:
        texts = [_gdal.GetLastErrorMsg() or "no result and no message from GDAL"]
    if len(texts) > 5:
        texts = texts[:5] + [f"... ({len(texts) - 5} more)"]
    return f"{name} failed: " + "; ".join(texts)
