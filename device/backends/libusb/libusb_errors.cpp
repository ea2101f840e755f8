#include "device/backends/libusb/libusb_errors.h"

#include <libusb.h>

#include "platform/platform.h"

namespace dirov {
namespace {

enum class Source { Call, Transfer };

struct Mapping {
    Source source;
    int code;
    uint32_t win;
};

// The one table: libusb call results and transfer statuses side by side.
// A stall is what WinUSB reports as ERROR_GEN_FAILURE; a vanished device is
// ERROR_DEVICE_NOT_CONNECTED; a cancelled transfer is ERROR_OPERATION_ABORTED.
constexpr Mapping kTable[] = {
    {Source::Call, LIBUSB_SUCCESS, kErrorSuccess},
    {Source::Call, LIBUSB_ERROR_IO, kErrorGenFailure},
    {Source::Call, LIBUSB_ERROR_INVALID_PARAM, kErrorInvalidParameter},
    {Source::Call, LIBUSB_ERROR_ACCESS, kErrorAccessDenied},
    {Source::Call, LIBUSB_ERROR_NO_DEVICE, kErrorDeviceNotConnected},
    {Source::Call, LIBUSB_ERROR_NOT_FOUND, kErrorFileNotFound},
    {Source::Call, LIBUSB_ERROR_BUSY, kErrorBusy},
    {Source::Call, LIBUSB_ERROR_TIMEOUT, kErrorSemTimeout},
    {Source::Call, LIBUSB_ERROR_OVERFLOW, kErrorMoreData},
    {Source::Call, LIBUSB_ERROR_PIPE, kErrorGenFailure},
    {Source::Call, LIBUSB_ERROR_INTERRUPTED, kErrorOperationAborted},
    {Source::Call, LIBUSB_ERROR_NO_MEM, kErrorNotEnoughMemory},
    {Source::Call, LIBUSB_ERROR_NOT_SUPPORTED, kErrorNotSupported},
    {Source::Call, LIBUSB_ERROR_OTHER, kErrorGenFailure},
    {Source::Transfer, LIBUSB_TRANSFER_COMPLETED, kErrorSuccess},
    {Source::Transfer, LIBUSB_TRANSFER_ERROR, kErrorGenFailure},
    {Source::Transfer, LIBUSB_TRANSFER_TIMED_OUT, kErrorSemTimeout},
    {Source::Transfer, LIBUSB_TRANSFER_CANCELLED, kErrorOperationAborted},
    {Source::Transfer, LIBUSB_TRANSFER_STALL, kErrorGenFailure},
    {Source::Transfer, LIBUSB_TRANSFER_NO_DEVICE, kErrorDeviceNotConnected},
    {Source::Transfer, LIBUSB_TRANSFER_OVERFLOW, kErrorMoreData},
};

uint32_t lookup(Source source, int code) {
    for (const Mapping& m : kTable)
        if (m.source == source && m.code == code) return m.win;
    return kErrorGenFailure;
}

}  // namespace

uint32_t win_error_from_libusb(int libusb_error) {
    return lookup(Source::Call, libusb_error);
}
uint32_t win_error_from_transfer(int status) {
    return lookup(Source::Transfer, status);
}

}  // namespace dirov
