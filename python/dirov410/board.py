"""The board: interface open and close, identity, every board command, raw commands, upgrade."""

from __future__ import annotations

import ctypes
import enum
import math
import numbers
import operator
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Union

from . import _lib
from ._lib import lib
from .capture import Capture
from . import errors
from .errors import DFU_STATUS, DirovError

PathLike = Union[str, "os.PathLike[str]"]
Progress = Callable[[int, int], None]

_INT_RANGES = {"u8": (0, 0xFF), "u16": (0, 0xFFFF), "u32": (0, 0xFFFFFFFF),
               "i32": (-0x80000000, 0x7FFFFFFF)}
_F32_MAX = 3.4028234663852886e38
_KINDS: Dict[str, List[str]] = {name: kinds.split() for name, kinds in _lib.COMMANDS.items()}
_KINDS.update(cbus_read_word_stream=["u8", "i32", "u8"], cbus_read_byte_stream=["u8", "u8", "i32"],
              cbus_write_word_stream=["u8", "i32", "u8"], cbus_write_byte_stream=["u8", "u8", "i32"])
_SERIAL_BYTES = 252  # the longest string descriptor's characters


class ConnState(enum.IntEnum):
    """Where the interface open left the board."""
    NOT_CONNECTED = 0
    BOOTLOADER = 1
    MAIN_FIRMWARE = 2


@dataclass(frozen=True)
class Reply:
    """A parsed command reply.

    `value` is set for a value reply, `data` holds the payload of a counted reply, `error` the
    status text of a "CSTAT" reply (the board refused or reports a state).
    """
    command: str
    type: str
    value: Optional[int]
    data: bytes
    error: Optional[str]

    @property
    def ok(self) -> bool:
        """False for a "CSTAT" reply."""
        return self.type != "CSTAT"


def _check(kind: str, value: Any, function: str, position: int) -> Union[int, float]:
    """`value` as the C type `kind`; ValueError when it does not fit."""
    if kind == "f32":
        if not isinstance(value, numbers.Real) or isinstance(value, bool):
            raise TypeError(f"{function}: argument {position} must be a number, got {value!r}")
        number = float(value)
        if not math.isfinite(number) or abs(number) > _F32_MAX:
            raise ValueError(f"{function}: argument {position} must be a finite 32-bit float")
        return number
    number = operator.index(value)
    low, high = _INT_RANGES[kind]
    if not low <= number <= high:
        raise ValueError(f"{function}: argument {position} must be in {low}..{high}, got {number}")
    return number


def _checked(function: str, values: Any) -> List[Any]:
    kinds = _KINDS[function]
    if len(values) != len(kinds):
        raise TypeError(f"{function} takes {len(kinds)} argument(s), got {len(values)}")
    return [_check(k, v, function, i + 1) for i, (k, v) in enumerate(zip(kinds, values))]


def _fail(function: str, result: int = -1, code: Optional[int] = None, **kw: Any) -> DirovError:
    return DirovError(function, result, lib.dirov_get_last_error() if code is None else code, **kw)


def _reply_from(record: Any) -> Reply:
    r = record.contents
    kind = r.Type.decode(errors="replace")
    value, data, error = None, b"", None
    if kind == "CSTAT":
        error = r.Error.decode(errors="replace")
    elif r.DataLength:
        data = ctypes.string_at(r.Data, r.DataLength)
    elif r.Data:  # a value reply: 32 bits in the machine's byte order
        value = int.from_bytes(ctypes.string_at(r.Data, 4), sys.byteorder, signed=True)
    return Reply(r.Command.decode(errors="replace"), kind, value, data, error)


