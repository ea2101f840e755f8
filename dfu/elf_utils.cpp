// ELF32 reader: file header, program headers, section lookup by name and
// section bytes, over an open stream.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "dfu/elf_image.h"
#include "dirov410.h"
#include "platform/byte_order.h"
#include "platform/file_ops.h"
#include "platform/log.h"

namespace dirov::elf {

bool is_elf32(const uint8_t* ident) {
    return ident[0] == 0x7F && ident[1] == 'E' && ident[2] == 'L' && ident[3] == 'F' &&
           ident[4] == 1;
}

void decode_file_header(const uint8_t* b, Elf32FileHeader* h) {
    std::memcpy(h->e_ident, b, kIdentSize);
    h->e_type = load_le16(b + 16);
    h->e_machine = load_le16(b + 18);
    h->e_version = load_le32(b + 20);
    h->e_entry = load_le32(b + 24);
    h->e_phoff = load_le32(b + 28);
    h->e_shoff = load_le32(b + 32);
    h->e_flags = load_le32(b + 36);
    h->e_ehsize = load_le16(b + 40);
    h->e_phentsize = load_le16(b + 42);
    h->e_phnum = load_le16(b + 44);
    h->e_shentsize = load_le16(b + 46);
    h->e_shnum = load_le16(b + 48);
    h->e_shstrndx = load_le16(b + 50);
}

void decode_program_header(const uint8_t* b, Elf32ProgramHeader* h) {
    uint32_t* fields[] = {&h->p_type,   &h->p_offset, &h->p_vaddr, &h->p_paddr,
                          &h->p_filesz, &h->p_memsz,  &h->p_flags, &h->p_align};
    for (uint32_t* f : fields) {
        *f = load_le32(b);
        b += 4;
    }
}

void decode_section_header(const uint8_t* b, Elf32SectionHeader* h) {
    uint32_t* fields[] = {&h->sh_name, &h->sh_type, &h->sh_flags, &h->sh_addr,      &h->sh_offset,
                          &h->sh_size, &h->sh_link, &h->sh_info,  &h->sh_addralign, &h->sh_entsize};
    for (uint32_t* f : fields) {
        *f = load_le32(b);
        b += 4;
    }
}

bool name_fits(uint64_t file_size, const Elf32SectionHeader& strtab, uint32_t name_offset,
               size_t name_len) {
    uint64_t need = static_cast<uint64_t>(name_len) + 1;
    return fits(strtab.sh_size, name_offset, need) &&
           fits(file_size, static_cast<uint64_t>(strtab.sh_offset) + name_offset, need);
}

}  // namespace dirov::elf

