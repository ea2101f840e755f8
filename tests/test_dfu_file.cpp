// DFU file creation from the ARM firmware ELF files and reading back, checked
// against binutils' section table and section bytes.
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
#include "support/full_disk.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using dirov::test::data_path;
using dirov::test::file_bytes;

struct Rec {
    uint8_t id;
    uint32_t address;
    Bytes data;
};

std::vector<Rec> parse(const uint8_t* p, size_t len) {
    std::vector<Rec> out;
    for (size_t at = 0; at + 8 <= len;) {
        size_t n = p[at + 2] | p[at + 3] << 8;
        uint32_t addr = p[at + 4] | p[at + 5] << 8 | p[at + 6] << 16 | uint32_t(p[at + 7]) << 24;
        EXPECT_EQ(p[at + 1], 0);
        out.push_back({p[at], addr, Bytes(p + at + 8, p + std::min(len, at + 8 + n))});
        at += 8 + n;
    }
    return out;
}

dirov::test::ListedSection listed(const std::string& elf, const std::string& name) {
    for (const auto& s : dirov::test::listed_sections(elf)) {
        if (s.name == name) return s;
    }
    ADD_FAILURE() << name << " not in the listing of " << elf;
    return {};
}

class DfuFile : public ::testing::Test {
   protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dirov_dfu_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
        dfu = (dir / "fw.dfu").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    // Reads `dfu` through dfu_file_read; the records, or none on failure.
    std::vector<Rec> read(int32_t want = 0) {
        uint8_t* image = reinterpret_cast<uint8_t*>(1);
        uint32_t count = 99;
        EXPECT_EQ(dfu_file_read(dfu.c_str(), &image, &count), want);
        if (want != 0) {
            EXPECT_EQ(image, nullptr);
            EXPECT_EQ(count, 0u);
            return {};
        }
        auto recs = parse(image, fs::file_size(dfu) - (has_suffix ? 16 : 0));
        EXPECT_EQ(count, recs.size());
        std::free(image);
        return recs;
    }
    void write(const Bytes& b) {
        FILE* f = std::fopen(dfu.c_str(), "wb");
        if (!b.empty()) std::fwrite(b.data(), 1, b.size(), f);
        std::fclose(f);
    }
    void add_suffix() {
        FILE* f = std::fopen(dfu.c_str(), "rb+");
        DfuSuffix s;
        dfu_file_new_suffix(&s, 0, 0x0483, 0xDF11, 0x0200);
        ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
        std::fclose(f);
        has_suffix = true;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path dir;
    std::string dfu;
    bool has_suffix = false;
};

TEST_F(DfuFile, DefaultSectionsMatchBinutils) {
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 0, nullptr, nullptr),
              0);
    EXPECT_EQ(files(), std::vector<std::string>{"fw.dfu"});
    auto recs = read();
    EXPECT_TRUE(std::is_sorted(recs.begin(), recs.end(),
                               [](const Rec& a, const Rec& b) { return a.address < b.address; }));
    const std::pair<const char*, uint8_t> table[] = {{".patch.isrvect", 0}, {".patch.ldvect", 1},
                                                     {".patch.usbdesc", 2}, {".patch.usbcb", 3},
                                                     {".patch.main", 5},    {".patch.firmware", 4}};
    size_t total = 0;
    for (auto [name, id] : table) {
        auto s = listed("firmware", name);
        Bytes joined;
        for (const Rec& r : recs) {
            if (r.id != id) continue;
            EXPECT_EQ(r.address, s.lma + joined.size()) << name;
            EXPECT_LE(r.data.size(), 2040u);
            joined.insert(joined.end(), r.data.begin(), r.data.end());
            ++total;
        }
        EXPECT_EQ(joined, dirov::test::listed_bytes("firmware", name)) << name;
    }
    EXPECT_EQ(total, recs.size());
    // Loaded elsewhere than it runs: the address comes from the segment's p_paddr.
    EXPECT_NE(listed("firmware", ".patch.usbdesc").vma, listed("firmware", ".patch.usbdesc").lma);
}

