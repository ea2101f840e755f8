"""The simulated board: run scripts against the library without hardware.

While a simulated board is attached the library talks to it instead of USB. It answers the
whole command set, streams a counter pattern or the I2S sines, runs the bootloader and DFU,
and lets a test script replies, read back what the host sent, fail any transport call and move
its clock.

>>> from dirov410 import Board, sim
>>> sim.use_virtual_clock(True)      # waits and retries cost no wall time
>>> with sim.attach() as simulated, Board() as board:
...     simulated.set_stream(sim.Pattern.COUNTER)
"""

from __future__ import annotations

import ctypes
import enum
import weakref
from dataclasses import dataclass
from typing import Any, List, Optional

from . import _lib
from ._lib import lib
from .capture import _np
from .errors import DirovError

STREAM_PIPE = 0x82
REPLY_PIPE = 0x81


class Face(enum.IntEnum):
    BOOTLOADER = 0
    MAIN = 1
    ABSENT = 2  # enumerates nothing (unplugged, or never comes back)


class Pattern(enum.IntEnum):
    OFF = 0  # the stream stalls until data is queued
    COUNTER = 1  # 32-bit little-endian words 0, 1, 2, ...
    I2S_SINES = 2  # the I2S host port's two sines, 16-bit stereo


class Op(enum.IntEnum):
    """Transport operations that fail_nth can fail."""
    FIND_PATH = 0
    OPEN_FILE = 1
    OPEN_INTERFACE = 2
    BULK_WRITE = 3
    BULK_READ = 4
    STREAM_SUBMIT = 5
    STREAM_WAIT = 6
    ABORT = 7
    FLUSH = 8
    CONTROL = 9
    DESCRIPTOR = 10


class EventKind(enum.IntEnum):
    FIND = 0
    OPEN = 1
    CLOSE = 2
    OUT = 3
    IN = 4
    CONTROL = 5
    DESCRIPTOR = 6
    ABORT = 7
    FLUSH = 8
    SLEEP = 9


@dataclass(frozen=True)
class Event:
    """One thing the host did, as the simulated boards recorded it."""
    kind: EventKind
    board: int
    time_ms: int
    ep: int
    bmRequestType: int  # noqa: N815 - the USB field names
    bRequest: int  # noqa: N815
    wValue: int  # noqa: N815
    wIndex: int  # noqa: N815
    wLength: int  # noqa: N815
    value: int
    data: bytes


_live: "weakref.WeakSet[SimBoard]" = weakref.WeakSet()


class SimBoard:
    """One attached simulated board; a context manager that detaches it."""

    def __init__(self, handle: int) -> None:
        self._handle: Optional[int] = handle
        _live.add(self)

    @property
    def _h(self) -> int:
        if self._handle is None:
            raise RuntimeError("the simulated board is detached")
        return self._handle

    def detach(self) -> None:
        """Transfers in flight on it fail; its handles go stale."""
        if self._handle is not None:
            lib.dirov_sim_detach(self._handle)
            self._handle = None

    def __enter__(self) -> "SimBoard":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.detach()

    @property
    def face(self) -> Face:
        return Face(lib.dirov_sim_get_face(self._h))

    def set_face(self, face: Face, delay_ms: int = 0) -> None:
        """Shows `face` after `delay_ms` of absence on the board's clock."""
        lib.dirov_sim_set_face(self._h, Face(face), delay_ms)

    def set_stream(self, pattern: Optional[Pattern] = None, *, rate: Optional[int] = None,
                   transfer_size: Optional[int] = None, restart: bool = False) -> None:
        """Sets the stream's pattern, its rate in bytes per second on the board's clock (0: as
        fast as read) and its transfer size (at most 20480); restart starts it at offset 0."""
        if transfer_size is not None:
            lib.dirov_sim_stream_set_transfer_size(self._h, transfer_size)
        if rate is not None:
            lib.dirov_sim_stream_set_rate(self._h, rate)
        if restart:
            lib.dirov_sim_stream_restart(self._h)
        if pattern is not None:
            lib.dirov_sim_stream_set_pattern(self._h, Pattern(pattern))

    @property
    def produced(self) -> int:
        """Stream bytes made since the last restart."""
        return lib.dirov_sim_stream_produced(self._h)

    def set_firmware_replies(self, enable: bool) -> None:
        """Off: the reply pipe carries only transfers queued with queue_in."""
        lib.dirov_sim_set_firmware_replies(self._h, int(enable))

    def set_silent(self, enable: bool = True) -> None:
        """Enabled: the board answers nothing, as a hung board: command replies and control
        requests wait until it is disabled again or the board is detached."""
        fn = _lib.optional("dirov_sim_set_silent")
        if fn is None:
            raise NotImplementedError("the loaded library has no silent simulated board")
        fn(self._h, int(enable))

    def queue_in(self, ep: int, data: bytes) -> None:
        """Queues one IN transfer on `ep` (0x81 replies, 0x82 stream)."""
        data = bytes(data)
        if lib.dirov_sim_queue_in(self._h, ep, data, len(data)) != 0:
            raise DirovError("dirov_sim_queue_in", detail=f"ep 0x{ep:02x}")

    def pending_in(self, ep: int) -> int:
        return lib.dirov_sim_pending_in(self._h, ep)

    def dfu_stall_block(self, block: int, status: int) -> None:
        """Block `block` stalls and the next status query reports `status`. Once."""
        lib.dirov_sim_dfu_stall_block(self._h, block, status)

    def dfu_status_at_block(self, block: int, status: int) -> None:
        """The status query after block `block` reports `status` in dfuERROR. Once."""
        lib.dirov_sim_dfu_status_at_block(self._h, block, status)

    def dfu_stay_busy(self, times: int) -> None:
        """With a poll timeout, the board stays busy `times` more poll timeouts."""
        lib.dirov_sim_dfu_stay_busy(self._h, times)

    def short_reply(self, bmRequestType: int, bRequest: int, length: int) -> None:  # noqa: N803
        """The next such control request moves at most `length` bytes. Once."""
        lib.dirov_sim_short_reply(self._h, bmRequestType, bRequest, length)

    def never_return(self, enable: bool = True) -> None:
        """Every restart the board makes itself leaves it absent for good."""
        lib.dirov_sim_never_return(self._h, int(enable))

    @property
    def dfu_state(self) -> int:
        return lib.dirov_sim_dfu_state(self._h)

    @property
    def firmware_valid(self) -> bool:
        return lib.dirov_sim_firmware_valid(self._h) == 1

    @property
    def firmware_version(self) -> int:
        """SYS:VERSION of the main firmware the board runs now."""
        return lib.dirov_sim_firmware_version(self._h)

    def firmware_image(self) -> bytes:
        """The image records the last completed download stored."""
        size = lib.dirov_sim_firmware_image(self._h, None, 0)
        buf = ctypes.create_string_buffer(size)
        lib.dirov_sim_firmware_image(self._h, buf, size)
        return buf.raw


