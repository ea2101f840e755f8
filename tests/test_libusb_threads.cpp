// The libusb backend under the capture thread: a stream read waited for on
// one thread and aborted from another, the capture thread reading the
// counter stream, and a board unplugged while a read is in flight.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "device/platform.h"
#include "device/usb.h"
#include "dirov410.h"
#include "support/usbfs_emulator.h"

namespace dirov {
namespace {

using namespace std::chrono_literals;
using test::UsbfsEmulator;

// What the packet callback saw; it runs on the capture thread.
struct Seen {
    std::mutex mu;
    std::condition_variable cv;
    uint64_t offset = 0;
    int packets = 0;
    bool in_order = true;
};
Seen* g_seen = nullptr;

void check_packet(DataPacket* p) {
    std::lock_guard lk(g_seen->mu);
    for (int32_t i = 0; i < p->size && g_seen->in_order; ++i) {
        uint64_t k = g_seen->offset + static_cast<uint64_t>(i);
        g_seen->in_order =
            p->data[i] == static_cast<uint8_t>(static_cast<uint32_t>(k / 4) >> (8 * (k % 4)));
    }
    g_seen->offset += static_cast<uint64_t>(p->size);
    ++g_seen->packets;
    g_seen->cv.notify_all();
    DecPktLock(p);
}

class LibusbThreadsTest : public ::testing::Test {
   protected:
    void SetUp() override {
        emu = std::make_unique<UsbfsEmulator>(test::make_board(DIROV_SIM_FACE_MAIN));
        ASSERT_TRUE(emu->ok()) << "umockdev testbed";
        BOOL no_device = 0;
        ASSERT_EQ(OpenDevice(&DeviceData, &no_device, nullptr), 0);
        h = DeviceData.WinUsbHandle;
    }
    void TearDown() override {
        CloseDevice(&DeviceData);
        EXPECT_EQ(emu->urbs_outstanding(), 0u) << "every URB reaped after close";
        emu.reset();
    }
    // One streaming read on another thread; `result` gets the error it ends with.
    std::thread read_in_background(uint32_t& result) {
        return std::thread([this, &result] {
            std::vector<uint8_t> buf(20480);
            uint32_t n = 0;
            if (usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &n)) return;
            if (!usb_get_overlapped_result(h, kPipeStreamIn, &n, true)) result = last_error();
        });
    }

    // Lets the other thread reach its wait; either order must work.
    static void let_other_thread_block() { std::this_thread::sleep_for(50ms); }

    std::unique_ptr<UsbfsEmulator> emu;
    WINUSB_INTERFACE_HANDLE h = nullptr;
};

TEST_F(LibusbThreadsTest, AbortFromAnotherThreadEndsTheWaitWithAborted) {
    uint32_t result = 0;
    std::thread reader = read_in_background(result);
    let_other_thread_block();
    EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn));
    reader.join();
    EXPECT_EQ(result, kErrorOperationAborted);
    EXPECT_GE(emu->urbs_discarded(), 1u) << "the queued reads were cancelled on the bus";
}

TEST_F(LibusbThreadsTest, CaptureThreadPublishesTheCounterStreamInOrder) {
    Seen seen;
    g_seen = &seen;
    emu->board().stream().set_transfer_size(20480);
    emu->board().stream().set_pattern(sim::StreamGenerator::Pattern::Counter);
    ASSERT_EQ(RegisterPktNotify(check_packet), 0);
    CapArgs* cap = CreateCaptureThread(&DeviceData, kPipeStreamIn);
    ASSERT_NE(cap, nullptr);
    {
        std::unique_lock lk(seen.mu);
        ASSERT_TRUE(seen.cv.wait_for(lk, 60s, [&] { return seen.packets >= 100; }));
    }
    EXPECT_EQ(StopCaptureThread(cap), 0);
    UnregisterPktNotify(check_packet);
    std::lock_guard lk(seen.mu);
    EXPECT_TRUE(seen.in_order);
    EXPECT_EQ(seen.offset, 20480ull * static_cast<uint64_t>(seen.packets));
    g_seen = nullptr;
}

TEST_F(LibusbThreadsTest, StalledStreamIsReleasedByTheStopAbort) {
    CapArgs* cap = CreateCaptureThread(&DeviceData, kPipeStreamIn);
    ASSERT_NE(cap, nullptr);
    let_other_thread_block();
    EXPECT_EQ(StopCaptureThread(cap), 0) << "the wait ended with 995 after the abort";
}

TEST_F(LibusbThreadsTest, UnplugDuringAReadFailsItAndTheBoardIsGone) {
    uint32_t result = 0;
    std::thread reader = read_in_background(result);
    let_other_thread_block();
    emu->unplug();
    reader.join();
    EXPECT_EQ(result, kErrorDeviceNotConnected);
    uint32_t n = 0;
    EXPECT_FALSE(usb_write_pipe(h, kPipeCommandOut, "SYS:VERSION\n", 12, &n));
    EXPECT_EQ(last_error(), kErrorDeviceNotConnected);
    char path[DIROV_MAX_PATH];
    BOOL no_device = 0;
    EXPECT_LT(RetrieveDevicePath(path, sizeof path, &no_device, nullptr), 0);
    EXPECT_EQ(no_device, 1);
}

}  // namespace
}  // namespace dirov
