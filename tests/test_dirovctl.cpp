// dirovctl end to end: shell lines run in order in a scratch folder, each
// with its exit status and fragments of what it writes (stdout and stderr).
// Each section (from a row holding only its name to the next) is a test case
// of its own, with its own folder, so sections run in parallel.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

namespace {

// A shell line run in the scratch folder ($D: the test data folder), its exit
// status and '|'-separated fragments of its output ("!text": must not appear).
struct Step {
    std::string sh;
    int status = -1;  // -1: the row names a section
    std::string says = "";
};

const Step kSteps[] = {
    // Usage errors exit with 2 before touching anything.
    {"Usage"},
    {"dirovctl", 2, ""},
    {"dirovctl bogus", 2, "unknown command 'bogus'"},
    {"dirovctl --sim call cbus_read_word 1", 2, "takes 2 argument(s)"},
    {"dirovctl call cbus_read_word 1 0x100", 2,
     "0..255: 0x100"},  // checked before any board is sought
    {"dirovctl tour", 2, "--sim tour"},
    {"dirovctl -v -q --sim info", 2, "exclude each other"},
    {"dirovctl --pattern counter info", 2, "need --sim"},
    {"dirovctl --timeout -1 list", 2, "--timeout"},
    {"dirovctl --sim --rate -1 info", 2, "--rate"},
    {"dirovctl --serial " + std::string(128, 's') + " list", 2, "at most 127 bytes"},
    {"dirovctl --sim capture --seconds nan -o x.raw", 2, "--seconds"},
    {"dirovctl --sim capture --bytes 0 -o x.raw", 2, "--bytes"},
    {"dirovctl --sim capture --bytes 20000000000G -o x.raw", 2, "too large"},
    {"dirovctl --sim capture -o - --wav x.wav", 2, "-o FILE"},
    {"dirovctl --sim capture -o x.raw --wav x.raw", 2, "same file"},
    {"dirovctl --sim capture -o - --json", 2, "--json"},
    {"dirovctl dfu suffix add --vid 1d5g $D/firmware.elf", 2, "not a USB id"},
    {"dirovctl --sim upgrade missing.dfu", 2, ""},
    {"dirovctl --help && dirovctl dfu create --help", 0, ""},
    {"dirovctl --version | grep -cE '^(dirovctl|libdirov410) [0-9]+\\.[0-9]+\\.[0-9]+$'", 0, "2"},
    // Unusable paths fail with the reason, the board untouched.
    {"dirovctl --sim capture --bytes 1 -o a.raw --wav /n/x.wav", 1,
     "cannot write /n/x.wav: No such"},
    {"dirovctl --sim capture --bytes 1 -o /no/a.raw", 1, "cannot create /no/a.raw: No such file"},
    {"mkfifo fifo && dirovctl dfu suffix add fifo", 1, "not a regular file"},  // never waited on
    {"echo not an elf > junk.elf; dirovctl dfu create junk.elf j.dfu", 1, ""},
    {"ls", 0, "!x.raw|!a.raw|!j.dfu"},
    {"Boards"},
    {"dirovctl list", 0, "no board found"},
    // Nothing of an existing output is touched without a board; a FIFO stays.
    {"echo keep >x.raw; mkfifo q; dirovctl capture -o x.raw; dirovctl capture -o q; cat x.raw; "
     "[ -p q ] && echo kept",
     0, "keep\nkept"},
    {"dirovctl --sim --sim-silent --timeout 0.2 cmd SYS:VERSION", 1,
     "exchange failed: ERROR_SEM_TIMEOUT: semaphore timeout"},
    {"dirovctl --sim 2 list", 0,
     "DRV410-0001      1d50:6410  \\\\?\\usb#vid_1d50&pid_6410#DRV410-0001#|dfu   DRV410-0002"},
    {"dirovctl --sim-boards 2 --serial DRV410-0002 list --json", 0,
     "{\"boards\": [{\"face\": \"dfu\", \"serial\": \"DRV410-0002\", \"vendor_id\": \"1d50\", "
     "\"product_id\": \"6410\", \"path\": \"\\\\\\\\?\\\\usb#vid_1d50&pid_6410#DRV410-0002#"
     "{5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}\"}]}\n"},
    {"dirovctl --sim 2 --serial DRV410-0002 info --json", 0,
     "{\"connection\": \"main firmware\", \"state\": 2, \"bootloader_version\": \"0x00010000\", "
     "\"firmware_valid\": true, \"serial\": \"DRV410-0002\", \"firmware_version\": "},
    {"dirovctl --sim 2 --serial DRV410-0003 cmd SYS:VERSION", 1, ""},
    {"DIROV410_LOG=bogus DIROV410_TIMEOUT=x dirovctl --sim info", 0,
     "connection:         main firmware (2)|version:   0x00010200|DIROV410_LOG=bogus is none of|"
     "DIROV410_TIMEOUT=x is not a number"},
    {"Commands"},
    {"dirovctl --sim cmd SYS:VERSION", 0,
     "\nStructured Reply\nCommand is: SYS:VERSION\nType is: DATA\nData Length is: 00\nData is:\n"
     "Byte 0 : 00\nByte 1 : 02\nByte 2 : 01\nByte 3 : 00\nEND\n\n"},
    {"dirovctl --sim cmd 'CBUS:READBYTESTREAM 1,2,2'", 0,
     "Data Length is: 02\nData is:\nByte 0 : 00\nByte 1 : 00\nEND\n"},
    {"dirovctl --sim cmd NO:SUCH", 1, "Type is: CSTAT\nCSTAT Error is: Unknown command\nEND\n\n"},
    {"dirovctl --sim call gen_version", 0, "gen_version = 66048 (0x10200)"},
    {"dirovctl --sim call cbus_write_byte_stream 1 2 0a0b0c", 0, ""},
    {"dirovctl --sim call --list", 0, "uart_set_config"},
    // Several calls on one board in one run; every line is checked first.
    {"printf 'cbus_write_word 1 0x20 0xBEEF\\n# c\\ncbus_read_word 1 0x20\\n' | "
     "dirovctl --sim call --json --file - && dirovctl --sim cmd --json SYS:VERSION",
     0,
     "{\"call\": \"cbus_read_word\", \"ok\": true, \"value\": 48879}|\"value\": 66048, \"bytes\""},
    {"printf 'gen_version\\ncbus_read_word 1\\n' | dirovctl --sim call --file -", 2,
     "-:2: cbus_read_word takes 2|!gen_version ="},
    {"dirovctl --sim call cbus_set_spi 7", 1, "the board refused CBUS:SETSPIMODE: Bad SPI mode"},
    // Captures: the summary reports what reached the output, which holds the
    // stream as sent; the WAV header describes the raw data behind it. The
    // first SIGINT stops cleanly: the WAV is finished, no temporary file stays.
    {"Captures"},
    {"echo \"[$(dirovctl --sim capture --i2s --bytes 19200 -o a.raw --wav a.wav)]\" && "
     "tail -c 19200 a.wav | cmp - a.raw && od -An -tx1 -v -w44 -N44 a.wav | tr -d ' '",
     0,
     "52494646244b000057415645666d7420100000000100020080bb000000ee02000400100064617461004b0000"
     "|[]|wrote 19200 bytes to a.raw"},
    {"dirovctl --sim capture --i2s --seconds 0.2 --json -o t.raw >j && cat j && "
     "grep -q \"\\\"bytes_written\\\": $(stat -c %s t.raw),\" j",
     0, "{\"output\": \"t.raw\", \"bytes_written\": |\"stop\": \"seconds\", \"wav\": null"},
    {"mkdir s && cd s && { dirovctl --sim capture --i2s -o s.raw --wav s.wav & } && "
     "for i in $(seq 1000); do [ $(stat -c %s s.raw 2>/dev/null || echo 0) -ge 20480 ] && break; "
     "sleep 0.01; done; kill -INT $!; wait $!; echo exit $? files $(ls | wc -l) && "
     "tail -c +45 s.wav | cmp - s.raw && [ $(od -An -tu4 -j40 -N4 s.wav) = $(stat -c %s s.raw) ]",
     0, "exit 0 files 2"},
    {"CounterCaptures"},
    // A slow reader neither delays the stop nor gets what came after it; a
    // reader that leaves early ends the capture quietly.
    {"dirovctl --sim --pattern counter --rate 2M capture --seconds 1 -o - 2>e | (sleep 2.5; wc -c) "
     ">n; [ $(cat n) -le 6000000 ] && grep -c 'stopped after 1' e",
     0, "1"},
    {"mkfifo f; (exec 3<f; sleep 3; wc -c <&3 >n) & dirovctl --sim --pattern counter --rate 2M "
     "capture -o f 2>e & p=$!; sleep 1.5; kill -INT $p; wait; [ -p f ] && [ $(cat n) -le 6000000 ] "
     "&& cat e",
     0, "(stopped by signal)"},
    {"{ dirovctl --sim --pattern counter capture -o - 2>e; echo $? >s; } | head -c 100 | wc -c; "
     "cat s e",
     0, "100\n0\n"},
    {"(ulimit -f 100; dirovctl --sim --pattern counter capture -o big.raw); echo rc=$? "
     "$(stat -c %s big.raw)",
     0, "cannot write to big.raw: File too large|rc=1 51200"},
    {"dirovctl --sim --pattern counter capture --bytes 3M --seconds 60 -o c.raw && dirovctl --sim "
     "--pattern counter capture --bytes 3M -o - | cmp - c.raw && tail -c 8 c.raw | od -An -tx4",
     0, "wrote 3145728 bytes to standard output| 000bfffe 000bffff\n"},
    {"n=$(dirovctl --sim --pattern counter --rate 400K capture --bytes 1G --seconds 0.2 -o - "
     "2>e | wc -c) && grep \"wrote $n bytes\" e",
     0, "(time limit reached)"},
    {"DfuFiles"},
    {"dirovctl dfu create $D/firmware.elf fw.dfu && cp fw.dfu p.dfu && dirovctl dfu info fw.dfu", 0,
     "record(s)|suffix: none"},
    {"dirovctl dfu create fw.dfu fw.dfu", 2, ""},  // would replace its input
    {"dirovctl dfu suffix add --vid 1D50 --pid 0x6410 --release 0102 fw.dfu && dirovctl dfu info "
     "fw.dfu",
     0, "vendor 0x1D50 product 0x6410 device 0x0102|(matches)"},
    {"dirovctl dfu info $D/firmware.elf", 1, "is an ELF file, not a DFU file: make one with"},
    {"dirovctl -q dfu create $D/firmware.elf q.dfu && dirovctl -q dfu suffix add q.dfu && echo [q]",
     0, "[q]|!wrote q.dfu|!add q.dfu"},
    {"dirovctl dfu info --json fw.dfu && dirovctl dfu suffix check fw.dfu", 0,
     "{\"records\": [{\"id\": |], \"suffix\": {\"vendor_id\": \"1d50\", \"product_id\": \"6410\", "
     "\"device_release\": \"0102\", \"bcd_dfu\": \"0100\", \"crc\": \"0x|\"crc_matches\": "
     "true}}\n"},
    {"printf Z | dd of=fw.dfu bs=1 seek=9 conv=notrunc; dirovctl dfu suffix check fw.dfu", 1,
     "CRC does not match"},
    {"dirovctl dfu suffix remove fw.dfu && [ $(stat -c %s fw.dfu) = $(stat -c %s p.dfu) ]", 0, ""},
    {"dirovctl dfu suffix remove fw.dfu", 1, ""},  // no suffix left
    // Upgrades check the file's USB id.
    {"Upgrades"},
    {"dirovctl dfu create $D/firmware_v2.elf v2.dfu && dirovctl dfu suffix add --vid 1d50 --pid "
     "6411 v2.dfu && dirovctl --sim upgrade v2.dfu",
     1, "is for 1d50:6411, the board is 1d50:6410 (--force"},
    {"dirovctl --sim upgrade --force v2.dfu", 0, ""},
    {"dirovctl dfu suffix remove v2.dfu && dirovctl dfu suffix add --vid 1d50 --pid ffff v2.dfu && "
     "dirovctl --sim 2 --serial DRV410-0002 upgrade v2.dfu",
     0, "firmware version 0x00020400|!Failed at"},  // the library's retries show only with -v
    {"DIROV410_LOG=off dirovctl -v --sim upgrade v2.dfu", 0, "Failed at RetrieveDevicePath"},
    {"echo xx > bad.dfu; dirovctl --sim upgrade bad.dfu", 1, ""},
    {"Tour"},
    {"dirovctl --sim tour --dir . && stat -c %s tour.raw && ls", 0,
     "The tour passed every step.|\n192000\n|tour.wav|firmware.dfu"},
};

std::vector<size_t> section_rows() {
    std::vector<size_t> rows;
    for (size_t i = 0; i < std::size(kSteps); ++i)
        if (kSteps[i].status == -1) rows.push_back(i);
    return rows;
}

class Dirovctl : public testing::TestWithParam<size_t> {};

TEST_P(Dirovctl, EveryStepExitsAndSaysAsExpected) {
    char dir[] = "/tmp/dirovctl-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    for (size_t i = GetParam() + 1; i < std::size(kSteps) && kSteps[i].status != -1; ++i) {
        const Step& step = kSteps[i];
        SCOPED_TRACE(step.sh);
        std::string sh = std::string("cd ") + dir + " && PATH=" DIROV_BINARY_DIR "/tools:$PATH" +
                         " && D=" DIROV_TEST_DATA_DIR " && (" + step.sh + ") 2>&1";
        FILE* p = popen(sh.c_str(), "r");
        std::string out;
        char buf[4096];
        for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        int status = p ? pclose(p) : -1;
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, step.status) << out;
        std::istringstream says(step.says);
        for (std::string s; std::getline(says, s, '|');)
            EXPECT_EQ(out.find(s.substr(s[0] == '!')) == out.npos, s[0] == '!') << s << "\n" << out;
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Sections, Dirovctl, testing::ValuesIn(section_rows()),
                         [](const auto& info) { return kSteps[info.param].sh; });

}  // namespace
