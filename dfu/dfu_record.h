// The record of a DFU image: an eight-byte header (the record id, a
// reserved byte, the data length and the load address, both little-endian)
// followed by the data. Pure and header-only, so the library, the simulated
// bootloader and dirovctl read and write records with the same code; the
// caller checks that the header's bytes are there.
#pragma once

#include <cstdint>

#include "dirov410.h"
#include "platform/byte_order.h"

namespace dirov::dfu {

inline constexpr uint32_t kRecordHeader = DIROV_DFU_RECORD_HEADER;

struct RecordHeader {
    uint8_t id;
    uint16_t length;  // bytes of data after the header
    uint32_t address;
};

// The header at `p` (kRecordHeader bytes).
inline RecordHeader read_record_header(const uint8_t* p) {
    return {p[0], load_le16(p + 2), load_le32(p + 4)};
}

// The whole record at `p`, header included.
inline uint32_t record_size(const uint8_t* p) {
    return kRecordHeader + load_le16(p + 2);
}

// Writes the header into `p` (kRecordHeader bytes).
inline void write_record_header(uint8_t* p, const RecordHeader& h) {
    p[0] = h.id;
    p[1] = 0;
    store_le16(p + 2, h.length);
    store_le32(p + 4, h.address);
}

}  // namespace dirov::dfu
