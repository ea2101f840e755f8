// The control requests between host and board: DFU 1.1 class requests with
// the board's own 0x0A, the DFU functional descriptor, and the bootloader's
// vendor requests. Shared by the library and the simulated board.
#pragma once

#include <cstdint>

namespace dirov::dfu {

// bmRequestType values.
inline constexpr uint8_t kClassOut = 0x21;    // host-to-device, class, interface
inline constexpr uint8_t kClassIn = 0xA1;     // device-to-host, class, interface
inline constexpr uint8_t kStandardIn = 0x80;  // device-to-host, standard, device
inline constexpr uint8_t kVendorIn = 0xC0;    // device-to-host, vendor, device

// DFU class requests.
inline constexpr uint8_t kDetach = 0;
inline constexpr uint8_t kDnload = 1;
inline constexpr uint8_t kUpload = 2;
inline constexpr uint8_t kGetStatus = 3;
inline constexpr uint8_t kClrStatus = 4;
inline constexpr uint8_t kGetState = 5;
inline constexpr uint8_t kAbort = 6;
inline constexpr uint8_t kLeaveDfu = 0x0A;  // the board's: leave DFU mode

// GET_DESCRIPTOR of the DFU functional descriptor (type 0x21, index 0).
inline constexpr uint8_t kGetDescriptor = 6;
inline constexpr uint16_t kFunctionalDescriptor = 0x2100;

// Bootloader vendor requests.
inline constexpr uint8_t kVersion = 0;
inline constexpr uint8_t kFirmwareValid = 1;
inline constexpr uint8_t kStartMain = 2;
inline constexpr uint8_t kReset = 3;
inline constexpr uint8_t kState = 4;

}  // namespace dirov::dfu
