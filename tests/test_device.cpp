// Finding, opening and closing the board by interface GUID, the interface
// open that brings it to its main firmware, and its serial number.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "device/usb.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

constexpr HRESULT kNoMoreItems = static_cast<HRESULT>(0x80070103);
const std::string kHx = "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}";
const std::string kDfu = "{5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}";
// A Linux machine without usbfs is named as such when no board is found.
#ifdef _WIN32
const std::string kNoUsbfs;
#else
const std::string kNoUsbfs = std::filesystem::exists("/dev/bus/usb")
                                 ? ""
                                 : "No USB access: /dev/bus/usb does not exist (no usbfs; a "
                                   "container needs the host's /dev/bus/usb)\n";
#endif

using DeviceTest = SimBoardTest;

std::string main_path() {
    char path[DIROV_MAX_PATH];
    EXPECT_EQ(RetrieveDevicePath(path, sizeof path, nullptr, nullptr), 0);
    return path;
}

// The last error after a call that failed, 0 after one that succeeded.
uint32_t fails(bool ok) {
    return ok ? 0 : last_error();
}

bool has(const char* text, const std::string& part) {
    return std::strstr(text, part.c_str()) != nullptr;
}

TEST_F(DeviceTest, EachOpenFailureGivesItsErrorAndLeavesNothingOpen) {
    const struct {
        dirov_sim_op op;  // DIROV_SIM_OP_COUNT: no board at all
        uint32_t code;
        const GUID* guid;
        uint32_t hresult;
        BOOL none;
        std::string err;
    } cases[] = {
        {DIROV_SIM_OP_OPEN_FILE, 5, nullptr, 0x80070005, 0, "Failed at CreateFile\n"},
        {DIROV_SIM_OP_OPEN_INTERFACE, kErrorGenFailure, &GUID_DEVINTERFACE_HX4104, 0x8007001F, 0,
         "Failed at Initialize WinUSB for interface " + kHx + "\n"},
        {DIROV_SIM_OP_FIND_PATH, kErrorNotEnoughMemory, nullptr, 0x80070008, 0,
         "Failed at RetrieveDevicePath\n"},
        {DIROV_SIM_OP_COUNT, 0, &GUID_DFU_MAIN_INTERFACE, 0x80070103, 1,
         kNoUsbfs + "Failed at RetrieveDevicePath for interface " + kDfu + "\n"},
    };
    Captured io;
    for (const auto& c : cases) {
        if (c.op == DIROV_SIM_OP_COUNT && board) dirov_sim_detach(std::exchange(board, nullptr));
        if (c.op != DIROV_SIM_OP_COUNT) dirov_sim_fail_nth(c.op, 1, c.code);
        BOOL none = 7;
        HRESULT hr = OpenDevice(&DeviceData, &none, c.guid);
        EXPECT_EQ((std::tuple{hr, none, DeviceData.IsOpen, io.err.take()}),
                  std::make_tuple(static_cast<HRESULT>(c.hresult), c.none, 0, c.err));
    }
    CloseDevice(&DeviceData);  // nothing was left open to free
    EXPECT_EQ(sim_events(DIROV_SIM_EV_CLOSE).size(), 0u);
    reattach(default_config());
    BOOL none = 1;  // the main interface by default
    HRESULT hr = OpenDevice(&DeviceData, &none, nullptr);
    EXPECT_EQ(std::make_tuple(hr, none, DeviceData.IsOpen, has(DeviceData.DevicePath, kHx)),
              std::make_tuple(0, 0, 1, true));
    for (int i = 0; i < 2; ++i) CloseDevice(&DeviceData);
    EXPECT_EQ(std::make_tuple(DeviceData.IsOpen, sim_events(DIROV_SIM_EV_CLOSE).size()),
              std::make_tuple(0, 1u));  // closed once
}

