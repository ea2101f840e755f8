// DFU 1.1 file suffix: layout, CRC, round trips, result codes, and agreement
// with dfu-util's dfu-suffix.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "dirov410.h"
#include "support/full_disk.h"

namespace {

using Bytes = std::vector<uint8_t>;

FILE* file_with(const Bytes& content) {
    FILE* f = std::tmpfile();
    if (!content.empty()) std::fwrite(content.data(), 1, content.size(), f);
    std::fflush(f);
    return f;
}

Bytes contents(FILE* f) {
    long pos = std::ftell(f);
    std::fseek(f, 0, SEEK_END);
    Bytes out(std::ftell(f));
    std::rewind(f);
    out.resize(std::fread(out.data(), 1, out.size(), f));
    std::fseek(f, pos, SEEK_SET);
    return out;
}

Bytes raw(const DfuSuffix& s) {
    Bytes b(sizeof s);
    std::memcpy(b.data(), &s, sizeof s);
    return b;
}

DfuSuffix target(uint16_t vendor = 0x0483, uint16_t product = 0xDF11, uint32_t rel = 0x0200) {
    DfuSuffix s;
    dfu_file_new_suffix(&s, 0, vendor, product, rel);
    return s;
}

TEST(DfuSuffixLayout, NewSuffixFillsEveryByteWithCrcMostSignificantFirst) {
    DfuSuffix s;
    ASSERT_EQ(dfu_file_new_suffix(&s, 0x12345678, 0x0483, 0xDF11, 0x10234), 0);
    Bytes want = {0x34, 0x02, 0x11, 0xDF, 0x83, 0x04, 0x00, 0x01,
                  'U',  'F',  'D',  16,   0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(raw(s), want);
    EXPECT_EQ(dfu_file_new_suffix(nullptr, 0, 0, 0, 0), -1);
}

TEST(DfuSuffixLayout, AddAppendsTheDfuCrcLittleEndianAndRestoresThePosition) {
    FILE* f = file_with({'1', '2', '3', '4', '5', '6', '7', '8', '9'});
    std::fseek(f, 3, SEEK_SET);
    DfuSuffix s = target();
    ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
    EXPECT_EQ(std::ftell(f), 3);
    // Reference value from dfu-util 0.11 (and zlib: ~crc32) for the same bytes.
    EXPECT_EQ(s.dwCRC, 0x4D774585u);
    Bytes all = contents(f);
    ASSERT_EQ(all.size(), 25u);
    EXPECT_EQ(Bytes(all.begin() + 9, all.end()), raw(s));
    EXPECT_EQ(Bytes(all.end() - 4, all.end()), (Bytes{0x85, 0x45, 0x77, 0x4D}));
    std::fclose(f);
}

TEST(DfuSuffixRoundTrip, AddCheckRemoveRestoresTheFile) {
    for (size_t len : {0u, 1u, 1023u, 1024u, 1025u, 5000u}) {
        Bytes data(len);
        for (size_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(i * 7);
        FILE* f = file_with(data);
        DfuSuffix s = target(), back;
        ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
        EXPECT_EQ(contents(f).size(), len + 16);
        EXPECT_EQ(dfu_file_check_suffix(f), 0) << len;
        ASSERT_EQ(dfu_file_read_suffix(f, &back), 0);
        EXPECT_EQ(raw(back), raw(s));
        EXPECT_EQ(dfu_file_read_suffix(f, nullptr), 0);
        EXPECT_EQ(dfu_file_remove_suffix(f), 0);
        EXPECT_EQ(contents(f), data) << len;
        std::fclose(f);
    }
}

TEST(DfuSuffixRoundTrip, ShortFilesAndAbsentArguments) {
    FILE* f = file_with(Bytes(15, 0x55));
    DfuSuffix s;
    EXPECT_EQ(dfu_file_read_suffix(f, &s), 1);
    EXPECT_EQ(dfu_file_remove_suffix(f), 1);
    EXPECT_EQ(dfu_file_check_suffix(f), 1);
    EXPECT_EQ(contents(f).size(), 15u);
    std::fclose(f);
    EXPECT_EQ(dfu_file_check_suffix(nullptr), -1);
    EXPECT_EQ(dfu_file_remove_suffix(nullptr), 1);
    EXPECT_EQ(dfu_file_add_suffix(nullptr, &s), -1);
    EXPECT_EQ(dfu_file_read_suffix(nullptr, &s), -1);
    EXPECT_EQ(dfu_file_verify_suffix(nullptr), -1);
    EXPECT_EQ(dfu_file_compare_suffix(&s, nullptr), -1);
}

TEST(DfuSuffixRoundTrip, CheckReportsACorruptCrc) {
    FILE* f = file_with(Bytes(100, 0xA5));
    DfuSuffix s = target();
    ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
    std::fseek(f, 50, SEEK_SET);
    std::fputc(0x5A, f);
    std::fseek(f, 7, SEEK_SET);
    EXPECT_EQ(dfu_file_check_suffix(f), DFU_SUFFIX_BAD_CRC);
    EXPECT_EQ(std::ftell(f), 7);
    std::fclose(f);
}

TEST(DfuSuffixRoundTrip, AddNeverStacksNorLeavesAPartialSuffix) {
    const Bytes data(100, 0xA5);
    FILE* f = file_with(data);
    DfuSuffix s = target();
    ASSERT_EQ(dfu_file_add_suffix(f, &s), 0);
    const Bytes once = contents(f);
    EXPECT_EQ(dfu_file_add_suffix(f, &s), DFU_SUFFIX_PRESENT);
    EXPECT_EQ(contents(f), once);
    ASSERT_EQ(dfu_file_remove_suffix(f), 0);
    {
        dirov::test::FullDiskAt full(data.size() + 8);
        EXPECT_EQ(dfu_file_add_suffix(f, &s), DFU_SUFFIX_IO_ERROR);
    }
    EXPECT_EQ(contents(f), data);
    std::fclose(f);
}

struct Fault {
    void (*spoil)(DfuSuffix&);
    int32_t code;
};

const Fault kFaults[] = {
    {[](DfuSuffix& s) { s.bLength = 15; }, 2},
    {[](DfuSuffix& s) { s.ucDfuSignature[1] = 'X'; }, 3},
    {[](DfuSuffix& s) { s.bcdDFU = 0x0110; }, 4},
    {[](DfuSuffix& s) { s.bcdDFU = 0x011A; }, 4},
};

TEST(DfuSuffixCodes, EachFaultHasItsCodeInEveryOperation) {
    for (const Fault& fault : kFaults) {
        DfuSuffix bad = target(), good = target();
        fault.spoil(bad);
        EXPECT_EQ(dfu_file_verify_suffix(&bad), fault.code);
        EXPECT_EQ(dfu_file_compare_suffix(&bad, &good), fault.code);
        EXPECT_EQ(dfu_file_compare_suffix(&good, &bad), fault.code);
        Bytes file = {1, 2, 3};
        Bytes tail = raw(bad);
        file.insert(file.end(), tail.begin(), tail.end());
        FILE* f = file_with(file);
        EXPECT_EQ(dfu_file_check_suffix(f), fault.code);
        EXPECT_EQ(dfu_file_remove_suffix(f), fault.code);
        EXPECT_EQ(contents(f), file);
        std::fclose(f);
    }
}

TEST(DfuSuffixCodes, CompareLooksAtTargetsInOrderAndBlamesBFirst) {
    DfuSuffix a = target(), b = target();
    b.dwCRC = 0xDEADBEEF;
    EXPECT_EQ(dfu_file_compare_suffix(&a, &b), 0);
    EXPECT_EQ(dfu_file_compare_suffix(&a, &(b = target(0x1111, 0x2222))), 5);
    EXPECT_EQ(dfu_file_compare_suffix(&a, &(b = target(0x1111))), 6);
    EXPECT_EQ(dfu_file_compare_suffix(&a, &(b = target(0x0483, 0xDF11, 0x0201))), 7);
    a.bLength = 0;
    b = target();
    b.ucDfuSignature[0] = 0;
    EXPECT_EQ(dfu_file_compare_suffix(&a, &b), 3);
}

// dfu-suffix ships with dfu-util (Debian package dfu-util).
class DfuUtilInterop : public ::testing::Test {
   protected:
    void SetUp() override {
        if (std::system("command -v dfu-suffix >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "dfu-suffix (package dfu-util) not installed";
        }
        path = std::filesystem::temp_directory_path() /
               ("dirov_suffix_" + std::to_string(getpid()) + ".dfu");
        std::FILE* f = std::fopen(path.string().c_str(), "wb");
        for (int i = 0; i < 3000; ++i) std::fputc(i % 251, f);
        std::fclose(f);
    }
    void TearDown() override { std::filesystem::remove(path); }
    int tool(const std::string& args) {
        return std::system(
            ("dfu-suffix " + args + " '" + path.string() + "' >/dev/null 2>&1").c_str());
    }
    std::filesystem::path path;
};

TEST_F(DfuUtilInterop, ToolAcceptsOurSuffixAndWeAcceptItsSuffix) {
    FILE* f = std::fopen(path.string().c_str(), "rb+");
    DfuSuffix ours = target(0x1234, 0x5678, 0x0310);
    ASSERT_EQ(dfu_file_add_suffix(f, &ours), 0);
    std::fclose(f);
    EXPECT_EQ(tool("-c"), 0);
    EXPECT_EQ(tool("-D"), 0);
    EXPECT_EQ(std::filesystem::file_size(path), 3000u);

    ASSERT_EQ(tool("-v 1234 -p 5678 -d 0310 -a"), 0);
    f = std::fopen(path.string().c_str(), "rb+");
    DfuSuffix theirs;
    EXPECT_EQ(dfu_file_check_suffix(f), 0);
    ASSERT_EQ(dfu_file_read_suffix(f, &theirs), 0);
    EXPECT_EQ(raw(theirs), raw(ours));
    EXPECT_EQ(dfu_file_remove_suffix(f), 0);
    std::fclose(f);
    EXPECT_EQ(std::filesystem::file_size(path), 3000u);
}

}  // namespace
