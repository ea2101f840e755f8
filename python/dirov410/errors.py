"""DirovError: a library call that failed, with the Windows error code it left and the
library's last line; the route of the library's lines to `logging`; calls that Ctrl-C can
interrupt."""

from __future__ import annotations

import logging
import threading
from typing import Any, Callable, Dict, Optional, Tuple

from . import _lib

logger = logging.getLogger("dirov410")
_LEVELS = {1: logging.ERROR, 2: logging.WARNING, 3: logging.INFO}
_SLICE_S = 0.05  # how often a wait looks for Ctrl-C
_DISCONNECTED = 1167
_TIMED_OUT = 121
_recent = threading.local()


def log_line(level: int, line: str) -> None:
    """Hands one library line to the "dirov410" logger; errors and warnings are also kept as
    the calling thread's last message, for the DirovError that may follow. Error lines of a
    call made through `call` wait for its outcome: many come from retries that succeed."""
    if level <= 2:
        _recent.line = line
    held = getattr(_recent, "held", None)
    if held is not None and level == 1:
        held.append(line)
        return
    logger.log(_LEVELS.get(level, logging.INFO), "%s", line)


def last_line() -> str:
    return getattr(_recent, "line", "")


def clear_last_line() -> None:
    _recent.line = ""


def call(fn: Callable[..., Any], *args: Any,
         failed: Callable[[Any], bool]) -> Tuple[Any, int, str]:
    """fn(*args) on a thread of its own, waited for in slices so that Ctrl-C raises
    KeyboardInterrupt at once (the library call itself then ends in the background, at its
    time-out or when the board answers). Returns the result, the Windows error code and the
    library's last error line of that thread. The call's error lines are logged as errors
    when failed(result), else as INFO: they came from retries that succeeded."""
    out: list = []
    raised: list = []

    def work() -> None:
        clear_last_line()
        _recent.held = []
        _lib.lib.dirov_set_last_error(0)
        try:
            result = fn(*args)
        except BaseException as e:  # noqa: B902 - raised again on the caller's thread
            raised.append(e)
            return
        finally:
            held, _recent.held = _recent.held, None
        out.append((result, _lib.lib.dirov_get_last_error(), last_line()))
        level = logging.ERROR if failed(result) else logging.INFO
        for line in held:
            logger.log(level, "%s", line)

    if threading.current_thread() is not threading.main_thread():
        work()
    else:
        worker = threading.Thread(target=work, name="dirov410-call", daemon=True)
        worker.start()
        while worker.is_alive():
            worker.join(_SLICE_S)
    if raised:
        raise raised[0]
    return out[0]

# Result codes of the DFU file suffix functions.
SUFFIX_RESULTS: Dict[int, str] = {
    -1: "MISSING_ARGUMENT",
    1: "IO_ERROR",
    2: "BAD_LENGTH",
    3: "BAD_SIGNATURE",
    4: "BAD_DFU_VERSION",
    5: "PRODUCT_MISMATCH",
    6: "VENDOR_MISMATCH",
    7: "DEVICE_MISMATCH",
    8: "BAD_CRC",
    9: "SUFFIX_PRESENT",
}

# DFU 1.1 bStatus codes, as the board reports them during a download.
DFU_STATUS: Dict[int, str] = dict(enumerate((
    "OK", "errTARGET", "errFILE", "errWRITE", "errERASE", "errCHECK_ERASED", "errPROG",
    "errVERIFY", "errADDRESS", "errNOTDONE", "errFIRMWARE", "errVENDOR", "errUSBR", "errPOR",
    "errUNKNOWN", "errSTALLEDPKT")))


def strerror(code: int) -> str:
    """The library's "NAME: sentence" for a Windows error code."""
    fn = _lib.optional("dirov_strerror")
    return fn(code).decode() if fn else f"ERROR_{code}: unknown error"


def windows_error_name(code: int) -> str:
    """The symbolic name of a Windows error code, e.g. "ERROR_SEM_TIMEOUT"."""
    return strerror(code).split(":", 1)[0]


class DirovError(Exception):
    """A library call failed.

    Attributes:
        function: the C function that failed.
        result: what it returned.
        code: the Windows error code the failed transfer left (0: none).
        name: that code's symbolic name, e.g. "ERROR_GEN_FAILURE"; `strerror` its sentence.
        message: the library's last error or warning line during the call ("" when none).
        disconnected: the board was disconnected (code 1167, or a capture that ended).
        timed_out: the board did not answer within the time-out (code 121).
        reason: the name of a result code where the function has named codes (the DFU file
            suffix family, a DFU status), else None.
    """

    def __init__(self, function: str, result: int = -1, code: int = 0,
                 reason: Optional[str] = None, detail: str = "", message: Optional[str] = None,
                 disconnected: bool = False) -> None:
        self.function, self.result, self.code, self.reason = function, result, code, reason
        self.strerror = strerror(code)
        self.name = self.strerror.split(":", 1)[0]
        self.message = last_line() if message is None else message
        self.disconnected = disconnected or code == _DISCONNECTED
        self.timed_out = code == _TIMED_OUT
        text = f"{function} failed ({result})"
        if self.disconnected:
            text += ": the board was disconnected"
        if reason:
            text += f": {reason}"
        if code:
            text += f": {self.strerror} ({code})"
        if detail:
            text += f": {detail}"
        if self.message:
            text += f" [library: {self.message}]"
        super().__init__(text)
