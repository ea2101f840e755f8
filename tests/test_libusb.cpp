// The libusb backend for real, over a simulated board behind an emulated
// usbfs device (umockdev): discovery by MS OS 2.0 GUIDs, command exchange,
// streaming, control requests and descriptors, through the library's API.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/platform.h"
#include "device/usb.h"
#include "dirov410.h"
#include "support/usbfs_emulator.h"

namespace dirov {
namespace {

using test::UsbfsEmulator;

class LibusbTest : public ::testing::Test {
   protected:
    void SetUp() override { start(DIROV_SIM_FACE_MAIN); }
    void TearDown() override {
        CloseDevice(&DeviceData);
        emu.reset();
    }
    void start(dirov_sim_face face) {
        emu = std::make_unique<UsbfsEmulator>(test::make_board(face));
        ASSERT_TRUE(emu->ok()) << "umockdev testbed";
    }
    WINUSB_INTERFACE_HANDLE open(const GUID* guid = nullptr) {
        BOOL no_device = -1;
        EXPECT_EQ(OpenDevice(&DeviceData, &no_device, guid), 0);
        EXPECT_EQ(no_device, 0);
        return DeviceData.WinUsbHandle;
    }
    std::string path_of(const GUID* guid, HRESULT* hr, BOOL* no_device) {
        char path[DIROV_MAX_PATH] = {};
        *hr = RetrieveDevicePath(path, sizeof path, no_device, guid);
        return path;
    }
    std::unique_ptr<UsbfsEmulator> emu;
};

// One streaming read, posted and waited for as the capture thread does.
bool read_stream(WINUSB_INTERFACE_HANDLE h, uint8_t* buf, uint32_t len, uint32_t* n) {
    if (usb_read_pipe_overlapped(h, kPipeStreamIn, buf, len, n)) return true;
    return last_error() == kErrorIoPending && usb_get_overlapped_result(h, kPipeStreamIn, n, true);
}

// Byte k of the counter stream is byte k % 4 of the 32-bit word k / 4.
bool counter_matches(const uint8_t* p, uint32_t n, uint64_t offset) {
    for (uint32_t i = 0; i < n; ++i) {
        uint64_t k = offset + i;
        if (p[i] != static_cast<uint8_t>(static_cast<uint32_t>(k / 4) >> (8 * (k % 4))))
            return false;
    }
    return true;
}

TEST_F(LibusbTest, DiscoveryNamesPortInterfaceAndGuid) {
    HRESULT hr;
    BOOL no_device = -1;
    EXPECT_EQ(path_of(nullptr, &hr, &no_device),
              "usb:1-2.3:1.0#" + guid_text(GUID_DEVINTERFACE_HX4104));
    EXPECT_EQ(hr, 0);
    EXPECT_EQ(no_device, 0);
    EXPECT_EQ(path_of(&GUID_DFU_MAIN_INTERFACE, &hr, &no_device),
              "usb:1-2.3:1.1#" + guid_text(GUID_DFU_MAIN_INTERFACE));
    for (int pass = 0; pass < 2; ++pass) {
        uint64_t urbs = emu->urbs_submitted();
        path_of(&WinUSB_TestGuid, &hr, &no_device);
        EXPECT_EQ(static_cast<uint32_t>(hr), 0x80070103u);
        EXPECT_EQ(no_device, 1);
        // A device found not to present a GUID is not asked again.
        EXPECT_EQ(emu->urbs_submitted() == urbs, pass == 1) << pass;
    }

    open(&GUID_DFU_MAIN_INTERFACE);
    EXPECT_EQ(DeviceData.IsOpen, 1);
    WINUSB_INTERFACE_HANDLE h = nullptr;
    OpenStage stage;
    EXPECT_EQ(usb_open("usb:1-9:1.0#{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}", &h, &stage),
              kErrorFileNotFound);
    EXPECT_EQ(stage, OpenStage::File);
    EXPECT_EQ(usb_open("usb:1-2.3:1.1#{6F0C2D14-93B7-4E2A-A5C1-7D38E0B95F42}", &h, &stage),
              kErrorFileNotFound)
        << "the GUID is on interface 0, not 1";
}

TEST_F(LibusbTest, Usb20BoardIsFoundThroughMsOs10Descriptors) {
    emu.reset();
    emu = std::make_unique<UsbfsEmulator>(test::make_board(DIROV_SIM_FACE_MAIN),
                                          sim::MsOsVersion::V1);
    ASSERT_TRUE(emu->ok());
    HRESULT hr;
    BOOL no_device = -1;
    EXPECT_EQ(path_of(&GUID_DFU_MAIN_INTERFACE, &hr, &no_device),
              "usb:1-2.3:1.1#" + guid_text(GUID_DFU_MAIN_INTERFACE));
    WINUSB_INTERFACE_HANDLE h = open();
    CommandReply* r = usb_comms(h, "SYS:VERSION\n", 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->Type, "DATA");
    std::free(r->Data);
    std::free(r);
}

TEST_F(LibusbTest, GuidMapNamesDevicesWithoutDescriptors) {
    std::string map = guid_text(WinUSB_TestGuid) + "=1D50:6410:0";
    setenv("DIROV410_GUID_MAP", map.c_str(), 1);
    HRESULT hr;
    BOOL no_device = -1;
    EXPECT_EQ(path_of(&WinUSB_TestGuid, &hr, &no_device),
              "usb:1-2.3:1.0#" + guid_text(WinUSB_TestGuid));
    open(&WinUSB_TestGuid);
    setenv("DIROV410_GUID_MAP", (guid_text(WinUSB_TestGuid) + "=1D50:6411").c_str(), 1);
    path_of(&WinUSB_TestGuid, &hr, &no_device);
    EXPECT_EQ(no_device, 1) << "another product id";
    unsetenv("DIROV410_GUID_MAP");
}

TEST_F(LibusbTest, CommandExchangeAndSerialNumber) {
    WINUSB_INTERFACE_HANDLE h = open();
    CommandReply* r = usb_comms(h, "SYS:VERSION\n", 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r->Command, "SYS:VERSION");
    EXPECT_STREQ(r->Type, "DATA");
    EXPECT_STREQ(r->Error, "none");
    int32_t v = 0;
    ASSERT_NE(r->Data, nullptr);
    std::memcpy(&v, r->Data, sizeof v);
    EXPECT_EQ(v, static_cast<int32_t>(emu->board().firmware_version()));
    std::free(r->Data);
    std::free(r);

    uint8_t d[64] = {};
    uint32_t n = 0;
    ASSERT_TRUE(usb_get_descriptor(h, 3, 3, 0, d, sizeof d, &n));
    const std::string serial = emu->board().serial();
    ASSERT_EQ(n, 2 + 2 * serial.size());
    for (size_t i = 0; i < serial.size(); ++i) EXPECT_EQ(d[2 + 2 * i], serial[i]);
}

TEST_F(LibusbTest, ListedAndSelectedBySerial) {
    const std::string serial = emu->board().serial();
    const std::string main = "usb:1-2.3:1.0#" + guid_text(GUID_DEVINTERFACE_HX4104);
    dirov_device_info info[2] = {};
    for (bool held : {false, true}) {  // a board held open is asked through its handle
        if (held) open();
        ASSERT_EQ(dirov_list_devices(nullptr, info, 2), 1) << held;
        EXPECT_EQ(info[0].serial, serial) << held;
        EXPECT_EQ(info[0].vendor_id, 0x1D50);
        EXPECT_EQ(info[0].product_id, 0x6410);
        EXPECT_EQ(info[0].path, main);
    }
    EXPECT_EQ(dirov_list_devices(&GUID_DFU_MAIN_INTERFACE, info, 2), 1);
    EXPECT_EQ(info[0].serial, serial);
    HRESULT hr;
    BOOL no_device = -1;
    ASSERT_EQ(dirov_select_device(serial.c_str()), 0);
    EXPECT_EQ(path_of(nullptr, &hr, &no_device), main);
    ASSERT_EQ(dirov_select_device("OTHER"), 0);
    path_of(nullptr, &hr, &no_device);
    EXPECT_EQ(no_device, 1);
}

TEST_F(LibusbTest, ReadsKeepTransferBoundariesAndOrder) {
    WINUSB_INTERFACE_HANDLE h = open();
    std::vector<std::vector<uint8_t>> sent = {std::vector<uint8_t>(100, 1),
                                              {},
                                              std::vector<uint8_t>(20480, 2),
                                              std::vector<uint8_t>(513, 3)};
    for (const auto& t : sent) emu->board().push_in(kPipeStreamIn, t);
    std::vector<uint8_t> buf(20480);
    for (const auto& t : sent) {
        uint32_t n = 12345;
        ASSERT_TRUE(read_stream(h, buf.data(), 20480, &n));
        ASSERT_EQ(n, t.size());
        EXPECT_TRUE(std::equal(t.begin(), t.end(), buf.begin()));
    }
}

// A read shorter than the transfer that came leaves the rest for the next
// read, as WinUSB does: behind the stream's read-ahead, and on the reply pipe,
// where a 128-byte read of a longer packet would otherwise overflow.
TEST_F(LibusbTest, ShortReadsKeepTheRestOfTheTransfer) {
    WINUSB_INTERFACE_HANDLE h = open();
    std::vector<uint8_t> t(513);
    for (size_t i = 0; i < t.size(); ++i) t[i] = static_cast<uint8_t>(i * 7);
    emu->board().push_in(kPipeStreamIn, {42});
    emu->board().push_in(kPipeStreamIn, t);
    emu->board().push_in(kPipeStreamIn, {42});  // a lost rest shows, not a hang
    emu->board().push_in(kPipeReplyIn, std::vector<uint8_t>(t.begin(), t.begin() + 300));
    const struct {
        uint8_t pipe;
        uint32_t len, from, to;  // bytes [from, to) of t expected; to 0: the byte 42
    } reads[] = {{kPipeStreamIn, 20480, 0, 0},     {kPipeStreamIn, 100, 0, 100},
                 {kPipeStreamIn, 20480, 100, 513}, {kPipeStreamIn, 20480, 0, 0},
                 {kPipeReplyIn, 128, 0, 128},      {kPipeReplyIn, 128, 128, 256},
                 {kPipeReplyIn, 128, 256, 300}};
    std::vector<uint8_t> buf(20480);
    for (const auto& r : reads) {
        uint32_t n = 0;
        ASSERT_TRUE(r.pipe == kPipeStreamIn ? read_stream(h, buf.data(), r.len, &n)
                                            : usb_read_pipe(h, r.pipe, buf.data(), r.len, &n));
        if (r.to == 0) {
            EXPECT_TRUE(n == 1 && buf[0] == 42);
            continue;
        }
        ASSERT_EQ(n, r.to - r.from) << int(r.pipe) << " " << r.from;
        EXPECT_TRUE(std::equal(t.begin() + r.from, t.begin() + r.to, buf.begin()));
    }
}

TEST_F(LibusbTest, CounterStreamArrivesWholeThroughReadAhead) {
    WINUSB_INTERFACE_HANDLE h = open();
    emu->board().stream().set_transfer_size(20480);
    emu->board().stream().set_pattern(sim::StreamGenerator::Pattern::Counter);
    std::vector<uint8_t> buf(20480);
    uint64_t offset = 0;
    for (int i = 0; i < 64; ++i) {
        uint32_t n = 0;
        ASSERT_TRUE(read_stream(h, buf.data(), 20480, &n));
        ASSERT_EQ(n, 20480u);
        ASSERT_TRUE(counter_matches(buf.data(), n, offset)) << "read " << i;
        offset += n;
    }
}

TEST_F(LibusbTest, IdlePipePollAbortFlushThenReadAgain) {
    WINUSB_INTERFACE_HANDLE h = open();
    std::vector<uint8_t> buf(512);
    uint32_t n = 0;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n));
    EXPECT_EQ(last_error(), kErrorIoPending);
    EXPECT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 512, &n));
    EXPECT_EQ(last_error(), kErrorInvalidParameter) << "one read per pipe at a time";
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &n, false));
    EXPECT_EQ(last_error(), kErrorIoIncomplete);
    EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn));
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &n, true));
    EXPECT_EQ(last_error(), kErrorOperationAborted);
    EXPECT_TRUE(usb_flush_pipe(h, kPipeStreamIn));

    emu->board().push_in(kPipeStreamIn, std::vector<uint8_t>(10, 7));
    ASSERT_TRUE(read_stream(h, buf.data(), 512, &n));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(buf[9], 7);
}

