"""Capture of the board's stream: packets as zero-copy arrays, statistics, virtual buffers."""

from __future__ import annotations

import ctypes
import os
import time
from dataclasses import dataclass
from typing import Any, Dict, Iterator, Optional, Tuple, Union

from . import _lib
from ._lib import lib
from .errors import _TIMED_OUT, DirovError

try:
    import numpy as _np
except ImportError:  # NumPy is optional: packets then come as memoryviews
    _np = None  # type: ignore[assignment]

Block = Any  # numpy.ndarray, or memoryview without NumPy
_I32_MAX = 0x7FFFFFFF
_MAX_CACHED_SIZES = 8  # C virtual buffers kept for latest(n) sizes, besides the main one
_MAX_CACHED_VIEWS = 4096
_DataPacket = _lib.DataPacket
_get_next_packet = lib.GetNextPacket
_get_pending = lib.GetPendingCnt
_wait_packet = _lib.optional("dirov_get_next_packet")
_SLICE_MS = 50  # a wait for the next packet looks for Ctrl-C this often


def numpy_available() -> bool:
    """True when NumPy could be imported."""
    return _np is not None


@dataclass(frozen=True)
class Packet:
    """The packet behind the latest item: its id, size, data address and, when the library
    reports it, its first byte's offset in the stream (dropped bytes included)."""
    id: int
    size: int
    address: int
    offset: Optional[int]


@dataclass(frozen=True)
class CaptureStats:
    """What the iterator has read, the reader's backlog, and the library's own counts for the
    current or last capture (None when the loaded library does not report them)."""
    read_packets: int
    read_bytes: int
    pending: int
    transfers: Optional[int] = None
    bytes: Optional[int] = None
    dropped_transfers: Optional[int] = None
    dropped_bytes: Optional[int] = None
    store_bytes: Optional[int] = None
    store_peak_bytes: Optional[int] = None


def _library_stats() -> Dict[str, int]:
    get = _lib.optional("dirov_get_capture_stats")
    if get is None:
        return {}
    s = _lib.CaptureStats()
    if get(ctypes.byref(s)) != 0:
        return {}
    return {name: getattr(s, name) for name, _ in _lib.CaptureStats._fields_}


class VirtualBuffer:
    """The latest bytes of the stream, up to `size`, at any time during a capture.

    The library keeps the packets of the latest `size` bytes from being reused; `latest(n)`
    copies the newest n bytes out (a window may span packets, so this is a copy).
    """

    def __init__(self, size: int, use_numpy: bool) -> None:
        self.size = size
        self._numpy = use_numpy
        self._buffers: Dict[int, Any] = {}
        self._closed = False
        self._buffer(size)  # keeps the library's window at least `size` wide

    def _buffer(self, n: int) -> Any:
        vb = self._buffers.get(n)
        if vb is None:
            if self._closed:
                raise RuntimeError("the capture that kept this buffer has stopped")
            if len(self._buffers) > _MAX_CACHED_SIZES:
                oldest = next(k for k in self._buffers if k != self.size)
                lib.RemoveBuffer(self._buffers.pop(oldest))
            vb = lib.CreateNewBuffer(n, 1)
            if not vb:
                raise DirovError("CreateNewBuffer", 0, detail="no free virtual buffer")
            self._buffers[n] = vb
        return vb

    def latest(self, n: Optional[int] = None) -> Optional[Block]:
        """The newest n bytes (default `size`) as a new uint8 array (bytearray without
        NumPy), oldest first; None until the stream has brought n bytes."""
        n = self.size if n is None else int(n)
        if not 1 <= n <= self.size:
            raise ValueError(f"latest(n) takes 1..{self.size} bytes, got {n}")
        vb = self._buffer(n)
        lib.GetBufferData(vb)  # -1: nothing new, and the last window is still the latest
        if vb.contents.pktCount == 0:
            return None
        out: Any = _np.empty(n, _np.uint8) if self._numpy else bytearray(n)
        address = out.ctypes.data if self._numpy else ctypes.addressof(
            (ctypes.c_char * n).from_buffer(out))
        if lib.ExtractBuffData(address, vb) != 0:
            raise DirovError("ExtractBuffData")
        return out

    def close(self) -> None:
        self._closed = True
        for vb in self._buffers.values():
            lib.RemoveBuffer(vb)
        self._buffers.clear()


