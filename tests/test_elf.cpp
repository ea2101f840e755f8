// ELF32 reader: against binutils' view of a real ARM firmware file, and on
// damaged copies of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "data/binutils_listing.h"
#include "dirov410.h"
#include "support/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace dirov::test;

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
    Bytes b = file_bytes(data_path("firmware.elf"));
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

// .patch.ldvect takes the name of .patch.isrvect.
void rename_ldvect(Image& i) {
    set(i.b, i.section(kLdvect), 4, get(i.b, i.section(kIsrvect), 4));
}

template <typename T>
Bytes bytes_of(const T* t) {
    return Bytes(reinterpret_cast<const uint8_t*>(t), reinterpret_cast<const uint8_t*>(t + 1));
}

// Headers as the file holds them, a section's bytes as binutils lists them;
// program headers by index, refused past the table.
TEST(ElfRead, HeadersMatchTheFile) {
    const Image img;
    FILE* f = img.open();
    Elf32FileHeader* h = elf_get_file_header(f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(bytes_of(h), Bytes(img.b.begin(), img.b.begin() + 52));
    uint32_t size = 0;
    uint8_t* data =
        elf_get_section_data_from_file(data_path("firmware.elf").c_str(), ".patch.main", &size);
    EXPECT_EQ(Bytes(data, data + size), listed_bytes("firmware", ".patch.main"));
    std::free(data);

    Elf32ProgramHeader* last = elf_get_program_header(f, h, h->e_phnum - 1u);
    ASSERT_NE(last, nullptr);
    const size_t at = h->e_phoff + 32 * (h->e_phnum - 1u);
    EXPECT_EQ(bytes_of(last), Bytes(&img.b[at], &img.b[at + 32]));
    std::free(last);
    EXPECT_EQ(elf_get_program_header(f, h, h->e_phnum), nullptr);
    h->e_phoff = 0xFFFFFFF0u;
    EXPECT_EQ(elf_get_program_header(f, h, 0), nullptr);
    std::free(h);
    std::fclose(f);
}

// What looking `name` up in `img` wrote to stderr, then "size <n>" when the
// data was read, or "no data <n>" when only the header was found.
std::string lookup(const Image& img, const char* name) {
    FILE* f = img.open();
    OutputCapture capture(stderr);
    Elf32FileHeader* h = elf_get_file_header(f);
    Elf32SectionHeader* sh = h ? elf_get_section_header(f, h, name) : nullptr;
    uint32_t size = 0xFFFF;
    uint8_t* data = sh ? elf_get_section_data(f, h, sh, &size) : nullptr;
    std::string out = capture.take();
    if (sh) out += data ? "size " + std::to_string(size) : "no data " + std::to_string(size);
    std::free(h);
    std::free(sh);
    std::free(data);
    std::fclose(f);
    return out;
}

constexpr const char* kNotFound = "Section not found\n";

// Each damage stops the lookup with its message; of two sections of one name the
// first is found, an empty one has data of size 0.
TEST(ElfBadInput, EachFaultIsRefusedWithItsMessage) {
    const struct {
        void (*spoil)(Image&);
        const char* message;
        const char* name = ".patch.main";
    } cases[] = {
        // 64-bit; 40 bytes; no sections; entry size 64.
        {[](Image& i) { i.b[4] = 2; }, "File is not a 32 bit ELF file\n"},
        {[](Image& i) { i.b.resize(40); }, "EOF encountered\n"},
        {[](Image& i) { set(i.b, 32, 4, 0); }, "No section headers in file"},
        {[](Image& i) { set(i.b, 46, 2, 64); },
         "Section head sizes don't match: 64 in ELF and 40 in C\n"},
        // Prefix of a name; renamed away; string table index past the table;
        // string table outside the file; string table ending before a name's NUL.
        {[](Image&) {}, kNotFound, ".patch"},
        {rename_ldvect, kNotFound, ".patch.ldvect"},
        {[](Image& i) { set(i.b, 50, 2, 200); }, kNotFound},
        {[](Image& i) { set(i.b, i.section(get(i.b, 50, 2)) + 16, 4, 0xFFFFFF00u); }, kNotFound},
        {[](Image& i) {
             set(i.b, i.section(get(i.b, 50, 2)) + 20, 4, get(i.b, i.section(1), 4) + 14);
         },
         kNotFound, ".patch.isrvect"},
        // Table offset past the end; 4 GB section.
        {[](Image& i) { set(i.b, 32, 4, 0xFFFFFFF0u); },
         "EOF encountered when reading the section headers\n"},
        {[](Image& i) { set(i.b, i.section(kIsrvect) + 20, 4, 0xFFFFFFF0u); },
         "EOF encountered\nno data 0", ".patch.isrvect"},
        // Two named .patch.isrvect, the first empty.
        {[](Image& i) {
             rename_ldvect(i);
             set(i.b, i.section(kIsrvect) + 20, 4, 0);
         },
         "size 0", ".patch.isrvect"},
    };
    for (const auto& c : cases) {
        Image img;
        c.spoil(img);
        EXPECT_EQ(lookup(img, c.name), c.message);
    }

    uint32_t size = 7;
    Elf32FileHeader h{};
    Elf32SectionHeader sh{};
    EXPECT_EQ(elf_get_section_data(nullptr, &h, &sh, &size), nullptr);
    EXPECT_EQ(size, 7u);
}

}  // namespace
