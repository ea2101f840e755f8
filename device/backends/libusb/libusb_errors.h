// How libusb results become the Windows error codes the transport reports,
// so that callers see what WinUSB would have told them.
#pragma once

#include <cstdint>

namespace dirov {

// A libusb_error value (0 or negative) returned by a libusb call.
uint32_t win_error_from_libusb(int libusb_error);
// A libusb_transfer_status of a completed asynchronous transfer.
uint32_t win_error_from_transfer(int transfer_status);

}  // namespace dirov
