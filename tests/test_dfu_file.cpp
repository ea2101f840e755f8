// DFU files made from the ARM firmware ELF files, checked against binutils;
// the DFU 1.1 suffix. POSIX only: FIFOs, symbolic links, a file size limit.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "data/binutils_listing.h"
#include "dirov410.h"
#include "support/capture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using namespace dirov::test;

struct Rec {
    uint8_t id;
    uint32_t address;
    Bytes data;
};

std::vector<Rec> parse(const uint8_t* p, uint32_t count) {
    std::vector<Rec> out;
    for (size_t at = 0; out.size() < count; at += 8 + out.back().data.size()) {
        size_t n = p[at + 2] | p[at + 3] << 8;
        uint32_t addr = p[at + 4] | p[at + 5] << 8 | p[at + 6] << 16 | uint32_t(p[at + 7]) << 24;
        EXPECT_EQ(p[at + 1], 0);
        out.push_back({p[at], addr, Bytes(p + at + 8, p + at + 8 + n)});
    }
    return out;
}

Bytes raw(const DfuSuffix& s) {
    return Bytes(reinterpret_cast<const uint8_t*>(&s), reinterpret_cast<const uint8_t*>(&s + 1));
}

DfuSuffix target(uint16_t vendor = 0x0483, uint16_t product = 0xDF11, uint32_t rel = 0x0200) {
    DfuSuffix s;
    dfu_file_new_suffix(&s, 0, vendor, product, rel);
    return s;
}

class DfuFile : public ::testing::Test {
   protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("dirov_dfu_" + std::to_string(getpid()));
        fs::create_directories(dir);
        dfu = (dir / "fw.dfu").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    int32_t create(const char* elf, uint32_t n = 0, const char* const* names = nullptr,
                   const uint8_t* ids = nullptr) {
        return dfu_file_create(elf, dfu.c_str(), n, names, ids);
    }
    // Reads `dfu` ("": a NULL path) through dfu_file_read; the records, or
    // none on failure, which leaves no stale output.
    std::vector<Rec> read(int32_t want = 0) {
        uint8_t stale = 0, *image = &stale;
        uint32_t count = 99;
        EXPECT_EQ(dfu_file_read(dfu.empty() ? nullptr : dfu.c_str(), &image, &count), want);
        EXPECT_TRUE(!want || (image == nullptr && count == 0)) << count;
        if (image == &stale) return {};
        auto recs = parse(image, want ? 0 : count);
        std::free(image);
        return recs;
    }
    void write(const Bytes& b, const std::string& path = "") {
        FILE* f = std::fopen((path.empty() ? dfu : path).c_str(), "wb");
        if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
    void add_suffix() {
        FILE* f = std::fopen(dfu.c_str(), "rb+");
        DfuSuffix s = target();
        ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
        std::fclose(f);
    }
    // `dfu` holding `content`, open for update.
    FILE* open_with(const Bytes& content) {
        write(content);
        return std::fopen(dfu.c_str(), "rb+");
    }

    const std::string elf = data_path("firmware.elf");
    fs::path dir;
    std::string dfu;
};

// Each section in full records of 2040 bytes and the rest, at its load
// address (p_paddr, not the run address, for .usbdesc).
TEST_F(DfuFile, SectionsMatchBinutils) {
    ASSERT_EQ(create(elf.c_str()), 0);
    auto recs = read();
    ASSERT_EQ(recs.size(), 8u);
    const std::pair<const char*, uint8_t> table[] = {{".patch.isrvect", 0}, {".patch.ldvect", 1},
                                                     {".patch.usbdesc", 2}, {".patch.usbcb", 3},
                                                     {".patch.main", 5},    {".patch.firmware", 4}};
    for (auto [name, id] : table) {
        auto s = listed("firmware", name);
        Bytes joined;
        for (const Rec& r : recs) {
            if (r.id != id) continue;
            EXPECT_EQ(r.address, s.lma + joined.size()) << name;
            EXPECT_EQ(r.data.size(), std::min<size_t>(2040, s.size - joined.size())) << name;
            joined.insert(joined.end(), r.data.begin(), r.data.end());
        }
        EXPECT_EQ(joined, listed_bytes("firmware", name)) << name;
    }

    // Chosen sections sort stably by address.
    auto lo = listed("interleave", ".patch.lo"), hi = listed("interleave", ".patch.hi");
    const char* names[] = {".patch.hi", ".patch.lo"};
    const uint8_t ids[] = {7, 9};
    ASSERT_EQ(create(data_path("interleave.elf").c_str(), 2, names, ids), 0);
    std::vector<std::pair<uint8_t, uint32_t>> got,
        want = {{9, lo.lma}, {7, hi.lma}, {9, lo.lma + 2040}, {9, lo.lma + 4080}};
    for (const Rec& r : read()) got.push_back({r.id, r.address});
    EXPECT_EQ(got, want);
}

// The new file replaces dfuPath in one rename: a link there is replaced,
// never written through. A failure (a full disk, a section missing, no
// folder, a folder in the way) leaves the older file as it was and no
// temporary file.
TEST_F(DfuFile, ALinkIsReplacedAndFailuresLeaveTheOlderFileAlone) {
    const Bytes keep = {'k', 'e', 'e', 'p'};
    write(keep, (dir / "victim").string());
    fs::create_symlink(dir / "victim", dfu);
    ASSERT_EQ(create(elf.c_str()), 0);
    EXPECT_EQ(std::make_tuple(file_bytes((dir / "victim").string()), fs::is_symlink(dfu)),
              std::make_tuple(keep, false));
    const Bytes made = file_bytes(dfu);
    on_full_disk(made.size() / 2, [&] { EXPECT_EQ(create(elf.c_str()), 1); });
    const char* gap[] = {".patch.main", nullptr};
    const uint8_t ids[] = {5, 4};
    OutputCapture err(stderr);
    // A default section missing; a chosen one missing; no ELF file.
    EXPECT_EQ((std::vector{create(data_path("firmware_nousbcb.elf").c_str()),
                           create(elf.c_str(), 2, gap, ids), create(nullptr)}),
              (std::vector{1, 1, 1}));
    EXPECT_EQ(file_bytes(dfu), made);
    fs::create_directory(dir / "sub");
    for (const char* to : {"no/such.dfu", "sub"}) {  // no folder; a folder in the way
        dfu = (dir / to).string();
        EXPECT_EQ(create(elf.c_str()), 1) << to;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3);  // fw.dfu, sub, victim
}

// Only regular files holding records are read: a FIFO without a writer
// would block an ordinary open forever.
TEST_F(DfuFile, OnlyRegularFilesWithRecordsAreRead) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    uint32_t size = 1;
    for (const std::string& p :
         {fifo, dir.string(), std::string("/dev/zero"), (dir / "a").string(), std::string()}) {
        EXPECT_EQ(dfu_file_create(p.c_str(), (dir / "out.dfu").c_str(), 0, nullptr, nullptr), 1);
        EXPECT_EQ(elf_get_section_data_from_file(p.c_str(), ".patch.main", &size), nullptr);
        dfu = p;
        read(1);
    }
}