TEST_F(DfuFile, LargeSectionSplitsIntoFullRecords) {
    const char* names[] = {".patch.firmware"};
    const uint8_t ids[] = {4};
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 1, names, ids), 0);
    auto recs = read();
    ASSERT_EQ(recs.size(), 3u);
    const uint32_t base = listed("firmware", ".patch.firmware").lma;
    EXPECT_EQ(base, 0x20000000u);
    const std::pair<uint32_t, size_t> want[] = {
        {0x20000000, 2040}, {0x200007F8, 2040}, {0x20000FF0, 920}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(recs[i].address, want[i].first);
        EXPECT_EQ(recs[i].data.size(), want[i].second);
    }
    EXPECT_EQ(Bytes(recs[0].data.begin(), recs[0].data.begin() + 4), (Bytes{'D', 'R', 'V', 'F'}));
}

TEST_F(DfuFile, InterleavedSectionsSortStablyByAddress) {
    auto lo = listed("interleave", ".patch.lo"), hi = listed("interleave", ".patch.hi");
    ASSERT_EQ(hi.lma, lo.lma + 2040);
    const std::string elf = data_path("interleave.elf");
    const char* names[] = {".patch.hi", ".patch.lo"};
    const uint8_t ids[] = {7, 9};
    ASSERT_EQ(dfu_file_create(elf.c_str(), dfu.c_str(), 2, names, ids), 0);
    std::vector<std::pair<uint8_t, uint32_t>> got,
        want = {{9, lo.lma}, {7, hi.lma}, {9, lo.lma + 2040}, {9, lo.lma + 4080}};
    for (const Rec& r : read()) got.push_back({r.id, r.address});
    EXPECT_EQ(got, want);

    const char* reversed[] = {".patch.lo", ".patch.hi"};
    ASSERT_EQ(dfu_file_create(elf.c_str(), dfu.c_str(), 2, reversed, ids), 0);
    got.clear();
    for (const Rec& r : read()) got.push_back({r.id, r.address});
    want = {{7, lo.lma}, {7, lo.lma + 2040}, {9, hi.lma}, {7, lo.lma + 4080}};
    EXPECT_EQ(got, want);
}

TEST_F(DfuFile, SectionInNoSegmentLoadsAtZero) {
    const char* names[] = {".ARM.attributes"};
    const uint8_t ids[] = {3};
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 1, names, ids), 0);
    auto recs = read();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].address, 0u);
    EXPECT_EQ(recs[0].data.size(), listed("firmware", ".ARM.attributes").size);
}

TEST_F(DfuFile, EmptyListGivesEmptyFileThatReadRefuses) {
    const char* names[] = {nullptr, ".patch.main"};
    const uint8_t ids[] = {0, 5};
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 2, names, ids), 0);
    EXPECT_EQ(fs::file_size(dfu), 0u);
    read(1);
}

TEST_F(DfuFile, FailuresLeaveTheOlderFileAlone) {
    const Bytes old = {'o', 'l', 'd'};
    write(old);
    Bytes zeroSized = file_bytes(data_path("firmware.elf"));
    uint32_t shoff = zeroSized[32] | zeroSized[33] << 8 | zeroSized[34] << 16 | zeroSized[35] << 24;
    std::fill_n(zeroSized.begin() + shoff + 40 + 20, 4, 0);  // .patch.isrvect's sh_size
    const std::string zeroElf = (dir / "zero.elf").string();
    FILE* z = std::fopen(zeroElf.c_str(), "wb");
    std::fwrite(zeroSized.data(), 1, zeroSized.size(), z);
    std::fclose(z);

    const char* gap[] = {".patch.main", nullptr};
    const uint8_t ids[] = {5, 4};
    dirov::test::OutputCapture err(stderr);
    EXPECT_EQ(dfu_file_create(data_path("firmware_nousbcb.elf").c_str(), dfu.c_str(), 0, nullptr,
                              nullptr),
              1);
    EXPECT_EQ(err.take(), "Section not found\n");
    EXPECT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 2, gap, ids), 1);
    const char* isrvect[] = {".patch.isrvect"};
    EXPECT_EQ(dfu_file_create(zeroElf.c_str(), dfu.c_str(), 1, isrvect, ids), 1);
    EXPECT_EQ(dfu_file_create((dir / "absent.elf").string().c_str(), dfu.c_str(), 0, nullptr, nullptr), 1);
    EXPECT_EQ(dfu_file_create(nullptr, dfu.c_str(), 0, nullptr, nullptr), 1);
    EXPECT_EQ(file_bytes(dfu), old);
    fs::remove(zeroElf);
    EXPECT_EQ(files(), std::vector<std::string>{"fw.dfu"});
    EXPECT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), (dir / "no/such.dfu").string().c_str(), 0,
                              nullptr, nullptr),
              1);
}