namespace {

using namespace dirov::elf;

// An offset beyond what fseek takes (a 32-bit long on Windows) lies past the
// end of any file it can size: go to the end, so that the read that follows
// reports end of file on every OS.
bool seek_to(FILE* stream, uint64_t offset) {
    if (offset > static_cast<uint64_t>(LONG_MAX)) return std::fseek(stream, 0, SEEK_END) == 0;
    return std::fseek(stream, static_cast<long>(offset), SEEK_SET) == 0;
}

// Length of the stream, its position left unchanged.
std::optional<uint64_t> stream_size(FILE* stream) {
    fpos_t pos;
    if (fgetpos(stream, &pos) != 0) return std::nullopt;
    long end = std::fseek(stream, 0, SEEK_END) == 0 ? std::ftell(stream) : -1;
    if (fsetpos(stream, &pos) != 0 || end < 0) return std::nullopt;
    return static_cast<uint64_t>(end);
}

void report_short_read(FILE* stream, const char* eof_text, const char* error_prefix) {
    if (std::feof(stream)) {
        DIROV_LOG_E("%s", eof_text);
    } else if (std::ferror(stream)) {
        dirov::log_errno(error_prefix);
    }
}

void* not_found() {
    DIROV_LOG_E("Section not found\n");
    return nullptr;
}

// Reads the whole section header table, refusing one that runs past the end
// of the file before allocating it.
uint8_t* read_section_table(FILE* stream, const Elf32FileHeader& h) {
    static const char* kEof = "EOF encountered when reading the section headers\n";
    std::optional<uint64_t> size = stream_size(stream);
    if (!size) {
        dirov::log_errno("fseek2");
        return nullptr;
    }
    uint64_t bytes = static_cast<uint64_t>(h.e_shnum) * kSectionHeaderSize;
    if (!fits(*size, h.e_shoff, bytes)) {
        DIROV_LOG_E("%s", kEof);
        return nullptr;
    }
    auto* table = static_cast<uint8_t*>(std::calloc(h.e_shnum ? h.e_shnum : 1, kSectionHeaderSize));
    if (!table) return nullptr;
    if (std::fread(table, kSectionHeaderSize, h.e_shnum, stream) != h.e_shnum) {
        report_short_read(stream, kEof, "fread, section header");
        std::free(table);
        return nullptr;
    }
    return table;
}

// Whether the name of `entry` in the string table `strtab` is `name`.
bool name_matches(FILE* stream, uint64_t file_size, const Elf32SectionHeader& strtab,
                  const Elf32SectionHeader& entry, const char* name, size_t len, char* scratch) {
    if (!name_fits(file_size, strtab, entry.sh_name, len)) return false;
    uint64_t at = static_cast<uint64_t>(strtab.sh_offset) + entry.sh_name;
    if (!seek_to(stream, at) || std::fread(scratch, 1, len + 1, stream) != len + 1) return false;
    return std::memcmp(scratch, name, len + 1) == 0;
}

// Index of the first entry named `name`, or -1.
long find_section(FILE* stream, const Elf32FileHeader& h, const uint8_t* table, const char* name) {
    if (h.e_shstrndx >= h.e_shnum) return -1;
    std::optional<uint64_t> file_size = stream_size(stream);
    if (!file_size) return -1;
    Elf32SectionHeader strtab;
    decode_section_header(table + h.e_shstrndx * kSectionHeaderSize, &strtab);
    size_t len = std::strlen(name);
    char* scratch = static_cast<char*>(std::malloc(len + 1));
    if (!scratch) return -1;
    long found = -1;
    for (long i = 0; i < h.e_shnum && found < 0; ++i) {
        Elf32SectionHeader entry;
        decode_section_header(table + i * kSectionHeaderSize, &entry);
        if (name_matches(stream, *file_size, strtab, entry, name, len, scratch)) found = i;
    }
    std::free(scratch);
    return found;
}

}  // namespace

