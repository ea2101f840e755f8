// Microsoft OS descriptors, as Windows reads them to learn a USB function's
// device-interface GUIDs, parsed from raw bytes: the BOS platform capability
// and the MS OS 2.0 descriptor set, the MS OS 1.0 string descriptor and
// extended properties. Pure functions; every length is checked against the
// buffer, so any byte string is safe input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "dirov410.h"

namespace dirov::msos {

// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} as it appears on the wire.
inline constexpr uint8_t kMs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                                  0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
// wIndex of the MS OS 2.0 descriptor set request.
inline constexpr uint16_t kMs20DescriptorIndex = 7;
// wIndex of the MS OS 1.0 extended properties request.
inline constexpr uint16_t kMs10ExtendedPropertiesIndex = 5;
// String descriptor index of the MS OS 1.0 signature.
inline constexpr uint8_t kMs10StringIndex = 0xEE;

// Registry value types carried by the property descriptors.
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegMultiSz = 7;

// One Windows-version entry of the MS OS 2.0 platform capability.
struct Ms20Capability {
    uint32_t windows_version = 0;
    uint16_t set_length = 0;
    uint8_t vendor_code = 0;
    uint8_t alt_enum_code = 0;
};

// The device-interface GUIDs declared for one function.
struct FunctionGuids {
    int interface = -1;  // first interface of the function; -1: the whole device
    std::vector<GUID> guids;
};

// Finds the MS OS 2.0 platform capability in a BOS descriptor and takes the
// entry for the newest Windows version. False when there is none or the BOS
// is malformed.
bool find_ms20_capability(const uint8_t* bos, size_t len, Ms20Capability& out);

// Collects the "DeviceInterfaceGUID" / "DeviceInterfaceGUIDs" registry
// properties of an MS OS 2.0 descriptor set, per function subset. False when
// the set is malformed (nothing is trusted from it then).
bool parse_ms20_set(const uint8_t* set, size_t len, std::vector<FunctionGuids>& out);

// The vendor code of an MS OS 1.0 string descriptor ("MSFT100").
bool parse_ms10_string(const uint8_t* d, size_t len, uint8_t& vendor_code);

// The interface GUIDs of an MS OS 1.0 extended properties descriptor.
bool parse_ms10_properties(const uint8_t* d, size_t len, std::vector<GUID>& out);

// GUIDs held by a registry value of a GUID property: REG_SZ with one, or
// REG_MULTI_SZ with several, UTF-16LE. False when a string is no GUID.
bool parse_guid_value(uint32_t type, const uint8_t* data, size_t len, std::vector<GUID>& out);

// "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}", braces optional, any case.
bool parse_guid_text(std::string_view text, GUID& out);

// One entry of the GUID map "{GUID}=VID:PID[:interface];..." for devices
// that carry no Microsoft OS descriptors.
struct GuidMapEntry {
    GUID guid{};
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    int interface = 0;
};

// Parses the whole map; false (and nothing in `out`) when any entry is
// malformed. Empty entries between separators are allowed.
bool parse_guid_map(std::string_view text, std::vector<GuidMapEntry>& out);

}  // namespace dirov::msos
