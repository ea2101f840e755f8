// Little-endian fields in byte buffers. USB descriptors, DFU records and
// suffixes, ELF32 files and WAV headers all store their numbers this way;
// these read and write them one byte at a time, so any alignment and any
// host byte order work.
#pragma once

#include <cstdint>

namespace dirov {

inline constexpr uint16_t load_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline constexpr uint32_t load_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline constexpr void store_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline constexpr void store_le32(uint8_t* p, uint32_t v) {
    store_le16(p, static_cast<uint16_t>(v));
    store_le16(p + 2, static_cast<uint16_t>(v >> 16));
}

}  // namespace dirov