class Capture:
    """A capture of the board's stream, as a context manager and an iterator.

    Each item is the next packet's bytes, viewing the packet in the library's memory without a
    copy: a read-only NumPy array (of `dtype`, default uint8) or, without NumPy (or with
    numpy=False), a read-only memoryview (a trailing part of an element of a wider dtype is
    left out). An item stays valid until the next one is taken, as
    with GetNextPacket in C, since the library reuses the packet's memory (and the package its
    view: a later item may be the same object); `.copy()` (or `bytes(view)`) keeps it. Taking
    an item waits for the board as long as it takes.

    save_to: also write the raw stream to this file. limit: end after this many bytes (the
    last item is cut to fit; the file then holds exactly `limit` bytes). buffer: keep the latest
    `buffer` bytes reachable through `stream.buffer.latest(n)`.

    >>> with board.capture(limit=1 << 20) as stream:
    ...     for block in stream:
    ...         total += int(block.sum())
    """

    def __init__(self, save_to: Optional[Union[str, "os.PathLike[str]"]] = None,
                 limit: Optional[int] = None, *, buffer: int = 0, dtype: Any = None,
                 numpy: Optional[bool] = None, timeout: Optional[float] = None) -> None:
        if timeout is not None and not float(timeout) > 0:
            raise ValueError(f"timeout must be above 0 seconds, got {timeout}")
        self._timeout = None if timeout is None else float(timeout)
        if limit is not None and int(limit) < 1:
            raise ValueError(f"limit must be at least 1 byte, got {limit}")
        if limit is not None and save_to is not None and limit > _I32_MAX:
            raise ValueError(f"a saved capture's limit is at most {_I32_MAX} bytes, got {limit}")
        if not 0 <= int(buffer) <= _I32_MAX:
            raise ValueError(f"buffer must be 0..{_I32_MAX} bytes, got {buffer}")
        if numpy and _np is None:
            raise ImportError("numpy=True, but NumPy cannot be imported")
        self._numpy = _np is not None if numpy is None else bool(numpy)
        if dtype is not None and not self._numpy:
            raise ValueError("dtype needs NumPy")
        self._dtype = _np.dtype(dtype if dtype is not None else _np.uint8) if self._numpy else None
        self._save_to = None if save_to is None else os.fsencode(save_to)
        self._limit = None if limit is None else int(limit)
        self._buffer_bytes = int(buffer)
        self.buffer: Optional[VirtualBuffer] = None
        self._running = False
        self._registered_buffers = False
        self._reset_counts()

    def _reset_counts(self) -> None:
        self._packets = self._bytes = 0
        self._current = 0
        self._views: Dict[Tuple[int, int], Block] = {}
        self._items: Iterator[Block] = iter(())

    def start(self) -> "Capture":
        if self._running:
            raise RuntimeError("the capture is running")
        self._reset_counts()
        if self._buffer_bytes:
            self._registered_buffers = lib.RegisterBufferCb() == 0
            self.buffer = VirtualBuffer(self._buffer_bytes, self._numpy)
        if self._save_to is not None and lib.StartSaveWorker(self._save_to, self._limit or 0) != 0:
            self._release_buffers()
            raise DirovError("StartSaveWorker", detail=os.fsdecode(self._save_to))
        if lib.StartCaptureWorker() != 0:
            if self._save_to is not None:
                lib.StopSaveWorker(1)
            self._release_buffers()
            raise DirovError("StartCaptureWorker")
        self._running = True
        self._items = self._generate()
        return self

    def stop(self, force: bool = False) -> None:
        """Stops capturing; the file gets every packet captured so far unless `force`."""
        if not self._running:
            return
        self._running = False
        lib.StopCaptureWorker()
        saved = lib.StopSaveWorker(1 if force else 0) if self._save_to is not None else 0
        self._release_buffers()
        if saved != 0 and not force:
            raise DirovError("StopSaveWorker", saved, detail=os.fsdecode(self._save_to or b""))

    def _release_buffers(self) -> None:
        if self.buffer is not None:
            self.buffer.close()
            self.buffer = None
        if self._registered_buffers:
            lib.UnregisterBufferCb()
            self._registered_buffers = False

    def __enter__(self) -> "Capture":
        return self.start()

    def __exit__(self, kind: Any, *exc: Any) -> None:
        self.stop(force=kind is not None)

    def __iter__(self) -> Iterator[Block]:
        return self._items

    def __next__(self) -> Block:
        return next(self._items)

    def _generate(self) -> Iterator[Block]:
        # Locals, not attributes, on the per-packet path.
        get_next, packet_at, views, view_of = _get_next_packet, _DataPacket.from_address, \
            self._views, self._view_of
        remaining = self._limit
        while remaining != 0 and self._running:
            p = get_next() if _get_pending() > 0 else self._wait_next()
            if not p:  # the library has already stopped the capture thread
                raise DirovError("GetNextPacket", 0, lib.dirov_get_last_error(),
                                 disconnected=True, detail="the capture ended")
            packet = packet_at(p)
            size, data = packet.size, packet.data
            if not data:
                raise DirovError("GetNextPacket", 0, detail="a packet without data")
            if remaining is not None:
                if size > remaining:
                    size = remaining
                remaining -= size
            self._current = p
            self._packets += 1
            self._bytes += size
            # The store reuses its data blocks, so a view of a block is made once and handed
            # out again whenever a packet comes in the same block.
            view = views.get((data, size))
            if view is None:
                if len(views) >= _MAX_CACHED_VIEWS:
                    views.clear()
                view = views[(data, size)] = view_of(data, size)
            yield view

    def _wait_next(self) -> int:
        """The next packet, waited for in slices (so Ctrl-C comes through) up to the time-out;
        0 when the capture has ended."""
        if _wait_packet is None and self._timeout is None:
            return _get_next_packet() or 0  # a library without timed waits
        deadline = None if self._timeout is None else time.monotonic() + self._timeout
        while True:
            if _wait_packet is not None:
                p = _wait_packet(_SLICE_MS)
                if p:
                    return p
                if lib.dirov_get_last_error() != _TIMED_OUT:
                    return 0
            elif _get_pending() > 0:
                return _get_next_packet() or 0
            else:
                time.sleep(_SLICE_MS / 1000)
            if deadline is not None and time.monotonic() >= deadline:
                raise DirovError("GetNextPacket", 0, _TIMED_OUT,
                                 detail=f"no packet within {self._timeout} s")

    def _view_of(self, address: int, size: int) -> Block:
        view = _lib.memory_view(address, size)
        if self._dtype is None:
            return view
        return _np.frombuffer(view, self._dtype, size // self._dtype.itemsize)

    @property
    def packet(self) -> Optional[Packet]:
        """The packet behind the latest item, None before the first."""
        p = self._current
        if not p:
            return None
        packet = _lib.DataPacket.from_address(p)
        stream_offset = _lib.optional("dirov_packet_stream_offset")
        offset = stream_offset(p) if stream_offset else -1
        return Packet(packet.id, packet.size, packet.data or 0, offset if offset >= 0 else None)

    @property
    def stats(self) -> CaptureStats:
        """Counts so far; see CaptureStats."""
        return CaptureStats(self._packets, self._bytes, lib.GetPendingCnt(), **_library_stats())
