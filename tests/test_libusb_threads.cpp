// The libusb backend for real, over a simulated board behind an emulated
// usbfs device (umockdev): discovery by MS OS descriptors, command exchange,
// streaming (also under the capture thread, a read aborted from another
// thread), control requests, and the board re-enumerating on its port at
// every face change. The virtual clock makes the library's waits for
// re-enumeration cost no wall time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "device/backends/libusb/libusb_errors.h"
#include "device/usb.h"
#include "dirov410.h"
#include "dirov410_sim.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/counter_stream.h"
#include "support/usbfs_emulator.h"

extern "C" int32_t CurrentConnState;

namespace dirov {
namespace {

using Bytes = std::vector<uint8_t>;
using test::UsbfsEmulator;

class LibusbTest : public ::testing::Test {
   protected:
    void SetUp() override {
        dirov_sim_use_virtual_clock(1);
        CurrentConnState = 0;
        start(DIROV_SIM_FACE_MAIN);
    }
    void TearDown() override {
        CloseDevice(&DeviceData);
        EXPECT_EQ(emu->outstanding_urbs(), 0u) << "every URB reaped after close";
        emu.reset();
        dirov_sim_use_virtual_clock(0);
        set_clock(nullptr);
    }
    void start(dirov_sim_face face, sim::MsOsVersion ms_os = sim::MsOsVersion::kV2) {
        emu.reset();  // the old one first: it restores the clock it wrapped
        emu = std::make_unique<UsbfsEmulator>(test::make_board(face), ms_os);
        ASSERT_TRUE(emu->ok()) << "umockdev testbed";
    }
    WINUSB_INTERFACE_HANDLE open(const GUID* guid = nullptr) {
        BOOL no_device = -1;
        EXPECT_EQ(OpenDevice(&DeviceData, &no_device, guid), 0);
        return DeviceData.WinUsbHandle;
    }
    std::unique_ptr<UsbfsEmulator> emu;
};

// The path discovery gives for `guid`, else its HRESULT and no-device flag.
std::string find(const GUID* guid) {
    char path[DIROV_MAX_PATH] = {};
    BOOL no_device = -1;
    auto hr = static_cast<unsigned>(RetrieveDevicePath(path, sizeof path, &no_device, guid));
    if (hr == 0 && no_device == 0) return path;
    return std::to_string(hr) + "/" + std::to_string(no_device);
}
const std::string kNone = std::to_string(0x80070103u) + "/1";
// The last error after a call that failed, 0 after one that succeeded.
uint32_t fails(bool ok) {
    return ok ? 0 : last_error();
}

std::string at_port(int interface, const GUID& guid) {
    return "usb:1-2.3:1." + std::to_string(interface) + "#" + guid_text(guid);
}

// One streaming read, posted and waited for as the capture thread does.
bool read_stream(WINUSB_INTERFACE_HANDLE h, uint8_t* buf, uint32_t len, uint32_t* n) {
    if (usb_read_pipe_overlapped(h, kPipeStreamIn, buf, len, n)) return true;
    return last_error() == kErrorIoPending && usb_get_overlapped_result(h, kPipeStreamIn, n, true);
}

// libusb keeps its device list for the process: one emulator per process
// once discovery ran, so each MS OS descriptor version runs apart.
class LibusbDiscovery : public LibusbTest,
                        public ::testing::WithParamInterface<sim::MsOsVersion> {};
INSTANTIATE_TEST_SUITE_P(MsOs, LibusbDiscovery,
                         ::testing::Values(sim::MsOsVersion::kV2, sim::MsOsVersion::kV1),
                         [](const auto& i) {
                             return i.param == sim::MsOsVersion::kV1 ? "V1" : "V2";
                         });

TEST_P(LibusbDiscovery, ByMsOsDescriptorsAndGuidMap) {
    start(DIROV_SIM_FACE_MAIN, GetParam());
    EXPECT_EQ(find(nullptr), at_port(0, GUID_DEVINTERFACE_HX4104));
    EXPECT_EQ(find(&GUID_DFU_MAIN_INTERFACE), at_port(1, GUID_DFU_MAIN_INTERFACE));
    EXPECT_EQ(find(&WinUSB_TestGuid), kNone);
    uint8_t state = 0xFF, *image = nullptr;  // class requests reach the DFU interface, not 0
    uint32_t size = 1;                       // no DFU request leaves appIDLE: an upload is refused
    WINUSB_INTERFACE_HANDLE dfu = open(&GUID_DFU_MAIN_INTERFACE);
    EXPECT_EQ(
        (std::tuple{dfu_getstate(dfu, &state), state, dfu_upload_firmware(dfu, &image, &size)}),
        std::make_tuple(1, DFU_STATE_APP_IDLE, -2));
    CloseDevice(&DeviceData);
    dirov_device_info info[2] = {};  // serial and ids read over the bus
    ASSERT_EQ(dirov_list_devices(nullptr, info, 2), 1);
    EXPECT_EQ(info[0].serial, emu->board().serial());
    EXPECT_EQ(info[0].vendor_id << 16 | info[0].product_id, 0x1D506410);
    EXPECT_EQ(info[0].path, at_port(0, GUID_DEVINTERFACE_HX4104));
    test::set_env("DIROV410_GUID_MAP", (guid_text(WinUSB_TestGuid) + "=1D50:6410:0").c_str());
    EXPECT_EQ(find(&WinUSB_TestGuid), at_port(0, WinUSB_TestGuid));
    open(&WinUSB_TestGuid);
    test::set_env("DIROV410_GUID_MAP", (guid_text(WinUSB_TestGuid) + "=1D50:6411").c_str());
    EXPECT_EQ(find(&WinUSB_TestGuid), kNone) << "another product id";

    WINUSB_INTERFACE_HANDLE h = nullptr;
    OpenStage stage = OpenStage::kInterface;
    // The GUID is on interface 0, not 1.
    EXPECT_EQ(usb_open(at_port(1, GUID_DEVINTERFACE_HX4104).c_str(), &h, &stage),
              kErrorFileNotFound);
    EXPECT_EQ(stage, OpenStage::kFile);
}

// Reads keep transfer boundaries and order. A read shorter than the transfer
// that came leaves the rest for the next read, as WinUSB does: behind the
// stream's read-ahead, and on the reply pipe, where a 128-byte read of a
// longer packet would otherwise overflow.
TEST_F(LibusbTest, ReadsKeepBoundariesOrderAndTheRestOfShortReads) {
    WINUSB_INTERFACE_HANDLE h = open();
    Bytes t(513);
    for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i * 7);
    const Bytes big(20480, 2);
    auto part = [&](long from, long to) { return Bytes(t.begin() + from, t.begin() + to); };
    for (const Bytes& x : {Bytes{42}, t, Bytes{}, big}) emu->board().push_in(kPipeStreamIn, x);
    emu->board().push_in(kPipeReplyIn, part(0, 200));
    const struct {
        uint8_t pipe;
        uint32_t len;
        Bytes want;
    } reads[] = {
        {kPipeStreamIn, 20480, {42}},
        {kPipeStreamIn, 100, part(0, 100)},
        {kPipeStreamIn, 20480, part(100, 513)},
        {kPipeStreamIn, 20480, {}},
        {kPipeStreamIn, 20480, big},
        {kPipeReplyIn, 128, part(0, 128)},
        {kPipeReplyIn, 128, part(128, 200)},
    };
    for (const auto& r : reads) {
        Bytes buf(20480);
        uint32_t n = 12345;
        ASSERT_TRUE(r.pipe == kPipeStreamIn ? read_stream(h, buf.data(), r.len, &n)
                                            : usb_read_pipe(h, r.pipe, buf.data(), r.len, &n));
        buf.resize(n);
        EXPECT_EQ(buf, r.want);
    }
}

TEST_F(LibusbTest, IdlePipePollAbortFlushControlLimits) {
    WINUSB_INTERFACE_HANDLE h = open();
    Bytes buf(512);
    uint32_t n = 0;
    EXPECT_EQ(
        (std::vector{fails(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n)),
                     // One read per pipe at a time.
                     fails(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n)), n,
                     fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, false)),
                     fails(usb_abort_pipe(h, kPipeStreamIn)),
                     fails(usb_get_overlapped_result(h, kPipeStreamIn, &n, true)),
                     fails(usb_cancel_pipe(h, kPipeStreamIn)),  // the others go on
                     fails(usb_read_pipe(h, kPipeReplyIn, nullptr, (n = 7, 8), &n)), n}),
        (std::vector{kErrorIoPending, kErrorInvalidParameter, 0u, kErrorIoIncomplete, 0u,
                     kErrorOperationAborted, 0u, kErrorInvalidParameter, 0u}));  // nothing read
    EXPECT_EQ(win_error_from_libusb(-50), kErrorGenFailure);  // a code a newer libusb may add
    EXPECT_TRUE(usb_flush_pipe(h, kPipeStreamIn));
    emu->board().push_in(kPipeStreamIn, Bytes(10, 7));
    // A caller that only polls gets the data too: each poll handles the events.
    ASSERT_EQ(fails(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n)),
              kErrorIoPending);
    for (int polls = 0; polls < 500 && !usb_get_overlapped_result(h, kPipeStreamIn, &n, false);
         ++polls)
        sleep_ms(1);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + n), Bytes(10, 7));
    Bytes big(4097);  // a stall; too long; the longest
    EXPECT_EQ(
        (std::vector{fails(usb_control_transfer(h, {0xC0, 0x7E, 0, 0, 28}, buf.data(), 28, &n)), n,
                     fails(usb_control_transfer(h, {0xC0, 0, 0, 0, 4097}, big.data(), 4097, &n)),
                     fails(usb_control_transfer(h, {0xC0, 0x20, 0, 7, 4096}, big.data(), 4096, &n)),
                     n > 0 ? 1u : 0u}),
        (std::vector{kErrorGenFailure, 0u, kErrorInvalidParameter, 0u, 1u}));
    // A command given up at its time-out leaves no read behind to take the next reply.
    emu->board().set_firmware_replies(false);
    ASSERT_EQ(dirov_set_timeout(50), 0);
    EXPECT_EQ(fails(gen_version(h) != -1), kErrorSemTimeout);
    emu->board().set_firmware_replies(true);
    EXPECT_GT(gen_version(h), 0);
    dirov_set_timeout(0);
    // Left in flight: closing cancels it (TearDown finds every URB reaped).
    EXPECT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n));
}