TEST_F(DeviceTest, PathCapacityBoundaries) {
    const std::string full = main_path();
    const auto len = static_cast<uint32_t>(full.size());
    std::string buf(len + 8, 'x');
    EXPECT_EQ(RetrieveDevicePath(buf.data(), len + 1, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(buf.c_str()), full);
    EXPECT_EQ(RetrieveDevicePath(buf.data(), len, nullptr, nullptr), kEInsufficientBuffer);
    EXPECT_EQ(std::string(buf.c_str()), full.substr(0, len - 1));
    std::string untouched(8, 'u');
    for (uint32_t cap : {0u, 0x80000000u})
        EXPECT_EQ(RetrieveDevicePath(untouched.data(), cap, nullptr, nullptr), kEInvalidArg);
    EXPECT_EQ(untouched, std::string(8, 'u'));
    EXPECT_EQ(RetrieveDevicePath(nullptr, 100, nullptr, nullptr), kEInvalidArg);
}

TEST_F(DeviceTest, StaleAndNullHandlesAreRefusedNotDereferenced) {
    WINUSB_INTERFACE_HANDLE h = open_main();
    dirov_sim_set_face(board, DIROV_SIM_FACE_MAIN, 0);
    Captured io;
    EXPECT_EQ(usb_comms(h, "SYS:VERSION\n", 0, nullptr), nullptr);
    EXPECT_EQ(io.err.take(), "WritePipe Error: 1167\n") << "gone stale at re-enumeration";
    CloseDevice(&DeviceData);
    uint8_t buf[8];
    uint32_t got = 0;
    EXPECT_EQ(fails(usb_read_pipe(h, kPipeReplyIn, buf, sizeof buf, &got)), kErrorInvalidHandle);
    EXPECT_EQ(fails(usb_write_pipe(nullptr, kPipeCommandOut, buf, 1, &got)), kErrorInvalidHandle);
    EXPECT_EQ(usb_comms(h, "SYS:VERSION\n", 0, nullptr), nullptr);
}

// A board that answers nothing: each synchronous call gives up after the
// time-out with "semaphore timeout"; without one it would wait for ever.
TEST_F(DeviceTest, CallsToASilentBoardTimeOut) {
    set_env("DIROV410_TIMEOUT", "soon");
    Captured io;
    EXPECT_EQ(dirov_get_timeout(), 0u);
    EXPECT_TRUE(has(io.err.take().c_str(), "DIROV410_TIMEOUT=soon is not a number"));
    EXPECT_EQ(dirov_set_timeout(0x80000000u), -1);
    WINUSB_INTERFACE_HANDLE h = open_main();
    ASSERT_EQ(dirov_set_timeout(100), 0);
    DfuStatus status;
    using Call = int32_t (*)(WINUSB_INTERFACE_HANDLE, DfuStatus*);
    const std::pair<const char*, Call> calls[] = {
        {"command", [](WINUSB_INTERFACE_HANDLE h, DfuStatus*) { return gen_version(h); }},
        {"raw command", [](WINUSB_INTERFACE_HANDLE h,
                           DfuStatus*) { return usb_comms(h, "X\n", 0, nullptr) ? 0 : -1; }},
        {"DFU request",
         [](WINUSB_INTERFACE_HANDLE h, DfuStatus* b) { return dfu_getstatus(h, b); }},
    };
    for (auto [what, call] : calls) {
        SCOPED_TRACE(what);
        dirov_sim_set_silent(board, 1);
        dirov_set_last_error(0);
        EXPECT_EQ(call(h, &status), -1);
        EXPECT_EQ(dirov_get_last_error(), kErrorSemTimeout);
        dirov_sim_set_silent(board, 0);
    }
    EXPECT_STREQ(dirov_strerror(kErrorSemTimeout),
                 "ERROR_SEM_TIMEOUT: semaphore timeout: the board did not answer in time");
    EXPECT_STREQ(dirov_strerror(4242), "ERROR_4242: unknown error");
    dirov_set_timeout(5000);  // 100 ms is too short for a loaded machine
    EXPECT_GT(gen_version(h), 0) << "the board answers again";
}

// Board 0 runs its main firmware (which also shows the DFU interface), board
// 1 sits in its bootloader with its own ids.
// Read over the bus as UTF-16LE with a surrogate pair: 2-, 3- and 4-byte UTF-8.
const std::string kSecond = "SEC\u00D8ND\u20AC\U0001F600!";
class TwoBoards : public DeviceTest {
   protected:
    void SetUp() override {
        DeviceTest::SetUp();
        dirov_sim_config cfg = default_config();
        cfg.serial = kSecond.c_str();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.vendor_id = 0x1234;
        cfg.product_id = 0xABCD;
        second = dirov_sim_attach(&cfg);
    }
    void TearDown() override {
        dirov_sim_detach(second);
        DeviceTest::TearDown();
    }
    dirov_sim_board* second = nullptr;
};

// The entries listed, one "serial vid:pid path" line each.
std::string listed(const dirov_device_info* info, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        char ids[16];
        std::snprintf(ids, sizeof ids, " %04X:%04X ", info[i].vendor_id, info[i].product_id);
        out += info[i].serial + std::string(ids) + info[i].path + "\n";
    }
    return out;
}