// Only a good suffix is stripped; malformed images (a record cut short, of
// no data or of more than 2040 bytes, more than 65535 records) refused.
TEST_F(DfuFile, ReadStripsOnlyAGoodSuffixAndRefusesMalformedImages) {
    write({});
    add_suffix();
    const Bytes suffixOnly = file_bytes(dfu);
    ASSERT_EQ(create(elf.c_str()), 0);
    const Bytes good = file_bytes(dfu);
    add_suffix();
    EXPECT_EQ(read().size(), 8u);
    Bytes damaged = file_bytes(dfu);
    damaged[20] ^= 1;
    const Bytes one = {1, 0, 1, 0, 0, 0, 0, 0x20, 0xAB};
    Bytes many;
    for (int i = 0; i < 65535; ++i) many.insert(many.end(), one.begin(), one.end());
    write(many);
    EXPECT_EQ(read().size(), 65535u);
    many.insert(many.end(), one.begin(), one.end());
    const Bytes malformed[] = {suffixOnly,
                               damaged,
                               many,
                               Bytes(good.begin(), good.end() - 1),
                               Bytes(good.begin(), good.end() - 920 - 8 + 1),
                               {0, 0, 0, 0, 0, 0, 0, 0},
                               {0, 0, 0xF9, 0x07, 0, 0, 0, 0}};
    for (const Bytes& b : malformed) write(b), read(1);
}

