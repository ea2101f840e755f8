// Interface open and firmware upgrade over the libusb backend: the board
// re-enumerates behind an emulated usbfs device at every face change, and the
// library must find it again on its port. The virtual clock makes the
// library's waits for re-enumeration cost no wall time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "device/platform.h"
#include "device/usb.h"
#include "dirov410.h"
#include "dirov410_sim.h"
#include "support/usbfs_emulator.h"

extern "C" int32_t CurrentConnState;

namespace dirov {
namespace {

namespace fs = std::filesystem;
using test::UsbfsEmulator;

constexpr uint32_t kBootloaderVersion = 0x00010000;
constexpr int32_t kOldVersion = 0x00010200;
constexpr int32_t kNewVersion = 0x00020400;

class LibusbItfTest : public ::testing::Test {
   protected:
    void SetUp() override {
        dirov_sim_use_virtual_clock(1);
        CurrentConnState = 0;
    }
    void TearDown() override {
        CloseDevice(&DeviceData);
        emu.reset();
        dirov_sim_use_virtual_clock(0);
        set_clock(nullptr);
        if (!dir.empty()) fs::remove_all(dir);
    }
    void start(dirov_sim_face face) {
        emu = std::make_unique<UsbfsEmulator>(test::make_board(face));
        ASSERT_TRUE(emu->ok()) << "umockdev testbed";
    }
    std::string dfu_file() {
        dir = fs::temp_directory_path() / ("dirov_libusb_itf_" + std::to_string(::getpid()));
        fs::create_directories(dir);
        std::string path = (dir / "fw.dfu").string();
        std::string elf = std::string(DIROV_TEST_DATA_DIR) + "/firmware_v2.elf";
        EXPECT_EQ(dfu_file_create(elf.c_str(), path.c_str(), 0, nullptr, nullptr), 0);
        return path;
    }
    void expect_running(int32_t version) {
        EXPECT_EQ(CurrentConnState, 2);
        EXPECT_EQ(emu->board().face(), DIROV_SIM_FACE_MAIN);
        EXPECT_EQ(gen_version(_GetWinUsbHandle()), version);
    }
    std::unique_ptr<UsbfsEmulator> emu;
    fs::path dir;
};

TEST_F(LibusbItfTest, FaceChangeReenumeratesOnTheSamePort) {
    start(DIROV_SIM_FACE_MAIN);
    BOOL no_device = -1;
    ASSERT_EQ(OpenDevice(&DeviceData, &no_device, nullptr), 0);
    WINUSB_INTERFACE_HANDLE h = DeviceData.WinUsbHandle;
    std::vector<uint8_t> buf(512);
    uint32_t n = 0;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n));
    ASSERT_EQ(last_error(), kErrorIoPending);

    emu->board().set_face(DIROV_SIM_FACE_BOOTLOADER, 200);
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &n, true));
    EXPECT_EQ(last_error(), kErrorDeviceNotConnected) << "the read in flight ends";
    EXPECT_FALSE(usb_write_pipe(h, kPipeCommandOut, "SYS:VERSION\n", 12, &n));
    EXPECT_EQ(last_error(), kErrorDeviceNotConnected);

    char path[DIROV_MAX_PATH] = {};
    sleep_ms(100);
    EXPECT_EQ(emu->address(), 0) << "off the bus while absent";
    EXPECT_LT(RetrieveDevicePath(path, sizeof path, &no_device, &GUID_DFU_MAIN_INTERFACE), 0);
    EXPECT_EQ(no_device, 1);
    sleep_ms(100);
    EXPECT_EQ(emu->address(), 6);
    ASSERT_EQ(RetrieveDevicePath(path, sizeof path, &no_device, &GUID_DFU_MAIN_INTERFACE), 0);
    EXPECT_EQ(std::string(path), "usb:1-2.3:1.0#" + guid_text(GUID_DFU_MAIN_INTERFACE));
    EXPECT_LT(RetrieveDevicePath(path, sizeof path, &no_device, nullptr), 0)
        << "the bootloader does not present the main interface";
    EXPECT_FALSE(usb_write_pipe(h, kPipeCommandOut, "SYS:VERSION\n", 12, &n))
        << "a handle on the old address stays dead";
}

TEST_F(LibusbItfTest, ItfOpenStartsTheMainFirmwareFromTheBootloader) {
    start(DIROV_SIM_FACE_BOOTLOADER);
    ItfOpenResult r = Hx410DItfOpen();
    EXPECT_EQ(r.ConnState, 2);
    EXPECT_EQ(r.BootloaderVersion, kBootloaderVersion);
    EXPECT_EQ(r.FirmwareValid, 1);
    expect_running(kOldVersion);
    EXPECT_EQ(emu->address(), 6);
}

TEST_F(LibusbItfTest, UpgradeFromTheMainFirmwareRunsTheNewVersion) {
    start(DIROV_SIM_FACE_BOOTLOADER);
    std::string file = dfu_file();
    ASSERT_EQ(Hx410DItfOpen().ConnState, 2);
    EXPECT_EQ(FirmwareUpgrade(file.c_str()), 0);
    expect_running(kNewVersion);
    EXPECT_EQ(emu->address(), 8) << "reset to the bootloader, then the new firmware";
}

TEST_F(LibusbItfTest, UpgradeFromNotOpenDetachesTheRunTimeInterface) {
    start(DIROV_SIM_FACE_MAIN);
    std::string file = dfu_file();
    EXPECT_EQ(FirmwareUpgrade(file.c_str()), 0);
    expect_running(kNewVersion);
}

}  // namespace
}  // namespace dirov
