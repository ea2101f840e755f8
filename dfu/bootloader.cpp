// The bootloader's vendor requests (device-to-host, vendor, device). The
// one- and four-byte requests read into a zeroed buffer of their own and
// report a reply shorter than asked as a failed request, so no result is made
// of bytes the board never sent.
#include <cstring>

#include "device/usb.h"
#include "dfu/dfu_protocol.h"
#include "dirov410.h"
#include "platform/byte_order.h"

using namespace dirov;

namespace {

using namespace dirov::dfu;

int32_t vendor_in(WINUSB_INTERFACE_HANDLE h, uint8_t request, uint8_t* buf, uint16_t len) {
    SetupPacket s{kVendorIn, request, 0, 0, len};
    uint32_t done = 0;
    if (!usb_control_transfer(h, s, buf, len, &done)) return -1;
    return static_cast<int32_t>(done);
}

int32_t one_byte(WINUSB_INTERFACE_HANDLE h, uint8_t request) {
    uint8_t reply = 0;
    return vendor_in(h, request, &reply, 1) == 1 ? reply : -1;
}

}  // namespace

extern "C" {

DIROV_API int32_t bootloader_version(WINUSB_INTERFACE_HANDLE h) {
    uint8_t b[4] = {};
    if (vendor_in(h, kVersion, b, sizeof b) != static_cast<int32_t>(sizeof b)) return -1;
    return static_cast<int32_t>(dirov::load_le32(b));
}

DIROV_API int32_t bootloader_is_firmware_valid(WINUSB_INTERFACE_HANDLE h) {
    return one_byte(h, kFirmwareValid);
}

DIROV_API int32_t bootloader_start_main(WINUSB_INTERFACE_HANDLE h) {
    return one_byte(h, kStartMain);
}

DIROV_API int32_t bootloader_reset(WINUSB_INTERFACE_HANDLE h) {
    return one_byte(h, kReset);
}

DIROV_API int32_t bootloader_state(WINUSB_INTERFACE_HANDLE h, BootloaderState* state) {
    if (!state) return -2;
    std::memset(state->bytes, 0, sizeof state->bytes);
    return vendor_in(h, kState, state->bytes, sizeof state->bytes);
}

}  // extern "C"
