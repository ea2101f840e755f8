// ELF32 reader: against binutils' view of a real ARM firmware file, and on
// damaged copies of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "data/binutils_listing.h"
#include "dirov410.h"
#include "support/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using dirov::test::OutputCapture;

uint32_t get(const Bytes& b, size_t at, int width) {
    uint32_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
    return v;
}

void set(Bytes& b, size_t at, int width, uint32_t v) {
    for (int i = 0; i < width; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// firmware.elf, editable by header field and by section-header field.
struct Image {
    Bytes b = dirov::test::file_bytes(dirov::test::data_path("firmware.elf"));
    size_t section(unsigned i) const { return get(b, 32, 4) + 40 * i; }
    FILE* open() const {
        FILE* f = std::tmpfile();
        std::fwrite(b.data(), 1, b.size(), f);
        std::rewind(f);
        return f;
    }
};

// Section index 1 is .patch.isrvect, 2 .patch.ldvect (the order objdump lists).
constexpr unsigned kIsrvect = 1, kLdvect = 2;

struct Lookup {
    Elf32SectionHeader* sh = nullptr;
    uint8_t* data = nullptr;
    uint32_t size = 0xFFFF;
    std::string err;
    ~Lookup() {
        std::free(sh);
        std::free(data);
    }
};

// Header, section and data of `name` in `img`, with what reached stderr.
void lookup(const Image& img, const char* name, Lookup& out) {
    FILE* f = img.open();
    OutputCapture err(stderr);
    Elf32FileHeader* h = elf_get_file_header(f);
    out.sh = h ? elf_get_section_header(f, h, name) : nullptr;
    out.data = out.sh ? elf_get_section_data(f, h, out.sh, &out.size) : nullptr;
    out.err = err.take();
    std::free(h);
    std::fclose(f);
}

TEST(ElfRead, SectionsMatchBinutils) {
    std::string path = dirov::test::data_path("firmware.elf");
    auto sections = dirov::test::listed_sections("firmware");
    ASSERT_GE(sections.size(), 6u);
    FILE* f = std::fopen(path.c_str(), "rb");
    Elf32FileHeader* h = elf_get_file_header(f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(std::ftell(f), 52);
    for (const auto& s : sections) {
        Elf32SectionHeader* sh = elf_get_section_header(f, h, s.name.c_str());
        ASSERT_NE(sh, nullptr) << s.name;
        EXPECT_EQ(sh->sh_addr, s.vma);
        EXPECT_EQ(sh->sh_size, s.size);
        EXPECT_EQ(sh->sh_offset, s.offset);
        std::free(sh);
        if (s.name.rfind(".patch.", 0) != 0) continue;
        uint32_t size = 0;
        uint8_t* data = elf_get_section_data_from_file(path.c_str(), s.name.c_str(), &size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(Bytes(data, data + size), dirov::test::listed_bytes("firmware", s.name));
        std::free(data);
    }
    std::free(h);
    std::fclose(f);
}

TEST(ElfRead, ProgramHeadersByIndex) {
    Image img;
    FILE* f = img.open();
    Elf32FileHeader* h = elf_get_file_header(f);
    ASSERT_NE(h, nullptr);
    ASSERT_GT(h->e_phnum, 0);
    std::fseek(f, 123, SEEK_SET);
    Elf32ProgramHeader* last = elf_get_program_header(f, h, h->e_phnum - 1u);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(std::ftell(f), 123);
    EXPECT_EQ(last->p_type, 1u);
    EXPECT_EQ(last->p_offset, get(img.b, h->e_phoff + 32 * (h->e_phnum - 1u) + 4, 4));
    std::free(last);
    OutputCapture err(stderr);
    EXPECT_EQ(elf_get_program_header(f, h, h->e_phnum), nullptr);
    h->e_phentsize = 56;
    EXPECT_EQ(elf_get_program_header(f, h, 0), nullptr);
    h->e_phentsize = 32;
    h->e_phoff = 0xFFFFFFF0u;
    EXPECT_EQ(elf_get_program_header(f, h, 0), nullptr);
    EXPECT_EQ(elf_get_program_header(nullptr, h, 0), nullptr);
    EXPECT_EQ(err.take(), "");
    std::free(h);
    std::fclose(f);
}

struct HeaderCase {
    const char* what;
    void (*spoil)(Image&);
    const char* message;
};

const HeaderCase kHeaderCases[] = {
    {"64-bit", [](Image& i) { i.b[4] = 2; }, "File is not a 32 bit ELF file\n"},
    {"not ELF", [](Image& i) { i.b.assign(100, 'x'); }, "File is not a 32 bit ELF file\n"},
    {"15 bytes", [](Image& i) { i.b.resize(15); }, "fread, e_ident: "},
    {"40 bytes", [](Image& i) { i.b.resize(40); }, "EOF encountered\n"},
    {"no sections", [](Image& i) { set(i.b, 32, 4, 0); }, "No section headers in file"},
};

TEST(ElfBadInput, FileHeaderFaults) {
    for (const HeaderCase& c : kHeaderCases) {
        Lookup l;
        Image img;
        c.spoil(img);
        lookup(img, ".patch.main", l);
        EXPECT_EQ(l.sh, nullptr) << c.what;
        EXPECT_EQ(l.err.rfind(c.message, 0), 0u) << c.what << ": " << l.err;
        if (c.message[std::strlen(c.message) - 1] != ' ') {
            EXPECT_EQ(l.err, c.message) << c.what;
        }
    }
}

struct SectionCase {
    const char* what;
    void (*spoil)(Image&);
    const char* name;
    const char* message;
};

const SectionCase kSectionCases[] = {
    {"entry size 64", [](Image& i) { set(i.b, 46, 2, 64); }, ".patch.main",
     "Section head sizes don't match: 64 in ELF and 40 in C\n"},
    {"absent name", [](Image&) {}, ".patch.none", "Section not found\n"},
    {"prefix of a name", [](Image&) {}, ".patch", "Section not found\n"},
    {"renamed away",
     [](Image& i) { set(i.b, i.section(kLdvect), 4, get(i.b, i.section(kIsrvect), 4)); },
     ".patch.ldvect", "Section not found\n"},
    {"string table index past the table", [](Image& i) { set(i.b, 50, 2, 200); }, ".patch.main",
     "Section not found\n"},
    {"name offset outside the file", [](Image& i) { set(i.b, i.section(kLdvect), 4, 0x7FFFFFF0); },
     ".patch.ldvect", "Section not found\n"},
    {"string table outside the file",
     [](Image& i) { set(i.b, i.section(get(i.b, 50, 2)) + 16, 4, 0xFFFFFF00u); }, ".patch.main",
     "Section not found\n"},
    {"table past the end", [](Image& i) { set(i.b, 48, 2, 0xFFFF); }, ".patch.main",
     "EOF encountered when reading the section headers\n"},
    {"table offset past the end", [](Image& i) { set(i.b, 32, 4, 0xFFFFFFF0u); }, ".patch.main",
     "EOF encountered when reading the section headers\n"},
    {"4 GB section", [](Image& i) { set(i.b, i.section(kIsrvect) + 20, 4, 0xFFFFFFF0u); },
     ".patch.isrvect", "EOF encountered\n"},
    {"section past the end", [](Image& i) { set(i.b, i.section(kIsrvect) + 16, 4, 0xFFFFFFF0u); },
     ".patch.isrvect", "EOF encountered\n"},
};

TEST(ElfBadInput, SectionLookupFaults) {
    for (const SectionCase& c : kSectionCases) {
        Lookup l;
        Image img;
        c.spoil(img);
        lookup(img, c.name, l);
        EXPECT_EQ(l.data, nullptr) << c.what;
        EXPECT_EQ(l.err, c.message) << c.what;
        if (l.sh) {
            EXPECT_EQ(l.size, 0u) << c.what;
        }
    }
}

TEST(ElfBadInput, DuplicateNamesAndEmptySections) {
    Image img;
    set(img.b, img.section(kLdvect), 4, get(img.b, img.section(kIsrvect), 4));
    Lookup dup;
    lookup(img, ".patch.isrvect", dup);
    ASSERT_NE(dup.sh, nullptr);
    EXPECT_EQ(dup.sh->sh_offset, get(img.b, img.section(kIsrvect) + 16, 4));

    set(img.b, img.section(kIsrvect) + 20, 4, 0);
    Lookup empty;
    lookup(img, ".patch.isrvect", empty);
    ASSERT_NE(empty.data, nullptr);
    EXPECT_EQ(empty.size, 0u);
    EXPECT_EQ(empty.err, "");
}

TEST(ElfBadInput, AbsentArgumentsAndPaths) {
    uint32_t size = 7;
    Elf32FileHeader h{};
    Elf32SectionHeader sh{};
    EXPECT_EQ(elf_get_file_header(nullptr), nullptr);
    EXPECT_EQ(elf_get_section_header(nullptr, &h, "x"), nullptr);
    EXPECT_EQ(elf_get_section_data(stdin, &h, &sh, nullptr), nullptr);
    EXPECT_EQ(elf_get_section_data(nullptr, &h, &sh, &size), nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(elf_get_section_data_from_file("/nonexistent/fw.elf", ".patch.main", &size), nullptr);
    EXPECT_EQ(size, 0u);
}

}  // namespace