TEST_F(TwoBoards, ListsEveryInterfaceWithSerialAndIds) {
    const std::string first = "1D50:6410 \\\\?\\usb#vid_1d50&pid_6410#DRV410-0001#";
    const std::string second =
        kSecond + " 1234:ABCD \\\\?\\usb#vid_1234&pid_abcd#" + kSecond + "#" + kDfu + "\n";
    dirov_device_info info[3];
    std::memset(info, 0x5A, sizeof info);
    ASSERT_EQ(dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 3), 2);
    EXPECT_EQ(listed(info, 2), "DRV410-0001 " + first + kDfu + "\n" + second);
    EXPECT_EQ(info[2].vendor_id, 0x5A5A);  // past the count: untouched
    // A board held open is asked through its handle (the failing open is
    // left for the next listing); one that cannot be opened is listed with
    // what discovery knows.
    open_main();
    dirov_sim_fail_nth(DIROV_SIM_OP_OPEN_FILE, 1, 5);
    EXPECT_EQ(dirov_list_devices(nullptr, info, 1), 1);
    EXPECT_EQ(listed(info, 1), "DRV410-0001 " + first + kHx + "\n");
    EXPECT_EQ(dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 2), 2);
    EXPECT_EQ(listed(info, 2), " 0000:0000 " + first.substr(10) + kDfu + "\n" + second);
    EXPECT_EQ((std::vector{dirov_list_devices(nullptr, nullptr, 0),
                           dirov_list_devices(nullptr, nullptr, 1),
                           dirov_list_devices(nullptr, info, -1)}),
              (std::vector{1, -1, -1}));
    dirov_sim_fail_nth(DIROV_SIM_OP_FIND_PATH, 1, kErrorNotEnoughMemory);
    EXPECT_EQ((std::tuple{dirov_list_devices(nullptr, info, 3), dirov_get_last_error()}),
              std::make_tuple(-1, kErrorNotEnoughMemory));
}

TEST_F(TwoBoards, TheSelectedSerialAloneIsFound) {
    set_env("DIROV410_DEVICE", kSecond.c_str());  // read at the first discovery
    BOOL none = 0;
    Captured io;
    // SECOND, found by its DFU interface, starts its main firmware; the other
    // board is left alone.
    EXPECT_EQ((std::tuple{Hx410DItfOpen().ConnState, has(DeviceData.DevicePath, kSecond + "#"),
                          dirov_sim_get_face(second)}),
              std::make_tuple(2, true, DIROV_SIM_FACE_MAIN));
    EXPECT_EQ(dirov_select_device(std::string(DIROV_SERIAL_SIZE, 'x').c_str()), -1);
    EXPECT_EQ(dirov_select_device("NOBODY"), 0);
    EXPECT_EQ((std::tuple{OpenDevice(&DeviceData, &none, nullptr), none}),
              std::make_tuple(kNoMoreItems, 1));
    EXPECT_EQ(dirov_select_device(nullptr), 0);
    EXPECT_TRUE(has(main_path().c_str(), "DRV410-0001")) << "no selection: the first board";
}

// What an interface open did: its result, the interface left open, the
// sleeps taken (count/total ms) and the control requests sent.
std::string outcome(const ItfOpenResult& r) {
    char text[64];
    auto sleeps = sim_events(DIROV_SIM_EV_SLEEP);
    uint32_t slept = 0;
    for (auto& e : sleeps) slept += e.ev.value;
    std::snprintf(text, sizeof text, "%d %X %d %s %zu/%u |", r.ConnState, r.BootloaderVersion,
                  r.FirmwareValid,
                  !DeviceData.IsOpen                 ? "closed"
                  : has(DeviceData.DevicePath, kHx)  ? "main"
                  : has(DeviceData.DevicePath, kDfu) ? "dfu"
                                                     : "?",
                  sleeps.size(), slept);
    std::string out = text;  // then the control requests, as "type:request" words
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL)) {
        char word[16];
        std::snprintf(word, sizeof word, "%X:%u ", e.ev.bmRequestType, e.ev.bRequest);
        out += word;
    }
    return out;
}

