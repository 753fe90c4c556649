"""GDAL's messages captured per call: a failure raises, a warning becomes a Python warning.

While a capture is active, GDAL's messages of this thread go to the capture instead of being
printed. The handler is installed through GDAL's C API (CPLPushErrorHandlerEx), reached with
ctypes through the binding's own extension module, so it is the very library the binding
uses. A Python function given to the binding's ``gdal.PushErrorHandler`` is not enough: the
binding decodes each message as strict UTF-8 before calling it, and a message that is not
(GDAL quotes bytes of broken files) ends the call with SystemError and loses the message.
Here the message arrives as bytes and is decoded leniently.
"""

import ctypes
import functools
import logging
import os
import threading
import warnings
from collections.abc import Callable
from types import TracebackType
from typing import Any

from osgeo import _gdal, gdal

from ...error import GDALError, GDALWarning

# Most failure texts a message keeps; the rest are counted.
MAX_MESSAGES = 5

_FAILURE = (gdal.CE_Failure, gdal.CE_Fatal)
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_log = logging.getLogger("orv.gdal")

_HandlerType = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_library = ctypes.CDLL(_gdal.__file__)  # its symbol lookup reaches the libgdal it links
_push_handler = _library.CPLPushErrorHandlerEx
_push_handler.argtypes = [_HandlerType, ctypes.c_void_p]
_push_handler.restype = None
_pop_handler = _library.CPLPopErrorHandler
_pop_handler.argtypes = []
_pop_handler.restype = None

# GDAL's handler stack is per thread, and so is the stack of active captures.
_active = threading.local()


def _collect(err_class: int, err_no: int, message: bytes | None) -> None:
    stack = getattr(_active, "stack", None)
    if stack:
        text = (message or b"").decode("utf-8", errors="replace")
        stack[-1].append((err_class, err_no, text))


_handler = _HandlerType(_collect)  # kept alive for as long as the module is


class GDALMessages:
    """What GDAL reported while the capture was active: [(class, error number, text)]."""

    def __init__(self, what: str) -> None:
        self.what = what
        self.messages: list[tuple[int, int, str]] = []

    def __enter__(self) -> "GDALMessages":
        stack = getattr(_active, "stack", None)
        if stack is None:
            stack = _active.stack = []
        stack.append(self.messages)
        _push_handler(_handler, None)
        return self

    def __exit__(self, *exc_info: object) -> None:
        _pop_handler()
        _active.stack.pop()

    @property
    def failures(self) -> list[str]:
        """Failure texts, each once, in the order GDAL gave them."""
        texts = (text for level, _, text in self.messages if level in _FAILURE)
        return list(dict.fromkeys(texts))

    def error(self, fallback: str | None = None) -> GDALError | None:
        """GDALError with GDAL's failure texts (or ``fallback`` when there are none), or None."""
        texts = self.failures or ([fallback] if fallback else [])
        if not texts:
            return None
        if len(texts) > MAX_MESSAGES:
            texts = texts[:MAX_MESSAGES] + [f"... ({len(texts) - MAX_MESSAGES} more)"]
        return GDALError(f"{self.what} failed: " + "; ".join(texts))

    def emit(self) -> None:
        """Warnings as Python warnings (attributed to the caller outside orv), debug to logging."""
        for level, _, text in self.messages:
            if level == gdal.CE_Warning:
                warnings.warn(
                    GDALWarning(f"GDAL: {text}"), stacklevel=2, skip_file_prefixes=(_PACKAGE_DIR,)
                )
            elif level == gdal.CE_Debug:
                _log.debug("%s", text)


def quiet() -> GDALMessages:
    """A capture whose messages are dropped: for probes whose failure is an answer."""
    return GDALMessages("probe")


class captured:  # noqa: N801 - used like a function: ``with captured("read"):``
    """Run a block with GDAL's messages captured: raise GDALError on a failure, else warn.

    An exception raised inside the block wins; GDAL's failure texts are added to it as a note.
    """

    def __init__(self, what: str) -> None:
        self._messages = GDALMessages(what)

    def __enter__(self) -> GDALMessages:
        return self._messages.__enter__()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self._messages.__exit__()
        failure = self._messages.error()
        if exc is not None:
            if failure is not None:
                exc.add_note(f"GDAL: {failure}")
            return
        if failure is not None:
            raise failure
        self._messages.emit()


def gdal_errors[**P, R](fun: Callable[P, R]) -> Callable[P, R]:
    """Decorator: every call of ``fun`` runs inside ``captured`` named after it."""
    what = fun.__qualname__

    @functools.wraps(fun)
    def with_gdal_errors(*args: P.args, **kwargs: P.kwargs) -> R:
        with captured(what):
            return fun(*args, **kwargs)

    return with_gdal_errors


def call(method: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
    """``method(*args, **kwargs)`` inside ``captured``, named after the method."""
    with captured(getattr(method, "__name__", "GDAL call")):
        return method(*args, **kwargs)


def checked(method: Callable[..., Any], *args: Any) -> Any:
    """``call`` for a method that also reports failure by a non-zero error code (CPLErr,
    OGRErr) without a message."""
    code = call(method, *args)
    if isinstance(code, int) and not isinstance(code, bool) and code != 0:
        name = getattr(method, "__name__", "GDAL call")
        raise GDALError(f"{name} failed with error code {code}")
    return code