// Add (at the end, the position kept, never a second suffix), check, read,
// spoil the CRC, remove: the file is as it was; an add that fails leaves no
// part of the suffix.
TEST_F(DfuFile, SuffixRoundTripsAndNeverStacksNorLeavesAPartialSuffix) {
    for (size_t len : {0u, 9u, 1023u, 1024u, 1025u, 5000u}) {
        Bytes data(len);
        for (size_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>('1' + i);
        FILE* f = open_with(data);
        DfuSuffix s = target(), back{};
        std::fseek(f, 3, SEEK_SET);
        ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
        // Reference value from dfu-util 0.11 (and zlib: ~crc32) for "123456789".
        EXPECT_EQ(std::make_tuple(std::ftell(f), len != 9 || s.dwCRC == 0x4D774585u),
                  std::make_tuple(3L, true));
        const Bytes once = file_bytes(dfu);
        EXPECT_EQ(Bytes(once.begin() + len, once.end()), raw(s));
        EXPECT_EQ((std::vector{dfu_file_add_suffix(f, &s), dfu_file_check_suffix(f),
                               dfu_file_read_suffix(f, &back)}),
                  (std::vector<int32_t>{DFU_SUFFIX_PRESENT, 0, 0}));
        EXPECT_EQ(std::make_tuple(file_bytes(dfu), raw(back)), std::make_tuple(once, raw(s)));
        std::fseek(f, -1, SEEK_END);
        std::fputc(0x5A ^ (s.dwCRC >> 24), f);
        EXPECT_EQ(dfu_file_check_suffix(f), DFU_SUFFIX_BAD_CRC);
        EXPECT_EQ(dfu_file_remove_suffix(f), 0);
        EXPECT_EQ(file_bytes(dfu), data) << len;
        on_full_disk(len + 8, [&] { EXPECT_EQ(dfu_file_add_suffix(f, &s), DFU_SUFFIX_IO_ERROR); });
        EXPECT_EQ(file_bytes(dfu), data);
        std::fclose(f);
    }
}

TEST_F(DfuFile, SuffixLayoutAndEachFaultInEveryOperation) {
    const std::pair<void (*)(DfuSuffix&), int32_t> faults[] = {
        {[](DfuSuffix& s) { s.bLength = 15; }, 2},
        {[](DfuSuffix& s) { s.ucDfuSignature[1] = 'X'; }, 3},
        {[](DfuSuffix& s) { s.bcdDFU = 0x0110; }, 4},
    };
    for (auto [spoil, code] : faults) {
        DfuSuffix bad = target(), good = target();
        spoil(bad);
        Bytes file = raw(bad);
        file.insert(file.begin(), {1, 2, 3});
        FILE* f = open_with(file);
        EXPECT_EQ((std::vector{dfu_file_verify_suffix(&bad), dfu_file_compare_suffix(&bad, &good),
                               dfu_file_check_suffix(f), dfu_file_remove_suffix(f)}),
                  std::vector<int32_t>(4, code));
        EXPECT_EQ(file_bytes(dfu), file);
        std::fclose(f);
    }
    // The layout (dwCRC most significant byte first); files shorter than a
    // suffix, and none.
    DfuSuffix s;
    ASSERT_EQ(dfu_file_new_suffix(&s, 0x12345678, 0x0483, 0xDF11, 0x10234), 0);
    EXPECT_EQ(raw(s), (Bytes{0x34, 0x02, 0x11, 0xDF, 0x83, 0x04, 0x00, 0x01, 'U', 'F', 'D', 16,
                             0x12, 0x34, 0x56, 0x78}));
    FILE* f = open_with(Bytes(15, 0x55));
    EXPECT_EQ((std::vector{dfu_file_read_suffix(f, &s), dfu_file_remove_suffix(f),
                           dfu_file_check_suffix(f), dfu_file_remove_suffix(nullptr)}),
              (std::vector{1, 1, 1, 1}));
    EXPECT_EQ(file_bytes(dfu), Bytes(15, 0x55));
    std::fclose(f);
    // Targets compared in order; the CRC not compared.
    DfuSuffix a = target(), b = target();
    b.dwCRC = 0xDEADBEEF;
    const DfuSuffix others[] = {b, target(0x1111, 0x2222), target(0x1111),
                                target(0x0483, 0xDF11, 0x0201)};
    for (int32_t want = 0; want < 4; ++want)
        EXPECT_EQ(dfu_file_compare_suffix(&a, &others[want]), want ? want + 4 : 0);
}

}  // namespace
