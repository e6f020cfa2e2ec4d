"""KESTOR fiscal registers from Python, through the driver's C interface.

    import kestor
    from decimal import Decimal

    with kestor.Register(port=1) as reg:          # opens the connection, closes it after
        print(reg.ModelName)                      # a property of the driver
        reg.OpenReceipt("motSale")                # an operation, by the driver's name
        reg.AddReceiptItem("Хлеб", Decimal("45.00"), False, 1, 0, 0, 2, 0, 0, "")
        reg.CloseReceipt("", "mptCash", Decimal("100.00"), Decimal("0"), "", 0, "moiNumber")

Arguments go in the driver's order; trailing ones with a default may be left out. Money is
Decimal (or its text), date-times are datetime, enumerations their names as
strings, sets an int bit mask or a list of member names. A failing call raises KestorError.

The library is the one KESTOR_LIBRARY names, else libkestor.so.1 found by the system's loader
(on Windows kestor.dll, beside this module or in the folder above it, else the system's). A Register is used by one thread at a time; abort() may be
called from any thread while a call runs.
"""

from __future__ import annotations

import ctypes
import datetime
import decimal
import json
import os
import re
import sys
import threading
from typing import Any, Callable, Optional

__all__ = ["Register", "KestorError", "library_version"]

# The properties whose values are money; everything else keeps its JSON type.
_MONEY = frozenset({"SaleSum", "BuyingSum", "LastDocSum", "LastBuyingSum"})
_ISO_DATE_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d")

EventHandler = Callable[[dict], Any]
_HANDLER = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)


class KestorError(Exception):
    """A call the driver refused or that failed on the register."""

    def __init__(self, message: str, code: int = 0, code_ex: int = 0,
                 exception: Optional[str] = None) -> None:
        super().__init__(message)
        self.message = message
        self.code = code          # the driver's ErrCode
        self.code_ex = code_ex    # ErrCodeEx: the register's or the system's own code
        self.exception = exception  # the driver's exception class, e.g. "EKestEcrError"


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def _load() -> ctypes.CDLL:
    global _library
    with _lock:
        if _library is None:
            name = os.environ.get("KESTOR_LIBRARY") or _default_library()
            lib = ctypes.CDLL(name)
            lib.kestor_create.restype = ctypes.c_void_p
            lib.kestor_create.argtypes = []
            lib.kestor_destroy.argtypes = [ctypes.c_void_p]
            # A void pointer, not c_char_p: the answer is freed by kestor_free.
            lib.kestor_call.restype = ctypes.c_void_p
            lib.kestor_call.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
            lib.kestor_free.argtypes = [ctypes.c_void_p]
            lib.kestor_abort.argtypes = [ctypes.c_void_p]
            lib.kestor_set_event_handler.argtypes = [ctypes.c_void_p, _HANDLER, ctypes.c_void_p]
            lib.kestor_version.restype = ctypes.c_char_p
            _library = lib
        return _library


def _default_library() -> str:
    if sys.platform != "win32":
        return "libkestor.so.1"
    # Windows looks for a DLL beside python.exe, not beside this module: the
    # Windows archive has kestor.dll one folder above it.
    here = os.path.dirname(os.path.abspath(__file__))
    for folder in (here, os.path.dirname(here)):
        if os.path.exists(os.path.join(folder, "kestor.dll")):
            return os.path.join(folder, "kestor.dll")
    return "kestor.dll"


def library_version() -> str:
    """The driver library's version, "1.2.101"."""
    return _load().kestor_version().decode()


def _to_json(value: Any) -> Any:
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, decimal.Decimal):
        return format(value, "f")
    if isinstance(value, datetime.datetime):
        return value.replace(microsecond=0, tzinfo=None).isoformat()
    if isinstance(value, datetime.date):
        return datetime.datetime.combine(value, datetime.time()).isoformat()
    if isinstance(value, (bytes, bytearray)):
        return value.hex(" ")
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_to_json(item) for item in value]
    return value


def _from_json(name: str, value: Any) -> Any:
    if isinstance(value, str):
        if name in _MONEY:
            return decimal.Decimal(value)
        if _ISO_DATE_TIME.fullmatch(value):
            return datetime.datetime.fromisoformat(value)
    return value


