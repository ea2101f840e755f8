"""Loads the dirov410 shared library and declares the C signatures the package uses."""

from __future__ import annotations

import ctypes
import ctypes.util
import json
import os
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

LIBRARY_ENV = "DIROV410_LIBRARY"

u8, u16, u32, u64 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64
i32, i64, f32 = ctypes.c_int32, ctypes.c_int64, ctypes.c_float
ptr, char_p = ctypes.c_void_p, ctypes.c_char_p
u8_p = ctypes.POINTER(ctypes.c_uint8)


class CommandReply(ctypes.Structure):
    _fields_ = [("Command", ctypes.c_char * 128), ("Type", ctypes.c_char * 128),
                ("Data", u8_p), ("DataLength", u8), ("Error", ctypes.c_char * 128)]


class PayloadPart(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("Length", u32), ("Data", ptr)]


class ItfOpenResult(ctypes.Structure):
    _fields_ = [("ConnState", i32), ("BootloaderVersion", u32), ("FirmwareValid", i32)]


class DataPacket(ctypes.Structure):
    _fields_ = [("id", i32), ("size", i32), ("lock", i32), ("data", ptr), ("next", ptr),
                ("last", ptr)]


class VirtualBuffer(ctypes.Structure):
    _fields_ = [("size", i32), ("overlap", i32), ("lastCounter", u32), ("newestPkt", ptr),
                ("index", i32), ("firstPkt", ptr), ("pktCount", i32), ("offset", i32),
                ("samples", i32)]


class DfuSuffix(ctypes.Structure):
    _fields_ = [("bcdDevice", u16), ("idProduct", u16), ("idVendor", u16), ("bcdDFU", u16),
                ("ucDfuSignature", u8 * 3), ("bLength", u8), ("dwCRC", u32)]


class GUID(ctypes.Structure):
    _fields_ = [("Data1", u32), ("Data2", u16), ("Data3", u16), ("Data4", u8 * 8)]


class CaptureStats(ctypes.Structure):
    _fields_ = [(name, u64) for name in ("transfers", "bytes", "dropped_transfers",
                                         "dropped_bytes", "store_bytes", "store_peak_bytes")]


class DeviceInfo(ctypes.Structure):
    _fields_ = [("path", ctypes.c_char * 260), ("serial", ctypes.c_char * 128),
                ("vendor_id", u16), ("product_id", u16)]


class SimConfig(ctypes.Structure):
    _fields_ = [("face", ctypes.c_int), ("serial", char_p), ("vendor_id", u16),
                ("product_id", u16), ("firmware_version", u32), ("bootloader_version", u32),
                ("firmware_valid", i32), ("main_running", i32), ("runtime_dfu", i32),
                ("reenumerate_ms", u32), ("transfer_size", u16), ("poll_timeout_ms", u32)]


class SimEvent(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int), ("board", i32), ("time_ms", u64), ("ep", u8),
                ("bmRequestType", u8), ("bRequest", u8), ("wValue", u16), ("wIndex", u16),
                ("wLength", u16), ("value", u32), ("length", u32), ("data", u8_p)]


DFU_PROGRESS = ctypes.CFUNCTYPE(None, u32, u32, ptr)
LOG_FN = ctypes.CFUNCTYPE(None, ptr, i32, char_p)
H = ptr  # WINUSB_INTERFACE_HANDLE


def _command_table() -> List[Dict[str, Any]]:
    """The board commands with their arguments and what each means: the table that also
    feeds the C reference and dirovctl's help (commands/commands.json)."""
    text = (Path(__file__).resolve().parent / "commands.json").read_text(encoding="utf-8")
    table: List[Dict[str, Any]] = json.loads(text)["commands"]
    return table


COMMAND_TABLE = _command_table()
# Argument kinds of the board commands after the handle (bytes_in/bytes_out: pointers); the
# Python layer checks each number against its C type before the call.
COMMANDS: Dict[str, str] = {c["name"]: " ".join(a["type"] for a in c["args"])
                            for c in COMMAND_TABLE}
CTYPES = {"u8": u8, "u16": u16, "u32": u32, "i32": i32, "f32": f32, "bytes_in": ptr,
          "bytes_out": ptr}

