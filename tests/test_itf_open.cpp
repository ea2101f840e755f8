// Interface open, close and identity against the simulated board.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/capture.h"
#include "support/sim_fixture.h"

using namespace dirov::test;

namespace {

constexpr uint32_t kVersion = 0x00010203;
const char kLost[] = "Failed to find device after main firmware run\n";

std::vector<uint32_t> sleeps() {
    std::vector<uint32_t> out;
    for (auto& e : sim_events(DIROV_SIM_EV_SLEEP)) out.push_back(e.ev.value);
    return out;
}

bool sent(uint8_t type, uint8_t request) {
    for (auto& e : sim_events(DIROV_SIM_EV_CONTROL))
        if (e.ev.bmRequestType == type && e.ev.bRequest == request) return true;
    return false;
}

size_t count_of(const std::string& text, const std::string& line) {
    size_t n = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++n;
    return n;
}

std::string guid_prefix(const GUID& g) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X", static_cast<unsigned>(g.Data1), g.Data2);
    return buf;
}

bool open_on(const GUID& guid) {
    return DeviceData.IsOpen &&
           std::string(DeviceData.DevicePath).find(guid_prefix(guid)) != std::string::npos;
}

class ItfOpen : public SimBoardTest {
   protected:
    void boot_board(int valid) {
        dirov_sim_config cfg = default_config();
        cfg.face = DIROV_SIM_FACE_BOOTLOADER;
        cfg.bootloader_version = kVersion;
        cfg.firmware_valid = valid;
        reattach(cfg);
    }
};

bool expect_result(const ItfOpenResult& r, int32_t state, uint32_t version, int32_t valid) {
    return r.ConnState == state && r.BootloaderVersion == version && r.FirmwareValid == valid;
}

TEST_F(ItfOpen, NoBoardTwoLinesNoSleep) {
    dirov_sim_config cfg = default_config();
    cfg.face = DIROV_SIM_FACE_ABSENT;
    reattach(cfg);
    Captured cap;
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 0, 0, 0));
    EXPECT_EQ(cap.err.take(),
              "Failed at RetrieveDevicePath for interface {5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}\n"
              "Device not connected or driver not installed\n");
    EXPECT_TRUE(sleeps().empty());
    EXPECT_FALSE(DeviceData.IsOpen);
}

TEST_F(ItfOpen, BootloaderStartsMainFirmware) {
    boot_board(1);
    uint64_t t0 = dirov_sim_clock_ms();
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 2, kVersion, 1));
    EXPECT_TRUE(sent(0xA1, 5));
    EXPECT_TRUE(sent(0xC0, 2));
    EXPECT_EQ(sleeps(), std::vector<uint32_t>{500});
    EXPECT_EQ(dirov_sim_clock_ms() - t0, 500u);
    EXPECT_TRUE(open_on(GUID_DEVINTERFACE_HX4104));
    EXPECT_EQ(gen_version(_GetWinUsbHandle()), 0x00010200);
}

TEST_F(ItfOpen, MainAlreadyRunningIsReopenedWithoutStart) {
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 2, 0x00010000, 1));
    EXPECT_FALSE(sent(0xA1, 5));
    EXPECT_FALSE(sent(0xC0, 2));
    EXPECT_EQ(sim_events(DIROV_SIM_EV_OPEN).size(), 2u);
    EXPECT_EQ(sleeps(), std::vector<uint32_t>{500});
    EXPECT_TRUE(open_on(GUID_DEVINTERFACE_HX4104));
    // A second open closes the record first and gets there again.
    EXPECT_EQ(Hx410DItfOpen().ConnState, 2);
}

TEST_F(ItfOpen, BootloaderFailuresLeaveRecordOpenInState1) {
    boot_board(1);
    Captured cap;
    dirov_sim_short_reply(board, 0xC0, 4, 27);
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 1, 0, 0));
    EXPECT_EQ(cap.err.take(), "Failed to get status from bootloader\n");
    EXPECT_TRUE(open_on(GUID_DFU_MAIN_INTERFACE));

    dirov_sim_clear_events();
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 2, 31);
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 1, 0, 0));
    EXPECT_EQ(cap.err.take(), "Failed to get DFU status\n");
    EXPECT_TRUE(open_on(GUID_DFU_MAIN_INTERFACE));
    EXPECT_TRUE(sleeps().empty());
}