class Board:
    """The board the library drives; a context manager that opens and closes its interface.

    The library keeps one device record per process, so every Board object speaks to the same
    board. Opening runs the interface open: the board is started from its bootloader when
    needed and left in its main firmware (`state` MAIN_FIRMWARE), or in its bootloader when it
    holds no valid firmware (`state` BOOTLOADER; `upgrade` still works). No board at all raises
    DirovError. Every command raises DirovError when the exchange fails; a "CSTAT" reply is not
    a failure (as in C), `command` shows it.

    timeout: seconds a command or DFU request may take before it raises DirovError with
    `timed_out` set (code 121, "semaphore timeout"); 0 waits for ever; None (default) keeps
    the library's setting (DIROV410_TIMEOUT, else none). The time-out is the library's, for
    the whole process. A blocked call never holds off Ctrl-C: KeyboardInterrupt comes at
    once, and the library call ends in the background at its time-out.

    >>> with Board(timeout=5) as board:
    ...     board.cbus_write_word(1, 0x20, 0xBEEF)
    ...     print(hex(board.cbus_read_word(1, 0x20)), board.serial)
    """

    def __init__(self, timeout: Optional[float] = None) -> None:
        self.state = ConnState.NOT_CONNECTED
        self.bootloader_version = 0
        self.firmware_valid = False
        self._serial: Optional[str] = None
        if timeout is not None:
            ms = round(float(timeout) * 1000)
            if not 0 <= ms <= 0x7FFFFFFF:
                raise ValueError(f"timeout must be 0..2147483 s, got {timeout}")
            set_timeout = _lib.optional("dirov_set_timeout")
            if set_timeout is None:
                raise NotImplementedError("the loaded library has no time-outs")
            set_timeout(ms)

    def open(self) -> "Board":
        r, code, message = errors.call(lib.Hx410DItfOpen, failed=lambda r: r.ConnState == 0)
        self.state = ConnState(r.ConnState) if r.ConnState in (0, 1, 2) else ConnState(0)
        self.bootloader_version, self.firmware_valid = r.BootloaderVersion, bool(r.FirmwareValid)
        self._serial = None
        if self.state == ConnState.NOT_CONNECTED:
            raise _fail("Hx410DItfOpen", r.ConnState, code=code, message=message,
                        detail="no board running or startable")
        return self

    def close(self) -> None:
        """Releases the device record; capture and commands need a new open."""
        lib.Hx410DItfClose()
        lib.CloseDevice(lib._GetDeviceData())
        self.state = ConnState.NOT_CONNECTED

    def __enter__(self) -> "Board":
        return self.open()

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @property
    def serial(self) -> str:
        """The serial number (string descriptor 3)."""
        if self._serial is None:
            raw = ctypes.create_string_buffer(_SERIAL_BYTES)
            if lib.GetDeviceSerialNumber(raw, _SERIAL_BYTES) != 0:
                raise _fail("GetDeviceSerialNumber")
            self._serial = raw.raw.decode("utf-16-le", errors="replace").split("\0", 1)[0]
        return self._serial

    @property
    def firmware_version(self) -> int:
        """SYS:VERSION of the running main firmware."""
        return self.gen_version()

    def _run(self, name: str, *args: Any) -> int:
        checked = _checked(name, args)
        result, code, message = errors.call(getattr(lib, name), lib._GetWinUsbHandle(), *checked,
                                            failed=lambda r: r == -1)
        if result == -1:
            raise _fail(name, code=code, message=message)
        return result

    def command(self, text: str, payload: bytes = b"") -> Reply:
        """Sends one raw command line (a newline is added if missing) with optional payload
        bytes in the same transfer, and returns the parsed reply.

        >>> board.command("SYS:VERSION").value
        """
        line = text if text.endswith("\n") else text + "\n"
        if "\0" in line or "\n" in line[:-1]:
            raise ValueError("a command is one line without NUL characters")
        payload = bytes(payload)
        part = _lib.PayloadPart(len(payload), ctypes.cast(ctypes.c_char_p(payload), ctypes.c_void_p))
        record, code, message = errors.call(
            lib.usb_comms, lib._GetWinUsbHandle(), line.encode(), 1 if payload else 0,
            ctypes.byref(part) if payload else None, failed=lambda r: not r)
        if not record:
            raise _fail("usb_comms", 0, code=code, detail=repr(line.strip()), message=message)
        try:
            return _reply_from(record)
        finally:
            _lib.free(record.contents.Data)
            _lib.free(record)

    def capture(self, save_to: Optional[PathLike] = None, limit: Optional[int] = None, *,
                buffer: int = 0, dtype: Any = None, numpy: Optional[bool] = None,
                timeout: Optional[float] = None) -> Capture:
        """A capture of the board's stream; see `Capture`."""
        return Capture(save_to, limit, buffer=buffer, dtype=dtype, numpy=numpy, timeout=timeout)

    def upgrade(self, path: PathLike, progress: Optional[Progress] = None) -> None:
        """Replaces the firmware from a DFU file, from whatever state the board is in; the
        board is open in its new main firmware afterwards.

        progress(block, count) is called after each block the board accepted. An exception it
        raises is re-raised once the upgrade is over (it cannot stop a download midway, and
        Ctrl-C, which raises KeyboardInterrupt at once, leaves the download running). On
        failure DirovError's `reason` names the DFU status the board reported, if it reported
        one during this upgrade.
        """
        file = os.fspath(path)
        if not os.path.isfile(file):
            raise FileNotFoundError(file)
        raised: List[BaseException] = []
        seen = [0]

        def hook(block: int, count: int, _user: Any) -> None:
            seen[0] = block
            if progress and not raised:
                try:
                    progress(block, count)
                except BaseException as e:  # noqa: B902 - re-raised after the call
                    raised.append(e)

        callback = _lib.DFU_PROGRESS(hook)
        status_before = lib.dfu_get_last_error()
        lib.dirov_set_dfu_progress(callback, None)
        try:
            # The worker keeps the hook alive should Ctrl-C end the wait first.
            result, code, message = errors.call(
                lambda name, _hook: lib.FirmwareUpgrade(name), os.fsencode(file), callback,
                failed=lambda r: r != 0)
        finally:
            lib.dirov_set_dfu_progress(_lib.DFU_PROGRESS(0), None)  # a null function pointer
        self._serial = None
        if result != 0:
            self.state = ConnState.NOT_CONNECTED
            status = lib.dfu_get_last_error()
            fresh = status != 0 and (status != status_before or seen[0] > 0)
            raise _fail("FirmwareUpgrade", result, code=code, message=message,
                        reason=DFU_STATUS.get(status, f"status {status}") if fresh else None)
        self.state = ConnState.MAIN_FIRMWARE
        if raised:
            raise raised[0]

    # ---- Bus register access (CBUS) ----
    def cbus_read_word(self, a: int, b: int) -> int:
        """The word at a, b (0..0xFFFF)."""
        return self._run("cbus_read_word", a, b)

    def cbus_read_byte(self, a: int, b: int) -> int:
        """The byte at a, b (0..0xFF)."""
        return self._run("cbus_read_byte", a, b)

    def _read_stream(self, name: str, verb: str, a: int, b: int, n: int) -> bytes:
        a, b, n = _checked(name, (a, b, n))
        reply = self.command(f"CBUS:{verb} {a:x},{b & 0xFFFFFFFF:x},{n & 0xFFFFFFFF:x}")
        return reply.data

    def cbus_read_word_stream(self, a: int, b: int, n: int) -> bytes:
        """The payload the board returns for n (bytes exactly as received, no swapping; at
        most 255; empty when the board refuses)."""
        return self._read_stream("cbus_read_word_stream", "READWORDSTREAM", a, b, n)

    def cbus_read_byte_stream(self, a: int, b: int, n: int) -> bytes:
        """As cbus_read_word_stream, for bytes."""
        return self._read_stream("cbus_read_byte_stream", "READBYTESTREAM", a, b, n)

    def cbus_write_word(self, a: int, b: int, value: int) -> None:
        self._run("cbus_write_word", a, b, value)

    def cbus_write_byte(self, a: int, b: int, value: int) -> None:
        self._run("cbus_write_byte", a, b, value)

    def cbus_write_word_stream(self, a: int, b: int, payload: bytes) -> None:
        """Writes the payload (at most 255 bytes) as it is."""
        data = bytes(payload)
        a, b, count = _checked("cbus_write_word_stream", (a, b, len(data)))
        lib.dirov_set_last_error(0)
        if lib.cbus_write_word_stream(lib._GetWinUsbHandle(), a, b, data, count) == -1:
            raise _fail("cbus_write_word_stream")

    def cbus_write_byte_stream(self, a: int, b: int, payload: bytes) -> None:
        """Writes the payload as it is."""
        data = bytes(payload)
        a, b, count = _checked("cbus_write_byte_stream", (a, b, len(data)))
        lib.dirov_set_last_error(0)
        if lib.cbus_write_byte_stream(lib._GetWinUsbHandle(), a, b, count, data) == -1:
            raise _fail("cbus_write_byte_stream")

    def cbus_set_spi(self, mode: int) -> None:
        self._run("cbus_set_spi", mode)

    def cbus_set_baud_rate(self, rate: int) -> None:
        self._run("cbus_set_baud_rate", rate)

    # ---- General-purpose and dedicated I/O ----
    def gpio_init(self) -> None:
        self._run("gpio_init")

    def gpio_set_dir(self, direction: int) -> None:
        self._run("gpio_set_dir", direction)

    def gpio_write(self, value: int) -> None:
        self._run("gpio_write", value)

    def gpio_read(self) -> int:
        return self._run("gpio_read")

    def gpio_set_pin(self, pins: int) -> None:
        self._run("gpio_set_pin", pins)

    def gpio_clear_pin(self, pins: int) -> None:
        self._run("gpio_clear_pin", pins)

    def dio_init(self) -> None:
        self._run("dio_init")

    def dio_write(self, value: int) -> None:
        self._run("dio_write", value)

    def dio_set_pin(self, pins: int) -> None:
        self._run("dio_set_pin", pins)

    def dio_clear_pin(self, pins: int) -> None:
        self._run("dio_clear_pin", pins)

    def io_init(self) -> None:
        self._run("io_init")

    def io_set_dir(self, direction: int) -> None:
        self._run("io_set_dir", direction)

    def io_write(self, value: int) -> None:
        self._run("io_write", value)

    def io_read(self) -> int:
        return self._run("io_read")

    def io_set_pin(self, pins: int) -> None:
        self._run("io_set_pin", pins)

    def io_clear_pin(self, pins: int) -> None:
        self._run("io_clear_pin", pins)

    def dedicated_io_init(self) -> None:
        self._run("dedicated_io_init")

    def set_booten_1(self, value: int) -> None:
        self._run("set_booten_1", value)

    def set_booten_2(self, value: int) -> None:
        self._run("set_booten_2", value)

    def clear_booten_1(self, value: int) -> None:
        self._run("clear_booten_1", value)

    def clear_booten_2(self, value: int) -> None:
        self._run("clear_booten_2", value)

    def irqn_int_set(self) -> None:
        self._run("irqn_int_set")

    def irqn_enable(self) -> None:
        self._run("irqn_enable")

    def irqn_disable(self) -> None:
        self._run("irqn_disable")

    def dedio_get_status(self) -> int:
        """The dedicated I/O status byte."""
        return self._run("dedio_get_status")

    # ---- I2S host port ----
    def host_port_i2s_init(self) -> None:
        self._run("host_port_i2s_init")

    def host_port_tx_i2s_dma_enable(self) -> None:
        self._run("host_port_tx_i2s_dma_enable")

    def host_port_rx_i2s_dma_enable(self) -> None:
        """Starts RX DMA: the board streams the I2S samples on the capture pipe."""
        self._run("host_port_rx_i2s_dma_enable")

    def host_port_i2s_dma_disable(self) -> None:
        self._run("host_port_i2s_dma_disable")

    def host_port_i2s_dma_set_left_sine(self, frequency: float, amplitude: float) -> None:
        self._run("host_port_i2s_dma_set_left_sine", frequency, amplitude)

    def host_port_i2s_dma_set_right_sine(self, frequency: float, amplitude: float) -> None:
        self._run("host_port_i2s_dma_set_right_sine", frequency, amplitude)

    def host_port_i2s_rx_status(self) -> int:
        return self._run("host_port_i2s_rx_status")

    # ---- System ----
    def gen_reset(self) -> None:
        self._run("gen_reset")

    def gen_version(self) -> int:
        return self._run("gen_version")

    def load_fi_QDR5X3X(self, a: int, b: int, c: int, d: int) -> None:  # noqa: N802
        self._run("load_fi_QDR5X3X", a, b, c, d)

    def load_fi_QDR504X_QDR514X(self, a: int, b: int, c: int, d: int) -> None:  # noqa: N802
        self._run("load_fi_QDR504X_QDR514X", a, b, c, d)

    def load_fi_QDR524X_QDR534X(self, a: int, b: int, c: int, d: int) -> None:  # noqa: N802
        self._run("load_fi_QDR524X_QDR534X", a, b, c, d)

    def load_fi_QDR5X6X(self, a: int, b: int, c: int) -> None:  # noqa: N802
        self._run("load_fi_QDR5X6X", a, b, c)

    def timer_sleep(self, duration: int) -> None:
        """Waits on the board; returns when it replies."""
        self._run("timer_sleep", duration)

    # ---- UART and SD card ----
    def uart_init(self, port: int) -> None:
        self._run("uart_init", port)

    def uart_set_baud_rate(self, port: int, baud: int) -> None:
        self._run("uart_set_baud_rate", port, baud)

    def uart_set_config(self, port: int, baud: int, data_bits: int, parity: int,
                        stop_bits: int) -> None:
        self._run("uart_set_config", port, baud, data_bits, parity, stop_bits)

    def uart_write_byte(self, port: int, value: int) -> None:
        self._run("uart_write_byte", port, value)

    def sd_test(self) -> int:
        return self._run("sd_test")