_PROTOTYPES: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "usb_comms": (ctypes.POINTER(CommandReply), [H, char_p, i32, ptr]),
    "Hx410DItfOpen": (ItfOpenResult, []),
    "Hx410DItfClose": (i32, []),
    "_GetDeviceData": (ptr, []),
    "_GetWinUsbHandle": (H, []),
    "CloseDevice": (None, [ptr]),
    "GetDeviceSerialNumber": (i32, [ptr, i32]),
    "dirov_get_last_error": (u32, []),
    "dirov_set_last_error": (None, [u32]),
    "StartCaptureWorker": (i32, []),
    "StopCaptureWorker": (i32, []),
    "GetNextPacket": (ptr, []),
    "GetPendingCnt": (i32, []),
    "StartSaveWorker": (i32, [char_p, i32]),
    "StopSaveWorker": (i32, [i32]),
    "RegisterBufferCb": (i32, []),
    "UnregisterBufferCb": (i32, []),
    "CreateNewBuffer": (ctypes.POINTER(VirtualBuffer), [i32, i32]),
    "RemoveBuffer": (None, [ctypes.POINTER(VirtualBuffer)]),
    "GetBufferData": (i32, [ctypes.POINTER(VirtualBuffer)]),
    "ExtractBuffData": (i32, [ptr, ctypes.POINTER(VirtualBuffer)]),
    "FirmwareUpgrade": (i32, [char_p]),
    "dirov_set_dfu_progress": (None, [DFU_PROGRESS, ptr]),
    "dfu_get_last_error": (i32, []),
    "dfu_get_error_str": (char_p, [i32]),
    "dfu_file_create": (i32, [char_p, char_p, u32, ptr, ptr]),
    "dfu_file_read": (i32, [char_p, ctypes.POINTER(u8_p), ctypes.POINTER(u32)]),
    "dfu_file_new_suffix": (i32, [ctypes.POINTER(DfuSuffix), u32, u16, u16, u32]),
    "dfu_file_read_suffix": (i32, [ptr, ctypes.POINTER(DfuSuffix)]),
    "dfu_file_add_suffix": (i32, [ptr, ctypes.POINTER(DfuSuffix)]),
    "dfu_file_remove_suffix": (i32, [ptr]),
    "dfu_file_check_suffix": (i32, [ptr]),
    "dfu_file_verify_suffix": (i32, [ctypes.POINTER(DfuSuffix)]),
    # Simulated board.
    "dirov_sim_config_init": (None, [ctypes.POINTER(SimConfig)]),
    "dirov_sim_attach": (ptr, [ctypes.POINTER(SimConfig)]),
    "dirov_sim_detach": (None, [ptr]),
    "dirov_sim_reset": (None, []),
    "dirov_sim_set_face": (None, [ptr, ctypes.c_int, u32]),
    "dirov_sim_get_face": (ctypes.c_int, [ptr]),
    "dirov_sim_use_virtual_clock": (None, [ctypes.c_int]),
    "dirov_sim_clock_ms": (u64, []),
    "dirov_sim_advance_clock": (None, [u64]),
    "dirov_sim_set_firmware_replies": (None, [ptr, ctypes.c_int]),
    "dirov_sim_queue_in": (i32, [ptr, u8, ptr, u32]),
    "dirov_sim_pending_in": (u32, [ptr, u8]),
    "dirov_sim_stream_set_pattern": (None, [ptr, ctypes.c_int]),
    "dirov_sim_stream_set_transfer_size": (None, [ptr, u32]),
    "dirov_sim_stream_set_rate": (None, [ptr, u64]),
    "dirov_sim_stream_restart": (None, [ptr]),
    "dirov_sim_stream_produced": (u64, [ptr]),
    "dirov_sim_stream_counter_byte": (u8, [u64]),
    "dirov_sim_event_count": (u32, []),
    "dirov_sim_event_get": (i32, [u32, ctypes.POINTER(SimEvent)]),
    "dirov_sim_clear_events": (None, []),
    "dirov_sim_fail_nth": (None, [ctypes.c_int, u32, u32]),
    "dirov_sim_clear_faults": (None, []),
    "dirov_sim_dfu_stall_block": (None, [ptr, u16, u8]),
    "dirov_sim_dfu_status_at_block": (None, [ptr, u16, u8]),
    "dirov_sim_dfu_stay_busy": (None, [ptr, u32]),
    "dirov_sim_short_reply": (None, [ptr, u8, u8, u32]),
    "dirov_sim_never_return": (None, [ptr, ctypes.c_int]),
    "dirov_sim_dfu_state": (i32, [ptr]),
    "dirov_sim_firmware_valid": (i32, [ptr]),
    "dirov_sim_firmware_image": (u32, [ptr, ptr, u32]),
    "dirov_sim_firmware_version": (u32, [ptr]),
}

