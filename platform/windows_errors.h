// The Windows error codes the library leaves in dirov_get_last_error, in one
// list: each code's constant, its number and the "NAME: sentence" that
// dirov_strerror gives. The constants below and the table in platform.cpp
// are both made from this list. Header-only constants, so dirovctl and the
// simulated board use the same numbers.
#pragma once

#include <cstdint>

#define DIROV_WINDOWS_ERRORS(X)                                                                  \
    X(kErrorSuccess, 0, "ERROR_SUCCESS: no error")                                               \
    X(kErrorFileNotFound, 2, "ERROR_FILE_NOT_FOUND: no such board or file")                      \
    X(kErrorAccessDenied, 5,                                                                     \
      "ERROR_ACCESS_DENIED: access denied (no rights to the device, or another program has it)") \
    X(kErrorInvalidHandle, 6, "ERROR_INVALID_HANDLE: the handle is not open (closed, or stale)") \
    X(kErrorNotEnoughMemory, 8, "ERROR_NOT_ENOUGH_MEMORY: out of memory")                        \
    X(kErrorBadCommand, 22, "ERROR_BAD_COMMAND: the device does not recognise the request")      \
    X(kErrorGenFailure, 31,                                                                      \
      "ERROR_GEN_FAILURE: the board stalled the request or the transfer failed")                 \
    X(kErrorNotSupported, 50, "ERROR_NOT_SUPPORTED: the request is not supported")               \
    X(kErrorInvalidParameter, 87, "ERROR_INVALID_PARAMETER: an argument is not valid")           \
    X(kErrorSemTimeout, 121,                                                                     \
      "ERROR_SEM_TIMEOUT: semaphore timeout: the board did not answer in time")                  \
    X(kErrorInsufficientBuffer, 122, "ERROR_INSUFFICIENT_BUFFER: the buffer is too small")       \
    X(kErrorBusy, 170, "ERROR_BUSY: the device is busy (held by another program)")               \
    X(kErrorMoreData, 234, "ERROR_MORE_DATA: the board sent more data than asked for")           \
    X(kErrorNoMoreItems, 259, "ERROR_NO_MORE_ITEMS: no board found")                             \
    X(kErrorOperationAborted, 995, "ERROR_OPERATION_ABORTED: the transfer was aborted")          \
    X(kErrorIoIncomplete, 996, "ERROR_IO_INCOMPLETE: the transfer is still in flight")           \
    X(kErrorIoPending, 997, "ERROR_IO_PENDING: the transfer is in flight")                       \
    X(kErrorDeviceNotConnected, 1167, "ERROR_DEVICE_NOT_CONNECTED: the board was disconnected")

namespace dirov {

#define DIROV_ERROR_CONSTANT(name, code, text) inline constexpr uint32_t name = code;
DIROV_WINDOWS_ERRORS(DIROV_ERROR_CONSTANT)
#undef DIROV_ERROR_CONSTANT

}  // namespace dirov
