// The transport's blocking and overlapped reads across threads, on the
// simulated board: what the capture thread and its stopper rely on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "device/platform.h"
#include "device/usb.h"
#include "support/sim_fixture.h"

namespace dirov::test {
namespace {

class TransportTest : public SimBoardTest {
   protected:
    void SetUp() override {
        SimBoardTest::SetUp();
        h = open_main();
    }
    WINUSB_INTERFACE_HANDLE h = nullptr;
    std::vector<uint8_t> buf = std::vector<uint8_t>(20480);
};

TEST_F(TransportTest, OverlappedReadCompletesWithTheQueuedTransfer) {
    uint32_t got = 99;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    ASSERT_EQ(last_error(), kErrorIoPending);
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &got, false));
    EXPECT_EQ(last_error(), kErrorIoIncomplete);

    std::thread board_side([&] { dirov_sim_queue_in(board, kPipeStreamIn, "abc", 3); });
    ASSERT_TRUE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
    board_side.join();
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + 3), "abc");

    dirov_sim_queue_in(board, kPipeStreamIn, nullptr, 0);
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    ASSERT_TRUE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
    EXPECT_EQ(got, 0u);  // a zero-length transfer is one read
}

TEST_F(TransportTest, AbortFromAnotherThreadEndsTheWaitWith995) {
    uint32_t got = 0;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    std::thread stopper([&] { EXPECT_TRUE(usb_abort_pipe(h, kPipeStreamIn)); });
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
    EXPECT_EQ(last_error(), kErrorOperationAborted);
    stopper.join();
    // The pipe works again for the next read.
    dirov_sim_queue_in(board, kPipeStreamIn, "z", 1);
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    EXPECT_TRUE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
    EXPECT_EQ(got, 1u);
}

TEST_F(TransportTest, CloseEndsTheWaitAndNeverHandsOnTheNextHandlesData) {
    uint32_t got = 0;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    uint32_t waitError = 0;
    std::thread waiter([&] {
        EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
        waitError = last_error();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    usb_close(h);
    waiter.join();
    // 995 when the wait had begun, 6 when the close came first.
    EXPECT_TRUE(waitError == kErrorOperationAborted || waitError == 6) << waitError;
    WINUSB_INTERFACE_HANDLE again = open_main();
    dirov_sim_queue_in(board, kPipeStreamIn, "new", 3);
    std::vector<uint8_t> mine(20480);
    ASSERT_FALSE(usb_read_pipe_overlapped(again, kPipeStreamIn, mine.data(), 20480, &got));
    ASSERT_TRUE(usb_get_overlapped_result(again, kPipeStreamIn, &got, true));
    EXPECT_EQ(std::string(mine.begin(), mine.begin() + got), "new");
    EXPECT_EQ(buf[0], 0);  // the closed handle's buffer was never written
}

TEST_F(TransportTest, FlushDropsQueuedTransfers) {
    dirov_sim_queue_in(board, kPipeStreamIn, "old", 3);
    EXPECT_TRUE(usb_flush_pipe(h, kPipeStreamIn));
    EXPECT_EQ(dirov_sim_pending_in(board, kPipeStreamIn), 0u);
}

TEST_F(TransportTest, UnplugReleasesBlockedReaders) {
    uint32_t got = 0;
    ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
    bool reply_read = true;
    std::thread reader([&] {
        char reply[64];
        uint32_t n = 0;
        reply_read = usb_read_pipe(h, kPipeReplyIn, reply, sizeof reply, &n);
    });
    std::thread unplug([&] { dirov_sim_set_face(board, DIROV_SIM_FACE_ABSENT, 0); });
    EXPECT_FALSE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
    EXPECT_EQ(last_error(), kErrorDeviceNotConnected);
    unplug.join();
    reader.join();
    EXPECT_FALSE(reply_read);
}

TEST_F(TransportTest, InjectedFaultsHitTheNthCallOnly) {
    dirov_sim_fail_nth(DIROV_SIM_OP_STREAM_WAIT, 2, kErrorGenFailure);
    uint32_t got = 0;
    for (int i = 0; i < 3; ++i) {
        dirov_sim_queue_in(board, kPipeStreamIn, "x", 1);
        ASSERT_FALSE(usb_read_pipe_overlapped(h, kPipeStreamIn, buf.data(), 20480, &got));
        bool ok = usb_get_overlapped_result(h, kPipeStreamIn, &got, true);
        EXPECT_EQ(ok, i != 1) << i;
        if (!ok) {
            EXPECT_EQ(last_error(), kErrorGenFailure);
            // The failed wait leaves the read posted; collect it.
            ASSERT_TRUE(usb_get_overlapped_result(h, kPipeStreamIn, &got, true));
        }
    }
}

TEST_F(TransportTest, HostSleepsAreRecordedOnTheVirtualClock) {
    uint64_t t0 = dirov_sim_clock_ms();
    sleep_ms(500);
    sleep_ms(2000);
    EXPECT_EQ(dirov_sim_clock_ms() - t0, 2500u);
    auto sleeps = sim_events(DIROV_SIM_EV_SLEEP);
    ASSERT_EQ(sleeps.size(), 2u);
    EXPECT_EQ(sleeps[0].ev.value, 500u);
    EXPECT_EQ(sleeps[1].ev.time_ms - sleeps[0].ev.time_ms, 500u);
}

}  // namespace
}  // namespace dirov::test