# Bound only when the loaded library has them.
_OPTIONAL: Dict[str, Tuple[Any, Sequence[Any]]] = {
    "dirov_get_capture_stats": (i32, [ctypes.POINTER(CaptureStats)]),
    "dirov_packet_stream_offset": (i64, [ptr]),
    "dirov_set_log_handler": (None, [LOG_FN, ptr]),
    "dirov_version": (char_p, []),
    "dirov_list_devices": (i32, [ctypes.POINTER(GUID), ctypes.POINTER(DeviceInfo), i32]),
    "dirov_select_device": (i32, [char_p]),
    "dirov_strerror": (char_p, [u32]),
    "dirov_set_timeout": (i32, [u32]),
    "dirov_get_timeout": (u32, []),
    "dirov_get_next_packet": (ptr, [u32]),
    "dirov_sim_set_silent": (None, [ptr, ctypes.c_int]),
}


def _library_name() -> str:
    return "dirov410.dll" if sys.platform == "win32" else "libdirov410.so"


def _candidates() -> Sequence[str]:
    """Where the library is looked for: the environment, beside the package (a wheel
    carries it there), then the system loader (an installed libdirov410 package)."""
    found = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        return [env]  # an explicit choice is never overridden by another copy
    beside = Path(__file__).resolve().parent / _library_name()
    if beside.exists():
        found.append(str(beside))
    # find_library gives the installed soname (libdirov410.so.0.N), which the
    # runtime package has without the development package's libdirov410.so.
    found.append(ctypes.util.find_library("dirov410") or _library_name())
    return found


def _load() -> ctypes.CDLL:
    errors = []
    for path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append(f"{path}: {e}")
    raise ImportError("cannot load the dirov410 library (set " + LIBRARY_ENV + " to its path): "
                      + "; ".join(errors))


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = restype, list(argtypes)
    for name, kinds in COMMANDS.items():
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = i32, [H] + [CTYPES[k] for k in kinds.split()]
    for name, (restype, argtypes) in _OPTIONAL.items():
        if hasattr(lib, name):
            fn = getattr(lib, name)
            fn.restype, fn.argtypes = restype, list(argtypes)


def _c_runtime() -> ctypes.CDLL:
    """The C runtime the library is built against, for its FILE streams."""
    if sys.platform == "win32":
        return ctypes.CDLL("msvcrt")
    return ctypes.CDLL(None)


lib = _load()
_declare(lib)
libc = _c_runtime()
# The library's memory goes back through the library, whatever runtime Python uses.
lib.dirov_free.argtypes, lib.dirov_free.restype = [ptr], None
free = lib.dirov_free
libc.fopen.argtypes, libc.fopen.restype = [char_p, char_p], ptr
libc.fclose.argtypes, libc.fclose.restype = [ptr], ctypes.c_int

# A read-only memoryview over foreign memory, without a copy.
_memory_view = ctypes.pythonapi.PyMemoryView_FromMemory
_memory_view.argtypes, _memory_view.restype = [ptr, ctypes.c_ssize_t, ctypes.c_int], ctypes.py_object
PYBUF_READ = 0x100


def memory_view(address: int, size: int) -> memoryview:
    return _memory_view(address, size, PYBUF_READ)


def optional(name: str) -> Optional[Callable[..., Any]]:
    """The C function `name` when the loaded library exports it, else None."""
    return getattr(lib, name) if name in _OPTIONAL and hasattr(lib, name) else None


def path() -> str:
    """The file the library was loaded from."""
    return lib._name
