#include "device/backends/libusb/libusb_errors.h"

#include <libusb.h>

#include "platform/platform.h"

namespace dirov {
namespace {

enum class Source { kCall, kTransfer };

struct Mapping {
    Source source;
    int code;
    uint32_t win;
};

// The one table: libusb call results and transfer statuses side by side.
// A stall is what WinUSB reports as ERROR_GEN_FAILURE; a vanished device is
// ERROR_DEVICE_NOT_CONNECTED; a cancelled transfer is ERROR_OPERATION_ABORTED.
constexpr Mapping kTable[] = {
    {Source::kCall, LIBUSB_SUCCESS, kErrorSuccess},
    {Source::kCall, LIBUSB_ERROR_IO, kErrorGenFailure},
    {Source::kCall, LIBUSB_ERROR_INVALID_PARAM, kErrorInvalidParameter},
    {Source::kCall, LIBUSB_ERROR_ACCESS, kErrorAccessDenied},
    {Source::kCall, LIBUSB_ERROR_NO_DEVICE, kErrorDeviceNotConnected},
    {Source::kCall, LIBUSB_ERROR_NOT_FOUND, kErrorFileNotFound},
    {Source::kCall, LIBUSB_ERROR_BUSY, kErrorBusy},
    {Source::kCall, LIBUSB_ERROR_TIMEOUT, kErrorSemTimeout},
    {Source::kCall, LIBUSB_ERROR_OVERFLOW, kErrorMoreData},
    {Source::kCall, LIBUSB_ERROR_PIPE, kErrorGenFailure},
    {Source::kCall, LIBUSB_ERROR_INTERRUPTED, kErrorOperationAborted},
    {Source::kCall, LIBUSB_ERROR_NO_MEM, kErrorNotEnoughMemory},
    {Source::kCall, LIBUSB_ERROR_NOT_SUPPORTED, kErrorNotSupported},
    {Source::kCall, LIBUSB_ERROR_OTHER, kErrorGenFailure},
    {Source::kTransfer, LIBUSB_TRANSFER_COMPLETED, kErrorSuccess},
    {Source::kTransfer, LIBUSB_TRANSFER_ERROR, kErrorGenFailure},
    {Source::kTransfer, LIBUSB_TRANSFER_TIMED_OUT, kErrorSemTimeout},
    {Source::kTransfer, LIBUSB_TRANSFER_CANCELLED, kErrorOperationAborted},
    {Source::kTransfer, LIBUSB_TRANSFER_STALL, kErrorGenFailure},
    {Source::kTransfer, LIBUSB_TRANSFER_NO_DEVICE, kErrorDeviceNotConnected},
    {Source::kTransfer, LIBUSB_TRANSFER_OVERFLOW, kErrorMoreData},
};

uint32_t lookup(Source source, int code) {
    for (const Mapping& m : kTable)
        if (m.source == source && m.code == code) return m.win;
    return kErrorGenFailure;
}

}  // namespace

uint32_t win_error_from_libusb(int libusb_error) {
    return lookup(Source::kCall, libusb_error);
}
uint32_t win_error_from_transfer(int status) {
    return lookup(Source::kTransfer, status);
}

}  // namespace dirov