extern "C" {

DIROV_API Elf32FileHeader* elf_get_file_header(FILE* stream) {
    if (!stream) return nullptr;
    uint8_t bytes[kFileHeaderSize];
    if (std::fread(bytes, 1, kIdentSize, stream) != kIdentSize) {
        dirov::log_errno("fread, e_ident");
        return nullptr;
    }
    if (!is_elf32(bytes)) {
        DIROV_LOG_E("File is not a 32 bit ELF file\n");
        return nullptr;
    }
    auto* h = static_cast<Elf32FileHeader*>(std::malloc(sizeof(Elf32FileHeader)));
    if (!h) return nullptr;
    if (std::fseek(stream, 0, SEEK_SET) != 0 ||
        std::fread(bytes, 1, kFileHeaderSize, stream) != kFileHeaderSize) {
        if (std::feof(stream)) {
            DIROV_LOG_E("EOF encountered\n");
        } else {
            dirov::log_errno("ferror");
        }
        std::free(h);
        return nullptr;
    }
    decode_file_header(bytes, h);
    if (h->e_shoff == 0) {
        DIROV_LOG_E("No section headers in file");
        std::free(h);
        return nullptr;
    }
    return h;
}

DIROV_API Elf32ProgramHeader* elf_get_program_header(FILE* stream, const Elf32FileHeader* header,
                                                     uint32_t index) {
    if (!stream || !header || header->e_phentsize != kProgramHeaderSize ||
        index >= header->e_phnum) {
        return nullptr;
    }
    fpos_t pos;
    if (fgetpos(stream, &pos) != 0) return nullptr;
    auto* ph = static_cast<Elf32ProgramHeader*>(std::malloc(sizeof(Elf32ProgramHeader)));
    if (!ph) return nullptr;
    uint8_t bytes[kProgramHeaderSize];
    uint64_t at = header->e_phoff + static_cast<uint64_t>(index) * kProgramHeaderSize;
    bool ok = seek_to(stream, at) && std::fread(bytes, 1, sizeof bytes, stream) == sizeof bytes;
    if (fsetpos(stream, &pos) != 0) ok = false;
    if (!ok) {
        std::free(ph);
        return nullptr;
    }
    decode_program_header(bytes, ph);
    return ph;
}

DIROV_API Elf32SectionHeader* elf_get_section_header(FILE* stream, const Elf32FileHeader* header,
                                                     const char* name) {
    if (!stream || !header || !name) return nullptr;
    if (!seek_to(stream, header->e_shoff)) {
        dirov::log_errno("fseek2");
        return nullptr;
    }
    if (header->e_shentsize != kSectionHeaderSize) {
        DIROV_LOG_E("Section head sizes don't match: %d in ELF and %llu in C\n",
                    header->e_shentsize, static_cast<unsigned long long>(kSectionHeaderSize));
        return nullptr;
    }
    uint8_t* table = read_section_table(stream, *header);
    if (!table) return nullptr;
    long index = header->e_shnum ? find_section(stream, *header, table, name) : -1;
    auto* copy = index >= 0
                     ? static_cast<Elf32SectionHeader*>(std::malloc(sizeof(Elf32SectionHeader)))
                     : nullptr;
    if (copy) decode_section_header(table + index * kSectionHeaderSize, copy);
    std::free(table);
    return copy ? copy : static_cast<Elf32SectionHeader*>(not_found());
}

DIROV_API uint8_t* elf_get_section_data(FILE* stream, const Elf32FileHeader* header,
                                        const Elf32SectionHeader* section, uint32_t* size) {
    if (!stream || !header || !section || !size) return nullptr;
    *size = 0;
    std::optional<uint64_t> file_size = stream_size(stream);
    if (!file_size) {
        dirov::log_errno("fseek");
        return nullptr;
    }
    // A section that claims more bytes than the file holds is refused before
    // anything is allocated for it.
    if (!fits(*file_size, section->sh_offset, section->sh_size)) {
        DIROV_LOG_E("EOF encountered\n");
        return nullptr;
    }
    auto* data = static_cast<uint8_t*>(std::calloc(section->sh_size ? section->sh_size : 1, 1));
    if (!data) return nullptr;
    if (!seek_to(stream, section->sh_offset)) {
        dirov::log_errno("fseek");
        std::free(data);
        return nullptr;
    }
    if (std::fread(data, 1, section->sh_size, stream) != section->sh_size) {
        report_short_read(stream, "EOF encountered\n", "fread");
        std::free(data);
        return nullptr;
    }
    *size = section->sh_size;
    return data;
}

DIROV_API uint8_t* elf_get_section_data_from_file(const char* path, const char* name,
                                                  uint32_t* size) {
    if (size) *size = 0;
    if (!path || !name) return nullptr;
    FILE* f = dirov::files::open_regular(path);
    if (!f) return nullptr;
    Elf32FileHeader* h = elf_get_file_header(f);
    Elf32SectionHeader* sh = h ? elf_get_section_header(f, h, name) : nullptr;
    uint8_t* data = sh ? elf_get_section_data(f, h, sh, size) : nullptr;
    std::free(sh);
    std::free(h);
    std::fclose(f);
    return data;
}

}  // extern "C"
