"""The package's ctypes declarations against the public C headers: every function it binds
exists there with the same argument and result types, and every record it passes by pointer
or by value has the header's field layout, so no argument is silently cut or widened."""

import ctypes
import re
from pathlib import Path

import pytest

from dirov410 import _lib

HEADERS = [Path(__file__).resolve().parents[2] / "include" / h
           for h in ("dirov410.h", "dirov410_sim.h")]
SCALARS = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64,
           "uint64_t": ctypes.c_uint64, "uint16_t": ctypes.c_uint16, "uint8_t": ctypes.c_uint8,
           "float": ctypes.c_float, "int": ctypes.c_int, "HRESULT": ctypes.c_int32,
           "BOOL": ctypes.c_int32, "char": ctypes.c_char, "void": None}
POINTERS = ("HANDLE", "WINUSB_INTERFACE_HANDLE")  # void* typedefs


def _source() -> str:
    # The headers as a C compiler off Windows reads them, without comments.
    text = "\n".join(h.read_text() for h in HEADERS)
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    return re.sub(r"#ifdef _WIN32.*?#else", "", text, flags=re.S)


SOURCE = _source()
FUNCTIONS = {m[2]: (m[1], m[3]) for m in re.finditer(
    r"DIROV_API\s+(?!extern)([\w\s*]+?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", SOURCE)}
CALLBACKS = {m[2]: (m[1], m[3]) for m in re.finditer(
    r"typedef\s+([\w\s*]+?)\s*\(\s*\*\s*(\w+)\s*\)\s*\(([^)]*)\)\s*;", SOURCE)}
RECORDS = {m[3] or m[1]: m[2] for m in re.finditer(
    r"(?:typedef\s+)?struct\s+(\w+)\s*\{([^}]*)\}\s*(\w*)\s*;", SOURCE)}
ENUMS = set(re.findall(r"typedef\s+enum\s+\w+\s*\{[^}]*\}\s*(\w+)\s*;", SOURCE))
TYPEDEFS = dict(re.findall(r"typedef\s+struct\s+(\w+)\s+(\w+)\s*;", SOURCE))


def _params(text):
    """(type, array length or None) of each declaration in a comma or semicolon list."""
    out = []
    for decl in re.split(r"[,;]", text):
        decl = " ".join(decl.replace("*", " * ").split())
        if decl in ("", "void"):
            continue
        m = re.fullmatch(r"(.*?)\s*(\w+)\s*(?:\[\s*(\w+)\s*\])?", decl)
        assert m, decl
        out.append((m[1], m[3]))
    return out


def mismatch(ctype, ctext, array=None):
    """Why the ctypes type does not fit the C type, or None when it does."""
    if array is not None:
        length = int(array) if array.isdigit() else int(re.search(
            rf"#define\s+{array}\s+(\d+)", SOURCE)[1])
        if not (isinstance(ctype, type) and issubclass(ctype, ctypes.Array)
                and ctype._length_ == length):
            return f"{ctype} is no array of {length}"
        return mismatch(ctype._type_, ctext)
    words = [w for w in ctext.replace("*", " * ").split() if w not in ("const", "struct")]
    if words[-1] == "*":
        pointee = " ".join(words[:-1])
        if ctype is ctypes.c_void_p or (ctype is ctypes.c_char_p and pointee == "char"):
            return None
        if isinstance(ctype, type) and issubclass(ctype, ctypes._Pointer):
            return mismatch(ctype._type_, pointee)
        return f"{ctype} is no pointer for {ctext}"
    base = " ".join(words)
    if base in POINTERS:
        return None if ctype is ctypes.c_void_p else f"{ctype} for the handle {base}"
    base = TYPEDEFS.get(base, base)
    if base in CALLBACKS:
        rest, args = CALLBACKS[base]
        if not (isinstance(ctype, type) and issubclass(ctype, ctypes._CFuncPtr)):
            return f"{ctype} is no function pointer for {base}"
        return _signature(ctype._restype_, ctype._argtypes_, rest, args)
    if base in RECORDS:
        fields = _params(RECORDS[base])
        if not (isinstance(ctype, type) and issubclass(ctype, ctypes.Structure)):
            return f"{ctype} is no record for {base}"
        if len(ctype._fields_) != len(fields):
            return f"{ctype.__name__} has {len(ctype._fields_)} fields, {base} {len(fields)}"
        for (name, ftype), (text, length) in zip(ctype._fields_, fields):
            why = mismatch(ftype, text, length)
            if why:
                return f"{ctype.__name__}.{name}: {why}"
        return None
    want = ctypes.c_int if base in ENUMS else SCALARS[base]
    return None if ctype is want else f"{ctype} for {ctext}"


def _signature(restype, argtypes, rest, args):
    params = _params(args)
    if len(argtypes) != len(params):
        return f"{len(argtypes)} arguments, the header has {len(params)}"
    whys = [mismatch(restype, rest)] + [
        mismatch(a, t, n) and f"argument {i + 1}: {mismatch(a, t, n)}"
        for i, (a, (t, n)) in enumerate(zip(argtypes, params))]
    return next((w for w in whys if w), None)


# The package's tables, and whatever else it declared on the library by hand.
BOUND = sorted(set(_lib._PROTOTYPES) | set(_lib._OPTIONAL) | set(_lib.COMMANDS) | {
    name for name, fn in vars(_lib.lib).items()
    if isinstance(fn, ctypes._CFuncPtr) and fn.argtypes is not None})


@pytest.mark.parametrize("name", BOUND)
def test_bound_function_matches_header(name):
    assert name in FUNCTIONS, f"{name} is bound but not declared in the public headers"
    fn = getattr(_lib.lib, name)
    rest, args = FUNCTIONS[name]
    assert _signature(fn.restype, fn.argtypes, rest, args) is None, \
        f"{name}: {_signature(fn.restype, fn.argtypes, rest, args)}"


def test_the_headers_were_read():
    # A parser that found nothing would pass every case above vacuously.
    assert len(FUNCTIONS) > 150 and {"DataPacket", "dirov_sim_event", "GUID"} <= set(RECORDS)
    assert {"PktNotifyCb", "dirov_log_fn", "dirov_dfu_progress_cb"} <= set(CALLBACKS)
