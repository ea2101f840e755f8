// The libusb backend under the capture thread: a stream read waited for on
// one thread and aborted from another, and the capture and save workers
// carrying the counter stream, stopped by their abort.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "device/platform.h"
#include "device/usb.h"
#include "dirov410.h"
#include "support/counter_stream.h"
#include "support/usbfs_emulator.h"

namespace dirov {
namespace {

// A stream read waited for on one thread and aborted from another, then the
// capture worker over the read-ahead; every URB reaped after close.
TEST(LibusbThreads, AbortFromAnotherThreadThenCaptureTheCounter) {
    test::UsbfsEmulator emu(test::make_board(DIROV_SIM_FACE_MAIN));
    ASSERT_TRUE(emu.ok()) << "umockdev testbed";
    BOOL no_device = 0;
    ASSERT_EQ(OpenDevice(&DeviceData, &no_device, nullptr), 0);
    WINUSB_INTERFACE_HANDLE h = DeviceData.WinUsbHandle;
    uint32_t result = 0;
    std::thread reader([&] {
        std::vector<uint8_t> buf(20480);
        uint32_t n = 0;
        if (usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &n)) return;
        if (!usb_get_overlapped_result(h, kPipeStreamIn, &n, true)) result = last_error();
    });
    // Lets the reader reach its wait; either order must work.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn));
    reader.join();
    EXPECT_EQ(result, kErrorOperationAborted);
    CloseDevice(&DeviceData);
    ASSERT_EQ(OpenDevice(&DeviceData, &no_device, nullptr), 0);
    emu.board().stream().set_transfer_size(20480);
    emu.board().stream().set_pattern(sim::StreamGenerator::Pattern::Counter);
    auto path = std::filesystem::temp_directory_path() /
                ("dirov_libusb_threads_" + std::to_string(getpid()));
    test::expect_counter_capture(path.string(), 4 << 20, 1 << 20);
    std::filesystem::remove(path);
    CloseDevice(&DeviceData);
    EXPECT_EQ(emu.outstanding_urbs(), 0u);
}

}  // namespace
}  // namespace dirov
