// DFU file: image records cut from the patch sections of an ELF32 firmware
// file, and the loading of such a file for download.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "dfu/dfu_image.h"
#include "dfu/dfu_record.h"
#include "dirov410.h"
#include "platform/file_ops.h"

namespace dirov::dfu {

bool count_records(const uint8_t* image, size_t length, uint32_t* count) {
    uint32_t n = 0;
    size_t at = 0;
    while (at < length) {
        if (length - at < DIROV_DFU_RECORD_HEADER || n == kMaxRecords) return false;
        size_t data = read_record_header(image + at).length;
        if (data == 0 || data > DIROV_DFU_RECORD_MAX_DATA) return false;
        if (length - at - DIROV_DFU_RECORD_HEADER < data) return false;
        at += DIROV_DFU_RECORD_HEADER + data;
        ++n;
    }
    *count = n;
    return true;
}

bool segment_holds(const Elf32ProgramHeader& ph, const Elf32SectionHeader& sh) {
    uint64_t addr = sh.sh_addr, off = sh.sh_offset, size = sh.sh_size;
    return ph.p_vaddr <= addr && addr + size <= uint64_t{ph.p_vaddr} + ph.p_memsz &&
           ph.p_offset <= off && off + size <= uint64_t{ph.p_offset} + ph.p_filesz;
}

}  // namespace dirov::dfu

namespace {

using namespace dirov::dfu;

constexpr const char* kDefaultNames[] = {".patch.isrvect", ".patch.ldvect", ".patch.usbdesc",
                                         ".patch.usbcb",   ".patch.main",   ".patch.firmware"};
constexpr uint8_t kDefaultIds[] = {0, 1, 2, 3, 5, 4};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using CPtr = std::unique_ptr<T, FreeDeleter>;

struct Record {
    uint8_t id;
    uint16_t length;
    uint32_t address;
    const uint8_t* data;
};

// Records of every section read so far; each section's bytes live in
// `buffers` until the file is written.
struct RecordList {
    std::vector<Record> records;
    std::vector<CPtr<uint8_t>> buffers;
};

// The address is 0 when no segment holds the section; false when a program
// header cannot be read.
bool find_load_address(FILE* elf, const Elf32FileHeader& h, const Elf32SectionHeader& sh,
                       uint32_t* address) {
    *address = 0;
    for (uint32_t i = 0; i < h.e_phnum; ++i) {
        CPtr<Elf32ProgramHeader> ph{elf_get_program_header(elf, &h, i)};
        if (!ph) return false;
        if (segment_holds(*ph, sh)) {
            *address = load_address(*ph, sh);
            return true;
        }
    }
    return true;
}

bool add_section(FILE* elf, const char* name, uint8_t id, RecordList& list) {
    if (!name || std::fseek(elf, 0, SEEK_SET) != 0) return false;
    CPtr<Elf32FileHeader> h{elf_get_file_header(elf)};
    if (!h) return false;
    CPtr<Elf32SectionHeader> sh{elf_get_section_header(elf, h.get(), name)};
    if (!sh) return false;
    uint32_t size = 0;
    CPtr<uint8_t> data{elf_get_section_data(elf, h.get(), sh.get(), &size)};
    uint32_t address = 0;
    if (!data || !find_load_address(elf, *h, *sh, &address) || size == 0) return false;
    for (uint32_t off = 0; off < size; off += DIROV_DFU_RECORD_MAX_DATA) {
        uint32_t len = std::min<uint32_t>(size - off, DIROV_DFU_RECORD_MAX_DATA);
        list.records.push_back({id, static_cast<uint16_t>(len), address + off, data.get() + off});
        if (list.records.size() > kMaxRecords) return false;
    }
    list.buffers.push_back(std::move(data));
    return true;
}

bool write_records(FILE* out, const std::vector<Record>& records) {
    for (const Record& r : records) {
        uint8_t head[dirov::dfu::kRecordHeader];
        dirov::dfu::write_record_header(head, {r.id, r.length, r.address});
        if (std::fwrite(head, 1, sizeof head, out) != sizeof head ||
            std::fwrite(r.data, 1, r.length, out) != r.length) {
            return false;
        }
    }
    return true;
}

bool build_records(FILE* elf, uint32_t count, const char* const* names, const uint8_t* ids,
                   RecordList& list) {
    if (!names[0]) return true;
    for (uint32_t i = 0; i < count; ++i) {
        if (!add_section(elf, names[i], ids[i], list)) return false;
    }
    std::stable_sort(list.records.begin(), list.records.end(),
                     [](const Record& a, const Record& b) { return a.address < b.address; });
    return true;
}

// Writes the records to a new file beside the DFU path, then puts the
// complete file in place in one step, so the DFU path never holds a partial
// file.
bool write_file(FILE* elf, const char* dfuPath, uint32_t count, const char* const* names,
                const uint8_t* ids) {
    dirov::files::TempFile out(dfuPath);
    if (!out.file()) return false;
    RecordList list;
    return build_records(elf, count, names, ids, list) && write_records(out.file(), list.records) &&
           out.commit();
}

int32_t read_image(FILE* f, uint8_t** image, uint32_t* count) {
    int32_t suffix = dfu_file_check_suffix(f);
    if (suffix == DFU_SUFFIX_BAD_CRC) return 1;
    long trim = suffix == 0 ? -static_cast<long>(kSuffixSize) : 0;
    if (std::fseek(f, trim, SEEK_END) != 0) return 1;
    long length = std::ftell(f);
    if (length < 0 || std::fseek(f, 0, SEEK_SET) != 0) return 1;
    // No valid image is longer than kMaxRecords full records.
    if (static_cast<uint64_t>(length) > uint64_t{kMaxRecords} * 2048) return 1;
    CPtr<uint8_t> buf{static_cast<uint8_t*>(std::malloc(length ? length : 1))};
    if (!buf || std::fread(buf.get(), 1, length, f) != static_cast<size_t>(length)) return 1;
    // An image without records would leave the board without firmware.
    if (!count_records(buf.get(), length, count) || *count == 0) return 1;
    *image = buf.release();
    return 0;
}

}  // namespace

extern "C" {

DIROV_API int32_t dfu_file_create(const char* elfPath, const char* dfuPath, uint32_t count,
                                  const char* const* sectionNames, const uint8_t* sectionIds) {
    if (!sectionIds || !sectionNames || count == 0) {
        sectionNames = kDefaultNames;
        sectionIds = kDefaultIds;
        count = 6;
    }
    if (!elfPath || !dfuPath) return 1;
    FILE* elf = dirov::files::open_regular(elfPath);
    if (!elf) return 1;
    bool ok;
    try {
        ok = write_file(elf, dfuPath, count, sectionNames, sectionIds);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    std::fclose(elf);
    return ok ? 0 : 1;
}

DIROV_API int32_t dfu_file_read(const char* path, uint8_t** image, uint32_t* count) {
    if (image) *image = nullptr;
    if (count) *count = 0;
    if (!path || !image || !count) return 1;
    FILE* f = dirov::files::open_regular(path);
    if (!f) return 1;
    int32_t rc = read_image(f, image, count);
    if (rc != 0) *count = 0;
    std::fclose(f);
    return rc;
}

}  // extern "C"
