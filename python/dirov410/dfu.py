"""DFU files: creation from an ELF image, reading, and the DFU 1.1 suffix."""

from __future__ import annotations

import contextlib
import ctypes
import os
import struct
from dataclasses import dataclass
from typing import Iterator, List, Mapping, Optional, Union

from . import _lib
from ._lib import lib
from .errors import SUFFIX_RESULTS, DirovError

PathLike = Union[str, "os.PathLike[str]"]
RECORD_HEADER = 8
SUFFIX_BYTES = 16
ANY_ID = 0xFFFF  # a suffix field that matches any device

# The patch sections a DFU file carries by default, with their section ids.
DEFAULT_SECTIONS: Mapping[str, int] = {
    ".patch.isrvect": 0, ".patch.ldvect": 1, ".patch.usbdesc": 2, ".patch.usbcb": 3,
    ".patch.main": 5, ".patch.firmware": 4,
}


@dataclass(frozen=True)
class Record:
    """One image record: a piece of a section and its load address."""
    section_id: int
    address: int
    data: bytes


@dataclass(frozen=True)
class Image:
    """A DFU file's records as the board receives them (without the suffix)."""
    data: bytes
    count: int

    def records(self) -> List[Record]:
        out, at = [], 0
        while at + RECORD_HEADER <= len(self.data):
            section, _, length, address = struct.unpack_from("<BBHI", self.data, at)
            body = self.data[at + RECORD_HEADER:at + RECORD_HEADER + length]
            out.append(Record(section, address, body))
            at += RECORD_HEADER + length
        return out


@dataclass(frozen=True)
class Suffix:
    """The DFU 1.1 suffix fields."""
    device_release: int
    product_id: int
    vendor_id: int
    dfu_version: int
    crc: int


def _existing(path: Union[PathLike, bytes]) -> bytes:
    name = os.fsencode(path)
    if not os.path.isfile(name):
        raise FileNotFoundError(os.fsdecode(name))
    return name


def _suffix_result(function: str, code: int) -> None:
    if code != 0:
        raise DirovError(function, code, reason=SUFFIX_RESULTS.get(code, f"code {code}"))


@contextlib.contextmanager
def _stream(path: Union[PathLike, bytes], mode: bytes) -> Iterator[int]:
    stream = _lib.libc.fopen(_existing(path), mode)
    if not stream:
        raise OSError(f"cannot open {os.fsdecode(path)}")
    try:
        yield stream
    finally:
        _lib.libc.fclose(stream)


def create(elf_path: PathLike, dfu_path: PathLike,
           sections: Optional[Mapping[str, int]] = None) -> None:
    """Writes a DFU file with the named sections of an ELF image (name -> section id; default
    DEFAULT_SECTIONS). The file at dfu_path is replaced only on success."""
    elf = _existing(elf_path)
    names = ids = None
    count = 0
    if sections is not None:
        if not sections:
            raise ValueError("sections is empty (None selects the default sections)")
        if any(not 0 <= i <= 0xFF for i in sections.values()):
            raise ValueError("section ids are 0..255")
        count = len(sections)
        names = (ctypes.c_char_p * count)(*(n.encode() for n in sections))
        ids = (ctypes.c_uint8 * count)(*sections.values())
    result = lib.dfu_file_create(elf, os.fsencode(dfu_path), count, names, ids)
    if result != 0:
        raise DirovError("dfu_file_create", result, detail=os.fsdecode(elf))


def read(path: PathLike) -> Image:
    """The file's image records, without a valid suffix."""
    name = _existing(path)
    image, count = _lib.u8_p(), ctypes.c_uint32()
    result = lib.dfu_file_read(name, ctypes.byref(image), ctypes.byref(count))
    if result != 0:
        raise DirovError("dfu_file_read", result, detail=os.fsdecode(name))
    try:
        with _stream(name, b"rb") as f:
            suffix = SUFFIX_BYTES if lib.dfu_file_check_suffix(f) == 0 else 0
        size = max(os.path.getsize(name) - suffix, 0)
        return Image(ctypes.string_at(image, size) if size else b"", count.value)
    finally:
        _lib.free(image)


def _fields(s: _lib.DfuSuffix) -> Suffix:
    return Suffix(s.bcdDevice, s.idProduct, s.idVendor, s.bcdDFU, s.dwCRC)


def add_suffix(path: PathLike, vendor_id: int = ANY_ID, product_id: int = ANY_ID,
               device_release: int = ANY_ID) -> Suffix:
    """Appends a DFU 1.1 suffix with its CRC over the whole file (0xFFFF: any device)."""
    if any(not 0 <= v <= 0xFFFF for v in (vendor_id, product_id, device_release)):
        raise ValueError("vendor_id, product_id and device_release are 0..0xFFFF")
    s = _lib.DfuSuffix()
    lib.dfu_file_new_suffix(ctypes.byref(s), 0, vendor_id, product_id, device_release)
    with _stream(path, b"r+b") as f:
        _suffix_result("dfu_file_add_suffix", lib.dfu_file_add_suffix(f, ctypes.byref(s)))
    return _fields(s)


def read_suffix(path: PathLike) -> Suffix:
    """The file's suffix; DirovError when it has no valid one."""
    s = _lib.DfuSuffix()
    with _stream(path, b"rb") as f:
        _suffix_result("dfu_file_read_suffix", lib.dfu_file_read_suffix(f, ctypes.byref(s)))
    _suffix_result("dfu_file_verify_suffix", lib.dfu_file_verify_suffix(ctypes.byref(s)))
    return _fields(s)


def check_suffix(path: PathLike) -> None:
    """Raises DirovError, with the failure's name as `reason`, unless the suffix is valid."""
    with _stream(path, b"rb") as f:
        _suffix_result("dfu_file_check_suffix", lib.dfu_file_check_suffix(f))


def remove_suffix(path: PathLike) -> None:
    """Cuts a valid suffix off the file; DirovError leaves the file as it was."""
    with _stream(path, b"r+b") as f:
        _suffix_result("dfu_file_remove_suffix", lib.dfu_file_remove_suffix(f))
