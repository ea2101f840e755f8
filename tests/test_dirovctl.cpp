// dirovctl end to end: each subcommand against the simulated board, its exit
// status and what it writes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::string out;  // stdout
    std::string err;  // stderr
    std::string all;  // both
};

std::string slurp(FILE* f) {
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    return s;
}

Result run(const std::string& args) {
    FILE* errFile = tmpfile();
    std::string cmd = kTool + " " + args + " 2>/dev/fd/" + std::to_string(fileno(errFile));
    FILE* p = popen(cmd.c_str(), "r");
    Result r{-1, "", "", ""};
    if (!p) return r;
    r.out = slurp(p);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    rewind(errFile);
    r.err = slurp(errFile);
    fclose(errFile);
    r.all = r.out + r.err;
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

TEST_F(DirovctlTest, UsageErrorsExitWith2BeforeTouchingAnything) {
    const std::string raw = " -o " + path("x.raw");
    const struct {
        std::string args;
        const char* says;
    } cases[] = {
        {"", ""},
        {"--bogus list", ""},
        {"--sim call no_such_command", ""},
        {"--sim call cbus_read_word 1", "takes 2 argument(s)"},
        {"--sim call cbus_read_word 1 0x100", ""},  // a is 8 bits
        {"tour", "--sim tour"},
        {"-v -q --sim info", "exclude each other"},
        {"--pattern counter info", "need --sim"},
        {"--sim --pattern bogus info", ""},
        {"--sim --rate -1 info", "--rate"},
        {"--sim capture --seconds nan" + raw, "--seconds"},
        {"--sim capture --seconds -1" + raw, "--seconds"},
        {"--sim capture --seconds inf" + raw, "--seconds"},
        {"--sim capture --bytes -5" + raw, "--bytes"},
        {"--sim capture --bytes 0" + raw, "--bytes"},
        {"--sim capture --bytes 1.5K" + raw, "--bytes"},
        {"--sim capture --bytes 20000000000G" + raw, "too large"},
        {"--sim capture --bytes 99999999999999999999" + raw, "too large"},
        {"--sim capture -o - --wav " + path("x.wav"), "-o FILE"},
        {"--sim capture" + raw + " --wav " + path("x.raw"), "same file"},
        {"bogus", "unknown command 'bogus'"},
        {"--sim 0 list", "--sim"},
        {"dfu suffix add --vid 1d5g " + kData + "/firmware.elf", "not a USB id"},
        {"--serial " + std::string(128, 's') + " list", "at most 127 bytes"},
    };
    for (const auto& c : cases) {
        Result r = run(c.args);
        EXPECT_EQ(r.status, 2) << c.args << "\n" << r.all;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(path("x.raw"))) << c.args;
    }
    EXPECT_EQ(run("--help").status, 0);
    EXPECT_EQ(run("dfu create --help").status, 0);
    // Unusable paths fail with the reason, the board untouched.
    Result r = run("--sim capture --bytes 1 -o " + path("a.raw") + " --wav /nonexistent/x.wav");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write /nonexistent/x.wav: No such file or directory"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(fs::exists(path("a.raw")));
    r = run("--sim capture --bytes 1 -o /nonexistent/a.raw");
    EXPECT_NE(r.err.find("cannot create /nonexistent/a.raw: No such file or directory"),
              std::string::npos)
        << r.err;
    Result v = run("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(std::regex_search(
        v.out, std::regex("^dirovctl \\d+\\.\\d+\\.\\d+\nlibdirov410 \\d+\\.\\d+\\.\\d+\n$")))
        << v.all;
}

TEST_F(DirovctlTest, WithoutABoardCommandsFailInOneLine) {
    Result r = run("list");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.all.find("dirovctl: no board found"), std::string::npos) << r.all;
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
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("connection:         main firmware (2)"), std::string::npos) << r.all;
    EXPECT_NE(r.all.find("firmware version:   0x00010200"), std::string::npos) << r.all;

    r = run("--sim cmd SYS:VERSION");
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("Command is: SYS:VERSION\nType is: DATA"), std::string::npos) << r.all;
    EXPECT_EQ(run("--sim cmd NO:SUCH").status, 1);

    r = run("--sim call cbus_write_word 1 0x20 0xffff");
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("cbus_write_word = 0"), std::string::npos) << r.all;
    r = run("--sim call gen_version");
    EXPECT_NE(r.all.find("gen_version = 66048 (0x10200)"), std::string::npos) << r.all;
    r = run("--sim call cbus_write_byte_stream 1 2 0a0b0c");
    EXPECT_EQ(r.status, 0) << r.all;
    r = run("--sim call --list");
    EXPECT_NE(r.all.find("uart_set_config"), std::string::npos);
    r = run("--sim call cbus_set_spi 7");  // a write command: the library's result stays 0
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the board refused CBUS:SETSPIMODE: Bad SPI mode"), std::string::npos)
        << r.err;
}

TEST_F(DirovctlTest, CaptureWritesTheRawFileAndAWavHeader) {
    Result r = run("--sim capture --i2s --bytes 19200 -o " + path("a.raw") + " --wav " +
                path("a.wav"));
    ASSERT_EQ(r.status, 0) << r.all;
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

uint64_t reported_bytes(const std::string& err) {
    size_t at = err.find("wrote ");
    return at == std::string::npos ? UINT64_MAX : std::stoull(err.substr(at + 6));
}

std::vector<uint8_t> counter_bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t k = 0; k < n; ++k) v[k] = static_cast<uint8_t>((k / 4) >> (8 * (k % 4)));
    return v;
}