TEST_F(LibusbTest, FaceChangesReenumerateOnTheSamePort) {
    WINUSB_INTERFACE_HANDLE h = open();
    Bytes buf(512);
    uint32_t n = 0;
    ASSERT_EQ(fails(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n)),
              kErrorIoPending);
    emu->board().set_face(DIROV_SIM_FACE_BOOTLOADER, 200);
    // The read in flight ends; nothing is written.
    uint32_t read = 7, written = 7;
    EXPECT_EQ((std::vector{fails(usb_get_overlapped_result(h, kPipeStreamIn, &read, true)), read,
                           fails(usb_write_pipe(h, kPipeCommandOut, "SYS:VERSION\n", 12, &written)),
                           written}),
              (std::vector{kErrorDeviceNotConnected, 0u, kErrorDeviceNotConnected, 0u}));
    sleep_ms(100);
    EXPECT_EQ(find(&GUID_DFU_MAIN_INTERFACE), kNone) << "off the bus while absent";
    sleep_ms(100);
    EXPECT_EQ(find(&GUID_DFU_MAIN_INTERFACE), at_port(0, GUID_DFU_MAIN_INTERFACE));
    EXPECT_EQ(find(nullptr), kNone) << "the bootloader does not present the main interface";
    // The interface open and the upgrade find the board again after each
    // re-enumeration.
    ItfOpenResult r = Hx410DItfOpen();
    EXPECT_EQ(std::tuple(r.ConnState, r.BootloaderVersion, r.FirmwareValid),
              std::tuple(2, 0x00010000u, 1));
    EXPECT_EQ(gen_version(_GetWinUsbHandle()), 0x00010200);

    namespace fs = std::filesystem;
    fs::path dfu = fs::temp_directory_path() / ("dirov_libusb_" + std::to_string(getpid()));
    std::string elf = std::string(DIROV_TEST_DATA_DIR) + "/firmware_v2.elf";
    ASSERT_EQ(dfu_file_create(elf.c_str(), dfu.string().c_str(), 0, nullptr, nullptr), 0);
    EXPECT_EQ(FirmwareUpgrade(dfu.string().c_str()), 0);
    fs::remove(dfu);
    EXPECT_EQ(std::tuple(CurrentConnState, emu->board().face(), gen_version(_GetWinUsbHandle())),
              std::tuple(2, DIROV_SIM_FACE_MAIN, 0x00020400));
}

// A stream read waited for on one thread and aborted from another, then the
// capture worker over the read-ahead.
TEST_F(LibusbTest, AbortFromAnotherThreadThenCaptureTheCounter) {
    WINUSB_INTERFACE_HANDLE h = open();
    uint32_t result = 0;
    std::thread reader([&] {
        Bytes buf(20480);
        uint32_t n = 0;
        if (!read_stream(h, buf.data(), 20480, &n)) result = last_error();
    });
    // Lets the reader reach its wait; either order must work.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn));
    reader.join();
    EXPECT_EQ(result, kErrorOperationAborted);
    CloseDevice(&DeviceData);
    open();
    emu->board().stream().set_transfer_size(20480);
    emu->board().stream().set_pattern(sim::StreamGenerator::Pattern::kCounter);
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("dirov_libusb_threads_" + std::to_string(getpid()));
    test::expect_counter_capture(path.string(), 4 << 20, 1 << 20);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace dirov
