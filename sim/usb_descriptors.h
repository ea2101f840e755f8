// The USB descriptors a simulated board presents for each face, as a host
// reads them off the bus: device, configuration, BOS with the Microsoft OS
// 2.0 platform capability, and the MS OS 2.0 descriptor set that names each
// function's device-interface GUID. An emulated usbfs device serves these,
// so real-USB discovery finds the board as Windows would.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dirov410.h"
#include "dirov410_sim.h"

namespace dirov::sim {

// bMS_VendorCode of the board's MS OS 2.0 descriptor set request.
inline constexpr uint8_t kMsVendorCode = 0x20;

struct UsbDescriptors {
    std::vector<uint8_t> device;  // 18 bytes
    std::vector<uint8_t> config;  // the whole configuration
    std::vector<uint8_t> bos;     // empty for a USB 2.0 device
    std::vector<uint8_t> ms20_set;
    std::vector<uint8_t> ms10_string;                   // string descriptor 0xEE
    std::vector<std::vector<uint8_t>> ms10_properties;  // per interface number
};

// Which Microsoft OS descriptors the board carries: 2.0 in its BOS, or the
// older 1.0 string and extended properties of a USB 2.0 device.
enum class MsOsVersion { kV2, kV1 };

// A function of the MS OS 2.0 set: its first interface (-1: the device as a
// whole, for a single-function device) and its GUIDs.
using Ms20Function = std::pair<int, std::vector<GUID>>;

// UTF-8 text as the UTF-16 code units a string descriptor carries (a byte
// that starts no valid sequence stands for itself, as Latin-1).
std::u16string utf16_from_utf8(const std::string& text);

// The descriptors of `face` of a board configured by `cfg` (none for the
// absent face).
UsbDescriptors usb_descriptors(const dirov_sim_config& cfg, dirov_sim_face face,
                               MsOsVersion ms_os = MsOsVersion::kV2);

// An MS OS 2.0 descriptor set with a WINUSB compatible ID and a
// DeviceInterfaceGUIDs property per function.
std::vector<uint8_t> ms20_descriptor_set(const std::vector<Ms20Function>& functions);

// An MS OS 1.0 extended properties descriptor with a DeviceInterfaceGUIDs
// property.
std::vector<uint8_t> ms10_properties(const std::vector<GUID>& guids);

// A BOS holding the MS OS 2.0 platform capability for a set of `set_length`
// bytes read with `vendor_code`.
std::vector<uint8_t> ms20_bos(uint16_t set_length, uint8_t vendor_code);

}  // namespace dirov::sim
