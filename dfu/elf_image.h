// Pure decoding of ELF32 headers from bytes, and the bounds checks that keep
// the ELF reader inside the file it reads (no I/O here).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dirov410.h"

namespace dirov::elf {

inline constexpr size_t kIdentSize = 16;
inline constexpr size_t kFileHeaderSize = 52;
inline constexpr size_t kProgramHeaderSize = 32;
inline constexpr size_t kSectionHeaderSize = 40;

// Magic 0x7F 'E' 'L' 'F' and EI_CLASS 1; EI_DATA is not examined.
bool is_elf32(const uint8_t* ident);

void decode_file_header(const uint8_t* bytes, Elf32FileHeader* out);
void decode_program_header(const uint8_t* bytes, Elf32ProgramHeader* out);
void decode_section_header(const uint8_t* bytes, Elf32SectionHeader* out);

// True when the `size` bytes at `offset` lie inside a file of `file_size` bytes.
inline bool fits(uint64_t file_size, uint64_t offset, uint64_t size) {
    return offset <= file_size && size <= file_size - offset;
}

// True when a name of `name_len` bytes plus its NUL, at `name_offset` in the
// string table `strtab`, lies inside both the table and the file.
bool name_fits(uint64_t file_size, const Elf32SectionHeader& strtab, uint32_t name_offset,
               size_t name_len);

}  // namespace dirov::elf
