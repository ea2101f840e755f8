// The WinUSB backend over an emulated WinUSB driver and SetupAPI device list
// backed by simulated boards: discovery, every open failure, commands,
// control requests and descriptors, overlapped streaming with abort and
// cancel at close, re-enumeration and unplug. The virtual clock makes the
// library's waits for re-enumeration cost no wall time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "device/usb.h"
#include "dirov410.h"
#include "dirov410_sim.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/counter_stream.h"
#include "support/winusb_emulator.h"

extern "C" int32_t CurrentConnState;

namespace dirov {
namespace {

namespace fs = std::filesystem;
// The last error after a call that failed, 0 after one that succeeded.
uint32_t fails(bool ok) {
    return ok ? 0 : last_error();
}

class WinUsbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        dirov_sim_use_virtual_clock(1);
        CurrentConnState = 0;
        fs::create_directories(dir);
    }
    void TearDown() override {
        CloseDevice(&DeviceData);
        EXPECT_EQ(emu.open_objects(), 0) << "every handle released";
        dirov_sim_use_virtual_clock(0);
        set_clock(nullptr);
        fs::remove_all(dir);
    }
    WINUSB_INTERFACE_HANDLE open_main() {
        BOOL no_device = -1;
        EXPECT_EQ(OpenDevice(&DeviceData, &no_device, nullptr), 0);
        return DeviceData.WinUsbHandle;
    }
    test::WinUsbEmulator emu;
    fs::path dir =
        fs::temp_directory_path() /
        ("dirov_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::vector<uint8_t> buf = std::vector<uint8_t>(DIROV_PACKET_DATA_SIZE);
    uint32_t n = 0;
};

TEST_F(WinUsbTest, DiscoveryOfNoneAndTwoBoards) {
    char path[DIROV_MAX_PATH] = {};
    BOOL no_device = -1;
    HRESULT hr = RetrieveDevicePath(path, sizeof path, &no_device, nullptr);
    EXPECT_EQ(std::pair(static_cast<uint32_t>(hr), no_device), std::pair(0x80070103u, 1));
    const std::string paths[] = {
        emu.plug(DIROV_SIM_FACE_MAIN, "A1")->path_for(GUID_DEVINTERFACE_HX4104),
        emu.plug(DIROV_SIM_FACE_MAIN, "B2")->path_for(GUID_DEVINTERFACE_HX4104), ""};
    for (uint32_t i = 0; i < 3; ++i) {
        std::string found;
        uint32_t e = usb_find_path(GUID_DEVINTERFACE_HX4104, found, i);
        EXPECT_EQ(std::tuple(e, found),
                  std::tuple(i < 2 ? kErrorSuccess : kErrorNoMoreItems, paths[i]));
    }
    EXPECT_EQ(RetrieveDevicePath(path, sizeof path, &no_device, nullptr), 0);
    EXPECT_EQ(std::pair(std::string(path), no_device), std::pair(paths[0], 0));
    std::string none;
    EXPECT_EQ(usb_find_path(WinUSB_TestGuid, none, 0), kErrorNoMoreItems);
}

TEST_F(WinUsbTest, EachOpenFailureGivesItsErrorAndHoldsNothing) {
    emu.plug(DIROV_SIM_FACE_MAIN);
    const struct {
        const char* function;
        uint32_t error, hresult;
        const char* step;
    } cases[] = {
        {"SetupDiGetClassDevsA", 5, 0x80070005, "RetrieveDevicePath"},
        {"SetupDiEnumDeviceInterfaces", 87, 0x80070057, "RetrieveDevicePath"},
        {"SetupDiGetDeviceInterfaceDetailA", 13, 0x8007000D, "RetrieveDevicePath"},
        {"CreateFileA", 5, 0x80070005, "CreateFile"},
        {"WinUsb_Initialize", 22, 0x80070016, "Initialize WinUSB"},
    };
    for (const auto& c : cases) {
        emu.fail_next(c.function, c.error);
        BOOL no_device = -1;
        HRESULT hr = 0;
        test::Output o = test::Capturing(
            [&] { hr = OpenDevice(&DeviceData, &no_device, &GUID_DEVINTERFACE_HX4104); });
        EXPECT_EQ((std::tuple{static_cast<uint32_t>(hr), no_device, DeviceData.IsOpen,
                              emu.open_objects(), o.err}),
                  std::make_tuple(c.hresult, 0, 0, 0,
                                  std::string("Failed at ") + c.step + " for interface " +
                                      guid_text(GUID_DEVINTERFACE_HX4104) + "\n"));
    }
    open_main();
    EXPECT_EQ(DeviceData.IsOpen, 1) << "the next open works";
}

TEST_F(WinUsbTest, CommandsControlRequestsSerialAndCapture) {
    auto board = emu.plug(DIROV_SIM_FACE_MAIN);
    ASSERT_EQ(Hx410DItfOpen().ConnState, 2);
    WINUSB_INTERFACE_HANDLE h = _GetWinUsbHandle();
    EXPECT_EQ(gen_version(h), 0x00010200);
    uint8_t serial[24] = {};
    EXPECT_EQ(GetDeviceSerialNumber(serial, 22), 0);
    const uint8_t want[] = "D\0R\0V\0004\0001\0000\0-\0000\0000\0000\0001";
    EXPECT_EQ(std::vector<uint8_t>(serial, serial + 22), std::vector<uint8_t>(want, want + 22));
    EXPECT_EQ(fails(usb_control_transfer(h, {0xC0, 0x55, 0, 0, 4}, buf.data(), 4, &n)),
              kErrorGenFailure);  // a stalled request
    emu.fail_next("WinUsb_ReadPipe", kErrorGenFailure);
    test::Output o = test::Capturing([&] { EXPECT_EQ(gen_version(h), -1); });
    EXPECT_EQ(gen_version(h), 0x00010200) << "the exchange after a stalled read";
    board->stream().set_pattern(sim::StreamGenerator::Pattern::kCounter);
    test::expect_counter_capture((dir / "raw").string(), 1 << 20, 1 << 18);
}

// Close cancels the read in flight (else it waits for it forever), also one
// being posted and one whose abort fails; an unplug ends the read in flight
// and every later call.
TEST_F(WinUsbTest, OverlappedStreamingAbortCloseAndUnplug) {
    auto board = emu.plug(DIROV_SIM_FACE_MAIN);
    WINUSB_INTERFACE_HANDLE h = open_main();
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), buf.size(), &n));
    EXPECT_EQ(fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, false)), kErrorIoIncomplete);
    uint32_t waited = 0;
    std::thread waiter(
        [&] { waited = fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, true)); });
    EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn));
    waiter.join();
    EXPECT_EQ(waited, kErrorOperationAborted);

    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), buf.size(), &n));
    CloseDevice(&DeviceData);
    EXPECT_EQ(emu.open_objects(), 0);

    // When the abort fails, the cancel below it cancels the read's I/O.
    h = open_main();
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), buf.size(), &n));
    emu.fail_next("WinUsb_AbortPipe", kErrorGenFailure);
    usb_cancel_pipe(h, kPipeStreamIn);
    EXPECT_EQ(fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, false)),
              kErrorOperationAborted);
    // A close while a read is being posted cancels it all the same.
    std::thread closer;
    emu.on_next("WinUsb_ReadPipe", [&] {
        closer = std::thread([] { CloseDevice(&DeviceData); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the close comes first
    });
    usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), buf.size(), &n);
    closer.join();
    EXPECT_EQ(emu.open_objects(), 0);

    h = open_main();
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), buf.size(), &n));
    board->detach();
    EXPECT_EQ((std::vector{fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, true)),
                           fails(usb_write_pipe(h, kPipeCommandOut, "SYS:VERSION\n", 12, &n))}),
              std::vector<uint32_t>(2, kErrorDeviceNotConnected));
}

TEST_F(WinUsbTest, ReenumerationDuringItfOpenAndUpgrade) {
    emu.plug(DIROV_SIM_FACE_BOOTLOADER);
    EXPECT_EQ(Hx410DItfOpen().ConnState, 2);
    EXPECT_EQ(gen_version(_GetWinUsbHandle()), 0x00010200);
    std::string dfu = (dir / "fw.dfu").string();
    std::string elf = std::string(DIROV_TEST_DATA_DIR) + "/firmware_v2.elf";
    ASSERT_EQ(dfu_file_create(elf.c_str(), dfu.c_str(), 0, nullptr, nullptr), 0);
    EXPECT_EQ((std::tuple{FirmwareUpgrade(dfu.c_str()), CurrentConnState,
                          gen_version(_GetWinUsbHandle())}),
              std::make_tuple(0, 2, 0x00020400));
}

}  // namespace
}  // namespace dirov
