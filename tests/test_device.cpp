// Finding and opening the board by interface GUID.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "device/platform.h"
#include "device/usb.h"
#include "support/capture.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

constexpr HRESULT kNoMoreItems = static_cast<HRESULT>(0x80070103);
constexpr HRESULT kInvalidArg = static_cast<HRESULT>(0x80070057);
constexpr HRESULT kInsufficient = static_cast<HRESULT>(0x8007007A);

using DeviceTest = SimBoardTest;

std::string main_path() {
    char path[DIROV_MAX_PATH];
    EXPECT_EQ(RetrieveDevicePath(path, sizeof path, nullptr, nullptr), 0);
    return path;
}

TEST(DeviceNoBoard, AbsentBoardSetsTheNoDeviceFlagAndNamesTheGuid) {
    dirov_sim_reset();
    Captured io;
    BOOL none = 0;
    EXPECT_EQ(OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE), kNoMoreItems);
    EXPECT_EQ(none, 1);
    EXPECT_EQ(DeviceData.IsOpen, 0);
    EXPECT_EQ(io.err.take(), "Failed at RetrieveDevicePath for interface "
                             "{5D8E3F27-A4C1-4B09-9E62-18F7B3C0A4D5}\n");
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), kNoMoreItems);
    EXPECT_EQ(io.err.take(), "Failed at RetrieveDevicePath\n");
}

TEST_F(DeviceTest, OpensTheMainFirmwareInterfaceByDefault) {
    BOOL none = 1;
    ASSERT_EQ(OpenDevice(&DeviceData, &none, nullptr), 0);
    EXPECT_EQ(none, 0);
    EXPECT_EQ(DeviceData.IsOpen, 1);
    EXPECT_NE(std::strstr(DeviceData.DevicePath, "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}"),
              nullptr);
    CloseDevice(&DeviceData);
    EXPECT_EQ(DeviceData.IsOpen, 0);
    CloseDevice(&DeviceData);  // closing twice does nothing
    EXPECT_EQ(DeviceData.IsOpen, 0);
}

TEST_F(DeviceTest, FailuresAfterDiscoveryClearTheNoDeviceFlag) {
    Captured io;
    BOOL none = 1;
    dirov_sim_fail_nth(DIROV_SIM_OP_OPEN_FILE, 1, 5);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(none, 0);
    EXPECT_EQ(DeviceData.IsOpen, 0);
    EXPECT_EQ(io.err.take(), "Failed at CreateFile\n");

    dirov_sim_fail_nth(DIROV_SIM_OP_OPEN_INTERFACE, 1, kErrorGenFailure);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, &GUID_DEVINTERFACE_HX4104),
              static_cast<HRESULT>(0x8007001F));
    EXPECT_EQ(DeviceData.IsOpen, 0);
    EXPECT_EQ(io.err.take(), "Failed at Initialize WinUSB for interface "
                             "{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}\n");

    dirov_sim_fail_nth(DIROV_SIM_OP_FIND_PATH, 1, kErrorNotEnoughMemory);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), static_cast<HRESULT>(0x80070008));
    EXPECT_EQ(none, 0);
    EXPECT_EQ(io.err.take(), "Failed at RetrieveDevicePath\n");

    // Nothing was left open by the failures: a close has nothing to free.
    CloseDevice(&DeviceData);
    EXPECT_EQ(sim_events(DIROV_SIM_EV_CLOSE).size(), 0u);
}

TEST_F(DeviceTest, WithoutASelectionTheFirstOfTwoBoardsServes) {
    dirov_sim_config cfg = default_config();
    cfg.serial = "SECOND";
    dirov_sim_board* second = dirov_sim_attach(&cfg);
    EXPECT_NE(main_path().find("DRV410-0001"), std::string::npos);
    dirov_sim_detach(board);
    board = nullptr;
    EXPECT_NE(main_path().find("SECOND"), std::string::npos);
    dirov_sim_detach(second);
}