TEST_F(DeviceTest, InterfaceOpenOutcomes) {
    const std::string lost = "Failed to find device after main firmware run\n";
    std::string never;
    for (int i = 0; i < 10; ++i) never += "Failed at RetrieveDevicePath\n" + lost;
    constexpr int kShortState = -1, kNeverBack = -2;
    const struct {
        dirov_sim_face face;
        int valid;
        int fault;  // n > 0: the n-th control request fails with 31
        std::string want, err;
    } cases[] = {
        {DIROV_SIM_FACE_ABSENT, 1, 0, "0 0 0 closed 0/0 |",
         "Failed at RetrieveDevicePath for interface " + kDfu +
             "\nDevice not connected or driver not installed\n"},
        {DIROV_SIM_FACE_BOOTLOADER, 1, 0, "2 10203 1 main 1/500 |C0:4 A1:5 C0:0 C0:1 C0:2 ", ""},
        {DIROV_SIM_FACE_MAIN, 1, 0, "2 10203 1 main 1/500 |C0:4 C0:0 C0:1 ", ""},
        {DIROV_SIM_FACE_BOOTLOADER, 1, kShortState, "1 0 0 dfu 0/0 |C0:4 ",
         "Failed to get status from bootloader\n"},
        {DIROV_SIM_FACE_BOOTLOADER, 1, 2, "1 0 0 dfu 0/0 |C0:4 A1:5 ",
         "Failed to get DFU status\n"},
        {DIROV_SIM_FACE_BOOTLOADER, 0, 0, "1 10203 0 dfu 0/0 |C0:4 A1:5 C0:0 C0:1 ", ""},
        {DIROV_SIM_FACE_BOOTLOADER, 1, 5, "0 10203 0 closed 0/0 |C0:4 A1:5 C0:0 C0:1 C0:2 C0:3 ",
         "Failed to start firmware\n"},
        {DIROV_SIM_FACE_BOOTLOADER, 1, kNeverBack,
         "0 10203 1 closed 11/5500 |C0:4 A1:5 C0:0 C0:1 C0:2 ", never + lost},
    };
    for (const auto& c : cases) {
        dirov_sim_config cfg = default_config();
        cfg.face = c.face;
        cfg.bootloader_version = 0x00010203;
        cfg.firmware_valid = c.valid;
        reattach(cfg);
        if (c.fault > 0) dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, c.fault, 31);
        if (c.fault == kShortState) dirov_sim_short_reply(board, 0xC0, 4, 27);
        if (c.fault == kNeverBack) dirov_sim_never_return(board, 1);
        // Lines of attempts a retry may still make good are not errors.
        std::pair<std::string, std::string> lines;  // every line, the error ones
        dirov_set_log_handler(
            [](void* user, int32_t level, const char* line) {
                auto& l = *static_cast<std::pair<std::string, std::string>*>(user);
                l.first += std::string(line) + "\n";
                if (level == DIROV_LOG_ERROR) l.second = l.second + line + "\n";
            },
            &lines);
        ItfOpenResult r = Hx410DItfOpen();
        dirov_set_log_handler(nullptr, nullptr);
        EXPECT_EQ(outcome(r), c.want);
        EXPECT_EQ(lines.first, c.err);
        EXPECT_EQ(lines.second, c.fault == kNeverBack ? lost : c.err);
        if (r.ConnState == 2) {
            EXPECT_EQ(gen_version(_GetWinUsbHandle()), 0x00010200);
        }
    }
}

// A failed flush at open only warns. The serial is read as UTF-16LE.
TEST_F(DeviceTest, SerialNumberPaddingAndFailures) {
    dirov_sim_fail_nth(DIROV_SIM_OP_FLUSH, 1, 31);
    Captured cap;
    EXPECT_EQ((std::tuple{Hx410DItfOpen().ConnState, cap.out.take(), Hx410DItfClose(),
                          DeviceData.IsOpen}),
              std::make_tuple(2, "FlushPipe Error: 31\n", 0, 1));
    uint8_t serial[30];
    std::memset(serial, 0xAB, sizeof serial);
    EXPECT_EQ(GetDeviceSerialNumber(serial, 26), 0);  // longer than the descriptor
    EXPECT_EQ(cap.err.take(), "Length of serial number != request, req: 28, got: 24\n");
    EXPECT_EQ(std::string(serial + 20, serial + 27), std::string("1\0\0\0\0\0\xAB", 7));
    EXPECT_EQ(GetDeviceSerialNumber(nullptr, 0), 0);
    EXPECT_EQ(GetDeviceSerialNumber(serial, -1), -1);
    dirov_sim_fail_nth(DIROV_SIM_OP_DESCRIPTOR, 1, 31);
    EXPECT_EQ((std::tuple{GetDeviceSerialNumber(serial, 4), cap.err.take()}),
              std::make_tuple(-1, "Get of serial number failed\n"));
}

}  // namespace
}  // namespace dirov::test
