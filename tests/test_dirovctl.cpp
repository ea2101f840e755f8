// dirovctl end to end: each subcommand against the simulated board, its exit
// status and what it writes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kTool = DIROV_BINARY_DIR "/tools/dirovctl";
const std::string kData = DIROV_TEST_DATA_DIR;

struct Result {
    int status;
    std::string out;  // stdout and stderr together
};

Result run(const std::string& args) {
    std::string cmd = kTool + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    Result r{-1, ""};
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::vector<uint8_t> read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

class DirovctlTest : public ::testing::Test {
   protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("dirovctl-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string path(const char* name) const { return (dir / name).string(); }
    fs::path dir;
};

TEST_F(DirovctlTest, UsageErrorsExitWith2) {
    EXPECT_EQ(run("").status, 2);
    EXPECT_EQ(run("--bogus list").status, 2);
    EXPECT_EQ(run("--sim call no_such_command").status, 2);
    Result r = run("--sim call cbus_read_word 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("takes 2 argument(s)"), std::string::npos) << r.out;
    EXPECT_EQ(run("--sim call cbus_read_word 1 0x100").status, 2);  // a is 8 bits
    EXPECT_EQ(run("--sim capture -o " + path("x.raw")).status, 2);  // no limit
    EXPECT_EQ(run("tour").status, 2);                                 // needs --sim
    EXPECT_EQ(run("--help").status, 0);
    EXPECT_EQ(run("dfu create --help").status, 0);
    r = run("bogus");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("unknown command 'bogus'"), std::string::npos) << r.out;
    EXPECT_EQ(run("--sim 0 list").status, 2);
    EXPECT_EQ(run("dfu suffix add --vid 1d5g " + kData + "/firmware.elf").status, 2);
    EXPECT_EQ(run("--serial " + std::string(128, 's') + " list").status, 2);
    r = run("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("^dirovctl \\d+\\.\\d+\\.\\d+\nlibdirov410 \\d+\\.\\d+\\.\\d+\n$")))
        << r.out;
}

TEST_F(DirovctlTest, WithoutABoardCommandsFailInOneLine) {
    Result r = run("list");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("dirovctl: no board found"), std::string::npos) << r.out;
    EXPECT_EQ(run("cmd SYS:VERSION").status, 1);
    EXPECT_EQ(run("info").status, 1);
}

TEST_F(DirovctlTest, ListInfoCmdAndCall) {
    Result r = run("--sim 2 list");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(
        r.out.find("dfu   DRV410-0001      1d50:6410  \\\\?\\usb#vid_1d50&pid_6410#DRV410-0001#"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("dfu   DRV410-0002"), std::string::npos) << r.out;
    r = run("--sim-boards 2 --serial DRV410-0002 list --json");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"boards\": [{\"face\": \"dfu\", \"serial\": \"DRV410-0002\", "
              "\"vendor_id\": \"1d50\", \"product_id\": \"6410\", \"path\": "
              "\"\\\\\\\\?\\\\usb#vid_1d50&pid_6410#DRV410-0002#"
              "{5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}\"}]}\n");
    r = run("--sim 2 --serial DRV410-0002 info --json");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"connection\": \"main firmware\", \"state\": 2, \"bootloader_version\": "
              "\"0x00010000\", \"firmware_valid\": true, \"serial\": \"DRV410-0002\", "
              "\"firmware_version\": \"0x00010200\"}\n");
    EXPECT_EQ(run("--sim 2 --serial DRV410-0003 cmd SYS:VERSION").status, 1);

    r = run("--sim info");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("connection:         main firmware (2)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("firmware version:   0x00010200"), std::string::npos) << r.out;

    r = run("--sim cmd SYS:VERSION");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Command is: SYS:VERSION\nType is: DATA"), std::string::npos) << r.out;
    EXPECT_EQ(run("--sim cmd NO:SUCH").status, 1);

    r = run("--sim call cbus_write_word 1 0x20 0xffff");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("cbus_write_word = 0"), std::string::npos) << r.out;
    r = run("--sim call gen_version");
    EXPECT_NE(r.out.find("gen_version = 66048 (0x10200)"), std::string::npos) << r.out;
    r = run("--sim call cbus_write_byte_stream 1 2 0a0b0c");
    EXPECT_EQ(r.status, 0) << r.out;
    r = run("--sim call --list");
    EXPECT_NE(r.out.find("uart_set_config"), std::string::npos);
}

TEST_F(DirovctlTest, CaptureWritesTheRawFileAndAWavHeader) {
    Result r = run("--sim capture --i2s --bytes 19200 -o " + path("a.raw") + " --wav " +
                path("a.wav"));
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(fs::file_size(path("a.raw")), 19200u);
    std::vector<uint8_t> wav = read_file(path("a.wav"));
    ASSERT_EQ(wav.size(), 44u + 19200u);
    EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
    EXPECT_EQ(le32(wav, 4), 36u + 19200u);
    EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(wav[22], 2);               // channels
    EXPECT_EQ(le32(wav, 24), 48000u);    // sample rate
    EXPECT_EQ(le32(wav, 28), 192000u);   // byte rate
    EXPECT_EQ(wav[34], 16);              // bits per sample
    EXPECT_EQ(le32(wav, 40), 19200u);
    std::vector<uint8_t> raw = read_file(path("a.raw"));
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), wav.begin() + 44));
}