// Board 0 runs its main firmware (which also shows the DFU interface), board
// 1 sits in its bootloader with its own ids.
class TwoBoards : public DeviceTest {
   protected:
    void SetUp() override {
        DeviceTest::SetUp();
        dirov_sim_config cfg = default_config();
        cfg.serial = "SECOND";
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

TEST_F(TwoBoards, ListsEveryInterfaceWithSerialAndIds) {
    dirov_device_info info[3];
    std::memset(info, 0x5A, sizeof info);
    EXPECT_EQ(dirov_list_devices(nullptr, info, 3), 1);
    EXPECT_STREQ(info[0].serial, "DRV410-0001");
    EXPECT_EQ(info[1].vendor_id, 0x5A5A);  // past the count: untouched
    ASSERT_EQ(dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 3), 2);
    struct {
        const char* serial;
        uint16_t vid, pid;
    } want[] = {{"DRV410-0001", 0x1D50, 0x6410}, {"SECOND", 0x1234, 0xABCD}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ(info[i].serial, want[i].serial);
        EXPECT_EQ(info[i].vendor_id, want[i].vid);
        EXPECT_EQ(info[i].product_id, want[i].pid);
        EXPECT_NE(std::strstr(info[i].path, want[i].serial), nullptr) << info[i].path;
    }
    // A board held open is asked through its handle; one that cannot be
    // opened is listed with what discovery knows.
    open_main();
    dirov_sim_fail_nth(DIROV_SIM_OP_OPEN_FILE, 1, 5);
    std::memset(info, 0x5A, sizeof info);
    EXPECT_EQ(dirov_list_devices(nullptr, info, 1), 1);
    EXPECT_STREQ(info[0].serial, "DRV410-0001");
    dirov_sim_clear_faults();
    dirov_sim_fail_nth(DIROV_SIM_OP_OPEN_FILE, 2, 5);
    EXPECT_EQ(dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 2), 2);
    EXPECT_STREQ(info[0].serial, "DRV410-0001");
    EXPECT_STREQ(info[1].serial, "");
    EXPECT_EQ(info[1].vendor_id, 0);
    EXPECT_NE(std::strstr(info[1].path, "SECOND"), nullptr);
    EXPECT_EQ(dirov_list_devices(nullptr, nullptr, 0), 1);
    EXPECT_EQ(dirov_list_devices(nullptr, nullptr, 1), -1);
    EXPECT_EQ(dirov_list_devices(nullptr, info, -1), -1);
    dirov_sim_fail_nth(DIROV_SIM_OP_FIND_PATH, 1, kErrorNotEnoughMemory);
    EXPECT_EQ(dirov_list_devices(nullptr, info, 3), -1);
    EXPECT_EQ(dirov_get_last_error(), kErrorNotEnoughMemory);
}

TEST_F(TwoBoards, TheSelectedSerialAloneIsFound) {
    dirov::test::set_env("DIROV410_DEVICE", "SECOND");  // read at the first discovery
    BOOL none = 0;
    Captured io;
    char path[DIROV_MAX_PATH];
    EXPECT_EQ(RetrieveDevicePath(path, sizeof path, &none, nullptr), kNoMoreItems);
    EXPECT_EQ(none, 1);  // SECOND shows no main firmware interface
    EXPECT_EQ(RetrieveDevicePath(path, sizeof path, &none, &GUID_DFU_MAIN_INTERFACE), 0);
    EXPECT_NE(std::strstr(path, "SECOND"), nullptr) << path;

    // Through the interface open: SECOND starts its main firmware, the other
    // board is left alone.
    EXPECT_EQ(Hx410DItfOpen().ConnState, 2);
    EXPECT_NE(std::strstr(DeviceData.DevicePath, "SECOND#"), nullptr);
    EXPECT_EQ(dirov_sim_get_face(second), DIROV_SIM_FACE_MAIN);

    EXPECT_EQ(dirov_select_device(std::string(DIROV_SERIAL_SIZE, 'x').c_str()), -1);
    EXPECT_NE(main_path().find("SECOND"), std::string::npos);  // unchanged by the refusal
    EXPECT_EQ(dirov_select_device("NOBODY"), 0);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), kNoMoreItems);
    EXPECT_EQ(none, 1);
    EXPECT_EQ(dirov_select_device(nullptr), 0);
    EXPECT_NE(main_path().find("DRV410-0001"), std::string::npos);
    EXPECT_EQ(dirov_select_device("DRV410-0001"), 0);
    EXPECT_NE(main_path().find("DRV410-0001"), std::string::npos);
}

