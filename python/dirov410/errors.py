"""DirovError: a library call that failed, with the Windows error code it left."""

from __future__ import annotations

from typing import Dict, Optional

# The Windows error codes the library leaves behind a failed transfer.
WINDOWS_ERRORS: Dict[int, str] = {
    0: "ERROR_SUCCESS",
    2: "ERROR_FILE_NOT_FOUND",
    5: "ERROR_ACCESS_DENIED",
    6: "ERROR_INVALID_HANDLE",
    8: "ERROR_NOT_ENOUGH_MEMORY",
    22: "ERROR_BAD_COMMAND",
    31: "ERROR_GEN_FAILURE",
    50: "ERROR_NOT_SUPPORTED",
    87: "ERROR_INVALID_PARAMETER",
    121: "ERROR_SEM_TIMEOUT",
    122: "ERROR_INSUFFICIENT_BUFFER",
    170: "ERROR_BUSY",
    234: "ERROR_MORE_DATA",
    259: "ERROR_NO_MORE_ITEMS",
    995: "ERROR_OPERATION_ABORTED",
    996: "ERROR_IO_INCOMPLETE",
    997: "ERROR_IO_PENDING",
    1167: "ERROR_DEVICE_NOT_CONNECTED",
}

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


def windows_error_name(code: int) -> str:
    """The symbolic name of a Windows error code, or "ERROR_<code>" for one the table lacks."""
    return WINDOWS_ERRORS.get(code, f"ERROR_{code}")


class DirovError(Exception):
    """A library call failed.

    Attributes:
        function: the C function that failed.
        result: what it returned.
        code: the Windows error code the failed transfer left (0: none).
        name: that code's symbolic name, e.g. "ERROR_GEN_FAILURE".
        reason: the name of a result code where the function has named codes (the DFU file
            suffix family, a DFU status), else None.
    """

    def __init__(self, function: str, result: int = -1, code: int = 0,
                 reason: Optional[str] = None, detail: str = "") -> None:
        self.function, self.result, self.code, self.reason = function, result, code, reason
        self.name = windows_error_name(code)
        text = f"{function} failed ({result})"
        if reason:
            text += f": {reason}"
        if code:
            text += f": {self.name} ({code})"
        if detail:
            text += f": {detail}"
        super().__init__(text)