TEST_F(ItfOpen, InvalidFirmwareStaysOnBootloader) {
    boot_board(0);
    Captured cap;
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 1, kVersion, 0));
    EXPECT_EQ(cap.err.take(), "");
    EXPECT_FALSE(sent(0xC0, 2));
    EXPECT_TRUE(open_on(GUID_DFU_MAIN_INTERFACE));
}

TEST_F(ItfOpen, StartFailureResetsAndCloses) {
    boot_board(1);
    Captured cap;
    dirov_sim_fail_nth(DIROV_SIM_OP_CONTROL, 5, 31);  // state, DFU state, version, valid, start
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 0, kVersion, 0));
    EXPECT_EQ(cap.err.take(), "Failed to start firmware\n");
    auto ctl = sim_events(DIROV_SIM_EV_CONTROL);
    ASSERT_EQ(ctl.size(), 6u);
    EXPECT_EQ(ctl[5].ev.bRequest, 3);  // the reset, taken by the board
    EXPECT_EQ(ctl[5].ev.value, 0u);
    EXPECT_FALSE(DeviceData.IsOpen);
    EXPECT_TRUE(sleeps().empty());
}

TEST_F(ItfOpen, BoardThatNeverReappears) {
    boot_board(1);
    dirov_sim_never_return(board, 1);
    Captured cap;
    uint64_t t0 = dirov_sim_clock_ms();
    EXPECT_TRUE(expect_result(Hx410DItfOpen(), 0, kVersion, 1));
    std::string err = cap.err.take();
    EXPECT_EQ(count_of(err, kLost), 11u);
    EXPECT_EQ(count_of(err, "Failed at RetrieveDevicePath\n"), 10u);
    EXPECT_EQ(sleeps(), std::vector<uint32_t>(11, 500));
    EXPECT_EQ(dirov_sim_clock_ms() - t0, 5500u);
    EXPECT_FALSE(DeviceData.IsOpen);
}

TEST_F(ItfOpen, FlushFailureWarnsOnStdout) {
    dirov_sim_fail_nth(DIROV_SIM_OP_FLUSH, 1, 31);
    Captured cap;
    EXPECT_EQ(Hx410DItfOpen().ConnState, 2);
    EXPECT_EQ(cap.out.take(), "FlushPipe Error: 31\n");
}

TEST_F(ItfOpen, SerialNumberAndAccessors) {
    EXPECT_EQ(Hx410DItfOpen().ConnState, 2);
    EXPECT_EQ(_GetDeviceData(), &DeviceData);
    EXPECT_EQ(_GetWinUsbHandle(), DeviceData.WinUsbHandle);
    EXPECT_EQ(Hx410DItfClose(), 0);
    EXPECT_TRUE(DeviceData.IsOpen);

    Captured cap;
    uint8_t serial[30];
    std::memset(serial, 0xAB, sizeof serial);
    EXPECT_EQ(GetDeviceSerialNumber(serial, 22), 0);  // "DRV410-0001", UTF-16LE
    EXPECT_EQ(serial[0], 'D');
    EXPECT_EQ(serial[1], 0);
    EXPECT_EQ(serial[20], '1');
    EXPECT_EQ(serial[22], 0xAB);
    EXPECT_EQ(cap.err.take(), "");

    EXPECT_EQ(GetDeviceSerialNumber(serial, 26), 0);  // longer than the descriptor
    EXPECT_EQ(cap.err.take(), "Length of serial number != request, req: 28, got: 24\n");
    EXPECT_EQ(serial[22], 0);
    EXPECT_EQ(serial[25], 0);

    EXPECT_EQ(GetDeviceSerialNumber(nullptr, 0), 0);
    EXPECT_EQ(GetDeviceSerialNumber(serial, -1), -1);
    dirov_sim_fail_nth(DIROV_SIM_OP_DESCRIPTOR, 1, 31);
    EXPECT_EQ(GetDeviceSerialNumber(serial, 4), -1);
    EXPECT_EQ(cap.err.take(), "Get of serial number failed\n");
}

}  // namespace