// What the summary reports is what reached the output, which holds the stream
// as sent, for byte limits, time limits and whichever of the two comes first.
TEST_F(DirovctlTest, CaptureReportsWhatReachedTheOutput) {
    const std::string f = path("c.raw");
    const struct {
        std::string args;
        uint64_t size;  // 0: whatever the time allowed
        bool counter;
    } cases[] = {
        {"--sim capture --i2s --bytes 100000 -o " + f, 100000, false},
        {"--sim capture --i2s --seconds 0.5 -o " + f, 0, false},
        {"--sim --pattern counter capture --bytes 3M --seconds 60 -o " + f, 3u << 20, true},
        {"--sim --pattern counter capture --bytes 3M --seconds 60 -o -", 3u << 20, true},
        {"--sim --pattern counter --rate 400K capture --bytes 1G --seconds 0.5 -o -", 0, true},
    };
    for (const auto& c : cases) {
        fs::remove(f);
        Result r = run(c.args);
        ASSERT_EQ(r.status, 0) << c.args << "\n" << r.err;
        bool toStdout = c.args.ends_with(" -");
        std::vector<uint8_t> got = toStdout ? std::vector<uint8_t>(r.out.begin(), r.out.end())
                                            : read_file(f);
        EXPECT_TRUE(toStdout || r.out.empty()) << c.args;
        EXPECT_EQ(reported_bytes(r.err), got.size()) << c.args << "\n" << r.err;
        EXPECT_EQ(got.size(), c.size ? c.size : got.size()) << c.args;
        EXPECT_GT(got.size(), 0u) << c.args;
        EXPECT_TRUE(!c.counter || got == counter_bytes(got.size())) << c.args;
    }
}

// The first SIGINT stops cleanly: the WAV is finished, no temporary file stays.
TEST_F(DirovctlTest, SigintKeepsTheCaptureAndFinishesTheWav) {
    const std::string raw = path("s.raw"), wav = path("s.wav");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen("/dev/null", "w", stderr);
        execl(kTool.c_str(), kTool.c_str(), "--sim", "capture", "--i2s", "-o", raw.c_str(),
              "--wav", wav.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::error_code ec;
    auto captured = [&] { return fs::file_size(raw, ec) >= 20480 && !ec; };
    for (int i = 0; i < 1000 && !captured(); ++i) usleep(10000);
    kill(pid, SIGINT);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    std::vector<uint8_t> data = read_file(raw), w = read_file(wav);
    ASSERT_GE(data.size(), 20480u);
    ASSERT_EQ(w.size(), 44 + data.size());
    EXPECT_EQ(le32(w, 40), data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), w.begin() + 44));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 2);  // no temporary file
}

TEST_F(DirovctlTest, DfuCreateInfoAndSuffix) {
    const std::string dfu = path("fw.dfu");
    Result r = run("dfu create " + kData + "/firmware.elf " + dfu);
    ASSERT_EQ(r.status, 0) << r.all;
    r = run("dfu info " + dfu);
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("record(s)"), std::string::npos);
    EXPECT_NE(r.all.find("suffix: none"), std::string::npos) << r.all;
    auto size = fs::file_size(dfu);

    EXPECT_EQ(run("dfu create " + dfu + " " + dfu).status, 2);  // would replace its input
    EXPECT_EQ(run("dfu suffix add --vid 1D50 --pid 0x6410 " + dfu).status, 0);
    EXPECT_EQ(fs::file_size(dfu), size + 16);
    r = run("dfu info " + dfu);
    EXPECT_NE(r.all.find("vendor 0x1D50 product 0x6410"), std::string::npos) << r.all;
    EXPECT_NE(r.all.find("(matches)"), std::string::npos) << r.all;
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
    EXPECT_NE(r.all.find("CRC does not match"), std::string::npos) << r.all;
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
    EXPECT_NE(r.err.find("is for 1d50:6411, the board is 1d50:6410 (--force"), std::string::npos)
        << r.err;
    r = run("--sim upgrade --force " + dfu);
    EXPECT_EQ(r.status, 0) << r.all;
    ASSERT_EQ(run("dfu suffix remove " + dfu).status, 0);
    ASSERT_EQ(run("dfu suffix add --vid 1d50 --pid ffff " + dfu).status, 0);  // any product
    r = run("--sim 2 --serial DRV410-0002 upgrade " + dfu);
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("firmware version 0x00020400"), std::string::npos) << r.all;
    // The library's expected retries show only with -v.
    EXPECT_EQ(r.err.find("Failed at"), std::string::npos) << r.err;
    r = run("-v --sim upgrade " + dfu);
    EXPECT_NE(r.err.find("Failed at RetrieveDevicePath"), std::string::npos) << r.err;
    EXPECT_EQ(run("--sim upgrade " + path("missing.dfu")).status, 2);
    std::ofstream(path("bad.dfu")) << "xx";
    EXPECT_EQ(run("--sim upgrade " + path("bad.dfu")).status, 1);
}

TEST_F(DirovctlTest, TourPassesEveryStep) {
    Result r = run("--sim tour --dir " + dir.string());
    EXPECT_EQ(r.status, 0) << r.all;
    EXPECT_NE(r.all.find("The tour passed every step."), std::string::npos) << r.all;
    EXPECT_EQ(fs::file_size(path("tour.raw")), 192000u);
    EXPECT_TRUE(fs::exists(path("tour.wav")));
    EXPECT_TRUE(fs::exists(path("firmware.dfu")));
}

}  // namespace