TEST_F(DirovctlTest, DfuCreateInfoAndSuffix) {
    const std::string dfu = path("fw.dfu");
    Result r = run("dfu create " + kData + "/firmware.elf " + dfu);
    ASSERT_EQ(r.status, 0) << r.out;
    r = run("dfu info " + dfu);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("record(s)"), std::string::npos);
    EXPECT_NE(r.out.find("suffix: none"), std::string::npos) << r.out;
    auto size = fs::file_size(dfu);

    EXPECT_EQ(run("dfu create " + dfu + " " + dfu).status, 2);  // would replace its input
    EXPECT_EQ(run("dfu suffix add --vid 1D50 --pid 0x6410 " + dfu).status, 0);
    EXPECT_EQ(fs::file_size(dfu), size + 16);
    r = run("dfu info " + dfu);
    EXPECT_NE(r.out.find("vendor 0x1D50 product 0x6410"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(matches)"), std::string::npos) << r.out;
    r = run("dfu info --json " + dfu);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("\\{\"records\": \\[\\{\"id\": \\d+, \"address\": \"0x[0-9A-F]{8}\", "
                          "\"length\": \\d+\\}.*\\], \"suffix\": \\{\"vendor_id\": \"1d50\", "
                          "\"product_id\": \"6410\", \"device_release\": \"ffff\", \"bcd_dfu\": "
                          "\"0100\", \"crc\": \"0x[0-9A-F]{8}\", \"crc_matches\": true\\}\\}\n")))
        << r.out;
    EXPECT_EQ(run("dfu suffix check " + dfu).status, 0);

    {  // corrupt one image byte: the suffix CRC no longer matches
        std::fstream f(dfu, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(9);
        f.put('\x5A');
    }
    r = run("dfu suffix check " + dfu);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("CRC does not match"), std::string::npos) << r.out;
    EXPECT_EQ(run("dfu suffix remove " + dfu).status, 0);
    EXPECT_EQ(fs::file_size(dfu), size);
    EXPECT_EQ(run("dfu suffix remove " + dfu).status, 1);  // no suffix left

    std::ofstream(path("junk.elf")) << "not an elf file";
    EXPECT_EQ(run("dfu create " + path("junk.elf") + " " + path("j.dfu")).status, 1);
    EXPECT_FALSE(fs::exists(path("j.dfu")));
    EXPECT_EQ(run("dfu info " + path("missing.dfu")).status, 2);
}

TEST_F(DirovctlTest, UpgradeRunsTheNewFirmware) {
    const std::string dfu = path("v2.dfu");
    ASSERT_EQ(run("dfu create " + kData + "/firmware_v2.elf " + dfu).status, 0);
    ASSERT_EQ(run("dfu suffix add --vid 1d50 --pid 6411 " + dfu).status, 0);
    Result r = run("--sim upgrade " + dfu);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("is for 1d50:6411, the board is 1d50:6410 (--force"), std::string::npos)
        << r.out;
    r = run("--sim upgrade --force " + dfu);
    EXPECT_EQ(r.status, 0) << r.out;
    ASSERT_EQ(run("dfu suffix remove " + dfu).status, 0);
    ASSERT_EQ(run("dfu suffix add --vid 1d50 --pid ffff " + dfu).status, 0);  // any product
    r = run("--sim 2 --serial DRV410-0002 upgrade " + dfu);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("firmware version 0x00020400"), std::string::npos) << r.out;
    EXPECT_EQ(run("--sim upgrade " + path("missing.dfu")).status, 2);
    std::ofstream(path("bad.dfu")) << "xx";
    EXPECT_EQ(run("--sim upgrade " + path("bad.dfu")).status, 1);
}

TEST_F(DirovctlTest, TourPassesEveryStep) {
    Result r = run("--sim tour --dir " + dir.string());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("The tour passed every step."), std::string::npos) << r.out;
    EXPECT_EQ(fs::file_size(path("tour.raw")), 192000u);
    EXPECT_TRUE(fs::exists(path("tour.wav")));
    EXPECT_TRUE(fs::exists(path("firmware.dfu")));
}

}  // namespace