TEST_F(DfuFile, TemporaryFileNeverFollowsALinkNorOutlivesAFailure) {
    const std::string elf = data_path("firmware.elf"), victim = (dir / "victim").string();
    const Bytes keep = {'k', 'e', 'e', 'p'};
    dfu = victim;
    write(keep);
    dfu = (dir / "fw.dfu").string();
    fs::create_symlink(victim, dfu + ".tmp");
    ASSERT_EQ(dfu_file_create(elf.c_str(), dfu.c_str(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(file_bytes(victim), keep);
    const Bytes made = file_bytes(dfu);
    {
        dirov::test::FullDiskAt full(made.size() / 2);
        EXPECT_EQ(dfu_file_create(elf.c_str(), dfu.c_str(), 0, nullptr, nullptr), 1);
    }
    EXPECT_EQ(file_bytes(dfu), made);
    EXPECT_EQ(files(), (std::vector<std::string>{"fw.dfu", "fw.dfu.tmp", "victim"}));
}

// Only regular files holding records are read: nothing else blocks (a FIFO
// without a writer would block an ordinary open forever) or reaches a board.
TEST_F(DfuFile, OnlyRegularFilesWithRecordsAreRead) {
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string notRegular[] = {fifo, dir.string(), "/dev/zero"};
    uint32_t size = 1;
    for (const std::string& p : notRegular) {
        EXPECT_EQ(dfu_file_create(p.c_str(), (dir / "out.dfu").c_str(), 0, nullptr, nullptr), 1);
        EXPECT_EQ(elf_get_section_data_from_file(p.c_str(), ".patch.main", &size), nullptr);
        dfu = p;
        read(1);
    }
    dfu = (dir / "fw.dfu").string();
    write({});
    read(1);
    add_suffix();  // a file of only a suffix
    read(1);
}

TEST_F(DfuFile, ReadStripsOnlyAGoodSuffix) {
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 0, nullptr, nullptr),
              0);
    auto plain = read();
    ASSERT_EQ(plain.size(), 8u);
    add_suffix();
    auto suffixed = read();
    ASSERT_EQ(suffixed.size(), plain.size());
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(suffixed[i].data, plain[i].data);

    Bytes damaged = file_bytes(dfu);
    damaged[20] ^= 1;
    write(damaged);
    read(1);
}

TEST_F(DfuFile, ReadRefusesMalformedImages) {
    ASSERT_EQ(dfu_file_create(data_path("firmware.elf").c_str(), dfu.c_str(), 0, nullptr, nullptr),
              0);
    Bytes good = file_bytes(dfu);
    for (size_t cut : {1u, 8u, 920u + 8u - 1u}) {
        write(Bytes(good.begin(), good.end() - cut));
        read(1);
    }
    write({0, 0, 0, 0, 0, 0, 0, 0});  // a record of no data
    read(1);
    write({0, 0, 0xF9, 0x07, 0, 0, 0, 0});  // 2041 bytes claimed
    read(1);

    const Bytes one = {1, 0, 1, 0, 0, 0, 0, 0x20, 0xAB};
    Bytes many;
    for (int i = 0; i < 65535; ++i) many.insert(many.end(), one.begin(), one.end());
    write(many);
    EXPECT_EQ(read().size(), 65535u);
    many.insert(many.end(), one.begin(), one.end());
    write(many);
    read(1);
    uint8_t* image;
    uint32_t count;
    EXPECT_EQ(dfu_file_read((dir / "absent.dfu").string().c_str(), &image, &count), 1);
    EXPECT_EQ(dfu_file_read(dfu.c_str(), &image, nullptr), 1);
}

}  // namespace
