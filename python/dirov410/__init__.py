"""dirov410: drive the dirov410 USB interface board from Python.

A thin, Pythonic layer over the library's C API (loaded with ctypes; no compiler needed):

>>> import dirov410
>>> with dirov410.Board() as board:
...     print(board.serial, hex(board.firmware_version))
...     with board.capture(limit=1 << 20) as stream:
...         for block in stream:      # zero-copy NumPy views of the packets
...             ...

The library is taken from DIROV410_LIBRARY, from beside this package, or from the system
loader. `dirov410.sim` is the simulated board, `dirov410.dfu` the DFU file helpers.
"""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from typing import Any, Callable, List, Optional

from . import _lib
from .board import Board, ConnState, Reply
from .capture import Capture, CaptureStats, Packet, VirtualBuffer, numpy_available
from .errors import DirovError, windows_error_name
from . import errors as _errors
from . import dfu, sim  # noqa: E402 - after the names they use

__all__ = ["Board", "ConnState", "Reply", "Capture", "CaptureStats", "Packet", "VirtualBuffer",
           "DirovError", "DeviceInfo", "dfu", "sim", "numpy_available", "windows_error_name",
           "library_path", "library_version", "list_devices", "select_device",
           "set_log_handler", "LOG_ERROR", "LOG_WARNING", "LOG_INFO"]
__version__ = "0.1.0"

LOG_ERROR, LOG_WARNING, LOG_INFO = 1, 2, 3


def library_path() -> str:
    """The file the library was loaded from."""
    return _lib.path()


def _need(name: str) -> Callable[..., Any]:
    fn = _lib.optional(name)
    if fn is None:
        raise NotImplementedError(f"the loaded library ({library_path()}) lacks {name}")
    return fn


def library_version() -> Optional[str]:
    """The library's "MAJOR.MINOR.PATCH", or None when it does not tell."""
    fn = _lib.optional("dirov_version")
    return fn().decode() if fn else None


@dataclass(frozen=True)
class DeviceInfo:
    """One board interface present on the machine."""
    path: str
    serial: str
    vendor_id: int
    product_id: int


def list_devices(bootloader: bool = False) -> List[DeviceInfo]:
    """The boards present, in enumeration order: their main firmware interfaces, or with
    bootloader=True their bootloader (DFU) interfaces."""
    fn = _need("dirov_list_devices")
    guid = ctypes.byref(_lib.GUID.in_dll(_lib.lib, "GUID_DFU_MAIN_INTERFACE")) if bootloader else None
    while True:
        capacity = max(fn(guid, None, 0), 0)
        infos = (_lib.DeviceInfo * max(capacity, 1))()
        count = fn(guid, infos, capacity)
        if count <= capacity:
            return [DeviceInfo(i.path.decode(errors="replace"), i.serial.decode(errors="replace"),
                               i.vendor_id, i.product_id) for i in infos[:max(count, 0)]]


def select_device(serial: Optional[str]) -> None:
    """From now on only the board with this serial is used (None: any board)."""
    if _need("dirov_select_device")(serial.encode() if serial else None) != 0:
        raise DirovError("dirov_select_device", detail=repr(serial))


_log_callback = None


def set_log_handler(handler: Optional[Callable[[int, str], None]]) -> None:
    """Routes the library's diagnostic lines to handler(level, line) (LOG_ERROR, LOG_WARNING,
    LOG_INFO), called from whichever thread logs. None restores the package's own route: every
    line to logging.getLogger("dirov410") at the matching level (ERROR, WARNING, INFO), which
    is in force from import on, so the library never prints on stdout or stderr itself."""
    global _log_callback
    setter = _need("dirov_set_log_handler")
    target = _errors.log_line if handler is None else handler

    def forward(_user: object, level: int, line: bytes) -> None:
        target(level, line.decode(errors="replace"))
    callback = _lib.LOG_FN(forward)
    setter(callback, None)
    _log_callback = callback  # the library keeps calling it: keep it alive


if _lib.optional("dirov_set_log_handler") is not None:
    set_log_handler(None)