class Register:
    """One register: the driver's properties as attributes, its operations as methods."""

    def __init__(self, port: int = 1, baud: Optional[int] = None,
                 password: Optional[str] = None) -> None:
        lib = _load()
        handle = lib.kestor_create()
        if not handle:
            raise MemoryError("kestor_create")
        object.__setattr__(self, "_lib", lib)
        object.__setattr__(self, "_handle", handle)
        object.__setattr__(self, "_kinds", {})       # name -> "get" or "op"
        object.__setattr__(self, "_on_event", None)
        object.__setattr__(self, "_callback", None)  # kept alive while set
        object.__setattr__(self, "_event_error", None)
        self.PortNum = port
        if baud is not None:
            self.BaudRate = baud
        if password is not None:
            self.Password = password

    # -- the C interface

    def call(self, request: dict) -> Any:
        """Runs one rpc request object; returns its result or raises KestorError."""
        handle = self._handle
        if not handle:
            raise ValueError("the register object has been closed")
        raw = self._lib.kestor_call(handle, json.dumps(request).encode())
        if not raw:
            raise MemoryError("kestor_call")
        try:
            answer = json.loads(ctypes.string_at(raw).decode())
        finally:
            self._lib.kestor_free(raw)
        error, self._event_error = self._event_error, None
        if error is not None:
            raise error
        if not answer.get("ok"):
            raise KestorError(answer.get("ErrMessage") or answer.get("error", ""),
                              answer.get("ErrCode", 0), answer.get("ErrCodeEx", 0),
                              answer.get("exception"))
        name = request.get("get") or request.get("op") or ""
        return _from_json(name, answer.get("result"))

    def abort(self) -> None:
        """Ends the call running on this register (from any thread)."""
        if self._handle:
            self._lib.kestor_abort(self._handle)

    def close(self) -> None:
        """Closes the connection, if open, and frees the driver object."""
        handle, self._handle = self._handle, None
        if handle:
            self._lib.kestor_destroy(handle)

    def __del__(self) -> None:
        if getattr(self, "_handle", None):
            self.close()

    def __enter__(self) -> "Register":
        self.Open()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.Connected:
            self.Close()

    # -- events

    @property
    def on_event(self) -> Optional[EventHandler]:
        """Called with each event (a dict, "event" naming it) on the calling thread. For the
        questions "no-response", "printer-error" and "display-error", a true value waits or
        tries again; anything else gives up. An exception it raises ends the call with it."""
        return self._on_event

    @on_event.setter
    def on_event(self, handler: Optional[EventHandler]) -> None:
        callback = None
        if handler is not None:
            def relay(_context: Any, event: bytes) -> int:
                try:
                    return 1 if handler(json.loads(event.decode())) else 0
                except BaseException as error:  # raised again when the call returns
                    if self._event_error is None:
                        self._event_error = error
                    return 0
            callback = _HANDLER(relay)
        self._lib.kestor_set_event_handler(self._handle, callback or _HANDLER(), None)
        object.__setattr__(self, "_on_event", handler)
        object.__setattr__(self, "_callback", callback)

    # -- the driver's names

    def _kind(self, name: str) -> str:
        kind = self._kinds.get(name)
        if kind is None:
            # A property answers a "get"; any other name is taken for an operation.
            raw = self._lib.kestor_call(self._handle, json.dumps({"get": name}).encode())
            try:
                answer = json.loads(ctypes.string_at(raw).decode())
            finally:
                self._lib.kestor_free(raw)
            kind = "op" if "unknown property" in answer.get("error", "") else "get"
            self._kinds[name] = kind
        return kind

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_") or not name[:1].isupper():
            raise AttributeError(name)
        if self._kind(name) == "get":
            return self.call({"get": name})

        def operation(*args: Any) -> Any:
            return self.call({"op": name, "args": [_to_json(arg) for arg in args]})
        operation.__name__ = name
        return operation

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("_") or not name[:1].isupper():
            object.__setattr__(self, name, value)
        else:
            self.call({"set": name, "value": _to_json(value)})