TEST_F(DeviceTest, PathCapacityBoundaries) {
    const std::string full = main_path();
    const uint32_t len = static_cast<uint32_t>(full.size());
    std::string buf(len + 8, 'x');

    EXPECT_EQ(RetrieveDevicePath(buf.data(), len + 1, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(buf.c_str()), full);

    EXPECT_EQ(RetrieveDevicePath(buf.data(), len, nullptr, nullptr), kInsufficient);
    EXPECT_EQ(std::string(buf.c_str()), full.substr(0, len - 1));

    std::string untouched(8, 'u');
    EXPECT_EQ(RetrieveDevicePath(untouched.data(), 0, nullptr, nullptr), kInvalidArg);
    EXPECT_EQ(RetrieveDevicePath(untouched.data(), 0x80000000U, nullptr, nullptr), kInvalidArg);
    EXPECT_EQ(untouched, std::string(8, 'u'));
    EXPECT_EQ(RetrieveDevicePath(nullptr, 100, nullptr, nullptr), kInvalidArg);
}

TEST_F(DeviceTest, EachFaceShowsItsOwnInterface) {
    BOOL none = 0;
    dirov_sim_set_face(board, DIROV_SIM_FACE_BOOTLOADER, 0);
    Captured io;
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), kNoMoreItems);
    EXPECT_EQ(none, 1);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, &GUID_DFU_MAIN_INTERFACE), 0);
    EXPECT_EQ(none, 0);
    CloseDevice(&DeviceData);

    // Re-enumeration: absent for the delay on the board's clock.
    dirov_sim_set_face(board, DIROV_SIM_FACE_MAIN, 300);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), kNoMoreItems);
    dirov_sim_advance_clock(300);
    EXPECT_EQ(OpenDevice(&DeviceData, &none, nullptr), 0);
}

TEST_F(DeviceTest, StaleAndNullHandlesAreRefusedNotDereferenced) {
    WINUSB_INTERFACE_HANDLE h = open_main();
    CloseDevice(&DeviceData);
    uint8_t buf[8];
    uint32_t got = 0;
    EXPECT_FALSE(usb_read_pipe(h, kPipeReplyIn, buf, sizeof buf, &got));
    EXPECT_EQ(last_error(), kErrorInvalidHandle);
    EXPECT_FALSE(usb_write_pipe(nullptr, kPipeCommandOut, buf, 1, &got));
    EXPECT_EQ(last_error(), kErrorInvalidHandle);
    EXPECT_EQ(usb_comms(h, "SYS:VERSION\n", 0, nullptr), nullptr);
}

TEST_F(DeviceTest, HandlesGoStaleWhenTheBoardReenumerates) {
    WINUSB_INTERFACE_HANDLE h = open_main();
    dirov_sim_set_face(board, DIROV_SIM_FACE_MAIN, 0);
    Captured io;
    EXPECT_EQ(usb_comms(h, "SYS:VERSION\n", 0, nullptr), nullptr);
    EXPECT_EQ(io.err.take(), "WritePipe Error: 1167\n");
}

TEST(PlatformText, GuidTextAndHresultRule) {
    EXPECT_EQ(guid_text(GUID_DEVINTERFACE), "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(guid_text(WinUSB_TestGuid), "{0C7A95E3-6B2D-4F18-B7A4-E29D51C86F30}");
    EXPECT_EQ(hresult_from_win32(0), 0);
    EXPECT_EQ(hresult_from_win32(259), kNoMoreItems);
    EXPECT_EQ(hresult_from_win32(0x80004005U), static_cast<HRESULT>(0x80004005U));
}

}  // namespace
}  // namespace dirov::test