def attach(face: Face = Face.MAIN, *, serial: Optional[str] = None,
           vendor_id: Optional[int] = None, product_id: Optional[int] = None,
           firmware_version: Optional[int] = None, bootloader_version: Optional[int] = None,
           firmware_valid: Optional[bool] = None, main_running: Optional[bool] = None,
           runtime_dfu: Optional[bool] = None, reenumerate_ms: Optional[int] = None,
           dfu_transfer_size: Optional[int] = None,
           poll_timeout_ms: Optional[int] = None) -> SimBoard:
    """Attaches a board showing `face`; every other setting left None keeps its default
    (serial "DRV410-0001", IDs 0x1D50:0x6410, firmware 0x00010200, bootloader 0x00010000, a
    valid firmware, the main firmware's DFU interface, 200 ms re-enumeration, DFU
    wTransferSize 2048, DFU poll timeout 0). Boards enumerate in attach order."""
    cfg = _lib.SimConfig()
    lib.dirov_sim_config_init(ctypes.byref(cfg))
    cfg.face = Face(face)
    serial_bytes = serial.encode() if serial is not None else None
    if serial_bytes is not None:
        cfg.serial = serial_bytes
    given = dict(vendor_id=vendor_id, product_id=product_id, firmware_version=firmware_version,
                 bootloader_version=bootloader_version, firmware_valid=firmware_valid,
                 main_running=main_running, runtime_dfu=runtime_dfu,
                 reenumerate_ms=reenumerate_ms, transfer_size=dfu_transfer_size,
                 poll_timeout_ms=poll_timeout_ms)
    for name, value in given.items():
        if value is not None:
            setattr(cfg, name, int(value))
    handle = lib.dirov_sim_attach(ctypes.byref(cfg))
    if not handle:
        raise DirovError("dirov_sim_attach", 0)
    return SimBoard(handle)


def reset() -> None:
    """Detaches every board and clears the record, the faults and the scripts."""
    for board in list(_live):
        board._handle = None
    lib.dirov_sim_reset()


def use_virtual_clock(enable: bool = True) -> None:
    """Virtual: the library's waits advance the clock at once; nothing waits for real."""
    lib.dirov_sim_use_virtual_clock(int(enable))


def clock_ms() -> int:
    return lib.dirov_sim_clock_ms()


def advance_clock(ms: int) -> None:
    lib.dirov_sim_advance_clock(ms)


def fail_nth(op: Op, nth: int = 1, code: int = 31) -> None:
    """The nth call (1: the next) of `op` fails with the Windows error `code`."""
    lib.dirov_sim_fail_nth(Op(op), nth, code)


def clear_faults() -> None:
    lib.dirov_sim_clear_faults()


def events(kind: Optional[EventKind] = None) -> List[Event]:
    """What the host did since the last clear, oldest first (only `kind` when given)."""
    out = []
    e = _lib.SimEvent()
    for i in range(lib.dirov_sim_event_count()):
        if lib.dirov_sim_event_get(i, ctypes.byref(e)) != 0:
            break
        if kind is not None and e.kind != kind:
            continue
        data = ctypes.string_at(e.data, e.length) if e.length else b""
        out.append(Event(EventKind(e.kind), e.board, e.time_ms, e.ep, e.bmRequestType,
                         e.bRequest, e.wValue, e.wIndex, e.wLength, e.value, data))
    return out


def clear_events() -> None:
    lib.dirov_sim_clear_events()


def counter_bytes(offset: int, count: int) -> bytes:
    """The counter pattern's bytes at stream offsets offset .. offset + count - 1."""
    first, skip = divmod(offset, 4)
    words = range(first, first + (count + skip + 3) // 4)
    if _np is not None:
        raw = (_np.arange(words.start, words.stop, dtype=_np.uint64) & 0xFFFFFFFF).astype("<u4")
        return raw.tobytes()[skip:skip + count]
    return b"".join((w & 0xFFFFFFFF).to_bytes(4, "little") for w in words)[skip:skip + count]