TEST_F(LibusbTest, ControlRequestsBehaveAsTheBoardAnswers) {
    emu.reset();
    start(DIROV_SIM_FACE_BOOTLOADER);
    WINUSB_INTERFACE_HANDLE h = open(&GUID_DFU_MAIN_INTERFACE);
    // Whatever the bootloader model answers, the transport must carry it
    // unchanged: compare with the board reached directly.
    for (uint8_t request : {0, 1, 4}) {
        SetupPacket s{0xC0, request, 0, 0, 28};
        uint8_t via_usb[28] = {}, direct[28] = {};
        uint32_t n_usb = 0, n_direct = 0;
        bool ok = usb_control_transfer(h, s, via_usb, sizeof via_usb, &n_usb);
        uint32_t e = emu->board().control(emu->board().generation(), s, direct, 28, &n_direct);
        ASSERT_EQ(ok ? kErrorSuccess : last_error(), e) << "request " << int(request);
        EXPECT_EQ(n_usb, ok ? n_direct : 0u);
        EXPECT_EQ(std::memcmp(via_usb, direct, n_usb), 0);
    }
    SetupPacket stalled{0xC0, 0x7E, 0, 0, 4};
    uint8_t b[4];
    uint32_t n = 0;
    EXPECT_FALSE(usb_control_transfer(h, stalled, b, sizeof b, &n));
    EXPECT_EQ(last_error(), kErrorGenFailure);

    uint64_t before = emu->urbs_submitted();
    std::vector<uint8_t> big(4097);
    SetupPacket too_long{0xC0, 0, 0, 0, 4097};
    EXPECT_FALSE(usb_control_transfer(h, too_long, big.data(), 4097, &n));
    EXPECT_EQ(last_error(), kErrorInvalidParameter);
    EXPECT_EQ(emu->urbs_submitted(), before) << "nothing reached the bus";
    SetupPacket max{0xC0, 0x20, 0, 7, 4096};
    EXPECT_TRUE(usb_control_transfer(h, max, big.data(), 4096, &n));
    EXPECT_GT(n, 0u);
}

TEST_F(LibusbTest, ManyOpenCloseCyclesLeaveNothingBehind) {
    std::vector<uint8_t> buf(20480);
    for (int i = 0; i < 200; ++i) {
        WINUSB_INTERFACE_HANDLE h = open();
        ASSERT_NE(h, nullptr) << "cycle " << i;
        if (i % 10 == 0) {
            // Closing with reads queued cancels them.
            uint32_t n = 0;
            usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &n);
        }
        CloseDevice(&DeviceData);
        ASSERT_EQ(emu->urbs_outstanding(), 0u) << "cycle " << i;
    }
    EXPECT_GE(emu->urbs_discarded(), 20u * 6);
}

}  // namespace
}  // namespace dirov
