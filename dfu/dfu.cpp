// DFU 1.1 class requests, the board's leave-DFU request and the functional
// descriptor. Each is one synchronous control transfer to the interface the
// handle is bound to (the transport puts its number in wIndex, as WinUSB
// does); the layer keeps no state, never retries and prints nothing.
#include "device/usb.h"
#include "dfu/dfu_protocol.h"
#include "dirov410.h"
#include "platform/platform.h"

using namespace dirov;

namespace {

using namespace dirov::dfu;

// wLength is 16 bits: a longer data stage cannot be described to the board.
constexpr uint32_t kMaxDataStage = 0xFFFF;

int32_t no_data(WINUSB_INTERFACE_HANDLE h, uint8_t request, uint16_t value) {
    SetupPacket s{kClassOut, request, value, 0, 0};
    return usb_control_transfer(h, s, nullptr, 0, nullptr) ? 0 : -1;
}

int32_t data_stage(WINUSB_INTERFACE_HANDLE h, uint8_t type, uint8_t request, uint16_t value,
                   void* buf, uint32_t len) {
    if (len > kMaxDataStage) {
        set_last_error(kErrorInvalidParameter);
        return -1;
    }
    SetupPacket s{type, request, value, 0, static_cast<uint16_t>(len)};
    uint32_t done = 0;
    if (!usb_control_transfer(h, s, buf, len, &done)) return -1;
    return static_cast<int32_t>(done);
}

}  // namespace

extern "C" {

DIROV_API int32_t dfu_detach(WINUSB_INTERFACE_HANDLE h, uint16_t timeout) {
    return no_data(h, kDetach, timeout);
}

DIROV_API int32_t dfu_dnload(WINUSB_INTERFACE_HANDLE h, const uint8_t* buffer, uint32_t length,
                             uint16_t block) {
    if (!buffer && length != 0) return -1;
    // The OUT stage only reads the buffer.
    return data_stage(h, kClassOut, kDnload, block, const_cast<uint8_t*>(buffer), length);
}

DIROV_API int32_t dfu_upload(WINUSB_INTERFACE_HANDLE h, uint8_t* buffer, uint32_t length,
                             uint16_t block) {
    if (!buffer) return -1;
    return data_stage(h, kClassIn, kUpload, block, buffer, length);
}

DIROV_API int32_t dfu_getstatus(WINUSB_INTERFACE_HANDLE h, DfuStatus* status) {
    if (!status) return -1;
    return data_stage(h, kClassIn, kGetStatus, 0, status, sizeof *status);
}

DIROV_API int32_t dfu_clrstatus(WINUSB_INTERFACE_HANDLE h) {
    return no_data(h, kClrStatus, 0);
}

DIROV_API int32_t dfu_getstate(WINUSB_INTERFACE_HANDLE h, uint8_t* state) {
    if (!state) return -1;
    return data_stage(h, kClassIn, kGetState, 0, state, 1);
}

DIROV_API int32_t dfu_abort(WINUSB_INTERFACE_HANDLE h) {
    return no_data(h, kAbort, 0);
}

DIROV_API int32_t dfu_start(WINUSB_INTERFACE_HANDLE h) {
    return no_data(h, kLeaveDfu, 0);
}

DIROV_API int32_t dfu_getdescriptor(WINUSB_INTERFACE_HANDLE h, DfuFunctionalDescriptor* desc) {
    if (!desc) return -1;
    return data_stage(h, kStandardIn, kGetDescriptor, kFunctionalDescriptor, desc, sizeof *desc);
}

}  // extern "C"
