// Pure helpers of the DFU file: the record walk, the load address of a
// section.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dirov410.h"

namespace dirov::dfu {

inline constexpr size_t kSuffixSize = 16;
// One record per DFU block, and block numbers are 16 bits wide.
inline constexpr uint32_t kMaxRecords = 65535;

// Counts the records of a DFU image. False when the records do not exactly
// fill it (a record header or data running past the end), when a length is 0
// or above 2040, or when there are more than kMaxRecords.
bool count_records(const uint8_t* image, size_t length, uint32_t* count);

// The segment holds the whole section, both in memory and in the file.
bool segment_holds(const Elf32ProgramHeader& ph, const Elf32SectionHeader& sh);

// The section's load address through a segment that holds it.
inline uint32_t load_address(const Elf32ProgramHeader& ph, const Elf32SectionHeader& sh) {
    return sh.sh_addr + ph.p_paddr - ph.p_vaddr;
}

}  // namespace dirov::dfu
